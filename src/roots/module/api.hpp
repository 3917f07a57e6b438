// The few operations every method body is written in: reading the module
// globals, attribute access, calls through vectorcall, and raising.
//
// All of them follow the CPython convention: a null `Ref` or -1 means a Python
// error is set, and the caller returns null in turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "roots/module/fast_path.hpp"
#include "roots/module/instance_values.h"
#include "roots/module/function.hpp"
#include "roots/module/names.hpp"
#include "roots/module/ref.hpp"
#include "roots/module/state.hpp"

namespace roots {

// The most targets an unpacking assignment of the module has.
inline constexpr Py_ssize_t kMaxUnpack = 3;

// A name of the module globals, falling back to the builtins, read at call
// time as Python code would (so tests can patch "korvane.roots.NAME").
//
// Each place that reads a global keeps what it read, valid while no
// watched dict has changed since, as the interpreter's global reads do.
[[gnu::always_inline]] inline Ref read_global(GlobalSite& site, PyObject* name) {
    if (site.name == name && site.epoch == globals_epoch && watched_globals == state.globals &&
        watched_globals != nullptr) {
        return Ref::borrow(site.value);
    }
    // As in cached_global, the epoch of before the lookup.
    const auto epoch = globals_epoch;
    PyObject* value = cached_global(name);
    if (value != nullptr) {
        site = {name, value, epoch};
    }
    return Ref::borrow(value);
}
// A site of `Type` of its own for each place the macro is written: the
// lambda is a new type, with a new static, at every expansion, as each
// read in the interpreter's bytecode has its own inline cache.
#define ROOTS_SITE(Type)                                                                           \
    []() -> Type& {                                                                                \
        static constinit Type site{};                                                              \
        return site;                                                                               \
    }()
#define ROOTS_GLOBAL_SITE ROOTS_SITE(::roots::GlobalSite)
#define module_global(name) ::roots::read_global(ROOTS_GLOBAL_SITE, (name))
// The same for a name that varies from call to call (a helper's
// parameter), which a site of its own would only churn.
inline Ref global_named(PyObject* name) { return Ref::borrow(cached_global(name)); }

// `obj.name` and `obj.name = value`: the attributes of plain instances are
// read and written in their own storage directly (see fast_path.hpp).
//
// Each place that reads an attribute keeps its own memory of the plain
// instance it last read (see `getattr` below): a read of the same name
// from the same kind of object as last time is then a few comparisons and
// one load.
// What a site of another kind than the two of plain instances says `obj.name` is, borrowed,
// or null when the site does not answer for this object.
PyObject* other_site_value(const AttributeSite& site, PyObject* obj);

// `obj.name` as `site` remembers it, borrowed, or null (no error set) when
// the site does not answer for this object and name.
[[gnu::always_inline]] inline PyObject* site_value(const AttributeSite& site, PyObject* obj, PyObject* name) {
    if (name != site.name) {
        return nullptr;
    }
    // The two kinds of plain instances are checked here, the rest out of line.
    PyTypeObject* type = Py_TYPE(obj);
    if (site.kind == SiteKind::kInline) {
        if (type == site.type && type->tp_version_tag == site.version_tag) {
            if (PyObject** values = roots_inline_values(obj)) {
                return values[site.index];
            }
        }
        return nullptr;
    }
    if (site.kind == SiteKind::kInDict) {
        if (type == site.type && type->tp_version_tag == site.version_tag) {
            if (PyObject* dict = roots_instance_dict(obj); dict != nullptr && PyDict_CheckExact(dict)) {
                return roots_dict_value_at(dict, name, site.index);
            }
        }
        return nullptr;
    }
    return other_site_value(site, obj);
}

[[gnu::always_inline]] inline Ref read_attribute(AttributeSite& site, PyObject* obj, PyObject* name) {
    if (PyObject* value = site_value(site, obj, name)) {
        return Ref::borrow(value);
    }
    return Ref::steal(get_attribute_at(site, obj, name));
}

// `getattr(obj, name)`: a macro only so that each place it is written gets
// a site of its own (see ROOTS_SITE).
#define ROOTS_ATTRIBUTE_SITE ROOTS_SITE(::roots::AttributeSite)
#define getattr(obj, name) ::roots::read_attribute(ROOTS_ATTRIBUTE_SITE, (obj), (name))
// `getattr(obj, name)` where the name is a helper's parameter, read for
// several names in turn (a record's fields, the store's mappings): a few
// sites, one picked by the name, rather than one that every name evicts.
inline constexpr std::uintptr_t kNamedSites = 8;
// The site of `sites` that last read `name`, else one that read nothing
// yet, else the one its address picks: two names that the address puts in
// one site would otherwise take it from each other at every read.
AttributeSite& other_site_for(AttributeSite (&sites)[kNamedSites], PyObject* name, std::uintptr_t picked);
[[gnu::always_inline]] inline AttributeSite& site_for(AttributeSite (&sites)[kNamedSites], PyObject* name) {
    const std::uintptr_t picked = (reinterpret_cast<std::uintptr_t>(name) >> 5) % kNamedSites;
    return sites[picked].name == name ? sites[picked] : other_site_for(sites, name, picked);
}
#define ROOTS_NAMED_SITES                                                                          \
    []() -> ::roots::AttributeSite(&)[::roots::kNamedSites] {                                      \
        static constinit ::roots::AttributeSite sites[::roots::kNamedSites]{};                     \
        return sites;                                                                              \
    }()
#define getattr_named(obj, name)                                                                   \
    [](PyObject* object, PyObject* attribute) {                                                    \
        return ::roots::read_attribute(::roots::site_for(ROOTS_NAMED_SITES, attribute), object, attribute); \
    }((obj), (name))
// `setattr(obj, name, value)`, a site of its own likewise.
#define setattr(obj, name, value) ::roots::write_attribute(ROOTS_ATTRIBUTE_SITE, (obj), (name), (value))
//
// `obj.name = value` likewise: a write of the same name to the same kind of
// object as last time stores into the remembered slot.  A null `value`
// deletes (through the generic protocol); a null Ref is an error passed on.
[[gnu::always_inline]] inline int write_attribute(AttributeSite& site, PyObject* obj, PyObject* name,
                                                  PyObject* value) {
    PyTypeObject* type = Py_TYPE(obj);
    if (value != nullptr && type == site.type && name == site.name && type->tp_version_tag == site.version_tag &&
        site.kind == SiteKind::kInline) {
        if (PyObject** values = roots_inline_values(obj)) {
            // Released only once the new value is in place: its finaliser
            // may read the attribute.
            Ref previous = Ref::steal(values[site.index]);
            values[site.index] = Py_NewRef(value);
            if (!previous) {
                roots_note_inline_insertion(values, site.index);
            }
            return 0;
        }
    }
    return set_attribute_at(site, obj, name, value);
}
[[gnu::always_inline]] inline int write_attribute(AttributeSite& site, PyObject* obj, PyObject* name,
                                                  const Ref& value) {
    return value ? write_attribute(site, obj, name, value.get()) : -1;
}

// PyVectorcall_Function, read in place as the library's own inline
// version reads it: the exported function costs a call of its own.
[[gnu::always_inline]] inline vectorcallfunc vectorcall_of(PyObject* callable) {
    PyTypeObject* type = Py_TYPE(callable);
    if (!PyType_HasFeature(type, Py_TPFLAGS_HAVE_VECTORCALL)) {
        return nullptr;
    }
    vectorcallfunc function;
    std::memcpy(&function, reinterpret_cast<char*>(callable) + type->tp_vectorcall_offset, sizeof(function));
    return function;
}

// PyObject_Vectorcall, with the thread state the running body already
// has: the interpreter's own call looks it up in its library's thread-local
// storage, a function call of its own, on every call.  A Python function
// given exactly its parameters, in order, runs in a frame pushed directly
// (see roots_call_exact).  The result is checked as the interpreter checks
// it.
[[gnu::always_inline]] inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                                   PyObject* kwnames) {
    PyThreadState* tstate = running_tstate;
    vectorcallfunc function = vectorcall_of(callable);
    if (function == nullptr || tstate == nullptr) {
        return PyObject_Vectorcall(callable, args, nargsf, kwnames);
    }
    PyObject* result;
    if (function != &_PyFunction_Vectorcall ||
        !roots_call_exact(tstate, callable, args, PyVectorcall_NARGS(nargsf), kwnames, &result)) {
        result = function(callable, args, nargsf, kwnames);
    }
    if ((result == nullptr) == (tstate->current_exception == nullptr)) {
        return _Py_CheckFunctionResult(tstate, callable, result, nullptr);
    }
    return result;
}

