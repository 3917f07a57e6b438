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
from abc import ABCMeta
from collections.abc import MutableMapping

from pyramid.httpexceptions import HTTPBadRequest

from korvane.constants import PUBLIC_USER_ID, STD_HTTP_METHODS
from korvane.store_cache import DOWN, MISSING, stamp_version
from korvane.store_writer import (MAX_VERSION, VERSION_FIELD, document_stamp, document_version, json_problem, locked,
                                  write_store)

# Kinds of field values a record may hold, by the check that accepts them.
TEXT = "a text"
OPTIONAL_TEXT = "a text or null"
USER_LIST = "a list of user ids"
DATABASE_LIST = "a list of database ids"
RIGHTS = 'a list of rights ("view", "create")'
METHOD_FLAGS = "an object of HTTP methods to true or false"
RIGHT_NAMES = ("view", "create")


def _is_text_list(value):
    return isinstance(value, list) and all(isinstance(item, str) for item in value)


_FIELD_CHECKS = {
    TEXT: lambda value: isinstance(value, str),
    OPTIONAL_TEXT: lambda value: value is None or isinstance(value, str),
    USER_LIST: _is_text_list,
    DATABASE_LIST: _is_text_list,
    RIGHTS: lambda value: _is_text_list(value) and set(value) <= set(RIGHT_NAMES),
    METHOD_FLAGS: lambda value: isinstance(value, dict)
    and all(name in STD_HTTP_METHODS and isinstance(flag, bool) for name, flag in value.items()),
}

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
#: ``_publish_file`` with no condition on what memcached holds.
_ANY = object()
#: ``Record.get`` called without a default.
_NO_DEFAULT = object()


class StoreError(ValueError):
    """A store file that cannot be used: unreadable, not JSON, not of the
    store's shape, or with a record value of the wrong type.  The message names the file and what is wrong."""


class UnusableChange(ValueError):
    """A change that would leave a store this server refuses to load (a
    user it needs removed); the file is left as it was."""


# What an absent field reads as, by kind (a scalar field reads as None).
_ABSENT_ID = object()
_ABSENT_LIST = object()
_ABSENT_MAPPING = object()
_NOT_A_FIELD = object()


class _RecordType(ABCMeta):
    """Keeps a record class's table of what its absent fields read as in
    step with the class attributes that say it.  Every read of a field a
    record lacks looks there: scanning those tuples on each read cost more
    than the read itself."""

    _KIND_ATTRIBUTES = frozenset({"id_field", "list_fields", "scalar_fields", "mapping_fields"})

    def __init__(cls, name, bases, namespace, **kw):
        super().__init__(name, bases, namespace, **kw)
        cls._tabulate_absent_fields()

    def __setattr__(cls, name, value):
        super().__setattr__(name, value)
        if name in _RecordType._KIND_ATTRIBUTES:
            cls._retabulate()

    def __delattr__(cls, name):
        super().__delattr__(name)
        if name in _RecordType._KIND_ATTRIBUTES:
            cls._retabulate()

    def _retabulate(cls):
        # Subclasses inherit what was changed unless they set it themselves.
        pending = [cls]
        while pending:
            record_class = pending.pop()
            record_class._tabulate_absent_fields()
            pending.extend(record_class.__subclasses__())

    def _tabulate_absent_fields(cls):
        # Where a name has several kinds, the first of mapping, id, list and
        # scalar wins: written last.
        table = dict.fromkeys(cls.scalar_fields)
        table.update(dict.fromkeys(cls.list_fields, _ABSENT_LIST))
        if cls.id_field is not None:
            table[cls.id_field] = _ABSENT_ID
        table.update(dict.fromkeys(cls.mapping_fields, _ABSENT_MAPPING))
        type.__setattr__(cls, "_absent_fields", table)


