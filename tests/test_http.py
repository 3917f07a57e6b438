"""What a hostile or careless client gets: a JSON 4xx for each mistake of
its own, a JSON 500 with a request id for a failure of the server's, and
HEAD, OPTIONS, 405 and redirects as HTTP clients expect them."""

import logging
from unittest import mock

from urllib.parse import quote

import pytest

from test_app import LOCAL, app, ask, check, data_dir, edit_store, make_app  # noqa: F401 (app, data_dir: fixtures)

CUSTOMERS = "/dd/demo/customers"
BY_COUNTRY = "/query/customers_by_country/country/DE"
BAD_PATH = "The URL path is not valid UTF-8."
BAD_QUERY = "The query string is not valid UTF-8."
BAD_LIMIT = "Query parameter 'limit' must be a whole number from 0 to 2147483647."


# --- client errors ------------------------------------------------------------------


@pytest.mark.parametrize("url, explanation", [
    (CUSTOMERS + "/city/K%F6ln", BAD_PATH),
    ("/%ff", BAD_PATH),
    ("/dd/demo%C3%28/customers", BAD_PATH),
    ("/query/customers_by_country/country/%ED%A0%80", BAD_PATH),  # an encoded surrogate
    ("/?x=%ff", BAD_QUERY),
    ("/querydefs?format=%ff", BAD_QUERY),
    ("/dd?%ff=1", BAD_QUERY),
    (CUSTOMERS + "?limit=1&city=K%F6ln", BAD_QUERY),
])
def test_a_url_that_is_not_utf8_is_refused_with_400(app, url, explanation):
    for who in ("alice", "public"):
        check(ask(app, who, url), 400, {"explanation": explanation})


@pytest.mark.parametrize("limit", ["-1", "1.5", "abc", " 1", "+1", "1_0", "\u0663", "2147483648", "9" * 30, ""])
@pytest.mark.parametrize("url", [CUSTOMERS, BY_COUNTRY])
def test_a_limit_that_is_no_row_count_the_database_takes_is_refused_naming_it(app, url, limit):
    response = ask(app, "alice", url + "?limit=" + quote(limit, safe=""))
    check(response, 400, {})
    assert "'limit'" in response.json["explanation"]


@pytest.mark.parametrize("url", [CUSTOMERS, BY_COUNTRY])
def test_limit_zero_gives_no_rows_and_the_largest_limit_all(app, url):
    check(ask(app, "alice", url + "?limit=0"), 200, {"rows": [], "limit": 0})
    assert ask(app, "alice", url + "?limit=2147483647").json["rows"] == ask(app, "alice", url).json["rows"] != []


@pytest.mark.parametrize("action", ["parse", "build"])
@pytest.mark.parametrize("body, explanation", [
    (b"[" * 100_000 + b"]" * 100_000, "The request body is nested too deeply (at most 32 levels)."),
    (b'{"path": ' + b"[" * 40 + b"]" * 40 + b"}", "The request body is nested too deeply (at most 32 levels)."),
    (b'{"database": "demo", "table": "customers", "filters": {"name": "\\ud800"}}',
     "The request body holds text that is not valid Unicode."),
    (b'{"path": "/dd/demo/\\udfff"}', "The request body holds text that is not valid Unicode."),
    (b'{"\\ud800": 1}', "The request body holds text that is not valid Unicode."),
    (b"\xff{}", "The request body must be JSON in UTF-8."),
])
def test_a_body_too_deep_or_not_encodable_is_refused_with_400(app, action, body, explanation):
    check(ask(app, "alice", "POST /dd-url/" + action, body), 400, {"explanation": explanation})


# --- failures of the server's own ------------------------------------------------------


def test_a_stored_query_the_database_fails_on_is_a_json_error_without_internals(data_dir, caplog):
    edit_store(data_dir, lambda data: data["querydefs"].update(broken={
        "database": "demo", "sql": "SELEC name FROM no_such_table", "execute": ["public"],
        "http_methods": {"GET": True}}))
    response = ask(make_app(data_dir), "alice", "/query/broken")
    check(response, 500, {"explanation": "Query 'broken' failed in the database; the server log says why."})
    assert "SELEC" not in response.text and "syntax" not in response.text
    [logged] = [r.getMessage() for r in caplog.records if r.name == "korvane.views.sqlite"]
    assert "Query 'broken'" in logged and "demo" in logged and "syntax error" in logged


def test_an_unexpected_exception_is_a_json_500_whose_request_id_the_log_carries(app, caplog):
    with mock.patch("korvane.views.home.json_response", side_effect=RuntimeError("secret detail")):
        response = ask(app, "alice", "/")
    check(response, 500, {"X-Request-Id": response.json["request_id"]})
    assert "secret detail" not in response.text and "Traceback" not in response.text
    [record] = [r for r in caplog.records if r.levelno == logging.ERROR and r.name == "korvane.views.errors"]
    assert response.json["request_id"] in record.getMessage() and "secret detail" in record.getMessage()
    assert record.exc_info is not None
    # The id is the request's status id: /status shows how the request ended.
    status = ask(app, "admin", "/status/" + response.json["request_id"])
    check(status, 200, {})
    assert status.json["statuses"][-1] == "FAILED"


