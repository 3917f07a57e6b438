"""No input crashes the process: error discipline and the lifetime of the module's state.

Cases that crashed the interpreter run in a child process, so that a segfault fails one test, not the run.
Each clears the type-method cache first: a call made with an exception pending loses it only on a cache miss."""

import copy
import gc
import os
import pickle
import shutil
import subprocess
import sys
import sysconfig
import threading

import pytest

import korvane.roots as roots

from helpers import CLASS_PATH_STORE, CLASS_PATHS, LONG_RUN, UNDER_ASAN, Faulty, FaultPlan, Injected, QuietTracker
from helpers import TESTS_DIR, allocations_gone_wrong, make_request, make_settings, make_store, run_child

# ---------------------------------------------------------------- wrong types in the store


@pytest.mark.parametrize("field", ["read", "write", "execute"])
@pytest.mark.parametrize("value", [None, 7])
def test_querydef_with_a_non_list_user_field_raises_type_error(field, value):
    out = run_child(f"""
        import sys, korvane.roots as roots
        from helpers import make_request, make_settings, make_store
        querydef = {{"database": "db1", "read": ["alice"], "write": ["alice"], "execute": ["alice"], {field!r}: {value!r}}}
        store = make_store(users={{"admin": {{"password": "x"}}, "alice": {{"querydef": ["view"]}}}},
                           querydefs={{"q1": querydef}})
        for _ in range(50):
            sys._clear_type_cache()
            request = make_request("/querydefs/q1.json", settings=make_settings(store=store), user_id="alice",
                                   matchdict={{"query_id": "q1"}})
            try:
                roots.Querydef(request)
                print("no error")
            except TypeError:
                print("TypeError")
        """)
    assert out.split() == ["TypeError"] * 50


class FailingLength(str):
    def __len__(self):
        raise LookupError("no length")


def test_format_redirect_passes_on_a_failing_length():
    context = roots.RootBasic.__new__(roots.RootBasic)
    request = type("Request", (), {"query_string": ""})()
    request.path_info = FailingLength("/models/demo.xsd")
    sys._clear_type_cache()
    with pytest.raises(LookupError, match="no length"):
        context.redirect_request_format(request, "xsd")


# ---------------------------------------------------------------- fault injection


def routed(**matchdict):
    return {"matchdict": matchdict}


# Refusals and redirects, for the user named.
DETOURS = [
    ("xsd_redirect", "DBModel", "admin", "/models/sales.xsd", routed(db_id="sales"), {}),
    ("query_xsd_redirect", "ExecuteQuery", "alice", "/query/q1.xsd", routed(query_id="q1"), {}),
    ("slash_redirect", "RootBasic", "alice", "/a/b.json", {"raw_uri": "/a//b.json"}, {}),
    ("row_limit_redirect", "DataDiscovery", "alice", "/dd/sales/orders.json",
     routed(other_segments=("sales", "orders")), {"db.sales.limit": 10}),
    ("unknown_query", "ExecuteQuery", "alice", "/query/nope.json", routed(query_id="nope"), {}),
    ("unknown_querydef", "Querydef", "alice", "/querydefs/nope.json", routed(query_id="nope"), {}),
    ("method_not_allowed", "ExecuteQuery", "bob", "/query/q2.json", dict(routed(query_id="q2"), method="POST"), {}),
    ("no_database_access", "DataDiscovery", "bob", "/dd/open/t.json", routed(other_segments=("open", "t")), {}),
    ("anonymous_refused", "DataDiscovery", "public", "/dd/sales/t.json", routed(other_segments=("sales", "t")), {}),
    ("apikey_in_query_refused", "RootContext", "alice", "/home.json?apikey=k&appid=a", {},
     {"allow_apikey_in_query_string": False}),
    ("apikey_in_query_warned", "RootContext", "alice", "/home.json?apikey=k&appid=a", {}, {}),
    ("unknown_user_definition", "Userdef", "alice", "/users/zed.json", routed(user_id="zed"), {}),
]
SWEEP_CASES = [(f"{name}-{user}", name, user, url, kw, {}) for name, url, kw in CLASS_PATHS
               for user in ("admin", "alice")] + DETOURS

