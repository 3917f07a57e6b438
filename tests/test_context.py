"""The request-context foundation: the API key check, RootContext, DefaultRoot, RootBasic and DataFormatRoot."""

import contextlib
import logging
from unittest import mock

import pytest
from pyramid.httpexceptions import HTTPBadRequest, HTTPForbidden, HTTPFound, HTTPMovedPermanently, HTTPNotFound
from pyramid.httpexceptions import HTTPNotImplemented, HTTPOk, HTTPPermanentRedirect
from pyramid.security import ALL_PERMISSIONS, DENY_ALL, Allow, Authenticated, Everyone

from korvane.exceptions import HTTPUnsupportedFormat
from korvane.request_status import StatusCodes

from helpers import ABSENT, APIKEY_DENIED, APIKEY_WARNING, NO_ACCESS, XSD_WARNING, implementation_under_test, leak_path
from helpers import make_request, make_settings, make_store, permits

roots = implementation_under_test(__name__)

NO_RIGHTS = {"databases": [], "userdef": [], "dbcreds": []}
USERS = {
    "admin": {"password": "secret"}, "public": {"databases": ["db1"]}, "u1": dict(NO_RIGHTS, databases=["db1"]),
    "editor": NO_RIGHTS, "nobody": NO_RIGHTS, "subject": {"edit": ["editor"]},
    "creator": dict(NO_RIGHTS, userdef=["create"]), "keeper": dict(NO_RIGHTS, dbcreds=["create"]),
}
DATABASES = {"db1": {"read": []}, "db2": {"execute": ["u1"]}, "db3": {"read": ["x"]}}


def settings_for(users=USERS, databases=DATABASES, krv=None, **ini):
    return make_settings(store=make_store(users=users, databases=databases), krv=krv, **ini)


def request_for(url="/db/x.json", user_id="u1", settings=None, **kw):
    return make_request(url, settings=settings or settings_for(), user_id=user_id, **kw)


def bare(cls, **attributes):
    """An instance whose initialiser has not run, with the given attributes."""
    context = cls.__new__(cls)
    vars(context).update(attributes)
    return context


def logged(caplog):
    return [(r.name, r.levelname, r.getMessage()) for r in caplog.records]


# ------------------------------------------------------------ API key check


# The setting is tested for truth as stored, text unconverted; a key only in a header is not looked at.
@pytest.mark.parametrize("query, allowed, refused", [
    ("?apikey=k1", ABSENT, False), ("?apikey=k1", "false", False), ("?apikey=k1", False, True), ("?apikey=k1", 0, True),
    ("?apikey=k1", "", True), ("?apikey=k1", None, True), ("", False, False)])
def test_query_string_key_is_warned_about_or_refused_by_the_setting(query, allowed, refused):
    settings = settings_for(krv={"allow_apikey_in_query_string": allowed})
    request = request_for("/x" + query, settings=settings, headers={"X-API-Key": "k1"})
    request.response.headers.add("Warning", "earlier")
    with pytest.raises(HTTPForbidden) if refused else contextlib.nullcontext() as refusal:
        assert roots.check_apikey_querystring(settings["krv_settings"], request) is None
    assert not refused or refusal.value.explanation == APIKEY_DENIED
    # Added after any earlier header, never replacing it.
    assert request.response.headers.getall("Warning") == ["earlier"] + [APIKEY_WARNING] * (bool(query) and not refused)


def test_missing_parameter_name_logs_and_skips_the_check(caplog):
    settings = settings_for(krv={"apikey_name": ABSENT, "appid_name": "appid", "allow_apikey_in_query_string": False})
    request = request_for("/x?apikey=k1&appid=a", settings=settings)
    with caplog.at_level(logging.WARNING, logger="korvane"):
        roots.RootContext(request)
    message = "Couldn't determine apikey param name. apikey_name = 'None', appid_name = 'appid'."
    assert logged(caplog) == [("korvane", "WARNING", message)]
    assert request.response.headers.getall("Warning") == []


# ------------------------------------------------------------ RootContext


