"""Request and URL utilities shared by the server's root factories and views.

Failures a client can cause (a malformed parameter, an unknown database)
are raised as Pyramid HTTP exceptions, so they reach the client as 4xx
responses rather than as server errors.
"""

import logging
import os
import re
import sqlite3
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from urllib.parse import unquote

from pyramid.httpexceptions import HTTPBadRequest, HTTPNotFound, HTTPServiceUnavailable

from korvane.constants import (
    BODY_MEDIA_TYPES,
    DEFAULT_URL_SUBSTITUTION,
    PUBLIC_USER_ID,
    SUBSTITUTE_PREFIX,
)

log = logging.getLogger(__name__)

# --- users -----------------------------------------------------------------


def get_authenticated_user(request, users):
    """Return the pair (user id, user record) of the request's user.

    A request without an authenticated user is the anonymous user
    "public".  The record is ``users.get(user_id)``: None when the store
    has no such user.
    """
    user_id = request.authenticated_userid or PUBLIC_USER_ID
    return user_id, users.get(user_id)


# --- URL substitution --------------------------------------------------------
#
# Some characters cannot stand in a URL path segment ("/" would split it,
# a segment "." or ".." would be resolved away).  A client writes a
# substitute text in their place, and the server turns it back.  The
# substitutes come from a table (the deployment's setting, or the default
# one) and may be declared by the client in the query string, as the
# server's own URL builder does: a parameter whose name starts with "$" and
# whose value is a single character, e.g. ``?$2F=/``.


#: Every substitute is tried on every path segment, so their number makes
#: the cost of a request, before any access check: a client declares a
#: substitute for the few characters its values hold, never hundreds.
MAX_DECLARED_SUBSTITUTES = 32


def _declared_substitutions(params):
    declared = {
        name: value
        for name, value in params.items()
        if name.startswith(SUBSTITUTE_PREFIX) and len(name) > 1 and len(value) == 1
    }
    if len(declared) > MAX_DECLARED_SUBSTITUTES:
        raise HTTPBadRequest(
            explanation="A request declares at most {} substitutes ('{}NAME=C' parameters); this one declares {}.".format(
                MAX_DECLARED_SUBSTITUTES, SUBSTITUTE_PREFIX, len(declared)
            )
        )
    return declared


def get_url_substitution_params(params):
    """Return the mapping substitute text -> character to apply to the path
    segments of a request with query parameters ``params``.

    It is the default table, extended (and, for the same substitute,
    overridden) by the substitutions the query string declares.
    """
    substitutions = dict(DEFAULT_URL_SUBSTITUTION)
    substitutions.update(_declared_substitutions(params))
    return substitutions


def get_reversed_url_substitution_params(params, url_substitution):
    """Return the mapping character -> substitute text used to escape path
    segments when the server builds URLs.

    ``url_substitution`` is the deployment's table (substitute text ->
    character), or None for the default table.  Characters only the query
    string declares a substitute for are added; for a character the table
    covers, the table's substitute wins, so built URLs do not depend on
    what a client sent.
    """
    table = DEFAULT_URL_SUBSTITUTION if url_substitution is None else url_substitution
    reversed_table = {char: sub for sub, char in table.items()}
    declared = _declared_substitutions(params)
    if not declared:
        # Most requests declare nothing: the table reversed is the answer.
        return reversed_table
    merged = {char: sub for sub, char in declared.items()}
    merged.update(reversed_table)
    return merged


def replace_patterns(text, substitution_params):
    """Return ``text`` (converted with ``str`` when it is not text) with
    every occurrence of each key of ``substitution_params`` replaced by its
    value.  Longer keys are replaced first, so a key that begins another
    one cannot break it up."""
    text = text if isinstance(text, str) else str(text)
    for pattern in sorted(substitution_params, key=len, reverse=True):
        text = text.replace(pattern, substitution_params[pattern])
    return text


