"""What the module remembers between calls never outlives a change: patched
globals, shadowed builtins, methods assigned or deleted on a class, and
subclasses made after the first construction are all seen by the next call."""

import builtins
import gc
import os
import types
import sys
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


class Refused(Exception):
    pass


def refuse(*args, **kw):
    raise Refused()


def request_for(url, matchdict=None, users=USERS, user_id="u1", **ini):
    store = make_store(users=users, databases=DATABASES, querydefs=QUERIES)
    return make_request(url, settings=make_settings(store=store, **ini), user_id=user_id, matchdict=matchdict)


def query_request(limited=False):
    return request_for("/query/q1.json", {"query_id": "q1"}, **({"db.sales.limit": 100} if limited else {}))


def model_request(extension="json"):
    return request_for(f"/model/sales.{extension}", {"db_id": "sales"})


@pytest.mark.parametrize("name, replacement", [
    ("get_authenticated_user", refuse), ("check_apikey_querystring", refuse), ("requested_data_format", refuse),
    # A base class named in the globals: the base initialised is the replacement.
    ("RootBasic", type("RootBasic", (), {"__init__": refuse}))])
def test_global_patched_between_two_constructions_is_called_by_the_second(name, replacement):
    request = query_request()
    roots.ExecuteQuery(request)
    with mock.patch(f"korvane.roots.{name}", replacement):
        with pytest.raises(Refused):
            roots.ExecuteQuery(request)
    roots.ExecuteQuery(request)


def test_patched_global_leaves_the_same_traceback_entries_as_before():
    sys._clear_type_cache()
    with mock.patch("korvane.roots.get_authenticated_user", refuse):
        with pytest.raises(Refused) as info:
            roots.ExecuteQuery(query_request())
    assert module_entries(info.value.__traceback__) == [
        "korvane.roots.ExecuteQuery.__init__", "korvane.roots.DataFormatRoot.__init__",
        "korvane.roots.RootBasic.__init__", "korvane.roots.RootContext.__init__"]


def converter_handed_to_get_url_param(request):
    """The converter the row-limit check hands to get_url_param (read as `int`)."""
    seen = []

    def get_url_param(request, name, default, converter):
        seen.append(converter)
        return None

    with mock.patch("korvane.roots.get_url_param", get_url_param), pytest.raises(roots.HTTPFound):
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


def test_override_deleted_from_a_subclass_dispatches_to_the_base_again():
    calls = []

    class Model(roots.DBModel):
        def check_data_format(self, request_method, response_format, check_ext=True):
            calls.append(response_format)
            return super().check_data_format(request_method, response_format, check_ext)

    request = model_request()
    Model(request)
    assert calls == ["json"]
    del Model.check_data_format
    Model(request)
    assert calls == ["json"]


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


# ------------------------------------------------ attributes of plain instances

BUILDS = [("ExecuteQuery", query_request), ("DBModel", model_request)]


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


@pytest.mark.parametrize("class_name, make_request", BUILDS)
def test_getattribute_and_setattr_overrides_see_every_access_in_the_twins_order(class_name, make_request):
    request = make_request()
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


def test_property_added_to_a_subclass_after_first_use_takes_reads_and_writes_until_deleted():
    Model = type("Model", (roots.DBModel,), {})
    request = model_request()
    sys._clear_type_cache()
    assert "krv_settings" in vars(Model(request))
    seen = []

    def read(self):
        seen.append("read")
        return self.__dict__["kept"]

    def write(self, value):
        seen.append("write")
        self.__dict__["kept"] = value

    Model.krv_settings = property(read, write)
    model = Model(request)
    assert seen[:2] == ["write", "read"]
    assert "krv_settings" not in vars(model)
    del Model.krv_settings
    assert "krv_settings" in vars(Model(request))


def test_descriptor_class_that_gains_a_setter_after_first_use_becomes_a_data_descriptor():
    class Lazy:
        def __get__(self, obj, cls):
            return "lazy"

    Model = type("Model", (roots.DBModel,), {"db_id": Lazy()})
    request = model_request()
    sys._clear_type_cache()
    assert Model(request).db_id == "sales"  # a non-data descriptor: the instance's value wins
    written = []
    Lazy.__set__ = lambda self, obj, value: written.append(value)
    model = Model(request)
    assert written == ["sales"]
    assert model.db_id == "lazy"


