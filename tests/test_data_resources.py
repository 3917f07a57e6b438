"""The data-access routes: the executable query list, stored query
execution, data discovery, request status, stored database credentials and
the data-discovery URL parser and builder."""

import logging
from unittest import mock

import pytest
from pyramid.httpexceptions import (
    HTTPForbidden,
    HTTPFound,
    HTTPMethodNotAllowed,
    HTTPMovedPermanently,
    HTTPNotFound,
    HTTPOk,
)
from pyramid.security import ALL_PERMISSIONS, DENY_ALL, Allow, Authenticated, Deny, Everyone

import korvane.roots as roots
from korvane import utils
from korvane.config_storage import UserRecord
from korvane.constants import DEFAULT_NULL_PLACEHOLDER, DEFAULT_SEPARATOR, DEFAULT_WILDCARD
from korvane.exceptions import HTTPUnsupportedFormat

from helpers import make_request, make_settings, make_store, permits

USERS = {
    "admin": {"password": "secret"},
    "public": {"databases": ["open"]},
    "u1": {"databases": ["sales", "open"], "dbcreds": ["view", "create"]},
    "u2": {"databases": ["sales"], "dbcreds": []},
    "maker": {"databases": ["sales"], "dbcreds": ["create"]},
    "outsider": {"databases": ["elsewhere"], "dbcreds": []},
}
DATABASES = {"sales": {"read": ["u1"]}, "open": {}}
QUERIES = {
    "q1": {"database": "sales", "execute": ["u1"], "http_methods": {"GET": True, "POST": True}},
    "qpub": {"database": "open", "execute": ["public"], "http_methods": {"GET": True}},
    "qoff": {"database": "sales", "execute": ["u1"], "http_methods": {"PATCH": True, "GET": False, "PUT": 1}},
    "qnone": {"database": "sales", "execute": [], "http_methods": {}},
    "qclosed": {"database": "sales", "execute": [], "http_methods": {"GET": True}},
    "qlost": {"database": "gone", "execute": ["u1"], "http_methods": {"GET": True}},
}
CREDENTIALS = {
    "sales": {
        "c1": {"edit": ["u1"], "view": ["u1"]},
        "c2": {"edit": [], "view": ["maker"]},
    },
    "ghost": {"c1": {"edit": ["u1"], "view": ["u1"]}},
}


def settings_for(users=USERS, querydefs=QUERIES, **ini):
    store = make_store(users=users, databases=DATABASES, querydefs=querydefs, credentials=CREDENTIALS)
    return make_settings(store=store, **ini)


def request_for(url, user_id="u1", settings=None, **kw):
    return make_request(url, settings=settings or settings_for(), user_id=user_id, **kw)


def store_of(context):
    return context.settings["config_storage"]


def access_message(user_id, db_id):
    return f'User "{user_id}" has no access permissions configured for the "{db_id}" database.'


XSD_WARNING = "xsd format is deprecated.  Use xml format with 'schema' query string parameter for future requests."
ALLOW_ALL = [(Allow, Everyone, ALL_PERMISSIONS)]


def ghost_user(record=None):
    """Makes the request's user one that the store does not hold."""
    return mock.patch("korvane.roots.get_authenticated_user", return_value=("ghost", record or UserRecord({"a": 1})))


# ------------------------------------------------------------ ExecuteQueryList


def test_query_list_gives_the_administrator_the_stores_own_mapping():
    request = request_for("/queries.json", user_id="admin")
    context = roots.ExecuteQueryList(request)
    assert context.query_configs is store_of(context).querydefs
    assert context.__acl__ == ALLOW_ALL
    assert permits(context, request, "view")


def test_query_list_holds_the_queries_naming_the_user_in_store_order():
    context = roots.ExecuteQueryList(request_for("/queries.json"))
    querydefs = store_of(context).querydefs
    assert list(context.query_configs.items()) == [(q, querydefs[q]) for q in ("q1", "qoff", "qlost")]
    assert context.authenticated_user_config is store_of(context).users["u1"]
    assert context.__acl__ == ALLOW_ALL


@pytest.mark.parametrize("user_id, queries", [("u2", []), ("public", ["qpub"])])
def test_query_list_counts_the_public_marker_only_for_the_public_user(user_id, queries):
    context = roots.ExecuteQueryList(request_for("/queries", user_id=user_id))
    assert list(context.query_configs) == queries
    assert context.__acl__ == ALLOW_ALL


def test_query_list_closes_for_a_user_the_store_does_not_hold():
    with ghost_user():
        request = request_for("/queries.json")
        context = roots.ExecuteQueryList(request)
    assert context.authenticated_user_config is None
    assert context.query_configs == {}
    assert context.__acl__ == [DENY_ALL]
    assert not permits(context, request, "view")


def test_query_list_builds_the_reversed_substitution_table_from_the_query():
    context = roots.ExecuteQueryList(request_for("/queries.json?$2A=*"))
    assert context.reversed_url_substitution == {"*": "$2A", "/": "$2F", ".": "$2E"}


@pytest.mark.parametrize("method, url", [("POST", "/queries.json"), ("GET", "/queries.xml")])
def test_query_list_serves_only_html_and_json_on_get(method, url):
    with pytest.raises(HTTPUnsupportedFormat):
        roots.ExecuteQueryList(request_for(url, method=method))


# ------------------------------------------------------------ ExecuteQuery