def segments_substitution(segments, params, model, charset):
    """Return a new list of ``segments``, each percent-decoded as UTF-8
    and then with the request's substitutions applied.

    A URL's percent-escapes are UTF-8 whatever the request body's charset
    (the request's gate refuses a URL that is not), so ``charset``, the
    body's charset that the contexts pass, is not used.  ``model`` is the
    data model of the database the segments address; the substitution does
    not depend on it either.
    """
    substitutions = get_url_substitution_params(params)
    # replace_patterns' order, worked out once for all the segments.
    replacements = [(pattern, substitutions[pattern]) for pattern in sorted(substitutions, key=len, reverse=True)]
    decoded = []
    for segment in segments:
        text = unquote(str(segment), encoding="utf-8")
        for pattern, replacement in replacements:
            text = text.replace(pattern, replacement)
        decoded.append(text)
    return decoded


# --- data models -------------------------------------------------------------


@dataclass
class DataModel:
    """The tables of one database and the column names of each, in the
    database's own order.  A database that is no local SQLite file has an
    empty model; one whose file cannot be read has an empty model and a
    ``problem`` saying why (``check_readable`` raises it)."""

    db_id: str
    tables: dict = field(default_factory=dict)
    problem: str = None

    def __contains__(self, table):
        return table in self.tables

    def columns(self, table):
        """Column names of ``table``; KeyError when there is no such table."""
        return self.tables[table]

    def check_readable(self):
        """Raise ``HTTPServiceUnavailable`` when the database's file cannot
        be read: an empty model is then no answer about its tables."""
        if self.problem:
            raise unreadable_database(self.db_id, self.problem)


def unreadable_database(db_id, problem):
    """The answer to a request that needs database ``db_id``, whose file
    cannot be read for the reason ``problem``.  It is the deployment's
    fault, not the client's, and may pass once the file is put back."""
    return HTTPServiceUnavailable(
        explanation="The database '{}' cannot be read: {}.".format(db_id, str(problem).rstrip("."))
    )


#: The first bytes of every SQLite database file.
SQLITE_HEADER = b"SQLite format 3\x00"

#: SQLite's answers about a file that is no (whole) database or cannot be
#: opened: a fault of the file, which reading again does not mend.
_FILE_FAULTS = frozenset(
    getattr(sqlite3, name)
    for name in ("SQLITE_NOTADB", "SQLITE_CORRUPT", "SQLITE_CANTOPEN", "SQLITE_IOERR", "SQLITE_PERM")
)


NOT_SQLITE = "its file is not a SQLite database"
LOCKED = "it is locked by another program; try again later"
#: A writer that stopped part-way through a transaction (its journal is
#: left "hot"): only a connection that may write rolls it back.
HALF_WRITTEN = ("a program writing it stopped part-way, and it is read again once a program that may write it opens "
                "it")
#: SQLite's extended codes for that: a journal, or a write-ahead log, to recover.
_HALF_WRITTEN_CODES = frozenset({sqlite3.SQLITE_READONLY_ROLLBACK, sqlite3.SQLITE_READONLY_RECOVERY})


def sqlite_busy(error):
    """Whether ``error`` (an ``sqlite3.Error``) says another connection
    holds a lock: a problem that passes."""
    code = getattr(error, "sqlite_errorcode", None)
    return code is not None and (code & 0xFF) in (sqlite3.SQLITE_BUSY, sqlite3.SQLITE_LOCKED)


def sqlite_file_problem(path):
    """Why the file at ``path`` cannot be read as a SQLite database, or
    None.  Only the file is looked at (never created): it must exist, be a
    plain file that can be opened, and start with SQLite's header (an
    empty file would open as an empty database)."""
    try:
        with open(path, "rb") as file:
            header = file.read(len(SQLITE_HEADER))
    except FileNotFoundError:
        return "its file is missing"
    except IsADirectoryError:
        return "its file is a folder"
    except OSError as error:
        return "its file cannot be opened ({})".format(error.strerror or type(error).__name__)
    if header != SQLITE_HEADER:
        return NOT_SQLITE
    return None