def test_class_attribute_added_after_first_use_is_shadowed_by_the_instance():
    Model = type("Model", (roots.DBModel,), {})
    request = model_request()
    Model(request)
    Model.db_id = "class level"
    assert Model(request).db_id == "sales"


def materialising(base, replace_with=None):
    class Materialised(base):
        def __init__(self, request):
            if replace_with is None:
                self.__dict__  # reading it materialises the dict
            else:
                self.__dict__ = replace_with()
            super().__init__(request)

    return Materialised


class DictSubclass(dict):
    pass


@pytest.mark.parametrize("replace_with", [None, dict, DictSubclass])
def test_instance_whose_dict_was_materialised_or_replaced_is_built_as_the_twin(replace_with):
    request = model_request()
    roots.DBModel(request)
    ours = materialising(roots.DBModel, replace_with)(request)
    theirs = materialising(twin.DBModel, replace_with)(request)
    assert ours.db_id == "sales"
    assert list(vars(ours)) == list(vars(theirs))


@pytest.mark.parametrize("materialise", [False, True])
def test_instance_attribute_shadowing_a_method_is_the_one_called(materialise):
    class Model(roots.DBModel):
        def __init__(self, request):
            if materialise:
                self.__dict__["check_data_format"] = refuse
            else:
                self.check_data_format = refuse
            super().__init__(request)

    request = model_request()
    roots.DBModel(request)
    sys._clear_type_cache()
    with pytest.raises(Refused):
        Model(request)



def padded(base, pads, deleted):
    """A subclass whose instances hold `pads` other attributes in a
    materialised dict, and had `deleted` set and deleted, before the base
    initialiser runs: the attributes it sets land at other positions."""

    class Padded(base):
        def __init__(self, request):
            self.__dict__.update({f"pad{i}": i for i in range(pads)})
            for name in deleted:
                self.__dict__[name] = "gone"
                del self.__dict__[name]
            super().__init__(request)

    return Padded


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
    for name, value in attributes.items():
        setattr(instance, name, value)
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
    context = bare(impl, "RootContext", reversed_url_substitution={"/": "~"})
    return context.build_escaped_url([Text("a/b")], ["/"])


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


@pytest.mark.parametrize("case", [startswith_case, endswith_case, replace_case, get_case, copy_and_update_case])
def test_builtin_method_overridden_by_a_subclass_is_called_as_by_the_twin(case):
    sys._clear_type_cache()
    ours, theirs = Overrides(), Overrides()
    assert case(roots, ours) == case(twin, theirs)
    assert ours.calls and ours.calls == theirs.calls


def outcome_of(cls, request):
    try:
        built = cls(request)
    except Exception as error:
        return type(error).__name__, str(error)
    return "ok", sorted(vars(built)), built.__acl__


def replace_table(cls):
    cls.format_redirect_map = {}


def delete_table(cls):
    del cls.format_redirect_map


def shadow_table(cls):
    original = cls.__init__

    def __init__(self, request):
        self.format_redirect_map = {}
        original(self, request)

    cls.__init__ = __init__


@pytest.mark.parametrize("change", [replace_table, shadow_table, delete_table])
def test_class_table_changed_after_first_use_is_read_as_by_the_twin(change):
    """A class-level table read through the instance: a subclass replacing
    it, an instance shadowing it, the subclass's own copy deleted again."""
    results = []
    for impl in (roots, twin):
        Model = type("Model", (impl.DBModel,), {"format_redirect_map": dict(impl.DBModel.format_redirect_map)})
        request = model_request("xsd")
        sys._clear_type_cache()
        first = outcome_of(Model, request)
        change(Model)
        results.append((first, outcome_of(Model, request)))
    assert results[0] == results[1]
    assert results[0][0] != results[0][1] or change is delete_table


