// UserdefsList, Userdef and NewUserdef: the user definitions, listed, one by
// one, and created.  The ACL decisions are static methods over plain values.
#include <initializer_list>

#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

// `user_id == other and user_id != "public"`: whether `user_id` is that
// user's own, which the public user, shared by everybody, never is.
int is_own(PyObject* user_id, PyObject* other) {
    const int same = equals(user_id, other);
    if (same <= 0) {
        return same;
    }
    const int is_public = equals(user_id, names.public_user);
    return is_public < 0 ? -1 : !is_public;
}

// `right in user_config.userdef`.
int holds_userdef_right(PyObject* user_config, PyObject* right) {
    Ref held = getattr(user_config, names.userdef);
    return held ? contains(held.get(), right) : -1;
}

PyObject* userdefs_list_init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];
    if (super_init(names.UserdefsList, self, request) < 0) {
        return nullptr;
    }
    Ref user_id = getattr(self, names.authenticated_user_id);
    Ref users = user_id ? store_mapping(self, names.users) : Ref();
    if (!users || setattr(self, names.__acl__, call_method(self, names.get_acl, user_id.get(), users.get())) < 0) {
        return nullptr;
    }
    // The list shows only what the ACL just set lets the user see.
    Ref permitted = call_global(names.has_permission, names.view_userslist, self, request);
    if (!permitted ||
        setattr(self, names.user_configs,
                call_method(self, names.get_configs, user_id.get(), permitted.get(), users.get())) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kUserdefsListInit{"UserdefsList.__init__", {"self", "request"}, userdefs_list_init};

// Whether the user may see the definition `user_config` of `user_id`: named
// in its view or edit list, its creator, or (except the public user) its
// owner.
int may_see_definition(PyObject* authenticated_user_id, PyObject* user_id, PyObject* user_config) {
    Ref user_ids = user_ids_named(user_config, {names.view, names.edit});
    Ref creator = user_ids ? getattr(user_config, names.creator) : Ref();
    if (!creator || PySet_Add(user_ids.get(), creator.get()) < 0) {
        return -1;
    }
    const int own = is_own(authenticated_user_id, user_id);
    if (own < 0 || (own && PySet_Add(user_ids.get(), user_id) < 0)) {
        return -1;
    }
    return contains(user_ids.get(), authenticated_user_id);
}

PyObject* userdefs_list_get_configs(PyObject* const* args) {
    PyObject* authenticated_user_id = args[0];
    PyObject* permitted = args[1];
    PyObject* all_user_configs = args[2];
    // The administrator sees every definition, so the views get the
    // store's own mapping rather than a copy of all of it.
    const int is_admin = equals(authenticated_user_id, names.admin);
    if (is_admin < 0) {
        return nullptr;
    }
    if (is_admin) {
        return Py_NewRef(all_user_configs);
    }
    Ref user_configs = Ref::steal(PyDict_New());
    const int may_list = user_configs ? truth(permitted) : -1;
    if (may_list <= 0) {
        return may_list < 0 ? nullptr : user_configs.release();
    }
    PairSnapshot snapshot;
    if (snapshot.take(all_user_configs) < 0) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < snapshot.size(); ++i) {
        snapshot.fetch_ahead(i, {names.view, names.edit});
        Ref user_id_and_config[2];
        if (snapshot.pair(i, user_id_and_config) < 0) {
            return nullptr;
        }
        const int visible =
            may_see_definition(authenticated_user_id, user_id_and_config[0].get(), user_id_and_config[1].get());
        if (visible < 0 ||
            (visible &&
             PyObject_SetItem(user_configs.get(), user_id_and_config[0].get(), user_id_and_config[1].get()) < 0)) {
            return nullptr;
        }
    }
    return user_configs.release();
}
constexpr FunctionDef kUserdefsListGetConfigs{"UserdefsList.get_configs", {"authenticated_user_id", "permitted", "all_user_configs"}, userdefs_list_get_configs};

PyObject* userdefs_list_get_acl(PyObject* const* args) {
    PyObject* authenticated_user_id = args[0];
    PyObject* user_configs = args[1];
    Ref user_config = get_item(user_configs, authenticated_user_id);
    int may_list = user_config ? truth(user_config.get()) : -1;
    if (may_list > 0) {
        may_list = holds_userdef_right(user_config.get(), names.view);
        if (may_list == 0) {
            may_list = holds_userdef_right(user_config.get(), names.create);
        }
    }
    const int is_admin = may_list < 0 ? -1 : equals(authenticated_user_id, names.admin);
    if (is_admin < 0) {
        return nullptr;
    }
    if (is_admin) {
        return acl_list(acl_entry(names.Allow, names.admin, names.view_userslist)).release();
    }
    if (!may_list) {
        return acl_list(acl_entry_for(names.Deny, names.Everyone, names.view_userslist)).release();
    }
    PyObject* grantee = grantee_of(authenticated_user_id);
    return grantee ? acl_list(acl_entry_for(names.Allow, grantee, names.view_userslist)).release() : nullptr;
}
constexpr FunctionDef kUserdefsListGetAcl{"UserdefsList.get_acl", {"authenticated_user_id", "user_configs"}, userdefs_list_get_acl};

