#include "roots/module/fast_path.hpp"

#include <climits>
#include <cstdint>
#include <cstring>

#include "roots/module/api.hpp"
#include "roots/module/function.hpp"
#include "roots/module/instance_values.h"
#include "roots/module/names.hpp"
#include "roots/module/ref.hpp"
#include "roots/module/state.hpp"

namespace roots {
namespace {

// Every site filled since the caches were last cleared, so that clearing
// them empties each one: a site is then trusted on its own guards (the
// name, the type and its version tag), with no check of the caches' age on
// every read.  Sites are the bodies' own statics, never freed.  Once the
// list is full, sites not on it are left empty: their reads take the
// uncached route.
constexpr std::size_t kFilledSitesMax = 8192;
AttributeSite* filled_sites[kFilledSitesMax];
std::size_t filled_site_count = 0;

// `*site = filled`, the site noted first where it is not on the list yet.
void fill_site(AttributeSite* site, const AttributeSite& filled) {
    if (site->generation != attribute_site_generation) {
        if (filled_site_count == kFilledSitesMax) {
            return;
        }
        filled_sites[filled_site_count++] = site;
    }
    *site = filled;
}

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

// What the generic protocol does with `obj.name` for an object of a given
// kind, as far as it is fixed by the type (and its MRO) alone.
enum class Resolution : unsigned char {
    // Left to the generic protocol: a data descriptor other than a property,
    // a descriptor whose type might still gain __set__, anything unusual.
    kGeneric,
    // Nothing on the MRO: only the instance's own storage holds it.
    kInstance,
    // Nothing on the MRO, on a type that keeps each instance's dict at a
    // fixed offset rather than managing it (a builtin such as
    // SimpleNamespace): only that dict holds it.
    kOffsetDict,
    // A plain class attribute (its type immutable, with neither __get__ nor
    // __set__): the instance's own storage shadows it, else it is the answer.
    kClassValue,
    // A function on the type (the module's own or a Python function): the
    // instance's storage shadows it; `obj.name(...)` calls it with `obj`.
    kMethod,
    // Another non-data descriptor of an immutable type (classmethod,
    // staticmethod, ...): the instance's storage first, then the protocol.
    kInstanceFirst,
    // Exactly a property: a data descriptor, so the instance never shadows
    // it; when its getter is one of the module's functions, its body runs,
    // else the property's own read.
    kProperty,
    // Another data descriptor of an immutable type (a slot, a named tuple's
    // field): the instance never shadows it; its own read answers.
    kDataDescriptor,
    // An attribute of a module (exactly ModuleType) that ModuleType itself
    // does not define: the module's dict answers, else the protocol.
    kModuleDict,
    // A plain value found on a class read through the class itself (whose
    // metaclass is exactly `type`, which defines nothing of that name).
    kTypeValue,
    // Exactly a staticmethod found on a class read through the class itself,
    // as for kTypeValue: what it wraps is asked of it at each read.
    kTypeStatic,
};

// Which object's attribute an entry describes: an instance of `type`,
// `type` itself (a class whose attributes are read directly), or (under the
// name `__getattr__`) what reads of the instances fall back to when the
// generic read finds nothing.
enum class Subject : unsigned char { kInstanceOf, kTypeItself, kFallback };

struct AttributeEntry {
    PyTypeObject* type;
    unsigned int version_tag;
    Subject subject;
    Resolution resolution;
    PyObject* name;  // interned, hence immortal
    // The position of the name among the type's shared keys; -1 until an
    // instance first stores it (shared keys only grow).
    Py_ssize_t index;
    // How many of the shared keys were searched for the name so far.
    Py_ssize_t searched;
    // Where the name was last found in a materialised dict.
    Py_ssize_t dict_hint;
    // What the MRO holds under the name, borrowed (the class dictionary
    // keeps it while the version tag stands), or null.
    PyObject* found;
};

struct FastPathCaches {
    GlobalEntry globals[kGlobalSlots];
    SuperEntry supers[kSuperSlots];
    AttributeEntry attributes[kAttributeSlots];
    int watcher_id = -1;
    PyObject* watched_builtins = nullptr;  // not owned: only compared
};

FastPathCaches caches;

}  // namespace

std::uint64_t globals_epoch = 1;
PyObject* watched_globals = nullptr;

int watch_dict(int& watcher, PyDict_WatchCallback callback, PyObject* dict) {
    if (watcher < 0) {
        watcher = PyDict_AddWatcher(callback);
        if (watcher < 0) {
            PyErr_Clear();
            return -1;
        }
    }
    if (PyDict_Watch(watcher, dict) < 0) {
        PyErr_Clear();
        return -1;
    }
    return 0;
}

namespace {

int on_watched_dict_change(PyDict_WatchEvent event, PyObject* dict, PyObject* /*key*/, PyObject* /*new_value*/) {
    ++globals_epoch;
    if (event == PyDict_EVENT_DEALLOCATED) {
        if (dict == watched_globals) {
            watched_globals = nullptr;
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
    if (globals == watched_globals && builtins == caches.watched_builtins) {
        return 0;
    }
    if (watch_dict(caches.watcher_id, on_watched_dict_change, globals) < 0 ||
        watch_dict(caches.watcher_id, on_watched_dict_change, builtins) < 0) {
        return -1;
    }
    watched_globals = globals;
    caches.watched_builtins = builtins;
    ++globals_epoch;
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

}  // namespace

int find_in_mro(PyTypeObject* type, unsigned int tag, Py_ssize_t start, PyObject* name, PyObject** found) {
    *found = nullptr;
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro) || tag == 0) {
        return 0;
    }
    // Code run by a comparison may replace the MRO and drop this one.
    const Ref hold = Ref::borrow(mro);
    for (Py_ssize_t i = start; i < PyTuple_GET_SIZE(mro); ++i) {
        // Static builtin types keep their dictionary out of tp_dict.
        PyObject* dict = PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        if (dict == nullptr) {
            return -1;
        }
        PyObject* value = PyDict_GetItemWithError(dict, name);
        Py_DECREF(dict);
        if (value == nullptr && error_pending()) {
            return -1;
        }
        if (type->tp_version_tag != tag) {
            return 0;
        }
        if (value != nullptr) {
            *found = value;
            return 1;
        }
    }
    return 1;
}

namespace {

// What the MRO of `type` does with `name` for the attribute reads of
// `subject`; null when the cache cannot describe it (no version tag, a name
// that is not an interned string).  An entry stays valid exactly while the
// type's version tag does: assigning or deleting a class attribute anywhere
// on the MRO resets it.
AttributeEntry* fill_attribute_entry(AttributeEntry& entry, PyTypeObject* type, PyObject* name, Subject subject);

inline AttributeEntry* attribute_entry(PyTypeObject* type, PyObject* name, Subject subject) {
    AttributeEntry& entry = caches.attributes[slot_of(type, name, kAttributeSlots)];
    // Entries are only made under a non-zero tag, and a modified type's tag
    // is zero, so an equal tag is a current one.
    if (entry.type == type && entry.name == name && entry.version_tag == type->tp_version_tag &&
        entry.subject == subject) {
        return &entry;
    }
    return fill_attribute_entry(entry, type, name, subject);
}

// The position of the entry's name among its type's shared keys, or -1.
inline Py_ssize_t shared_index(AttributeEntry& entry) {
    if (entry.index < 0) {
        entry.index = roots_shared_key_index(entry.type, entry.name, &entry.searched);
    }
    return entry.index;
}

// Whether the type of `found` is immutable and defines no __set__ (nor,
// unless `gets`, __get__): such an object can never become a descriptor of
// another kind than it is now.
bool fixed_descriptor_kind(PyObject* found, bool gets) {
    PyTypeObject* kind = Py_TYPE(found);
    return PyType_HasFeature(kind, Py_TPFLAGS_IMMUTABLETYPE) && kind->tp_descr_set == nullptr &&
           (gets || kind->tp_descr_get == nullptr);
}

// Whether `found` is a data descriptor (it defines __get__ and __set__)
// that will stay one: its type is immutable.
bool fixed_data_descriptor(PyObject* found) {
    PyTypeObject* kind = Py_TYPE(found);
    return PyType_HasFeature(kind, Py_TPFLAGS_IMMUTABLETYPE) && kind->tp_descr_get != nullptr &&
           kind->tp_descr_set != nullptr;
}

Resolution resolve_for_instances(PyTypeObject* type, PyObject* found) {
    // What the instance keeps does not matter to a data descriptor.
    if (found != nullptr && !Py_IS_TYPE(found, &PyProperty_Type) && fixed_data_descriptor(found)) {
        return Resolution::kDataDescriptor;
    }
    if (!PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) || !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
        // A managed dict's offset is negative; a positive one is a dict
        // pointer inside the object.
        return found == nullptr && !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) && type->tp_dictoffset > 0
                   ? Resolution::kOffsetDict
                   : Resolution::kGeneric;
    }
    if (found == nullptr) {
        return Resolution::kInstance;
    }
    if (Py_IS_TYPE(found, &PyProperty_Type)) {
        return roots_property_layout_known(found) ? Resolution::kProperty : Resolution::kGeneric;
    }
    if (is_module_function(found) || Py_IS_TYPE(found, &PyFunction_Type)) {
        return Resolution::kMethod;
    }
    if (fixed_descriptor_kind(found, false)) {
        return Resolution::kClassValue;
    }
    return fixed_descriptor_kind(found, true) ? Resolution::kInstanceFirst : Resolution::kGeneric;
}

// Kept out of line: the hit above is the path that must stay short.
[[gnu::noinline]] AttributeEntry* fill_attribute_entry(AttributeEntry& entry, PyTypeObject* type, PyObject* name,
                                                       Subject subject) {
    if (!PyUnicode_CheckExact(name) || !PyUnicode_CHECK_INTERNED(name) ||
        (type->tp_version_tag == 0 && !PyUnstable_Type_AssignVersionTag(type))) {
        return nullptr;
    }
    const unsigned int tag = type->tp_version_tag;
    PyObject* found = nullptr;
    const int walked = find_in_mro(type, tag, 0, name, &found);
    if (walked <= 0) {
        // The interpreter's lookup drops a comparison's error too; the
        // generic read that follows looks again.
        if (walked < 0) {
            PyErr_Clear();
        }
        return nullptr;
    }
    Resolution resolution = Resolution::kGeneric;
    if (subject == Subject::kTypeItself) {
        // `type` is a class read through itself: its metaclass (exactly
        // `type`, immutable) must define nothing of the name, and what the
        // class holds must be a plain value, not something bound on access.
        // A function read from a class is the function itself.
        if (found != nullptr && _PyType_Lookup(&PyType_Type, name) == nullptr) {
            if (fixed_descriptor_kind(found, false) || Py_IS_TYPE(found, &PyFunction_Type) ||
                is_module_function(found)) {
                resolution = Resolution::kTypeValue;
            } else if (Py_IS_TYPE(found, &PyStaticMethod_Type)) {
                resolution = Resolution::kTypeStatic;
            }
        }
    } else if (subject == Subject::kFallback) {
        // A `__getattr__` written in Python, behind the generic read (the
        // instances' `__getattribute__` is object's own): a method of the
        // class, called with the instance and the name.
        PyObject* getattribute = nullptr;
        const int looked = find_in_mro(type, tag, 0, names.__getattribute__, &getattribute);
        if (looked <= 0) {
            if (looked < 0) {
                PyErr_Clear();
            }
            return nullptr;
        }
        if (found != nullptr && Py_IS_TYPE(found, &PyFunction_Type) && getattribute != nullptr &&
            Py_IS_TYPE(getattribute, &PyWrapperDescr_Type) &&
            reinterpret_cast<PyWrapperDescrObject*>(getattribute)->d_wrapped ==
                reinterpret_cast<void*>(PyObject_GenericGetAttr) &&
            PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) && PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
            resolution = Resolution::kMethod;
        }
    } else if (type == &PyModule_Type) {
        resolution = found == nullptr ? Resolution::kModuleDict : Resolution::kGeneric;
    } else {
        resolution = resolve_for_instances(type, found);
    }
    entry = {type, tag, subject, resolution, name, -1, 0, -1, found};
    return &entry;
}

