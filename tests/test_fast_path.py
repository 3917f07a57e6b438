"""What the module remembers between calls never outlives a change: patched
globals, methods assigned or deleted on a class, subclasses made later,
descriptors and dicts changed after first use are all seen by the next call,
as the twin sees them."""

import builtins
import gc
import itertools
import os
import sys
import types
from collections import Counter
from types import SimpleNamespace
from unittest import mock

import pytest

import korvane._pyroots as twin
import korvane.roots as roots

from helpers import make_request, make_settings, make_store, module_entries


USERS = {"admin": {"password": "secret"}, "public": {}, "u1": {"databases": ["sales"]}}
DATABASES = {"sales": {"read": ["u1"]}}
QUERIES = {"q1": {"database": "sales", "execute": ["u1"], "http_methods": {"GET": True}}}
# What the hooks of a case record; cleared before each construction that reads it.
LOG = []


class Refused(Exception):
    pass


def refuse(*args, **kw):
    raise Refused()


def logs(tag, result=None):
    """A function logging `tag` and how many arguments it got."""
    return lambda *args, **kw: LOG.append((tag, len(args))) or result


def request_for(url, matchdict=None, users=USERS, user_id="u1", store=None, **ini):
    store = make_store(users=users, databases=DATABASES, querydefs=QUERIES) if store is None else store
    return make_request(url, settings=make_settings(store=store, **ini), user_id=user_id, matchdict=matchdict)


def query_request(limited=False):
    return request_for("/query/q1.json", {"query_id": "q1"}, **({"db.sales.limit": 100} if limited else {}))


def model_request(extension="json", **attributes):
    request = request_for(f"/model/sales.{extension}", {"db_id": "sales"})
    request.__dict__.update(attributes)
    return request


def outcome_of(cls, request):
    try:
        built = cls(request)
    except Exception as error:
        return type(error).__name__, str(error)
    keys = [key if isinstance(key, str) else type(key).__name__ for key in vars(built)]
    return "ok", keys, built.__acl__, getattr(built, "db_id", None)


def agree(scenario):
    """`scenario(impl)` run with the module, then the twin: both give the same, which is returned."""
    ours, theirs = scenario(roots), scenario(twin)
    assert ours == theirs
    return ours


# ------------------------------------------------------------ module globals

@pytest.mark.parametrize("name, replacement", [
    ("get_authenticated_user", refuse), ("check_apikey_querystring", refuse), ("requested_data_format", refuse),
    # A base class named in the globals: the base initialised is the replacement.
    ("RootBasic", type("RootBasic", (), {"__init__": refuse}))])
def test_global_patched_between_two_constructions_is_called_by_the_second(name, replacement):
    request = query_request()
    roots.ExecuteQuery(request)
    with mock.patch(f"korvane.roots.{name}", replacement), pytest.raises(Refused):
        roots.ExecuteQuery(request)
    roots.ExecuteQuery(request)


def test_patched_global_leaves_the_same_traceback_entries_as_before():
    sys._clear_type_cache()
    with mock.patch("korvane.roots.get_authenticated_user", refuse), pytest.raises(Refused) as info:
        roots.ExecuteQuery(query_request())
    assert module_entries(info.value.__traceback__) == [
        "korvane.roots.ExecuteQuery.__init__", "korvane.roots.DataFormatRoot.__init__",
        "korvane.roots.RootBasic.__init__", "korvane.roots.RootContext.__init__"]


def converter_handed_to_get_url_param(request):
    """The converter the row-limit check hands to get_url_param (read as `int`)."""
    seen = []
    with mock.patch("korvane.roots.get_url_param", lambda *args: seen.append(args[-1])), \
            pytest.raises(roots.HTTPFound):
        roots.ExecuteQuery(request)
    return seen[-1]


class Counted(int):
    pass


@pytest.mark.parametrize("replace", [lambda: mock.patch("korvane.roots.int", Counted, create=True),
                                     lambda: mock.patch.object(builtins, "int", Counted)],
                         ids=["shadowed-in-module-globals", "replaced-in-builtins"])
def test_builtin_replaced_then_restored_is_seen_by_the_next_call(replace):
    request = query_request(limited=True)
    assert converter_handed_to_get_url_param(request) is int
    with replace():
        assert converter_handed_to_get_url_param(request) is Counted
    assert not hasattr(roots, "int")
    assert converter_handed_to_get_url_param(request) is int


@pytest.mark.parametrize("module, name, root, make", [
    (itertools, "chain", "QuerydefsList",
     lambda: request_for("/querydefs.json", users=dict(USERS, u1={"databases": ["sales"], "querydef": ["view"]}))),
    (os.path, "splitext", "DBModel", model_request)])
def test_module_function_patched_after_first_use_is_called_until_restored(module, name, root, make):
    request, original, calls = make(), getattr(module, name), []
    sys._clear_type_cache()
    getattr(roots, root)(request)
    with mock.patch.object(module, name, lambda *args: calls.append(args) or original(*args)):
        getattr(roots, root)(request)
    during = len(calls)
    getattr(roots, root)(request)
    assert during and len(calls) == during


def big_module(path):
    """A module like `os`: a dict too large to search by identity."""
    module = types.ModuleType("os")
    module.__dict__.update({f"pad{i}": i for i in range(64)})
    module.path = path
    return module


def recording_path(tag, calls):
    return SimpleNamespace(splitext=lambda path: calls.append(tag) or os.path.splitext(path))


MODULE_DICT_CHANGES = {
    "value replaced": lambda module, path: setattr(module, "path", path),
    "entry moved": lambda module, path: (delattr(module, "path"), setattr(module, "path", path)),
    "table grown": lambda module, path: (module.__dict__.update({f"more{i}": i for i in range(300)}),
                                         setattr(module, "path", path)),
    "key of another object": lambda module, path: (delattr(module, "path"),
                                                   module.__dict__.__setitem__("".join(["pa", "th"]), path)),
}


