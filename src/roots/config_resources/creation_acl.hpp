// The ACL of the routes that create a definition (a stored query, a
// database): the steps NewQuerydef and NewDBDef share.
#pragma once

#include "roots/module/api.hpp"

namespace roots {

// Reads the requester's record afresh from the store (replacing the one
// RootContext found), then grants `permission` to the administrator, to
// whoever holds "create" in the record's `rights` collection, and to nobody
// else.
inline int set_creation_acl(PyObject* self, PyObject* rights, PyObject* permission) {
    Ref user_id = getattr(self, names.authenticated_user_id);
    Ref users = user_id ? store_mapping(self, names.users) : Ref();
    Ref user_config = users ? get_item(users.get(), user_id.get()) : Ref();
    if (setattr(self, names.authenticated_user_config, user_config) < 0) {
        return -1;
    }
    const int is_admin = equals(user_id.get(), names.admin);
    if (is_admin) {
        return is_admin < 0 ? -1 : set_acl(self, acl_entry(names.Allow, names.admin, permission));
    }
    const int may_create = holds_right(user_config.get(), rights, {names.create});
    if (may_create < 0) {
        return -1;
    }
    return set_acl(self, acl_entry_for(may_create ? names.Allow : names.Deny, names.Everyone, permission));
}

}  // namespace roots
