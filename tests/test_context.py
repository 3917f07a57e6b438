"""The request-context foundation: the query-string API key check,
RootContext, DefaultRoot, RootBasic, the row-limit redirect and the data
formats of DataFormatRoot."""

import logging
import types
from unittest import mock

import pytest
from pyramid.httpexceptions import (
    HTTPBadRequest,
    HTTPForbidden,
    HTTPFound,
    HTTPMovedPermanently,
    HTTPNotFound,
    HTTPNotImplemented,
    HTTPOk,
    HTTPPermanentRedirect,
)
from pyramid.security import ALL_PERMISSIONS, DENY_ALL, Allow, Authenticated, Everyone

import korvane.roots as roots
from korvane.exceptions import HTTPUnsupportedFormat
from korvane.request_status import StatusCodes

from helpers import ABSENT, make_request, make_settings, make_store, permits

USERS = {
    "admin": {"password": "secret"},
    "public": {"databases": ["db1"]},
    "u1": {"databases": ["db1"], "userdef": [], "dbcreds": []},
    "editor": {"databases": [], "userdef": [], "dbcreds": []},
    "creator": {"databases": [], "userdef": ["create"], "dbcreds": []},
    "keeper": {"databases": [], "userdef": [], "dbcreds": ["create"]},
    "nobody": {"databases": [], "userdef": [], "dbcreds": []},
    "subject": {"edit": ["editor"]},
}
DATABASES = {"db1": {"read": []}, "db2": {"execute": ["u1"]}, "db3": {"read": ["x"]}}


def settings_for(users=USERS, databases=DATABASES, krv=None, **ini):
    return make_settings(store=make_store(users=users, databases=databases), krv=krv, **ini)


def request_for(url="/db/x.json", user_id="u1", settings=None, **kw):
    return make_request(url, settings=settings or settings_for(), user_id=user_id, **kw)


def warnings_of(request):
    return request.response.headers.getall("Warning")


# ------------------------------------------------------------ API key check

APIKEY_WARNING = (
    "Authentication through query parameters is not recommended. Consider using HTTP headers instead."
)


def test_apikey_in_query_string_is_allowed_with_an_added_warning_header():
    request = request_for("/db/x.json?apikey=k1")
    request.response.headers.add("Warning", "earlier")
    assert roots.check_apikey_querystring(request.registry.settings["krv_settings"], request) is None
    assert warnings_of(request) == ["earlier", APIKEY_WARNING]


def test_apikey_in_query_string_is_refused_when_the_setting_forbids_it():
    settings = settings_for(krv={"allow_apikey_in_query_string": False})
    request = request_for("/db/x.json?apikey=k1", settings=settings)
    with pytest.raises(HTTPForbidden) as refused:
        roots.check_apikey_querystring(krv_settings=settings["krv_settings"], request=request)
    assert refused.value.explanation == (
        "Authentication through query parameter denied, due to 'allow_apikey_in_query_string' setting."
    )
    assert warnings_of(request) == []


@pytest.mark.parametrize("allowed", [False, 0, "", None])
def test_apikey_setting_is_tested_for_truth_as_stored(allowed):
    settings = settings_for(krv={"allow_apikey_in_query_string": allowed})
    with pytest.raises(HTTPForbidden):
        roots.RootContext(request_for("/x?apikey=k1", settings=settings))


def test_key_only_in_a_header_adds_no_warning():
    request = request_for("/db/x.json", headers={"X-API-Key": "k1"})
    roots.check_apikey_querystring(request.registry.settings["krv_settings"], request)
    assert warnings_of(request) == []


def test_missing_parameter_name_logs_and_skips_the_check(caplog):
    settings = settings_for(krv={"apikey_name": ABSENT, "appid_name": "appid", "allow_apikey_in_query_string": False})
    request = request_for("/x?apikey=k1&appid=a", settings=settings)
    with caplog.at_level(logging.WARNING, logger="korvane"):
        roots.check_apikey_querystring(settings["krv_settings"], request)
    assert [(r.name, r.levelname, r.getMessage()) for r in caplog.records] == [
        ("korvane", "WARNING", "Couldn't determine apikey param name. apikey_name = 'None', appid_name = 'appid'.")
    ]
    assert warnings_of(request) == []