def test_root_context_binds_settings_store_and_user_reading_the_settings_afresh_for_each():
    settings = settings_for()
    request = request_for(settings=settings)
    with mock.patch.object(type(request.registry), "settings", new_callable=mock.PropertyMock,
                           return_value=settings) as read:
        context, krv = roots.RootContext(request), settings["krv_settings"]
    assert read.call_count == 4  # settings, ini_settings, krv_settings, auth_settings
    assert context.request is request and context.ini_settings is settings
    assert context.settings is context.krv_settings is krv and context.auth_settings is settings["auth_settings"]
    assert context.config_storage is krv["config_storage"] and context.process_registry is krv["process_registry"]
    assert (context.authenticated_user_id, context.authenticated_user_config) == ("u1", krv["config_storage"].users["u1"])
    assert context.reversed_url_substitution == {"/": "$2F", ".": "$2E"}


@pytest.mark.parametrize(
    "path, pulls", [("/static/app.js", 0), ("/db/static/x", 1), ("/db/x.json", 1), ("/staticfile", 1), ("/static", 1),
                    ("/static/", 0), ("/static/%C3%BC.js", 0), ("/static/%E2%98%83", 0), ("/%E2%98%83static/", 1)])
def test_store_is_refreshed_except_for_static_files(path, pulls):
    settings = settings_for()
    store = settings["krv_settings"]["config_storage"]
    with mock.patch.object(store, "pull", wraps=store.pull) as pull:
        roots.RootContext(request_for(path, settings=settings))
    assert pull.call_args_list == [mock.call(from_memcache=True)] * pulls


# A missing setting, or a patched user resolution giving three items, fails keeping what was set before.
@pytest.mark.parametrize("ini, krv, resolved, error, last_set", [
    ({"krv_settings": ABSENT}, {}, None, KeyError, "request"), ({"auth_settings": ABSENT}, {}, None, KeyError, "krv_settings"),
    ({}, {"config_storage": ABSENT}, None, KeyError, "auth_settings"),
    ({}, {"process_registry": ABSENT}, None, KeyError, "config_storage"),
    ({}, {"url_substitution": ABSENT}, None, KeyError, "authenticated_user_config"),
    ({}, {}, ("u1", "cfg", "extra"), r"too many values to unpack \(expected 2\)", "process_registry")])
def test_initialiser_failure_keeps_earlier_attributes(ini, krv, resolved, error, last_set):
    context = bare(roots.RootContext)
    patched = mock.patch.object(roots, "get_authenticated_user", return_value=resolved)
    with patched if resolved else contextlib.nullcontext(), pytest.raises(
            KeyError if error is KeyError else ValueError, match=None if error is KeyError else error):
        context.__init__(request_for(settings=settings_for(krv=krv, **ini)))
    assert list(vars(context))[-1] == last_set


def escaper(table=None):
    return bare(roots.RootContext, reversed_url_substitution=table or {"/": "S", ".": "D", "?": "Q"})


@pytest.mark.parametrize("table, segments, patterns, expected_segments, expected_mapping", [
    # Integers come back as text; a dot is escaped only in "." and "..".
    (None, ["a/b", 7, ".", "a.b", ".."], ["/", "."], ["aSb", "7", "D", "a.b", "DD"], {"S": "/", "D": "."}),
    # A pattern that occurs nowhere needs no substitute.
    (None, ["plain"], ["#"], ["plain"], {}),
    # Replacements chain in pattern order.
    ({"/": "?", "?": "Q"}, ["a/b"], ["/", "?"], ["aQb"], {"?": "/", "Q": "?"})])
def test_escaping_segments(table, segments, patterns, expected_segments, expected_mapping):
    assert escaper(table).build_escaped_url(segments, patterns) == (expected_segments, expected_mapping)
    given = {"old": "x"}
    assert escaper(table).build_escaped_url(segments, patterns, query_string_data=given)[1] is given
    assert given == dict(expected_mapping, old="x")
    with pytest.raises(KeyError):  # but one that occurs does
        escaper(table).build_escaped_url(["a#b"], ["#"])


def user_context(user_id):
    store = make_store(users=USERS, databases=DATABASES)
    # Without a user id no store is needed: None would fail any lookup.
    return bare(roots.RootContext, config_storage=store if user_id else None, authenticated_user_id=user_id,
                authenticated_user_config=store.users.get(user_id))