const MethodEntry kUserdefsListMethods[] = {
    {MethodKind::Method, &kUserdefsListInit},
    {MethodKind::StaticMethod, &kUserdefsListGetConfigs},
    {MethodKind::StaticMethod, &kUserdefsListGetAcl},
};

// (action, grantee, permission), Allow when `user_id` is among `user_ids`.
Ref grant_or_deny(PyObject* user_ids, PyObject* user_id, PyObject* grantee, PyObject* permission) {
    const int granted = contains(user_ids, user_id);
    return granted < 0 ? Ref() : acl_entry(granted ? names.Allow : names.Deny, grantee, permission);
}

PyObject* userdef_get_acl(PyObject* const* args) {
    PyObject* userdef_id = args[0];
    PyObject* authenticated_user = args[1];
    PyObject* user_configs = args[2];
    Ref userdef = subscript(user_configs, userdef_id);
    const int is_admin = userdef ? equals(authenticated_user, names.admin) : -1;
    if (is_admin < 0) {
        return nullptr;
    }
    if (is_admin) {
        return acl_list(acl_entry(names.Allow, names.admin, state.user_view_edit)).release();
    }
    const int authenticated = truth(authenticated_user);
    if (authenticated < 0) {
        return nullptr;
    }
    if (!authenticated) {
        return acl_list(acl_entry_for(names.Deny, names.Everyone, state.user_view_edit)).release();
    }

    Ref view_ids = user_ids_named(userdef.get(), {names.view, names.edit});
    Ref edit_ids = view_ids ? user_ids_named(userdef.get(), {names.edit}) : Ref();
    const int own = edit_ids ? is_own(userdef_id, authenticated_user) : -1;
    if (own < 0 || (own && (PySet_Add(view_ids.get(), userdef_id) < 0 || PySet_Add(edit_ids.get(), userdef_id) < 0))) {
        return nullptr;
    }
    // A user without the right to view user definitions still sees and
    // edits their own account (the views limit what they may change there).
    Ref requester = subscript(user_configs, authenticated_user);
    const int may_view_definitions = requester ? holds_userdef_right(requester.get(), names.view) : -1;
    if (may_view_definitions < 0) {
        return nullptr;
    }
    if (!may_view_definitions) {
        const int own_definition = equals(userdef_id, authenticated_user);
        if (own_definition < 0) {
            return nullptr;
        }
        return acl_list(acl_entry_for(own_definition ? names.Allow : names.Deny, names.Authenticated,
                                      state.user_view_edit))
            .release();
    }

    Ref grantee = grantee_for(authenticated_user);
    Ref view_entry =
        grantee ? grant_or_deny(view_ids.get(), authenticated_user, grantee.get(), names.view_user) : Ref();
    Ref edit_entry =
        view_entry ? grant_or_deny(edit_ids.get(), authenticated_user, grantee.get(), names.edit_user) : Ref();
    Ref acl = edit_entry ? Ref::steal(PyList_New(2)) : Ref();
    if (!acl) {
        return nullptr;
    }
    PyList_SET_ITEM(acl.get(), 0, view_entry.release());
    PyList_SET_ITEM(acl.get(), 1, edit_entry.release());
    return acl.release();
}
constexpr FunctionDef kUserdefGetAcl{"Userdef.get_acl", {"userdef_id", "authenticated_user", "user_configs"}, userdef_get_acl};

