"""The configuration store: users, databases, stored queries and the
credentials kept for databases.

Records answer both attribute and keyed access.  Keyed access (``rec["x"]``,
``rec.get("x")``, ``"x" in rec``) sees only the fields the record was given;
attribute access also answers for the fields a record kind is known to have,
with an empty list for a missing list field and None for any other.  A
record is true when it has at least one field.
"""

import json
import logging
import os
import threading
import time
from collections.abc import MutableMapping

from pyramid.httpexceptions import HTTPBadRequest

from korvane.constants import PUBLIC_USER_ID

log = logging.getLogger(__name__)

#: The top-level members of a store; each maps ids to records (plain
#: objects), and "credentials" maps a database id to such a mapping.
STORE_SECTIONS = ("users", "databases", "querydefs", "credentials")

#: How long a refresh waits for a file that is being rewritten to settle
#: before it gives up, how long a bad version must stay unchanged to count
#: as final, and how often it looks again.
SETTLE_SECONDS = 1.0
SETTLE_QUIET = 0.1
SETTLE_STEP = 0.01


#: The signature of a store file that cannot be found.
_MISSING = ("missing",)


class StoreError(ValueError):
    """A store file that cannot be used: unreadable, not JSON, or not of
    the store's shape.  The message names the file and what is wrong."""


class Record(MutableMapping):
    """A configuration record.  ``key`` is the id the store keeps it
    under; the attribute named by ``id_field`` falls back to it."""

    id_field = None
    list_fields = ()
    scalar_fields = ()
    hidden_fields = ("password",)

    def __init__(self, fields=None, key=None, **kw):
        object.__setattr__(self, "_fields", dict(fields or {}, **kw))
        object.__setattr__(self, "key", key)

    def __getitem__(self, name):
        return self._fields[name]

    def __setitem__(self, name, value):
        self._fields[name] = value

    def __delitem__(self, name):
        del self._fields[name]

    def __iter__(self):
        return iter(self._fields)

    def __len__(self):
        return len(self._fields)

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        if name in self._fields:
            return self._fields[name]
        if name == self.id_field:
            return self.key
        if name in self.list_fields:
            return []
        if name in self.scalar_fields:
            return None
        raise AttributeError(
            "{} has no field {!r}".format(type(self).__name__, name)
        )

    def __setattr__(self, name, value):
        self._fields[name] = value

    def to_dict(self):
        return dict(self._fields)

    def __repr__(self):
        shown = {
            k: ("***" if k in self.hidden_fields else v) for k, v in self._fields.items()
        }
        return "{}({!r}, key={!r})".format(type(self).__name__, shown, self.key)


class UserRecord(Record):
    """A user.  ``querydef``, ``dbdef``, ``userdef`` and ``dbcreds`` list
    the user's rights ("view", "create") over query, database and user
    definitions and stored credentials; ``view``, ``edit`` and ``creator``
    say who may see and change this definition and who made it."""

    id_field = "user_id"
    list_fields = ("databases", "querydef", "dbdef", "userdef", "dbcreds", "view", "edit")
    scalar_fields = ("password", "apikey", "creator")

    def validate(self, all_users):
        """Raise ``HTTPBadRequest`` when the definition names users (in
        ``view``, ``edit`` or as ``creator``) that are not among
        ``all_users`` (an iterable of user records); return None otherwise.
        "public" stands for everybody and is always accepted."""
        known = {user.user_id for user in all_users} | {PUBLIC_USER_ID}
        named = set(self.view) | set(self.edit)
        if self.creator:
            named.add(self.creator)
        unknown = sorted(named - known)
        if unknown:
            raise HTTPBadRequest(
                explanation="User definition '{}' names unknown users: {}.".format(
                    self.user_id, ", ".join("'{}'".format(u) for u in unknown)
                )
            )


class DatabaseRecord(Record):
    """A database: who may read, write and execute on it, and where it is
    (``sqlite_path`` for a local SQLite file, or ``url``)."""

    id_field = "db_id"
    list_fields = ("read", "write", "execute")
    scalar_fields = ("sqlite_path", "url", "description")


