"""The demo server's WSGI application (WebTest) over a copy of the example folder; REQUEST_URI is set as waitress does."""

import configparser
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path
from urllib.parse import quote
from xml.etree import ElementTree as ET

import plaster
import pytest
from pyramid.interfaces import IRoutesMapper
from pyramid.request import Request
from webtest import TestApp

import korvane.roots
from korvane.app import SetupError, main
from korvane.app.request_setup import received_uri
from korvane.request_status import RequestStatusRegistry

from helpers import APIKEY_DENIED, APIKEY_WARNING, NO_ACCESS, UNKNOWN_KEY, XSD_WARNING

REPO = Path(__file__).resolve().parents[1]
CALLERS = ("admin", "alice", "bob", "public")
KEYS = {"admin": "admin-key", "alice": "alice-key", "bob": "bob-key", "carol": "carol-key", "public": None,
        "wrong": "no-such-key"}

FIXED_PATH = "Redirected to a fixed path"
GUI_MARKER = "needs JavaScript"
DE_CUSTOMERS = ["Anna Berg", "Jonas Weber", "Paul Meyer"]
ALL_QUERIES = ["customers_by_country", "orders_since", "customer_count", "purge_orders"]
DEMO_TABLES = {"countries": ["code", "name"], "customers": ["id", "name", "country", "city", "email"]}
LOCAL = "http://localhost"
BY_COUNTRY = "/query/customers_by_country/country/"
SINCE = "/query/orders_since/since/2024-01-01"


def make_app(data_dir, **overrides):
    """The application of development.ini's settings over ``data_dir``."""
    settings = dict(plaster.get_loader(str(REPO / "development.ini"), protocols=["wsgi"]).get_settings("app:main"))
    settings.pop("use")
    settings.update({"korvane.data_dir": str(data_dir)}, **overrides)
    return TestApp(main({"here": str(REPO)}, **settings))


def copy_example(target):
    shutil.copytree(REPO / "src" / "korvane" / "app" / "example", target, ignore=shutil.ignore_patterns("*.sqlite3", "*.tmp"))
    return target


@pytest.fixture(scope="module")
def app(tmp_path_factory):
    """One application for the tests that change nothing."""
    return make_app(copy_example(tmp_path_factory.mktemp("shared") / "data"))


@pytest.fixture
def data_dir(tmp_path):
    return copy_example(tmp_path / "data")


def ask(app, who, request_line, send=None, headers=None):
    """``who``'s answer to ``request_line`` ("URL" for a GET, else "METHOD URL"); ``send``: a JSON body (raw when bytes)."""
    method, _, url = request_line.rpartition(" ")
    headers = dict(headers or {}, **({"X-API-Key": KEYS[who]} if KEYS[who] else {}))
    body = send if send is None or isinstance(send, bytes) else json.dumps(send).encode()
    kw = {} if body is None else {"body": body, "content_type": "application/json"}
    return app.request(url, method=method or "GET", headers=headers, environ={"REQUEST_URI": url}, expect_errors=True, **kw)


READ = {"names": lambda r: [row["name"] for row in r.json["rows"]], "count": lambda r: len(r.json["rows"]),
        "lines": lambda r: r.text.splitlines()}


def check(response, status, expect):
    # Errors are always JSON naming their status.  ``expect``: capitalised keys are
    # headers (a str: the one value; a list: all values), "names" the rows' names,
    # "count" the number of rows, "lines" all lines of the text, "text" a fragment
    # of it, "explains" a fragment of the explanation, "without" JSON members that
    # must be absent; other keys JSON members.
    assert response.status_int == status, response.text
    if status >= 400:
        assert (response.content_type, response.json["status"]) == ("application/json", status)
    for key, value in expect.items():
        if key[0].isupper():
            assert response.headers.getall(key) == ([value] if isinstance(value, str) else value), key
        elif key == "text":
            assert value in response.text
        elif key == "explains":
            assert value in response.json["explanation"]
        elif key == "without":
            assert not set(value) & set(response.json)
        else:
            assert READ.get(key, lambda r: r.json[key])(response) == value, key


def check_all(app, who, request_line, status, expect):
    """Checks the answer to each caller in ``who`` (names split by spaces); ``expect["send"]`` is the body."""
    expect = dict(expect)
    send = expect.pop("send", None)
    for caller in who.split():
        check(ask(app, caller, request_line, send), status, expect)


def edit_store(data_dir, change):
    path = data_dir / "store.json"
    data = json.loads(path.read_text())
    change(data)
    path.write_text(json.dumps(data, indent=1))


# --- the application's shape ----------------------------------------------------------


def test_every_context_class_is_the_root_factory_of_a_route(app):
    classes = {value for value in vars(korvane.roots).values()
               if isinstance(value, type) and issubclass(value, korvane.roots.RootContext)}
    routes = app.app.registry.queryUtility(IRoutesMapper).get_routes()
    assert len(classes) == 22 and {route.factory for route in routes} == classes
    assert set(SAMPLES) == {route.name for route in routes}


