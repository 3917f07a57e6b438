"""A JSON 4xx for each client mistake, a JSON 500 with a request id for the server's, and HEAD, OPTIONS, 405, redirects."""

import gc
import logging
import shutil
import sqlite3
import subprocess
import sys
import tracemalloc
from unittest import mock
from urllib.parse import quote
from xml.etree import ElementTree as ET

import pytest
from paste.deploy.config import PrefixMiddleware
from pyramid.httpexceptions import HTTPBadRequest
from webtest import TestApp

import korvane.utils
import korvane.views.sqlite
from korvane.app.request_setup import MAX_BODY_BYTES
from helpers import allocations_gone_wrong
from test_app import KEYS, LOCAL, app, ask, check, check_all, data_dir, edit_store, make_app  # noqa: F401 (fixtures)

CUSTOMERS = "/dd/demo/customers"
BY_COUNTRY = "/query/customers_by_country/country/DE"
BAD_PATH = "The URL path is not valid UTF-8."
BAD_QUERY = "The query string is not valid UTF-8."
TOO_DEEP = "The request body is nested too deeply (at most 32 levels)."
NOT_UNICODE = "The request body holds text that is not valid Unicode."
BAD_BODIES = [
    (b"[" * 100_000 + b"]" * 100_000, TOO_DEEP),
    (b'{"path": ' + b"[" * 40 + b"]" * 40 + b"}", TOO_DEEP),
    (b'{"database": "demo", "table": "customers", "filters": {"name": "\\ud800"}}', NOT_UNICODE),
    (b'{"path": "/dd/demo/\\udfff"}', NOT_UNICODE),
    (b'{"\\ud800": 1}', NOT_UNICODE),
    (b"\xff{}", "The request body must be JSON in UTF-8."),
]