@pytest.mark.parametrize(
    "settings, type_name",
    [
        (None, "NoneType"),
        (type("SettingsDict", (dict,), {})(), "SettingsDict"),
        (types.MappingProxyType({}), "mappingproxy"),
    ],
)
def test_apikey_check_refuses_anything_but_an_exact_dict(settings, type_name):
    with pytest.raises(TypeError) as refused:
        roots.check_apikey_querystring(settings, object())
    assert str(refused.value) == f"Argument 'krv_settings' has incorrect type (expected dict, got {type_name})"


# ------------------------------------------------------------ RootContext


def test_root_context_binds_settings_store_and_user():
    settings = settings_for()
    request = request_for(settings=settings)
    context = roots.RootContext(request)
    assert context.request is request
    assert context.settings is context.krv_settings is settings["krv_settings"]
    assert context.ini_settings is settings
    assert context.auth_settings is settings["auth_settings"]
    assert context.config_storage is settings["krv_settings"]["config_storage"]
    assert context.process_registry is settings["krv_settings"]["process_registry"]
    assert context.authenticated_user_id == "u1"
    assert context.authenticated_user_config is context.config_storage.users["u1"]
    assert context.reversed_url_substitution == {"/": "$2F", ".": "$2E"}


@pytest.mark.parametrize(
    "path, pulls", [("/static/app.js", 0), ("/db/static/x", 1), ("/db/x.json", 1), ("/staticfile", 1)]
)
def test_store_is_refreshed_except_for_static_files(path, pulls):
    settings = settings_for()
    store = settings["krv_settings"]["config_storage"]
    with mock.patch.object(store, "pull", wraps=store.pull) as pull:
        roots.RootContext(request_for(path, settings=settings))
    assert pull.call_args_list == [mock.call(from_memcache=True)] * pulls


@pytest.mark.parametrize("missing", ["krv_settings", "auth_settings"])
def test_missing_framework_setting_raises_key_error(missing):
    with pytest.raises(KeyError):
        roots.RootContext(request_for(settings=settings_for(**{missing: ABSENT})))


def test_patched_get_authenticated_user_is_used_and_must_give_two_items():
    with mock.patch("korvane.roots.get_authenticated_user", return_value=("u1", "cfg", "extra")):
        context = roots.RootContext.__new__(roots.RootContext)
        with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)"):
            context.__init__(request_for())
    assert "authenticated_user_id" not in vars(context)
    with mock.patch("korvane.roots.get_authenticated_user", return_value=("someone", None)):
        assert roots.RootContext(request_for()).authenticated_user_id == "someone"


def test_failing_initialiser_adds_its_traceback_entry():
    with pytest.raises(AttributeError) as failure:
        roots.RootContext(object())
    entries = []
    tb = failure.value.__traceback__
    while tb is not None:
        entries.append((tb.tb_frame.f_code.co_filename, tb.tb_frame.f_code.co_name))
        tb = tb.tb_next
    assert entries[-1] == ("korvane\\roots", "korvane.roots.RootContext.__init__")


def escaper():
    context = roots.RootContext.__new__(roots.RootContext)
    context.reversed_url_substitution = {"/": "S", ".": "D", "?": "Q"}
    return context


def test_escaping_replaces_slashes_and_only_lone_dots():
    segments, mapping = escaper().build_escaped_url(["a/b", 7, ".", "a.b", ".."], ["/", "."])
    assert segments == ["aSb", "7", "D", "a.b", "DD"]
    assert mapping == {"S": "/", "D": "."}


def test_escaping_extends_the_given_mapping_and_needs_no_entry_for_absent_patterns():
    given = {"old": "x"}
    segments, mapping = escaper().build_escaped_url(["plain"], ["#"], query_string_data=given)
    assert segments == ["plain"] and mapping is given and given == {"old": "x"}


def test_escaping_a_pattern_without_substitute_raises_key_error():
    with pytest.raises(KeyError):
        escaper().build_escaped_url(["a#b"], ["#"])


def test_escaping_chains_replacements_in_pattern_order():
    context = escaper()
    context.reversed_url_substitution = {"/": "?", "?": "Q"}
    assert context.build_escaped_url(["a/b"], ["/", "?"]) == (["aQb"], {"?": "/", "Q": "?"})


def user_context(user_id, users=USERS):
    context = roots.RootContext.__new__(roots.RootContext)
    context.config_storage = make_store(users=users, databases=DATABASES)
    context.authenticated_user_id = user_id
    context.authenticated_user_config = context.config_storage.users.get(user_id)
    return context


