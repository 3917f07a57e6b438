"""The data-access routes: the executable query list, stored query
execution, data discovery, request status, stored database credentials and
the data-discovery URL parser and builder."""

import contextlib
import json
import logging
from unittest import mock

import pytest
from pyramid.httpexceptions import HTTPForbidden, HTTPFound, HTTPMethodNotAllowed, HTTPMovedPermanently
from pyramid.httpexceptions import HTTPNotFound, HTTPOk, HTTPPermanentRedirect
from pyramid.security import ALL_PERMISSIONS, DENY_ALL, Allow, Authenticated, Deny, Everyone

import korvane.roots as roots
from korvane import utils
from korvane.config_storage import UserRecord
from korvane.constants import DEFAULT_NULL_PLACEHOLDER, DEFAULT_SEPARATOR, DEFAULT_WILDCARD
from korvane.exceptions import HTTPUnsupportedFormat

from helpers import make_request, make_settings, make_store, permits


class HollowUser(UserRecord):
    """A user record that tests false whatever it holds."""

    def __bool__(self):
        return False


USERS = {
    "admin": {"password": "secret"},
    "public": {"databases": ["open"]},
    "u1": {"databases": ["sales", "open"], "dbcreds": ["view", "create"]},
    "u2": {"databases": ["sales"], "dbcreds": []},
    "maker": {"databases": ["sales"], "dbcreds": ["create"]},
    "outsider": {"databases": ["elsewhere"], "dbcreds": []},
    "runner": {"databases": ["elsewhere"]},
    "blank": {},
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
U1_QUERIES = ["q1", "qoff", "qlost", "qboth"]
CREDENTIALS = {
    "sales": {"c1": {"edit": ["u1"], "view": ["u1"]}, "c2": {"edit": [], "view": ["maker"]}},
    "ghost": {"c1": {"edit": ["u1"], "view": ["u1"]}},
}
XSD_WARNING = "xsd format is deprecated.  Use xml format with 'schema' query string parameter for future requests."
ALLOW_ALL = [(Allow, Everyone, ALL_PERMISSIONS)]


def settings_for(users=USERS, **ini):
    store = make_store(users=users, databases=DATABASES, querydefs=QUERIES, credentials=CREDENTIALS)
    return make_settings(store=store, **ini)


LIMITED_SETTINGS = settings_for(**{"db.sales.limit": 100})


def request_for(url, user_id="u1", settings=None, **kw):
    return make_request(url, settings=settings or settings_for(), user_id=user_id, **kw)


def store_of(context):
    return context.settings["config_storage"]


def access_message(user_id, db_id):
    return f'User "{user_id}" has no access permissions configured for the "{db_id}" database.'


def refusal_of(build, exception):
    with pytest.raises(exception) as raised:
        build()
    return raised.value


# ------------------------------------------------------------ ExecuteQueryList and RequestStatus


@pytest.mark.parametrize("cls", [roots.ExecuteQueryList, roots.RequestStatus])
def test_administrator_gets_the_stores_own_query_mapping(cls):
    request = request_for("/queries.json", user_id="admin")
    context = cls(request)
    assert context.query_configs is store_of(context).querydefs
    assert context.__acl__ == ALLOW_ALL and permits(context, request, "view")


@pytest.mark.parametrize("cls, user_id, queries, opened", [
    ("ExecuteQueryList", "u1", U1_QUERIES, True),
    ("ExecuteQueryList", "u2", [], True),
    # "public" is the public user's own id here, not a marker for everybody.
    ("ExecuteQueryList", "public", ["qpub", "qboth"], True),
    ("ExecuteQueryList", "blank", [], False),
    ("ExecuteQueryList", "ghost", [], False),
    ("RequestStatus", "u1", U1_QUERIES, True),
    # Opened by a database of the store, or by a query, alone.
    ("RequestStatus", "u2", [], True),
    ("RequestStatus", "runner", ["qlost"], True),
    # Never opened to the public user, even by public queries.
    ("RequestStatus", "public", [], False),
    ("RequestStatus", "blank", [], False),
    ("RequestStatus", "ghost", [], False),
])
def test_query_listings_hold_the_queries_naming_the_user_in_store_order(cls, user_id, queries, opened):
    # The server authenticates "ghost", whom the store does not hold.
    ghost = mock.patch("korvane.roots.get_authenticated_user", return_value=("ghost", UserRecord({"a": 1})))
    with ghost if user_id == "ghost" else contextlib.nullcontext():
        request = request_for("/queries.json?$2A=*", user_id=user_id)
        context = getattr(roots, cls)(request)
    store = store_of(context)
    assert list(context.query_configs.items()) == [(q, store.querydefs[q]) for q in queries]
    assert context.authenticated_user_config is store.users.get(user_id)
    assert context.reversed_url_substitution == {"*": "$2A", "/": "$2F", ".": "$2E"}
    assert context.__acl__ == (ALLOW_ALL if opened else [DENY_ALL])
    assert permits(context, request, "view") is opened


def test_request_status_is_not_found_without_database_or_query():
    refused = refusal_of(lambda: roots.RequestStatus(request_for("/status.json", user_id="outsider")), HTTPNotFound)
    assert refused.explanation == HTTPNotFound.explanation


@pytest.mark.parametrize("cls, method, url", [
    ("ExecuteQueryList", "POST", "/queries.json"),
    ("ExecuteQueryList", "GET", "/queries.xml"),
    ("RequestStatus", "GET", "/status.csv"),
    ("DBCredentialsRoot", "PUT", "/dbcredentials/sales.txt"),
    ("DBCredentialsRoot", "PATCH", "/dbcredentials/sales.json"),
])
def test_format_tables_refuse_what_they_do_not_list(cls, method, url):
    with pytest.raises(HTTPUnsupportedFormat):
        getattr(roots, cls)(request_for(url, method=method, matchdict={"db_id": "sales"}))


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


def test_request_without_status_tracker_is_served():
    assert roots.ExecuteQuery(query_request(status_tracker=False)).db_id == "sales"


@pytest.mark.parametrize("segments, expected", [
    (["a", "x$2Fy", "b", "y$2Ez"], ["a", "x/y", "b", "y.z"]),
    (["a", "x$2Fy", "b$2F"], ["a", "x/y", "b$2F"]),
    (["n$2E"], ["n$2E"]),
    ([], []),
    (("t", "u$2Fv"), ["t", "u/v"]),
])
def test_only_parameter_values_are_substituted_into_a_new_list(segments, expected):
    context = roots.ExecuteQuery(query_request())
    result = context.segments_substitution(segments)
    assert result == expected and result is not segments


def not_allowed(query_id, allowed):
    return f'This method is not allowed for query: "{query_id}". Allowed methods: {allowed}.'


QUERY_REFUSALS = [
    # HTML goes to the browser before the query is even looked up.
    ("html", dict(query_id="q9", fmt=".html"), HTTPOk, None),
    ("unknown_query", dict(query_id="q9", method="DELETE"), HTTPNotFound, "Query 'q9' not found."),
    ("unknown_query_any_method", dict(query_id="q9", method="PATCH"), HTTPNotFound, "Query 'q9' not found."),
    ("no_route_match", dict(matchdict=None), HTTPNotFound, "Query 'None' not found."),
    ("empty_route_match", dict(matchdict={}), HTTPNotFound, "Query 'None' not found."),
    ("match_without_query_id", dict(matchdict={"db_id": "sales"}), HTTPNotFound, "Query 'None' not found."),
    ("method_off", dict(method="PUT"), HTTPMethodNotAllowed, not_allowed("q1", '["GET", "POST"]')),
    ("method_false", dict(query_id="qoff"), HTTPMethodNotAllowed, not_allowed("qoff", '["PATCH", "PUT"]')),
    # Enabled for the query, but not one of the route's four methods.
    ("method_not_served", dict(query_id="qoff", method="PATCH"), HTTPMethodNotAllowed,
     not_allowed("qoff", '["PATCH", "PUT"]')),
    ("no_method_on", dict(query_id="qnone"), HTTPMethodNotAllowed, not_allowed("qnone", '[""]')),
    # The method is checked before the query's database and before the format.
    ("method_before_database", dict(query_id="qlost", method="POST"), HTTPMethodNotAllowed,
     not_allowed("qlost", '["GET"]')),
    ("method_before_format", dict(query_id="qoff", fmt=".txt"), HTTPMethodNotAllowed, None),
    ("unsupported_format", dict(method="POST", fmt=".txt"), HTTPUnsupportedFormat, None),
    ("database_missing", dict(query_id="qlost"), HTTPNotFound, "Model/Database 'gone' not found."),
    ("access_refused", dict(user_id="outsider"), HTTPForbidden, access_message("outsider", "sales")),
    # "xsd" is redirected only after authorization and the row limit.
    ("xsd_access_refused", dict(fmt=".xsd", user_id="outsider"), HTTPForbidden, access_message("outsider", "sales")),
    ("xsd_row_limit", dict(fmt=".xsd", settings=LIMITED_SETTINGS), HTTPFound, None),
]


@pytest.mark.parametrize("name, kw, refusal, explanation", QUERY_REFUSALS)
def test_query_refusals_come_in_order(name, kw, refusal, explanation):
    refused = refusal_of(lambda: roots.ExecuteQuery(query_request(**kw)), refusal)
    assert explanation is None or refused.explanation == explanation


def test_method_check_without_a_method_list_uses_the_servers_list():
    context = roots.ExecuteQuery(query_request())
    assert context._validate_http_method("POST") is None
    with mock.patch("korvane.roots.STD_HTTP_METHODS", ("GET",)):
        with pytest.raises(HTTPMethodNotAllowed):
            context._validate_http_method(request_method="POST")
        assert context._validate_http_method("GET", ()) is None
        assert context._validate_http_method("POST", ("POST",)) is None


def test_base_format_check_runs_without_its_extension_test():
    # The extension is lower-cased into the format; the base check with its
    # extension test would not find "JSON" among the supported formats.
    assert roots.ExecuteQuery(query_request(fmt=".JSON")).response_format == "json"
    with mock.patch.object(roots.DataFormatRoot, "check_data_format") as base_check:
        context = roots.ExecuteQuery(query_request())
    base_check.assert_called_once_with(context, "GET", "json", check_ext=False)


@pytest.mark.parametrize("method, url", [("GET", ".json?limit=5"), ("POST", ".json")])
def test_row_limit_spares_explicit_limits_and_other_methods(method, url):
    assert roots.ExecuteQuery(query_request(fmt=url, method=method, settings=LIMITED_SETTINGS)).db_id == "sales"


@pytest.mark.parametrize("query_id, user_id, entry", [
    ("qclosed", "admin", (Allow, "admin", "execute_query")),
    ("qpub", "public", (Allow, Everyone, "execute_query")),
    ("qpub", "u1", (Allow, Everyone, "execute_query")),
    ("qboth", "u1", (Allow, Everyone, "execute_query")),
    ("q1", "u1", (Allow, Authenticated, "execute_query")),
    ("q1", "u2", (Deny, Everyone, "execute_query")),
    ("qpub", "hollow", (Deny, Everyone, "execute_query")),
])
def test_query_acl_has_one_entry_chosen_by_the_first_matching_rule(query_id, user_id, entry):
    request = query_request(query_id, user_id=user_id)
    context = roots.ExecuteQuery(request)
    assert context.__acl__ == [entry]
    assert permits(context, request, "execute_query") is (entry[0] == Allow)


@pytest.mark.parametrize("kw, redirect_class, location, warning", [
    # The row limit redirects before access is checked; "xsd" is redirected last.
    (dict(settings=LIMITED_SETTINGS), HTTPFound, "http://localhost/query/q1/a/b.csv?offset=10&limit=100", None),
    (dict(settings=LIMITED_SETTINGS, user_id="outsider"), HTTPFound,
     "http://localhost/query/q1/a/b.csv?offset=10&limit=100", None),
    (dict(fmt=".xsd?x=1"), HTTPMovedPermanently, "/query/q1/a/b.xml?x=1&schema", XSD_WARNING),
    (dict(fmt=".xsd?x=1", method="POST"), HTTPMovedPermanently, "/query/q1/a/b.xml?x=1&schema", XSD_WARNING),
])
def test_query_redirects_carry_location_and_warning(kw, redirect_class, location, warning):
    request = query_request(tail="/a/b", **{"fmt": ".csv?offset=10", **kw})
    redirect = refusal_of(lambda: roots.ExecuteQuery(request), redirect_class)
    assert (redirect.location, redirect.headers.get("Warning")) == (location, warning)
    # The status tracker heard of the request before it was redirected.
    assert request.request_status.metadata == {"query_id": "q1", "db_id": "sales", "user_id": kw.get("user_id", "u1")}


# ------------------------------------------------------------ DataDiscovery


def discovery_request(path="/db/sales/Customer$2Fx/a.json", user_id="u1", settings=None, **kw):
    kw.setdefault("matchdict", {"other_segments": tuple(s for s in path.split("?")[0].split("/") if s)[1:]})
    return request_for(path, user_id=user_id, settings=settings, **kw)


def test_data_discovery_sets_format_database_and_segments_and_reports_them():
    request = discovery_request()
    context = roots.DataDiscovery(request)
    assert (context.response_format, context.request_format, context.request_extension) == ("json", "json", "json")
    assert context.db_id == "sales" and context.db_config is store_of(context).databases["sales"]
    assert context.url_segments == ["Customer/x", "a.json"]
    assert list(request.request_status.metadata.items()) == [("db_id", "sales"), ("user_id", "u1")]


@pytest.mark.parametrize("cls, segments", [("DataDiscovery", ["Customer$2Fx", "a.json"]),
                                           ("DDURLParserBuilderRoot", ["a", "b"])])
def test_database_model_and_segments_are_passed_to_the_utilities(cls, segments):
    request = discovery_request() if cls == "DataDiscovery" else dd_request(body={"path": "/db/sales/a/b"})
    with mock.patch("korvane.roots.get_model", return_value="model") as get_model, mock.patch(
        "korvane.roots.segments_substitution", return_value=["s"]
    ) as substitute:
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
    ("no_route_match", dict(matchdict=None), TypeError, None),
    ("match_without_segments", dict(matchdict={"db_id": "sales"}), TypeError, None),
    # The server gives every request its tracker; this route relies on it.
    ("no_status_tracker", dict(status_tracker=False), AttributeError, None),
    # Database access is checked before the rules for anonymous callers.
    ("access_refused", dict(user_id="public"), HTTPForbidden, access_message("public", "sales")),
    # "xsd" is redirected only once the caller may have the data.
    ("xsd_access_refused", dict(path="/db/sales/t.xsd", user_id="outsider"), HTTPForbidden,
     access_message("outsider", "sales")),
]


