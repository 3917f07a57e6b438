// Interned names and fixed texts, made once when the module initialises.
//
// Every attribute name, mapping key, import name and fixed message that the
// module hands to the interpreter is listed here exactly once.  `names.x` is a
// borrowed, immortal-for-our-purposes reference: the table is never released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "roots/module/names_config_resources.hpp"
#include "roots/module/names_data_resources.hpp"

namespace roots {

// The module's qualified name, under which it registers in sys.modules.
inline constexpr char kModuleName[] = "korvane.roots";

// Names whose text is the C++ identifier itself.
#define ROOTS_IDENTIFIERS(X)                                                            \
    /* module plumbing */                                                               \
    X(__module__) X(__qualname__) X(__classcell__) X(__init__) X(__name__) X(__acl__)   \
    X(__getattr__) X(__getattribute__)                                                  \
    X(replace) X(name) X(obj)                                                           \
    X(co_argcount) X(co_nlocals) X(co_varnames) X(co_name) X(co_qualname)               \
    X(getLogger) X(warning) X(debug) X(format)                                          \
    /* sibling modules and framework names read from the globals */                     \
    X(itertools) X(logging) X(os) X(urlparse) X(urlencode) X(quote) X(asbool)           \
    X(HTTPForbidden) X(HTTPFound) X(HTTPMethodNotAllowed) X(HTTPNotFound)               \
    X(HTTPNotImplemented) X(HTTPMovedPermanently) X(HTTPPermanentRedirect)              \
    X(DENY_ALL) X(Allow) X(Authenticated) X(Deny) X(Everyone) X(has_permission)         \
    X(ALL_PERMISSIONS) X(ApikeyAuthenticationPolicy) X(STD_HTTP_METHODS)                \
    X(DEFAULT_SEPARATOR) X(DEFAULT_WILDCARD) X(DEFAULT_NULL_PLACEHOLDER)                \
    X(HTTPUnsupportedFormat) X(get_model) X(get_reversed_url_substitution_params)       \
    X(segments_substitution) X(get_url_param) X(get_url_substitution_params)            \
    X(replace_patterns) X(requested_data_format) X(get_authenticated_user)              \
    X(remove_multiple_url_slashes) X(split_path) X(StatusCodes)                         \
    X(gui_response_exception) X(log) X(check_apikey_querystring)                        \
    X(CHECK_REQUEST_AUTH) X(REQUEST_PREPROCESS) X(find_api_key)                         \
    /* request */                                                                       \
    X(request) X(registry) X(settings) X(params) X(GET) X(method) X(path) X(path_info)  \
    X(path_url) X(path_segments) X(raw_uri) X(host_url) X(query_string) X(charset) X(splitext) X(lstrip)      \
    X(json) X(matchdict) X(response) X(headers) X(add) X(request_status) X(add_status)  \
    X(update_metadata) X(startswith) X(endswith) X(copy) X(update) X(get) X(items)      \
    X(keys) X(values)                                                                   \
    /* settings keys */                                                                 \
    X(krv_settings) X(auth_settings) X(config_storage) X(process_registry)              \
    X(url_substitution) X(apikey_name) X(appid_name) X(allow_apikey_in_query_string)    \
    X(default_extension) X(access_denied_msg) X(wildcard) X(separator)                  \
    /* store and records */                                                             \
    X(users) X(databases) X(querydefs) X(pull) X(from_memcache) X(get_credentials)      \
    X(credentials) X(password) X(user_id) X(querydef) X(dbdef) X(userdef) X(dbcreds)    \
    X(view) X(edit) X(creator) X(validate) X(all_users) X(read) X(write) X(execute)     \
    X(http_methods) X(query_id) X(database) X(create)                                   \
    /* context attributes and methods */                                                \
    X(ini_settings) X(authenticated_user_id) X(authenticated_user_config)               \
    X(reversed_url_substitution) X(url_segments) X(request_extension) X(db_id)          \
    X(db_config) X(query_config) X(check_authenticated_user) X(acl_allow) X(acl_deny)   \
    X(is_schema_request) X(validate_upload) X(schema) X(limit) X(format_redirect_map)   \
    X(formats) X(supported) X(illegal) X(not_implemented) X(check_data_format)          \
    X(redirect_request_format) X(response_format) X(request_format)                     \
    X(_check_db_limit_overflow) X(_get_db_limit_url) X(_check_db_access_permissions)    \
    X(extension) X(db_configs) X(admin_for_dbs) X(query_configs)                        \
    X(executable_queries) X(viewable_queries) X(is_admin) X(viewable) X(editable)       \
    X(executable) X(only_executable) X(privileged_access) X(self_edit)                  \
    X(allowed_to_view) X(allowed_to_edit) X(limited_edit) X(user_config)                \
    X(user_configs) X(get_acl) X(get_configs) X(_set_acl) X(_db_configs)               \
    X(_validate_http_method) X(get_query_info) X(get_db) X(configure_authorization)     \
    X(substitution_params) X(dbc_id) X(dbc_config) X(db_credentials) X(setup_acl)       \
    X(guidata) X(guiassign) X(null_placeholder) X(nullStr) X(other_segments)            \
    X(_set_special_attributes_from_request) X(retry) X(explanation) X(location)         \
    X(check_ext)                                                                        \
    /* permissions */                                                                   \
    X(authenticated) X(querystudio_editor) X(create_query) X(view_querydefslist)        \
    X(view_model) X(view_modelslist) X(view_databaseslist) X(view_database)             \
    X(edit_database) X(execute_database) X(add_database) X(view_userslist)              \
    X(view_user) X(edit_user) X(create_user) X(execute_query) X(view_dbcredentials)     \
    X(list_dbcredentials) X(create_dbcredentials) X(update_dbcredentials)               \
    X(delete_dbcredentials)                                                             \
    /* the classes */                                                                   \
    X(RootContext) X(DefaultRoot) X(RootBasic) X(DataFormatRoot) X(Querystudio)        \
    X(DBModel) X(DBModels) X(QuerydefsList) X(Querydef) X(NewQuerydef) X(DBDef)         \
    X(DBDefsList) X(NewDBDef) X(UserdefsList) X(Userdef) X(NewUserdef)                  \
    X(ExecuteQueryList) X(ExecuteQuery) X(DataDiscovery) X(RequestStatus)               \
    X(DBCredentialsRoot) X(DDURLParserBuilderRoot)                                      \
    /* fixed user ids and data formats */                                               \
    X(admin) X(html) X(xsd) X(xml)

// Names and texts that are not C++ identifiers: (C++ name, text).
#define ROOTS_TEXTS(X)                                                                  \
    X(module_name, kModuleName)                                                     \
    X(source_file, "korvane\\roots")                                                    \
    X(logger_name, "korvane")                                                           \
    X(static_prefix, "/static/")                                                        \
    X(warning_header, "Warning")                                                        \
    X(empty, "")                                                                        \
    X(dot, ".")                                                                         \
    X(dotdot, "..")                                                                     \
    X(slash, "/")                                                                       \
    X(query_mark, "?")                                                                  \
    X(amp, "&")                                                                         \
    X(path_safe, "/:@!$&'()*+,;=")                                                      \
    X(method_put, "PUT")                                                                \
    X(method_post, "POST")                                                              \
    X(parse, "parse")                                                                   \
    X(build, "build")                                                                   \
    X(setting_null_str, "datadiscovery.null_str")                                       \
    X(apikey_query_warning,                                                             \
      "Authentication through query parameters is not recommended. Consider using "     \
      "HTTP headers instead.")                                                          \
    X(apikey_query_denied,                                                              \
      "Authentication through query parameter denied, due to "                          \
      "'allow_apikey_in_query_string' setting.")                                        \
    X(admin_password_unset, "Admin user password has to be set.")                       \
    X(fixed_path_warning, "Redirected to a fixed path")                                 \
    X(unrecognized_dd_method, "Unrecognized Data Discovery url method")                 \
    X(public_user, "public")                                                            \
    X(int_type, "int")                                                                  \
    X(str_type, "str")

struct Names {
#define ROOTS_DECLARE_IDENTIFIER(id) PyObject* id;
#define ROOTS_DECLARE_TEXT(id, text) PyObject* id;
    ROOTS_IDENTIFIERS(ROOTS_DECLARE_IDENTIFIER)
    ROOTS_TEXTS(ROOTS_DECLARE_TEXT)
    ROOTS_CONFIG_RESOURCE_NAMES(ROOTS_DECLARE_IDENTIFIER)
    ROOTS_DATA_RESOURCE_NAMES(ROOTS_DECLARE_IDENTIFIER)
#undef ROOTS_DECLARE_IDENTIFIER
#undef ROOTS_DECLARE_TEXT
};

extern Names names;

// Interns every name; returns -1 with an error set on failure.  Idempotent.
int intern_names();

// Empties the table so that the next `intern_names` builds it afresh.  With
// `release` the table's references are dropped; without, the pointers are
// only forgotten (after the interpreter that owned them has finalised).
void forget_names();

}  // namespace roots
