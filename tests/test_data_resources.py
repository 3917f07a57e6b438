"""The data-access routes: query list and execution, data discovery, request status, credentials, URL parser."""

import contextlib
import functools
import json
import logging
import sys
from unittest import mock

import pytest
from pyramid.httpexceptions import HTTPForbidden, HTTPFound, HTTPMethodNotAllowed, HTTPMovedPermanently
from pyramid.httpexceptions import HTTPNotFound, HTTPOk, HTTPPermanentRedirect
from pyramid.security import ALL_PERMISSIONS, DENY_ALL, Allow, Authenticated, Deny, Everyone

from korvane import utils
from korvane.config_storage import UserRecord
from korvane.constants import DEFAULT_NULL_PLACEHOLDER, DEFAULT_SEPARATOR, DEFAULT_WILDCARD
from korvane.exceptions import HTTPUnsupportedFormat
from korvane.request_status import StatusCodes

from helpers import NO_ACCESS, XSD_WARNING, QuietTracker, implementation_under_test, leak_path, make_request
from helpers import make_settings, make_store, permits

roots = implementation_under_test(__name__)

# A user record that tests false whatever it holds.
HollowUser = type("HollowUser", (UserRecord,), {"__bool__": lambda self: False})
USERS = {
    "admin": {"password": "secret"}, "public": {"databases": ["open"]},
    "u1": {"databases": ["sales", "open"], "dbcreds": ["view", "create"]},
    "u2": {"databases": ["sales"], "dbcreds": []}, "maker": {"databases": ["sales"], "dbcreds": ["create"]},
    "outsider": {"databases": ["elsewhere"], "dbcreds": []},
    "runner": {"databases": ["elsewhere"]}, "blank": {},
    "hollow": HollowUser({"databases": ["sales", "open"]}, key="hollow"),
}
DATABASES = {"sales": {"read": ["u1"]}, "open": {}}
QUERIES = {
    "q1": {"database": "sales", "execute": ["u1"], "http_methods": {"GET": True, "POST": True}},
    "qpub": {"database": "open", "execute": ["public"], "http_methods": {"GET": True}},
    "qoff": {"database": "sales", "execute": ["u1"], "http_methods": {"PATCH": True, "GET": False, "PUT": 1}},
    "qnone": {"database": "sales", "execute": [], "http_methods": {}},
    "qclosed": {"database": "sales", "execute": [], "http_methods": {"GET": True}},
    "qlost": {"database": "gone", "execute": ["u1", "runner"], "http_methods": {"GET": True}},
    "qboth": {"database": "sales", "execute": ["u1", "public"], "http_methods": {"GET": True}},
}
CREDENTIALS = {
    "sales": {"c1": {"edit": ["u1"], "view": ["u1"]}, "c2": {"edit": [], "view": ["maker"]}},
    "ghost": {"c1": {"edit": ["u1"], "view": ["u1"]}},
}
UNRECOGNISED = "Unrecognized Data Discovery url method"


def settings_for(users=USERS, **ini):
    store = make_store(users=users, databases=DATABASES, querydefs=QUERIES, credentials=CREDENTIALS)
    return make_settings(store=store, **ini)


LIMITED_SETTINGS = settings_for(**{"db.sales.limit": 100})


def request_for(url, user_id="u1", settings=None, **kw):
    return make_request(url, settings=settings or settings_for(), user_id=user_id, **kw)


def store_of(context):
    return context.settings["config_storage"]


def refusal_of(cls, request, exception):
    with pytest.raises(exception) as raised:
        cls(request)
    return raised.value


# ------------------------------------------------------------ ExecuteQueryList and RequestStatus


LISTINGS = [  # None: the store's own mapping
    (roots.ExecuteQueryList, "admin", None, True), (roots.RequestStatus, "admin", None, True),
    (roots.ExecuteQueryList, "u1", ["q1", "qoff", "qlost", "qboth"], True), (roots.ExecuteQueryList, "u2", [], True),
    # "public" is the public user's own id here, not a marker for everybody.
    (roots.ExecuteQueryList, "public", ["qpub", "qboth"], True), (roots.ExecuteQueryList, "ghost", [], False),
    # Opened by a database of the store, or by a query, alone.
    (roots.RequestStatus, "u1", ["q1", "qoff", "qlost", "qboth"], True), (roots.RequestStatus, "u2", [], True),
    (roots.RequestStatus, "runner", ["qlost"], True), (roots.RequestStatus, "ghost", [], False),
    # Never opened to the public user, even by public queries.
    (roots.RequestStatus, "public", [], False),
    # A record the store holds but that tests false: closed, and no 404 for the status list.
    (roots.ExecuteQueryList, "blank", [], False), (roots.RequestStatus, "blank", [], False),
]


