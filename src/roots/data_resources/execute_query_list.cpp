// ExecuteQueryList: the route that lists the stored queries a user may run.
#include "roots/data_resources/store_reads.hpp"
#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

PyObject* execute_query_list_init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];
    if (super_init(names.ExecuteQueryList, self, request) < 0) {
        return nullptr;
    }

    if (setattr(self, names.authenticated_user_config,
                store_record(self, names.users, names.authenticated_user_id)) < 0) {
        return nullptr;
    }

    Ref get_reversed = module_global(names.get_reversed_url_substitution_params);
    Ref params = get_reversed ? getattr(request, names.params) : Ref();
    Ref settings = params ? getattr(self, names.settings) : Ref();
    Ref url_substitution = settings ? subscript(settings.get(), names.url_substitution) : Ref();
    if (!url_substitution || setattr(self, names.reversed_url_substitution,
                                     call(get_reversed.get(), params.get(), url_substitution.get())) < 0) {
        return nullptr;
    }

    Ref query_configs = Ref::steal(PyDict_New());
    if (setattr(self, names.query_configs, query_configs) < 0) {
        return nullptr;
    }

    Ref user_id = getattr(self, names.authenticated_user_id);
    const int is_admin = user_id ? equals(user_id.get(), names.admin) : -1;
    if (is_admin < 0) {
        return nullptr;
    }
    if (is_admin) {
        // The administrator runs every stored query: the view reads the
        // store's own mapping instead of a copy of all of it.
        Ref querydefs = store_mapping(self, names.querydefs);
        if (setattr(self, names.query_configs, querydefs) < 0 || !call_method(self, names.acl_allow)) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }

    Ref user_config = getattr(self, names.authenticated_user_config);
    const int known_user = user_config ? truth(user_config.get()) : -1;
    if (known_user < 0) {
        return nullptr;
    }
    if (!known_user) {
        // No user record: the route stays closed and the framework refuses the view.
        if (!call_method(self, names.acl_deny)) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    Ref querydefs = store_mapping(self, names.querydefs);
    if (!querydefs || collect_executable_queries(querydefs.get(), user_id.get(), query_configs.get()) < 0 ||
        !call_method(self, names.acl_allow)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}
constexpr FunctionDef kExecuteQueryListInit{"ExecuteQueryList.__init__", {"self", "request"}, execute_query_list_init};

const MethodEntry kExecuteQueryListMethods[] = {
    {MethodKind::Method, &kExecuteQueryListInit},
};

}  // namespace

const MethodTable execute_query_list_methods{kExecuteQueryListMethods};

}  // namespace roots
