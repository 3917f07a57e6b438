"""The demo's SQLite databases, built from SQL scripts on first start."""

import os
import sqlite3
import tempfile
from pathlib import Path


def build_missing_databases(data_dir):
    """For each ``NAME.sql`` in ``data_dir`` without a ``NAME.sqlite3``
    beside it, run the script into a new database file.  Return the paths
    built.

    A database is built under a temporary name and renamed into place
    only once complete, so a failed script or a second server starting at
    the same moment never leaves a half-built file behind.
    """
    built = []
    for script in sorted(Path(data_dir).glob("*.sql")):
        target = script.with_suffix(".sqlite3")
        if target.exists():
            continue
        fd, scratch = tempfile.mkstemp(prefix=target.name + ".", suffix=".tmp", dir=data_dir)
        os.close(fd)
        try:
            connection = sqlite3.connect(scratch)
            try:
                connection.executescript(script.read_text(encoding="utf-8"))
                connection.commit()
            finally:
                connection.close()
            os.replace(scratch, target)
        except BaseException:
            os.unlink(scratch)
            raise
        built.append(target)
    return built
