#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

PyObject* ddurlparser_builder_root_db_config(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kDdurlparserBuilderRootDbConfig{"DDURLParserBuilderRoot.db_config", {"self"}, ddurlparser_builder_root_db_config};

PyObject* ddurlparser_builder_root_init(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kDdurlparserBuilderRootInit{"DDURLParserBuilderRoot.__init__", {"self", "request"}, ddurlparser_builder_root_init};

PyObject* ddurlparser_builder_root_set_special_attributes_from_request(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kDdurlparserBuilderRootSetSpecialAttributesFromRequest{"DDURLParserBuilderRoot._set_special_attributes_from_request", {"self", "request"}, ddurlparser_builder_root_set_special_attributes_from_request};

const MethodEntry kDDURLParserBuilderRootMethods[] = {
    {MethodKind::Property, &kDdurlparserBuilderRootDbConfig},
    {MethodKind::Method, &kDdurlparserBuilderRootInit},
    {MethodKind::Method, &kDdurlparserBuilderRootSetSpecialAttributesFromRequest},
};

}  // namespace

const MethodTable dd_url_parser_builder_methods{kDDURLParserBuilderRootMethods};

}  // namespace roots