@pytest.mark.parametrize("user_id, expected", [
    ("admin", {"db1", "db2", "db3"}), ("creator", {"db1", "db2", "db3"}), ("keeper", {"db1", "db2", "db3"}),
    ("editor", {"db1", "db2", "db3"}), ("u1", {"db1", "db2"}), ("nobody", set()), (None, set()), ("", set())])
def test_user_db_ids_by_rule_recomputed_on_every_read(user_id, expected):
    context = user_context(user_id)
    assert type(context.user_db_ids) is frozenset and context.user_db_ids == expected
    if user_id == "u1":
        context.config_storage.databases["db3"].read.append("u1")
        assert context.user_db_ids == {"db1", "db2", "db3"}


# ------------------------------------------------------------ DefaultRoot


@pytest.mark.parametrize("matchdict, user_id, password",
                         [({"db_id": "x", "query_id": "q", "__acl__": "overridden"}, "u1", "secret"), (None, None, "")])
def test_default_root_copies_the_route_match_then_sets_its_acl_without_other_checks(matchdict, user_id, password):
    users = dict(USERS, admin={"password": password})
    request = request_for(user_id=user_id, matchdict=matchdict, settings=settings_for(users=users))
    context = roots.DefaultRoot(request)
    assert (context.db_id, context.query_id) == (("x", "q") if matchdict else (None, None))
    assert context.__acl__ == [(Allow, Authenticated, "authenticated"), (Allow, Everyone, "view")]
    assert permits(context, request, "view") and permits(context, request, "authenticated") is bool(user_id)


# ------------------------------------------------------------ RootBasic


CHECKED = [StatusCodes.CHECK_REQUEST_AUTH]
PREPROCESSED = CHECKED + [StatusCodes.REQUEST_PREPROCESS]
NO_PASSWORD = "Admin user password has to be set."


# Each step records its status; the registry runs after the first.
@pytest.mark.parametrize("users, user_id, url, refusal, text, statuses", [
    (USERS, "u1", "/db/x.json", None, None, PREPROCESSED),
    # Service is refused without an admin password, before the user check.
    (dict(USERS, admin={"password": ""}), "stranger", "/db//x", HTTPForbidden, NO_PASSWORD, []),
    (dict(USERS, admin={"password": None}), "stranger", "/db//x", HTTPForbidden, NO_PASSWORD, []),
    ({"u1": USERS["u1"]}, "stranger", "/db//x", KeyError, None, []),
    # An unknown user is refused before the slash redirect, which comes last.
    (USERS, "stranger", "/db//x", HTTPForbidden, HTTPForbidden.explanation, CHECKED),
    (USERS, "u1", "/db//x", HTTPPermanentRedirect, "http://localhost/db/x", PREPROCESSED),
])
def test_root_basic_steps_in_order_and_denies_everything(users, user_id, url, refusal, text, statuses):
    settings = settings_for(users=users)
    request = request_for(url, user_id=user_id, settings=settings)
    with pytest.raises(refusal) if refusal else contextlib.nullcontext() as raised:
        context = roots.RootBasic(request)
        assert context.__acl__ == [DENY_ALL] and not permits(context, request, "view")
    if refusal is HTTPPermanentRedirect:
        assert (raised.value.code, raised.value.location) == (308, text)
        assert raised.value.headers["Warning"] == "Redirected to a fixed path"
    elif text:
        assert raised.value.explanation == text
    assert request.request_status.statuses == statuses
    assert settings["krv_settings"]["process_registry"].executed == min(len(statuses), 1)


@pytest.mark.parametrize("user_id, config, refused", [("", "cfg", False), (None, "cfg", True), ("u1", None, True)])
def test_check_authenticated_user_tests_identity_with_none(user_id, config, refused):
    context = bare(roots.RootBasic, authenticated_user_id=user_id, authenticated_user_config=config)
    with pytest.raises(HTTPForbidden) if refused else contextlib.nullcontext():
        assert context.check_authenticated_user(request=None) is None


@pytest.mark.parametrize("method, query, validate", [
    ("PUT", "?validate", True), ("POST", "?validate=false", False), ("GET", "?validate=false&schema", True),
    ("PUT", "?validate=yes&schema=", True), ("POST", "?validate=maybe", False), ("DELETE", "?validate=no", True)])
