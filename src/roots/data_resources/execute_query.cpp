#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

PyObject* execute_query_init(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kExecuteQueryInit{"ExecuteQuery.__init__", {"self", "request"}, execute_query_init};

PyObject* execute_query_validate_http_method(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kExecuteQueryValidateHttpMethod{"ExecuteQuery._validate_http_method", {"self", "request_method", "std_methods"}, execute_query_validate_http_method, Default::EmptyTuple};

PyObject* execute_query_get_query_info(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kExecuteQueryGetQueryInfo{"ExecuteQuery.get_query_info", {"self"}, execute_query_get_query_info};

PyObject* execute_query_check_data_format(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kExecuteQueryCheckDataFormat{"ExecuteQuery.check_data_format", {"self", "request_method", "response_format"}, execute_query_check_data_format};

PyObject* execute_query_get_db(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kExecuteQueryGetDb{"ExecuteQuery.get_db", {"self"}, execute_query_get_db};

PyObject* execute_query_segments_substitution(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kExecuteQuerySegmentsSubstitution{"ExecuteQuery.segments_substitution", {"self", "segments"}, execute_query_segments_substitution};

PyObject* execute_query_configure_authorization(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kExecuteQueryConfigureAuthorization{"ExecuteQuery.configure_authorization", {"self"}, execute_query_configure_authorization};

const MethodEntry kExecuteQueryMethods[] = {
    {MethodKind::Method, &kExecuteQueryInit},
    {MethodKind::Method, &kExecuteQueryValidateHttpMethod},
    {MethodKind::Method, &kExecuteQueryGetQueryInfo},
    {MethodKind::Method, &kExecuteQueryCheckDataFormat},
    {MethodKind::Method, &kExecuteQueryGetDb},
    {MethodKind::Method, &kExecuteQuerySegmentsSubstitution},
    {MethodKind::Method, &kExecuteQueryConfigureAuthorization},
};

}  // namespace

const MethodTable execute_query_methods{kExecuteQueryMethods};

}  // namespace roots
