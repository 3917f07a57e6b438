#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

PyObject* querydefs_list_init(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kQuerydefsListInit{"QuerydefsList.__init__", {"self", "request"}, querydefs_list_init};

PyObject* querydefs_list_get_acl(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kQuerydefsListGetAcl{"QuerydefsList.get_acl", {"authenticated_user_id", "authenticated_user_config"}, querydefs_list_get_acl};

const MethodEntry kQuerydefsListMethods[] = {
    {MethodKind::Method, &kQuerydefsListInit},
    {MethodKind::StaticMethod, &kQuerydefsListGetAcl},
};

PyObject* querydef_init(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kQuerydefInit{"Querydef.__init__", {"self", "request"}, querydef_init};

const MethodEntry kQuerydefMethods[] = {
    {MethodKind::Method, &kQuerydefInit},
};

PyObject* new_querydef_init(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kNewQuerydefInit{"NewQuerydef.__init__", {"self", "request"}, new_querydef_init};

const MethodEntry kNewQuerydefMethods[] = {
    {MethodKind::Method, &kNewQuerydefInit},
};

}  // namespace

const MethodTable querydefs_list_methods{kQuerydefsListMethods};
const MethodTable querydef_methods{kQuerydefMethods};
const MethodTable new_querydef_methods{kNewQuerydefMethods};

}  // namespace roots
