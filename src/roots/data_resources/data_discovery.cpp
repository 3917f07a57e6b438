// DataDiscovery: the routes that browse a configured database by URL.
#include "roots/data_resources/store_reads.hpp"
#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

PyObject* data_discovery_init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];
    if (super_init(names.DataDiscovery, self, request) < 0) {
        return nullptr;
    }

    // No format table of its own: the format is worked out here only to
    // hand HTML to the browser and to redirect a deprecated one at the end.
    Ref requested_data_format = module_global(names.requested_data_format);
    Ref settings = requested_data_format ? getattr(self, names.settings) : Ref();
    Ref default_extension = settings ? subscript(settings.get(), names.default_extension) : Ref();
    Ref requested = default_extension ? call(requested_data_format.get(), request, default_extension.get())
                                      : Ref();
    Ref requested_formats[3];
    if (!requested || unpack(requested.get(), requested_formats, 3) < 0 ||
        setattr(self, names.response_format, requested_formats[0].get()) < 0 ||
        setattr(self, names.request_format, requested_formats[1].get()) < 0 ||
        setattr(self, names.request_extension, requested_formats[2].get()) < 0) {
        return nullptr;
    }
    Ref response_format = getattr(self, names.response_format);
    const int wants_html = response_format ? equals(response_format.get(), names.html) : -1;
    if (wants_html < 0) {
        return nullptr;
    }
    if (wants_html) {
        // The browser interface answers HTML itself, before the database is
        // even looked up.
        Ref gui_response_exception = module_global(names.gui_response_exception);
        Ref own_request = gui_response_exception ? getattr(self, names.request) : Ref();
        Ref gui = own_request ? call(gui_response_exception.get(), own_request.get()) : Ref();
        return gui ? raise(std::move(gui)) : nullptr;
    }

    // The first segment names the database.  An empty tail (the bare prefix
    // of a "*other_segments" route) names none: it goes on like a database
    // that is not configured and is answered 404 below, instead of failing
    // on its first element.  A route without the key at all is the server's
    // own mistake, and indexing its None fails.
    Ref matchdict = matchdict_or_empty(request);
    Ref other_segments = matchdict ? get_item(matchdict.get(), names.other_segments) : Ref();
    if (!other_segments) {
        return nullptr;
    }
    const int take_first = other_segments.get() == Py_None ? 1 : truth(other_segments.get());
    if (take_first < 0 ||
        setattr(self, names.db_id, take_first ? subscript(other_segments.get(), state.zero) : none()) < 0) {
        return nullptr;
    }

    // The server gives every request its tracker before any route is
    // resolved, so this route does not look for its absence.
    Ref tracker = getattr(request, names.request_status);
    if (!tracker || report_request_metadata(tracker.get(), self, {names.db_id}) < 0) {
        return nullptr;
    }

    // The row-limit redirect needs only the id: a redirected request does
    // not pay for the database lookup.
    if (!call_method(self, names._check_db_limit_overflow, request)) {
        return nullptr;
    }

    // The mapping is read once: the model below is looked up in it too.
    Ref databases = store_mapping(self, names.databases);
    Ref found = databases ? get_item_of(databases.get(), [self] { return getattr(self, names.db_id); }) : Ref();
    if (setattr(self, names.db_config, found) < 0) {
        return nullptr;
    }
    Ref db_config = getattr(self, names.db_config);
    if (!db_config) {
        return nullptr;
    }
    if (db_config.get() == Py_None) {
        return raise_new(names.HTTPNotFound);
    }

    Ref get_model = module_global(names.get_model);
    Ref db_id = get_model ? getattr(self, names.db_id) : Ref();
    Ref db_model = db_id ? call_kw(get_model.get(), state.kw_retry, databases.get(), db_id.get(), request) : Ref();
    Ref segments_substitution = db_model ? module_global(names.segments_substitution) : Ref();
    Ref own_request = segments_substitution ? getattr(self, names.request) : Ref();
    Ref path_segments = own_request ? getattr(own_request.get(), names.path_segments) : Ref();
    Ref data_segments = path_segments ? subscript(path_segments.get(), state.from_third) : Ref();
    Ref params = data_segments ? getattr(request, names.params) : Ref();
    Ref charset = params ? getattr(request, names.charset) : Ref();
    if (!charset || setattr(self, names.url_segments,
                            call(segments_substitution.get(), data_segments.get(), params.get(), db_model.get(),
                                 charset.get())) < 0) {
        return nullptr;
    }

    if (!call_method(self, names.configure_authorization)) {
        return nullptr;
    }

    // Redirected only once the caller is known to be allowed the data.
    response_format = getattr(self, names.response_format);
    Ref redirect_map = response_format ? getattr(self, names.format_redirect_map) : Ref();
    const int deprecated = redirect_map ? contains(redirect_map.get(), response_format.get()) : -1;
    if (deprecated < 0 ||
        (deprecated && !call_method(self, names.redirect_request_format, request, response_format.get()))) {
        return nullptr;
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kDataDiscoveryInit{"DataDiscovery.__init__", {"self", "request"}, data_discovery_init};

PyObject* data_discovery_configure_authorization(PyObject* const* args) {
    PyObject* self = args[0];
    if (!call_method(self, names._check_db_access_permissions)) {
        return nullptr;
    }
    Ref user_id = getattr(self, names.authenticated_user_id);
    const int not_public = user_id ? differs(user_id.get(), names.public_user) : -1;
    if (not_public < 0) {
        return nullptr;
    }
    if (not_public) {
        if (set_acl(self, acl_entry_for(names.Allow, names.Authenticated, names.authenticated)) < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }

    // Anonymous callers reach only the databases that the "public" user
    // lists; every refusal carries the deployment's own text.
    Ref settings = getattr(self, names.settings);
    Ref access_denied = settings ? get_item(settings.get(), names.access_denied_msg) : Ref();
    Ref users = access_denied ? store_mapping(self, names.users) : Ref();
    if (!users) {
        return nullptr;
    }
    Ref public_config = configured_record(users.get(), names.public_user);
    if (!public_config) {
        return error_pending() ? nullptr : raise_explained(names.HTTPForbidden, access_denied.get());
    }
    // The public user's databases are read before its record is tested, so
    // a record without them fails here rather than being refused.
    Ref db_id = getattr(self, names.db_id);
    Ref public_databases = db_id ? subscript(public_config.get(), names.databases) : Ref();
    const int public_access = public_databases ? contains(public_databases.get(), db_id.get()) : -1;
    const int public_configured = public_access >= 0 ? truth(public_config.get()) : -1;
    if (public_configured < 0) {
        return nullptr;
    }
    if (!public_configured || !public_access) {
        return raise_explained(names.HTTPForbidden, access_denied.get());
    }
    if (set_acl(self, acl_entry_for(names.Allow, names.Everyone, names.authenticated)) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kDataDiscoveryConfigureAuthorization{"DataDiscovery.configure_authorization", {"self"}, data_discovery_configure_authorization};

const MethodEntry kDataDiscoveryMethods[] = {
    {MethodKind::Method, &kDataDiscoveryInit},
    {MethodKind::Method, &kDataDiscoveryConfigureAuthorization},
};

}  // namespace

const MethodTable data_discovery_methods{kDataDiscoveryMethods};

}  // namespace roots
