"""Builders of stores, settings and requests for the tests.

Requests are real ``pyramid.request.Request`` objects with their own
registry (no thread-local state): authentication is Pyramid's own
``RemoteUserAuthenticationPolicy`` fed with the user id, authorization its
``ACLAuthorizationPolicy``, so ``request.has_permission`` decides by the
context's ``__acl__`` exactly as in the server.
"""

import ast
import contextlib
import importlib
import importlib.util
import json
import os
import shutil
import socket
import subprocess
import sys
import textwrap
import time
import traceback
import types
from collections.abc import Mapping
from pathlib import Path

from pyramid.authentication import RemoteUserAuthenticationPolicy
from pyramid.authorization import ACLAuthorizationPolicy
from pyramid.interfaces import IAuthenticationPolicy, IAuthorizationPolicy
from pyramid.registry import Registry
from pyramid.request import Request

from _pytest.assertion.rewrite import rewrite_asserts

from korvane.config_storage import ConfigStorage
from korvane.process_registry import ProcessRegistry
from korvane.request_status import RequestStatus

#: A settings override of this value removes the key instead.
ABSENT = object()

# The system's own texts, for the tests that check them.
XSD_WARNING = "xsd format is deprecated.  Use xml format with 'schema' query string parameter for future requests."
APIKEY_WARNING = "Authentication through query parameters is not recommended. Consider using HTTP headers instead."
APIKEY_DENIED = "Authentication through query parameter denied, due to 'allow_apikey_in_query_string' setting."
UNKNOWN_KEY = "The API key is not known to this server."
NO_ACCESS = 'User "{}" has no access permissions configured for the "{}" database.'
#: The file name the module gives its traceback entries.
SOURCE_FILE = "korvane\\roots"


def module_entries(tb):
    """The names of the traceback entries that the module made."""
    return [frame.name for frame in traceback.extract_tb(tb) if frame.filename == SOURCE_FILE]


def make_store(users=None, databases=None, querydefs=None, credentials=None):
    """A ``ConfigStorage`` over in-memory data.

    Each argument maps ids to plain dicts (made into records) or to
    records (kept as they are).  ``users`` replaces the default users
    ("admin" with a password, "public" with no databases) as a whole, so a
    test can leave either out; ``{}`` as a user makes a false record.
    ``credentials`` maps a database id to {credential id: entry}.
    """
    if users is None:
        users = {"admin": {"password": "admin-secret", "apikey": "admin-key"}, "public": {"databases": []}}
    return ConfigStorage.from_data({"users": users, "databases": databases or {}, "querydefs": querydefs or {},
                                    "credentials": credentials or {}})


def _apply(target, overrides):
    for key, value in overrides.items():
        if value is ABSENT:
            target.pop(key, None)
        else:
            target[key] = value
    return target


def make_settings(store=None, registry=None, krv=None, **ini):
    """The framework's settings mapping, as a plain dict, whose "krv_settings"
    is exactly a ``dict``; ``krv`` overrides keys of "krv_settings", other
    keyword arguments top-level ones (dotted keys as
    ``**{"db.sales.limit": 100}``).  An override of ``ABSENT`` removes the key."""
    krv_settings = {
        "config_storage": make_store() if store is None else store,
        "process_registry": ProcessRegistry() if registry is None else registry,
        "url_substitution": {"$2F": "/", "$2E": "."},
        "default_extension": "json",
        "apikey_name": "apikey",
        "appid_name": "appid",
    }
    settings = {"krv_settings": _apply(krv_settings, krv or {}), "auth_settings": {}}
    return _apply(settings, ini)