def query_request(query_id="q1", tail="", fmt=".json", method="GET", user_id="u1", settings=None, **kw):
    matchdict = kw.pop("matchdict", {"query_id": query_id})
    return request_for(f"/query/{query_id}{tail}{fmt}", user_id=user_id, method=method, settings=settings,
                       matchdict=matchdict, **kw)


def test_executing_a_query_sets_what_the_views_read():
    request = query_request(tail="/a/x$2Fy/b")
    context = roots.ExecuteQuery(request)
    store = store_of(context)
    assert (context.query_id, context.query_config) == ("q1", store.querydefs["q1"])
    assert context.query_config is store.querydefs["q1"]
    assert (context.db_id, context.db_config) == ("sales", store.databases["sales"])
    assert context.substitution_params == utils.get_url_substitution_params(request.params)
    assert context.reversed_url_substitution == {"/": "$2F", ".": "$2E"}
    assert context.url_segments == ["a", "x/y", "b.json"]
    assert context.__acl__ == [(Allow, Authenticated, "execute_query")]
    assert permits(context, request, "execute_query")


@pytest.mark.parametrize(
    "segments, expected",
    [
        (["a", "x$2Fy", "b", "y$2Ez"], ["a", "x/y", "b", "y.z"]),
        (["a", "x$2Fy", "b$2F"], ["a", "x/y", "b$2F"]),
        (["n$2E"], ["n$2E"]),
        ([], []),
        (("t", "u$2Fv"), ["t", "u/v"]),
    ],
)
def test_only_parameter_values_are_substituted_into_a_new_list(segments, expected):
    context = roots.ExecuteQuery(query_request())
    result = context.segments_substitution(segments)
    assert result == expected and result is not segments
    assert context.segments_substitution(segments=list(segments)) == expected


def test_html_is_handed_to_the_browser_before_the_query_is_looked_up():
    with pytest.raises(HTTPOk):
        roots.ExecuteQuery(query_request("q9", fmt=".html"))


@pytest.mark.parametrize("method", ["GET", "DELETE", "PATCH"])
def test_unknown_query_is_not_found_whatever_the_method(method):
    with pytest.raises(HTTPNotFound) as refused:
        roots.ExecuteQuery(query_request("q9", method=method))
    assert refused.value.explanation == "Query 'q9' not found."


@pytest.mark.parametrize("matchdict", [None, {}, {"db_id": "sales"}])
def test_route_without_query_id_looks_up_none(matchdict):
    with pytest.raises(HTTPNotFound) as refused:
        roots.ExecuteQuery(query_request(matchdict=matchdict))
    assert refused.value.explanation == "Query 'None' not found."


@pytest.mark.parametrize(
    "query_id, method, allowed",
    [
        ("q1", "PUT", '["GET", "POST"]'),
        ("qoff", "GET", '["PATCH", "PUT"]'),
        ("qoff", "PATCH", '["PATCH", "PUT"]'),
        ("qnone", "GET", '[""]'),
        ("qlost", "POST", '["GET"]'),
    ],
)
def test_method_not_enabled_for_the_query_is_refused_before_its_database(query_id, method, allowed):
    with pytest.raises(HTTPMethodNotAllowed) as refused:
        roots.ExecuteQuery(query_request(query_id, method=method))
    expected = f'This method is not allowed for query: "{query_id}". Allowed methods: {allowed}.'
    assert refused.value.explanation == expected


def test_enabled_method_outside_the_four_served_by_the_route_is_refused():
    context = roots.ExecuteQuery(query_request())
    context.query_config = store_of(context).querydefs["qoff"]
    with pytest.raises(HTTPMethodNotAllowed):
        context._validate_http_method("PATCH", ["GET", "POST", "PUT", "DELETE"])
    assert context._validate_http_method("PUT", ("PUT",)) is None


def test_method_check_without_a_method_list_uses_the_servers_list():
    context = roots.ExecuteQuery(query_request())
    assert context._validate_http_method("POST") is None
    with mock.patch("korvane.roots.STD_HTTP_METHODS", ("GET",)):
        with pytest.raises(HTTPMethodNotAllowed):
            context._validate_http_method(request_method="POST")
        assert context._validate_http_method("GET", ()) is None


def test_querys_database_must_be_configured():
    with pytest.raises(HTTPNotFound) as refused:
        roots.ExecuteQuery(query_request("qlost"))
    assert refused.value.explanation == "Model/Database 'gone' not found."


@pytest.mark.parametrize("method, url", [("GET", ".txt"), ("POST", ".txt"), ("DELETE", "?format=yaml")])
def test_format_is_checked_after_the_method(method, url):
    querydefs = dict(QUERIES, q1=dict(QUERIES["q1"], http_methods={m: True for m in ("GET", "POST", "DELETE")}))
    settings = settings_for(querydefs=querydefs)
    with pytest.raises(HTTPUnsupportedFormat):
        roots.ExecuteQuery(query_request(fmt=url, method=method, settings=settings))
    with pytest.raises(HTTPMethodNotAllowed):
        roots.ExecuteQuery(query_request("qoff", fmt=url, method=method, settings=settings))


def test_base_format_check_runs_without_its_extension_test():
    # The extension is lower-cased into the format; the base check with its
    # extension test would not find "JSON" among the supported formats.
    assert roots.ExecuteQuery(query_request(fmt=".JSON")).response_format == "json"
    with mock.patch.object(roots.DataFormatRoot, "check_data_format") as base_check:
        context = roots.ExecuteQuery(query_request())
    base_check.assert_called_once_with(context, "GET", "json", check_ext=False)


