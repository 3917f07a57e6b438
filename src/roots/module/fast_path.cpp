#include "roots/module/fast_path.hpp"

#include <cstdint>

#include "roots/module/function.hpp"
#include "roots/module/instance_values.h"
#include "roots/module/names.hpp"
#include "roots/module/ref.hpp"
#include "roots/module/state.hpp"

namespace roots {
namespace {

// Both tables are direct-mapped on pointer bits: a collision only costs a
// lookup, never a wrong answer, since every entry carries its full key.
constexpr std::uintptr_t kGlobalSlots = 256;
constexpr std::uintptr_t kSuperSlots = 256;
constexpr std::uintptr_t kAttributeSlots = 1024;

struct GlobalEntry {
    PyObject* name;
    PyObject* value;
    std::uint64_t epoch;
};

struct SuperEntry {
    PyTypeObject* type;
    unsigned int version_tag;
    PyObject* cls;
    PyObject* target;
};

struct AttributeEntry {
    PyTypeObject* type;
    unsigned int version_tag;
    PyObject* name;  // interned, hence immortal
    // Whether the instance's own storage answers the name: no data
    // descriptor of that name on the type's MRO.
    bool instance_storage;
    // The position of the name among the type's shared keys; -1 until an
    // instance first stores it (shared keys only grow).
    Py_ssize_t index;
    // How many of the shared keys were searched for the name so far.
    Py_ssize_t searched;
    // Where the name was last found in a materialised instance dict.
    Py_ssize_t dict_hint;
    // The module function the type holds under the name, if any.
    PyObject* own_function;
};

struct FastPathCaches {
    GlobalEntry globals[kGlobalSlots];
    SuperEntry supers[kSuperSlots];
    AttributeEntry attributes[kAttributeSlots];
    // Advanced by every change to a watched dictionary; an entry of an
    // older epoch is stale.  Starts above zero so empty entries never match.
    std::uint64_t epoch = 1;
    int watcher_id = -1;
    PyObject* watched_globals = nullptr;   // not owned: only compared
    PyObject* watched_builtins = nullptr;  // not owned: only compared
};

FastPathCaches caches;

int on_watched_dict_change(PyDict_WatchEvent event, PyObject* dict, PyObject* /*key*/, PyObject* /*new_value*/) {
    ++caches.epoch;
    if (event == PyDict_EVENT_DEALLOCATED) {
        if (dict == caches.watched_globals) {
            caches.watched_globals = nullptr;
        }
        if (dict == caches.watched_builtins) {
            caches.watched_builtins = nullptr;
        }
    }
    return 0;
}

// Watches the current module dict and the builtins dict; 0 when both are
// watched, -1 (no error set) when the cache cannot be used.
int ensure_watching(PyObject* globals, PyObject* builtins) {
    if (globals == caches.watched_globals && builtins == caches.watched_builtins) {
        return 0;
    }
    if (caches.watcher_id < 0) {
        caches.watcher_id = PyDict_AddWatcher(on_watched_dict_change);
        if (caches.watcher_id < 0) {
            PyErr_Clear();
            return -1;
        }
    }
    if (PyDict_Watch(caches.watcher_id, globals) < 0 || PyDict_Watch(caches.watcher_id, builtins) < 0) {
        PyErr_Clear();
        return -1;
    }
    caches.watched_globals = globals;
    caches.watched_builtins = builtins;
    ++caches.epoch;
    return 0;
}

PyObject* lookup_global(PyObject* globals, PyObject* builtins, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value == nullptr && !error_pending()) {
        value = PyDict_GetItemWithError(builtins, name);
        if (value == nullptr && !error_pending()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        }
    }
    return value;
}

std::uintptr_t slot_of(const void* a, const void* b, std::uintptr_t slots) {
    const auto x = reinterpret_cast<std::uintptr_t>(a) >> 4;
    const auto y = reinterpret_cast<std::uintptr_t>(b) >> 4;
    return (x ^ (y * 31) ^ (x >> 8)) & (slots - 1);
}

// The first class after `cls` on `mro` whose own dictionary holds
// `__init__`: that entry, borrowed (the class dictionary keeps it), or null
// with no error when none does or `cls` is not on the MRO.
PyObject* find_init_after(PyObject* mro, PyObject* cls) {
    const Py_ssize_t count = PyTuple_GET_SIZE(mro);
    Py_ssize_t i = 0;
    while (i < count && PyTuple_GET_ITEM(mro, i) != cls) {
        ++i;
    }
    for (++i; i < count; ++i) {
        PyTypeObject* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        // Static builtin types keep their dictionary out of tp_dict.
        PyObject* dict = PyType_GetDict(base);
        if (dict == nullptr) {
            return nullptr;
        }
        PyObject* found = PyDict_GetItemWithError(dict, names.__init__);
        Py_DECREF(dict);
        if (found != nullptr || error_pending()) {
            return found;
        }
    }
    return nullptr;
}

// What the type of a plain instance does with `name`, or null when the
// instance is not plain (its type has no inline values, a custom
// getattro/setattro is the caller's check) or the name is not an interned
// string.  The entry stays valid exactly while the type's version tag does:
// assigning or deleting a class attribute anywhere on the MRO resets it.
AttributeEntry* fill_attribute_entry(AttributeEntry& entry, PyTypeObject* type, PyObject* name);

inline AttributeEntry* attribute_entry(PyTypeObject* type, PyObject* name) {
    AttributeEntry& entry = caches.attributes[slot_of(type, name, kAttributeSlots)];
    if (entry.type == type && entry.name == name && entry.version_tag == type->tp_version_tag &&
        entry.version_tag != 0) {
        return &entry;
    }
    return fill_attribute_entry(entry, type, name);
}

// The position of the entry's name among its type's shared keys, or -1.
Py_ssize_t shared_index(AttributeEntry& entry) {
    if (entry.index < 0) {
        entry.index = roots_shared_key_index(entry.type, entry.name, &entry.searched);
    }
    return entry.index;
}

// Kept out of line: the hit above is the path that must stay short.
[[gnu::noinline]] AttributeEntry* fill_attribute_entry(AttributeEntry& entry, PyTypeObject* type,
                                                             PyObject* name) {
    if (!PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) || !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ||
        !PyUnicode_CheckExact(name) || !PyUnicode_CHECK_INTERNED(name)) {
        return nullptr;
    }
    PyObject* found = _PyType_Lookup(type, name);
    if (type->tp_version_tag == 0 && !PyUnstable_Type_AssignVersionTag(type)) {
        return nullptr;
    }
    // A descriptor whose type is immutable and has no __set__ can never
    // become a data descriptor; anything else might, and is left to the
    // generic protocol.
    const bool instance_storage =
        found == nullptr || (Py_TYPE(found)->tp_descr_set == nullptr &&
                             PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_IMMUTABLETYPE));
    entry = {type, type->tp_version_tag, name, instance_storage, -1, 0, -1,
             found != nullptr && is_module_function(found) ? found : nullptr};
    return &entry;
}