@pytest.mark.parametrize("change", MODULE_DICT_CHANGES.values(), ids=MODULE_DICT_CHANGES.keys())
def test_attribute_of_a_large_module_changed_after_first_use_is_read_as_it_is_now(change):
    calls = []
    module = big_module(recording_path("first", calls))
    request = model_request()
    sys._clear_type_cache()
    with mock.patch("korvane.roots.os", module):
        roots.DBModel(request)
        change(module, recording_path("second", calls))
        roots.DBModel(request)
        del module.path
        ours = outcome_of(roots.DBModel, request)
    with mock.patch("korvane._pyroots.os", module):
        theirs = outcome_of(twin.DBModel, request)
    assert calls == ["first", "second"]
    assert ours == theirs and ours[0] == "AttributeError"


def test_class_constant_patched_after_first_use_is_the_one_recorded():
    request = model_request(request_status=SimpleNamespace(add_status=LOG.append, update_metadata=id))
    sys._clear_type_cache()
    LOG.clear()
    roots.DBModel(request)
    with mock.patch.object(roots.StatusCodes, "CHECK_REQUEST_AUTH", "patched"):
        roots.DBModel(request)
    roots.DBModel(request)
    assert [code for code in LOG if code != roots.StatusCodes.REQUEST_PREPROCESS] == [
        roots.StatusCodes.CHECK_REQUEST_AUTH, "patched", roots.StatusCodes.CHECK_REQUEST_AUTH]


def test_static_method_read_through_a_class_is_what_it_wraps_now():
    class Policy:
        find_api_key = staticmethod(logs("first"))

    request = model_request()
    sys._clear_type_cache()
    LOG.clear()
    with mock.patch("korvane.roots.ApikeyAuthenticationPolicy", Policy):
        roots.RootContext(request)
        vars(Policy)["find_api_key"].__init__(logs("wrapped again"))
        roots.RootContext(request)
        Policy.find_api_key = staticmethod(logs("replaced"))
        roots.RootContext(request)
        Policy.find_api_key = logs("plain function")
        roots.RootContext(request)
    assert LOG == [("first", 3), ("wrapped again", 3), ("replaced", 3), ("plain function", 3)]


# ------------------------------------------------- methods and initialisers

@pytest.mark.parametrize("name, on_base, root", [
    ("check_data_format", False, "DBModel"),
    ("configure_authorization", False, "ExecuteQuery"),
    ("_check_db_access_permissions", False, "ExecuteQuery"),
    ("__init__", True, "ExecuteQuery"),
], ids=["method-with-arguments", "method-without-arguments", "method-called-by-a-method",
        "initialiser-on-a-base-super-reaches"])
def test_function_assigned_after_first_use_is_called_until_deleted(name, on_base, root):
    Between = type("Between", (roots.DataFormatRoot,), {})
    cls = type("Built", (getattr(roots, root), Between) if on_base else (getattr(roots, root),), {})
    owner = Between if on_base else cls
    request = query_request() if root == "ExecuteQuery" else model_request()
    sys._clear_type_cache()
    cls(request)
    setattr(owner, name, refuse)
    try:
        with pytest.raises(Refused):
            cls(request)
    finally:
        delattr(owner, name)
    assert cls(request).request is request


def test_subclass_made_after_first_use_has_its_overrides_and_mro_followed():
    request = query_request()
    roots.ExecuteQuery(request)
    roots.DBModel(model_request())
    calls = []

    class Between(roots.DataFormatRoot):
        def __init__(self, request):
            calls.append("between")
            super().__init__(request)

    class Query(roots.ExecuteQuery, Between):
        def configure_authorization(self):
            calls.append("authorization")
            return super().configure_authorization()

    # ExecuteQuery's super() now reaches Between before DataFormatRoot.
    Query(request)
    assert calls == ["between", "authorization"]


@pytest.mark.parametrize("collaborator, name", [("request_status", "add_status"), ("config_storage", "pull")])
def test_collaborators_method_replaced_shadowed_or_deleted_is_the_one_called(collaborator, name):
    """`add_status(code)` and `pull(from_memcache=True)` on the request's
    tracker and store: replaced on the class after first use, shadowed by
    the instance, made a staticmethod, deleted."""
    def scenario(impl):
        request = model_request()
        target = getattr(request, collaborator, None) or request.registry.settings["krv_settings"][collaborator]
        record = lambda tag: lambda *args, **kw: LOG.append((tag, kw or args[-1]))  # noqa: E731
        sys._clear_type_cache()
        impl.DBModel(request)
        LOG.clear()
        with mock.patch.object(type(target), name, record("class")):
            impl.DBModel(request)
            setattr(target, name, record("instance"))
            impl.DBModel(request)
            delattr(target, name)
            impl.DBModel(request)
            setattr(type(target), name, staticmethod(record("static")))
            impl.DBModel(request)
            delattr(type(target), name)
            return [*LOG, outcome_of(impl.DBModel, request)]
    seen = agree(scenario)
    assert [tag for tag, _ in itertools.groupby(entry[0] for entry in seen[:-1])] == [
        "class", "instance", "class", "static"]
    assert seen[-1][0] == "AttributeError" and name in seen[-1][1]


# --------------------------------------- classes changed after first use

def with_prelude(base, step):
    """An initialiser running `step(self, request)`, then the one of `base`."""
    def __init__(self, request):
        step(self, request)
        base.__init__(self, request)
    return __init__


def prelude(step):
    return lambda cls, request: setattr(cls, "__init__", with_prelude(cls.__base__, step))


