/* Direct access to the attribute storage of plain instances: the values a
 * heap type without __slots__ keeps inline, indexed by the position of the
 * name in the type's shared keys, as the interpreter's own specialised
 * LOAD_ATTR / STORE_ATTR do.  Written in C because the layout is only
 * described by the interpreter's internal headers, which do not compile as
 * C++.  None of these functions owns a reference, runs Python code, or
 * sets an error (but for the frame-level call at the end); every `obj` must
 * be an instance of a type whose flags include Py_TPFLAGS_MANAGED_DICT. */
#ifndef ROOTS_MODULE_INSTANCE_VALUES_H
#define ROOTS_MODULE_INSTANCE_VALUES_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The position of `name` (compared as the dict's lookup compares strings) among the shared keys of a
 * heap type whose instances keep their attributes inline, or -1 when the
 * name is not (yet) one of them.  Shared keys only ever grow, so a position
 * once found stays valid for the type's life, and a search can resume
 * where the last one ended: only the keys from `*searched` on are compared,
 * and `*searched` is advanced past them. */
Py_ssize_t roots_shared_key_index(PyTypeObject *type, PyObject *name, Py_ssize_t *searched);

/* How many shared keys a heap type whose instances keep their attributes
 * inline has now, or -1 when it has none.  Shared keys only ever grow, so
 * an unchanged count means no name was added. */
Py_ssize_t roots_shared_key_count(PyTypeObject *type);

/* The inline values of `obj`, indexed by shared-key position, or null
 * when its dict was materialised (see roots_instance_dict). */
PyObject **roots_inline_values(PyObject *obj);

/* Appends `index` to the insertion order of the inline `values` (as
 * returned above), after a value was stored into its empty slot: what a
 * generic setattr does for a new attribute, so that vars() lists it last. */
void roots_note_inline_insertion(PyObject **values, Py_ssize_t index);

/* The materialised dict of `obj` (borrowed), or null when it keeps inline
 * values or has no dict at all. */
PyObject *roots_instance_dict(PyObject *obj);

/* The value of `name` (an interned string) in `dict`, an exact dict, found
 * by identity at the entry `*hint` points to, else by identity among at
 * most a few dozen entries, else (a larger table) by the dict's own probe
 * sequence; `*hint` then records where.  A borrowed reference, or null when
 * it was not found so and an ordinary lookup must answer.  The
 * interpreter's own attribute reads keep such a hint. */
PyObject *roots_dict_value_by_hint(PyObject *dict, PyObject *name, Py_ssize_t *hint);

/* The value of `name` in `dict`, an exact dict, when its entry at `at`
 * holds `name` by identity: a borrowed reference, else null. */
PyObject *roots_dict_value_at(PyObject *dict, PyObject *name, Py_ssize_t at);

/* `dict[key]` for an exact dict and an exact str `key`, when the entry
 * `*hint` points to holds it: a borrowed reference, else null (no error
 * set) and an ordinary lookup must answer.  Keys compare as the dict
 * compares two strings (identity, else hash and code points). */
PyObject *roots_dict_item_by_hint(PyObject *dict, PyObject *key, Py_ssize_t *hint);

/* Points `*hint` at the entry of `dict` (an exact dict) that holds `value`,
 * just found by an ordinary lookup, when the dict is a small table of
 * string keys; leaves it alone otherwise.  The entry found is only a
 * hint: roots_dict_item_by_hint checks its key. */
void roots_dict_note_hint(PyObject *dict, PyObject *value, Py_ssize_t *hint);

/* The version of `dict`, for as long as which a lookup of `key` that found
 * nothing would find nothing again, or 0 when no version tells: a string
 * looked up among string keys only compares strings, and every change to
 * the dict gives it a version no dict of the interpreter had before.  Only
 * an immortal string gets one: no other string can take its address. */
uint64_t roots_dict_absence_version(PyObject *dict, PyObject *key);
/* The current version of `dict`. */
uint64_t roots_dict_version(PyObject *dict);

/* Whether `frame`, made by PyFrame_New with `globals` and held by the
 * caller alone, can serve as a new such frame: nothing else can see it, so
 * a traceback entry may take it instead of a frame made afresh (which also
 * makes a function object).  What Python code could have set on it through
 * an earlier traceback (a trace function and its flags, a locals dict) is
 * reset first.  1 when it can, else 0; no error is set. */
int roots_renew_frame(PyObject *frame, PyObject *globals);
/* The same when nothing was set on it that releasing would run code for:
 * then it is renewed in place and 1 returned, with no code run (an error
 * may be pending); else 0, and it is left as it is. */
int roots_renew_frame_quietly(PyObject *frame, PyObject *globals);

/* Whether `property` is exactly a property laid out as this file reads it. */
int roots_property_layout_known(PyObject *property);

/* The getter of a property accepted above (borrowed), or null when it has
 * none.  Read on every access: `property.__init__` may replace it. */
PyObject *roots_property_getter(PyObject *property);

/* A vectorcall of a plain Python function whose parameters are exactly
 * the `nargs` positional arguments followed by the keywords `kwnames` (may
 * be null), in that order, and nothing else, or positional parameters
 * followed by `*args` or `**kwargs` given positional arguments alone (a
 * wrapper's usual shape, bound as the interpreter binds it): its frame is
 * pushed and run as the interpreter's own calls between Python functions
 * do, without the general binding of arguments to parameters.  1 with `*result` set to the
 * call's result (null with its error), or 0 when the call is not of that
 * kind, with nothing done.  `tstate` is the running thread's state. */
int roots_call_exact(PyThreadState *tstate, PyObject *callable, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames, PyObject **result);

/* Asks the processor's cache, ahead of a read of `obj`'s attributes, for
 * the memory that read goes through, one level a `step`: 0 the object, 1
 * its attribute storage (inline values or dict), 2 a dict's values.  Each
 * step reads only pointers the one before fetched, so a walk that takes
 * step 0 for the record some way ahead, step 1 for a nearer one and so on
 * finds each level in the cache by the time it reads it.  Any object may
 * be passed (a step that does not apply does nothing); it changes
 * nothing, runs no code and sets no error. */
void roots_prefetch(PyObject *obj, int step);

/* The value `obj` itself holds for `name` (an interned string), when it
 * is at hand without a lookup that could run code: in its inline values,
 * or in its dict found as roots_dict_value_by_hint finds it; `*hint`
 * remembers where.  A borrowed reference, else null.  Only a guess at what
 * a read of the attribute will touch: a class attribute or a descriptor
 * may answer that read instead. */
PyObject *roots_peek_attribute(PyObject *obj, PyObject *name, Py_ssize_t *hint);

#ifdef __cplusplus
}
#endif

#endif