@pytest.mark.parametrize("who, request_line, status, expect", [
    # A limit that is no row count the database takes is refused naming it; limit=0 gives no rows.
    *[("alice", url + "?limit=" + quote(limit, safe=""), 400, {"explains": "'limit'"}) for url in (CUSTOMERS, BY_COUNTRY)
      for limit in ["-1", "1.5", "abc", " 1", "+1", "1_0", "\u0663", "2147483648", "9" * 30, ""]],
    *[("alice", url + "?limit=0", 200, {"rows": [], "limit": 0}) for url in (CUSTOMERS, BY_COUNTRY)],
    # A URL that is not UTF-8 is refused with 400, whoever asks (%ED%A0%80: a surrogate).
    *[("alice public", url, 400, {"explanation": BAD_PATH}) for url in (
        CUSTOMERS + "/city/K%F6ln", "/%ff", "/dd/demo%C3%28/customers", "/query/customers_by_country/country/%ED%A0%80")],
    *[("alice public", url, 400, {"explanation": BAD_QUERY}) for url in (
        "/?x=%ff", "/querydefs?format=%ff", "/dd?%ff=1", CUSTOMERS + "?limit=1&city=K%F6ln")],
    # A body too deep or not encodable is refused with 400 by both URL services.
    *[("alice", "POST /dd-url/" + action, 400, {"send": body, "explanation": explanation})
      for action in ("parse", "build") for body, explanation in BAD_BODIES],
    # OPTIONS names the methods in Allow, whoever asks; a stored query those it is enabled for.
    *[("alice public wrong", "OPTIONS " + url, 200, {"Allow": allow}) for url, allow in [
        ("/", "GET, HEAD, OPTIONS"), ("/querydefs/customers_by_country.json", "GET, HEAD, PUT, DELETE, OPTIONS"),
        ("/querydefs/new", "POST, OPTIONS"), ("/dd-url/parse", "POST, OPTIONS"), (CUSTOMERS, "GET, HEAD, OPTIONS"),
        ("/query/orders_since/since/2024-01-01", "GET, HEAD, POST, OPTIONS"), ("/query/purge_orders", "OPTIONS")]],
    ("alice", "OPTIONS /nope", 404, {}),
    # So does a 405 (a stored query's own 405, with its message, is in test_app's table).
    *[("alice", line, 405, {"Allow": allow}) for line, allow in [
        ("PATCH /", "GET, HEAD, OPTIONS"), ("DELETE /dd/demo/customers", "GET, HEAD, OPTIONS"),
        ("PUT /dbcredentials/demo", "GET, HEAD, POST, OPTIONS"), ("GET /dd-url/build", "POST, OPTIONS")]],
    # A database takes a format extension, in any case, but not every one; no answer is to be sniffed as another type.
    *[("public", "/dd/demo." + extension, 200, {"Content-Type": kind + "; charset=utf-8", "text": "customers",
                                                 "X-Content-Type-Options": "nosniff"})
      for extension, kind in [("json", "application/json"), ("JSON", "application/json"), ("csv", "text/csv"),
                              ("xml", "application/xml")]],
    ("public", "/dd/demo.txt", 406, {"X-Content-Type-Options": "nosniff"}),
    # Every substitute a request declares is tried on every path segment, so a request declares only a few.
    ("public", CUSTOMERS + "/city/B$Er$Lin?$E=e&$L=l&" + "&".join(f"$x{i}=x" for i in range(30)), 200,
     {"names": ["Anna Berg"]}),
    ("public", CUSTOMERS + "/city/B$Er$Lin?$E=e&$L=l&" + "&".join(f"$x{i}=x" for i in range(31)), 400,
     {"explanation": "A request declares at most 32 substitutes ('$NAME=C' parameters); this one declares 33."}),
    # A format redirect to a format the resource refuses is that refusal.
    *[("alice", url, 406, {"explanation": "Data format 'xsd' is not supported for this resource."})
      for url in ("/querystudio.xsd", "/querystudio/customers_by_country.xsd", "/querydefs.xsd", "/users.xsd", "/status.xsd")],
    # A format redirect's Location holds the path as it was sent: a line break or a euro sign stays escaped.
    *[("alice", f"/models/{name}.xsd", 301, {"Location": f"{LOCAL}/models/{name}.xml?schema"})
      for name in ("x%0D%0ASet-Cookie:%20a=b", "%E2%82%AC", "%2541")],
    # So do the format and row-limit redirects of paths made from the decoded path: an escaped slash stays one.
    ("alice", CUSTOMERS + "/city/a%2Fb.xsd", 301, {"Location": LOCAL + CUSTOMERS + "/city/a%2Fb.xml?schema"}),
    ("bob", "/dd/sales/orders/customer/a%2fb%C3%A9", 302, {"Location": LOCAL + "/dd/sales/orders/customer/a%2fb%C3%A9?limit=10"}),
    ("bob", "/query/orders_since/since/2024%2F01", 302, {"Location": LOCAL + "/query/orders_since/since/2024%2F01?limit=10"}),
])
def test_refusals_and_allowed_methods(app, who, request_line, status, expect):
    check_all(app, who, request_line, status, expect)


def send(app, who, request_line, content_type, body=None, **environ):
    """Like ``ask``, with the Content-Type as given and ``environ`` added."""
    method, _, url = request_line.rpartition(" ")
    return app.request(url, method=method or "GET", expect_errors=True, environ={"REQUEST_URI": url, **environ},
                       headers={"X-API-Key": KEYS[who], "Content-Type": content_type}, **({} if body is None else {"body": body}))


UNKNOWN_CHARSET = "The request body's charset '{}' is not a known text encoding."
NOT_A_FORM = "The request body is not a form that can be read."


