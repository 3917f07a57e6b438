"""The administrative resources: the query studio, database models, and the
query, database and user definitions, each built through its constructor
with the server's kind of request and store."""

from contextlib import nullcontext
from unittest import mock

import pytest
from pyramid.httpexceptions import HTTPBadRequest, HTTPForbidden, HTTPNotFound, HTTPOk, HTTPRedirection
from pyramid.security import ALL_PERMISSIONS, DENY_ALL, Allow, Authenticated, Deny, Everyone

import korvane.roots as roots
from korvane.config_storage import QueryRecord, UserRecord
from korvane.exceptions import HTTPUnsupportedFormat

from helpers import make_request, make_settings, make_store, permits

ALL_RIGHTS = ["view", "create"]
USERS = {
    "admin": {"password": "secret"},
    "public": {"databases": ["db1"], "querydef": ALL_RIGHTS, "dbdef": ALL_RIGHTS, "userdef": ALL_RIGHTS},
    "alice": {"databases": ["db1", "db2"], "querydef": ["view"], "dbdef": ["view"], "userdef": ["view"]},
    "maker": {"databases": [], "querydef": ["create"], "dbdef": ["create"], "userdef": ["create"]},
    "editor": {"querydef": ["create"], "dbdef": ["view"]},
    "plain": {"databases": ["db_gone", "db2"]},
    "blank": {},
    "bob": {"view": ["alice"], "edit": ["carol"], "creator": "maker"},
    "carol": {"edit": ["carol"]},
}
DATABASES = {
    "db1": {"read": ["alice"], "write": [], "execute": ["plain"]},
    "db2": {"read": [], "write": ["plain", "editor"], "execute": ["alice", "admin"]},
    "db3": {"read": ["public"], "write": [], "execute": ["public"]},
}
QUERYDEFS = {
    "q_exec": {"database": "db1", "execute": ["alice", "plain", "admin", "editor"]},
    "q_read": {"database": "db1", "read": ["alice", "plain", "editor"]},
    "q_write": {"database": "db2", "write": ["alice", "admin", "editor"]},
    "q_public": {"database": "db3", "read": ["public"]},
    "q_none": {"database": "db1"},
}


def store_for(**data):
    return make_store(**{"users": USERS, "databases": DATABASES, "querydefs": QUERYDEFS, **data})


def request_for(user_id="alice", store=None, url="/r.json", method="GET", matchdict=None, **kw):
    settings = make_settings(store=store_for() if store is None else store)
    return make_request(url, method=method, settings=settings, user_id=user_id, matchdict=matchdict, **kw)


def build(cls, user_id, matchdict=None, method="GET", store=None):
    request = request_for(user_id, store=store, method=method, matchdict=matchdict)
    return cls(request), request


def store_of(request):
    return request.registry.settings["krv_settings"]["config_storage"]


def matching(key, value):
    return None if value is None else {key: value}


# What the Allow entries of `acl` name; each table row's user holds the principals its entries name.
def granted(acl):
    return {p for action, _, perms in acl if action == Allow for p in ((perms,) if isinstance(perms, str) else perms)}


# The context's ACL is `acl`, and the framework's own policy grants the
# request exactly what that ACL grants among `permissions`.
def decides(context, request, acl, permissions):
    assert context.__acl__ == acl
    assert {p for p in permissions if permits(context, request, p)} == granted(acl) & set(permissions)


# `cls.name(*values)`, equal when called by keyword on an instance, and a new
# object on every call unless it hands back the mapping it was given.
def static_call(cls, name, **kwargs):
    result = getattr(cls, name)(*kwargs.values())
    assert getattr(cls.__new__(cls), name)(**kwargs) == result
    again = getattr(cls, name)(*kwargs.values())
    assert again == result and (again is not result or again is kwargs.get("all_user_configs"))
    return result


# Runs the initialiser on a bare instance, expecting it to raise; returns the
# instance, to read what was set before, and the exception.
def half_built(cls, request, expected):
    context = cls.__new__(cls)
    with pytest.raises(expected) as refused:
        context.__init__(request)
    return context, refused.value


def user_records(**definitions):
    return {user_id: UserRecord(fields, key=user_id) for user_id, fields in definitions.items()}


class OpenStudio(roots.Querystudio):
    # The real studio serves only "html" on GET, which the base hands to the
    # browser interface before the studio's own steps run.
    formats = {"GET": {"supported": ["json"]}}


# ------------------------------------------------------------------ all classes

