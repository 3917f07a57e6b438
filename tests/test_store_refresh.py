"""Edits of the store file count from the next request; a bad or half-written one never replaces the last good store."""

import json
import logging
import re
import threading
import time

import pytest

from korvane.app import REQUIRED_USERS, SetupError
from korvane.config_storage import ConfigStorage
from helpers import UNKNOWN_KEY
from test_app import ask, check, data_dir, edit_store, make_app  # noqa: F401 (data_dir: fixture)

CUSTOMERS = "/dd/demo/customers"


def store_errors(caplog):
    return [r for r in caplog.records if r.name == "korvane.config_storage" and r.levelno == logging.ERROR]


def add_carol(data):
    """A user written by hand: a plain key, and a field the kind does not know."""
    data["users"]["carol"] = {"apikey": "carol-key", "databases": ["demo"], "note": "added by hand"}


@pytest.mark.parametrize("who, url, change, status, expect, before", [
    # A key added works on its very first request, also when refused before the edit: that refusal comes before any
    # context runs, and the next request must still check the store.
    ("carol", "/whoami", add_carol, 200, {"user_id": "carol"}, (403, {"explanation": UNKNOWN_KEY})),
    # A right removed is refused on the first request after the edit.
    ("alice", CUSTOMERS, lambda data: data["users"]["alice"].update(databases=["sales"]), 403, {}, None),
    # A user deleted: the key is unknown at once.
    ("bob", "/whoami", lambda data: data["users"].pop("bob"), 403, {"explanation": UNKNOWN_KEY}, None),
])
def test_a_store_edit_counts_from_the_first_request_after_it(data_dir, who, url, change, status, expect, before):
    app = make_app(data_dir)
    key = {"X-API-Key": who + "-key"}
    if before:
        check(ask(app, "public", url, headers=key), *before)
    edit_store(data_dir, change)
    check(ask(app, "public", url, headers=key), status, expect)
    make_app(data_dir)  # and a server starts on the edited file


#: Store files the server cannot use, and what its refusal to start with one says.
BAD_VERSIONS = {
    "not JSON": ("{\"users\": {", "is not valid JSON"),
    "not UTF-8": (b"\xff\xfe{}", "is not valid JSON"),
    "not an object": ("[]", "the store must be a JSON object"),
    "a section of the wrong type": (json.dumps({"users": ["admin", "public"]}), "member 'users' must be an object"),
    "a record of the wrong type": (json.dumps({"users": {"admin": {}, "public": {}}, "databases": {"demo": 1}}),
                                   "entry 'demo' of 'databases' must be an object"),
    "without the user public": (json.dumps({"users": {"admin": {"apikey": "admin-key"}}}), "has no user 'public'"),
    "without the user admin": (json.dumps({"users": {"public": {}}}), "has no user 'admin'"),
    "nested beyond the parser": ("[" * 100_000 + "]" * 100_000, "is not valid JSON"),
    "gone missing": (None, "No store file"),
}


@pytest.mark.parametrize("content, message", BAD_VERSIONS.values(), ids=BAD_VERSIONS.keys())
def test_a_bad_store_file_keeps_the_last_good_store_is_logged_once_and_refused_at_start(data_dir, caplog, content, message):
    app = make_app(data_dir)
    store_file = data_dir / "store.json"
    good = store_file.read_bytes()
    if content is None:
        store_file.unlink()
    else:
        (store_file.write_bytes if isinstance(content, bytes) else store_file.write_text)(content)
    with pytest.raises(SetupError, match=re.escape(message)):
        make_app(data_dir)
    for _ in range(3):
        check(ask(app, "alice", CUSTOMERS), 200, {"count": 8})
    assert len(store_errors(caplog)) == 1 and str(store_file) in store_errors(caplog)[0].getMessage()
    # Another bad version is logged once in turn.
    store_file.write_text("{ ")
    for _ in range(2):
        check(ask(app, "alice", CUSTOMERS), 200, {"count": 8})
    assert len(store_errors(caplog)) == 2
    # The next good version is taken as usual.
    store_file.write_bytes(good.replace(b'"bob-key"', b'"bobs-new-key"'))
    check(ask(app, "bob", "/whoami"), 403, {"explanation": UNKNOWN_KEY})
    assert len(store_errors(caplog)) == 2


KINDS = {"users": "User definition", "databases": "Database definition", "querydefs": "Query definition"}
CBC = "customers_by_country"


def put(section, record, field, value, fault):
    """A hand edit setting one field of one record, and the refusal naming record, field and ``fault``."""
    return (lambda data: data[section][record].__setitem__(field, value),
            "{} '{}' field '{}' {}".format(KINDS[section], record, field, fault))


