"""Views of the administrative routes: the query studio, database models,
and query, database and user definitions.

They show what the context collected for the caller, and make the changes
the context allows: each change view is guarded by the permission the
context grants, and checks what the context worked out about the caller
where its ACL grants more broadly than the change may go.
"""

import os

from pyramid.httpexceptions import HTTPBadRequest, HTTPConflict, HTTPForbidden
from pyramid.view import view_config

from korvane.config_storage import DatabaseRecord, QueryRecord, UserRecord
from korvane.auth.apikey import hash_apikey, new_apikey
from korvane.constants import ADMIN_USER_ID, PUBLIC_USER_ID
from korvane.utils import get_model, unreadable_database
from korvane.views.changes import (
    all_users,
    check_database_access,
    check_file_sharing,
    check_rights_handed_on,
    created,
    drop_same_id,
    exists_conflict,
    fresh_caller,
    json_object,
    missing,
    no_content,
    section,
    shown,
    sqlite_file,
    still_allowed,
    take_new_id,
    write,
)
from korvane.views.common import shown_fields
from korvane.views.render import data_response, header_text, json_response
from korvane.views.sqlite import check_compiles

#: Access lists a new definition gets, naming its creator, when the body
#: leaves them out: otherwise the creator could not even see it.
ACCESS_LISTS = ("read", "write", "execute")

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
    db_model = get_model(context.config_storage.databases, context.db_id, retry=request)
    db_model.check_readable()
    tables = db_model.tables
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
    listed = {}
    for db_id, db_config in context.db_configs.items():
        db_model = get_model(databases, db_id, retry=request)
        listed[db_id] = {
            "description": db_config.description,
            "executable": db_id in context.admin_for_dbs,
            "tables": list(db_model.tables),
        }
        if db_model.problem:
            # One unreadable file does not take the listing of the others
            # down; its entry says it has no known tables (null, not an
            # empty list), and a Warning says so in every format.
            problem = unreadable_database(db_id, db_model.problem).explanation
            listed[db_id].update(tables=None, error=problem)
            request.response.headers.add("Warning", header_text(problem))
    return data_response(
        request,
        context.response_format,
        {"models": listed},
        "models",
        table=(
            ["database", "table", "executable"],
            [(db_id, table, m["executable"]) for db_id, m in listed.items() for table in m["tables"] or ()],
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


def _require_editable(context):
    # Querydef opens every permission once the caller holds any right on the
    # definition; only those it found may edit it may change or remove it.
    if not context.editable:
        raise HTTPForbidden(explanation="You may not change query definition '{}'.".format(context.query_id))


def _still_editable(context, data, query):
    """What the context found editable, checked again on the store as it is
    under the lock: the query's writers, holding the right to view query
    definitions."""
    caller_id = context.authenticated_user_id
    if caller_id == ADMIN_USER_ID:
        return
    caller = fresh_caller(data, caller_id)
    still_allowed(caller_id in QueryRecord(query).write and "view" in caller.querydef,
                  "change query definition '{}'".format(context.query_id))


def _still_creating(context, data, rights, what):
    """The right to create, checked again on the store as it is under the
    lock."""
    caller_id = context.authenticated_user_id
    if caller_id != ADMIN_USER_ID:
        still_allowed("create" in getattr(fresh_caller(data, caller_id), rights), what)


def _check_query(context, data, query_id, fields):
    """Validate a query definition against the store document ``data`` and
    compile its SQL on its database."""
    databases = section(data, "databases")
    QueryRecord(fields, key=query_id).validate(all_users=all_users(data), databases=databases)
    db_id = fields["database"]
    caller_id = context.authenticated_user_id
    check_database_access(caller_id, fresh_caller(data, caller_id), db_id)
    path = databases[db_id].get("sqlite_path") if isinstance(databases[db_id], dict) else None
    if not path:
        raise HTTPBadRequest(explanation="Database '{}' is not a local SQLite file; its queries cannot be checked.".format(db_id))
    check_compiles(db_id, os.path.join(context.config_storage.folder, path), fields["sql"])


@view_config(route_name="querydef", request_method="PUT", permission="edit_querydef")
def querydef_update(context, request):
    _require_editable(context)
    query_id = context.query_id
    body = json_object(request)
    drop_same_id(body, "query_id", query_id)

    def change(data):
        querydefs = section(data, "querydefs")
        if query_id not in querydefs:
            raise missing("Query definition", query_id)
        _still_editable(context, data, querydefs[query_id])
        _check_query(context, data, query_id, body)
        querydefs[query_id] = body

    write(request, change, "Query definition '{}' changed".format(query_id))
    return json_response(request, shown(body, query_id=query_id))


@view_config(route_name="querydef", request_method="DELETE", permission="edit_querydef")
def querydef_delete(context, request):
    _require_editable(context)
    query_id = context.query_id

    def change(data):
        querydefs = section(data, "querydefs")
        if query_id not in querydefs:
            raise missing("Query definition", query_id)
        _still_editable(context, data, querydefs[query_id])
        del querydefs[query_id]

    write(request, change, "Query definition '{}' removed".format(query_id))
    return no_content(request)


@view_config(route_name="querydef_new", request_method="POST", permission="create_query")
def querydef_create(context, request):
    body = json_object(request)
    query_id = take_new_id(body, "query_id")
    for field in ACCESS_LISTS:
        body.setdefault(field, [context.authenticated_user_id])

    def change(data):
        querydefs = section(data, "querydefs")
        if query_id in querydefs:
            raise exists_conflict("Query definition", query_id)
        _still_creating(context, data, "querydef", "create query definitions")
        _check_query(context, data, query_id, body)
        querydefs[query_id] = body

    write(request, change, "Query definition '{}' created".format(query_id))
    return created(request, "querydef", shown(body, query_id=query_id), query_id=query_id)


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


def _database_fields(context, request, data, db_id, body, before=None):
    """Validate a database definition (``before``: the one it replaces);
    its file must be a SQLite database inside the data folder (the API
    never names a server elsewhere), and one another database uses only
    where that opens no data to anybody (see ``check_file_sharing``)."""
    if body.get("url") is not None:
        raise HTTPBadRequest(explanation="Only SQLite files inside the data folder can be defined here; 'url' is not accepted.")
    body.pop("url", None)
    folder = context.config_storage.folder
    body["sqlite_path"] = sqlite_file(request, folder, body.get("sqlite_path"))
    DatabaseRecord(body, key=db_id).validate(all_users=all_users(data))
    check_file_sharing(context.authenticated_user_id, data, folder, db_id, body["sqlite_path"], before)


def _still_database_editor(context, data, db_config):
    """What the context granted ``edit_database`` for, checked again on the
    store as it is under the lock: the database's writers ("public" there
    standing for everybody), holding the right to view database
    definitions."""
    caller_id = context.authenticated_user_id
    if caller_id == ADMIN_USER_ID:
        return
    caller = fresh_caller(data, caller_id)
    writers = DatabaseRecord(db_config).write
    still_allowed((caller_id in writers or "public" in writers) and "view" in caller.dbdef,
                  "change database definition '{}'".format(context.db_id))


@view_config(route_name="database", request_method="PUT", permission="edit_database")
def database_update(context, request):
    db_id = context.db_id
    body = json_object(request)
    drop_same_id(body, "db_id", db_id)

    def change(data):
        databases = section(data, "databases")
        if db_id not in databases:
            raise missing("Database definition", db_id)
        _still_database_editor(context, data, databases[db_id])
        _database_fields(context, request, data, db_id, body, databases[db_id])
        databases[db_id] = body

    write(request, change, "Database definition '{}' changed".format(db_id))
    return json_response(request, _database(db_id, DatabaseRecord(body)))


@view_config(route_name="database", request_method="DELETE", permission="edit_database")
def database_delete(context, request):
    db_id = context.db_id

    def change(data):
        databases = section(data, "databases")
        if db_id not in databases:
            raise missing("Database definition", db_id)
        _still_database_editor(context, data, databases[db_id])
        # Removing a database that queries or credentials still refer to
        # would leave them broken: they go first.
        users = sorted(q for q, query in section(data, "querydefs").items() if query.get("database") == db_id)
        if users or section(data, "credentials").get(db_id):
            raise HTTPConflict(
                explanation="Database '{}' is still used by {}; remove those first.".format(
                    db_id,
                    ", ".join(["query definition '{}'".format(q) for q in users]
                              + (["its stored credentials"] if section(data, "credentials").get(db_id) else [])),
                )
            )
        del databases[db_id]
        # As a removed user leaves every access list: a database made later
        # under the same id must not be open to those who held this one.
        for record in section(data, "users").values():
            if isinstance(record, dict) and isinstance(record.get("databases"), list) and db_id in record["databases"]:
                record["databases"] = [d for d in record["databases"] if d != db_id]

    write(request, change, "Database definition '{}' removed".format(db_id))
    return no_content(request)


@view_config(route_name="database_new", request_method="POST", permission="add_database")
def database_create(context, request):
    body = json_object(request)
    db_id = take_new_id(body, "db_id")
    for field in ACCESS_LISTS:
        body.setdefault(field, [context.authenticated_user_id])

    def change(data):
        databases = section(data, "databases")
        if db_id in databases:
            raise exists_conflict("Database definition", db_id)
        _still_creating(context, data, "dbdef", "create database definitions")
        _database_fields(context, request, data, db_id, body)
        databases[db_id] = body

    write(request, change, "Database definition '{}' created".format(db_id))
    return created(request, "database", _database(db_id, DatabaseRecord(body)), db_id=db_id)


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


#: What a user who edits their own definition only because it is theirs
#: (``limited_edit``) may not change: their rights and who controls the
#: definition.
PROTECTED_FIELDS = UserRecord.rights_fields + ("view", "edit", "creator")
#: Fields a change keeps when the body leaves them out: secrets are never
#: shown, so a client cannot send them back, and the creator is history.
KEPT_FIELDS = ("password", "apikey_hash", "apikey", "creator")


def _user_editor(context, data, user_id, before):
    """The caller's user definition as the store has it under the lock, and
    whether they edit ``before`` (user ``user_id``) only because it is
    their own (``limited_edit``).  The right to edit, found by the context
    when the request began, is checked again: the user themself, or, for
    who holds the right to view user definitions, those its ``edit`` list
    names."""
    caller_id = context.authenticated_user_id
    caller = fresh_caller(data, caller_id)
    if caller_id == ADMIN_USER_ID:
        return caller, False
    editors = UserRecord(before).edit
    own = caller_id == user_id
    if "view" in caller.userdef:
        allowed = caller_id in editors or (own and caller_id != PUBLIC_USER_ID)
    else:
        allowed = own
    still_allowed(allowed, "change user definition '{}'".format(user_id))
    return caller, own and caller_id not in editors


@view_config(route_name="user", request_method="PUT", permission="edit_user")
def user_update(context, request):
    user_id = context.user_id
    body = json_object(request)
    drop_same_id(body, "user_id", user_id)
    caller_id = context.authenticated_user_id

    def change(data):
        users = section(data, "users")
        before = users.get(user_id)
        if not isinstance(before, dict):
            raise missing("User definition", user_id)
        caller, fresh_limited = _user_editor(context, data, user_id, before)
        limited_edit = context.limited_edit or fresh_limited
        kept = KEPT_FIELDS + (PROTECTED_FIELDS if limited_edit else ())
        for field in kept:
            if field not in body and field in before:
                body[field] = before[field]
        if limited_edit:
            changed = [f for f in PROTECTED_FIELDS if body.get(f) != before.get(f)]
            if changed:
                raise HTTPForbidden(
                    explanation="You may change your own definition but not its {}.".format(
                        ", ".join("'{}'".format(f) for f in changed)
                    )
                )
        if caller_id != ADMIN_USER_ID and body.get("creator") != before.get("creator"):
            raise HTTPBadRequest(explanation="Only the administrator may change the 'creator' of a user definition.")
        check_rights_handed_on(caller_id, caller, body, before)
        if user_id == ADMIN_USER_ID and not body.get("password"):
            raise HTTPBadRequest(explanation="The administrator must keep a password: the server refuses service without one.")
        users[user_id] = body
        # Only a new grant must name a database that exists: one the user
        # already held (its database removed before grants were cleared on
        # removal, or a hand edit) must not block their other changes.
        known = set(section(data, "databases")) | set(before.get("databases") or ())
        UserRecord(body, key=user_id).validate(all_users=all_users(data), databases=known)

    write(request, change, "User definition '{}' changed".format(user_id))
    return json_response(request, shown(body, user_id=user_id))


@view_config(route_name="user", request_method="DELETE", permission="edit_user")
def user_delete(context, request):
    user_id = context.user_id
    if context.limited_edit:
        raise HTTPForbidden(explanation="You may not remove your own definition.")
    if user_id == ADMIN_USER_ID:
        raise HTTPConflict(explanation="The administrator cannot be removed.")

    def change(data):
        users = section(data, "users")
        if not isinstance(users.get(user_id), dict):
            raise missing("User definition", user_id)
        if _user_editor(context, data, user_id, users[user_id])[1]:
            raise HTTPForbidden(explanation="You may not remove your own definition.")
        naming = sorted(
            other for other, record in users.items()
            if other != user_id and isinstance(record, dict)
            and (user_id in (record.get("view") or ()) or user_id in (record.get("edit") or ())
                 or record.get("creator") == user_id)
        )
        if naming:
            raise HTTPConflict(
                explanation="User '{}' is named by the user definitions {}; change those first.".format(
                    user_id, ", ".join("'{}'".format(u) for u in naming)
                )
            )
        del users[user_id]
        # A user made later under the same id must not inherit the rights
        # this one was given.
        for records in (section(data, "querydefs").values(), section(data, "databases").values(),
                        *(entries.values() for entries in section(data, "credentials").values())):
            for record in records:
                for field in ("read", "write", "execute", "view", "edit"):
                    if isinstance(record.get(field), list) and user_id in record[field]:
                        record[field] = [u for u in record[field] if u != user_id]

    write(request, change, "User definition '{}' removed".format(user_id))
    return no_content(request)


@view_config(route_name="user_new", request_method="POST", permission="create_user")
def user_create(context, request):
    body = json_object(request)
    user_id = take_new_id(body, "user_id")
    caller_id = context.authenticated_user_id
    body.setdefault("creator", caller_id)
    # Who made a definition decides who may list it, and it cannot be
    # removed while its creator is named: only the administrator may put
    # another name there (or none).
    if caller_id != ADMIN_USER_ID and body["creator"] != caller_id:
        raise HTTPBadRequest(explanation="The 'creator' of a new user definition is you ('{}'); only the administrator "
                             "may name another.".format(caller_id))
    apikey = new_apikey()

    def change(data):
        users = section(data, "users")
        if user_id in users:
            raise exists_conflict("User definition", user_id)
        _still_creating(context, data, "userdef", "create user definitions")
        check_rights_handed_on(caller_id, fresh_caller(data, caller_id), body)
        users[user_id] = dict(body, apikey_hash=hash_apikey(apikey))
        UserRecord(users[user_id], key=user_id).validate(all_users=all_users(data), databases=section(data, "databases"))

    write(request, change, "User definition '{}' created".format(user_id))
    # The only time the key is shown: the store keeps its hash alone.
    return created(request, "user", dict(shown(body, user_id=user_id), apikey=apikey), user_id=user_id)