CONSTRUCTED = [(OpenStudio, "GET"), (roots.DBModel, "GET"), (roots.DBModels, "GET"), (roots.QuerydefsList, "GET"),
               (roots.Querydef, "GET"), (roots.NewQuerydef, "POST"), (roots.DBDef, "GET"), (roots.DBDefsList, "GET"),
               (roots.NewDBDef, "POST"), (roots.UserdefsList, "GET"), (roots.Userdef, "GET"),
               (roots.NewUserdef, "POST")]
every_class = pytest.mark.parametrize("cls, method", CONSTRUCTED, ids=lambda v: getattr(v, "__name__", v))


@every_class
@pytest.mark.parametrize("user_id", ["stranger", "public"])
def test_requester_missing_from_the_store_is_forbidden_by_the_base(cls, method, user_id):
    users = {k: v for k, v in USERS.items() if k != "public"}
    matchdict = {"query_id": "q_exec", "db_id": "db1", "user_id": "bob"}
    request = request_for(user_id, store_for(users=users), method=method, matchdict=matchdict)
    assert half_built(cls, request, HTTPForbidden)[0].__acl__ == [DENY_ALL]


@every_class
def test_format_refusal_of_the_base_comes_before_any_lookup(cls, method):
    # Nothing that the route addresses exists, yet the format decides first.
    request = request_for("blank", url="/r.txt", method=method, matchdict={"db_id": "x", "user_id": "x"})
    with pytest.raises(HTTPUnsupportedFormat):
        cls(request)


MINE = [(Deny, "nobody", "mine")]


@pytest.mark.parametrize("cls, method", [(OpenStudio, "GET"), (roots.QuerydefsList, "GET"), (roots.UserdefsList, "GET"),
                                         (roots.Userdef, "GET"), (roots.NewUserdef, "POST")])
def test_initialisers_reach_their_acl_through_the_instance(cls, method):
    # A subclass's own decision is the one that counts.
    hooks = {"get_acl": staticmethod(lambda *args: MINE), "_set_acl": lambda self: setattr(self, "__acl__", MINE)}
    assert build(type(cls.__name__, (cls,), hooks), "admin", {"user_id": "bob"}, method)[0].__acl__ == MINE


@pytest.mark.parametrize("url, refusal", [("/studio.html", HTTPOk), ("/studio.json", HTTPUnsupportedFormat)])
def test_real_query_studio_is_the_browser_page_and_refuses_data_formats(url, refusal):
    with pytest.raises(refusal):
        roots.Querystudio(request_for("admin", url=url))


# ------------------------------------------------------------------ unknown ids

ROUTE_ID = {roots.DBModel: ("db_id", "db_config"), roots.Querydef: ("query_id", "query_config"),
            roots.DBDef: ("db_id", "db_config"), roots.Userdef: ("user_id", "user_config")}
MISSING = [
    (roots.DBModel, "admin", {"db_id": "db9"}, HTTPNotFound, "Database db9 was not found."),
    (roots.DBModel, "blank", {"db_id": "db9"}, HTTPNotFound, "Database db9 was not found."),  # before any right is read
    (roots.DBModel, "admin", None, HTTPNotFound, "Database None was not found."),
    (roots.DBModel, "admin", {}, HTTPNotFound, "Database None was not found."),
    (roots.Querydef, "blank", {"query_id": "q_gone"}, HTTPNotFound, None),
    (roots.Querydef, "blank", None, HTTPNotFound, None),
    (roots.DBDef, "blank", {"db_id": "db9"}, HTTPNotFound, None),
    (roots.DBDef, "admin", {"db_id": "db9"}, HTTPNotFound, None),
    (roots.DBDef, "admin", None, HTTPNotFound, None),
    (roots.Userdef, "admin", {"user_id": "gone"}, HTTPNotFound, None),  # only the administrator learns it
    (roots.Userdef, "admin", None, HTTPNotFound, None),
    (roots.Userdef, "alice", {"user_id": "gone"}, HTTPForbidden, None),
    (roots.Userdef, "alice", None, HTTPForbidden, None),
    (roots.Userdef, "blank", {"user_id": "gone"}, HTTPForbidden, None),
]


