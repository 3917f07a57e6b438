"""Differential fuzzing of the compiled ``korvane.roots`` against its pure-Python twin ``korvane._pyroots``.

Each builds from its own copy of a drawn store, settings, user and request (well-formed or odd); the context or
exception, Warning headers, tracker, store refreshes, registry runs and log lines must agree."""

import contextlib
import copy
import logging
import sys
import types
from collections import OrderedDict, UserDict
from urllib.parse import quote, urlencode

from unittest import mock

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from pyramid.httpexceptions import HTTPException
from pyramid.security import ALL_PERMISSIONS, DENY_ALL

import korvane._pyroots as pyroots
import korvane.roots as roots
from korvane.config_storage import DatabaseCredentials, Record
from korvane.process_registry import ProcessRegistry
from korvane.utils import DataModel

from helpers import (ABSENT, CLASS_PATH_STORE, CLASS_PATHS, LONG_RUN, TRACE, TracedUserId, make_request,
                     make_settings, make_store, trace_store, traced, traced_context_class)

CLASS_NAMES = [name for name, value in vars(pyroots).items()
               if isinstance(value, type) and value.__module__ == pyroots.__name__]
# Per class in the test command; the long run spreads 10^5 examples over the
# classes and the static decisions.
EXAMPLES = 2000 if LONG_RUN else 60
PROPERTIES = ("user_db_ids", "db_config", "dbc_config", "db_credentials", "_db_configs")

# The test command draws the same examples on every run, so that it passes
# or fails alike everywhere; the long run draws fresh ones each time.
fuzz = settings(
    max_examples=EXAMPLES, derandomize=not LONG_RUN, deadline=None, database=None, print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.large_base_example],
)

# ---------------------------------------------------------------- inputs

# The first few ids of each pool are the usual ones, the rest odd.
USER_IDS = ["u1", "u2", "public", "admin", "", "ü", "$2F"]
DB_IDS = ["db1", "sales", "db2", "", "ä.b"]
QUERY_IDS = ["q1", "q2", "q3", ""]
RIGHTS = ["view", "create", "edit"]
FORMATS = ["json", "html", "xml", "xsd", "csv", "txt", ""]
METHODS = ["GET", "POST", "PUT", "DELETE", "PATCH", "HEAD", "OPTIONS"]
SEGMENTS = ["db", "sales", "db1", "q1", "parse", "build", "static", "", ".", "..", "a.b", "$2F"]
# The routes' own prefixes, so that paths reach the steps that read them.
PREFIXES = ["", "/static", "/query/q1", "/db/sales", "/dd/db1", "/dd/parse", "/dd/build", "/dd/parse/build"]

json_scalars = st.none() | st.booleans() | st.integers(-5, 5) | st.floats(allow_nan=False) | st.text(max_size=4)
json_values = st.recursive(json_scalars, lambda inner: st.lists(inner, max_size=3)
                           | st.dictionaries(st.text(max_size=3), inner, max_size=3), max_leaves=6)


