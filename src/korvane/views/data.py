"""Views of the data routes: stored queries, data discovery, request
status, stored credentials and the data-discovery URL service."""

from urllib.parse import quote, unquote, urlencode

from pyramid.httpexceptions import HTTPBadRequest, HTTPForbidden, HTTPMethodNotAllowed, HTTPNotFound
from pyramid.security import NO_PERMISSION_REQUIRED, ACLDenied
from pyramid.view import view_config

from korvane.app.routes import route_path
from korvane.config_storage import CredentialRecord
from korvane.constants import ADMIN_USER_ID, DATA_FORMATS, PUBLIC_USER_ID
from korvane.request_status import StatusCodes
from korvane.utils import get_model
from korvane.views import sqlite
from korvane.views.changes import (
    all_users,
    check_database_access,
    created,
    drop_same_id,
    exists_conflict,
    fresh_caller,
    json_object,
    missing,
    no_content,
    section,
    shown,
    still_allowed,
    take_new_id,
    write,
)
from korvane.views.common import (
    ESCAPED_CHARS,
    may_browse,
    name_value_pairs,
    read_only,
    requested_limit,
    shown_fields,
    strip_extension,
)
from korvane.views.predicates import dd_url_body_problem
from korvane.views.render import data_response, json_response, table_response

# --- stored queries ------------------------------------------------------------


@view_config(route_name="queries", request_method="GET", permission="execute_query")
def list_queries(context, request):
    return json_response(
        request,
        {
            "queries": [
                {
                    "query_id": query_id,
                    "description": query.description,
                    "database": query.database,
                    "methods": [method for method, enabled in query.http_methods.items() if enabled],
                    "url": request.application_url + route_path("query", query_id=query_id),
                }
                for query_id, query in context.query_configs.items()
            ]
        },
    )


def rows_wanted(context, limit):
    """The rows to fetch: none for a schema request, which describes the
    columns alone (and must not be refused for the rows it does not show)."""
    return 0 if context.is_schema_request else limit


@view_config(route_name="query", request_method="GET", permission="execute_query")
def execute_query(context, request):
    """Run the stored query with the name/value pairs of the path bound
    as its named parameters: ``/query/customers_by_country/country/DE``
    runs it with ``:country`` = "DE"."""
    request.request_status.add_status(StatusCodes.EXECUTING)
    # The context substituted the values in the segments as received; they
    # are decoded once, here.
    segments = [unquote(segment, encoding="utf-8") for segment in context.url_segments]
    parameters = name_value_pairs(strip_extension(segments, context.request_extension))
    limit = requested_limit(request)
    sql = context.query_config.sql
    if not sql:
        raise read_only("Running query '{}', which has no SQL,".format(context.query_id))
    columns, rows = sqlite.run(
        context.db_config,
        sql,
        parameters,
        rows_wanted(context, limit),
        what="Query '{}'".format(context.query_id),
        **sqlite.execution_limits(request),
    )
    meta = {
        "query_id": context.query_id,
        "database": context.db_id,
        "parameters": parameters,
        "limit": limit,
    }
    return table_response(
        request, context.response_format, columns, rows, meta, schema=context.is_schema_request
    )


@view_config(route_name="query", request_method=("POST", "PUT", "DELETE"), permission="execute_query")
def execute_query_write(context, request):
    raise read_only("Running a stored query with {}".format(request.method))


# --- data discovery -----------------------------------------------------------


