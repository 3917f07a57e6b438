"""The module body as Python sees it: classes, class attributes, the
`formats` tables, the function objects and how they bind arguments."""

import builtins
import inspect
import logging
import re
import traceback
import types
from collections import UserDict

import pytest

from helpers import make_store
import korvane.roots as roots

CLASS_NAMES = """
    RootContext DefaultRoot RootBasic DataFormatRoot Querystudio DBModel DBModels QuerydefsList Querydef
    NewQuerydef DBDef DBDefsList NewDBDef UserdefsList Userdef NewUserdef ExecuteQueryList ExecuteQuery
    DataDiscovery RequestStatus DBCredentialsRoot DDURLParserBuilderRoot
""".split()
BASE_OF = dict.fromkeys(CLASS_NAMES, "DataFormatRoot") | {
    "RootContext": None,
    "DefaultRoot": "RootContext",
    "RootBasic": "RootContext",
    "DataFormatRoot": "RootBasic",
    "DataDiscovery": "RootBasic",
    "DDURLParserBuilderRoot": "RootBasic",
}

IMPORTED_NAMES = """
    itertools logging os urlparse urlencode asbool
    HTTPForbidden HTTPFound HTTPMethodNotAllowed HTTPNotFound HTTPNotImplemented HTTPMovedPermanently
    HTTPPermanentRedirect DENY_ALL Allow Authenticated Deny Everyone has_permission ALL_PERMISSIONS
    ApikeyAuthenticationPolicy STD_HTTP_METHODS DEFAULT_SEPARATOR DEFAULT_WILDCARD DEFAULT_NULL_PLACEHOLDER
    HTTPUnsupportedFormat get_model get_reversed_url_substitution_params segments_substitution get_url_param
    get_url_substitution_params replace_patterns requested_data_format get_authenticated_user
    remove_multiple_url_slashes split_path StatusCodes gui_response_exception
""".split()

# Every function of the module body in definition order, written as its
# signature reads; a property or static method is marked by its wrapper.
METHODS = """
check_apikey_querystring(krv_settings: 'dict', request)
RootContext.__init__(self, request)
RootContext.build_escaped_url(self, segments, chars_to_replace, query_string_data=None)
property RootContext.user_db_ids(self) -> 'frozenset'
DefaultRoot.__init__(self, request)
RootBasic.__init__(self, request)
RootBasic.check_authenticated_user(self, request)
RootBasic.acl_allow(self)
RootBasic.acl_deny(self)
RootBasic._check_db_access_permissions(self)
RootBasic._get_db_limit_url(self, request, db_limit)
RootBasic._check_db_limit_overflow(self, request)
RootBasic.redirect_request_format(self, request, response_format)
DataFormatRoot.__init__(self, request)
DataFormatRoot.check_data_format(self, request_method, response_format, check_ext=True)
Querystudio.__init__(self, request)
Querystudio._set_acl(self)
DBModel.__init__(self, request)
DBModels.__init__(self, request)
QuerydefsList.__init__(self, request)
staticmethod QuerydefsList.get_acl(authenticated_user_id, authenticated_user_config)
Querydef.__init__(self, request)
NewQuerydef.__init__(self, request)
property DBDef.db_config(self)
DBDef.__init__(self, request)
DBDefsList.__init__(self, request)
property DBDefsList._db_configs(self)
NewDBDef.__init__(self, request)
UserdefsList.__init__(self, request)
staticmethod UserdefsList.get_configs(authenticated_user_id, permitted, all_user_configs)
staticmethod UserdefsList.get_acl(authenticated_user_id, user_configs)
staticmethod Userdef.get_acl(userdef_id, authenticated_user, user_configs)
Userdef.__init__(self, request)
NewUserdef.__init__(self, request)
staticmethod NewUserdef.get_acl(authenticated_user_id, user_configs)
ExecuteQueryList.__init__(self, request)
ExecuteQuery.__init__(self, request)
ExecuteQuery._validate_http_method(self, request_method, std_methods=())
ExecuteQuery.get_query_info(self)
ExecuteQuery.check_data_format(self, request_method, response_format)
ExecuteQuery.get_db(self)
ExecuteQuery.segments_substitution(self, segments)
ExecuteQuery.configure_authorization(self)
DataDiscovery.__init__(self, request)
DataDiscovery.configure_authorization(self)
RequestStatus.__init__(self, request)
property DBCredentialsRoot.db_config(self)
property DBCredentialsRoot.dbc_config(self)
property DBCredentialsRoot.db_credentials(self)
DBCredentialsRoot.__init__(self, request)
DBCredentialsRoot.setup_acl(self, request)
property DDURLParserBuilderRoot.db_config(self)
DDURLParserBuilderRoot.__init__(self, request)
DDURLParserBuilderRoot._set_special_attributes_from_request(self, request)
""".strip().splitlines()
PARSED = [re.fullmatch(r"(?:(\w+) )?(?:(\w+)\.)?(\w+)(\(.*)", line).groups() for line in METHODS]
CLASS_METHODS = [(kind or "method", cls, name, signature) for kind, cls, name, signature in PARSED if cls]
PROPERTIES = [(cls, name) for kind, cls, name, _ in CLASS_METHODS if kind == "property"]