@pytest.mark.parametrize("impl_name", ["roots", "twin"])
def test_property_whose_getter_is_replaced_in_place_runs_the_new_getter(impl_name):
    impl = roots if impl_name == "roots" else twin
    Def = type("Def", (impl.DBDef,), {"db_config": property(impl.DBDef.db_config.fget)})
    request = request_for("/dbdefs/sales.json", {"db_id": "sales"}, user_id="admin")
    sys._clear_type_cache()
    assert Def(request).db_id == "sales"
    # property.__init__ again: the same property object, another getter.
    vars(Def)["db_config"].__init__(lambda self: None)
    with pytest.raises(impl.HTTPNotFound):
        Def(request)
    Def.db_config = property(None)
    with pytest.raises(AttributeError, match="has no getter"):
        Def(request)
    del Def.db_config
    assert Def(request).db_id == "sales"


class Tracker:
    def __init__(self):
        self.codes = []

    def add_status(self, code):
        self.codes.append(code)

    def update_metadata(self, mapping):
        pass


def tracked_model_request():
    request = model_request()
    request.request_status = Tracker()
    return request


def test_class_constant_patched_after_first_use_is_the_one_recorded():
    request = tracked_model_request()
    sys._clear_type_cache()
    roots.DBModel(request)
    with mock.patch.object(roots.StatusCodes, "CHECK_REQUEST_AUTH", "patched"):
        roots.DBModel(request)
    roots.DBModel(request)
    checks = [code for code in request.request_status.codes if code != roots.StatusCodes.REQUEST_PREPROCESS]
    assert checks == [roots.StatusCodes.CHECK_REQUEST_AUTH, "patched", roots.StatusCodes.CHECK_REQUEST_AUTH]


def test_collaborators_method_replaced_on_its_class_or_shadowed_on_the_instance_is_called():
    request = tracked_model_request()
    tracker = request.request_status
    sys._clear_type_cache()
    roots.DBModel(request)
    assert len(tracker.codes) == 2
    seen = []
    Tracker.add_status = lambda self, code: seen.append(("class", code))
    try:
        roots.DBModel(request)
        tracker.add_status = lambda code: seen.append(("instance", code))
        roots.DBModel(request)
        del tracker.add_status
        del Tracker.add_status
        with pytest.raises(AttributeError, match="add_status"):
            roots.DBModel(request)
    finally:
        Tracker.add_status = lambda self, code: self.codes.append(code)
    assert [where for where, _ in seen] == ["class", "class", "instance", "instance"]


def test_module_attribute_patched_after_first_use_is_the_one_called():
    users = dict(USERS, u1={"databases": ["sales"], "querydef": ["view"]})
    request = request_for("/querydefs.json", users=users)
    sys._clear_type_cache()
    roots.QuerydefsList(request)
    import itertools
    calls = []

    def chain(*iterables):
        calls.append(len(iterables))
        return itertools.chain.__wrapped__(*iterables)

    chain.__wrapped__ = itertools.chain
    with mock.patch("itertools.chain", chain):
        roots.QuerydefsList(request)
    roots.QuerydefsList(request)
    assert calls and all(count in (2, 3) for count in calls)


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


@pytest.mark.parametrize("kind", ["class-table", "method"])
def test_class_attribute_replaced_while_the_instance_dict_is_searched_is_read_as_by_the_twin(kind):
    """The read holds what the class gave before the search ran the key's
    comparison, which replaced it: the replaced object is freed then."""
    outcomes = []
    for impl in (roots, twin):
        class Model(impl.DBModel):
            format_redirect_map = {"xsd": ("xml", "schema")}
            redirect_request_format = impl.DBModel.redirect_request_format

            def __init__(self, request):
                self.__dict__[Colliding(NAME, replace)] = None
                super().__init__(request)

        def replace(replaced=[]):
            if not replaced:
                replaced.append(True)
                setattr(Model, NAME, {} if kind == "class-table" else (lambda self, *args: None))

        NAME = "format_redirect_map" if kind == "class-table" else "redirect_request_format"
        sys._clear_type_cache()
        outcomes.append(outcome_of(Model, model_request("xsd")))
    assert outcomes[0] == outcomes[1]


