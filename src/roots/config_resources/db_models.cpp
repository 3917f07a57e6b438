// DBModel and DBModels: the data model of one database, and the list of
// the models a user may see.
#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

constexpr char kDatabaseNotFound[] = "Database %S was not found.";

PyObject* dbmodel_init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];
    if (super_init(names.DBModel, self, request) < 0) {
        return nullptr;
    }
    Ref matchdict = matchdict_or_empty(request);
    Ref db_id = matchdict ? get_item(matchdict.get(), names.db_id) : Ref();
    if (setattr(self, names.db_id, db_id) < 0) {
        return nullptr;
    }
    Ref databases = store_mapping(self, names.databases);
    Ref db_config = databases ? get_item(databases.get(), db_id.get()) : Ref();
    if (setattr(self, names.db_config, db_config) < 0) {
        return nullptr;
    }
    if (db_config.get() == Py_None) {
        return raise_explained_by(names.HTTPNotFound, [&] { return format_text(kDatabaseNotFound, db_id.get()); });
    }

    Ref user_id = getattr(self, names.authenticated_user_id);
    const int is_admin = user_id ? equals(user_id.get(), names.admin) : -1;
    if (is_admin < 0) {
        return nullptr;
    }
    if (is_admin) {
        if (set_acl(self, acl_entry(names.Allow, names.admin, names.view_model)) < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    // Only the user's own list of databases opens a model; being allowed to
    // query a database does not.
    Ref user_config = getattr(self, names.authenticated_user_config);
    int assigned = user_config ? truth(user_config.get()) : -1;
    if (assigned > 0) {
        Ref user_databases = getattr(user_config.get(), names.databases);
        assigned = user_databases ? contains(user_databases.get(), db_id.get()) : -1;
    }
    if (assigned < 0) {
        return nullptr;
    }
    if (assigned) {
        PyObject* grantee = grantee_of(user_id.get());
        if (grantee == nullptr || set_acl(self, acl_entry_for(names.Allow, grantee, names.view_model)) < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    if (set_acl(self, acl_entry_for(names.Deny, names.Everyone, names.view_model)) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kDbmodelInit{"DBModel.__init__", {"self", "request"}, dbmodel_init};

const MethodEntry kDBModelMethods[] = {
    {MethodKind::Method, &kDbmodelInit},
};

// Fills `db_configs` with the store's databases that the user's own list
// names, and `admin_for_dbs` with those among them that the user may query,
// both in the store's order.
int collect_user_models(PyObject* databases, PyObject* user_id, PyObject* user_config, PyObject* db_configs,
                        PyObject* admin_for_dbs) {
    PairSnapshot snapshot;
    if (snapshot.take(databases) < 0) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < snapshot.size(); ++i) {
        Ref db_id_and_config[2];
        if (snapshot.pair(i, db_id_and_config) < 0) {
            return -1;
        }
        PyObject* db_id = db_id_and_config[0].get();
        Ref user_databases = getattr(user_config, names.databases);
        const int assigned = user_databases ? contains(user_databases.get(), db_id) : -1;
        if (assigned < 0) {
            return -1;
        }
        if (!assigned) {
            continue;
        }
        Ref stored = subscript(databases, db_id);
        if (!stored || PyObject_SetItem(db_configs, db_id, stored.get()) < 0) {
            return -1;
        }
        Ref executors = getattr(db_id_and_config[1].get(), names.execute);
        const int executes = executors ? contains(executors.get(), user_id) : -1;
        if (executes < 0 || (executes && PyList_Append(admin_for_dbs, db_id) < 0)) {
            return -1;
        }
    }
    return 0;
}

PyObject* dbmodels_init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];
    if (super_init(names.DBModels, self, request) < 0) {
        return nullptr;
    }
    Ref matchdict = matchdict_or_empty(request);
    if (!matchdict || setattr(self, names.extension, get_item(matchdict.get(), names.extension)) < 0) {
        return nullptr;
    }
    Ref db_configs = Ref::steal(PyDict_New());
    Ref admin_for_dbs = db_configs ? Ref::steal(PyList_New(0)) : Ref();
    if (setattr(self, names.db_configs, db_configs) < 0 || setattr(self, names.admin_for_dbs, admin_for_dbs) < 0) {
        return nullptr;
    }

    Ref user_id = getattr(self, names.authenticated_user_id);
    const int is_admin = user_id ? equals(user_id.get(), names.admin) : -1;
    if (is_admin < 0) {
        return nullptr;
    }
    if (is_admin) {
        // The administrator sees every model, so the views get the store's
        // own mapping rather than a copy of all of it.
        Ref databases = store_mapping(self, names.databases);
        if (setattr(self, names.db_configs, databases) < 0) {
            return nullptr;
        }
        Ref db_ids = call_method(databases.get(), names.keys);
        if (!db_ids || setattr(self, names.admin_for_dbs, list_of(db_ids.get())) < 0 ||
            set_acl(self, acl_entry(names.Allow, names.admin, names.view_modelslist)) < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }

    Ref user_config = getattr(self, names.authenticated_user_config);
    const int has_config = user_config ? truth(user_config.get()) : -1;
    if (has_config < 0) {
        return nullptr;
    }
    if (has_config) {
        Ref databases = store_mapping(self, names.databases);
        if (!databases || collect_user_models(databases.get(), user_id.get(), user_config.get(), db_configs.get(),
                                              admin_for_dbs.get()) < 0) {
            return nullptr;
        }
        PyObject* grantee = grantee_of(user_id.get());
        if (grantee == nullptr || set_acl(self, acl_entry_for(names.Allow, grantee, names.view_modelslist)) < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    if (set_acl(self, acl_entry_for(names.Deny, names.Everyone, names.view_modelslist)) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kDbmodelsInit{"DBModels.__init__", {"self", "request"}, dbmodels_init};

const MethodEntry kDBModelsMethods[] = {
    {MethodKind::Method, &kDbmodelsInit},
};

}  // namespace

const MethodTable db_model_methods{kDBModelMethods};
const MethodTable db_models_methods{kDBModelsMethods};

}  // namespace roots