class Record(MutableMapping, metaclass=_RecordType):
    """A configuration record.  ``key`` is the id the store keeps it
    under; the attribute named by ``id_field`` falls back to it."""

    id_field = None
    list_fields = ()
    scalar_fields = ()
    #: Fields holding a mapping: absent, they read as an empty one.
    mapping_fields = ()
    #: Secrets: shown as "***" by ``repr``, so that logs never carry them.
    hidden_fields = ("password", "apikey")
    #: How definitions of this kind are named in messages.
    kind = "Record"
    #: Every field a record may hold, with the kind of value it takes.
    schema = {}
    #: Fields a record must hold.
    required = ()
    #: Fields holding user ids, checked against the known users.
    user_fields = ()

    def __init__(self, fields=None, key=None, **kw):
        object.__setattr__(self, "_fields", dict(fields or {}, **kw))
        object.__setattr__(self, "key", key)

    def __getitem__(self, name):
        return self._fields[name]

    def get(self, name, default=_NO_DEFAULT):
        # A list field left out holds nothing, as its attribute says: the
        # contexts test membership in what this answers.
        if name in self._fields:
            return self._fields[name]
        if default is not _NO_DEFAULT:
            return default
        return [] if name in self.list_fields else None

    def __setitem__(self, name, value):
        self._fields[name] = value

    def __delitem__(self, name):
        del self._fields[name]

    def __iter__(self):
        return iter(self._fields)

    def __len__(self):
        return len(self._fields)

    def __getattr__(self, name):
        # Every read of a field comes here, and the interpreter cannot
        # specialise reads of a class with a __getattr__: so the field a
        # record holds is answered with one read of the instance, and an
        # absent one with one lookup in its class's table.
        if name[:1] == "_":
            raise AttributeError(name)
        fields = self._fields
        if name in fields:
            return fields[name]
        absent = type(self)._absent_fields.get(name, _NOT_A_FIELD)
        if absent is None:
            return None
        if absent is _ABSENT_LIST:
            return []
        if absent is _ABSENT_ID:
            return self.key
        if absent is _ABSENT_MAPPING:
            return {}
        raise AttributeError(
            "{} has no field {!r}".format(type(self).__name__, name)
        )

    def __setattr__(self, name, value):
        self._fields[name] = value

    def to_dict(self):
        return dict(self._fields)

    def check_fields(self, all_users):
        """Raise ``HTTPBadRequest`` for a field the kind does not know, a
        value of the wrong type, a missing required field, or a user id that
        is not among ``all_users`` (user records; "public" always counts)."""
        name = self.get(self.id_field, self.key) if self.id_field else self.key
        unknown = sorted(set(self._fields) - set(self.schema))
        if unknown:
            self._refuse(name, "has unknown fields: {}", ", ".join("'{}'".format(f) for f in unknown))
        problem = self.value_problem()
        if problem:
            self._refuse(name, *problem)
        known = {user.user_id for user in all_users} | {PUBLIC_USER_ID}
        named = set()
        for field in self.user_fields:
            value = self._fields.get(field)
            named.update(value if isinstance(value, list) else [value] if value else [])
        unknown_users = sorted(named - known)
        if unknown_users:
            self._refuse(name, "names unknown users: {}", ", ".join("'{}'".format(u) for u in unknown_users))

    def value_problem(self):
        """What is wrong with the values of the fields the kind knows, as
        (problem, *arguments) for ``_refuse``, or None: a required field
        missing or a value of the wrong type.  Fields the kind does not
        know are left to the caller."""
        for field in self.required:
            if field not in self._fields:
                return ("lacks the field '{}'", field)
        for field, value in self._fields.items():
            expected = self.schema.get(field)
            if expected is not None and not _FIELD_CHECKS[expected](value):
                return ("field '{}' must be {}", field, expected)
        return None

    def _refuse(self, name, problem, *args):
        raise HTTPBadRequest(
            explanation="{} '{}' {}.".format(self.kind, name, problem.format(*args))
        )

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
    scalar_fields = ("password", "apikey", "apikey_hash", "creator")
    hidden_fields = ("password", "apikey", "apikey_hash")
    kind = "User definition"
    schema = {
        "password": OPTIONAL_TEXT,
        "apikey": OPTIONAL_TEXT,
        "apikey_hash": OPTIONAL_TEXT,
        "databases": DATABASE_LIST,
        "querydef": RIGHTS,
        "dbdef": RIGHTS,
        "userdef": RIGHTS,
        "dbcreds": RIGHTS,
        "view": USER_LIST,
        "edit": USER_LIST,
        "creator": OPTIONAL_TEXT,
        "description": OPTIONAL_TEXT,
    }
    user_fields = ("view", "edit", "creator")
    #: The fields that give a user rights: only those who hold a right may
    #: hand it on.
    rights_fields = ("databases", "querydef", "dbdef", "userdef", "dbcreds")

    def validate(self, all_users, databases=None):
        """Raise ``HTTPBadRequest`` when the definition is malformed (an
        unknown field, a value of the wrong type), names users (in
        ``view``, ``edit`` or as ``creator``) that are not among
        ``all_users`` (an iterable of user records) or, with ``databases``
        (the ids of the databases defined), names in ``databases`` a
        database that is not defined; return None otherwise.  "public"
        stands for everybody and is always accepted."""
        self.check_fields(all_users)
        if databases is not None:
            # A grant of a database that does not exist would open the next
            # database made under that id to this user.
            unknown = sorted(set(self.databases) - set(databases))
            if unknown:
                self._refuse(self.key, "names unknown databases: {}", ", ".join("'{}'".format(d) for d in unknown))


