"""What the views that change definitions share: reading the body,
checking ids and paths, and writing the store.

A change is made on the store document as the file holds it, read afresh
under the store's lock (``ConfigStorage.write``), so the checks that depend
on other definitions (is the id taken, do the named users exist) see what
every other process has written.  Nothing here logs or returns a password,
a key or a key's hash.
"""

import errno
import logging
import os
import re

from pyramid.httpexceptions import (
    HTTPBadRequest,
    HTTPConflict,
    HTTPForbidden,
    HTTPNotFound,
    HTTPServiceUnavailable,
)

from korvane.app.routes import route_path
from korvane.config_storage import StoreError, UnusableChange, UserRecord, _is_text_list, _records
from korvane.constants import ADMIN_USER_ID
from korvane.store_writer import StoreWriteError
from korvane.utils import NOT_SQLITE, sqlite_file_problem
from korvane.views.common import NOT_JSON, SECRET_FIELDS, parsed_body
from korvane.views.render import json_response

log = logging.getLogger("korvane.changes")

#: Ids are path segments of their own routes: letters, digits, "_" and "-".
ID_PATTERN = re.compile(r"[A-Za-z0-9_-]{1,64}\Z")
#: Ids that would be taken for another route ("/querydefs/new").
RESERVED_IDS = frozenset({"new"})
#: The first bytes of every SQLite database file.
#: Fields only the server sets.
SERVER_FIELDS = ("apikey", "apikey_hash")


def json_object(request):
    """The request body as a JSON object."""
    try:
        body, problem = parsed_body(request.text)
    except ValueError:  # bytes that are no text in the body's charset
        body, problem = None, NOT_JSON
    if problem and problem != NOT_JSON:
        # Nested too deeply, or a lone surrogate that no encoder takes:
        # either would fail only later, while writing the store.
        raise HTTPBadRequest(explanation=problem)
    if not isinstance(body, dict):
        raise HTTPBadRequest(explanation="The body must be a JSON object.")
    for field in SERVER_FIELDS:
        if field in body:
            raise HTTPBadRequest(explanation="API keys are made by the server; '{}' cannot be given.".format(field))
    return body


def take_new_id(body, id_field):
    """Remove and return the id of a record to be created."""
    new_id = body.pop(id_field, None)
    if not isinstance(new_id, str) or not ID_PATTERN.match(new_id) or new_id in RESERVED_IDS:
        raise HTTPBadRequest(
            explanation="'{}' must be 1 to 64 letters, digits, '_' or '-' (and not 'new').".format(id_field)
        )
    return new_id


def drop_same_id(body, id_field, current_id):
    """A change may repeat the record's id, but not change it."""
    if id_field in body:
        if body.pop(id_field) != current_id:
            raise HTTPBadRequest(explanation="'{}' cannot be changed; it is '{}'.".format(id_field, current_id))


def section(data, name):
    value = data.setdefault(name, {})
    if not isinstance(value, dict):
        raise HTTPConflict(explanation="The store's '{}' is not an object; fix the store file.".format(name))
    return value


def all_users(data):
    return _records(UserRecord, data.get("users")).values()


def exists_conflict(kind, record_id):
    return HTTPConflict(explanation="{} '{}' exists already.".format(kind, record_id))


def missing(kind, record_id):
    return HTTPNotFound(explanation="{} '{}' not found.".format(kind, record_id))


def fresh_caller(data, caller_id):
    """The caller's user definition in the store document ``data``, read
    under the store's lock.  The request was allowed on the store as it
    was when it began; a caller removed since may change nothing."""
    record = section(data, "users").get(caller_id)
    if not isinstance(record, dict):
        raise HTTPForbidden(
            explanation="Your user definition '{}' was removed while this change was being made; "
            "nothing was changed.".format(caller_id)
        )
    return UserRecord(record, key=caller_id)


def still_allowed(allowed, what):
    """Refuse a change whose right, checked again on the store as it is
    under the lock, was taken away while the request was under way."""
    if not allowed:
        raise HTTPForbidden(
            explanation="You may no longer {}: your rights changed while this change was being made; "
            "nothing was changed.".format(what)
        )


def write(request, change, what):
    """Write the store through ``change(data)`` and log ``what`` was done,
    by whom, at which version.  The caller must still be defined in the
    document the change is made on."""
    store = request.registry.settings["krv_settings"]["config_storage"]
    caller_id = getattr(request.context, "authenticated_user_id", None)

    def change_by_caller(data):
        if caller_id is not None:
            fresh_caller(data, caller_id)
        change(data)

    try:
        data = store.write(change_by_caller)
    except StoreError as error:
        # Replacing a file that cannot be read would lose what it holds.
        log.error("Not written (%s): %s", what, error)
        raise HTTPServiceUnavailable(
            explanation="The store file cannot be read, so no change is made; the server log says why."
        ) from None
    except StoreWriteError as error:
        log.error("Not written (%s): %s", what, error)
        cause = (
            "The store's version is the last a store may carry"
            if error.errno == errno.EOVERFLOW
            else "The store file cannot be written (a full disk or a read-only folder?)"
        )
        raise HTTPServiceUnavailable(
            explanation=cause + ", so no change is made; the stored definitions are as they were, and the server"
            " log says why."
        ) from None
    except UnusableChange as error:
        raise HTTPConflict(explanation="The change would leave a store the server cannot use: {}.".format(error)) from None
    log.info("%s by %s (store version %s)", what, request.authenticated_userid or "public", data.get("version"))
    return data