@pytest.mark.parametrize("name, kw, refusal, explanation", DISCOVERY_REFUSALS)
def test_discovery_refusals_come_in_order(name, kw, refusal, explanation):
    refused = refusal_of(lambda: roots.DataDiscovery(discovery_request(**kw)), refusal)
    assert explanation is None or refused.explanation == explanation


def test_row_limit_redirect_comes_before_the_database_lookup():
    request = discovery_request("/db/nowhere/t.json?a=1", settings=settings_for(**{"db.nowhere.limit": 7}))
    redirect = refusal_of(lambda: roots.DataDiscovery(request), HTTPFound)
    location = "http://localhost/db/nowhere/t.json?a=1&limit=7"
    assert (redirect.location, redirect.headers.get("Warning")) == (location, None)


# Without a format table of its own, any format but HTML passes.
@pytest.mark.parametrize("user_id, url, principal", [
    ("u1", "/db/sales/t.txt", Authenticated), ("admin", "/db/sales/t.pdf", Authenticated),
    ("admin", "/db/open/t", Authenticated), ("public", "/db/open/t.csv", Everyone)])
def test_discovery_grants_authenticated_to_users_and_to_anybody_on_public_databases(user_id, url, principal):
    request = discovery_request(url, user_id=user_id)
    context = roots.DataDiscovery(request)
    assert context.__acl__ == [(Allow, principal, "authenticated")]
    assert permits(context, request, "authenticated")
    anonymous = discovery_request(url, user_id="public")
    assert permits(context, anonymous, "authenticated") is (principal == Everyone)