class DatabaseRecord(Record):
    """A database: who may read, write and execute on it, and where it is
    (``sqlite_path`` for a local SQLite file, or ``url``)."""

    id_field = "db_id"
    list_fields = ("read", "write", "execute")
    scalar_fields = ("sqlite_path", "url", "description")
    kind = "Database definition"
    schema = {
        "sqlite_path": OPTIONAL_TEXT,
        "url": OPTIONAL_TEXT,
        "description": OPTIONAL_TEXT,
        "read": USER_LIST,
        "write": USER_LIST,
        "execute": USER_LIST,
    }
    user_fields = ("read", "write", "execute")

    def validate(self, all_users):
        """Raise ``HTTPBadRequest`` when the definition is malformed or
        names unknown users."""
        self.check_fields(all_users)


class QueryRecord(Record):
    """A stored query: the ``database`` it runs on, its ``sql`` with named
    parameters, who may ``read``, ``write`` (edit) and ``execute`` it
    ("public" in ``execute`` opens it to everybody), and ``http_methods``,
    the methods it may be called with (name -> enabled flag)."""

    id_field = "query_id"
    list_fields = ("read", "write", "execute")
    scalar_fields = ("database", "sql", "description")
    mapping_fields = ("http_methods",)
    kind = "Query definition"
    schema = {
        "database": TEXT,
        "sql": TEXT,
        "description": OPTIONAL_TEXT,
        "http_methods": METHOD_FLAGS,
        "read": USER_LIST,
        "write": USER_LIST,
        "execute": USER_LIST,
    }
    required = ("database", "sql")
    user_fields = ("read", "write", "execute")

    def validate(self, all_users, databases=None):
        """Raise ``HTTPBadRequest`` when the definition is malformed, names
        unknown users, or (with ``databases``, a mapping of database
        definitions) runs on a database that is not defined."""
        self.check_fields(all_users)
        if databases is not None and self.database not in databases:
            self._refuse(self.query_id, "runs on database '{}', which is not defined", self.database)


class CredentialRecord(Record):
    """Login data kept for a database, with the users who may ``view`` and
    ``edit`` it."""

    list_fields = ("view", "edit")
    scalar_fields = ("username", "description")
    kind = "Credentials"
    schema = {
        "username": OPTIONAL_TEXT,
        "password": OPTIONAL_TEXT,
        "description": OPTIONAL_TEXT,
        "view": USER_LIST,
        "edit": USER_LIST,
    }
    user_fields = ("view", "edit")

    def validate(self, all_users):
        """Raise ``HTTPBadRequest`` when the entry is malformed or names
        unknown users."""
        self.check_fields(all_users)