// What a read of the instance's own storage found.
enum Stored : int { kStoredError = -1, kAbsent = 0, kStored = 1, kUndetermined = 2 };

// `obj.name` from `dict`, the instance's dict (null when it has none yet),
// as read_instance_storage below answers; a `site` remembers the entry as
// a site of `kind`.
Stored read_dict_storage(PyObject* dict, SiteKind kind, AttributeEntry& entry, PyObject** value, AttributeSite* site) {
    if (dict == nullptr || !PyDict_CheckExact(dict)) {
        return kUndetermined;
    }
    if (PyObject* hinted = roots_dict_value_by_hint(dict, entry.name, &entry.dict_hint)) {
        if (site != nullptr) {
            fill_site(site, {entry.type, entry.name, entry.version_tag, attribute_site_generation, kind,
                             entry.dict_hint, 0, nullptr});
        }
        *value = Py_NewRef(hinted);
        return kStored;
    }
    // The lookup may compare keys, running code that drops the dict.
    const Ref hold = Ref::borrow(dict);
    PyObject* found = PyDict_GetItemWithError(dict, entry.name);
    if (found == nullptr) {
        return error_pending() ? kStoredError : kAbsent;
    }
    *value = Py_NewRef(found);
    return kStored;
}

// Where the instances of `type` keep the slot that `found` reads, when
// `found` is a slot's member holding a plain object reference (as
// `__slots__` makes them), which the instance's own memory answers: an
// offset into the instance, else -1.
Py_ssize_t object_slot_offset(PyObject* found, PyTypeObject* type) {
    if (!Py_IS_TYPE(found, &PyMemberDescr_Type)) {
        return -1;
    }
    auto* member = reinterpret_cast<PyMemberDescrObject*>(found);
    // Its own read checks the instance's type and audits restricted members.
    const PyMemberDef* def = member->d_member;
    return def->type == Py_T_OBJECT_EX && !(def->flags & Py_AUDIT_READ) && def->offset > 0 &&
                   PyType_IsSubtype(type, PyDescr_TYPE(found))
               ? def->offset
               : -1;
}

