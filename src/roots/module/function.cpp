#include "roots/module/function.hpp"

#include <frameobject.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <string_view>
#include <utility>

#include "roots/module/api.hpp"

namespace roots {

constinit thread_local PyThreadState* running_tstate __attribute__((tls_model("initial-exec"))) = nullptr;

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    int param_count;
    int default_count;
    PyObject* param_names[kMaxParams];  // interned, owned
    uint64_t generation;        // the load of the module that made the function
    PyObject* name;
    PyObject* qualname;
    PyObject* defaults;         // tuple, or null when the function has none
    PyObject* annotations;      // dict; null only after the collector cleared it
    PyObject* code;             // what `inspect.signature` reads
    PyObject* traceback_code;   // names the traceback entry "korvane.roots.<qualname>"
    PyObject* dict;
    PyObject* weakreflist;
};

FunctionObject* as_function(PyObject* obj) { return reinterpret_cast<FunctionObject*>(obj); }

// The texts below are the interpreter's own argument errors, which callers
// and their tests match on.
PyObject* positional_count_error(const FunctionObject* f, bool too_many, Py_ssize_t given) {
    const bool exact = f->default_count == 0;
    const Py_ssize_t expected = too_many || exact ? f->param_count : f->param_count - f->default_count;
    const char* more_or_less = exact ? "exactly" : (too_many ? "at most" : "at least");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 PyUnicode_AsUTF8(f->name), more_or_less, expected, expected == 1 ? "" : "s", given);
    return nullptr;
}

int keyword_index(const FunctionObject* f, PyObject* keyword) {
    for (int i = 0; i < f->param_count; ++i) {
        if (f->param_names[i] == keyword) {
            return i;
        }
    }
    for (int i = 0; i < f->param_count; ++i) {
        if (PyUnicode_Compare(f->param_names[i], keyword) == 0) {
            return i;
        }
    }
    return -1;
}

// Binds `args` and `kwnames` to the parameter list.  Checks run in the order
// the interpreter's own binder uses, so the first fault decides the message:
// too many positionals, then the first missing required parameter, then the
// first keyword that is unknown or repeats a positional.
bool bind_arguments(const FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound) {
    if (nargs > f->param_count) {
        positional_count_error(f, true, nargs);
        return false;
    }
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    PyObject* const* kwvalues = args + nargs;
    const int required = f->param_count - f->default_count;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound[i] = args[i];
    }
    for (int i = static_cast<int>(nargs); i < f->param_count; ++i) {
        bound[i] = nullptr;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            if (keyword == f->param_names[i] ||
                (PyUnicode_Check(keyword) && PyUnicode_Compare(keyword, f->param_names[i]) == 0)) {
                bound[i] = kwvalues[k];
                break;
            }
        }
        if (bound[i] == nullptr) {
            if (i < required) {
                positional_count_error(f, false, i);
                return false;
            }
            bound[i] = PyTuple_GET_ITEM(f->defaults, i - required);
        }
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", PyUnicode_AsUTF8(f->name));
            return false;
        }
        const int index = keyword_index(f, keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", PyUnicode_AsUTF8(f->name),
                         keyword);
            return false;
        }
        if (index < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         PyUnicode_AsUTF8(f->name), keyword);
            return false;
        }
    }
    return true;
}

// A body may only read the state of the load that made it: the classes of
// a load that failed, or of an interpreter since finalised, can outlive
// that state (in a traceback's frame, say) and must not run.
bool made_by_live_module(const FunctionObject* f) {
    if (state.loaded && f->generation == state.generation) {
        return true;
    }
    PyErr_Format(PyExc_RuntimeError,
                 "%U cannot run: the module %s that defined it failed to load or has been released",
                 f->qualname, kModuleName);
    return false;
}

// The interpreter's own check of a C function's result: a null result
// without an exception, or a result with one pending, is a fault of the
// body and is reported as such instead of being passed on.
PyObject* checked_result(PyObject* callable, PyObject* result) {
    if (result == nullptr) {
        if (!error_pending()) {
            PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an exception", callable);
        }
        return nullptr;
    }
    if (error_pending()) {
        Py_DECREF(result);
        PyObject* cause = PyErr_GetRaisedException();
        PyErr_Format(PyExc_SystemError, "%R returned a result with an exception set", callable);
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetCause(error, Py_NewRef(cause));
        PyException_SetContext(error, cause);
        PyErr_SetRaisedException(error);
        return nullptr;
    }
    return result;
}

