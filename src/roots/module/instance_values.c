#define PY_SSIZE_T_CLEAN
#define Py_BUILD_CORE 1
#include <Python.h>

#include "internal/pycore_ceval.h"
#include "internal/pycore_dict.h"
#include "internal/pycore_frame.h"
#include "internal/pycore_interp.h"
#include "internal/pycore_object.h"

#include "roots/module/instance_values.h"

#include <string.h>

#if PY_VERSION_HEX < 0x030C0000 || PY_VERSION_HEX >= 0x030D0000
#error "the inline-values layout read here is the one of Python 3.12"
#endif

static int same_string_key(PyObject *candidate, PyObject *key, Py_hash_t hash);

Py_ssize_t roots_shared_key_index(PyTypeObject *type, PyObject *name, Py_ssize_t *searched)
{
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
        return -1;
    }
    PyDictKeysObject *keys = ((PyHeapTypeObject *)type)->ht_cached_keys;
    if (keys == NULL || keys->dk_kind != DICT_KEYS_SPLIT) {
        return -1;
    }
    /* A key that reached the shared keys through the instance dict itself
     * (its update() from parsed JSON, say) may be an equal string that is
     * not the interned one: the dict's own lookup matches it by value. */
    const Py_hash_t hash = PyUnicode_CheckExact(name) ? PyObject_Hash(name) : -1;
    PyDictUnicodeEntry *entries = DK_UNICODE_ENTRIES(keys);
    for (Py_ssize_t i = *searched; i < keys->dk_nentries; ++i) {
        if (same_string_key(entries[i].me_key, name, hash)) {
            *searched = i + 1;
            return i;
        }
    }
    *searched = keys->dk_nentries;
    return -1;
}

Py_ssize_t roots_shared_key_count(PyTypeObject *type)
{
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
        return -1;
    }
    PyDictKeysObject *keys = ((PyHeapTypeObject *)type)->ht_cached_keys;
    return keys == NULL || keys->dk_kind != DICT_KEYS_SPLIT ? -1 : keys->dk_nentries;
}

PyObject **roots_inline_values(PyObject *obj)
{
    PyDictOrValues dorv = *_PyObject_DictOrValuesPointer(obj);
    return _PyDictOrValues_IsValues(dorv) ? _PyDictOrValues_GetValues(dorv)->values : NULL;
}

/* The insertion order is kept in bytes just before the values, which the
 * compiler, once this is inlined where it sees the values as an array,
 * takes for an overflow: kept out of line (it runs once per new attribute). */
__attribute__((noinline)) void roots_note_inline_insertion(PyObject **values, Py_ssize_t index)
{
    _PyDictValues_AddToInsertionOrder((PyDictValues *)values, index);
}

PyObject *roots_instance_dict(PyObject *obj)
{
    PyDictOrValues dorv = *_PyObject_DictOrValuesPointer(obj);
    return _PyDictOrValues_IsValues(dorv) ? NULL : _PyDictOrValues_GetDict(dorv);
}

/* Whether the dict's keys are strings kept as unicode entries: a combined
 * table of string keys, or a split table (an instance dict made from
 * inline values, its keys shared with the class, its values apart). */
static inline int string_keyed(PyDictObject *mp)
{
    return mp->ma_values == NULL ? mp->ma_keys->dk_kind == DICT_KEYS_UNICODE
                                 : mp->ma_keys->dk_kind == DICT_KEYS_SPLIT;
}

/* The value of entry `i` (below dk_nentries) of a string-keyed dict; null
 * where a split table's dict holds nothing for that shared key. */
static inline PyObject *value_at(PyDictObject *mp, Py_ssize_t i)
{
    return mp->ma_values != NULL ? mp->ma_values->values[i] : DK_UNICODE_ENTRIES(mp->ma_keys)[i].me_value;
}

/* Beyond this many entries a search by identity costs more than the
 * dict's own probe sequence, which larger tables (a module's) take. */
#define ROOTS_HINT_SEARCH_LIMIT 32