@pytest.mark.parametrize("request_line, content_type, explanation", [
    # A charset with no text encoding here: every view and predicate reading the body would fail on it.
    *[(line, "application/json; charset=" + charset, UNKNOWN_CHARSET.format(charset)) for line, charset in [
        ("POST /dd-url/parse", "nope"), ("POST /users/new", "nope"), ("PUT /users/bob", "rot13"), ("GET /dd/demo", "hex")]],
    # Codecs that fail with errors of their own rather than a decoding error.
    *[("POST /dd-url/" + action, "application/json; charset=" + charset, "The request body must be JSON in UTF-8.")
      for action in ("parse", "build") for charset in ("undefined", "punycode")],
    # A form body, which the contexts' request.params parses, that the parser refuses or fails on.
    ("POST /users/new", "multipart/form-data", NOT_A_FORM),
    ("POST /dd-url/parse", 'multipart/form-data; boundary=""', NOT_A_FORM),
    ("POST /dd-url/parse", "multipart/form-data; boundary=x", NOT_A_FORM),  # a part without a name
    ("POST /query/customer_count", "application/x-www-form-urlencoded; charset=utf-16", "A form body must be sent in UTF-8."),
])
def test_a_body_the_server_cannot_read_is_refused(app, request_line, content_type, explanation):
    body = b"--x\r\n\r\n{}\r\n--x--" if "boundary=x" in content_type else b'{"path": "/dd/demo"}'
    check(send(app, "admin", request_line, content_type, body), 400, {"explanation": explanation})


@pytest.mark.parametrize("extra, status", [(0, 200), (1, 413)], ids=["at-the-limit", "over"])
@pytest.mark.parametrize("chunked", [False, True], ids=["sized", "chunked"])
def test_a_body_over_the_limit_is_refused_unread(app, extra, status, chunked):
    head = b'{"path": "/dd/demo/customers", "padding": "'
    body = head + b"x" * (MAX_BODY_BYTES + extra - len(head) - 2) + b'"}'
    chunks = {"CONTENT_LENGTH": "", "HTTP_TRANSFER_ENCODING": "chunked"} if chunked else {}
    response = send(app, "admin", "POST /dd-url/parse", "application/json", body, **chunks)
    assert (len(body), response.status_int) == (MAX_BODY_BYTES + extra, status), response.text


@pytest.mark.parametrize("charset", ["nope", "hex", "undefined", "latin-1", "utf-16"])
def test_a_request_without_a_body_is_not_refused_for_its_charset(app, charset):
    # Nor are the URL's escapes read in it: they are UTF-8 whatever the body's charset.
    response = send(app, "alice", CUSTOMERS + "/city/K%C3%B6ln", "application/json; charset=" + charset)
    check(response, 200, {"names": ["Paul Meyer"], "filters": {"city": "Köln"}})


@pytest.mark.parametrize("url", [CUSTOMERS, BY_COUNTRY])
def test_the_largest_limit_gives_all_rows(app, url):
    assert ask(app, "alice", url + "?limit=2147483647").json["rows"] == ask(app, "alice", url).json["rows"] != []


def add_queries(data_dir, **sql):
    """Stores by hand queries on demo that anyone may run with GET, named as the keywords."""
    edit_store(data_dir, lambda data: data["querydefs"].update({name: {
        "database": "demo", "sql": text, "execute": ["public"], "http_methods": {"GET": True}} for name, text in sql.items()}))


def test_a_stored_query_the_database_fails_on_is_a_json_error_without_internals(data_dir, caplog):
    add_queries(data_dir, broken="SELEC name FROM no_such_table")
    response = ask(make_app(data_dir), "alice", "/query/broken")
    check(response, 500, {"explanation": "Query 'broken' failed in the database; the server log says why."})
    assert "SELEC" not in response.text and "syntax" not in response.text
    [logged] = [r.getMessage() for r in caplog.records if r.name == "korvane.views.sqlite"]
    assert "Query 'broken'" in logged and "demo" in logged and "syntax error" in logged


FORGED = "x\n2026-12-08 17:00:00,000 INFO  [korvane] User mallory created by admin\x1b[2J"


@pytest.mark.parametrize("logger, url", [
    # SQLite's message quotes the parameter; the 500 of any failure names the path.
    ("korvane.views.sqlite", "/query/jpath/p/" + quote(FORGED, safe="")),
    ("korvane.views.errors", CUSTOMERS + "/city/" + quote(FORGED, safe=""))])
def test_text_a_client_chose_stays_on_the_line_of_the_failure_it_is_logged_with(data_dir, caplog, logger, url):
    add_queries(data_dir, jpath="SELECT json_extract('{}', :p) AS v")
    with mock.patch("korvane.views.data.table_response", side_effect=RuntimeError("fault")):
        check(ask(make_app(data_dir), "alice", url), 500, {})
    [logged] = [r.getMessage() for r in caplog.records if r.name == logger]
    assert "\n" not in logged and "\x1b" not in logged and "x\\n2026-12-08" in logged and "admin\\x1b[2J" in logged


