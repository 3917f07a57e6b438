#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

PyObject* default_root_init(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kDefaultRootInit{"DefaultRoot.__init__", {"self", "request"}, default_root_init};

const MethodEntry kDefaultRootMethods[] = {
    {MethodKind::Method, &kDefaultRootInit},
};

PyObject* root_basic_init(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kRootBasicInit{"RootBasic.__init__", {"self", "request"}, root_basic_init};

PyObject* root_basic_check_authenticated_user(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kRootBasicCheckAuthenticatedUser{"RootBasic.check_authenticated_user", {"self", "request"}, root_basic_check_authenticated_user};

PyObject* root_basic_acl_allow(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kRootBasicAclAllow{"RootBasic.acl_allow", {"self"}, root_basic_acl_allow};

PyObject* root_basic_acl_deny(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kRootBasicAclDeny{"RootBasic.acl_deny", {"self"}, root_basic_acl_deny};

PyObject* root_basic_check_db_access_permissions(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kRootBasicCheckDbAccessPermissions{"RootBasic._check_db_access_permissions", {"self"}, root_basic_check_db_access_permissions};

const MethodEntry kRootBasicMethods[] = {
    {MethodKind::Method, &kRootBasicInit},
    {MethodKind::Method, &kRootBasicCheckAuthenticatedUser},
    {MethodKind::Method, &kRootBasicAclAllow},
    {MethodKind::Method, &kRootBasicAclDeny},
    {MethodKind::Method, &kRootBasicCheckDbAccessPermissions},
    {MethodKind::Method, &root_basic_get_db_limit_url_def},
    {MethodKind::Method, &root_basic_check_db_limit_overflow_def},
    {MethodKind::Method, &root_basic_redirect_request_format_def},
};

}  // namespace

const MethodTable default_root_methods{kDefaultRootMethods};
const MethodTable root_basic_methods{kRootBasicMethods};

}  // namespace roots