# The refusal comes after the route's id and its (missing) definition are
# set, and before the class sets an ACL; None: the refusal's own text.
@pytest.mark.parametrize("cls, user_id, matchdict, refusal, explanation", MISSING)
def test_unknown_id_is_refused_before_any_acl_of_the_class(cls, user_id, matchdict, refusal, explanation):
    context, refused = half_built(cls, request_for(user_id, matchdict=matchdict), refusal)
    key, config = ROUTE_ID[cls]
    assert (getattr(context, key), getattr(context, config)) == ((matchdict or {}).get(key), None)
    assert context.__acl__ == [DENY_ALL]
    assert refused.explanation == (explanation or refusal.explanation)
    if cls is roots.Userdef:
        assert (context.privileged_access, context.self_edit) == (False, False)


# ------------------------------------------------------------------ Querystudio

STUDIO = ("querystudio_editor", "create_query")
EDITOR = [(Allow, Authenticated, "querystudio_editor")]
CREATOR = [(Allow, Everyone, "create_query")]
STUDIO_CASES = [
    ("admin", None, [(Allow, "admin", STUDIO)]), ("admin", "q_none", [(Allow, "admin", STUDIO)]),
    ("maker", None, CREATOR), ("maker", "q_gone", CREATOR),  # an unknown id opens the studio on a new query
    ("alice", None, []), ("blank", None, []),
    ("maker", "q_exec", []),  # an existing query drops the right to create
    ("editor", "q_exec", EDITOR), ("editor", "q_read", EDITOR), ("editor", "q_write", EDITOR),
    ("editor", "q_public", EDITOR), ("public", "q_public", [(Allow, Everyone, "querystudio_editor")]),
    ("blank", "q_public", [(Deny, Everyone, STUDIO)]),
]


@pytest.mark.parametrize("user_id, query_id, acl", STUDIO_CASES)
def test_studio_acl(user_id, query_id, acl):
    studio, request = build(OpenStudio, user_id, matching("query_id", query_id))
    assert studio.query_id == query_id
    assert studio.query_config is store_of(request).querydefs.get(query_id)
    decides(studio, request, acl, STUDIO)
    first = studio.__acl__
    assert studio._set_acl() is None and studio.__acl__ == first and studio.__acl__ is not first


# ------------------------------------------------------------------ DBModel

MODEL_CASES = [
    ("admin", "db3", [(Allow, "admin", "view_model")]), ("alice", "db2", [(Allow, Authenticated, "view_model")]),
    ("public", "db1", [(Allow, Everyone, "view_model")]), ("blank", "db1", [(Deny, Everyone, "view_model")]),
    ("plain", "db1", [(Deny, Everyone, "view_model")]),  # executes db1, but db1 is not among its databases
]


@pytest.mark.parametrize("user_id, db_id, acl", MODEL_CASES)
def test_model_acl(user_id, db_id, acl):
    model, request = build(roots.DBModel, user_id, {"db_id": db_id})
    assert (model.db_id, model.db_config) == (db_id, store_of(request).databases[db_id])
    decides(model, request, acl, ["view_model"])


# ------------------------------------------------------------------ DBModels

MODELS_CASES = [
    ("admin", "json", None, list(DATABASES), [(Allow, "admin", "view_modelslist")]),  # None: the store's own
    ("alice", None, ["db1", "db2"], ["db2"], [(Allow, Authenticated, "view_modelslist")]),
    ("plain", None, ["db2"], [], [(Allow, Authenticated, "view_modelslist")]),  # "db_gone" is not in the store
    ("public", None, ["db1"], [], [(Allow, Everyone, "view_modelslist")]),
    ("blank", None, [], [], [(Deny, Everyone, "view_modelslist")]),
]


@pytest.mark.parametrize("user_id, extension, listed, executed, acl", MODELS_CASES)
def test_models_list_the_users_databases_and_those_it_executes(user_id, extension, listed, executed, acl):
    models, request = build(roots.DBModels, user_id, matching("extension", extension))
    databases = store_of(request).databases
    assert models.extension == extension
    assert type(models.db_configs) is dict and (models.db_configs is databases) == (listed is None)
    assert list(models.db_configs) == (list(databases) if listed is None else listed)
    assert all(models.db_configs[k] is databases[k] for k in models.db_configs)
    assert models.admin_for_dbs == executed
    decides(models, request, acl, ["view_modelslist"])


class RecordWithoutDatabases(UserRecord):
    list_fields = ("querydef", "dbdef", "userdef")