@pytest.mark.parametrize(
    "user_id, expected",
    [
        ("admin", {"db1", "db2", "db3"}),
        ("creator", {"db1", "db2", "db3"}),
        ("keeper", {"db1", "db2", "db3"}),
        ("editor", {"db1", "db2", "db3"}),
        ("u1", {"db1", "db2"}),
        ("nobody", set()),
    ],
)
def test_user_db_ids_by_rule(user_id, expected):
    result = user_context(user_id).user_db_ids
    assert type(result) is frozenset and result == expected


@pytest.mark.parametrize("user_id", [None, ""])
def test_user_db_ids_is_empty_without_user_and_reads_no_store(user_id):
    context = roots.RootContext.__new__(roots.RootContext)
    context.authenticated_user_id = user_id
    assert context.user_db_ids == frozenset()


def test_user_db_ids_is_recomputed_and_read_only():
    context = user_context("u1")
    assert context.user_db_ids == {"db1", "db2"}
    context.config_storage.databases["db3"].read.append("u1")
    assert context.user_db_ids == {"db1", "db2", "db3"}
    with pytest.raises(AttributeError):
        context.user_db_ids = frozenset()


# ------------------------------------------------------------ DefaultRoot


def test_default_root_copies_the_route_match_then_sets_its_acl():
    request = request_for(matchdict={"db_id": "x", "query_id": "q", "__acl__": "overridden"})
    context = roots.DefaultRoot(request)
    assert (context.db_id, context.query_id) == ("x", "q")
    assert context.__acl__ == [(Allow, Authenticated, "authenticated"), (Allow, Everyone, "view")]


def test_default_root_without_route_match_still_sets_the_acl_and_needs_no_password():
    users = dict(USERS, admin={"password": ""})
    request = request_for(user_id=None, matchdict=None, settings=settings_for(users=users))
    context = roots.DefaultRoot(request)
    assert context.db_id is None
    assert permits(context, request, "view") and not permits(context, request, "authenticated")


# ------------------------------------------------------------ RootBasic


def test_root_basic_records_status_runs_registry_and_denies_everything():
    settings = settings_for()
    request = request_for(settings=settings)
    context = roots.RootBasic(request)
    assert context.__acl__ == [DENY_ALL]
    assert request.request_status.statuses == [StatusCodes.CHECK_REQUEST_AUTH, StatusCodes.REQUEST_PREPROCESS]
    assert settings["krv_settings"]["process_registry"].executed == 1
    assert not permits(context, request, "view")


def test_request_without_status_tracker_is_served_unchanged():
    request = request_for(status_tracker=False)
    assert not hasattr(request, "request_status")
    assert roots.RootBasic(request).__acl__ == [DENY_ALL]


@pytest.mark.parametrize("password", ["", None])
def test_admin_without_password_refuses_service_before_the_user_check(password):
    settings = settings_for(users=dict(USERS, admin={"password": password}))
    request = request_for(user_id="stranger", settings=settings)
    with pytest.raises(HTTPForbidden) as refused:
        roots.RootBasic(request)
    assert refused.value.explanation == "Admin user password has to be set."
    assert request.request_status.statuses == []


def test_store_without_admin_raises_key_error():
    with pytest.raises(KeyError):
        roots.RootBasic(request_for(settings=settings_for(users={"u1": {"databases": []}})))


def test_unknown_user_is_refused_after_the_registry_ran():
    settings = settings_for()
    request = request_for("/db//x", user_id="stranger", settings=settings)
    with pytest.raises(HTTPForbidden) as refused:
        roots.RootBasic(request)
    assert refused.value.explanation == HTTPForbidden.explanation
    assert settings["krv_settings"]["process_registry"].executed == 1
    assert request.request_status.statuses == [StatusCodes.CHECK_REQUEST_AUTH]


@pytest.mark.parametrize(
    "user_id, config, refused",
    [("", "cfg", False), (None, "cfg", True), ("u1", None, True)],
)
def test_check_authenticated_user_tests_identity_with_none(user_id, config, refused):
    context = roots.RootBasic.__new__(roots.RootBasic)
    context.authenticated_user_id, context.authenticated_user_config = user_id, config
    if refused:
        with pytest.raises(HTTPForbidden):
            context.check_authenticated_user(None)
    else:
        assert context.check_authenticated_user(request=None) is None