def test_an_unexpected_exception_is_a_json_500_whose_request_id_the_log_carries(app, caplog):
    with mock.patch("korvane.views.home.json_response", side_effect=RuntimeError("secret detail")):
        response = ask(app, "alice", "/")
    check(response, 500, {"X-Request-Id": response.json["request_id"]})
    assert "secret detail" not in response.text and "Traceback" not in response.text
    [record] = [r for r in caplog.records if r.levelno == logging.ERROR and r.name == "korvane.views.errors"]
    assert response.json["request_id"] in record.getMessage() and "secret detail" in record.getMessage()
    assert record.exc_info is not None
    # The id is the request's status id: /status shows how the request ended.
    assert ask(app, "admin", "/status/" + response.json["request_id"]).json["statuses"][-1] == "FAILED"


@pytest.mark.parametrize("url", [
    "/", "/querydefs", "/models", "/users", "/status", "/databases", "/query", CUSTOMERS, BY_COUNTRY + ".csv",
    "/querydefs/customers_by_country", "/dd/demo", "/whoami", "/nope",
])
def test_head_answers_like_get_without_a_body(app, url):
    get, head = ask(app, "alice", url), ask(app, "alice", "HEAD " + url)
    assert head.status_int == get.status_int and head.body == b""
    for name in ("Content-Type", "Content-Length", "Allow"):
        assert head.headers.get(name) == get.headers.get(name), name


@pytest.mark.parametrize("who, url", [
    ("alice", "/dd/demo?format=xsd"), ("alice", "/dd/demo.xsd"), ("alice", CUSTOMERS + ".xsd?limit=1"),
    ("alice", "/models/demo.xsd"), ("alice", "/models.xsd"), ("alice", BY_COUNTRY + ".xsd"), ("bob", "/dd/sales/orders"),
    ("public", "/query/orders_since/since/2024-01-01"), ("alice", "/dd//demo///customers"),
    ("alice", CUSTOMERS + "/city/K%C3%B6ln.xsd"),
])
def test_every_redirect_leads_to_a_page_that_exists(app, who, url):
    response = ask(app, who, url)
    assert 300 <= response.status_int < 400 and response.headers["Location"].startswith(LOCAL)
    followed = ask(app, who, response.headers["Location"][len(LOCAL):])
    assert followed.status_int == 200 or (who, followed.status_int) == ("public", 403), followed.text


def test_the_table_model_is_read_once_per_version_of_the_database_file(data_dir):
    app = make_app(data_dir)
    ask(app, "alice", CUSTOMERS)
    with mock.patch("korvane.utils._read_sqlite_model", wraps=korvane.utils._read_sqlite_model) as read:
        for _ in range(3):
            check(ask(app, "alice", CUSTOMERS), 200, {"count": 8})
        assert read.call_count == 0
        with sqlite3.connect(data_dir / "demo.sqlite3") as connection:
            connection.execute("CREATE TABLE notes (id INTEGER, text TEXT)")
        connection.close()
        check(ask(app, "alice", "/dd/demo"), 200, {})
        assert ask(app, "alice", "/dd/demo").json["tables"]["notes"] == ["id", "text"]
        check(ask(app, "alice", "/dd/demo/notes"), 200, {"rows": []})
        assert read.call_count == 1


def test_repeated_column_names_and_blobs_come_out_alike_in_every_format(data_dir):
    add_queries(data_dir, twins="SELECT 1 AS a, 2 AS a, 3 AS \"a:1\", x'00ff' AS b, 4 AS a")
    app = make_app(data_dir)
    # Named as SQLite names the columns of a table it makes from this select.
    names = ["a", "a:1", "a:2", "b", "a:3"]
    check(ask(app, "alice", "/query/twins"), 200, {"columns": names, "rows": [dict(zip(names, [1, 2, 3, "00ff", 4]))]})
    check(ask(app, "alice", "/query/twins.csv"), 200, {"lines": [",".join(names), "1,2,3,00ff,4"]})
    row = ET.fromstring(ask(app, "alice", "/query/twins.xml").body)[0]
    assert [(field.get("name"), field.text) for field in row] == list(zip(names, ["1", "2", "3", "00ff", "4"]))