@pytest.mark.parametrize("databases, failure", [({}, None), (DATABASES, AttributeError)])
def test_models_read_the_users_databases_for_each_stored_database(databases, failure):
    users = {**USERS, "odd": RecordWithoutDatabases({"dbdef": []}, key="odd")}
    request = request_for("odd", store=store_for(users=users, databases=databases))
    with pytest.raises(failure) if failure else nullcontext():
        assert roots.DBModels(request).db_configs == {}


# ------------------------------------------------------------------ QuerydefsList

LIST_DENIED = [(Deny, Everyone, "view_querydefslist")]
LIST_ALLOWED = [(Allow, Everyone, "view_querydefslist")]
NAMED_QUERIES = ["q_exec", "q_read", "q_write"]
QUERY_LIST_CASES = [  # listed None: the store's own mapping, and the administrator's lists grow by the walk
    ("admin", None, list(QUERYDEFS) + ["q_exec"], list(QUERYDEFS) + ["q_write"],
     [(Allow, "admin", "view_querydefslist")]),
    ("alice", NAMED_QUERIES, ["q_exec"], ["q_read", "q_write"], LIST_ALLOWED),
    ("editor", NAMED_QUERIES, ["q_exec"], ["q_read", "q_write"], LIST_ALLOWED),  # "create" opens the list
    ("public", ["q_public"], [], ["q_public"], LIST_ALLOWED),  # and "public" there opens no query to alice
    ("plain", [], [], [], LIST_DENIED),
    ("blank", [], [], [], LIST_DENIED),
]


@pytest.mark.parametrize("user_id, acl", [("admin", [(Allow, "admin", "view_querydefslist")]), ("u", LIST_DENIED)])
def test_query_list_acl_without_a_user_record(user_id, acl):
    assert static_call(roots.QuerydefsList, "get_acl", authenticated_user_id=user_id,
                       authenticated_user_config=None) == acl


@pytest.mark.parametrize("user_id, listed, executable, viewable, acl", QUERY_LIST_CASES)
def test_query_list_sorts_queries_by_the_users_rights(user_id, listed, executable, viewable, acl):
    listing, request = build(roots.QuerydefsList, user_id)
    querydefs, config = store_of(request).querydefs, store_of(request).users[user_id]
    assert static_call(roots.QuerydefsList, "get_acl", authenticated_user_id=user_id,
                       authenticated_user_config=config) == acl
    assert type(listing.query_configs) is dict and (listing.query_configs is querydefs) == (listed is None)
    assert list(listing.query_configs) == (list(querydefs) if listed is None else listed)
    assert all(listing.query_configs[k] is querydefs[k] for k in listing.query_configs)
    assert (listing.executable_queries, listing.viewable_queries) == (executable, viewable)
    decides(listing, request, acl, ["view_querydefslist"])


class FoundOnlyByIteration(list):
    def __contains__(self, user_id):
        return False


def test_query_list_walks_the_chained_user_lists_instead_of_asking_them():
    # Whether a query names the user at all, and whether for viewing, is one
    # pass over the lists in turn; "execute" alone is asked directly.
    named = QueryRecord({"execute": FoundOnlyByIteration(["alice"]), "read": FoundOnlyByIteration(["alice"])})
    listing, _ = build(roots.QuerydefsList, "alice", store=store_for(querydefs={"q": named}))
    assert (list(listing.query_configs), listing.executable_queries, listing.viewable_queries) == (["q"], [], ["q"])


def test_query_list_refused_by_the_security_policy_keeps_the_admin_lists():
    request = request_for("admin")
    with mock.patch.object(type(request), "has_permission", return_value=False) as asked:
        listing = roots.QuerydefsList(request)
    asked.assert_called_once_with("view_querydefslist", listing)
    assert listing.executable_queries == listing.viewable_queries == list(QUERYDEFS)
    assert listing.executable_queries is not listing.viewable_queries


# ------------------------------------------------------------------ Querydef

QUERY_FLAGS = ("viewable", "editable", "executable", "only_executable")


def querydef_store(user_id, rights):
    store = store_for()
    if rights is not None:  # a false record stays false
        store.users[user_id]["querydef"] = rights
    store.querydefs["q_both"] = QueryRecord({"read": ["alice"], "write": ["alice"]}, key="q_both")
    store.querydefs["q_all"] = QueryRecord({"read": ["alice"], "write": ["alice"], "execute": ["alice"]}, key="q_all")
    return store


