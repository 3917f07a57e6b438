#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

PyObject* root_context_init(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kRootContextInit{"RootContext.__init__", {"self", "request"}, root_context_init};

PyObject* root_context_build_escaped_url(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kRootContextBuildEscapedUrl{"RootContext.build_escaped_url", {"self", "segments", "chars_to_replace", "query_string_data"}, root_context_build_escaped_url, Default::None};

PyObject* root_context_user_db_ids(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kRootContextUserDbIds{"RootContext.user_db_ids", {"self"}, root_context_user_db_ids};

const MethodEntry kRootContextMethods[] = {
    {MethodKind::Method, &kRootContextInit},
    {MethodKind::Method, &kRootContextBuildEscapedUrl},
    {MethodKind::Property, &kRootContextUserDbIds},
};

}  // namespace

const MethodTable root_context_methods{kRootContextMethods};

}  // namespace roots