class QueryRecord(Record):
    """A stored query: the ``database`` it runs on, its ``sql`` with named
    parameters, who may ``read``, ``write`` (edit) and ``execute`` it
    ("public" in ``execute`` opens it to everybody), and ``http_methods``,
    the methods it may be called with (name -> enabled flag)."""

    id_field = "query_id"
    list_fields = ("read", "write", "execute")
    scalar_fields = ("database", "sql", "description")

    def __getattr__(self, name):
        if name == "http_methods" and name not in self._fields:
            return {}
        return super().__getattr__(name)


class CredentialRecord(Record):
    """Login data kept for a database, with the users who may ``view`` and
    ``edit`` it."""

    list_fields = ("view", "edit")
    scalar_fields = ("username", "description")


class DatabaseCredentials:
    """The credentials kept for one database: ``credentials`` maps a
    credential id to its ``CredentialRecord``."""

    def __init__(self, db_id, credentials):
        self.db_id = db_id
        self.credentials = credentials


def check_store_data(data, required_users=()):
    """Raise ``StoreError`` unless ``data`` has the shape of a store: an
    object whose sections (all optional) map ids to objects, with
    "credentials" one level deeper, and holding every user id of
    ``required_users``."""
    if not isinstance(data, dict):
        raise StoreError("the store must be a JSON object, not {}".format(type(data).__name__))
    for section in STORE_SECTIONS:
        entries = data.get(section)
        if entries is None:
            continue
        if not isinstance(entries, dict):
            raise StoreError("member '{}' must be an object".format(section))
        for key, entry in entries.items():
            if not isinstance(entry, dict):
                raise StoreError("entry '{}' of '{}' must be an object".format(key, section))
            if section == "credentials" and not all(isinstance(e, dict) for e in entry.values()):
                raise StoreError("the credentials of database '{}' must be objects".format(key))
    missing = [user for user in required_users if user not in (data.get("users") or {})]
    if missing:
        raise StoreError(
            "the store has no user {}: the server needs the users {}".format(
                " or ".join("'{}'".format(user) for user in missing),
                " and ".join("'{}'".format(user) for user in required_users),
            )
        )


def _records(record_class, entries):
    return {
        key: value if isinstance(value, Record) else record_class(value, key=key)
        for key, value in (entries or {}).items()
    }


