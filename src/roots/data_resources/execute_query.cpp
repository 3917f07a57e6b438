// ExecuteQuery: the route that runs one stored query.
#include "roots/data_resources/store_reads.hpp"
#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

constexpr char kQueryNotFound[] = "Query '%S' not found.";
constexpr char kQueryDatabaseNotFound[] = "Model/Database '%S' not found.";
constexpr char kMethodNotAllowed[] = "This method is not allowed for query: \"%S\". Allowed methods: [\"%U\"].";
constexpr char kAllowedMethodSeparator[] = "\", \"";

PyObject* execute_query_init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];
    // The base runs this class's check_data_format: the query is looked up
    // and its method checked before the database below.
    if (super_init(names.ExecuteQuery, self, request) < 0) {
        return nullptr;
    }

    Ref database = call_method(self, names.get_db);
    Ref db_id_and_config[2];
    if (!database || unpack(database.get(), db_id_and_config, 2) < 0 ||
        setattr(self, names.db_id, db_id_and_config[0].get()) < 0 ||
        setattr(self, names.db_config, db_id_and_config[1].get()) < 0) {
        return nullptr;
    }

    // Requests that nobody tracks are served all the same.
    Ref tracker;
    const int tracked = lookup_attr(request, names.request_status, &tracker);
    if (tracked < 0 ||
        (tracked && report_request_metadata(tracker.get(), self, {names.query_id, names.db_id}) < 0)) {
        return nullptr;
    }

    if (!call_method(self, names._check_db_limit_overflow, request)) {
        return nullptr;
    }

    Ref get_substitution = module_global(names.get_url_substitution_params);
    Ref params = get_substitution ? getattr(request, names.params) : Ref();
    if (!params || setattr(self, names.substitution_params, call(get_substitution.get(), params.get())) < 0) {
        return nullptr;
    }
    Ref get_reversed = module_global(names.get_reversed_url_substitution_params);
    params = get_reversed ? getattr(request, names.params) : Ref();
    Ref settings = params ? getattr(self, names.settings) : Ref();
    Ref url_substitution = settings ? subscript(settings.get(), names.url_substitution) : Ref();
    if (!url_substitution || setattr(self, names.reversed_url_substitution,
                                     call(get_reversed.get(), params.get(), url_substitution.get())) < 0) {
        return nullptr;
    }

    // The first two segments address the query; the rest are its
    // parameters, as alternating names and values.
    Method segments_substitution = method_of(self, names.segments_substitution);
    Ref own_request = segments_substitution ? getattr(self, names.request) : Ref();
    Ref path_segments = own_request ? getattr(own_request.get(), names.path_segments) : Ref();
    Ref parameter_segments = path_segments ? subscript(path_segments.get(), state.from_third) : Ref();
    if (!parameter_segments ||
        setattr(self, names.url_segments, segments_substitution(parameter_segments.get())) < 0) {
        return nullptr;
    }

    if (!call_method(self, names.configure_authorization)) {
        return nullptr;
    }

    // The deprecated-format redirect comes last, so that a client asking for
    // the old format of a query it may not run is refused, not redirected.
    Ref response_format = getattr(self, names.response_format);
    Ref redirect_map = response_format ? getattr(self, names.format_redirect_map) : Ref();
    const int deprecated = redirect_map ? contains(redirect_map.get(), response_format.get()) : -1;
    if (deprecated < 0 ||
        (deprecated && !call_method(self, names.redirect_request_format, request, response_format.get()))) {
        return nullptr;
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kExecuteQueryInit{"ExecuteQuery.__init__", {"self", "request"}, execute_query_init};

PyObject* execute_query_validate_http_method(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request_method = args[1];
    Ref std_methods = Ref::borrow(args[2]);
    const int given = truth(std_methods.get());
    if (given < 0) {
        return nullptr;
    }
    if (!given) {
        std_methods = module_global(names.STD_HTTP_METHODS);
    }
    Ref query_config = std_methods ? getattr(self, names.query_config) : Ref();
    Ref http_methods = query_config ? getattr(query_config.get(), names.http_methods) : Ref();
    const int standard = http_methods ? contains(std_methods.get(), request_method) : -1;
    if (standard < 0) {
        return nullptr;
    }
    if (standard) {
        Ref enabled = get_item(http_methods.get(), request_method);
        const int is_enabled = enabled ? truth(enabled.get()) : -1;
        if (is_enabled < 0) {
            return nullptr;
        }
        if (is_enabled) {
            Py_RETURN_NONE;
        }
    }

    Ref allowed = Ref::steal(PyList_New(0));
    Ref entries = allowed ? call_method(http_methods.get(), names.items) : Ref();
    Ref entry_iter = entries ? Ref::steal(PyObject_GetIter(entries.get())) : Ref();
    if (!entry_iter) {
        return nullptr;
    }
    while (Ref entry = Ref::steal(PyIter_Next(entry_iter.get()))) {
        Ref method_and_flag[2];
        if (unpack(entry.get(), method_and_flag, 2) < 0) {
            return nullptr;
        }
        const int on = truth(method_and_flag[1].get());
        if (on < 0 || (on && PyList_Append(allowed.get(), method_and_flag[0].get()) < 0)) {
            return nullptr;
        }
    }
    if (error_pending()) {
        return nullptr;
    }

    return raise_explained_by(names.HTTPMethodNotAllowed, [&] {
        query_config = getattr(self, names.query_config);
        Ref query_id = query_config ? getattr(query_config.get(), names.query_id) : Ref();
        Ref separator = query_id ? Ref::steal(PyUnicode_FromString(kAllowedMethodSeparator)) : Ref();
        Ref joined = separator ? Ref::steal(PyUnicode_Join(separator.get(), allowed.get())) : Ref();
        return joined ? format_text(kMethodNotAllowed, query_id.get(), joined.get()) : Ref();
    });
}
constexpr FunctionDef kExecuteQueryValidateHttpMethod{"ExecuteQuery._validate_http_method", {"self", "request_method", "std_methods"}, execute_query_validate_http_method, Default::EmptyTuple};

PyObject* execute_query_get_query_info(PyObject* const* args) {
    PyObject* self = args[0];
    Ref request = getattr(self, names.request);
    Ref matchdict = request ? matchdict_or_empty(request.get()) : Ref();
    Ref query_id = matchdict ? get_item(matchdict.get(), names.query_id) : Ref();
    Ref querydefs = query_id ? store_mapping(self, names.querydefs) : Ref();
    if (!querydefs) {
        return nullptr;
    }
    Ref query_config = configured_record(querydefs.get(), query_id.get());
    if (!query_config) {
        if (error_pending()) {
            return nullptr;
        }
        return raise_explained_by(names.HTTPNotFound, [&] { return format_text(kQueryNotFound, query_id.get()); });
    }
    return PyTuple_Pack(2, query_id.get(), query_config.get());
}
constexpr FunctionDef kExecuteQueryGetQueryInfo{"ExecuteQuery.get_query_info", {"self"}, execute_query_get_query_info};

PyObject* execute_query_check_data_format(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request_method = args[1];
    PyObject* response_format = args[2];
    Ref query = call_method(self, names.get_query_info);
    Ref query_id_and_config[2];
    if (!query || unpack(query.get(), query_id_and_config, 2) < 0 ||
        setattr(self, names.query_id, query_id_and_config[0].get()) < 0 ||
        setattr(self, names.query_config, query_id_and_config[1].get()) < 0) {
        return nullptr;
    }

    // The class's own methods, not the server-wide list: a query enabled
    // for a method this route does not serve is still refused.
    Method validate_http_method = method_of(self, names._validate_http_method);
    Ref formats = validate_http_method ? getattr(self, names.formats) : Ref();
    Ref methods = formats ? call_method(formats.get(), names.keys) : Ref();
    Ref served = methods ? list_of(methods.get()) : Ref();
    if (!served || !validate_http_method(request_method, served.get())) {
        return nullptr;
    }

    // The last segment of a query route is a parameter value, which may
    // hold a dot of its own: the base check runs without its extension test.
    Ref base = module_global(names.DataFormatRoot);
    Ref base_check = base ? getattr(base.get(), names.check_data_format) : Ref();
    if (!base_check ||
        !call_kw(base_check.get(), state.kw_check_ext, self, request_method, response_format, Py_False)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kExecuteQueryCheckDataFormat{"ExecuteQuery.check_data_format", {"self", "request_method", "response_format"}, execute_query_check_data_format};

PyObject* execute_query_get_db(PyObject* const* args) {
    PyObject* self = args[0];
    Ref query_config = getattr(self, names.query_config);
    Ref db_id = query_config ? subscript(query_config.get(), names.database) : Ref();
    Ref databases = db_id ? store_mapping(self, names.databases) : Ref();
    if (!databases) {
        return nullptr;
    }
    Ref db_config = configured_record(databases.get(), db_id.get());
    if (!db_config) {
        if (error_pending()) {
            return nullptr;
        }
        return raise_explained_by(names.HTTPNotFound,
                                  [&] { return format_text(kQueryDatabaseNotFound, db_id.get()); });
    }
    return PyTuple_Pack(2, db_id.get(), db_config.get());
}
constexpr FunctionDef kExecuteQueryGetDb{"ExecuteQuery.get_db", {"self"}, execute_query_get_db};

// Only the values (odd positions) are substituted: a parameter's name must
// reach the query exactly as it was written.
PyObject* execute_query_segments_substitution(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* segments = args[1];
    Ref substituted = Ref::steal(PyList_New(0));
    Ref segment_iter = substituted ? Ref::steal(PyObject_GetIter(segments)) : Ref();
    if (!segment_iter) {
        return nullptr;
    }
    bool is_value = false;
    while (Ref segment = Ref::steal(PyIter_Next(segment_iter.get()))) {
        if (is_value) {
            Ref substitution_params = getattr(self, names.substitution_params);
            segment = substitution_params
                          ? call_global(names.replace_patterns, segment.get(), substitution_params.get())
                          : Ref();
        }
        if (!segment || PyList_Append(substituted.get(), segment.get()) < 0) {
            return nullptr;
        }
        is_value = !is_value;
    }
    return error_pending() ? nullptr : substituted.release();
}
constexpr FunctionDef kExecuteQuerySegmentsSubstitution{"ExecuteQuery.segments_substitution", {"self", "segments"}, execute_query_segments_substitution};

PyObject* execute_query_configure_authorization(PyObject* const* args) {
    PyObject* self = args[0];
    if (!call_method(self, names._check_db_access_permissions)) {
        return nullptr;
    }
    Ref acl = Ref::steal(PyList_New(0));
    if (setattr(self, names.__acl__, acl) < 0) {
        return nullptr;
    }

    Ref user_id = getattr(self, names.authenticated_user_id);
    const int is_admin = user_id ? equals(user_id.get(), names.admin) : -1;
    if (is_admin < 0) {
        return nullptr;
    }
    Ref entry;
    if (is_admin) {
        entry = acl_entry(names.Allow, names.admin, names.execute_query);
    } else {
        Ref user_config = getattr(self, names.authenticated_user_config);
        const int known_user = user_config ? truth(user_config.get()) : -1;
        if (known_user < 0) {
            return nullptr;
        }
        int open_to_all = 0;
        int named = 0;
        if (known_user) {
            Ref query_config = getattr(self, names.query_config);
            Ref executors = query_config ? getattr(query_config.get(), names.execute) : Ref();
            // "public" among the executors opens the query to anonymous
            // callers as well; a named user gets it only when signed in.
            open_to_all = executors ? contains(executors.get(), names.public_user) : -1;
            named = open_to_all == 0 ? contains(executors.get(), user_id.get()) : 0;
            if (open_to_all < 0 || named < 0) {
                return nullptr;
            }
        }
        if (open_to_all) {
            entry = acl_entry_for(names.Allow, names.Everyone, names.execute_query);
        } else if (named) {
            entry = acl_entry_for(names.Allow, names.Authenticated, names.execute_query);
        } else {
            entry = acl_entry_for(names.Deny, names.Everyone, names.execute_query);
        }
    }
    if (!entry || PyList_Append(acl.get(), entry.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kExecuteQueryConfigureAuthorization{"ExecuteQuery.configure_authorization", {"self"}, execute_query_configure_authorization};

const MethodEntry kExecuteQueryMethods[] = {
    {MethodKind::Method, &kExecuteQueryInit},
    {MethodKind::Method, &kExecuteQueryValidateHttpMethod},
    {MethodKind::Method, &kExecuteQueryGetQueryInfo},
    {MethodKind::Method, &kExecuteQueryCheckDataFormat},
    {MethodKind::Method, &kExecuteQueryGetDb},
    {MethodKind::Method, &kExecuteQuerySegmentsSubstitution},
    {MethodKind::Method, &kExecuteQueryConfigureAuthorization},
};

}  // namespace

const MethodTable execute_query_methods{kExecuteQueryMethods};

}  // namespace roots
