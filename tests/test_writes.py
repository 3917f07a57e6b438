"""Changes through the API and the store file they write: who may make each, what a malformed one gets, no key in the clear."""

import errno
import json
import logging
import os
import signal
import sqlite3
import subprocess
import sys
import time
import types
from concurrent.futures import ThreadPoolExecutor

import pytest

from helpers import LONG_RUN
from korvane.auth.apikey import hash_apikey
from korvane.config_storage import ConfigStorage, UnusableChange
from korvane import config_storage, store_writer
from korvane.store_writer import write_store
from test_app import ask, check, copy_example, edit_store, make_app

#: A user with the creation rights nobody in the example has besides admin.
CAROL = {"password": "carol-secret", "apikey": "carol-key", "databases": ["demo", "spare"], "querydef": ["view"],
         "dbdef": ["view", "create"], "userdef": ["view", "create"], "dbcreds": ["view", "create"], "view": ["carol"],
         "edit": [], "creator": "admin"}
#: Credentials carol may edit, kept for a database she has no access to.
CAROLS_ON_SALES = {"username": "carol_on_sales", "view": ["carol"], "edit": ["carol"]}
#: A database definition with nothing depending on it, that alice may edit.
SPARE = {"sqlite_path": "demo.sqlite3", "read": ["alice"], "write": ["alice"], "execute": []}

NEW_QUERY = {"query_id": "by_city", "database": "demo", "sql": "SELECT name FROM customers WHERE city = :city",
             "http_methods": {"GET": True}}
CHANGED_QUERY = {"database": "demo", "sql": "SELECT name FROM customers WHERE country = :country", "description": "changed",
                 "http_methods": {"GET": True}, "read": ["alice"], "write": ["alice"], "execute": ["public", "alice"]}
NEW_DATABASE = {"db_id": "demo2", "sqlite_path": "demo.sqlite3", "description": "Second view of demo."}
CHANGED_DATABASE = dict(SPARE, description="changed")
NEW_USER = {"user_id": "dave", "databases": ["demo"], "querydef": ["view"]}
CHANGED_USER = {"databases": ["sales"], "view": ["bob", "alice"], "edit": ["alice"], "description": "changed"}
NEW_CREDENTIALS = {"dbc_id": "backup", "username": "backup_reader", "password": "backup-secret"}
CHANGED_CREDENTIALS = {"username": "report_reader", "description": "changed", "edit": ["alice"], "view": ["alice"]}


@pytest.fixture
def data_dir(tmp_path):
    data_dir = copy_example(tmp_path / "data")
    edit_store(data_dir, lambda data: (data["users"].update(carol=CAROL), data["databases"].update(spare=SPARE),
                                       data["credentials"].update(sales={"carols": CAROLS_ON_SALES})))
    return data_dir


def stored(data_dir):
    return json.loads((data_dir / "store.json").read_text())


# --- each change, for each kind of caller -----------------------------------------------

#: (request, body, who has the right, statuses for: admin, that user, bob, anonymous,
#: where the change is visible afterwards: None for the request's own URL).
CHANGES = {
    "create query": ("POST /querydefs/new", NEW_QUERY, "alice", (201, 201, 403, 403), "/querydefs/by_city"),
    "change query": ("PUT /querydefs/customers_by_country", CHANGED_QUERY, "alice", (200, 200, 403, 403), None),
    "remove query": ("DELETE /querydefs/customers_by_country", None, "alice", (204, 204, 403, 403), None),
    "create database": ("POST /databases/new", NEW_DATABASE, "carol", (201, 201, 403, 403), "/databases/demo2"),
    "change database": ("PUT /databases/spare", CHANGED_DATABASE, "alice", (200, 200, 403, 403), None),
    "remove database": ("DELETE /databases/spare", None, "alice", (204, 204, 403, 403), None),
    "create user": ("POST /users/new", NEW_USER, "carol", (201, 201, 403, 403), "/users/dave"),
    # bob holds no right over user definitions, but his own is his to edit
    # within limits (see the test of limited edits below).
    "change user": ("PUT /users/bob", CHANGED_USER, "alice", (200, 200, 200, 403), None),
    "remove user": ("DELETE /users/bob", None, "alice", (204, 204, 403, 403), None),
    "store credentials": ("POST /dbcredentials/demo", NEW_CREDENTIALS, "carol", (201, 201, 403, 403),
                          "/dbcredentials/demo/backup"),
    "change credentials": ("PUT /dbcredentials/demo/reporting", CHANGED_CREDENTIALS, "alice", (200, 200, 403, 403), None),
    "remove credentials": ("DELETE /dbcredentials/demo/reporting", None, "alice", (204, 204, 403, 403), None),
}