/* Whether the entry key `candidate` is the string `key`: the same object,
 * or (as the dict's own lookup decides for two exact strings) the same hash
 * and the same code points.  No Python code runs. */
static int same_string_key(PyObject *candidate, PyObject *key, Py_hash_t hash)
{
    if (candidate == key) {
        return 1;
    }
    if (candidate == NULL || ((PyASCIIObject *)candidate)->hash != hash) {
        return 0;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
    const int kind = PyUnicode_KIND(key);
    return PyUnicode_GET_LENGTH(candidate) == length && PyUnicode_KIND(candidate) == kind &&
           memcmp(PyUnicode_DATA(candidate), PyUnicode_DATA(key), (size_t)length * kind) == 0;
}

/* Entry `i` of the hash table of `keys`: an index into the entries, or
 * DKIX_EMPTY / DKIX_DUMMY; the width of the table's cells grows with it. */
static inline Py_ssize_t table_cell(const PyDictKeysObject *keys, size_t i)
{
    const int log2size = DK_LOG_SIZE(keys);
    if (log2size < 8) {
        return ((const int8_t *)keys->dk_indices)[i];
    }
    if (log2size < 16) {
        return ((const int16_t *)keys->dk_indices)[i];
    }
    if (log2size >= 32) {
        return ((const int64_t *)keys->dk_indices)[i];
    }
    return ((const int32_t *)keys->dk_indices)[i];
}

/* The entry of the string-keyed table `keys` holding the interned string
 * `name`, found by the dict's own probe sequence (string keys compare
 * without running code), or -1: what the dict's lookup would find, for
 * tables too large to search by identity. */
static Py_ssize_t probe_index(PyDictKeysObject *keys, PyObject *name)
{
    const Py_hash_t hash = ((PyASCIIObject *)name)->hash;
    if (hash == -1) {
        return -1;
    }
    PyDictUnicodeEntry *entries = DK_UNICODE_ENTRIES(keys);
    const size_t mask = (size_t)DK_SIZE(keys) - 1;
    size_t perturb = (size_t)hash;
    size_t i = (size_t)hash & mask;
    for (;;) {
        const Py_ssize_t ix = table_cell(keys, i);
        if (ix >= 0) {
            if (same_string_key(entries[ix].me_key, name, hash)) {
                return ix;
            }
        } else if (ix == DKIX_EMPTY) {
            return -1;
        }
        perturb >>= 5;
        i = mask & (i * 5 + perturb + 1);
    }
}

PyObject *roots_dict_value_by_hint(PyObject *dict, PyObject *name, Py_ssize_t *hint)
{
    PyDictObject *mp = (PyDictObject *)dict;
    PyDictKeysObject *keys = mp->ma_keys;
    if (!string_keyed(mp)) {
        return NULL;
    }
    PyDictUnicodeEntry *entries = DK_UNICODE_ENTRIES(keys);
    const Py_ssize_t count = keys->dk_nentries;
    const Py_ssize_t at = *hint;
    /* A deleted entry has its key cleared, so a key found is live. */
    if (at >= 0 && at < count && entries[at].me_key == name) {
        return value_at(mp, at);
    }
    if (count > ROOTS_HINT_SEARCH_LIMIT) {
        const Py_ssize_t found = probe_index(keys, name);
        if (found < 0) {
            return NULL;
        }
        *hint = found;
        return value_at(mp, found);
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (entries[i].me_key == name) {
            *hint = i;
            return value_at(mp, i);
        }
    }
    return NULL;
}

PyObject *roots_dict_item_by_hint(PyObject *dict, PyObject *key, Py_ssize_t *hint)
{
    PyDictObject *mp = (PyDictObject *)dict;
    PyDictKeysObject *keys = mp->ma_keys;
    if (!PyUnicode_CheckExact(key) || mp->ma_values != NULL || keys->dk_kind != DICT_KEYS_UNICODE) {
        return NULL;
    }
    const Py_hash_t hash = ((PyASCIIObject *)key)->hash;
    const Py_ssize_t at = *hint;
    if (hash == -1 || at < 0 || at >= keys->dk_nentries) {
        return NULL;
    }
    /* A deleted entry has its key cleared, so a key found is live. */
    PyDictUnicodeEntry *entry = &DK_UNICODE_ENTRIES(keys)[at];
    return same_string_key(entry->me_key, key, hash) ? entry->me_value : NULL;
}

void roots_dict_note_hint(PyObject *dict, PyObject *value, Py_ssize_t *hint)
{
    PyDictObject *mp = (PyDictObject *)dict;
    PyDictKeysObject *keys = mp->ma_keys;
    if (mp->ma_values != NULL || keys->dk_kind != DICT_KEYS_UNICODE || keys->dk_nentries > ROOTS_HINT_SEARCH_LIMIT) {
        return;
    }
    PyDictUnicodeEntry *entries = DK_UNICODE_ENTRIES(keys);
    for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i) {
        if (entries[i].me_value == value) {
            *hint = i;
            return;
        }
    }
}

