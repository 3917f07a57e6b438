// Caches that let the module layer skip work the interpreter would redo on
// every call, without ever answering differently from the uncached lookup.
//
// * Module globals (falling back to the builtins) are remembered per name
//   until either dictionary changes: a dict watcher on both forgets them all
//   at the first set, delete or clear, so `mock.patch("korvane.roots.NAME")`
//   is seen by the next call.
// * For each (type, version tag, attribute name) what the type's MRO holds
//   under the name and what that means for a read: nothing or a plain class
//   value (the instance's own storage answers first), a function (called
//   with the instance, unbound, when not shadowed), a property whose getter
//   is one of the module's functions (its body runs).  Where the name sits
//   among the type's shared keys is kept too: `obj.name` and
//   `obj.name = value` then read or write the instance's inline values
//   directly, as the interpreter's specialised bytecode does.  Plain values
//   read from a class itself (metaclass exactly `type`) and the attributes
//   of modules (read from the module's dict) are remembered the same way.
// * The initialiser that `super(cls, self).__init__` reaches is remembered
//   per (type(self), cls), keyed on the type's version tag, which the
//   interpreter resets whenever the type or any class on its MRO changes.
//
// Every entry holds borrowed references: an entry is only read after its
// guard (the watcher's epoch, the version tag) proved that whatever held the
// object still does.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace roots {

// `name` in the module globals, else the builtins: a borrowed reference, or
// null with NameError (or the lookup's own error) set.
PyObject* cached_global(PyObject* name);

// Advanced by every change to the watched globals and builtins (and when
// the caches are cleared): a global read at an older epoch may be stale.
// Starts above zero, so a site never filled never matches.
extern std::uint64_t globals_epoch;
// The module globals being watched (not owned: only compared), null when
// none are.
extern PyObject* watched_globals;

// What one place in the bodies read from the globals last.
struct GlobalSite {
    PyObject* name;
    PyObject* value;  // borrowed: the watched dicts hold it while the epoch stands
    std::uint64_t epoch;
};

// `name` along the MRO of `type` from position `start`, as the interpreter
// looks it up: the first class whose own dictionary holds it, for an answer
// kept under the type's version tag `tag`.  1 with `*found` borrowed (null
// when no class holds it); 0 when the type's tag is no longer `tag` (or is
// zero): comparing a dictionary's keys may run code that changes a class on
// the MRO, and what was found before must not be kept under a tag given
// after the change, as the interpreter's own cache keeps it; -1 with the
// error of a comparison.
int find_in_mro(PyTypeObject* type, unsigned int tag, Py_ssize_t start, PyObject* name, PyObject** found);

// What `super(cls, self).__init__` finds along `type(self).__mro__` after
// `cls`: a borrowed reference to the attribute as stored in the class
// dictionary.  Null with no error set when the fast path does not apply
// (`self` not an instance of `cls`, no version tag, nothing found) and the
// caller must take the interpreter's own `super` route; null with an error
// set when the lookup failed.
PyObject* super_init_target(PyObject* cls, PyObject* self);

// `obj.name`: a new reference, or null with the error of the generic
// attribute protocol.
PyObject* get_attribute(PyObject* obj, PyObject* name);

// Where one place in the bodies found the attribute it read last (the
// interpreter keeps the same next to each read in its bytecode).  Every
// site filled is emptied when the caches are cleared, with the module;
// `generation` tells whether the site is on the list of those to empty.
enum class SiteKind : unsigned char {
    // A plain instance's inline values, at `index`.
    kInline,
    // A plain instance's materialised dict, at entry `index`.
    kInDict,
    // A plain class value (`value`), the instance holding nothing of the
    // name: its inline slot `index` is empty, or (index -1) the name is
    // not among the type's `shared_count` shared keys, so no inline value
    // can hold it.
    kClassValue,
    // A plain value (`value`) of the class `type` read through the class.
    kTypeValue,
    // An attribute of a module, at entry `index` of the module's dict.
    kModuleDict,
    // A method (`value`) of a type whose instances keep no attributes of
    // their own (a builtin such as str or an exact dict): nothing can
    // shadow it.
    kTypeMethod,
    // A staticmethod (`value`) of the class, under the same conditions as
    // kClassValue; what it wraps is asked of it at each call.
    kStaticMethod,
    // A property (`value`) of the class, exactly a property: its getter,
    // asked of it at each read, is called with the instance.
    kProperty,
    // An instance dict kept at the type's dict offset, at entry `index`; a
    // method call through it calls what it holds as it is.
    kOffsetDict,
    // A slot of the instance holding an object reference, at offset `index`
    // (`value` is the slot's member on the class).
    kSlot,
    // A staticmethod (`value`) of the class `type`, read through the class
    // itself: what it wraps is asked of it at each read.
    kTypeStatic,
    // A named tuple's field: item `index` of an instance of `type`, a tuple
    // subclass whose class holds the field's getter (`value`).
    kTupleField,
    // A name that neither the class nor the instance holds, on a class
    // defining `__getattr__` in Python (`value`, called with the instance
    // and the name), under the same conditions as kClassValue.
    kFallback,
};