@pytest.mark.parametrize("kind", range(4), ids=["admin", "with-right", "without-right", "anonymous"])
@pytest.mark.parametrize("change", sorted(CHANGES))
def test_each_change_is_made_only_for_callers_the_context_allows(data_dir, change, kind):
    request_line, body, entitled, statuses, shown_at = CHANGES[change]
    who = ("admin", entitled, "bob", "public")[kind]
    app = make_app(data_dir)
    before = stored(data_dir)
    response = ask(app, who, request_line, body)
    check(response, statuses[kind], {})
    after = stored(data_dir)
    if response.status_int >= 400:
        assert after == before
        return
    assert after["version"] == before.get("version", 0) + 1
    method, _, url = request_line.partition(" ")
    if method == "DELETE":
        assert ask(app, "admin", "GET " + url).status_int in (403, 404)
        return
    if method == "POST":
        assert response.headers["Location"] == "http://localhost" + shown_at
    seen = ask(app, "admin", shown_at or url)
    assert seen.status_int == 200, seen.text
    for field, value in body.items():
        if field not in ("password", "sqlite_path"):
            assert seen.json.get(field, value) == value, field


# --- malformed changes ------------------------------------------------------------------

BAD = [
    ("POST /querydefs/new", dict(NEW_QUERY, colour="red"), 400, "unknown fields: 'colour'"),
    ("POST /querydefs/new", dict(NEW_QUERY, read="alice"), 400, "field 'read' must be a list of user ids"),
    ("POST /querydefs/new", dict(NEW_QUERY, read=["nobody"]), 400, "names unknown users: 'nobody'"),
    ("POST /querydefs/new", dict(NEW_QUERY, http_methods={"GET": "yes"}), 400, "field 'http_methods'"),
    ("POST /querydefs/new", dict(NEW_QUERY, database="nope"), 400, "database 'nope', which is not defined"),
    ("POST /querydefs/new", dict(NEW_QUERY, sql="SELECT * FROM nope"), 400, "does not compile: no such table"),
    ("POST /querydefs/new", dict(NEW_QUERY, sql="SELECT 1; DROP TABLE customers"), 400, "does not compile"),
    ("POST /querydefs/new", dict(NEW_QUERY, sql="ATTACH 'file:made.db?mode=rwc' AS x"), 400, "refuses ATTACH"),
    ("POST /querydefs/new", dict(NEW_QUERY, sql="VACUUM INTO :path"), 400, "refuses ATTACH, DETACH and VACUUM"),
    # Pragmas that set the process's SQLite (at compilation already) or show where the files lie, and
    # functions that hand out addresses in the server's memory.
    *[("POST /querydefs/new", dict(NEW_QUERY, sql=sql), 400, f"may not use PRAGMA {name}: the demo server takes only")
      for sql, name in [("PRAGMA soft_heap_limit=1", "soft_heap_limit"), ("PRAGMA database_list", "database_list"),
                        ("SELECT file FROM main.pragma_database_list", "database_list"),
                        ("PRAGMA temp_store_directory = '.'", "temp_store_directory"), ("PRAGMA user_version=3", "user_version")]],
    ("POST /querydefs/new", dict(NEW_QUERY, sql="SELECT fts3_tokenizer('simple')"), 400, "may not call fts3_tokenizer()"),
    ("POST /querydefs/new", {k: v for k, v in NEW_QUERY.items() if k != "sql"}, 400, "lacks the field 'sql'"),
    ("POST /querydefs/new", dict(NEW_QUERY, query_id="new"), 400, "'query_id' must be"),
    ("POST /querydefs/new", dict(NEW_QUERY, query_id="a.b"), 400, "'query_id' must be"),
    ("POST /querydefs/new", dict(NEW_QUERY, query_id="customer_count"), 409, "exists already"),
    ("POST /querydefs/new", b"{not json", 400, "must be a JSON object"),
    ("POST /querydefs/new", b"\xff{}", 400, "must be a JSON object"),
    ("POST /users/new", b'{"user_id": "u", "description": ' + b"[" * 10**5 + b"]" * 10**5 + b"}", 400,
     "nested too deeply"),
    ("PUT /users/bob", {"description": "\ud800"}, 400, "not valid Unicode"),
    ("POST /querydefs/new", [NEW_QUERY], 400, "must be a JSON object"),
    ("PUT /querydefs/customers_by_country", dict(CHANGED_QUERY, query_id="other"), 400, "cannot be changed"),
    ("PUT /querydefs/nope", CHANGED_QUERY, 404, None),
    ("POST /databases/new", dict(NEW_DATABASE, sqlite_path="../outside.sqlite3"), 400, "inside the data folder"),
    ("POST /databases/new", dict(NEW_DATABASE, sqlite_path="/etc/passwd"), 400, "inside the data folder"),
    ("POST /databases/new", dict(NEW_DATABASE, sqlite_path="demo.sqlite3\0"), 400, "inside the data folder"),
    ("POST /databases/new", dict(NEW_DATABASE, sqlite_path="store.json"), 400, "does not name a SQLite database"),
    ("POST /databases/new", dict(NEW_DATABASE, sqlite_path="missing.sqlite3"), 400, "no readable file"),
    ("POST /databases/new", dict(NEW_DATABASE, url="postgresql://h/db"), 400, "'url' is not accepted"),
    ("POST /databases/new", dict(NEW_DATABASE, db_id="demo"), 409, "exists already"),
    ("DELETE /databases/demo", None, 409, "query definition 'customers_by_country'"),
    ("POST /users/new", dict(NEW_USER, querydef=["delete"]), 400, "field 'querydef' must be a list of rights"),
    ("POST /users/new", dict(NEW_USER, databases="demo"), 400, "field 'databases' must be a list of database ids"),
    ("POST /users/new", dict(NEW_USER, databases=["demo", "ghost"]), 400, "names unknown databases: 'ghost'"),
    ("PUT /users/bob", dict(CHANGED_USER, databases=["sales", "ghost"]), 400, "names unknown databases: 'ghost'"),
    ("POST /users/new", dict(NEW_USER, edit=["nobody"]), 400, "names unknown users: 'nobody'"),
    ("POST /users/new", dict(NEW_USER, apikey="chosen"), 400, "API keys are made by the server"),
    ("POST /users/new", dict(NEW_USER, user_id="bob"), 409, "exists already"),
    ("PUT /users/admin", {"password": None}, 400, "must keep a password"),
    ("DELETE /users/admin", None, 409, "cannot be removed"),
    ("DELETE /users/public", None, 409, "the server needs the users 'admin' and 'public'"),
    ("DELETE /users/alice", None, 409, "named by the user definitions 'bob'"),
    ("POST /dbcredentials/demo", dict(NEW_CREDENTIALS, view="alice"), 400, "field 'view'"),
    ("POST /dbcredentials/demo", dict(NEW_CREDENTIALS, dbc_id="reporting"), 409, "exists already"),
    ("POST /dbcredentials/nope", NEW_CREDENTIALS, 404, "Database 'nope' not found"),
    ("PUT /dbcredentials/demo/nope", CHANGED_CREDENTIALS, 404, None),
]
#: Changes refused, or made, for who asks: (caller, request, body, status, explanation).
BY_CALLER = [
    # alice reads customer_count but is not among its writers; Querydef still opens its ACL to her.
    ("alice", "PUT /querydefs/customer_count", dict(CHANGED_QUERY, write=["alice"]), 403, None),
    ("alice", "DELETE /querydefs/customer_count", None, 403, None),
    # The anonymous user may run customers_by_country, which opens its ACL too.
    ("public", "DELETE /querydefs/customers_by_country", None, 403, None),
    # A user edits their own definition only within limits.
    ("bob", "PUT /users/bob", {"querydef": ["view", "create"]}, 403, "'querydef'"),
    ("bob", "DELETE /users/bob", None, 403, None),
    # A new user gets only rights its creator holds.
    ("carol", "POST /users/new", dict(NEW_USER, databases=["sales"]), 403, None),
    ("carol", "POST /users/new", dict(NEW_USER, querydef=["view", "create"]), 403, None),
    ("carol", "POST /users/new", dict(NEW_USER, dbdef=["create"]), 201, None),
    ("admin", "POST /users/new", dict(NEW_USER, databases=["sales"], querydef=["view", "create"]), 201, None),
    # Rights that are no list of texts get the administrator's refusal, not a failure of the check of what is handed on.
    ("carol", "POST /users/new", dict(NEW_USER, databases=[["demo"]]), 400, "field 'databases' must be a list of database ids"),
    ("alice", "PUT /users/bob", dict(CHANGED_USER, dbcreds=[{}]), 400, "field 'dbcreds' must be a list of rights"),
    # Only the administrator names another creator than the caller, or none.
    ("carol", "POST /users/new", dict(NEW_USER, creator="alice"), 400, "only the administrator"),
    ("carol", "POST /users/new", dict(NEW_USER, creator=None), 400, "only the administrator"),
    ("alice", "PUT /users/bob", dict(CHANGED_USER, creator="admin"), 400, "Only the administrator"),
    ("admin", "POST /users/new", dict(NEW_USER, creator="alice"), 201, None),
    # SQL whose compiled program holds text that is not UTF-8 compiles all the same.
    ("admin", "POST /querydefs/new", dict(NEW_QUERY, sql="SELECT name FROM customers WHERE city = CAST(x'e9' AS TEXT)"),
     201, None),
    # Credentials are stored and changed only on databases the caller reaches.
    ("carol", "POST /dbcredentials/sales", NEW_CREDENTIALS, 403, "no access to database 'sales'"),
    ("carol", "PUT /dbcredentials/sales/carols", CAROLS_ON_SALES, 403, "no access to database 'sales'"),
    ("carol", "DELETE /dbcredentials/sales/carols", None, 403, "no access to database 'sales'"),
    ("admin", "DELETE /dbcredentials/sales/carols", None, 204, None),
    # A database is pointed at a file another one uses only when that opens it to nobody new: the caller and everybody
    # who reaches the database must reach every database on the file, whatever name the file goes by.
    ("carol", "POST /databases/new", dict(NEW_DATABASE, sqlite_path="./sales.sqlite3"), 403,
     "used by database 'sales', and you have no access to 'sales'"),
    ("alice", "PUT /databases/demo", {"sqlite_path": "sales.sqlite3"}, 403, "reaches 'demo' but not 'sales'"),
    ("alice", "PUT /databases/spare", dict(SPARE, sqlite_path="link.sqlite3"), 403, "user 'carol' reaches 'spare'"),
    ("alice", "PUT /databases/demo", {"sqlite_path": "./demo.sqlite3"}, 200, None),
    ("admin", "PUT /databases/spare", dict(SPARE, sqlite_path="link.sqlite3"), 200, None),
]