def test_validate_upload_and_schema_request_flags_without_a_status_tracker(method, query, validate):
    request = request_for("/db/x.json" + query, method=method, status_tracker=False)
    context = roots.RootBasic(request)
    assert context.validate_upload is validate and not hasattr(request, "request_status")
    assert context.is_schema_request is ("schema" in query)  # whatever its value


@pytest.mark.parametrize("method, acl, view", [("acl_allow", [(Allow, Everyone, ALL_PERMISSIONS)], True),
                                               ("acl_deny", [DENY_ALL], False)])
def test_acl_methods_assign_a_fresh_list_on_every_call(method, acl, view):
    request = request_for()
    context = roots.RootBasic(request)
    getattr(context, method)()
    first = context.__acl__
    assert getattr(context, method)() is None
    assert context.__acl__ == acl and context.__acl__ is not first
    assert permits(context, request, "anything") is view


def test_database_check_passes_the_admin_unread_and_refuses_others_logging_at_debug_first(caplog):
    exploding = type("ExplodingDbId", (roots.RootBasic,), {"db_id": property(lambda self: 1 / 0)})
    assert bare(exploding, authenticated_user_id="admin")._check_db_access_permissions() is None
    context = roots.RootBasic(request_for())
    context.db_id = "db2"
    with caplog.at_level(logging.DEBUG, logger="korvane"), pytest.raises(HTTPForbidden) as refused:
        context._check_db_access_permissions()
    message = NO_ACCESS.format("u1", "db2")
    assert refused.value.explanation == message
    assert logged(caplog) == [("korvane", "DEBUG", message)]
    context.db_id = "db1"
    assert context._check_db_access_permissions() is None
    context.authenticated_user_config = {"password": "p"}
    with pytest.raises(TypeError):  # no "databases" entry to test membership in
        context._check_db_access_permissions()


# ------------------------------------------------------------ row limit


def limit_context(url, method="GET", db_id="db1"):
    request = request_for(url, method=method, settings=settings_for(**{"db.db1.limit": 100, "db.None.limit": 5}))
    context = roots.RootBasic(request)
    context.db_id = db_id
    return context, request


@pytest.mark.parametrize("url, method, db_id, outcome", [
    ("/db/db1/t.json", "GET", "db1", "http://localhost/db/db1/t.json?limit=100"),
    ("/db/db1/t.json?offset=10", "GET", "db1", "http://localhost/db/db1/t.json?offset=10&limit=100"),
    ("/db/t.json", "GET", None, "http://localhost/db/t.json?limit=5"),  # the key holds the text of db_id
    ("/db/db1/t.json?limit=5", "GET", "db1", None), ("/db/db1/t.json?limit=500", "GET", "db1", None),  # no maximum
    ("/db/db1/t.json", "POST", "db1", None), ("/db/db1/t.json", "PUT", "db1", None),
    ("/db/db1/t.json", "DELETE", "db1", None), ("/db/db2/t.json", "GET", "db2", None),
    ("/db/db1/t.json?limit=&a=1", "GET", "db1", HTTPBadRequest)])  # the converter's refusal passes through
def test_get_without_limit_redirects_with_the_configured_limit_added(url, method, db_id, outcome):
    context, request = limit_context(url, method=method, db_id=db_id)
    redirected = isinstance(outcome, str)
    with contextlib.nullcontext() if outcome is None else pytest.raises(HTTPFound if redirected else outcome) as raised:
        assert context._check_db_limit_overflow(request) is None
    assert not redirected or (raised.value.code, raised.value.location) == (302, outcome)


def test_limit_url_replaces_every_existing_limit_value():
    context, request = limit_context("/db/db1/t.json?limit=1&x=y&limit=2")
    assert context._get_db_limit_url(request, 7) == "http://localhost/db/db1/t.json?x=y&limit=7"


# ------------------------------------------------------------ data formats


class Resource(roots.DataFormatRoot):
    formats = {"GET": {"supported": ["json", "xsd"], "illegal": ["html", "txt"]}}