uint64_t roots_dict_absence_version(PyObject *dict, PyObject *key)
{
    PyDictObject *mp = (PyDictObject *)dict;
    /* An immortal key is never freed, so no other string takes its address. */
    if (!PyUnicode_CheckExact(key) || !_Py_IsImmortal(key) || mp->ma_values != NULL ||
        mp->ma_keys->dk_kind != DICT_KEYS_UNICODE) {
        return 0;
    }
    return mp->ma_version_tag;
}

uint64_t roots_dict_version(PyObject *dict)
{
    return ((PyDictObject *)dict)->ma_version_tag;
}

/* A property's fields, as the interpreter lays them out (not in any header). */
typedef struct {
    PyObject_HEAD
    PyObject *prop_get;
    PyObject *prop_set;
    PyObject *prop_del;
    PyObject *prop_doc;
    PyObject *prop_name;
    int getter_doc;
} roots_property_fields;

int roots_property_layout_known(PyObject *property)
{
    return Py_IS_TYPE(property, &PyProperty_Type) && PyProperty_Type.tp_basicsize == sizeof(roots_property_fields);
}

PyObject *roots_property_getter(PyObject *property)
{
    return ((roots_property_fields *)property)->prop_get;
}

PyObject *roots_dict_value_at(PyObject *dict, PyObject *name, Py_ssize_t at)
{
    PyDictObject *mp = (PyDictObject *)dict;
    PyDictKeysObject *keys = mp->ma_keys;
    if (!string_keyed(mp) || at < 0 || at >= keys->dk_nentries) {
        return NULL;
    }
    return DK_UNICODE_ENTRIES(keys)[at].me_key == name ? value_at(mp, at) : NULL;
}

static int frame_held_alone(PyFrameObject *f, PyObject *globals)
{
    return Py_REFCNT(f) == 1 && f->f_back == NULL && f->f_frame == (_PyInterpreterFrame *)f->_f_frame_data &&
           f->f_frame->owner == FRAME_OWNED_BY_FRAME_OBJECT && f->f_frame->f_globals == globals;
}

static void reset_frame_flags(PyFrameObject *f)
{
    f->f_lineno = 0;
    f->f_trace_lines = 1;
    f->f_trace_opcodes = 0;
    f->f_fast_as_locals = 0;
}

int roots_renew_frame(PyObject *frame, PyObject *globals)
{
    PyFrameObject *f = (PyFrameObject *)frame;
    if (!frame_held_alone(f, globals)) {
        return 0;
    }
    /* What Python code may have set through a traceback since. */
    Py_CLEAR(f->f_trace);
    Py_CLEAR(f->f_frame->f_locals);
    reset_frame_flags(f);
    /* Releasing those ran code, which may have taken the frame. */
    return Py_REFCNT(frame) == 1;
}

int roots_renew_frame_quietly(PyObject *frame, PyObject *globals)
{
    PyFrameObject *f = (PyFrameObject *)frame;
    if (!frame_held_alone(f, globals) || f->f_trace != NULL || f->f_frame->f_locals != NULL) {
        return 0;
    }
    reset_frame_flags(f);
    return 1;
}

