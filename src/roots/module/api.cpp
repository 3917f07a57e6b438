#include "roots/module/api.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

#include "roots/module/fast_path.hpp"

namespace roots {

DictItemHint dict_item_hints[kDictItemHintSets][2];

namespace {

// Where a key was last found missing, and the version of the dict then: a
// table's optional entries ("not_implemented") are looked up in every
// construction, and a miss otherwise takes the dict's whole probe.  The dict
// is only compared: a dict made later at its address has a new version.
struct AbsentItem {
    PyObject* dict;
    PyObject* key;
    std::uint64_t version;
};
constexpr std::uintptr_t kAbsentItems = 64;
AbsentItem absent_items[kAbsentItems];

}  // namespace

PyObject* find_item_unhinted(PyObject* dict, PyObject* key, Py_ssize_t& hint) {
    const std::uintptr_t slot =
        ((reinterpret_cast<std::uintptr_t>(key) >> 4) ^ (reinterpret_cast<std::uintptr_t>(dict) >> 6)) % kAbsentItems;
    AbsentItem& absent = absent_items[slot];
    if (absent.key == key && absent.dict == dict && absent.version == roots_dict_version(dict)) {
        return nullptr;
    }
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value != nullptr) {
        roots_dict_note_hint(dict, value, &hint);
    } else if (!error_pending()) {
        if (const std::uint64_t version = roots_dict_absence_version(dict, key); version != 0) {
            absent = {dict, key, version};
        }
    }
    return value;
}

void forget_absent_items() { std::fill(std::begin(absent_items), std::end(absent_items), AbsentItem{}); }

Py_ssize_t& claim_dict_item_hint(DictItemHint (&set)[2], PyObject* key) {
    set[1] = set[0];
    set[0] = {key, -1};
    return set[0].index;
}

namespace {

Ref none_on_success(int status) { return status < 0 ? Ref() : none(); }

// `text.lstrip(chars)` for a single character to strip (the extension's
// dot): `text` without the run of it that it starts with, itself when there
// is none, as str's own method gives it.
Ref strip_leading(PyObject* text, PyObject* chars) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_UCS4 strip = PyUnicode_READ_CHAR(chars, 0);
    Py_ssize_t start = 0;
    while (start < length && PyUnicode_READ(kind, data, start) == strip) {
        ++start;
    }
    return Ref::steal(PyUnicode_Substring(text, start, length));
}

// `text.startswith(part)` (`at_start`) or `text.endswith(part)`: 1, 0, or
// -1 with an error.  Two strings of one kind are compared in place, as the
// library compares them, without its index adjustments.
Py_ssize_t tail_matches(PyObject* text, PyObject* part, bool at_start) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const Py_ssize_t part_length = PyUnicode_GET_LENGTH(part);
    const int kind = PyUnicode_KIND(text);
    if (PyUnicode_KIND(part) != kind) {
        return PyUnicode_Tailmatch(text, part, 0, PY_SSIZE_T_MAX, at_start ? -1 : 1);
    }
    if (part_length > length) {
        return 0;
    }
    const char* data = static_cast<const char*>(PyUnicode_DATA(text));
    const Py_ssize_t offset = at_start ? 0 : (length - part_length) * kind;
    return std::memcmp(data + offset, PyUnicode_DATA(part), static_cast<size_t>(part_length * kind)) == 0;
}

