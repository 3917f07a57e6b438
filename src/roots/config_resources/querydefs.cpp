// QuerydefsList, Querydef and NewQuerydef: the stored query definitions,
// listed, one by one, and created.
#include <initializer_list>

#include "roots/config_resources/creation_acl.hpp"
#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

// `user_id in record.<field>`: 1, 0, or -1 with an error.
int is_named_in(PyObject* record, PyObject* field, PyObject* user_id) {
    Ref users = getattr_named(record, field);
    return users ? contains(users.get(), user_id) : -1;
}

// `user_id in itertools.chain(record.<field>, ...)` over at most the three
// user lists of a query: one pass over them in turn, without merging them.
constexpr size_t kQueryUserLists = 3;
int is_named_in_any(PyObject* record, std::initializer_list<PyObject*> fields, PyObject* user_id) {
    Ref itertools = module_global(names.itertools);
    Ref chain = itertools ? getattr(itertools.get(), names.chain) : Ref();
    if (!chain) {
        return -1;
    }
    Ref collections[kQueryUserLists];
    PyObject* args[kQueryUserLists];
    size_t count = 0;
    for (PyObject* field : fields) {
        collections[count] = getattr_named(record, field);
        if (!collections[count]) {
            return -1;
        }
        args[count] = collections[count].get();
        ++count;
    }
    return contains_in_chain(chain.get(), args, count, user_id);
}

// Files one stored query under what the user may do with it: every query
// that names the user goes into `query_configs`, and its id into the
// executable and viewable lists as the user's rights on it say.
int list_query(PyObject* query_id, PyObject* query_config, PyObject* user_id, PyObject* query_configs,
               PyObject* executable_queries, PyObject* viewable_queries) {
    const int named = is_named_in_any(query_config, {names.execute, names.read, names.write}, user_id);
    if (named <= 0) {
        return named;
    }
    if (PyObject_SetItem(query_configs, query_id, query_config) < 0) {
        return -1;
    }
    const int executes = is_named_in(query_config, names.execute, user_id);
    if (executes < 0 || (executes && PyList_Append(executable_queries, query_id) < 0)) {
        return -1;
    }
    const int views = is_named_in_any(query_config, {names.read, names.write}, user_id);
    if (views < 0 || (views && PyList_Append(viewable_queries, query_id) < 0)) {
        return -1;
    }
    return 0;
}

