"""The demo server, driven through its WSGI application with WebTest.

The application is built by ``korvane.app.main`` from the settings of the
repository's development.ini, over a temporary copy of the example folder.
Requests carry REQUEST_URI as waitress sends it, so the contexts see the
URI exactly as a client wrote it.
"""

import json
import shutil
from pathlib import Path
from urllib.parse import quote
from xml.etree import ElementTree as ET

import plaster
import pytest
from pyramid.interfaces import IRoutesMapper
from pyramid.request import Request
from webtest import TestApp

import korvane.roots
from korvane.app import main
from korvane.app.request_setup import raw_path_segments, received_uri
from korvane.app.routes import ROUTES
from korvane.app.sample_data import build_missing_databases

REPO = Path(__file__).resolve().parents[1]
EXAMPLE = REPO / "example"
INI = REPO / "development.ini"

KEYS = {"admin": "admin-key", "alice": "alice-key", "bob": "bob-key", "public": None, "wrong": "no-such-key"}

QUERY_STRING_ADVICE = "Authentication through query parameters is not recommended. Consider using HTTP headers instead."
XSD_WARNING = "xsd format is deprecated.  Use xml format with 'schema' query string parameter for future requests."
GUI_MARKER = "needs JavaScript"

ROOT_CLASSES = {
    name
    for name, value in vars(korvane.roots).items()
    if isinstance(value, type) and issubclass(value, korvane.roots.RootContext)
}


def ini_settings(**overrides):
    """The app settings of development.ini, with ``overrides``."""
    settings = dict(plaster.get_loader(str(INI), protocols=["wsgi"]).get_settings("app:main"))
    settings.pop("use")
    settings.update(overrides)
    return settings


def copy_example(target):
    shutil.copytree(EXAMPLE, target, ignore=shutil.ignore_patterns("*.sqlite3", "*.tmp"))
    return target


def make_app(data_dir, **overrides):
    return TestApp(main({"here": str(REPO)}, **ini_settings(**{"korvane.data_dir": str(data_dir)}, **overrides)))


@pytest.fixture(scope="module")
def app(tmp_path_factory):
    """One application for the tests that change nothing."""
    return make_app(copy_example(tmp_path_factory.mktemp("shared") / "data"))


@pytest.fixture
def data_dir(tmp_path):
    return copy_example(tmp_path / "data")


def call(app, who, url, method="GET", json_body=None, **kw):
    headers = {"X-API-Key": KEYS[who]} if KEYS[who] else {}
    if json_body is not None:
        kw.update(body=json.dumps(json_body).encode("utf-8"), content_type="application/json")
    return app.request(
        url, method=method, headers=headers, environ={"REQUEST_URI": url}, expect_errors=True, **kw
    )


def rows(response):
    return response.json["rows"]


def edit_store(data_dir, change):
    path = data_dir / "store.json"
    data = json.loads(path.read_text())
    change(data)
    path.write_text(json.dumps(data, indent=1))


# --- the application's shape ----------------------------------------------------------


def test_every_context_class_is_the_root_factory_of_a_route(app):
    mapper = app.app.registry.queryUtility(IRoutesMapper)
    factories = {route.factory.__name__ for route in mapper.get_routes()}
    assert len(ROOT_CLASSES) == 22
    assert factories == ROOT_CLASSES
    assert all(route.factory.__module__ == "korvane.roots" for route in mapper.get_routes())


def test_each_route_has_views_for_exactly_the_methods_it_declares(app):
    served = {}
    for intr in app.app.registry.introspector.get_category("views"):
        view = intr["introspectable"]
        methods = view["request_methods"]
        if view["route_name"] and methods:
            methods = (methods,) if isinstance(methods, str) else methods
            served.setdefault(view["route_name"], set()).update(set(methods) - {"HEAD"})
    for route in ROUTES:
        if route.methods is not None:
            assert served.get(route.name, set()) == set(route.methods), route.name


def test_databases_are_built_from_the_sql_scripts_once(data_dir):
    built = build_missing_databases(data_dir)
    assert sorted(p.name for p in built) == ["demo.sqlite3", "sales.sqlite3"]
    assert build_missing_databases(data_dir) == []
    assert not list(data_dir.glob("*.tmp"))


def test_a_failing_script_leaves_no_database_behind(data_dir):
    (data_dir / "broken.sql").write_text("CREATE TABLE t (a); INSERT INTO nowhere VALUES (1);")
    with pytest.raises(Exception):
        build_missing_databases(data_dir)
    assert not (data_dir / "broken.sqlite3").exists()
    assert not list(data_dir.glob("*.tmp"))


# --- every route, for every kind of caller ---------------------------------------------

PARSE_BODY = {"path": "/dd/demo/customers"}