# Under the sanitizers every path is still swept, but only every few steps.
SWEEP_STRIDE = 1 if LONG_RUN or not UNDER_ASAN else 5
SWEEP_REPEAT = 20 if LONG_RUN else 1


def settings_for(store, krv):
    """Settings over ``store`` with the ``krv`` overrides, whose ``db.`` keys are top-level ones."""
    ini = {key: value for key, value in krv.items() if key.startswith("db.")}
    return make_settings(store=store, krv={key: value for key, value in krv.items() if key not in ini}, **ini)


def construct(class_name, settings, user, url, request_kw, plan=None, fail_at=None):
    """The context made for the request, or the exception raised; a ``plan`` fails the request at ``fail_at``."""
    request = make_request(url, settings=settings, user_id=user, **request_kw)
    request.request_status = QuietTracker()
    if plan is not None:
        request = Faulty(request, plan)
        plan.reset(fail_at)
    try:
        return getattr(roots, class_name)(request)
    except BaseException as exc:  # noqa: B036 - the injected fault is a BaseException
        return exc


@pytest.mark.parametrize("case_id, class_name, user, url, request_kw, krv", SWEEP_CASES,
                         ids=[case[0] for case in SWEEP_CASES])
def test_a_fault_at_any_step_comes_out_unchanged_and_leaks_nothing(case_id, class_name, user, url, request_kw, krv):
    plan, store = FaultPlan(), make_store(**CLASS_PATH_STORE)
    settings = settings_for(Faulty(store, plan), krv)
    path = (class_name, settings, user, url, request_kw, plan)
    assert not isinstance(construct(*path), Injected) and plan.count > 5
    steps = range(1, plan.count + 1, SWEEP_STRIDE)

    def sweep():
        for step in steps:
            sys._clear_type_cache()
            outcome = construct(*path, fail_at=step)
            assert plan.raised is not None, f"step {step} was not reached"
            assert outcome is plan.raised, f"the fault at step {step} came out as {outcome!r}"

    def counts():
        watched = [store, store.users, store.databases, store.querydefs, settings, settings["krv_settings"],
                   *store.users.values(), *store.databases.values(), *store.querydefs.values()]
        return [sys.getrefcount(obj) for obj in watched]

    sweep()  # warm-up, and the check itself
    gc.collect()
    before, blocks = counts(), sys.getallocatedblocks()
    for _ in range(SWEEP_REPEAT):
        sweep()
    gc.collect()
    assert counts() == before
    if not UNDER_ASAN:
        assert sys.getallocatedblocks() - blocks < 100


def test_the_sweep_reaches_every_class():
    swept = {case[1] for case in SWEEP_CASES}
    classes = {name for name, value in vars(roots).items()
               if isinstance(value, type) and value.__module__ == "korvane.roots"}
    assert swept == classes


# ---------------------------------------------------------------- lifetime of the module state

def test_a_load_retried_after_a_failure_works_and_the_old_classes_stay_refused():
    out = run_child("""
    import builtins, gc, sys
    import pyramid.httpexceptions, korvane.constants, korvane.utils, korvane.views.utils
    from helpers import make_request

    # The second property of the module body fails as an allocation would.
    real_property, made = builtins.property, []
    def failing_property(function):
        made.append(function)
        if len(made) == 2:
            raise MemoryError("injected")
        return real_property(function)
    builtins.property = failing_property
    try:
        import korvane.roots
    except MemoryError as exc:
        failure = exc
    else:
        raise SystemExit("the load did not fail")
    finally:
        builtins.property = real_property
    assert "korvane.roots" not in sys.modules
    tb = failure.__traceback__
    while tb.tb_frame.f_code.co_name != "init korvane.roots":
        tb = tb.tb_next
    left_over = tb.tb_frame.f_globals["RootContext"]
    del failure, tb
    gc.collect()
    sys._clear_type_cache()

    def refused():
        try:
            left_over(make_request("/x.json"))
        except RuntimeError as exc:
            print("korvane.roots" in str(exc))
    refused()
    import korvane.roots as roots
    context = roots.DefaultRoot(make_request("/x.json", matchdict={"db_id": "d"}))
    assert context.db_id == "d" and roots.RootContext is not left_over
    refused()
    """)
    assert out.split() == ["True", "True"]


