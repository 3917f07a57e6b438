#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {
PyObject* get_db_limit_url(PyObject* const* /*args*/) { return placeholder(); }
PyObject* check_db_limit_overflow(PyObject* const* /*args*/) { return placeholder(); }
}  // namespace

const FunctionDef root_basic_get_db_limit_url_def{"RootBasic._get_db_limit_url", {"self", "request", "db_limit"},
                                                  get_db_limit_url};
const FunctionDef root_basic_check_db_limit_overflow_def{"RootBasic._check_db_limit_overflow", {"self", "request"},
                                                         check_db_limit_overflow};

}  // namespace roots
