"""Read-only access to the SQLite databases the store describes.

Values from the request are always bound as SQL parameters.  Table and
column names cannot be bound; they are taken only from the database's
own model, so text from a URL never becomes part of a statement.
"""

import logging
import re
import sqlite3
import time
from pathlib import Path

from pyramid.httpexceptions import (
    HTTPBadRequest,
    HTTPForbidden,
    HTTPGatewayTimeout,
    HTTPInternalServerError,
    HTTPNotImplemented,
)

from korvane.utils import LOCKED, sqlite_busy, sqlite_error_problem, sqlite_file_problem, unreadable_database
from korvane.views.render import log_text

log = logging.getLogger(__name__)

#: Seconds one statement may run, fetching its rows included, unless the
#: deployment says otherwise (``korvane.query_timeout``).
DEFAULT_QUERY_TIMEOUT = 30.0
#: Rows one answer may hold unless the deployment says otherwise
#: (``korvane.max_rows``).
DEFAULT_MAX_ROWS = 100000
#: Bytes one answer's values may take unless the deployment says otherwise
#: (``korvane.max_answer_bytes``): rows are few enough, but one value may
#: be as large as SQLite makes them (1 GB), and an answer is rendered whole
#: in memory, several times its values' size.
DEFAULT_MAX_ANSWER_BYTES = 64 * 1024 * 1024
#: What each value counts besides its text and its column's name (which
#: JSON and XML repeat in every row): a number, the markup around it.
CELL_BYTES = 16
#: SQLite virtual machine steps between two looks at the clock: often
#: enough to stop within milliseconds, rare enough to cost nothing.
PROGRESS_STEPS = 1000
#: Seconds a connection waits for another program's lock on the file.
BUSY_TIMEOUT = 5.0


def execution_limits(request):
    """The time, row and byte budget of the statements a request runs,
    from the server's settings: keyword arguments of ``run``."""
    settings = request.registry.settings.get("krv_settings") or {}
    return {
        "timeout": settings.get("query_timeout", DEFAULT_QUERY_TIMEOUT),
        "max_rows": settings.get("max_rows", DEFAULT_MAX_ROWS),
        "max_bytes": settings.get("max_answer_bytes", DEFAULT_MAX_ANSWER_BYTES),
    }


def connect(db_config, busy_timeout=BUSY_TIMEOUT):
    """A read-only connection to the database of ``db_config``.

    The file is opened in read-only mode, so even a stored statement that
    writes cannot change the demo's data, and a missing file is never
    created.  A database without a file is 501; a file that is missing or
    no SQLite database is 503, as for its model.
    """
    path = db_config.get("sqlite_path")
    if not path:
        raise HTTPNotImplemented(
            explanation="Database '{}' is not a local SQLite file; the demo server reads only those.".format(
                db_config.db_id
            )
        )
    return _open_checked(db_config.db_id, path, busy_timeout)


def _open_checked(db_id, path, busy_timeout=BUSY_TIMEOUT):
    """A read-only connection to the file at ``path``, which must be a
    SQLite database (503 naming ``db_id`` otherwise)."""
    problem = sqlite_file_problem(path)
    if problem:
        raise unreadable_database(db_id, problem)
    return _open_read_only(path, busy_timeout)


def busy_database(db_id):
    """The answer while another program holds a lock on database ``db_id``."""
    return unreadable_database(db_id, LOCKED)


OTHER_FILES = "A query reads only its own database: the demo server refuses ATTACH, DETACH and VACUUM."

# Read-only mode covers the main file alone: ATTACH (even with "mode=rwc")
# and VACUUM INTO would still create and write files wherever the server
# may write, at a path a URL can supply.  Both reach the authorizer as an
# attach, and are denied.
_OTHER_FILE_ACTIONS = frozenset((sqlite3.SQLITE_ATTACH, sqlite3.SQLITE_DETACH))

# Some pragmas take effect while a statement is compiled, before anything
# runs, and some settings belong to the whole process (hard_heap_limit,
# temp_store_directory): a stored query could change every other request's
# SQLite, and database_list shows where the files lie.  A query may use
# the pragmas that describe its database, with any argument where the
# argument names a table or index, and only without one (a read, never a
# setting) where it would set a value.
_DESCRIBING_PRAGMAS = frozenset((
    "foreign_key_check", "foreign_key_list", "index_info", "index_list", "index_xinfo", "integrity_check",
    "quick_check", "table_info", "table_list", "table_xinfo",
))
_READ_ONLY_PRAGMAS = frozenset((
    "application_id", "collation_list", "data_version", "encoding", "freelist_count", "function_list",
    "module_list", "page_count", "page_size", "pragma_list", "schema_version", "user_version",
))
# fts3_tokenizer() shows, and takes, addresses in the server's memory.
_REFUSED_FUNCTIONS = frozenset(("fts3_tokenizer", "load_extension"))