def test_staticmethod_replaced_while_the_instance_dict_is_searched_is_called_as_by_the_twin():
    users = dict(USERS, u1={"databases": ["sales"], "user": ["view"]})
    outcomes = []
    for impl in (roots, twin):
        class Listing(impl.UserdefsList):
            get_acl = staticmethod(lambda *args: [("Allow", "held", "view_userslist")])

            def __init__(self, request):
                self.__dict__[Colliding("get_acl", replace)] = None
                super().__init__(request)

        def replace(replaced=[]):
            if not replaced:
                replaced.append(True)
                Listing.get_acl = staticmethod(lambda *args: [("Deny", "replaced", "view_userslist")])

        sys._clear_type_cache()
        outcomes.append(Listing(request_for("/users.json", users=users)).__acl__)
    assert outcomes[0] == outcomes[1] == [("Allow", "held", "view_userslist")]


class RecordedExtension(str):
    def lstrip(self, chars=None):
        RecordedExtension.calls.append(str(self))
        return str.lstrip(self, chars)


@pytest.mark.parametrize("replace", ["module-function", "builtin-subclass-method"])
def test_module_function_and_builtin_method_replaced_after_first_use_are_called(replace):
    import os.path
    request = model_request()
    sys._clear_type_cache()
    roots.DBModel(request)
    calls = RecordedExtension.calls = []
    original = os.path.splitext

    def splitext(path):
        root, extension = original(path)
        calls.append(path)
        return root, (RecordedExtension(extension) if replace == "builtin-subclass-method" else extension)

    with mock.patch("os.path.splitext", splitext):
        assert roots.DBModel(request).response_format == "json"
    roots.DBModel(request)
    expected = ["/model/sales.json", ".json"] if replace == "builtin-subclass-method" else ["/model/sales.json"]
    assert calls == expected


@pytest.mark.parametrize("impl", [roots, twin], ids=["module", "twin"])
def test_static_method_replaced_shadowed_or_deleted_after_first_use_is_the_one_called(impl):
    users = dict(USERS, u1={"databases": ["sales"], "user": ["view"]})
    request = request_for("/users.json", users=users)
    seen = []

    class Listing(impl.UserdefsList):
        def __init__(self, request, shadow=None):
            if shadow is not None:
                self.get_acl = shadow
            super().__init__(request)

    sys._clear_type_cache()
    Listing(request)
    Listing.get_acl = staticmethod(lambda *args: seen.append(("static", len(args))) or [])
    Listing(request)
    Listing.get_acl = lambda *args: seen.append(("function", len(args))) or []
    Listing(request)
    Listing(request, shadow=lambda *args: seen.append(("instance", len(args))) or [])
    del Listing.get_acl
    assert Listing(request).__acl__ == impl.UserdefsList(request).__acl__
    assert seen == [("static", 2), ("function", 3), ("instance", 2)]


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
    results = []
    for impl in (roots, twin):
        seen = []
        request = request_for("/models.json", users=dict(USERS, u1={"databases": databases(seen)}))
        sys._clear_type_cache()
        results.append((outcome_of(impl.DBModels, request), seen))
    assert results[0] == results[1]


def test_list_snapshot_is_taken_before_the_walk_changes_the_store():
    """The walk over the store's databases sees them as they were when it
    began, even when reading a record adds another database."""
    results = []
    for impl in (roots, twin):
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
        request = make_request("/models.json", settings=make_settings(store=store), user_id="u1")
        built = impl.DBModels(request)
        results.append((list(built.db_configs), built.admin_for_dbs, "late" in databases))
    assert results[0] == results[1] == (["sales"], ["sales"], True)


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
    """Whether the records' collections name the user: plain lists of
    strings are searched directly, anything else as the set or chain the
    steps build would decide, errors included."""
    results = []
    for impl in (roots, twin):
        seen = []
        users = dict(USERS, u1={"databases": ["sales"], "dbdef": ["view"], "querydef": ["view"]})
        queries = {"q1": dict(rights(seen), database="sales", http_methods={"GET": True})}
        store = make_store(users=users, databases={"sales": rights(seen)}, querydefs=queries)
        request = make_request(url, settings=make_settings(store=store), user_id="u1")
        sys._clear_type_cache()
        try:
            built = getattr(impl, class_name)(request)
        except Exception as error:
            results.append((type(error).__name__, str(error), seen))
            continue
        listed = {name: sorted(getattr(built, name)) for name in
                  ("db_configs", "query_configs", "executable_queries", "viewable_queries") if hasattr(built, name)}
        results.append((listed, built.__acl__, seen))
    assert results[0] == results[1]


