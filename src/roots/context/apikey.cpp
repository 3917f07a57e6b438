#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {
PyObject* check_apikey_querystring(PyObject* const* /*args*/) { return placeholder(); }
}  // namespace

const FunctionDef check_apikey_querystring_def{
    "check_apikey_querystring", {"krv_settings", "request"}, check_apikey_querystring, Default::Absent,
    "krv_settings", "dict", true};

}  // namespace roots