# --- settings and data folders the server refuses to start with ------------------------

LIMIT_RULE = "must be a whole number from 0 to 2147483647, not "


@pytest.mark.parametrize("settings, message", [
    # Accepted, -1 and 0 started a server that failed every request.
    *[({"korvane.status_capacity": value}, "korvane.status_capacity must be a whole number of at least 1, not "
       "{!r}.".format(value)) for value in ("lots", "-1", "0")],
    ({"korvane.url_substitution": "$2F"}, "korvane.url_substitution: bad entry '$2F' (expected SUBSTITUTE=CHAR"),
    ({"korvane.url_substitution": "$2F=// $2E=."}, "korvane.url_substitution: bad entry '$2F=//'"),
    # Accepted, these made URLs that no request reads back.
    *[({"korvane.url_substitution": value}, "korvane.url_substitution: bad entry {!r} (expected SUBSTITUTE=CHAR, the"
       " substitute starting with '$')".format(value)) for value in ("~S=/", "$=/")],
    # Accepted, these made the URL builder fail on every value holding the character left out.
    ({"korvane.url_substitution": "$SL=/"}, "korvane.url_substitution must give a substitute for '.'."),
    ({"korvane.url_substitution": "$X=x"}, "korvane.url_substitution must give a substitute for '/' and '.'."),
    # Accepted, these redirected every data request on sales to a URL refused with 400.
    *[({name: value}, "{} {}{!r}.".format(name, LIMIT_RULE, value)) for name, value in (
        ("db.sales.limit", "ten"), ("db.sales.limit", "-5"), ("db.sales.limit", "9" * 20), ("db.demo.limit", "2147483648"),
        ("db.demo.limit", ""))],
    # Accepted, these would stop every statement at once or never.
    *[({"korvane.query_timeout": value}, "korvane.query_timeout must be a number of seconds greater than 0 and at"
       " most 86400, not {!r}.".format(value)) for value in ("0", "-1", "1e3", "soon", "86401", "")],
    *[({"korvane.max_rows": value}, "korvane.max_rows must be a whole number from 1 to 2147483647, not {!r}.".format(value))
      for value in ("0", "-1", "many", "2147483648")],
    *[({"korvane.max_answer_bytes": value}, "korvane.max_answer_bytes must be a whole number from 1 to 1000000000,"
       " not {!r}.".format(value)) for value in ("0", "-1", "64M", "1000000001", "9" * 5000, "")],
    # Accepted, these answered every data request without an extension 406, or never took a key from the header.
    *[({"korvane.default_extension": value}, "korvane.default_extension must be one of json, xml, csv, html, not "
       "{!r}.".format(value)) for value in ("exe", "txt", "")],
    ({"korvane.apikey_header": ""}, "korvane.apikey_header must name an HTTP header (such as X-API-Key), not ''."),
    # Accepted, these counted as false.
    *[({name: value}, "{} must be true or false (yes/no, on/off, 1/0), not {!r}.".format(name, value))
      for name, value in (("korvane.allow_apikey_in_query_string", "ture"), ("korvane.fill_data_dir", "always"))],
], ids=lambda value: "=".join(*value.items()) if isinstance(value, dict) else "")
def test_a_bad_setting_is_refused_at_start_saying_why(data_dir, settings, message):
    with pytest.raises(SetupError) as refusal:
        make_app(data_dir, **settings)
    assert message in str(refusal.value)


@pytest.mark.parametrize("limit", ["0", "2147483647", "007"])
def test_a_row_limit_setting_redirects_to_a_url_that_is_served(data_dir, limit):
    # The setting takes exactly the values a request's own limit takes.
    app = make_app(data_dir, **{"db.sales.limit": limit})
    redirect = ask(app, "bob", "/dd/sales/orders")
    check(redirect, 302, {"Location": LOCAL + "/dd/sales/orders?limit=" + limit})
    every = len(ask(app, "bob", "/dd/sales/orders?limit=2147483647").json["rows"])
    check(ask(app, "bob", redirect.location[len(LOCAL):]), 200, {"count": min(int(limit), every)})


@pytest.mark.parametrize("setting, url, expect", [({"korvane.status_capacity": "1"}, "/", {}),
                                                 ({"korvane.max_rows": "2147483647"}, "/dd/demo/customers", {"count": 8}),
                                                 ({"korvane.max_answer_bytes": "1000000000"}, "/dd/demo/customers",
                                                  {"count": 8})])
def test_the_extreme_values_a_setting_takes_serve(data_dir, setting, url, expect):
    app = make_app(data_dir, **setting)
    for _ in range(3):
        check(ask(app, "alice", url), 200, expect)


def plain_file(data_dir):
    shutil.rmtree(data_dir)
    data_dir.write_text("not a folder")