// The type of a named tuple's field getters (held for the process), or
// null when it could not be found or is not laid out as below: their reads
// are then left to them.
PyObject* tuple_field_type = nullptr;

// Where a field getter keeps the index of its item: right after the object
// header, as the interpreter lays it out (checked once on getters made for
// the purpose, see find_tuple_field_type).
inline Py_ssize_t tuple_field_position(PyObject* getter) {
    Py_ssize_t index;
    std::memcpy(&index, reinterpret_cast<char*>(getter) + sizeof(PyObject), sizeof(index));
    return index;
}

// The item a named tuple's field `found` of a class on the MRO of `type`
// reads, when `found` is such a field and `type` a tuple subclass; else -1.
// Runs no code: the entry `found` came from stays as it is.
Py_ssize_t tuple_field_index(PyObject* found, PyTypeObject* type) {
    if (tuple_field_type == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(found)) != tuple_field_type ||
        !PyType_IsSubtype(type, &PyTuple_Type)) {
        return -1;
    }
    return tuple_field_position(found);
}

// What `obj` keeps at `offset` of its memory (a slot, a dict pointer), borrowed.
inline PyObject* slot_value(PyObject* obj, Py_ssize_t offset) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

// The dict that an instance of a kOffsetDict type keeps at its type's offset.
inline PyObject* offset_dict(PyObject* obj) { return slot_value(obj, Py_TYPE(obj)->tp_dictoffset); }