def test_check_data_format_takes_no_check_ext():
    context = roots.ExecuteQuery(query_request())
    with pytest.raises(TypeError, match=r"exactly 3 positional arguments \(4 given\)"):
        context.check_data_format("GET", "json", False)
    assert context.check_data_format("GET", "json") is None


def test_status_tracker_gets_query_database_and_user():
    request = query_request()
    roots.ExecuteQuery(request)
    assert list(request.request_status.metadata.items()) == [("query_id", "q1"), ("db_id", "sales"), ("user_id", "u1")]


def test_request_without_status_tracker_is_served():
    assert roots.ExecuteQuery(query_request(status_tracker=False)).db_id == "sales"


LIMITED = {"db.sales.limit": 100}


@pytest.mark.parametrize("user_id", ["u1", "outsider"])
def test_row_limit_redirect_comes_before_authorization(user_id):
    request = query_request(tail="/a/b", fmt=".csv?offset=10", user_id=user_id, settings=settings_for(**LIMITED))
    with pytest.raises(HTTPFound) as redirect:
        roots.ExecuteQuery(request)
    assert redirect.value.location == "http://localhost/query/q1/a/b.csv?offset=10&limit=100"
    assert "Warning" not in redirect.value.headers
    assert request.request_status.metadata["query_id"] == "q1"


@pytest.mark.parametrize("method, url", [("GET", ".json?limit=5"), ("POST", ".json")])
def test_row_limit_spares_explicit_limits_and_other_methods(method, url):
    context = roots.ExecuteQuery(query_request(fmt=url, method=method, settings=settings_for(**LIMITED)))
    assert context.db_id == "sales"


def test_user_without_access_to_the_database_is_refused():
    with pytest.raises(HTTPForbidden) as refused:
        roots.ExecuteQuery(query_request(user_id="outsider"))
    assert refused.value.explanation == access_message("outsider", "sales")


@pytest.mark.parametrize(
    "query_id, user_id, entry, granted",
    [
        ("qclosed", "admin", (Allow, "admin", "execute_query"), True),
        ("qpub", "public", (Allow, Everyone, "execute_query"), True),
        ("qpub", "u1", (Allow, Everyone, "execute_query"), True),
        ("q1", "u1", (Allow, Authenticated, "execute_query"), True),
        ("q1", "u2", (Deny, Everyone, "execute_query"), False),
    ],
)
def test_query_acl_has_one_entry_chosen_by_the_first_matching_rule(query_id, user_id, entry, granted):
    request = query_request(query_id, user_id=user_id)
    context = roots.ExecuteQuery(request)
    assert context.__acl__ == [entry]
    assert permits(context, request, "execute_query") is granted


def test_public_marker_wins_over_the_users_own_name():
    querydefs = dict(QUERIES, qboth=dict(QUERIES["q1"], execute=["u1", "public"]))
    request = query_request("qboth", settings=settings_for(querydefs=querydefs))
    context = roots.ExecuteQuery(request)
    assert context.__acl__ == [(Allow, Everyone, "execute_query")]


class NoDatabaseCheck(roots.ExecuteQuery):
    def _check_db_access_permissions(self):
        pass


def test_false_user_configuration_is_denied_even_a_public_query():
    users = dict(USERS, blank={})
    request = query_request("qpub", user_id="blank", settings=settings_for(users=users))
    context = NoDatabaseCheck(request)
    assert context.__acl__ == [(Deny, Everyone, "execute_query")]
    assert not permits(context, request, "execute_query")


def test_authorization_is_configured_afresh_on_each_call():
    context = roots.ExecuteQuery(query_request())
    first = context.__acl__
    context.configure_authorization()
    assert context.__acl__ == first and context.__acl__ is not first


@pytest.mark.parametrize("method", ["GET", "POST"])
def test_xsd_is_redirected_last_with_a_warning_header(method):
    request = query_request(tail="/a/b", fmt=".xsd?x=1", method=method)
    with pytest.raises(HTTPMovedPermanently) as redirect:
        roots.ExecuteQuery(request)
    assert redirect.value.location == "/query/q1/a/b.xml?x=1&schema"
    assert redirect.value.headers["Warning"] == XSD_WARNING
    assert request.request_status.metadata == {"query_id": "q1", "db_id": "sales", "user_id": "u1"}


@pytest.mark.parametrize(
    "user_id, settings, refusal",
    [("outsider", None, HTTPForbidden), ("u1", LIMITED, HTTPFound)],
)
def test_xsd_redirect_waits_for_authorization_and_the_row_limit(user_id, settings, refusal):
    with pytest.raises(refusal):
        roots.ExecuteQuery(query_request(fmt=".xsd", user_id=user_id, settings=settings_for(**(settings or {}))))


# ------------------------------------------------------------ DataDiscovery


def discovery_request(path="/db/sales/Customer$2Fx/a.json", user_id="u1", settings=None, **kw):
    segments = [s for s in path.split("/") if s][1:]
    kw.setdefault("matchdict", {"other_segments": tuple(segments)})
    return request_for(path, user_id=user_id, settings=settings, **kw)


def test_data_discovery_sets_format_database_segments_and_acl():
    request = discovery_request()
    context = roots.DataDiscovery(request)
    store = store_of(context)
    assert (context.response_format, context.request_format, context.request_extension) == ("json", "json", "json")
    assert context.db_id == "sales" and context.db_config is store.databases["sales"]
    assert context.url_segments == ["Customer/x", "a.json"]
    assert context.__acl__ == [(Allow, Authenticated, "authenticated")]
    assert permits(context, request, "authenticated")
    assert list(request.request_status.metadata.items()) == [("db_id", "sales"), ("user_id", "u1")]