def _pragma_allowed(name, argument):
    name = name.lower()
    return name in _DESCRIBING_PRAGMAS or (argument is None and name in _READ_ONLY_PRAGMAS)


def _pragma_refusal(name):
    return (
        "A query may not use PRAGMA {}: the demo server takes only pragmas that describe the database,"
        " such as table_info.".format(name)
    )


class _OwnDatabaseOnly:
    """A connection's authorizer, which remembers why it refused (the
    explanation given to the client).  sqlite3 denies an action also when
    its callback raises (memory running out inside it): that denial is the
    server's failure, not a refusal of the client's statement."""

    __slots__ = ("refused", "file_tables")

    def __init__(self):
        self.refused = None
        # The tables and views of the file, lower-cased, when a statement
        # is only compiled: see the pragma tables below.
        self.file_tables = None

    def __call__(self, action, first, second, database, *_):
        if action in _OTHER_FILE_ACTIONS:
            return self._refuse(OTHER_FILES)
        if action == sqlite3.SQLITE_PRAGMA and not _pragma_allowed(first, second):
            return self._refuse(_pragma_refusal(first))
        if action == sqlite3.SQLITE_FUNCTION and second.lower() in _REFUSED_FUNCTIONS:
            return self._refuse("A query may not call {}().".format(second))
        if action == sqlite3.SQLITE_READ and self.file_tables is not None:
            # A pragma's table form (pragma_database_list) reaches the
            # pragma check only when it runs: a statement only compiled is
            # judged by the table it reads, unless the file has a table or
            # view of that name (which SQLite reads in its place, except in
            # another schema: it names the schema "main" for both).
            table = (first or "").lower()
            own = database == "main" and table in self.file_tables
            if table.startswith("pragma_") and not own and not _pragma_allowed(table[len("pragma_"):], None):
                return self._refuse(_pragma_refusal(table[len("pragma_"):]))
        return sqlite3.SQLITE_OK

    def _refuse(self, explanation):
        self.refused = self.refused or explanation
        return sqlite3.SQLITE_DENY


class _Connection(sqlite3.Connection):
    """A read-only connection and the authorizer it was opened with."""


def _open_read_only(path, busy_timeout=BUSY_TIMEOUT):
    connection = sqlite3.connect(_read_only_uri(path), uri=True, timeout=busy_timeout, factory=_Connection)
    connection.authorizer = _OwnDatabaseOnly()
    connection.set_authorizer(connection.authorizer)
    return connection


def _not_authorized(error):
    return getattr(error, "sqlite_errorcode", None) == sqlite3.SQLITE_AUTH


def _denied(connection):
    """Why the authorizer refused part of the connection's statement, or
    None.  A refusal ends the statement's compilation, so it is what the
    statement failed of (as SQLITE_AUTH, or for a function as an error
    naming it)."""
    return connection.authorizer.refused


def _read_only_uri(path):
    # Resolved on every open: a link may be pointed at another file while
    # the server runs, and the model and the file checks follow it too.
    return Path(path).resolve().as_uri() + "?mode=ro"


def quote_identifier(name):
    return '"{}"'.format(name.replace('"', '""'))


_NUMBERED = re.compile(r":[0-9]*\Z")


def unique_column_names(names):
    """``names`` with each name that an earlier one already took made
    unique the way SQLite names the columns of a table it creates from
    such a select: a trailing ":N" is dropped and ":1", ":2", ... tried in
    turn ("a", "a" -> "a", "a:1").  Only exact repeats are renamed: they
    alone would lose a value in JSON or be mistaken for each other."""
    taken = set()
    unique = []
    for name in names:
        if name in taken:
            stem = _NUMBERED.sub("", name)
            count = 1
            while "{}:{}".format(stem, count) in taken:
                count += 1
            name = "{}:{}".format(stem, count)
        taken.add(name)
        unique.append(name)
    return unique


def _seconds(value):
    return "{:g} second{}".format(value, "" if value == 1 else "s")