@pytest.mark.parametrize("cls, user_id, queries, opened", LISTINGS, ids=lambda v: getattr(v, "__name__", None))
def test_query_listings_hold_the_queries_naming_the_user_in_store_order(cls, user_id, queries, opened):
    # The server authenticates "ghost", whom the store does not hold.
    ghost = mock.patch.object(roots, "get_authenticated_user", return_value=("ghost", UserRecord({"a": 1})))
    with ghost if user_id == "ghost" else contextlib.nullcontext():
        request = request_for("/queries.json?$2A=*", user_id=user_id)
        context = cls(request)
    store = store_of(context)
    assert (context.query_configs is store.querydefs) is (queries is None)
    listed = store.querydefs if queries is None else queries
    assert list(context.query_configs.items()) == [(q, store.querydefs[q]) for q in listed]
    assert context.authenticated_user_config is store.users.get(user_id)
    assert context.reversed_url_substitution == {"*": "$2A", "/": "$2F", ".": "$2E"}
    assert context.__acl__ == ([(Allow, Everyone, ALL_PERMISSIONS)] if opened else [DENY_ALL])
    assert permits(context, request, "view") is opened


LISTING_REFUSALS = [
    (roots.ExecuteQueryList, "post", dict(url="/queries.json", method="POST"), HTTPUnsupportedFormat, None),
    (roots.ExecuteQueryList, "xml", dict(url="/queries.xml"), HTTPUnsupportedFormat, None),
    (roots.RequestStatus, "csv", dict(url="/status.csv"), HTTPUnsupportedFormat, None),
    # Neither a database nor a query of the store is open to the user.
    (roots.RequestStatus, "nothing_open", dict(url="/status.json", user_id="outsider"), HTTPNotFound,
     HTTPNotFound.explanation),
]


# ------------------------------------------------------------ ExecuteQuery


def query_request(query_id="q1", tail="", fmt=".json", method="GET", user_id="u1", settings=None, **kw):
    kw.setdefault("matchdict", {"query_id": query_id})
    return request_for(f"/query/{query_id}{tail}{fmt}", user_id=user_id, method=method, settings=settings, **kw)


def test_executing_a_query_sets_what_the_views_read():
    request = query_request(tail="/a/x$2Fy/b$2A", fmt=".json?$2A=*")
    context = roots.ExecuteQuery(request)
    store = store_of(context)
    assert context.query_id == "q1" and context.query_config is store.querydefs["q1"]
    assert context.db_id == "sales" and context.db_config is store.databases["sales"]
    assert context.substitution_params == utils.get_url_substitution_params(request.params)
    assert context.reversed_url_substitution == {"*": "$2A", "/": "$2F", ".": "$2E"}
    assert context.url_segments == ["a", "x/y", "b$2A.json"]
    assert list(request.request_status.metadata.items()) == [("query_id", "q1"), ("db_id", "sales"), ("user_id", "u1")]
    acl = context.__acl__
    assert acl == [(Allow, Authenticated, "execute_query")] and permits(context, request, "execute_query")
    context.configure_authorization()
    assert context.__acl__ == acl and context.__acl__ is not acl


@pytest.mark.parametrize("segments, expected", [
    (["a", "x$2Fy", "b", "y$2Ez"], ["a", "x/y", "b", "y.z"]), (["a", "x$2Fy", "b$2F"], ["a", "x/y", "b$2F"]),
    ([], []), (("t", "u$2Fv"), ["t", "u/v"]),
])
def test_only_parameter_values_are_substituted_into_a_new_list(segments, expected):
    # Served without a status tracker; the extension is lower-cased into the
    # format, which the base check with its extension test would refuse.
    context = roots.ExecuteQuery(query_request(fmt=".JSON", status_tracker=False))
    assert context.response_format == "json" and context.db_id == "sales"
    result = context.segments_substitution(segments)
    assert result == expected and result is not segments


def not_allowed(query_id, allowed):
    return f'This method is not allowed for query: "{query_id}". Allowed methods: {allowed}.'