#: One request per route: (method, url, JSON body, status for admin, alice,
#: bob, public).  A wrong API key is refused on every route.
SAMPLES = {
    "home": ("GET", "/", None, (200, 200, 200, 200)),
    "whoami": ("GET", "/whoami", None, (200, 200, 200, 403)),
    "ctx_root_context": ("GET", "/_ctx/root-context", None, (200, 200, 200, 200)),
    "ctx_root_basic": ("GET", "/_ctx/root-basic", None, (200, 200, 200, 200)),
    "ctx_data_format": ("GET", "/_ctx/data-format", None, (406, 406, 406, 406)),
    "querystudio_new": ("GET", "/querystudio.html", None, (200, 200, 200, 200)),
    "querystudio": ("GET", "/querystudio/customers_by_country", None, (406, 406, 406, 406)),
    "model": ("GET", "/models/demo", None, (200, 200, 403, 200)),
    "models": ("GET", "/models", None, (200, 200, 200, 200)),
    "querydefs": ("GET", "/querydefs", None, (200, 200, 403, 403)),
    "querydef_new": ("POST", "/querydefs/new", None, (501, 501, 403, 403)),
    "querydef": ("GET", "/querydefs/customers_by_country", None, (200, 200, 403, 200)),
    "databases": ("GET", "/databases", None, (200, 200, 403, 403)),
    "database_new": ("POST", "/databases/new", None, (501, 403, 403, 403)),
    "database": ("GET", "/databases/demo", None, (200, 200, 403, 403)),
    "users": ("GET", "/users", None, (200, 200, 403, 403)),
    "user_new": ("POST", "/users/new", None, (501, 403, 403, 403)),
    "user": ("GET", "/users/bob", None, (200, 200, 200, 403)),
    "queries": ("GET", "/query", None, (200, 200, 200, 200)),
    "query": ("GET", "/query/customers_by_country/country/DE", None, (200, 200, 403, 200)),
    "dd_index": ("GET", "/dd", None, (200, 200, 200, 200)),
    "dd": ("GET", "/dd/demo/customers", None, (200, 200, 403, 200)),
    "statuses": ("GET", "/status", None, (200, 200, 200, 403)),
    "status": ("GET", "/status/nope", None, (404, 404, 404, 403)),
    "dbcredentials": ("GET", "/dbcredentials/demo", None, (200, 200, 403, 403)),
    "dbcredential": ("GET", "/dbcredentials/demo/reporting", None, (200, 200, 403, 403)),
    "dd_url": ("POST", "/dd-url/parse", PARSE_BODY, (200, 200, 403, 200)),
    "dd_url_refused": ("GET", "/dd-url/parse", None, (405, 405, 405, 405)),
}


def test_every_route_has_a_sample_request():
    assert set(SAMPLES) == {route.name for route in ROUTES}


@pytest.mark.parametrize("route_name", sorted(SAMPLES))
@pytest.mark.parametrize("who", ["admin", "alice", "bob", "public"])
def test_every_route_answers_each_caller(app, route_name, who):
    method, url, body, statuses = SAMPLES[route_name]
    response = call(app, who, url, method=method, json_body=body)
    assert response.status_int == statuses[("admin", "alice", "bob", "public").index(who)]
    if response.status_int >= 400:
        assert response.content_type == "application/json"
        assert response.json["status"] == response.status_int


@pytest.mark.parametrize("route_name", sorted(SAMPLES))
def test_a_wrong_api_key_is_refused_on_every_route(app, route_name):
    method, url, body, _ = SAMPLES[route_name]
    response = call(app, "wrong", url, method=method, json_body=body)
    assert response.status_int == 403
    assert response.json["explanation"] == "The API key is not known to this server."


# --- request setup ------------------------------------------------------------------


@pytest.mark.parametrize(
    "environ, expected",
    [
        ({"REQUEST_URI": "/dd//demo?limit=1"}, "/dd//demo?limit=1"),
        ({"RAW_URI": "/a%2Fb", "REQUEST_URI": "/other"}, "/a%2Fb"),
        ({"REQUEST_URI": "http://example.org//dd/demo?x=1"}, "//dd/demo?x=1"),
        ({}, "/dd/demo?limit=1"),
    ],
)
def test_raw_uri_is_the_uri_as_received(environ, expected):
    request = Request.blank("/dd/demo?limit=1", environ=environ)
    assert received_uri(request) == expected


def test_path_segments_stay_encoded_and_skip_the_application_prefix():
    request = Request.blank("/x", environ={"SCRIPT_NAME": "/api", "PATH_INFO": "/query/q/name/a/b"})
    request.raw_uri = "/api/query/q/name/a%2Fb?x=/y"
    assert raw_path_segments(request) == ["query", "q", "name", "a%2Fb"]