QUERYDEF_CASES = [
    ("admin", "q_none", [], (True, True, True, False)), ("alice", "q_exec", ["view"], (False, False, True, True)),
    ("alice", "q_read", ["view"], (True, False, False, False)),
    ("alice", "q_write", ["view"], (False, True, False, False)),
    ("alice", "q_none", ["view"], (False, False, False, False)), ("alice", "q_exec", [], (False, False, True, True)),
    ("alice", "q_both", [], (False, False, False, False)), ("alice", "q_all", [], (False, False, True, True)),
    ("blank", "q_public", None, None),  # a false record: no flags at all
]


@pytest.mark.parametrize("user_id, query_id, rights, flags", QUERYDEF_CASES)
def test_query_flags_and_acl(user_id, query_id, rights, flags):
    found, request = build(roots.Querydef, user_id, {"query_id": query_id}, store=querydef_store(user_id, rights))
    assert found.is_admin is (user_id == "admin")
    assert tuple(getattr(found, flag, None) for flag in QUERY_FLAGS) == (flags or (None,) * 4)
    allowed = any((flags or ())[:3])
    assert found.__acl__ == ([(Allow, Everyone, ALL_PERMISSIONS)] if allowed else [DENY_ALL])
    assert permits(found, request, "execute_query") == permits(found, request, "anything") == allowed


# ------------------------------------------------------------------ NewQuerydef, NewDBDef

CREATORS = [(roots.NewQuerydef, "create_query"), (roots.NewDBDef, "add_database")]
CREATION_CASES = [("admin", "admin"), ("maker", Everyone), ("public", Everyone), ("alice", None), ("blank", None)]


@pytest.mark.parametrize("cls, permission", CREATORS)
@pytest.mark.parametrize("user_id, principal", CREATION_CASES)
def test_creation_acl(cls, permission, user_id, principal):
    new, request = build(cls, user_id, method="POST")
    decides(new, request, [(Allow, principal, permission) if principal else (Deny, Everyone, permission)], [permission])


@pytest.mark.parametrize("cls, method", [(roots.Querydef, "GET")] + [(cls, "POST") for cls, _ in CREATORS])
def test_users_record_is_read_again_from_the_store(cls, method):
    stale = UserRecord({"querydef": ["create"], "dbdef": ["create"]})
    with mock.patch("korvane.roots.get_authenticated_user", return_value=("alice", stale)):
        context, request = build(cls, "alice", {"query_id": "q_read"}, method=method)
    assert context.authenticated_user_config is store_of(request).users["alice"]


# ------------------------------------------------------------------ DBDef

DB_ALL = ("view_database", "edit_database", "execute_database")
DB_VIEW_EDIT = ("view_database", "edit_database")
DBDEF_CASES = [
    ("admin", "db1", [(Allow, "admin", DB_ALL)]),
    ("alice", "db1", [(Allow, Authenticated, "view_database")]),
    ("alice", "db2", [(Allow, Authenticated, "execute_database")]),
    ("alice", "db3", [(Allow, Authenticated, "view_database"), (Allow, Authenticated, "execute_database")]),
    ("editor", "db2", [(Allow, Authenticated, "view_database"), (Allow, Authenticated, "edit_database")]),
    ("public", "db3", [(Allow, Everyone, "view_database"), (Allow, Everyone, "execute_database")]),
    ("editor", "db1", []), ("public", "db1", []),
    ("plain", "db1", [(Deny, Authenticated, DB_VIEW_EDIT)]),  # no "view" right: even the execute grant goes
    ("plain", "db2", [(Deny, Authenticated, DB_VIEW_EDIT)]), ("blank", "db1", [(Deny, Everyone, DB_ALL)]),
]


@pytest.mark.parametrize("user_id, db_id, acl", DBDEF_CASES)
def test_database_definition_acl(user_id, db_id, acl):
    definition, request = build(roots.DBDef, user_id, {"db_id": db_id})
    assert definition.db_id == db_id
    decides(definition, request, acl, DB_ALL)


def test_database_definition_is_looked_up_on_every_read_and_is_read_only():
    definition, request = build(roots.DBDef, "alice", {"db_id": "db1"})
    databases = store_of(request).databases
    assert definition.db_config is databases["db1"]
    definition.db_id = "db2"
    assert definition.db_config is databases["db2"]
    databases["db2"] = replacement = type(databases["db2"])({})
    assert definition.db_config is replacement
    with pytest.raises(AttributeError):
        definition.db_config = None


# ------------------------------------------------------------------ DBDefsList