QUERY_REFUSALS = [
    # HTML goes to the browser before the query is even looked up.
    ("html", dict(query_id="q9", fmt=".html"), HTTPOk, None),
    # The query is looked up before the method is checked.
    ("unknown_query", dict(query_id="q9", method="PATCH"), HTTPNotFound, "Query 'q9' not found."),
    ("no_route_match", dict(matchdict=None), HTTPNotFound, "Query 'None' not found."),
    ("match_without_query_id", dict(matchdict={"db_id": "sales"}), HTTPNotFound, "Query 'None' not found."),
    ("method_off", dict(method="PUT"), HTTPMethodNotAllowed, not_allowed("q1", '["GET", "POST"]')),
    ("method_false", dict(query_id="qoff"), HTTPMethodNotAllowed, not_allowed("qoff", '["PATCH", "PUT"]')),
    # Enabled for the query, but not one of the route's four methods.
    ("unserved", dict(query_id="qoff", method="PATCH"), HTTPMethodNotAllowed, not_allowed("qoff", '["PATCH", "PUT"]')),
    ("no_method_on", dict(query_id="qnone"), HTTPMethodNotAllowed, not_allowed("qnone", '[""]')),
    # The method is checked before the query's database and before the format.
    ("before_database", dict(query_id="qlost", method="POST"), HTTPMethodNotAllowed, not_allowed("qlost", '["GET"]')),
    ("method_before_format", dict(query_id="qoff", fmt=".txt"), HTTPMethodNotAllowed, None),
    ("unsupported_format", dict(method="POST", fmt=".txt"), HTTPUnsupportedFormat, None),
    ("database_missing", dict(query_id="qlost"), HTTPNotFound, "Model/Database 'gone' not found."),
    # "xsd" is redirected only after authorization and the row limit.
    ("xsd_access_refused", dict(fmt=".xsd", user_id="outsider"), HTTPForbidden, NO_ACCESS.format("outsider", "sales")),
    ("xsd_row_limit", dict(fmt=".xsd", settings=LIMITED_SETTINGS), HTTPFound, None),
]


def test_method_check_without_a_method_list_uses_the_servers_list():
    context = roots.ExecuteQuery(query_request())
    with mock.patch.object(roots, "STD_HTTP_METHODS", ("GET",)):
        with pytest.raises(HTTPMethodNotAllowed):
            context._validate_http_method(request_method="POST")
        assert context._validate_http_method("GET", ()) is None
        assert context._validate_http_method("POST", ("POST",)) is None


QUERY_ACLS = [
    ("qclosed", "admin", (Allow, "admin", "execute_query")), ("qpub", "public", (Allow, Everyone, "execute_query")),
    ("qboth", "u1", (Allow, Everyone, "execute_query")), ("q1", "u1", (Allow, Authenticated, "execute_query")),
    ("q1", "u2", (Deny, Everyone, "execute_query")), ("qpub", "hollow", (Deny, Everyone, "execute_query")),
]


@pytest.mark.parametrize("query_id, user_id, entry", QUERY_ACLS)
def test_query_acl_has_one_entry_chosen_by_the_first_matching_rule(query_id, user_id, entry):
    request = query_request(query_id, user_id=user_id)
    context = roots.ExecuteQuery(request)
    assert context.__acl__ == [entry]
    assert permits(context, request, "execute_query") is (entry[0] == Allow)


# ------------------------------------------------------------ DataDiscovery


def discovery_request(path="/db/sales/Customer$2Fx/a.json", user_id="u1", settings=None, **kw):
    kw.setdefault("matchdict", {"other_segments": tuple(s for s in path.split("?")[0].split("/") if s)[1:]})
    return request_for(path, user_id=user_id, settings=settings, **kw)


@pytest.mark.parametrize("cls, segments", [("DataDiscovery", ["Customer$2Fx", "a.json"]),
                                           ("DDURLParserBuilderRoot", ["a", "b"])])
def test_database_model_and_segments_are_passed_to_the_utilities(cls, segments):
    request = discovery_request() if cls == "DataDiscovery" else dd_request(body={"path": "/db/sales/a/b"})
    with (mock.patch.object(roots, "get_model", return_value="model") as get_model,
          mock.patch.object(roots, "segments_substitution", return_value=["s"]) as substitute):
        context = getattr(roots, cls)(request)
    get_model.assert_called_once_with(store_of(context).databases, "sales", retry=request)
    substitute.assert_called_once_with(segments, request.params, "model", request.charset)
    assert context.url_segments == ["s"]