@pytest.mark.parametrize("spoil, fill, message", [
    (plain_file, "true", "is not a folder"),
    (plain_file, "false", "is not a folder"),
    # Its first statement runs: the table it made must not stay behind in a database file.
    (lambda data_dir: (data_dir / "broken.sql").write_text("CREATE TABLE t (a); INSERT INTO nowhere VALUES (1);"), "true",
     "The sample database broken cannot be built from broken.sql: no such table: nowhere"),
    (lambda data_dir: (data_dir / "latin.sql").write_bytes(b"INSERT INTO t VALUES ('\xe9');"), "true",
     "The sample database latin cannot be built from latin.sql: it is not UTF-8 text (byte 0xe9 at offset 23)"),
], ids=["plain file, filled", "plain file", "script that does not run", "script not UTF-8"])
def test_a_data_folder_that_cannot_serve_is_refused_at_start_saying_why(data_dir, spoil, fill, message):
    spoil(data_dir)
    with pytest.raises(SetupError) as refusal:
        make_app(data_dir, **{"korvane.fill_data_dir": fill})
    assert message in str(refusal.value) and (spoil is not plain_file or str(data_dir) in str(refusal.value))
    assert not list(data_dir.parent.glob("**/*.tmp")) and not list(data_dir.parent.glob("**/broken.sqlite3*"))


# --- every route, for every kind of caller ---------------------------------------------

#: One request per route: (request, JSON body, status for admin, alice, bob, public).
SAMPLES = {
    "home": ("/", None, (200, 200, 200, 200)),
    "whoami": ("/whoami", None, (200, 200, 200, 403)),
    "ctx_root_context": ("/_ctx/root-context", None, (200, 200, 200, 200)),
    "ctx_root_basic": ("/_ctx/root-basic", None, (200, 200, 200, 200)),
    "ctx_data_format": ("/_ctx/data-format", None, (406, 406, 406, 406)),
    "querystudio_new": ("/querystudio.html", None, (200, 200, 200, 200)),
    "querystudio": ("/querystudio/customers_by_country", None, (406, 406, 406, 406)),
    "model": ("/models/demo", None, (200, 200, 403, 200)),
    "models": ("/models", None, (200, 200, 200, 200)),
    "querydefs": ("/querydefs", None, (200, 200, 403, 403)),
    "querydef_new": ("POST /querydefs/new", None, (400, 400, 403, 403)),
    "querydef": ("/querydefs/customers_by_country", None, (200, 200, 403, 200)),
    "databases": ("/databases", None, (200, 200, 403, 403)),
    "database_new": ("POST /databases/new", None, (400, 403, 403, 403)),
    "database": ("/databases/demo", None, (200, 200, 403, 403)),
    "users": ("/users", None, (200, 200, 403, 403)),
    "user_new": ("POST /users/new", None, (400, 403, 403, 403)),
    "user": ("/users/bob", None, (200, 200, 200, 403)),
    "queries": ("/query", None, (200, 200, 200, 200)),
    "query": (BY_COUNTRY + "DE", None, (200, 200, 403, 200)),
    "dd_index": ("/dd", None, (200, 200, 200, 200)),
    "dd": ("/dd/demo/customers", None, (200, 200, 403, 200)),
    "statuses": ("/status", None, (200, 200, 200, 403)),
    "status": ("/status/nope", None, (404, 404, 404, 403)),
    "dbcredentials": ("/dbcredentials/demo", None, (200, 200, 403, 403)),
    "dbcredential": ("/dbcredentials/demo/reporting", None, (200, 200, 403, 403)),
    "dd_url": ("POST /dd-url/parse", {"path": "/dd/demo/customers"}, (200, 200, 403, 200)),
    "dd_url_refused": ("/dd-url/parse", None, (405, 405, 405, 405)),
}


@pytest.mark.parametrize("route_name", sorted(SAMPLES))
@pytest.mark.parametrize("who", CALLERS + ("wrong",))
def test_every_route_answers_each_caller_and_refuses_a_wrong_key(app, route_name, who):
    request_line, body, statuses = SAMPLES[route_name]
    expected = (403, {"explanation": UNKNOWN_KEY}) if who == "wrong" else (statuses[CALLERS.index(who)], {})
    check(ask(app, who, request_line, body), *expected)


# --- request setup ------------------------------------------------------------------


@pytest.mark.parametrize("environ, expected", [
    ({"RAW_URI": "/a%2Fb", "REQUEST_URI": "/other"}, "/a%2Fb"),
    ({"REQUEST_URI": "http://example.org//dd/demo?x=1"}, "//dd/demo?x=1"),
    ({}, "/dd/demo?limit=1"),
])
def test_raw_uri_is_the_uri_as_received(environ, expected):
    assert received_uri(Request.blank("/dd/demo?limit=1", environ=environ)) == expected


# --- identity, authentication and the base contexts' diagnostics -------------------------

ANY_FORMAT_REFUSED = "Data format '{}' is not supported for this resource."