DBDEFS_CASES = [
    ("admin", list(DATABASES), "admin"),  # the store's own mapping
    ("alice", ["db1", "db2"], Authenticated),  # "public" in db3 does not stand for the user here
    ("editor", ["db2"], Authenticated), ("maker", [], Authenticated),  # "create" alone opens the list
    ("public", ["db3"], Everyone), ("plain", None, None), ("blank", None, None),  # refused: no db_configs at all
]


def test_database_list_reads_the_stores_mapping_on_every_read_and_read_only():
    listing, request = build(roots.DBDefsList, "admin")
    store = store_of(request)
    assert listing._db_configs is store.databases
    store.databases = replaced = {}
    assert listing._db_configs is replaced
    with pytest.raises(AttributeError):
        listing._db_configs = {}


@pytest.mark.parametrize("user_id, listed, principal", DBDEFS_CASES)
def test_database_list(user_id, listed, principal):
    listing, request = build(roots.DBDefsList, user_id)
    databases = store_of(request).databases
    assert getattr(listing, "db_configs", None) == (None if listed is None else {k: databases[k] for k in listed})
    assert (getattr(listing, "db_configs", None) is databases) == (user_id == "admin")
    acl = [(Allow, principal, "view_databaseslist") if principal else (Deny, Everyone, "view_databaseslist")]
    decides(listing, request, acl, ["view_databaseslist"])


# ------------------------------------------------------------------ UserdefsList

USERS_DENIED = [(Deny, Everyone, "view_userslist")]
USER_LIST_CASES = [
    ("admin", [(Allow, "admin", "view_userslist")], None),  # None: the store's own mapping
    ("alice", [(Allow, Authenticated, "view_userslist")], ["alice", "bob"]),  # "view"
    ("maker", [(Allow, Authenticated, "view_userslist")], ["maker", "bob"]),  # "create", and bob's creator
    ("public", [(Allow, Everyone, "view_userslist")], []),
    ("plain", USERS_DENIED, []), ("blank", USERS_DENIED, []),
]


@pytest.mark.parametrize("user_id, acl, listed", USER_LIST_CASES)
def test_user_list_asks_the_module_level_permission_check(user_id, acl, listed):
    # The deprecated framework function reads the registry from the request
    # itself, so the real one answers without any thread-local setup.
    listing, request = build(roots.UserdefsList, user_id)
    users = store_of(request).users
    assert static_call(roots.UserdefsList, "get_acl", authenticated_user_id=user_id, user_configs=users) == acl
    assert (listing.user_configs is users) == (listed is None)
    assert list(listing.user_configs) == (list(users) if listed is None else listed)
    decides(listing, request, acl, ["view_userslist"])


def test_user_list_is_denied_to_a_user_the_mapping_lacks():
    assert roots.UserdefsList.get_acl("gone", {}) == USERS_DENIED


USER_CONFIGS_CASES = [
    ("u", True, ["u", "viewed", "edited", "made"]),  # their own although it names nobody
    ("public", True, ["opened"]),  # the public user does not own its definition
    ("u", False, []), ("u", None, []), ("u", 0, []), ("admin", False, None),  # None: the mapping itself
]


@pytest.mark.parametrize("user_id, permitted, listed", USER_CONFIGS_CASES)
def test_user_configs_hold_what_names_the_user_and_their_own(user_id, permitted, listed):
    users = user_records(u={}, viewed={"view": ["u"]}, edited={"edit": ["u"]}, made={"creator": "u"},
                         other={"view": ["x"], "edit": ["y"], "creator": "z"}, public={}, opened={"view": ["public"]})
    configs = static_call(roots.UserdefsList, "get_configs", authenticated_user_id=user_id, permitted=permitted,
                          all_user_configs=users)
    assert type(configs) is dict and (configs is users) == (listed is None)
    assert list(configs) == (list(users) if listed is None else listed)
    assert all(configs[k] is users[k] for k in configs)


def test_user_list_refused_by_the_patched_permission_check_is_empty():
    request = request_for("alice")
    with mock.patch("korvane.roots.has_permission", return_value=False) as asked:
        listing = roots.UserdefsList(request)
    asked.assert_called_once_with("view_userslist", listing, request)
    assert listing.user_configs == {}


# ------------------------------------------------------------------ Userdef

VIEW_EDIT = ("view_user", "edit_user")


def user_acl(view, edit, principal=Authenticated):
    return [(view, principal, "view_user"), (edit, principal, "edit_user")]