// `self.name(*args)` for the few builtin methods the bodies call, when
// `self` is EXACTLY the builtin type (so the method cannot have been
// overridden) and the arguments are of the kinds the method's own C API
// twin accepts: the same result without a method lookup or an argument
// tuple.  False when the call must take the general path.
bool builtin_method(PyObject* name, PyObject* const* stack, size_t nargs, Ref* result) {
    PyObject* self = stack[1];
    if (PyUnicode_CheckExact(self)) {
        if ((name == names.startswith || name == names.endswith) && nargs == 2 && PyUnicode_Check(stack[2])) {
            const Py_ssize_t found = tail_matches(self, stack[2], name == names.startswith);
            *result = found < 0 ? Ref() : Ref::borrow(found ? Py_True : Py_False);
            return true;
        }
        if (name == names.lstrip && nargs == 2 && PyUnicode_Check(stack[2]) && PyUnicode_GET_LENGTH(stack[2]) == 1) {
            *result = strip_leading(self, stack[2]);
            return true;
        }
        if (name == names.replace && nargs == 3 && PyUnicode_Check(stack[2]) && PyUnicode_Check(stack[3])) {
            *result = Ref::steal(PyUnicode_Replace(self, stack[2], stack[3], -1));
            return true;
        }
        return false;
    }
    if (PyDict_CheckExact(self)) {
        if (name == names.get && (nargs == 2 || nargs == 3)) {
            PyObject* value = PyDict_GetItemWithError(self, stack[2]);
            *result = value != nullptr ? Ref::borrow(value)
                      : error_pending() ? Ref()
                      : nargs == 3      ? Ref::borrow(stack[3])
                                        : none();
            return true;
        }
        if (name == names.copy && nargs == 1) {
            *result = Ref::steal(PyDict_Copy(self));
            return true;
        }
        if (name == names.update && nargs == 2 && PyDict_CheckExact(stack[2])) {
            *result = none_on_success(PyDict_Update(self, stack[2]));
            return true;
        }
        return false;
    }
    if (PySet_CheckExact(self) && nargs == 2) {
        if (name == names.update) {
            *result = none_on_success(_PySet_Update(self, stack[2]));
            return true;
        }
        if (name == names.add) {
            *result = none_on_success(PySet_Add(self, stack[2]));
            return true;
        }
    }
    return false;
}

}  // namespace

Ref call_unbound_at(const AttributeSite& site, PyObject* found, PyObject** stack, size_t nargs) {
    Ref callable = site.kind == SiteKind::kStaticMethod ? Ref::steal(static_target(found, stack[1]))
                                                        : Ref::borrow(found);
    return callable ? call_found(callable.get(), stack + 2, nargs - 1) : Ref();
}

namespace {

// What `obj.name(...)` calls: a new reference, `*with_self` telling whether
// it takes `obj` first (a function or method descriptor found on the type
// and not shadowed by the instance, called unbound, as the interpreter's own
// method call does), or null with an error.  `site` as for
// call_method_stack_at.
Ref method_to_call(AttributeSite& site, PyObject* obj, PyObject* name, bool* with_self) {
    PyObject* target = nullptr;
    const int known = method_target(obj, name, &target, with_self, &site);
    Ref callable = Ref::steal(target);
    if (known != 0) {
        return known > 0 ? std::move(callable) : Ref();
    }
    PyObject* method = nullptr;
    *with_self = _PyObject_GetMethod(obj, name, &method) != 0;
    return Ref::steal(method);
}

}  // namespace

Ref call_method_stack_at(AttributeSite& site, PyObject* name, PyObject** stack, size_t nargs) {
    if (Ref result; builtin_method(name, stack, nargs, &result)) {
        return result;
    }
    // One of ours runs its body directly.  The held reference keeps what was
    // found alive should the call change the class.
    bool with_self = false;
    Ref callable = method_to_call(site, stack[1], name, &with_self);
    if (!callable) {
        return {};
    }
    if (!with_self) {
        return call_unbound_at(AttributeSite{}, callable.get(), stack, nargs);
    }
    return call_found(callable.get(), stack + 1, nargs);
}

Method find_method_at(AttributeSite& site, PyObject* obj, PyObject* name) {
    if (Ref found = site_method(site, obj, name)) {
        // Only a staticmethod is left to the site: what it gives.
        Ref target = Ref::steal(static_target(found.get(), obj));
        return target ? Method(std::move(target), nullptr) : Method();
    }
    bool with_self = false;
    Ref callable = method_to_call(site, obj, name, &with_self);
    if (!callable) {
        return {};
    }
    return Method(std::move(callable), with_self ? obj : nullptr);
}