def test_data_discovery_passes_model_and_segments_to_the_utilities():
    request = discovery_request()
    with mock.patch("korvane.roots.get_model", return_value="model") as get_model, mock.patch(
        "korvane.roots.segments_substitution", return_value=["s"]
    ) as substitute:
        context = roots.DataDiscovery(request)
    databases = store_of(context).databases
    get_model.assert_called_once_with(databases, "sales", retry=request)
    substitute.assert_called_once_with(["Customer$2Fx", "a.json"], request.params, "model", request.charset)
    assert context.url_segments == ["s"]


@pytest.mark.parametrize("url", ["/db/sales/t.txt", "/db/sales/t.pdf", "/db/sales/t"])
def test_data_discovery_has_no_format_table(url):
    assert roots.DataDiscovery(discovery_request(url)).db_id == "sales"


def test_html_is_handed_to_the_browser_before_any_database_lookup():
    with pytest.raises(HTTPOk):
        roots.DataDiscovery(discovery_request("/db/nowhere/t.html"))
    with pytest.raises(HTTPOk):
        roots.DataDiscovery(discovery_request("/db/nowhere/t.html", matchdict=None))


def test_unknown_database_is_not_found_without_explanation():
    with pytest.raises(HTTPNotFound) as refused:
        roots.DataDiscovery(discovery_request("/db/nowhere/t.json"))
    assert refused.value.explanation == HTTPNotFound.explanation


@pytest.mark.parametrize("matchdict", [None, {}, {"other_segments": ()}])
def test_route_without_a_database_segment_is_not_found(matchdict):
    request = discovery_request(matchdict=matchdict)
    with pytest.raises(HTTPNotFound) as refused:
        roots.DataDiscovery(request)
    assert refused.value.explanation == HTTPNotFound.explanation
    assert request.request_status.metadata == {"db_id": None, "user_id": "u1"}


def test_row_limit_redirect_comes_before_the_database_lookup():
    settings = settings_for(**{"db.nowhere.limit": 7})
    with pytest.raises(HTTPFound) as redirect:
        roots.DataDiscovery(discovery_request("/db/nowhere/t.json?a=1", settings=settings))
    assert redirect.value.location == "http://localhost/db/nowhere/t.json?a=1&limit=7"


def test_data_discovery_without_status_tracker_skips_the_report():
    assert roots.DataDiscovery(discovery_request(status_tracker=False)).db_id == "sales"


@pytest.mark.parametrize("db_id", ["sales", "open"])
def test_administrator_discovers_any_configured_database(db_id):
    request = discovery_request(f"/db/{db_id}/t.csv", user_id="admin")
    context = roots.DataDiscovery(request)
    assert context.__acl__ == [(Allow, Authenticated, "authenticated")]
    assert permits(context, request, "authenticated")
    assert not permits(context, discovery_request(f"/db/{db_id}/t.csv", user_id="public"), "authenticated")


def test_anonymous_caller_reaches_a_database_open_to_the_public_user():
    request = discovery_request("/db/open/t.json", user_id="public")
    context = roots.DataDiscovery(request)
    assert context.__acl__ == [(Allow, Everyone, "authenticated")]
    assert permits(context, request, "authenticated")


@pytest.mark.parametrize("user_id, db_id", [("public", "sales"), ("outsider", "sales"), ("u2", "open")])
def test_database_access_is_checked_before_the_public_rules(user_id, db_id):
    with pytest.raises(HTTPForbidden) as refused:
        roots.DataDiscovery(discovery_request(f"/db/{db_id}/t.json", user_id=user_id))
    assert refused.value.explanation == access_message(user_id, db_id)


NO_PUBLIC_USER = object()


class FalseRecord(dict):
    def __bool__(self):
        return False


class OpenDiscovery(roots.DataDiscovery):
    """Data discovery whose database check lets everybody through, to reach
    the rules for anonymous callers on their own."""

    def _check_db_access_permissions(self):
        pass


@pytest.mark.parametrize(
    "public, message",
    [
        (NO_PUBLIC_USER, "Only for members."),
        ({"databases": ["sales"]}, "Only for members."),
        (FalseRecord(databases=["open"]), "Only for members."),
        ({"databases": ["sales"]}, None),
    ],
)
def test_anonymous_refusal_carries_the_configured_text(public, message):
    users = {"admin": USERS["admin"], "public": {"databases": ["open"]}}
    settings = settings_for(users=users, krv={"access_denied_msg": message} if message else None)
    request = discovery_request("/db/open/t.json", user_id="public", settings=settings)
    store = settings["krv_settings"]["config_storage"]
    context = OpenDiscovery(request)
    if public is NO_PUBLIC_USER:
        del store.users["public"]
    else:
        store.users["public"] = public
    with pytest.raises(HTTPForbidden) as refused:
        context.configure_authorization()
    assert refused.value.explanation == message


def test_public_user_without_databases_entry_fails_before_its_truth_is_tested():
    request = discovery_request("/db/open/t.json", user_id="public")
    context = OpenDiscovery(request)
    store_of(context).users["public"] = FalseRecord()
    with pytest.raises(KeyError):
        context.configure_authorization()