def test_a_new_records_location_is_made_without_keeping_its_id(data_dir):
    # The framework's route_url keeps every path segment it quotes, for good:
    # one entry for each id a client ever created.
    import pyramid.traversal
    app = make_app(data_dir)
    kept = len(pyramid.traversal._segment_cache)
    for query_id in ("by_city_1", "by-city-2"):
        response = ask(app, "admin", "POST /querydefs/new", dict(NEW_QUERY, query_id=query_id))
        assert response.headers["Location"] == "http://localhost/querydefs/" + query_id
    assert len(pyramid.traversal._segment_cache) == kept


@pytest.mark.parametrize("who, request_line, body, status, explanation", [("admin", *row) for row in BAD] + BY_CALLER)
def test_a_refused_change_leaves_the_store_alone(data_dir, who, request_line, body, status, explanation):
    app = make_app(data_dir)
    # A real database just outside the data folder: refused for where it is.
    (data_dir.parent / "outside.sqlite3").write_bytes((data_dir / "demo.sqlite3").read_bytes())
    (data_dir / "link.sqlite3").symlink_to("sales.sqlite3")
    before = (data_dir / "store.json").read_bytes()
    check(ask(app, who, request_line, body), status, {"explains": explanation} if explanation else {})
    assert ((data_dir / "store.json").read_bytes() == before) == (status >= 400)


