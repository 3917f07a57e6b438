#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

PyObject* dbcredentials_root_db_config(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kDbcredentialsRootDbConfig{"DBCredentialsRoot.db_config", {"self"}, dbcredentials_root_db_config};

PyObject* dbcredentials_root_dbc_config(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kDbcredentialsRootDbcConfig{"DBCredentialsRoot.dbc_config", {"self"}, dbcredentials_root_dbc_config};

PyObject* dbcredentials_root_db_credentials(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kDbcredentialsRootDbCredentials{"DBCredentialsRoot.db_credentials", {"self"}, dbcredentials_root_db_credentials};

PyObject* dbcredentials_root_init(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kDbcredentialsRootInit{"DBCredentialsRoot.__init__", {"self", "request"}, dbcredentials_root_init};

PyObject* dbcredentials_root_setup_acl(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kDbcredentialsRootSetupAcl{"DBCredentialsRoot.setup_acl", {"self", "request"}, dbcredentials_root_setup_acl};

const MethodEntry kDBCredentialsRootMethods[] = {
    {MethodKind::Property, &kDbcredentialsRootDbConfig},
    {MethodKind::Property, &kDbcredentialsRootDbcConfig},
    {MethodKind::Property, &kDbcredentialsRootDbCredentials},
    {MethodKind::Method, &kDbcredentialsRootInit},
    {MethodKind::Method, &kDbcredentialsRootSetupAcl},
};

}  // namespace

const MethodTable db_credentials_methods{kDBCredentialsRootMethods};

}  // namespace roots