def test_a_load_failing_at_any_allocation_can_be_retried():
    out = run_child("""
    import os, sys, _testcapi
    import pyramid.httpexceptions, pyramid.security, pyramid.settings, korvane.constants
    import korvane.utils, korvane.views.utils, korvane.request_status, korvane.auth.apikey
    import korvane.exceptions, itertools, logging, urllib.parse
    from helpers import make_request, make_settings

    GOT_THROUGH = 2

    def load_failing_at(allocation):
        # One allocation of the load fails; the retried load must answer paths that use every table.
        sys._clear_type_cache()
        _testcapi.set_nomemory(allocation, allocation + 1)
        try:
            import korvane.roots
        except SystemError as exc:  # the interpreter may lose an allocation failure, the module never
            assert "korvane.roots" not in str(exc), exc
        except Exception:  # MemoryError, or what the import machinery made of it
            pass
        else:
            return GOT_THROUGH
        finally:
            _testcapi.remove_mem_hooks()
        sys.modules.pop("korvane.roots", None)
        import korvane.roots as roots
        settings = make_settings(krv={"allow_apikey_in_query_string": True})
        request = make_request("/x.json?apikey=k&appid=a", settings=settings, matchdict={"db_id": "d"})
        roots.DefaultRoot(request)
        assert request.response.headers["Warning"].startswith("Authentication through query")
        for cls, url, kw in [(roots.DBDef, "/databases/d.json", {"matchdict": {"db_id": "d"}}),
                             (roots.ExecuteQuery, "/query/q.json", {"matchdict": {"query_id": "q"}}),
                             (roots.DBCredentialsRoot, "/dbcredentials/d.json", {"matchdict": {"db_id": "d"}}),
                             (roots.Querystudio, "/querystudio.json", {})]:
            try:
                cls(make_request(url, user_id="admin", **kw))
            except Exception as exc:
                assert type(exc).__module__.startswith(("pyramid", "korvane")), repr(exc)
        return 0

    statuses, through_in_a_row, allocation = {}, 0, 0
    # Each attempt runs in a fork of this process, which has not loaded the module yet; the sweep
    # ends once loads keep getting through.
    while through_in_a_row < 100:
        pid = os.fork()
        if pid == 0:
            try:
                os._exit(load_failing_at(allocation))
            except BaseException as exc:
                print(allocation, repr(exc), flush=True)
                os._exit(1)
        code = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
        statuses.setdefault(code, []).append(allocation)
        through_in_a_row = through_in_a_row + 1 if code == GOT_THROUGH else 0
        allocation += STRIDE
    print(sorted(statuses), len(statuses.get(0, ())) > 50)
    """.replace("STRIDE", "1" if LONG_RUN or not UNDER_ASAN else "3"))
    assert out.splitlines()[-1] == "[0, 2] True", out


EMBEDDING_PROGRAM = r"""
#include <Python.h>
/* The interpreter's own OpenSSL and datetime accelerators do not survive a re-initialisation in 3.12;
   their pure-Python fallbacks are used. */
static const char* kCheck =
    "import sys; sys.modules.update(dict.fromkeys(('_hashlib', '_datetime', '_ssl')))\n"
    "import korvane.roots as roots\n"
    "from helpers import make_request\n"
    "context = roots.DefaultRoot(make_request('/x.json', matchdict={'db_id': 'd'}))\n"
    "assert context.db_id == 'd' and len(context.__acl__) == 2\n"
    "print('classes work')\n";

int main(void) {
    for (int round = 0; round < 2; ++round) {
        Py_Initialize();
        if (PyRun_SimpleString(kCheck) != 0) return 1;
        if (Py_FinalizeEx() < 0) return 2;
    }
    return 0;
}
"""