// The entry of a plain instance's attribute kept in its own storage, or null.
AttributeEntry* instance_attribute(PyObject* obj, PyObject* name) {
    AttributeEntry* entry = attribute_entry(Py_TYPE(obj), name);
    return entry != nullptr && entry->instance_storage ? entry : nullptr;
}

// `obj.name` from the instance's own storage: 1 with `*value` set to a new
// reference, 0 when the storage does not hold it (the generic protocol
// then decides), -1 with an error from a materialised dict's lookup.
int read_instance_storage(PyObject* obj, AttributeEntry& entry, PyObject** value) {
    if (PyObject** values = roots_inline_values(obj)) {
        const Py_ssize_t index = shared_index(entry);
        if (index < 0 || values[index] == nullptr) {
            return 0;
        }
        *value = Py_NewRef(values[index]);
        return 1;
    }
    PyObject* materialised = roots_instance_dict(obj);
    if (materialised == nullptr || !PyDict_CheckExact(materialised)) {
        return 0;
    }
    if (PyObject* hinted = roots_dict_value_by_hint(materialised, entry.name, &entry.dict_hint)) {
        *value = Py_NewRef(hinted);
        return 1;
    }
    // The lookup may compare keys, running code that drops the dict.
    Ref dict = Ref::borrow(materialised);
    PyObject* found = PyDict_GetItemWithError(dict.get(), entry.name);
    if (found == nullptr) {
        return error_pending() ? -1 : 0;
    }
    *value = Py_NewRef(found);
    return 1;
}

}  // namespace

PyObject* get_attribute(PyObject* obj, PyObject* name) {
    if (Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr) {
        if (AttributeEntry* entry = instance_attribute(obj, name)) {
            PyObject* value = nullptr;
            const int found = read_instance_storage(obj, *entry, &value);
            if (found != 0) {
                return value;
            }
        }
    }
    return PyObject_GetAttr(obj, name);
}