def make_request(url="/", method="GET", settings=None, user_id="alice", matchdict=None, json_body=None,
                 raw_uri=None, status_tracker=True, **kw):
    """A real ``pyramid.request.Request`` for ``url``, as the server hands
    it to a root factory: ``settings`` becomes ``request.registry.settings``
    (the same object); a ``user_id`` of None or "public" makes an anonymous
    request; ``matchdict`` None means no route matched; without
    ``status_tracker`` there is no ``request_status`` at all.  Other keyword
    arguments go to ``Request.blank``."""
    request = Request.blank(url, method=method, **kw)
    # The server's kind of security policies, on a registry of the request's own.
    request.registry = Registry("korvane-tests")
    request.registry.settings = make_settings() if settings is None else settings
    request.registry.registerUtility(RemoteUserAuthenticationPolicy(environ_key="KORVANE_TEST_USER"),
                                     IAuthenticationPolicy)
    request.registry.registerUtility(ACLAuthorizationPolicy(), IAuthorizationPolicy)
    if user_id is not None and user_id != "public":
        request.environ["KORVANE_TEST_USER"] = user_id
    request.matchdict = matchdict
    request.raw_uri = request.path_qs if raw_uri is None else raw_uri
    request.path_segments = [s for s in request.path_info.split("/") if s]
    if status_tracker:
        request.request_status = RequestStatus("test")
    if json_body is not None:
        request.content_type = "application/json"
        request.body = json.dumps(json_body).encode("utf-8")
    return request


def permits(context, request, permission):
    """Whether the request's principals hold ``permission`` on ``context``
    by its ``__acl__``."""
    policy = ACLAuthorizationPolicy()
    return bool(policy.permits(context, request.effective_principals, permission))


# --- child interpreters --------------------------------------------------------------------

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


def run_child(source, *flags, timeout=300):
    """Runs ``source`` in a fresh interpreter (the same executable, the
    package under test and these helpers importable, the current directory
    kept off sys.path); it must exit with status 0.  Returns its output."""
    package_dir = os.path.dirname(os.path.dirname(importlib.util.find_spec("korvane.roots").origin))
    path = os.pathsep.join([package_dir, TESTS_DIR, os.environ.get("PYTHONPATH", "")])
    done = subprocess.run([sys.executable, "-P", *flags, "-c", textwrap.dedent(source)], capture_output=True,
                          text=True, env=dict(os.environ, PYTHONPATH=path), timeout=timeout)
    assert done.returncode == 0, "exit status {}\n{}{}".format(done.returncode, done.stdout, done.stderr)
    return done.stdout


_ALLOCATION_SWEEP = """
import os, sys, _testcapi
{setup}
wrong, failed, allocation, quiet = [], 0, 0, 0
while quiet < {quiet}:  # past the call's last allocation
    pid = os.fork()
    if pid == 0:
        spare = [(i, i, i) for i in range(3000)]  # no free argument tuples to fall back on
        sys._clear_type_cache()
        _testcapi.set_nomemory(allocation, allocation + 1)
        error = None
        try:
            {call}
        except BaseException as raised:
            error = raised
        finally:
            _testcapi.remove_mem_hooks()
        os._exit(3 if ({wrong}) else 1 if error is not None else 0)
    # A child the interpreter itself crashed in (it mishandles a few failed allocations) answered
    # nothing: only an outcome judged wrong counts.
    code = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    failed += code != 0
    quiet = quiet + 1 if code == 0 else 0
    if code == 3:
        wrong.append(allocation)
    allocation += 1
print((wrong, failed > 0))
"""


def allocations_gone_wrong(setup, call, wrong, quiet=30):
    """Runs the one-line ``call`` after ``setup`` in a fresh interpreter, once for each allocation it
    makes with that allocation failing, each in a fork of its own.  Returns the allocations whose
    failure left the expression ``wrong`` true (``error`` is what the call raised, or None), and
    whether any failure reached the call at all."""
    out = run_child(_ALLOCATION_SWEEP.format(setup=textwrap.dedent(setup), call=call, wrong=wrong, quiet=quiet))
    return ast.literal_eval(out.splitlines()[-1])


# --- processes: memcached and the server --------------------------------------------------

STARTUP_SECONDS = 30


