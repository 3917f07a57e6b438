"""The administrative resources, each built through its constructor with the server's kind of request and store."""

import contextlib
from unittest import mock

import pytest
from pyramid.httpexceptions import HTTPBadRequest, HTTPForbidden, HTTPNotFound, HTTPOk, HTTPRedirection
from pyramid.security import ALL_PERMISSIONS, DENY_ALL, Allow, Authenticated, Deny, Everyone

from korvane.config_storage import QueryRecord, UserRecord
from korvane.exceptions import HTTPUnsupportedFormat

from helpers import implementation_under_test, leak_path, make_request, make_settings, make_store, permits

roots = implementation_under_test(__name__)

ALL_RIGHTS = ["view", "create"]
USERS = {
    "admin": {"password": "secret"},
    "public": {"databases": ["db1"], "querydef": ALL_RIGHTS, "dbdef": ALL_RIGHTS, "userdef": ALL_RIGHTS},
    "alice": {"databases": ["db1", "db2"], "querydef": ["view"], "dbdef": ["view"], "userdef": ["view"]},
    "maker": {"databases": [], "querydef": ["create"], "dbdef": ["create"], "userdef": ["create"]},
    "editor": {"querydef": ["create"], "dbdef": ["view"]}, "plain": {"databases": ["db_gone", "db2"]}, "blank": {},
    "bob": {"view": ["alice"], "edit": ["carol"], "creator": "maker"}, "carol": {"edit": ["carol"]},
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
    "q_public": {"database": "db3", "read": ["public"]}, "q_none": {"database": "db1"},
}


class OpenStudio(roots.Querystudio):
    # The real studio serves only "html" on GET, which the base hands to the
    # browser interface before the studio's own steps run.
    formats = {"GET": {"supported": ["json"]}}


CLASSES = [OpenStudio, roots.DBModel, roots.DBModels, roots.QuerydefsList, roots.Querydef, roots.NewQuerydef,
           roots.DBDef, roots.DBDefsList, roots.NewDBDef, roots.UserdefsList, roots.Userdef, roots.NewUserdef]
CREATORS = (roots.NewQuerydef, roots.NewDBDef, roots.NewUserdef)
# The route key of each class that addresses one definition, the attribute
# holding what it found, and the store's mapping it is looked up in.
ROUTE_ID = {OpenStudio: ("query_id", "query_config", "querydefs"), roots.DBModel: ("db_id", "db_config", "databases"),
            roots.Querydef: ("query_id", "query_config", "querydefs"), roots.DBDef: ("db_id", "db_config", "databases"),
            roots.Userdef: ("user_id", "user_config", "users")}


def store_for(**data):
    return make_store(**{"users": USERS, "databases": DATABASES, "querydefs": QUERYDEFS, **data})


def request_for(user_id="alice", store=None, url="/r.json", cls=None, **kw):
    settings = make_settings(store=store_for() if store is None else store)
    return make_request(url, "POST" if cls and issubclass(cls, CREATORS) else "GET", settings, user_id, **kw)


# A route id given as a plain value is the one the class is addressed by.
def route(cls, route_id):
    return {ROUTE_ID[cls][0]: route_id} if isinstance(route_id, str) else route_id


def build(cls, user_id, route_id=None, store=None):
    request = request_for(user_id, store=store, cls=cls, matchdict=route(cls, route_id))
    return cls(request), request


def store_of(request):
    return request.registry.settings["krv_settings"]["config_storage"]


# The context holds the route's id and the store's entry for it, or None.
def addresses(context, request, matchdict):
    key, attribute, mapping = ROUTE_ID[type(context)]
    route_id = (matchdict or {}).get(key)
    assert getattr(context, key) == route_id
    assert getattr(context, attribute) is getattr(store_of(request), mapping).get(route_id)


def allow(principal, *permissions):
    return [(Allow, principal, permission) for permission in permissions]


def deny(permission, principal=Everyone):
    return [(Deny, principal, permission)]


# The context's ACL is `acl`, and the framework's own policy grants the
# request exactly what that ACL's Allow entries name among `permissions`.
def decides(context, request, acl, permissions):
    assert context.__acl__ == acl
    named = {p for action, _, perms in acl if action == Allow for p in ((perms,) if isinstance(perms, str) else perms)}
    assert {p for p in permissions if permits(context, request, p)} == named & set(permissions)