Ref call_method_kw_stack_at(AttributeSite& site, PyObject* name, PyObject** stack, size_t positional,
                            PyObject* kwnames) {
    bool with_self = false;
    Ref callable = method_to_call(site, stack[1], name, &with_self);
    if (!callable) {
        return {};
    }
    // Unbound, `stack[1]` is the callee's scratch space in turn.
    PyObject** args = with_self ? stack + 1 : stack + 2;
    const size_t nargs = with_self ? positional : positional - 1;
    return Ref::steal(vectorcall(callable.get(), args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

AttributeSite& other_site_for(AttributeSite (&sites)[kNamedSites], PyObject* name, std::uintptr_t picked) {
    AttributeSite* unused = nullptr;
    for (AttributeSite& site : sites) {
        if (site.name == name) {
            return site;
        }
        if (site.name == nullptr && unused == nullptr) {
            unused = &site;
        }
    }
    return unused != nullptr ? *unused : sites[picked];
}

namespace {

FormatSite* prepared_formats = nullptr;

}  // namespace

int prepare_format(FormatSite& site, const char* format, size_t arguments) {
    Ref pieces[kMaxFormatArguments + 1];
    size_t made = 0;
    const char* start = format;
    for (const char* at = format;; ++at) {
        const bool conversion = at[0] == '%' && (at[1] == 'S' || at[1] == 'U');
        if (at[0] == '%' && !conversion) {
            PyErr_Format(PyExc_SystemError, "unsupported conversion in message format \"%s\"", format);
            break;
        }
        if (!conversion && at[0] != '\0') {
            continue;
        }
        if (made > arguments) {
            break;
        }
        pieces[made] = Ref::steal(PyUnicode_DecodeUTF8(start, at - start, nullptr));
        if (!pieces[made]) {
            break;
        }
        ++made;
        if (at[0] == '\0') {
            if (made == arguments + 1) {
                for (size_t i = 0; i < made; ++i) {
                    site.pieces[i] = pieces[i].release();
                }
                site.count = made;
                site.next = prepared_formats;
                prepared_formats = &site;
                return 0;
            }
            break;
        }
        start = ++at + 1;
    }
    if (!error_pending()) {
        PyErr_Format(PyExc_SystemError, "message format \"%s\" does not take %zu arguments", format, arguments);
    }
    return -1;
}

void forget_formats() {
    while (FormatSite* site = prepared_formats) {
        prepared_formats = site->next;
        for (size_t i = 0; i < site->count; ++i) {
            site->pieces[i] = nullptr;
        }
        site->count = 0;
        site->next = nullptr;
    }
}

Ref get_item_generic(PyObject* mapping, PyObject* key) {
    return call_method(mapping, names.get, key);
}

int list_contains(PyObject* list, PyObject* item) {
    const bool item_is_str = PyUnicode_CheckExact(item);
    // The size is read again each time: a comparison may change the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* element = PyList_GET_ITEM(list, i);
        if (element == item) {
            return 1;
        }
        if (item_is_str && PyUnicode_CheckExact(element)) {
            if (str_equal(element, item)) {
                return 1;
            }
            continue;
        }
        Ref hold = Ref::borrow(element);
        const int equal = PyObject_RichCompareBool(element, item, Py_EQ);
        if (equal != 0) {
            return equal;
        }
    }
    return 0;
}

// Kept apart from the walk's own frame: a daemon thread that the
// interpreter ends at exit leaves its frames without running their
// destructors, and the watcher must still find whole pairs here.  Such a
// walk's pairs then stay, as its references always did.
struct BorrowedPairs {
    // Among `watching` while `link` is set.
    BorrowedPairs* next;
    BorrowedPairs** link;
    // A reference of its own.
    PyObject* dict;
    Py_ssize_t count;
    // Whether the pairs are referenced here, rather than borrowed from the
    // dict as it was.
    bool held;

    PyObject** pairs() { return reinterpret_cast<PyObject**>(this + 1); }
};

namespace {

// The pairs still borrowed from exact dicts, each dict watched while one
// of its walks lasts.
BorrowedPairs* watching = nullptr;
int walk_watcher = -1;

void hold(BorrowedPairs* borrowed) {
    PyObject** pairs = borrowed->pairs();
    for (Py_ssize_t i = 0; i < borrowed->count; ++i) {
        Py_INCREF(pairs[i]);
    }
    borrowed->held = true;
}

int on_walked_dict_change(PyDict_WatchEvent /*event*/, PyObject* dict, PyObject* /*key*/, PyObject* /*new_value*/) {
    // Called before the change is made: what the dict holds is still alive.
    for (BorrowedPairs* borrowed = watching; borrowed != nullptr; borrowed = borrowed->next) {
        if (!borrowed->held && borrowed->dict == dict) {
            hold(borrowed);
        }
    }
    return 0;
}

void stop_watching(BorrowedPairs* borrowed) {
    *borrowed->link = borrowed->next;
    if (borrowed->next != nullptr) {
        borrowed->next->link = borrowed->link;
    }
    borrowed->link = nullptr;
    for (BorrowedPairs* other = watching; other != nullptr; other = other->next) {
        if (other->dict == borrowed->dict) {
            return;  // another walk over the dict still borrows from it
        }
    }
    // The walk may end on an error, which is kept.
    PyObject* pending = PyErr_GetRaisedException();
    if (PyDict_Unwatch(walk_watcher, borrowed->dict) < 0) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(pending);
}

}  // namespace

void forget_walk_watcher() {
    // Walks left unfinished by threads the interpreter ended keep their
    // memory; a later interpreter must not find them.
    walk_watcher = -1;
    watching = nullptr;
}

int PairSnapshot::take(PyObject* mapping) {
    if (!PyDict_CheckExact(mapping)) {
        Ref pairs = call_method(mapping, names.items);
        items_ = pairs ? Ref::steal(PySequence_List(pairs.get())) : Ref();
        if (!items_) {
            return -1;
        }
        size_ = PyList_GET_SIZE(items_.get());
        flat_ = false;
        return 0;
    }
    flat_ = true;
    const Py_ssize_t size = PyDict_GET_SIZE(mapping);
    if (size == 0) {
        return 0;
    }
    // Unlike making a list, taking memory for the pairs runs no collection
    // (and so no finaliser): nothing runs from here until every pair is
    // copied and the dict is watched.
    const size_t bytes = sizeof(BorrowedPairs) + 2 * static_cast<size_t>(size) * sizeof(PyObject*);
    auto* borrowed = static_cast<BorrowedPairs*>(PyMem_Malloc(bytes));
    if (borrowed == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    *borrowed = {nullptr, nullptr, Py_NewRef(mapping), 2 * size, false};
    PyObject** pairs = borrowed->pairs();
    Py_ssize_t position = 0;
    Py_ssize_t index = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(mapping, &position, &key, &value)) {
        pairs[index++] = key;
        pairs[index++] = value;
    }
    borrowed_ = borrowed;
    pairs_ = pairs;
    size_ = size;
    if (watch_dict(walk_watcher, on_walked_dict_change, mapping) < 0) {
        hold(borrowed);
        return 0;
    }
    borrowed->next = watching;
    if (watching != nullptr) {
        watching->link = &borrowed->next;
    }
    borrowed->link = &watching;
    watching = borrowed;
    return 0;
}

PairSnapshot::~PairSnapshot() {
    BorrowedPairs* borrowed = borrowed_;
    if (borrowed == nullptr) {
        return;
    }
    if (borrowed->link != nullptr) {
        stop_watching(borrowed);
    }
    // Released once no longer watched: a finaliser may change the dict.
    if (borrowed->held) {
        PyObject** pairs = borrowed->pairs();
        for (Py_ssize_t i = 0; i < borrowed->count; ++i) {
            Py_DECREF(pairs[i]);
        }
    }
    Py_DECREF(borrowed->dict);
    PyMem_Free(borrowed);
}

namespace {

// How far ahead of the pair being read each level of a record is fetched:
// the object, its attribute storage, a dict's values, then (for the names
// the walk reads) the attributes' objects and a list's items.  Each level
// is fetched a pair or two after the one it is reached through.
constexpr Py_ssize_t kObjectAhead = 8;
constexpr Py_ssize_t kStorageAhead = 6;
constexpr Py_ssize_t kDictValuesAhead = 4;
constexpr Py_ssize_t kAttributeAhead = 2;
constexpr Py_ssize_t kListItemsAhead = 1;
// Below this many pairs the records stay in the processor's caches from
// one request to the next, and fetching them ahead is only more work.
constexpr Py_ssize_t kFetchedAheadFrom = 1000;

}  // namespace

void PairSnapshot::fetch_ahead(Py_ssize_t i, std::initializer_list<PyObject*> names) {
    if (!flat_ || size_ < kFetchedAheadFrom) {
        return;
    }
    PyObject* const* items = pairs_;
    const auto record = [&](Py_ssize_t ahead) { return i + ahead < size_ ? items[2 * (i + ahead) + 1] : nullptr; };
    if (i + kObjectAhead < size_) {
        // The key too: storing the pair elsewhere reads the hash it keeps.
        __builtin_prefetch(items[2 * (i + kObjectAhead)]);
        roots_prefetch(items[2 * (i + kObjectAhead) + 1], 0);
    }
    if (PyObject* obj = record(kStorageAhead)) {
        roots_prefetch(obj, 1);
    }
    if (PyObject* obj = record(kDictValuesAhead)) {
        roots_prefetch(obj, 2);
    }
    std::size_t n = 0;
    for (PyObject* name : names) {
        Py_ssize_t& hint = hints_[n++ % kFetchedNames];
        if (PyObject* obj = record(kAttributeAhead)) {
            if (PyObject* value = roots_peek_attribute(obj, name, &hint)) {
                __builtin_prefetch(value);
            }
        }
        if (PyObject* obj = record(kListItemsAhead)) {
            PyObject* value = roots_peek_attribute(obj, name, &hint);
            if (value != nullptr && PyList_CheckExact(value) && PyList_GET_SIZE(value) > 0) {
                __builtin_prefetch(reinterpret_cast<PyListObject*>(value)->ob_item);
            }
        }
    }
}

int PairSnapshot::pair(Py_ssize_t i, Ref* pair) const {
    if (flat_) {
        pair[0] = Ref::borrow(pairs_[2 * i]);
        pair[1] = Ref::borrow(pairs_[2 * i + 1]);
        return 0;
    }
    return unpack(PyList_GET_ITEM(items_.get(), i), pair, 2);
}

namespace {

// `init(self, request)` for one of the module's own initialisers.
int run_init_body(PyObject* init, PyObject* self, PyObject* request) {
    // The class dictionary may drop the function while its body runs.
    Ref hold = Ref::borrow(init);
    PyObject* args[] = {self, request};
    return Ref::steal(call_body_direct(init, args, 2)) ? 0 : -1;
}

int init_through_super(PyObject* cls, PyObject* self, PyObject* request) {
    PyObject* target = super_init_target(cls, self);
    if (target != nullptr && is_module_function(target)) {
        return run_init_body(target, self, request);
    }
    if (error_pending()) {
        return -1;
    }
    Ref proxy = call(state.super, cls, self);
    return proxy && call_method(proxy.get(), names.__init__, request) ? 0 : -1;
}

}  // namespace

int super_init_at(GlobalSite& site, PyObject* class_name, PyObject* self, PyObject* request) {
    Ref cls = read_global(site, class_name);
    return cls ? init_through_super(cls.get(), self, request) : -1;
}

int super_init_from_cell(PyObject* cell, PyObject* self, PyObject* request) {
    PyObject* cls = cell != nullptr ? PyCell_GET(cell) : nullptr;
    if (cls == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
        return -1;
    }
    return init_through_super(cls, self, request);
}

int base_init_at(BaseInitSite& site, PyObject* base_name, PyObject* self, PyObject* request) {
    Ref base = read_global(site.global, base_name);
    if (!base) {
        return -1;
    }
    // A class whose metaclass is exactly `type` answers `__init__` from its
    // MRO, and one of our functions read from a class is itself.
    if (PyType_CheckExact(base.get())) {
        auto* type = reinterpret_cast<PyTypeObject*>(base.get());
        // The epoch ties the initialiser to the base the global gave then;
        // an unchanged tag (never zero once given) to the base's MRO.
        if (site.init != nullptr && site.epoch == globals_epoch && site.global.value == base.get() &&
            type->tp_version_tag == site.version_tag) {
            return run_init_body(site.init, self, request);
        }
        const auto epoch = globals_epoch;
        const unsigned int tag = type->tp_version_tag;
        PyObject* own = _PyType_Lookup(type, names.__init__);
        if (own != nullptr && is_module_function(own)) {
            // Kept only under the tag the base had before the lookup, which
            // compares keys and so may run code that changes a class on the
            // MRO (its tag is then cleared, and a new one is never the old).
            if (tag != 0 && type->tp_version_tag == tag && epoch == globals_epoch) {
                site.init = own;
                site.version_tag = tag;
                site.epoch = epoch;
            }
            return run_init_body(own, self, request);
        }
    }
    Ref init = getattr(base.get(), names.__init__);
    return init && call(init.get(), self, request) ? 0 : -1;
}

int lookup_attr(PyObject* obj, PyObject* name, Ref* value) {
    static constinit AttributeSite sites[kNamedSites]{};
    AttributeSite& site = site_for(sites, name);
    if (PyObject* stored = site_value(site, obj, name)) {
        *value = Ref::borrow(stored);
        return 1;
    }
    // Unlike getattr, this makes no AttributeError only to drop it again
    // when the attribute is missing.
    PyObject* found = nullptr;
    const int present = lookup_attribute_at(site, obj, name, &found);
    *value = Ref::steal(found);
    return present;
}

int unpack(PyObject* iterable, Ref* targets, Py_ssize_t count) {
    // An exact tuple or list is unpacked in place, as the interpreter does.
    if (PyTuple_CheckExact(iterable) || PyList_CheckExact(iterable)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(iterable);
        if (size < count) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", count, size);
            return -1;
        }
        if (size > count) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", count);
            return -1;
        }
        PyObject** items = PySequence_Fast_ITEMS(iterable);
        for (Py_ssize_t i = 0; i < count; ++i) {
            targets[i] = Ref::borrow(items[i]);
        }
        return 0;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    if (!iterator) {
        // The interpreter's own wording for an unpacking of a non-iterable.
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(iterable)->tp_iter == nullptr &&
            !PySequence_Check(iterable)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(iterable)->tp_name);
        }
        return -1;
    }
    Ref items[kMaxUnpack];
    for (Py_ssize_t i = 0; i < count; ++i) {
        items[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!items[i]) {
            if (!error_pending()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", count, i);
            }
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra || error_pending()) {
        if (extra) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", count);
        }
        return -1;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        targets[i] = std::move(items[i]);
    }
    return 0;
}