@pytest.mark.parametrize("sql, explanation", [
    *[(sql, "refuses ATTACH, DETACH and VACUUM") for sql in ("VACUUM INTO :path", "ATTACH :path AS made", "VACUUM")],
    ("SELECT file, :path FROM pragma_database_list", "may not use PRAGMA database_list"),
    ("SELECT fts3_tokenizer('simple'), :path", "may not call fts3_tokenizer()")])
def test_a_stored_query_creates_no_file_and_is_refused(data_dir, tmp_path, sql, explanation):
    # Stored by hand, as a store from before the check might hold it.
    edit_store(data_dir, lambda data: data["querydefs"]["customers_by_country"].update(sql=sql))
    made = tmp_path / "made.sqlite3"
    url = "/query/customers_by_country/path/" + str(made).replace("/", "$2F").replace(".", "$2E")
    answer = ask(make_app(data_dir), "alice", url)
    check(answer, 403, {"explains": explanation})
    assert not made.exists() and str(data_dir) not in answer.text


def test_pragmas_that_describe_the_database_are_taken_and_change_nothing_else(data_dir):
    app = make_app(data_dir)
    sql = "SELECT name FROM pragma_table_info('customers') WHERE :city IS NULL OR name = :city"
    check(ask(app, "alice", "POST /querydefs/new", dict(NEW_QUERY, sql=sql)), 201, {})
    check(ask(app, "alice", "/query/by_city/city/email"), 200, {"rows": [{"name": "email"}]})
    # A table of the file may be named like a pragma's table; an index so named is no table.
    sqlite3.connect(data_dir / "demo.sqlite3").executescript(
        "CREATE TABLE pragma_database_list (file); CREATE INDEX pragma_compile_options ON customers (name);").close()
    for query_id, sql, status in [("info", "PRAGMA table_info(customers)", 201),
                                  ("own", "SELECT file FROM pragma_database_list", 201),
                                  ("index", "SELECT * FROM pragma_compile_options", 400),
                                  # A program's listing would show addresses in the server's memory.
                                  ("plan", "EXPLAIN SELECT * FROM json_each('[1]')", 400)]:
        check(ask(app, "alice", "POST /querydefs/new", dict(NEW_QUERY, query_id=query_id, sql=sql)), status, {})
    # A refused setting was never made: the process's SQLite keeps its own.
    check(ask(app, "alice", "POST /querydefs/new", dict(NEW_QUERY, query_id="x", sql="PRAGMA soft_heap_limit=12345")),
          400, {})
    assert sqlite3.connect(":memory:").execute("PRAGMA soft_heap_limit").fetchone()[0] != 12345