/* Whether a frame of `func` (running `code`) may be pushed directly: no
 * frame evaluator of a debugger or profiler installed in its place (it
 * must see every frame), room left in the thread's frame stack. */
static inline int frame_pushable(PyThreadState *tstate, PyFunctionObject *func, PyCodeObject *code)
{
    return func->vectorcall == _PyFunction_Vectorcall && (code->co_flags & CO_OPTIMIZED) &&
           tstate->interp->eval_frame == NULL && _PyThreadState_HasStackSpace(tstate, code->co_framesize);
}

/* Pushes a frame of `func` whose first `given` locals are `args` and whose
 * next `bound - given` are left to the caller to fill before it runs the
 * frame.  The frame takes a reference to the function and to each
 * argument, and the evaluation pops and releases it, on return or on
 * error. */
static inline _PyInterpreterFrame *push_frame(PyThreadState *tstate, PyFunctionObject *func, PyObject *const *args,
                                              Py_ssize_t given, int bound)
{
    _PyInterpreterFrame *frame = _PyFrame_PushUnchecked(tstate, (PyFunctionObject *)Py_NewRef(func), bound);
    for (Py_ssize_t i = 0; i < given; ++i) {
        frame->localsplus[i] = Py_NewRef(args[i]);
    }
    return frame;
}

/* roots_call_exact for a function collecting positional arguments into
 * `*args` or taking `**kwargs` (a wrapper's usual shape), called with
 * positional arguments only: the tuple and the empty dict are made as the
 * interpreter's binding makes them, then the frame is pushed.  Out of line,
 * so that the exact calls do not pay for it. */
__attribute__((noinline)) static int call_collecting(PyThreadState *tstate, PyFunctionObject *func,
                                                     PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                                                     PyObject **result)
{
    PyCodeObject *code = (PyCodeObject *)func->func_code;
    const int flags = code->co_flags;
    const Py_ssize_t named = code->co_argcount;
    if (kwnames != NULL || code->co_kwonlyargcount != 0 || nargs < named ||
        (nargs > named && !(flags & CO_VARARGS)) || !frame_pushable(tstate, func, code)) {
        return 0;
    }
    /* What was checked above still holds when the frame is pushed: making
     * the tuple and the dict runs no Python code (the collector, the one
     * thing an allocation could set off, runs only at the evaluation
     * loop's own checks), so nothing can replace the function's code or
     * install a frame evaluator in between.  Both go to the frame. */
    PyObject *rest = NULL;
    if (flags & CO_VARARGS) {
        rest = PyTuple_New(nargs - named);
        if (rest == NULL) {
            *result = NULL;
            return 1;
        }
        for (Py_ssize_t i = named; i < nargs; ++i) {
            PyTuple_SET_ITEM(rest, i - named, Py_NewRef(args[i]));
        }
    }
    PyObject *keywords = NULL;
    if (flags & CO_VARKEYWORDS) {
        keywords = PyDict_New();
        if (keywords == NULL) {
            Py_XDECREF(rest);
            *result = NULL;
            return 1;
        }
    }
    _PyInterpreterFrame *frame =
        push_frame(tstate, func, args, named, (int)named + (rest != NULL) + (keywords != NULL));
    if (rest != NULL) {
        frame->localsplus[named] = rest;
    }
    if (keywords != NULL) {
        frame->localsplus[named + (rest != NULL)] = keywords;
    }
    *result = _PyEval_EvalFrameDefault(tstate, frame, 0);
    return 1;
}