// Runs the body of `f` on its bound arguments, adding its traceback entry
// when an exception leaves it.
//
// Bodies call each other directly, with no interpreter frame in between
// to count them, so each entry counts against the interpreter's limit on
// C recursion: a cycle of bodies (an initialiser that resolves back to
// itself) ends in RecursionError rather than a stack overflow.  The module
// is held while a body entered from outside (`kEntry`) runs: the body reads
// the module's state, which a collection would otherwise clear once nothing
// else refers to the module.  The bodies it calls in turn run inside it.
template <bool kEntry>
PyObject* enter_body(PyObject* callable, FunctionObject* f, PyObject* const* bound) {
    PyThreadState* tstate = running_tstate != nullptr ? running_tstate : PyThreadState_Get();
    if (tstate->c_recursion_remaining-- <= 0) {
        // The interpreter's own check raises the error (and keeps its
        // headroom for handling it).
        ++tstate->c_recursion_remaining;
        if (Py_EnterRecursiveCall("") != 0) {
            return nullptr;
        }
    }
    Ref module = kEntry ? Ref::borrow(state.module) : Ref();
    PyObject* result = checked_result(callable, run_body(*f->def, bound));
    if (result == nullptr) {
        add_traceback_entry(f->traceback_code);
    }
    ++tstate->c_recursion_remaining;
    return result;
}

// Records the thread state of the caller for the bodies that run inside
// one entry, and restores the outer one on leaving.
class RunningThreadState {
public:
    RunningThreadState() : outer_(running_tstate) { running_tstate = PyThreadState_Get(); }
    ~RunningThreadState() { running_tstate = outer_; }
    RunningThreadState(const RunningThreadState&) = delete;
    RunningThreadState& operator=(const RunningThreadState&) = delete;

private:
    PyThreadState* outer_;
};

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    RunningThreadState running;
    FunctionObject* f = as_function(callable);
    if (!made_by_live_module(f)) {
        return nullptr;
    }
    PyObject* bound[kMaxParams];
    if (!bind_arguments(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
        add_traceback_entry(f->traceback_code);
        return nullptr;
    }
    // The declared type of the first parameter is a precondition of the
    // call, not a step of the body: its refusal leaves no traceback entry.
    if (f->def->first_param_exact_dict && !PyDict_CheckExact(bound[0])) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     f->def->params[0], "dict", Py_TYPE(bound[0])->tp_name);
        return nullptr;
    }
    return enter_body<true>(callable, f, bound);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

// Breaks reference cycles only.  The fields every reader relies on (the
// parameter names, name, qualified name, defaults, code objects) cannot
// take part in a cycle, as they hold only strings, constants and code, and
// stay valid: a function the collector cleared can still be called,
// printed and introspected while the rest of its cycle goes.
int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    FunctionObject* f = as_function(self);
    if (f->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    for (int i = 0; i < kMaxParams; ++i) {
        Py_CLEAR(f->param_names[i]);
    }
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->code);
    Py_CLEAR(f->traceback_code);
    type->tp_free(self);
    Py_DECREF(type);
}

// Functions pickle and copy by reference, as the interpreter's own do: the
// pickle names the qualified name under the module, and copies are the
// function itself.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

#ifdef ROOTS_CHECKED
// Two bodies that break the rule, so that the checked build's tests can
// see the wrapper report them as the interpreter would.
PyObject* returns_null_without_error(PyObject* const*) { return nullptr; }
PyObject* returns_value_with_error(PyObject* const*) {
    PyErr_SetString(PyExc_ValueError, "left pending");
    Py_RETURN_NONE;
}
constexpr FunctionDef kReturnsNull{"faulty.returns_null", {}, returns_null_without_error};
constexpr FunctionDef kKeepsError{"faulty.keeps_error", {}, returns_value_with_error};

PyObject* faulty_bodies(PyObject*, PyObject*) {
    Ref returns_null = Ref::steal(new_function(kReturnsNull, 1));
    Ref keeps_error = returns_null ? Ref::steal(new_function(kKeepsError, 1)) : Ref();
    return keeps_error ? PyTuple_Pack(2, returns_null.get(), keeps_error.get()) : nullptr;
}
#endif

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
#ifdef ROOTS_CHECKED
    {"_faulty_bodies", faulty_bodies, METH_NOARGS | METH_STATIC, nullptr},