struct AttributeSite {
    PyTypeObject* type;  // the instance's type; the class itself for kTypeValue
    PyObject* name;      // a site may read several names (a loop over fields)
    unsigned int version_tag;
    unsigned int generation;
    SiteKind kind;
    Py_ssize_t index;
    Py_ssize_t shared_count;
    PyObject* value;  // borrowed: the class dict holds it while the tag stands
};

// The age of the caches, advanced each time they are cleared; starts above
// zero, the generation of a site never filled.
extern unsigned int attribute_site_generation;

// `obj.name` as get_attribute, remembering in `site` where a plain
// instance keeps the value, for the next read from the same site.
PyObject* get_attribute_at(AttributeSite& site, PyObject* obj, PyObject* name);

// `obj.name = value` (`del obj.name` when `value` is null): 0, or -1 with
// an error.
int set_attribute(PyObject* obj, PyObject* name, PyObject* value);
// The same, remembering in `site` the slot of a plain instance's inline
// values that took the value, for the next write from the same site.
int set_attribute_at(AttributeSite& site, PyObject* obj, PyObject* name, PyObject* value);

// `hasattr(obj, name)`, keeping the value: 1 with `*value` set to a new
// reference, 0 when missing, -1 on another error.  `site` remembers where
// a plain instance kept it, as for get_attribute_at.
int lookup_attribute_at(AttributeSite& site, PyObject* obj, PyObject* name, PyObject** value);

// What `obj.name(...)` calls, when the cached resolution of the name on
// `obj`'s type tells: 1 with `*callable` a new reference, to be called with
// `obj` as its first argument when `*with_self` (a function found on the
// type, not shadowed by the instance), else as it is (a callable the
// instance keeps); 0 (no error set) when the generic method lookup must
// answer; -1 with an error.
//
// With a `site`, a function found on the type is remembered there as a
// class value is (see SiteKind::kClassValue).
int method_target(PyObject* obj, PyObject* name, PyObject** callable, bool* with_self,
                  AttributeSite* site = nullptr);

// What the staticmethod `staticmethod` of the type of `obj` gives to a read
// through `obj`: a new reference, or null with an error.
PyObject* static_target(PyObject* staticmethod, PyObject* obj);

// Watches `dict` with the dict watcher `watcher`, taken with `callback` the
// first time (ids are a small shared pool: each kept once taken): 0, or -1
// (no error set) when no watcher can be had.
int watch_dict(int& watcher, PyDict_WatchCallback callback, PyObject* dict);

// Finds the attribute read the interpreter gives classes that define
// `__getattr__`, so that reads of their instances can be answered from the
// cache too: 0, or -1 with an error.
int find_fallback_read();

// Finds the type of a named tuple's field getters, so that their reads can
// be remembered at their sites: 0, or -1 with an error.
int find_tuple_field_type();

// Forgets every cached entry, with the rest of the state at the end of the
// interpreter.
// The dict watcher id stays taken: ids are a small shared pool, so the
// process keeps the one it got.
void clear_fast_path_caches();

// Forgets the dict watcher too: for the end of the interpreter that gave
// it out, after which a new interpreter hands out ids of its own.
void forget_fast_path_watcher();

}  // namespace roots
