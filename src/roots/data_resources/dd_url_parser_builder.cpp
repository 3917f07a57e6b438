// DDURLParserBuilderRoot: the service routes that take a data-discovery URL
// apart ("parse") or put one together ("build").
#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

using NamePtr = PyObject* Names::*;

constexpr char kDatabaseNotFound[] = "Database %S was not found.";

// `body.get(member)`.  A JSON body that is not an object (an array, a
// string, a number, null) has no members, just as an object lacking the
// member: the request then names no database and is answered 404, not
// with a server error.
Ref body_member(PyObject* body, PyObject* member) {
    int json_non_object = body == Py_None ? 1 : 0;
    for (PyTypeObject* type : {&PyList_Type, &PyUnicode_Type, &PyLong_Type, &PyFloat_Type}) {
        if (json_non_object == 0) {
            json_non_object = is_instance(body, type);
        }
    }
    if (json_non_object < 0) {
        return {};
    }
    return json_non_object ? none() : get_item(body, member);
}

PyObject* ddurlparser_builder_root_db_config(PyObject* const* args) {
    PyObject* self = args[0];
    return store_record(self, names.databases, names.db_id).release();
}
constexpr FunctionDef kDdurlparserBuilderRootDbConfig{"DDURLParserBuilderRoot.db_config", {"self"}, ddurlparser_builder_root_db_config};

PyObject* ddurlparser_builder_root_init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];
    if (super_init_from_cell(state.dd_url_parser_builder_class_cell, self, request) < 0) {
        return nullptr;
    }
    Ref user_id = getattr(self, names.authenticated_user_id);
    if (!user_id || setattr(self, names.is_admin, compare_equal(user_id.get(), names.admin)) < 0) {
        return nullptr;
    }

    // "parse" is tested first: a path holding both words parses.
    Ref path = getattr(request, names.path);
    const int is_parse = path ? contains(path.get(), names.parse) : -1;
    const int is_build = is_parse == 0 ? contains(path.get(), names.build) : 0;
    if (is_parse < 0 || is_build < 0) {
        return nullptr;
    }
    Ref database;
    Ref url_segments;
    if (is_parse) {
        Ref body = getattr(request, names.json);
        if (!body || setattr(self, names.path, body_member(body.get(), names.path)) < 0) {
            return nullptr;
        }
        Ref split_path = module_global(names.split_path);
        Ref dd_path = split_path ? getattr(self, names.path) : Ref();
        Ref split = dd_path ? call(split_path.get(), dd_path.get()) : Ref();
        Ref segments = split ? subscript(split.get(), state.zero) : Ref();
        database = segments ? subscript(segments.get(), state.one) : Ref();
        if (!database && segments && PyErr_ExceptionMatches(PyExc_IndexError)) {
            // A path too short to hold the database segment names no
            // database, like a build request without one: answered 404 below.
            PyErr_Clear();
            database = none();
        }
        url_segments = database ? subscript(segments.get(), state.from_third) : Ref();
    } else if (is_build) {
        Ref body = getattr(request, names.json);
        database = body ? body_member(body.get(), names.database) : Ref();
        url_segments = database ? Ref::steal(PyList_New(1)) : Ref();
        if (url_segments) {
            PyList_SET_ITEM(url_segments.get(), 0, database.new_ref());
        }
    } else {
        if (log_message(names.debug, names.unrecognized_dd_method) < 0) {
            return nullptr;
        }
        return raise_explained(names.HTTPForbidden, names.unrecognized_dd_method);
    }
    if (!url_segments || setattr(self, names.db_id, database.get()) < 0) {
        return nullptr;
    }

    Ref databases = store_mapping(self, names.databases);
    Ref db_config = databases ? getattr(self, names.db_config) : Ref();
    if (!db_config) {
        return nullptr;
    }
    if (db_config.get() == Py_None) {
        return raise_explained_by(names.HTTPNotFound, [&] {
            Ref db_id = getattr(self, names.db_id);
            return db_id ? format_text(kDatabaseNotFound, db_id.get()) : Ref();
        });
    }

    Ref get_model = module_global(names.get_model);
    Ref db_id = get_model ? getattr(self, names.db_id) : Ref();
    Ref db_model = db_id ? call_kw(get_model.get(), state.kw_retry, databases.get(), db_id.get(), request) : Ref();
    Ref segments_substitution = db_model ? module_global(names.segments_substitution) : Ref();
    Ref params = segments_substitution ? getattr(request, names.params) : Ref();
    Ref charset = params ? getattr(request, names.charset) : Ref();
    if (!charset || setattr(self, names.url_segments,
                            call(segments_substitution.get(), url_segments.get(), params.get(), db_model.get(),
                                 charset.get())) < 0) {
        return nullptr;
    }

    // The database is looked up before access is checked: an unknown
    // database is 404 for everybody, whatever their rights.
    if (!call_method(self, names._set_special_attributes_from_request, request) ||
        !call_method(self, names._check_db_access_permissions)) {
        return nullptr;
    }
    // Both directions speak JSON whatever the path's extension says.
    if (setattr(self, names.request_format, names.json) < 0 || setattr(self, names.response_format, names.json) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kDdurlparserBuilderRootInit{"DDURLParserBuilderRoot.__init__", {"self", "request"}, ddurlparser_builder_root_init};

// Each attribute: the query parameter, else the deployment's setting, else
// the server's constant.
struct SpecialAttribute {
    NamePtr attribute;
    NamePtr parameter;
    NamePtr setting;
    NamePtr fallback;
};

const SpecialAttribute kSpecialAttributes[] = {
    {&Names::wildcard, &Names::wildcard, &Names::wildcard, &Names::DEFAULT_WILDCARD},
    {&Names::separator, &Names::separator, &Names::separator, &Names::DEFAULT_SEPARATOR},
    {&Names::null_placeholder, &Names::nullStr, &Names::setting_null_str, &Names::DEFAULT_NULL_PLACEHOLDER},
};

PyObject* ddurlparser_builder_root_set_special_attributes_from_request(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];
    for (const SpecialAttribute& special : kSpecialAttributes) {
        Ref get_url_param = module_global(names.get_url_param);
        Ref ini_settings = get_url_param ? getattr(self, names.ini_settings) : Ref();
        Method get = ini_settings ? method_of(ini_settings.get(), names.get) : Method();
        Ref fallback = get ? global_named(names.*special.fallback) : Ref();
        Ref preset = fallback ? get(names.*special.setting, fallback.get()) : Ref();
        Ref text_type = preset ? module_global(names.str_type) : Ref();
        if (!text_type || setattr(self, names.*special.attribute,
                                  call(get_url_param.get(), request, names.*special.parameter, preset.get(),
                                       text_type.get())) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kDdurlparserBuilderRootSetSpecialAttributesFromRequest{"DDURLParserBuilderRoot._set_special_attributes_from_request", {"self", "request"}, ddurlparser_builder_root_set_special_attributes_from_request};

const MethodEntry kDDURLParserBuilderRootMethods[] = {
    {MethodKind::Property, &kDdurlparserBuilderRootDbConfig},
    {MethodKind::Method, &kDdurlparserBuilderRootInit},
    {MethodKind::Method, &kDdurlparserBuilderRootSetSpecialAttributesFromRequest},
};

}  // namespace

const MethodTable dd_url_parser_builder_methods{kDDURLParserBuilderRootMethods};

}  // namespace roots