def _value_bytes(value):
    """About what ``value`` takes as an answer writes it: a blob in hex,
    text beyond ASCII six bytes a character, as JSON escapes most of it (a
    bound on memory, not an exact count)."""
    if type(value) is str:
        return len(value) if value.isascii() else 6 * len(value)
    if type(value) is bytes:
        return 2 * len(value)
    return 0


def _too_large(what, max_bytes):
    return HTTPBadRequest(
        explanation="{} gives more than {} bytes, the most one answer holds here (korvane.max_answer_bytes):"
        " name a smaller limit (?limit=N) or narrow it down.".format(what, max_bytes)
    )


def _value_too_large(what, max_bytes):
    return HTTPBadRequest(
        explanation="{} makes a value of more than {} bytes, the most one answer holds here"
        " (korvane.max_answer_bytes).".format(what, max_bytes)
    )


def run(db_config, sql, parameters, limit=None, what=None, *, timeout, max_rows,
        max_bytes=DEFAULT_MAX_ANSWER_BYTES):
    """Run ``sql`` with ``parameters`` bound; return (columns, rows),
    at most ``limit`` rows when it is not None (0: none).  Repeated column
    names are made unique (see ``unique_column_names``).

    A statement the database fails on is the server's problem, not the
    client's: the client gets a 500 naming ``what`` failed (for instance
    "Query 'orders_since'"), and the log gets the database's message.

    ``timeout`` (seconds) bounds the statement's run, its rows fetched
    included: past it the statement is stopped and the client gets 504.
    ``max_rows`` bounds the rows of an answer: a result with more rows than
    that, unless ``limit`` names at most that many, is refused with 400
    asking for a ``limit`` rather than cut short without a word.
    ``max_bytes`` bounds the values of an answer the same way (each value
    counts what it is written as, its column's name and ``CELL_BYTES``),
    and no single value larger than it is ever made (nor any text SQLite
    makes on the way).  All three come from the deployment's
    settings (``execution_limits``).
    """
    what = what or "The statement"
    # Waiting for another program's lock counts against the time as well.
    connection = connect(db_config, min(BUSY_TIMEOUT, timeout))
    deadline = time.monotonic() + timeout
    stopped = []

    def past_deadline():
        if time.monotonic() < deadline:
            return 0
        stopped.append(True)
        return 1  # SQLite stops the statement with SQLITE_INTERRUPT

    connection.set_progress_handler(past_deadline, PROGRESS_STEPS)
    # SQLite refuses to make a string or blob beyond it (SQLITE_TOOBIG).
    connection.setlimit(sqlite3.SQLITE_LIMIT_LENGTH, min(max_bytes, connection.getlimit(sqlite3.SQLITE_LIMIT_LENGTH)))
    cursor = None
    try:
        try:
            cursor = connection.execute(sql, parameters)
            columns = unique_column_names(description[0] for description in cursor.description or ())
            # One row more than an answer may hold tells whether the result
            # holds more, without fetching it all.  Rows are counted one by
            # one, so no more than one row beyond the budget is ever held.
            wanted = limit if limit is not None and limit <= max_rows else max_rows + 1
            row_bytes = sum(len(column) + CELL_BYTES for column in columns)
            rows = []
            size = 0
            if wanted > 0:
                for row in cursor:
                    size += row_bytes
                    for value in row:
                        size += _value_bytes(value)
                    if size > max_bytes:
                        raise _too_large(what, max_bytes)
                    rows.append(row)
                    if len(rows) == wanted:
                        break
            if len(rows) > max_rows:
                raise HTTPBadRequest(
                    explanation="{} gives more than {} rows, the most one answer holds here"
                    " (korvane.max_rows): name a limit (?limit=N, at most {}) or narrow it down.".format(
                        what, max_rows, max_rows
                    )
                )
        except sqlite3.ProgrammingError as error:
            # Parameters that do not fit the statement: the client's doing.
            raise HTTPBadRequest(explanation=str(error)) from None
        except sqlite3.Error as error:
            if stopped and getattr(error, "sqlite_errorcode", None) == sqlite3.SQLITE_INTERRUPT:
                log.warning(
                    "%s on database '%s' was stopped after %s (korvane.query_timeout)",
                    what, db_config.db_id, _seconds(timeout),
                )
                raise HTTPGatewayTimeout(
                    explanation="{} ran longer than {}, the time limit of a statement here"
                    " (korvane.query_timeout), and was stopped.".format(what, _seconds(timeout))
                ) from None
            refused = _denied(connection)
            if refused:
                raise HTTPForbidden(explanation=refused) from None
            if getattr(error, "sqlite_errorcode", None) == sqlite3.SQLITE_TOOBIG:
                raise _value_too_large(what, max_bytes) from None
            if sqlite_busy(error):
                raise busy_database(db_config.db_id) from None
            problem = sqlite_error_problem(error)
            if problem:
                log.error("Database '%s' cannot be read: %s", db_config.db_id, log_text(problem))
                raise unreadable_database(db_config.db_id, problem) from None
            if "readonly" in str(error):
                raise HTTPForbidden(explanation="The demo server opens its databases read-only.") from None
            log.error(
                "%s failed on database '%s': %s: %s", what, db_config.db_id, type(error).__name__, log_text(error)
            )
            raise HTTPInternalServerError(
                explanation="{} failed in the database; the server log says why.".format(what)
            ) from None
        return columns, rows
    finally:
        # A statement left part-way through its rows (an answer refused as
        # too large, a failure while fetching) keeps a read lock on the file,
        # and closing the connection leaves it to the cursor; this frame, and
        # so the cursor, lives on in the traceback of what is raised until a
        # collection.  Ended here, it blocks no writer of the file meanwhile.
        if cursor is not None:
            cursor.close()
            cursor = None
        connection.close()