# --- home, identity and authentication --------------------------------------------------


@pytest.mark.parametrize("who, status", [("admin", 200), ("alice", 200), ("bob", 200), ("public", 403), ("wrong", 403)])
def test_whoami_needs_an_authenticated_user(app, who, status):
    response = call(app, who, "/whoami")
    assert response.status_int == status
    if status == 200:
        assert response.json["user_id"] == who
    elif who == "public":
        assert response.json["permission"] == "authenticated"


def test_unknown_method_on_a_route_is_refused_with_allow_header(app):
    response = call(app, "alice", "/", method="POST")
    assert response.status_int == 405
    assert response.headers["Allow"] == "GET"


def test_query_string_key_is_refused_unless_allowed(app):
    response = call(app, "public", "/whoami?apikey=alice-key")
    assert response.status_int == 403
    assert response.json["explanation"] == (
        "Authentication through query parameter denied, due to 'allow_apikey_in_query_string' setting."
    )
    assert "Warning" not in response.headers


@pytest.mark.parametrize(
    "url, status",
    [
        ("/whoami?apikey=alice-key", 200),
        ("/query/nope?apikey=alice-key", 404),
        ("/dd/sales/orders?apikey=alice-key", 302),
    ],
)
def test_allowed_query_string_key_authenticates_with_advice(data_dir, url, status):
    app = make_app(data_dir, **{"korvane.allow_apikey_in_query_string": "true"})
    response = call(app, "public", url)
    assert response.status_int == status
    assert response.headers.getall("Warning") == [QUERY_STRING_ADVICE]
    if status == 200:
        assert response.json["user_id"] == "alice"


def test_wrong_key_in_allowed_query_string_is_refused(data_dir):
    app = make_app(data_dir, **{"korvane.allow_apikey_in_query_string": "true"})
    response = call(app, "public", "/?apikey=nobody")
    assert response.status_int == 403
    assert response.json["explanation"] == "The API key is not known to this server."


def test_without_admin_password_only_the_default_root_serves(data_dir):
    edit_store(data_dir, lambda data: data["users"]["admin"].update(password=None))
    app = make_app(data_dir)
    assert call(app, "admin", "/").status_int == 200
    response = call(app, "admin", "/querydefs")
    assert response.status_int == 403
    assert response.json["explanation"] == "Admin user password has to be set."


def test_store_changes_are_seen_by_the_next_request(data_dir):
    app = make_app(data_dir)
    url = "/query/customer_count/country/DE"
    assert call(app, "public", url).status_int == 403
    edit_store(data_dir, lambda data: data["querydefs"]["customer_count"]["execute"].append("public"))
    call(app, "public", "/")  # the store is refreshed on the way in
    response = call(app, "public", url)
    assert response.status_int == 200
    assert response.json["rows"] == [{"customers": 3}]


# --- stored queries -------------------------------------------------------------------

DE_CUSTOMERS = ["Anna Berg", "Jonas Weber", "Paul Meyer"]


@pytest.mark.parametrize(
    "who, url, status",
    [
        ("alice", "/query/customer_count/country/DE", 200),
        ("public", "/query/customer_count/country/DE", 403),
        ("bob", "/query/orders_since/since/2024-06-01?limit=5", 200),
        ("alice", "/query/orders_since/since/2024-06-01?limit=5", 200),
        ("public", "/query/orders_since/since/2024-06-01?limit=5", 403),
    ],
)
def test_query_execution_is_granted_by_the_query_and_database(app, who, url, status):
    assert call(app, who, url).status_int == status


def test_query_returns_rows_with_the_path_parameters_bound(app):
    response = call(app, "alice", "/query/customers_by_country/country/DE")
    assert response.content_type == "application/json"
    assert response.json["parameters"] == {"country": "DE"}
    assert [row["name"] for row in rows(response)] == DE_CUSTOMERS
    assert response.json["columns"] == ["id", "name", "country", "city", "email"]


def test_bob_is_refused_a_database_he_has_no_access_to(app):
    response = call(app, "bob", "/query/customers_by_country/country/DE")
    assert response.json["explanation"] == 'User "bob" has no access permissions configured for the "demo" database.'


def test_public_is_refused_a_query_not_open_to_everybody(app):
    response = call(app, "public", "/query/customer_count/country/DE")
    assert response.json["permission"] == "execute_query"


