#include "roots/module/fast_path.hpp"

#include <cstdint>

#include "roots/module/names.hpp"
#include "roots/module/state.hpp"

namespace roots {
namespace {

// Both tables are direct-mapped on pointer bits: a collision only costs a
// lookup, never a wrong answer, since every entry carries its full key.
constexpr std::uintptr_t kGlobalSlots = 256;
constexpr std::uintptr_t kSuperSlots = 256;

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

struct FastPathCaches {
    GlobalEntry globals[kGlobalSlots];
    SuperEntry supers[kSuperSlots];
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
    if (value == nullptr && !PyErr_Occurred()) {
        value = PyDict_GetItemWithError(builtins, name);
        if (value == nullptr && !PyErr_Occurred()) {
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
        if (found != nullptr || PyErr_Occurred()) {
            return found;
        }
    }
    return nullptr;
}

}  // namespace

PyObject* cached_global(PyObject* name) {
    PyObject* globals = state.globals;
    PyObject* builtins = PyModule_GetDict(state.builtins);
    if (ensure_watching(globals, builtins) < 0) {
        return lookup_global(globals, builtins, name);
    }
    GlobalEntry& entry = caches.globals[slot_of(name, nullptr, kGlobalSlots)];
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
    ++caches.epoch;
    caches.watched_globals = nullptr;
    caches.watched_builtins = nullptr;
}

void forget_fast_path_watcher() {
    clear_fast_path_caches();
    caches.watcher_id = -1;
}

}  // namespace roots
