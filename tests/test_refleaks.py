"""Reference and memory leaks of the module's paths (refusals too), without a debug interpreter.

Scenarios are ``(id, callable[, objects_to_watch])``: the catalogue below and the behaviour modules'
``LEAK_SCENARIOS``.  Skipped under ASan, where the block count says nothing."""

import contextlib
import functools
import gc
import importlib
import logging
import os
import sys
import types

import pytest

import korvane.roots as roots
from korvane.config_storage import QueryRecord

pytestmark = pytest.mark.skipif(
    os.environ.get("ROOTS_ASAN") == "1", reason="allocated-block counts are meaningless under ASan"
)

from helpers import CLASS_PATH_STORE, CLASS_PATHS, LONG_RUN, QuietTracker, leak_path, make_request, make_settings
from helpers import Slotted, make_store, with_plain_collaborators

ITERATIONS = 2000
# ROOTS_LONG_RUN=1: a million constructions of each class (one path each).
CONSTRUCTIONS_PER_CLASS = 10**6 if LONG_RUN else ITERATIONS
WARM_UP = 20
# Caches and free lists may settle after the warm-up; a leak grows by ITERATIONS.
ALLOWANCE = 200

SCENARIO_MODULES = ("test_context", "test_config_resources", "test_data_resources")


# ---------------------------------------------------------------- the harness


def closed_over(obj, depth=4, seen=None):
    """The objects a callable reaches through closure cells, nested closures and bound methods."""
    seen = set() if seen is None else seen
    if id(obj) in seen:
        return []
    seen.add(id(obj))
    if isinstance(obj, types.MethodType):
        return [obj.__self__, *closed_over(obj.__func__, depth, seen)]
    if isinstance(obj, types.FunctionType):
        return [found for cell in obj.__closure__ or () if depth > 0
                for found in closed_over(cell.cell_contents, depth - 1, seen)]
    return [obj]


def leaks_of(scenario, objects_to_watch=(), iterations=ITERATIONS):
    """What `scenario` leaks after WARM_UP calls, as readable lines (empty: nothing)."""
    # Log records of every level are made and dropped, not kept by the runner's log capture (which
    # would look like a leak of one per call).
    watch = list(objects_to_watch) + closed_over(scenario)
    logger = logging.getLogger("korvane")
    saved = logger.handlers[:], logger.propagate, logger.level
    logger.handlers[:], logger.propagate = [logging.NullHandler()], False
    logger.setLevel(logging.DEBUG)
    try:
        for _ in range(WARM_UP):
            scenario()
        gc.collect()  # a full collection also empties the interpreter's free lists
        counts, blocks = [sys.getrefcount(obj) for obj in watch], sys.getallocatedblocks()
        for _ in range(iterations):
            scenario()
        gc.collect()
        blocks = sys.getallocatedblocks() - blocks
        growths = [after - before for before, after in zip(counts, [sys.getrefcount(obj) for obj in watch])]
    finally:
        logger.handlers[:], logger.propagate = saved[0], saved[1]
        logger.setLevel(saved[2])
    found = ["{} references more to {!r:.80}".format(g, obj) for obj, g in zip(watch, growths) if g >= ALLOWANCE]
    return found + (["{} memory blocks more after {} calls".format(blocks, iterations)] if blocks >= ALLOWANCE else [])


# ---------------------------------------------------------------- the scenarios


def either_way(call):
    """A scenario for a body owned elsewhere: whatever it returns or raises must be released."""
    def run():
        with contextlib.suppress(Exception):
            call()
    return run


def catalogue_scenarios():
    bare = {cls: cls.__new__(cls) for cls in (roots.RootContext, roots.RootBasic, roots.ExecuteQuery, roots.DBDef,
                                               roots.DBDefsList, roots.DBCredentialsRoot,
                                               roots.DDURLParserBuilderRoot, roots.QuerydefsList)}
    root, basic, query = bare[roots.RootContext], bare[roots.RootBasic], bare[roots.ExecuteQuery]
    query.query_config = QueryRecord({"http_methods": {"GET": True}}, key="q1")
    user = {"querydef": ["view"], "userdef": ["create"], "view": ["bob"]}
    users = {"alice": user, "bob": {"edit": ["alice"]}}
    subclassed_settings = type("SettingsDict", (dict,), {})()
    request_without_registry, keyword = types.SimpleNamespace(), "bogus"
    refused = functools.partial(leak_path, refusal=TypeError)
    scenarios = [
        # Arguments bound by the function type, and its refusals.
        ("method_with_keywords", lambda: roots.RootBasic.acl_deny(self=basic)),
        ("bound_method", lambda: basic.acl_allow()),
        ("default_filled_in", either_way(lambda: query._validate_http_method("GET"))),
        ("too_many_positional", refused(lambda: query.check_data_format("GET", "json", False))),
        ("missing_positional", refused(lambda: root.build_escaped_url(chars_to_replace=[]))),
        ("unexpected_keyword", refused(lambda: root.build_escaped_url(1, 2, **{keyword: 3}))),
        ("multiple_values", refused(lambda: root.build_escaped_url(1, 2, segments=3))),
        ("not_exactly_a_dict", refused(roots.check_apikey_querystring, subclassed_settings, None)),
        # A body that fails gets a traceback entry of its own.
        ("traceback_entry",
         leak_path(roots.RootContext.__init__, root, request_without_registry, refusal=AttributeError)),
        ("class_call_refused", refused(lambda: roots.ExecuteQuery())),
        ("metadata", lambda: (roots.ExecuteQuery._validate_http_method.__defaults__,
                              roots.RootContext.user_db_ids.fget.__annotations__,
                              roots.check_apikey_querystring.__code__.co_varnames,
                              roots.DataFormatRoot.check_data_format.__qualname__)),
        # Static methods, on the class and on an instance.
        ("querydefs_list_get_acl", either_way(lambda: roots.QuerydefsList.get_acl("alice", user))),
        ("userdefs_list_get_configs", either_way(lambda: roots.UserdefsList.get_configs("alice", True, users))),
        ("userdefs_list_get_acl", either_way(lambda: roots.UserdefsList.get_acl("alice", users))),
        ("userdef_get_acl", either_way(lambda: roots.Userdef.get_acl("bob", "alice", users))),
        ("new_userdef_get_acl", either_way(lambda: roots.NewUserdef.get_acl("alice", users))),
        ("static_on_instance", either_way(lambda: bare[roots.QuerydefsList].get_acl("admin", user))),
        ("read_only_property", leak_path(lambda: setattr(bare[roots.DBDef], "db_config", 1), refusal=AttributeError)),
    ]
    # Properties, read on instances whose initialiser has not run.
    for cls, names in [(roots.RootContext, ["user_db_ids"]), (roots.DBDef, ["db_config"]),
                       (roots.DBDefsList, ["_db_configs"]), (roots.DDURLParserBuilderRoot, ["db_config"]),
                       (roots.DBCredentialsRoot, ["db_config", "dbc_config", "db_credentials"])]:
        get = functools.partial(lambda obj, names: [getattr(obj, name) for name in names], bare[cls], names)
        scenarios.append((f"{cls.__name__}.{'.'.join(names)}", either_way(get)))
    watched = [*bare.values(), user, users, subclassed_settings, request_without_registry]
    return [("catalogue::" + name, scenario, watched) for name, scenario in scenarios]