@view_config(route_name="dd", request_method="GET", permission="authenticated")
def data_discovery(context, request):
    """``/dd/DB`` lists the tables of a database, ``/dd/DB/TABLE`` its
    rows, ``/dd/DB/TABLE/COLUMN/VALUE/...`` the rows with those values."""
    model = get_model(context.config_storage.databases, context.db_id, retry=request)
    # No tables, or a 404 for a table, would be a wrong answer for a
    # database whose file cannot be read.
    model.check_readable()
    segments = strip_extension(context.url_segments, context.request_extension)
    if not segments:
        tables = {table: list(columns) for table, columns in model.tables.items()}
        return data_response(
            request,
            context.response_format,
            {"database": context.db_id, "tables": tables},
            "database",
            table=(
                ["table", "column"],
                [(table, column) for table, columns in tables.items() for column in columns],
            ),
        )
    table, filters = segments[0], name_value_pairs(segments[1:])
    if table not in model:
        raise HTTPNotFound(
            explanation="Table '{}' not found in database '{}'.".format(table, context.db_id)
        )
    for column in filters:
        if column not in model.columns(table):
            raise HTTPNotFound(explanation="Column '{}' not found in table '{}'.".format(column, table))
    limit = requested_limit(request)
    columns, rows = sqlite.select_rows(
        context.db_config, table, filters, rows_wanted(context, limit), **sqlite.execution_limits(request)
    )
    meta = {"database": context.db_id, "table": table, "filters": filters, "limit": limit}
    return table_response(
        request, context.response_format, columns, rows, meta, schema=context.is_schema_request
    )


# --- request status -------------------------------------------------------------


def _visible(context, tracker):
    if context.authenticated_user_id == "admin":
        return True
    metadata = tracker.metadata
    return (
        metadata.get("query_id") in context.query_configs
        or metadata.get("user_id") == context.authenticated_user_id
    )


def _status_registry(context):
    return context.settings["request_status_registry"]


@view_config(route_name="statuses", request_method="GET", permission="view_request_status")
def request_statuses(context, request):
    """The requests of queries the caller may run, and the caller's own."""
    trackers = _status_registry(context).find()
    return json_response(
        request, {"requests": [tracker.as_dict() for tracker in trackers if _visible(context, tracker)]}
    )


@view_config(route_name="status", request_method="GET", permission="view_request_status")
def request_status(context, request):
    request_id = request.matchdict["request_id"]
    tracker = _status_registry(context).get(request_id)
    if tracker is None or not _visible(context, tracker):
        raise HTTPNotFound(explanation="Request '{}' not found.".format(request_id))
    return json_response(request, tracker.as_dict())


# --- stored credentials ---------------------------------------------------------


def _credentials_database(context):
    if context.db_config is None:
        raise HTTPNotFound(explanation="Database '{}' not found.".format(context.db_id))


def _credentials_change(context, data, entry=None):
    """Check a change of stored credentials on the store as it is under the
    lock: the caller must reach the database (credentials kept for a
    database they cannot use would be theirs to hold, and would keep the
    administrator from removing it) and still hold the right the context
    granted: ``create`` in their ``dbcreds``, or a place in the ``edit``
    list of the credentials ``entry``."""
    caller_id = context.authenticated_user_id
    caller = fresh_caller(data, caller_id)
    check_database_access(caller_id, caller, context.db_id)
    if caller_id == ADMIN_USER_ID:
        return
    if entry is None:
        still_allowed("create" in caller.dbcreds, "store credentials")
    else:
        still_allowed(caller_id in CredentialRecord(entry).edit, "change these credentials")


def _holds_credentials_right(context):
    """Whether the caller holds "view" in their ``dbcreds`` (or is the
    administrator): what the context grants listing for on its own."""
    user_id = context.authenticated_user_id
    return user_id == ADMIN_USER_ID or "view" in (getattr(context.authenticated_user_config, "dbcreds", None) or ())


def _refused(context, request, permission):
    """The refusal Pyramid answers a view with when the context's ACL
    denies ``permission``: the same 403, naming the permission."""
    principals = request.effective_principals
    return HTTPForbidden(
        "Unauthorized: {} failed permission check".format(permission),
        result=ACLDenied("<narrowed by the view>", context.__acl__, permission, principals, context),
    )