DISCOVERY_REFUSALS = [
    # HTML goes to the browser before the route match is even read.
    ("html", dict(path="/db/nowhere/t.html", matchdict=None), HTTPOk, None),
    ("unknown_database", dict(path="/db/nowhere/t.json"), HTTPNotFound, HTTPNotFound.explanation),
    # The bare prefix of the route names no database: like an unknown one.
    ("empty_tail", dict(matchdict={"other_segments": ()}), HTTPNotFound, HTTPNotFound.explanation),
    # A route without the key at all is the server's mistake.
    ("match_without_segments", dict(matchdict={"db_id": "sales"}), TypeError, None),
    # The server gives every request its tracker; this route relies on it.
    ("no_status_tracker", dict(status_tracker=False), AttributeError, None),
    # Database access is checked before the rules for anonymous callers.
    ("access_refused", dict(user_id="public"), HTTPForbidden, NO_ACCESS.format("public", "sales")),
    # "xsd" is redirected only once the caller may have the data.
    ("xsd", dict(path="/db/sales/t.xsd", user_id="outsider"), HTTPForbidden, NO_ACCESS.format("outsider", "sales")),
]


# Without a format table of its own, any format but HTML passes.
DISCOVERY_GRANTS = [("u1", "/db/sales/Customer$2Fx/a.json", Authenticated, ["Customer/x", "a.json"]),
                    ("u1", "/db/sales/t.txt", Authenticated, ["t.txt"]),
                    ("public", "/db/open/t.csv", Everyone, ["t.csv"])]


# Sets format, database and segments, reports them, and grants "authenticated"
# to users, and to anybody on public databases.
@pytest.mark.parametrize("user_id, url, principal, segments", DISCOVERY_GRANTS)
def test_data_discovery_sets_what_the_views_read_and_grants_by_the_database(user_id, url, principal, segments):
    request = discovery_request(url, user_id=user_id)
    context, db_id, extension = roots.DataDiscovery(request), url.split("/")[2], url.rsplit(".", 1)[1]
    assert (context.response_format, context.request_format, context.request_extension) == (extension,) * 3
    assert context.db_id == db_id and context.db_config is store_of(context).databases[db_id]
    assert context.url_segments == segments
    assert list(request.request_status.metadata.items()) == [("db_id", db_id), ("user_id", user_id)]
    assert context.__acl__ == [(Allow, principal, "authenticated")] and permits(context, request, "authenticated")
    assert permits(context, discovery_request(url, user_id="public"), "authenticated") is (principal == Everyone)


# An anonymous caller's context for the open database, whose store then
# holds `public` (None: nothing) as the public user.  The caller's own
# record, read before, still passes the database check.
def anonymous_discovery(public, message="Only for members."):
    settings = settings_for(krv={"access_denied_msg": message} if message else None)
    context = roots.DataDiscovery(discovery_request("/db/open/t.json", user_id="public", settings=settings))
    del store_of(context).users["public"]
    if public is not None:
        store_of(context).users["public"] = public
    return context


@pytest.mark.parametrize("public, message, refusal", [
    (None, "Only for members.", HTTPForbidden),
    ({"databases": ["sales"]}, "Only for members.", HTTPForbidden),
    (HollowUser({"databases": ["open"]}), "Only for members.", HTTPForbidden),
    ({"databases": ["sales"]}, None, HTTPForbidden),
    # The public user's databases are read before its record is tested.
    (HollowUser(), "Only for members.", KeyError),
])
def test_anonymous_refusal_carries_the_configured_text(public, message, refusal):
    with pytest.raises(refusal) as refused:
        anonymous_discovery(public, message).configure_authorization()
    assert refusal is KeyError or refused.value.explanation == message


# ------------------------------------------------------------ DBCredentialsRoot

CREDENTIAL_PERMISSIONS = [f"{action}_dbcredentials" for action in ("view", "list", "create", "delete", "update")]
LISTING = (Allow, Everyone, ["list_dbcredentials"])
CREATING = (Allow, Everyone, ["create_dbcredentials"])
EDITING = (Allow, Everyone, ["view_dbcredentials", "update_dbcredentials", "delete_dbcredentials"])
VIEWING = (Allow, Everyone, ["view_dbcredentials"])


