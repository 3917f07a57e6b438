#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

PyObject* dbmodel_init(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kDbmodelInit{"DBModel.__init__", {"self", "request"}, dbmodel_init};

const MethodEntry kDBModelMethods[] = {
    {MethodKind::Method, &kDbmodelInit},
};

PyObject* dbmodels_init(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kDbmodelsInit{"DBModels.__init__", {"self", "request"}, dbmodels_init};

const MethodEntry kDBModelsMethods[] = {
    {MethodKind::Method, &kDbmodelsInit},
};

}  // namespace

const MethodTable db_model_methods{kDBModelMethods};
const MethodTable db_models_methods{kDBModelsMethods};

}  // namespace roots