// `obj.name` from the instance's own storage: kStored with `*value` set to a
// new reference, kAbsent when the storage surely does not hold it,
// kUndetermined when only the generic protocol can tell (a replaced
// `__dict__` that is not exactly a dict), kStoredError with an error from a
// materialised dict's lookup.
//
// With a `site`, a value found inline, or by identity at its remembered
// place in a materialised dict, is remembered there too.
inline Stored read_instance_storage(PyObject* obj, AttributeEntry& entry, PyObject** value,
                                    AttributeSite* site = nullptr) {
    if (PyObject** values = roots_inline_values(obj)) {
        const Py_ssize_t index = shared_index(entry);
        if (index < 0 || values[index] == nullptr) {
            return kAbsent;
        }
        if (site != nullptr) {
            fill_site(site, {entry.type, entry.name, entry.version_tag, attribute_site_generation, SiteKind::kInline,
                             index, 0, nullptr});
        }
        *value = Py_NewRef(values[index]);
        return kStored;
    }
    return read_dict_storage(roots_instance_dict(obj), SiteKind::kInDict, entry, value, site);
}

// What the type gave for a name, held while a materialised dict of `obj` is
// searched for it, as the generic read holds its descriptor: the search's
// key comparisons may run code that changes the class, dropping the object
// or refilling its cache entry.  Inline values are read without running
// any code, so nothing is held for them.
inline Ref held_across_search(PyObject* obj, PyObject* found) {
    return roots_inline_values(obj) == nullptr ? Ref::borrow(found) : Ref();
}

// The answer of a read that only the instance's storage gives: 1, 0 (the
// generic protocol decides), or -1.
int stored_only(Stored stored) { return stored == kUndetermined ? 0 : stored; }

// `obj.name` through the data descriptor `found` on the type of `obj`, as
// the generic read makes it: 1 with `*value` set, or -1.  The descriptor is
// held while it runs, which may change the class.
int read_data_descriptor(PyObject* found, PyObject* obj, PyObject** value) {
    const Ref hold = Ref::borrow(found);
    *value = Py_TYPE(found)->tp_descr_get(found, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    return *value != nullptr ? 1 : -1;
}

// The attribute read the interpreter gives a class that defines
// `__getattr__` (the generic read, then `__getattr__`), found once on a
// class made for the purpose: it is not among the library's exports.
getattrofunc fallback_getattro = nullptr;

// The `__getattr__` function of `type`, a class defining it, behind which
// its instances are read generically (borrowed: the class dict holds it
// while the version tag stands); else null.
PyObject* fallback_of(PyTypeObject* type) {
    AttributeEntry* fallback = attribute_entry(type, names.__getattr__, Subject::kFallback);
    return fallback != nullptr && fallback->resolution == Resolution::kMethod ? fallback->found : nullptr;
}

// `obj.name` for an instance of a class that defines `__getattr__` in
// Python, where the class holds nothing of the name: the instance's own
// storage, else (an AttributeError from its search included)
// `__getattr__(obj, name)`, the function found before the search, as the
// interpreter's read of such classes makes them.  1 with `*value` set, 0
// when the generic protocol must answer, -1 with an error.
int read_with_fallback(PyObject* obj, PyObject* name, PyObject** value, AttributeSite* site) {
    PyTypeObject* type = Py_TYPE(obj);
    // Held across the search, whose key comparisons may change the class.
    const Ref function = Ref::borrow(fallback_of(type));
    if (!function) {
        return 0;
    }
    AttributeEntry* entry = attribute_entry(type, name, Subject::kInstanceOf);
    if (entry == nullptr || entry->resolution != Resolution::kInstance) {
        return 0;
    }
    const Stored stored = read_instance_storage(obj, *entry, value, site);
    if (stored == kStored || stored == kUndetermined) {
        return stored_only(stored);
    }
    if (stored == kAbsent && site != nullptr && roots_inline_values(obj) != nullptr) {
        // Absent from inline values (no code ran, both entries stand): the
        // site may go to `__getattr__` until the instance or the type changes.
        fill_site(site, {entry->type, name, entry->version_tag, attribute_site_generation, SiteKind::kFallback,
                         entry->index, roots_shared_key_count(entry->type), function.get()});
    }
    if (stored == kStoredError) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
    }
    PyObject* arguments[] = {obj, name};
    *value = vectorcall(function.get(), arguments, 2, nullptr);
    return *value != nullptr ? 1 : -1;
}

// `obj.name` through `property`, exactly a property of the type of `obj`: a
// new reference, or null with an error.
PyObject* read_property(PyObject* property, PyObject* obj) {
    PyObject* getter = roots_property_getter(property);
    if (getter == nullptr) {
        PyObject* value = nullptr;
        read_data_descriptor(property, obj, &value);
        return value;
    }
    // Deleting the property while the getter runs must not free it.  The
    // getter is called with the instance, as the property's own `__get__`
    // calls it.
    const Ref hold = Ref::borrow(getter);
    return is_module_function(getter) ? call_body_direct(getter, &obj, 1) : vectorcall(getter, &obj, 1, nullptr);
}