def free_loopback_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for_port(port, process, describe, seconds=STARTUP_SECONDS):
    """Wait until something listens on the loopback ``port``; fail with
    ``describe()`` when ``process`` exits or time runs out."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        assert process.poll() is None, "exited early:\n" + describe()
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise AssertionError("not listening in time:\n" + describe())


def stop_process(process, seconds=10):
    """Terminate ``process`` and wait for it; kill it when it lingers."""
    if process.poll() is None:
        process.terminate()
    try:
        process.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout=seconds)


class Memcached:
    """A private memcached on a free loopback port (no UDP), started and
    stopped by the tests themselves; ``options`` go on its command line."""

    def __init__(self, *options):
        self.binary = shutil.which("memcached") or "/usr/bin/memcached"
        self.options = list(options)
        self.port = None
        self.process = None

    @property
    def address(self):
        return "127.0.0.1:{}".format(self.port)

    def start(self):
        self.port = free_loopback_port() if self.port is None else self.port
        args = [self.binary, "-l", "127.0.0.1", "-p", str(self.port), "-U", "0", "-m", "64", *self.options]
        if os.geteuid() == 0:
            args += ["-u", "root"]
        self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wait_for_port(self.port, self.process, lambda: self.process.stderr.read().decode())
        return self

    def stop(self):
        if self.process is not None:
            stop_process(self.process)
            self.process.stderr.close()
            self.process = None


# ---------------------------------------------------------------- long runs and fault injection


#: ``ROOTS_LONG_RUN=1`` scales the leak check, the fault-injection sweep and
#: the thread test up from their quick defaults.
LONG_RUN = os.environ.get("ROOTS_LONG_RUN") == "1"
#: Set by the test command for the run under the sanitizers.
UNDER_ASAN = os.environ.get("ROOTS_ASAN") == "1"


class QuietTracker:
    """A status tracker that keeps nothing, so repeated runs stay the same size."""

    add_status = update_metadata = staticmethod(lambda value: None)


class Slotted:
    """A collaborator keeping its values in slots, as an object of a class with ``__slots__`` does."""

    __slots__ = ("settings", "queryUtility", "add_status", "update_metadata")

    def __init__(self, **values):
        for name, value in values.items():
            setattr(self, name, value)


def with_plain_collaborators(request, kind, add_status):
    """``request`` with its registry and status tracker remade as ``kind`` objects, each of a
    class of its own: a ``SimpleNamespace`` keeps its dict at a fixed offset in the object,
    ``Slotted`` its values in slots."""
    registry, tracker = (type(name, (kind,), {"__slots__": ()}) for name in ("Registry", "Tracker"))
    request.registry = registry(settings=request.registry.settings, queryUtility=request.registry.queryUtility)
    request.request_status = tracker(add_status=add_status, update_metadata=id)
    return request



def leak_path(call, *args, refusal=None):
    """A scenario of the leak check: ``call(*args)``, which must raise
    ``refusal`` when one is given (and may raise nothing else)."""
    def run():
        try:
            call(*args)
        except refusal or ():
            return
        assert refusal is None, "{} not raised".format(refusal.__name__)
    return run

#: (class name, url, request keywords): one path through each class's own steps.
CLASS_PATHS = [
    ("RootContext", "/home.json", {}), ("DefaultRoot", "/dd/sales", {"matchdict": {"db_id": "sales"}}),
    ("RootBasic", "/home.json?validate=no", {"method": "PUT"}), ("DataFormatRoot", "/home.json", {}),
    ("Querystudio", "/querystudio/q1.html", {"matchdict": {"query_id": "q1"}}),
    ("DBModel", "/models/sales.json", {"matchdict": {"db_id": "sales"}}),
    ("DBModels", "/models.json", {"matchdict": {}}),
    ("QuerydefsList", "/querydefs.json", {}), ("Querydef", "/querydefs/q1.json", {"matchdict": {"query_id": "q1"}}),
    ("NewQuerydef", "/querydefs/new.json", {"method": "POST"}),
    ("DBDef", "/databases/sales.json", {"matchdict": {"db_id": "sales"}}), ("DBDefsList", "/databases.json", {}),
    ("NewDBDef", "/databases/new.json", {"method": "POST"}), ("UserdefsList", "/users.json", {}),
    ("Userdef", "/users/bob.json", {"matchdict": {"user_id": "bob"}}),
    ("NewUserdef", "/users/new.json", {"method": "POST"}), ("ExecuteQueryList", "/query.json", {}),
    ("ExecuteQuery", "/query/q1/country/DE.json", {"matchdict": {"query_id": "q1"}}),
    ("DataDiscovery", "/dd/sales/orders.json", {"matchdict": {"other_segments": ("sales", "orders")}}),
    ("RequestStatus", "/status.json", {}),
    ("DBCredentialsRoot", "/dbcredentials/sales.json", {"matchdict": {"db_id": "sales", "dbc_id": "c1"}}),
    ("DDURLParserBuilderRoot", "/dd/parse", {"method": "POST", "json_body": {"path": "/db/sales/orders"}}),
]
#: A store in which every path of ``CLASS_PATHS`` reaches its class's decisions.
CLASS_PATH_STORE = {
    "users": {
        "admin": {"password": "secret", "apikey": "admin-key"},
        "public": {"databases": ["open"]},
        "alice": {"databases": ["sales", "open"], "querydef": ["view", "create"], "dbdef": ["view", "create"],
                  "userdef": ["view", "create"], "dbcreds": ["view", "create"], "view": ["bob"], "edit": ["bob"]},
        "bob": {"databases": ["sales"], "edit": ["alice"], "creator": "alice"},
    },
    "databases": {"sales": {"read": ["alice"], "write": ["bob"], "execute": ["alice", "public"]},
                  "open": {"read": ["public"]}},
    "querydefs": {
        "q1": {"database": "sales", "read": ["alice"], "write": ["alice"], "execute": ["alice", "public"],
               "http_methods": {"GET": True}},
        "q2": {"database": "open", "execute": ["bob"], "http_methods": {"GET": True, "POST": False}},
    },
    "credentials": {"sales": {"c1": {"edit": ["alice"], "view": ["alice"], "password": "pw"}}},
}


class Injected(BaseException):
    """The fault of the fault-injection sweep.  A ``BaseException``, so that
    no collaborator's ``except Exception`` takes it for one of its own."""