int log_message(PyObject* level, PyObject* message) {
    Ref log = module_global(names.log);
    return log && call_method(log.get(), level, message) ? 0 : -1;
}

PyObject* grantee_of(PyObject* user_id) {
    const int is_public = equals(user_id, names.public_user);
    return is_public < 0 ? nullptr : is_public ? names.Everyone : names.Authenticated;
}

Ref grantee_for(PyObject* user_id) {
    PyObject* name = grantee_of(user_id);
    return name ? global_named(name) : Ref();
}

int holds_right(PyObject* user_config, PyObject* collection, std::initializer_list<PyObject*> rights) {
    const int has_config = truth(user_config);
    if (has_config <= 0) {
        return has_config;
    }
    Ref held = getattr_named(user_config, collection);
    if (!held) {
        return -1;
    }
    for (PyObject* right : rights) {
        const int holds = contains(held.get(), right);
        if (holds != 0) {
            return holds;
        }
    }
    return 0;
}

Ref user_ids_named(PyObject* record, std::initializer_list<PyObject*> fields) {
    Ref user_ids = Ref::steal(PySet_New(nullptr));
    if (!user_ids) {
        return {};
    }
    for (PyObject* field : fields) {
        Ref users = getattr_named(record, field);
        if (!users || !call_method(user_ids.get(), names.update, users.get())) {
            return {};
        }
    }
    return user_ids;
}

