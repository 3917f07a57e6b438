"""The stand-ins of the server's modules (korvane/*.py) and the shared fakes every test relies on."""

import sqlite3
from types import SimpleNamespace

import pytest
from pyramid.httpexceptions import HTTPBadRequest, HTTPNotFound, HTTPOk
from pyramid.security import Allow, Authenticated, Deny, Everyone

from helpers import allocations_gone_wrong, make_request, make_store, permits
from korvane import utils
from korvane.auth.apikey import ApikeyAuthenticationPolicy
from korvane.config_storage import UserRecord
from korvane.process_registry import ProcessRegistry
from korvane.views.utils import gui_response_exception


@pytest.mark.parametrize("params, expected", [
    ({"apikey": "k1", "appid": "app"}, "k1"), ({"appid": "app"}, None), ({"apikey": ""}, None), ({}, None),
])
def test_find_api_key_reads_the_named_parameter_only(params, expected):
    assert ApikeyAuthenticationPolicy.find_api_key(params, "apikey", "appid") == expected


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


def test_get_model_reads_sqlite_tables_and_404s_an_unknown_database(tmp_path):
    path = tmp_path / "shop.sqlite3"
    with sqlite3.connect(path) as connection:
        connection.execute("CREATE TABLE customers (id INTEGER, country TEXT)")
    store = make_store(databases={"shop": {"sqlite_path": str(path)}, "remote": {"url": "x"}})
    assert utils.get_model(store.databases, "shop").tables == {"customers": ("id", "country")}
    assert utils.get_model(store.databases, "remote").tables == {}
    with pytest.raises(HTTPNotFound):
        utils.get_model(store.databases, "missing")


def test_records_answer_by_attribute_and_key_and_empty_ones_are_false():
    user = UserRecord({"databases": ["demo"]}, key="carol")
    assert user.databases == user["databases"] == user.get("databases") == ["demo"]
    assert (user.user_id, user.querydef, user.password) == ("carol", [], None)
    # A list field left out reads as empty by `get` too; a default given, or a field of another kind, is as a dict's.
    assert "querydef" not in user and user.get("querydef") == [] and user.get("querydef", "x") == "x"
    assert (user.get("password"), user.get("nope")) == (None, None)
    assert user and not UserRecord(key="carol")


@pytest.mark.parametrize("field", [{"view": ["ghost"]}, {"edit": ["ghost"]}, {"creator": "ghost"}])
def test_validate_refuses_a_definition_naming_unknown_users(field):
    with pytest.raises(HTTPBadRequest, match="'ghost'"):
        UserRecord(field, key="carol").validate(all_users=make_store().users.values())


def test_the_gui_is_an_html_page_naming_the_path_escaped():
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


# Each: set-up, the call swept, the lock it takes.
LOCKED_CALLS = {
    "store refresh": ("store = make_store()", "store.pull()", "store._lock"),
    "new request tracker": ("trackers = RequestStatusRegistry()", "trackers.new()", "trackers._lock"),
    "tracker search": ("trackers = RequestStatusRegistry(); trackers.new()", "trackers.find(kind='x')",
                       "trackers._lock"),
    "registry run": ("registry = ProcessRegistry(); registry.register(lambda: None)", "registry.execute()",
                     "registry._lock"),
}


@pytest.mark.parametrize("name", LOCKED_CALLS)
def test_no_failed_allocation_leaves_a_lock_held(name):
    # A lock left held by a failed call would hang every later request.
    setup, call, lock = LOCKED_CALLS[name]
    setup = ("from helpers import make_store\n"
             "from korvane.process_registry import ProcessRegistry\n"
             "from korvane.request_status import RequestStatusRegistry\n"
             f"{setup}\n"
             f"for _ in range(300): {call}  # counters past the interpreter's cached small ints")
    assert allocations_gone_wrong(setup, call, wrong=f"{lock}.locked()") == ([], True)
