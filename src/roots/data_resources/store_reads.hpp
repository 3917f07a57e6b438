// Reads of the configuration store, and the status report, shared by the
// data-access routes.
#pragma once

#include <initializer_list>

#include "roots/module/api.hpp"

namespace roots {

// `mapping[key]`, with a missing key told apart from a failure: the result
// is null and no error is set, so the caller answers with its own refusal.
inline Ref configured_record(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        return Ref::borrow(PyDict_GetItemWithError(mapping, key));
    }
    Ref record = subscript(mapping, key);
    if (!record && PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
    }
    return record;
}

// Puts into `query_configs` every (query id, query record) pair of
// `querydefs` whose record's `execute` collection holds `user_id`, in the
// store's order.  The pairs are copied into a list first and that list is
// walked, so membership tests that run other code cannot disturb the walk
// over the store's own mapping.  Only an exact member
// counts: the marker "public" opens a query to everybody when it runs, but
// does not list it for anybody.
inline int collect_executable_queries(PyObject* querydefs, PyObject* user_id, PyObject* query_configs) {
    PairSnapshot snapshot;
    if (snapshot.take(querydefs) < 0) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < snapshot.size(); ++i) {
        Ref query[2];
        if (snapshot.pair(i, query) < 0) {
            return -1;
        }
        Ref executors = getattr(query[1].get(), names.execute);
        const int executes = executors ? contains(executors.get(), user_id) : -1;
        if (executes < 0 || (executes && PyObject_SetItem(query_configs, query[0].get(), query[1].get()) < 0)) {
            return -1;
        }
    }
    return 0;
}

// `tracker.update_metadata({attribute: self.attribute, ..., "user_id":
// self.authenticated_user_config.user_id})`: tells the request's status
// tracker which ids the request serves.
inline int report_request_metadata(PyObject* tracker, PyObject* self, std::initializer_list<PyObject*> attributes) {
    // Found now, called once the metadata is gathered: reading the context's
    // attributes may run code of its own.
    Method update_metadata = method_of(tracker, names.update_metadata);
    Ref metadata = update_metadata ? Ref::steal(PyDict_New()) : Ref();
    if (!metadata) {
        return -1;
    }
    for (PyObject* attribute : attributes) {
        Ref value = getattr_named(self, attribute);
        if (!value || PyDict_SetItem(metadata.get(), attribute, value.get()) < 0) {
            return -1;
        }
    }
    Ref user_config = getattr(self, names.authenticated_user_config);
    Ref user_id = user_config ? getattr(user_config.get(), names.user_id) : Ref();
    if (!user_id || PyDict_SetItem(metadata.get(), names.user_id, user_id.get()) < 0) {
        return -1;
    }
    return update_metadata(metadata.get()) ? 0 : -1;
}

}  // namespace roots