USERDEF_CASES = [
    ("alice", "bob", {"alice", "carol", "bob"}, {"carol"}, False, user_acl(Allow, Deny)),
    ("plain", "plain", {"plain"}, set(), True, [(Allow, Authenticated, VIEW_EDIT)]),  # no "view": own only
    ("alice", "alice", {"alice"}, set(), True, user_acl(Allow, Allow)),
    ("carol", "carol", {"carol"}, {"carol"}, False, [(Allow, Authenticated, VIEW_EDIT)]),
    ("admin", "admin", {"admin"}, set(), False, [(Allow, "admin", VIEW_EDIT)]),
]


USERDEF_ACLS = [
    ("t", "admin", [], [(Allow, "admin", VIEW_EDIT)]), ("t", "", [], [(Deny, Everyone, VIEW_EDIT)]),
    ("t", None, [], [(Deny, Everyone, VIEW_EDIT)]), ("u", "u", [], [(Allow, Authenticated, VIEW_EDIT)]),
    ("t", "u", [], [(Deny, Authenticated, VIEW_EDIT)]), ("public", "public", [], [(Allow, Authenticated, VIEW_EDIT)]),
    ("t", "u", ["view"], user_acl(Allow, Deny)), ("t", "e", ["view"], user_acl(Allow, Allow)),
    ("t", "public", ["view"], user_acl(Allow, Allow, Everyone)), ("u", "u", ["view"], user_acl(Allow, Allow)),
    ("public", "public", ["view"], user_acl(Deny, Deny, Everyone)), ("x", "u", ["view"], user_acl(Deny, Deny)),
]


@pytest.mark.parametrize("userdef_id, requester, rights, acl", USERDEF_ACLS)
def test_user_definition_acl(userdef_id, requester, rights, acl):
    users = user_records(t={"view": ["u"], "edit": ["e", "public"]}, u={}, x={}, public={}, e={})
    if requester:
        users[requester] = UserRecord({"userdef": rights}, key=requester)
    assert static_call(roots.Userdef, "get_acl", userdef_id=userdef_id, authenticated_user=requester,
                       user_configs=users) == acl


@pytest.mark.parametrize("get_acl, args, missing", [(roots.Userdef.get_acl, ("gone", "admin"), "gone"),
                                                    (roots.Userdef.get_acl, ("t", "gone"), "gone"),
                                                    (roots.NewUserdef.get_acl, ("admin",), "admin")])
def test_acl_of_a_user_missing_from_the_mapping_fails_on_its_lookup(get_acl, args, missing):
    # NewUserdef looks the requester up first, even the administrator.
    with pytest.raises(KeyError, match=missing):
        get_acl(*args, user_records(t={}))


@pytest.mark.parametrize("requester, user_id, viewers, editors, limited, acl", USERDEF_CASES)
def test_user_definition_sets_who_may_view_and_edit_it(requester, user_id, viewers, editors, limited, acl):
    definition, request = build(roots.Userdef, requester, {"user_id": user_id})
    assert definition.user_config is store_of(request).users[user_id]
    assert (definition.allowed_to_view, definition.allowed_to_edit) == (viewers, editors)
    assert (definition.privileged_access, definition.self_edit) == (False, requester == user_id)
    assert definition.limited_edit is limited
    decides(definition, request, acl, VIEW_EDIT)


def test_user_definition_is_validated_against_the_live_users_after_the_acl():
    request = request_for("alice", matchdict={"user_id": "bob"})
    users = store_of(request).users
    with mock.patch.object(UserRecord, "validate", autospec=True, return_value="ignored") as validate:
        roots.Userdef(request)
    (record,), kwargs = validate.call_args
    assert record is users["bob"] and list(kwargs) == ["all_users"]
    assert isinstance(kwargs["all_users"], type({}.values()))
    users["late"] = UserRecord({}, key="late")
    assert list(kwargs["all_users"]) == list(users.values())


def invalid_store():
    store = store_for()
    store.users["bob"]["view"] = ["alice", "nobody_known"]
    return store


def test_invalid_user_definition_fails_after_its_acl_is_set():
    request = request_for("alice", store=invalid_store(), matchdict={"user_id": "bob"})
    definition, _ = half_built(roots.Userdef, request, HTTPBadRequest)
    assert definition.__acl__ == USERDEF_CASES[0][-1]


# ------------------------------------------------------------------ NewUserdef

