"""Writing the store file so that nothing is lost.

Every change goes through ``write_store``: it takes an exclusive lock on a
lock file beside the store, reads the file as it is now (another process may
have written it since this one last looked), lets the caller change the
document, bumps the document's ``version`` and puts the new document in
place atomically: a temporary file in the same folder, flushed and synced,
renamed over the old one, and the folder synced so the rename itself
survives a crash.  A process killed at any point leaves either the old file
or the new one, never a mix; the lock is released by the kernel when the
killed process's descriptors close.

API keys are kept only as hashes: a plain ``apikey`` written into the file
by hand is replaced by its ``apikey_hash`` on the first write.
"""

import contextlib
import errno
import fcntl
import hashlib
import json
import logging
import os
import tempfile

from korvane.auth.apikey import hash_apikey

log = logging.getLogger(__name__)

#: Field of the document holding the number every write increases.
VERSION_FIELD = "version"


#: The highest version a store may carry: a signed 64-bit number, which
#: every reader of the file or of memcached's stamp can count with.
MAX_VERSION = 2**63 - 1
#: What ``json_problem`` finds.
NOT_UNICODE = "holds text that is not valid Unicode"
NESTED_TOO_DEEPLY = "is nested too deeply"


def json_problem(value, max_depth=None):
    """``(path, problem)`` for the first place in ``value`` (parsed JSON)
    that no store file can hold, or None: text that is not valid Unicode
    (JSON's escapes can write lone surrogates, which no encoder takes) or,
    with ``max_depth``, nesting more than that many levels deep.  ``path``
    lists the keys and indexes that lead there."""
    stack = [(value, ())]
    while stack:
        item, path = stack.pop()
        if max_depth is not None and len(path) >= max_depth:
            return path, NESTED_TOO_DEEPLY
        if isinstance(item, str):
            texts = ((item, path),)
        elif isinstance(item, dict):
            texts = [(key, path + (key,)) for key in item]
            stack.extend((member, path + (key,)) for key, member in item.items())
        elif isinstance(item, list):
            texts = ()
            stack.extend((member, path + (index,)) for index, member in enumerate(item))
        else:
            texts = ()
        for text, where in texts:
            if isinstance(text, str):
                try:
                    text.encode("utf-8")
                except UnicodeEncodeError:
                    return where, NOT_UNICODE
    return None


class StoreWriteError(OSError):
    """The store file could not be written (a full disk, a read-only or
    unwritable folder); the file is left as it was."""


def lock_path(path):
    return path + ".lock"


def document_version(data):
    """The version number of a store document; 0 for a file that never
    went through a write."""
    version = data.get(VERSION_FIELD, 0)
    return version if isinstance(version, int) and not isinstance(version, bool) else 0


def document_stamp(data):
    """"VERSION:DIGEST" of a store document: the version number and a
    digest of the content.  Two documents with one stamp are the same
    document, whatever their version numbers say (a file restored from a
    backup, or a folder started over, counts its versions again)."""
    canonical = json.dumps(data, sort_keys=True, separators=(",", ":"))
    return "{}:{}".format(document_version(data), hashlib.sha256(canonical.encode("ascii")).hexdigest()[:32])


@contextlib.contextmanager
def locked(path, required=True):
    """Hold the exclusive lock of the store file at ``path``.  Unless
    ``required``, a lock file that cannot be made (a folder this process
    may not write to, so it writes no store there) is done without."""
    try:
        lock = open(lock_path(path), "a")
    except OSError as error:
        if required:
            raise StoreWriteError(error.errno, "lock file {}: {}".format(lock_path(path), error.strerror or error)) from None
        yield
        return
    with lock:
        fcntl.flock(lock.fileno(), fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(lock.fileno(), fcntl.LOCK_UN)


def hash_plain_keys(data):
    """Replace every user's plain ``apikey`` by its hash, in place."""
    for record in (data.get("users") or {}).values():
        if isinstance(record, dict) and "apikey" in record:
            key = record.pop("apikey")
            if key:
                record["apikey_hash"] = hash_apikey(key)


def _fsync_folder(folder):
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _temporary_prefix(path):
    return "." + os.path.basename(path) + "-"


def remove_leftovers(path):
    """Remove the temporary files of writes that were killed before their
    rename.  Only called under the lock, when no write of this store is
    under way."""
    folder, prefix = os.path.dirname(path), _temporary_prefix(path)
    for name in os.listdir(folder):
        if name.startswith(prefix) and name.endswith(".tmp"):
            try:
                os.unlink(os.path.join(folder, name))
            except FileNotFoundError:
                pass


def replace_atomically(path, data, before_rename=None):
    """Put ``data`` (a JSON document) at ``path`` by writing a synced
    temporary file beside it and renaming it over the old one.  The new file
    keeps the old one's permission bits.  ``before_rename()``, when given,
    runs once the temporary file is complete, just before the rename."""
    folder = os.path.dirname(path)
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=_temporary_prefix(path), suffix=".tmp")
    try:
        try:
            os.fchmod(fd, os.stat(path).st_mode & 0o7777)
        except FileNotFoundError:
            pass
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            json.dump(data, f, indent=1, ensure_ascii=False)
            f.write("\n")
            f.flush()
            os.fsync(f.fileno())
        if before_rename is not None:
            before_rename()
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
    try:
        _fsync_folder(folder)
    except OSError as error:
        # The new file is in place and is what every reader now gets: the
        # write is made, only its survival of a power cut is in doubt.
        log.warning("store file %s written, but its folder could not be synced: %s", path, error.strerror or error)


def read_document(path):
    """The JSON document in the file at ``path``."""
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def write_store(path, change, after_replace=None, read=read_document, before_replace=None, published_version=None):
    """Apply ``change`` to the store file at ``path`` under the exclusive
    lock and return the new document.

    ``change(data)`` changes the freshly read document in place; whatever it
    raises leaves the file untouched.  Plain API keys are hashed and the
    version is bumped after it returns.  ``read(path)`` reads the document
    of the file and may refuse it.  ``published_version()``, when given,
    names a version already handed out elsewhere (memcached's): the new
    version is above it as well as above the file's, so that a file whose
    version went down (a backup restored) never gets a number the others
    already hold.  ``before_replace()`` runs just before the new file is
    renamed into place, ``after_replace(data)`` once it is there; both
    before the lock is released.
    """
    with locked(path):
        data = read(path)
        change(data)
        hash_plain_keys(data)
        latest = document_version(data)
        if published_version is not None:
            latest = max(latest, published_version())
        if latest >= MAX_VERSION:
            raise StoreWriteError(errno.EOVERFLOW, "store file {}: version {} is the last a store may carry".format(
                path, latest))
        data[VERSION_FIELD] = latest + 1
        try:
            remove_leftovers(path)
            replace_atomically(path, data, before_replace)
        except StoreWriteError:
            raise
        except OSError as error:
            # What the change made is lost, the old file stays: say so as
            # a failure to write, not as a fault of the server's own.
            raise StoreWriteError(error.errno, "store file {}: {}".format(path, error.strerror or error)) from None
        if after_replace is not None:
            after_replace(data)
        return data