# A static decision hands back a new object on every call, unless it is the
# mapping it was given.
def fresh(function, *args):
    result, again = function(*args), function(*args)
    assert again == result and (again is not result or again is args[-1])
    return result


# Runs the initialiser on a bare instance, expecting it to raise; returns the
# instance, to read what was set before, and the exception.
def half_built(cls, request, expected):
    context = cls.__new__(cls)
    with pytest.raises(expected) as refused:
        context.__init__(request)
    return context, refused.value


def by_class(cls, *cases):
    return [(cls, *case) for case in cases]


def user_records(**definitions):
    return {user_id: UserRecord(fields, key=user_id) for user_id, fields in definitions.items()}


# ------------------------------------------------------------------ all classes

BASE_REFUSALS = [
    # A requester the store lacks, although what the route addresses exists.
    ("stranger", "/r.json", {"query_id": "q_exec", "db_id": "db1", "user_id": "bob"}, HTTPForbidden),
    # Nothing that the route addresses exists, yet the format decides first.
    ("blank", "/r.txt", {"db_id": "x", "user_id": "x"}, HTTPUnsupportedFormat),
]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda cls: cls.__name__)
@pytest.mark.parametrize("user_id, url, matchdict, refusal", BASE_REFUSALS)
def test_base_refuses_before_the_class_looks_anything_up(cls, user_id, url, matchdict, refusal):
    request = request_for(user_id, url=url, cls=cls, matchdict=matchdict)
    assert half_built(cls, request, refusal)[0].__acl__ == [DENY_ALL]


@pytest.mark.parametrize("cls", [OpenStudio, roots.QuerydefsList, roots.UserdefsList, roots.Userdef, roots.NewUserdef])
def test_initialisers_reach_their_acl_through_the_instance(cls):
    # A subclass's own decision is the one that counts.
    mine = deny("mine", "nobody")
    hooks = {"get_acl": staticmethod(lambda *args: mine), "_set_acl": lambda self: setattr(self, "__acl__", mine)}
    assert build(type(cls.__name__, (cls,), hooks), "admin", {"user_id": "bob"})[0].__acl__ == mine


# ------------------------------------------------------------------ unknown ids

MISSING = [  # None: the refusal's own text
    (roots.DBModel, "blank", "db9", HTTPNotFound, "Database db9 was not found."),  # before any right is read
    (roots.DBModel, "admin", None, HTTPNotFound, "Database None was not found."),
    (roots.Querydef, "blank", "q_gone", HTTPNotFound, None), (roots.Querydef, "blank", {}, HTTPNotFound, None),
    (roots.DBDef, "blank", "db9", HTTPNotFound, None), (roots.DBDef, "admin", None, HTTPNotFound, None),
    # Only the administrator learns that it is missing.
    (roots.Userdef, "admin", "gone", HTTPNotFound, None), (roots.Userdef, "admin", None, HTTPNotFound, None),
    (roots.Userdef, "alice", "gone", HTTPForbidden, None), (roots.Userdef, "alice", None, HTTPForbidden, None),
]


# The refusal comes after the route's id and its (missing) definition are
# set, and before the class sets an ACL.
@pytest.mark.parametrize("cls, user_id, route_id, refusal, explanation", MISSING)
def test_unknown_id_is_refused_before_any_acl_of_the_class(cls, user_id, route_id, refusal, explanation):
    request = request_for(user_id, matchdict=route(cls, route_id))
    context, refused = half_built(cls, request, refusal)
    addresses(context, request, request.matchdict)
    assert context.__acl__ == [DENY_ALL] and refused.explanation == (explanation or refusal.explanation)
    if cls is roots.Userdef:
        assert (context.privileged_access, context.self_edit) == (False, False)


# ------------------------------------------------------------------ one decision per context

STUDIO = ("querystudio_editor", "create_query")
EDITOR = allow(Authenticated, "querystudio_editor")
DB_ALL = ("view_database", "edit_database", "execute_database")
PERMISSIONS = {OpenStudio: STUDIO, roots.DBModel: ["view_model"], roots.DBDef: DB_ALL, roots.NewDBDef: ["add_database"],
               roots.NewQuerydef: ["create_query"], roots.NewUserdef: ["create_user", "view_user"]}
