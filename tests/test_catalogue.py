"""The module body as Python sees it: classes, class attributes, the
`formats` tables, the function objects and how they bind arguments."""

import inspect
import traceback
import types
from collections import UserDict

import pytest

from helpers import make_store
import korvane.roots as roots

CLASS_TREE = [
    ("RootContext", None),
    ("DefaultRoot", "RootContext"),
    ("RootBasic", "RootContext"),
    ("DataFormatRoot", "RootBasic"),
    ("Querystudio", "DataFormatRoot"),
    ("DBModel", "DataFormatRoot"),
    ("DBModels", "DataFormatRoot"),
    ("QuerydefsList", "DataFormatRoot"),
    ("Querydef", "DataFormatRoot"),
    ("NewQuerydef", "DataFormatRoot"),
    ("DBDef", "DataFormatRoot"),
    ("DBDefsList", "DataFormatRoot"),
    ("NewDBDef", "DataFormatRoot"),
    ("UserdefsList", "DataFormatRoot"),
    ("Userdef", "DataFormatRoot"),
    ("NewUserdef", "DataFormatRoot"),
    ("ExecuteQueryList", "DataFormatRoot"),
    ("ExecuteQuery", "DataFormatRoot"),
    ("DataDiscovery", "RootBasic"),
    ("RequestStatus", "DataFormatRoot"),
    ("DBCredentialsRoot", "DataFormatRoot"),
    ("DDURLParserBuilderRoot", "RootBasic"),
]
CLASS_NAMES = [name for name, _ in CLASS_TREE]
BASE_OF = dict(CLASS_TREE)

IMPORTED_NAMES = [
    "itertools", "logging", "os",
    "urlparse", "urlencode",
    "asbool",
    "HTTPForbidden", "HTTPFound", "HTTPMethodNotAllowed", "HTTPNotFound",
    "HTTPNotImplemented", "HTTPMovedPermanently", "HTTPPermanentRedirect",
    "DENY_ALL", "Allow", "Authenticated", "Deny", "Everyone", "has_permission", "ALL_PERMISSIONS",
    "ApikeyAuthenticationPolicy",
    "STD_HTTP_METHODS", "DEFAULT_SEPARATOR", "DEFAULT_WILDCARD", "DEFAULT_NULL_PLACEHOLDER",
    "HTTPUnsupportedFormat",
    "get_model", "get_reversed_url_substitution_params", "segments_substitution", "get_url_param",
    "get_url_substitution_params", "replace_patterns", "requested_data_format",
    "get_authenticated_user", "remove_multiple_url_slashes", "split_path",
    "StatusCodes",
    "gui_response_exception",
]

METHOD, STATIC, PROPERTY = "method", "staticmethod", "property"
NO_DEFAULT = inspect.Parameter.empty