def on_class(name, value):
    return lambda cls, request: setattr(cls, name, value)


def off_class(name):
    return lambda cls, request: delattr(cls, name)


def logged_property(tag):
    """Reads and writes log `tag`; writes are kept under another name."""
    return property(lambda self: LOG.append(("read", tag)) or self.__dict__.get("kept"),
                    lambda self, value: LOG.append(("write", tag)) or self.__dict__.__setitem__("kept", value))


class Lazy:
    def __get__(self, obj, cls):
        return "lazy"


class DictSubclass(dict):
    pass


def shadow_table_if_asked(self, request):
    if request.shadow:
        self.format_redirect_map = {}


def users_request():
    return request_for("/users.json", users=dict(USERS, u1={"databases": ["sales"], "user": ["view"]}))


def case(name, base, make, attrs, *changes, same=False):
    return pytest.param(base, make, attrs, changes, same, id=name)


NO_ATTRS = lambda base: {}  # noqa: E731
OWN_TABLE = lambda base: {"format_redirect_map": dict(base.format_redirect_map)}  # noqa: E731
XSD = lambda: model_request("xsd", shadow=False)  # noqa: E731

CLASS_CHANGES = [
    case("property-added-then-deleted", "DBModel", model_request, NO_ATTRS,
         on_class("krv_settings", logged_property("kept")), off_class("krv_settings")),
    # A non-data descriptor: the instance's value wins until the class gains a setter.
    case("descriptor-gains-a-setter", "DBModel", model_request, lambda base: {"db_id": Lazy()},
         lambda cls, request: setattr(Lazy, "__set__", lambda self, obj, value: LOG.append(value)),
         lambda cls, request: delattr(Lazy, "__set__")),
    case("class-attribute-shadowed-by-the-instance", "DBModel", model_request, NO_ATTRS,
         on_class("db_id", "class level"), same=True),
    case("table-replaced", "DBModel", XSD, OWN_TABLE, on_class("format_redirect_map", {})),
    case("table-shadowed-by-the-instance", "DBModel", XSD, OWN_TABLE,
         prelude(lambda self, request: setattr(self, "format_redirect_map", {}))),
    case("own-table-deleted", "DBModel", XSD, OWN_TABLE, off_class("format_redirect_map"), same=True),
    # One unchanged class: some instances keep a table of their own.
    case("table-shadowed-by-one-instance-of-two", "DBModel", XSD,
         lambda base: {"__init__": with_prelude(base, shadow_table_if_asked)},
         lambda cls, request: setattr(request, "shadow", True), lambda cls, request: setattr(request, "shadow", False)),
    case("table-shadowed-by-the-first-instance", "DBModel", lambda: model_request("xsd", shadow=True),
         lambda base: {"__init__": with_prelude(base, shadow_table_if_asked)},
         lambda cls, request: setattr(request, "shadow", False), lambda cls, request: setattr(request, "shadow", True)),
    case("method-shadowed-by-an-instance-attribute", "DBModel", model_request, NO_ATTRS,
         prelude(lambda self, request: setattr(self, "check_data_format", refuse))),
    case("method-shadowed-in-a-materialised-dict", "DBModel", model_request, NO_ATTRS,
         prelude(lambda self, request: self.__dict__.__setitem__("check_data_format", refuse))),
    case("dict-materialised", "DBModel", model_request, NO_ATTRS, prelude(lambda self, request: self.__dict__), same=True),
    case("dict-replaced", "DBModel", model_request, NO_ATTRS,
         prelude(lambda self, request: setattr(self, "__dict__", {})), same=True),
    case("dict-replaced-by-a-subclass", "DBModel", model_request, NO_ATTRS,
         prelude(lambda self, request: setattr(self, "__dict__", DictSubclass())), same=True),
    # property.__init__ again: the same property object, another getter; then none.
    case("property-getter-replaced-in-place", "DBDef",
         lambda: request_for("/dbdefs/sales.json", {"db_id": "sales"}, user_id="admin"),
         lambda base: {"db_config": property(base.db_config.fget)},
         lambda cls, request: vars(cls)["db_config"].__init__(lambda self: None),
         on_class("db_config", property(None)), off_class("db_config")),
    case("static-method-replaced-shadowed-deleted", "UserdefsList", users_request, NO_ATTRS,
         on_class("get_acl", staticmethod(logs("static", []))), on_class("get_acl", logs("function", [])),
         prelude(lambda self, request: setattr(self, "get_acl", logs("instance", []))),
         off_class("__init__"), off_class("get_acl")),
]


@pytest.mark.parametrize("base, make, attrs, changes, same", CLASS_CHANGES)
def test_class_changed_after_first_use_is_read_as_by_the_twin(base, make, attrs, changes, same):
    """A subclass built once, then again after each change to it (or to
    the request): each construction gives and logs what the twin's does."""
    def scenario(impl):
        cls = type("Sub", (getattr(impl, base),), attrs(getattr(impl, base)))
        request = make()
        sys._clear_type_cache()
        seen = []
        for change in [None, *changes]:
            if change:
                change(cls, request)
            LOG.clear()
            seen.append((outcome_of(cls, request), list(LOG)))
        return seen
    seen = agree(scenario)
    assert (len({repr(step) for step in seen}) == 1) == same


class Colliding:
    """An instance dict key hashed as `name`: a lookup of `name` in that dict
    compares with it, which runs `action` and finds them unequal."""

    def __init__(self, name, action):
        self.hash, self.action = hash(name), action

    def __hash__(self):
        return self.hash

    def __eq__(self, other):
        self.action()
        return False


HELD_ACL = [("Allow", "held", "view_userslist")]


