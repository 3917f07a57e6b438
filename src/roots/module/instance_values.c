#define PY_SSIZE_T_CLEAN
#define Py_BUILD_CORE 1
#include <Python.h>

#include "internal/pycore_dict.h"
#include "internal/pycore_object.h"

#include "roots/module/instance_values.h"

#if PY_VERSION_HEX < 0x030C0000 || PY_VERSION_HEX >= 0x030D0000
#error "the inline-values layout read here is the one of Python 3.12"
#endif

Py_ssize_t roots_shared_key_index(PyTypeObject *type, PyObject *name, Py_ssize_t *searched)
{
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
        return -1;
    }
    PyDictKeysObject *keys = ((PyHeapTypeObject *)type)->ht_cached_keys;
    if (keys == NULL || keys->dk_kind != DICT_KEYS_SPLIT) {
        return -1;
    }
    PyDictUnicodeEntry *entries = DK_UNICODE_ENTRIES(keys);
    for (Py_ssize_t i = *searched; i < keys->dk_nentries; ++i) {
        if (entries[i].me_key == name) {
            *searched = i + 1;
            return i;
        }
    }
    *searched = keys->dk_nentries;
    return -1;
}

PyObject *roots_inline_value(PyObject *obj, Py_ssize_t index)
{
    PyDictOrValues dorv = *_PyObject_DictOrValuesPointer(obj);
    if (index < 0 || !_PyDictOrValues_IsValues(dorv)) {
        return NULL;
    }
    return _PyDictOrValues_GetValues(dorv)->values[index];
}

int roots_has_inline_values(PyObject *obj)
{
    return _PyDictOrValues_IsValues(*_PyObject_DictOrValuesPointer(obj));
}

PyObject *roots_instance_dict(PyObject *obj)
{
    PyDictOrValues dorv = *_PyObject_DictOrValuesPointer(obj);
    return _PyDictOrValues_IsValues(dorv) ? NULL : _PyDictOrValues_GetDict(dorv);
}

int roots_store_inline_value(PyObject *obj, Py_ssize_t index, PyObject *value, PyObject **old)
{
    PyDictOrValues dorv = *_PyObject_DictOrValuesPointer(obj);
    if (index < 0 || !_PyDictOrValues_IsValues(dorv)) {
        return 0;
    }
    PyDictValues *values = _PyDictOrValues_GetValues(dorv);
    *old = values->values[index];
    values->values[index] = Py_NewRef(value);
    if (*old == NULL) {
        _PyDictValues_AddToInsertionOrder(values, index);
    }
    return 1;
}