#endif
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_function(self)->code); }
PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
    }
    return Py_XNewRef(f->annotations);
}
PyObject* get_defaults(PyObject* self, void*) {
    PyObject* defaults = as_function(self)->defaults;
    return Py_NewRef(defaults != nullptr ? defaults : Py_None);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakreflist), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "korvane.roots.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

PyObject* default_value(Default value) {
    switch (value) {
        case Default::None:
            return Py_NewRef(Py_None);
        case Default::True:
            return Py_NewRef(Py_True);
        case Default::EmptyTuple:
            return Py_NewRef(state.empty_tuple);
        case Default::Absent:
            break;
    }
    return nullptr;
}

}  // namespace

int init_function_type() {
    if (state.function_type != nullptr) {
        return 0;
    }
    state.function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    if (state.function_type == nullptr) {
        // The interpreter's type builder can fail an allocation without
        // saying so; the load must still fail with an error.
        if (!PyErr_Occurred()) {
            PyErr_NoMemory();
        }
        return -1;
    }
    return 0;
}

PyObject* bare_name(const FunctionDef& def) {
    const std::string_view qualname(def.qualname);
    const size_t dot = qualname.rfind('.');
    const std::string_view name = dot == std::string_view::npos ? qualname : qualname.substr(dot + 1);
    PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (text != nullptr) {
        PyUnicode_InternInPlace(&text);
    }
    return text;
}

PyObject* make_code(PyObject* name, int line, PyObject* varnames, int argcount) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(PyUnicode_AsUTF8(names.source_file), PyUnicode_AsUTF8(name), line)));
    if (!code || varnames == nullptr) {
        return code.release();
    }
    Ref kwnames = Ref::steal(PyTuple_Pack(3, names.co_argcount, names.co_nlocals, names.co_varnames));
    Ref count = kwnames ? Ref::steal(PyLong_FromLong(argcount)) : Ref();
    if (!count) {
        return nullptr;
    }
    return call_method_kw(code.get(), names.replace, kwnames.get(), count.get(), count.get(), varnames).release();
}

PyObject* new_function(const FunctionDef& def, int line) {
    Ref obj = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(FunctionObject, state.function_type)));
    if (!obj) {
        return nullptr;
    }
    FunctionObject* f = as_function(obj.get());
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->param_count = def.param_count();
    f->default_count = def.default_count();
    for (int i = 0; i < kMaxParams; ++i) {
        f->param_names[i] = nullptr;
    }
    f->generation = state.generation;
    f->name = f->qualname = f->defaults = f->annotations = nullptr;
    f->code = f->traceback_code = f->dict = f->weakreflist = nullptr;
    PyObject_GC_Track(obj.get());

    for (int i = 0; i < f->param_count; ++i) {
        f->param_names[i] = PyUnicode_InternFromString(def.params[i]);
        if (f->param_names[i] == nullptr) {
            return nullptr;
        }
    }
    f->qualname = PyUnicode_InternFromString(def.qualname);
    f->name = bare_name(def);
    f->annotations = PyDict_New();
    if (f->qualname == nullptr || f->name == nullptr || f->annotations == nullptr) {
        return nullptr;
    }
    if (def.annotation_key != nullptr) {
        Ref value = Ref::steal(PyUnicode_FromString(def.annotation_value));
        if (!value || PyDict_SetItemString(f->annotations, def.annotation_key, value.get()) < 0) {
            return nullptr;
        }
    }
    if (f->default_count > 0) {
        f->defaults = PyTuple_New(1);
        if (f->defaults == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(f->defaults, 0, default_value(def.last_default));
    }
    Ref varnames = Ref::steal(PyTuple_New(f->param_count));
    if (!varnames) {
        return nullptr;
    }
    for (int i = 0; i < f->param_count; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(f->param_names[i]));
    }
    f->code = make_code(f->name, line, varnames.get(), f->param_count);
    Ref traceback_name = Ref::steal(PyUnicode_FromFormat("%U.%U", names.module_name, f->qualname));
    if (f->code == nullptr || !traceback_name) {
        return nullptr;
    }
    f->traceback_code = make_code(traceback_name.get(), line, nullptr, 0);
    if (f->traceback_code == nullptr) {
        return nullptr;
    }
    return obj.release();
}