def replace_file(path, data):
    path.unlink()
    path.write_bytes(data)


@pytest.mark.parametrize("how, spoil, problem", [
    ("missing", lambda path: path.unlink(), "its file is missing."),
    ("a folder", lambda path: (path.unlink(), path.mkdir()), "its file is a folder."),
    ("not a database", lambda path: replace_file(path, b"not a database at all" * 100), "its file is not a SQLite database."),
    ("empty", lambda path: replace_file(path, b""), "its file is not a SQLite database."),
    ("cut short", lambda path: replace_file(path, path.read_bytes()[:1024]), "database disk image is malformed."),
])
def test_a_database_whose_file_cannot_be_read_is_503_and_the_others_serve_on(data_dir, how, spoil, problem):
    app = make_app(data_dir)
    ask(app, "admin", "/models")  # the models of the good files are known before
    spoil(data_dir / "demo.sqlite3")
    unreadable = {"explanation": "The database 'demo' cannot be read: " + problem}
    for url in ("/dd/demo", "/dd/demo.csv", CUSTOMERS, CUSTOMERS + "/city/Berlin", BY_COUNTRY, "/models/demo"):
        check(ask(app, "alice", url), 503, unreadable)
    # A listing names the database it cannot read, and lists the others.
    models = ask(app, "admin", "/models")
    check(models, 200, {"Warning": unreadable["explanation"]})
    assert models.json["models"]["demo"]["tables"] is None and models.json["models"]["demo"]["error"] == unreadable["explanation"]
    assert models.json["models"]["sales"]["tables"] == ["orders"]
    check(ask(app, "bob", "/dd/sales/orders?limit=1"), 200, {"count": 1})
    # Nor can a query be checked on it before it is kept.
    new_query = {"query_id": "q9", "database": "demo", "sql": "SELECT name FROM customers", "http_methods": {"GET": True}}
    check(ask(app, "alice", "POST /querydefs/new", new_query), 503, unreadable)
    # Taking a path apart needs no file; a caller without access is refused as before.
    check(ask(app, "alice", "POST /dd-url/parse", {"path": CUSTOMERS}), 200, {"table": "customers"})
    check(ask(app, "bob", "/dd/demo"), 403, {})
    # No request made a database where there was none.
    assert (data_dir / "demo.sqlite3").exists() == (how != "missing")


def test_a_warning_naming_a_database_escapes_what_a_header_cannot_carry(data_dir):
    # An id from a hand-edited store: a line break would end the header, or smuggle in another.
    edit_store(data_dir, lambda data: data["databases"].update({"x\r\nSet-Cookie: a=b\x7f\u20ac": {"sqlite_path": "gone"}}))
    warning = "The database 'x\\r\\nSet-Cookie: a=b\\x7f\\u20ac' cannot be read: its file is missing."
    check(ask(make_app(data_dir), "admin", "/models"), 200, {"Warning": warning, "Set-Cookie": []})


def test_a_fault_of_a_database_file_that_passes_is_not_remembered(data_dir, monkeypatch):
    # Descriptors running short leave the file as it was: its next read must be tried again.
    app = make_app(data_dir)
    with monkeypatch.context() as patched:
        patched.setattr(korvane.utils, "sqlite_file_problem", lambda path: "its file cannot be opened (Too many open files)")
        check(ask(app, "alice", "/dd/demo"), 503, {})
    check(ask(app, "alice", "/dd/demo"), 200, {})