def created(request, route_name, body, **ids):
    """201 with the new record and its Location, in ``request.response``
    (see ``korvane.views.render``): the headers a context added there
    reach the client."""
    response = json_response(request, body)
    response.status = 201
    response.location = request.application_url + route_path(route_name, **ids)
    return response


def no_content(request):
    """204 in ``request.response``, for the same reason as ``created``."""
    response = request.response
    response.status = 204
    response.content_type = None
    response.body = b""
    return response


def shown(record_fields, **ids):
    """A record as answered: its fields without secrets, plus its ids."""
    return dict({name: value for name, value in record_fields.items() if name not in SECRET_FIELDS}, **ids)


def check_rights_handed_on(caller_id, caller_config, fields, before=None):
    """A user who is not the administrator may give a user definition only
    rights (databases, rights over definitions and credentials) that the
    caller holds; rights the definition already had may stay.  A value
    that is no list of texts is left to the record's own check, which
    refuses it as it refuses the administrator's."""
    if caller_id == ADMIN_USER_ID:
        return
    for field in UserRecord.rights_fields:
        value = fields.get(field) or []
        if not _is_text_list(value):
            continue
        own = set(getattr(caller_config, field) or ())
        had = set((before or {}).get(field) or ())
        extra = sorted(set(value) - own - had)
        if extra:
            raise HTTPForbidden(
                explanation="You cannot grant {} in '{}': you do not hold {}.".format(
                    ", ".join("'{}'".format(v) for v in extra), field, "them" if len(extra) > 1 else "it"
                )
            )


def check_database_access(caller_id, caller_config, db_id):
    """The administrator reaches every database, anybody else those of
    their own list, as the contexts of the data routes decide."""
    if caller_id != ADMIN_USER_ID and db_id not in (caller_config.databases or ()):
        raise HTTPForbidden(explanation="You have no access to database '{}'.".format(db_id))


def sqlite_file(request, store_folder, given):
    """The path to keep for a database file: it must name an existing
    SQLite file inside the data folder.  Kept relative to the store's
    folder, so that the data folder may be mounted elsewhere."""
    # No file name holds a NUL, which the system calls would refuse.
    if not isinstance(given, str) or not given or "\0" in given:
        raise HTTPBadRequest(explanation="'sqlite_path' must name a SQLite file inside the data folder.")
    data_dir = os.path.realpath(request.registry.settings["krv_settings"]["data_dir"])
    resolved = os.path.realpath(os.path.join(store_folder, given))
    if os.path.commonpath([data_dir, resolved]) != data_dir or resolved == data_dir:
        raise HTTPBadRequest(explanation="'sqlite_path' must name a SQLite file inside the data folder.")
    problem = sqlite_file_problem(resolved)
    if problem == NOT_SQLITE:
        raise HTTPBadRequest(explanation="'sqlite_path' does not name a SQLite database.")
    if problem:
        raise HTTPBadRequest(explanation="'sqlite_path' names no readable file in the data folder.")
    return os.path.relpath(resolved, os.path.realpath(store_folder))


def _same_file(first, second):
    """Whether two resolved paths name one file: the same path, or one
    file under two names (a hard link)."""
    if first == second:
        return True
    try:
        return os.path.samefile(first, second)
    except (OSError, ValueError):  # a file gone, or a name no system call takes
        return False


def check_file_sharing(caller_id, data, store_folder, db_id, path, before=None):
    """Refuse to point database ``db_id`` at the file ``path`` (as kept,
    relative to ``store_folder``) while another database of the store
    document ``data`` uses that file, unless that opens nothing: every
    database on it must already be reached by the caller and by everybody
    who reaches ``db_id``, as the data routes decide (the administrator,
    and those whose ``databases`` list it).  The administrator may share
    any file.  A database kept on the file it had (``before``, its
    definition before the change) changes nothing."""
    if caller_id == ADMIN_USER_ID:
        return
    folder = os.path.realpath(store_folder)
    target = os.path.realpath(os.path.join(folder, path))
    had = before.get("sqlite_path") if isinstance(before, dict) else None
    if isinstance(had, str) and had and _same_file(os.path.realpath(os.path.join(folder, had)), target):
        return
    sharing = sorted(
        other for other, record in section(data, "databases").items()
        if other != db_id and isinstance(record, dict) and isinstance(record.get("sqlite_path"), str)
        and record["sqlite_path"] and _same_file(os.path.realpath(os.path.join(folder, record["sqlite_path"])), target)
    )
    if not sharing:
        return
    users = {user.user_id: user for user in all_users(data)}
    # Whoever reaches this database reads the file it is pointed at.
    readers = [caller_id] + sorted(user_id for user_id, user in users.items()
                                   if user_id not in (caller_id, ADMIN_USER_ID) and db_id in (user.databases or ()))
    for reader in readers:
        held = set(users[reader].databases or ()) if reader in users else set()
        lacking = [other for other in sharing if other not in held]
        if not lacking:
            continue
        named = " and ".join("'{}'".format(other) for other in lacking)
        if reader == caller_id:
            why = "you have no access to {}: only the administrator, or a user who reaches every database on a " \
                  "file, may point another database at it".format(named)
        else:
            why = "user '{}' reaches '{}' but not {}, which pointing '{}' at it would open to them".format(
                reader, db_id, named, db_id)
        raise HTTPForbidden(
            explanation="The file '{}' is used by database {}, and {}; nothing was changed.".format(
                path, " and ".join("'{}'".format(other) for other in sharing), why)
        )