# (class, name, kind, parameters); a parameter with a default is (name, default).
METHODS = [
    ("RootContext", "__init__", METHOD, ["self", "request"]),
    ("RootContext", "build_escaped_url", METHOD,
     ["self", "segments", "chars_to_replace", ("query_string_data", None)]),
    ("RootContext", "user_db_ids", PROPERTY, ["self"]),
    ("DefaultRoot", "__init__", METHOD, ["self", "request"]),
    ("RootBasic", "__init__", METHOD, ["self", "request"]),
    ("RootBasic", "check_authenticated_user", METHOD, ["self", "request"]),
    ("RootBasic", "acl_allow", METHOD, ["self"]),
    ("RootBasic", "acl_deny", METHOD, ["self"]),
    ("RootBasic", "_check_db_access_permissions", METHOD, ["self"]),
    ("RootBasic", "_get_db_limit_url", METHOD, ["self", "request", "db_limit"]),
    ("RootBasic", "_check_db_limit_overflow", METHOD, ["self", "request"]),
    ("RootBasic", "redirect_request_format", METHOD, ["self", "request", "response_format"]),
    ("DataFormatRoot", "__init__", METHOD, ["self", "request"]),
    ("DataFormatRoot", "check_data_format", METHOD,
     ["self", "request_method", "response_format", ("check_ext", True)]),
    ("Querystudio", "__init__", METHOD, ["self", "request"]),
    ("Querystudio", "_set_acl", METHOD, ["self"]),
    ("DBModel", "__init__", METHOD, ["self", "request"]),
    ("DBModels", "__init__", METHOD, ["self", "request"]),
    ("QuerydefsList", "__init__", METHOD, ["self", "request"]),
    ("QuerydefsList", "get_acl", STATIC, ["authenticated_user_id", "authenticated_user_config"]),
    ("Querydef", "__init__", METHOD, ["self", "request"]),
    ("NewQuerydef", "__init__", METHOD, ["self", "request"]),
    ("DBDef", "db_config", PROPERTY, ["self"]),
    ("DBDef", "__init__", METHOD, ["self", "request"]),
    ("DBDefsList", "__init__", METHOD, ["self", "request"]),
    ("DBDefsList", "_db_configs", PROPERTY, ["self"]),
    ("NewDBDef", "__init__", METHOD, ["self", "request"]),
    ("UserdefsList", "__init__", METHOD, ["self", "request"]),
    ("UserdefsList", "get_configs", STATIC, ["authenticated_user_id", "permitted", "all_user_configs"]),
    ("UserdefsList", "get_acl", STATIC, ["authenticated_user_id", "user_configs"]),
    ("Userdef", "get_acl", STATIC, ["userdef_id", "authenticated_user", "user_configs"]),
    ("Userdef", "__init__", METHOD, ["self", "request"]),
    ("NewUserdef", "__init__", METHOD, ["self", "request"]),
    ("NewUserdef", "get_acl", STATIC, ["authenticated_user_id", "user_configs"]),
    ("ExecuteQueryList", "__init__", METHOD, ["self", "request"]),
    ("ExecuteQuery", "__init__", METHOD, ["self", "request"]),
    ("ExecuteQuery", "_validate_http_method", METHOD, ["self", "request_method", ("std_methods", ())]),
    ("ExecuteQuery", "get_query_info", METHOD, ["self"]),
    ("ExecuteQuery", "check_data_format", METHOD, ["self", "request_method", "response_format"]),
    ("ExecuteQuery", "get_db", METHOD, ["self"]),
    ("ExecuteQuery", "segments_substitution", METHOD, ["self", "segments"]),
    ("ExecuteQuery", "configure_authorization", METHOD, ["self"]),
    ("DataDiscovery", "__init__", METHOD, ["self", "request"]),
    ("DataDiscovery", "configure_authorization", METHOD, ["self"]),
    ("RequestStatus", "__init__", METHOD, ["self", "request"]),
    ("DBCredentialsRoot", "db_config", PROPERTY, ["self"]),
    ("DBCredentialsRoot", "dbc_config", PROPERTY, ["self"]),
    ("DBCredentialsRoot", "db_credentials", PROPERTY, ["self"]),
    ("DBCredentialsRoot", "__init__", METHOD, ["self", "request"]),
    ("DBCredentialsRoot", "setup_acl", METHOD, ["self", "request"]),
    ("DDURLParserBuilderRoot", "db_config", PROPERTY, ["self"]),
    ("DDURLParserBuilderRoot", "__init__", METHOD, ["self", "request"]),
    ("DDURLParserBuilderRoot", "_set_special_attributes_from_request", METHOD, ["self", "request"]),
]
METHOD_IDS = ["{}.{}".format(cls, name) for cls, name, _, _ in METHODS]

ANNOTATIONS = {("RootContext", "user_db_ids"): {"return": "frozenset"}}

ROOT_CONTEXT_ATTRIBUTES = [
    ("url_segments", None),
    ("format", None),
    ("request_extension", ""),
    ("db_id", None),
    ("db_config", None),
    ("query_id", None),
    ("query_config", None),
    ("authenticated_user_id", None),
    ("authenticated_user_config", None),
    ("settings", None),
    ("request", None),
]

ALL_FORMATS = ["html", "json", "xml", "xsd", "csv", "txt"]
EMPTY_LISTS = {"supported": [], "illegal": [], "not_implemented": []}


def lists(supported, illegal):
    return {"supported": supported.split(), "illegal": illegal.split()}


