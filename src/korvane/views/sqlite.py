"""Read-only access to the SQLite databases the store describes.

Values from the request are always bound as SQL parameters.  Table and
column names cannot be bound; they are taken only from the database's
own model, so text from a URL never becomes part of a statement.
"""

import functools
import logging
import os
import sqlite3
from pathlib import Path

from pyramid.httpexceptions import (
    HTTPBadRequest,
    HTTPForbidden,
    HTTPInternalServerError,
    HTTPNotImplemented,
)

log = logging.getLogger(__name__)


def connect(db_config):
    """A read-only connection to the database of ``db_config``.

    The file is opened in read-only mode, so even a stored statement that
    writes cannot change the demo's data.
    """
    path = db_config.get("sqlite_path")
    if not path or not os.path.isfile(path):
        raise HTTPNotImplemented(
            explanation="Database '{}' is not a local SQLite file; the demo server reads only those.".format(
                db_config.db_id
            )
        )
    return sqlite3.connect(_read_only_uri(path), uri=True)


@functools.lru_cache(maxsize=256)
def _read_only_uri(path):
    return Path(path).resolve().as_uri() + "?mode=ro"


def quote_identifier(name):
    return '"{}"'.format(name.replace('"', '""'))


def run(db_config, sql, parameters, limit=None, what=None):
    """Run ``sql`` with ``parameters`` bound; return (columns, rows),
    at most ``limit`` rows when it is not None (0: none).

    A statement the database fails on is the server's problem, not the
    client's: the client gets a 500 naming ``what`` failed (for instance
    "Query 'orders_since'"), and the log gets the database's message.
    """
    what = what or "The statement"
    connection = connect(db_config)
    try:
        try:
            cursor = connection.execute(sql, parameters)
            columns = [description[0] for description in cursor.description or ()]
            if limit is None:
                rows = cursor.fetchall()
            else:
                rows = cursor.fetchmany(limit) if limit > 0 else []
        except sqlite3.ProgrammingError as error:
            # Parameters that do not fit the statement: the client's doing.
            raise HTTPBadRequest(explanation=str(error)) from None
        except sqlite3.Error as error:
            if "readonly" in str(error):
                raise HTTPForbidden(explanation="The demo server opens its databases read-only.") from None
            log.error("%s failed on database '%s': %s: %s", what, db_config.db_id, type(error).__name__, error)
            raise HTTPInternalServerError(
                explanation="{} failed in the database; the server log says why.".format(what)
            ) from None
        return columns, rows
    finally:
        connection.close()


def select_rows(db_config, table, filters, limit=None):
    """Rows of ``table`` whose columns equal the values of ``filters``
    (column -> value).  The caller has checked every name against the
    database's model."""
    sql = "SELECT * FROM " + quote_identifier(table)
    if filters:
        sql += " WHERE " + " AND ".join(quote_identifier(column) + " = ?" for column in filters)
    return run(db_config, sql, list(filters.values()), limit, what="Reading table '{}'".format(table))