@pytest.mark.parametrize(
    "value",
    [
        "DE' OR '1'='1",
        "DE'; DROP TABLE customers; --",
        '" OR ""="',
        "DE) UNION SELECT 1,2,3,4,5 --",
    ],
)
def test_sql_in_parameters_comes_back_as_data(app, value):
    response = call(app, "alice", "/query/customers_by_country/country/" + quote(value, safe=""))
    assert response.status_int == 200
    assert response.json["parameters"] == {"country": value}
    assert rows(response) == []
    everyone = call(app, "alice", "/dd/demo/customers")
    assert len(rows(everyone)) == 8


def test_parameter_names_never_reach_the_sql(app):
    response = call(app, "alice", "/query/customers_by_country/" + quote("country OR 1=1", safe="") + "/DE")
    assert response.status_int == 400
    assert "country" in response.json["explanation"]


@pytest.mark.parametrize(
    "url, value, matches",
    [
        ("/query/customers_by_country/country/D$2EE", "D.E", 0),
        ("/query/customers_by_country/country/D$X?$X=E", "DE", 3),
        ("/query/customers_by_country/country/a%2Fb", "a/b", 0),
        ("/query/customers_by_country/country/DE.csv?format=json", None, None),
    ],
)
def test_parameter_values_are_substituted_and_decoded_once(app, url, value, matches):
    response = call(app, "alice", url)
    if value is None:
        assert response.content_type == "text/csv"
        return
    assert response.json["parameters"] == {"country": value}
    assert len(rows(response)) == matches


def test_a_name_without_value_is_a_bad_request(app):
    response = call(app, "alice", "/query/customers_by_country/country")
    assert response.status_int == 400
    assert response.json["explanation"] == "Parameter 'country' has no value."


def test_a_missing_parameter_is_a_bad_request(app):
    response = call(app, "alice", "/query/customers_by_country")
    assert response.status_int == 400
    assert "country" in response.json["explanation"]


def test_unknown_query_is_not_found(app):
    response = call(app, "alice", "/query/nope")
    assert response.status_int == 404
    assert response.json["explanation"] == "Query 'nope' not found."


@pytest.mark.parametrize(
    "method, url, allowed",
    [
        ("GET", "/query/purge_orders", '[""]'),
        ("PUT", "/query/orders_since", '["GET", "POST"]'),
        ("POST", "/query/customers_by_country", '["GET"]'),
    ],
)
def test_methods_a_query_does_not_enable_are_not_allowed(app, method, url, allowed):
    response = call(app, "bob", url, method=method)
    assert response.status_int == 405
    query_id = url.rsplit("/", 1)[1]
    assert response.json["explanation"] == (
        'This method is not allowed for query: "{}". Allowed methods: {}.'.format(query_id, allowed)
    )


def test_an_enabled_write_method_is_not_implemented(app):
    response = call(app, "bob", "/query/orders_since/since/2024-01-01", method="POST")
    assert response.status_int == 501
    assert "read-only" in response.json["explanation"]


def test_a_large_database_redirects_to_its_row_limit(app):
    response = call(app, "alice", "/query/orders_since/since/2024-01-01?offset=2")
    assert response.status_int == 302
    assert response.headers["Location"] == "http://localhost/query/orders_since/since/2024-01-01?offset=2&limit=10"
    followed = call(app, "alice", "/query/orders_since/since/2024-01-01?offset=2&limit=10")
    assert len(rows(followed)) == 10
    assert followed.json["limit"] == 10


def test_the_row_limit_redirect_comes_before_authorization(app):
    assert call(app, "public", "/query/orders_since/since/2024-01-01").status_int == 302


@pytest.mark.parametrize("limit", ["-1", "many"])
def test_a_bad_limit_is_a_bad_request(app, limit):
    assert call(app, "alice", "/query/customers_by_country/country/DE?limit=" + limit).status_int == 400


def test_csv_answer(app):
    response = call(app, "alice", "/query/customers_by_country/country/DE.csv")
    assert response.content_type == "text/csv"
    assert response.text.splitlines() == [
        "id,name,country,city,email",
        "1,Anna Berg,DE,Berlin,anna@example.org",
        "2,Jonas Weber,DE,Hamburg,",
        "8,Paul Meyer,DE,Köln,paul@example.org",
    ]


def test_xml_answer_marks_nulls(app):
    response = call(app, "alice", "/query/customers_by_country/country/DE.xml")
    root = ET.fromstring(response.body)
    assert root.tag == "rows" and root.get("query_id") == "customers_by_country"
    assert [row.find("field[@name='name']").text for row in root] == DE_CUSTOMERS
    email = root[1].find("field[@name='email']")
    assert email.get("null") == "true" and email.text is None


def test_xsd_redirects_permanently_to_xml_with_schema(app):
    response = call(app, "alice", "/query/customers_by_country/country/DE.xsd?x=1")
    assert response.status_int == 301
    assert response.headers["Location"].endswith("/query/customers_by_country/country/DE.xml?x=1&schema")
    assert response.headers.getall("Warning") == [XSD_WARNING]


