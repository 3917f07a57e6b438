// DefaultRoot, the plainest root factory, and RootBasic, the access-control
// base of every other resource class.
#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

constexpr char kNoDatabaseAccess[] = "User \"%S\" has no access permissions configured for the \"%S\" database.";

PyObject* default_root_init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];

    if (base_init(names.RootContext, self, request) < 0) {
        return nullptr;
    }
    // Route placeholders such as db_id become context attributes.  An
    // empty match (`request.matchdict or {}`) has nothing to walk.
    Ref matchdict = getattr(request, names.matchdict);
    const int matched = matchdict ? truth(matchdict.get()) : -1;
    if (matched < 0) {
        return nullptr;
    }
    if (matched) {
        Ref items = call_method(matchdict.get(), names.items);
        Ref item_iter = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref();
        if (!item_iter) {
            return nullptr;
        }
        while (Ref item = Ref::steal(PyIter_Next(item_iter.get()))) {
            Ref pair[2];
            if (unpack(item.get(), pair, 2) < 0 || setattr(self, pair[0].get(), pair[1].get()) < 0) {
                return nullptr;
            }
        }
        if (error_pending()) {
            return nullptr;
        }
    }
    // Set after the route match, so that a route key cannot replace it.
    Ref acl = Ref::steal(PyList_New(2));
    Ref authenticated = acl ? acl_entry_for(names.Allow, names.Authenticated, names.authenticated) : Ref();
    Ref view = authenticated ? acl_entry_for(names.Allow, names.Everyone, names.view) : Ref();
    if (!view) {
        return nullptr;
    }
    PyList_SET_ITEM(acl.get(), 0, authenticated.release());
    PyList_SET_ITEM(acl.get(), 1, view.release());
    if (setattr(self, names.__acl__, acl.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// `request.request_status.add_status(StatusCodes.<code>)`, only on requests
// that carry a status tracker.
int record_status(PyObject* request, PyObject* code_name) {
    Ref tracker;
    const int tracked = lookup_attr(request, names.request_status, &tracker);
    if (tracked <= 0) {
        return tracked;
    }
    Method add_status = method_of(tracker.get(), names.add_status);
    Ref status_codes = add_status ? module_global(names.StatusCodes) : Ref();
    Ref code = status_codes ? getattr_named(status_codes.get(), code_name) : Ref();
    return code && add_status(code.get()) ? 0 : -1;
}

// Whether "validate" decides anything: only uploads (PUT, POST) are
// validated on request; other methods always validate.  1, 0, or -1.
int upload_asks_about_validation(PyObject* request, PyObject* params) {
    const int has_validate = contains(params, names.validate);
    if (has_validate <= 0) {
        return has_validate;
    }
    Ref method = getattr(request, names.method);
    if (!method) {
        return -1;
    }
    const int is_put = equals(method.get(), names.method_put);
    return is_put != 0 ? is_put : equals(method.get(), names.method_post);
}

// The request URL with every run of slashes in its path made single, when
// that differs from the URL as received; a null Ref with no error set when
// the URL is already clean.
Ref fixed_path_location(PyObject* request, bool* needs_redirect) {
    *needs_redirect = false;
    Ref host_url = getattr(request, names.host_url);
    Ref raw_uri = host_url ? getattr(request, names.raw_uri) : Ref();
    if (!raw_uri) {
        return {};
    }
    // Of two strings, str() gives each back and joining them runs no code,
    // so the whole URL is only made when some other object makes it.
    const bool texts = PyUnicode_CheckExact(host_url.get()) && PyUnicode_CheckExact(raw_uri.get());
    Ref full_path;
    if (!texts) {
        Ref host_text = Ref::steal(PyObject_Str(host_url.get()));
        Ref uri_text = host_text ? Ref::steal(PyObject_Str(raw_uri.get())) : Ref();
        // `+`: str() may give a str subclass, which may join in its own way.
        full_path = uri_text ? add(host_text.get(), uri_text.get()) : Ref();
        if (!full_path) {
            return {};
        }
    }
    Ref fixed_uri = call_global(names.remove_multiple_url_slashes, raw_uri.get());
    if (!fixed_uri) {
        return {};
    }
    if (texts && PyUnicode_CheckExact(fixed_uri.get())) {
        // The host joined to either: the two differ exactly where the
        // fixed URI differs from the one asked for.
        if (str_equal(fixed_uri.get(), raw_uri.get())) {
            return {};
        }
        Ref path = Ref::steal(PyUnicode_Concat(host_url.get(), fixed_uri.get()));
        *needs_redirect = static_cast<bool>(path);
        return path;
    }
    if (!full_path) {
        full_path = Ref::steal(PyUnicode_Concat(host_url.get(), raw_uri.get()));
    }
    Ref path = full_path ? add(host_url.get(), fixed_uri.get()) : Ref();
    const int moved = path ? differs(path.get(), full_path.get()) : -1;
    if (moved <= 0) {
        return {};
    }
    *needs_redirect = true;
    return path;
}

PyObject* root_basic_init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];

    if (base_init(names.RootContext, self, request) < 0) {
        return nullptr;
    }
    // No service at all until the administrator account is protected.
    Ref users = store_mapping(self, names.users);
    Ref admin = users ? subscript(users.get(), names.admin) : Ref();
    Ref password = admin ? getattr(admin.get(), names.password) : Ref();
    const int password_set = password ? truth(password.get()) : -1;
    if (password_set <= 0) {
        return password_set < 0 ? nullptr : raise_explained(names.HTTPForbidden, names.admin_password_unset);
    }

    if (record_status(request, names.CHECK_REQUEST_AUTH) < 0 || !call_method(self, names.acl_deny)) {
        return nullptr;
    }
    Ref process_registry = getattr(self, names.process_registry);
    if (!process_registry || !call_method(process_registry.get(), names.execute) ||
        !call_method(self, names.check_authenticated_user, request) ||
        record_status(request, names.REQUEST_PREPROCESS) < 0) {
        return nullptr;
    }

    Ref params = getattr(request, names.params);
    const int is_schema = params ? contains(params.get(), names.schema) : -1;
    if (is_schema < 0 || setattr(self, names.is_schema_request, boolean(is_schema)) < 0 ||
        setattr(self, names.validate_upload, Py_True) < 0) {
        return nullptr;
    }
    // A bare "validate" parameter or a true word turns validation on, any
    // other value off.
    const int asks = upload_asks_about_validation(request, params.get());
    if (asks < 0) {
        return nullptr;
    }
    if (asks) {
        Ref asbool = module_global(names.asbool);
        Ref value = asbool ? get_item(params.get(), names.validate) : Ref();
        Ref flag = value ? call(asbool.get(), value.get()) : Ref();
        const int on = setattr(self, names.validate_upload, flag) == 0 ? truth(flag.get()) : -1;
        if (on < 0) {
            return nullptr;
        }
        if (!on) {
            Ref raw = subscript(params.get(), names.validate);
            if (!raw || setattr(self, names.validate_upload, compare_equal(raw.get(), names.empty)) < 0) {
                return nullptr;
            }
        }
    }

    // Refusals above come first: an unauthenticated request to a URI with
    // repeated slashes is refused, not redirected.
    bool needs_redirect = false;
    Ref location = fixed_path_location(request, &needs_redirect);
    if (!needs_redirect) {
        return error_pending() ? nullptr : Py_NewRef(Py_None);
    }
    Ref headers = Ref::steal(PyDict_New());
    if (!headers || PyDict_SetItem(headers.get(), names.warning_header, names.fixed_path_warning) < 0) {
        return nullptr;
    }
    return raise_new_kw(names.HTTPPermanentRedirect, state.kw_location_headers, location.get(), headers.get());
}