def credentials_request(user_id="u1", db_id="sales", dbc_id="c1", query="", **kw):
    matchdict = {"db_id": db_id, "dbc_id": dbc_id} if dbc_id else {"db_id": db_id}
    return request_for(f"/dbcredentials/{db_id}.json{query}", user_id=user_id, matchdict=matchdict, **kw)


CREDENTIAL_ACLS = [
    ("admin", "c2", "", [(Allow, "admin", CREDENTIAL_PERMISSIONS)]),
    # No listing right: the creating right is not even examined.
    ("maker", "c2", "", []), ("maker", "c2", "?guidata", []),
    ("maker", "c2", "?guidata=&guiassign=0", [LISTING, CREATING, VIEWING]),
    ("u1", "c1", "", [LISTING, CREATING, EDITING, VIEWING]), ("u1", "c2", "", [LISTING, CREATING]),
    ("u1", None, "", [LISTING, CREATING]), ("u2", "c1", "?guiassign&guidata", [LISTING]),
]


@pytest.mark.parametrize("user_id, dbc_id, query, acl", CREDENTIAL_ACLS)
def test_credential_acl_follows_the_users_rights_and_the_entrys_lists(user_id, dbc_id, query, acl):
    request = credentials_request(user_id=user_id, dbc_id=dbc_id, query=query)
    context = roots.DBCredentialsRoot(request)
    assert context.__acl__ == acl
    assert context.is_admin is (user_id == "admin")
    granted = {permission for _, _, permissions in acl for permission in permissions}
    assert {p for p in CREDENTIAL_PERMISSIONS if permits(context, request, p)} == granted
    for _, _, permissions in context.__acl__:  # each context gets its own permission lists
        permissions.append("anything")
    assert roots.DBCredentialsRoot(credentials_request(user_id=user_id, dbc_id=dbc_id, query=query)).__acl__ == acl


def test_credential_properties_follow_the_store_on_every_read():
    context = roots.DBCredentialsRoot(credentials_request())
    store = store_of(context)
    assert context.db_config is store.databases["sales"]
    assert context.dbc_config is store.get_credentials("sales")
    assert context.db_credentials is store.get_credentials("sales").credentials["c1"]
    context.dbc_id = "c9"
    assert context.db_credentials is None
    context.db_id = "open"
    assert context.db_config is not None and (context.dbc_config, context.db_credentials) == (None, None)
    context.db_id = "ghost"
    assert (context.db_config, context.dbc_config, context.db_credentials) == (None, None, None)


CREDENTIAL_REFUSALS = [
    ("put_txt", dict(url="/dbcredentials/sales.txt", method="PUT"), HTTPUnsupportedFormat, None),
    ("patch", dict(url="/dbcredentials/sales.json", method="PATCH"), HTTPUnsupportedFormat, None),
    # A route without a match fails reading it.
    ("no_route_match", dict(url="/dbcredentials.json", matchdict=None), AttributeError, None),
]


# ------------------------------------------------------------ DDURLParserBuilderRoot


def dd_request(kind="parse", body=None, user_id="u1", query="", **kw):
    return request_for(f"/dd/{kind}{query}", user_id=user_id, method="POST", json_body=body, **kw)


DD_CASES = [
    ("parse", {"path": "/db/sales/orders$2F1"}, "u1", "/db/sales/orders$2F1", "sales", ["orders/1"]),
    # Substring tests, "parse" first.
    ("build/parse", {"path": "/db/open/t"}, "public", "/db/open/t", "open", ["t"]),
    ("reparsed.csv", {"path": "/db/open/t"}, "u1", "/db/open/t", "open", ["t"]),
    ("build.xml", {"database": "open", "path": "/db/sales/x"}, "admin", None, "open", ["open"]),
]


@pytest.mark.parametrize("kind, body, user_id, path, db_id, segments", DD_CASES)
def test_dd_request_resolves_its_database_and_segments_as_json(kind, body, user_id, path, db_id, segments):
    context = roots.DDURLParserBuilderRoot(dd_request(kind, body, user_id=user_id))
    assert vars(context).get("path") == path and ("path" in vars(context)) == (path is not None)
    assert context.db_id == db_id and context.db_config is store_of(context).databases[db_id]
    assert context.url_segments == segments
    assert context.is_admin is (user_id == "admin")
    assert (context.request_format, context.response_format) == ("json", "json")
    assert context.__acl__ == [DENY_ALL]
    context.db_id = "nowhere"
    assert context.db_config is None