ROOT_CONTEXT_ATTRIBUTES = dict.fromkeys(
    "url_segments format request_extension db_id db_config query_id query_config "
    "authenticated_user_id authenticated_user_config settings request".split()
) | {"request_extension": ""}

# Class, method: supported | illegal.  Method keys and list items in order.
FORMAT_ROWS = """
Querystudio GET: html | txt xml xsd json csv
DBModel GET: html xml xsd json csv | txt
DBModels GET: html xml xsd json csv | txt
QuerydefsList GET: json html | xml txt xsd csv
Querydef GET: json xml html | txt xsd csv
Querydef PUT: json | html xsd txt xml csv
Querydef DELETE: html json xml csv | xsd txt
NewQuerydef GET: html | txt xsd xml csv
NewQuerydef POST: json | txt xsd html xml csv
DBDef GET: json html | txt xml xsd csv
DBDef PUT: json | html xsd txt xml csv
DBDef DELETE: html json xml csv | xsd txt
DBDefsList GET: json html | txt xml xsd csv
NewDBDef POST: json | txt xsd html xml csv
UserdefsList GET: json html | txt xml xsd csv
Userdef GET: json | txt html xml xsd csv
Userdef PUT: json | html xsd txt xml csv
Userdef DELETE: html json xml csv | xsd txt
NewUserdef POST: json | txt xsd html xml csv
ExecuteQueryList GET: html json | xml txt csv xsd
ExecuteQuery GET: json xml xsd csv html | txt
ExecuteQuery POST: json xml csv xsd | txt html
ExecuteQuery PUT: json xml csv xsd | txt html
ExecuteQuery DELETE: json xml csv xsd | txt html
RequestStatus GET: json | html txt xml xsd csv
DBCredentialsRoot GET: json html | txt
DBCredentialsRoot POST: json | txt html
DBCredentialsRoot PUT: json | txt html
DBCredentialsRoot DELETE: json | txt html
""".strip().splitlines()
FORMATS = {"DataFormatRoot": {m: {"supported": [], "illegal": [], "not_implemented": []}
                              for m in ("GET", "PUT", "POST", "DELETE")}}
for row in FORMAT_ROWS:
    head, supported, illegal = re.fullmatch(r"(\w+ \w+): (.*) \| (.*)", row).groups()
    cls, method = head.split()
    FORMATS.setdefault(cls, {})[method] = {"supported": supported.split(), "illegal": illegal.split()}

READ_ONLY_DB_CONFIG = {"DBDef", "DBCredentialsRoot", "DDURLParserBuilderRoot"}
SOURCE_FILE = "korvane\\roots"