// `obj.name` as far as the cache answers it: 1 with `*value` set to a new
// reference, 0 when the generic protocol must answer, -1 with an error.
int cached_read(PyObject* obj, PyObject* name, PyObject** value, AttributeSite* site = nullptr) {
    PyTypeObject* type = Py_TYPE(obj);
    AttributeEntry* entry = nullptr;
    if (type->tp_getattro == PyObject_GenericGetAttr) {
        entry = attribute_entry(type, name, Subject::kInstanceOf);
    } else if (type->tp_getattro == fallback_getattro && fallback_getattro != nullptr) {
        return read_with_fallback(obj, name, value, site);
    } else if (type == &PyType_Type) {
        entry = attribute_entry(reinterpret_cast<PyTypeObject*>(obj), name, Subject::kTypeItself);
    } else if (type == &PyModule_Type) {
        entry = attribute_entry(type, name, Subject::kInstanceOf);
    }
    if (entry == nullptr) {
        return 0;
    }
    switch (entry->resolution) {
        case Resolution::kMethod: {
            PyObject* function = entry->found;
            const Ref hold = held_across_search(obj, function);
            const Stored stored = read_instance_storage(obj, *entry, value, site);
            if (stored == kAbsent) {
                // Bound as the generic read binds it once the instance is
                // found not to hold the name.
                *value = Py_TYPE(function)->tp_descr_get(function, obj, reinterpret_cast<PyObject*>(type));
                return *value != nullptr ? 1 : -1;
            }
            return stored_only(stored);
        }
        case Resolution::kInstance:
        case Resolution::kInstanceFirst:
            return stored_only(read_instance_storage(obj, *entry, value, site));
        case Resolution::kOffsetDict:
            return stored_only(read_dict_storage(offset_dict(obj), SiteKind::kOffsetDict, *entry, value, site));
        case Resolution::kClassValue: {
            PyObject* class_value = entry->found;
            const Ref hold = held_across_search(obj, class_value);
            const Stored stored = read_instance_storage(obj, *entry, value, site);
            if (stored == kAbsent) {
                // Absent from inline values (no code ran, the entry
                // stands): the site may answer with the class value until
                // the instance or the type changes.
                if (site != nullptr && roots_inline_values(obj) != nullptr) {
                    fill_site(site, {entry->type, name, entry->version_tag, attribute_site_generation,
                                     SiteKind::kClassValue, entry->index, roots_shared_key_count(entry->type),
                                     entry->found});
                }
                *value = Py_NewRef(class_value);
                return 1;
            }
            return stored_only(stored);
        }
        case Resolution::kProperty:
            if (site != nullptr) {
                fill_site(site, {entry->type, name, entry->version_tag, attribute_site_generation, SiteKind::kProperty,
                                 -1, 0, entry->found});
            }
            *value = read_property(entry->found, obj);
            return *value != nullptr ? 1 : -1;
        case Resolution::kDataDescriptor:
            // Only a read that has a site to fill asks whether it is a slot.
            if (site != nullptr) {
                if (const Py_ssize_t offset = object_slot_offset(entry->found, type); offset > 0) {
                    fill_site(site, {entry->type, name, entry->version_tag, attribute_site_generation, SiteKind::kSlot,
                                     offset, 0, entry->found});
                } else if (const Py_ssize_t index = tuple_field_index(entry->found, type); index >= 0) {
                    fill_site(site, {entry->type, name, entry->version_tag, attribute_site_generation,
                                     SiteKind::kTupleField, index, 0, entry->found});
                }
            }
            return read_data_descriptor(entry->found, obj, value);
        case Resolution::kModuleDict: {
            PyObject* dict = PyModule_GetDict(obj);
            if (dict == nullptr || !PyDict_CheckExact(dict)) {
                return 0;
            }
            if (PyObject* hinted = roots_dict_value_by_hint(dict, entry->name, &entry->dict_hint)) {
                if (site != nullptr) {
                    fill_site(site, {entry->type, name, entry->version_tag, attribute_site_generation,
                                     SiteKind::kModuleDict, entry->dict_hint, 0, nullptr});
                }
                *value = Py_NewRef(hinted);
                return 1;
            }
            // The lookup may compare keys, running code that drops the dict.
            Ref hold = Ref::borrow(dict);
            PyObject* found = PyDict_GetItemWithError(dict, entry->name);
            if (found == nullptr) {
                return error_pending() ? -1 : 0;
            }
            *value = Py_NewRef(found);
            return 1;
        }
        case Resolution::kTypeValue:
            if (site != nullptr) {
                fill_site(site, {entry->type, name, entry->version_tag, attribute_site_generation, SiteKind::kTypeValue,
                                 -1, 0, entry->found});
            }
            *value = Py_NewRef(entry->found);
            return 1;
        case Resolution::kTypeStatic:
            if (site != nullptr) {
                fill_site(site, {entry->type, name, entry->version_tag, attribute_site_generation,
                                 SiteKind::kTypeStatic, -1, 0, entry->found});
            }
            // As the class's own read binds it: with no instance.
            *value = Py_TYPE(entry->found)->tp_descr_get(entry->found, nullptr, reinterpret_cast<PyObject*>(entry->type));
            return *value != nullptr ? 1 : -1;
        case Resolution::kGeneric:
            break;
    }
    return 0;
}