#: The record kind of each section's entries ("credentials" holds them
#: one level deeper).
_SECTION_RECORDS = {"users": UserRecord, "databases": DatabaseRecord, "querydefs": QueryRecord}


class DatabaseCredentials:
    """The credentials kept for one database: ``credentials`` maps a
    credential id to its ``CredentialRecord``."""

    def __init__(self, db_id, credentials):
        self.db_id = db_id
        self.credentials = credentials


def check_store_data(data, required_users=()):
    """Raise ``StoreError`` unless ``data`` has the shape of a store: an
    object whose "version" (optional) is a whole number of at least 0 and
    whose sections (all optional) map ids to objects, with
    "credentials" one level deeper, whose records hold the fields their
    kind requires and values of the types their kind takes, and holding
    every user id of ``required_users``."""
    if not isinstance(data, dict):
        raise StoreError("the store must be a JSON object, not {}".format(type(data).__name__))
    # Versions count up from 0 and are shared as digits in memcached's
    # stamp: one of another kind would never match a stamp, and every
    # request would publish the store again.
    version = data.get(VERSION_FIELD, 0)
    if not isinstance(version, int) or isinstance(version, bool) or not 0 <= version <= MAX_VERSION:
        raise StoreError("member '{}' must be a whole number from 0 to {}".format(VERSION_FIELD, MAX_VERSION))
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
    # Every write puts the whole document back into the file: text it
    # cannot hold would fail them all.
    found = json_problem(data)
    if found is not None:
        raise StoreError("{} {}".format(_place(found[0]), found[1]))
    # The records' values are used as their kinds say (keys hashed as text,
    # access lists tested for membership, paths joined): one of the wrong
    # type would fail every request that reaches it, or, as a text where a
    # list belongs, turn membership into a substring test.
    for section, record_class in _SECTION_RECORDS.items():
        for key, entry in (data.get(section) or {}).items():
            _check_record_values(record_class(entry, key=key), "")
    for db_id, entries in (data.get("credentials") or {}).items():
        for key, entry in entries.items():
            _check_record_values(CredentialRecord(entry, key=key), " of database '{}'".format(db_id))
    missing = [user for user in required_users if user not in (data.get("users") or {})]
    if missing:
        raise StoreError(
            "the store has no user {}: the server needs the users {}".format(
                " or ".join("'{}'".format(user) for user in missing),
                " and ".join("'{}'".format(user) for user in required_users),
            )
        )


def _place(path):
    """The record and field that ``path`` (see ``json_problem``) leads into,
    as the store's errors name them."""
    section, *rest = path
    if section == "credentials" and len(rest) >= 2:
        db_id, key, *rest = rest
        place = "{} {!r} of database {!r}".format(CredentialRecord.kind, key, db_id)
    elif section in _SECTION_RECORDS and rest:
        key, *rest = rest
        place = "{} {!r}".format(_SECTION_RECORDS[section].kind, key)
    else:
        return "member {!r}".format(section) if not rest else "member {!r} entry {!r}".format(section, rest[0])
    return place if not rest else "{} field {!r}".format(place, rest[0])


def _check_record_values(record, where):
    """``StoreError`` worded as the API refuses such a record.  Fields the
    kind does not know are let through: a hand edit may carry notes."""
    problem = record.value_problem()
    if problem:
        text, *args = problem
        raise StoreError("{} '{}'{} {}".format(record.kind, record.key, where, text.format(*args)))


def _records(record_class, entries):
    return {
        key: value if isinstance(value, Record) else record_class(value, key=key)
        for key, value in (entries or {}).items()
    }