def test_a_user_editing_their_own_definition_keeps_their_rights_and_password(data_dir):
    app = make_app(data_dir)
    check(ask(app, "bob", "PUT /users/bob", {"description": "Sales desk"}), 200, {"description": "Sales desk"})
    bob = stored(data_dir)["users"]["bob"]
    assert (bob["password"], bob["databases"], bob["edit"]) == ("bob-secret", ["sales"], ["alice"])
    # bob's key still works after the writes that hashed it.
    assert ask(app, "bob", "/whoami").status_int == 200


def test_removing_a_user_takes_them_off_every_access_list(data_dir):
    app = make_app(data_dir)
    check(ask(app, "admin", "DELETE /users/bob"), 204, {})
    data = stored(data_dir)
    lists = [record.get(field, []) for section in ("querydefs", "databases") for record in data[section].values()
             for field in ("read", "write", "execute")]
    lists += [entry[field] for entry in data["credentials"]["demo"].values() for field in ("view", "edit")]
    assert all("bob" not in names for names in lists)
    check(ask(app, "admin", "POST /users/new", {"user_id": "bob"}), 201, {})
    assert "bob" not in stored(data_dir)["databases"]["sales"]["write"]


def test_a_removed_database_leaves_every_users_list(data_dir):
    app = make_app(data_dir)
    check(ask(app, "admin", "PUT /users/bob", dict(CHANGED_USER, databases=["sales", "spare"])), 200, {})
    check(ask(app, "bob", "/dd/spare/customers?limit=1"), 200, {"count": 1})
    check(ask(app, "admin", "DELETE /databases/spare"), 204, {})
    assert "spare" not in stored(data_dir)["users"]["bob"]["databases"]
    # A new database under the old id is not open to those who held the old one.
    check(ask(app, "admin", "POST /databases/new", {"db_id": "spare", "sqlite_path": "sales.sqlite3", "read": ["admin"]}),
          201, {})
    check(ask(app, "bob", "/dd/spare/orders?limit=1"), 403, {"explains": "no access permissions"})