IDENTITY = [
    ("bob", "/whoami", 200, {"user_id": "bob", "databases": ["sales"]}),
    ("public", "/whoami", 403, {"permission": "authenticated"}),
    ("public", "/whoami?apikey=alice-key", 403, {"Warning": [], "explanation": APIKEY_DENIED}),
    ("public", "/_ctx/root-context?segment=a/b&segment=..&segment=c.d", 200, {"has_acl": False, "user_db_ids": ["demo"],
        "escaped_segments": ["a$2Fb", "$2E$2E", "c.d"], "declared_substitutions": {"$2F": "/", "$2E": "."}}),
    ("alice", "/_ctx/root-basic?schema", 200, {"acl": [["Deny", "system.Everyone", "ALL_PERMISSIONS"]], "is_schema_request": True,
        "permits": {"view": False, "authenticated": False, "execute_query": False, "view_database": False}}),
    # DataFormatRoot's own format tables are empty: every format but the hand-offs is refused.
    ("alice", "/_ctx/data-format", 406, {"explanation": ANY_FORMAT_REFUSED.format("json")}),
]


def test_allowed_query_string_key_authenticates_with_advice(data_dir):
    app = make_app(data_dir, **{"korvane.allow_apikey_in_query_string": "true"})
    check(ask(app, "public", "/whoami?apikey=alice-key"), 200, {"user_id": "alice", "Warning": APIKEY_WARNING})
    check(ask(app, "public", "/dd/sales/orders?apikey=alice-key"), 302, {"Warning": APIKEY_WARNING})
    # A change's answer, with or without a body, carries the advice too.
    for line, body, status in (("POST /querydefs/new", {"query_id": "q", "database": "demo", "sql": "SELECT 1"}, 201),
                               ("DELETE /querydefs/q", None, 204)):
        check(ask(app, "public", line + "?apikey=alice-key", body), status, {"Warning": APIKEY_WARNING})
    check(ask(app, "public", "/?apikey=nobody"), 403, {"explanation": UNKNOWN_KEY})
    # Two keys name no one user, whichever comes last; the header path refuses a repeated key as well.
    for query in ("apikey=admin-key&apikey=bob-key", "apikey=bob-key&apikey=admin-key", "apikey=bob-key&apikey=bob-key"):
        check(ask(app, "public", "/whoami?" + query), 403, {"explanation": "The request carries more than one API key."})


def test_without_admin_password_only_the_default_root_serves(data_dir):
    edit_store(data_dir, lambda data: data["users"]["admin"].update(password=None))
    app = make_app(data_dir)
    check(ask(app, "admin", "/"), 200, {})
    check(ask(app, "admin", "/querydefs"), 403, {"explanation": "Admin user password has to be set."})


# --- stored queries -------------------------------------------------------------------

CSV_DE = ["id,name,country,city,email", "1,Anna Berg,DE,Berlin,anna@example.org", "2,Jonas Weber,DE,Hamburg,",
          "8,Paul Meyer,DE,Köln,paul@example.org"]
NOT_ALLOWED = 'This method is not allowed for query: "{}". Allowed methods: {}.'
JSON, CSV, HTML = "application/json; charset=utf-8", "text/csv; charset=utf-8", "text/html; charset=utf-8"


STORED_QUERIES = [
    # Execution is granted by the query and by its database.
    ("bob", "/query/orders_since/since/2024-06-01?limit=5", 200, {"limit": 5}),
    ("bob", BY_COUNTRY + "DE", 403, {"explanation": NO_ACCESS.format("bob", "demo")}),
    ("public", "/query/customer_count/country/DE", 403, {"permission": "execute_query"}),
    ("alice", BY_COUNTRY + "DE", 200, {"Content-Type": JSON, "parameters": {"country": "DE"}, "names": DE_CUSTOMERS}),
    # Path values are substituted ($2E, ?$X=) and percent-decoded once.
    ("alice", BY_COUNTRY + "D$2EE", 200, {"parameters": {"country": "D.E"}, "rows": []}),
    ("alice", BY_COUNTRY + "D$X?$X=E", 200, {"parameters": {"country": "DE"}, "names": DE_CUSTOMERS}),
    ("alice", BY_COUNTRY + "a%2Fb", 200, {"parameters": {"country": "a/b"}, "rows": []}),
    # A parameter name that is not the statement's binds nothing.
    ("alice", "/query/customers_by_country/country%20OR%201%3D1/DE", 400,
     {"explanation": "You did not supply a value for binding parameter :country."}),
    ("alice", "/query/customers_by_country/country", 400, {"explanation": "Parameter 'country' has no value."}),
    # The query's own refusal names the methods it is enabled for, and so does Allow.
    ("bob", "/query/purge_orders", 405, {"explanation": NOT_ALLOWED.format("purge_orders", '[""]'), "Allow": "OPTIONS"}),
    ("bob", "PUT /query/orders_since", 405, {"explanation": NOT_ALLOWED.format("orders_since", '["GET", "POST"]'),
                                            "Allow": "GET, HEAD, POST, OPTIONS"}),
    ("bob", "POST " + SINCE, 501, {}),
    # "sales" has a row limit: the redirect adds it, before any authorization.
    ("alice", SINCE + "?offset=2", 302, {"Location": LOCAL + SINCE + "?offset=2&limit=10"}),
    ("public", SINCE, 302, {"Location": LOCAL + SINCE + "?limit=10"}),
    ("alice", SINCE + "?offset=2&limit=10", 200, {"count": 10, "limit": 10}),
    # Formats: the extension wins over ?format=; xsd becomes xml with ?schema.
    ("alice", BY_COUNTRY + "DE.csv", 200, {"Content-Type": CSV, "lines": CSV_DE, "text": CSV_DE[0] + "\r\n"}),
    ("alice", BY_COUNTRY + "DE.csv?format=json", 200, {"Content-Type": CSV}),
    ("alice", BY_COUNTRY + "DE.xsd?x=1", 301, {"Location": LOCAL + BY_COUNTRY + "DE.xml?x=1&schema", "Warning": XSD_WARNING}),
    ("alice", BY_COUNTRY + "DE?format=txt", 406, {"explanation": ANY_FORMAT_REFUSED.format("txt")}),
    ("public", BY_COUNTRY + "DE.html", 200, {"Content-Type": HTML, "text": GUI_MARKER}),
    ("alice", "/query/customers_by_country//country/DE?x=1", 308, {"Location": LOCAL + BY_COUNTRY + "DE?x=1", "Warning": FIXED_PATH}),
]