namespace {

// Whether every item of an exact list or tuple is an exact string.
bool all_exact_strings(PyObject* sequence) {
    PyObject* const* items = PySequence_Fast_ITEMS(sequence);
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence); ++i) {
        if (!PyUnicode_CheckExact(items[i])) {
            return false;
        }
    }
    return true;
}

bool is_list_of_exact_strings(PyObject* obj) { return PyList_CheckExact(obj) && all_exact_strings(obj); }

// Whether `obj` is itertools.chain itself: an immutable type of that name
// (a class made in Python, a subclass or a stand-in among them, is mutable,
// and its name has no module part).
bool is_itertools_chain(PyObject* obj) {
    if (!PyType_Check(obj)) {
        return false;
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(obj);
    return PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE) && std::strcmp(type->tp_name, "itertools.chain") == 0;
}

}  // namespace

int named_in_fields(PyObject* record, std::initializer_list<PyObject*> fields, PyObject* user_id) {
    const bool plain_id = PyUnicode_CheckExact(user_id);
    bool found = false;
    // A plain list of strings is searched as soon as it is read, as the set
    // takes its items when it is read: what a later read does to the list
    // cannot change the answer.  The set is made only for the collections
    // that are not such lists; the id is named when either holds it.
    Ref user_ids;
    for (PyObject* field : fields) {
        Ref users = getattr_named(record, field);
        if (!users) {
            return -1;
        }
        if (plain_id && is_list_of_exact_strings(users.get())) {
            found = found || list_contains(users.get(), user_id) > 0;
            continue;
        }
        if (!user_ids) {
            user_ids = Ref::steal(PySet_New(nullptr));
            if (!user_ids) {
                return -1;
            }
        }
        if (!call_method(user_ids.get(), names.update, users.get())) {
            return -1;
        }
    }
    if (found || !user_ids) {
        return found ? 1 : 0;
    }
    return contains(user_ids.get(), user_id);
}