WRITE_FORMATS = lists("json xml csv xsd", "txt html")
FORMATS = {
    "DataFormatRoot": {"GET": EMPTY_LISTS, "PUT": EMPTY_LISTS, "POST": EMPTY_LISTS, "DELETE": EMPTY_LISTS},
    "Querystudio": {"GET": lists("html", "txt xml xsd json csv")},
    "DBModel": {"GET": lists("html xml xsd json csv", "txt")},
    "DBModels": {"GET": lists("html xml xsd json csv", "txt")},
    "QuerydefsList": {"GET": lists("json html", "xml txt xsd csv")},
    "Querydef": {
        "GET": lists("json xml html", "txt xsd csv"),
        "PUT": lists("json", "html xsd txt xml csv"),
        "DELETE": lists("html json xml csv", "xsd txt"),
    },
    "NewQuerydef": {
        "GET": lists("html", "txt xsd xml csv"),
        "POST": lists("json", "txt xsd html xml csv"),
    },
    "DBDef": {
        "GET": lists("json html", "txt xml xsd csv"),
        "PUT": lists("json", "html xsd txt xml csv"),
        "DELETE": lists("html json xml csv", "xsd txt"),
    },
    "DBDefsList": {"GET": lists("json html", "txt xml xsd csv")},
    "NewDBDef": {"POST": lists("json", "txt xsd html xml csv")},
    "UserdefsList": {"GET": lists("json html", "txt xml xsd csv")},
    "Userdef": {
        "GET": lists("json", "txt html xml xsd csv"),
        "PUT": lists("json", "html xsd txt xml csv"),
        "DELETE": lists("html json xml csv", "xsd txt"),
    },
    "NewUserdef": {"POST": lists("json", "txt xsd html xml csv")},
    "ExecuteQueryList": {"GET": lists("html json", "xml txt csv xsd")},
    "ExecuteQuery": {
        "GET": lists("json xml xsd csv html", "txt"),
        "POST": WRITE_FORMATS,
        "PUT": WRITE_FORMATS,
        "DELETE": WRITE_FORMATS,
    },
    "RequestStatus": {"GET": lists("json", "html txt xml xsd csv")},
    "DBCredentialsRoot": {
        "GET": lists("json html", "txt"),
        "POST": lists("json", "txt html"),
        "PUT": lists("json", "txt html"),
        "DELETE": lists("json", "txt html"),
    },
}
CLASSES_WITHOUT_FORMATS = ["RootContext", "DefaultRoot", "RootBasic", "DataDiscovery", "DDURLParserBuilderRoot"]
READ_ONLY_DB_CONFIG = {"DBDef", "DBCredentialsRoot", "DDURLParserBuilderRoot"}

SOURCE_FILE = "korvane\\roots"


def cls_of(name):
    return getattr(roots, name)


def bare_instance(name):
    """An instance whose initialiser has not run."""
    cls = cls_of(name)
    return cls.__new__(cls)


def raw_entry(cls_name, name):
    """The class namespace entry: function, staticmethod or property."""
    return vars(cls_of(cls_name))[name]


def function_of(cls_name, name, kind):
    entry = raw_entry(cls_name, name)
    if kind == STATIC:
        return entry.__func__
    if kind == PROPERTY:
        return entry.fget
    return entry


def our_traceback_entries(exc_info):
    return [frame for frame in traceback.extract_tb(exc_info.tb) if frame.filename == SOURCE_FILE]


def outcome(call):
    """What a call came to: its result, or the type and text of what it raised."""
    try:
        return ("returned", call())
    except Exception as exc:  # the comparison below is about sameness, not success
        return ("raised", type(exc), str(exc))


# ---------------------------------------------------------------- module globals


def test_module_globals_are_bound_in_source_order():
    bound = [name for name in vars(roots) if not name.startswith("__")]
    assert bound == IMPORTED_NAMES + ["log", "check_apikey_querystring"] + CLASS_NAMES


def test_log_is_the_server_package_logger():
    import logging

    assert roots.log is logging.getLogger("korvane")


def test_module_has_no_docstring():
    assert roots.__doc__ is None


# ---------------------------------------------------------------- classes