int lookup_attribute(PyObject* obj, PyObject* name, PyObject** value) {
    *value = nullptr;
    if (Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr) {
        if (AttributeEntry* entry = instance_attribute(obj, name)) {
            const int found = read_instance_storage(obj, *entry, value);
            if (found != 0) {
                return found;
            }
        }
    }
    return _PyObject_LookupAttr(obj, name, value);
}

int set_attribute(PyObject* obj, PyObject* name, PyObject* value) {
    // A null value deletes, which only the generic protocol does.
    if (value != nullptr && Py_TYPE(obj)->tp_setattro == PyObject_GenericSetAttr) {
        if (AttributeEntry* entry = instance_attribute(obj, name)) {
            if (PyObject** values = roots_inline_values(obj)) {
                const Py_ssize_t index = shared_index(*entry);
                if (index < 0) {
                    // A name new to the type's shared keys: the generic
                    // store adds it there.
                    return PyObject_SetAttr(obj, name, value);
                }
                // Released only once the new value is in place: its
                // finaliser may read the attribute.
                Ref previous = Ref::steal(values[index]);
                values[index] = Py_NewRef(value);
                if (!previous) {
                    roots_note_inline_insertion(values, index);
                }
                return 0;
            }
            Ref dict = Ref::borrow(roots_instance_dict(obj));
            if (dict && PyDict_CheckExact(dict.get())) {
                return PyDict_SetItem(dict.get(), name, value);
            }
        }
    }
    return PyObject_SetAttr(obj, name, value);
}

PyObject* own_method(PyObject* obj, PyObject* name) {
    if (Py_TYPE(obj)->tp_getattro != PyObject_GenericGetAttr) {
        return nullptr;
    }
    AttributeEntry* entry = attribute_entry(Py_TYPE(obj), name);
    if (entry == nullptr || entry->own_function == nullptr) {
        return nullptr;
    }
    // Shadowed unless the instance keeps inline values without that name.
    PyObject** values = roots_inline_values(obj);
    if (values == nullptr) {
        return nullptr;
    }
    const Py_ssize_t index = shared_index(*entry);
    return index < 0 || values[index] == nullptr ? entry->own_function : nullptr;
}

PyObject* cached_global(PyObject* name) {
    GlobalEntry& entry = caches.globals[slot_of(name, nullptr, kGlobalSlots)];
    // The watched dicts are forgotten (and the epoch advanced) whenever the
    // module state changes, so a current epoch proves they are its dicts.
    if (entry.name == name && entry.epoch == caches.epoch && caches.watched_globals == state.globals &&
        caches.watched_globals != nullptr) {
        return entry.value;
    }
    PyObject* globals = state.globals;
    PyObject* builtins = PyModule_GetDict(state.builtins);
    if (ensure_watching(globals, builtins) < 0) {
        return lookup_global(globals, builtins, name);
    }
    if (entry.name == name && entry.epoch == caches.epoch) {
        return entry.value;
    }
    PyObject* value = lookup_global(globals, builtins, name);
    if (value != nullptr) {
        entry = {name, value, caches.epoch};
    }
    return value;
}

PyObject* super_init_target(PyObject* cls, PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    // An entry was only made for a `cls` on the MRO, which the type holds
    // alive; an unchanged version tag means that MRO is still the same.
    SuperEntry& entry = caches.supers[slot_of(type, cls, kSuperSlots)];
    if (entry.type == type && entry.cls == cls && entry.version_tag == type->tp_version_tag &&
        entry.version_tag != 0) {
        return entry.target;
    }
    if (!PyType_Check(cls) || !PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(cls))) {
        return nullptr;
    }
    if (type->tp_version_tag == 0 && !PyUnstable_Type_AssignVersionTag(type)) {
        return nullptr;
    }
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) {
        return nullptr;
    }
    PyObject* target = find_init_after(mro, cls);
    if (target != nullptr) {
        entry = {type, type->tp_version_tag, cls, target};
    }
    return target;
}

void clear_fast_path_caches() {
    for (GlobalEntry& entry : caches.globals) {
        entry = {};
    }
    for (SuperEntry& entry : caches.supers) {
        entry = {};
    }
    for (AttributeEntry& entry : caches.attributes) {
        entry = {};
    }
    ++caches.epoch;
    caches.watched_globals = nullptr;
    caches.watched_builtins = nullptr;
}

void forget_fast_path_watcher() {
    clear_fast_path_caches();
    caches.watcher_id = -1;
}

}  // namespace roots