PyObject* userdef_init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];
    if (super_init(names.Userdef, self, request) < 0) {
        return nullptr;
    }
    Ref matchdict = matchdict_or_empty(request);
    Ref user_id = matchdict ? get_item(matchdict.get(), names.user_id) : Ref();
    if (setattr(self, names.user_id, user_id) < 0) {
        return nullptr;
    }
    Ref users = store_mapping(self, names.users);
    Ref user_config = users ? get_item(users.get(), user_id.get()) : Ref();
    if (setattr(self, names.user_config, user_config) < 0 || setattr(self, names.privileged_access, Py_False) < 0) {
        return nullptr;
    }
    Ref authenticated_user_id = getattr(self, names.authenticated_user_id);
    if (setattr(self, names.self_edit,
                authenticated_user_id ? compare_equal(authenticated_user_id.get(), user_id.get()) : Ref()) < 0) {
        return nullptr;
    }
    const int is_admin = equals(authenticated_user_id.get(), names.admin);
    if (is_admin < 0) {
        return nullptr;
    }
    // Only the administrator learns that an account does not exist; anybody
    // else is refused as if it did.
    if (user_config.get() == Py_None) {
        return raise_new(is_admin ? names.HTTPNotFound : names.HTTPForbidden);
    }

    Ref allowed_to_view = user_ids_named(user_config.get(), {names.view, names.edit});
    if (!allowed_to_view || PySet_Add(allowed_to_view.get(), user_id.get()) < 0 ||
        setattr(self, names.allowed_to_view, allowed_to_view) < 0) {
        return nullptr;
    }
    Ref allowed_to_edit = user_ids_named(user_config.get(), {names.edit});
    if (setattr(self, names.allowed_to_edit, allowed_to_edit) < 0) {
        return nullptr;
    }
    int limited_edit = 0;
    if (!is_admin) {
        limited_edit = equals(user_id.get(), authenticated_user_id.get());
        if (limited_edit > 0) {
            const int may_edit = contains(allowed_to_edit.get(), user_id.get());
            limited_edit = may_edit < 0 ? -1 : !may_edit;
        }
    }
    if (limited_edit < 0 || setattr(self, names.limited_edit, boolean(limited_edit)) < 0) {
        return nullptr;
    }

    if (setattr(self, names.__acl__,
                call_method(self, names.get_acl, user_id.get(), authenticated_user_id.get(), users.get())) < 0) {
        return nullptr;
    }
    // Validation runs against the live set of users, after the ACL is in
    // place; a definition that fails it fails the request.
    Method validate = method_of(user_config.get(), names.validate);
    Ref all_users = validate ? call_method(users.get(), names.values) : Ref();
    if (!all_users || !validate.call_kw(state.kw_all_users, all_users.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kUserdefInit{"Userdef.__init__", {"self", "request"}, userdef_init};

const MethodEntry kUserdefMethods[] = {
    {MethodKind::StaticMethod, &kUserdefGetAcl},
    {MethodKind::Method, &kUserdefInit},
};

PyObject* new_userdef_init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];
    if (super_init(names.NewUserdef, self, request) < 0) {
        return nullptr;
    }
    Ref user_id = getattr(self, names.authenticated_user_id);
    Method get_acl = user_id ? method_of(self, names.get_acl) : Method();
    Ref users = get_acl ? store_mapping(self, names.users) : Ref();
    if (!users || setattr(self, names.__acl__, get_acl(user_id.get(), users.get())) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kNewUserdefInit{"NewUserdef.__init__", {"self", "request"}, new_userdef_init};

PyObject* new_userdef_get_acl(PyObject* const* args) {
    PyObject* authenticated_user_id = args[0];
    PyObject* user_configs = args[1];
    // The lookup comes first: a requester missing from the users fails
    // here, the administrator included.
    Ref user_config = subscript(user_configs, authenticated_user_id);
    const int is_admin = user_config ? equals(authenticated_user_id, names.admin) : -1;
    if (is_admin < 0) {
        return nullptr;
    }
    if (is_admin) {
        return acl_list(acl_entry(names.Allow, names.admin, names.create_user)).release();
    }
    const int may_create = holds_userdef_right(user_config.get(), names.create);
    if (may_create < 0) {
        return nullptr;
    }
    if (!may_create) {
        return acl_list(acl_entry_for(names.Deny, names.Everyone, state.user_view_create)).release();
    }
    PyObject* grantee = grantee_of(authenticated_user_id);
    return grantee ? acl_list(acl_entry_for(names.Allow, grantee, names.create_user)).release() : nullptr;
}
constexpr FunctionDef kNewUserdefGetAcl{"NewUserdef.get_acl", {"authenticated_user_id", "user_configs"}, new_userdef_get_acl};

const MethodEntry kNewUserdefMethods[] = {
    {MethodKind::Method, &kNewUserdefInit},
    {MethodKind::StaticMethod, &kNewUserdefGetAcl},
};

}  // namespace

const MethodTable userdefs_list_methods{kUserdefsListMethods};
const MethodTable userdef_methods{kUserdefMethods};
const MethodTable new_userdef_methods{kNewUserdefMethods};

}  // namespace roots