@pytest.mark.parametrize(
    "method, query, expected",
    [
        ("PUT", "?validate", True),
        ("PUT", "?validate=", True),
        ("POST", "?validate=false", False),
        ("GET", "?validate=false", True),
        ("PUT", "?validate=yes", True),
        ("POST", "?validate=maybe", False),
        ("DELETE", "?validate=no", True),
        ("POST", "", True),
    ],
)
def test_validate_upload_flag(method, query, expected):
    context = roots.RootBasic(request_for("/db/x.json" + query, method=method))
    assert context.validate_upload is expected


@pytest.mark.parametrize("query, expected", [("?schema", True), ("?schema=", True), ("?a=1", False)])
def test_schema_request_flag(query, expected):
    assert roots.RootBasic(request_for("/db/x.xml" + query)).is_schema_request is expected


@pytest.mark.parametrize(
    "raw_uri, location",
    [
        ("/db//x", "http://localhost/db/x"),
        ("//db///x.json?next=http://a//b", "http://localhost/db/x.json?next=http://a//b"),
    ],
)
def test_repeated_slashes_redirect_permanently_with_warning_header(raw_uri, location):
    with pytest.raises(HTTPPermanentRedirect) as redirect:
        roots.RootBasic(request_for(raw_uri=raw_uri))
    assert redirect.value.code == 308
    assert redirect.value.location == location
    assert redirect.value.headers["Warning"] == "Redirected to a fixed path"


def test_acl_methods_assign_fresh_lists():
    context = roots.RootBasic(request_for())
    context.acl_allow()
    first = context.__acl__
    context.acl_allow()
    assert context.__acl__ == [(Allow, Everyone, ALL_PERMISSIONS)] and context.__acl__ is not first
    context.acl_deny()
    denied = context.__acl__
    context.acl_deny()
    assert context.__acl__ == [DENY_ALL] and context.__acl__ is not denied


class ExplodingDbId(roots.RootBasic):
    @property
    def db_id(self):
        raise AssertionError("db_id read")


def test_admin_passes_database_check_without_reading_the_database():
    context = ExplodingDbId.__new__(ExplodingDbId)
    context.authenticated_user_id = "admin"
    assert context._check_db_access_permissions() is None


def test_database_check_refuses_and_logs_at_debug_first(caplog):
    context = roots.RootBasic(request_for())
    context.db_id = "db2"
    with caplog.at_level(logging.DEBUG, logger="korvane"), pytest.raises(HTTPForbidden) as refused:
        context._check_db_access_permissions()
    message = 'User "u1" has no access permissions configured for the "db2" database.'
    assert refused.value.explanation == message
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [("DEBUG", message)]
    context.db_id = "db1"
    assert context._check_db_access_permissions() is None


def test_database_check_without_databases_entry_raises_type_error():
    context = roots.RootBasic.__new__(roots.RootBasic)
    context.authenticated_user_id = "u1"
    context.authenticated_user_config = make_store(users={"u1": {"password": "p"}}).users["u1"]
    with pytest.raises(TypeError):
        context._check_db_access_permissions()


# ------------------------------------------------------------ row limit


def limit_context(url, method="GET", db_id="db1", **ini):
    settings = settings_for(**ini)
    request = request_for(url, method=method, settings=settings)
    context = roots.RootBasic(request)
    context.db_id = db_id
    return context, request


@pytest.mark.parametrize(
    "query, location",
    [
        ("", "http://localhost/db/db1/t.json?limit=100"),
        ("?offset=10", "http://localhost/db/db1/t.json?offset=10&limit=100"),
        ("?limit=&a=1&a=2", None),
    ],
)
def test_get_without_limit_redirects_with_the_configured_limit_added(query, location):
    context, request = limit_context("/db/db1/t.json" + query, **{"db.db1.limit": 100})
    if location is None:
        with pytest.raises(HTTPBadRequest, match="limit"):
            context._check_db_limit_overflow(request)
        return
    with pytest.raises(HTTPFound) as redirect:
        context._check_db_limit_overflow(request)
    assert redirect.value.code == 302 and redirect.value.location == location