// An AttributeError that a descriptor raised for `obj.name` names the
// attribute and the object, as the generic read leaves it (tracebacks
// suggest a name from them), unless it already names some.
void note_attribute_error(PyObject* obj, PyObject* name) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return;
    }
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    auto* error = reinterpret_cast<PyAttributeErrorObject*>(raised.get());
    if (PyErr_GivenExceptionMatches(raised.get(), PyExc_AttributeError) && error->name == nullptr &&
        error->obj == nullptr &&
        (PyObject_SetAttr(raised.get(), names.name, name) < 0 || PyObject_SetAttr(raised.get(), names.obj, obj) < 0)) {
        // The error of the failed setting stands instead.
        return;
    }
    PyErr_SetRaisedException(raised.release());
}

// The cached read as get_attribute_at answers it, errors as the generic
// read leaves them.
int cached_get(PyObject* obj, PyObject* name, PyObject** value, AttributeSite* site) {
    const int found = cached_read(obj, name, value, site);
    if (found < 0) {
        note_attribute_error(obj, name);
    }
    return found;
}

}  // namespace

PyObject* get_attribute(PyObject* obj, PyObject* name) {
    PyObject* value = nullptr;
    const int found = cached_get(obj, name, &value, nullptr);
    if (found != 0) {
        return value;
    }
    return PyObject_GetAttr(obj, name);
}

unsigned int attribute_site_generation = 1;

namespace {

// Whether `obj`, of the unchanged type of a kClassValue, kStaticMethod or
// kFallback site, still holds nothing of the site's name in its inline
// values.
bool unshadowed(const AttributeSite& site, PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type != site.type || type->tp_version_tag != site.version_tag) {
        return false;
    }
    PyObject** values = roots_inline_values(obj);
    if (values == nullptr) {
        return false;
    }
    return site.index >= 0 ? values[site.index] == nullptr : roots_shared_key_count(type) == site.shared_count;
}

}  // namespace

PyObject* other_site_value(const AttributeSite& site, PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    switch (site.kind) {
        case SiteKind::kInline:
        case SiteKind::kInDict:
        case SiteKind::kProperty:
        case SiteKind::kTypeStatic:
        case SiteKind::kFallback:
            break;
        case SiteKind::kTupleField:
            // A tuple's items never change; a shorter one leaves the read
            // to the getter, which raises.
            if (type == site.type && type->tp_version_tag == site.version_tag && site.index < Py_SIZE(obj)) {
                return PyTuple_GET_ITEM(obj, site.index);
            }
            break;
        case SiteKind::kClassValue:
        case SiteKind::kStaticMethod:
            return unshadowed(site, obj) ? site.value : nullptr;
        case SiteKind::kTypeMethod:
            if (type == site.type && type->tp_version_tag == site.version_tag) {
                return site.value;
            }
            break;
        case SiteKind::kTypeValue:
            if (obj == reinterpret_cast<PyObject*>(site.type) && type == &PyType_Type &&
                site.type->tp_version_tag == site.version_tag) {
                return site.value;
            }
            break;
        case SiteKind::kSlot:
            // An empty slot reads as null: the member's own read raises.
            if (type == site.type && type->tp_version_tag == site.version_tag) {
                return slot_value(obj, site.index);
            }
            break;
        case SiteKind::kOffsetDict:
            if (type == site.type && type->tp_version_tag == site.version_tag) {
                if (PyObject* dict = offset_dict(obj); dict != nullptr && PyDict_CheckExact(dict)) {
                    return roots_dict_value_at(dict, site.name, site.index);
                }
            }
            break;
        case SiteKind::kModuleDict:
            if (type == &PyModule_Type) {
                if (PyObject* dict = PyModule_GetDict(obj); dict != nullptr && PyDict_CheckExact(dict)) {
                    return roots_dict_value_at(dict, site.name, site.index);
                }
            }
            break;
    }
    return nullptr;
}

PyObject* get_attribute_at(AttributeSite& site, PyObject* obj, PyObject* name) {
    // A property read last time at this place, on the same unchanged type.
    PyTypeObject* type = Py_TYPE(obj);
    if (site.kind == SiteKind::kProperty && name == site.name && type == site.type &&
        type->tp_version_tag == site.version_tag) {
        PyObject* read = read_property(site.value, obj);
        if (read == nullptr) {
            note_attribute_error(obj, name);
        }
        return read;
    }
    // A staticmethod read through its class, as the class's own read gives
    // it: with no instance, and running no code.
    if (site.kind == SiteKind::kTypeStatic && name == site.name && obj == reinterpret_cast<PyObject*>(site.type) &&
        type == &PyType_Type && site.type->tp_version_tag == site.version_tag) {
        return Py_TYPE(site.value)->tp_descr_get(site.value, nullptr, obj);
    }
    // A name found nowhere last time, on a class with a Python
    // `__getattr__`: the function, held while it runs, as the class's
    // read calls it.
    if (site.kind == SiteKind::kFallback && name == site.name && unshadowed(site, obj)) {
        const Ref function = Ref::borrow(site.value);
        PyObject* arguments[] = {obj, name};
        PyObject* read = vectorcall(function.get(), arguments, 2, nullptr);
        if (read == nullptr) {
            note_attribute_error(obj, name);
        }
        return read;
    }
    PyObject* value = nullptr;
    const int found = cached_get(obj, name, &value, &site);
    if (found != 0) {
        return value;
    }
    return PyObject_GetAttr(obj, name);
}

