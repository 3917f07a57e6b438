#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

PyObject* querystudio_init(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kQuerystudioInit{"Querystudio.__init__", {"self", "request"}, querystudio_init};

PyObject* querystudio_set_acl(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kQuerystudioSetAcl{"Querystudio._set_acl", {"self"}, querystudio_set_acl};

const MethodEntry kQuerystudioMethods[] = {
    {MethodKind::Method, &kQuerystudioInit},
    {MethodKind::Method, &kQuerystudioSetAcl},
};

}  // namespace

const MethodTable querystudio_methods{kQuerystudioMethods};

}  // namespace roots