@pytest.mark.parametrize("base, make, name, held, replacement", [
    ("DBModel", XSD, "format_redirect_map", {"xsd": ("xml", "schema")}, {}),
    ("DBModel", XSD, "redirect_request_format", None, lambda self, *args: None),
    ("UserdefsList", users_request, "get_acl", staticmethod(lambda *args: HELD_ACL),
     staticmethod(lambda *args: [("Deny", "replaced", "view_userslist")])),
], ids=["class-table", "method", "staticmethod"])
def test_class_attribute_replaced_while_the_instance_dict_is_searched_is_read_as_by_the_twin(
        base, make, name, held, replacement):
    """The read holds what the class gave before the search ran the key's
    comparison, which replaced it: the replaced object is freed then."""
    def scenario(impl):
        replaced = []

        def replace():
            if not replaced:
                replaced.append(setattr(Sub, name, replacement))

        Sub = type("Sub", (getattr(impl, base),), {
            name: getattr(getattr(impl, base), name) if held is None else held,
            "__init__": with_prelude(getattr(impl, base), lambda self, r: self.__dict__.__setitem__(
                Colliding(name, replace), None))})
        sys._clear_type_cache()
        return outcome_of(Sub, make())
    outcome = agree(scenario)
    assert name != "get_acl" or outcome[2] == HELD_ACL


# ------------------------------------------------------ attributes read

def traced_subclass(impl, class_name, log):
    """A subclass of `impl.class_name` that logs every attribute read and write."""

    class Traced(getattr(impl, class_name)):
        def __getattribute__(self, name):
            log.append(("get", name))
            return super().__getattribute__(name)

        def __setattr__(self, name, value):
            log.append(("set", name))
            super().__setattr__(name, value)

    return Traced


@pytest.mark.parametrize("class_name, make", [("ExecuteQuery", query_request), ("DBModel", model_request)])
def test_getattribute_and_setattr_overrides_see_every_access_in_the_twins_order(class_name, make):
    request = make()
    getattr(roots, class_name)(request)  # the plain class fills the caches first
    ours, theirs = [], []
    traced_subclass(roots, class_name, ours)(request)
    traced_subclass(twin, class_name, theirs)(request)
    assert ("set", "request") in ours
    # The same reads and the same writes in the same order.  (Where a method
    # is read relative to its arguments differs: the module evaluates the
    # arguments first.)
    assert [entry for entry in ours if entry[0] == "set"] == [entry for entry in theirs if entry[0] == "set"]
    assert Counter(ours) == Counter(theirs)


def padded(base, pads=None, deleted=()):
    """A subclass whose instances hold `pads` other attributes (the request's
    `pads` if None) in a materialised dict, and had `deleted` set and deleted,
    before the base initialiser runs: the attributes it sets land elsewhere."""
    def step(self, request):
        self.__dict__.update({f"pad{i}": i for i in range(request.pads if pads is None else pads)})
        for name in deleted:
            self.__dict__[name] = "gone"
            del self.__dict__[name]
    return type("Padded", (base,), {"__init__": with_prelude(base, step)})


SHARED = ("db_id", "settings", "krv_settings", "config_storage", "authenticated_user_id")


def test_each_place_reading_attributes_reads_the_objects_own_values_whatever_came_before():
    """Classes taking turns at one place, and instances of one class whose
    layouts differ, each get their own values, as with the twin; the padded
    classes are made anew each turn: new classes meet old positions."""
    request = model_request()
    layouts = [(0, ()), (5, ()), (40, ()), (3, ("krv_settings", "settings")), (0, ("request",))]
    varying = [(roots.DBModel, twin.DBModel), (padded(roots.DBModel), padded(twin.DBModel))]
    sys._clear_type_cache()
    for turn in range(3):
        classes = varying + [(padded(roots.DBModel, *layout), padded(twin.DBModel, *layout)) for layout in layouts]
        for pads in (0, 7, 2):
            request.pads = pads
            for ours_class, theirs_class in classes:
                ours, theirs = vars(ours_class(request)), vars(theirs_class(request))
                assert list(ours) == list(theirs)
                assert ours["db_id"] == "sales"
                assert {name: ours[name] for name in SHARED} == {name: theirs[name] for name in SHARED}


SPLIT_DICT_CHANGES = [
    ("value replaced", lambda r: setattr(r, "matchdict", {"db_id": "nowhere"})),
    ("value restored", lambda r: setattr(r, "matchdict", {"db_id": "sales"})),
    ("value deleted", lambda r: delattr(r, "matchdict")),
    ("value set again", lambda r: setattr(r, "matchdict", {"db_id": "sales"})),
    ("key the class does not share", lambda r: setattr(r, "late_arrival", 1)),
    ("value replaced after", lambda r: setattr(r, "matchdict", {"db_id": "nowhere"})),
]


def test_attributes_of_an_instance_whose_dict_is_split_are_read_as_they_are_now():
    """The framework's request sets its attributes before anything reads its
    `__dict__`: a split table, keys shared with the class, values apart."""
    request = model_request()
    sys._clear_type_cache()
    seen = []
    for change, apply in [("as made", lambda r: None)] + SPLIT_DICT_CHANGES:
        apply(request)
        ours, theirs = outcome_of(roots.DBModel, request), outcome_of(twin.DBModel, request)
        assert ours == theirs, change
        seen.append(ours[0])
    assert seen.count("ok") >= 2 and len(set(seen)) > 1


def settings_outcome(cls, request):
    try:
        built = cls(request)
    except Exception as error:
        return type(error).__name__, str(error)
    return built.settings["url_substitution"], built.auth_settings, built.process_registry is not None