# --- HEAD, OPTIONS, 405 -----------------------------------------------------------------


@pytest.mark.parametrize("url", [
    "/", "/querydefs", "/models", "/users", "/status", "/databases", "/query", CUSTOMERS, BY_COUNTRY + ".csv",
    "/querydefs/customers_by_country", "/dd/demo", "/whoami", "/nope",
])
def test_head_answers_like_get_without_a_body(app, url):
    get, head = ask(app, "alice", url), ask(app, "alice", "HEAD " + url)
    assert head.status_int == get.status_int and head.body == b""
    for name in ("Content-Type", "Content-Length", "Allow"):
        assert head.headers.get(name) == get.headers.get(name), name


@pytest.mark.parametrize("url, allow", [
    ("/", "GET, HEAD, OPTIONS"),
    ("/querydefs/customers_by_country.json", "GET, HEAD, PUT, DELETE, OPTIONS"),
    ("/querydefs/new", "POST, OPTIONS"),
    ("/dd-url/parse", "POST, OPTIONS"),
    (CUSTOMERS, "GET, HEAD, OPTIONS"),
    # A stored query serves the methods it is enabled for.
    ("/query/orders_since/since/2024-01-01", "GET, HEAD, POST, OPTIONS"),
    ("/query/purge_orders", "OPTIONS"),
])
def test_options_names_the_methods_in_allow(app, url, allow):
    for who in ("alice", "public", "wrong"):
        check(ask(app, who, "OPTIONS " + url), 200, {"Allow": allow})


def test_options_on_a_path_no_route_serves_is_404(app):
    check(ask(app, "alice", "OPTIONS /nope"), 404, {})


@pytest.mark.parametrize("who, request_line, allow", [
    ("alice", "PATCH /", "GET, HEAD, OPTIONS"),
    ("alice", "DELETE /dd/demo/customers", "GET, HEAD, OPTIONS"),
    ("alice", "PUT /dbcredentials/demo", "GET, HEAD, POST, OPTIONS"),
    ("alice", "GET /dd-url/build", "POST, OPTIONS"),
    # A stored query's own 405, with its message, is in test_app's table.
])
def test_a_405_names_the_methods_in_allow(app, who, request_line, allow):
    check(ask(app, who, request_line), 405, {"Allow": allow})


# --- extensions and redirects ------------------------------------------------------------


@pytest.mark.parametrize("extension, content_type", [
    ("json", "application/json"), ("csv", "text/csv"), ("xml", "application/xml"), ("JSON", "application/json"),
])
def test_a_database_takes_a_format_extension(app, extension, content_type):
    response = ask(app, "public", "/dd/demo." + extension)
    check(response, 200, {})
    assert response.content_type == content_type and "customers" in response.text
    check(ask(app, "public", "/dd/demo.txt"), 406, {})


@pytest.mark.parametrize("who, url", [
    ("alice", "/dd/demo?format=xsd"),
    ("alice", "/dd/demo.xsd"),
    ("alice", CUSTOMERS + ".xsd?limit=1"),
    ("alice", "/models/demo.xsd"),
    ("alice", "/models.xsd"),
    ("alice", BY_COUNTRY + ".xsd"),
    ("bob", "/dd/sales/orders"),
    ("public", "/query/orders_since/since/2024-01-01"),
    ("alice", "/dd//demo///customers"),
])
def test_every_redirect_leads_to_a_page_that_exists(app, who, url):
    response = ask(app, who, url)
    assert 300 <= response.status_int < 400
    target = response.headers["Location"]
    assert target.startswith(LOCAL)
    followed = ask(app, who, target[len(LOCAL):])
    assert followed.status_int == 200 or (who, followed.status_int) == ("public", 403), followed.text


@pytest.mark.parametrize("url", ["/querystudio.xsd", "/querystudio/customers_by_country.xsd", "/querydefs.xsd",
                                 "/users.xsd", "/status.xsd"])
def test_a_format_redirect_to_a_format_the_resource_refuses_is_that_refusal(app, url):
    check(ask(app, "alice", url), 406, {"explanation": "Data format 'xsd' is not supported for this resource."})


# --- the table model cache -----------------------------------------------------------------


def test_the_table_model_is_read_once_per_version_of_the_database_file(data_dir):
    import sqlite3

    import korvane.utils

    app = make_app(data_dir)
    ask(app, "alice", CUSTOMERS)
    with mock.patch("korvane.utils._read_sqlite_model", wraps=korvane.utils._read_sqlite_model) as read:
        for _ in range(3):
            check(ask(app, "alice", CUSTOMERS), 200, {"count": 8})
        assert read.call_count == 0
        connection = sqlite3.connect(data_dir / "demo.sqlite3")
        with connection:
            connection.execute("CREATE TABLE notes (id INTEGER, text TEXT)")
        connection.close()
        check(ask(app, "alice", "/dd/demo"), 200, {})
        assert ask(app, "alice", "/dd/demo").json["tables"]["notes"] == ["id", "text"]
        check(ask(app, "alice", "/dd/demo/notes"), 200, {"rows": []})
        assert read.call_count == 1
