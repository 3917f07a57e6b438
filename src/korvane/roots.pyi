"""Root factories of the server's routes: each class is called with the
request and the instance becomes the request's context."""

import logging
from typing import Any, ClassVar, NoReturn, TypeAlias

# An ACL entry is (action, principal, permission): Allow or Deny; Everyone,
# Authenticated or "admin"; one permission name, a tuple or a list of names.
_AclEntry: TypeAlias = tuple[str, str, Any]
_Acl: TypeAlias = list[_AclEntry]
# HTTP method -> list name ("supported", "illegal") -> data format names.
_Formats: TypeAlias = dict[str, dict[str, list[str]]]
# A configuration store record (user, database or query definition).
_Record: TypeAlias = Any
# The framework's request object.
_Request: TypeAlias = Any

# Names the module body imports from the framework and korvane.constants
# that are plain values (the imported classes and functions are not listed).
Allow: str
Deny: str
Everyone: str
Authenticated: str
DENY_ALL: tuple[str, str, Any]
STD_HTTP_METHODS: tuple[str, ...]
DEFAULT_SEPARATOR: str
DEFAULT_WILDCARD: str
DEFAULT_NULL_PLACEHOLDER: str

log: logging.Logger

def check_apikey_querystring(krv_settings: dict[str, Any], request: _Request) -> None: ...

class RootContext:
    url_segments: list[str] | None
    format: str | None
    request_extension: str
    db_id: str | None
    db_config: _Record | None
    query_id: str | None
    query_config: _Record | None
    authenticated_user_id: str | None
    authenticated_user_config: _Record | None
    settings: dict[str, Any] | None
    request: _Request | None
    # Set by the initialiser and read by the views.
    ini_settings: dict[str, Any]
    krv_settings: dict[str, Any]
    auth_settings: dict[str, Any]
    config_storage: Any
    process_registry: Any
    reversed_url_substitution: dict[str, str]
    __acl__: _Acl
    def __init__(self, request: _Request) -> None: ...
    def build_escaped_url(
        self, segments: Any, chars_to_replace: Any, query_string_data: dict[str, Any] | None = None
    ) -> tuple[list[str], dict[str, Any]]: ...
    @property
    def user_db_ids(self) -> frozenset[str]: ...

class DefaultRoot(RootContext):
    def __init__(self, request: _Request) -> None: ...

class RootBasic(RootContext):
    format_redirect_map: ClassVar[dict[str, tuple[str, str]]]
    is_schema_request: bool
    validate_upload: Any
    def __init__(self, request: _Request) -> None: ...
    def check_authenticated_user(self, request: _Request) -> None: ...
    def acl_allow(self) -> None: ...
    def acl_deny(self) -> None: ...
    def _check_db_access_permissions(self) -> None: ...
    def _get_db_limit_url(self, request: _Request, db_limit: Any) -> str: ...
    def _check_db_limit_overflow(self, request: _Request) -> None: ...
    def redirect_request_format(self, request: _Request, response_format: str) -> NoReturn: ...

class DataFormatRoot(RootBasic):
    formats: ClassVar[_Formats]
    response_format: str
    request_format: str
    def __init__(self, request: _Request) -> None: ...
    def check_data_format(self, request_method: str, response_format: str, check_ext: bool = True) -> str: ...

class Querystudio(DataFormatRoot):
    def __init__(self, request: _Request) -> None: ...
    def _set_acl(self) -> None: ...

class DBModel(DataFormatRoot):
    def __init__(self, request: _Request) -> None: ...

class DBModels(DataFormatRoot):
    extension: str | None
    db_configs: dict[str, _Record]
    admin_for_dbs: list[str]
    def __init__(self, request: _Request) -> None: ...

class QuerydefsList(DataFormatRoot):
    query_configs: dict[str, _Record]
    executable_queries: list[str]
    viewable_queries: list[str]
    def __init__(self, request: _Request) -> None: ...
    @staticmethod
    def get_acl(authenticated_user_id: str | None, authenticated_user_config: _Record | None) -> _Acl: ...