DICT_CHANGES = {
    "value replaced": lambda s: s["krv_settings"].__setitem__("url_substitution", {"$7E": "~"}),
    "key moved to the end": lambda s: s["krv_settings"].__setitem__(
        "url_substitution", s["krv_settings"].pop("url_substitution")),
    "grown past a small table": lambda s: s["krv_settings"].update({f"pad{i}": i for i in range(40)}),
    "a key that is not a string": lambda s: s["krv_settings"].__setitem__(("not", "text"), 1),
    # Keys equal to the module's own strings but other objects.
    "equal keys of other objects": lambda s: s.update(
        krv_settings={"".join(list(key)): value for key, value in s["krv_settings"].items()}, auth_settings={"set": 1}),
    "keys reordered": lambda s: s.update(krv_settings=dict(reversed(s["krv_settings"].items()))),
    "key removed": lambda s: s["krv_settings"].pop("process_registry"),
    "auth settings removed": lambda s: s.pop("auth_settings"),
}


@pytest.mark.parametrize("change", DICT_CHANGES.values(), ids=DICT_CHANGES.keys())
def test_settings_changed_between_constructions_are_read_as_they_are_now(change):
    """Reads of exact dicts remember where a key was; every change to the
    dict in between is seen by the next read, as by the twin's."""
    def scenario(impl):
        settings = make_settings()
        request = make_request("/", settings=settings)
        sys._clear_type_cache()
        first = settings_outcome(impl.RootContext, request)
        change(settings)
        return first, settings_outcome(impl.RootContext, request)
    assert agree(scenario)[0][0] == {"$2F": "/", "$2E": "."}


class SlottedResult:
    __slots__ = ("path",)

    def __init__(self, url):
        self.path = url


# Replaces the slot; takes the write of the initialiser and drops it.
OTHER_PATH = property(lambda self: "/model/sales.nothing", lambda self, value: None)


def test_slot_read_through_a_replaced_descriptor_is_read_as_it_is_now():
    """`urlparse(...).path` read from a slot, then from a property replacing
    the slot on the class after first use."""
    request = model_request()
    sys._clear_type_cache()
    with mock.patch("korvane.roots.urlparse", SlottedResult):
        assert roots.DBModel(request).response_format == "json"
        with mock.patch.object(SlottedResult, "path", OTHER_PATH):
            ours = outcome_of(roots.DBModel, request)
    with mock.patch("korvane._pyroots.urlparse", SlottedResult), mock.patch.object(SlottedResult, "path", OTHER_PATH):
        theirs = outcome_of(twin.DBModel, request)
    assert ours == theirs and ours[0] == "HTTPNotFound"


def raises_attribute_error(self):
    raise AttributeError("not here")


@pytest.mark.parametrize("name", ["request_status", "path"])
def test_attribute_error_of_a_property_is_taken_and_reported_as_by_the_twin(name):
    """From `request_status` it means an untracked request; from `path` it
    is the error, naming the attribute and the request as the generic read does."""
    def scenario(impl):
        request = model_request()
        request.__class__ = type("Request", (type(request),), {name: property(raises_attribute_error)})
        sys._clear_type_cache()
        try:
            impl.DBModel(request)
            return "ok"
        except AttributeError as error:
            return str(error), error.name, error.obj is request
    assert agree(scenario) == ("ok" if name == "request_status" else ("not here", "path", True))


def test_property_read_at_one_place_follows_the_objects_class_and_its_changes():
    """A place that read a property last time calls it again only for an
    instance of the same, unchanged class."""
    def path_logging(tag):
        return property(lambda self: LOG.append(tag) or "/model/sales.json")

    def scenario(impl):
        classes = [type(tag, (type(make_request()),), {"path": path_logging(tag)}) for tag in "AB"]
        requests = [model_request() for cls in classes]
        for request, cls in zip(requests, classes):
            request.__class__ = cls
        sys._clear_type_cache()
        steps = []

        def build(request, change=lambda: None):
            change()
            LOG.clear()
            steps.append((outcome_of(impl.DBModel, request), sorted(set(LOG))))

        build(requests[0]), build(requests[1]), build(requests[0])
        build(requests[0], lambda: setattr(classes[0], "path", path_logging("A2")))
        build(requests[0], lambda: setattr(classes[0], "path", "/model/sales.json"))
        build(requests[0], lambda: delattr(classes[0], "path"))
        classes[0].path = property(lambda self: raises_attribute_error(self))
        for _ in range(2):
            with pytest.raises(AttributeError) as info:
                impl.DBModel(requests[0])
            steps.append((str(info.value), info.value.name, info.value.obj is requests[0]))
        return steps
    steps = agree(scenario)
    assert [tags for _, tags in steps[:6]] == [["A"], ["B"], ["A"], ["A2"], [], []]
    assert steps[6:] == [("not here", "path", True)] * 2


# ------------------------------------------- builtin methods of subclasses

# Builtin methods called on a receiver of exactly the builtin type skip the
# method lookup; a subclass's override must still be the one called.
class Overrides:
    def __init__(self):
        self.calls = []

    def subtype(self, base, method, answer):
        def override(receiver, *args):
            self.calls.append((method, *args))
            return answer(receiver, *args)

        return type(base.__name__.title(), (base,), {method: override})


def bare(impl, class_name, **attributes):
    instance = getattr(impl, class_name).__new__(getattr(impl, class_name))
    instance.__dict__.update(attributes)
    return instance


def startswith_case(impl, overrides):
    Text = overrides.subtype(str, "startswith", lambda text, prefix: False)
    request = make_request("/static/app.js", user_id="u1")
    request.__class__ = type("PathRequest", (type(request),), {"path": property(lambda self: Text("/static/app.js"))})
    pulls = []
    request.registry.settings["krv_settings"]["config_storage"].pull = lambda **kw: pulls.append(kw)
    impl.RootContext(request)
    return pulls