int lookup_attribute_at(AttributeSite& site, PyObject* obj, PyObject* name, PyObject** value) {
    *value = nullptr;
    const int found = cached_read(obj, name, value, &site);
    if (found > 0) {
        return found;
    }
    if (found < 0) {
        // hasattr takes an AttributeError, from a descriptor too, for absence.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        return 0;
    }
    return _PyObject_LookupAttr(obj, name, value);
}

namespace {

int store_attribute(PyObject* obj, PyObject* name, PyObject* value, AttributeSite* site) {
    // A null value deletes, which only the generic protocol does.
    if (value != nullptr && Py_TYPE(obj)->tp_setattro == PyObject_GenericSetAttr) {
        AttributeEntry* entry = attribute_entry(Py_TYPE(obj), name, Subject::kInstanceOf);
        // Without a data descriptor of the name, the instance's own storage
        // takes the value.
        if (entry != nullptr &&
            (entry->resolution == Resolution::kInstance || entry->resolution == Resolution::kClassValue ||
             entry->resolution == Resolution::kMethod || entry->resolution == Resolution::kInstanceFirst)) {
            if (PyObject** values = roots_inline_values(obj)) {
                const Py_ssize_t index = shared_index(*entry);
                if (index < 0) {
                    // A name new to the type's shared keys: the generic
                    // store adds it there.
                    return PyObject_SetAttr(obj, name, value);
                }
                if (site != nullptr) {
                    fill_site(site, {entry->type, name, entry->version_tag, attribute_site_generation,
                                     SiteKind::kInline, index, 0, nullptr});
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
                if (PyDict_SetItem(dict.get(), name, value) == 0) {
                    return 0;
                }
                // A key of the dict whose comparison raised KeyError: the
                // generic store reports that as the attribute missing.
                if (PyErr_ExceptionMatches(PyExc_KeyError)) {
                    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", Py_TYPE(obj)->tp_name,
                                 name);
                }
                return -1;
            }
        }
    }
    return PyObject_SetAttr(obj, name, value);
}

}  // namespace

int set_attribute(PyObject* obj, PyObject* name, PyObject* value) { return store_attribute(obj, name, value, nullptr); }

int set_attribute_at(AttributeSite& site, PyObject* obj, PyObject* name, PyObject* value) {
    return store_attribute(obj, name, value, &site);
}

PyObject* static_target(PyObject* staticmethod, PyObject* obj) {
    return Py_TYPE(staticmethod)->tp_descr_get(staticmethod, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj)));
}

int method_target(PyObject* obj, PyObject* name, PyObject** callable, bool* with_self, AttributeSite* site) {
    *callable = nullptr;
    *with_self = false;
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyModule_Type) {
        // A module's function is called as it is, as a read gives it.
        return cached_read(obj, name, callable, site);
    }
    // A class with a Python `__getattr__` reads as the generic read does
    // wherever the instance or the class holds the name (only a name found
    // nowhere goes to `__getattr__`, through the generic lookup).
    if (type->tp_getattro != PyObject_GenericGetAttr &&
        (type->tp_getattro != fallback_getattro || fallback_getattro == nullptr || fallback_of(type) == nullptr)) {
        return 0;
    }
    AttributeEntry* entry = attribute_entry(type, name, Subject::kInstanceOf);
    if (entry == nullptr) {
        return 0;
    }
    switch (entry->resolution) {
        case Resolution::kGeneric:
            // A builtin's own method, on a type that cannot change and whose
            // instances keep no attributes of their own.
            if (entry->found != nullptr && Py_IS_TYPE(entry->found, &PyMethodDescr_Type) &&
                PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE) && type->tp_dictoffset == 0 &&
                !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) {
                if (site != nullptr) {
                    fill_site(site, {type, name, entry->version_tag, attribute_site_generation, SiteKind::kTypeMethod,
                                     -1, 0, entry->found});
                }
                *callable = Py_NewRef(entry->found);
                *with_self = true;
                return 1;
            }
            return 0;
        case Resolution::kInstanceFirst: {
            // A staticmethod unless the instance keeps the name itself.
            PyObject* staticmethod = entry->found;
            if (!Py_IS_TYPE(staticmethod, &PyStaticMethod_Type)) {
                return 0;
            }
            const Ref hold = held_across_search(obj, staticmethod);
            const Stored stored = read_instance_storage(obj, *entry, callable);
            if (stored != kAbsent) {
                return stored_only(stored);
            }
            if (site != nullptr && roots_inline_values(obj) != nullptr) {
                fill_site(site, {entry->type, name, entry->version_tag, attribute_site_generation,
                                 SiteKind::kStaticMethod, entry->index, roots_shared_key_count(entry->type),
                                 staticmethod});
            }
            *callable = static_target(staticmethod, obj);
            return *callable != nullptr ? 1 : -1;
        }
        case Resolution::kInstance:
            // A callable kept on the instance is called as it is.
            return stored_only(read_instance_storage(obj, *entry, callable));
        case Resolution::kOffsetDict:
            return stored_only(read_dict_storage(offset_dict(obj), SiteKind::kOffsetDict, *entry, callable, site));
        case Resolution::kDataDescriptor: {
            // A callable kept in a slot is called as it is; an empty slot is
            // left to the generic lookup, which raises.
            const Py_ssize_t offset = object_slot_offset(entry->found, type);
            PyObject* held = offset > 0 ? slot_value(obj, offset) : nullptr;
            if (held == nullptr) {
                return 0;
            }
            if (site != nullptr) {
                fill_site(site, {entry->type, name, entry->version_tag, attribute_site_generation, SiteKind::kSlot,
                                 offset, 0, entry->found});
            }
            *callable = Py_NewRef(held);
            return 1;
        }
        case Resolution::kMethod: {
            // Shadowed unless the instance keeps inline values without that
            // name; a materialised dict is left to the generic lookup.
            PyObject** values = roots_inline_values(obj);
            if (values == nullptr) {
                return 0;
            }
            const Py_ssize_t index = shared_index(*entry);
            if (index >= 0 && values[index] != nullptr) {
                *callable = Py_NewRef(values[index]);
                return 1;
            }
            if (site != nullptr) {
                fill_site(site, {entry->type, name, entry->version_tag, attribute_site_generation,
                                 SiteKind::kClassValue, index, roots_shared_key_count(entry->type), entry->found});
            }
            *callable = Py_NewRef(entry->found);
            *with_self = true;
            return 1;
        }
        default:
            return 0;
    }
}