def all_scenarios():
    scenarios = catalogue_scenarios() + [(f"{name}::{s[0]}", *s[1:]) for name in SCENARIO_MODULES
                                         for s in importlib.import_module(name).LEAK_SCENARIOS]
    return [pytest.param(s[1], s[2] if len(s) > 2 else (), id=s[0]) for s in scenarios]


@pytest.mark.parametrize("scenario, objects_to_watch", all_scenarios())
def test_scenario_leaks_nothing(scenario, objects_to_watch):
    assert leaks_of(scenario, objects_to_watch) == []


@pytest.mark.parametrize("class_name, url, request_kw", CLASS_PATHS, ids=[path[0] for path in CLASS_PATHS])
def test_constructing_each_class_leaks_nothing(class_name, url, request_kw):
    store = make_store(**CLASS_PATH_STORE)
    request = make_request(url, settings=make_settings(store=store), user_id="alice", **request_kw)
    request.request_status = QuietTracker()
    cls = getattr(roots, class_name)
    construct = either_way(lambda: cls(request))  # the refusals and the browser page are paths too
    watched = [request, store, store.users, store.databases, store.querydefs, *store.users.values()]
    assert leaks_of(construct, watched, iterations=CONSTRUCTIONS_PER_CLASS) == []


@pytest.mark.parametrize("kind", [types.SimpleNamespace, Slotted], ids=["namespace", "slotted"])
def test_reading_collaborators_of_other_kinds_leaks_nothing(kind):
    settings = make_settings(store=make_store(**CLASS_PATH_STORE))
    request = make_request("/model/sales.json", settings=settings, user_id="alice", matchdict={"db_id": "sales"})
    with_plain_collaborators(request, kind, QuietTracker.add_status)
    construct = either_way(lambda: roots.DBModel(request))
    assert leaks_of(construct, [request, request.registry, request.request_status, request.registry.settings]) == []


def _collecting(*args, **kw):
    return "alice", (args[1]["alice"], kw)


def _collecting_the_rest(request, *rest):
    return "alice", rest[0]["alice"]


@pytest.mark.parametrize("collaborator", [_collecting, _collecting_the_rest], ids=["everything", "the-rest"])
def test_collaborators_collecting_their_arguments_leak_nothing(collaborator, monkeypatch):
    store = make_store(**CLASS_PATH_STORE)
    request = make_request("/", settings=make_settings(store=store), user_id="alice")
    monkeypatch.setattr(roots, "get_authenticated_user", collaborator)
    assert leaks_of(lambda: roots.RootContext(request), [request, store.users, *store.users.values()]) == []


# ---------------------------------------------------------------- the harness itself


@pytest.mark.parametrize("watched, explicit, expected", [
    (None, False, "memory blocks more after {} calls".format(ITERATIONS)),
    (object(), False, "{} references more to <object".format(ITERATIONS)),
    # A partial closes over nothing, so only the explicit list names the object.
    (["given"], True, "references more to ['given']"),
    # A path that releases what it takes.
    (object(), False, None),
])
def test_harness_catches_what_a_path_keeps_per_call(watched, explicit, expected):
    held = []
    if explicit:
        scenario = functools.partial(held.append, watched)
    elif expected is None:
        def scenario():
            return [watched, {"a": watched}, (watched,) * 3]
    else:
        def scenario():
            held.append(object() if watched is None else watched)
    try:
        found = leaks_of(scenario, objects_to_watch=[watched] if explicit else ())
    finally:
        held.clear()
    assert found == [] if expected is None else any(expected in line for line in found), found