def anonymous_discovery(public, message="Only for members."):
    """An anonymous caller's context for the open database, whose store then
    holds `public` (None: nothing) as the public user.  The caller's own
    record, read before, still passes the database check."""
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
    refused = refusal_of(anonymous_discovery(public, message).configure_authorization, refusal)
    assert refusal is KeyError or refused.explanation == message


def test_data_discovery_redirects_xsd_after_authorization():
    redirect = refusal_of(lambda: roots.DataDiscovery(discovery_request("/db/sales/t.xsd")), HTTPMovedPermanently)
    assert (redirect.location, redirect.headers.get("Warning")) == ("/db/sales/t.xml?schema", XSD_WARNING)


# ------------------------------------------------------------ DBCredentialsRoot

CREDENTIAL_PERMISSIONS = [f"{action}_dbcredentials" for action in ("view", "list", "create", "delete", "update")]
LISTING = (Allow, Everyone, ["list_dbcredentials"])
CREATING = (Allow, Everyone, ["create_dbcredentials"])
EDITING = (Allow, Everyone, ["view_dbcredentials", "update_dbcredentials", "delete_dbcredentials"])
VIEWING = (Allow, Everyone, ["view_dbcredentials"])


def credentials_request(user_id="u1", db_id="sales", dbc_id="c1", query="", **kw):
    matchdict = {"db_id": db_id, "dbc_id": dbc_id} if dbc_id else {"db_id": db_id}
    return request_for(f"/dbcredentials/{db_id}.json{query}", user_id=user_id, matchdict=matchdict, **kw)


