// DataFormatRoot, the base of the resource classes with per-method format
// tables, and RootBasic's redirect of deprecated formats.
#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

constexpr char kFormatDeprecated[] =
    "%S format is deprecated.  Use %S format with '%S' query string parameter for future requests.";
constexpr char kFormatNotImplemented[] = "Format '%S' for %S not implemented yet.";

PyObject* data_format_root_init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];

    if (base_init(names.RootBasic, self, request) < 0) {
        return nullptr;
    }
    Ref requested_data_format = module_global(names.requested_data_format);
    Ref settings = requested_data_format ? getattr(self, names.settings) : Ref();
    Ref default_extension = settings ? subscript(settings.get(), names.default_extension) : Ref();
    Ref requested = default_extension ? call(requested_data_format.get(), request, default_extension.get())
                                      : Ref();
    Ref formats[3];
    if (!requested || unpack(requested.get(), formats, 3) < 0 ||
        setattr(self, names.response_format, formats[0]) < 0 || setattr(self, names.request_format, formats[1]) < 0 ||
        setattr(self, names.request_extension, formats[2]) < 0) {
        return nullptr;
    }

    // HTML is the browser interface's business: no format check applies.
    Ref response_format = getattr(self, names.response_format);
    const int wants_html = response_format ? equals(response_format.get(), names.html) : -1;
    if (wants_html) {
        if (wants_html < 0) {
            return nullptr;
        }
        Ref gui_response_exception = module_global(names.gui_response_exception);
        Ref own_request = gui_response_exception ? getattr(self, names.request) : Ref();
        Ref exception = own_request ? call(gui_response_exception.get(), own_request.get()) : Ref();
        return exception ? raise(std::move(exception)) : nullptr;
    }

    // A stored query redirects deprecated formats itself, after it has
    // authorised the request; every other class redirects here.
    Ref execute_query = module_global(names.ExecuteQuery);
    if (!execute_query) {
        return nullptr;
    }
    if (reinterpret_cast<PyObject*>(Py_TYPE(self)) != execute_query.get()) {
        Ref redirect_map = getattr(self, names.format_redirect_map);
        response_format = redirect_map ? getattr(self, names.response_format) : Ref();
        const int deprecated = response_format ? contains(redirect_map.get(), response_format.get()) : -1;
        if (deprecated < 0) {
            return nullptr;
        }
        if (deprecated && !call_method(self, names.redirect_request_format, request, response_format.get())) {
            return nullptr;
        }
    }

    Method check_data_format = method_of(self, names.check_data_format);
    Ref method = check_data_format ? getattr(request, names.method) : Ref();
    response_format = method ? getattr(self, names.response_format) : Ref();
    if (!response_format || !check_data_format(method.get(), response_format.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// `table.get(key) or []`: a missing or empty list names no format.  The
// lists are only searched, so the empty tuple stands for every empty one,
// and a method with no table (`table` null) has only empty lists.
[[gnu::always_inline]] inline Ref format_list(PyObject* table, PyObject* key) {
    if (table == nullptr) {
        return Ref::borrow(state.empty_tuple);
    }
    Ref list = get_item(table, key);
    const int present = list ? truth(list.get()) : -1;
    if (present < 0) {
        return {};
    }
    return present ? std::move(list) : Ref::borrow(state.empty_tuple);
}

// `self.formats.get(request_method, {})`, null (no error set) for the
// empty table when `formats` is exactly a dict without the method: an
// empty table has only empty lists, and is not made for that.
int format_table_for(PyObject* formats, PyObject* request_method, Ref* table) {
    if (PyDict_CheckExact(formats)) {
        PyObject* found = find_item(formats, request_method);
        *table = Ref::borrow(found);
        return found == nullptr && error_pending() ? -1 : 0;
    }
    Ref no_table = Ref::steal(PyDict_New());
    *table = no_table ? call_method(formats, names.get, request_method, no_table.get()) : Ref();
    return *table ? 0 : -1;
}

// The extension of the request path's last segment, without its dot;
// empty when that segment has none (or only leading dots).
Ref path_extension(PyObject* self) {
    Ref urlparse = module_global(names.urlparse);
    Ref request = urlparse ? getattr(self, names.request) : Ref();
    Ref request_path = request ? getattr(request.get(), names.path) : Ref();
    Ref parsed = request_path ? call(urlparse.get(), request_path.get()) : Ref();
    Ref path = parsed ? getattr(parsed.get(), names.path) : Ref();
    Ref os = path ? module_global(names.os) : Ref();
    Ref os_path = os ? getattr(os.get(), names.path) : Ref();
    Ref split = os_path ? call_method(os_path.get(), names.splitext, path.get()) : Ref();
    Ref extension = split ? subscript(split.get(), state.one) : Ref();
    return extension ? call_method(extension.get(), names.lstrip, names.dot) : Ref();
}

PyObject* data_format_root_check_data_format(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request_method = args[1];
    PyObject* response_format = args[2];
    PyObject* check_ext = args[3];

    Ref formats = getattr(self, names.formats);
    Ref format_table;
    if (!formats || format_table_for(formats.get(), request_method, &format_table) < 0) {
        return nullptr;
    }
    Ref supported = format_list(format_table.get(), names.supported);
    Ref illegal = supported ? format_list(format_table.get(), names.illegal) : Ref();
    Ref not_implemented = illegal ? format_list(format_table.get(), names.not_implemented) : Ref();
    if (!not_implemented) {
        return nullptr;
    }

    // Supported is tested first, so a format listed both ways is accepted.
    const int is_supported = contains(supported.get(), response_format);
    if (is_supported < 0) {
        return nullptr;
    }
    if (is_supported) {
        // A supported format asked for on a path that carries some other
        // extension addresses nothing this route serves.
        Ref extension = path_extension(self);
        const int checking = extension ? truth(check_ext) : -1;
        const int has_extension = checking > 0 ? truth(extension.get()) : 0;
        const int known = has_extension > 0 ? contains(supported.get(), extension.get()) : 1;
        if (checking < 0 || has_extension < 0 || known < 0) {
            return nullptr;
        }
        if (!known) {
            return raise_new(names.HTTPNotFound);
        }
        return Py_NewRef(response_format);
    }
    const int is_illegal = contains(illegal.get(), response_format);
    if (is_illegal < 0) {
        return nullptr;
    }
    if (!is_illegal) {
        const int pending = contains(not_implemented.get(), response_format);
        if (pending < 0) {
            return nullptr;
        }
        if (pending) {
            return raise_explained_by(names.HTTPNotImplemented, [&] {
                return format_text(kFormatNotImplemented, response_format, request_method);
            });
        }
    }
    // Illegal, or named by no list (including every format of a method the
    // table does not name): refused the same way.
    return raise_new(names.HTTPUnsupportedFormat, response_format);
}

PyObject* root_basic_redirect_request_format(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];
    PyObject* response_format = args[2];

    Ref redirect_map = getattr(self, names.format_redirect_map);
    Ref target = redirect_map ? subscript(redirect_map.get(), response_format) : Ref();
    Ref target_format = target ? subscript(target.get(), state.zero) : Ref();
    Ref target_qs = target_format ? subscript(target.get(), state.one) : Ref();
    Ref redir_url = target_qs ? getattr(request, names.path_info) : Ref();
    Ref suffix = redir_url ? add(names.dot, response_format) : Ref();
    Ref has_suffix = suffix ? call_method(redir_url.get(), names.endswith, suffix.get()) : Ref();
    const int strip = has_suffix ? truth(has_suffix.get()) : -1;
    if (strip < 0) {
        return nullptr;
    }
    if (strip) {
        // Either length may fail (the path is whatever the request holds).
        const Py_ssize_t url_length = PyObject_Length(redir_url.get());
        const Py_ssize_t suffix_length = url_length < 0 ? -1 : PyObject_Length(suffix.get());
        if (suffix_length < 0) {
            return nullptr;
        }
        redir_url = Ref::steal(PySequence_GetSlice(redir_url.get(), 0, url_length - suffix_length));
    }
    // The path arrives decoded: escaped again, a client's "%2541" or "%0D%0A"
    // goes back into the Location header as it came, not as "%41" or a line
    // break, and characters beyond Latin-1 do not break the header.
    if (redir_url) {
        redir_url = call_global(names.quote, redir_url.get(), names.path_safe);
    }
    auto append = [&redir_url](PyObject* text) {
        if (redir_url) {
            redir_url = add(redir_url.get(), text);
        }
    };
    append(names.dot);
    append(target_format.get());

    // The target parameter is appended even when the query already holds it.
    Ref query_string = redir_url ? getattr(request, names.query_string) : Ref();
    const int has_query = query_string ? truth(query_string.get()) : -1;
    const int has_target_qs = has_query >= 0 ? truth(target_qs.get()) : -1;
    if (has_query < 0 || has_target_qs < 0) {
        return nullptr;
    }
    if (has_query) {
        append(names.query_mark);
        append(query_string.get());
        if (has_target_qs) {
            append(names.amp);
            append(target_qs.get());
        }
    } else if (has_target_qs) {
        append(names.query_mark);
        append(target_qs.get());
    }
    if (!redir_url) {
        return nullptr;
    }

    Ref message = format_text(kFormatDeprecated, response_format, target_format.get(), target_qs.get());
    if (!message || log_message(names.warning, message.get()) < 0) {
        return nullptr;
    }
    Ref headers = Ref::steal(PyDict_New());
    if (!headers || PyDict_SetItem(headers.get(), names.warning_header, message.get()) < 0) {
        return nullptr;
    }
    return raise_new_kw(names.HTTPMovedPermanently, state.kw_location_headers, redir_url.get(), headers.get());
}

constexpr FunctionDef kDataFormatRootInit{"DataFormatRoot.__init__", {"self", "request"}, data_format_root_init};
constexpr FunctionDef kDataFormatRootCheckDataFormat{"DataFormatRoot.check_data_format",
                                                     {"self", "request_method", "response_format", "check_ext"},
                                                     data_format_root_check_data_format, Default::True};

const MethodEntry kDataFormatRootMethods[] = {
    {MethodKind::Method, &kDataFormatRootInit},
    {MethodKind::Method, &kDataFormatRootCheckDataFormat},
};

}  // namespace

const FunctionDef root_basic_redirect_request_format_def{
    "RootBasic.redirect_request_format", {"self", "request", "response_format"}, root_basic_redirect_request_format};

const MethodTable data_format_root_methods{kDataFormatRootMethods};

}  // namespace roots