@pytest.mark.parametrize(
    "url, method, db_id",
    [
        ("/db/db1/t.json?limit=5", "GET", "db1"),
        ("/db/db1/t.json?limit=500", "GET", "db1"),
        ("/db/db1/t.json", "POST", "db1"),
        ("/db/db1/t.json", "PUT", "db1"),
        ("/db/db1/t.json", "DELETE", "db1"),
        ("/db/db2/t.json", "GET", "db2"),
        ("/db/t.json", "GET", None),
    ],
)
def test_requests_that_are_not_redirected_for_row_limit(url, method, db_id):
    context, request = limit_context(url, method=method, db_id=db_id, **{"db.db1.limit": 100})
    assert context._check_db_limit_overflow(request) is None


def test_limit_url_replaces_every_existing_limit_value():
    context, request = limit_context("/db/db1/t.json?limit=1&x=y&limit=2")
    assert context._get_db_limit_url(request, 7) == "http://localhost/db/db1/t.json?x=y&limit=7"


# ------------------------------------------------------------ data formats

class Resource(roots.DataFormatRoot):
    formats = {"GET": {"supported": ["json", "xsd"], "illegal": ["html", "txt"]}}


XSD_WARNING = "xsd format is deprecated.  Use xml format with 'schema' query string parameter for future requests."


@pytest.mark.parametrize(
    "url, location",
    [
        ("/db/x.xsd?a=1", "/db/x.xml?a=1&schema"),
        ("/db/x.xsd", "/db/x.xml?schema"),
        ("/db/x.xsd?schema", "/db/x.xml?schema&schema"),
    ],
)
def test_xsd_redirects_to_xml_with_schema_parameter(url, location, caplog):
    with caplog.at_level(logging.WARNING, logger="korvane"), pytest.raises(HTTPMovedPermanently) as redirect:
        Resource(request_for(url))
    assert redirect.value.location == location
    assert redirect.value.headers["Warning"] == XSD_WARNING
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [("WARNING", XSD_WARNING)]


def test_xsd_without_suffix_appends_the_xml_extension():
    context = roots.RootBasic(request_for("/db/x"))
    with pytest.raises(HTTPMovedPermanently) as redirect:
        context.redirect_request_format(context.request, "xsd")
    assert redirect.value.location == "/db/x.xml?schema"


def test_redirect_of_an_unmapped_format_raises_key_error():
    context = roots.RootBasic(request_for("/db/x"))
    with pytest.raises(KeyError):
        context.redirect_request_format(context.request, "json")


@pytest.mark.parametrize("cls", [Resource, roots.DataFormatRoot])
def test_html_is_handed_to_the_browser_interface_before_any_check(cls):
    with pytest.raises(HTTPOk) as handed:
        cls(request_for("/db/x.html"))
    assert handed.value.content_type == "text/html"


def test_data_format_root_sets_the_three_formats_before_checking():
    context = roots.DataFormatRoot.__new__(roots.DataFormatRoot)
    with pytest.raises(HTTPUnsupportedFormat):
        context.__init__(request_for("/db/x.csv", method="PUT"))
    assert (context.response_format, context.request_format, context.request_extension) == ("csv", "csv", "csv")


def test_missing_default_extension_raises_key_error():
    with pytest.raises(KeyError):
        roots.DataFormatRoot(request_for("/db/x", settings=settings_for(krv={"default_extension": ABSENT})))


def format_checker(url="/db/x.json", formats=None, method="GET"):
    class Checked(roots.DataFormatRoot):
        pass

    if formats is not None:
        Checked.formats = formats
    context = Checked.__new__(Checked)
    context.request = request_for(url, method=method)
    return context


JSON_ONLY = {"GET": {"supported": ["json"], "illegal": ["txt"], "not_implemented": ["csv"]}}


@pytest.mark.parametrize("url", ["/db/x.json", "/db/x", "/db/.json", "/db/x.JSON.json"])
def test_supported_format_passes_without_foreign_extension(url):
    assert format_checker(url, JSON_ONLY).check_data_format("GET", "json") == "json"


@pytest.mark.parametrize("url", ["/db/x.csv", "/db/x.json/y.tar"])
def test_supported_format_on_a_foreign_extension_is_not_found(url):
    checker = format_checker(url, JSON_ONLY)
    with pytest.raises(HTTPNotFound) as missing:
        checker.check_data_format("GET", "json")
    assert missing.value.explanation == HTTPNotFound.explanation
    assert checker.check_data_format("GET", "json", check_ext=False) == "json"