@pytest.mark.parametrize("user_id, db_id, dbc_id, query, acl, allowed", [
    ("admin", "sales", "c2", "", [(Allow, "admin", CREDENTIAL_PERMISSIONS)], CREDENTIAL_PERMISSIONS),
    # No listing right: the creating right is not even examined.
    ("maker", "sales", "c2", "", [], []),
    ("maker", "sales", "c2", "?guidata", [], []),
    ("maker", "sales", "c2", "?guidata=&guiassign=0", [LISTING, CREATING, VIEWING],
     ["view_dbcredentials", "list_dbcredentials", "create_dbcredentials"]),
    ("u1", "sales", "c1", "", [LISTING, CREATING, EDITING, VIEWING], CREDENTIAL_PERMISSIONS),
    ("u1", "sales", "c2", "", [LISTING, CREATING], ["list_dbcredentials", "create_dbcredentials"]),
    ("u1", "sales", None, "", [LISTING, CREATING], ["list_dbcredentials", "create_dbcredentials"]),
    ("u1", "open", "c1", "", [LISTING, CREATING], ["list_dbcredentials", "create_dbcredentials"]),
    ("u2", "sales", "c1", "?guiassign&guidata", [LISTING], ["list_dbcredentials"]),
])
def test_credential_acl_follows_the_users_rights_and_the_entrys_lists(user_id, db_id, dbc_id, query, acl, allowed):
    request = credentials_request(user_id=user_id, db_id=db_id, dbc_id=dbc_id, query=query)
    context = roots.DBCredentialsRoot(request)
    assert context.__acl__ == acl
    assert context.is_admin is (user_id == "admin")
    assert [p for p in CREDENTIAL_PERMISSIONS if permits(context, request, p)] == allowed


