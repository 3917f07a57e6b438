// DBCredentialsRoot: the routes that list, show, create, update and delete
// the credentials stored for a database.
#include <span>

#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

using NamePtr = PyObject* Names::*;

const NamePtr kAdministratorPermissions[] = {&Names::view_dbcredentials, &Names::list_dbcredentials,
                                             &Names::create_dbcredentials, &Names::delete_dbcredentials,
                                             &Names::update_dbcredentials};
const NamePtr kListingPermissions[] = {&Names::list_dbcredentials};
const NamePtr kCreatingPermissions[] = {&Names::create_dbcredentials};
const NamePtr kEditorPermissions[] = {&Names::view_dbcredentials, &Names::update_dbcredentials,
                                      &Names::delete_dbcredentials};
const NamePtr kViewerPermissions[] = {&Names::view_dbcredentials};

// Every entry of this route carries a list of permissions, and a new one
// each time, so that no request can change another request's ACL.
Ref permission_list(std::span<const NamePtr> permissions) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(permissions.size())));
    if (list) {
        for (size_t i = 0; i < permissions.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(names.*permissions[i]));
        }
    }
    return list;
}

// Appends (Allow, Everyone, [permissions]) to `acl`.  Everyone is enough:
// the user's rights were tested while this request's list was built.
int append_grant(PyObject* acl, std::span<const NamePtr> permissions) {
    Ref list = permission_list(permissions);
    Ref entry = list ? acl_entry_for(names.Allow, names.Everyone, list.get()) : Ref();
    return entry ? PyList_Append(acl, entry.get()) : -1;
}

PyObject* dbcredentials_root_db_config(PyObject* const* args) {
    PyObject* self = args[0];
    return store_record(self, names.databases, names.db_id).release();
}
constexpr FunctionDef kDbcredentialsRootDbConfig{"DBCredentialsRoot.db_config", {"self"}, dbcredentials_root_db_config};

PyObject* dbcredentials_root_dbc_config(PyObject* const* args) {
    PyObject* self = args[0];
    Ref db_config = getattr(self, names.db_config);
    if (!db_config) {
        return nullptr;
    }
    if (db_config.get() == Py_None) {
        Py_RETURN_NONE;
    }
    Ref store = getattr(self, names.config_storage);
    Method get_credentials = store ? method_of(store.get(), names.get_credentials) : Method();
    Ref db_id = get_credentials ? getattr(self, names.db_id) : Ref();
    return db_id ? get_credentials(db_id.get()).release() : nullptr;
}
constexpr FunctionDef kDbcredentialsRootDbcConfig{"DBCredentialsRoot.dbc_config", {"self"}, dbcredentials_root_dbc_config};

PyObject* dbcredentials_root_db_credentials(PyObject* const* args) {
    PyObject* self = args[0];
    Ref dbc_config = getattr(self, names.dbc_config);
    if (!dbc_config) {
        return nullptr;
    }
    if (dbc_config.get() == Py_None) {
        Py_RETURN_NONE;
    }
    // The container is asked for afresh rather than reused: like every
    // property here, the entry answers from the store as it is now.
    dbc_config = getattr(self, names.dbc_config);
    Ref credentials = dbc_config ? getattr(dbc_config.get(), names.credentials) : Ref();
    return credentials ? get_item_of(credentials.get(), [self] { return getattr(self, names.dbc_id); }).release()
                       : nullptr;
}
constexpr FunctionDef kDbcredentialsRootDbCredentials{"DBCredentialsRoot.db_credentials", {"self"}, dbcredentials_root_db_credentials};