class Querydef(DataFormatRoot):
    is_admin: bool
    viewable: bool
    editable: bool
    executable: bool
    only_executable: bool
    def __init__(self, request: _Request) -> None: ...

class NewQuerydef(DataFormatRoot):
    def __init__(self, request: _Request) -> None: ...

class DBDef(DataFormatRoot):
    # A read-only property over RootContext's plain class attribute.
    @property
    def db_config(self) -> _Record | None: ...  # type: ignore[override]
    def __init__(self, request: _Request) -> None: ...

class DBDefsList(DataFormatRoot):
    db_configs: dict[str, _Record]
    def __init__(self, request: _Request) -> None: ...
    @property
    def _db_configs(self) -> dict[str, _Record]: ...

class NewDBDef(DataFormatRoot):
    def __init__(self, request: _Request) -> None: ...

class UserdefsList(DataFormatRoot):
    user_configs: dict[str, _Record]
    def __init__(self, request: _Request) -> None: ...
    @staticmethod
    def get_configs(authenticated_user_id: str | None, permitted: Any, all_user_configs: dict[str, _Record]) -> dict[str, _Record]: ...
    @staticmethod
    def get_acl(authenticated_user_id: str | None, user_configs: dict[str, _Record]) -> _Acl: ...

class Userdef(DataFormatRoot):
    user_id: str | None
    user_config: _Record | None
    privileged_access: bool
    self_edit: bool
    allowed_to_view: set[str]
    allowed_to_edit: set[str]
    limited_edit: bool
    @staticmethod
    def get_acl(userdef_id: str | None, authenticated_user: str | None, user_configs: dict[str, _Record]) -> _Acl: ...
    def __init__(self, request: _Request) -> None: ...

class NewUserdef(DataFormatRoot):
    def __init__(self, request: _Request) -> None: ...
    @staticmethod
    def get_acl(authenticated_user_id: str | None, user_configs: dict[str, _Record]) -> _Acl: ...

class ExecuteQueryList(DataFormatRoot):
    query_configs: dict[str, _Record]
    def __init__(self, request: _Request) -> None: ...

class ExecuteQuery(DataFormatRoot):
    substitution_params: dict[str, str]
    def __init__(self, request: _Request) -> None: ...
    def _validate_http_method(self, request_method: str, std_methods: Any = ()) -> None: ...
    def get_query_info(self) -> tuple[str | None, _Record]: ...
    def check_data_format(self, request_method: str, response_format: str) -> str: ...  # type: ignore[override]
    def get_db(self) -> tuple[str, _Record]: ...
    def segments_substitution(self, segments: list[str]) -> list[str]: ...
    def configure_authorization(self) -> None: ...

class DataDiscovery(RootBasic):
    response_format: str
    request_format: str
    def __init__(self, request: _Request) -> None: ...
    def configure_authorization(self) -> None: ...

class RequestStatus(DataFormatRoot):
    query_configs: dict[str, _Record]
    def __init__(self, request: _Request) -> None: ...

class DBCredentialsRoot(DataFormatRoot):
    dbc_id: str | None
    is_admin: bool
    @property
    def db_config(self) -> _Record | None: ...  # type: ignore[override]
    @property
    def dbc_config(self) -> _Record | None: ...
    @property
    def db_credentials(self) -> Any: ...
    def __init__(self, request: _Request) -> None: ...
    def setup_acl(self, request: _Request) -> None: ...

class DDURLParserBuilderRoot(RootBasic):
    is_admin: bool
    path: Any
    response_format: str
    request_format: str
    wildcard: str
    separator: str
    null_placeholder: str
    @property
    def db_config(self) -> _Record | None: ...  # type: ignore[override]
    def __init__(self, request: _Request) -> None: ...
    def _set_special_attributes_from_request(self, request: _Request) -> None: ...
