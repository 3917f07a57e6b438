"""The demo's SQLite databases, built from SQL scripts on first start."""

import os
import sqlite3
import tempfile
from pathlib import Path


class ScriptError(Exception):
    """A sample database that cannot be built; the message names the
    database, its script and what is wrong."""

    def __init__(self, script, reason):
        super().__init__(
            "The sample database {} cannot be built from {}: {}".format(script.stem, script.name, reason)
        )


def _run_script(script, database):
    """Run ``script`` into the database file ``database``; ``ScriptError``
    when the script cannot be read or does not run."""
    try:
        text = script.read_text(encoding="utf-8")
    except UnicodeDecodeError as error:
        raise ScriptError(script, "it is not UTF-8 text (byte {} at offset {})".format(
            hex(error.object[error.start]), error.start)) from None
    except OSError as error:
        raise ScriptError(script, error.strerror or error) from None
    try:
        connection = sqlite3.connect(database)
        try:
            connection.executescript(text)
            connection.commit()
        finally:
            connection.close()
    except sqlite3.Error as error:
        raise ScriptError(script, error) from None


def build_missing_databases(data_dir):
    """For each ``NAME.sql`` in ``data_dir`` without a ``NAME.sqlite3``
    beside it, run the script into a new database file.  Return the paths
    built.  ``ScriptError`` says which script failed and why.

    A database is built under a temporary name and renamed into place
    only once complete, so a failed script or a second server starting at
    the same moment never leaves a half-built file behind.
    """
    built = []
    for script in sorted(Path(data_dir).glob("*.sql")):
        target = script.with_suffix(".sqlite3")
        if target.exists():
            continue
        try:
            fd, scratch = tempfile.mkstemp(prefix=target.name + ".", suffix=".tmp", dir=data_dir)
        except OSError as error:
            raise ScriptError(script, error.strerror or error) from None
        os.close(fd)
        try:
            _run_script(script, scratch)
            os.replace(scratch, target)
        except BaseException:
            os.unlink(scratch)
            raise
        built.append(target)
    return built