@pytest.mark.parametrize("url, from_initialiser, location", [
    ("/db/x.xsd?a=1", True, "/db/x.xml?a=1&schema"), ("/db/x", False, "/db/x.xml?schema"),  # no suffix to strip
    ("/db/x.xsd?schema", False, "/db/x.xml?schema&schema"),
    # The decoded path is escaped again: the location names what was asked for and stays one header line.
    ("/db/K%C3%B6ln%E2%82%AC.xsd", True, "/db/K%C3%B6ln%E2%82%AC.xml?schema"),
    ("/db/a%2541%0D%0AX:%20y.xsd", False, "/db/a%2541%0D%0AX:%20y.xml?schema")])
def test_xsd_redirects_permanently_to_xml_with_schema_and_a_warning(url, from_initialiser, location, caplog):
    context = roots.RootBasic(request_for(url))
    with caplog.at_level(logging.WARNING, logger="korvane"), pytest.raises(HTTPMovedPermanently) as redirect:
        Resource(request_for(url)) if from_initialiser else context.redirect_request_format(context.request, "xsd")
    assert (redirect.value.code, redirect.value.location) == (301, location)
    assert redirect.value.headers["Warning"] == XSD_WARNING
    assert logged(caplog) == [("korvane", "WARNING", XSD_WARNING)]
    with pytest.raises(KeyError):
        context.redirect_request_format(context.request, "json")  # not a deprecated format


@pytest.mark.parametrize("cls, base", [(roots.DefaultRoot, roots.RootContext), (roots.RootBasic, roots.RootContext),
                                       (Resource, roots.RootBasic)])
def test_base_initialiser_is_called_by_name_not_along_the_method_resolution_order(cls, base):
    skipped = []
    mixin = type("Mixin", (base,), {"__init__": lambda self, request: skipped.append(request)})
    context = type("Combined", (cls, mixin), {})(request_for())
    assert skipped == [] and context.request is not None


@pytest.mark.parametrize("cls", [Resource, roots.DataFormatRoot])
def test_html_is_handed_to_the_browser_interface_before_any_check(cls):
    with pytest.raises(HTTPOk) as handed:
        cls(request_for("/db/x.html"))
    assert handed.value.content_type == "text/html"


def test_data_format_root_sets_the_three_formats_before_checking():
    context = bare(roots.DataFormatRoot)
    with pytest.raises(HTTPUnsupportedFormat):
        context.__init__(request_for("/db/x.csv", method="PUT"))
    assert (context.response_format, context.request_format, context.request_extension) == ("csv", "csv", "csv")
    with pytest.raises(KeyError):
        roots.DataFormatRoot(request_for("/db/x", settings=settings_for(krv={"default_extension": ABSENT})))


def format_checker(url="/db/x.json", formats=None):
    checked = type("Checked", (roots.DataFormatRoot,), {} if formats is None else {"formats": formats})
    return bare(checked, request=request_for(url))


JSON_ONLY = {"GET": {"supported": ["json"], "illegal": ["txt"], "not_implemented": ["csv"]}}
BOTH_WAYS = {"GET": {"supported": ["xml"], "illegal": ["xml"]}}  # supported is tested first
REFUSED_BOTH_WAYS = {"GET": {"illegal": ["csv"], "not_implemented": ["csv"]}}  # illegal is tested first


@pytest.mark.parametrize("formats, url, method, response_format, expected", [
    (JSON_ONLY, "/db/x.json", "GET", "json", "json"), (JSON_ONLY, "/db/x", "GET", "json", "json"),
    (JSON_ONLY, "/db/.json", "GET", "json", "json"), (JSON_ONLY, "/db/x.JSON.json", "GET", "json", "json"),
    (BOTH_WAYS, "/db/x.xml", "GET", "xml", "xml"),
    (JSON_ONLY, "/db/x.csv", "GET", "json", HTTPNotFound), (JSON_ONLY, "/db/x.json/y.tar", "GET", "json", HTTPNotFound),
    (JSON_ONLY, "/db/x.csv", "GET", "csv", HTTPNotImplemented),
    (REFUSED_BOTH_WAYS, "/db/x.csv", "GET", "csv", HTTPUnsupportedFormat),
    # Illegal, listed nowhere, or for a method the table does not name.
    (JSON_ONLY, "/db/x.txt", "GET", "txt", HTTPUnsupportedFormat), (JSON_ONLY, "/x", "GET", "xml", HTTPUnsupportedFormat),
    (JSON_ONLY, "/x", "PATCH", "json", HTTPUnsupportedFormat), (JSON_ONLY, "/x", "POST", "json", HTTPUnsupportedFormat),
    # DataFormatRoot's own table serves nothing.
    (None, "/db/x.json", "GET", "json", HTTPUnsupportedFormat), (None, "/db/x.xml", "PUT", "xml", HTTPUnsupportedFormat),
    (None, "/db/x.csv", "POST", "csv", HTTPUnsupportedFormat), (None, "/db/x.xsd", "DELETE", "xsd", HTTPUnsupportedFormat)])
