// Querystudio: the query studio, on an existing stored query or a new one.
#include <initializer_list>

#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

PyObject* querystudio_init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];
    if (super_init(names.Querystudio, self, request) < 0) {
        return nullptr;
    }
    Ref matchdict = matchdict_or_empty(request);
    Ref query_id = matchdict ? get_item(matchdict.get(), names.query_id) : Ref();
    if (setattr(self, names.query_id, query_id) < 0) {
        return nullptr;
    }
    // An id the store does not hold opens the studio on a new query rather
    // than refusing: the studio is also where queries are created.
    Ref querydefs = store_mapping(self, names.querydefs);
    if (!querydefs || setattr(self, names.query_config, get_item(querydefs.get(), query_id.get())) < 0 ||
        !call_method(self, names._set_acl)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kQuerystudioInit{"Querystudio.__init__", {"self", "request"}, querystudio_init};

PyObject* querystudio_set_acl(PyObject* const* args) {
    PyObject* self = args[0];
    Ref user_id = getattr(self, names.authenticated_user_id);
    const int is_admin = user_id ? equals(user_id.get(), names.admin) : -1;
    if (is_admin < 0) {
        return nullptr;
    }
    if (is_admin) {
        if (set_acl(self, acl_entry(names.Allow, names.admin, state.querystudio_permissions)) < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }

    Ref acl = Ref::steal(PyList_New(0));
    if (setattr(self, names.__acl__, acl) < 0) {
        return nullptr;
    }
    Ref user_config = getattr(self, names.authenticated_user_config);
    const int may_create = user_config ? holds_right(user_config.get(), names.querydef, {names.create}) : -1;
    if (may_create < 0) {
        return nullptr;
    }
    if (may_create) {
        Ref entry = acl_entry_for(names.Allow, names.Everyone, names.create_query);
        if (!entry || PyList_Append(acl.get(), entry.get()) < 0) {
            return nullptr;
        }
    }

    Ref query_config = getattr(self, names.query_config);
    const int existing_query = query_config ? truth(query_config.get()) : -1;
    if (existing_query < 0) {
        return nullptr;
    }
    if (!existing_query) {
        Py_RETURN_NONE;
    }

    // On an existing query only the right to edit that query counts: the
    // right to create queries is dropped along with the list that held it.
    Ref named_users = user_ids_named(query_config.get(), {names.execute, names.read, names.write});
    if (!named_users) {
        return nullptr;
    }
    acl = Ref::steal(PyList_New(0));
    if (setattr(self, names.__acl__, acl) < 0) {
        return nullptr;
    }
    const int has_config = truth(user_config.get());
    if (has_config < 0) {
        return nullptr;
    }
    if (!has_config) {
        Ref entry = acl_entry_for(names.Deny, names.Everyone, state.querystudio_permissions);
        if (!entry || PyList_Append(acl.get(), entry.get()) < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    Ref grantee = grantee_for(user_id.get());
    if (!grantee) {
        return nullptr;
    }
    int may_edit = contains(named_users.get(), names.public_user);
    if (may_edit == 0) {
        may_edit = contains(named_users.get(), user_id.get());
    }
    if (may_edit < 0) {
        return nullptr;
    }
    if (may_edit) {
        Ref entry = acl_entry(names.Allow, grantee.get(), names.querystudio_editor);
        if (!entry || PyList_Append(acl.get(), entry.get()) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kQuerystudioSetAcl{"Querystudio._set_acl", {"self"}, querystudio_set_acl};

const MethodEntry kQuerystudioMethods[] = {
    {MethodKind::Method, &kQuerystudioInit},
    {MethodKind::Method, &kQuerystudioSetAcl},
};

}  // namespace

const MethodTable querystudio_methods{kQuerystudioMethods};

}  // namespace roots