def varying_layout(base):
    """Instances of one class whose attributes land at other positions from
    one construction to the next (the request says how many come first)."""

    class Varying(base):
        def __init__(self, request):
            if request.pads:
                self.__dict__.update({f"pad{i}": i for i in range(request.pads)})
            super().__init__(request)

    return Varying


SHARED = ("db_id", "settings", "krv_settings", "config_storage", "authenticated_user_id")


def test_each_place_reading_attributes_reads_the_objects_own_values_whatever_came_before():
    """Each place that reads or writes an attribute remembers where it found
    it last: classes taking turns there, and instances of one class whose
    layouts differ, must each get their own values, as with the twin.  The
    padded classes are made anew each turn: new classes meet old positions."""
    request = model_request()
    layouts = [(0, ()), (5, ()), (40, ()), (3, ("krv_settings", "settings")), (0, ("request",))]
    varying = [(roots.DBModel, twin.DBModel), (varying_layout(roots.DBModel), varying_layout(twin.DBModel))]
    sys._clear_type_cache()
    for turn in range(3):
        classes = varying + [(padded(roots.DBModel, pads, deleted), padded(twin.DBModel, pads, deleted))
                             for pads, deleted in layouts]
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
    """The framework's request sets its attributes before anything reads
    its `__dict__`: the dict it gets then is a split table, its keys shared
    with the class, its values apart."""
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


def rebuilt_with_equal_keys(settings):
    # Keys equal to the module's own strings but other objects.
    return {"".join(list(key)): value for key, value in settings.items()}


DICT_CHANGES = {
    "value replaced": lambda s: s["krv_settings"].__setitem__("url_substitution", {"$7E": "~"}),
    "key moved to the end": lambda s: s["krv_settings"].__setitem__(
        "url_substitution", s["krv_settings"].pop("url_substitution")),
    "grown past a small table": lambda s: s["krv_settings"].update({f"pad{i}": i for i in range(40)}),
    "a key that is not a string": lambda s: s["krv_settings"].__setitem__(("not", "text"), 1),
    "equal keys of other objects": lambda s: s.update(
        krv_settings=rebuilt_with_equal_keys(s["krv_settings"]), auth_settings={"set": 1}),
    "keys reordered": lambda s: s.update(krv_settings=dict(reversed(s["krv_settings"].items()))),
    "key removed": lambda s: s["krv_settings"].pop("process_registry"),
    "auth settings removed": lambda s: s.pop("auth_settings"),
}


@pytest.mark.parametrize("change", DICT_CHANGES.values(), ids=DICT_CHANGES.keys())
def test_settings_changed_between_constructions_are_read_as_they_are_now(change):
    """Reads of exact dicts remember where a key was; every change to the
    dict in between is seen by the next read, as by the twin's."""
    results = []
    for impl in (roots, twin):
        settings = make_settings()
        request = make_request("/", settings=settings)
        sys._clear_type_cache()
        first = settings_outcome(impl.RootContext, request)
        change(settings)
        results.append((first, settings_outcome(impl.RootContext, request)))
    assert results[0] == results[1]
    assert results[0][0][0] == {"$2F": "/", "$2E": "."}


@pytest.mark.parametrize("shadow_first", [False, True])
def test_class_value_shadowed_by_one_instance_and_not_another_is_read_for_each(shadow_first):
    """One place reads a class table through instances of one unchanged
    class, some of which keep a table of their own (set before any other
    attribute, or after others already were)."""
    results = []
    for impl in (roots, twin):
        class Model(impl.DBModel):
            def __init__(self, request):
                if request.shadow:
                    self.format_redirect_map = {}
                super().__init__(request)

        sys._clear_type_cache()
        outcomes = []
        for shadow in (shadow_first, not shadow_first, shadow_first):
            request = model_request("xsd")
            request.shadow = shadow
            outcomes.append(outcome_of(Model, request))
        results.append(outcomes)
    assert results[0] == results[1]
    assert results[0][0] != results[0][1]


