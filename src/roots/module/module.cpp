// Module definition and initialisation.
//
// The module is process-global: it loads into one interpreter per process,
// its body runs at most once per successful load, and a failed load leaves
// nothing behind that would stop a later attempt in the same interpreter
// (the names and constants it made stay with that interpreter).
#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"
#include "roots/module/fast_path.hpp"
#include "roots/module/function.hpp"

#include <initializer_list>
#include <iterator>

namespace roots {

State state;

namespace {

constexpr int kBuiltForMajor = 3;
constexpr int kBuiltForMinor = 12;

PyObject* create_module(PyObject* spec, PyModuleDef* /*def*/) {
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (state.interpreter_id == -1) {
        if (current == -1) {
            return nullptr;
        }
        state.interpreter_id = current;
    } else if (state.interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (state.module != nullptr) {
        return Py_NewRef(state.module);
    }

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    Ref module = name ? Ref::steal(PyModule_NewObject(name.get())) : Ref();
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module.get());
    struct Copy {
        const char* from;
        const char* to;
        bool skip_none;
    };
    static constexpr Copy kCopies[] = {
        {"loader", "__loader__", false},
        {"origin", "__file__", false},
        {"parent", "__package__", false},
        {"submodule_search_locations", "__path__", true},
    };
    for (const Copy& copy : kCopies) {
        Ref value = Ref::steal(PyObject_GetAttrString(spec, copy.from));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                return nullptr;
            }
            PyErr_Clear();
            continue;
        }
        if (copy.skip_none && value.get() == Py_None) {
            continue;
        }
        if (PyDict_SetItemString(dict, copy.to, value.get()) < 0) {
            return nullptr;
        }
    }
    return module.release();
}

int check_runtime_version() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == kBuiltForMajor && minor == kBuiltForMinor) {
        return 0;
    }
    char message[200];
    PyOS_snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  kBuiltForMajor, kBuiltForMinor, kModuleName, "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

int keep_builtins() {
    struct Builtin {
        PyObject** slot;
        const char* name;
    };
    const Builtin kBuiltins[] = {
        {&state.property, "property"},   {&state.staticmethod, "staticmethod"}, {&state.super, "super"},
        {&state.KeyError, "KeyError"},   {&state.enumerate, "enumerate"},
    };
    PyObject* builtins = PyModule_GetDict(state.builtins);
    for (const Builtin& builtin : kBuiltins) {
        // Looked up with errors kept: a failed lookup is not a missing name.
        Ref name = Ref::steal(PyUnicode_FromString(builtin.name));
        PyObject* value = name ? PyDict_GetItemWithError(builtins, name.get()) : nullptr;
        if (value == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
            }
            return -1;
        }
        Py_XSETREF(*builtin.slot, Py_NewRef(value));
    }
    return 0;
}

// The constant tuples and keyword-name tuples that the method bodies use.
// They are made together and stored together, so that a load that fails
// half-way leaves no slot filled and a retry finds either all or none.
int make_constants() {
    if (state.empty_tuple != nullptr) {
        return 0;
    }
    struct Tuple {
        PyObject** slot;
        std::initializer_list<PyObject*> items;
    };
    const Tuple kTuples[] = {
        {&state.apikey_warning_header, {names.warning_header, names.apikey_query_warning}},
        {&state.querystudio_permissions, {names.querystudio_editor, names.create_query}},
        {&state.database_permissions, {names.view_database, names.edit_database, names.execute_database}},
        {&state.database_view_edit, {names.view_database, names.edit_database}},
        {&state.user_view_edit, {names.view_user, names.edit_user}},
        {&state.user_view_create, {names.view_user, names.create_user}},
        {&state.empty_tuple, {}},
        {&state.kw_explanation, {names.explanation}},
        {&state.kw_location, {names.location}},
        {&state.kw_location_headers, {names.location, names.headers}},
        {&state.kw_from_memcache, {names.from_memcache}},
        {&state.kw_retry, {names.retry}},
        {&state.kw_check_ext, {names.check_ext}},
        {&state.kw_all_users, {names.all_users}},
    };
    constexpr size_t kCount = std::size(kTuples);
    Ref made[kCount];
    for (size_t t = 0; t < kCount; ++t) {
        made[t] = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kTuples[t].items.size())));
        if (!made[t]) {
            return -1;
        }
        Py_ssize_t i = 0;
        for (PyObject* item : kTuples[t].items) {
            PyTuple_SET_ITEM(made[t].get(), i++, Py_NewRef(item));
        }
    }
    for (size_t t = 0; t < kCount; ++t) {
        *kTuples[t].slot = made[t].release();
    }
    return 0;
}

// 0, 1, 2 and slice(2, None), all or none, like the tuples above.
int make_integers() {
    if (state.from_third != nullptr) {
        return 0;
    }
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref one = zero ? Ref::steal(PyLong_FromLong(1)) : Ref();
    Ref two = one ? Ref::steal(PyLong_FromLong(2)) : Ref();
    Ref from_third = two ? Ref::steal(PySlice_New(two.get(), nullptr, nullptr)) : Ref();
    if (!from_third) {
        return -1;
    }
    state.zero = zero.release();
    state.one = one.release();
    state.two = two.release();
    state.from_third = from_third.release();
    return 0;
}