// `callable(*args)`.  One of the module's own functions runs its body
// directly: the arguments in hand need no binding.
template <class... Args>
Ref call(PyObject* callable, Args... args) {
    PyObject* stack[] = {nullptr, args...};
    if (is_module_function(callable)) {
        return Ref::steal(call_body_direct(callable, stack + 1, sizeof...(Args)));
    }
    return Ref::steal(vectorcall(callable, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `callable(*positional, **dict(zip(kwnames, keyword values)))`: the last
// len(kwnames) arguments are the keyword values.
template <class... Args>
Ref call_kw(PyObject* callable, PyObject* kwnames, Args... args) {
    PyObject* stack[] = {nullptr, args...};
    const size_t positional = sizeof...(Args) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return Ref::steal(
        vectorcall(callable, stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// `stack[1].name(*stack[2:1 + nargs])`; stack[0] is scratch space for the
// callee.  `site` remembers what the call reached last when the type
// answers for it (a function or a builtin's method called with
// `stack[1]`, a staticmethod, a module's function), for `call_method`.
Ref call_method_stack_at(AttributeSite& site, PyObject* name, PyObject** stack, size_t nargs);

// `function(*args[:nargs])`, args[-1] being scratch space for the callee:
// what a method call found; one of ours runs its body directly.
inline Ref call_found(PyObject* function, PyObject** args, size_t nargs) {
    if (is_module_function(function)) {
        return Ref::steal(call_body_direct(function, args, static_cast<Py_ssize_t>(nargs)));
    }
    return Ref::steal(vectorcall(function, args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `found(*stack[2:1 + nargs])` where `found` is what `stack[1].name` gave
// without binding (a module's attribute, a callable the instance keeps) or,
// for a kStaticMethod site, the staticmethod that gives it.
Ref call_unbound_at(const AttributeSite& site, PyObject* found, PyObject** stack, size_t nargs);

// What a method call site remembers `obj.name` to call, held (the call may
// change the class and drop it), or null (no error set) when the site does
// not answer for this object and name.
[[gnu::always_inline]] inline Ref site_method(const AttributeSite& site, PyObject* obj, PyObject* name) {
    if (name == site.name && site.kind >= SiteKind::kClassValue) {
        return Ref::borrow(other_site_value(site, obj));
    }
    return {};
}
// Whether what `site` remembers is called with the object first.
[[gnu::always_inline]] inline bool site_binds(const AttributeSite& site) {
    return site.kind == SiteKind::kClassValue || site.kind == SiteKind::kTypeMethod;
}

// `obj.name(*args)`, dispatched dynamically so that subclasses may override.
template <class... Args>
Ref call_method_at(AttributeSite& site, PyObject* obj, PyObject* name, Args... args) {
    PyObject* stack[] = {nullptr, obj, args...};
    constexpr size_t nargs = 1 + sizeof...(Args);
    if (Ref function = site_method(site, obj, name)) {
        return site_binds(site) ? call_found(function.get(), stack + 1, nargs)
                                : call_unbound_at(site, function.get(), stack, nargs);
    }
    return call_method_stack_at(site, name, stack, nargs);
}
#define call_method(obj, name, ...) \
    ::roots::call_method_at(ROOTS_ATTRIBUTE_SITE, (obj), (name)__VA_OPT__(, ) __VA_ARGS__)

// `stack[1].name(*stack[2:1 + positional], **keywords)`, the keyword values
// following the positional ones and named by `kwnames`; stack[0] is
// scratch space.  `site` as for call_method_stack_at.
Ref call_method_kw_stack_at(AttributeSite& site, PyObject* name, PyObject** stack, size_t positional,
                            PyObject* kwnames);

// `obj.name(*positional, **dict(zip(kwnames, keyword values)))`: the last
// len(kwnames) arguments are the keyword values.  Dispatched dynamically
// as call_method is.
template <class... Args>
Ref call_method_kw_at(AttributeSite& site, PyObject* obj, PyObject* name, PyObject* kwnames, Args... args) {
    PyObject* stack[] = {nullptr, obj, args...};
    const size_t positional = 1 + sizeof...(Args) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    if (Ref function = site_method(site, obj, name); function && site_binds(site)) {
        return Ref::steal(
            vectorcall(function.get(), stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    }
    return call_method_kw_stack_at(site, name, stack, positional, kwnames);
}
#define call_method_kw(obj, name, kwnames, ...) \
    ::roots::call_method_kw_at(ROOTS_ATTRIBUTE_SITE, (obj), (name), (kwnames), __VA_ARGS__)

// `obj.name` looked up as a method call looks it up, and held until it is
// called: for `obj.name(...)` whose arguments still have to be worked out,
// since Python looks the method up first (its failure is the one raised,
// and an argument's read cannot change what it found).
class Method {
public:
    Method() = default;
    // `self` (borrowed: the caller holds the object looked up on) goes
    // first; null for what is called without it.
    Method(Ref callable, PyObject* self) : callable_(std::move(callable)), self_(self) {}
    // The lookup left to the call, for a method an exact dict, str or set
    // has: their types cannot change, and looking it up runs no code and
    // cannot fail, so when it happens cannot be told, and the call may take
    // the shortcuts of call_method.
    static Method deferred(AttributeSite& site, PyObject* self, PyObject* name) {
        Method method;
        method.self_ = self;
        method.site_ = &site;
        method.name_ = name;
        return method;
    }
    explicit operator bool() const { return callable_ || name_ != nullptr; }

    template <class... Args>
    Ref operator()(Args... args) const {
        PyObject* stack[] = {nullptr, self_, args...};
        constexpr size_t count = sizeof...(Args);
        if (name_ != nullptr) {
            return call_method_stack_at(*site_, name_, stack, count + 1);
        }
        return self_ != nullptr ? call_found(callable_.get(), stack + 1, count + 1)
                                : call_found(callable_.get(), stack + 2, count);
    }

    // With the last len(kwnames) arguments passed by those names.
    template <class... Args>
    Ref call_kw(PyObject* kwnames, Args... args) const {
        PyObject* stack[] = {nullptr, self_, args...};
        const size_t positional = sizeof...(Args) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
        if (name_ != nullptr) {
            return call_method_kw_stack_at(*site_, name_, stack, positional + 1, kwnames);
        }
        PyObject** start = self_ != nullptr ? stack + 1 : stack + 2;
        const size_t count = self_ != nullptr ? positional + 1 : positional;
        return Ref::steal(vectorcall(callable_.get(), start, count | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    }

private:
    Ref callable_;
    PyObject* self_ = nullptr;
    AttributeSite* site_ = nullptr;
    PyObject* name_ = nullptr;
};

// What the site does not answer for.
Method find_method_at(AttributeSite& site, PyObject* obj, PyObject* name);
[[gnu::always_inline]] inline Method method_at(AttributeSite& site, PyObject* obj, PyObject* name) {
    if ((PyDict_CheckExact(obj) || PyUnicode_CheckExact(obj) || PySet_CheckExact(obj)) &&
        _PyType_Lookup(Py_TYPE(obj), name) != nullptr) {
        return Method::deferred(site, obj, name);
    }
    if (Ref function = site_method(site, obj, name); function && site.kind != SiteKind::kStaticMethod) {
        return Method(std::move(function), site_binds(site) ? obj : nullptr);
    }
    return find_method_at(site, obj, name);
}
#define method_of(obj, name) ::roots::method_at(ROOTS_ATTRIBUTE_SITE, (obj), (name))

// A message as PyUnicode_FromFormat makes it from a format whose only
// conversions are %S (str() of the argument) and %U (a str), joined as an
// f-string is: the literal pieces between the conversions are made once per
// place and kept while the module is, since the general formatter parses
// the format anew and copies every piece on each call.
inline constexpr size_t kMaxFormatArguments = 4;
struct FormatSite {
    PyObject* pieces[kMaxFormatArguments + 1];
    size_t count;  // pieces made: 0 until the first use
    FormatSite* next;  // every site made, for their release with the module
};
// Makes the pieces of `format` for `arguments` conversions: 0, or -1 with
// an error (a conversion other than %S and %U is an error of ours).
int prepare_format(FormatSite& site, const char* format, size_t arguments);
// Releases (or, with the interpreter gone, forgets) every site's pieces.
void forget_formats();

template <class... Args>
Ref format_text_at(FormatSite& site, const char* format, Args... args) {
    constexpr size_t count = sizeof...(Args);
    static_assert(count >= 1 && count <= kMaxFormatArguments);
    if (site.count == 0 && prepare_format(site, format, count) < 0) {
        return {};
    }
    PyObject* values[] = {args...};
    Ref texts[count];
    PyObject* items[2 * count + 1];
    items[0] = site.pieces[0];
    for (size_t i = 0; i < count; ++i) {
        texts[i] = Ref::steal(PyObject_Str(values[i]));
        if (!texts[i]) {
            return {};
        }
        items[2 * i + 1] = texts[i].get();
        items[2 * i + 2] = site.pieces[i + 1];
    }
    return Ref::steal(_PyUnicode_JoinArray(names.empty, items, static_cast<Py_ssize_t>(2 * count + 1)));
}
#define format_text(format, ...)                                                                   \
    ::roots::format_text_at(                                                                       \
        []() -> ::roots::FormatSite& {                                                             \
            static constinit ::roots::FormatSite site{};                                           \
            return site;                                                                           \
        }(),                                                                                       \
        (format), __VA_ARGS__)

// `GLOBAL(*args)` for a callable named in the module globals (a macro, so
// that each call has its own global site).
template <class... Args>
Ref call_if_found(const Ref& callable, Args... args) {
    return callable ? call(callable.get(), args...) : Ref();
}
template <class... Args>
Ref call_kw_if_found(const Ref& callable, PyObject* kwnames, Args... args) {
    return callable ? call_kw(callable.get(), kwnames, args...) : Ref();
}
#define call_global(name, ...) ::roots::call_if_found(module_global(name) __VA_OPT__(, ) __VA_ARGS__)
#define call_global_kw(name, kwnames, ...) \
    ::roots::call_kw_if_found(module_global(name), (kwnames)__VA_OPT__(, ) __VA_ARGS__)

// `self.config_storage.<mapping>`: one of the store's mappings (users,
// databases, querydefs), read through the context as every step does.
Ref store_mapping(PyObject* self, PyObject* mapping);

// Where in its dict each key was found last, as a hint for the next read
// of an exact dict: the interpreter's attribute reads keep such hints.  The
// keys the bodies read are the module's own strings, and each mostly lives
// in one dict (a setting in the settings, a format in a class's table), so
// the hint is kept per key; a wrong one costs one comparison.  Each set
// holds the hints of two keys, named by the key (only compared, never
// read), so that two keys its address puts in one set do not take the
// set from each other at every read.
struct DictItemHint {
    PyObject* key;
    Py_ssize_t index;
};
inline constexpr std::size_t kDictItemHintSets = 256;
extern DictItemHint dict_item_hints[kDictItemHintSets][2];
// The hint of a key the set does not hold: the set's older one gives way.
Py_ssize_t& claim_dict_item_hint(DictItemHint (&set)[2], PyObject* key);
[[gnu::always_inline]] inline Py_ssize_t& dict_item_hint(PyObject* key) {
    DictItemHint(&set)[2] = dict_item_hints[(reinterpret_cast<std::uintptr_t>(key) >> 4) % kDictItemHintSets];
    if (set[0].key == key) {
        return set[0].index;
    }
    return set[1].key == key ? set[1].index : claim_dict_item_hint(set, key);
}

// find_item where the hint did not answer: the dict's own lookup, unless
// the key was found missing from the dict as it still is.
PyObject* find_item_unhinted(PyObject* dict, PyObject* key, Py_ssize_t& hint);
// Forgets the keys found missing, whose versions a later interpreter hands
// out again.
void forget_absent_items();

// `dict.get(key)` for an exact dict, borrowed: null when the dict holds
// no such key, or with the error of comparing keys.
[[gnu::always_inline]] inline PyObject* find_item(PyObject* dict, PyObject* key) {
    Py_ssize_t& hint = dict_item_hint(key);
    if (PyObject* value = roots_dict_item_by_hint(dict, key, &hint)) {
        return value;
    }
    return find_item_unhinted(dict, key, hint);
}

// `mapping.get(key)`.
Ref get_item_generic(PyObject* mapping, PyObject* key);
[[gnu::always_inline]] inline Ref get_item(PyObject* mapping, PyObject* key) {
    // An exact dict's `get` cannot have been overridden.
    if (PyDict_CheckExact(mapping)) {
        if (PyObject* value = find_item(mapping, key)) {
            return Ref::borrow(value);
        }
        return error_pending() ? Ref() : none();
    }
    return get_item_generic(mapping, key);
}

// `mapping.get(key())`: the key is worked out after `get` is looked up, as
// Python evaluates it, which only a mapping other than an exact dict (whose
// `get` cannot fail or run code) can tell apart.
template <class Key>
Ref get_item_of(PyObject* mapping, Key key) {
    if (PyDict_CheckExact(mapping)) {
        Ref k = key();
        return k ? get_item(mapping, k.get()) : Ref();
    }
    Method get = method_of(mapping, names.get);
    Ref k = get ? key() : Ref();
    return k ? get(k.get()) : Ref();
}

// `self.config_storage.<mapping>.get(self.<id_name>)`: what the store holds
// under one of the context's ids.
inline Ref store_record(PyObject* self, PyObject* mapping, PyObject* id_name) {
    Ref records = store_mapping(self, mapping);
    return records ? get_item_of(records.get(), [self, id_name] { return getattr_named(self, id_name); }) : Ref();
}

// `mapping[key]`.
[[gnu::always_inline]] inline Ref subscript(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        if (PyObject* value = find_item(mapping, key)) {
            return Ref::borrow(value);
        }
        if (!error_pending()) {
            // What the dict's own subscript raises (a tuple key wrapped).
            _PyErr_SetKeyError(key);
        }
        return {};
    }
    // An exact tuple or list at a small exact int, counted from the end
    // when negative; anything out of range is left to raise as it does.
    if ((PyTuple_CheckExact(mapping) || PyList_CheckExact(mapping)) && PyLong_CheckExact(key) &&
        PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(key))) {
        const Py_ssize_t size = Py_SIZE(mapping);
        Py_ssize_t at = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(key));
        at += at < 0 ? size : 0;
        if (at >= 0 && at < size) {
            return Ref::borrow(PyTuple_CheckExact(mapping) ? PyTuple_GET_ITEM(mapping, at)
                                                           : PyList_GET_ITEM(mapping, at));
        }
    }
    return Ref::steal(PyObject_GetItem(mapping, key));
}

// `list(iterable)`.  A view of a dict's keys gives them in the dict's
// order, however the dict's class is made (the view walks the dict's own
// table): the list is made from the table directly.
inline Ref list_of(PyObject* iterable) {
    if (Py_IS_TYPE(iterable, &PyDictKeys_Type)) {
        return Ref::steal(PyDict_Keys(reinterpret_cast<PyObject*>(
            reinterpret_cast<_PyDictViewObject*>(iterable)->dv_dict)));
    }
    return Ref::steal(PySequence_List(iterable));
}

// Whether two exact strings are equal, as str's own `==` decides: the
// same length and kind and the same code points.
[[gnu::always_inline]] inline bool str_equal(PyObject* a, PyObject* b) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    const int kind = PyUnicode_KIND(a);
    return length == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * kind) == 0;
}

// Truth, equality and membership as the `if`, `==` and `in` of Python: 1, 0, or -1 on error.
// The builtins the bodies mostly test cannot change what their truth is:
// exactly a str, list, dict or tuple is true when it is not empty.
[[gnu::always_inline]] inline int truth(PyObject* obj) {
    if (obj == Py_True) {
        return 1;
    }
    if (obj == Py_False || obj == Py_None) {
        return 0;
    }
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) {
        return PyUnicode_GET_LENGTH(obj) != 0;
    }
    if (type == &PyList_Type || type == &PyTuple_Type) {
        return Py_SIZE(obj) != 0;
    }
    if (type == &PyDict_Type) {
        return PyDict_GET_SIZE(obj) != 0;
    }
    return PyObject_IsTrue(obj);
}
// `==` asks `__eq__` even of an object and itself (unlike `in`, which
// takes identity for equality): only two exact strings are compared here.
[[gnu::always_inline]] inline int equals(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        return a == b || str_equal(a, b) ? 1 : 0;
    }
    Ref result = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
    return result ? truth(result.get()) : -1;
}
// `isinstance(obj, type)`, which also believes an object's `__class__`
// (a mock made to pass for a list, say): 1, 0, or -1 on error.
[[gnu::always_inline]] inline int is_instance(PyObject* obj, PyTypeObject* type) {
    if (Py_IS_TYPE(obj, type)) {
        return 1;
    }
    // Of a class whose metaclass is exactly `type`, isinstance asks the
    // object's type, then its `__class__`; an object of one of these builtins
    // has its type as its `__class__`, so the type alone answers.
    PyTypeObject* kind = Py_TYPE(obj);
    if (Py_IS_TYPE(reinterpret_cast<PyObject*>(type), &PyType_Type) &&
        (kind == &PyDict_Type || kind == &PyList_Type || kind == &PyTuple_Type || kind == &PyUnicode_Type ||
         kind == &PyLong_Type || kind == &PyFloat_Type || kind == &PyBool_Type || obj == Py_None)) {
        return PyType_IsSubtype(kind, type);
    }
    return PyObject_IsInstance(obj, reinterpret_cast<PyObject*>(type));
}
// `!=`, which asks `__ne__`: not always the negation of `==`.
[[gnu::always_inline]] inline int differs(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        return a == b || str_equal(a, b) ? 0 : 1;
    }
    Ref result = Ref::steal(PyObject_RichCompare(a, b, Py_NE));
    return result ? truth(result.get()) : -1;
}
// `item in a_list` for an exact list: each element compared in turn as the
// list's own `in` does (element first), exact strings without the generic
// comparison.
int list_contains(PyObject* list, PyObject* item);
[[gnu::always_inline]] inline int contains(PyObject* container, PyObject* item) {
    if (PyList_CheckExact(container)) {
        return list_contains(container, item);
    }
    if (PyDict_CheckExact(container)) {
        // A string key is found as a read finds it: at the entry it was
        // found at last, or found missing from the dict as it still is.
        if (PyUnicode_CheckExact(item)) {
            return find_item(container, item) != nullptr ? 1 : error_pending() ? -1 : 0;
        }
        return PyDict_Contains(container, item);
    }
    return PySequence_Contains(container, item);
}

// The pairs an exact dict held when a walk over it began (see PairSnapshot).
struct BorrowedPairs;

// `list(mapping.items())`: the pairs as they are when taken, so that a walk
// over them is not disturbed by changes it makes to the mapping.  Of an
// exact dict they are kept flat, key then value, with no tuple per pair,
// and at first without a reference of their own: the dict holds them while
// it stays as it was, and a watcher on it has the snapshot take its
// references before any change is made.  At a large store, raising and
// then lowering the count of every record, far apart in memory, cost a
// list walk a fifth of its time, for the rare walk that changes the store.
class PairSnapshot {
public:
    PairSnapshot() = default;
    PairSnapshot(const PairSnapshot&) = delete;
    PairSnapshot& operator=(const PairSnapshot&) = delete;
    ~PairSnapshot();
    // 0, or -1 with an error.
    int take(PyObject* mapping);
    Py_ssize_t size() const { return size_; }
    // The i-th pair into pair[0] and pair[1]: 0, or -1 with the error of
    // unpacking an item that is not a pair.
    int pair(Py_ssize_t i, Ref* pair) const;
    // For a walk that reads every record's attributes, `names` among them,
    // called at each pair `i`: asks the processor for the records a few
    // pairs on, and for what they hold under `names`.  At a large store the
    // records lie far apart in memory, and fetching each only when it was
    // read kept the walk waiting longer than it worked.
    static constexpr std::size_t kFetchedNames = 3;
    void fetch_ahead(Py_ssize_t i, std::initializer_list<PyObject*> names = {});

private:
    // Of a mapping other than an exact dict: the list of its item pairs.
    Ref items_;
    // Of a non-empty exact dict: its pairs, key then value.
    BorrowedPairs* borrowed_ = nullptr;
    PyObject** pairs_ = nullptr;
    Py_ssize_t size_ = 0;
    bool flat_ = false;
    // Where each of fetch_ahead's names was last found in a record.
    Py_ssize_t hints_[kFetchedNames] = {-1, -1, -1};
};
// Forgets the watcher of walked dicts, and the walks it watches for, at the
// end of the interpreter that gave it out.
void forget_walk_watcher();
// `a + b`.  Two exact strings are joined directly: neither can define the
// addition another way.
inline Ref add(PyObject* a, PyObject* b) {
    return Ref::steal(PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b) ? PyUnicode_Concat(a, b) : PyNumber_Add(a, b));
}
// `a == b` as an object (not reduced to a bool).
inline Ref compare_equal(PyObject* a, PyObject* b) { return Ref::steal(PyObject_RichCompare(a, b, Py_EQ)); }

// `super(GLOBAL(class_name), self).__init__(request)`: 0, or -1 with an
// error.  The class is read as each place's own global read.
int super_init_at(GlobalSite& site, PyObject* class_name, PyObject* self, PyObject* request);
#define super_init(class_name, self, request) \
    ::roots::super_init_at(ROOTS_GLOBAL_SITE, (class_name), (self), (request))
// `super().__init__(request)` inside an initialiser whose `__class__` cell is `cell`.
int super_init_from_cell(PyObject* cell, PyObject* self, PyObject* request);

// What one place calling a base's initialiser found last: the base, read
// as a global, and the initialiser its MRO gave, while the global read
// and the base's version tag stand.
struct BaseInitSite {
    GlobalSite global;
    PyObject* init;  // borrowed: a class dict on the base's MRO holds it while the tag stands
    unsigned int version_tag;
    std::uint64_t epoch;  // the globals' epoch the initialiser was found at
};
// `GLOBAL(base_name).__init__(self, request)`: the named base's own
// initialiser, whatever a subclass's method resolution order puts next.
int base_init_at(BaseInitSite& site, PyObject* base_name, PyObject* self, PyObject* request);
#define base_init(base_name, self, request) \
    ::roots::base_init_at(ROOTS_SITE(::roots::BaseInitSite), (base_name), (self), (request))

// `hasattr(obj, name)`, keeping the value: 1 with `*value` set, 0 when the
// attribute is missing, -1 on any other error (which hasattr lets through).
int lookup_attr(PyObject* obj, PyObject* name, Ref* value);

// `a, b, ... = iterable` for `count` targets, with the interpreter's own
// messages; nothing is stored unless every item was unpacked.
int unpack(PyObject* iterable, Ref* targets, Py_ssize_t count);

// `log.<level>(message)` on the module logger read from the globals.
int log_message(PyObject* level, PyObject* message);

// The name of the principal that a user's grants name: the public user is
// anonymous, so its grants must reach everybody (Everyone); anybody else's
// reach the signed-in (Authenticated).  Null on error.
PyObject* grantee_of(PyObject* user_id);
// That principal itself, read from the globals then, as a grantee bound to
// a name before the entries that use it are made.
Ref grantee_for(PyObject* user_id);

// `user_config and (rights[0] in user_config.<collection> or ...)`: whether
// a user record holds any of `rights`, tested in order; a false record
// holds none.  1, 0, or -1 on error.
int holds_right(PyObject* user_config, PyObject* collection, std::initializer_list<PyObject*> rights);

// A new set of the user ids named in any of the record's collections `fields`.
Ref user_ids_named(PyObject* record, std::initializer_list<PyObject*> fields);

// `user_id in user_ids_named(record, fields)`: 1, 0, or -1.  The
// collections are read in order; each exact list of exact strings (with
// `user_id` an exact string) is searched as it is read and kept out of the
// set, which hashing and comparing strings could not tell apart.
int named_in_fields(PyObject* record, std::initializer_list<PyObject*> fields, PyObject* user_id);

// `item in chain(*iterables)` for the `chain` read from the globals: when
// that is itertools' own and every iterable an exact list, each list is
// searched in turn, as the chain would walk them, without making the chain.
int contains_in_chain(PyObject* chain, PyObject* const* iterables, size_t count, PyObject* item);

// `request.matchdict or {}`.
Ref matchdict_or_empty(PyObject* request);

// `raise obj`: instantiates an exception class, raises an exception instance,
// refuses anything else.  Always returns null (after setting the error).
PyObject* raise(Ref obj);

// `raise GLOBAL(*args)`, for the framework's HTTP exceptions.
template <class... Args>
PyObject* raise_new(PyObject* class_name, Args... args) {
    Ref exception = call_if_found(global_named(class_name), args...);
    return exception ? raise(std::move(exception)) : nullptr;
}

template <class... Args>
PyObject* raise_new_kw(PyObject* class_name, PyObject* kwnames, Args... args) {
    Ref exception = call_global_kw(class_name, kwnames, args...);
    return exception ? raise(std::move(exception)) : nullptr;
}

// `raise GLOBAL(explanation=text)`.
inline PyObject* raise_explained(PyObject* class_name, PyObject* explanation) {
    return raise_new_kw(class_name, state.kw_explanation, explanation);
}

// `raise GLOBAL(explanation=<expression>)`, where `make` evaluates the
// expression: as in Python, the class is read first, and a missing one is
// reported before anything of the expression runs.
template <class Make>
PyObject* raise_explained_by(PyObject* class_name, Make make) {
    Ref cls = global_named(class_name);
    Ref explanation = cls ? make() : Ref();
    Ref exception = explanation ? call_kw(cls.get(), state.kw_explanation, explanation.get()) : Ref();
    return exception ? raise(std::move(exception)) : nullptr;
}

// The ACL entry `(action, principal, permission)` whose action and
// principal are names of the globals (Allow, Deny, Everyone, Authenticated)
// or, for the administrator, the literal user id.  An entry of strings may
// be one an earlier context got.
Ref acl_entry(PyObject* action_name, PyObject* principal, PyObject* permission);
// Forgets the entries kept for reuse (their interpreter is gone).
void forget_acl_entries();
// `principal` is a global name (Everyone, Authenticated).
Ref acl_entry_for(PyObject* action_name, PyObject* principal_name, PyObject* permission);
// A new list holding the given entry (null in, null out).
Ref acl_list(Ref entry);
// `self.__acl__ = [entry]`; 0 or -1.
int set_acl(PyObject* self, Ref entry);

}  // namespace roots