PyObject* dbcredentials_root_init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];
    if (super_init_from_cell(state.db_credentials_class_cell, self, request) < 0) {
        return nullptr;
    }
    Ref user_id = getattr(self, names.authenticated_user_id);
    if (!user_id || setattr(self, names.is_admin, compare_equal(user_id.get(), names.admin)) < 0) {
        return nullptr;
    }
    Ref matchdict = getattr(request, names.matchdict);
    if (!matchdict || setattr(self, names.db_id, get_item(matchdict.get(), names.db_id)) < 0) {
        return nullptr;
    }
    matchdict = getattr(request, names.matchdict);
    if (!matchdict || setattr(self, names.dbc_id, get_item(matchdict.get(), names.dbc_id)) < 0 ||
        !call_method(self, names.setup_acl, request)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kDbcredentialsRootInit{"DBCredentialsRoot.__init__", {"self", "request"}, dbcredentials_root_init};

// Whether the entry's collection `list_name` (edit or view) names the user;
// the entry is read afresh through its property each time.
int credential_entry_names_user(PyObject* self, PyObject* list_name, PyObject* user_id) {
    Ref entry = getattr(self, names.db_credentials);
    Ref users = entry ? getattr_named(entry.get(), list_name) : Ref();
    return users ? contains(users.get(), user_id) : -1;
}

PyObject* dbcredentials_root_setup_acl(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];
    Ref acl = Ref::steal(PyList_New(0));
    if (setattr(self, names.__acl__, acl) < 0) {
        return nullptr;
    }

    Ref is_admin = getattr(self, names.is_admin);
    const int administrator = is_admin ? truth(is_admin.get()) : -1;
    if (administrator < 0) {
        return nullptr;
    }
    if (administrator) {
        Ref permissions = permission_list(kAdministratorPermissions);
        if (!permissions || set_acl(self, acl_entry(names.Allow, names.admin, permissions.get())) < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }

    // Without the right to list credentials nothing else is granted.  The
    // browser interface's requests, marked by both "guidata" and
    // "guiassign", may list them whatever the user's own rights.
    Ref user_config = getattr(self, names.authenticated_user_config);
    Ref rights = user_config ? getattr(user_config.get(), names.dbcreds) : Ref();
    int may_list = rights ? contains(rights.get(), names.view) : -1;
    if (may_list == 0) {
        Ref params = getattr(request, names.params);
        may_list = params ? contains(params.get(), names.guidata) : -1;
        if (may_list > 0) {
            may_list = contains(params.get(), names.guiassign);
        }
    }
    if (may_list < 0) {
        return nullptr;
    }
    if (!may_list) {
        Py_RETURN_NONE;
    }
    if (append_grant(acl.get(), kListingPermissions) < 0) {
        return nullptr;
    }
    const int may_create = contains(rights.get(), names.create);
    if (may_create < 0 || (may_create && append_grant(acl.get(), kCreatingPermissions) < 0)) {
        return nullptr;
    }

    Ref credential_entry = getattr(self, names.db_credentials);
    if (!credential_entry) {
        return nullptr;
    }
    if (credential_entry.get() == Py_None) {
        Py_RETURN_NONE;
    }
    // Editing and viewing are granted independently: a user in both lists
    // gets both entries, the editing one first.
    Ref user_id = getattr(self, names.authenticated_user_id);
    const int editor = user_id ? credential_entry_names_user(self, names.edit, user_id.get()) : -1;
    if (editor < 0 || (editor && append_grant(acl.get(), kEditorPermissions) < 0)) {
        return nullptr;
    }
    const int viewer = credential_entry_names_user(self, names.view, user_id.get());
    if (viewer < 0 || (viewer && append_grant(acl.get(), kViewerPermissions) < 0)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kDbcredentialsRootSetupAcl{"DBCredentialsRoot.setup_acl", {"self", "request"}, dbcredentials_root_setup_acl};

const MethodEntry kDBCredentialsRootMethods[] = {
    {MethodKind::Property, &kDbcredentialsRootDbConfig},
    {MethodKind::Property, &kDbcredentialsRootDbcConfig},
    {MethodKind::Property, &kDbcredentialsRootDbCredentials},
    {MethodKind::Method, &kDbcredentialsRootInit},
    {MethodKind::Method, &kDbcredentialsRootSetupAcl},
};

}  // namespace

const MethodTable db_credentials_methods{kDBCredentialsRootMethods};

}  // namespace roots