@view_config(route_name="dbcredentials", request_method="GET", permission="list_dbcredentials")
def list_credentials(context, request):
    # The context also grants listing, to everybody, to the browser
    # interface's dialog that assigns credentials to a query (marked by
    # "guidata" and "guiassign").  The dialog serves a signed-in user who
    # works with the database: anybody else is refused as without the
    # marks, before the database is looked up, so that the refusal does
    # not tell which databases exist.
    if not _holds_credentials_right(context) and (
        context.authenticated_user_id == PUBLIC_USER_ID or not may_browse(context, context.db_id)
    ):
        raise _refused(context, request, "list_dbcredentials")
    _credentials_database(context)
    container = context.dbc_config
    entries = {} if container is None else container.credentials
    return json_response(
        request,
        {
            "database": context.db_id,
            "credentials": {
                dbc_id: {"description": entry.description} for dbc_id, entry in entries.items()
            },
        },
    )


@view_config(route_name="dbcredentials", request_method="POST", permission="create_dbcredentials")
def create_credentials(context, request):
    _credentials_database(context)
    db_id = context.db_id
    body = json_object(request)
    dbc_id = take_new_id(body, "dbc_id")
    # The creator keeps access to what they stored unless the body says who.
    for field in ("view", "edit"):
        body.setdefault(field, [context.authenticated_user_id])

    def change(data):
        if db_id not in section(data, "databases"):
            raise missing("Database", db_id)
        _credentials_change(context, data)
        entries = section(data, "credentials").setdefault(db_id, {})
        if dbc_id in entries:
            raise exists_conflict("Credentials", dbc_id)
        CredentialRecord(body, key=dbc_id).validate(all_users=all_users(data))
        entries[dbc_id] = body

    write(request, change, "Credentials '{}' of database '{}' stored".format(dbc_id, db_id))
    return created(
        request, "dbcredential", shown(body, db_id=db_id, dbc_id=dbc_id), db_id=db_id, dbc_id=dbc_id
    )


@view_config(route_name="dbcredential", request_method="GET", permission="view_dbcredentials")
def show_credentials(context, request):
    _credentials_database(context)
    entry = context.db_credentials
    if entry is None:
        raise HTTPNotFound(
            explanation="Credentials '{}' of database '{}' not found.".format(context.dbc_id, context.db_id)
        )
    fields = shown_fields(entry)
    if not _holds_credentials_right(context):
        # Reached through the browser dialog's marks alone: only the fields
        # credentials are made of, never one a hand edit of the store added
        # (which could hold a secret under another name).
        fields = {name: value for name, value in fields.items() if name in CredentialRecord.schema}
    return json_response(request, dict(fields, db_id=context.db_id, dbc_id=context.dbc_id))


def _existing_credentials(context):
    _credentials_database(context)
    if context.db_credentials is None:
        raise missing("Credentials '{}' of database".format(context.dbc_id), context.db_id)


@view_config(route_name="dbcredential", request_method="PUT", permission="update_dbcredentials")
def update_credentials(context, request):
    _existing_credentials(context)
    db_id, dbc_id = context.db_id, context.dbc_id
    body = json_object(request)
    drop_same_id(body, "dbc_id", dbc_id)

    def change(data):
        entries = section(data, "credentials").get(db_id) or {}
        before = entries.get(dbc_id)
        if not isinstance(before, dict):
            raise missing("Credentials '{}' of database".format(dbc_id), db_id)
        _credentials_change(context, data, before)
        # The password is never shown, so a client cannot send it back:
        # leaving it out keeps it.
        if "password" not in body and "password" in before:
            body["password"] = before["password"]
        CredentialRecord(body, key=dbc_id).validate(all_users=all_users(data))
        entries[dbc_id] = body

    write(request, change, "Credentials '{}' of database '{}' changed".format(dbc_id, db_id))
    return json_response(request, shown(body, db_id=db_id, dbc_id=dbc_id))