def inputs_for(class_name=None, with_odd=True):
    """A store, settings, a user and a request; ``with_odd`` false keeps the world well formed."""
    # so that examples reach the classes' own decisions; methods and extensions are mostly ones the class serves.
    def mostly(usual, odd, tenths=8):
        """``usual`` in about ``tenths`` of ten examples (always in a well-formed world), else ``odd``."""
        return st.integers(0, 9).flatmap(lambda i: usual if i < tenths else odd) if with_odd else usual

    def collection(members):
        """A list of members (empty, some, or a huge one), or a value of the wrong type."""
        huge = st.integers(200, 2000).map(lambda n: [f"x{i}" for i in range(n)] + members[:1])
        odd = (st.lists(st.sampled_from(members), max_size=4) | huge | json_scalars
               | st.dictionaries(st.sampled_from(members), st.booleans(), max_size=2))
        return mostly(st.lists(st.sampled_from(members[:3]), max_size=3), odd)

    def record(fields, required=()):
        return st.fixed_dictionaries({k: fields[k] for k in required},
                                     optional={k: v for k, v in fields.items() if k not in required})

    user_fields = {
        "password": mostly(st.just("pw"), json_scalars, tenths=9), "databases": collection(DB_IDS),
        "querydef": collection(RIGHTS), "dbdef": collection(RIGHTS), "userdef": collection(RIGHTS),
        "dbcreds": collection(RIGHTS), "view": collection(USER_IDS), "edit": collection(USER_IDS),
        "creator": st.sampled_from(USER_IDS) | json_scalars,
    }

    def user(user_id, tenths, required=("databases",)):
        """The record of ``user_id``, in about ``tenths`` of ten stores."""
        return mostly(record(user_fields, required).map(lambda r: {user_id: r}), st.just({}), tenths)

    def merged(parts):
        return {k: v for part in parts for k, v in part.items()}

    # The administrator has a password in most stores, the usual requesters a record; others come and go.
    users = st.tuples(st.dictionaries(st.sampled_from(USER_IDS), record(user_fields), max_size=2),
                      user("u1", 8), user("u2", 6), user("public", 7),
                      user("admin", 9, required=["password", "databases"])).map(merged)
    database_fields = {key: collection(USER_IDS) for key in ("read", "write", "execute")}
    query_fields = {
        "database": mostly(st.sampled_from(DB_IDS[:2]), st.sampled_from(DB_IDS) | json_scalars), **database_fields,
        "http_methods": mostly(st.fixed_dictionaries({m: mostly(st.just(True), json_scalars) for m in METHODS[:4]}),
                               json_scalars | st.lists(st.sampled_from(METHODS), max_size=2)
                               | st.dictionaries(st.sampled_from(METHODS), json_scalars, max_size=4)),
    }

    def entries(ids, usual, values, usual_values=None):
        """A mapping: the ``usual`` ids in most draws (with ``usual_values``), others now and then."""
        usual_values = values if usual_values is None else usual_values
        present = [mostly(usual_values.map(lambda v, key=key: {key: v}), st.just({}), 7) for key in usual]
        return st.tuples(st.dictionaries(st.sampled_from(ids), values, max_size=2), *present).map(merged)

    databases = entries(DB_IDS, ["db1", "sales"], record(database_fields))
    querydefs = entries(QUERY_IDS, ["q1", "q2"], record(query_fields),
                        record(query_fields, required=["database", "http_methods", "execute"]))
    credential_entries = entries(["c1", "c2", ""], ["c1", "c2"],
                                 record({key: collection(USER_IDS) for key in ("view", "edit")}))
    credentials = entries(DB_IDS, DB_IDS[:2], credential_entries)

    def setting(values):
        return st.sampled_from([ABSENT]) | values

    krv_settings = st.fixed_dictionaries({
        "apikey_name": setting(st.sampled_from(["apikey", "", None, "appid"])),
        "appid_name": setting(st.sampled_from(["appid", "", None])),
        "allow_apikey_in_query_string": setting(json_scalars),
        "default_extension": mostly(st.just("json"), st.sampled_from(FORMATS)),
        "access_denied_msg": setting(st.text(max_size=6)),
        "url_substitution": mostly(st.just({"$2F": "/", "$2E": "."}), st.sampled_from([{"~": "/"}, None])),
    })
    ini_settings = st.fixed_dictionaries({}, optional={
        "db.sales.limit": json_scalars, "db.db1.limit": st.integers(0, 100), "wildcard": st.text(max_size=2),
        "separator": st.text(max_size=2), "datadiscovery.null_str": st.text(max_size=3),
    })
    segment = st.sampled_from(SEGMENTS) | st.text(min_size=1, max_size=5)
    params = st.lists(st.tuples(
        st.sampled_from(["schema", "validate", "limit", "format", "guidata", "guiassign", "apikey", "appid", "wildcard",
                         "separator", "nullStr", "$2F", "offset"]) | st.text(min_size=1, max_size=3),
        st.sampled_from(["", "1", "true", "no", "5", "-1", "x"]) | st.text(max_size=3)), max_size=4)

    def route_value(ids):
        return mostly(st.sampled_from(ids[:3]), st.sampled_from(ids) | json_values, tenths=7)

    route_keys = {
        "query_id": route_value(QUERY_IDS), "db_id": route_value(DB_IDS), "user_id": route_value(USER_IDS),
        "dbc_id": route_value(["c1", "c2"]), "extension": route_value(FORMATS), "format": route_value(FORMATS),
        "other_segments": mostly(st.tuples(st.sampled_from(["db1", "sales"]), st.lists(st.sampled_from(
            DB_IDS + ["T", "a.json"]), max_size=2)).map(lambda t: [t[0], *t[1]]),
            st.lists(st.sampled_from(DB_IDS + ["T"]), max_size=2) | json_values),
    }
    # Most requests match a route with every key; some lack keys, have none, or did not match at all.
    matchdict = mostly(st.fixed_dictionaries(route_keys),
                       st.none() | st.fixed_dictionaries({}, optional=route_keys)
                       | st.dictionaries(st.text(max_size=3), json_values, max_size=2)
                       | st.lists(st.text(max_size=2), max_size=2), tenths=6)
    json_body = mostly(st.fixed_dictionaries({
        "path": mostly(st.tuples(st.sampled_from(["db1", "sales"]), st.lists(segment, max_size=3)).map(
            lambda t: "/".join(["", "dd", t[0], *t[1]])), st.lists(segment, max_size=4).map("/".join) | json_values),
        "database": route_value(DB_IDS)}), json_values)

    formats = getattr(roots, class_name or "RootContext").__dict__.get("formats") or {"GET": {"supported": ["json"]}}
    served = sorted({f for lists in formats.values() for f in lists.get("supported", []) if f not in ("html", "xsd")})
    prefixes = {"DDURLParserBuilderRoot": ["/dd/parse", "/dd/build"], "ExecuteQuery": ["/query/q1"]}
    return st.fixed_dictionaries({
        "store": st.fixed_dictionaries({"users": users, "databases": databases, "querydefs": querydefs,
                                        "credentials": credentials}),
        "krv": krv_settings, "ini": ini_settings,
        "user_id": mostly(st.sampled_from(["u1", "u2", "admin", "public"]), st.none() | st.sampled_from(USER_IDS)),
        "method": mostly(st.sampled_from(list(formats)), st.sampled_from(METHODS), tenths=7),
        "prefix": mostly(st.sampled_from(prefixes.get(class_name, PREFIXES)), st.sampled_from(PREFIXES)),
        "segments": st.lists(segment, max_size=4),
        "extension": mostly(st.sampled_from([""] + served), st.sampled_from(FORMATS), tenths=7),
        "params": params, "matchdict": matchdict, "raw_uri_slashes": mostly(st.just(False), st.just(True), tenths=9),
        "json_body": mostly(json_body, st.none()),
        "status_tracker": mostly(st.just(True), st.just(False), tenths=9),
        # Now and then the user resolution answers an id of any JSON type (wrapped, None can be one).
        "resolved_user": mostly(st.none(), st.tuples(json_values)),
    })