def test_data_discovery_redirects_xsd_after_authorization():
    request = discovery_request("/db/sales/t.xsd")
    with pytest.raises(HTTPMovedPermanently) as redirect:
        roots.DataDiscovery(request)
    assert redirect.value.location == "/db/sales/t.xml?schema"
    assert redirect.value.headers["Warning"] == XSD_WARNING
    with pytest.raises(HTTPForbidden):
        roots.DataDiscovery(discovery_request("/db/sales/t.xsd", user_id="outsider"))


# ------------------------------------------------------------ RequestStatus


def test_request_status_is_closed_to_the_public_user_even_with_public_queries():
    request = request_for("/status.json", user_id="public")
    context = roots.RequestStatus(request)
    assert context.query_configs == {}
    assert context.__acl__ == [DENY_ALL]
    assert not permits(context, request, "view")


def test_request_status_gives_the_administrator_every_query():
    context = roots.RequestStatus(request_for("/status.json", user_id="admin"))
    assert context.query_configs is store_of(context).querydefs
    assert context.__acl__ == ALLOW_ALL


@pytest.mark.parametrize(
    "user_id, databases, queries",
    [
        ("u1", ["elsewhere"], ["q1", "qoff", "qlost"]),
        ("u1", ["open"], ["q1", "qoff", "qlost"]),
        ("u2", ["elsewhere", "open"], []),
    ],
)
def test_request_status_opens_for_a_database_or_a_query(user_id, databases, queries):
    settings = settings_for(users=dict(USERS, **{user_id: {"databases": databases}}))
    request = request_for("/status", user_id=user_id, settings=settings)
    context = roots.RequestStatus(request)
    assert list(context.query_configs) == queries
    assert context.__acl__ == ALLOW_ALL
    assert permits(context, request, "view")


def test_request_status_is_not_found_without_database_or_query():
    with pytest.raises(HTTPNotFound) as refused:
        roots.RequestStatus(request_for("/status.json", user_id="outsider"))
    assert refused.value.explanation == HTTPNotFound.explanation


def test_request_status_stays_closed_for_a_false_user_record():
    settings = settings_for(users=dict(USERS, blank={}))
    context = roots.RequestStatus(request_for("/status.json", user_id="blank", settings=settings))
    assert context.query_configs == {}
    assert context.__acl__ == [DENY_ALL]


def test_request_status_stays_closed_for_a_user_the_store_does_not_hold():
    with ghost_user():
        context = roots.RequestStatus(request_for("/status.json"))
    assert context.authenticated_user_config is None
    assert context.query_configs == {}
    assert context.__acl__ == [DENY_ALL]


def test_request_status_serves_json_only():
    with pytest.raises(HTTPUnsupportedFormat):
        roots.RequestStatus(request_for("/status.csv"))


# ------------------------------------------------------------ DBCredentialsRoot

CREDENTIAL_PERMISSIONS = [
    "view_dbcredentials",
    "list_dbcredentials",
    "create_dbcredentials",
    "delete_dbcredentials",
    "update_dbcredentials",
]


def credentials_request(user_id="u1", db_id="sales", dbc_id="c1", query="", **kw):
    matchdict = {"db_id": db_id, "dbc_id": dbc_id} if dbc_id else {"db_id": db_id}
    return request_for(f"/dbcredentials/{db_id}.json{query}", user_id=user_id, matchdict=matchdict, **kw)


def granted(context, request):
    return [p for p in CREDENTIAL_PERMISSIONS if permits(context, request, p)]


def test_administrator_gets_one_entry_with_all_five_permissions():
    request = credentials_request(user_id="admin", dbc_id="c2")
    context = roots.DBCredentialsRoot(request)
    assert context.__acl__ == [(Allow, "admin", CREDENTIAL_PERMISSIONS)]
    assert context.is_admin is True
    assert granted(context, request) == CREDENTIAL_PERMISSIONS


@pytest.mark.parametrize(
    "user_id, dbc_id, query, acl, allowed",
    [
        ("maker", "c2", "", [], []),
        ("maker", "c2", "?guidata", [], []),
        (
            "maker",
            "c2",
            "?guidata=&guiassign=0",
            [(Allow, Everyone, ["list_dbcredentials"]), (Allow, Everyone, ["create_dbcredentials"]),
             (Allow, Everyone, ["view_dbcredentials"])],
            ["view_dbcredentials", "list_dbcredentials", "create_dbcredentials"],
        ),
        (
            "u1",
            "c1",
            "",
            [(Allow, Everyone, ["list_dbcredentials"]), (Allow, Everyone, ["create_dbcredentials"]),
             (Allow, Everyone, ["view_dbcredentials", "update_dbcredentials", "delete_dbcredentials"]),
             (Allow, Everyone, ["view_dbcredentials"])],
            CREDENTIAL_PERMISSIONS,
        ),
        ("u1", "c2", "", [(Allow, Everyone, ["list_dbcredentials"]), (Allow, Everyone, ["create_dbcredentials"])],
         ["list_dbcredentials", "create_dbcredentials"]),
        ("u1", None, "", [(Allow, Everyone, ["list_dbcredentials"]), (Allow, Everyone, ["create_dbcredentials"])],
         ["list_dbcredentials", "create_dbcredentials"]),
        ("u2", "c1", "?guiassign&guidata", [(Allow, Everyone, ["list_dbcredentials"])], ["list_dbcredentials"]),
    ],
)
def test_credential_acl_follows_the_users_rights_and_the_entrys_lists(user_id, dbc_id, query, acl, allowed):
    request = credentials_request(user_id=user_id, dbc_id=dbc_id, query=query)
    context = roots.DBCredentialsRoot(request)
    assert context.__acl__ == acl
    assert context.is_admin is False
    assert granted(context, request) == allowed