class ConfigStorage:
    """The server's configuration, refreshed from its source by ``pull``.

    ``users``, ``databases`` and ``querydefs`` are dicts of id to record.
    A refresh replaces them with new dicts, so a caller holding one keeps a
    consistent view for the rest of its request.

    A store over a file keeps serving its last good version when the file
    turns bad (unreadable, not JSON, wrong shape, lacking one of
    ``required_users``): the refresh logs one error per bad version and
    tries again once the file changes.  A file caught while it is being
    rewritten is read again until it settles.
    """

    def __init__(self, data=None, path=None, required_users=()):
        self.path = path
        self.required_users = tuple(required_users)
        self.pull_count = 0
        self._signature = None
        self._bad_signature = None
        self._lock = threading.Lock()
        self._load(data or {})

    @classmethod
    def from_data(cls, data):
        """A store over in-memory ``data`` (the shape of a store file);
        ``pull`` never changes it."""
        return cls(data)

    @classmethod
    def from_file(cls, path, required_users=()):
        """A store over the JSON file at ``path``.  Relative ``sqlite_path``
        values are taken relative to the file's folder.

        The file must be usable now: otherwise ``StoreError`` says why.
        ``required_users`` lists user ids every version must hold (the
        server needs "admin" and "public").
        """
        store = cls(path=os.path.abspath(path), required_users=required_users)
        with store._lock:
            # The first read is the store's first pull.
            store.pull_count += 1
            signature, data = store._read_settled()
            store._load(data)
            store._signature = signature
        return store

    def _load(self, data):
        self.users = _records(UserRecord, data.get("users"))
        self.databases = _records(DatabaseRecord, data.get("databases"))
        self.querydefs = _records(QueryRecord, data.get("querydefs"))
        self._credentials = {
            db_id: DatabaseCredentials(db_id, _records(CredentialRecord, entries))
            for db_id, entries in (data.get("credentials") or {}).items()
        }
        if self.path:
            folder = os.path.dirname(self.path)
            for record in self.databases.values():
                if record.get("sqlite_path"):
                    record["sqlite_path"] = os.path.join(folder, record["sqlite_path"])

    def pull(self, from_memcache=True):
        """Refresh the store from its file.

        With ``from_memcache`` true the file is re-read only when its
        modification time, size or inode changed since the last read; with
        it false it is re-read in any case.  A bad version is never taken
        (see the class's description).  A store made from in-memory data
        has nothing to refresh.  Every call is counted in ``pull_count``.
        """
        with self._lock:
            self.pull_count += 1
            if self.path is None:
                return
            try:
                signature = self._stat()
            except StoreError as error:
                self._report(_MISSING, error)
                return
            if signature in (self._signature, self._bad_signature) and (
                from_memcache or signature == self._bad_signature
            ):
                return
            try:
                signature, data = self._read_settled()
            except StoreError as error:
                self._report(signature, error)
                return
            self._load(data)
            self._signature = signature
            self._bad_signature = None

    def _stat(self):
        try:
            stat = os.stat(self.path)
        except OSError as error:
            raise StoreError("store file {}: {}".format(self.path, error.strerror or error)) from None
        return (stat.st_mtime_ns, stat.st_size, stat.st_ino)

    def _read_once(self):
        """(signature, data) of one read.  ``_Unsettled`` when the file
        changed while it was read or is empty (a rewrite has just
        truncated it); ``StoreError``, carrying the version's signature,
        when it is unusable."""
        before = self._stat()
        try:
            with open(self.path, "rb") as f:
                raw = f.read()
        except OSError as error:
            raise StoreError("store file {}: {}".format(self.path, error.strerror or error)) from None
        if self._stat() != before or not raw.strip():
            raise _Unsettled()
        try:
            data = json.loads(raw.decode("utf-8"))
            check_store_data(data, self.required_users)
        except StoreError as error:
            failure = StoreError("store file {}: {}".format(self.path, error))
        except (UnicodeDecodeError, ValueError, RecursionError) as error:
            failure = StoreError("store file {} is not valid JSON: {}".format(self.path, error))
        else:
            return before, data
        failure.signature = before
        raise failure

    def _read_settled(self):
        """Read the file, reading again while it is being rewritten.

        A writer that rewrites the file in place leaves it empty or half
        written for a moment.  A read that fails is repeated once the file
        changes, for up to ``SETTLE_SECONDS``; a bad version that stays as
        it is for ``SETTLE_QUIET`` raises ``StoreError``.
        """
        deadline = time.monotonic() + SETTLE_SECONDS
        while True:
            try:
                return self._read_once()
            except _Unsettled:
                error = StoreError("store file {} is empty or kept changing while it was read".format(self.path))
                signature = None
            except StoreError as failure:
                error, signature = failure, getattr(failure, "signature", None)
            # Wait for the file to change; a bad version that stays as it
            # is for SETTLE_QUIET is final.
            quiet_until = time.monotonic() + SETTLE_QUIET
            while True:
                if time.monotonic() >= deadline:
                    raise error
                time.sleep(SETTLE_STEP)
                if signature is None or self._stat() != signature:
                    break
                if time.monotonic() >= quiet_until:
                    raise error

    def _report(self, signature, error):
        """Log a bad version once; keep serving the last good one."""
        signature = getattr(error, "signature", signature)
        if signature is not None and signature == self._bad_signature:
            return
        self._bad_signature = signature
        log.error("%s; still serving the last good version of the store", error)

    def get_credentials(self, db_id):
        """Return the ``DatabaseCredentials`` of ``db_id``, or None when no
        credentials are kept for that database."""
        return self._credentials.get(db_id)


class _Unsettled(Exception):
    """The store file changed while it was being read."""
