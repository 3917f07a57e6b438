/* Direct access to the attribute storage of plain instances: the values a
 * heap type without __slots__ keeps inline, indexed by the position of the
 * name in the type's shared keys, as the interpreter's own specialised
 * LOAD_ATTR / STORE_ATTR do.  Written in C because the layout is only
 * described by the interpreter's internal headers, which do not compile as
 * C++.  None of these functions owns a reference, runs Python code, or
 * sets an error; every `obj` must be an instance of a type whose flags
 * include Py_TPFLAGS_MANAGED_DICT. */
#ifndef ROOTS_MODULE_INSTANCE_VALUES_H
#define ROOTS_MODULE_INSTANCE_VALUES_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The position of `name` (compared by identity) among the shared keys of a
 * heap type whose instances keep their attributes inline, or -1 when the
 * name is not (yet) one of them.  Shared keys only ever grow, so a position
 * once found stays valid for the type's life, and a search can resume
 * where the last one ended: only the keys from `*searched` on are compared,
 * and `*searched` is advanced past them. */
Py_ssize_t roots_shared_key_index(PyTypeObject *type, PyObject *name, Py_ssize_t *searched);

/* The inline value at `index` of `obj`: a borrowed reference, or null when
 * the slot is empty, when `index` is -1, or when the instance holds no
 * inline values (its dict was materialised, see roots_instance_dict). */
PyObject *roots_inline_value(PyObject *obj, Py_ssize_t index);

/* Whether `obj` keeps its attributes inline (its dict not materialised). */
int roots_has_inline_values(PyObject *obj);

/* The materialised dict of `obj` (borrowed), or null when it keeps inline
 * values or has no dict at all. */
PyObject *roots_instance_dict(PyObject *obj);

/* Stores `value` (a new reference is taken) at `index` of the inline
 * values of `obj`, appending the name to the instance's insertion order
 * when the slot was empty, exactly as a generic setattr would.  Returns the
 * value previously held (a reference the caller must release) through
 * `*old`, and 1; or 0, touching nothing, when the instance holds no inline
 * values or `index` is -1. */
int roots_store_inline_value(PyObject *obj, Py_ssize_t index, PyObject *value, PyObject **old);

#ifdef __cplusplus
}
#endif

#endif
