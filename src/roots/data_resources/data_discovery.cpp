#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

PyObject* data_discovery_init(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kDataDiscoveryInit{"DataDiscovery.__init__", {"self", "request"}, data_discovery_init};

PyObject* data_discovery_configure_authorization(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kDataDiscoveryConfigureAuthorization{"DataDiscovery.configure_authorization", {"self"}, data_discovery_configure_authorization};

const MethodEntry kDataDiscoveryMethods[] = {
    {MethodKind::Method, &kDataDiscoveryInit},
    {MethodKind::Method, &kDataDiscoveryConfigureAuthorization},
};

}  // namespace

const MethodTable data_discovery_methods{kDataDiscoveryMethods};

}  // namespace roots