ACL_CASES = by_class(
    OpenStudio, ("admin", None, allow("admin", STUDIO)), ("admin", "q_none", allow("admin", STUDIO)),
    ("maker", None, allow(Everyone, "create_query")), ("alice", None, []),
    # An unknown id opens the studio on a new query; an existing one drops the right to create.
    ("maker", "q_gone", allow(Everyone, "create_query")), ("maker", "q_exec", []), ("editor", "q_exec", EDITOR),
    ("editor", "q_read", EDITOR), ("editor", "q_write", EDITOR), ("editor", "q_public", EDITOR),
    ("public", "q_public", allow(Everyone, "querystudio_editor")), ("blank", "q_public", deny(STUDIO)),
) + by_class(
    roots.DBModel, ("admin", "db3", allow("admin", "view_model")), ("alice", "db2", allow(Authenticated, "view_model")),
    ("public", "db1", allow(Everyone, "view_model")), ("blank", "db1", deny("view_model")),
    ("plain", "db1", deny("view_model")),  # executes db1, but db1 is not among its databases
) + by_class(
    roots.DBDef, ("admin", "db1", allow("admin", DB_ALL)), ("alice", "db1", allow(Authenticated, "view_database")),
    ("alice", "db2", allow(Authenticated, "execute_database")), ("editor", "db1", []), ("blank", "db1", deny(DB_ALL)),
    ("alice", "db3", allow(Authenticated, "view_database", "execute_database")),
    ("editor", "db2", allow(Authenticated, "view_database", "edit_database")),
    ("public", "db3", allow(Everyone, "view_database", "execute_database")),
    # Without the "view" right every grant goes, the execute one too.
    ("plain", "db1", deny(DB_ALL[:2], Authenticated)), ("plain", "db2", deny(DB_ALL[:2], Authenticated)),
) + by_class(
    roots.NewUserdef, ("admin", None, allow("admin", "create_user")), ("public", None, allow(Everyone, "create_user")),
    ("maker", None, allow(Authenticated, "create_user")), ("alice", None, deny(("view_user", "create_user"))),
) + [(cls, user_id, None, allow(who, PERMISSIONS[cls][0]) if who else deny(PERMISSIONS[cls][0]))
     for cls in (roots.NewQuerydef, roots.NewDBDef) for user_id, who in
     [("admin", "admin"), ("maker", Everyone), ("public", Everyone), ("alice", None), ("blank", None)]]


@pytest.mark.parametrize("cls, user_id, route_id, acl", ACL_CASES, ids=lambda v: getattr(v, "__name__", None))
def test_context_acl(cls, user_id, route_id, acl):
    context, request = build(cls, user_id, route_id)
    if cls in ROUTE_ID:
        addresses(context, request, route(cls, route_id))
    if cls is roots.NewUserdef:
        assert fresh(cls.get_acl, user_id, store_of(request).users) == acl
    decides(context, request, acl, PERMISSIONS[cls])


@pytest.mark.parametrize("cls", [roots.Querydef, roots.NewQuerydef, roots.NewDBDef])
def test_users_record_is_read_again_from_the_store(cls):
    with mock.patch.object(roots, "get_authenticated_user", return_value=("alice", UserRecord({"dbdef": []}))):
        context, request = build(cls, "alice", {"query_id": "q_read"})
    assert context.authenticated_user_config is store_of(request).users["alice"]


def test_database_definition_is_looked_up_on_every_read():
    definition, request = build(roots.DBDef, "alice", "db1")
    databases, definition.db_id = store_of(request).databases, "db2"
    assert definition.db_config is databases["db2"]
    databases["db2"] = replacement = type(databases["db2"])({})
    assert definition.db_config is replacement


# ------------------------------------------------------------------ the four listings

# What each listing lists, the store's mapping it lists from, and the one permission it decides.
LISTS = {roots.DBModels: ("db_configs", "databases", "view_modelslist"),
         roots.QuerydefsList: ("query_configs", "querydefs", "view_querydefslist"),
         roots.DBDefsList: ("db_configs", "databases", "view_databaseslist"),
         roots.UserdefsList: ("user_configs", "users", "view_userslist")}