@pytest.mark.parametrize("value", ["DE' OR '1'='1", "DE'; DROP TABLE customers; --", '" OR ""="', "DE) UNION SELECT 1,2,3,4,5 --"])
def test_sql_in_parameters_comes_back_as_data(app, value):
    check(ask(app, "alice", BY_COUNTRY + quote(value, safe="")), 200, {"parameters": {"country": value}, "rows": []})
    check(ask(app, "alice", "/dd/demo/customers/country/" + quote(value, safe="")), 200, {"rows": []})
    check(ask(app, "alice", "/dd/demo/customers"), 200, {"count": 8})


def test_xml_rows_mark_nulls_and_the_schema_names_the_columns(app):
    root = ET.fromstring(ask(app, "alice", BY_COUNTRY + "DE.xml").body)
    assert [row.find("field[@name='name']").text for row in root] == DE_CUSTOMERS
    email = root[1].find("field[@name='email']")
    assert email.get("null") == "true" and email.text is None
    schema = ET.fromstring(ask(app, "alice", BY_COUNTRY + "DE.xml?schema").body)
    xs = "{http://www.w3.org/2001/XMLSchema}"
    assert schema.tag == xs + "schema"
    assert [e.get("value") for e in schema.iter(xs + "enumeration")] == CSV_DE[0].split(",")
    # The schema declares every attribute the data's <rows> can carry, "limit" also when the schema request has none.
    for url in (BY_COUNTRY + "DE.xml", "/dd/demo/customers.xml"):
        rows = ET.fromstring(ask(app, "alice", url + "?limit=2").body)
        schema = ET.fromstring(ask(app, "alice", url + "?schema").body)
        declared = {e.get("name") for e in schema.find(f"{xs}element/{xs}complexType").findall(f"{xs}attribute")}
        assert "limit" in rows.attrib and set(rows.attrib) <= declared, url


def test_values_a_format_cannot_carry(data_dir):
    def change(data):
        query = data["querydefs"]["customers_by_country"]
        query.update(sql="SELECT 1e999 AS big, -1e999 AS small, 0.5 AS half, :country AS country",
                     description="bell \x07 here")
    edit_store(data_dir, change)
    app = make_app(data_dir)
    # JSON has no number for an infinity: null, as browsers write it.
    check(ask(app, "alice", BY_COUNTRY + "DE"), 200, {"rows": [{"big": None, "small": None, "half": 0.5, "country": "DE"}]})
    check(ask(app, "alice", BY_COUNTRY + "DE.csv"), 200, {"lines": ["big,small,half,country", "inf,-inf,0.5,DE"]})
    # XML cannot hold a control character at all: refused rather than sent broken or changed.
    check(ask(app, "alice", "/querydefs/customers_by_country.xml"), 406, {"explains": "U+0007"})
    check(ask(app, "alice", BY_COUNTRY + "a%01b.xml"), 406, {"explains": "U+0001, which XML does not allow"})
    assert ET.fromstring(ask(app, "alice", BY_COUNTRY + "a%09b.xml").body)[0][3].text == "a\tb"
    check(ask(app, "alice", "/querydefs/customers_by_country"), 200, {"description": "bell \x07 here"})


# --- data discovery and its URL service ---------------------------------------------------

CUSTOMERS = "/dd/demo/customers"
BAD_PATH = "Member 'path' must be a data-discovery path such as /dd/demo/customers."
SPECIAL_MARKS = {"wildcard": "*", "separator": ",", "null_placeholder": "null"}