@pytest.mark.parametrize("warm", [True, False], ids=["model-known", "model-unknown"])
def test_a_database_another_program_locks_is_503_until_it_lets_go(data_dir, warm):
    app = make_app(data_dir, **{"korvane.query_timeout": "0.3"})
    if warm:
        ask(app, "alice", CUSTOMERS)
    holder = sqlite3.connect(data_dir / "demo.sqlite3")
    holder.execute("BEGIN EXCLUSIVE")
    try:
        for url in (CUSTOMERS, BY_COUNTRY):
            check(ask(app, "alice", url), 503, {
                "explanation": "The database 'demo' cannot be read: it is locked by another program; try again later."})
    finally:
        holder.rollback()
        holder.close()
    check(ask(app, "alice", CUSTOMERS), 200, {})


# --- what a stored query or a table read may cost ------------------------------------

RUNAWAY = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) AS n FROM c"
TOO_MANY_ROWS = "gives more than 3 rows, the most one answer holds here (korvane.max_rows): name a limit (?limit=N, at most 3)"


def test_a_statement_past_its_time_is_stopped_and_the_rows_of_an_answer_are_capped(data_dir, caplog):
    add_queries(data_dir, runaway=RUNAWAY, everyone="SELECT * FROM customers")
    app = make_app(data_dir, **{"korvane.query_timeout": "0.2", "korvane.max_rows": "3"})
    check(ask(app, "alice", "/query/runaway"), 504, {
        "explanation": "Query 'runaway' ran longer than 0.2 seconds, the time limit of a statement here"
                       " (korvane.query_timeout), and was stopped."})
    assert any("stopped" in r.getMessage() for r in caplog.records if r.name == "korvane.views.sqlite")
    # Three rows are an answer; eight are refused, not cut short, unless a limit asks for at most three.
    check(ask(app, "alice", BY_COUNTRY), 200, {"count": 3})
    check(ask(app, "alice", CUSTOMERS + "/country/DE?limit=2147483647"), 200, {"count": 3})
    check(ask(app, "alice", CUSTOMERS + "?limit=3"), 200, {"count": 3})
    for url in (CUSTOMERS, CUSTOMERS + "?limit=4", CUSTOMERS + ".csv", CUSTOMERS + ".xml"):
        check(ask(app, "alice", url), 400, {"explains": "Reading table 'customers' " + TOO_MANY_ROWS})
    check(ask(app, "alice", "/query/everyone"), 400, {"explains": "Query 'everyone' " + TOO_MANY_ROWS})
    # A schema shows no rows, so none are counted.
    for url in (CUSTOMERS + ".xml?schema", "/query/everyone.json?schema"):
        check(ask(app, "alice", url), 200, {})


TOO_MANY_BYTES = "gives more than 800 bytes, the most one answer holds here (korvane.max_answer_bytes)"


def test_the_bytes_of_an_answer_are_capped_and_no_value_beyond_them_is_made(data_dir):
    # A customer counts about 140 bytes: its texts, its columns' names and 16 a value.
    add_queries(data_dir, big="SELECT length(zeroblob(2000)) AS n", fits="SELECT zeroblob(300) AS b",
                hex="SELECT zeroblob(400) AS b", named="SELECT 1 AS {}".format("n" * 800))
    app = make_app(data_dir, **{"korvane.max_answer_bytes": "800"})
    for url in (CUSTOMERS, CUSTOMERS + ".xml", CUSTOMERS + "?limit=8"):
        check(ask(app, "alice", url), 400, {"explains": "Reading table 'customers' " + TOO_MANY_BYTES})
    check(ask(app, "alice", CUSTOMERS + "?limit=4"), 200, {"count": 4})
    # A blob is written in hex, a column's name in every row.
    check(ask(app, "alice", "/query/fits.csv"), 200, {})
    for name in ("hex", "named"):
        check(ask(app, "alice", f"/query/{name}"), 400, {"explains": f"Query '{name}' " + TOO_MANY_BYTES})
    # A value that would not fit is not even made, though the answer would be small.
    check(ask(app, "alice", "/query/big"), 400, {"explanation": "Query 'big' makes a value of more than 800 bytes,"
                                                                 " the most one answer holds here (korvane.max_answer_bytes)."})


