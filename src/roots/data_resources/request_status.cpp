// RequestStatus: the routes that report the status of the server's requests.
#include "roots/data_resources/store_reads.hpp"
#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

// Opens the route at the first database of the store that the user may use;
// 1 when it did, 0 when the user may use none of them.
int allow_for_first_usable_database(PyObject* self, PyObject* databases) {
    Ref db_ids = Ref::steal(PyObject_GetIter(databases));
    if (!db_ids) {
        return -1;
    }
    while (Ref db_id = Ref::steal(PyIter_Next(db_ids.get()))) {
        Ref user_config = getattr(self, names.authenticated_user_config);
        Ref user_databases = user_config ? getattr(user_config.get(), names.databases) : Ref();
        const int usable = user_databases ? contains(user_databases.get(), db_id.get()) : -1;
        if (usable < 0) {
            return -1;
        }
        if (usable) {
            return call_method(self, names.acl_allow) ? 1 : -1;
        }
    }
    return error_pending() ? -1 : 0;
}

PyObject* request_status_init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];
    if (super_init(names.RequestStatus, self, request) < 0) {
        return nullptr;
    }

    if (setattr(self, names.authenticated_user_config,
                store_record(self, names.users, names.authenticated_user_id)) < 0) {
        return nullptr;
    }
    Ref query_configs = Ref::steal(PyDict_New());
    if (setattr(self, names.query_configs, query_configs) < 0) {
        return nullptr;
    }
    // Closed until one of the rules below opens it.
    if (!call_method(self, names.acl_deny)) {
        return nullptr;
    }

    Ref user_id = getattr(self, names.authenticated_user_id);
    const int is_public = user_id ? equals(user_id.get(), names.public_user) : -1;
    if (is_public < 0) {
        return nullptr;
    }
    if (is_public) {
        // Anonymous callers never see other requests, not even of public queries.
        Py_RETURN_NONE;
    }
    const int is_admin = equals(user_id.get(), names.admin);
    if (is_admin < 0) {
        return nullptr;
    }
    if (is_admin) {
        Ref querydefs = store_mapping(self, names.querydefs);
        if (setattr(self, names.query_configs, querydefs) < 0 || !call_method(self, names.acl_allow)) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    Ref user_config = getattr(self, names.authenticated_user_config);
    const int known_user = user_config ? truth(user_config.get()) : -1;
    if (known_user < 0) {
        return nullptr;
    }
    if (!known_user) {
        Py_RETURN_NONE;
    }

    Ref databases = store_mapping(self, names.databases);
    const int database_user = databases ? allow_for_first_usable_database(self, databases.get()) : -1;
    if (database_user < 0) {
        return nullptr;
    }

    Ref querydefs = store_mapping(self, names.querydefs);
    if (!querydefs || collect_executable_queries(querydefs.get(), user_id.get(), query_configs.get()) < 0) {
        return nullptr;
    }
    const int has_queries = truth(query_configs.get());
    if (has_queries < 0 || (has_queries && !call_method(self, names.acl_allow))) {
        return nullptr;
    }
    if (!has_queries && !database_user) {
        // A signed-in user with neither a database nor a query has no
        // requests to look at: the route does not exist for them.
        return raise_new(names.HTTPNotFound);
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kRequestStatusInit{"RequestStatus.__init__", {"self", "request"}, request_status_init};

const MethodEntry kRequestStatusMethods[] = {
    {MethodKind::Method, &kRequestStatusInit},
};

}  // namespace

const MethodTable request_status_methods{kRequestStatusMethods};

}  // namespace roots
