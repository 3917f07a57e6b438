"""Views of the administrative routes: the query studio, database models,
and query, database and user definitions.

They show what the context collected for the caller.  Changes to
definitions are refused with 501: the demo server is read-only.
"""

from pyramid.httpexceptions import HTTPForbidden
from pyramid.view import view_config

from korvane.utils import get_model
from korvane.views.common import read_only, shown_fields
from korvane.views.render import data_response, json_response

DATABASE_PERMISSIONS = ("view_database", "edit_database", "execute_database")

# --- query studio ---------------------------------------------------------------

# The studio is a browser page: the context hands "html" to the browser
# interface and refuses every other format, so these views stand for the
# permissions the studio needs rather than for pages of their own.


def _studio(context, request):
    return json_response(request, {"query_id": context.query_id, "exists": context.query_config is not None})


@view_config(route_name="querystudio_new", request_method="GET", permission="create_query")
def querystudio_new(context, request):
    return _studio(context, request)


@view_config(route_name="querystudio", request_method="GET", permission="querystudio_editor")
def querystudio(context, request):
    return _studio(context, request)


# --- database models --------------------------------------------------------------


@view_config(route_name="model", request_method="GET", permission="view_model")
def model(context, request):
    """The tables and columns of one database.  A schema request gets the
    same document: a model is the database's schema."""
    tables = get_model(context.config_storage.databases, context.db_id, retry=request).tables
    return data_response(
        request,
        context.response_format,
        {
            "database": context.db_id,
            "description": context.db_config.description,
            "tables": {table: list(columns) for table, columns in tables.items()},
        },
        "model",
        table=(
            ["table", "column"],
            [(table, column) for table, columns in tables.items() for column in columns],
        ),
    )


@view_config(route_name="models", request_method="GET", permission="view_modelslist")
def models(context, request):
    databases = context.config_storage.databases
    listed = {
        db_id: {
            "description": db_config.description,
            "executable": db_id in context.admin_for_dbs,
            "tables": list(get_model(databases, db_id, retry=request).tables),
        }
        for db_id, db_config in context.db_configs.items()
    }
    return data_response(
        request,
        context.response_format,
        {"models": listed},
        "models",
        table=(
            ["database", "table", "executable"],
            [(db_id, table, m["executable"]) for db_id, m in listed.items() for table in m["tables"]],
        ),
    )


# --- query definitions --------------------------------------------------------------


@view_config(route_name="querydefs", request_method="GET", permission="view_querydefslist")
def querydefs(context, request):
    return json_response(
        request,
        {
            "querydefs": [
                {
                    "query_id": query_id,
                    "description": query.description,
                    "database": query.database,
                    "executable": query_id in context.executable_queries,
                    "viewable": query_id in context.viewable_queries,
                }
                for query_id, query in context.query_configs.items()
            ]
        },
    )


@view_config(route_name="querydef", request_method="GET", permission="view_querydef")
def querydef(context, request):
    """The whole definition for those who may view or edit it; a caller who
    may only run the query sees what running it takes."""
    query = context.query_config
    rights = {
        "viewable": context.viewable,
        "editable": context.editable,
        "executable": context.executable,
    }
    if context.only_executable:
        shown = {
            "query_id": context.query_id,
            "description": query.description,
            "database": query.database,
            "methods": [method for method, enabled in query.http_methods.items() if enabled],
        }
    else:
        shown = dict(shown_fields(query), query_id=context.query_id)
    return data_response(request, context.response_format, dict(shown, rights=rights), "querydef")


def _editable_querydef(context, action):
    if not context.editable:
        raise HTTPForbidden(explanation="You may not change query definition '{}'.".format(context.query_id))
    return read_only(action)


@view_config(route_name="querydef", request_method="PUT", permission="edit_querydef")
def querydef_update(context, request):
    raise _editable_querydef(context, "Changing query definitions")


@view_config(route_name="querydef", request_method="DELETE", permission="edit_querydef")
def querydef_delete(context, request):
    raise _editable_querydef(context, "Deleting query definitions")


@view_config(route_name="querydef_new", request_method="POST", permission="create_query")
def querydef_create(context, request):
    raise read_only("Creating query definitions")


# --- database definitions ------------------------------------------------------------


def _database(db_id, db_config):
    return {
        "db_id": db_id,
        "description": db_config.description,
        "read": list(db_config.read),
        "write": list(db_config.write),
        "execute": list(db_config.execute),
    }


@view_config(route_name="databases", request_method="GET", permission="view_databaseslist")
def databases(context, request):
    return json_response(
        request,
        {"databases": [_database(db_id, db_config) for db_id, db_config in context.db_configs.items()]},
    )


@view_config(route_name="database", request_method="GET", permission="view_database")
def database(context, request):
    permits = {name: bool(request.has_permission(name, context)) for name in DATABASE_PERMISSIONS}
    return json_response(request, dict(_database(context.db_id, context.db_config), permits=permits))


@view_config(route_name="database", request_method="PUT", permission="edit_database")
def database_update(context, request):
    raise read_only("Changing database definitions")


@view_config(route_name="database", request_method="DELETE", permission="edit_database")
def database_delete(context, request):
    raise read_only("Deleting database definitions")


@view_config(route_name="database_new", request_method="POST", permission="add_database")
def database_create(context, request):
    raise read_only("Adding database definitions")


# --- user definitions ---------------------------------------------------------------


def _user(user_id, user_config):
    return dict(shown_fields(user_config), user_id=user_id)


@view_config(route_name="users", request_method="GET", permission="view_userslist")
def users(context, request):
    return json_response(
        request, {"users": [_user(user_id, config) for user_id, config in context.user_configs.items()]}
    )


@view_config(route_name="user", request_method="GET", permission="view_user")
def user(context, request):
    return json_response(
        request,
        dict(
            _user(context.user_id, context.user_config),
            self_edit=context.self_edit,
            limited_edit=context.limited_edit,
            allowed_to_view=sorted(context.allowed_to_view),
            allowed_to_edit=sorted(context.allowed_to_edit),
            may_edit=bool(request.has_permission("edit_user", context)),
        ),
    )


@view_config(route_name="user", request_method="PUT", permission="edit_user")
def user_update(context, request):
    raise read_only("Changing user definitions")


@view_config(route_name="user", request_method="DELETE", permission="edit_user")
def user_delete(context, request):
    raise read_only("Deleting user definitions")


@view_config(route_name="user_new", request_method="POST", permission="create_user")
def user_create(context, request):
    raise read_only("Creating user definitions")