bool is_module_function(PyObject* obj) { return Py_IS_TYPE(obj, state.function_type); }

PyObject* call_body_direct(PyObject* func, PyObject* const* args, Py_ssize_t nargs) {
    FunctionObject* f = as_function(func);
    const int required = f->param_count - f->default_count;
    if (!made_by_live_module(f)) {
        return nullptr;
    }
    if (nargs > f->param_count || nargs < required ||
        (f->def->first_param_exact_dict && nargs > 0 && !PyDict_CheckExact(args[0]))) {
        return function_vectorcall(func, args, static_cast<size_t>(nargs), nullptr);
    }
    PyObject* const* bound = args;
    PyObject* filled[kMaxParams];
    if (nargs < f->param_count) {
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            filled[i] = args[i];
        }
        for (int i = static_cast<int>(nargs); i < f->param_count; ++i) {
            filled[i] = PyTuple_GET_ITEM(f->defaults, i - required);
        }
        bound = filled;
    }
#ifdef ROOTS_CHECKED
    // Only bodies call bodies directly, inside an entry that holds the module.
    if (running_tstate == nullptr) {
        Py_FatalError("korvane.roots: a body was called directly from outside a body");
    }
#endif
    return enter_body<false>(func, f, bound);
}

namespace {

// The initialiser each class called last resolved to, for the state of
// its MRO its version tag stands for.  A change to any class dict along
// the MRO clears the tag, and the interpreter never hands out a tag twice
// (the table is emptied with the module's state, so a later interpreter's
// tags start on an empty table), so while the tag matches the function is still held by a class dict.
struct InitEntry {
    PyTypeObject* type;
    unsigned int version_tag;
    PyObject* init;  // borrowed, see above
};
constexpr unsigned int kInitEntries = 64;
constinit InitEntry init_entries[kInitEntries];

}  // namespace

void forget_class_inits() {
    // Tags start again in a new interpreter, and a class of it may land
    // where one of the old one was.
    std::fill(std::begin(init_entries), std::end(init_entries), InitEntry{});
}

namespace {

// The module's function `cls.__init__` resolves to, borrowed; null (no
// error set) when it resolves to anything else.
PyObject* module_init_of(PyTypeObject* cls) {
    InitEntry& entry = init_entries[(reinterpret_cast<std::uintptr_t>(cls) >> 4) % kInitEntries];
    if (entry.type == cls && entry.version_tag == cls->tp_version_tag && entry.version_tag != 0) {
        return entry.init;
    }
    // Without a tag there is nothing to remember the answer by.
    if (cls->tp_version_tag == 0 && !PyUnstable_Type_AssignVersionTag(cls)) {
        return nullptr;
    }
    const unsigned int tag = cls->tp_version_tag;
    PyObject* init = nullptr;
    const int walked = find_in_mro(cls, tag, 0, names.__init__, &init);
    if (walked < 0) {
        // The generic call looks again and meets the error itself.
        PyErr_Clear();
    }
    if (walked <= 0 || init == nullptr || !is_module_function(init)) {
        return nullptr;
    }
    entry = {cls, tag, init};
    return init;
}

// `type(cls).__call__(cls, *args, **kwargs)`, as a call without a vectorcall
// of its own is made.
PyObject* call_class_generically(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref positional = Ref::steal(PyTuple_New(nargs));
    if (!positional) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
    }
    Ref keywords;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        keywords = Ref::steal(PyDict_New());
        if (!keywords) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) {
                return nullptr;
            }
        }
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return nullptr;
    }
    PyObject* result = Py_TYPE(cls)->tp_call(cls, positional.get(), keywords.get());
    Py_LeaveRecursiveCall();
    return result;
}

constexpr Py_ssize_t kMaxClassCallArgs = 8;

}  // namespace