def sqlite_error_problem(error):
    """The problem of an ``sqlite3.Error`` that says the database's file
    cannot be read, or None for any other error."""
    code = getattr(error, "sqlite_errorcode", None)
    if code in _HALF_WRITTEN_CODES:
        return HALF_WRITTEN
    if code is not None and (code & 0xFF) in _FILE_FAULTS:
        return str(error)
    return None


def _read_sqlite_model(db_id, path):
    uri = Path(path).resolve().as_uri() + "?mode=ro"
    # A model is read in an instant: a longer wait is another program's lock.
    connection = sqlite3.connect(uri, uri=True, timeout=1)
    try:
        names = [
            row[0]
            for row in connection.execute(
                # SQLite keeps the names beginning with "sqlite_" (in any
                # case) for itself; "_" alone would match any character.
                "SELECT name FROM sqlite_master WHERE type IN ('table', 'view')"
                " AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' ORDER BY name"
            )
        ]
        # table_xinfo lists generated columns too (hidden 2 and 3), which a
        # select returns; hidden columns of virtual tables (1) it does not.
        tables = {
            name: tuple(
                row[1]
                for row in connection.execute(
                    'PRAGMA table_xinfo("{}")'.format(name.replace('"', '""'))
                )
                if row[6] != 1
            )
            for name in names
        }
    finally:
        connection.close()
    return DataModel(db_id, tables)


#: Models read from SQLite files: path -> (file signature, tables).  A
#: model is read again only when its file (or its write-ahead log) changes.
_model_cache = {}
# Held through acquire / try / finally, never `with`: the interpreter's
# call of a lock's __exit__ allocates its arguments, and when memory
# runs out there the lock stays held and every later caller hangs.
_model_cache_lock = threading.Lock()


def _file_signature(path):
    signature = []
    for name in (path, path + "-wal"):
        try:
            stat = os.stat(name)
        except OSError:
            signature.append(None)
        else:
            signature.append((stat.st_mtime_ns, stat.st_size, stat.st_ino, stat.st_mode))
    return tuple(signature)


def _cached_sqlite_model(db_id, path):
    signature = _file_signature(path)
    _model_cache_lock.acquire()
    try:
        cached = _model_cache.get(path)
    finally:
        _model_cache_lock.release()
    if cached is not None and cached[0] == signature:
        return DataModel(db_id, dict(cached[1]))
    # A problem is never kept: what caused it (a file put back under the
    # same signature, descriptors or memory running short) may pass.
    problem = sqlite_file_problem(path)
    if problem:
        return DataModel(db_id, {}, problem)
    try:
        model = _read_sqlite_model(db_id, path)
    except sqlite3.Error as error:
        problem = sqlite_error_problem(error)
        if problem is None:
            raise
        return DataModel(db_id, {}, problem)
    _model_cache_lock.acquire()
    try:
        _model_cache[path] = (signature, dict(model.tables))
    finally:
        _model_cache_lock.release()
    return model


def get_model(databases, db_id, retry=None):
    """Return the ``DataModel`` of database ``db_id``.

    ``databases`` maps database ids to database records.  An id it does
    not hold raises ``HTTPNotFound``.  A record with a ``sqlite_path`` is
    introspected read-only, once per version of the file; a file that is
    missing, no SQLite database, damaged or locked gives an empty model
    whose ``problem`` says so (never remembered: it may pass) (the caller raises it with ``check_readable``
    where it needs the tables: the contexts call this before they know
    whether the caller may see the database at all).  A database without
    a ``sqlite_path`` has an empty model.  When ``retry`` is true (callers
    pass the request), a read that fails because the file is busy is tried
    once more.
    """
    if db_id not in databases:
        raise HTTPNotFound(explanation="Database '{}' not found.".format(db_id))
    path = databases[db_id].get("sqlite_path")
    if not path:
        return DataModel(db_id)
    path = str(path)
    try:
        return _cached_sqlite_model(db_id, path)
    except sqlite3.OperationalError as error:
        if not sqlite_busy(error):
            # Not a lock that passes: what SQLite found (a view of a table
            # dropped since, a virtual table this build cannot read).
            log.warning("Database '%s' cannot be read: %s", db_id, error)
            return DataModel(db_id, {}, str(error))
        if not retry:
            raise
    time.sleep(0.05)
    try:
        return _cached_sqlite_model(db_id, path)
    except sqlite3.OperationalError as error:
        # Still busy (another program's lock): a problem that passes.
        log.warning("Database '%s' cannot be read: %s", db_id, error)
        return DataModel(db_id, {}, LOCKED if sqlite_busy(error) else str(error))


