"""The module body as Python sees it (classes, class attributes, `formats` tables, function objects), as in the twin."""

import builtins
import inspect
import logging
import traceback
import time
import types
from collections import OrderedDict, UserDict, defaultdict

import pytest

import korvane._pyroots as twin
import korvane.roots as roots

from helpers import SOURCE_FILE, module_entries

CLASS_NAMES = [name for name, value in vars(twin).items()
               if isinstance(value, type) and value.__module__ == twin.__name__]
WRAPPERS = {property: "property", staticmethod: "staticmethod", types.FunctionType: "method"}
# (kind, class name or None, name) of every function of the module body, in definition order.
FUNCTIONS = [("method", None, "check_apikey_querystring")] + [
    (WRAPPERS[type(entry)], cls_name, name)
    for cls_name in CLASS_NAMES for name, entry in vars(getattr(twin, cls_name)).items() if type(entry) in WRAPPERS
]
PROPERTIES = [(cls, name) for kind, cls, name in FUNCTIONS if kind == "property"]


def bare_instance(name):
    cls = getattr(roots, name)
    return cls.__new__(cls)


# ---------------------------------------------------------------- module and classes


def test_module_globals_are_bound_in_source_order():
    bound = [name for name in vars(roots) if not name.startswith("__")]
    assert bound == [name for name in vars(twin) if not name.startswith("_")]
    assert bound[-23:] == ["check_apikey_querystring"] + CLASS_NAMES and len(CLASS_NAMES) == 22
    assert len(FUNCTIONS) == 54
    assert roots.log is logging.getLogger("korvane")
    assert roots.__doc__ is None and vars(roots)["__builtins__"] is builtins


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_is_a_plain_class_of_the_module_with_the_twins_body_and_formats_table(name):
    cls = getattr(roots, name)
    assert type(cls) is type
    assert (cls.__module__, cls.__qualname__, cls.__name__, cls.__doc__) == ("korvane.roots", name, name, None)
    assert cls.__mro__ == tuple(getattr(roots, base.__name__, object) for base in getattr(twin, name).__mro__)
    assert not hasattr(cls, "__acl__") and "__slots__" not in vars(cls)
    instance = bare_instance(name)
    instance.anything = 1
    assert vars(instance) == {"anything": 1}

    # Attributes then methods in body order; other dunders may be cached on the class by the framework.
    def body(cls):
        return [key for key in vars(cls) if key == "__init__" or not key.startswith("__")]
    assert body(cls) == body(getattr(twin, name))
    assert list(vars(cls))[0] == "__module__" and vars(cls)["__doc__"] is None

    # Order matters to the readers: the method keys, the list names and
    # each list's format names stand as in the body, and the lists are lists.
    def in_order(cls):
        table = vars(cls).get("formats", {})
        return hasattr(cls, "formats"), [(method, [(key, type(formats), formats) for key, formats in lists.items()])
                                         for method, lists in table.items()]
    assert in_order(cls) == in_order(getattr(twin, name))

    # Plain class attributes hold the twin's values, of the twin's types: "" is not None, a pair not a list.
    def values(cls):
        return {key: (type(value), value) for key, value in vars(cls).items()
                if not key.startswith("__") and not callable(value) and not isinstance(value, property)}
    assert values(cls) == values(getattr(twin, name))


def test_every_formats_table_dictionary_and_list_is_its_own_object():
    tables = [vars(getattr(roots, name))["formats"] for name in CLASS_NAMES if "formats" in vars(getattr(roots, name))]
    inner = [lists for table in tables for lists in table.values()]
    seen = tables + inner + [formats for lists in inner for formats in lists.values()]
    assert len(tables) == 17 and len({id(obj) for obj in seen}) == len(seen)


# ---------------------------------------------------------------- function objects