def endswith_case(impl, overrides):
    Text = overrides.subtype(str, "endswith", lambda text, suffix: False)
    request = SimpleNamespace(path_info=Text("/query/q1.csv"), query_string="")
    with pytest.raises(Exception) as info:
        bare(impl, "RootBasic", format_redirect_map={"csv": ("json", "")}).redirect_request_format(request, "csv")
    return type(info.value).__name__, info.value.location


def replace_case(impl, overrides):
    Text = overrides.subtype(str, "replace", lambda text, old, new: "replaced")
    return bare(impl, "RootContext", reversed_url_substitution={"/": "~"}).build_escaped_url([Text("a/b")], ["/"])


def get_case(impl, overrides):
    Mapping = overrides.subtype(dict, "get", lambda mapping, key, default=None: {"illegal": ["csv"]})
    with pytest.raises(Exception) as info:
        bare(impl, "DataFormatRoot", formats=Mapping({"GET": {"supported": ["csv"]}})).check_data_format("GET", "csv")
    return type(info.value).__name__


def copy_and_update_case(impl, overrides):
    Copy = overrides.subtype(dict, "update", lambda mapping, other: dict.update(mapping, {"limit": "9"}))
    Params = overrides.subtype(dict, "copy", lambda mapping: Copy(mapping))
    request = SimpleNamespace(params=Params({"a": "1"}), path_url="http://host/data")
    return bare(impl, "RootBasic")._get_db_limit_url(request, 100)


def lstrip_case(impl, overrides):
    Text = overrides.subtype(str, "lstrip", lambda text, chars=None: str.lstrip(text, chars))
    with mock.patch("os.path.splitext", lambda path: (path[:-5], Text(path[-5:]))):
        return impl.DBModel(model_request()).response_format


@pytest.mark.parametrize("case", [startswith_case, endswith_case, replace_case, get_case, copy_and_update_case,
                                  lstrip_case])
def test_builtin_method_overridden_by_a_subclass_is_called_as_by_the_twin(case):
    sys._clear_type_cache()
    ours, theirs = Overrides(), Overrides()
    assert case(roots, ours) == case(twin, theirs)
    assert ours.calls and ours.calls == theirs.calls


# ------------------------------------------- membership and messages

class Equal:
    """Equal to one string, by its own `__eq__` (an element of a user list)."""

    def __init__(self, text, seen):
        self.text, self.seen = text, seen

    def __eq__(self, other):
        self.seen.append(other)
        if self.text is None:
            raise Refused()
        return other == self.text

    __hash__ = None


class LoudStr(str):
    def __eq__(self, other):
        return False

    __hash__ = str.__hash__


@pytest.mark.parametrize("databases", [
    lambda seen: ["open", Equal("sales", seen)],
    lambda seen: [LoudStr("sales"), "sales"],
    lambda seen: [LoudStr("sales")],
    lambda seen: [Equal(None, seen), "sales"],
    lambda seen: ["sales", Equal(None, seen)],
])
def test_membership_in_user_lists_compares_elements_as_the_twin(databases):
    """`db_id in user.databases` asks each element in turn, element first,
    and stops at the first equal one; exact strings only skip the protocol."""
    def scenario(impl):
        seen = []
        request = request_for("/models.json", users=dict(USERS, u1={"databases": databases(seen)}))
        sys._clear_type_cache()
        return outcome_of(impl.DBModels, request), seen
    agree(scenario)


def test_list_snapshot_is_taken_before_the_walk_changes_the_store():
    """The walk over the store's databases sees them as they were when it
    began, even when reading a record adds another database."""
    def scenario(impl):
        store = make_store(users=dict(USERS, u1={"databases": ["sales", "late"]}),
                           databases=DATABASES, querydefs=QUERIES)
        databases = store.databases
        record = databases["sales"]

        class Growing(type(record)):
            @property
            def execute(self):
                databases.setdefault("late", record)
                return ["u1"]

        object.__setattr__(record, "__class__", Growing)
        built = impl.DBModels(request_for("/models.json", store=store))
        return list(built.db_configs), built.admin_for_dbs, "late" in databases
    assert agree(scenario) == (["sales"], ["sales"], True)


@pytest.mark.parametrize("rights", [
    lambda seen: {"read": ["u2"], "write": ["u1"], "execute": []},
    lambda seen: {"read": ("u1",), "write": [], "execute": []},
    lambda seen: {"read": ["u2"], "write": [LoudStr("u1")], "execute": ["u3"]},
    lambda seen: {"read": ["u1"], "write": [["unhashable"]], "execute": []},
    lambda seen: {"read": [Equal("u1", seen)], "write": ["u2"], "execute": []},
    lambda seen: {"read": ["u2"], "write": ["u3"], "execute": {"u1": True}},
])
@pytest.mark.parametrize("class_name, url", [("DBDefsList", "/dbdefs.json"), ("QuerydefsList", "/querydefs.json")])
def test_user_named_in_a_records_collections_is_decided_as_by_the_twin(rights, class_name, url):
    """Plain lists of strings are searched directly, anything else as the
    set or chain the steps build would decide, errors included."""
    def scenario(impl):
        seen = []
        users = dict(USERS, u1={"databases": ["sales"], "dbdef": ["view"], "querydef": ["view"]})
        queries = {"q1": dict(rights(seen), database="sales", http_methods={"GET": True})}
        store = make_store(users=users, databases={"sales": rights(seen)}, querydefs=queries)
        request = make_request(url, settings=make_settings(store=store), user_id="u1")
        sys._clear_type_cache()
        try:
            built = getattr(impl, class_name)(request)
        except Exception as error:
            return type(error).__name__, str(error), seen
        listed = {name: sorted(getattr(built, name)) for name in
                  ("db_configs", "query_configs", "executable_queries", "viewable_queries") if hasattr(built, name)}
        return listed, built.__acl__, seen
    agree(scenario)