@pytest.mark.parametrize("name, base", CLASS_TREE)
def test_class_is_a_plain_class_of_the_module_with_its_one_base(name, base):
    cls = cls_of(name)
    assert type(cls) is type
    assert cls.__bases__ == ((cls_of(base),) if base else (object,))
    assert cls.__module__ == "korvane.roots"
    assert cls.__qualname__ == name
    assert cls.__name__ == name
    assert cls.__doc__ is None


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_mro_follows_the_class_tree(name):
    chain = []
    while name is not None:
        chain.append(cls_of(name))
        name = BASE_OF[name]
    assert cls_of(chain[0].__name__).__mro__ == tuple(chain) + (object,)


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_has_no_class_level_acl_and_no_slots(name):
    cls = cls_of(name)
    assert not hasattr(cls, "__acl__")
    assert "__slots__" not in vars(cls)
    instance = bare_instance(name)
    instance.anything = 1
    assert vars(instance) == {"anything": 1}


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_defines_its_methods_in_body_order(name):
    expected = [method for cls, method, _, _ in METHODS if cls == name]
    # Other dunders may be cached on the class by the framework (zope.interface).
    defined = [key for key, value in vars(cls_of(name)).items()
               if (key == "__init__" or not key.startswith("__"))
               and (isinstance(value, (staticmethod, property)) or callable(value))]
    assert defined == expected


def test_root_context_class_attributes_in_order():
    namespace = vars(roots.RootContext)
    names = [name for name, _ in ROOT_CONTEXT_ATTRIBUTES]
    assert [key for key in namespace if key in names] == names
    assert {name: namespace[name] for name in names} == dict(ROOT_CONTEXT_ATTRIBUTES)


def test_request_extension_defaults_to_empty_string_not_none():
    assert roots.RootContext.request_extension == ""
    assert roots.ExecuteQuery.request_extension == ""


def test_instance_attribute_shadows_class_attribute():
    context = bare_instance("ExecuteQuery")
    context.format = "csv"
    assert context.format == "csv"
    assert roots.RootContext.format is None


def test_format_redirect_map_sends_xsd_to_xml_with_schema():
    assert vars(roots.RootBasic)["format_redirect_map"] == {"xsd": ("xml", "schema")}
    assert type(roots.RootBasic.format_redirect_map["xsd"]) is tuple
    assert not hasattr(roots.RootContext, "format_redirect_map")
    assert roots.DataDiscovery.format_redirect_map is roots.RootBasic.format_redirect_map


# ---------------------------------------------------------------- formats tables


@pytest.mark.parametrize("name", FORMATS)
def test_formats_table_matches_its_class(name):
    table = vars(cls_of(name))["formats"]
    expected = FORMATS[name]
    assert table == expected
    # Order matters to the readers: the method keys, the list names and
    # each list's format names stand as tabled.
    assert list(table) == list(expected)
    for method, format_lists in table.items():
        assert list(format_lists) == list(expected[method])
        for list_name, formats in format_lists.items():
            assert type(formats) is list
            assert set(formats) <= set(ALL_FORMATS)


@pytest.mark.parametrize("name", CLASSES_WITHOUT_FORMATS)
def test_classes_outside_the_data_format_branch_have_no_formats(name):
    assert not hasattr(cls_of(name), "formats")


def test_querydef_formats_have_no_post_and_new_db_def_only_post():
    assert list(roots.Querydef.formats) == ["GET", "PUT", "DELETE"]
    assert list(roots.NewDBDef.formats) == ["POST"]


def test_only_data_format_root_has_not_implemented_lists():
    assert roots.DataFormatRoot.formats["GET"]["not_implemented"] == []
    for name in FORMATS:
        if name != "DataFormatRoot":
            assert all("not_implemented" not in lists for lists in cls_of(name).formats.values()), name


@pytest.mark.parametrize("name", ["ExecuteQuery", "DBCredentialsRoot"])
def test_write_method_format_tables_are_equal_but_distinct(name):
    post, put, delete = (cls_of(name).formats[m] for m in ("POST", "PUT", "DELETE"))
    assert post == put == delete
    assert len({id(post), id(put), id(delete)}) == 3
    for list_name in post:
        assert len({id(post[list_name]), id(put[list_name]), id(delete[list_name])}) == 3


def test_every_formats_table_dictionary_and_list_is_its_own_object():
    seen = []
    for name in FORMATS:
        table = vars(cls_of(name))["formats"]
        seen.append(table)
        for format_lists in table.values():
            seen.append(format_lists)
            seen.extend(format_lists.values())
    assert len({id(obj) for obj in seen}) == len(seen)