#: A change, and what another process changes while it is under way:
#: (caller, request, body, the edit made meanwhile, explanation).
CHANGED_MEANWHILE = [
    ("alice", "POST /querydefs/new", NEW_QUERY, lambda data: data["users"].pop("alice"), "'alice' was removed"),
    ("alice", "DELETE /databases/spare", None, lambda data: data["users"].pop("alice"), "'alice' was removed"),
    ("alice", "POST /querydefs/new", NEW_QUERY, lambda data: data["users"]["alice"].update(querydef=["view"]),
     "no longer create query definitions"),
    ("alice", "POST /querydefs/new", NEW_QUERY, lambda data: data["users"]["alice"].update(databases=["sales"]),
     "no access to database 'demo'"),
    ("alice", "PUT /querydefs/customers_by_country", CHANGED_QUERY,
     lambda data: data["querydefs"]["customers_by_country"].update(write=["admin"]), "no longer change query"),
    ("alice", "DELETE /databases/spare", None, lambda data: data["databases"]["spare"].update(write=[]),
     "no longer change database"),
    ("alice", "PUT /users/bob", CHANGED_USER, lambda data: data["users"]["bob"].update(edit=[]),
     "no longer change user definition 'bob'"),
    ("carol", "POST /users/new", NEW_USER, lambda data: data["users"]["carol"].update(userdef=["view"]),
     "no longer create user"),
    ("carol", "POST /users/new", NEW_USER, lambda data: data["users"]["carol"].update(databases=[]), "'demo'"),
    ("carol", "POST /databases/new", NEW_DATABASE, lambda data: data["users"]["carol"].update(databases=["demo"]),
     "you have no access to 'spare'"),
    ("carol", "POST /dbcredentials/demo", NEW_CREDENTIALS, lambda data: data["users"]["carol"].update(dbcreds=["view"]),
     "no longer store credentials"),
    ("alice", "DELETE /dbcredentials/demo/reporting", None,
     lambda data: data["credentials"]["demo"]["reporting"].update(edit=[]), "no longer change these credentials"),
]


@pytest.mark.parametrize("who, request_line, body, meanwhile, explanation", CHANGED_MEANWHILE)
def test_a_change_is_checked_again_on_the_store_it_is_made_on(data_dir, monkeypatch, who, request_line, body,
                                                               meanwhile, explanation):
    app = make_app(data_dir)
    write = ConfigStorage.write
    seen = []

    def write_after_another(store, change):
        # Another process changes the store after this request was allowed
        # and before its write takes the lock.
        edit_store(data_dir, meanwhile)
        seen.append(stored(data_dir))
        return write(store, change)

    monkeypatch.setattr(ConfigStorage, "write", write_after_another)
    check(ask(app, who, request_line, body), 403, {"explains": explanation})
    assert stored(data_dir) == seen[0]


# --- keys and secrets --------------------------------------------------------------------


def test_a_new_users_key_is_shown_once_and_stored_only_as_a_hash(data_dir, caplog):
    caplog.set_level(logging.DEBUG)
    app = make_app(data_dir)
    created = ask(app, "admin", "POST /users/new", dict(NEW_USER, password="dave-secret"))
    check(created, 201, {"user_id": "dave", "without": ["password", "apikey_hash"]})
    key = created.json["apikey"]
    assert len(key) >= 40
    assert ask(app, "public", "/whoami", headers={"X-API-Key": key}).status_int == 200
    text = (data_dir / "store.json").read_text()
    users = stored(data_dir)["users"]
    # Every plain key written by hand was hashed by the write, and still works.
    assert key not in text and "alice-key" not in text and '"apikey"' not in text
    assert users["dave"]["apikey_hash"] == hash_apikey(key)
    assert users["alice"]["apikey_hash"] == hash_apikey("alice-key")
    assert ask(app, "alice", "/whoami").status_int == 200
    assert ask(app, "admin", "/users/dave").text.count("dave-secret") == 0
    assert key not in caplog.text and "dave-secret" not in caplog.text and "sha256:" not in caplog.text


def test_a_key_written_by_hand_beside_a_hash_replaces_it_at_once_and_after_the_next_write(data_dir):
    app = make_app(data_dir)
    check(ask(app, "admin", "POST /querydefs/new", NEW_QUERY), 201, {})
    edit_store(data_dir, lambda data: data["users"]["alice"].update(apikey="alice-new-key"))
    for write in (None, "DELETE /querydefs/by_city"):
        if write:
            check(ask(app, "admin", write), 204, {})
        who = [ask(app, "public", "/whoami", headers={"X-API-Key": key}) for key in ("alice-new-key", "alice-key")]
        assert [response.status_int for response in who] == [200, 403]
        assert who[0].json["user_id"] == "alice"
    assert stored(data_dir)["users"]["alice"]["apikey_hash"] == hash_apikey("alice-new-key")


@pytest.mark.parametrize("request_line, body", [
    ("PUT /users/alice", {"databases": ["demo"], "password": "new-secret", "view": ["alice"]}),
    ("POST /dbcredentials/demo", NEW_CREDENTIALS),
    ("PUT /dbcredentials/demo/reporting", dict(CHANGED_CREDENTIALS, password="new-secret")),
])
def test_answers_and_logs_of_changes_hold_no_secret(data_dir, caplog, request_line, body):
    caplog.set_level(logging.DEBUG)
    response = ask(make_app(data_dir), "admin", request_line, body)
    assert response.status_int in (200, 201)
    for text in (response.text, caplog.text):
        assert "secret" not in text and "password" not in text and "apikey" not in text