def test_credential_properties_follow_the_store_on_every_read():
    context = roots.DBCredentialsRoot(credentials_request())
    store = store_of(context)
    assert context.db_config is store.databases["sales"]
    assert context.dbc_config is store.get_credentials("sales")
    assert context.db_credentials is store.get_credentials("sales").credentials["c1"]
    context.dbc_id = "c9"
    assert context.db_credentials is None
    context.db_id = "ghost"
    assert (context.db_config, context.dbc_config, context.db_credentials) == (None, None, None)
    store.databases["ghost"] = store.databases["open"]
    assert context.dbc_config is store.get_credentials("ghost")


def test_credential_properties_are_read_only():
    context = roots.DBCredentialsRoot(credentials_request())
    for name in ("db_config", "dbc_config", "db_credentials"):
        with pytest.raises(AttributeError):
            setattr(context, name, None)


def test_database_without_credentials_grants_no_entry_rights():
    context = roots.DBCredentialsRoot(credentials_request(db_id="open"))
    assert context.dbc_config is None and context.db_credentials is None
    assert len(context.__acl__) == 2


def test_each_context_gets_its_own_permission_lists():
    first = roots.DBCredentialsRoot(credentials_request(user_id="admin"))
    second = roots.DBCredentialsRoot(credentials_request(user_id="admin"))
    first.__acl__[0][2].append("anything")
    assert second.__acl__ == [(Allow, "admin", CREDENTIAL_PERMISSIONS)]


def test_credentials_route_without_a_match_fails_reading_it():
    with pytest.raises(AttributeError):
        roots.DBCredentialsRoot(request_for("/dbcredentials.json", matchdict=None))


def test_credentials_initialiser_follows_the_mro_of_a_further_subclass():
    calls = []

    class Audited(roots.DataFormatRoot):
        def __init__(self, request):
            calls.append(type(self).__name__)
            super().__init__(request)

    class AuditedCredentials(roots.DBCredentialsRoot, Audited):
        pass

    context = AuditedCredentials(credentials_request())
    assert calls == ["AuditedCredentials"]
    assert context.db_credentials is not None and len(context.__acl__) == 4


@pytest.mark.parametrize("method, fmt", [("PUT", "txt"), ("POST", "xml"), ("PATCH", "json")])
def test_credentials_formats_are_checked_by_the_base(method, fmt):
    request = request_for(f"/dbcredentials/sales.{fmt}", method=method, matchdict={"db_id": "sales"})
    with pytest.raises(HTTPUnsupportedFormat):
        roots.DBCredentialsRoot(request)


# ------------------------------------------------------------ DDURLParserBuilderRoot


def dd_request(kind="parse", body=None, user_id="u1", query="", **kw):
    return request_for(f"/dd/{kind}{query}", user_id=user_id, method="POST", json_body=body, **kw)


def test_parse_request_takes_database_and_segments_from_the_path():
    request = dd_request(body={"path": "/db/sales/orders$2F1"})
    context = roots.DDURLParserBuilderRoot(request)
    assert context.path == "/db/sales/orders$2F1"
    assert context.db_id == "sales" and context.db_config is store_of(context).databases["sales"]
    assert context.url_segments == ["orders/1"]
    assert context.is_admin is False
    assert (context.request_format, context.response_format) == ("json", "json")
    assert context.__acl__ == [DENY_ALL]


@pytest.mark.parametrize("kind", ["parse/build", "build/parse", "reparsed.csv"])
def test_parse_wins_as_a_substring_anywhere_in_the_path(kind):
    context = roots.DDURLParserBuilderRoot(dd_request(kind, body={"path": "/db/open/t"}))
    assert context.path == "/db/open/t" and context.db_id == "open"
    assert context.response_format == "json"


def test_build_request_takes_the_database_from_the_body():
    request = dd_request("build.xml", body={"database": "open", "path": "/db/sales/x"}, user_id="admin")
    context = roots.DDURLParserBuilderRoot(request)
    assert (context.db_id, context.url_segments, context.is_admin) == ("open", ["open"], True)
    assert "path" not in vars(context)


def test_dd_passes_model_and_segments_to_the_utilities():
    request = dd_request(body={"path": "/db/sales/a/b"})
    with mock.patch("korvane.roots.get_model", return_value="model") as get_model, mock.patch(
        "korvane.roots.segments_substitution", return_value=["s"]
    ) as substitute:
        context = roots.DDURLParserBuilderRoot(request)
    get_model.assert_called_once_with(store_of(context).databases, "sales", retry=request)
    substitute.assert_called_once_with(["a", "b"], request.params, "model", request.charset)


def test_unrecognised_dd_method_is_logged_and_refused(caplog):
    with caplog.at_level(logging.DEBUG, logger="korvane"):
        with pytest.raises(HTTPForbidden) as refused:
            roots.DDURLParserBuilderRoot(dd_request("compose", body={"path": "/db/sales"}))
    assert refused.value.explanation == "Unrecognized Data Discovery url method"
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("DEBUG", "Unrecognized Data Discovery url method")
    ]


@pytest.mark.parametrize(
    "kind, body, db_id",
    [
        ("build", {"path": "/db/sales"}, "None"),
        ("build", {"database": "nowhere"}, "nowhere"),
        ("parse", {"path": "/db/nowhere/t"}, "nowhere"),
        # Bodies and paths that name no database are answered like the
        # build request without one, not with a server error.
        ("parse", {"path": "/db"}, "None"),
        ("parse", {}, "None"),
        ("parse", ["/db/sales"], "None"),
        ("build", "sales", "None"),
    ],
)
def test_request_naming_no_configured_database_is_not_found(kind, body, db_id):
    with pytest.raises(HTTPNotFound) as refused:
        roots.DDURLParserBuilderRoot(dd_request(kind, body=body, user_id="outsider"))
    assert refused.value.explanation == f"Database {db_id} was not found."