def build(drawn):
    """A fresh request (with its settings, store and registry) for one implementation."""
    store = make_store(**drawn["store"])
    settings_ = make_settings(store=store, registry=ProcessRegistry(), krv=drawn["krv"], **drawn["ini"])
    path = drawn["prefix"] + "/" + "/".join(quote(s, safe="$.") for s in drawn["segments"])
    if drawn["extension"]:
        path += "." + drawn["extension"]
    url = path + ("?" + urlencode(drawn["params"]) if drawn["params"] else "")
    return make_request(url, method=drawn["method"], settings=settings_, user_id=drawn["user_id"],
                        matchdict=drawn["matchdict"], raw_uri="/" + url if drawn["raw_uri_slashes"] else None,
                        status_tracker=drawn["status_tracker"], json_body=drawn["json_body"])


# ---------------------------------------------------------------- outcomes


def canon(value, known):
    """``value`` comparable: inputs by role (``known``: id() to name), the rest by content and exact type."""
    name = known.get(id(value))
    if name is not None:
        return name
    if value is ALL_PERMISSIONS:
        return "ALL_PERMISSIONS"
    if isinstance(value, Record):
        return (type(value).__name__, value.key, canon(value.to_dict(), known))
    if isinstance(value, DatabaseCredentials):
        return ("DatabaseCredentials", value.db_id, canon(value.credentials, known))
    if isinstance(value, dict):
        return (type(value).__name__, [(canon(k, known), canon(v, known)) for k, v in value.items()])
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [canon(v, known) for v in value])
    if isinstance(value, (set, frozenset)):
        return (type(value).__name__, sorted(repr(canon(v, known)) for v in value))
    if isinstance(value, (str, int, float, type(None), DataModel)):
        return (type(value).__name__, repr(value))
    return ("object", type(value).__name__)