def db_not_found(db_id):
    return f"Database {db_id} was not found."


DD_REFUSALS = [  # by "outsider", who may use no database of the store
    # The database is looked up before access is checked.
    ("build_without_database", dict(kind="build", body={"path": "/db/sales"}), HTTPNotFound, db_not_found(None)),
    ("parse_unknown_database", dict(body={"path": "/db/nowhere/t"}), HTTPNotFound, db_not_found("nowhere")),
    # Bodies and paths that name no database are answered like the build
    # request without one, not with a server error.
    ("path_too_short", dict(body={"path": "/db"}), HTTPNotFound, db_not_found(None)),
    ("no_path", dict(body={}), HTTPNotFound, db_not_found(None)),
    ("array_body", dict(body=["/db/sales"]), HTTPNotFound, db_not_found(None)),
    ("string_body", dict(kind="build", body="sales"), HTTPNotFound, db_not_found(None)),
    *[(f"{type(body).__name__}_body", dict(body=body), HTTPNotFound, db_not_found(None)) for body in (42, 1.5, True)],
    ("no_body", dict(kind="build", user_id="u1"), json.JSONDecodeError, None),
    ("access_refused", dict(body={"path": "/db/sales/t"}), HTTPForbidden, NO_ACCESS.format("outsider", "sales")),
    ("unrecognised", dict(kind="compose", body={}), HTTPForbidden, UNRECOGNISED),
]


@pytest.mark.parametrize("query, ini, expected", [
    ("", {}, (DEFAULT_WILDCARD, DEFAULT_SEPARATOR, DEFAULT_NULL_PLACEHOLDER)),
    ("", {"wildcard": "%", "separator": ";", "datadiscovery.null_str": "NIL"}, ("%", ";", "NIL")),
    ("?wildcard=7&nullStr=&separator=|", {"wildcard": "%", "null_str": "x"}, ("7", "|", "")),
])
def test_special_attributes_come_from_query_settings_or_constants(query, ini, expected):
    request = dd_request(body={"path": "/db/sales"}, query=query, settings=settings_for(**ini))
    context = roots.DDURLParserBuilderRoot(request)
    assert (context.wildcard, context.separator, context.null_placeholder) == expected


@pytest.mark.parametrize("name, base, make", [
    ("DBCredentialsRoot", "DataFormatRoot", lambda: credentials_request()),
    ("DDURLParserBuilderRoot", "RootBasic", lambda: dd_request("build", body={"database": "sales"})),
])
def test_initialiser_follows_the_mro_of_a_further_subclass(name, base, make):
    calls = []

    class Audited(getattr(roots, base)):
        def __init__(self, request):
            calls.append(type(self).__name__)
            super().__init__(request)

    class Subclass(getattr(roots, name), Audited):
        pass

    context = Subclass(make())
    assert calls == ["Subclass"]
    assert (context.db_id, context.response_format) == ("sales", "json")


# ------------------------------------------------------------ a method is looked up before its arguments


def logged_lookup(log, name, function):
    return property(lambda obj: (log.append(name), function.__get__(obj))[1])


class LoggedCodes:
    def __getattr__(self, name):
        self.log.append("code")
        return getattr(StatusCodes, name)


class Loud:
    """A value whose str() is logged."""

    def __init__(self, log):
        self.log = log

    def __str__(self):
        self.log.append("str")
        return "loud"


def warning_lookup_then_message(log):
    logger = type("Logger", (), {"warning": logged_lookup(log, "warning", lambda self, message: None)})()
    with mock.patch.object(roots, "log", logger):
        roots.check_apikey_querystring({"apikey_name": "", "appid_name": Loud(log)}, None)


def update_lookup_then_limit_text(log):
    params = type("Params", (dict,), {"update": logged_lookup(log, "update", dict.update)})
    request = mock.Mock(params=mock.Mock(copy=lambda: params(a="1")), path_url="/x")
    roots.RootBasic._get_db_limit_url(None, request, Loud(log))