def test_credential_properties_follow_the_store_on_every_read():
    context = roots.DBCredentialsRoot(credentials_request())
    store = store_of(context)
    assert context.db_config is store.databases["sales"]
    assert context.dbc_config is store.get_credentials("sales")
    entry = store.get_credentials("sales").credentials["c1"]
    with mock.patch.object(store, "get_credentials", wraps=store.get_credentials) as get_credentials:
        assert context.db_credentials is entry
    assert get_credentials.call_count == 2  # the container is read again for the entry
    context.dbc_id = "c9"
    assert context.db_credentials is None
    context.db_id = "open"
    assert context.db_config is not None and (context.dbc_config, context.db_credentials) == (None, None)
    context.db_id = "ghost"
    assert (context.db_config, context.dbc_config, context.db_credentials) == (None, None, None)
    store.databases["ghost"] = store.databases["open"]
    assert context.dbc_config is store.get_credentials("ghost")


def test_each_context_gets_its_own_permission_lists():
    first = roots.DBCredentialsRoot(credentials_request(user_id="admin"))
    second = roots.DBCredentialsRoot(credentials_request(user_id="admin"))
    first.__acl__[0][2].append("anything")
    assert second.__acl__ == [(Allow, "admin", CREDENTIAL_PERMISSIONS)]


