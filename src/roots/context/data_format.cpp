#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

PyObject* data_format_root_init(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kDataFormatRootInit{"DataFormatRoot.__init__", {"self", "request"}, data_format_root_init};

PyObject* data_format_root_check_data_format(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kDataFormatRootCheckDataFormat{"DataFormatRoot.check_data_format", {"self", "request_method", "response_format", "check_ext"}, data_format_root_check_data_format, Default::True};

const MethodEntry kDataFormatRootMethods[] = {
    {MethodKind::Method, &kDataFormatRootInit},
    {MethodKind::Method, &kDataFormatRootCheckDataFormat},
};

PyObject* root_basic_redirect_request_format(PyObject* const* /*args*/) { return placeholder(); }

}  // namespace

const FunctionDef root_basic_redirect_request_format_def{
    "RootBasic.redirect_request_format", {"self", "request", "response_format"}, root_basic_redirect_request_format};

const MethodTable data_format_root_methods{kDataFormatRootMethods};

}  // namespace roots