def test_changing_credentials_without_a_password_keeps_the_stored_one(data_dir):
    app = make_app(data_dir)
    check(ask(app, "admin", "POST /dbcredentials/demo", NEW_CREDENTIALS), 201, {})
    check(ask(app, "admin", "PUT /dbcredentials/demo/backup", {"username": "renamed"}), 200, {"username": "renamed"})
    assert stored(data_dir)["credentials"]["demo"]["backup"]["password"] == "backup-secret"


# --- the store file ------------------------------------------------------------------------


def test_concurrent_writers_in_one_process_lose_nothing(tmp_path):
    path = tmp_path / "store.json"
    path.write_text(json.dumps({"querydefs": {}}))
    path.chmod(0o640)

    def add(n):
        write_store(str(path), lambda data: data["querydefs"].__setitem__("q{}".format(n), {}))

    with ThreadPoolExecutor(max_workers=16) as pool:
        list(pool.map(add, range(16)))
    data = json.loads(path.read_text())
    assert (len(data["querydefs"]), data["version"]) == (16, 16)
    assert path.stat().st_mode & 0o777 == 0o640


KILLED_WRITER = """
import sys
from korvane.store_writer import write_store
write_store(sys.argv[1], lambda data: data.update(padding=["x" * 64] * 400000))
"""


@pytest.mark.parametrize("attempt", range(5 if LONG_RUN else 1))
def test_a_writer_failing_or_killed_while_writing_leaves_the_old_file_whole(tmp_path, attempt):
    path = tmp_path / "store.json"
    path.write_text(json.dumps({"users": {"admin": {"apikey": "admin-key"}}, "version": 3}))
    before = path.read_bytes()
    # A change that raises after changing the data leaves the file, its version and no leftovers.
    with pytest.raises(ZeroDivisionError):
        write_store(str(path), lambda data: (data["users"].update(x={}), 1 / 0))
    assert path.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["store.json", "store.json.lock"]
    writer = subprocess.Popen([sys.executable, "-c", KILLED_WRITER, str(path)])
    try:
        # The temporary file exists exactly while the new version is being written.
        deadline = time.monotonic() + 30
        while not list(tmp_path.glob(".store.json-*.tmp")):
            assert writer.poll() is None and time.monotonic() < deadline, "the writer never started writing"
            time.sleep(0.001)
        writer.send_signal(signal.SIGKILL)
    finally:
        writer.wait(timeout=30)
    assert path.read_bytes() == before
    # The lock went with the process; the next write lands and clears the leftovers.
    data = write_store(str(path), lambda data: data.update(after=True))
    assert (data["version"], json.loads(path.read_text())["after"]) == (4, True)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["store.json", "store.json.lock"]


def test_a_store_at_its_last_version_is_not_written_past_it(data_dir):
    # Past it the file would carry a version the store refuses to load.
    path = data_dir / "store.json"
    edit_store(data_dir, lambda data: data.update(version=store_writer.MAX_VERSION))
    before = path.read_bytes()
    with pytest.raises(store_writer.StoreWriteError, match="version 9223372036854775807 is the last"):
        write_store(str(path), lambda data: data["users"].update(x={}))
    check(ask(make_app(data_dir), "admin", "PUT /users/bob", {"description": "x"}), 503,
          {"explains": "The store's version is the last a store may carry, so no change is made"})
    assert path.read_bytes() == before


def test_a_store_file_that_is_a_link_is_written_through_it(data_dir, tmp_path):
    target = tmp_path / "etc" / "store.json"
    target.parent.mkdir()
    (data_dir / "store.json").rename(target)
    (data_dir / "store.json").symlink_to(target)
    app = make_app(data_dir)
    for attempt in range(2):
        check(ask(app, "admin", "POST /querydefs/new", dict(NEW_QUERY, query_id="q{}".format(attempt))), 201, {})
    assert (data_dir / "store.json").is_symlink()
    assert set(json.loads(target.read_text())["querydefs"]) >= {"q0", "q1"}
    # Locked beside the file written, which every path to it shares.
    assert (tmp_path / "etc" / "store.json.lock").exists() and not (data_dir / "store.json.lock").exists()


def _disk_full(fd):
    raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))


