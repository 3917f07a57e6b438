// The per-database default row limit, enforced by sending a data request
// without a limit of its own back with the configured one added.
#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

constexpr char kDbLimitKey[] = "db.%S.limit";

PyObject* get_db_limit_url(PyObject* const* args) {
    PyObject* request = args[1];
    PyObject* db_limit = args[2];

    // Assigning into the copy replaces every "limit" value and moves the key
    // last, so the client's other parameters keep their order.
    Ref params = getattr(request, names.params);
    Ref request_params = params ? call_method(params.get(), names.copy) : Ref();
    Method update = request_params ? method_of(request_params.get(), names.update) : Method();
    Ref limit_text = update ? Ref::steal(PyObject_Str(db_limit)) : Ref();
    Ref items = limit_text ? Ref::steal(PyDict_New()) : Ref();
    if (!items || PyDict_SetItem(items.get(), names.limit, limit_text.get()) < 0 || !update(items.get())) {
        return nullptr;
    }
    Ref path_url = getattr(request, names.path_url);
    Ref url = path_url ? add(path_url.get(), names.query_mark) : Ref();
    Ref query = url ? call_global(names.urlencode, request_params.get()) : Ref();
    return query ? add(url.get(), query.get()).release() : nullptr;
}

PyObject* check_db_limit_overflow(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];

    // Only reads are limited; writes are never redirected.
    Ref method = getattr(request, names.method);
    const int not_get = method ? differs(method.get(), names.GET) : -1;
    if (not_get != 0) {
        return not_get < 0 ? nullptr : Py_NewRef(Py_None);
    }
    Ref db_id = getattr(self, names.db_id);
    Ref key = db_id ? format_text(kDbLimitKey, db_id.get()) : Ref();
    Ref registry = key ? getattr(request, names.registry) : Ref();
    Ref ini_settings = registry ? getattr(registry.get(), names.settings) : Ref();
    Ref db_limit = ini_settings ? get_item(ini_settings.get(), key.get()) : Ref();
    Ref get_url_param = db_limit ? module_global(names.get_url_param) : Ref();
    Ref int_type = get_url_param ? module_global(names.int_type) : Ref();
    Ref limit = int_type ? call(get_url_param.get(), request, names.limit, Py_None, int_type.get()) : Ref();
    if (!limit) {
        return nullptr;
    }
    // The configured value is a default, not a maximum: a request that names
    // its own limit is served with it.
    if (db_limit.get() == Py_None || limit.get() != Py_None) {
        Py_RETURN_NONE;
    }
    Ref found = module_global(names.HTTPFound);
    Ref location = found ? call_method(self, names._get_db_limit_url, request, db_limit.get()) : Ref();
    Ref exception = location ? call_kw(found.get(), state.kw_location, location.get()) : Ref();
    return exception ? raise(std::move(exception)) : nullptr;
}

}  // namespace

const FunctionDef root_basic_get_db_limit_url_def{"RootBasic._get_db_limit_url", {"self", "request", "db_limit"},
                                                  get_db_limit_url};
const FunctionDef root_basic_check_db_limit_overflow_def{"RootBasic._check_db_limit_overflow", {"self", "request"},
                                                         check_db_limit_overflow};

}  // namespace roots