def bare_instance(name):
    """An instance whose initialiser has not run."""
    cls = getattr(roots, name)
    return cls.__new__(cls)


def our_traceback_entries(exc_info):
    return [frame.name for frame in traceback.extract_tb(exc_info.tb) if frame.filename == SOURCE_FILE]


def outcome(call):
    """What a call came to: its result, or the type and text of what it raised."""
    try:
        return ("returned", call())
    except Exception as exc:  # the comparison is about sameness, not success
        return ("raised", type(exc), str(exc))


# ---------------------------------------------------------------- module and classes


def test_module_globals_are_bound_in_source_order():
    bound = [name for name in vars(roots) if not name.startswith("__")]
    assert bound == IMPORTED_NAMES + ["log", "check_apikey_querystring"] + CLASS_NAMES
    assert roots.log is logging.getLogger("korvane")
    assert roots.__doc__ is None and vars(roots)["__builtins__"] is builtins


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_is_a_plain_class_of_the_module_on_its_branch_of_the_tree(name):
    cls = getattr(roots, name)
    assert type(cls) is type
    assert (cls.__module__, cls.__qualname__, cls.__name__, cls.__doc__) == ("korvane.roots", name, name, None)
    chain = [name]
    while BASE_OF[chain[-1]]:
        chain.append(BASE_OF[chain[-1]])
    assert cls.__mro__ == tuple(getattr(roots, link) for link in chain) + (object,)
    assert not hasattr(cls, "__acl__") and "__slots__" not in vars(cls)
    instance = bare_instance(name)
    instance.anything = 1
    assert vars(instance) == {"anything": 1}


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_namespace_holds_its_attributes_then_its_methods_in_body_order(name):
    attributes = {"RootContext": list(ROOT_CONTEXT_ATTRIBUTES), "RootBasic": ["format_redirect_map"]}.get(name, [])
    attributes += ["formats"] * (name in FORMATS)
    methods = [method for _, cls_name, method, _ in CLASS_METHODS if cls_name == name]
    namespace = vars(getattr(roots, name))
    # Other dunders may be cached on the class by the framework (zope.interface).
    assert [key for key in namespace if key == "__init__" or not key.startswith("__")] == attributes + methods
    assert list(namespace)[0] == "__module__" and namespace["__doc__"] is None


def test_class_attribute_values():
    # "" is not None: the extension is text even before a request sets it.
    assert {name: vars(roots.RootContext)[name] for name in ROOT_CONTEXT_ATTRIBUTES} == ROOT_CONTEXT_ATTRIBUTES
    assert vars(roots.RootBasic)["format_redirect_map"] == {"xsd": ("xml", "schema")}  # a pair, not a list


# ---------------------------------------------------------------- formats tables


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_formats_table_matches_its_class(name):
    if name not in FORMATS:
        assert not hasattr(getattr(roots, name), "formats")
        return
    # Order matters to the readers: the method keys, the list names and
    # each list's format names stand as tabled, and the lists are lists.
    def in_order(table):
        return [(method, [(key, type(formats), formats) for key, formats in lists.items()])
                for method, lists in table.items()]
    assert in_order(vars(getattr(roots, name))["formats"]) == in_order(FORMATS[name])


def test_every_formats_table_dictionary_and_list_is_its_own_object():
    tables = [vars(getattr(roots, name))["formats"] for name in FORMATS]
    inner = [lists for table in tables for lists in table.values()]
    seen = tables + inner + [formats for lists in inner for formats in lists.values()]
    assert len({id(obj) for obj in seen}) == len(seen)


# ---------------------------------------------------------------- function objects