def test_rows_are_counted_as_they_come_so_a_refused_answer_holds_little(tmp_path):
    path = tmp_path / "d.sqlite3"
    sqlite3.connect(path).executescript("CREATE TABLE t (a);").close()
    config = type("Config", (dict,), {"db_id": "d"})(sqlite_path=str(path))
    rows = "WITH RECURSIVE r(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM r WHERE i < 300) SELECT zeroblob(45000) FROM r"
    tracemalloc.start()
    try:
        with pytest.raises(HTTPBadRequest, match="gives more than 100000 bytes"):
            korvane.views.sqlite.run(config, rows, [], timeout=5, max_rows=1000, max_bytes=100000)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1_000_000  # two rows of 45,000 bytes, not a batch of 300


def writer_waits(path):
    """Whether another program's writer finds the database file at ``path`` locked."""
    writer = sqlite3.connect(path, timeout=0, isolation_level=None)
    try:
        writer.execute("BEGIN EXCLUSIVE")
        writer.execute("ROLLBACK")
        return False
    except sqlite3.OperationalError:
        return True
    finally:
        writer.close()


def test_an_answer_refused_part_way_through_its_rows_leaves_no_lock_on_the_file(data_dir):
    # The statement stayed open in the refusal's traceback until a collection, and with it a read lock.
    add_queries(data_dir, everyone="SELECT * FROM customers")
    app = make_app(data_dir, **{"korvane.max_rows": "3"})
    gc.disable()
    try:
        for url in (CUSTOMERS, "/query/everyone"):
            check(ask(app, "alice", url), 400, {})
            assert not writer_waits(data_dir / "demo.sqlite3"), url
    finally:
        gc.enable()


def test_a_database_file_that_is_a_link_is_read_where_the_link_points_now(data_dir):
    app = make_app(data_dir)  # makes the databases
    (data_dir / "demo.sqlite3").rename(data_dir / "before.sqlite3")
    shutil.copy(data_dir / "before.sqlite3", data_dir / "after.sqlite3")
    with sqlite3.connect(data_dir / "after.sqlite3") as connection:
        connection.execute("DELETE FROM customers WHERE country != 'DE'")
    connection.close()
    (data_dir / "demo.sqlite3").symlink_to("before.sqlite3")
    check(ask(app, "alice", CUSTOMERS), 200, {"count": 8})
    (data_dir / "next").symlink_to("after.sqlite3")
    (data_dir / "next").rename(data_dir / "demo.sqlite3")
    for url in (CUSTOMERS, "/query/customers_by_country/country/DE"):
        check(ask(app, "alice", url), 200, {"count": 3})


def test_tables_and_columns_of_any_name_and_kind_are_in_the_model(data_dir):
    # "sqlite_%" matched any character for "_", and table_info leaves generated columns out.
    with sqlite3.connect(data_dir / "demo.sqlite3") as connection:
        connection.execute("CREATE TABLE sqliteNotes (k)")
        connection.execute("CREATE TABLE doubled (x INTEGER, y INTEGER GENERATED ALWAYS AS (x * 2))")
        connection.execute("INSERT INTO doubled (x) VALUES (3)")
    connection.close()
    app = make_app(data_dir)
    tables = ask(app, "alice", "/models/demo").json["tables"]
    assert (tables["sqliteNotes"], tables["doubled"]) == (["k"], ["x", "y"])
    check(ask(app, "alice", "/dd/demo/doubled/y/6"), 200, {"rows": [{"x": 3, "y": 6}]})
    check(ask(app, "alice", "/dd/demo/sqliteNotes"), 200, {"rows": []})


def test_a_carriage_return_comes_back_from_xml_as_it_was(data_dir):
    # A parser reads a raw one in text as a line feed.
    add_queries(data_dir, lines="SELECT 'a' || char(13) || 'b' || char(13, 10) AS v")
    row = ET.fromstring(ask(make_app(data_dir), "alice", "/query/lines.xml").body)[0]
    assert [field.text for field in row] == ["a\rb\r\n"]