PyObject* root_basic_check_authenticated_user(PyObject* const* args) {
    PyObject* self = args[0];
    // Identity tests against None: an empty user id with a record passes.
    for (PyObject* attribute : {names.authenticated_user_id, names.authenticated_user_config}) {
        Ref value = getattr_named(self, attribute);
        if (!value) {
            return nullptr;
        }
        if (value.get() == Py_None) {
            return raise_new(names.HTTPForbidden);
        }
    }
    Py_RETURN_NONE;
}

PyObject* root_basic_acl_allow(PyObject* const* args) {
    Ref everything = module_global(names.ALL_PERMISSIONS);
    if (!everything || set_acl(args[0], acl_entry_for(names.Allow, names.Everyone, everything.get())) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* root_basic_acl_deny(PyObject* const* args) {
    if (set_acl(args[0], module_global(names.DENY_ALL)) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* root_basic_check_db_access_permissions(PyObject* const* args) {
    PyObject* self = args[0];

    // The administrator reaches every database; nothing else is read.
    Ref user_id = getattr(self, names.authenticated_user_id);
    const int is_admin = user_id ? equals(user_id.get(), names.admin) : -1;
    if (is_admin) {
        return is_admin < 0 ? nullptr : Py_NewRef(Py_None);
    }
    Ref db_id = getattr(self, names.db_id);
    Ref user_config = db_id ? getattr(self, names.authenticated_user_config) : Ref();
    Ref databases = user_config ? get_item(user_config.get(), names.databases) : Ref();
    const int permitted = databases ? contains(databases.get(), db_id.get()) : -1;
    if (permitted) {
        return permitted < 0 ? nullptr : Py_NewRef(Py_None);
    }
    user_id = getattr(self, names.authenticated_user_id);
    db_id = user_id ? getattr(self, names.db_id) : Ref();
    Ref message = db_id ? format_text(kNoDatabaseAccess, user_id.get(), db_id.get()) : Ref();
    if (!message || log_message(names.debug, message.get()) < 0) {
        return nullptr;
    }
    return raise_explained(names.HTTPForbidden, message.get());
}

constexpr FunctionDef kDefaultRootInit{"DefaultRoot.__init__", {"self", "request"}, default_root_init};
constexpr FunctionDef kRootBasicInit{"RootBasic.__init__", {"self", "request"}, root_basic_init};
constexpr FunctionDef kRootBasicCheckAuthenticatedUser{
    "RootBasic.check_authenticated_user", {"self", "request"}, root_basic_check_authenticated_user};
constexpr FunctionDef kRootBasicAclAllow{"RootBasic.acl_allow", {"self"}, root_basic_acl_allow};
constexpr FunctionDef kRootBasicAclDeny{"RootBasic.acl_deny", {"self"}, root_basic_acl_deny};
constexpr FunctionDef kRootBasicCheckDbAccessPermissions{
    "RootBasic._check_db_access_permissions", {"self"}, root_basic_check_db_access_permissions};

const MethodEntry kDefaultRootMethods[] = {
    {MethodKind::Method, &kDefaultRootInit},
};

const MethodEntry kRootBasicMethods[] = {
    {MethodKind::Method, &kRootBasicInit},
    {MethodKind::Method, &kRootBasicCheckAuthenticatedUser},
    {MethodKind::Method, &kRootBasicAclAllow},
    {MethodKind::Method, &kRootBasicAclDeny},
    {MethodKind::Method, &kRootBasicCheckDbAccessPermissions},
    {MethodKind::Method, &root_basic_get_db_limit_url_def},
    {MethodKind::Method, &root_basic_check_db_limit_overflow_def},
    {MethodKind::Method, &root_basic_redirect_request_format_def},
};

}  // namespace

const MethodTable default_root_methods{kDefaultRootMethods};
const MethodTable root_basic_methods{kRootBasicMethods};

}  // namespace roots