CANNOT_WRITE = "cannot be written"
CANNOT_READ = "The store file cannot be read, so no change is made; the server log says why."
#: What keeps a change from being made, done to the data folder, and what the 503 says.
UNUSABLE_STORE_FILES = {
    "disk full": (lambda store, monkeypatch: monkeypatch.setattr(store_writer.os, "fsync", _disk_full), CANNOT_WRITE),
    "lock file unusable": (lambda store, monkeypatch: store.with_name("store.json.lock").mkdir(), CANNOT_WRITE),
    "not json": (lambda store, monkeypatch: store.write_text('{"users": '), CANNOT_READ),
    "missing": (lambda store, monkeypatch: store.unlink(), CANNOT_READ),
    "a folder": (lambda store, monkeypatch: (store.unlink(), store.mkdir()), CANNOT_READ),
    "not utf8": (lambda store, monkeypatch: store.write_bytes(store.read_bytes().replace(b'"demo"', b'"d\xe9mo"', 1)),
                 CANNOT_READ),
}


@pytest.mark.parametrize("spoil, explanation", UNUSABLE_STORE_FILES.values(), ids=UNUSABLE_STORE_FILES)
def test_a_change_to_an_unusable_store_file_is_503_and_writes_nothing(data_dir, monkeypatch, caplog, spoil, explanation):
    app = make_app(data_dir)
    store = data_dir / "store.json"
    spoil(store, monkeypatch)
    before = store.read_bytes() if store.is_file() else None
    check(ask(app, "admin", "POST /querydefs/new", NEW_QUERY), 503, {"explains": explanation})
    assert (store.read_bytes() if store.is_file() else None) == before
    assert not list(data_dir.glob(".store.json-*.tmp"))
    assert "Not written" in caplog.text and "Traceback" not in caplog.text
    # Reads go on from the last good store.
    check(ask(app, "admin", "/querydefs/customers_by_country"), 200, {})


def test_a_change_waits_for_a_store_file_being_rewritten_in_place_as_a_refresh_does(data_dir, monkeypatch):
    # An editor truncates the file after the request's refresh and writes it back while the change waits.
    app = make_app(data_dir)
    store, write = data_dir / "store.json", ConfigStorage.write
    text = store.read_text()

    def truncated_then_write(self, change):
        store.write_text("")
        return write(self, change)

    def written_back_meanwhile(seconds):
        store.write_text(text)

    monkeypatch.setattr(ConfigStorage, "write", truncated_then_write)
    monkeypatch.setattr(config_storage, "time", types.SimpleNamespace(monotonic=time.monotonic, sleep=written_back_meanwhile))
    check(ask(app, "admin", "POST /querydefs/new", NEW_QUERY), 201, {})
    assert NEW_QUERY["query_id"] in stored(data_dir)["querydefs"]


def test_a_write_whose_folder_cannot_be_synced_after_the_rename_is_made(data_dir, monkeypatch, caplog):
    # The new file is in place and served: reporting the change as not made would be false.
    app = make_app(data_dir)
    monkeypatch.setattr(store_writer, "_fsync_folder", _disk_full)
    check(ask(app, "admin", "POST /querydefs/new", NEW_QUERY), 201, {})
    check(ask(app, "admin", "/querydefs/" + NEW_QUERY["query_id"]), 200, {})
    assert "could not be synced" in caplog.text


def test_a_grant_of_a_database_gone_does_not_block_the_users_other_changes(data_dir):
    # Left by a removal from before grants were cleared on removal, or by a hand edit.
    edit_store(data_dir, lambda data: data["users"]["bob"].update(databases=["sales", "gone"]))
    app = make_app(data_dir)
    check(ask(app, "bob", "PUT /users/bob", {"description": "new"}), 200, {})
    check(ask(app, "admin", "PUT /users/bob", {"databases": ["gone", "nope"]}), 400, {"explains": "'nope'"})


def test_a_change_leaving_a_store_the_server_cannot_load_is_not_written(data_dir):
    store = ConfigStorage.from_file(str(data_dir / "store.json"), required_users=("admin", "public"))
    before = (data_dir / "store.json").read_bytes()
    with pytest.raises(UnusableChange, match="no user 'public'"):
        store.write(lambda data: data["users"].pop("public"))
    assert (data_dir / "store.json").read_bytes() == before
    # So the server still starts, and still takes changes.
    check(ask(make_app(data_dir), "admin", "DELETE /users/carol"), 204, {})


def test_a_user_definition_without_databases_reaches_none(data_dir):
    app = make_app(data_dir)
    check(ask(app, "admin", "PUT /users/public", {}), 200, {})
    for url in ("/query/customer_count", "/dd/demo/customers"):
        check(ask(app, "public", url), 403, {"explains": 'no access permissions configured for the "demo" database'})