def test_schema_request_describes_the_result_columns(app):
    response = call(app, "alice", "/query/customers_by_country/country/DE.xml?schema")
    root = ET.fromstring(response.body)
    xs = "{http://www.w3.org/2001/XMLSchema}"
    assert root.tag == xs + "schema"
    assert [e.get("value") for e in root.iter(xs + "enumeration")] == ["id", "name", "country", "city", "email"]


@pytest.mark.parametrize(
    "url",
    ["/query/customers_by_country/country/DE.txt", "/query/customers_by_country/country/DE?format=txt"],
)
def test_unsupported_format_is_refused(app, url):
    response = call(app, "alice", url)
    assert response.status_int == 406
    assert response.json["explanation"] == "Data format 'txt' is not supported for this resource."


def test_html_is_handed_to_the_browser_interface(app):
    response = call(app, "public", "/query/customers_by_country/country/DE.html")
    assert response.status_int == 200
    assert response.content_type == "text/html"
    assert GUI_MARKER in response.text


def test_repeated_slashes_redirect_to_the_fixed_path(app):
    response = call(app, "alice", "/query/customers_by_country//country/DE?x=1")
    assert response.status_int == 308
    assert response.headers["Location"] == "http://localhost/query/customers_by_country/country/DE?x=1"
    assert response.headers.getall("Warning") == ["Redirected to a fixed path"]


def test_unauthenticated_repeated_slashes_are_refused_not_redirected(data_dir):
    edit_store(data_dir, lambda data: data["users"].pop("public"))
    response = call(make_app(data_dir), "public", "/dd/demo//customers")
    assert response.status_int == 403


@pytest.mark.parametrize(
    "who, expected",
    [
        ("admin", ["customers_by_country", "orders_since", "customer_count", "purge_orders"]),
        ("alice", ["customers_by_country", "orders_since", "customer_count"]),
        ("bob", ["orders_since", "purge_orders"]),
        ("public", ["customers_by_country"]),
    ],
)
def test_query_list_shows_what_the_user_may_run(app, who, expected):
    response = call(app, who, "/query")
    assert response.status_int == 200
    assert [q["query_id"] for q in response.json["queries"]] == expected


def test_query_list_serves_json_only(app):
    assert call(app, "alice", "/query.xml").status_int == 406


# --- data discovery ---------------------------------------------------------------------


def test_tables_of_a_database(app):
    response = call(app, "public", "/dd/demo")
    assert response.json["tables"] == {
        "countries": ["code", "name"],
        "customers": ["id", "name", "country", "city", "email"],
    }


@pytest.mark.parametrize(
    "url, names",
    [
        ("/dd/demo/customers?limit=2", ["Anna Berg", "Jonas Weber"]),
        ("/dd/demo/customers/country/DE", DE_CUSTOMERS),
        ("/dd/demo/customers/name/" + quote("Liam O'Brien"), ["Liam O'Brien"]),
        ("/dd/demo/customers/name/" + quote("Smith; Sons & Co", safe=""), ["Smith; Sons & Co"]),
        ("/dd/demo/customers/city/K%C3%B6ln", ["Paul Meyer"]),
        ("/dd/demo/customers/country/" + quote("DE' OR '1'='1", safe=""), []),
    ],
)
def test_rows_of_a_table_filtered_by_path(app, url, names):
    response = call(app, "alice", url)
    assert response.status_int == 200
    assert [row["name"] for row in rows(response)] == names


def test_table_rows_as_csv(app):
    response = call(app, "public", "/dd/demo/countries.csv?limit=2")
    assert response.text.splitlines() == ["code,name", "CZ,Czechia", "DE,Germany"]


@pytest.mark.parametrize(
    "url, explanation",
    [
        ("/dd/nope", None),
        ("/dd/demo/nope", "Table 'nope' not found in database 'demo'."),
        ("/dd/demo/customers/nope/1", "Column 'nope' not found in table 'customers'."),
    ],
)
def test_unknown_database_table_or_column_is_not_found(app, url, explanation):
    response = call(app, "alice", url)
    assert response.status_int == 404
    if explanation:
        assert response.json["explanation"] == explanation


def test_data_discovery_row_limit_redirect_comes_first(app):
    response = call(app, "public", "/dd/sales/orders")
    assert response.status_int == 302
    assert response.headers["Location"] == "http://localhost/dd/sales/orders?limit=10"
    refused = call(app, "public", "/dd/sales/orders?limit=10")
    assert refused.status_int == 403
    assert refused.json["explanation"] == 'User "public" has no access permissions configured for the "sales" database.'