def test_public_user_may_parse_a_database_open_to_it():
    context = roots.DDURLParserBuilderRoot(dd_request(body={"path": "/db/open/t"}, user_id="public"))
    assert (context.db_id, context.url_segments, context.is_admin) == ("open", ["t"], False)


def test_dd_access_is_checked_after_the_database_lookup():
    with pytest.raises(HTTPForbidden) as refused:
        roots.DDURLParserBuilderRoot(dd_request(body={"path": "/db/sales/t"}, user_id="outsider"))
    assert refused.value.explanation == access_message("outsider", "sales")


@pytest.mark.parametrize(
    "query, ini, expected",
    [
        ("", {}, (DEFAULT_WILDCARD, DEFAULT_SEPARATOR, DEFAULT_NULL_PLACEHOLDER)),
        ("", {"wildcard": "%", "separator": ";", "datadiscovery.null_str": "NIL"}, ("%", ";", "NIL")),
        ("?wildcard=7&nullStr=&separator=|", {"wildcard": "%", "null_str": "x"}, ("7", "|", "")),
    ],
)
def test_special_attributes_come_from_query_settings_or_constants(query, ini, expected):
    context = roots.DDURLParserBuilderRoot(dd_request(body={"path": "/db/sales"}, query=query,
                                                      settings=settings_for(**ini)))
    assert (context.wildcard, context.separator, context.null_placeholder) == expected


def test_special_attributes_are_read_as_text_in_order():
    context = roots.DDURLParserBuilderRoot(dd_request(body={"path": "/db/sales"}))
    with mock.patch("korvane.roots.get_url_param", side_effect=lambda r, n, d, c: (n, d, c)) as get_url_param:
        assert context._set_special_attributes_from_request(request=context.request) is None
    assert [c.args[1:] for c in get_url_param.call_args_list] == [
        ("wildcard", DEFAULT_WILDCARD, str),
        ("separator", DEFAULT_SEPARATOR, str),
        ("nullStr", DEFAULT_NULL_PLACEHOLDER, str),
    ]
    assert context.null_placeholder == ("nullStr", DEFAULT_NULL_PLACEHOLDER, str)


def test_dd_db_config_is_read_only_and_follows_db_id():
    context = roots.DDURLParserBuilderRoot(dd_request(body={"path": "/db/sales"}))
    context.db_id = "open"
    assert context.db_config is store_of(context).databases["open"]
    with pytest.raises(AttributeError):
        context.db_config = None


def test_dd_initialiser_follows_the_mro_of_a_further_subclass():
    calls = []

    class Audited(roots.RootBasic):
        def __init__(self, request):
            calls.append("audited")
            super().__init__(request)

    class AuditedBuilder(roots.DDURLParserBuilderRoot, Audited):
        pass

    assert AuditedBuilder(dd_request("build", body={"database": "sales"})).db_id == "sales"
    assert calls == ["audited"]


# ------------------------------------------------------------ reference-leak scenarios


class QuietTracker:
    """A status tracker that keeps nothing, so repeated runs stay the same size."""

    def add_status(self, code):
        pass

    def update_metadata(self, mapping):
        pass


