// The module body: imports, the logger, the free function and the class
// statements, run in source order by the exec step.
#include "roots/module/catalogue.hpp"

#include <array>
#include <string_view>

#include "roots/module/api.hpp"

namespace roots {
namespace {

using NamePtr = PyObject* Names::*;

// ---------------------------------------------------------------- imports

struct ImportDef {
    const char* module;                // null: a whole-module import of `names[0]`
    std::array<NamePtr, 10> names;     // bound in this order; unused slots null
};

const ImportDef kImports[] = {
    {nullptr, {&Names::itertools}},
    {nullptr, {&Names::logging}},
    {nullptr, {&Names::os}},
    {"urllib.parse", {&Names::urlparse, &Names::urlencode, &Names::quote}},
    {"pyramid.settings", {&Names::asbool}},
    {"pyramid.httpexceptions",
     {&Names::HTTPForbidden, &Names::HTTPFound, &Names::HTTPMethodNotAllowed, &Names::HTTPNotFound,
      &Names::HTTPNotImplemented, &Names::HTTPMovedPermanently, &Names::HTTPPermanentRedirect}},
    {"pyramid.security",
     {&Names::DENY_ALL, &Names::Allow, &Names::Authenticated, &Names::Deny, &Names::Everyone,
      &Names::has_permission, &Names::ALL_PERMISSIONS}},
    {"korvane.auth.apikey", {&Names::ApikeyAuthenticationPolicy}},
    {"korvane.constants",
     {&Names::STD_HTTP_METHODS, &Names::DEFAULT_SEPARATOR, &Names::DEFAULT_WILDCARD,
      &Names::DEFAULT_NULL_PLACEHOLDER}},
    {"korvane.exceptions", {&Names::HTTPUnsupportedFormat}},
    {"korvane.utils",
     {&Names::get_model, &Names::get_reversed_url_substitution_params, &Names::segments_substitution,
      &Names::get_url_param, &Names::get_url_substitution_params, &Names::replace_patterns,
      &Names::requested_data_format, &Names::get_authenticated_user, &Names::remove_multiple_url_slashes,
      &Names::split_path}},
    {"korvane.request_status", {&Names::StatusCodes}},
    {"korvane.views.utils", {&Names::gui_response_exception}},
};

// `from M import X`: the attribute X of M, else the already loaded submodule
// "M.X", else ImportError.  Pyramid's `pyramid.security` is a deprecation
// proxy rather than a module, so names are only ever read as attributes.
Ref import_from(PyObject* module, PyObject* name) {
    Ref value = getattr(module, name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return value;
    }
    PyErr_Clear();
    Ref module_name = getattr(module, names.__name__);
    if (module_name) {
        Ref full_name = Ref::steal(PyUnicode_FromFormat("%S.%U", module_name.get(), name));
        if (!full_name) {
            return {};
        }
        PyObject* submodule = PyDict_GetItemWithError(PyImport_GetModuleDict(), full_name.get());
        if (submodule != nullptr) {
            return Ref::borrow(submodule);
        }
        if (error_pending()) {
            return {};
        }
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
    } else {
        return {};
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return {};
}

int run_import(const ImportDef& def) {
    if (def.module == nullptr) {
        PyObject* name = names.*def.names[0];
        Ref module = Ref::steal(PyImport_ImportModuleLevelObject(name, state.globals, nullptr, nullptr, 0));
        return module ? PyDict_SetItem(state.globals, name, module.get()) : -1;
    }
    Py_ssize_t count = 0;
    while (count < static_cast<Py_ssize_t>(def.names.size()) && def.names[count] != nullptr) {
        ++count;
    }
    Ref fromlist = Ref::steal(PyTuple_New(count));
    Ref module_name = fromlist ? Ref::steal(PyUnicode_FromString(def.module)) : Ref();
    if (!module_name) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(fromlist.get(), i, Py_NewRef(names.*def.names[i]));
    }
    Ref module = Ref::steal(
        PyImport_ImportModuleLevelObject(module_name.get(), state.globals, nullptr, fromlist.get(), 0));
    if (!module) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = names.*def.names[i];
        Ref value = import_from(module.get(), name);
        if (!value || PyDict_SetItem(state.globals, name, value.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------- classes

// One row of a `formats` table; the lists are written as space-separated
// format names, in their order.
struct FormatRow {
    const char* method;
    const char* supported;
    const char* illegal;
};

enum ClassId : int {
    kNoBase = -1,
    kRootContext,
    kDefaultRoot,
    kRootBasic,
    kDataFormatRoot,
    kQuerystudio,
    kDBModel,
    kDBModels,
    kQuerydefsList,
    kQuerydef,
    kNewQuerydef,
    kDBDef,
    kDBDefsList,
    kNewDBDef,
    kUserdefsList,
    kUserdef,
    kNewUserdef,
    kExecuteQueryList,
    kExecuteQuery,
    kDataDiscovery,
    kRequestStatus,
    kDBCredentialsRoot,
    kDDURLParserBuilderRoot,
    kClassCount,
};

struct ClassDef {
    NamePtr name;
    ClassId base;
    int (*own_attributes)(PyObject* ns);  // attributes other than `formats`, or null
    std::span<const FormatRow> formats;   // empty: the class has no `formats` of its own
    const MethodTable* methods;
    PyObject** class_cell;  // the `__class__` cell of an initialiser calling zero-argument super()
};

int root_context_attributes(PyObject* ns) {
    // Defaults every context shows until its initialiser assigns the
    // attribute, in declaration order; only the extension is text.
    struct Attribute {
        NamePtr name;
        PyObject* value;
    };
    const Attribute defaults[] = {
        {&Names::url_segments, Py_None},
        {&Names::format, Py_None},
        {&Names::request_extension, names.empty},
        {&Names::db_id, Py_None},
        {&Names::db_config, Py_None},
        {&Names::query_id, Py_None},
        {&Names::query_config, Py_None},
        {&Names::authenticated_user_id, Py_None},
        {&Names::authenticated_user_config, Py_None},
        {&Names::settings, Py_None},
        {&Names::request, Py_None},
    };
    for (const Attribute& attribute : defaults) {
        if (PyDict_SetItem(ns, names.*attribute.name, attribute.value) < 0) {
            return -1;
        }
    }
    return 0;
}

int root_basic_attributes(PyObject* ns) {
    Ref target = Ref::steal(PyTuple_Pack(2, names.xml, names.schema));
    Ref redirect_map = target ? Ref::steal(PyDict_New()) : Ref();
    if (!redirect_map || PyDict_SetItem(redirect_map.get(), names.xsd, target.get()) < 0) {
        return -1;
    }
    return PyDict_SetItem(ns, names.format_redirect_map, redirect_map.get());
}

// A new list of the interned format names in `spaced`.
Ref format_list(const char* spaced) {
    Ref list = Ref::steal(PyList_New(0));
    std::string_view rest(spaced);
    while (list && !rest.empty()) {
        const size_t end = rest.find(' ');
        const std::string_view word = rest.substr(0, end);
        Ref name = Ref::steal(PyUnicode_FromStringAndSize(word.data(), static_cast<Py_ssize_t>(word.size())));
        if (!name) {
            return {};
        }
        PyObject* interned = name.release();
        PyUnicode_InternInPlace(&interned);
        name = Ref::steal(interned);
        if (PyList_Append(list.get(), name.get()) < 0) {
            return {};
        }
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return list;
}

Ref formats_table(std::span<const FormatRow> rows, bool with_not_implemented) {
    Ref table = Ref::steal(PyDict_New());
    if (!table) {
        return {};
    }
    for (const FormatRow& row : rows) {
        Ref lists = Ref::steal(PyDict_New());
        Ref supported = lists ? format_list(row.supported) : Ref();
        Ref illegal = supported ? format_list(row.illegal) : Ref();
        if (!illegal || PyDict_SetItem(lists.get(), names.supported, supported.get()) < 0 ||
            PyDict_SetItem(lists.get(), names.illegal, illegal.get()) < 0) {
            return {};
        }
        if (with_not_implemented) {
            Ref not_implemented = Ref::steal(PyList_New(0));
            if (!not_implemented || PyDict_SetItem(lists.get(), names.not_implemented, not_implemented.get()) < 0) {
                return {};
            }
        }
        Ref method = Ref::steal(PyUnicode_InternFromString(row.method));
        if (!method || PyDict_SetItem(table.get(), method.get(), lists.get()) < 0) {
            return {};
        }
    }
    return table;
}

int data_format_root_attributes(PyObject* ns) {
    // The base table names every method with all lists empty: a class that
    // does not replace it refuses every format.
    static constexpr FormatRow kEmpty[] = {{"GET", "", ""}, {"PUT", "", ""}, {"POST", "", ""}, {"DELETE", "", ""}};
    Ref table = formats_table(kEmpty, true);
    return table ? PyDict_SetItem(ns, names.formats, table.get()) : -1;
}

constexpr FormatRow kQuerystudioFormats[] = {{"GET", "html", "txt xml xsd json csv"}};
constexpr FormatRow kDBModelFormats[] = {{"GET", "html xml xsd json csv", "txt"}};
constexpr FormatRow kDBModelsFormats[] = {{"GET", "html xml xsd json csv", "txt"}};
constexpr FormatRow kQuerydefsListFormats[] = {{"GET", "json html", "xml txt xsd csv"}};
constexpr FormatRow kQuerydefFormats[] = {
    {"GET", "json xml html", "txt xsd csv"},
    {"PUT", "json", "html xsd txt xml csv"},
    {"DELETE", "html json xml csv", "xsd txt"},
};
constexpr FormatRow kNewQuerydefFormats[] = {
    {"GET", "html", "txt xsd xml csv"},
    {"POST", "json", "txt xsd html xml csv"},
};
constexpr FormatRow kDBDefFormats[] = {
    {"GET", "json html", "txt xml xsd csv"},
    {"PUT", "json", "html xsd txt xml csv"},
    {"DELETE", "html json xml csv", "xsd txt"},
};
constexpr FormatRow kDBDefsListFormats[] = {{"GET", "json html", "txt xml xsd csv"}};
constexpr FormatRow kNewDBDefFormats[] = {{"POST", "json", "txt xsd html xml csv"}};
constexpr FormatRow kUserdefsListFormats[] = {{"GET", "json html", "txt xml xsd csv"}};
constexpr FormatRow kUserdefFormats[] = {
    {"GET", "json", "txt html xml xsd csv"},
    {"PUT", "json", "html xsd txt xml csv"},
    {"DELETE", "html json xml csv", "xsd txt"},
};
constexpr FormatRow kNewUserdefFormats[] = {{"POST", "json", "txt xsd html xml csv"}};
constexpr FormatRow kExecuteQueryListFormats[] = {{"GET", "html json", "xml txt csv xsd"}};
constexpr FormatRow kExecuteQueryFormats[] = {
    {"GET", "json xml xsd csv html", "txt"},
    {"POST", "json xml csv xsd", "txt html"},
    {"PUT", "json xml csv xsd", "txt html"},
    {"DELETE", "json xml csv xsd", "txt html"},
};
constexpr FormatRow kRequestStatusFormats[] = {{"GET", "json", "html txt xml xsd csv"}};
constexpr FormatRow kDBCredentialsFormats[] = {
    {"GET", "json html", "txt"},
    {"POST", "json", "txt html"},
    {"PUT", "json", "txt html"},
    {"DELETE", "json", "txt html"},
};

// The class statements, in source order; each class after its base.
const ClassDef kClasses[kClassCount] = {
    {&Names::RootContext, kNoBase, root_context_attributes, {}, &root_context_methods, nullptr},
    {&Names::DefaultRoot, kRootContext, nullptr, {}, &default_root_methods, nullptr},
    {&Names::RootBasic, kRootContext, root_basic_attributes, {}, &root_basic_methods, nullptr},
    {&Names::DataFormatRoot, kRootBasic, data_format_root_attributes, {}, &data_format_root_methods, nullptr},
    {&Names::Querystudio, kDataFormatRoot, nullptr, kQuerystudioFormats, &querystudio_methods, nullptr},
    {&Names::DBModel, kDataFormatRoot, nullptr, kDBModelFormats, &db_model_methods, nullptr},
    {&Names::DBModels, kDataFormatRoot, nullptr, kDBModelsFormats, &db_models_methods, nullptr},
    {&Names::QuerydefsList, kDataFormatRoot, nullptr, kQuerydefsListFormats, &querydefs_list_methods, nullptr},
    {&Names::Querydef, kDataFormatRoot, nullptr, kQuerydefFormats, &querydef_methods, nullptr},
    {&Names::NewQuerydef, kDataFormatRoot, nullptr, kNewQuerydefFormats, &new_querydef_methods, nullptr},
    {&Names::DBDef, kDataFormatRoot, nullptr, kDBDefFormats, &db_def_methods, nullptr},
    {&Names::DBDefsList, kDataFormatRoot, nullptr, kDBDefsListFormats, &db_defs_list_methods, nullptr},
    {&Names::NewDBDef, kDataFormatRoot, nullptr, kNewDBDefFormats, &new_db_def_methods, nullptr},
    {&Names::UserdefsList, kDataFormatRoot, nullptr, kUserdefsListFormats, &userdefs_list_methods, nullptr},
    {&Names::Userdef, kDataFormatRoot, nullptr, kUserdefFormats, &userdef_methods, nullptr},
    {&Names::NewUserdef, kDataFormatRoot, nullptr, kNewUserdefFormats, &new_userdef_methods, nullptr},
    {&Names::ExecuteQueryList, kDataFormatRoot, nullptr, kExecuteQueryListFormats, &execute_query_list_methods, nullptr},
    {&Names::ExecuteQuery, kDataFormatRoot, nullptr, kExecuteQueryFormats, &execute_query_methods, nullptr},
    {&Names::DataDiscovery, kRootBasic, nullptr, {}, &data_discovery_methods, nullptr},
    {&Names::RequestStatus, kDataFormatRoot, nullptr, kRequestStatusFormats, &request_status_methods, nullptr},
    {&Names::DBCredentialsRoot, kDataFormatRoot, nullptr, kDBCredentialsFormats, &db_credentials_methods,
     &state.db_credentials_class_cell},
    {&Names::DDURLParserBuilderRoot, kRootBasic, nullptr, {}, &dd_url_parser_builder_methods,
     &state.dd_url_parser_builder_class_cell},
};

// The most derived metaclass among the bases, as a class statement picks it.
PyObject* metaclass_of(PyObject* bases) {
    PyTypeObject* winner = &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) {
            continue;
        }
        if (!PyType_IsSubtype(candidate, winner)) {
            PyErr_SetString(PyExc_TypeError,
                            "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                            "subclass of the metaclasses of all its bases");
            return nullptr;
        }
        winner = candidate;
    }
    return reinterpret_cast<PyObject*>(winner);
}

Ref make_method(const MethodEntry& entry, int line) {
    Ref function = Ref::steal(new_function(*entry.function, line));
    if (!function) {
        return {};
    }
    switch (entry.kind) {
        case MethodKind::StaticMethod:
            return call(state.staticmethod, function.get());
        case MethodKind::Property:
            return call(state.property, function.get());
        case MethodKind::Method:
            break;
    }
    return function;
}

int run_class_statement(const ClassDef& def, PyObject* class_name, PyObject* base_name, int line) {
    Ref bases;
    if (base_name != nullptr) {
        Ref base = global_named(base_name);
        bases = base ? Ref::steal(PyTuple_Pack(1, base.get())) : Ref();
    } else {
        bases = Ref::borrow(state.empty_tuple);
    }
    if (!bases) {
        return -1;
    }
    PyObject* metaclass = metaclass_of(bases.get());
    Ref ns = metaclass != nullptr ? Ref::steal(PyDict_New()) : Ref();
    if (!ns || PyDict_SetItem(ns.get(), names.__module__, names.module_name) < 0 ||
        PyDict_SetItem(ns.get(), names.__qualname__, class_name) < 0) {
        return -1;
    }
    if (def.own_attributes != nullptr && def.own_attributes(ns.get()) < 0) {
        return -1;
    }
    if (!def.formats.empty()) {
        Ref table = formats_table(def.formats, false);
        if (!table || PyDict_SetItem(ns.get(), names.formats, table.get()) < 0) {
            return -1;
        }
    }
    int method_line = line;
    for (const MethodEntry& entry : *def.methods) {
        method_line += 2;
        Ref method = make_method(entry, method_line);
        Ref method_name = method ? Ref::steal(bare_name(*entry.function)) : Ref();
        if (!method_name || PyDict_SetItem(ns.get(), method_name.get(), method.get()) < 0) {
            return -1;
        }
    }
    Ref cell;
    if (def.class_cell != nullptr) {
        cell = Ref::steal(PyCell_New(nullptr));
        if (!cell || PyDict_SetItem(ns.get(), names.__classcell__, cell.get()) < 0) {
            return -1;
        }
    }
    Ref cls = call(metaclass, class_name, bases.get(), ns.get());
    if (!cls) {
        return -1;
    }
    if (Py_IS_TYPE(cls.get(), &PyType_Type)) {
        reinterpret_cast<PyTypeObject*>(cls.get())->tp_vectorcall = class_vectorcall;
    }
    if (def.class_cell != nullptr) {
        // type() has filled the cell; the initialiser reads it at call time.
        Py_XSETREF(*def.class_cell, cell.release());
    }
    return PyDict_SetItem(state.globals, class_name, cls.get());
}

// Source lines of the statements, for traceback entries.
constexpr int kFirstImportLine = 1;
constexpr int kLoggerLine = 16;
constexpr int kFunctionLine = 18;
constexpr int kFirstClassLine = 30;
constexpr int kClassLineStep = 40;

}  // namespace

int run_module_body(int* failed_line) {
    int line = kFirstImportLine;
    for (const ImportDef& def : kImports) {
        *failed_line = line++;
        if (run_import(def) < 0) {
            return -1;
        }
    }

    *failed_line = kLoggerLine;
    Ref logging = module_global(names.logging);
    Ref log = logging ? call_method(logging.get(), names.getLogger, names.logger_name) : Ref();
    if (!log || PyDict_SetItem(state.globals, names.log, log.get()) < 0) {
        return -1;
    }

    *failed_line = kFunctionLine;
    Ref function = Ref::steal(new_function(check_apikey_querystring_def, kFunctionLine));
    if (!function || PyDict_SetItem(state.globals, names.check_apikey_querystring, function.get()) < 0) {
        return -1;
    }

    for (int id = 0; id < kClassCount; ++id) {
        const ClassDef& def = kClasses[id];
        const int class_line = kFirstClassLine + id * kClassLineStep;
        *failed_line = class_line;
        PyObject* base_name = def.base == kNoBase ? nullptr : names.*kClasses[def.base].name;
        if (run_class_statement(def, names.*def.name, base_name, class_line) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace roots