# --- request parameters and formats ------------------------------------------


def get_url_param(request, name, default, converter):
    """Return ``converter(value)`` for the request parameter ``name``, or
    ``default`` when the request does not carry it.

    A value the converter refuses raises ``HTTPBadRequest`` naming the
    parameter and the expected type.
    """
    if name not in request.params:
        return default
    try:
        return converter(request.params[name])
    except (TypeError, ValueError):
        raise HTTPBadRequest(
            explanation="Query parameter '{}' must be of type {}.".format(
                name, getattr(converter, "__name__", converter)
            )
        ) from None


def _split_extension(segment):
    """Split a path segment into (stem, extension).  The extension is the
    text after the last dot; leading dots do not start one (".json" has
    none) and a trailing dot gives none."""
    body = segment.lstrip(".")
    stem, _, extension = body.rpartition(".")
    if not stem or not extension:
        return segment, ""
    return segment[: len(segment) - len(body)] + stem, extension


def requested_data_format(request, default_extension):
    """Return (response format, request format, request extension).

    The response format is the extension of the path's last segment, else
    the "format" query parameter, else ``default_extension``; it is
    lower-cased.  The request format is that of the request body, known
    from its Content-Type, or else the response format.  The request
    extension is the extension as the path shows it, "" when there is none.
    """
    extension = _split_extension(request.path.rsplit("/", 1)[-1])[1]
    response_format = (
        extension or request.params.get("format") or default_extension
    ).lower()
    request_format = BODY_MEDIA_TYPES.get(request.content_type, response_format)
    return response_format, request_format, extension


# --- paths --------------------------------------------------------------------

_SCHEME_AUTHORITY = re.compile(r"^[A-Za-z][A-Za-z0-9+.\-]*://")
_SLASH_RUN = re.compile(r"/{2,}")


def remove_multiple_url_slashes(uri):
    """Return ``uri`` with every run of slashes in its path made one slash.

    The query string and fragment are left exactly as they are, and so is
    the "//" that follows the scheme of a full URL.
    """
    # Nearly every request's URI holds no run of slashes at all, and every
    # request asks: it is answered as it came, without the regular
    # expressions (a twentieth of the time).
    if type(uri) is str and "//" not in uri:
        return uri
    cut = min((i for i in (uri.find("?"), uri.find("#")) if i >= 0), default=len(uri))
    head, tail = uri[:cut], uri[cut:]
    match = _SCHEME_AUTHORITY.match(head)
    prefix = match.group(0) if match else ""
    return prefix + _SLASH_RUN.sub("/", head[len(prefix):]) + tail


def split_path(path):
    """Return (segments, extension) for a URL path.

    ``segments`` lists the non-empty segments of ``path`` (query string and
    fragment dropped), the extension taken off the last one; ``extension``
    is that extension, "" when there is none.  Segments are not decoded.
    """
    path = re.split(r"[?#]", path or "", maxsplit=1)[0]
    segments = [segment for segment in path.split("/") if segment]
    extension = ""
    if segments:
        segments[-1], extension = _split_extension(segments[-1])
    return segments, extension