class FaultPlan:
    """Counts the attribute reads and calls made through the proxies it is
    given to, and raises a new ``Injected`` at the ``fail_at``-th one
    (never when ``fail_at`` is None); ``raised`` is that exception."""

    def __init__(self):
        self.reset(None)

    def reset(self, fail_at):
        self.count = 0
        self.fail_at = fail_at
        self.raised = None

    def tick(self):
        self.count += 1
        if self.count == self.fail_at:
            self.raised = Injected(self.count)
            raise self.raised


def _faulty_result(value, plan):
    """What a proxy hands out: methods and the store's objects wrapped again,
    plain values as they are."""
    # Imported here: helpers must not import the store before the tests
    # have chosen which package they test.
    from korvane.config_storage import ConfigStorage, Record
    from pyramid.registry import Registry

    if isinstance(value, (types.MethodType, types.BuiltinMethodType)) and not isinstance(
        getattr(value, "__self__", None), types.ModuleType
    ):
        return FaultyCall(value, plan)
    if isinstance(value, (Record, ConfigStorage, Registry)):
        return Faulty(value, plan)
    if isinstance(value, dict) and value and all(isinstance(v, Record) for v in value.values()):
        return Faulty(value, plan)
    if type(value).__name__ == "dict_items":
        return [(key, _faulty_result(item, plan)) for key, item in value]
    if type(value).__name__ == "dict_values":
        return [_faulty_result(item, plan) for item in value]
    return value