def test_an_embedding_application_gets_a_working_module_after_reinitialising(tmp_path):
    config = os.path.join(sysconfig.get_config_var("BINDIR"), "python3.12-config")
    compiler = shutil.which("gcc") or shutil.which("cc")
    if compiler is None or not os.path.exists(config):
        pytest.skip("no C compiler or python3.12-config")
    flags = subprocess.run([config, "--cflags", "--ldflags", "--embed"], capture_output=True, text=True,
                           check=True).stdout.split()
    source, program = tmp_path / "embed.c", tmp_path / "embed"
    source.write_text(EMBEDDING_PROGRAM)
    subprocess.run([compiler, str(source), "-o", str(program), *flags, "-Wl,-rpath," + sysconfig.get_config_var(
        "LIBDIR")], check=True, env={key: value for key, value in os.environ.items() if key != "LD_PRELOAD"})
    site_dirs = [path for path in sys.path if path.endswith("site-packages")]
    path = os.pathsep.join([os.path.dirname(os.path.dirname(roots.__file__)), TESTS_DIR, *site_dirs])
    run_env = {key: value for key, value in os.environ.items() if key != "PYTHONHOME"} | {"PYTHONPATH": path}
    done = subprocess.run([str(program)], capture_output=True, text=True, env=run_env, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.split("\n").count("classes work") == 2


def test_a_function_cleared_by_the_collector_stays_usable():
    out = run_child("""
    import ctypes, gc
    import korvane.roots as roots

    function = roots.ExecuteQuery._validate_http_method
    function.__dict__["cycle"] = function        # a cycle through the function's dict
    function_type = type(function)
    # The collector's own entry: tp_clear of the function type.
    words = (ctypes.c_void_p * 25).from_address(id(function_type))
    assert words[21] == function_type.__flags__
    clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(words[24])
    assert clear(function) == 0
    gc.collect()
    print(repr(function).startswith("<function ExecuteQuery._validate_http_method at"))
    print(function.__name__, function.__qualname__, function.__defaults__, function.__annotations__)
    print(function.__code__.co_varnames, function.__dict__)
    try:
        function()
    except TypeError as exc:
        print(exc.__traceback__.tb_next.tb_frame.f_code.co_name)
    """)
    assert out.splitlines() == ["True", "_validate_http_method ExecuteQuery._validate_http_method ((),) {}",
                                "('self', 'request_method', 'std_methods') {}",
                                "korvane.roots.ExecuteQuery._validate_http_method"]


def test_classes_kept_by_a_route_configuration_work_after_the_module_is_dropped():
    # The state lives as long as the process: a factory kept from the
    # module builds contexts whatever became of the module's entries, also
    # when they go while one of its bodies runs.
    out = run_child("""
    import gc, sys, korvane
    from helpers import CLASS_PATH_STORE, make_request, make_settings, make_store
    import korvane.roots
    factory = korvane.roots.DBModel

    class Sub(factory):
        def check_authenticated_user(self, request):
            sys.modules.pop("korvane.roots", None)
            korvane.__dict__.pop("roots", None)
            gc.collect()

    settings = make_settings(store=make_store(**CLASS_PATH_STORE))
    request = make_request("/models/sales.json", settings=settings, user_id="alice", matchdict={"db_id": "sales"})
    before = factory(request).__acl__
    print(Sub(request).__acl__ == before)
    gc.collect()
    sys._clear_type_cache()
    print(factory(request).__acl__ == before, Sub(request).__acl__ == before)
    """)
    assert out.split() == ["True", "True", "True"]


@pytest.mark.parametrize("run", range(8))
def test_daemon_threads_building_contexts_when_the_interpreter_exits_do_not_crash_it(run):
    # Waitress's workers are daemon threads: the interpreter ends them,
    # from inside whatever call they are in, while it finalises.
    out = run_child("""
    import logging, sys, threading, time
    import korvane.roots as roots
    from helpers import CLASS_PATH_STORE, make_request, make_settings, make_store
    logging.disable(logging.CRITICAL)
    settings = make_settings(store=make_store(**CLASS_PATH_STORE))

    def build():
        request = make_request("/models/sales.json", settings=settings, user_id="alice", matchdict={"db_id": "sales"})
        while True:
            roots.DBModel(request)

    for _ in range(4):
        threading.Thread(target=build, daemon=True).start()
    time.sleep(0.2)
    garbage = [[object() for _ in range(50)] for _ in range(2000)]  # work for the last collection
    print("exiting")
    """)
    assert out.split() == ["exiting"]


def test_a_store_changed_at_exit_after_daemon_threads_ended_inside_its_walks_is_changed_safely():
    # The threads end inside their listings' walks over the store, which
    # never finish; the store then changes while the interpreter finalises,
    # and the watcher of walked dicts meets those walks.
    out = run_child("""
    import gc, logging, os, threading, time
    import korvane.roots as roots
    from helpers import StoreRecord, make_request, make_settings, make_store
    logging.disable(logging.CRITICAL)

    class Slow:
        @property
        def execute(self):
            time.sleep(0.001)  # lets the other threads, and the exit, in
            return ["alice"]

    store = make_store(users={"admin": {"password": "secret"}, "alice": {"databases": []}})
    querydefs = store.querydefs = {f"q{i}": Slow() if i % 10 == 0 else StoreRecord(execute=["alice"])
                                   for i in range(100)}
    settings = make_settings(store=store)

    def build():
        request = make_request("/query.json", settings=settings, user_id="alice")
        while True:
            roots.ExecuteQueryList(request)

    class ChangesTheStoreLate:
        # Collected by the interpreter's last collections, with what it
        # uses bound here: the module's globals may be gone by then.
        def __del__(self, sleep=time.sleep, write=os.write, querydefs=querydefs):
            sleep(0.05)  # the threads try to go on, and are ended
            querydefs.clear()
            write(1, b"changed\\n")

    for _ in range(4):
        threading.Thread(target=build, daemon=True).start()
    time.sleep(0.2)
    gc.disable()
    late = ChangesTheStoreLate()
    late.cycle = late
    del late
    print("exiting", flush=True)
    """)
    assert out.split() == ["exiting", "changed"]


def test_a_class_changed_by_comparing_its_own_keys_while_it_is_looked_up_is_read_safely():
    # A key of the class dict, compared while the module looks up
    # __getattribute__, deletes the __getattr__ found just before.
    out = run_child("""
    import sys
    import korvane.roots as roots
    from helpers import make_request
    armed = [False]

    class Key(str):
        def __hash__(self):
            return hash("__getattribute__")

        def __eq__(self, other):
            if armed[0]:
                armed[0] = False
                del Request.__getattr__
            return False

    real = make_request("/home.json")
    Request = type("Request", (), {"__getattr__": lambda self, name: getattr(real, name), Key("k"): 1})
    sys._clear_type_cache()
    armed[0] = True
    try:
        roots.RootContext(Request())
    except AttributeError as error:
        print(error)
    """)
    assert out.splitlines() == ["'Request' object has no attribute 'registry'"]


# ---------------------------------------------------------------- results the interpreter would refuse


def test_no_failed_allocation_while_reachable_databases_are_worked_out_becomes_a_system_error():
    # The set of reachable databases was made, and left unchecked, before the
    # store was read: a failed allocation reached dict.items() pending, whose
    # result then raised SystemError.
    setup = """
        import korvane.roots as roots
        from helpers import make_request, make_settings, make_store
        store = make_store(users={"admin": {}, "public": {}, "carol": {"databases": ["sales"]}},
                           databases={"sales": {"read": ["carol"]}, "other": {"write": ["carol"]}})
        context = roots.RootContext(make_request("/", settings=make_settings(store=store), user_id="carol"))
        for _ in range(3):
            context.user_db_ids
    """
    assert allocations_gone_wrong(setup, "context.user_db_ids", wrong="isinstance(error, SystemError)") == ([], True)


def test_a_null_result_or_a_result_with_an_exception_set_raises_system_error():
    hook = getattr(type(roots.check_apikey_querystring), "_faulty_bodies", None)
    if hook is None:
        pytest.skip("the faulty bodies exist in the checked (sanitizer) build only")
    returns_null, keeps_error = hook()
    with pytest.raises(SystemError) as null:
        returns_null()
    assert str(null.value) == f"{returns_null!r} returned NULL without setting an exception"
    assert null.value.__traceback__.tb_next.tb_frame.f_code.co_name == "korvane.roots." + returns_null.__qualname__
    with pytest.raises(SystemError) as kept:
        keeps_error()
    assert str(kept.value) == f"{keeps_error!r} returned a result with an exception set"
    assert isinstance(kept.value.__cause__, ValueError) and kept.value.__context__ is kept.value.__cause__


# ---------------------------------------------------------------- copies and pickles


@pytest.mark.parametrize("path", ["check_apikey_querystring", "RootContext.__init__", "ExecuteQuery.get_db",
                                  "QuerydefsList.get_acl"])
def test_functions_copy_and_pickle_by_reference(path):
    function = roots
    for part in path.split("."):
        function = vars(function)[part] if isinstance(function, type) else getattr(function, part)
    function = getattr(function, "__func__", function)
    assert copy.copy(function) is function and copy.deepcopy(function) is function
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(function, protocol)) is function
    assert type(function).__module__ == "korvane.roots" and function.__module__ == "korvane.roots"