NAMED_QUERIES = ["q_exec", "q_read", "q_write"]
# (class, user, listed, principal, other attributes): listed None is the store's own mapping, "refused" no list
# at all; principal None denies the permission.
LIST_CASES = by_class(
    roots.DBModels, ("admin", None, "admin", {"extension": "json", "admin_for_dbs": list(DATABASES)}),
    ("alice", ["db1", "db2"], Authenticated, {"extension": None, "admin_for_dbs": ["db2"]}),
    ("plain", ["db2"], Authenticated, {"admin_for_dbs": []}),  # "db_gone" is not in the store
    ("public", ["db1"], Everyone, {"admin_for_dbs": []}), ("blank", [], None, {"admin_for_dbs": []}),
) + [(roots.QuerydefsList, user_id, listed, principal, {"executable_queries": executable, "viewable_queries": viewable})
     for user_id, listed, executable, viewable, principal in [
    # The administrator's lists grow by the walk.
    ("admin", None, list(QUERYDEFS) + ["q_exec"], list(QUERYDEFS) + ["q_write"], "admin"),
    ("alice", NAMED_QUERIES, ["q_exec"], ["q_read", "q_write"], Everyone),
    # "create" opens the list, and "public" there opens no query to alice.
    ("editor", NAMED_QUERIES, ["q_exec"], ["q_read", "q_write"], Everyone),
    ("public", ["q_public"], [], ["q_public"], Everyone), ("plain", [], [], [], None), ("blank", [], [], [], None)]
] + by_class(
    roots.DBDefsList, ("admin", None, "admin", {}),
    ("alice", ["db1", "db2"], Authenticated, {}),  # "public" in db3 does not stand for the user here
    ("editor", ["db2"], Authenticated, {}), ("maker", [], Authenticated, {}),  # "create" alone opens the list
    ("public", ["db3"], Everyone, {}), ("plain", "refused", None, {}), ("blank", "refused", None, {}),
) + by_class(
    # The deprecated framework function that UserdefsList asks reads the
    # registry from the request itself, so the real one answers here.
    roots.UserdefsList, ("admin", None, "admin", {}), ("alice", ["alice", "bob"], Authenticated, {}),  # "view"
    ("maker", ["maker", "bob"], Authenticated, {}),  # "create", and bob's creator
    ("public", [], Everyone, {}), ("plain", [], None, {}), ("blank", [], None, {}),
)


# `listing` is `mapping` itself when `listed` is None, else a new dict of
# mapping's own entries for the ids `listed`, in that order.
def lists(listing, mapping, listed):
    assert type(listing) is dict and (listing is mapping) == (listed is None)
    assert list(listing.items()) == [(k, mapping[k]) for k in (mapping if listed is None else listed)]


@pytest.mark.parametrize("cls, user_id, listed, principal, attributes", LIST_CASES,
                         ids=lambda v: getattr(v, "__name__", None))
def test_listing_holds_what_the_user_may_see_and_decides_one_permission(cls, user_id, listed, principal, attributes):
    listing, request = build(cls, user_id, attributes.get("extension") and {"extension": attributes["extension"]})
    name, mapping, permission = LISTS[cls]
    store, acl = store_of(request), allow(principal, permission) if principal else deny(permission)
    if listed == "refused":
        assert not hasattr(listing, name)
    else:
        lists(getattr(listing, name), getattr(store, mapping), listed)
    assert {attribute: getattr(listing, attribute) for attribute in attributes} == attributes
    if cls is roots.DBDefsList:
        assert listing._db_configs is store.databases
    if hasattr(cls, "get_acl"):  # of the user's record, or of all users
        assert fresh(cls.get_acl, user_id, store.users[user_id] if cls is roots.QuerydefsList else store.users) == acl
    decides(listing, request, acl, [permission])


# A record without the attribute fails where each stored database is tested
# against it; nothing is caught on the way.
def test_models_let_the_stores_errors_through():
    without_databases = type("RecordWithoutDatabases", (UserRecord,), {"list_fields": ("querydef", "dbdef")})
    users = {**USERS, "odd": without_databases({"dbdef": []}, key="odd")}
    with pytest.raises(AttributeError):
        roots.DBModels(request_for("odd", store=store_for(users=users)))


def test_query_list_walks_the_chained_user_lists_instead_of_asking_them():
    # Whether a query names the user at all, and whether for viewing, is one
    # pass over the lists in turn; "execute" alone is asked directly.
    iterated = type("FoundOnlyByIteration", (list,), {"__contains__": lambda self, user_id: False})(["alice"])
    named = QueryRecord({"execute": iterated, "read": iterated})
    listing, _ = build(roots.QuerydefsList, "alice", store=store_for(querydefs={"q": named}))
    assert (list(listing.query_configs), listing.executable_queries, listing.viewable_queries) == (["q"], [], ["q"])


