// The function object that carries every method of the module and its one
// free function.
//
// It binds to instances like a function defined in a class statement
// (`tp_descr_get`), receives `self` as args[0] through vectorcall, binds
// keywords by parameter name and honours defaults, and answers
// `inspect.signature` through a `__code__` built from its parameter names.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>

namespace roots {

// Every method receives all of its parameters, defaults filled in, in the
// order of its parameter list.  Returns a new reference, or null with an error.
using Body = PyObject* (*)(PyObject* const* args);

// The default of a function's last parameter, when it has one.
enum class Default : std::uint8_t { Absent, None, True, EmptyTuple };

inline constexpr int kMaxParams = 4;

struct FunctionDef {
    const char* qualname;                        // "Class.method", or the bare name
    std::array<const char*, kMaxParams> params;  // unused slots stay null
    Body body;
    Default last_default = Default::Absent;
    const char* annotation_key = nullptr;    // at most one annotation, given as a string
    const char* annotation_value = nullptr;
    bool first_param_exact_dict = false;  // refused before the body runs unless exactly a dict

    constexpr int param_count() const {
        int count = 0;
        while (count < kMaxParams && params[count] != nullptr) {
            ++count;
        }
        return count;
    }
    constexpr int default_count() const { return last_default == Default::Absent ? 0 : 1; }
};

// The bare name of a function (its qualified name after the last dot), interned.
PyObject* bare_name(const FunctionDef& def);

// Runs a body.  The checked build (sanitizers) stops the process when a
// body is entered with an exception pending: every caller must have
// returned on the error instead of calling on.
inline PyObject* run_body(const FunctionDef& def, PyObject* const* args) {
#ifdef ROOTS_CHECKED
    if (PyErr_Occurred()) {
        Py_FatalError("korvane.roots: a method body was entered with an exception pending");
    }
#endif
    return def.body(args);
}

// Empties the memory of which initialiser each class resolved to.
void forget_class_inits();

// Creates the function type; called once by the exec step.
int init_function_type();

// A new function object for `def`, its traceback entries and `__code__`
// placed at `line` of the module's source file.
PyObject* new_function(const FunctionDef& def, int line);

// Calls a function object of this module with `nargs` positional arguments
// in hand, as `func(*args)` would, but without binding: its body runs
// directly when the arguments fit the parameter list (defaults filled in),
// and the traceback entry is added when an exception leaves it.  Anything
// else (too many or too few arguments, a refused first argument) goes
// through the ordinary call for its exact error.  `func` must be exactly of
// the module's function type, and the caller a body: the entry it runs in
// holds the module for both.
PyObject* call_body_direct(PyObject* func, PyObject* const* args, Py_ssize_t nargs);

// What calling one of the module's classes runs (its `tp_vectorcall`):
// `cls(*args, **kwargs)` as `type.__call__` would do it, without the
// argument tuple, the special-method lookup and the bound initialiser in
// between, while the class still allocates with `object.__new__` and its
// `__init__` resolves to one of the module's functions.  Anything else
// (a `__new__` or an `__init__` assigned since, an abstract class, a
// metaclass) takes `type.__call__` itself.
PyObject* class_vectorcall(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// The thread state under which a body of this module runs on this thread,
// null when none does.  Every body is entered through the function type's
// vectorcall, which records the caller's thread state for the bodies it
// runs (and restores the previous one on leaving, so a nested entry under
// another thread state is undone); the bodies then test for a pending
// error without a thread-local lookup in the interpreter's library.
extern constinit thread_local PyThreadState* running_tstate __attribute__((tls_model("initial-exec")));

// PyErr_Occurred() != nullptr, for code that runs inside a body.
inline bool error_pending() {
    PyThreadState* tstate = running_tstate;
    return tstate != nullptr ? tstate->current_exception != nullptr : PyErr_Occurred() != nullptr;
}

// Whether `obj` is one of this module's function objects.
bool is_module_function(PyObject* obj);

// Adds a traceback entry for `code` to the pending exception.
void add_traceback_entry(PyObject* code);
// Releases (or, with the interpreter gone, forgets) the frames kept for
// traceback entries, which hold the module's globals.
void forget_spare_frames();

// A code object named `name` in the module's source file at `line`, with the
// given parameter names (may be null for none).
PyObject* make_code(PyObject* name, int line, PyObject* varnames, int argcount);

}  // namespace roots