@pytest.mark.parametrize(
    "url, status, location",
    [
        ("/dd/demo/customers.xsd", 301, "/dd/demo/customers.xml?schema"),
        ("/dd/demo//customers", 308, "http://localhost/dd/demo/customers"),
    ],
)
def test_data_discovery_redirects(app, url, status, location):
    response = call(app, "alice", url)
    assert response.status_int == status
    assert response.headers["Location"].endswith(location)


def test_data_discovery_formats(app):
    assert call(app, "alice", "/dd/demo/customers.txt").status_int == 406
    assert GUI_MARKER in call(app, "alice", "/dd/nope/customers.html").text
    assert call(app, "alice", "/dd/demo", method="POST").status_int == 405


@pytest.mark.parametrize("who, expected", [("alice", ["demo", "sales"]), ("bob", ["sales"]), ("public", ["demo"])])
def test_data_discovery_index_lists_reachable_databases(app, who, expected):
    assert sorted(call(app, who, "/dd").json["databases"]) == expected


# --- data-discovery URL service -------------------------------------------------------------


def test_parse_takes_a_data_discovery_path_apart(app):
    response = call(app, "public", "/dd-url/parse", "POST", {"path": "/dd/demo/customers/city/K%C3%B6ln"})
    assert response.status_int == 200
    assert response.json["database"] == "demo"
    assert response.json["table"] == "customers"
    assert response.json["filters"] == {"city": "Köln"}
    assert (response.json["wildcard"], response.json["separator"], response.json["null_placeholder"]) == ("*", ",", "null")


def test_build_escapes_what_a_segment_cannot_hold_and_parse_reads_it_back(app):
    built = call(
        app, "alice", "/dd-url/build", "POST",
        {"database": "demo", "table": "customers", "filters": {"name": "a/b", "city": ".."}},
    )
    assert built.status_int == 200
    url = built.json["url"]
    assert url.startswith("http://localhost/dd/demo/customers/name/a$2Fb/city/$2E$2E.json")
    parsed = call(app, "alice", "/dd-url/parse", "POST", {"path": url.split("localhost", 1)[1]})
    assert parsed.json["filters"] == {"name": "a/b", "city": ".."}


@pytest.mark.parametrize(
    "who, body, status, explanation",
    [
        ("bob", {"path": "/dd/demo/customers"}, 403, 'User "bob" has no access permissions configured for the "demo" database.'),
        ("alice", {"path": "/dd/nope/x"}, 404, "Database nope was not found."),
        ("alice", {"path": "x"}, 400, "Member 'path' must be a data-discovery path such as /dd/demo/customers."),
        ("alice", [1, 2], 400, "The request body must be a JSON object."),
    ],
)
def test_parse_refusals(app, who, body, status, explanation):
    response = call(app, who, "/dd-url/parse", "POST", body)
    assert response.status_int == status
    assert response.json["explanation"] == explanation


def test_build_without_database_is_not_found(app):
    response = call(app, "alice", "/dd-url/build", "POST", {})
    assert response.status_int == 404
    assert response.json["explanation"] == "Database None was not found."


def test_url_service_takes_post_with_json_only(app):
    response = call(app, "alice", "/dd-url/parse")
    assert response.status_int == 405
    assert response.headers["Allow"] == "POST"
    response = call(app, "alice", "/dd-url/build", "POST", body=b"{not json", content_type="application/json")
    assert response.status_int == 400


# --- query definitions and the studio -------------------------------------------------------


@pytest.mark.parametrize(
    "who, expected",
    [
        ("admin", ["customers_by_country", "orders_since", "customer_count", "purge_orders"]),
        ("alice", ["customers_by_country", "orders_since", "customer_count"]),
    ],
)
def test_query_definition_list(app, who, expected):
    response = call(app, who, "/querydefs")
    assert [q["query_id"] for q in response.json["querydefs"]] == expected


def test_query_definition_list_formats(app):
    assert call(app, "alice", "/querydefs.json").status_int == 200
    assert call(app, "alice", "/querydefs.xml").status_int == 406
    assert call(app, "alice", "/querydefs.xsd").status_int == 301


@pytest.mark.parametrize("who, sees_sql", [("admin", True), ("alice", True), ("public", False)])
def test_query_definition_shows_the_sql_only_to_viewers(app, who, sees_sql):
    response = call(app, who, "/querydefs/customers_by_country")
    assert ("sql" in response.json) is sees_sql
    assert response.json["rights"]["executable"] is True


def test_query_definition_in_xml(app):
    root = ET.fromstring(call(app, "alice", "/querydefs/orders_since.xml").body)
    assert root.find("database").text == "sales"