NEW_USER_CASES = [
    ("admin", [(Allow, "admin", "create_user")]), ("maker", [(Allow, Authenticated, "create_user")]),
    ("public", [(Allow, Everyone, "create_user")]), ("alice", [(Deny, Everyone, ("view_user", "create_user"))]),
]


@pytest.mark.parametrize("user_id, acl", NEW_USER_CASES)
def test_new_user_acl(user_id, acl):
    new_user, request = build(roots.NewUserdef, user_id, method="POST")
    users = store_of(request).users
    assert static_call(roots.NewUserdef, "get_acl", authenticated_user_id=user_id, user_configs=users) == acl
    decides(new_user, request, acl, ["create_user", "view_user"])


# ------------------------------------------------------------------ leak scenarios


def _calls(function, *args, refusal=None):
    def call():
        try:
            function(*args)
        except refusal or ():
            return
        assert refusal is None, "{} was not refused".format(function.__name__)

    return call


def _scenario(cls, user_id, matchdict=None, method="GET", refusal=None, store=None, url="/r.json"):
    request = request_for(user_id, store=store, url=url, method=method, matchdict=matchdict, status_tracker=False)
    return _calls(cls, request, refusal=refusal)


#: Every context path of the tables above, successes and refusals, and the
#: static decisions' failures, for the reference-leak run.
LEAK_SCENARIOS = (
    [("querystudio-{}-{}".format(u, q), _scenario(OpenStudio, u, matching("query_id", q))) for u, q, _ in STUDIO_CASES]
    + [("querystudio-html", _scenario(roots.Querystudio, "alice", refusal=HTTPOk, url="/studio.html")),
       ("dbmodel-xsd-redirect", _scenario(roots.DBModel, "alice", refusal=HTTPRedirection, url="/r.xsd")),
       ("dbdefslist-slash-redirect", _scenario(roots.DBDefsList, "alice", refusal=HTTPRedirection, url="//r"))]
    + [("{}-missing-{}-{}".format(cls.__name__, u, m), _scenario(cls, u, m, refusal=r)) for cls, u, m, r, _ in MISSING]
    + [("dbmodel-{}-{}".format(u, d), _scenario(roots.DBModel, u, {"db_id": d})) for u, d, _ in MODEL_CASES]
    + [("dbmodels-" + c[0], _scenario(roots.DBModels, c[0])) for c in MODELS_CASES]
    + [("querydefslist-" + c[0], _scenario(roots.QuerydefsList, c[0])) for c in QUERY_LIST_CASES]
    + [("querydef-{}-{}-{}".format(u, q, r), _scenario(roots.Querydef, u, {"query_id": q}, store=querydef_store(u, r)))
       for u, q, r, _ in QUERYDEF_CASES]
    + [("{}-{}".format(cls.__name__, u), _scenario(cls, u, method="POST")) for cls, _ in CREATORS
       for u, _ in CREATION_CASES]
    + [("dbdef-{}-{}".format(u, d), _scenario(roots.DBDef, u, {"db_id": d})) for u, d, _ in DBDEF_CASES]
    + [("dbdefslist-" + c[0], _scenario(roots.DBDefsList, c[0])) for c in DBDEFS_CASES]
    + [("userdefslist-" + u, _scenario(roots.UserdefsList, u)) for u, _, _ in USER_LIST_CASES]
    + [("userdef-{}-{}".format(u, d), _scenario(roots.Userdef, u, {"user_id": d})) for u, d, *_ in USERDEF_CASES]
    + [("userdef-invalid", _scenario(roots.Userdef, "alice", {"user_id": "bob"}, refusal=HTTPBadRequest,
                                     store=invalid_store()))]
    + [("newuserdef-" + u, _scenario(roots.NewUserdef, u, method="POST")) for u, _ in NEW_USER_CASES]
    + [("unknown-requester", _scenario(roots.DBDefsList, "stranger", refusal=HTTPForbidden)),
       ("querydefslist-get-acl-no-record", _calls(roots.QuerydefsList.get_acl, "u", None)),
       ("userdef-get-acl-missing", _calls(roots.Userdef.get_acl, "t", "gone", user_records(t={}), refusal=KeyError)),
       ("newuserdef-get-acl-missing", _calls(roots.NewUserdef.get_acl, "gone", {}, refusal=KeyError))]
)


@pytest.mark.parametrize("scenario", [build for _, build in LEAK_SCENARIOS], ids=[name for name, _ in LEAK_SCENARIOS])
def test_leak_scenario_runs_its_path_repeatably(scenario):
    scenario()
    scenario()