def select_rows(db_config, table, filters, limit=None, **limits):
    """Rows of ``table`` whose columns equal the values of ``filters``
    (column -> value), within the budget ``limits`` (see ``run``).  The
    caller has checked every name against the database's model."""
    sql = "SELECT * FROM " + quote_identifier(table)
    if filters:
        sql += " WHERE " + " AND ".join(quote_identifier(column) + " = ?" for column in filters)
    return run(db_config, sql, list(filters.values()), limit, what="Reading table '{}'".format(table), **limits)


class _AnyParameters(dict):
    """Named parameters that are all NULL: enough to compile a statement
    without knowing the values it will be run with."""

    def __missing__(self, name):
        return None


def check_compiles(db_id, path, sql):
    """Raise ``HTTPBadRequest`` unless ``sql`` is one statement that the
    SQLite database ``db_id`` at ``path`` compiles (503 when its file
    cannot be read or is locked, as for a query run on it).

    The statement is compiled under EXPLAIN, which lists its program
    without running it, on a read-only connection.  Its parameters must be
    named (``:name``): those are what the path pairs of a query bind.
    """
    connection = _open_checked(db_id, path)
    # The listing's operands quote the statement's constants as SQLite
    # holds them, which need not be UTF-8 (CAST(x'e9' AS TEXT)): read as
    # bytes, a valid statement is not refused for its listing.
    connection.text_factory = bytes
    try:
        connection.authorizer.file_tables = {
            name.decode("utf-8", "replace").lower()
            for (name,) in connection.execute("SELECT name FROM sqlite_schema WHERE type IN ('table', 'view')")
        }
        # A statement that is an EXPLAIN itself stays refused (as a second
        # EXPLAIN): its listing would show addresses in the server's memory.
        program = connection.execute("EXPLAIN " + sql, _AnyParameters()).fetchall()
    except sqlite3.DatabaseError as error:
        refused = _denied(connection)
        if refused:
            raise HTTPBadRequest(explanation=refused) from None
        if _not_authorized(error):
            raise  # the authorizer failed: the server's doing, not the statement's
        if sqlite_busy(error):
            raise busy_database(db_id) from None
        problem = sqlite_error_problem(error)
        if problem:
            raise unreadable_database(db_id, problem) from None
        if not isinstance(error, (sqlite3.ProgrammingError, sqlite3.OperationalError)):
            raise
        raise HTTPBadRequest(explanation=_does_not_compile(error)) from None
    except sqlite3.Warning as error:
        raise HTTPBadRequest(explanation=_does_not_compile(error)) from None
    finally:
        connection.close()
    # A VACUUM reaches the authorizer only when it runs, so it is told by
    # its program here, and refused when stored as it would be when run.
    if any(row[1] == b"Vacuum" for row in program):
        raise HTTPBadRequest(explanation=OTHER_FILES)


def _does_not_compile(error):
    return "The query does not compile: {}.".format(str(error).rstrip("."))