def test_credentials_route_without_a_match_fails_reading_it():
    with pytest.raises(AttributeError):
        roots.DBCredentialsRoot(request_for("/dbcredentials.json", matchdict=None))


# ------------------------------------------------------------ DDURLParserBuilderRoot


def dd_request(kind="parse", body=None, user_id="u1", query="", **kw):
    return request_for(f"/dd/{kind}{query}", user_id=user_id, method="POST", json_body=body, **kw)


@pytest.mark.parametrize("kind, body, user_id, path, db_id, segments", [
    ("parse", {"path": "/db/sales/orders$2F1"}, "u1", "/db/sales/orders$2F1", "sales", ["orders/1"]),
    # Substring tests, "parse" first.
    ("parse/build", {"path": "/db/open/t"}, "public", "/db/open/t", "open", ["t"]),
    ("build/parse", {"path": "/db/open/t"}, "u1", "/db/open/t", "open", ["t"]),
    ("reparsed.csv", {"path": "/db/open/t"}, "u1", "/db/open/t", "open", ["t"]),
    ("build.xml", {"database": "open", "path": "/db/sales/x"}, "admin", None, "open", ["open"]),
])
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


DD_REFUSALS = [
    # The database is looked up before access is checked.
    ("build_without_database", dict(kind="build", body={"path": "/db/sales"}), HTTPNotFound, db_not_found(None)),
    ("build_unknown_database", dict(kind="build", body={"database": "nowhere"}), HTTPNotFound, db_not_found("nowhere")),
    ("parse_unknown_database", dict(body={"path": "/db/nowhere/t"}), HTTPNotFound, db_not_found("nowhere")),
    # Bodies and paths that name no database are answered like the build
    # request without one, not with a server error.
    ("path_too_short", dict(body={"path": "/db"}), HTTPNotFound, db_not_found(None)),
    ("no_path", dict(body={}), HTTPNotFound, db_not_found(None)),
    ("array_body", dict(body=["/db/sales"]), HTTPNotFound, db_not_found(None)),
    ("string_body", dict(kind="build", body="sales"), HTTPNotFound, db_not_found(None)),
    ("number_body", dict(kind="build", body=5), HTTPNotFound, db_not_found(None)),
    ("no_body", dict(kind="build", user_id="u1"), json.JSONDecodeError, None),
    ("access_refused", dict(body={"path": "/db/sales/t"}), HTTPForbidden, access_message("outsider", "sales")),
    ("public_access_refused", dict(body={"path": "/db/sales"}, user_id="public"), HTTPForbidden,
     access_message("public", "sales")),
    ("unrecognised", dict(kind="compose", body={}), HTTPForbidden, "Unrecognized Data Discovery url method"),
]


@pytest.mark.parametrize("name, kw, refusal, explanation", DD_REFUSALS)
def test_dd_refusals_come_in_order(name, kw, refusal, explanation):
    refused = refusal_of(lambda: roots.DDURLParserBuilderRoot(dd_request(**{"user_id": "outsider", **kw})), refusal)
    assert explanation is None or refused.explanation == explanation


def test_unrecognised_dd_method_is_logged_at_debug_level(caplog):
    with caplog.at_level(logging.DEBUG, logger="korvane"), pytest.raises(HTTPForbidden):
        roots.DDURLParserBuilderRoot(dd_request("compose", body={}))
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("DEBUG", "Unrecognized Data Discovery url method")
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


def test_special_attributes_are_read_as_text_in_order():
    context = roots.DDURLParserBuilderRoot(dd_request(body={"path": "/db/sales"}))
    with mock.patch("korvane.roots.get_url_param", side_effect=lambda *args: args) as get_url_param:
        assert context._set_special_attributes_from_request(request=context.request) is None
    expected = [(context.request, "wildcard", DEFAULT_WILDCARD, str),
                (context.request, "separator", DEFAULT_SEPARATOR, str),
                (context.request, "nullStr", DEFAULT_NULL_PLACEHOLDER, str)]
    assert [c.args for c in get_url_param.call_args_list] == expected
    assert [context.wildcard, context.separator, context.null_placeholder] == expected


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


