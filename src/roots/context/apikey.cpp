// The query-string API key check every context runs before it resolves the
// authenticated user.
#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

constexpr char kMissingParamNames[] =
    "Couldn't determine apikey param name. apikey_name = '%S', appid_name = '%S'.";

// `krv_settings` is exactly a dict (the binder refuses anything else before
// this runs), so its lookups cannot be overridden and go straight to the dict.
PyObject* check_apikey_querystring(PyObject* const* args) {
    PyObject* krv_settings = args[0];
    PyObject* request = args[1];

    Ref apikey_name_ref = get_item(krv_settings, names.apikey_name);
    if (!apikey_name_ref) {
        return nullptr;
    }
    Ref appid_name_ref = get_item(krv_settings, names.appid_name);
    if (!appid_name_ref) {
        return nullptr;
    }

    // Without both parameter names there is nothing to look for; the request
    // goes on and only the deployment is told.
    const int have_apikey_name = truth(apikey_name_ref.get());
    const int have_appid_name = have_apikey_name > 0 ? truth(appid_name_ref.get()) : 0;
    if (have_apikey_name < 0 || have_appid_name < 0) {
        return nullptr;
    }
    if (!have_apikey_name || !have_appid_name) {
        Ref log = module_global(names.log);
        Method warning = log ? method_of(log.get(), names.warning) : Method();
        Ref message = warning ? format_text(kMissingParamNames, apikey_name_ref.get(), appid_name_ref.get()) : Ref();
        if (!message || !warning(message.get())) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }

    Ref policy = module_global(names.ApikeyAuthenticationPolicy);
    Ref find_api_key = policy ? getattr(policy.get(), names.find_api_key) : Ref();
    Ref query_params = find_api_key ? getattr(request, names.GET) : Ref();
    Ref request_api_key =
        query_params ? call(find_api_key.get(), query_params.get(), apikey_name_ref.get(), appid_name_ref.get())
                     : Ref();
    if (!request_api_key) {
        return nullptr;
    }
    const int key_found = truth(request_api_key.get());
    if (key_found <= 0) {
        return key_found < 0 ? nullptr : Py_NewRef(Py_None);
    }

    PyObject* allowed = PyDict_GetItemWithError(krv_settings, names.allow_apikey_in_query_string);
    if (allowed == nullptr && error_pending()) {
        return nullptr;
    }
    const int allow = allowed == nullptr ? 1 : truth(allowed);
    if (allow < 0) {
        return nullptr;
    }
    if (!allow) {
        return raise_explained(names.HTTPForbidden, names.apikey_query_denied);
    }

    // Added, not set: a response may already carry warnings of its own.
    Ref response = getattr(request, names.response);
    Ref headers = response ? getattr(response.get(), names.headers) : Ref();
    if (!headers || !call_method(headers.get(), names.add, PyTuple_GET_ITEM(state.apikey_warning_header, 0),
                                 PyTuple_GET_ITEM(state.apikey_warning_header, 1))) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

const FunctionDef check_apikey_querystring_def{
    "check_apikey_querystring", {"krv_settings", "request"}, check_apikey_querystring, Default::Absent,
    "krv_settings", "dict", true};

}  // namespace roots
