"""The stand-ins of the server's modules (korvane/*.py) and the shared fakes every test relies on."""

import os
import sqlite3
from types import SimpleNamespace

import pytest
from pyramid.httpexceptions import HTTPBadRequest, HTTPNotFound, HTTPOk
from pyramid.security import Allow, Authenticated, Deny, Everyone

from helpers import make_request, make_store, permits
from korvane import utils
from korvane.auth.apikey import ApikeyAuthenticationPolicy
from korvane.config_storage import ConfigStorage, UserRecord
from korvane.exceptions import HTTPUnsupportedFormat
from korvane.process_registry import ProcessRegistry
from korvane.views.utils import gui_response_exception

EXAMPLE_STORE = os.path.join(os.path.dirname(__file__), "..", "src", "korvane", "app", "example", "store.json")


@pytest.mark.parametrize("params, expected", [
    ({"apikey": "k1", "appid": "app"}, "k1"), ({"appid": "app"}, None), ({"apikey": ""}, None), ({}, None),
])
def test_find_api_key_reads_the_named_parameter_only(params, expected):
    assert ApikeyAuthenticationPolicy.find_api_key(params, "apikey", "appid") == expected


@pytest.mark.parametrize("headers, url, allow_query_string, user_id", [
    ({"X-API-Key": "alice-key"}, "/", False, "alice"),
    ({}, "/?apikey=bob-key", True, "bob"),
    ({}, "/?apikey=bob-key", False, None),
    ({"X-API-Key": "nobody's key"}, "/", True, None),
])
def test_apikey_policy_identifies_the_user_holding_the_key(headers, url, allow_query_string, user_id):
    store = ConfigStorage.from_file(EXAMPLE_STORE)
    policy = ApikeyAuthenticationPolicy(lambda request: store.users, allow_query_string=allow_query_string)
    request = make_request(url, headers=headers)
    assert policy.authenticated_userid(request) == user_id
    assert (user_id in policy.effective_principals(request)) == (user_id is not None)


@pytest.mark.parametrize("url, kw, expected", [
    ("/db/sales/orders.CSV", {}, ("csv", "csv", "CSV")),
    ("/db/sales/orders?format=xml", {}, ("xml", "xml", "")),
    ("/db/sales/orders", {}, ("json", "json", "")),
    ("/db/sales/.hidden", {}, ("json", "json", "")),
    ("/parse.csv", {"method": "POST", "json_body": {"a": 1}}, ("csv", "json", "csv")),
])
def test_requested_data_format_prefers_extension_then_format_param_then_default(url, kw, expected):
    assert utils.requested_data_format(make_request(url, **kw), "json") == expected


@pytest.mark.parametrize("uri, expected", [
    ("/db//sales///orders", "/db/sales/orders"),
    ("//db/x?next=http://x//y", "/db/x?next=http://x//y"),
    ("http://host//db/x#a//b", "http://host/db/x#a//b"),
    ("/db/x", "/db/x"),
])
def test_remove_multiple_url_slashes_only_touches_the_path(uri, expected):
    assert utils.remove_multiple_url_slashes(uri) == expected


def test_get_url_param_converts_falls_back_or_refuses_with_400_naming_it():
    request = make_request("/?limit=5")
    assert (utils.get_url_param(request, "limit", None, int), utils.get_url_param(request, "offset", 0, int)) == (5, 0)
    with pytest.raises(HTTPBadRequest, match="'limit'"):
        utils.get_url_param(make_request("/?limit=lots"), "limit", None, int)


def test_segments_are_decoded_and_substituted_both_ways():
    params = make_request("/?$7E=~").params
    assert utils.segments_substitution(["a%20b", "x$2Fy", "$7E"], params, None, "utf-8") == ["a b", "x/y", "~"]
    assert utils.get_reversed_url_substitution_params(params, {"$2F": "/"}) == {"/": "$2F", "~": "$7E"}


def test_get_model_reads_sqlite_tables_and_404s_an_unknown_database(tmp_path):
    path = tmp_path / "shop.sqlite3"
    with sqlite3.connect(path) as connection:
        connection.execute("CREATE TABLE customers (id INTEGER, country TEXT)")
    store = make_store(databases={"shop": {"sqlite_path": str(path)}, "remote": {"url": "x"}})
    assert utils.get_model(store.databases, "shop").tables == {"customers": ("id", "country")}
    assert utils.get_model(store.databases, "remote").tables == {}
    with pytest.raises(HTTPNotFound):
        utils.get_model(store.databases, "missing")


def test_example_store_resolves_sqlite_paths_and_holds_valid_users():
    store = ConfigStorage.from_file(EXAMPLE_STORE)
    assert os.path.isabs(store.databases["demo"].sqlite_path)
    assert all(user.validate(all_users=store.users.values()) is None for user in store.users.values())
    assert store.get_credentials("demo").credentials["reporting"].edit == ["alice"] and store.get_credentials("sales") is None


def test_records_answer_by_attribute_and_key_and_empty_ones_are_false():
    user = UserRecord({"databases": ["demo"]}, key="carol")
    assert user.databases == user["databases"] == user.get("databases") == ["demo"]
    assert (user.user_id, user.querydef, user.password) == ("carol", [], None)
    assert "querydef" not in user and user.get("querydef") is None
    assert user and not UserRecord(key="carol")


@pytest.mark.parametrize("field", [{"view": ["ghost"]}, {"edit": ["ghost"]}, {"creator": "ghost"}])
def test_validate_refuses_a_definition_naming_unknown_users(field):
    with pytest.raises(HTTPBadRequest, match="'ghost'"):
        UserRecord(field, key="carol").validate(all_users=make_store().users.values())


def test_unsupported_format_is_a_406_and_the_gui_an_html_page_naming_the_path():
    error = HTTPUnsupportedFormat("txt")
    assert (error.code, error.response_format, "'txt'" in error.explanation) == (406, "txt", True)
    page = gui_response_exception(make_request("/db/a&b"))
    assert isinstance(page, HTTPOk) and page.content_type == "text/html" and "/db/a&amp;b" in page.text


def test_process_registry_runs_each_registered_callable_once():
    registry, calls = ProcessRegistry(), []
    registry.register(lambda: calls.append(1))
    registry.execute()
    registry.execute()
    assert (calls, registry.executed) == ([1], 2)


@pytest.mark.parametrize("user_id, acl, allowed", [
    ("alice", [(Allow, Authenticated, "execute_query")], True),
    ("public", [(Allow, Authenticated, "execute_query")], False),
    (None, [(Allow, Everyone, "execute_query")], True),
    ("alice", [(Allow, "admin", "execute_query")], False),
    ("admin", [(Allow, "admin", "execute_query")], True),
    ("alice", [(Deny, Everyone, "execute_query"), (Allow, "alice", "execute_query")], False),
])
def test_made_requests_decide_permissions_by_the_context_acl(user_id, acl, allowed):
    request, context = make_request(user_id=user_id), SimpleNamespace(__acl__=acl)
    assert bool(request.has_permission("execute_query", context)) is permits(context, request, "execute_query") is allowed