// Forgets every reference the state owns, for when the interpreter that
// owned them is gone.
void forget_state() {
    PyObject** const kSlots[] = {
        &state.module, &state.globals, &state.builtins, &state.zero, &state.one, &state.two,
        &state.property, &state.staticmethod, &state.super, &state.KeyError, &state.enumerate,
        &state.apikey_warning_header, &state.querystudio_permissions, &state.database_permissions,
        &state.database_view_edit, &state.user_view_edit, &state.user_view_create, &state.empty_tuple,
        &state.from_third, &state.kw_explanation, &state.kw_location, &state.kw_location_headers,
        &state.kw_from_memcache, &state.kw_retry, &state.kw_check_ext, &state.kw_all_users,
        &state.db_credentials_class_cell, &state.dd_url_parser_builder_class_cell,
        reinterpret_cast<PyObject**>(&state.function_type),
    };
    state.loaded = false;
    clear_fast_path_caches();
    forget_class_inits();
    for (PyObject** slot : kSlots) {
        *slot = nullptr;
    }
    forget_formats();
    forget_acl_entries();
    forget_spare_frames();
    forget_absent_items();
    forget_names();
}

// Runs at the very end of Py_FinalizeEx, when no object may be touched any
// more: whatever the finalisation left in the state belonged to that
// interpreter, so the pointers are dropped and a later Py_Initialize loads
// the module afresh, into whichever interpreter then imports it.
bool exit_hook_registered = false;

void forget_state_at_exit() {
    forget_state();
    forget_fast_path_watcher();
    forget_walk_watcher();
    state.interpreter_id = -1;
    exit_hook_registered = false;
}

// Source line of the exec step's own statements in traceback entries.
constexpr int kInitLine = 1;

int exec_module(PyObject* module) {
    if (state.module != nullptr) {
        if (state.module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'roots' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    state.module = Py_NewRef(module);
    Py_XSETREF(state.globals, Py_NewRef(PyModule_GetDict(module)));
    ++state.generation;

    bool names_ready = false;
    bool registered_here = false;
    int line = kInitLine;
    auto fail = [&]() {
        // The cleanup below calls into the interpreter, which must not run
        // with the error pending; it is put back before the traceback entry.
        PyObject* error = PyErr_GetRaisedException();
        Ref code;
        if (names_ready) {
            Ref name = Ref::steal(PyUnicode_FromFormat("init %U", names.module_name));
            code = name ? Ref::steal(make_code(name.get(), line, nullptr, 0)) : Ref();
        }
        if (registered_here) {
            // The import system forgets only the name it loaded the module
            // under; the qualified entry made here must go as well, or a
            // later import would be handed this half-built module.
            PyObject* modules = PyImport_GetModuleDict();
            if (PyDict_GetItemWithError(modules, names.module_name) == module) {
                PyDict_DelItem(modules, names.module_name);
            }
        }
        PyErr_Clear();
        PyErr_SetRaisedException(error);
        if (code) {
            add_traceback_entry(code.get());
        }
        state.loaded = false;
        Py_CLEAR(state.module);
        Py_CLEAR(state.globals);
        return -1;
    };

    if (state.builtins == nullptr) {
        state.builtins = PyImport_ImportModule("builtins");
        if (state.builtins == nullptr) {
            return fail();
        }
    }
    if (PyDict_SetItemString(state.globals, "__builtins__", state.builtins) < 0 || check_runtime_version() < 0) {
        return fail();
    }
    if (intern_names() < 0 || make_integers() < 0) {
        return fail();
    }
    names_ready = true;

    PyObject* modules = PyImport_GetModuleDict();
    const int registered = PyDict_Contains(modules, names.module_name);
    if (registered < 0 || (registered == 0 && PyDict_SetItem(modules, names.module_name, module) < 0)) {
        return fail();
    }
    registered_here = registered == 0;
    if (keep_builtins() < 0 || make_constants() < 0 || init_function_type() < 0 || find_fallback_read() < 0 ||
        find_tuple_field_type() < 0) {
        return fail();
    }
    if (run_module_body(&line) < 0) {
        return fail();
    }
    if (!exit_hook_registered) {
        // The table of exit hooks is small; without a slot the module still
        // works, it only cannot be loaded again after a re-initialisation.
        exit_hook_registered = Py_AtExit(forget_state_at_exit) == 0;
    }
    state.loaded = true;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "roots",
    nullptr,  // no docstring
    0,        // no per-module state: it is process-global
    nullptr,  // no methods: the module body makes its function and classes
    module_slots,
    // No traverse, clear or free step: the state holds the module for the
    // life of the process, so the classes a route configuration keeps work
    // whatever became of the module's entry in sys.modules.  The exit hook
    // forgets it all once the interpreter is gone.
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace roots

PyMODINIT_FUNC PyInit_roots() { return PyModuleDef_Init(&roots::module_def); }