@pytest.mark.parametrize("kind, cls_name, name", FUNCTIONS, ids=[f"{cls}.{name}" for _, cls, name in FUNCTIONS])
def test_function_object_carries_its_names_signature_and_wrapper(kind, cls_name, name):
    def unwrap(module):
        entry = vars(getattr(module, cls_name))[name] if cls_name else vars(module)[name]
        return entry, entry.__func__ if kind == "staticmethod" else entry.fget if kind == "property" else entry
    entry, function = unwrap(roots)
    model = unwrap(twin)[1]
    assert type(entry) is {"method": type(roots.check_apikey_querystring), "staticmethod": staticmethod,
                           "property": property}[kind]
    assert (function.__name__, function.__qualname__) == (model.__name__, model.__qualname__)
    assert function.__qualname__ == (f"{cls_name}.{name}" if cls_name else name)
    assert function.__module__ == "korvane.roots" and function.__doc__ is None
    signature = inspect.signature(function)
    assert str(signature) == str(inspect.signature(model))
    assert {p.kind for p in signature.parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert (function.__defaults__, function.__annotations__) == (model.__defaults__, model.__annotations__)
    context = bare_instance(cls_name) if cls_name else None
    if kind == "property":
        assert entry.fset is None and entry.fdel is None
        with pytest.raises(AttributeError, match=f"property '{name}' of '{cls_name}' object has no setter"):
            setattr(context, name, "x")
        with pytest.raises(AttributeError, match="has no deleter"):
            delattr(context, name)
        assert name not in vars(context)
    elif kind == "staticmethod":  # the plain function on class and instance
        assert getattr(context, name) is getattr(getattr(roots, cls_name), name) is function
    elif cls_name:  # binds to an instance like a Python function
        bound = getattr(context, name)
        assert isinstance(bound, types.MethodType) and bound.__self__ is context and bound.__func__ is function
        assert getattr(getattr(roots, cls_name), name) is function


@pytest.mark.parametrize("cls_name", [name for name in CLASS_NAMES if (name, "db_config") not in PROPERTIES])
def test_db_config_is_assignable_on_an_instance_where_it_is_no_property(cls_name):
    # Where it is one, the property test above refuses the assignment.
    context, marker = bare_instance(cls_name), object()
    context.db_config = marker
    assert vars(context)["db_config"] is marker and context.db_config is marker


def test_reading_db_config_on_db_def_runs_the_property():
    # A bare instance lacks what the lookup needs, so the property fails: its
    # one traceback entry, the innermost, shows that it ran instead of None being read.
    with pytest.raises(AttributeError) as info:
        bare_instance("DBDef").db_config
    assert module_entries(info.tb) == ["korvane.roots.DBDef.db_config"]
    assert traceback.extract_tb(info.tb)[-1].filename == SOURCE_FILE


# ---------------------------------------------------------------- argument binding

BINDING_CASES = [
    # No defaults: "exactly", the instance counting as one.
    ("query.check_data_format('GET', 'json', False)", "check_data_format() takes exactly 3 positional arguments (4 given)"),
    ("roots.RootBasic.acl_allow()", "acl_allow() takes exactly 1 positional argument (0 given)"),
    ("roots.RootContext()", "__init__() takes exactly 2 positional arguments (1 given)"),
    ("bare('QuerydefsList').get_acl('alice')", "get_acl() takes exactly 2 positional arguments (1 given)"),
    ("roots.check_apikey_querystring(None)", "check_apikey_querystring() takes exactly 2 positional arguments (1 given)"),
    # With a default: "at most" / "at least"; the first missing parameter counts what was given.
    ("root.build_escaped_url(1, 2, 3, 4)", "build_escaped_url() takes at most 4 positional arguments (5 given)"),
    ("root.build_escaped_url(chars_to_replace=1)", "build_escaped_url() takes at least 3 positional arguments (1 given)"),
    ("root.build_escaped_url(segments=1)", "build_escaped_url() takes at least 3 positional arguments (2 given)"),
    # Order of the checks: too many, then missing, then keywords in order.
    ("root.build_escaped_url(1, 2, 3, 4, zz=5)", "build_escaped_url() takes at most 4 positional arguments (5 given)"),
    ("root.build_escaped_url(1, segments=3)", "build_escaped_url() takes at least 3 positional arguments (2 given)"),
    ("root.build_escaped_url(1, 2, zz=3)", "build_escaped_url() got an unexpected keyword argument 'zz'"),
    ("root.build_escaped_url(1, 2, segments=3)", "build_escaped_url() got multiple values for keyword argument 'segments'"),
    ("root.build_escaped_url(1, 2, query_string_data={}, segments=3, zz=4)",
     "build_escaped_url() got multiple values for keyword argument 'segments'"),
    # Refused by the interpreter before the call reaches the function.
    ("roots.check_apikey_querystring({}, None, **{1: 2})", "keywords must be strings"),
]


@pytest.mark.parametrize("call, message", BINDING_CASES, ids=[call for call, _ in BINDING_CASES])
def test_argument_errors_use_the_interpreter_texts(call, message):
    names = {"roots": roots, "root": bare_instance("RootContext"), "query": bare_instance("ExecuteQuery"),
             "bare": bare_instance}
    with pytest.raises(TypeError) as info:
        eval(call, names)
    assert str(info.value) == message
    if message != "keywords must be strings":
        # The function reports the error as its own, like any failure of its body.
        [entry] = module_entries(info.tb)
        assert entry.startswith("korvane.roots.") and entry.endswith(message.split("()")[0])


@pytest.mark.parametrize("settings, type_name", [
    (type("SettingsDict", (dict,), {})(), "SettingsDict"), (None, "NoneType"),
    (types.MappingProxyType({}), "mappingproxy"), (UserDict(), "UserDict"),
    # Types made in C outside the builtins carry their module in their name.
    (OrderedDict(), "collections.OrderedDict"), (defaultdict(), "collections.defaultdict"),
    (time.localtime(), "time.struct_time"),
    # The name is cut at 200 bytes, as C's "%.200s" cuts it; a character cut in two reads as U+FFFD.
    (type("é" * 150, (), {})(), "é" * 100), (type("A" * 199 + "éx", (), {})(), "A" * 199 + "\ufffd"),
], ids=["dict subclass", "None", "read-only mapping", "UserDict", "static C type", "C type made at run time",
        "C type that may be changed", "long name", "long name cut inside a character"])
@pytest.mark.parametrize("impl", [roots, twin], ids=["module", "twin"])
def test_check_apikey_querystring_refuses_anything_but_an_exact_dict(impl, settings, type_name):
    # The request is never read: the refusal comes before the body.
    with pytest.raises(TypeError) as info:
        impl.check_apikey_querystring(request=object(), krv_settings=settings)
    assert str(info.value) == f"Argument 'krv_settings' has incorrect type (expected dict, got {type_name})"
    assert impl is twin or module_entries(info.tb) == []
