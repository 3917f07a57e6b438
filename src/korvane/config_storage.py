"""The configuration store: users, databases, stored queries and the
credentials kept for databases.

Records answer both attribute and keyed access.  Keyed access (``rec["x"]``,
``rec.get("x")``, ``"x" in rec``) sees only the fields the record was given;
attribute access also answers for the fields a record kind is known to have,
with an empty list for a missing list field and None for any other.  A
record is true when it has at least one field.
"""

import json
import os
import threading
from collections.abc import MutableMapping

from pyramid.httpexceptions import HTTPBadRequest

from korvane.constants import PUBLIC_USER_ID


class Record(MutableMapping):
    """A configuration record.  ``key`` is the id the store keeps it
    under; the attribute named by ``id_field`` falls back to it."""

    id_field = None
    list_fields = ()
    scalar_fields = ()
    #: Secrets: shown as "***" by ``repr``, so that logs never carry them.
    hidden_fields = ("password", "apikey")

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
    """

    def __init__(self, data=None, path=None):
        self.path = path
        self.pull_count = 0
        self._signature = None
        self._lock = threading.Lock()
        self._load(data or {})

    @classmethod
    def from_data(cls, data):
        """A store over in-memory ``data`` (the shape of a store file);
        ``pull`` never changes it."""
        return cls(data)

    @classmethod
    def from_file(cls, path):
        """A store over the JSON file at ``path``.  Relative ``sqlite_path``
        values are taken relative to the file's folder."""
        store = cls(path=os.path.abspath(path))
        store.pull(from_memcache=False)
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
        modification time or size changed since the last read; with it
        false it is re-read in any case.  A store made from in-memory data
        has nothing to refresh.  Every call is counted in ``pull_count``.
        """
        with self._lock:
            self.pull_count += 1
            if self.path is None:
                return
            stat = os.stat(self.path)
            signature = (stat.st_mtime_ns, stat.st_size)
            if from_memcache and signature == self._signature:
                return
            with open(self.path, encoding="utf-8") as f:
                data = json.load(f)
            self._load(data)
            self._signature = signature

    def get_credentials(self, db_id):
        """Return the ``DatabaseCredentials`` of ``db_id``, or None when no
        credentials are kept for that database."""
        return self._credentials.get(db_id)