int contains_in_chain(PyObject* chain, PyObject* const* iterables, size_t count, PyObject* item) {
    bool all_lists = is_itertools_chain(chain);
    for (size_t i = 0; all_lists && i < count; ++i) {
        all_lists = PyList_CheckExact(iterables[i]);
    }
    if (!all_lists) {
        Ref chained = Ref::steal(PyObject_Vectorcall(chain, iterables, count, nullptr));
        return chained ? contains(chained.get(), item) : -1;
    }
    for (size_t i = 0; i < count; ++i) {
        const int found = list_contains(iterables[i], item);
        if (found != 0) {
            return found;
        }
    }
    return 0;
}

Ref store_mapping(PyObject* self, PyObject* mapping) {
    Ref store = getattr(self, names.config_storage);
    return store ? getattr_named(store.get(), mapping) : Ref();
}

Ref matchdict_or_empty(PyObject* request) {
    Ref matchdict = getattr(request, names.matchdict);
    if (!matchdict) {
        return {};
    }
    const int present = truth(matchdict.get());
    if (present < 0) {
        return {};
    }
    return present ? std::move(matchdict) : Ref::steal(PyDict_New());
}

PyObject* raise(Ref obj) {
    if (PyExceptionClass_Check(obj.get())) {
        Ref made = Ref::steal(PyObject_CallNoArgs(obj.get()));
        if (!made) {
            return nullptr;
        }
        if (!PyExceptionInstance_Check(made.get())) {
            // As `raise` words it: the class is at fault, not what it made.
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                         obj.get(), Py_TYPE(made.get()));
            return nullptr;
        }
        obj = std::move(made);
    }
    if (PyExceptionInstance_Check(obj.get())) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(obj.get())), obj.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return nullptr;
}