def exception_outcome(exc):
    kind = f"{type(exc).__module__}.{type(exc).__qualname__}"
    if isinstance(exc, HTTPException):
        return (kind, exc.status, exc.explanation, exc.detail, str(exc), exc.headers.get("Location"),
                exc.headers.getall("Warning"))
    return (kind, str(exc))


def known_inputs(request):
    settings_ = request.registry.settings
    krv, store = settings_["krv_settings"], settings_["krv_settings"]["config_storage"]
    known = {id(request): "request", id(settings_): "ini_settings", id(krv): "krv_settings",
             id(settings_["auth_settings"]): "auth_settings", id(store): "store", id(store.users): "store.users",
             id(store.databases): "store.databases", id(store.querydefs): "store.querydefs",
             id(krv["process_registry"]): "process_registry", id(ALL_PERMISSIONS): "ALL_PERMISSIONS",
             id(DENY_ALL): "DENY_ALL"}
    for mapping in (store.users, store.databases, store.querydefs):
        known.update((id(rec), f"record {type(rec).__name__} {rec.key!r}") for rec in mapping.values())
    return known


def run(module, call, drawn):
    """What calling ``call(module, request)`` does, in comparable form."""
    sys._clear_type_cache()
    request = build(drawn)
    known, lines, handler = known_inputs(request), [], logging.Handler(logging.DEBUG)
    handler.emit = lambda record: lines.append((record.levelname, record.getMessage()))
    logger = logging.getLogger("korvane")
    logger.addHandler(handler)
    level, logger.level = logger.level, logging.DEBUG
    resolution = contextlib.nullcontext()
    if drawn.get("resolved_user"):  # a stand-in resolution; an id that cannot be a key has no record
        user_id = drawn["resolved_user"][0]
        resolution = mock.patch.object(module, "get_authenticated_user", side_effect=lambda request, users: (
            user_id, None if isinstance(user_id, (list, dict)) else users.get(user_id)))
    try:
        with resolution:
            result = ("returned", canon(call(module, request), known))
    except Exception as exc:  # every failure is part of the outcome
        result = ("raised", exception_outcome(exc))
    finally:
        logger.removeHandler(handler)
        logger.level = level
    settings_, tracker = request.registry.settings["krv_settings"], getattr(request, "request_status", None)
    return result, (request.response.headers.getall("Warning"), tracker and (tracker.statuses, canon(tracker.metadata,
                    known)), settings_["config_storage"].pull_count, settings_["process_registry"].executed, lines)


def context_state(context, known):
    """The context's own attributes and what its properties answer."""
    state = [type(context).__name__, canon(vars(context), known)]
    for name in PROPERTIES:
        if isinstance(getattr(type(context), name, None), property):
            try:
                state.append((name, canon(getattr(context, name), known)))
            except Exception as exc:
                state.append((name, exception_outcome(exc)))
    return state


def assert_agree(call, drawn):
    assert run(roots, call, drawn) == run(pyroots, call, drawn)


# ---------------------------------------------------------------- the tests


