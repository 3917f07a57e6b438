#include "roots/module/api.hpp"
#include "roots/module/catalogue.hpp"

namespace roots {
namespace {

PyObject* dbdef_db_config(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kDbdefDbConfig{"DBDef.db_config", {"self"}, dbdef_db_config};

PyObject* dbdef_init(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kDbdefInit{"DBDef.__init__", {"self", "request"}, dbdef_init};

const MethodEntry kDBDefMethods[] = {
    {MethodKind::Property, &kDbdefDbConfig},
    {MethodKind::Method, &kDbdefInit},
};

PyObject* dbdefs_list_init(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kDbdefsListInit{"DBDefsList.__init__", {"self", "request"}, dbdefs_list_init};

PyObject* dbdefs_list_db_configs(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kDbdefsListDbConfigs{"DBDefsList._db_configs", {"self"}, dbdefs_list_db_configs};

const MethodEntry kDBDefsListMethods[] = {
    {MethodKind::Method, &kDbdefsListInit},
    {MethodKind::Property, &kDbdefsListDbConfigs},
};

PyObject* new_dbdef_init(PyObject* const* /*args*/) { return placeholder(); }
constexpr FunctionDef kNewDbdefInit{"NewDBDef.__init__", {"self", "request"}, new_dbdef_init};

const MethodEntry kNewDBDefMethods[] = {
    {MethodKind::Method, &kNewDbdefInit},
};

}  // namespace

const MethodTable db_def_methods{kDBDefMethods};
const MethodTable db_defs_list_methods{kDBDefsListMethods};
const MethodTable new_db_def_methods{kNewDBDefMethods};

}  // namespace roots