int roots_call_exact(PyThreadState *tstate, PyObject *callable, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames, PyObject **result)
{
    if (!Py_IS_TYPE(callable, &PyFunction_Type)) {
        return 0;
    }
    PyFunctionObject *func = (PyFunctionObject *)callable;
    PyCodeObject *code = (PyCodeObject *)func->func_code;
    const Py_ssize_t given = nargs + (kwnames != NULL ? PyTuple_GET_SIZE(kwnames) : 0);
    /* Exactly the parameters given, nothing else to bind. */
    if (code->co_argcount != given || code->co_kwonlyargcount != 0 ||
        (code->co_flags & (CO_VARARGS | CO_VARKEYWORDS)) != 0 || !frame_pushable(tstate, func, code)) {
        return (code->co_flags & (CO_VARARGS | CO_VARKEYWORDS)) != 0 &&
               call_collecting(tstate, func, args, nargs, kwnames, result);
    }
    /* Keywords name the remaining parameters in their order (compared by
     * identity: both are interned), none of them positional-only. */
    for (Py_ssize_t i = nargs; i < given; ++i) {
        if (i < code->co_posonlyargcount ||
            PyTuple_GET_ITEM(kwnames, i - nargs) != PyTuple_GET_ITEM(code->co_localsplusnames, i)) {
            return 0;
        }
    }
    *result = _PyEval_EvalFrameDefault(tstate, push_frame(tstate, func, args, given, (int)given), 0);
    return 1;
}

static inline void prefetch_lines(const void *start, Py_ssize_t bytes)
{
    const char *at = (const char *)start;
    for (Py_ssize_t offset = 0; offset < bytes; offset += 64) {
        __builtin_prefetch(at + offset);
    }
}

void roots_prefetch(PyObject *obj, int step)
{
    if (step == 0) {
        /* The object, with the headers before it (the collector's and the
         * managed dict's). */
        prefetch_lines((const char *)obj - 32, 64 + 32);
        return;
    }
    if (!(Py_TYPE(obj)->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
        return;
    }
    PyDictOrValues storage = *_PyObject_DictOrValuesPointer(obj);
    if (_PyDictOrValues_IsValues(storage)) {
        if (step == 1) {
            prefetch_lines(_PyDictOrValues_GetValues(storage), 128);
        }
        return;
    }
    PyDictObject *dict = (PyDictObject *)_PyDictOrValues_GetDict(storage);
    if (dict == NULL) {
        return;
    }
    if (step == 1) {
        prefetch_lines(dict, sizeof(PyDictObject));
        return;
    }
    /* The dict's values: apart from its keys when they are shared with the
     * other instances of the class (already at hand), else the first few
     * entries of its own table. */
    if (dict->ma_values != NULL) {
        prefetch_lines(dict->ma_values, 128);
    }
    else {
        prefetch_lines(dict->ma_keys, 64);
        prefetch_lines(DK_IS_UNICODE(dict->ma_keys) ? (void *)DK_UNICODE_ENTRIES(dict->ma_keys)
                                                    : (void *)DK_ENTRIES(dict->ma_keys), 256);
    }
}

PyObject *roots_peek_attribute(PyObject *obj, PyObject *name, Py_ssize_t *hint)
{
    PyTypeObject *type = Py_TYPE(obj);
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
        return NULL;
    }
    PyDictOrValues storage = *_PyObject_DictOrValuesPointer(obj);
    if (!_PyDictOrValues_IsValues(storage)) {
        PyObject *dict = _PyDictOrValues_GetDict(storage);
        return dict != NULL && PyDict_CheckExact(dict) ? roots_dict_value_by_hint(dict, name, hint) : NULL;
    }
    PyDictKeysObject *keys = ((PyHeapTypeObject *)type)->ht_cached_keys;
    if (keys == NULL || keys->dk_kind != DICT_KEYS_SPLIT) {
        return NULL;
    }
    PyDictUnicodeEntry *entries = DK_UNICODE_ENTRIES(keys);
    Py_ssize_t at = *hint;
    if (at < 0 || at >= keys->dk_nentries || entries[at].me_key != name) {
        for (at = 0; at < keys->dk_nentries && entries[at].me_key != name; ++at) {
        }
        if (at == keys->dk_nentries) {
            return NULL;
        }
        *hint = at;
    }
    return _PyDictOrValues_GetValues(storage)->values[at];
}