@pytest.mark.parametrize("world", ["well-formed", "odd"])
@pytest.mark.parametrize("class_name", CLASS_NAMES)
def test_both_implementations_build_the_same_context(class_name, world):
    @fuzz
    @given(drawn=inputs_for(class_name, with_odd=world == "odd"))
    def agree(drawn):
        assert_agree(lambda module, request: context_state(getattr(module, class_name)(request),
                                                           known_inputs(request)), drawn)
    agree()


settings_arguments = st.sampled_from([None, OrderedDict(), UserDict(), types.MappingProxyType({}), [], 0]) | st.builds(
    dict, st.dictionaries(st.sampled_from(["apikey_name", "appid_name", "allow_apikey_in_query_string"]),
                          json_scalars | st.sampled_from(["apikey", "appid"]), max_size=3))


@fuzz
@given(drawn=inputs_for(), krv_settings=settings_arguments)
def test_both_implementations_check_a_query_string_key_alike(drawn, krv_settings):
    assert_agree(lambda module, request: module.check_apikey_querystring(krv_settings, request), drawn)


@fuzz
@given(drawn=inputs_for(), segments=st.lists(st.text(alphabet="a/.~$", max_size=4) | json_values, max_size=4),
       chars=st.lists(st.sampled_from(["/", ".", "~", "a"]), max_size=3)
       | st.lists(st.sampled_from(["/", ".", "~", "a"]) | st.text(max_size=2) | json_scalars, max_size=3),
       query_string_data=st.none() | st.dictionaries(st.text(max_size=2), st.text(max_size=2), max_size=2))
def test_both_implementations_escape_segments_alike(drawn, segments, chars, query_string_data):
    def call(module, request):
        context = module.RootContext.__new__(module.RootContext)
        context.reversed_url_substitution = {"/": "$2F", ".": "$2E", "~": "$7E"}
        data = None if query_string_data is None else dict(query_string_data)
        return context.build_escaped_url(segments, chars, data)
    assert_agree(call, drawn)


STATIC_DECISIONS = {
    "QuerydefsList.get_acl": 2, "UserdefsList.get_acl": 2, "UserdefsList.get_configs": 3,
    "Userdef.get_acl": 3, "NewUserdef.get_acl": 2,
}
# An argument of a static decision, resolved against each run's own store:
# a user id or any JSON value, the store's users mapping (itself or a copy),
# or one of its user records.
static_argument = (st.tuples(st.just("value"), st.sampled_from(USER_IDS) | json_values)
                   | st.tuples(st.sampled_from(["users", "users copy"]), st.none())
                   | st.tuples(st.just("record"), st.sampled_from(USER_IDS)))
# Or as the classes call them: a usual user id first, the users mapping last.
static_arguments = st.lists(static_argument, min_size=3, max_size=3) | st.tuples(
    st.tuples(st.just("value"), st.sampled_from(USER_IDS[:4])), static_argument,
    st.tuples(st.sampled_from(["users", "users copy"]), st.none())).map(list)


def resolve(argument, store):
    kind, value = argument
    return {"users": lambda: store.users, "users copy": lambda: dict(store.users),
            "record": lambda: store.users.get(value)}.get(kind, lambda: value)()


@pytest.mark.parametrize("qualname", STATIC_DECISIONS)
@fuzz
@given(drawn=inputs_for(), arguments=static_arguments)
def test_both_implementations_decide_static_acls_alike(qualname, drawn, arguments):
    class_name, method = qualname.split(".")

    def call(module, request):
        store = request.registry.settings["krv_settings"]["config_storage"]
        # The first argument and the last ones, as many as the decision takes.
        chosen = [arguments[0], *arguments[4 - STATIC_DECISIONS[qualname]:]]
        return getattr(getattr(module, class_name), method)(*[resolve(a, store) for a in chosen])
    assert_agree(call, drawn)


@pytest.mark.parametrize("collaborator, class_name", [("get_authenticated_user", "RootContext"),
                                                      ("requested_data_format", "DataFormatRoot")])