DATA_DISCOVERY = [
    ("public", "/dd/demo", 200, {"tables": DEMO_TABLES}),
    ("alice", CUSTOMERS + "?limit=2", 200, {"names": ["Anna Berg", "Jonas Weber"]}),
    ("alice", CUSTOMERS + "/city/K%C3%B6ln", 200, {"names": ["Paul Meyer"]}),
    ("public", "/dd/demo/countries.csv?limit=2", 200, {"lines": ["code,name", "CZ,Czechia", "DE,Germany"]}),
    ("alice", "/dd/nope", 404, {}),
    # A line feed is a character of a value like any other, wherever it stands.
    ("alice", CUSTOMERS + "/city/a%0Ab", 200, {"filters": {"city": "a\nb"}}),
    ("alice", BY_COUNTRY + "D%0AE.csv", 200, {"lines": ["id,name,country,city,email"]}),
    ("alice", "/dd/demo%0A", 404, {}),
    ("alice", "/dd/demo/nope", 404, {"explanation": "Table 'nope' not found in database 'demo'."}),
    # The row-limit redirect comes first; the refusal waits for the limited request.
    ("public", "/dd/sales/orders", 302, {"Location": LOCAL + "/dd/sales/orders?limit=10"}),
    ("public", "/dd/sales/orders?limit=10", 403, {"explanation": NO_ACCESS.format("public", "sales")}),
    ("alice", CUSTOMERS + ".xsd", 301, {"Location": LOCAL + "/dd/demo/customers.xml?schema"}),
    ("alice", CUSTOMERS + ".txt", 406, {}),
    ("alice", "/dd/nope/customers.html", 200, {"text": GUI_MARKER}),
    ("public", "POST /dd-url/parse", 200, {"send": {"path": CUSTOMERS + "/city/K%C3%B6ln"}, "database": "demo",
                                           "table": "customers", "filters": {"city": "Köln"}, **SPECIAL_MARKS}),
    ("bob", "POST /dd-url/parse", 403, {"send": {"path": CUSTOMERS}, "explanation": NO_ACCESS.format("bob", "demo")}),
    ("alice", "POST /dd-url/parse", 404, {"send": {"path": "/dd/nope/x"}, "explanation": "Database nope was not found."}),
    ("alice", "POST /dd-url/parse", 400, {"send": {"path": "x"}, "explanation": BAD_PATH}),
    ("alice", "POST /dd-url/build", 200, {"send": {"database": "demo", "table": "customers",
                                                   "filters": {"id": 3, "score": 1.5}},
                                          "segments": ["customers", "id", "3", "score", "1.5"]}),  # a number as a value
    # Each was built into a path as Python writes it ("None", "['a']", "True") or into an empty segment.
    *[("alice", "POST /dd-url/build", 400, {"send": {"database": "demo", "table": table, "filters": filters},
                                            "explains": explains}) for table, filters, explains in [
        ("customers", {"id": None}, "'filters' must map column names to non-empty texts or numbers"),
        ("customers", {"id": ["a"]}, "'filters' must map column names"), ("customers", {"id": True}, "'filters' must map"),
        ("customers", {"id": ""}, "'filters' must map"), ("customers", {"": "a"}, "'filters' must map"),
        (["customers"], {}, "'table' must be a non-empty text"), (1, {}, "'table' must be a non-empty text"),
        ("", {}, "'table' must be a non-empty text")]],
]


def test_build_escapes_what_a_segment_cannot_hold_and_parse_reads_it_back(app):
    body = {"database": "demo", "table": "customers", "filters": {"name": "a/b", "city": ".."}}
    url = ask(app, "alice", "POST /dd-url/build", body).json["url"]
    assert url.startswith(LOCAL + "/dd/demo/customers/name/a$2Fb/city/$2E$2E.json")
    parsed = ask(app, "alice", "POST /dd-url/parse", {"path": url.split("localhost", 1)[1]})
    assert parsed.json["filters"] == {"name": "a/b", "city": ".."}


# --- administration: definitions, models, studio, credentials, status ------------------------

DATABASE_PERMISSIONS = ("view_database", "edit_database", "execute_database")
QD = "/querydefs/customers_by_country"
SQL_BY_COUNTRY = "SELECT * FROM customers WHERE country = :country"
REPORTING = "Read-only login used by the reporting job."