def get_lookup_then_fallback(log):
    def get(settings):  # rebinds the fallback that Python reads after this lookup
        roots.DEFAULT_WILDCARD = "rebound"
        return lambda key, default: log.append(default) or default
    context = mock.Mock(ini_settings=type("Settings", (dict,), {"get": property(get)})())
    with mock.patch.object(roots, "DEFAULT_WILDCARD", "original"), \
            mock.patch.object(roots, "get_url_param", lambda request, name, preset, kind: preset):
        roots.DDURLParserBuilderRoot._set_special_attributes_from_request(context, None)
    del log[1:]  # the first setting's fallback is the one rebound


def add_status_lookup_then_code(log):
    request = request_for("/db/x.json")
    request.request_status = type("Tracker", (), {"add_status": logged_lookup(log, "add_status", lambda s, c: None)})()
    LoggedCodes.log = log
    with mock.patch.object(roots, "StatusCodes", LoggedCodes()):
        roots.RootBasic(request)


def missing_method_of_a_dict_before_the_code(log):
    request = request_for("/db/x.json")
    request.request_status = {}
    LoggedCodes.log = log
    with mock.patch.object(roots, "StatusCodes", LoggedCodes()), pytest.raises(AttributeError, match="add_status"):
        roots.RootBasic(request)


@pytest.mark.parametrize("run, expected", [
    (warning_lookup_then_message, ["warning", "str"]), (update_lookup_then_limit_text, ["update", "str"]),
    (get_lookup_then_fallback, ["rebound"]), (add_status_lookup_then_code, ["add_status", "code"] * 2),
    (missing_method_of_a_dict_before_the_code, []),
], ids=["log.warning", "params.update", "ini_settings.get", "tracker.add_status", "a tracker that is a dict"])
def test_a_method_is_looked_up_before_its_arguments_are_worked_out(run, expected):
    # The class bodies' own calls are compared with the twin's by the read-order differential test.
    log = []
    run(log)
    assert log == expected


@pytest.mark.parametrize("change", ["replaced", "deleted", "shadowed by the instance", "class reassigned"])
def test_the_method_found_before_its_arguments_is_the_one_called(change):
    # Reading an argument changes what the name would find; the call goes to what was found.
    for run in range(3):  # the later runs through the place's memory of the lookup
        sys._clear_type_cache()
        called, reads = [], []

        def read(obj):
            reads.append(1)
            if run == 2 and len(reads) == 3:  # the argument of check_data_format
                if change == "replaced":
                    cls.check_data_format = lambda self, method, fmt: called.append("replaced")
                elif change == "deleted":
                    del cls.check_data_format
                elif change == "shadowed by the instance":
                    obj.__dict__["check_data_format"] = lambda *args: called.append("instance")
                else:
                    obj.__class__ = type("Other", (roots.DataFormatRoot,), {"response_format": cls.response_format})
            return obj.__dict__.get("response_format", "json")

        cls = type("Checked", (roots.DataFormatRoot,), {
            "check_data_format": lambda self, method, fmt: called.append("found"),
            "response_format": property(read, lambda obj, value: obj.__dict__.__setitem__("response_format", value))})
        cls(request_for("/db/x.json"))
        assert called == ["found"]


# ------------------------------------------------------------ refusals and redirects of every route

# How each route's requests are made; others take request_for's.
MAKERS = {roots.ExecuteQuery: query_request, roots.DataDiscovery: discovery_request,
          roots.DDURLParserBuilderRoot: functools.partial(dd_request, user_id="outsider")}
REFUSALS = LISTING_REFUSALS + [(cls, *row) for cls, table in [
    (roots.ExecuteQuery, QUERY_REFUSALS), (roots.DataDiscovery, DISCOVERY_REFUSALS),
    (roots.DBCredentialsRoot, CREDENTIAL_REFUSALS), (roots.DDURLParserBuilderRoot, DD_REFUSALS)] for row in table]


@pytest.mark.parametrize("cls, name, kw, refusal, explanation", REFUSALS,
                         ids=[f"{row[0].__name__}-{row[1]}" for row in REFUSALS])
def test_refusals_come_in_order(cls, name, kw, refusal, explanation, caplog):
    with caplog.at_level(logging.DEBUG, logger="korvane"):
        refused = refusal_of(cls, MAKERS.get(cls, request_for)(**kw), refusal)
    assert explanation is None or refused.explanation == explanation
    if explanation == UNRECOGNISED:  # logged at debug level
        assert [(r.levelname, r.getMessage()) for r in caplog.records] == [("DEBUG", UNRECOGNISED)]