namespace {

// ACL entries made of strings only, kept for the next context that grants
// the same: nothing can change an entry or tell it from a fresh one but
// `is`, and every context would otherwise build and drop the same few.
// Looked up by the identity of the three parts, so an entry made with a
// patched global is a new one.
struct KeptAclEntry {
    PyObject* action;
    PyObject* principal;
    PyObject* permission;
    PyObject* entry;  // owns the three above
};
constexpr std::uintptr_t kKeptAclEntries = 64;
KeptAclEntry kept_acl_entries[kKeptAclEntries];

// Exact strings, or an exact tuple of them (a permission naming several):
// parts that keep nothing else alive and run no code when released.
bool plain_text(PyObject* obj) {
    return PyUnicode_CheckExact(obj) || (PyTuple_CheckExact(obj) && all_exact_strings(obj));
}

// The entry `(action, principal, permission)`, or one kept that holds the same three.
Ref entry_of(PyObject* action, PyObject* principal, PyObject* permission) {
    const std::uintptr_t key = reinterpret_cast<std::uintptr_t>(action) ^
                               (reinterpret_cast<std::uintptr_t>(principal) >> 3) ^
                               (reinterpret_cast<std::uintptr_t>(permission) >> 6);
    KeptAclEntry& kept = kept_acl_entries[(key >> 4) % kKeptAclEntries];
    if (kept.action == action && kept.principal == principal && kept.permission == permission) {
        return Ref::borrow(kept.entry);
    }
    Ref entry = Ref::steal(PyTuple_New(3));
    if (!entry) {
        return {};
    }
    PyTuple_SET_ITEM(entry.get(), 0, Py_NewRef(action));
    PyTuple_SET_ITEM(entry.get(), 1, Py_NewRef(principal));
    PyTuple_SET_ITEM(entry.get(), 2, Py_NewRef(permission));
    if (plain_text(action) && plain_text(principal) && plain_text(permission)) {
        // The slot is set before the entry it held goes.
        Ref previous = Ref::steal(kept.entry);
        kept = {action, principal, permission, Py_NewRef(entry.get())};
    }
    return entry;
}

}  // namespace

Ref acl_entry(PyObject* action_name, PyObject* principal, PyObject* permission) {
    Ref action = global_named(action_name);
    return action ? entry_of(action.get(), principal, permission) : Ref();
}

void forget_acl_entries() {
    for (KeptAclEntry& kept : kept_acl_entries) {
        kept = {};
    }
}

Ref acl_entry_for(PyObject* action_name, PyObject* principal_name, PyObject* permission) {
    // Read in the order the entry names them, as a tuple display is.
    Ref action = global_named(action_name);
    Ref principal = action ? global_named(principal_name) : Ref();
    return principal ? entry_of(action.get(), principal.get(), permission) : Ref();
}

Ref acl_list(Ref entry) {
    if (!entry) {
        return {};
    }
    Ref list = Ref::steal(PyList_New(1));
    if (list) {
        PyList_SET_ITEM(list.get(), 0, entry.release());
    }
    return list;
}

int set_acl(PyObject* self, Ref entry) { return setattr(self, names.__acl__, acl_list(std::move(entry))); }

}  // namespace roots
