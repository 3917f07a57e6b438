// DBDef, DBDefsList and NewDBDef: the database definitions, one by one,
// listed, and added.
#include <initializer_list>

#include "roots/config_resources/creation_acl.hpp"
#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

PyObject* dbdef_db_config(PyObject* const* args) {
    PyObject* self = args[0];
    return store_record(self, names.databases, names.db_id).release();
}
constexpr FunctionDef kDbdefDbConfig{"DBDef.db_config", {"self"}, dbdef_db_config};

// Appends (Allow, grantee, permission) when the user, or the public user
// standing for everybody, is among `user_ids`.
int grant_if_named(PyObject* acl, PyObject* user_ids, PyObject* user_id, PyObject* grantee, PyObject* permission) {
    int named = contains(user_ids, user_id);
    if (named == 0) {
        named = contains(user_ids, names.public_user);
    }
    if (named <= 0) {
        return named;
    }
    Ref entry = acl_entry(names.Allow, grantee, permission);
    return entry ? PyList_Append(acl, entry.get()) : -1;
}

PyObject* dbdef_init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];
    if (super_init(names.DBDef, self, request) < 0) {
        return nullptr;
    }
    Ref matchdict = matchdict_or_empty(request);
    if (!matchdict || setattr(self, names.db_id, get_item(matchdict.get(), names.db_id)) < 0) {
        return nullptr;
    }
    Ref db_config = getattr(self, names.db_config);
    if (!db_config) {
        return nullptr;
    }
    if (db_config.get() == Py_None) {
        return raise_new(names.HTTPNotFound);
    }
    // `db_config` is looked up in the store on every read, so each set
    // takes the definition as the store has it at that moment.
    db_config = getattr(self, names.db_config);
    Ref view_ids = db_config ? user_ids_named(db_config.get(), {names.read, names.write}) : Ref();
    db_config = view_ids ? getattr(self, names.db_config) : Ref();
    Ref edit_ids = db_config ? user_ids_named(db_config.get(), {names.write}) : Ref();
    db_config = edit_ids ? getattr(self, names.db_config) : Ref();
    Ref execute_ids = db_config ? user_ids_named(db_config.get(), {names.execute}) : Ref();
    if (!execute_ids) {
        return nullptr;
    }

    Ref user_id = getattr(self, names.authenticated_user_id);
    const int is_admin = user_id ? equals(user_id.get(), names.admin) : -1;
    if (is_admin < 0) {
        return nullptr;
    }
    if (is_admin) {
        if (set_acl(self, acl_entry(names.Allow, names.admin, state.database_permissions)) < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    Ref user_config = getattr(self, names.authenticated_user_config);
    const int has_config = user_config ? truth(user_config.get()) : -1;
    if (has_config < 0) {
        return nullptr;
    }
    if (!has_config) {
        if (set_acl(self, acl_entry_for(names.Deny, names.Everyone, state.database_permissions)) < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }

    Ref acl = Ref::steal(PyList_New(0));
    if (setattr(self, names.__acl__, acl) < 0) {
        return nullptr;
    }
    Ref grantee = grantee_for(user_id.get());
    if (!grantee ||
        grant_if_named(acl.get(), view_ids.get(), user_id.get(), grantee.get(), names.view_database) < 0 ||
        grant_if_named(acl.get(), edit_ids.get(), user_id.get(), grantee.get(), names.edit_database) < 0 ||
        grant_if_named(acl.get(), execute_ids.get(), user_id.get(), grantee.get(), names.execute_database) < 0) {
        return nullptr;
    }
    // Without the right to view database definitions nothing above holds,
    // the right to execute included.
    Ref rights = getattr(user_config.get(), names.dbdef);
    const int may_view_definitions = rights ? contains(rights.get(), names.view) : -1;
    if (may_view_definitions < 0 ||
        (!may_view_definitions &&
         set_acl(self, acl_entry_for(names.Deny, names.Authenticated, state.database_view_edit)) < 0)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kDbdefInit{"DBDef.__init__", {"self", "request"}, dbdef_init};

const MethodEntry kDBDefMethods[] = {
    {MethodKind::Property, &kDbdefDbConfig},
    {MethodKind::Method, &kDbdefInit},
};

// Fills `db_configs` with the definitions whose lists name the user
// themself, in the store's order; "public" there does not stand for the
// user, since the list shows what the user was given by name.
int collect_named_definitions(PyObject* databases, PyObject* user_id, PyObject* db_configs) {
    Ref pairs = call_method(databases, names.items);
    Ref pair_iter = pairs ? Ref::steal(PyObject_GetIter(pairs.get())) : Ref();
    if (!pair_iter) {
        return -1;
    }
    while (Ref pair = Ref::steal(PyIter_Next(pair_iter.get()))) {
        Ref db_id_and_config[2];
        if (unpack(pair.get(), db_id_and_config, 2) < 0) {
            return -1;
        }
        const int named = named_in_fields(db_id_and_config[1].get(), {names.read, names.write, names.execute}, user_id);
        if (named < 0 ||
            (named && PyObject_SetItem(db_configs, db_id_and_config[0].get(), db_id_and_config[1].get()) < 0)) {
            return -1;
        }
    }
    return error_pending() ? -1 : 0;
}

PyObject* dbdefs_list_init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];
    if (super_init(names.DBDefsList, self, request) < 0) {
        return nullptr;
    }
    Ref user_id = getattr(self, names.authenticated_user_id);
    const int is_admin = user_id ? equals(user_id.get(), names.admin) : -1;
    if (is_admin < 0) {
        return nullptr;
    }
    if (is_admin) {
        // The administrator lists every definition, so the views get the
        // store's own mapping rather than a copy of all of it.
        if (setattr(self, names.db_configs, getattr(self, names._db_configs)) < 0 ||
            set_acl(self, acl_entry(names.Allow, names.admin, names.view_databaseslist)) < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    Ref user_config = getattr(self, names.authenticated_user_config);
    const int may_list = user_config ? holds_right(user_config.get(), names.dbdef, {names.view, names.create}) : -1;
    if (may_list < 0) {
        return nullptr;
    }
    if (!may_list) {
        // A refused list has no `db_configs` at all.
        if (set_acl(self, acl_entry_for(names.Deny, names.Everyone, names.view_databaseslist)) < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    Ref db_configs = Ref::steal(PyDict_New());
    if (setattr(self, names.db_configs, db_configs) < 0) {
        return nullptr;
    }
    Ref databases = store_mapping(self, names.databases);
    if (!databases || collect_named_definitions(databases.get(), user_id.get(), db_configs.get()) < 0) {
        return nullptr;
    }
    PyObject* grantee = grantee_of(user_id.get());
    if (grantee == nullptr || set_acl(self, acl_entry_for(names.Allow, grantee, names.view_databaseslist)) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kDbdefsListInit{"DBDefsList.__init__", {"self", "request"}, dbdefs_list_init};

PyObject* dbdefs_list_db_configs(PyObject* const* args) {
    Ref store = getattr(args[0], names.config_storage);
    return store ? getattr(store.get(), names.databases).release() : nullptr;
}
constexpr FunctionDef kDbdefsListDbConfigs{"DBDefsList._db_configs", {"self"}, dbdefs_list_db_configs};

const MethodEntry kDBDefsListMethods[] = {
    {MethodKind::Method, &kDbdefsListInit},
    {MethodKind::Property, &kDbdefsListDbConfigs},
};

PyObject* new_dbdef_init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];
    if (super_init(names.NewDBDef, self, request) < 0 ||
        set_creation_acl(self, names.dbdef, names.add_database) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kNewDbdefInit{"NewDBDef.__init__", {"self", "request"}, new_dbdef_init};

const MethodEntry kNewDBDefMethods[] = {
    {MethodKind::Method, &kNewDbdefInit},
};

}  // namespace

const MethodTable db_def_methods{kDBDefMethods};
const MethodTable db_defs_list_methods{kDBDefsListMethods};
const MethodTable new_db_def_methods{kNewDBDefMethods};

}  // namespace roots