ADMINISTRATION = [
    # The SQL only for those who may view the definition.
    ("alice", QD, 200, {"sql": SQL_BY_COUNTRY, "rights": {"viewable": True, "editable": True, "executable": True}}),
    ("public", QD, 200, {"without": ["sql", "read"], "rights": {"viewable": False, "editable": False, "executable": True}}),
    ("alice", "/querydefs/orders_since.xml", 200, {"text": "<database>sales</database>"}),
    # Handed to the browser interface even where the format table calls html illegal.
    ("alice", "/users/bob.html", 200, {"text": GUI_MARKER}),
    ("alice", "/databases/demo", 200, {"without": ["sqlite_path"], "permits": dict.fromkeys(DATABASE_PERMISSIONS, True)}),
    ("public", "/models/demo", 200, {"tables": DEMO_TABLES}),
    ("alice", "/models/nope", 404, {"explanation": "Database nope was not found."}),
    ("alice", "/users/bob", 200, {"limited_edit": False, "may_edit": True, "self_edit": False}),
    ("bob", "/users/bob", 200, {"limited_edit": True, "may_edit": True, "self_edit": True}),
    ("alice", "/dbcredentials/demo", 200, {"credentials": {"reporting": {"description": REPORTING}}}),
    ("alice", "/dbcredentials/demo/reporting", 200, {"username": "report_reader", "without": ["password"]}),
    # The browser's dialog that assigns credentials lists them to a signed-in caller who may browse the database;
    # anybody else is refused as without its marks, whether the database exists or not.
    *[(who, f"/dbcredentials/{db}?guidata&guiassign", 403, {"permission": "list_dbcredentials"})
      for who in ("bob", "public") for db in ("demo", "nope")],
    ("bob", "/dbcredentials/sales?guidata&guiassign", 200, {"credentials": {}}),
    # Reading a definition does not make it editable.
    ("alice", "/querydefs/customer_count", 200, {"rights": {"viewable": True, "editable": False, "executable": True}}),
]


#: Requests whose status is the point: refusals by right or format, and the
#: changes that change nothing (no body, or refused).  {caller: {status: requests}}.
ADMIN_STATUSES = {
    "alice": {
        403: ["/users/nope", "/dbcredentials/demo/nope", "POST /dbcredentials/demo"],
        404: ["/querydefs/nope", "/dbcredentials/nope"],
        406: ["/querydefs.xml", "/querydefs/new", "/databases/new", "/dbcredentials/demo.txt", "/status.csv"],
        400: ["PUT " + QD, "PUT /users/bob"],
        409: ["DELETE /databases/demo"],
    },
    "bob": {403: ["DELETE /users/bob", "DELETE " + QD, "/databases/sales", "PUT /databases/sales", "/users/alice", "PUT /users/alice"]},
    "admin": {404: ["/databases/nope", "/users/nope", "/dbcredentials/demo/nope"], 400: ["POST /dbcredentials/demo"]},
    "public": {403: ["PUT " + QD]},
}


ADMINISTRATION += [(who, line, status, {}) for who, table in ADMIN_STATUSES.items()
                   for status, lines in table.items() for line in lines]


@pytest.mark.parametrize("who, request_line, status, expect", IDENTITY + STORED_QUERIES + DATA_DISCOVERY + ADMINISTRATION)
def test_answers(app, who, request_line, status, expect):
    check_all(app, who, request_line, status, expect)


@pytest.mark.parametrize("url, member, expected", [
    ("/query", "queries", {"admin": ALL_QUERIES, "alice": ALL_QUERIES[:3], "bob": ["orders_since", "purge_orders"],
                           "public": ["customers_by_country"]}),
    ("/users", "users", {"admin": ["admin", "public", "alice", "bob"], "alice": ["alice", "bob"]}),
    ("/models", "models", {"admin": ["demo", "sales"], "alice": ["demo", "sales"], "bob": ["sales"], "public": ["demo"]}),
])
def test_lists_show_what_the_caller_may_reach(app, url, member, expected):
    for who, ids in expected.items():
        items = ask(app, who, url).json[member]
        listed = sorted(items) if isinstance(items, dict) else [i.get("query_id") or i.get("db_id") or i["user_id"] for i in items]
        assert listed == ids, who


def test_the_databases_listed_are_those_the_caller_may_browse(data_dir):
    # alice may edit bob's definition and reads "spare", yet /dd/spare refuses her: it is not among her databases.
    edit_store(data_dir, lambda data: data["databases"].update(spare={"sqlite_path": "demo.sqlite3", "read": ["alice"]}))
    app = make_app(data_dir)
    for who, listed in (("admin", ["demo", "sales", "spare"]), ("alice", ["demo", "sales"]), ("public", ["demo"])):
        assert sorted(ask(app, who, "/dd").json["databases"]) == listed, who
        assert who == "public" or ask(app, who, "/whoami").json["databases"] == listed, who


def test_links_to_databases_and_queries_quote_the_ids(data_dir):
    # Ids of a hand-edited store may hold characters a URL must escape.
    def add(data):
        data["databases"]["my db"] = dict(data["databases"]["demo"])
        data["querydefs"]["q#1"] = dict(data["querydefs"]["customer_count"])
    edit_store(data_dir, add)
    app = make_app(data_dir)
    assert ask(app, "admin", "/dd").json["databases"]["my db"] == LOCAL + "/dd/my%20db"
    [url] = [query["url"] for query in ask(app, "admin", "/query").json["queries"] if query["query_id"] == "q#1"]
    assert url == LOCAL + "/query/q%231"