# ------------------------------------------------------------ reference-leak scenarios


class QuietTracker:
    """A status tracker that keeps nothing, so repeated runs stay the same size."""

    add_status = update_metadata = staticmethod(lambda value: None)


def _leak_scenarios():
    def run(make, request, exception=()):
        if hasattr(request, "request_status"):
            request.request_status = QuietTracker()

        def scenario():
            try:
                make(request)
            except exception:
                return
            assert exception == (), f"{exception.__name__} not raised"

        return scenario

    def refusals(prefix, cls, build, table, **defaults):
        return [(prefix + name, run(cls, build(**{**defaults, **kw}), refusal)) for name, kw, refusal, _ in table]

    public_refusal = anonymous_discovery({"databases": []})
    substituting = roots.ExecuteQuery(query_request()).segments_substitution
    lists, query, discover = roots.ExecuteQueryList, roots.ExecuteQuery, roots.DataDiscovery
    status, creds, dd_root = roots.RequestStatus, roots.DBCredentialsRoot, roots.DDURLParserBuilderRoot
    slashed = HTTPPermanentRedirect
    return [
        ("query_list", run(lists, request_for("/queries.json"))),
        ("query_list_admin", run(lists, request_for("/queries.json", user_id="admin"))),
        ("query_list_unsupported", run(lists, request_for("/queries.xml"), HTTPUnsupportedFormat)),
        ("query_list_slash_redirect", run(lists, request_for("/queries.json", raw_uri="//queries.json"), slashed)),
        ("execute_query", run(query, query_request(tail="/a/x$2Fy"))),
        ("execute_public_query", run(query, query_request("qpub", user_id="public"))),
        ("segments_substitution", run(substituting, ["a", "b$2F", "c"])),
        ("query_row_limit", run(query, query_request(settings=LIMITED_SETTINGS), HTTPFound)),
        ("query_xsd_redirect", run(query, query_request(fmt=".xsd"), HTTPMovedPermanently)),
        *refusals("query_", query, query_request, QUERY_REFUSALS),
        ("data_discovery", run(discover, discovery_request())),
        ("data_discovery_public", run(discover, discovery_request("/db/open/t.json", user_id="public"))),
        ("discovery_row_limit", run(discover, discovery_request(settings=LIMITED_SETTINGS), HTTPFound)),
        ("discovery_xsd_redirect", run(discover, discovery_request("/db/sales/t.xsd"), HTTPMovedPermanently)),
        ("discovery_public_refused", run(lambda _: public_refusal.configure_authorization(), None, HTTPForbidden)),
        *refusals("discovery_", discover, discovery_request, DISCOVERY_REFUSALS),
        ("request_status", run(status, request_for("/status.json"))),
        ("request_status_admin", run(status, request_for("/status.json", user_id="admin"))),
        ("request_status_not_found", run(status, request_for("/status.json", user_id="outsider"), HTTPNotFound)),
        ("request_status_slash_redirect", run(status, request_for("/status.json", raw_uri="/a//status"), slashed)),
        ("credentials", run(creds, credentials_request())),
        ("credentials_admin", run(creds, credentials_request("admin"))),
        ("credentials_gui", run(creds, credentials_request("maker", dbc_id="c2", query="?guidata&guiassign"))),
        ("credentials_no_listing", run(creds, credentials_request("maker"))),
        ("credentials_slash_redirect", run(creds, credentials_request(raw_uri="//dbcredentials/sales"), slashed)),
        ("dd_parse", run(dd_root, dd_request(body={"path": "/db/sales/a/b"}))),
        ("dd_build", run(dd_root, dd_request("build", {"database": "sales"}))),
        ("dd_slash_redirect", run(dd_root, dd_request("build", {"database": "sales"}, raw_uri="/dd//build"), slashed)),
        *refusals("dd_", dd_root, dd_request, DD_REFUSALS, user_id="outsider"),
    ]


LEAK_SCENARIOS = _leak_scenarios()


@pytest.mark.parametrize("name, scenario", LEAK_SCENARIOS, ids=[name for name, _ in LEAK_SCENARIOS])
def test_leak_scenario_runs(name, scenario):
    scenario()
    scenario()
