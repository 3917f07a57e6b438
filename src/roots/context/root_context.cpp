// RootContext: the common part of every request context.
#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

// `request.registry.settings`, the framework's whole settings mapping.
Ref framework_settings(PyObject* request) {
    Ref registry = getattr(request, names.registry);
    return registry ? getattr(registry.get(), names.settings) : Ref();
}

// `request.registry.settings[key]`.
Ref framework_setting(PyObject* request, PyObject* key) {
    Ref settings = framework_settings(request);
    return settings ? subscript(settings.get(), key) : Ref();
}

// `self.settings[key]`, the server's own settings.
Ref server_setting(PyObject* self, PyObject* key) {
    Ref settings = getattr(self, names.settings);
    return settings ? subscript(settings.get(), key) : Ref();
}

PyObject* root_context_init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];

    // Each setting is looked up afresh rather than copied from another
    // attribute: the settings mapping decides what every lookup answers.
    if (setattr(self, names.request, request) < 0 ||
        setattr(self, names.settings, framework_setting(request, names.krv_settings)) < 0 ||
        setattr(self, names.ini_settings, framework_settings(request)) < 0 ||
        setattr(self, names.krv_settings, framework_setting(request, names.krv_settings)) < 0 ||
        setattr(self, names.auth_settings, framework_setting(request, names.auth_settings)) < 0 ||
        setattr(self, names.config_storage, server_setting(self, names.config_storage)) < 0 ||
        setattr(self, names.process_registry, server_setting(self, names.process_registry)) < 0) {
        return nullptr;
    }

    Ref check_apikey = module_global(names.check_apikey_querystring);
    Ref krv_settings = check_apikey ? getattr(self, names.krv_settings) : Ref();
    if (!krv_settings || !call(check_apikey.get(), krv_settings.get(), request)) {
        return nullptr;
    }

    Ref get_authenticated_user = module_global(names.get_authenticated_user);
    Ref users = get_authenticated_user ? store_mapping(self, names.users) : Ref();
    Ref authenticated = users ? call(get_authenticated_user.get(), request, users.get()) : Ref();
    Ref user[2];
    if (!authenticated || unpack(authenticated.get(), user, 2) < 0 ||
        setattr(self, names.authenticated_user_id, user[0].get()) < 0 ||
        setattr(self, names.authenticated_user_config, user[1].get()) < 0) {
        return nullptr;
    }

    Ref get_reversed = module_global(names.get_reversed_url_substitution_params);
    Ref params = get_reversed ? getattr(request, names.params) : Ref();
    Ref url_substitution = params ? server_setting(self, names.url_substitution) : Ref();
    if (!url_substitution || setattr(self, names.reversed_url_substitution,
                                     call(get_reversed.get(), params.get(), url_substitution.get())) < 0) {
        return nullptr;
    }

    // Static files do not read the store, so they skip its refresh.
    Ref path = getattr(request, names.path);
    Ref is_static = path ? call_method(path.get(), names.startswith, names.static_prefix) : Ref();
    const int skip_refresh = is_static ? truth(is_static.get()) : -1;
    if (skip_refresh < 0) {
        return nullptr;
    }
    if (!skip_refresh) {
        Ref config_storage = getattr(self, names.config_storage);
        if (!config_storage ||
            !call_method_kw(config_storage.get(), names.pull, state.kw_from_memcache, Py_True)) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

// Escapes each segment's characters with the substitution table and records,
// in `query_string_data`, which substitute stands for which character.
PyObject* root_context_build_escaped_url(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* segments = args[1];
    PyObject* chars_to_replace = args[2];

    Ref escaped = Ref::steal(PyList_New(0));
    if (!escaped) {
        return nullptr;
    }
    Ref query_string_data = Ref::borrow(args[3]);
    if (query_string_data.get() == Py_None) {
        query_string_data = Ref::steal(PyDict_New());
    }
    Ref segment_iter = query_string_data ? Ref::steal(PyObject_GetIter(segments)) : Ref();
    if (!segment_iter) {
        return nullptr;
    }
    while (Ref segment = Ref::steal(PyIter_Next(segment_iter.get()))) {
        const int is_text = is_instance(segment.get(), &PyUnicode_Type);
        if (is_text < 0) {
            return nullptr;
        }
        if (!is_text) {
            segment = Ref::steal(PyObject_Str(segment.get()));
            if (!segment) {
                return nullptr;
            }
        }
        Ref pattern_iter = Ref::steal(PyObject_GetIter(chars_to_replace));
        if (!pattern_iter) {
            return nullptr;
        }
        while (Ref pattern = Ref::steal(PyIter_Next(pattern_iter.get()))) {
            // A dot is only escaped where it would move up or stay in the
            // path: in a segment that is exactly "." or "..".
            const int is_dot = equals(pattern.get(), names.dot);
            if (is_dot < 0) {
                return nullptr;
            }
            if (is_dot) {
                const int is_dotdot = equals(segment.get(), names.dotdot);
                const int is_lone_dot = is_dotdot == 0 ? equals(segment.get(), names.dot) : 0;
                if (is_dotdot < 0 || is_lone_dot < 0) {
                    return nullptr;
                }
                if (!is_dotdot && !is_lone_dot) {
                    continue;
                }
            }
            const int occurs = contains(segment.get(), pattern.get());
            if (occurs < 0) {
                return nullptr;
            }
            if (!occurs) {
                continue;
            }
            Ref reversed = getattr(self, names.reversed_url_substitution);
            Ref substitute = reversed ? subscript(reversed.get(), pattern.get()) : Ref();
            segment = substitute ? call_method(segment.get(), names.replace, pattern.get(), substitute.get()) : Ref();
            if (!segment || PyObject_SetItem(query_string_data.get(), substitute.get(), pattern.get()) < 0) {
                return nullptr;
            }
        }
        if (error_pending() || PyList_Append(escaped.get(), segment.get()) < 0) {
            return nullptr;
        }
    }
    if (error_pending()) {
        return nullptr;
    }
    return PyTuple_Pack(2, escaped.get(), query_string_data.get());
}

Ref all_database_ids(PyObject* self) {
    Ref databases = store_mapping(self, names.databases);
    Ref keys = databases ? call_method(databases.get(), names.keys) : Ref();
    return keys ? Ref::steal(PyFrozenSet_New(keys.get())) : Ref();
}

// 1 when `right` is in the user's `collection_name` rights, 0 if not, -1 on error.
int user_holds(PyObject* user_config, PyObject* collection_name, PyObject* right) {
    Ref collection = getattr_named(user_config, collection_name);
    return collection ? contains(collection.get(), right) : -1;
}

// The database ids the authenticated user may reach, worked out afresh on
// every read: the store may have changed since the context was made.
PyObject* root_context_user_db_ids(PyObject* const* args) {
    PyObject* self = args[0];

    Ref user_id = getattr(self, names.authenticated_user_id);
    const int signed_in = user_id ? truth(user_id.get()) : -1;
    if (signed_in <= 0) {
        return signed_in < 0 ? nullptr : PyFrozenSet_New(nullptr);
    }
    const int is_admin = equals(user_id.get(), names.admin);
    if (is_admin) {
        return is_admin < 0 ? nullptr : all_database_ids(self).release();
    }
    Ref user_config = getattr(self, names.authenticated_user_config);
    if (!user_config) {
        return nullptr;
    }
    // Whoever may create user definitions or credentials, or edit some
    // user's definition, administers users and so sees every database.
    for (PyObject* rights : {names.userdef, names.dbcreds}) {
        const int creates = user_holds(user_config.get(), rights, names.create);
        if (creates) {
            return creates < 0 ? nullptr : all_database_ids(self).release();
        }
    }
    Ref users = store_mapping(self, names.users);
    Ref user_configs = users ? call_method(users.get(), names.values) : Ref();
    Ref user_iter = user_configs ? Ref::steal(PyObject_GetIter(user_configs.get())) : Ref();
    if (!user_iter) {
        return nullptr;
    }
    while (Ref other = Ref::steal(PyIter_Next(user_iter.get()))) {
        const int edits = user_holds(other.get(), names.edit, user_id.get());
        if (edits) {
            return edits < 0 ? nullptr : all_database_ids(self).release();
        }
    }
    if (error_pending()) {
        return nullptr;
    }

    Ref reachable = Ref::steal(PySet_New(nullptr));
    Ref databases = reachable ? store_mapping(self, names.databases) : Ref();
    Ref items = databases ? call_method(databases.get(), names.items) : Ref();
    Ref item_iter = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref();
    if (!item_iter) {
        return nullptr;
    }
    while (Ref item = Ref::steal(PyIter_Next(item_iter.get()))) {
        Ref pair[2];
        if (unpack(item.get(), pair, 2) < 0) {
            return nullptr;
        }
        PyObject* db_id = pair[0].get();
        PyObject* db_config = pair[1].get();
        int assigned = user_holds(user_config.get(), names.databases, db_id);
        if (assigned == 0) {
            Ref allowed_users = Ref::steal(PySet_New(nullptr));
            if (!allowed_users) {
                return nullptr;
            }
            for (PyObject* access : {names.read, names.write, names.execute}) {
                Ref members = getattr_named(db_config, access);
                if (!members || !call_method(allowed_users.get(), names.update, members.get())) {
                    return nullptr;
                }
            }
            assigned = PySet_Contains(allowed_users.get(), user_id.get());
        }
        if (assigned < 0 || (assigned && PySet_Add(reachable.get(), db_id) < 0)) {
            return nullptr;
        }
    }
    if (error_pending()) {
        return nullptr;
    }
    return PyFrozenSet_New(reachable.get());
}

constexpr FunctionDef kRootContextInit{"RootContext.__init__", {"self", "request"}, root_context_init};
constexpr FunctionDef kRootContextBuildEscapedUrl{"RootContext.build_escaped_url",
                                                  {"self", "segments", "chars_to_replace", "query_string_data"},
                                                  root_context_build_escaped_url, Default::None};
constexpr FunctionDef kRootContextUserDbIds{"RootContext.user_db_ids", {"self"}, root_context_user_db_ids,
                                            Default::Absent, "return", "frozenset"};

const MethodEntry kRootContextMethods[] = {
    {MethodKind::Method, &kRootContextInit},
    {MethodKind::Method, &kRootContextBuildEscapedUrl},
    {MethodKind::Property, &kRootContextUserDbIds},
};

}  // namespace

const MethodTable root_context_methods{kRootContextMethods};

}  // namespace roots