@pytest.mark.parametrize(
    "url", ["/users", "/users/alice", "/users/admin", "/dbcredentials/demo", "/dbcredentials/demo/reporting"]
)
def test_no_answer_shows_a_password_or_key(app, url):
    text = ask(app, "admin", url).text
    assert "password" not in text and "apikey" not in text and "secret" not in text and "-key" not in text


def test_the_credentials_dialog_shows_an_entry_without_fields_a_hand_edit_added(data_dir):
    edit_store(data_dir, lambda data: data["credentials"]["demo"]["reporting"].update(password="pw", token="t0ken"))
    shown = ask(make_app(data_dir), "bob", "/dbcredentials/demo/reporting?guidata&guiassign")
    check(shown, 200, {"username": "report_reader", "view": ["alice", "bob"], "without": ["password", "token"]})


def test_request_status_shows_the_requests_of_visible_queries(data_dir):
    app = make_app(data_dir)
    ask(app, "alice", BY_COUNTRY + "FR")
    check(ask(app, "public", "/status"), 403, {})
    seen = ask(app, "alice", "/status").json["requests"]
    [ran] = [r for r in seen if r["metadata"].get("query_id") == "customers_by_country"]
    assert ran["metadata"] == {"query_id": "customers_by_country", "db_id": "demo", "user_id": "alice"}
    assert ran["statuses"] == ["RECEIVED", "CHECK_REQUEST_AUTH", "REQUEST_PREPROCESS", "EXECUTING", "DONE"]
    check(ask(app, "alice", "/status/" + ran["request_id"]), 200, {"request_id": ran["request_id"]})
    check(ask(app, "bob", "/status/" + ran["request_id"]), 404, {})
    assert all(r["request_id"] != ran["request_id"] for r in ask(app, "bob", "/status").json["requests"])


def test_request_ids_differ_between_the_processes_of_a_deployment():
    # A process asked for /status/{id} must not show a request of its own that merely got the same number.
    made = "from korvane.request_status import RequestStatusRegistry; print(RequestStatusRegistry().new().request_id)"
    started = [subprocess.run([sys.executable, "-c", made], capture_output=True, text=True, check=True).stdout.strip()
               for _ in range(2)]
    registry = RequestStatusRegistry()
    registry.new()
    read, write = os.pipe()
    child = os.fork()
    if child == 0:  # a worker forked from a process whose registry is made
        try:
            os.write(write, registry.new().request_id.encode())
        finally:
            os._exit(0)
    os.close(write)
    os.waitpid(child, 0)
    with os.fdopen(read) as pipe:
        forked = pipe.read()
    assert len({*started, forked, registry.new().request_id}) == 4


# --- the README's demo walk --------------------------------------------------------------


@pytest.mark.parametrize("heading, kinds", [("Demo", {200, 301, 302, 308, 403, 404}),
                                             ("Managing definitions over HTTP", {200, 201, 204, 400, 403, 409})])
def test_readme_walk_answers_as_documented(data_dir, heading, kinds):
    """Each README walk, run in order on a fresh copy of the example, shows each kind of answer as documented."""
    # Each curl example answers as its comment promises: the status, "#   Header: value"
    # lines, "member": value pairs of the JSON.
    app, seen = make_app(data_dir), set()
    section = (REPO / "README.md").read_text().split("## " + heading, 1)[1].split("\n## ", 1)[0]
    [walk] = [block.split("```", 1)[0] for block in section.split("```sh\n")[1:] if "\ncurl " in block]
    for line in walk.splitlines():
        if match := re.match(r"# (\d{3})\b(.*)", line):
            status = int(match[1])
            expect = {name: json.loads(value) for name, value in re.findall(r'"(\w+)": (\[\]|"[^"]*")', match[2])}
        elif match := re.match(r"#\s+(Location|Warning): (.*)", line):
            expect[match[1]] = match[2].replace("$base", LOCAL)
        elif line.startswith("curl "):
            args = shlex.split(line)
            options = dict(zip(args[1:], args[2:]))
            headers = dict(value.split(": ", 1) for flag, value in zip(args, args[1:]) if flag == "-H")
            headers.pop("Content-Type", None)  # ask sends a body as JSON
            request_line, body = options.get("-X", "GET") + " " + args[-1].replace("$base", ""), options.get("-d")
            check(ask(app, "public", request_line, body and body.encode(), headers=headers), status, expect)
            seen.add(status)
    assert seen >= kinds


def test_the_packaged_demo_ini_has_the_settings_of_development_ini_but_the_data_folder():
    checkout, packaged = configparser.RawConfigParser(), configparser.RawConfigParser()
    checkout.read(REPO / "development.ini")
    packaged.read(REPO / "src/korvane/app/demo.ini")
    assert checkout["app:main"].pop("korvane.data_dir") == "data" and "korvane.data_dir" not in packaged["app:main"]
    assert {name: dict(checkout[name]) for name in checkout} == {name: dict(packaged[name]) for name in packaged}