def test_unpacking_a_result_that_is_not_iterable_raises_the_interpreters_type_error(collaborator, class_name):
    def call(module, request):
        with mock.patch.object(module, collaborator, return_value=None):
            return getattr(module, class_name)(request)

    @settings(fuzz, max_examples=1)
    @given(drawn=inputs_for(class_name, with_odd=False))
    def outcomes(drawn):
        twin = run(pyroots, call, drawn)
        assert twin[0] == ("raised", ("builtins.TypeError", "cannot unpack non-iterable NoneType object"))
        assert run(roots, call, drawn) == twin
    outcomes()


class Truth:
    """What a comparison of `UserId` gives: its truth is counted, and the test numbered `fail_at` raises."""

    tests, fail_at = 0, None

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        Truth.tests += 1
        if Truth.tests == Truth.fail_at:
            raise ArithmeticError(f"truth test {Truth.tests}")
        return self.value


class UserId(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return Truth(str.__eq__(self, other) is True)

    def __ne__(self, other):
        return Truth(str.__ne__(self, other) is True)


def truth_tested(module, name, user, url, kw, fail_at):
    """The outcome of building `name` for a user id whose comparisons answer `Truth`s, and how many were tested."""
    request = make_request(url, settings=make_settings(store=make_store(**copy.deepcopy(CLASS_PATH_STORE))),
                           user_id=user, **copy.deepcopy(kw))
    user_id = UserId(user)
    Truth.tests, Truth.fail_at = 0, fail_at
    sys._clear_type_cache()
    with mock.patch.object(module, "get_authenticated_user", lambda request, users: (user_id, users.get(user))):
        try:
            getattr(module, name)(request)
            outcome = "built"
        except Exception as exc:
            outcome = exception_outcome(exc)
    return outcome, Truth.tests


@pytest.mark.parametrize("name, url, kw", CLASS_PATHS, ids=[path[0] for path in CLASS_PATHS])
@pytest.mark.parametrize("user", ["admin", "alice"])
def test_comparisons_of_the_user_id_are_tested_for_truth_alike(name, url, kw, user):
    # The same tests in the same order: the failure of each one in turn ends both builds alike.
    outcome, tests = truth_tested(pyroots, name, user, url, kw, None)
    assert truth_tested(roots, name, user, url, kw, None) == (outcome, tests)
    for fail_at in range(1, tests + 1):
        assert truth_tested(roots, name, user, url, kw, fail_at) == truth_tested(pyroots, name, user, url, kw, fail_at)


def traced_build(module, name, user, url, kw):
    """How building `name` for `user` ended, and what it did to its traced collaborators on the way."""
    store = trace_store(make_store(**copy.deepcopy(CLASS_PATH_STORE)))
    request = make_request(url, settings=make_settings(store=store), user_id=user, **copy.deepcopy(kw))
    traced(request.registry.settings["krv_settings"]["process_registry"], "process_registry")
    traced(request.request_status, "tracker")
    traced(request, "request")
    # A subclass, so that the context's own reads are traced: the twin's and the module's alike.
    cls, user_id = traced_context_class(getattr(module, name)), TracedUserId(user)
    TRACE.begin()
    sys._clear_type_cache()
    with mock.patch.object(module, "get_authenticated_user", lambda request, users: (user_id, users.get(user_id))):
        try:
            cls(request)
            outcome = "built"
        except Exception as exc:
            outcome = exception_outcome(exc)
    return outcome, TRACE.lines


@pytest.mark.parametrize("name, url, kw", CLASS_PATHS, ids=[path[0] for path in CLASS_PATHS])
@pytest.mark.parametrize("user", ["admin", "alice", "bob"])
def test_both_implementations_read_their_inputs_and_set_the_context_in_the_same_order(name, url, kw, user):
    outcome, lines = traced_build(pyroots, name, user, url, kw)
    assert ("store", "users") in lines
    assert traced_build(roots, name, user, url, kw) == (outcome, lines)
