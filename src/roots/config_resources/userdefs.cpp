#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

PyObject* userdefs_list_init(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kUserdefsListInit{"UserdefsList.__init__", {"self", "request"}, userdefs_list_init};

PyObject* userdefs_list_get_configs(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kUserdefsListGetConfigs{"UserdefsList.get_configs", {"authenticated_user_id", "permitted", "all_user_configs"}, userdefs_list_get_configs};

PyObject* userdefs_list_get_acl(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kUserdefsListGetAcl{"UserdefsList.get_acl", {"authenticated_user_id", "user_configs"}, userdefs_list_get_acl};

const MethodEntry kUserdefsListMethods[] = {
    {MethodKind::Method, &kUserdefsListInit},
    {MethodKind::StaticMethod, &kUserdefsListGetConfigs},
    {MethodKind::StaticMethod, &kUserdefsListGetAcl},
};

PyObject* userdef_get_acl(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kUserdefGetAcl{"Userdef.get_acl", {"userdef_id", "authenticated_user", "user_configs"}, userdef_get_acl};

PyObject* userdef_init(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kUserdefInit{"Userdef.__init__", {"self", "request"}, userdef_init};

const MethodEntry kUserdefMethods[] = {
    {MethodKind::StaticMethod, &kUserdefGetAcl},
    {MethodKind::Method, &kUserdefInit},
};

PyObject* new_userdef_init(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kNewUserdefInit{"NewUserdef.__init__", {"self", "request"}, new_userdef_init};

PyObject* new_userdef_get_acl(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kNewUserdefGetAcl{"NewUserdef.get_acl", {"authenticated_user_id", "user_configs"}, new_userdef_get_acl};

const MethodEntry kNewUserdefMethods[] = {
    {MethodKind::Method, &kNewUserdefInit},
    {MethodKind::StaticMethod, &kNewUserdefGetAcl},
};

}  // namespace

const MethodTable userdefs_list_methods{kUserdefsListMethods};
const MethodTable userdef_methods{kUserdefMethods};
const MethodTable new_userdef_methods{kNewUserdefMethods};

}  // namespace roots