def test_query_list_refused_by_the_security_policy_keeps_the_admin_lists():
    request = request_for("admin")
    with mock.patch.object(type(request), "has_permission", return_value=False) as asked:
        listing = roots.QuerydefsList(request)
    asked.assert_called_once_with("view_querydefslist", listing)
    assert listing.executable_queries == listing.viewable_queries == list(QUERYDEFS)
    assert listing.executable_queries is not listing.viewable_queries


def test_user_list_refused_by_the_patched_permission_check_is_empty():
    request = request_for("alice")
    with mock.patch.object(roots, "has_permission", return_value=False) as asked:
        listing = roots.UserdefsList(request)
    asked.assert_called_once_with("view_userslist", listing, request)
    assert listing.user_configs == {}


@pytest.mark.parametrize("user_id, permitted, listed", [
    ("u", True, ["u", "viewed", "edited", "made"]),  # their own although it names nobody
    ("public", True, ["opened"]),  # the public user does not own its definition
    ("u", False, []), ("u", None, []), ("u", 0, []), ("admin", False, None),  # None: the mapping itself
])
def test_user_configs_hold_what_names_the_user_and_their_own(user_id, permitted, listed):
    users = user_records(u={}, viewed={"view": ["u"]}, edited={"edit": ["u"]}, made={"creator": "u"},
                         other={"view": ["x"], "edit": ["y"], "creator": "z"}, public={}, opened={"view": ["public"]})
    lists(fresh(roots.UserdefsList.get_configs, user_id, permitted, users), users, listed)


class Shown:
    """A user record kept in instance attributes (inline, unless changed below)."""

    def __init__(self, view, edit, creator):
        self.view, self.edit, self.creator = view, edit, creator


class Slotted:
    __slots__ = ("view", "edit", "creator")

    def __init__(self, view, edit, creator):
        self.view, self.edit, self.creator = view, edit, creator


class ViewedThroughProperty(Shown):
    """Its view is a property; reading it gives the records in `following` new attribute storage."""

    following = ()

    @property
    def view(self):
        for record in self.following:
            record.__dict__ = dict(record.__dict__)
        return self.__dict__["hidden"]

    @view.setter
    def view(self, value):
        self.__dict__["hidden"] = value


class DictOfOwn(dict):
    pass


def shaped(kind, view, edit, creator):
    cls = Slotted if kind == "slots" else ViewedThroughProperty if kind == "property" else Shown
    record = cls(view, edit, creator)
    if kind == "materialised":
        vars(record)
    elif kind == "own-dict":
        record.__dict__ = {"creator": creator, "extra": 1, "edit": edit, "view": view}
    elif kind == "dict-subclass":
        record.__dict__ = DictOfOwn(view=view, edit=edit, creator=creator)
    return record


def test_user_configs_of_a_large_store_of_records_of_every_layout_are_decided_as_for_a_small_one():
    # A large store is walked with its records fetched ahead of the reads:
    # whatever a record keeps its attributes in, or changes on the way, the
    # listing is what the reads decide.
    kinds = ["inline", "materialised", "own-dict", "dict-subclass", "slots", "property"]
    users = {}
    for n in range(3000):
        view, edit, creator = (["x", "u"], [], "z") if n % 3 == 0 else ([], ("u",), "y") if n % 5 == 0 else \
            ([], [], "u" if n % 7 == 0 else None)
        users["id{}".format(n)] = shaped(kinds[n % len(kinds)], ["x"] if n % 11 == 0 else view, edit, creator)
    renewing = users["id1500"] = shaped("property", [], [], "u")
    following = [users["id{}".format(n)] for n in range(1501, 1530)]
    renewing.following = [record for record in following if not isinstance(record, Slotted)]
    users["u"] = shaped("inline", [], [], None)
    listed = [user_id for user_id, record in users.items()
              if "u" in record.view or "u" in record.edit or record.creator == "u" or user_id == "u"]
    assert 1000 < len(listed) < 2000
    lists(fresh(roots.UserdefsList.get_configs, "u", True, users), users, listed)


# ------------------------------------------------------------------ Querydef

QUERY_FLAGS = ("viewable", "editable", "executable", "only_executable")