class Shown:
    """An id whose text is its own `__str__` (or, without text, an error)."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        if self.text is None:
            raise Refused()
        return self.text

    def __hash__(self):
        return hash(self.text)


class ShownStr(str):
    def __str__(self):
        return "shown"


@pytest.mark.parametrize("db_id", [42, Shown("Spaß ☃"), Shown(None), ShownStr("nowhere")],
                         ids=["int", "object", "str-raising", "str-subclass"])
def test_messages_give_each_argument_as_str_gives_it(db_id):
    request = request_for("/model/x.json", {"db_id": db_id})
    sys._clear_type_cache()
    ours, theirs = outcome_of(roots.DBModel, request), outcome_of(twin.DBModel, request)
    assert ours == theirs and ours[0] in ("HTTPNotFound", "Refused")


# ---------------------------------------------------------- frames

def refusal(request):
    with pytest.raises(Exception) as info:
        roots.DBModel(request)
    return info.value


def module_frames(error):
    frames, tb = [], error.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_name.startswith("korvane.roots."):
            frames.append((tb.tb_frame, tb.tb_lineno))
        tb = tb.tb_next
    return frames


def test_traceback_frames_are_never_shared_and_keep_nothing_set_on_them_before():
    """A frame made for a traceback entry serves a later entry only once no
    traceback holds it, and without what code set on it meanwhile."""
    request = request_for("/model/nowhere.xsd", {"db_id": "nowhere"})
    sys._clear_type_cache()
    kept = refusal(request)
    first = module_frames(kept)
    second = module_frames(refusal(request))
    assert len(first) >= 2 and [(f.f_code, line) for f, line in second] == [(f.f_code, line) for f, line in first]
    assert not {id(f) for f, _ in first} & {id(f) for f, _ in second}
    second_ids = [id(f) for f, _ in second]
    for frame, _ in second:
        frame.f_trace = refuse
        frame.f_locals["planted"] = True
    # Each refusal's exception and the frame of `refusal` in its traceback
    # hold each other: the collector frees them.
    del second, frame
    gc.collect()
    third = module_frames(refusal(request))
    assert [id(f) for f, _ in third] == second_ids
    assert all(f.f_trace is None and "planted" not in f.f_locals for f, _ in third)
    assert [(f.f_code, line) for f, line in third] == [(f.f_code, line) for f, line in first]
    assert module_frames(kept) == first


# Python collaborators of every shape: the ones given exactly their
# positional parameters run in a frame the module pushes itself, the rest
# through the interpreter's general call; either way as the twin calls them.
def user_of(request, users):
    return "u1", users["u1"]


def shaped(parameters, body, name="collaborator"):
    """A function taking `parameters` and running `body` (one line), compiled as any def is."""
    namespace = {}
    exec(f"def {name}({parameters}):\n    {body}\n", namespace)
    return namespace[name]


def _user_closure():
    chosen = "u1"
    return lambda request, users: (chosen, users[chosen])


USER_SHAPES = {
    "exact": user_of,
    "default": shaped("request, users, fallback='u1'", "return fallback, users[fallback]"),
    "keyword-only": shaped("request, users, *, fallback='u1'", "return fallback, users[fallback]"),
    "varargs": shaped("request, users, *rest, **named", "return 'u1', (users['u1'], rest, named)"),
    "keywords": shaped("request, users, **named", "return 'u1', (users['u1'], named)"),
    "generator": shaped("request, users", "yield 'u1'; yield users['u1']"),
    "closure": _user_closure(),
    "missing-argument": shaped("request, users, third", "return 'u1', users['u1']"),
    "extra-argument": shaped("request", "return 'u1', None"),
    "raising": shaped("request, users", "return users['nobody']"),
    "recursing-without-end": shaped("request, users", "return collaborator(request, users)"),
}


def context_outcome(impl, request):
    try:
        context = impl.RootContext(request)
    except Exception as error:
        return type(error).__name__, str(error), module_entries(error.__traceback__)[-1:] if impl is roots else None
    return context.authenticated_user_id, context.authenticated_user_config


@pytest.mark.parametrize("shape", USER_SHAPES.values(), ids=USER_SHAPES.keys())
def test_python_collaborator_of_any_shape_is_called_as_the_twin_calls_it(shape):
    request = request_for("/")
    sys._clear_type_cache()
    outcomes = []
    for impl in (roots, twin):
        with mock.patch(f"{impl.__name__}.get_authenticated_user", shape):
            outcomes.append(context_outcome(impl, request))
    ours, theirs = outcomes
    assert ours[:2] == theirs[:2]
    if isinstance(theirs[0], str) and theirs[0].endswith("Error"):
        assert ours[2] == ["korvane.roots.RootContext.__init__"]
    # Whatever the collaborator did, the next call is as the twin's.
    assert context_outcome(roots, request) == context_outcome(twin, request)[:2]


def test_frame_evaluator_installed_in_the_interpreter_sees_the_calls_into_python():
    """A debugger's or profiler's frame evaluator must see every Python frame,
    including those the module starts directly."""
    testing = pytest.importorskip("_testinternalcapi")
    request = request_for("/")
    roots.RootContext(request)
    seen = []
    with mock.patch("korvane.roots.get_authenticated_user", user_of):
        testing.set_eval_frame_record(seen)
        try:
            roots.RootContext(request)
        finally:
            testing.set_eval_frame_default()
    assert "user_of" in seen


@pytest.mark.parametrize("hook", ["setprofile", "settrace"])
def test_profile_and_trace_functions_see_the_python_collaborators_called(hook):
    request = request_for("/")
    events = []

    def record(frame, event, arg):
        if frame.f_code is user_of.__code__:
            events.append((event, arg if event == "return" else None))
        return record

    with mock.patch("korvane.roots.get_authenticated_user", user_of):
        roots.RootContext(request)
        getattr(sys, hook)(record)
        try:
            context = roots.RootContext(request)
        finally:
            getattr(sys, hook)(None)
    assert [event for event, _ in events if event in ("call", "return")] == ["call", "return"]
    assert events[-1] == ("return", ("u1", context.authenticated_user_config))


def test_python_collaborators_are_called_at_any_depth_of_the_frame_stack():
    """Frames live in chunks the thread grows as it needs: where a chunk has
    no room left the call is made the general way, and nothing differs."""
    request = request_for("/")
    expected = context_outcome(twin, request)
    outcomes = []
    # A frame as large as a few pages, so that at some depth the chunk has less room left.
    large = shaped("request, users", "; ".join(f"local{i} = {i}" for i in range(1500)) + "; return 'u1', users['u1']")

    def at_depth(depth):
        if depth:
            return at_depth(depth - 1)
        with mock.patch("korvane.roots.get_authenticated_user", large):
            outcomes.append(context_outcome(roots, request))

    for depth in range(0, 600):
        at_depth(depth)
    assert outcomes == [expected] * len(outcomes)


# ------------------------------------ collaborators with a `__getattr__`

# The store's records define `__getattr__`: what the instance holds first,
# else `__getattr__` with the name, whatever changed on the class since.
def forwarding_class():
    class Forwarding:
        def __init__(self, target, calls):
            object.__setattr__(self, "_target", target)
            object.__setattr__(self, "_calls", calls)

        def __getattr__(self, name):
            self._calls.append(name)
            if name.startswith("__"):
                raise AttributeError(name)
            return getattr(self._target, name)
    return Forwarding


def _no_users(cls):
    def __getattr__(self, name):
        self._calls.append(name)
        raise AttributeError(f"nothing called {name!r} here")
    cls.__getattr__ = __getattr__


def _getattribute(cls):
    def __getattribute__(self, name):
        if name == "users":
            object.__getattribute__(self, "_calls").append("getattribute:" + name)
        return object.__getattribute__(self, name)
    cls.__getattribute__ = __getattribute__


class CallableGetattr:
    def __get__(self, obj, owner):
        return lambda name: getattr(object.__getattribute__(obj, "_target"), name)


class CollidingKey(str):
    """Equal to the name it shadows, but its comparison fails as an attribute lookup would."""

    def __hash__(self):
        return hash("users")

    def __eq__(self, other):
        raise AttributeError("compared")


def collided(cls, store):
    store.__dict__[CollidingKey("x")] = None
    sys._clear_type_cache()


def pull_shape(parameters, *recorded):
    return shaped(f"self, {parameters}", f"self._calls.append(('pull', {', '.join(recorded)}))", "pull")


KEYWORD_PULL = pull_shape("from_memcache=False", "from_memcache")


def forwarding_case(name, change=lambda cls, store: None, pull=None):
    return pytest.param(change, pull, id=name)


@pytest.mark.parametrize("change, pull", [
    forwarding_case("unchanged"),
    forwarding_case("instance-holds-it", lambda cls, store: object.__setattr__(store, "users", {})),
    forwarding_case("instance-dict-materialised",
                    lambda cls, store: store.__dict__.update(querydefs=store._target.querydefs)),
    forwarding_case("class-value-added", lambda cls, store: setattr(cls, "users", {})),
    forwarding_case("getattr-replaced-raising", lambda cls, store: _no_users(cls)),
    forwarding_case("getattr-deleted", lambda cls, store: delattr(cls, "__getattr__")),
    forwarding_case("getattribute-added", lambda cls, store: _getattribute(cls)),
    forwarding_case("getattr-not-a-function", lambda cls, store: setattr(cls, "__getattr__", CallableGetattr())),
    # An AttributeError from searching the instance dict falls back to __getattr__.
    forwarding_case("dict-search-raising-attribute-error", collided),
    forwarding_case("method-shadowed-by-the-instance", lambda cls, store: object.__setattr__(
        store, "pull", lambda **kw: store._calls.append("instance pull")), pull=KEYWORD_PULL),
    forwarding_case("method-deleted", lambda cls, store: delattr(cls, "pull"), pull=KEYWORD_PULL),
    # The store's pull(from_memcache=True) bound to methods of any signature.
    forwarding_case("pull-keyword", pull=KEYWORD_PULL),
    forwarding_case("pull-positional-only", pull=pull_shape("from_memcache, /", "from_memcache")),
    forwarding_case("pull-keyword-only", pull=pull_shape("*, from_memcache", "from_memcache")),
    forwarding_case("pull-other-name", pull=pull_shape("cached", "cached")),
    forwarding_case("pull-one-more", pull=pull_shape("from_memcache, extra", "from_memcache", "extra")),
    forwarding_case("pull-any-keywords", pull=pull_shape("**options", "options")),
])
def test_collaborator_reading_through_getattr_is_read_as_by_the_twin_after_any_change(change, pull):
    def scenario(impl):
        cls, calls = forwarding_class(), []
        if pull:
            cls.pull = pull
        store = cls(make_store(users=USERS, databases=DATABASES, querydefs=QUERIES), calls)
        request = request_for("/model/sales.json", {"db_id": "sales"}, store=store)
        sys._clear_type_cache()
        first = outcome_of(impl.DBModel, request), list(calls)
        change(cls, store)
        calls.clear()
        return first, (outcome_of(impl.DBModel, request), list(calls))
    first, then = agree(scenario)
    assert pull not in (None, KEYWORD_PULL) or (first[0][0] == "ok" and "users" in first[1])
    assert pull is not KEYWORD_PULL or ("pull", True) in first[1]
