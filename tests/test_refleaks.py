"""Reference and memory leaks of the module's paths, checked without a
debug interpreter.

Every scenario is run a few times to fill the caches it touches, then
ITERATIONS times; afterwards the reference counts of the objects it was
handed and the interpreter's count of allocated memory blocks must be
where they were, up to a small constant.  A path that keeps one reference
or one object per call grows by ITERATIONS and fails.  Refusals and
redirects are scenarios too: a raised exception must release what its
path took.

Scenarios come from this file (the catalogue: static methods, properties,
argument errors, traceback entries) and from the ``LEAK_SCENARIOS`` list of
each behaviour test module, as ``(id, callable)`` or
``(id, callable, objects_to_watch)``.  Besides ``objects_to_watch``, the
objects a callable closes over (through nested closures and bound
methods) are watched too.

Under AddressSanitizer (ROOTS_ASAN=1, object memory through malloc) the
block count says nothing, so the module is skipped there.
"""

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
from helpers import make_store

ITERATIONS = 2000
# ROOTS_LONG_RUN=1: a million constructions of each class (one path each).
CONSTRUCTIONS_PER_CLASS = 10**6 if LONG_RUN else ITERATIONS
WARM_UP = 20
# Caches and free lists may settle after the warm-up; a leak grows by ITERATIONS.
ALLOWANCE = 200

SCENARIO_MODULES = ("test_context", "test_config_resources", "test_data_resources")


# ---------------------------------------------------------------- the harness


def closed_over(callable_, depth=4):
    """The objects a callable reaches through its closure cells, nested
    callables' closures and bound methods' instances."""
    found = []
    pending = [(callable_, depth)]
    seen = set()
    while pending:
        obj, left = pending.pop()
        if id(obj) in seen:
            continue
        seen.add(id(obj))
        if isinstance(obj, types.MethodType):
            found.append(obj.__self__)
            pending.append((obj.__func__, left))
        elif isinstance(obj, types.FunctionType):
            if left > 0:
                for cell in obj.__closure__ or ():
                    pending.append((cell.cell_contents, left - 1))
        elif obj is not callable_:
            found.append(obj)
    return found


def measure(scenario, watch, iterations=ITERATIONS):
    """Runs `scenario` and returns (reference count growth per watched
    object, growth of allocated blocks)."""
    for _ in range(WARM_UP):
        scenario()
    gc.collect()  # a full collection also empties the interpreter's free lists
    counts_before = [sys.getrefcount(obj) for obj in watch]
    blocks_before = sys.getallocatedblocks()
    for _ in range(iterations):
        scenario()
    gc.collect()
    blocks_after = sys.getallocatedblocks()
    counts_after = [sys.getrefcount(obj) for obj in watch]
    return [after - before for before, after in zip(counts_before, counts_after)], blocks_after - blocks_before


@contextlib.contextmanager
def records_dropped(logger_name="korvane"):
    """Log records of every level are made and handled, then dropped, instead
    of being kept by the test runner's log capture (which would look like a
    leak of one record per call)."""
    logger = logging.getLogger(logger_name)
    saved = logger.handlers[:], logger.propagate, logger.level
    logger.handlers[:] = [logging.NullHandler()]
    logger.propagate = False
    logger.setLevel(logging.DEBUG)
    try:
        yield
    finally:
        logger.handlers[:], logger.propagate = saved[0], saved[1]
        logger.setLevel(saved[2])


def leaks_of(scenario, objects_to_watch=(), iterations=ITERATIONS):
    """What `scenario` leaks, as readable lines (empty: nothing)."""
    watch = list(objects_to_watch) + closed_over(scenario)
    with records_dropped():
        growths, blocks = measure(scenario, watch, iterations)
    found = [
        "{} references more to {!r:.80}".format(growth, obj)
        for obj, growth in zip(watch, growths)
        if growth >= ALLOWANCE
    ]
    if blocks >= ALLOWANCE:
        found.append("{} memory blocks more after {} calls".format(blocks, iterations))
    return found


# ---------------------------------------------------------------- catalogue scenarios


def either_way(call):
    """A scenario for a body owned elsewhere: whatever it returns or
    raises, its result or exception must be released."""

    def run():
        try:
            call()
        except Exception:
            pass

    return run


class SettingsDict(dict):
    pass