def test_record_repr_hides_every_secret():
    from korvane.config_storage import CredentialRecord, UserRecord

    shown = repr(UserRecord({"password": "pw-secret", "apikey": "key-secret", "databases": ["d"]}, key="u"))
    shown += repr(CredentialRecord({"password": "pw-secret", "username": "u"}))
    assert "secret" not in shown and shown.count("'***'") == 3 and "['d']" in shown


# ---------------------------------------------------------------- threads


SHOWN = ("__acl__", "db_id", "query_id", "url_segments", "response_format", "query_configs", "db_configs",
         "user_configs", "executable_queries", "viewable_queries", "viewable", "editable", "executable",
         "allowed_to_view", "allowed_to_edit", "admin_for_dbs", "is_admin")
THREAD_ROUNDS = 400 if LONG_RUN else 25


def summary(result):
    """What a context shows (or how the request was refused), in plain values."""
    if isinstance(result, BaseException):
        headers = getattr(result, "headers", {})
        return type(result).__name__, str(result), headers.get("Location"), headers.get("Warning")

    def plain(value):
        return sorted(value.keys()) if hasattr(value, "keys") else sorted(value) if isinstance(value, set) else value
    return type(result).__name__, {name: plain(getattr(result, name, None)) for name in SHOWN}


def test_threads_sharing_a_store_that_is_being_swapped_see_consistent_results():
    from korvane.config_storage import ConfigStorage

    cases = [case for case in SWEEP_CASES if case[1] != "Querystudio"]
    store, snapshot = make_store(**CLASS_PATH_STORE), ConfigStorage.from_data(CLASS_PATH_STORE)
    settings = {repr(case[5]): settings_for(store, case[5]) for case in cases}

    def build(case):
        _, class_name, user, url, request_kw, krv = case
        return summary(construct(class_name, settings[repr(krv)], user, url, request_kw))

    expected = [build(case) for case in cases]
    stop, failures = threading.Event(), []

    def swap_mappings():
        while not stop.is_set():  # new mappings with the same content, as a refresh of the store makes
            for name in ("users", "databases", "querydefs"):
                setattr(store, name, dict(getattr(snapshot, name)))

    def worker(offset):
        try:
            for round_ in range(THREAD_ROUNDS):
                for index in range(len(cases)):
                    index = (index + offset + round_) % len(cases)
                    if (got := build(cases[index])) != expected[index]:
                        failures.append((cases[index][0], got, expected[index]))
        except BaseException as exc:  # noqa: B036 - reported below
            failures.append(("worker", repr(exc), None))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    swapper = threading.Thread(target=swap_mappings)
    workers = [threading.Thread(target=worker, args=(offset * 7,)) for offset in range(8)]
    try:
        for thread in [swapper, *workers]:
            thread.start()
        for thread in workers:
            thread.join()
    finally:
        stop.set()
        swapper.join()
        sys.setswitchinterval(interval)
    assert failures == []