def _leak_scenarios():
    settings = settings_for()
    limited = settings_for(**LIMITED)

    def built(url, user_id="u1", settings=settings, **kw):
        request = request_for(url, user_id=user_id, settings=settings, status_tracker=False, **kw)
        request.request_status = QuietTracker()
        return request

    def expect(exception, build):
        def run():
            try:
                build()
            except exception:
                return
            raise AssertionError(f"{exception.__name__} not raised")

        return run

    def query(query_id="q1", fmt=".json", **kw):
        return built(f"/query/{query_id}/a/x$2Fy{fmt}", matchdict={"query_id": query_id}, **kw)

    def discovery(db_id="sales", fmt=".json", **kw):
        return built(f"/db/{db_id}/t{fmt}", matchdict={"other_segments": (db_id, "t")}, **kw)

    def credentials(user_id, dbc_id="c1", query=""):
        return built(f"/dbcredentials/sales.json{query}", user_id=user_id,
                     matchdict={"db_id": "sales", "dbc_id": dbc_id})

    def dd(kind, body, user_id="u1"):
        return built(f"/dd/{kind}", user_id=user_id, method="POST", json_body=body)

    requests = {
        "list": built("/queries.json"),
        "list_admin": built("/queries.json", user_id="admin"),
        "query": query(),
        "query_public": query("qpub", user_id="public"),
        "query_missing": query("q9"),
        "query_405": query("qoff"),
        "query_db_missing": query("qlost"),
        "query_403": query(user_id="outsider"),
        "query_limit": query(settings=limited),
        "query_xsd": query(fmt=".xsd"),
        "query_html": query(fmt=".html"),
        "query_txt": query(fmt=".txt"),
        "discovery": discovery(),
        "discovery_public": discovery("open", user_id="public"),
        "discovery_404": discovery("nowhere"),
        "discovery_no_segments": built("/db/sales/t.json", matchdict={}),
        "discovery_limit": discovery(settings=limited),
        "discovery_xsd": discovery(fmt=".xsd"),
        "discovery_html": discovery(fmt=".html"),
        "discovery_403": discovery(user_id="outsider"),
        "status": built("/status.json"),
        "status_admin": built("/status.json", user_id="admin"),
        "status_404": built("/status.json", user_id="outsider"),
        "credentials": credentials("u1"),
        "credentials_admin": credentials("admin"),
        "credentials_gui": credentials("maker", "c2", "?guidata&guiassign"),
        "credentials_none": credentials("maker"),
        "dd_parse": dd("parse", {"path": "/db/sales/a/b"}),
        "dd_build": dd("build", {"database": "sales"}),
        "dd_404": dd("build", {"database": "nowhere"}),
        "dd_short_path": dd("parse", {"path": "/db"}),
        "dd_not_object": dd("parse", ["x"]),
        "dd_403": dd("parse", {"path": "/db/sales"}, user_id="outsider"),
        "dd_unrecognised": dd("compose", {}),
    }
    public_refusal = OpenDiscovery(requests["discovery_public"])
    public_refusal.db_id = "sales"
    substituting = roots.ExecuteQuery(requests["query"])
    r = requests
    return [
        ("query_list", lambda: roots.ExecuteQueryList(r["list"])),
        ("query_list_admin", lambda: roots.ExecuteQueryList(r["list_admin"])),
        ("execute_query", lambda: roots.ExecuteQuery(r["query"])),
        ("execute_public_query", lambda: roots.ExecuteQuery(r["query_public"])),
        ("segments_substitution", lambda: substituting.segments_substitution(["a", "b$2F", "c"])),
        ("query_not_found", expect(HTTPNotFound, lambda: roots.ExecuteQuery(r["query_missing"]))),
        ("query_method_refused", expect(HTTPMethodNotAllowed, lambda: roots.ExecuteQuery(r["query_405"]))),
        ("query_database_missing", expect(HTTPNotFound, lambda: roots.ExecuteQuery(r["query_db_missing"]))),
        ("query_access_refused", expect(HTTPForbidden, lambda: roots.ExecuteQuery(r["query_403"]))),
        ("query_row_limit", expect(HTTPFound, lambda: roots.ExecuteQuery(r["query_limit"]))),
        ("query_xsd_redirect", expect(HTTPMovedPermanently, lambda: roots.ExecuteQuery(r["query_xsd"]))),
        ("query_html", expect(HTTPOk, lambda: roots.ExecuteQuery(r["query_html"]))),
        ("query_unsupported", expect(HTTPUnsupportedFormat, lambda: roots.ExecuteQuery(r["query_txt"]))),
        ("data_discovery", lambda: roots.DataDiscovery(r["discovery"])),
        ("data_discovery_public", lambda: roots.DataDiscovery(r["discovery_public"])),
        ("discovery_not_found", expect(HTTPNotFound, lambda: roots.DataDiscovery(r["discovery_404"]))),
        ("discovery_no_segments", expect(HTTPNotFound, lambda: roots.DataDiscovery(r["discovery_no_segments"]))),
        ("discovery_row_limit", expect(HTTPFound, lambda: roots.DataDiscovery(r["discovery_limit"]))),
        ("discovery_xsd_redirect", expect(HTTPMovedPermanently, lambda: roots.DataDiscovery(r["discovery_xsd"]))),
        ("discovery_html", expect(HTTPOk, lambda: roots.DataDiscovery(r["discovery_html"]))),
        ("discovery_access_refused", expect(HTTPForbidden, lambda: roots.DataDiscovery(r["discovery_403"]))),
        ("discovery_public_refused", expect(HTTPForbidden, public_refusal.configure_authorization)),
        ("request_status", lambda: roots.RequestStatus(r["status"])),
        ("request_status_admin", lambda: roots.RequestStatus(r["status_admin"])),
        ("request_status_not_found", expect(HTTPNotFound, lambda: roots.RequestStatus(r["status_404"]))),
        ("credentials", lambda: roots.DBCredentialsRoot(r["credentials"])),
        ("credentials_admin", lambda: roots.DBCredentialsRoot(r["credentials_admin"])),
        ("credentials_gui", lambda: roots.DBCredentialsRoot(r["credentials_gui"])),
        ("credentials_no_listing", lambda: roots.DBCredentialsRoot(r["credentials_none"])),
        ("dd_parse", lambda: roots.DDURLParserBuilderRoot(r["dd_parse"])),
        ("dd_build", lambda: roots.DDURLParserBuilderRoot(r["dd_build"])),
        ("dd_not_found", expect(HTTPNotFound, lambda: roots.DDURLParserBuilderRoot(r["dd_404"]))),
        ("dd_short_path", expect(HTTPNotFound, lambda: roots.DDURLParserBuilderRoot(r["dd_short_path"]))),
        ("dd_body_not_object", expect(HTTPNotFound, lambda: roots.DDURLParserBuilderRoot(r["dd_not_object"]))),
        ("dd_access_refused", expect(HTTPForbidden, lambda: roots.DDURLParserBuilderRoot(r["dd_403"]))),
        ("dd_unrecognised", expect(HTTPForbidden, lambda: roots.DDURLParserBuilderRoot(r["dd_unrecognised"]))),
    ]


LEAK_SCENARIOS = _leak_scenarios()


@pytest.mark.parametrize("name, scenario", LEAK_SCENARIOS, ids=[name for name, _ in LEAK_SCENARIOS])
def test_leak_scenario_runs(name, scenario):
    scenario()
    scenario()
