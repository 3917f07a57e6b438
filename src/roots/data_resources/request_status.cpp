#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

PyObject* request_status_init(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kRequestStatusInit{"RequestStatus.__init__", {"self", "request"}, request_status_init};

const MethodEntry kRequestStatusMethods[] = {
    {MethodKind::Method, &kRequestStatusInit},
};

}  // namespace

const MethodTable request_status_methods{kRequestStatusMethods};

}  // namespace roots