@pytest.mark.parametrize(
    "who, method, url, status",
    [
        ("alice", "GET", "/querydefs/nope", 404),
        ("alice", "PUT", "/querydefs/customers_by_country", 501),
        ("alice", "DELETE", "/querydefs/customers_by_country", 501),
        ("public", "PUT", "/querydefs/customers_by_country", 403),
        ("bob", "DELETE", "/querydefs/customers_by_country", 403),
        ("alice", "POST", "/querydefs/new", 501),
        ("bob", "POST", "/querydefs/new", 403),
        ("alice", "GET", "/querydefs/new", 406),
        ("alice", "POST", "/querydefs", 406),
    ],
)
def test_query_definition_changes(app, who, method, url, status):
    assert call(app, who, url, method=method).status_int == status


@pytest.mark.parametrize(
    "url, status",
    [
        ("/querystudio", 406),
        ("/querystudio/customers_by_country.json", 406),
        ("/querystudio.html", 200),
        ("/querystudio/customers_by_country.html", 200),
        ("/querydefs/new.html", 200),
    ],
)
def test_query_studio_is_a_browser_page(app, url, status):
    response = call(app, "alice", url)
    assert response.status_int == status
    assert (GUI_MARKER in response.text) is (status == 200)


# --- database definitions and models --------------------------------------------------------


@pytest.mark.parametrize("who", ["admin", "alice"])
def test_database_definition_list(app, who):
    response = call(app, who, "/databases")
    assert [d["db_id"] for d in response.json["databases"]] == ["demo", "sales"]


def test_database_definition_reports_the_acl_decisions(app):
    response = call(app, "alice", "/databases/demo")
    assert response.json["permits"] == {"view_database": True, "edit_database": True, "execute_database": True}
    assert "sqlite_path" not in response.json


@pytest.mark.parametrize(
    "who, method, url, status",
    [
        ("bob", "GET", "/databases/sales", 403),
        ("public", "GET", "/databases/demo", 403),
        ("admin", "GET", "/databases/nope", 404),
        ("alice", "PUT", "/databases/demo", 501),
        ("alice", "DELETE", "/databases/demo", 501),
        ("bob", "PUT", "/databases/sales", 403),
        ("admin", "POST", "/databases/new", 501),
        ("alice", "POST", "/databases/new", 403),
        ("alice", "GET", "/databases/new", 406),
    ],
)
def test_database_definition_routes(app, who, method, url, status):
    assert call(app, who, url, method=method).status_int == status


@pytest.mark.parametrize(
    "who, expected",
    [
        ("alice", {"demo": True, "sales": True}),
        ("bob", {"sales": True}),
        ("public", {"demo": True}),
        ("admin", {"demo": True, "sales": True}),
    ],
)
def test_model_list(app, who, expected):
    response = call(app, who, "/models")
    assert {db: m["executable"] for db, m in response.json["models"].items()} == expected


def test_model_formats(app):
    assert call(app, "public", "/models/demo").json["tables"]["countries"] == ["code", "name"]
    assert call(app, "alice", "/models/demo.csv").text.splitlines()[:3] == ["table,column", "countries,code", "countries,name"]
    assert ET.fromstring(call(app, "alice", "/models/demo.xml").body).find("database").text == "demo"
    redirect = call(app, "alice", "/models/demo.xsd")
    assert redirect.status_int == 301 and redirect.headers["Location"].endswith("/models/demo.xml?schema")
    assert call(app, "alice", "/models/demo.txt").status_int == 406
    missing = call(app, "alice", "/models/nope")
    assert missing.status_int == 404
    assert missing.json["explanation"] == "Database nope was not found."


# --- user definitions -------------------------------------------------------------------


@pytest.mark.parametrize("who, expected", [("admin", ["admin", "public", "alice", "bob"]), ("alice", ["alice", "bob"])])
def test_user_definition_list(app, who, expected):
    assert [u["user_id"] for u in call(app, who, "/users").json["users"]] == expected


def test_user_definitions_never_show_secrets(app):
    for url in ("/users", "/users/alice", "/users/admin"):
        text = call(app, "admin", url).text
        assert "password" not in text and "apikey" not in text and "secret" not in text and "-key" not in text


@pytest.mark.parametrize(
    "who, user, status, limited, may_edit",
    [
        ("alice", "bob", 200, False, True),
        ("bob", "bob", 200, True, True),
        ("alice", "alice", 200, True, True),
        ("bob", "alice", 403, None, None),
        ("public", "alice", 403, None, None),
        ("admin", "nope", 404, None, None),
        ("alice", "nope", 403, None, None),
    ],
)
def test_user_definition(app, who, user, status, limited, may_edit):
    response = call(app, who, "/users/" + user)
    assert response.status_int == status
    if status == 200:
        assert response.json["limited_edit"] is limited
        assert response.json["may_edit"] is may_edit
        assert response.json["self_edit"] is (who == user)