def test_check_data_format(formats, url, method, response_format, expected):
    checker = format_checker(url, formats)
    with contextlib.nullcontext() if isinstance(expected, str) else pytest.raises(expected) as refused:
        assert checker.check_data_format(method, response_format) == expected
    if expected is HTTPNotImplemented:
        assert refused.value.explanation == "Format 'csv' for GET not implemented yet."
    if expected is HTTPNotFound:  # no explanation; only the extension test refused it
        assert refused.value.explanation == HTTPNotFound.explanation
        assert checker.check_data_format(method, response_format, check_ext=False) == response_format


def test_only_exactly_execute_query_skips_the_early_xsd_redirect():
    checked = []
    StoredQuery = type("StoredQuery", (roots.ExecuteQuery,), {"__init__": roots.DataFormatRoot.__init__,
        "check_data_format": lambda self, request_method, response_format: checked.append(response_format)})
    with pytest.raises(HTTPMovedPermanently):
        StoredQuery(request_for("/query/q1.xsd"))
    with mock.patch.object(roots, "ExecuteQuery", StoredQuery):
        StoredQuery(request_for("/query/q1.xsd"))
    assert checked == ["xsd"]


# ------------------------------------------------------------ reference-leak scenarios


def _leak_scenarios():
    plain = request_for("/db/x.json")
    escaping, basic = escaper(), roots.RootBasic(plain)
    basic.db_id = "db2"
    limited, limited_request = limit_context("/db/db1/t.json")
    refused_key = request_for("/x?apikey=k", settings=settings_for(krv={"allow_apikey_in_query_string": False}))
    not_implemented = format_checker(formats=JSON_ONLY)
    no_password = request_for(settings=settings_for(users=dict(USERS, admin={"password": ""})))
    return [
        ("default_root", lambda: roots.DefaultRoot(request_for(matchdict={"db_id": "x"}))),
        ("root_basic", lambda: roots.RootBasic(plain)),
        ("data_format_root_accepts", lambda: Resource(plain)),
        ("user_db_ids", lambda: user_context("u1").user_db_ids),
        ("build_escaped_url", lambda: escaping.build_escaped_url(["a/b", ".."], ["/", "."])),
        ("apikey_refused", leak_path(lambda: roots.RootContext(refused_key), refusal=HTTPForbidden)),
        ("admin_password_unset", leak_path(lambda: roots.RootBasic(no_password), refusal=HTTPForbidden)),
        ("unknown_user", leak_path(lambda: roots.RootBasic(request_for(user_id="stranger")), refusal=HTTPForbidden)),
        ("slash_redirect",
         leak_path(lambda: roots.RootBasic(request_for(raw_uri="/a//b")), refusal=HTTPPermanentRedirect)),
        ("db_access_refused", leak_path(basic._check_db_access_permissions, refusal=HTTPForbidden)),
        ("row_limit_redirect", leak_path(lambda: limited._check_db_limit_overflow(limited_request), refusal=HTTPFound)),
        ("xsd_redirect", leak_path(lambda: Resource(request_for("/db/x.xsd?a=1")), refusal=HTTPMovedPermanently)),
        ("unsupported_format", leak_path(lambda: roots.DataFormatRoot(plain), refusal=HTTPUnsupportedFormat)),
        ("not_implemented", leak_path(not_implemented.check_data_format, "GET", "csv", refusal=HTTPNotImplemented)),
        ("html_hand_off", leak_path(lambda: Resource(request_for("/db/x.html")), refusal=HTTPOk)),
    ]


LEAK_SCENARIOS = _leak_scenarios()


@pytest.mark.parametrize("name, scenario", LEAK_SCENARIOS, ids=[name for name, _ in LEAK_SCENARIOS])
def test_leak_scenario_runs(name, scenario):
    scenario()