def big_module(path):
    """A module like `os`: a dict too large to search by identity."""
    module = types.ModuleType("os")
    module.__dict__.update({f"pad{i}": i for i in range(64)})
    module.path = path
    return module


def recording_path(tag, calls):
    def splitext(path):
        calls.append(tag)
        return os.path.splitext(path)
    return SimpleNamespace(splitext=splitext)


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


def test_method_called_with_keywords_is_the_one_the_object_has_now():
    """The store's refresh, `pull(from_memcache=True)`, replaced on the class
    after first use, shadowed by the instance, then made a staticmethod."""
    request = model_request()
    store = request.registry.settings["krv_settings"]["config_storage"]
    seen = []
    sys._clear_type_cache()
    roots.DBModel(request)
    with mock.patch.object(type(store), "pull", lambda self, from_memcache: seen.append(("class", from_memcache))):
        roots.DBModel(request)
        store.pull = lambda from_memcache: seen.append(("instance", from_memcache))
        roots.DBModel(request)
        del store.pull
        roots.DBModel(request)
        type(store).pull = staticmethod(lambda from_memcache: seen.append(("static", from_memcache)))
        roots.DBModel(request)
    roots.DBModel(request)
    assert seen == [("class", True), ("instance", True), ("class", True), ("static", True)]


def test_static_method_read_through_a_class_is_what_it_wraps_now():
    seen = []

    def finder(tag):
        return lambda params, apikey_name, appid_name: seen.append(tag)

    class Policy:
        find_api_key = staticmethod(finder("first"))

    request = model_request()
    sys._clear_type_cache()
    with mock.patch("korvane.roots.ApikeyAuthenticationPolicy", Policy):
        roots.RootContext(request)
        vars(Policy)["find_api_key"].__init__(finder("wrapped again"))
        roots.RootContext(request)
        Policy.find_api_key = staticmethod(finder("replaced"))
        roots.RootContext(request)
        Policy.find_api_key = finder("plain function")
        roots.RootContext(request)
    assert seen == ["first", "wrapped again", "replaced", "plain function"]


def raises_attribute_error(self):
    raise AttributeError("not here")


@pytest.mark.parametrize("name", ["request_status", "path"])
def test_attribute_error_of_a_property_is_taken_and_reported_as_by_the_twin(name):
    """A request property raising AttributeError: for `request_status`
    that means an untracked request; for `path` it is the error, naming
    the attribute and the request as the generic read does."""
    results = []
    for impl in (roots, twin):
        request = model_request()
        request.__class__ = type("Request", (type(request),), {name: property(raises_attribute_error)})
        sys._clear_type_cache()
        try:
            impl.DBModel(request)
            results.append("ok")
        except AttributeError as error:
            results.append((str(error), error.name, error.obj is request))
    assert results[0] == results[1]
    assert results[0] == ("ok" if name == "request_status" else ("not here", "path", True))


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
    with mock.patch("korvane._pyroots.urlparse", SlottedResult), \
            mock.patch.object(SlottedResult, "path", OTHER_PATH):
        theirs = outcome_of(twin.DBModel, request)
    assert ours == theirs and ours[0] == "HTTPNotFound"


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
    assert ours == theirs
    assert ours[0] in ("HTTPNotFound", "Refused")


def refusal(request):
    try:
        roots.DBModel(request)
    except Exception as error:
        return error
    raise AssertionError("the request was not refused")


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
    """A function taking `parameters` (a parameter list as written in a def)
    and running `body` (one line), compiled as any def is."""
    namespace = {}
    exec(f"def {name}({parameters}):\n    {body}\n", namespace)
    return namespace[name]


def _user_closure():
    chosen = "u1"

    def user(request, users):
        return chosen, users[chosen]
    return user


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
    expected = ("u1", context.authenticated_user_config)
    assert [event for event, _ in events if event in ("call", "return")] == ["call", "return"]
    assert events[-1] == ("return", expected)


