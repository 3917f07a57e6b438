#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

PyObject* execute_query_list_init(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kExecuteQueryListInit{"ExecuteQueryList.__init__", {"self", "request"}, execute_query_list_init};

const MethodEntry kExecuteQueryListMethods[] = {
    {MethodKind::Method, &kExecuteQueryListInit},
};

}  // namespace

const MethodTable execute_query_list_methods{kExecuteQueryListMethods};

}  // namespace roots