PyObject* querydefs_list_init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];
    if (super_init(names.QuerydefsList, self, request) < 0) {
        return nullptr;
    }
    Ref query_configs = Ref::steal(PyDict_New());
    Ref executable_queries = query_configs ? Ref::steal(PyList_New(0)) : Ref();
    Ref viewable_queries = executable_queries ? Ref::steal(PyList_New(0)) : Ref();
    if (setattr(self, names.query_configs, query_configs) < 0 ||
        setattr(self, names.executable_queries, executable_queries) < 0 ||
        setattr(self, names.viewable_queries, viewable_queries) < 0) {
        return nullptr;
    }
    Ref user_id = getattr(self, names.authenticated_user_id);
    Method get_acl = user_id ? method_of(self, names.get_acl) : Method();
    Ref user_config = get_acl ? getattr(self, names.authenticated_user_config) : Ref();
    if (!user_config || setattr(self, names.__acl__, get_acl(user_id.get(), user_config.get())) < 0) {
        return nullptr;
    }

    const int is_admin = equals(user_id.get(), names.admin);
    if (is_admin < 0) {
        return nullptr;
    }
    if (is_admin) {
        // The administrator lists every query, so the views get the store's
        // own mapping rather than a copy of all of it.
        query_configs = store_mapping(self, names.querydefs);
        if (setattr(self, names.query_configs, query_configs) < 0) {
            return nullptr;
        }
        Ref query_ids = call_method(query_configs.get(), names.keys);
        executable_queries = query_ids ? list_of(query_ids.get()) : Ref();
        if (setattr(self, names.executable_queries, executable_queries) < 0) {
            return nullptr;
        }
        query_ids = call_method(query_configs.get(), names.keys);
        viewable_queries = query_ids ? list_of(query_ids.get()) : Ref();
        if (setattr(self, names.viewable_queries, viewable_queries) < 0) {
            return nullptr;
        }
    }

    // The walk runs for the administrator too: the lists above are then
    // extended by the queries that name "admin", as the views expect.
    Ref permitted = call_method(request, names.has_permission, names.view_querydefslist, self);
    const int may_list = permitted ? truth(permitted.get()) : -1;
    if (may_list <= 0) {
        if (may_list < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    Ref querydefs = store_mapping(self, names.querydefs);
    PairSnapshot snapshot;
    if (!querydefs || snapshot.take(querydefs.get()) < 0) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < snapshot.size(); ++i) {
        Ref query_id_and_config[2];
        if (snapshot.pair(i, query_id_and_config) < 0 ||
            list_query(query_id_and_config[0].get(), query_id_and_config[1].get(), user_id.get(),
                       query_configs.get(), executable_queries.get(), viewable_queries.get()) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kQuerydefsListInit{"QuerydefsList.__init__", {"self", "request"}, querydefs_list_init};

PyObject* querydefs_list_get_acl(PyObject* const* args) {
    PyObject* user_id = args[0];
    PyObject* user_config = args[1];
    const int is_admin = equals(user_id, names.admin);
    if (is_admin < 0) {
        return nullptr;
    }
    if (is_admin) {
        return acl_list(acl_entry(names.Allow, names.admin, names.view_querydefslist)).release();
    }
    // "create" is tested only when "view" is absent.
    const int may_list = holds_right(user_config, names.querydef, {names.view, names.create});
    if (may_list < 0) {
        return nullptr;
    }
    return acl_list(acl_entry_for(may_list ? names.Allow : names.Deny, names.Everyone, names.view_querydefslist))
        .release();
}
constexpr FunctionDef kQuerydefsListGetAcl{"QuerydefsList.get_acl", {"authenticated_user_id", "authenticated_user_config"}, querydefs_list_get_acl};

const MethodEntry kQuerydefsListMethods[] = {
    {MethodKind::Method, &kQuerydefsListInit},
    {MethodKind::StaticMethod, &kQuerydefsListGetAcl},
};

PyObject* querydef_init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];
    if (super_init(names.Querydef, self, request) < 0) {
        return nullptr;
    }
    Ref matchdict = matchdict_or_empty(request);
    if (!matchdict) {
        return nullptr;
    }
    Ref user_id = getattr(self, names.authenticated_user_id);
    Ref is_admin_result = user_id ? compare_equal(user_id.get(), names.admin) : Ref();
    if (setattr(self, names.is_admin, is_admin_result) < 0) {
        return nullptr;
    }
    Ref query_id = get_item(matchdict.get(), names.query_id);
    if (setattr(self, names.query_id, query_id) < 0) {
        return nullptr;
    }
    Ref querydefs = store_mapping(self, names.querydefs);
    Ref query_config = querydefs ? get_item(querydefs.get(), query_id.get()) : Ref();
    if (setattr(self, names.query_config, query_config) < 0) {
        return nullptr;
    }
    // The user's record is read again from the refreshed store.
    Ref users = store_mapping(self, names.users);
    Ref user_config = users ? get_item(users.get(), user_id.get()) : Ref();
    if (setattr(self, names.authenticated_user_config, user_config) < 0) {
        return nullptr;
    }
    if (query_config.get() == Py_None) {
        return raise_new(names.HTTPNotFound);
    }
    if (!call_method(self, names.acl_deny)) {
        return nullptr;
    }

    Ref rights = getattr(user_config.get(), names.querydef);
    const int is_admin = rights ? truth(is_admin_result.get()) : -1;
    int has_rights = is_admin;
    if (has_rights == 0) {
        has_rights = truth(user_config.get());
    }
    if (has_rights < 0) {
        return nullptr;
    }
    if (!has_rights) {
        Py_RETURN_NONE;
    }
    // Each right comes from the query's own lists, except for the
    // administrator, who holds them all.  A list that cannot be searched (a
    // store field that is null or a number) fails the request at once.
    int viewable = 1;
    int editable = 1;
    int executable = 1;
    if (!is_admin) {
        viewable = is_named_in(query_config.get(), names.read, user_id.get());
        editable = viewable < 0 ? -1 : is_named_in(query_config.get(), names.write, user_id.get());
        executable = editable < 0 ? -1 : is_named_in(query_config.get(), names.execute, user_id.get());
        if (executable < 0) {
            return nullptr;
        }
    }
    if (setattr(self, names.viewable, boolean(viewable)) < 0 || setattr(self, names.editable, boolean(editable)) < 0 ||
        setattr(self, names.executable, boolean(executable)) < 0) {
        return nullptr;
    }
    // Without the right to view query definitions a user may still run the
    // queries that name them, but neither read nor change their definitions.
    if (!is_admin) {
        const int may_view_definitions = contains(rights.get(), names.view);
        if (may_view_definitions < 0) {
            return nullptr;
        }
        if (!may_view_definitions) {
            viewable = 0;
            editable = 0;
            if (setattr(self, names.viewable, Py_False) < 0 || setattr(self, names.editable, Py_False) < 0) {
                return nullptr;
            }
        }
    }
    if (setattr(self, names.only_executable, boolean(executable && !viewable && !editable)) < 0) {
        return nullptr;
    }
    if ((viewable || editable || executable) && !call_method(self, names.acl_allow)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kQuerydefInit{"Querydef.__init__", {"self", "request"}, querydef_init};

const MethodEntry kQuerydefMethods[] = {
    {MethodKind::Method, &kQuerydefInit},
};

PyObject* new_querydef_init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];
    if (super_init(names.NewQuerydef, self, request) < 0 ||
        set_creation_acl(self, names.querydef, names.create_query) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kNewQuerydefInit{"NewQuerydef.__init__", {"self", "request"}, new_querydef_init};

const MethodEntry kNewQuerydefMethods[] = {
    {MethodKind::Method, &kNewQuerydefInit},
};

}  // namespace

const MethodTable querydefs_list_methods{kQuerydefsListMethods};
const MethodTable querydef_methods{kQuerydefMethods};
const MethodTable new_querydef_methods{kNewQuerydefMethods};

}  // namespace roots