def querydef_store(user_id, rights):
    store = store_for()
    if rights is not None:  # a false record stays false
        store.users[user_id]["querydef"] = rights
    store.querydefs["q_both"] = QueryRecord({"read": ["alice"], "write": ["alice"]}, key="q_both")
    return store


QUERYDEF_CASES = [  # the flags that are true; None: not one of them is set
    ("admin", "q_none", [], "viewable editable executable"), ("alice", "q_read", ["view"], "viewable"),
    ("alice", "q_write", ["view"], "editable"), ("alice", "q_none", ["view"], ""),
    ("alice", "q_exec", ["view"], "executable only_executable"),
    # Without "view", nothing but the right to execute is left.
    ("alice", "q_both", [], ""), ("alice", "q_exec", [], "executable only_executable"),
    ("blank", "q_public", None, None),  # a false record
]


@pytest.mark.parametrize("user_id, query_id, rights, flags", QUERYDEF_CASES)
def test_query_flags_and_acl(user_id, query_id, rights, flags):
    found, request = build(roots.Querydef, user_id, query_id, store=querydef_store(user_id, rights))
    expected = (None,) * 4 if flags is None else tuple(flag in flags.split() for flag in QUERY_FLAGS)
    assert found.is_admin is (user_id == "admin")
    assert tuple(getattr(found, flag, None) for flag in QUERY_FLAGS) == expected
    allowed = any(expected[:3])
    assert found.__acl__ == ([(Allow, Everyone, ALL_PERMISSIONS)] if allowed else [DENY_ALL])
    assert permits(found, request, "execute_query") == permits(found, request, "anything") == allowed


# ------------------------------------------------------------------ Userdef

VIEW_EDIT = ("view_user", "edit_user")


def user_acl(view, edit, principal=Authenticated):
    return [(view, principal, "view_user"), (edit, principal, "edit_user")]


USERDEF_CASES = [
    ("alice", "bob", {"alice", "carol", "bob"}, {"carol"}, False, user_acl(Allow, Deny)),
    ("plain", "plain", {"plain"}, set(), True, allow(Authenticated, VIEW_EDIT)),  # no "view": own only
    ("alice", "alice", {"alice"}, set(), True, user_acl(Allow, Allow)),
    ("carol", "carol", {"carol"}, {"carol"}, False, allow(Authenticated, VIEW_EDIT)),
    ("admin", "admin", {"admin"}, set(), False, allow("admin", VIEW_EDIT)),
]


@pytest.mark.parametrize("userdef_id, requester, rights, acl", [
    ("t", "admin", [], allow("admin", VIEW_EDIT)), ("t", "", [], deny(VIEW_EDIT)), ("t", None, [], deny(VIEW_EDIT)),
    ("u", "u", [], allow(Authenticated, VIEW_EDIT)), ("t", "u", [], deny(VIEW_EDIT, Authenticated)),
    ("public", "public", [], allow(Authenticated, VIEW_EDIT)), ("t", "u", ["view"], user_acl(Allow, Deny)),
    ("t", "e", ["view"], user_acl(Allow, Allow)), ("t", "public", ["view"], user_acl(Allow, Allow, Everyone)),
    ("u", "u", ["view"], user_acl(Allow, Allow)), ("public", "public", ["view"], user_acl(Deny, Deny, Everyone)),
    ("x", "u", ["view"], user_acl(Deny, Deny)),
])
def test_user_definition_acl(userdef_id, requester, rights, acl):
    users = user_records(t={"view": ["u"], "edit": ["e", "public"]}, u={}, x={}, public={}, e={})
    if requester:
        users[requester] = UserRecord({"userdef": rights}, key=requester)
    assert fresh(roots.Userdef.get_acl, userdef_id, requester, users) == acl


@pytest.mark.parametrize("get_acl, args, acl", [
    (roots.QuerydefsList.get_acl, ("admin", None), allow("admin", "view_querydefslist")),
    (roots.QuerydefsList.get_acl, ("u", None), deny("view_querydefslist")),
    (roots.UserdefsList.get_acl, ("gone", {}), deny("view_userslist")),
    # A user missing from the mapping fails on its lookup.
    (roots.Userdef.get_acl, ("gone", "admin", user_records(t={})), KeyError),
    (roots.Userdef.get_acl, ("t", "gone", user_records(t={})), KeyError),
    (roots.NewUserdef.get_acl, ("gone", user_records(t={})), KeyError),
])
def test_static_acl_without_the_users_record(get_acl, args, acl):
    with pytest.raises(KeyError, match="gone") if acl is KeyError else contextlib.nullcontext():
        assert fresh(get_acl, *args) == acl