class ConfigStorage:
    """The server's configuration, refreshed from its source by ``pull``.

    ``users``, ``databases`` and ``querydefs`` are dicts of id to record.
    A refresh replaces them with new dicts, so a caller holding one keeps a
    consistent view for the rest of its request.  ``version`` is the
    version number of the document loaded (0 for a file never written
    through ``write``); with a cache, ``stamp`` is its version and a digest
    of its content (``korvane.store_writer.document_stamp``).

    A store over a file keeps serving its last good version when the file
    turns bad (unreadable, not JSON, wrong shape, lacking one of
    ``required_users``): the refresh logs one error per bad version and
    tries again once the file changes.  A file caught while it is being
    rewritten is read again until it settles.

    With a ``cache`` (a ``korvane.store_cache.StoreCache``) the processes of
    a deployment share the store through memcached: see ``pull`` and
    ``write``.
    """

    def __init__(self, data=None, path=None, required_users=(), cache=None):
        self.path = path
        self.required_users = tuple(required_users)
        self.cache = cache
        self.pull_count = 0
        self.version = 0
        self.stamp = None
        self._signature = None
        self._bad_signature = None
        self._document = None
        # Held through acquire / try / finally, never `with`: the interpreter's
        # call of a lock's __exit__ allocates its arguments, and when memory
        # runs out there the lock stays held and every later caller hangs.
        self._lock = threading.Lock()
        self._request = threading.local()
        self._load(data or {})

    @classmethod
    def from_data(cls, data):
        """A store over in-memory ``data`` (the shape of a store file);
        ``pull`` never changes it."""
        return cls(data)

    @classmethod
    def from_file(cls, path, required_users=(), cache=None):
        """A store over the JSON file at ``path``.  Relative ``sqlite_path``
        values are taken relative to the file's folder.

        The file must be usable now: otherwise ``StoreError`` says why.
        ``required_users`` lists user ids every version must hold (the
        server needs "admin" and "public").
        """
        store = cls(path=os.path.abspath(path), required_users=required_users, cache=cache)
        store._lock.acquire()
        try:
            # The first read is the store's first pull.
            store.pull_count += 1
            store._take_file()
        finally:
            store._lock.release()
        if cache is not None:
            # What memcached holds may come from an earlier life of the
            # folder (deleted to start over, a backup put back): the file
            # is the store, so its document replaces whatever is there.
            store._publish_file(_ANY)
        return store

    @property
    def folder(self):
        return os.path.dirname(self.path) if self.path else None

    def _target(self):
        """The file the store's path names, through any symbolic links:
        a write replaces that file (renaming over a link would turn the
        link into a plain file and leave its target behind) and locks it
        there, so that every path to one file takes one lock.  Resolved at
        each write, so a link pointed elsewhere is followed."""
        return os.path.realpath(self.path)

    def _load(self, data, stamp=None):
        # Everything is built before anything is assigned: a document that
        # fails half-way must leave the last good store whole.
        users = _records(UserRecord, data.get("users"))
        databases = _records(DatabaseRecord, data.get("databases"))
        querydefs = _records(QueryRecord, data.get("querydefs"))
        credentials = {
            db_id: DatabaseCredentials(db_id, _records(CredentialRecord, entries))
            for db_id, entries in (data.get("credentials") or {}).items()
        }
        if self.path:
            for record in databases.values():
                if record.get("sqlite_path"):
                    record["sqlite_path"] = os.path.join(self.folder, record["sqlite_path"])
        # Only a shared store compares stamps; others need not hash.
        stamp = stamp or (document_stamp(data) if self.cache is not None else None)
        self.version = document_version(data)
        self.stamp = stamp
        self._document = data
        self.users, self.databases, self.querydefs = users, databases, querydefs
        self._credentials = credentials

    def _take_file(self):
        """Load the file as it is now; ``StoreError`` when it is unusable."""
        signature, data = self._read_settled()
        self._load(data)
        self._signature = signature
        self._bad_signature = None

    def pull(self, from_memcache=True):
        """Refresh the store.

        With ``from_memcache`` true and a cache, memcached is asked for the
        store's stamp (one ``get``) and nothing more happens while it is
        the stamp of the store loaded and the file's signature (one
        ``stat``) is the one it had then.  A newer stamp is loaded from the
        published document, or failing that from the file.  Any other
        stamp (none at all, or one not above this store's version: a
        publish lost, a file restored by hand) sends the store to the file,
        and when memcached's copy is not the file's, the file's document is
        published again (read under the write lock, see ``_publish_file``).
        Without a cache, or while memcached cannot be reached, the file is
        re-read only when its modification time, size or inode changed
        since the last read.  With ``from_memcache`` false it is re-read in
        any case.  A bad version is never taken (see the class's
        description).  A store made from in-memory data has nothing to
        refresh.  Every call is counted in ``pull_count``.
        """
        self._lock.acquire()
        try:
            self.pull_count += 1
            if self.path is None:
                return
            if from_memcache and getattr(self._request, "fresh", False):
                # Refreshed when this thread's request began: one check per
                # request, and the request sees one version throughout.
                self._request.fresh = False
                return
            if not from_memcache or self.cache is None:
                self._pull_file(from_memcache)
                return
            shared = self.cache.stamp()
            if shared == self.stamp and self._file_unchanged():
                return
            if shared not in (MISSING, DOWN) and stamp_version(shared) > self.version and self._take_shared(shared):
                return
            self._pull_file(from_memcache=True)
            if shared is DOWN or shared == self.stamp or self._signature is None or self._bad_signature is not None:
                return
        finally:
            self._lock.release()
        # Memcached holds no store (started empty, or a writer withdrew its
        # stamp and died), or one that is not the file's.  Taken outside the
        # store's lock: a write holds the file lock while it waits for it.
        self._publish_file(shared)

    def _take_shared(self, shared):
        """Load the document published under the stamp ``shared``; False
        when there is none (too large for memcached, or already replaced)
        or it is unusable."""
        published = self.cache.document(shared)
        if published is None:
            return False
        data, signature = published
        try:
            check_store_data(data, self.required_users)
        except StoreError:
            return False
        self._load(data, shared)
        # The file as the publisher left it: once it is not, the file is read.
        self._signature = signature
        return True

    def _file_unchanged(self):
        """Whether the file is still the one the store was loaded from (a
        file that cannot be looked at counts as unchanged: the file check
        reports it).  A writer that could not reach memcached changed the
        file without withdrawing the stamp memcached holds."""
        try:
            return self._stat() == self._signature
        except StoreError:
            return True

    def _publish_file(self, seen):
        """Publish the file's document while memcached still holds the stamp
        ``seen`` (``_ANY``: whatever it holds).  Under the write lock, with
        the file read again when it changed, so that nothing older than the
        file goes over a write that was published meanwhile."""
        with locked(self._target(), required=False):
            self._lock.acquire()
            try:
                if seen is not _ANY and self.cache.stamp() != seen:
                    return  # published by another process meanwhile
                try:
                    signature = self._stat()
                except StoreError as error:
                    self._report(_MISSING, error)
                    return
                if signature == self._bad_signature:
                    return
                if signature != self._signature:
                    try:
                        self._take_file()
                    except StoreError as error:
                        self._report(signature, error)
                        return
                self.cache.publish(self._document, self.stamp, self._signature)
            finally:
                self._lock.release()

    def begin_request(self):
        """Refresh the store for a request that is starting on this thread.
        The first ``pull`` the request's context makes then costs nothing:
        the request is served from the version found here."""
        # A request refused before any context ran (an unknown key, no
        # route) left its mark unused: it must not spare this one the check.
        self._request.fresh = False
        self.pull(from_memcache=True)
        self._request.fresh = True

    def _pull_file(self, from_memcache):
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
            self._take_file()
        except StoreError as error:
            self._report(signature, error)

    def write(self, change):
        """Change the store file through ``change(data)`` (see
        ``korvane.store_writer.write_store``), load the result, and publish
        it to memcached before the file lock is released, so that versions
        reach memcached in the order they were written.  Returns the new
        document.  ``StoreError`` when the file is unusable as it is: a
        write never replaces a file it could not read."""
        if self.path is None:
            raise RuntimeError("a store made from in-memory data cannot be written")

        def read(path):
            # Reading fails as the view expects (StoreError) whatever is
            # wrong: no file, a folder in its place, bytes that are not
            # UTF-8, text that is not JSON, or a document of the wrong shape.
            # The lock keeps out other writes, not an editor rewriting the
            # file in place: a file caught so is waited for as a refresh
            # waits for it.
            return self._read_settled(path)[1]

        def checked_change(data):
            change(data)
            # Written, such a document would refuse every later change and
            # the next start of the server.
            try:
                check_store_data(data, self.required_users)
            except StoreError as error:
                raise UnusableChange(str(error)) from None

        def after_replace(data):
            self._lock.acquire()
            try:
                self._load(data)
                self._signature = self._stat()
                self._bad_signature = None
                if self.cache is not None:
                    # When this fails, memcached holds no stamp (withdrawn
                    # before the rename): the others go to the file.
                    self.cache.publish(data, self.stamp, self._signature)
            finally:
                self._lock.release()

        target = self._target()
        if self.cache is None:
            return write_store(target, checked_change, after_replace, read=read)

        def published_version():
            # The version counts up from the highest handed out, even when
            # the file's went down (a backup put back by hand).
            self._lock.acquire()
            try:
                shared = self.cache.stamp()
                return max(self.version, stamp_version(shared) if shared not in (MISSING, DOWN) else 0)
            finally:
                self._lock.release()

        def withdraw():
            # A publish that fails, or a writer killed between the rename
            # and the publish, must not leave the old stamp standing over
            # the new file.  (When memcached cannot be reached at all, the
            # others watch the file as this process does.)
            self._lock.acquire()
            try:
                self.cache.withdraw()
            finally:
                self._lock.release()

        return write_store(target, checked_change, after_replace, read=read, before_replace=withdraw,
                           published_version=published_version)

    def _stat(self, path=None):
        path = path or self.path
        try:
            stat = os.stat(path)
        except OSError as error:
            raise StoreError("store file {}: {}".format(path, error.strerror or error)) from None
        return (stat.st_mtime_ns, stat.st_size, stat.st_ino)

    def _read_once(self, path=None):
        """(signature, data) of one read of the file at ``path`` (the
        store's own by default).  ``_Unsettled`` when the file changed
        while it was read or is empty (a rewrite has just truncated it);
        ``StoreError``, carrying the version's signature, when it is
        unusable."""
        path = path or self.path
        before = self._stat(path)
        try:
            with open(path, "rb") as f:
                raw = f.read()
        except OSError as error:
            raise StoreError("store file {}: {}".format(path, error.strerror or error)) from None
        if self._stat(path) != before or not raw.strip():
            raise _Unsettled()
        try:
            data = json.loads(raw.decode("utf-8"))
            check_store_data(data, self.required_users)
        except StoreError as error:
            failure = StoreError("store file {}: {}".format(path, error))
        except (UnicodeDecodeError, ValueError, RecursionError) as error:
            failure = StoreError("store file {} is not valid JSON: {}".format(path, error))
        else:
            return before, data
        failure.signature = before
        raise failure

    def _read_settled(self, path=None):
        """Read the file at ``path`` (the store's own by default), reading
        again while it is being rewritten.

        A writer that rewrites the file in place leaves it empty or half
        written for a moment.  A read that fails is repeated once the file
        changes, for up to ``SETTLE_SECONDS``; a bad version that stays as
        it is for ``SETTLE_QUIET`` raises ``StoreError``.
        """
        path = path or self.path
        deadline = time.monotonic() + SETTLE_SECONDS
        while True:
            try:
                return self._read_once(path)
            except _Unsettled:
                error = StoreError("store file {} is empty or kept changing while it was read".format(path))
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
                if signature is None or self._stat(path) != signature:
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