class FaultyCall:
    """A method whose call counts as one step of the plan."""

    __slots__ = ("_method", "_plan")

    def __init__(self, method, plan):
        self._method = method
        self._plan = plan

    def __call__(self, *args, **kwargs):
        self._plan.tick()
        return _faulty_result(self._method(*args, **kwargs), self._plan)


class Faulty:
    """A proxy for a request, registry, store, store mapping or record:
    every attribute read, and every use as a container (len, truth, ``in``,
    ``[]``, iteration), counts as one step of the plan."""

    __slots__ = ("_target", "_plan")

    def __init__(self, target, plan):
        object.__setattr__(self, "_target", target)
        object.__setattr__(self, "_plan", plan)

    def __getattribute__(self, name):
        plan = object.__getattribute__(self, "_plan")
        plan.tick()
        return _faulty_result(getattr(object.__getattribute__(self, "_target"), name), plan)

    def __setattr__(self, name, value):
        setattr(object.__getattribute__(self, "_target"), name, value)

    def _step(self):
        plan = object.__getattribute__(self, "_plan")
        plan.tick()
        return object.__getattribute__(self, "_target"), plan

    def __len__(self):
        target, _ = Faulty._step(self)
        return len(target)

    def __bool__(self):
        target, _ = Faulty._step(self)
        return bool(target)

    def __contains__(self, item):
        target, _ = Faulty._step(self)
        return item in target

    def __getitem__(self, key):
        target, plan = Faulty._step(self)
        return _faulty_result(target[key], plan)

    def __iter__(self):
        target, _ = Faulty._step(self)
        return iter(target)

    def __repr__(self):
        return "Faulty({!r})".format(object.__getattribute__(self, "_target"))


# ------------------------------------------------------------ implementations

#: The suffix of a test module that runs another module's tests against the
#: pure-Python twin (``test_context_twin`` runs ``test_context``).
TWIN_SUFFIX = "_twin"


def implementation_under_test(module_name):
    """The module a behaviour test module tests: the compiled
    ``korvane.roots``, or ``korvane._pyroots`` when the tests run as a twin
    module (see ``run_as_twin``)."""
    twin = module_name.endswith(TWIN_SUFFIX)
    return importlib.import_module("korvane._pyroots" if twin else "korvane.roots")


def run_as_twin(namespace):
    """Runs the behaviour test module that the twin module ``namespace``
    (its globals) names, so that the same tests collect again there with
    ``roots`` bound to the twin.  Asserts are rewritten as pytest does on
    import, and tracebacks point at the original file."""
    name = namespace["__name__"]
    path = Path(__file__).with_name(name[: -len(TWIN_SUFFIX)] + ".py")
    source = path.read_bytes()
    tree = ast.parse(source, filename=str(path))
    rewrite_asserts(tree, source, str(path))
    exec(compile(tree, str(path), "exec"), namespace)


# ------------------------------------------------------------ traces of what a build reads


class Trace:
    """What a build did to its traced collaborators, in order, as (role, operation, text of the argument)."""

    def __init__(self):
        self.begin()

    def begin(self):
        """A new trace; the lines of the last one are kept by whoever took them."""
        self.lines, self.quiet = [], 0

    def note(self, *line):
        if not self.quiet:
            self.lines.append(line)

    @contextlib.contextmanager
    def muted(self):
        """Within a collaborator's own code, whose reads are the same whoever calls it."""
        self.quiet += 1
        try:
            yield
        finally:
            self.quiet -= 1


TRACE = Trace()


def shown(value):
    """A value as the trace keeps it: plain values by their text, others by their type's name (never an id)."""
    return repr(value) if isinstance(value, (str, int, float, type(None))) else type(value).__name__


def _noting(operation, method):
    """``method`` noting its call as ``operation`` (with its first argument) before it runs muted."""
    def noted(self, *args):
        TRACE.note(object.__getattribute__(self, "_role"), operation, *map(shown, args[:1]))
        with TRACE.muted():
            return method(self, *args)
    return noted