@pytest.mark.parametrize("requester, user_id, viewers, editors, limited, acl", USERDEF_CASES)
def test_user_definition_sets_who_may_view_and_edit_it(requester, user_id, viewers, editors, limited, acl):
    definition, request = build(roots.Userdef, requester, user_id)
    addresses(definition, request, {"user_id": user_id})
    assert (definition.allowed_to_view, definition.allowed_to_edit) == (viewers, editors)
    assert (definition.privileged_access, definition.self_edit, definition.limited_edit) == (
        False, requester == user_id, limited)
    decides(definition, request, acl, VIEW_EDIT)


def test_user_definition_is_validated_against_the_live_users_after_the_acl():
    request = request_for("alice", matchdict={"user_id": "bob"})
    users = store_of(request).users
    with mock.patch.object(UserRecord, "validate", autospec=True) as validate:
        roots.Userdef(request)
    users["late"] = UserRecord({}, key="late")
    assert validate.call_args == mock.call(users["bob"], all_users=mock.ANY)
    assert list(validate.call_args.kwargs["all_users"]) == list(users.values())


def invalid_store():
    store = store_for()
    store.users["bob"]["view"] = ["alice", "nobody_known"]
    return store


def test_invalid_user_definition_fails_after_its_acl_is_set():
    request = request_for("alice", store=invalid_store(), matchdict={"user_id": "bob"})
    assert half_built(roots.Userdef, request, HTTPBadRequest)[0].__acl__ == USERDEF_CASES[0][-1]


# ------------------------------------------------------------------ leak scenarios


def _scenario(cls, user_id, route_id=None, refusal=None, store=None, url="/r.json", tag=""):
    request = request_for(user_id, store=store, url=url, cls=cls, matchdict=route(cls, route_id), status_tracker=False)
    return "{}-{}-{}{}{}".format(cls.__name__, user_id, route_id, url, tag), leak_path(cls, request, refusal=refusal)


#: Every context path of the tables above, successes, refusals and
#: redirects, and the static decisions' failures, for the reference-leak run.
LEAK_SCENARIOS = (
    [_scenario(cls, u, r) for cls, u, r, _ in ACL_CASES]
    + [_scenario(cls, u, r, refusal=e) for cls, u, r, e, _ in MISSING]
    + [_scenario(cls, u) for cls, u, *_ in LIST_CASES]
    + [_scenario(roots.Querydef, u, q, store=querydef_store(u, r), tag=r) for u, q, r, _ in QUERYDEF_CASES]
    + [_scenario(roots.Userdef, u, d) for u, d, *_ in USERDEF_CASES]
    + [_scenario(cls, u, m, refusal=e, url=url) for cls in CLASSES for u, url, m, e in BASE_REFUSALS]
    + [_scenario(cls, "alice", refusal=HTTPRedirection, url="//r", tag="-slashes") for cls in CLASSES]
    # The real studio is the browser page, and refuses data formats.
    + [_scenario(roots.Querystudio, "alice", refusal=HTTPOk, url="/studio.html"),
       _scenario(roots.Querystudio, "admin", refusal=HTTPUnsupportedFormat, url="/studio.json"),
       _scenario(roots.DBModel, "alice", refusal=HTTPRedirection, url="/r.xsd"),
       _scenario(roots.Userdef, "alice", "bob", HTTPBadRequest, invalid_store(), tag="-invalid"),
       ("querydefslist-get-acl-no-record", leak_path(roots.QuerydefsList.get_acl, "u", None)),
       ("userdef-get-acl-missing", leak_path(roots.Userdef.get_acl, "t", "gone", user_records(t={}), refusal=KeyError)),
       ("newuserdef-get-acl-missing", leak_path(roots.NewUserdef.get_acl, "gone", {}, refusal=KeyError))]
)


@pytest.mark.parametrize("scenario", [build for _, build in LEAK_SCENARIOS], ids=[name for name, _ in LEAK_SCENARIOS])
def test_leak_scenario_runs_its_path_repeatably(scenario):
    scenario()
    scenario()