def _user_with_many_locals():
    # A frame as large as a few pages: where the thread's chunk of frame
    # space has less room than that left, the frame must go to a new chunk.
    assignments = "; ".join(f"local{i} = {i}" for i in range(1500))
    return shaped("request, users", f"{assignments}; return 'u1', users['u1']")


def test_python_collaborators_are_called_at_any_depth_of_the_frame_stack():
    """Frames live in chunks the thread grows as it needs: where a chunk has
    no room left the call is made the general way, and nothing differs."""
    request = request_for("/")
    expected = context_outcome(twin, request)
    outcomes = []
    large = _user_with_many_locals()

    def at_depth(depth):
        if depth:
            return at_depth(depth - 1)
        with mock.patch("korvane.roots.get_authenticated_user", large):
            outcomes.append(context_outcome(roots, request))

    for depth in range(0, 600):
        at_depth(depth)
    assert outcomes == [expected] * len(outcomes)


def test_python_collaborator_recursing_without_end_raises_recursion_error():
    request = request_for("/")

    def endless(request, users):
        return endless(request, users)

    with mock.patch("korvane.roots.get_authenticated_user", endless), pytest.raises(RecursionError):
        roots.RootContext(request)
    assert context_outcome(roots, request) == context_outcome(twin, request)


# Collaborators whose class defines `__getattr__` (the store's records do):
# what the instance holds first, else `__getattr__` with the name, whatever
# changed on the class since the last read.
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


FALLBACK_CHANGES = {
    "unchanged": lambda cls, store: None,
    "instance-holds-it": lambda cls, store: object.__setattr__(store, "users", {}),
    "instance-dict-materialised": lambda cls, store: store.__dict__.update(querydefs=store._target.querydefs),
    "class-value-added": lambda cls, store: setattr(cls, "users", {}),
    "getattr-replaced-raising": lambda cls, store: _no_users(cls),
    "getattr-deleted": lambda cls, store: delattr(cls, "__getattr__"),
    "getattribute-added": lambda cls, store: _getattribute(cls),
    "getattr-not-a-function": lambda cls, store: setattr(cls, "__getattr__", CallableGetattr()),
}


@pytest.mark.parametrize("change", FALLBACK_CHANGES.values(), ids=FALLBACK_CHANGES.keys())
def test_collaborator_reading_through_getattr_is_read_as_by_the_twin_after_any_change(change):
    outcomes = {}
    for impl in (roots, twin):
        cls, calls = forwarding_class(), []
        target = make_store(users=USERS, databases=DATABASES, querydefs=QUERIES)
        store = cls(target, calls)
        request = make_request("/model/sales.json", settings=make_settings(store=store), user_id="u1",
                               matchdict={"db_id": "sales"})
        sys._clear_type_cache()
        first = outcome_of(impl.DBModel, request), list(calls)
        change(cls, store)
        calls.clear()
        outcomes[impl] = first, (outcome_of(impl.DBModel, request), list(calls))
    assert outcomes[roots] == outcomes[twin]
    assert outcomes[roots][0][0][0] == "ok" and "users" in outcomes[roots][0][1]


class CollidingKey(str):
    """Equal to the name it shadows, but its comparison fails as an attribute
    lookup would."""

    def __hash__(self):
        return hash("users")

    def __eq__(self, other):
        raise AttributeError("compared")


def test_attribute_error_from_searching_the_instance_dict_falls_back_to_getattr_as_in_the_twin():
    outcomes = {}
    for impl in (roots, twin):
        cls, calls = forwarding_class(), []
        store = cls(make_store(users=USERS, databases=DATABASES, querydefs=QUERIES), calls)
        request = make_request("/model/sales.json", settings=make_settings(store=store), user_id="u1",
                               matchdict={"db_id": "sales"})
        outcome_of(impl.DBModel, request)
        store.__dict__[CollidingKey("x")] = None
        calls.clear()
        sys._clear_type_cache()
        outcomes[impl] = outcome_of(impl.DBModel, request), calls
    assert outcomes[roots] == outcomes[twin]
    assert "users" in outcomes[roots][1]


