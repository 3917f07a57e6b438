// Process-global state of the module.
//
// The module keeps no per-module state: everything here is made while the
// module initialises and only read afterwards, which is also why the module
// refuses to load into a second interpreter.  It lives as long as the
// process, holding the module object it was made for, and is forgotten when
// the interpreter finalises, so that an application that initialises Python
// again loads the module afresh.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace roots {

struct State {
    PyObject* module = nullptr;    // the module of this process; cleared when its exec step fails
    PyObject* globals = nullptr;   // that module's own dictionary
    PyObject* builtins = nullptr;  // the builtins module
    int64_t interpreter_id = -1;   // the interpreter that first created the module
    // Counts the loads begun in this process.  Each function remembers the
    // load that made it, and refuses to run once that load failed or its
    // interpreter was finalised: its class may outlive the state it reads.
    uint64_t generation = 0;
    bool loaded = false;  // the exec step of `generation` completed

    PyObject* zero = nullptr;
    PyObject* one = nullptr;
    PyObject* two = nullptr;

    // Builtins looked up once.
    PyObject* property = nullptr;
    PyObject* staticmethod = nullptr;
    PyObject* super = nullptr;
    PyObject* KeyError = nullptr;
    PyObject* enumerate = nullptr;

    // Constant tuples used by the method bodies.
    PyObject* apikey_warning_header = nullptr;   // ("Warning", <recommendation>)
    PyObject* querystudio_permissions = nullptr;  // ("querystudio_editor", "create_query")
    PyObject* database_permissions = nullptr;     // view, edit and execute a database
    PyObject* database_view_edit = nullptr;       // view and edit a database
    PyObject* user_view_edit = nullptr;           // view and edit a user definition
    PyObject* user_view_create = nullptr;         // view and create a user definition
    PyObject* empty_tuple = nullptr;
    PyObject* from_third = nullptr;  // slice(2, None): the path segments after the first two

    // Keyword-name tuples for vectorcalls.
    PyObject* kw_explanation = nullptr;
    PyObject* kw_location = nullptr;
    PyObject* kw_location_headers = nullptr;
    PyObject* kw_from_memcache = nullptr;
    PyObject* kw_retry = nullptr;
    PyObject* kw_check_ext = nullptr;
    PyObject* kw_all_users = nullptr;

    // `__class__` cells of the initialisers that call zero-argument super().
    PyObject* db_credentials_class_cell = nullptr;
    PyObject* dd_url_parser_builder_class_cell = nullptr;

    PyTypeObject* function_type = nullptr;
};

extern State state;

}  // namespace roots