@pytest.mark.parametrize(
    "who, method, url, status",
    [
        ("alice", "PUT", "/users/bob", 501),
        ("bob", "DELETE", "/users/bob", 501),
        ("bob", "PUT", "/users/alice", 403),
        ("admin", "POST", "/users/new", 501),
        ("alice", "POST", "/users/new", 403),
        ("alice", "GET", "/users/bob.xml", 406),
        ("alice", "GET", "/users/bob.html", 200),
        ("alice", "GET", "/users.csv", 406),
    ],
)
def test_user_definition_routes(app, who, method, url, status):
    assert call(app, who, url, method=method).status_int == status


# --- request status -------------------------------------------------------------------


def test_request_status_shows_the_requests_of_visible_queries(data_dir):
    app = make_app(data_dir)
    call(app, "alice", "/query/customers_by_country/country/FR")
    assert call(app, "public", "/status").status_int == 403

    seen = call(app, "alice", "/status").json["requests"]
    ran = [r for r in seen if r["metadata"].get("query_id") == "customers_by_country"]
    assert len(ran) == 1
    assert ran[0]["metadata"] == {"query_id": "customers_by_country", "db_id": "demo", "user_id": "alice"}
    assert ran[0]["statuses"] == ["RECEIVED", "CHECK_REQUEST_AUTH", "REQUEST_PREPROCESS", "EXECUTING", "DONE"]

    request_id = ran[0]["request_id"]
    assert call(app, "alice", "/status/" + request_id).json["request_id"] == request_id
    assert call(app, "admin", "/status/" + request_id).status_int == 200
    assert call(app, "bob", "/status/" + request_id).status_int == 404
    assert all(r["request_id"] != request_id for r in call(app, "bob", "/status").json["requests"])


def test_request_status_serves_json_only(app):
    assert call(app, "alice", "/status.csv").status_int == 406


# --- stored credentials ------------------------------------------------------------------


@pytest.mark.parametrize(
    "who, url, status",
    [
        ("bob", "/dbcredentials/demo?guidata&guiassign", 200),
        ("alice", "/dbcredentials/sales", 200),
        ("alice", "/dbcredentials/nope", 404),
        ("admin", "/dbcredentials/demo/nope", 404),
        ("alice", "/dbcredentials/demo/nope", 403),
    ],
)
def test_credentials_access(app, who, url, status):
    assert call(app, who, url).status_int == status


def test_credentials_show_no_password(app):
    listed = call(app, "alice", "/dbcredentials/demo").json
    assert listed["credentials"] == {"reporting": {"description": "Read-only login used by the reporting job."}}
    shown = call(app, "alice", "/dbcredentials/demo/reporting").json
    assert shown["username"] == "report_reader"
    assert "password" not in shown


@pytest.mark.parametrize(
    "who, method, url, status",
    [
        ("alice", "PUT", "/dbcredentials/demo/reporting", 501),
        ("alice", "DELETE", "/dbcredentials/demo/reporting", 501),
        ("alice", "POST", "/dbcredentials/demo", 403),
        ("admin", "POST", "/dbcredentials/demo", 501),
        ("alice", "GET", "/dbcredentials/demo.txt", 406),
    ],
)
def test_credentials_changes(app, who, method, url, status):
    assert call(app, who, url, method=method).status_int == status


# --- diagnostics of the base contexts -----------------------------------------------------


def test_root_context_diagnostics_escape_segments(app):
    response = call(app, "public", "/_ctx/root-context?segment=a/b&segment=..&segment=c.d")
    assert response.status_int == 200
    assert response.json["escaped_segments"] == ["a$2Fb", "$2E$2E", "c.d"]
    assert response.json["declared_substitutions"] == {"$2F": "/", "$2E": "."}
    assert response.json["has_acl"] is False
    assert response.json["user_db_ids"] == ["demo"]


def test_root_basic_diagnostics_show_the_deny_all_acl(app):
    response = call(app, "alice", "/_ctx/root-basic?schema")
    assert response.json["acl"] == [["Deny", "system.Everyone", "ALL_PERMISSIONS"]]
    assert not any(response.json["permits"].values())
    assert response.json["is_schema_request"] is True


@pytest.mark.parametrize(
    "url, status", [("/_ctx/data-format", 406), ("/_ctx/data-format.html", 200), ("/_ctx/data-format.xsd", 301)]
)
def test_data_format_root_accepts_no_format(app, url, status):
    assert call(app, "alice", url).status_int == status


def test_no_route_is_a_json_not_found(app):
    response = call(app, "alice", "/nowhere")
    assert response.status_int == 404
    assert response.json["status"] == 404