def test_method_of_a_class_with_getattr_is_called_until_shadowed_or_deleted():
    outcomes = {}
    for impl in (roots, twin):
        cls, calls = forwarding_class(), []

        def pull(self, **kw):
            self._calls.append("class pull")
            return self._target.pull(**kw)

        cls.pull = pull
        store = cls(make_store(users=USERS, databases=DATABASES, querydefs=QUERIES), calls)
        request = make_request("/model/sales.json", settings=make_settings(store=store), user_id="u1",
                               matchdict={"db_id": "sales"})
        sys._clear_type_cache()
        seen = [outcome_of(impl.DBModel, request), list(calls)]
        calls.clear()
        object.__setattr__(store, "pull", lambda **kw: calls.append("instance pull"))
        seen += [outcome_of(impl.DBModel, request), list(calls)]
        calls.clear()
        object.__delattr__(store, "pull")
        del cls.pull
        seen += [outcome_of(impl.DBModel, request), list(calls)]
        outcomes[impl] = seen
    assert outcomes[roots] == outcomes[twin]
    assert [("class pull" in c, "instance pull" in c, "pull" in c) for c in outcomes[roots][1::2]] == [
        (True, False, False), (False, True, False), (False, False, True)]


def _path_raising(self):
    raise AttributeError("no path today")


def test_property_read_at_one_place_follows_the_objects_class_and_its_changes():
    """A place that read a property last time calls it again only for an
    instance of the same, unchanged class."""
    seen = {}
    for impl in (roots, twin):
        log = []

        def logging_path(tag):
            return property(lambda self: (log.append(tag), "/model/sales.json")[1])

        first, second = (type(tag, (type(make_request()),), {"path": logging_path(tag)}) for tag in "AB")
        requests = []
        for cls in (first, second):
            request = request_for("/model/sales.json", {"db_id": "sales"})
            request.__class__ = cls
            requests.append(request)
        sys._clear_type_cache()
        steps = []

        def build(request):
            log.clear()
            outcome = outcome_of(impl.DBModel, request)
            steps.append((outcome, sorted(set(log))))

        build(requests[0]), build(requests[1]), build(requests[0])
        first.path = logging_path("A2")
        build(requests[0])
        first.path = "/model/sales.json"
        build(requests[0])
        del first.path
        build(requests[0])
        first.path = property(_path_raising)
        for _ in range(2):
            try:
                impl.DBModel(requests[0])
            except AttributeError as error:
                steps.append((str(error), error.name, error.obj is requests[0]))
        seen[impl] = steps
    assert seen[roots] == seen[twin]
    assert [tags for _, tags in seen[roots][:6]] == [["A"], ["B"], ["A"], ["A2"], [], []]
    assert seen[roots][6:] == [("no path today", "path", True)] * 2


PULL_SHAPES = {
    "keyword": shaped("self, from_memcache=False", "self._calls.append(('pull', from_memcache))", "pull"),
    "positional-only": shaped("self, from_memcache, /", "self._calls.append(('pull', from_memcache))", "pull"),
    "keyword-only": shaped("self, *, from_memcache", "self._calls.append(('pull', from_memcache))", "pull"),
    "other-name": shaped("self, cached", "self._calls.append(('pull', cached))", "pull"),
    "one-more": shaped("self, from_memcache, extra", "self._calls.append(('pull', from_memcache, extra))", "pull"),
    "any-keywords": shaped("self, **options", "self._calls.append(('pull', options))", "pull"),
}


@pytest.mark.parametrize("pull", PULL_SHAPES.values(), ids=PULL_SHAPES.keys())
def test_method_called_with_a_keyword_binds_it_as_the_twin_does(pull):
    outcomes = {}
    for impl in (roots, twin):
        cls, calls = forwarding_class(), []
        cls.pull = pull
        store = cls(make_store(users=USERS, databases=DATABASES, querydefs=QUERIES), calls)
        request = make_request("/model/sales.json", settings=make_settings(store=store), user_id="u1",
                               matchdict={"db_id": "sales"})
        sys._clear_type_cache()
        outcomes[impl] = [(outcome_of(impl.DBModel, request), [c for c in calls if c[0] == "pull"])
                          for _ in range(2)]
        calls.clear()
    assert outcomes[roots] == outcomes[twin]