@pytest.mark.parametrize("call", [
    "views_sqlite.run(Config(sqlite_path=path), 'SELECT a FROM t WHERE a > :x', {'x': 0}, timeout=5, max_rows=9)",
    "views_sqlite.check_compiles('d', path, 'SELECT a FROM t WHERE a > :x')",
])
def test_memory_running_out_in_the_authorizer_is_no_refusal_of_the_statement(call, tmp_path):
    # sqlite3 denies an action whose authorizer raised: that is the server's failure, and must not be
    # answered as the refusal of another database file.
    setup = f"""
        import sqlite3
        from korvane.views import sqlite as views_sqlite

        class Config(dict):
            db_id = "d"

        path = {str(tmp_path / "d.sqlite3")!r}
        sqlite3.connect(path).executescript("CREATE TABLE t (a); INSERT INTO t VALUES (1);").close()
        {call}
    """
    wrong = "getattr(error, 'explanation', None) == views_sqlite.OTHER_FILES"
    assert allocations_gone_wrong(setup, call, wrong, quiet=60) == ([], True)


HALF_WRITTEN = ("The database 'demo' cannot be read: a program writing it stopped part-way, and it is read again once a"
                " program that may write it opens it.")
DEAD_WRITER = """
import os, sqlite3, sys
writer = sqlite3.connect(sys.argv[1], isolation_level=None)
writer.execute("PRAGMA cache_size = 1")
writer.execute("BEGIN")
writer.execute("UPDATE customers SET name = name || zeroblob(4000)")
os._exit(0)
"""


def view_of_a_dropped_table(path):
    with sqlite3.connect(path) as connection:
        connection.executescript("CREATE TABLE gone (a); CREATE VIEW shows AS SELECT a FROM gone; DROP TABLE gone;")
    connection.close()


# A journal left hot was taken for a write refused (403) and for a lock (503 "locked", after a pause), as was any
# other error reading the model.
@pytest.mark.parametrize("spoil, urls, explanation", [
    (lambda path: subprocess.run([sys.executable, "-c", DEAD_WRITER, str(path)], check=True),
     (CUSTOMERS, BY_COUNTRY, "/dd/demo", "/models/demo"), HALF_WRITTEN),
    (view_of_a_dropped_table, (CUSTOMERS, "/dd/demo", "/models/demo"),
     "The database 'demo' cannot be read: no such table: main.gone."),
], ids=["writer-died-mid-transaction", "view-of-a-dropped-table"])
def test_a_database_sqlite_cannot_read_as_it_is_says_what_sqlite_found(data_dir, spoil, urls, explanation):
    app = make_app(data_dir)
    spoil(data_dir / "demo.sqlite3")
    for url in urls:
        check(ask(app, "alice", url), 503, {"explanation": explanation})


@pytest.mark.parametrize("proxy_takes_prefix_off", [False, True], ids=["prefix-in-request-line", "prefix-taken-off"])
def test_an_application_mounted_under_a_prefix_keeps_it_in_paths_and_redirects(app, proxy_takes_prefix_off):
    mounted = PrefixMiddleware(app.app, prefix="/api")

    def server(environ, start_response):
        # A proxy that takes the prefix off passes on a request line without it.
        if proxy_takes_prefix_off:
            environ["PATH_INFO"], environ["REQUEST_URI"] = environ["PATH_INFO"][4:], environ["REQUEST_URI"][4:]
        return mounted(environ, start_response)

    client = TestApp(server)

    def get(url, who="alice"):
        return client.get(url, headers={"X-API-Key": KEYS[who]}, extra_environ={"REQUEST_URI": url}, expect_errors=True)

    for url in ("/api" + CUSTOMERS + "/country/DE", "/api/query/customers_by_country/country/DE"):
        check(get(url), 200, {"names": ["Anna Berg", "Jonas Weber", "Paul Meyer"]})
    for who, url, location in [("alice", CUSTOMERS + ".xsd", CUSTOMERS + ".xml?schema"),
                               ("alice", CUSTOMERS + "/email/a%2Fb.xsd", CUSTOMERS + "/email/a%2Fb.xml?schema"),
                               ("alice", "/dd/demo//customers", CUSTOMERS),
                               ("bob", "/dd/sales/orders", "/dd/sales/orders?limit=10")]:
        assert get("/api" + url, who).headers["Location"] == LOCAL + "/api" + location, url
