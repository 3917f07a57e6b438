// The shape of the module body: which methods each class statement defines.
//
// Each resource family file defines its methods' bodies and one method table
// per class, in the order in which the class body defines them; the class
// catalogue (catalogue.cpp) names the classes, their bases and attributes and
// walks these tables to build the classes.
#pragma once

#include <cstdint>
#include <span>

#include "roots/module/function.hpp"

namespace roots {

enum class MethodKind : std::uint8_t { Method, StaticMethod, Property };

struct MethodEntry {
    MethodKind kind;
    const FunctionDef* function;
};

using MethodTable = std::span<const MethodEntry>;

// The free function.
extern const FunctionDef check_apikey_querystring_def;

// One table per class.
extern const MethodTable root_context_methods;
extern const MethodTable default_root_methods;
extern const MethodTable root_basic_methods;
extern const MethodTable data_format_root_methods;
extern const MethodTable querystudio_methods;
extern const MethodTable db_model_methods;
extern const MethodTable db_models_methods;
extern const MethodTable querydefs_list_methods;
extern const MethodTable querydef_methods;
extern const MethodTable new_querydef_methods;
extern const MethodTable db_def_methods;
extern const MethodTable db_defs_list_methods;
extern const MethodTable new_db_def_methods;
extern const MethodTable userdefs_list_methods;
extern const MethodTable userdef_methods;
extern const MethodTable new_userdef_methods;
extern const MethodTable execute_query_list_methods;
extern const MethodTable execute_query_methods;
extern const MethodTable data_discovery_methods;
extern const MethodTable request_status_methods;
extern const MethodTable db_credentials_methods;
extern const MethodTable dd_url_parser_builder_methods;

// RootBasic's methods that live with the behaviour they implement.
extern const FunctionDef root_basic_get_db_limit_url_def;
extern const FunctionDef root_basic_check_db_limit_overflow_def;
extern const FunctionDef root_basic_redirect_request_format_def;

// Runs the module body: the imports, `log`, the free function and the class
// statements, in source order.  Returns -1 with an error set on failure and
// leaves the source line of the failing statement in `*failed_line`.
int run_module_body(int* failed_line);

}  // namespace roots