def _traced_type(cls):
    """A subclass of ``cls`` noting each read of a public attribute under the object's ``_role`` and, for a
    mapping, its truth and length, lookups, membership and iteration.  Made on ``cls`` alone, so that an
    object of ``cls`` can take it as its class."""
    def __getattribute__(self, name):
        if not name.startswith("_"):
            TRACE.note(object.__getattribute__(self, "_role"), name)
        with TRACE.muted():
            return cls.__getattribute__(self, name)

    namespace = {"__getattribute__": __getattribute__, "__module__": cls.__module__}
    if hasattr(cls, "__getattr__"):
        namespace["__getattr__"] = _noting("getattr", cls.__getattr__)
    if issubclass(cls, Mapping):
        for operation, name in [("len", "__len__"), ("[]", "__getitem__"), ("in", "__contains__"),
                                ("iter", "__iter__"), ("get()", "get")]:
            namespace[name] = _noting(operation, getattr(cls, name))
    return type(cls.__name__, (cls,), namespace)


_TRACED_TYPES = {}


def traced(obj, role):
    """``obj`` (of a class, or a dict made anew) noting what is done to it as ``role``."""
    cls = type(obj)
    if cls not in _TRACED_TYPES:
        _TRACED_TYPES[cls] = _traced_type(cls)
    if cls is dict:
        obj = _TRACED_TYPES[cls](obj)
    object.__setattr__(obj, "_role", role)
    object.__setattr__(obj, "__class__", _TRACED_TYPES[cls])
    return obj


def trace_store(store):
    """The store, its mappings, the databases' credentials and every record traced; returns the store."""
    def traced_records(records, role):
        return traced({key: traced(record, f"{role}[{key!r}]") for key, record in records.items()}, role)

    for section in ("users", "databases", "querydefs"):
        setattr(store, section, traced_records(getattr(store, section), section))
    for db_id, kept in store._credentials.items():
        kept.credentials = traced_records(kept.credentials, f"credentials[{db_id!r}]")
        traced(kept, f"credentials of {db_id!r}")
    return traced(store, "store")


def traced_context_class(cls):
    """A subclass of ``cls`` noting each read and write of its instances' attributes (the reads of special
    names aside)."""
    def __getattribute__(self, name):
        if not name.startswith("__"):
            TRACE.note("self", name)
        return cls.__getattribute__(self, name)

    def __setattr__(self, name, value):
        TRACE.note("self", name + "=")
        cls.__setattr__(self, name, value)
    return type(cls.__name__, (cls,), {"__getattribute__": __getattribute__, "__setattr__": __setattr__,
                                       "__module__": cls.__module__})


class TracedUserId(str):
    """A user id noting its comparisons and truth tests; hashed as the text it is."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        TRACE.note("user_id", "==", shown(other))
        return str.__eq__(self, other)

    def __ne__(self, other):
        TRACE.note("user_id", "!=", shown(other))
        return str.__ne__(self, other)

    def __bool__(self):
        TRACE.note("user_id", "bool")
        return len(self) > 0


class StoreRecord:
    """A store record of any kind: every list field the listings read, empty unless given."""

    LISTS = ("execute", "read", "write", "view", "edit", "databases", "querydef", "userdef", "dbcreds")

    def __init__(self, **fields):
        for name in self.LISTS:
            setattr(self, name, fields.pop(name, []))
        self.creator = fields.pop("creator", None)
        vars(self).update(fields)


class MeddlingRecord(StoreRecord):
    """A store record whose first attribute read calls ``meddle``: the first code a walk over
    its mapping runs, while the records after it are held by the mapping alone."""

    def __getattribute__(self, name):
        meddle = vars(self).pop("meddle", None) if name != "__dict__" else None
        if meddle is not None:
            meddle()
        return object.__getattribute__(self, name)