#: Hand edits giving a record (or the store's version) a value its kind does not take, and what the refusal says.
WRONG_VALUES = {
    # Never matched memcached's stamp, which holds digits: every request published the store again.
    # Beyond a 64-bit count the next write failed, and every one after it.
    **{"version " + repr(value)[:12]: (lambda data, value=value: data.update(version=value),
                                      "member 'version' must be a whole number from 0 to 9223372036854775807")
       for value in (-3, "7", 2**63, int("9" * 4300))},
    # Lone surrogates, which JSON's escapes carry and no write can put back: every write failed.
    "surrogate in a field": put("users", "bob", "description", "bad \ud800", "holds text that is not valid Unicode"),
    "surrogate in a field the kind does not know": (
        lambda data: data["credentials"]["demo"]["reporting"].update(notes=["fine", {"\udfff": 1}]),
        "Credentials 'reporting' of database 'demo' field 'notes' holds text that is not valid Unicode"),
    "surrogate in an id": (lambda data: data["users"].update({"x\ud800": {}}),
                           "User definition 'x\\ud800' holds text that is not valid Unicode"),
    "surrogate in a member of its own": (lambda data: data.update(note="\ud800"),
                                         "member 'note' holds text that is not valid Unicode"),
    # A key typed without quotes: hashing it failed every keyed request and every write.
    "numeric apikey": put("users", "bob", "apikey", 12345, "must be a text or null"),
    # Joined to the folder on load: the store was left half-loaded.
    "numeric sqlite_path": put("databases", "sales", "sqlite_path", 5, "must be a text or null"),
    # A text where a list belongs would make membership a substring test.
    "access list as a text": put("databases", "demo", "read", "public", "must be a list of user ids"),
    "databases not a list": put("users", "public", "databases", 5, "must be a list of database ids"),
    "unknown right": put("users", "alice", "querydef", ["view", "edit"], "must be a list of rights"),
    "methods as a list": put("querydefs", CBC, "http_methods", ["GET"], "must be an object of HTTP methods"),
    "numeric sql": put("querydefs", CBC, "sql", 5, "must be a text"),
    "database as a list": put("querydefs", CBC, "database", ["demo"], "must be a text"),
    "query without sql": (lambda data: data["querydefs"][CBC].pop("sql"), f"Query definition '{CBC}' lacks the field 'sql'"),
    "numeric credential password": (lambda data: data["credentials"]["demo"]["reporting"].update(password=5),
                                    "Credentials 'reporting' of database 'demo' field 'password' must be a text or null"),
}


@pytest.mark.parametrize("spoil, message", WRONG_VALUES.values(), ids=WRONG_VALUES.keys())
def test_a_store_edit_with_a_value_of_the_wrong_type_is_not_taken(data_dir, caplog, spoil, message):
    app = make_app(data_dir)
    edit_store(data_dir, spoil)
    # Every kind of request is served from the last good store: with and without a key, and the record spoiled.
    for _ in range(2):
        check(ask(app, "bob", "/whoami"), 200, {"user_id": "bob"})
        check(ask(app, "public", CUSTOMERS + "?limit=1"), 200, {"count": 1})
        check(ask(app, "bob", "/dd/sales/orders?limit=1"), 200, {"count": 1})
        check(ask(app, "public", "/query/customers_by_country/country/DE"), 200, {"count": 3})
    # A write never replaces a file it will not take.
    check(ask(app, "admin", "PUT /users/bob", {"databases": ["sales"]}), 503, {})
    errors = [r.getMessage() for r in store_errors(caplog)]
    assert len(errors) == 1 and message in errors[0] and str(data_dir / "store.json") in errors[0], errors
    # At start the same file is refused, saying why.
    with pytest.raises(SetupError, match=re.escape(message)):
        make_app(data_dir)


def test_a_document_that_fails_to_load_leaves_the_last_good_store_whole(data_dir):
    # Should a document slip past the checks (memcached, a future field), the store must not be left half-replaced.
    store = ConfigStorage.from_file(str(data_dir / "store.json"), required_users=REQUIRED_USERS)
    state = lambda: (store.version, store._document, store.users, store.databases, store.querydefs, store._credentials)
    before = state()
    bad = json.loads((data_dir / "store.json").read_text())
    bad["version"] = 7
    bad["users"]["carol"] = {"apikey": "carol-key"}
    bad["databases"]["sales"]["sqlite_path"] = 5
    with pytest.raises(TypeError):
        store._load(bad)
    assert all(now is then for now, then in zip(state(), before))


def test_a_store_file_half_written_or_rewritten_in_place_is_read_again_once_complete(data_dir, caplog):
    app = make_app(data_dir)
    store_file = data_dir / "store.json"
    data = json.loads(store_file.read_text())
    add_carol(data)
    text = json.dumps(data)
    store_file.write_text(text[: len(text) // 2])
    stop, rewrites = threading.Event(), []

    def rewrite_in_place():
        time.sleep(0.05)  # the first request finds the file half-written
        # Truncate, write half, pause, write the rest: a plain open("w") + write, seen by a reader at the wrong time.
        while not stop.is_set():
            with open(store_file, "w") as f:
                f.write(text[: len(text) // 2])
                f.flush()
                time.sleep(0.002)
                f.write(text[len(text) // 2:])
            rewrites.append(1)
            time.sleep(0.005)

    writer = threading.Thread(target=rewrite_in_place)
    writer.start()
    try:
        check(ask(app, "public", "/whoami", headers={"X-API-Key": "carol-key"}), 200, {"user_id": "carol"})
        statuses = [ask(app, "alice", CUSTOMERS + "?limit=1").status_int for _ in range(100)]
    finally:
        stop.set()
        writer.join()
    assert statuses == [200] * 100 and len(rewrites) >= 10 and store_errors(caplog) == []