# ---------------------------------------------------------------- function objects


@pytest.mark.parametrize("cls_name, name, kind, params", METHODS, ids=METHOD_IDS)
def test_method_is_wrapped_as_its_kind(cls_name, name, kind, params):
    entry = raw_entry(cls_name, name)
    expected_type = {METHOD: type(roots.check_apikey_querystring), STATIC: staticmethod, PROPERTY: property}[kind]
    assert type(entry) is expected_type
    if kind == PROPERTY:
        assert entry.fset is None and entry.fdel is None


@pytest.mark.parametrize("cls_name, name, kind, params", METHODS, ids=METHOD_IDS)
def test_method_metadata(cls_name, name, kind, params):
    function = function_of(cls_name, name, kind)
    defaults = tuple(param[1] for param in params if isinstance(param, tuple))
    assert function.__name__ == name
    assert function.__qualname__ == "{}.{}".format(cls_name, name)
    assert function.__module__ == "korvane.roots"
    assert function.__doc__ is None
    assert function.__defaults__ == (defaults or None)
    assert function.__annotations__ == ANNOTATIONS.get((cls_name, name), {})


@pytest.mark.parametrize("cls_name, name, kind, params", METHODS, ids=METHOD_IDS)
def test_method_signature(cls_name, name, kind, params):
    signature = inspect.signature(function_of(cls_name, name, kind))
    expected = [param if isinstance(param, tuple) else (param, NO_DEFAULT) for param in params]
    assert [(p.name, p.default) for p in signature.parameters.values()] == expected
    assert {p.kind for p in signature.parameters.values()} <= {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    return_annotation = ANNOTATIONS.get((cls_name, name), {}).get("return", inspect.Signature.empty)
    assert signature.return_annotation == return_annotation


def test_signature_texts_read_like_python_definitions():
    assert str(inspect.signature(roots.RootContext.build_escaped_url)) == (
        "(self, segments, chars_to_replace, query_string_data=None)"
    )
    assert str(inspect.signature(roots.RootContext.user_db_ids.fget)) == "(self) -> 'frozenset'"
    assert str(inspect.signature(roots.ExecuteQuery._validate_http_method)) == (
        "(self, request_method, std_methods=())"
    )
    assert str(inspect.signature(roots.check_apikey_querystring)) == "(krv_settings: 'dict', request)"


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_signature_is_its_initialisers_without_self(name):
    assert str(inspect.signature(cls_of(name))) == "(request)"


def test_free_function_metadata():
    function = roots.check_apikey_querystring
    assert function.__name__ == function.__qualname__ == "check_apikey_querystring"
    assert function.__module__ == "korvane.roots"
    assert function.__defaults__ is None
    assert function.__annotations__ == {"krv_settings": "dict"}
    assert function.__doc__ is None


def test_method_binds_to_an_instance_like_a_python_function():
    context = bare_instance("ExecuteQuery")
    function = vars(roots.ExecuteQuery)["get_db"]
    bound = context.get_db
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is context and bound.__func__ is function
    assert roots.ExecuteQuery.get_db is function
    assert roots.ExecuteQuery.__init__ is vars(roots.ExecuteQuery)["__init__"]


def test_inherited_method_is_the_base_class_function():
    assert roots.Querydef.check_data_format is vars(roots.DataFormatRoot)["check_data_format"]
    assert roots.ExecuteQuery.check_data_format is not roots.DataFormatRoot.check_data_format


# ---------------------------------------------------------------- properties


PROPERTIES = [(cls, name) for cls, name, kind, _ in METHODS if kind == PROPERTY]


@pytest.mark.parametrize("cls_name, name", PROPERTIES)
def test_property_cannot_be_assigned_or_deleted_on_an_instance(cls_name, name):
    context = bare_instance(cls_name)
    with pytest.raises(AttributeError, match="has no setter"):
        setattr(context, name, "x")
    with pytest.raises(AttributeError, match="has no deleter"):
        delattr(context, name)
    assert name not in vars(context)


@pytest.mark.parametrize("cls_name", CLASS_NAMES)
def test_db_config_assignment_is_refused_only_where_it_is_a_property(cls_name):
    context = bare_instance(cls_name)
    marker = object()
    if cls_name in READ_ONLY_DB_CONFIG:
        with pytest.raises(AttributeError, match="property 'db_config' of '{}' object has no setter".format(cls_name)):
            context.db_config = marker
    else:
        context.db_config = marker
        assert vars(context)["db_config"] is marker
        assert context.db_config is marker


def test_reading_db_config_on_db_def_runs_the_property():
    # A bare instance has none of the attributes the lookup needs, so the
    # property fails; its traceback entry shows that it ran instead of the
    # class attribute None being read.
    with pytest.raises(Exception) as info:
        bare_instance("DBDef").db_config
    assert our_traceback_entries(info)[-1].name == "korvane.roots.DBDef.db_config"


# ---------------------------------------------------------------- static methods


def static_method_cases():
    store = make_store(users={
        "admin": {"password": "admin-secret"},
        "alice": {"querydef": ["view"], "userdef": ["create"], "view": ["bob"]},
        "bob": {"edit": ["alice"]},
    })
    users = store.users
    cases = [
        ("QuerydefsList", "get_acl", ("alice", users["alice"])),
        ("QuerydefsList", "get_acl", ("admin", users["admin"])),
        ("UserdefsList", "get_configs", ("alice", True, users)),
        ("UserdefsList", "get_configs", ("admin", False, users)),
        ("UserdefsList", "get_acl", ("alice", users)),
        ("Userdef", "get_acl", ("bob", "alice", users)),
        ("NewUserdef", "get_acl", ("alice", users)),
    ]
    return [pytest.param(*case, id="{}.{}{}".format(case[0], case[1], case[2][:2])) for case in cases]


@pytest.mark.parametrize("cls_name, name, args", static_method_cases())
def test_static_method_gives_the_same_outcome_on_class_and_instance(cls_name, name, args):
    cls = cls_of(cls_name)
    instance = bare_instance(cls_name)
    assert getattr(instance, name) is getattr(cls, name) is vars(cls)[name].__func__
    assert outcome(lambda: getattr(cls, name)(*args)) == outcome(lambda: getattr(instance, name)(*args))


def test_static_method_takes_no_instance():
    instance = bare_instance("QuerydefsList")
    with pytest.raises(TypeError, match=r"^get_acl\(\) takes exactly 2 positional arguments \(1 given\)$"):
        instance.get_acl("alice")


# ---------------------------------------------------------------- argument binding


def arity_cases():
    root = bare_instance("RootContext")
    query = bare_instance("ExecuteQuery")
    cases = [
        ("no defaults, too many",
         lambda: query.check_data_format("GET", "json", False),
         "check_data_format() takes exactly 3 positional arguments (4 given)"),
        ("no defaults, too few",
         lambda: query.check_data_format("GET"),
         "check_data_format() takes exactly 3 positional arguments (2 given)"),
        ("with default, too many",
         lambda: root.build_escaped_url(1, 2, 3, 4),
         "build_escaped_url() takes at most 4 positional arguments (5 given)"),
        ("with default, first missing by keyword",
         lambda: root.build_escaped_url(chars_to_replace=1),
         "build_escaped_url() takes at least 3 positional arguments (1 given)"),
        ("missing decides before an unknown keyword",
         lambda: root.build_escaped_url(1, zz=3),
         "build_escaped_url() takes at least 3 positional arguments (2 given)"),
        ("missing decides before a repeated keyword",
         lambda: root.build_escaped_url(1, segments=3),
         "build_escaped_url() takes at least 3 positional arguments (2 given)"),
        ("too many decides before an unknown keyword",
         lambda: root.build_escaped_url(1, 2, 3, 4, zz=5),
         "build_escaped_url() takes at most 4 positional arguments (5 given)"),
        ("unknown keyword",
         lambda: root.build_escaped_url(1, 2, zz=3),
         "build_escaped_url() got an unexpected keyword argument 'zz'"),
        ("keyword repeating a positional",
         lambda: root.build_escaped_url(1, 2, segments=3),
         "build_escaped_url() got multiple values for keyword argument 'segments'"),
        ("first offending keyword decides",
         lambda: root.build_escaped_url(1, 2, query_string_data={}, segments=3, zz=4),
         "build_escaped_url() got multiple values for keyword argument 'segments'"),
        ("one parameter is singular",
         lambda: roots.RootBasic.acl_allow(),
         "acl_allow() takes exactly 1 positional argument (0 given)"),
        ("property getter called bare",
         lambda: roots.DBDef.db_config.fget(),
         "db_config() takes exactly 1 positional argument (0 given)"),
        ("class called without the request",
         lambda: roots.RootContext(),
         "__init__() takes exactly 2 positional arguments (1 given)"),
        ("default of a tuple, too few",
         lambda: query._validate_http_method(),
         "_validate_http_method() takes at least 2 positional arguments (1 given)"),
        ("static method, too many",
         lambda: roots.Userdef.get_acl(1, 2, 3, 4),
         "get_acl() takes exactly 3 positional arguments (4 given)"),
        ("free function, too few",
         lambda: roots.check_apikey_querystring({}),
         "check_apikey_querystring() takes exactly 2 positional arguments (1 given)"),
        ("free function, unknown keyword",
         lambda: roots.check_apikey_querystring({}, None, settings={}),
         "check_apikey_querystring() got an unexpected keyword argument 'settings'"),
    ]
    return [pytest.param(call, message, id=case) for case, call, message in cases]


@pytest.mark.parametrize("call, message", arity_cases())
def test_argument_errors_use_the_interpreter_texts(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_argument_error_adds_no_traceback_entry():
    with pytest.raises(TypeError) as info:
        bare_instance("ExecuteQuery").check_data_format("GET", "json", False)
    assert our_traceback_entries(info) == []


def test_keywords_bind_by_parameter_name():
    # The exact-dict test reads the first parameter, here given by keyword.
    with pytest.raises(TypeError, match=r"got UserDict\)$"):
        roots.check_apikey_querystring(request=None, krv_settings=UserDict())


def test_non_string_keyword_is_refused():
    with pytest.raises(TypeError, match="keywords must be strings"):
        roots.check_apikey_querystring({}, None, **{1: 2})


class SettingsDict(dict):
    pass


@pytest.mark.parametrize(
    "krv_settings, type_name",
    [
        (SettingsDict(), "SettingsDict"),
        (None, "NoneType"),
        (types.MappingProxyType({}), "mappingproxy"),
        (UserDict(), "UserDict"),
    ],
    ids=["dict subclass", "None", "mappingproxy", "UserDict"],
)
def test_check_apikey_querystring_refuses_anything_but_an_exact_dict(krv_settings, type_name):
    request = object()  # never read: the refusal comes before the body
    with pytest.raises(TypeError) as info:
        roots.check_apikey_querystring(krv_settings, request)
    assert str(info.value) == (
        "Argument 'krv_settings' has incorrect type (expected dict, got {})".format(type_name)
    )
    assert our_traceback_entries(info) == []


def test_check_apikey_querystring_binds_before_testing_the_type():
    with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(1 given\)"):
        roots.check_apikey_querystring(None)


def test_failing_method_adds_its_own_traceback_entry():
    context = bare_instance("RootContext")
    with pytest.raises(AttributeError) as info:
        roots.RootContext.__init__(context, types.SimpleNamespace())  # a request without `registry`
    entries = our_traceback_entries(info)
    assert [entry.name for entry in entries] == ["korvane.roots.RootContext.__init__"]
    assert traceback.extract_tb(info.tb)[-1].filename == SOURCE_FILE


# ---------------------------------------------------------------- zero-argument super()


class StopChain(Exception):
    pass


@pytest.mark.parametrize("cls_name, base_name", [
    ("DBCredentialsRoot", "DataFormatRoot"),
    ("DDURLParserBuilderRoot", "RootBasic"),
])
def test_zero_argument_super_follows_the_subclass_mro(cls_name, base_name):
    cls, base = cls_of(cls_name), cls_of(base_name)
    reached = []

    class Recorder(base):
        def __init__(self, request):
            reached.append((type(self), request))
            raise StopChain  # the rest of the chain is not what is tested here

    class Diamond(cls, Recorder):
        pass

    assert Diamond.__mro__.index(Recorder) == Diamond.__mro__.index(cls) + 1
    request = object()
    with pytest.raises(StopChain):
        Diamond(request)
    # Resolved through the class cell: super() names the class the
    # initialiser is defined in, not type(self) (which would recurse).
    assert reached == [(Diamond, request)]