def catalogue_scenarios():
    bare = {cls: cls.__new__(cls) for cls in (roots.RootContext, roots.RootBasic, roots.ExecuteQuery, roots.DBDef,
                                               roots.DBDefsList, roots.DBCredentialsRoot,
                                               roots.DDURLParserBuilderRoot)}
    root, basic, query = bare[roots.RootContext], bare[roots.RootBasic], bare[roots.ExecuteQuery]
    querydefs_list = roots.QuerydefsList.__new__(roots.QuerydefsList)
    query.query_config = QueryRecord({"http_methods": {"GET": True}}, key="q1")
    user = {"querydef": ["view"], "userdef": ["create"], "view": ["bob"]}
    users = {"alice": user, "bob": {"edit": ["alice"]}}
    subclassed_settings = SettingsDict()
    request_without_registry = types.SimpleNamespace()
    keyword = "bogus"

    scenarios = [
        # Arguments bound by the function type, and its refusals.
        ("method_with_keywords", lambda: roots.RootBasic.acl_deny(self=basic)),
        ("bound_method", lambda: basic.acl_allow()),
        ("default_filled_in", either_way(lambda: query._validate_http_method("GET"))),
        ("too_many_positional", leak_path(lambda: query.check_data_format("GET", "json", False), refusal=TypeError)),
        ("missing_positional", leak_path(lambda: root.build_escaped_url(chars_to_replace=[]), refusal=TypeError)),
        ("unexpected_keyword", leak_path(lambda: root.build_escaped_url(1, 2, **{keyword: 3}), refusal=TypeError)),
        ("multiple_values", leak_path(lambda: root.build_escaped_url(1, 2, segments=3), refusal=TypeError)),
        ("not_exactly_a_dict", leak_path(roots.check_apikey_querystring, subclassed_settings, None, refusal=TypeError)),
        # A body that fails gets a traceback entry of its own.
        ("traceback_entry",
         leak_path(roots.RootContext.__init__, root, request_without_registry, refusal=AttributeError)),
        ("class_call_refused", leak_path(lambda: roots.ExecuteQuery(), refusal=TypeError)),
        # Function metadata.
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
        ("static_on_instance", either_way(lambda: querydefs_list.get_acl("admin", user))),
        # Properties, read on instances whose initialiser has not run.
        ("user_db_ids", either_way(lambda: root.user_db_ids)),
        ("db_def_db_config", either_way(lambda: bare[roots.DBDef].db_config)),
        ("db_defs_list_db_configs", either_way(lambda: bare[roots.DBDefsList]._db_configs)),
        ("db_credentials_properties", either_way(lambda: (bare[roots.DBCredentialsRoot].db_config,
                                                          bare[roots.DBCredentialsRoot].dbc_config,
                                                          bare[roots.DBCredentialsRoot].db_credentials))),
        ("dd_url_db_config", either_way(lambda: bare[roots.DDURLParserBuilderRoot].db_config)),
        ("read_only_property", leak_path(lambda: setattr(bare[roots.DBDef], "db_config", 1), refusal=AttributeError)),
    ]
    watched = [root, basic, query, user, users, subclassed_settings, request_without_registry]
    return [(name, scenario, watched) for name, scenario in scenarios]


def behaviour_scenarios():
    """The LEAK_SCENARIOS of the behaviour test modules that exist."""
    collected = []
    for module_name in SCENARIO_MODULES:
        try:
            module = importlib.import_module(module_name)
        except ModuleNotFoundError as exc:
            if exc.name != module_name:
                raise
            continue
        for scenario in getattr(module, "LEAK_SCENARIOS", ()):
            name, rest = scenario[0], tuple(scenario[1:])
            collected.append(("{}::{}".format(module_name, name),) + rest)
    return collected


def all_scenarios():
    scenarios = [("catalogue::" + name, scenario, watch) for name, scenario, watch in catalogue_scenarios()]
    scenarios += behaviour_scenarios()
    return [
        pytest.param(scenario[1], scenario[2] if len(scenario) > 2 else (), id=scenario[0])
        for scenario in scenarios
    ]


@pytest.mark.parametrize("scenario, objects_to_watch", all_scenarios())
def test_scenario_leaks_nothing(scenario, objects_to_watch):
    assert leaks_of(scenario, objects_to_watch) == []


# ---------------------------------------------------------------- every class, many times


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


@pytest.mark.parametrize("class_name, url, request_kw", CLASS_PATHS, ids=[path[0] for path in CLASS_PATHS])
def test_constructing_each_class_leaks_nothing(class_name, url, request_kw):
    store = make_store(**CLASS_PATH_STORE)
    request = make_request(url, settings=make_settings(store=store), user_id="alice", **request_kw)
    request.request_status = QuietTracker()
    cls = getattr(roots, class_name)

    def construct():
        try:
            cls(request)
        except Exception:  # the refusals and the browser page are paths too
            pass

    watched = [request, store, store.users, store.databases, store.querydefs, *store.users.values()]
    gc.collect()
    rss_before, blocks_before = rss_kib(), sys.getallocatedblocks()
    assert leaks_of(construct, watched, iterations=CONSTRUCTIONS_PER_CLASS) == []
    if LONG_RUN:
        print("{}: {} constructions, blocks {:+d}, RSS {:+d} KiB".format(
            class_name, CONSTRUCTIONS_PER_CLASS, sys.getallocatedblocks() - blocks_before, rss_kib() - rss_before))


# ---------------------------------------------------------------- the harness itself


@pytest.mark.parametrize("watched, explicit, expected", [
    (None, False, "memory blocks more after {} calls".format(ITERATIONS)),
    (object(), False, "{} references more to <object".format(ITERATIONS)),
    # A partial closes over nothing, so only the explicit list names the object.
    (["given"], True, "references more to ['given']"),
])
def test_harness_catches_what_a_path_keeps_per_call(watched, explicit, expected):
    held = []
    if explicit:
        scenario = functools.partial(held.append, watched)
    else:
        def scenario():
            held.append(object() if watched is None else watched)
    try:
        found = leaks_of(scenario, objects_to_watch=[watched] if explicit else ())
    finally:
        held.clear()
    assert any(expected in line for line in found), found


def test_harness_accepts_a_path_that_releases_what_it_takes():
    watched = object()
    assert leaks_of(lambda: [watched, {"a": watched}, (watched,) * 3]) == []