@view_config(route_name="dbcredential", request_method="DELETE", permission="delete_dbcredentials")
def delete_credentials(context, request):
    _existing_credentials(context)
    db_id, dbc_id = context.db_id, context.dbc_id

    def change(data):
        credentials = section(data, "credentials")
        entries = credentials.get(db_id) or {}
        if not isinstance(entries.get(dbc_id), dict):
            raise missing("Credentials '{}' of database".format(dbc_id), db_id)
        _credentials_change(context, data, entries[dbc_id])
        del entries[dbc_id]
        if not entries:
            credentials.pop(db_id, None)

    write(request, change, "Credentials '{}' of database '{}' removed".format(dbc_id, db_id))
    return no_content(request)


# --- data-discovery URLs --------------------------------------------------------

# The context grants no permission (its ACL stays deny-all): it checks the
# caller's access to the database itself and raises when it is missing, so
# reaching the view is the permission.


@view_config(route_name="dd_url", request_method="POST", permission=NO_PERMISSION_REQUIRED)
def dd_url(context, request):
    special = {
        "wildcard": context.wildcard,
        "separator": context.separator,
        "null_placeholder": context.null_placeholder,
    }
    if request.matchdict["action"] == "parse":
        segments = list(context.url_segments)
        return json_response(
            request,
            dict(
                special,
                path=context.path,
                database=context.db_id,
                table=segments[0] if segments else None,
                filters=name_value_pairs(segments[1:]),
                segments=segments,
            ),
        )
    return json_response(request, dict(special, **_built_url(context, request)))


def _segment_value(value, numbers=True):
    """Whether ``value`` makes a data-discovery path segment: a non-empty
    text or, where ``numbers``, a number (not a boolean)."""
    if isinstance(value, str):
        return value != ""
    return numbers and isinstance(value, (int, float)) and not isinstance(value, bool)


def _built_url(context, request):
    """The data-discovery URL of the body's database, "table", "filters"
    (column -> value) and "format"."""
    body = request.json_body
    table, filters, format_ = body.get("table"), body.get("filters") or {}, body.get("format")
    if not isinstance(filters, dict) or (table is None and filters):
        raise HTTPBadRequest(explanation="Member 'filters' must be an object, and needs a 'table'.")
    # Each becomes a path segment as str() writes it: null would come out as
    # "None", a list as its Python form, and an empty text as "//".
    if table is not None and not _segment_value(table, numbers=False):
        raise HTTPBadRequest(explanation="Member 'table' must be a non-empty text.")
    if not all(_segment_value(column, numbers=False) and _segment_value(value) for column, value in filters.items()):
        raise HTTPBadRequest(explanation="Member 'filters' must map column names to non-empty texts or numbers.")
    if format_ is not None and format_ not in DATA_FORMATS:
        raise HTTPBadRequest(explanation="Member 'format' must be one of: {}.".format(", ".join(DATA_FORMATS)))
    parts = [] if table is None else [table, *(item for pair in filters.items() for item in pair)]
    escaped, substitutions = context.build_escaped_url(parts, list(ESCAPED_CHARS))
    path = "/dd/" + quote(context.db_id, safe="")
    if escaped:
        # The extension always closes the path, so a value with a dot in
        # the last segment is not mistaken for one.
        path += "/" + "/".join(quote(segment, safe="$") for segment in escaped)
        path += "." + (format_ or context.settings["default_extension"])
    elif format_:
        substitutions = dict(substitutions, format=format_)
    query = urlencode(substitutions)
    return {
        "database": context.db_id,
        "url": request.application_url + path + ("?" + query if query else ""),
        "segments": escaped,
        "substitutions": substitutions,
    }


@view_config(route_name="dd_url_refused", permission="view")
def dd_url_refused(context, request):
    problem = dd_url_body_problem(request)
    if problem == "method":
        raise HTTPMethodNotAllowed(
            explanation="The data-discovery URL service takes POST only.", headers={"Allow": "POST, OPTIONS"}
        )
    raise HTTPBadRequest(explanation=problem)