def test_not_implemented_format_is_501_with_explanation():
    with pytest.raises(HTTPNotImplemented) as refused:
        format_checker(formats=JSON_ONLY).check_data_format("GET", "csv")
    assert refused.value.explanation == "Format 'csv' for GET not implemented yet."


@pytest.mark.parametrize(
    "method, response_format",
    [("GET", "txt"), ("GET", "xml"), ("PATCH", "json"), ("POST", "json")],
)
def test_illegal_unlisted_or_unknown_method_formats_are_unsupported(method, response_format):
    with pytest.raises(HTTPUnsupportedFormat):
        format_checker(formats=JSON_ONLY).check_data_format(method, response_format)


def test_format_both_supported_and_illegal_is_accepted():
    formats = {"GET": {"supported": ["xml"], "illegal": ["xml"]}}
    assert format_checker("/db/x.xml", formats).check_data_format("GET", "xml") == "xml"


@pytest.mark.parametrize("response_format", ["json", "xml", "csv", "txt", "xsd"])
@pytest.mark.parametrize("method", ["GET", "PUT", "POST", "DELETE"])
def test_data_format_root_refuses_every_format(method, response_format):
    with pytest.raises(HTTPUnsupportedFormat):
        format_checker(f"/db/x.{response_format}").check_data_format(method, response_format)


def test_only_exactly_execute_query_skips_the_early_xsd_redirect():
    checked = []

    class StoredQuery(roots.ExecuteQuery):
        def check_data_format(self, request_method, response_format):
            checked.append(response_format)

        def __init__(self, request):
            roots.DataFormatRoot.__init__(self, request)

    with pytest.raises(HTTPMovedPermanently):
        StoredQuery(request_for("/query/q1.xsd"))
    with mock.patch("korvane.roots.ExecuteQuery", StoredQuery):
        StoredQuery(request_for("/query/q1.xsd"))
    assert checked == ["xsd"]


# ------------------------------------------------------------ reference-leak scenarios


def _leak_scenarios():
    settings = settings_for(**{"db.db1.limit": 100})
    plain = request_for("/db/x.json", settings=settings)
    escaper_context = escaper()

    def expect(exception, build):
        def run():
            try:
                build()
            except exception:
                return
            raise AssertionError(f"{exception.__name__} not raised")

        return run

    basic = roots.RootBasic(plain)
    basic.db_id = "db2"
    limited = roots.RootBasic(plain)
    limited.db_id = "db1"
    refused_key = request_for("/x?apikey=k", settings=settings_for(krv={"allow_apikey_in_query_string": False}))
    return [
        ("root_context", lambda: roots.RootContext(plain)),
        ("default_root", lambda: roots.DefaultRoot(request_for(matchdict={"db_id": "x"}))),
        ("root_basic", lambda: roots.RootBasic(plain)),
        ("user_db_ids", lambda: user_context("u1").user_db_ids),
        ("build_escaped_url", lambda: escaper_context.build_escaped_url(["a/b", ".."], ["/", "."])),
        ("apikey_refused", expect(HTTPForbidden, lambda: roots.RootContext(refused_key))),
        ("apikey_type_error", expect(TypeError, lambda: roots.check_apikey_querystring(None, plain))),
        ("unknown_user", expect(HTTPForbidden, lambda: roots.RootBasic(request_for(user_id="stranger")))),
        ("slash_redirect", expect(HTTPPermanentRedirect, lambda: roots.RootBasic(request_for(raw_uri="/a//b")))),
        ("db_access_refused", expect(HTTPForbidden, basic._check_db_access_permissions)),
        ("row_limit_redirect", expect(HTTPFound, lambda: limited._check_db_limit_overflow(plain))),
        ("xsd_redirect", expect(HTTPMovedPermanently, lambda: Resource(request_for("/db/x.xsd?a=1")))),
        ("unsupported_format", expect(HTTPUnsupportedFormat, lambda: roots.DataFormatRoot(plain))),
        ("html_hand_off", expect(HTTPOk, lambda: Resource(request_for("/db/x.html")))),
    ]


LEAK_SCENARIOS = _leak_scenarios()


@pytest.mark.parametrize("name, scenario", LEAK_SCENARIOS, ids=[name for name, _ in LEAK_SCENARIOS])
def test_leak_scenario_runs(name, scenario):
    scenario()