PyObject* class_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t given = nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
    PyObject* init = nullptr;
    if (Py_IS_TYPE(callable, &PyType_Type) && cls->tp_new == PyBaseObject_Type.tp_new &&
        given < kMaxClassCallArgs) {
        init = module_init_of(cls);
    }
    if (init == nullptr) {
        return call_class_generically(callable, args, nargs, kwnames);
    }
    // `object.__new__` itself, given no arguments to check: it also lays
    // out the instance's attribute storage as the class's other instances
    // have it.
    Ref self = Ref::steal(PyBaseObject_Type.tp_new(cls, state.empty_tuple, nullptr));
    if (!self) {
        return nullptr;
    }
    PyObject* stack[kMaxClassCallArgs];
    stack[0] = self.get();
    for (Py_ssize_t i = 0; i < given; ++i) {
        stack[i + 1] = args[i];
    }
    // The class dict may drop the function while its body runs.
    Ref hold = Ref::borrow(init);
    Ref result = Ref::steal(function_vectorcall(init, stack, static_cast<size_t>(nargs + 1), kwnames));
    if (!result) {
        return nullptr;
    }
    if (result.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(result.get())->tp_name);
        return nullptr;
    }
    return self.release();
}

namespace {

// The frame last made for a traceback entry of a code object, kept for the
// next entry of that code once the traceback that took it is gone: a frame
// made afresh costs a function object too.  Each frame holds its code
// alive, so a code object's address names it while its frame is kept.
struct SpareFrame {
    PyObject* code;
    PyObject* frame;
};
// Room for every function of the module: a code looks at a few slots from
// the one its address picks, so that two codes never take turns in one.
constexpr std::uintptr_t kSpareFrames = 256;
constexpr std::uintptr_t kSpareProbes = 8;
SpareFrame spare_frames[kSpareFrames];

// The slot of `code`: the one holding its frame, else the first free one
// it may take, else the one its address picks.
SpareFrame& spare_slot(PyObject* code) {
    const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(code);
    const std::uintptr_t picked = (address >> 4) ^ (address >> 12);
    for (std::uintptr_t i = 0; i < kSpareProbes; ++i) {
        SpareFrame& spare = spare_frames[(picked + i) % kSpareFrames];
        if (spare.code == code || spare.code == nullptr) {
            return spare;
        }
    }
    return spare_frames[picked % kSpareFrames];
}

// A frame of `code` in the module's globals for a traceback entry, or null
// with an error.
Ref entry_frame(PyObject* code) {
    SpareFrame& spare = spare_slot(code);
    if (spare.code == code && spare.frame != nullptr) {
        // Out of its slot while it is renewed: the renewal runs code, which
        // may make entries of its own.
        Ref kept = Ref::steal(std::exchange(spare.frame, nullptr));
        if (roots_renew_frame(kept.get(), state.globals)) {
            if (spare.code == code && spare.frame == nullptr) {
                spare.frame = Py_NewRef(kept.get());
            }
            return kept;
        }
        // Still held elsewhere: a new frame takes the slot.
    }
    PyThreadState* tstate = running_tstate;
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
        tstate != nullptr ? tstate : PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), state.globals, nullptr)));
    if (frame) {
        // The new frame is kept instead of another code's.  The slot is set
        // before the frame it held goes, whose release may run code.
        Ref previous = Ref::steal(spare.frame);
        spare = {code, Py_NewRef(frame.get())};
    }
    return frame;
}

}  // namespace

void forget_spare_frames() {
    for (SpareFrame& spare : spare_frames) {
        spare = {};
    }
}

void add_traceback_entry(PyObject* code) {
    // An entry belongs to an exception: with none pending there is nothing
    // to add it to, and without the module's globals no frame can be made.
    if (!error_pending() || state.globals == nullptr) {
        return;
    }
    // A kept frame that nothing was set on is renewed without running code,
    // so the error can stay where it is meanwhile.  It is out of its slot
    // while the entry is made, whose allocation may run code that makes
    // entries of its own: no two tracebacks share a frame.
    if (SpareFrame& spare = spare_slot(code);
        spare.code == code && spare.frame != nullptr && roots_renew_frame_quietly(spare.frame, state.globals)) {
        Ref kept = Ref::steal(std::exchange(spare.frame, nullptr));
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(kept.get()));
        if (spare.code == code && spare.frame == nullptr) {
            spare.frame = kept.release();
        }
        return;
    }
    PyObject* exception = PyErr_GetRaisedException();
    Ref frame = entry_frame(code);
    if (!frame) {
        // Losing a traceback line is better than losing the error itself.
        PyErr_Clear();
        PyErr_SetRaisedException(exception);
        return;
    }
    PyErr_SetRaisedException(exception);
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace roots
