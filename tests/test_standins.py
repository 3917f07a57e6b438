"""The stand-ins of the server's modules (korvane/*.py) and the shared fakes every test relies on."""

import sqlite3
from types import SimpleNamespace

import pytest
from pyramid.httpexceptions import HTTPBadRequest, HTTPNotFound, HTTPOk
from pyramid.security import Allow, Authenticated, Deny, Everyone

from helpers import allocations_gone_wrong, make_request, make_store, permits
from korvane import utils
from korvane.auth.apikey import ApikeyAuthenticationPolicy
from korvane.config_storage import QueryRecord, Record, UserRecord
from korvane.process_registry import ProcessRegistry
from korvane.views.utils import gui_response_exception


@pytest.mark.parametrize("query, appid_name, expected", [
    ("apikey=k1&appid=app", "appid", "k1"), ("appid=app", "appid", None), ("apikey=", "appid", None),
    ("", "appid", None), ("apikey=k1&apikey=k2", "appid", "k2"),
    # A key name shared with the application id's is never taken as a key.
    ("apikey=k1", "apikey", None),
])
def test_find_api_key_reads_the_named_parameter_only(query, appid_name, expected):
    params = make_request("/x?" + query).GET
    for mapping in (params, dict(params)):
        assert ApikeyAuthenticationPolicy.find_api_key(mapping, "apikey", appid_name) == expected


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
    ("/db/x", "/db/x"), ("", ""), ("/db/x?next=/a/b#c", "/db/x?next=/a/b#c"), ("http://host/db", "http://host/db"),
    ("https://host///db//x/", "https://host/db/x/"),
])
def test_remove_multiple_url_slashes_only_touches_the_path(uri, expected):
    assert utils.remove_multiple_url_slashes(uri) == expected


@pytest.mark.parametrize("query, table, expected", [
    ("", None, [("/", "$2F"), (".", "$2E")]),
    ("?a=1", {"~T": "~", "$2F": "/"}, [("~", "~T"), ("/", "$2F")]),
    # Declared characters come first; for one the table covers, the table's substitute wins.
    ("?$2A=*&$X=/&$=;&$LONG=ab", {"$2F": "/"}, [("*", "$2A"), ("/", "$2F")]),
])
def test_reversed_substitutions_put_declared_characters_first_and_let_the_table_win(query, table, expected):
    params = make_request("/db/x" + query).params
    assert list(utils.get_reversed_url_substitution_params(params, table).items()) == expected


def test_too_many_declared_substitutes_are_refused_with_their_count():
    query = "&".join("$S{}={}".format(i, chr(65 + i)) for i in range(utils.MAX_DECLARED_SUBSTITUTES + 1))
    with pytest.raises(HTTPBadRequest) as refused:
        utils.get_reversed_url_substitution_params(make_request("/db/x?" + query).params, None)
    assert refused.value.explanation.endswith("this one declares 33.")


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


@pytest.mark.parametrize("record, name, expected", [
    (QueryRecord({"execute": ["u1"]}, key="q1"), "execute", ["u1"]),
    (QueryRecord({}, key="q1"), "query_id", "q1"),
    (QueryRecord({}, key="q1"), "write", []),
    (QueryRecord({}, key="q1"), "database", None),
    (QueryRecord({}, key="q1"), "http_methods", {}),
    (QueryRecord({"http_methods": {"GET": True}}, key="q1"), "http_methods", {"GET": True}),
    # A field the record holds wins over what its kind says an absent one reads as.
    (UserRecord({"user_id": "other"}, key="carol"), "user_id", "other"),
    (UserRecord({}, key="carol"), "creator", None),
    (UserRecord({}, key="carol"), "edit", []),
    (Record({"anything": 1}), "anything", 1),
])
def test_a_field_reads_as_held_or_as_its_kind_says_when_absent(record, name, expected):
    value = getattr(record, name)
    assert value == expected and type(value) is type(expected)
    if expected in ([], {}):
        # Each read gives a fresh one: filling it in does not change the record.
        value["x" if isinstance(value, dict) else slice(0, 0)] = ["x"]
        assert getattr(record, name) == expected


@pytest.mark.parametrize("record, name, message", [
    (QueryRecord({"_secret": 1}, key="q1"), "_secret", "_secret"),
    (QueryRecord({}, key="q1"), "nope", "QueryRecord has no field 'nope'"),
    (UserRecord({}, key="carol"), "http_methods", "UserRecord has no field 'http_methods'"),
    (Record({}, key="k"), "", "Record has no field ''"),
])
def test_a_name_the_record_does_not_answer_is_an_attribute_error(record, name, message):
    with pytest.raises(AttributeError) as raised:
        getattr(record, name)
    assert str(raised.value) == message


def test_a_record_kind_changed_after_the_class_is_made_is_read_at_once():
    base = type("Kind", (Record,), {"id_field": "kind_id", "list_fields": ("a",)})
    sub = type("SubKind", (base,), {"scalar_fields": ("b",)})
    record = sub({}, key="k1")
    assert (record.kind_id, record.a, record.b) == ("k1", [], None)
    base.list_fields = ("b", "c")
    base.id_field = "other_id"
    # A name of two kinds reads as the first of mapping, id, list, scalar.
    assert (record.b, record.c, record.other_id) == ([], [], "k1")
    with pytest.raises(AttributeError, match="no field 'kind_id'"):
        record.kind_id
    sub.mapping_fields = ("b",)
    assert record.b == {}
    del sub.mapping_fields
    base.list_fields = ("c",)
    assert record.b is None
    del sub.scalar_fields
    with pytest.raises(AttributeError, match="no field 'b'"):
        record.b


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