REDIRECTS = [
    # The row limit redirects before access is checked, and before the database is looked up.
    (roots.ExecuteQuery, dict(tail="/a/b", fmt=".csv?offset=10", settings=LIMITED_SETTINGS, user_id="outsider"),
     HTTPFound, "http://localhost/query/q1/a/b.csv?offset=10&limit=100", None),
    (roots.DataDiscovery, dict(path="/db/nowhere/t.json?a=1", settings=settings_for(**{"db.nowhere.limit": 7})),
     HTTPFound, "http://localhost/db/nowhere/t.json?a=1&limit=7", None),
    # "xsd" is redirected last.
    (roots.ExecuteQuery, dict(tail="/a/b", fmt=".xsd?x=1"), HTTPMovedPermanently, "/query/q1/a/b.xml?x=1&schema",
     XSD_WARNING),
    (roots.DataDiscovery, dict(path="/db/sales/t.xsd"), HTTPMovedPermanently, "/db/sales/t.xml?schema", XSD_WARNING),
]


@pytest.mark.parametrize("cls, kw, redirect_class, location, warning", REDIRECTS)
def test_redirects_carry_location_and_warning(cls, kw, redirect_class, location, warning):
    request = MAKERS[cls](**kw)
    redirect = refusal_of(cls, request, redirect_class)
    assert (redirect.location, redirect.headers.get("Warning")) == (location, warning)
    # The status tracker heard of the request before it was redirected.
    assert request.request_status.metadata["user_id"] == kw.get("user_id", "u1")


# ------------------------------------------------------------ reference-leak scenarios


def _run(make, request, exception=None):
    if hasattr(request, "request_status"):
        request.request_status = QuietTracker()
    return leak_path(make, request, refusal=exception)


_public_refusal = anonymous_discovery({"databases": []})
#: Every path of the tables above, successes, refusals and redirects, and the
#: slash redirect of each route, for the reference-leak run.
LEAK_SCENARIOS = [
    *[(f"{c.__name__}-{name}", _run(c, MAKERS.get(c, request_for)(**kw), e)) for c, name, kw, e, _ in REFUSALS],
    *[(f"{c.__name__}-redirect-{i}", _run(c, MAKERS[c](**kw), e)) for i, (c, kw, e, *_) in enumerate(REDIRECTS)],
    *[(f"{c.__name__}-{u}", _run(c, request_for("/r.json", user_id=u))) for c, u, *_ in LISTINGS if u != "ghost"],
    *[(f"ExecuteQuery-{q}-{u}", _run(roots.ExecuteQuery, query_request(q, user_id=u))) for q, u, _ in QUERY_ACLS],
    *[(f"discovery-{u}-{p}", _run(roots.DataDiscovery, discovery_request(p, user_id=u)))
      for u, p, *_ in DISCOVERY_GRANTS],
    *[(f"DBCredentialsRoot-{u}-{d}{q}", _run(roots.DBCredentialsRoot, credentials_request(u, dbc_id=d, query=q)))
      for u, d, q, _ in CREDENTIAL_ACLS],
    *[(f"DDURLParserBuilderRoot-{kind}", _run(roots.DDURLParserBuilderRoot, dd_request(kind, body, user_id=u)))
      for kind, body, u, *_ in DD_CASES],
    ("segments_substitution", _run(roots.ExecuteQuery(query_request()).segments_substitution, ["a", "b$2F", "c"])),
    ("discovery_public_refused", _run(lambda _: _public_refusal.configure_authorization(), None, HTTPForbidden)),
    *[(f"{c.__name__}-slash-redirect", _run(c, request, HTTPPermanentRedirect)) for c, request in [
        (roots.ExecuteQueryList, request_for("/queries.json", raw_uri="//queries.json")),
        (roots.RequestStatus, request_for("/status.json", raw_uri="/a//status")),
        (roots.DBCredentialsRoot, credentials_request(raw_uri="//dbcredentials/sales")),
        (roots.DDURLParserBuilderRoot, dd_request("build", {"database": "sales"}, raw_uri="/dd//build"))]],
]


@pytest.mark.parametrize("name, scenario", LEAK_SCENARIOS, ids=[name for name, _ in LEAK_SCENARIOS])
def test_leak_scenario_runs(name, scenario):
    scenario()
    scenario()