PyObject* cached_global(PyObject* name) {
    GlobalEntry& entry = caches.globals[slot_of(name, nullptr, kGlobalSlots)];
    // The watched dicts are forgotten (and the epoch advanced) whenever the
    // module state changes, so a current epoch proves they are its dicts.
    if (entry.name == name && entry.epoch == globals_epoch && watched_globals == state.globals &&
        watched_globals != nullptr) {
        return entry.value;
    }
    PyObject* globals = state.globals;
    PyObject* builtins = PyModule_GetDict(state.builtins);
    if (ensure_watching(globals, builtins) < 0) {
        return lookup_global(globals, builtins, name);
    }
    if (entry.name == name && entry.epoch == globals_epoch) {
        return entry.value;
    }
    // The epoch of before the lookup: a key's `__eq__` run by the lookup may
    // change the globals, and what it found then is good for no later read.
    const auto epoch = globals_epoch;
    PyObject* value = lookup_global(globals, builtins, name);
    if (value != nullptr) {
        entry = {name, value, epoch};
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
    const unsigned int tag = type->tp_version_tag;
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) {
        return nullptr;
    }
    Py_ssize_t after = 0;
    while (after < PyTuple_GET_SIZE(mro) && PyTuple_GET_ITEM(mro, after) != cls) {
        ++after;
    }
    PyObject* target = nullptr;
    if (after == PyTuple_GET_SIZE(mro) || find_in_mro(type, tag, after + 1, names.__init__, &target) <= 0) {
        return nullptr;
    }
    if (target != nullptr) {
        entry = {type, tag, cls, target};
    }
    return target;
}

int find_fallback_read() {
    if (fallback_getattro != nullptr) {
        return 0;
    }
    Ref probe = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O){sO}",
                                                 "fallback_probe", &PyBaseObject_Type, "__getattr__", Py_None));
    if (!probe) {
        return -1;
    }
    const getattrofunc read = reinterpret_cast<PyTypeObject*>(probe.get())->tp_getattro;
    if (read != PyObject_GenericGetAttr) {
        fallback_getattro = read;
    }
    return 0;
}

int find_tuple_field_type() {
    if (tuple_field_type != nullptr) {
        return 0;
    }
    // Where the getters come from, when the interpreter has them in C; a
    // pure-Python named tuple's fields are properties, read as such.
    Ref collections = Ref::steal(PyImport_ImportModule("_collections"));
    if (!collections) {
        PyErr_Clear();
        return 0;
    }
    Ref found = Ref::steal(PyObject_GetAttrString(collections.get(), "_tuplegetter"));
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        return 0;
    }
    if (!PyType_Check(found.get())) {
        return 0;
    }
    // Its index is read in place only when two getters made here keep
    // theirs where it is looked for.
    for (const Py_ssize_t index : {Py_ssize_t{5}, Py_ssize_t{1} << 40}) {
        Ref getter = Ref::steal(PyObject_CallFunction(found.get(), "nO", index, Py_None));
        if (!getter) {
            PyErr_Clear();
            return 0;
        }
        if (Py_TYPE(getter.get()) != reinterpret_cast<PyTypeObject*>(found.get()) ||
            tuple_field_position(getter.get()) != index) {
            return 0;
        }
    }
    tuple_field_type = found.release();
    return 0;
}

void clear_fast_path_caches() {
    for (std::size_t i = 0; i < filled_site_count; ++i) {
        *filled_sites[i] = AttributeSite{};
    }
    filled_site_count = 0;
    // Wrapping to zero would take an emptied site for one on the list.
    attribute_site_generation = attribute_site_generation == UINT_MAX ? 1 : attribute_site_generation + 1;
    for (GlobalEntry& entry : caches.globals) {
        entry = {};
    }
    for (SuperEntry& entry : caches.supers) {
        entry = {};
    }
    for (AttributeEntry& entry : caches.attributes) {
        entry = {};
    }
    ++globals_epoch;
    watched_globals = nullptr;
    caches.watched_builtins = nullptr;
}

void forget_fast_path_watcher() {
    clear_fast_path_caches();
    caches.watcher_id = -1;
    // Belonged to the interpreter that is gone.
    tuple_field_type = nullptr;
}

}  // namespace roots