@pytest.mark.parametrize("kind, cls_name, name, signature", PARSED, ids=METHODS)
def test_function_object_carries_its_names_signature_and_wrapper(kind, cls_name, name, signature):
    entry = vars(getattr(roots, cls_name))[name] if cls_name else vars(roots)[name]
    assert type(entry) is {None: type(roots.check_apikey_querystring), "staticmethod": staticmethod,
                           "property": property}[kind]
    function = entry.__func__ if kind == "staticmethod" else entry.fget if kind == "property" else entry
    assert function.__name__ == name
    assert function.__qualname__ == (f"{cls_name}.{name}" if cls_name else name)
    assert function.__module__ == "korvane.roots" and function.__doc__ is None
    assert str(inspect.signature(function)) == signature
    parameters = inspect.signature(function).parameters.values()
    assert {p.kind for p in parameters} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    defaults = tuple(p.default for p in parameters if p.default is not inspect.Parameter.empty)
    assert function.__defaults__ == (defaults or None)
    assert function.__annotations__ == {
        "check_apikey_querystring": {"krv_settings": "dict"}, "user_db_ids": {"return": "frozenset"}
    }.get(name, {})
    if kind == "property":
        assert entry.fset is None and entry.fdel is None


def test_method_binds_to_an_instance_like_a_python_function():
    context = bare_instance("ExecuteQuery")
    function = vars(roots.ExecuteQuery)["get_db"]
    bound = context.get_db
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is context and bound.__func__ is function
    assert roots.ExecuteQuery.get_db is function


# ---------------------------------------------------------------- properties and static methods


@pytest.mark.parametrize("cls_name, name", PROPERTIES)
def test_property_cannot_be_assigned_or_deleted_on_an_instance(cls_name, name):
    context = bare_instance(cls_name)
    with pytest.raises(AttributeError, match=f"property '{name}' of '{cls_name}' object has no setter"):
        setattr(context, name, "x")
    with pytest.raises(AttributeError, match="has no deleter"):
        delattr(context, name)
    assert name not in vars(context)


@pytest.mark.parametrize("cls_name", sorted(set(CLASS_NAMES) - READ_ONLY_DB_CONFIG))
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
    assert our_traceback_entries(info) == ["korvane.roots.DBDef.db_config"]
    assert traceback.extract_tb(info.tb)[-1].filename == SOURCE_FILE


def static_method_cases():
    users = make_store(users={
        "admin": {"password": "admin-secret"},
        "alice": {"querydef": ["view"], "userdef": ["create"], "view": ["bob"]},
        "bob": {"edit": ["alice"]},
    }).users
    cases = [
        ("QuerydefsList", "get_acl", ("alice", users["alice"])),
        ("UserdefsList", "get_configs", ("alice", True, users)),
        ("UserdefsList", "get_acl", ("alice", users)),
        ("Userdef", "get_acl", ("bob", "alice", users)),
        ("NewUserdef", "get_acl", ("alice", users)),
    ]
    return [pytest.param(*case, id="{}.{}{}".format(case[0], case[1], case[2][:2])) for case in cases]


@pytest.mark.parametrize("cls_name, name, args", static_method_cases())
def test_static_method_gives_the_same_outcome_on_class_and_instance(cls_name, name, args):
    cls = getattr(roots, cls_name)
    instance = bare_instance(cls_name)
    assert getattr(instance, name) is getattr(cls, name) is vars(cls)[name].__func__
    assert outcome(lambda: getattr(cls, name)(*args)) == outcome(lambda: getattr(instance, name)(*args))


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
        [entry] = our_traceback_entries(info)
        assert entry.startswith("korvane.roots.") and entry.endswith(message.split("()")[0])


@pytest.mark.parametrize("settings", [type("SettingsDict", (dict,), {})(), None, types.MappingProxyType({}), UserDict()],
                         ids=["dict subclass", "None", "read-only mapping", "UserDict"])
def test_check_apikey_querystring_refuses_anything_but_an_exact_dict(settings):
    # The request is never read: the refusal comes before the body.
    with pytest.raises(TypeError) as info:
        roots.check_apikey_querystring(request=object(), krv_settings=settings)
    assert str(info.value) == f"Argument 'krv_settings' has incorrect type (expected dict, got {type(settings).__name__})"
    assert our_traceback_entries(info) == []
