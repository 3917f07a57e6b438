"""The administrative resources: the query studio, database models, and the
query, database and user definitions, each built through its constructor
with the server's kind of request and store."""

from unittest import mock

import pytest
from pyramid.httpexceptions import HTTPBadRequest, HTTPForbidden, HTTPNotFound, HTTPOk
from pyramid.security import ALL_PERMISSIONS, DENY_ALL, Allow, Authenticated, Deny, Everyone

import korvane.roots as roots
from korvane.config_storage import QueryRecord, UserRecord
from korvane.exceptions import HTTPUnsupportedFormat

from helpers import make_request, make_settings, make_store, permits

USERS = {
    "admin": {"password": "secret"},
    "public": {
        "databases": ["db1"],
        "querydef": ["view", "create"],
        "dbdef": ["view", "create"],
        "userdef": ["view", "create"],
    },
    "alice": {"databases": ["db1", "db2"], "querydef": ["view"], "dbdef": ["view"], "userdef": ["view"]},
    "maker": {"databases": [], "querydef": ["create"], "dbdef": ["create"], "userdef": ["create"]},
    "plain": {"databases": ["db2"]},
    "blank": {},
    "bob": {"view": ["alice"], "edit": ["carol"], "creator": "maker"},
    "carol": {"edit": ["carol"]},
}
DATABASES = {
    "db1": {"read": ["alice"], "write": [], "execute": ["plain"]},
    "db2": {"read": [], "write": ["plain"], "execute": ["alice", "admin"]},
    "db3": {"read": ["public"], "write": [], "execute": ["public"]},
}
QUERYDEFS = {
    "q_exec": {"database": "db1", "execute": ["alice", "plain", "admin"]},
    "q_read": {"database": "db1", "read": ["alice", "plain"]},
    "q_write": {"database": "db2", "write": ["alice", "admin"]},
    "q_public": {"database": "db3", "read": ["public"]},
    "q_none": {"database": "db1"},
}


def store_for(users=USERS, databases=DATABASES, querydefs=QUERYDEFS):
    return make_store(users=users, databases=databases, querydefs=querydefs)


def request_for(user_id="alice", store=None, url="/r.json", method="GET", matchdict=None, **kw):
    settings = make_settings(store=store_for() if store is None else store)
    return make_request(url, method=method, settings=settings, user_id=user_id, matchdict=matchdict, **kw)


def store_of(request):
    return request.registry.settings["krv_settings"]["config_storage"]


def half_built(cls, request, expected):
    """Runs the initialiser on a bare instance, expecting it to raise, and
    returns the instance so the attributes set so far can be read."""
    context = cls.__new__(cls)
    with pytest.raises(expected):
        context.__init__(request)
    return context


class OpenStudio(roots.Querystudio):
    """The query studio with "json" served on GET.  The real class serves
    only "html" there, which the base hands to the browser interface before
    the studio's own steps run."""

    formats = {"GET": {"supported": ["json"]}}


# ------------------------------------------------------------------ all classes

CONSTRUCTED = [
    (OpenStudio, "GET"),
    (roots.DBModel, "GET"),
    (roots.DBModels, "GET"),
    (roots.QuerydefsList, "GET"),
    (roots.Querydef, "GET"),
    (roots.NewQuerydef, "POST"),
    (roots.DBDef, "GET"),
    (roots.DBDefsList, "GET"),
    (roots.NewDBDef, "POST"),
    (roots.UserdefsList, "GET"),
    (roots.Userdef, "GET"),
    (roots.NewUserdef, "POST"),
]
EVERYTHING = {"query_id": "q_exec", "db_id": "db1", "user_id": "bob"}


@pytest.mark.parametrize("cls, method", CONSTRUCTED, ids=lambda v: getattr(v, "__name__", v))
@pytest.mark.parametrize("user_id", ["stranger", "public"])
def test_requester_missing_from_the_store_is_forbidden_by_the_base(cls, method, user_id):
    users = {k: v for k, v in USERS.items() if k != "public"}
    request = request_for(user_id, store=store_for(users=users), method=method, matchdict=EVERYTHING)
    context = half_built(cls, request, HTTPForbidden)
    assert context.__acl__ == [DENY_ALL]


@pytest.mark.parametrize("cls, method", CONSTRUCTED, ids=lambda v: getattr(v, "__name__", v))
def test_format_refusal_of_the_base_comes_before_any_lookup(cls, method):
    # Nothing that the route addresses exists, yet the format decides first.
    request = request_for("blank", url="/r.txt", method=method, matchdict={"db_id": "x", "user_id": "x"})
    with pytest.raises(HTTPUnsupportedFormat):
        cls(request)


@pytest.mark.parametrize("url, refusal", [("/studio.html", HTTPOk), ("/studio.json", HTTPUnsupportedFormat)])
def test_real_query_studio_is_the_browser_page_and_refuses_data_formats(url, refusal):
    with pytest.raises(refusal):
        roots.Querystudio(request_for("admin", url=url))


# ------------------------------------------------------------------ Querystudio

BOTH_STUDIO_PERMISSIONS = ("querystudio_editor", "create_query")


@pytest.mark.parametrize("matchdict", [None, {"query_id": "q_none"}])
def test_studio_gives_the_administrator_both_permissions(matchdict):
    request = request_for("admin", matchdict=matchdict)
    studio = OpenStudio(request)
    assert studio.__acl__ == [(Allow, "admin", BOTH_STUDIO_PERMISSIONS)]
    assert permits(studio, request, "querystudio_editor") and permits(studio, request, "create_query")


def test_studio_without_query_lets_a_creator_create():
    request = request_for("maker")
    studio = OpenStudio(request)
    assert (studio.query_id, studio.query_config) == (None, None)
    assert studio.__acl__ == [(Allow, Everyone, "create_query")]
    assert permits(studio, request, "create_query")
    assert not permits(studio, request, "querystudio_editor")


def test_studio_on_unknown_query_is_set_up_for_a_new_one():
    studio = OpenStudio(request_for("maker", matchdict={"query_id": "q_gone"}))
    assert (studio.query_id, studio.query_config) == ("q_gone", None)
    assert studio.__acl__ == [(Allow, Everyone, "create_query")]


@pytest.mark.parametrize("user_id", ["alice", "plain"])
def test_studio_without_create_right_and_query_grants_nothing(user_id):
    request = request_for(user_id)
    studio = OpenStudio(request)
    assert studio.__acl__ == []
    assert not permits(studio, request, "create_query")


def test_studio_on_existing_query_drops_the_create_grant():
    request = request_for("maker", matchdict={"query_id": "q_exec"})
    studio = OpenStudio(request)
    assert studio.query_config is store_of(request).querydefs["q_exec"]
    assert studio.__acl__ == []
    assert not permits(studio, request, "create_query")


@pytest.mark.parametrize("query_id", ["q_exec", "q_read", "q_write", "q_public"])
def test_studio_lets_a_named_user_edit_the_query(query_id):
    store = store_for()
    store.users["plain"]["querydef"] = ["create"]
    store.querydefs["q_write"]["write"] = ["plain"]
    request = request_for("plain", store=store, matchdict={"query_id": query_id})
    studio = OpenStudio(request)
    assert studio.__acl__ == [(Allow, Authenticated, "querystudio_editor")]
    assert permits(studio, request, "querystudio_editor")
    assert not permits(studio, request, "create_query")


def test_studio_for_the_public_user_grants_everyone():
    request = request_for("public", matchdict={"query_id": "q_public"})
    studio = OpenStudio(request)
    assert studio.__acl__ == [(Allow, Everyone, "querystudio_editor")]
    assert permits(studio, request, "querystudio_editor")


def test_studio_for_a_false_user_record_denies_both_on_an_existing_query():
    request = request_for("blank", matchdict={"query_id": "q_public"})
    studio = OpenStudio(request)
    assert studio.__acl__ == [(Deny, Everyone, BOTH_STUDIO_PERMISSIONS)]
    assert OpenStudio(request_for("blank")).__acl__ == []


def test_studio_acl_is_a_new_list_on_every_call():
    studio = OpenStudio(request_for("maker"))
    first = studio.__acl__
    assert studio._set_acl() is None
    assert studio.__acl__ == first and studio.__acl__ is not first


# ------------------------------------------------------------------ DBModel


@pytest.mark.parametrize("matchdict, shown", [({"db_id": "db9"}, "db9"), (None, "None"), ({}, "None")])
def test_model_of_unknown_database_is_not_found_after_setting_the_ids(matchdict, shown):
    model = half_built(roots.DBModel, request_for("admin", matchdict=matchdict), HTTPNotFound)
    assert model.db_config is None
    assert model.__acl__ == [DENY_ALL]
    with pytest.raises(HTTPNotFound) as refused:
        roots.DBModel(request_for("admin", matchdict=matchdict))
    assert refused.value.explanation == "Database %s was not found." % shown


def test_unknown_database_wins_over_missing_rights():
    with pytest.raises(HTTPNotFound):
        roots.DBModel(request_for("blank", matchdict={"db_id": "db9"}))


@pytest.mark.parametrize(
    "user_id, db_id, acl",
    [
        ("admin", "db3", [(Allow, "admin", "view_model")]),
        ("alice", "db2", [(Allow, Authenticated, "view_model")]),
        ("public", "db1", [(Allow, Everyone, "view_model")]),
        ("plain", "db1", [(Deny, Everyone, "view_model")]),  # executes db1, but db1 is not among its databases
        ("blank", "db1", [(Deny, Everyone, "view_model")]),
    ],
)
def test_model_acl(user_id, db_id, acl):
    request = request_for(user_id, matchdict={"db_id": db_id})
    model = roots.DBModel(request)
    assert (model.db_id, model.db_config) == (db_id, store_of(request).databases[db_id])
    assert model.__acl__ == acl
    assert permits(model, request, "view_model") == (acl[0][0] == Allow)


# ------------------------------------------------------------------ DBModels


def test_models_for_the_administrator_hold_the_stores_own_mapping():
    request = request_for("admin", matchdict={"extension": "json"})
    models = roots.DBModels(request)
    databases = store_of(request).databases
    assert models.extension == "json"
    assert models.db_configs is databases
    assert models.admin_for_dbs == ["db1", "db2", "db3"]
    assert models.__acl__ == [(Allow, "admin", "view_modelslist")]
    assert permits(models, request, "view_modelslist")


def test_models_list_the_users_databases_and_those_it_executes():
    request = request_for("alice")
    models = roots.DBModels(request)
    databases = store_of(request).databases
    assert models.extension is None
    assert type(models.db_configs) is dict and models.db_configs is not databases
    assert models.db_configs == {"db1": databases["db1"], "db2": databases["db2"]}
    assert models.db_configs["db2"] is databases["db2"]
    assert models.admin_for_dbs == ["db2"]
    assert models.__acl__ == [(Allow, Authenticated, "view_modelslist")]
    assert permits(models, request, "view_modelslist")


def test_models_skip_assigned_ids_the_store_does_not_hold():
    store = store_for()
    store.users["plain"]["databases"] = ["db_gone", "db2"]
    models = roots.DBModels(request_for("plain", store=store))
    assert list(models.db_configs) == ["db2"]
    assert models.admin_for_dbs == []


def test_models_for_the_public_user_grant_everyone():
    request = request_for("public")
    models = roots.DBModels(request)
    assert list(models.db_configs) == ["db1"]
    assert models.__acl__ == [(Allow, Everyone, "view_modelslist")]
    assert permits(models, request, "view_modelslist")


def test_models_for_a_false_user_record_deny_and_stay_empty():
    request = request_for("blank")
    models = roots.DBModels(request)
    assert (models.db_configs, models.admin_for_dbs) == ({}, [])
    assert models.__acl__ == [(Deny, Everyone, "view_modelslist")]
    assert not permits(models, request, "view_modelslist")


# ------------------------------------------------------------------ QuerydefsList

LIST_DENIED = [(Deny, Everyone, "view_querydefslist")]
LIST_ALLOWED = [(Allow, Everyone, "view_querydefslist")]


@pytest.mark.parametrize(
    "user_id, config, acl",
    [
        ("admin", None, [(Allow, "admin", "view_querydefslist")]),
        ("u", UserRecord({"querydef": ["view"]}), LIST_ALLOWED),
        ("u", UserRecord({"querydef": ["create"]}), LIST_ALLOWED),
        ("u", UserRecord({"querydef": []}), LIST_DENIED),
        ("u", UserRecord({}), LIST_DENIED),
        ("u", None, LIST_DENIED),
    ],
)
def test_query_list_acl_on_class_and_instance(user_id, config, acl):
    instance = roots.QuerydefsList(request_for("alice"))
    assert roots.QuerydefsList.get_acl(user_id, config) == acl
    assert instance.get_acl(authenticated_user_id=user_id, authenticated_user_config=config) == acl
    assert roots.QuerydefsList.get_acl(user_id, config) is not roots.QuerydefsList.get_acl(user_id, config)


def test_query_list_sorts_queries_by_the_users_rights():
    request = request_for("alice")
    listing = roots.QuerydefsList(request)
    querydefs = store_of(request).querydefs
    assert type(listing.query_configs) is dict
    assert listing.query_configs == {k: querydefs[k] for k in ("q_exec", "q_read", "q_write")}
    assert listing.executable_queries == ["q_exec"]
    assert listing.viewable_queries == ["q_read", "q_write"]
    assert listing.__acl__ == LIST_ALLOWED
    assert permits(listing, request, "view_querydefslist")


def test_query_list_for_the_administrator_appends_named_queries_once_more():
    request = request_for("admin")
    listing = roots.QuerydefsList(request)
    assert listing.query_configs is store_of(request).querydefs
    everything = list(QUERYDEFS)
    assert listing.executable_queries == everything + ["q_exec"]
    assert listing.viewable_queries == everything + ["q_write"]


def test_query_list_refused_by_the_security_policy_keeps_the_admin_lists():
    request = request_for("admin")
    with mock.patch.object(type(request), "has_permission", return_value=False) as asked:
        listing = roots.QuerydefsList(request)
    asked.assert_called_once_with("view_querydefslist", listing)
    assert listing.executable_queries == listing.viewable_queries == list(QUERYDEFS)


@pytest.mark.parametrize("user_id", ["plain", "blank"])
def test_query_list_without_rights_is_denied_and_empty(user_id):
    request = request_for(user_id)
    listing = roots.QuerydefsList(request)
    assert listing.__acl__ == LIST_DENIED
    assert (listing.query_configs, listing.executable_queries, listing.viewable_queries) == ({}, [], [])
    assert not permits(listing, request, "view_querydefslist")


def test_query_list_names_only_the_users_own_id():
    # "public" in a query's lists does not put the query on a user's list.
    listing = roots.QuerydefsList(request_for("public"))
    assert list(listing.query_configs) == ["q_public"]
    assert (listing.executable_queries, listing.viewable_queries) == ([], ["q_public"])


# ------------------------------------------------------------------ Querydef


@pytest.mark.parametrize("matchdict", [{"query_id": "q_gone"}, None])
def test_unknown_query_is_not_found_before_any_acl_of_its_own(matchdict):
    query = half_built(roots.Querydef, request_for("blank", matchdict=matchdict), HTTPNotFound)
    assert query.query_config is None
    assert query.__acl__ == [DENY_ALL]


def test_administrator_holds_every_right_on_a_query():
    request = request_for("admin", matchdict={"query_id": "q_none"})
    query = roots.Querydef(request)
    assert query.is_admin is True
    assert (query.viewable, query.editable, query.executable, query.only_executable) == (True, True, True, False)
    assert query.__acl__ == [(Allow, Everyone, ALL_PERMISSIONS)]
    assert permits(query, request, "anything")


@pytest.mark.parametrize(
    "query_id, rights, flags, allowed",
    [
        ("q_exec", ["view"], (False, False, True, True), True),
        ("q_read", ["view"], (True, False, False, False), True),
        ("q_write", ["view"], (False, True, False, False), True),
        ("q_none", ["view"], (False, False, False, False), False),
        ("q_exec", [], (False, False, True, True), True),
        ("q_both", [], (False, False, False, False), False),
        ("q_all", [], (False, False, True, True), True),
    ],
)
def test_query_flags_and_acl(query_id, rights, flags, allowed):
    store = store_for()
    store.users["alice"]["querydef"] = rights
    store.querydefs["q_both"] = QueryRecord({"read": ["alice"], "write": ["alice"]}, key="q_both")
    store.querydefs["q_all"] = QueryRecord({"read": ["alice"], "write": ["alice"], "execute": ["alice"]}, key="q_all")
    request = request_for("alice", store=store, matchdict={"query_id": query_id})
    query = roots.Querydef(request)
    assert query.is_admin is False
    assert (query.viewable, query.editable, query.executable, query.only_executable) == flags
    assert query.__acl__ == ([(Allow, Everyone, ALL_PERMISSIONS)] if allowed else [DENY_ALL])
    assert permits(query, request, "execute_query") == allowed


def test_query_for_a_false_user_record_sets_no_flags_and_denies():
    query = roots.Querydef(request_for("blank", matchdict={"query_id": "q_public"}))
    assert query.__acl__ == [DENY_ALL]
    assert not any(hasattr(query, flag) for flag in ("viewable", "editable", "executable", "only_executable"))


def test_query_reads_the_users_record_again_from_the_store():
    request = request_for("alice", matchdict={"query_id": "q_read"})
    stale = UserRecord({"querydef": []})
    with mock.patch("korvane.roots.get_authenticated_user", return_value=("alice", stale)):
        query = roots.Querydef(request)
    assert query.authenticated_user_config is store_of(request).users["alice"]
    assert query.viewable is True


# ------------------------------------------------------------------ NewQuerydef


@pytest.mark.parametrize(
    "user_id, acl",
    [
        ("admin", [(Allow, "admin", "create_query")]),
        ("maker", [(Allow, Everyone, "create_query")]),
        ("alice", [(Deny, Everyone, "create_query")]),
        ("blank", [(Deny, Everyone, "create_query")]),
    ],
)
def test_new_query_acl(user_id, acl):
    request = request_for(user_id, method="POST")
    new_query = roots.NewQuerydef(request)
    assert new_query.authenticated_user_config is store_of(request).users[user_id]
    assert new_query.__acl__ == acl
    assert permits(new_query, request, "create_query") == (acl[0][0] == Allow)


def test_new_query_reads_the_users_record_again_from_the_store():
    request = request_for("alice", method="POST")
    granted = UserRecord({"querydef": ["create"]})
    with mock.patch("korvane.roots.get_authenticated_user", return_value=("alice", granted)):
        new_query = roots.NewQuerydef(request)
    assert new_query.__acl__ == [(Deny, Everyone, "create_query")]


# ------------------------------------------------------------------ DBDef

DB_ALL = ("view_database", "edit_database", "execute_database")
DB_VIEW_EDIT = ("view_database", "edit_database")


@pytest.mark.parametrize("matchdict", [{"db_id": "db9"}, None])
def test_unknown_database_definition_is_not_found_without_message(matchdict):
    definition = half_built(roots.DBDef, request_for("blank", matchdict=matchdict), HTTPNotFound)
    assert definition.__acl__ == [DENY_ALL]
    with pytest.raises(HTTPNotFound) as refused:
        roots.DBDef(request_for("admin", matchdict=matchdict))
    assert refused.value.explanation == HTTPNotFound.explanation


@pytest.mark.parametrize(
    "user_id, db_id, acl",
    [
        ("admin", "db1", [(Allow, "admin", DB_ALL)]),
        ("alice", "db1", [(Allow, Authenticated, "view_database")]),
        ("alice", "db2", [(Allow, Authenticated, "execute_database")]),
        ("alice", "db3", [(Allow, Authenticated, "view_database"), (Allow, Authenticated, "execute_database")]),
        ("public", "db3", [(Allow, Everyone, "view_database"), (Allow, Everyone, "execute_database")]),
        ("public", "db1", []),
        ("plain", "db2", [(Deny, Authenticated, DB_VIEW_EDIT)]),
        ("blank", "db1", [(Deny, Everyone, DB_ALL)]),
    ],
)
def test_database_definition_acl(user_id, db_id, acl):
    request = request_for(user_id, matchdict={"db_id": db_id})
    definition = roots.DBDef(request)
    assert definition.db_id == db_id
    assert definition.__acl__ == acl


def test_writer_with_view_right_may_view_and_edit_but_not_execute():
    store = store_for()
    store.users["plain"]["dbdef"] = ["view"]
    request = request_for("plain", store=store, matchdict={"db_id": "db2"})
    definition = roots.DBDef(request)
    assert definition.__acl__ == [(Allow, Authenticated, "view_database"), (Allow, Authenticated, "edit_database")]
    assert permits(definition, request, "view_database") and permits(definition, request, "edit_database")
    assert not permits(definition, request, "execute_database")


def test_missing_view_right_discards_even_the_execute_grant():
    request = request_for("plain", matchdict={"db_id": "db1"})
    definition = roots.DBDef(request)
    assert definition.__acl__ == [(Deny, Authenticated, DB_VIEW_EDIT)]
    assert not any(permits(definition, request, p) for p in DB_ALL)


def test_database_definition_named_nowhere_is_an_empty_acl():
    request = request_for("alice", matchdict={"db_id": "db9"}, store=store_for(databases={"db9": {"read": ["x"]}}))
    definition = roots.DBDef(request)
    assert definition.__acl__ == []
    assert not permits(definition, request, "view_database")


def test_database_definition_is_looked_up_on_every_read_and_is_read_only():
    request = request_for("alice", matchdict={"db_id": "db1"})
    definition = roots.DBDef(request)
    databases = store_of(request).databases
    assert definition.db_config is databases["db1"]
    definition.db_id = "db2"
    assert definition.db_config is databases["db2"]
    databases["db2"] = replacement = type(databases["db2"])({})
    assert definition.db_config is replacement
    with pytest.raises(AttributeError):
        definition.db_config = None


# ------------------------------------------------------------------ DBDefsList


def test_database_list_for_the_administrator_holds_the_stores_own_mapping():
    request = request_for("admin")
    listing = roots.DBDefsList(request)
    assert listing.db_configs is store_of(request).databases
    assert listing._db_configs is store_of(request).databases
    assert listing.__acl__ == [(Allow, "admin", "view_databaseslist")]
    assert permits(listing, request, "view_databaseslist")


def test_database_list_holds_definitions_naming_the_user_not_public():
    request = request_for("alice")
    listing = roots.DBDefsList(request)
    databases = store_of(request).databases
    assert listing.db_configs == {"db1": databases["db1"], "db2": databases["db2"]}
    assert listing.db_configs is not databases
    assert listing.__acl__ == [(Allow, Authenticated, "view_databaseslist")]
    assert permits(listing, request, "view_databaseslist")


def test_database_list_for_a_creator_named_nowhere_is_empty_but_allowed():
    request = request_for("maker")
    listing = roots.DBDefsList(request)
    assert listing.db_configs == {}
    assert permits(listing, request, "view_databaseslist")


def test_database_list_for_the_public_user_grants_everyone():
    request = request_for("public")
    listing = roots.DBDefsList(request)
    assert list(listing.db_configs) == ["db3"]
    assert listing.__acl__ == [(Allow, Everyone, "view_databaseslist")]


@pytest.mark.parametrize("user_id", ["plain", "blank"])
def test_refused_database_list_has_no_configs_at_all(user_id):
    request = request_for(user_id)
    listing = roots.DBDefsList(request)
    assert listing.__acl__ == [(Deny, Everyone, "view_databaseslist")]
    assert not hasattr(listing, "db_configs")
    assert not permits(listing, request, "view_databaseslist")


# ------------------------------------------------------------------ NewDBDef


@pytest.mark.parametrize(
    "user_id, acl",
    [
        ("admin", [(Allow, "admin", "add_database")]),
        ("maker", [(Allow, Everyone, "add_database")]),
        ("alice", [(Deny, Everyone, "add_database")]),
        ("blank", [(Deny, Everyone, "add_database")]),
    ],
)
def test_new_database_acl(user_id, acl):
    request = request_for(user_id, method="POST")
    new_db = roots.NewDBDef(request)
    assert new_db.authenticated_user_config is store_of(request).users[user_id]
    assert new_db.__acl__ == acl
    assert permits(new_db, request, "add_database") == (acl[0][0] == Allow)


# ------------------------------------------------------------------ UserdefsList

USERS_DENIED = [(Deny, Everyone, "view_userslist")]


@pytest.mark.parametrize(
    "user_id, users, acl",
    [
        ("admin", {}, [(Allow, "admin", "view_userslist")]),
        ("u", {"u": UserRecord({"userdef": ["view"]})}, [(Allow, Authenticated, "view_userslist")]),
        ("u", {"u": UserRecord({"userdef": ["create"]})}, [(Allow, Authenticated, "view_userslist")]),
        ("public", {"public": UserRecord({"userdef": ["view"]})}, [(Allow, Everyone, "view_userslist")]),
        ("u", {"u": UserRecord({"userdef": []})}, USERS_DENIED),
        ("u", {"u": UserRecord({})}, USERS_DENIED),
        ("u", {}, USERS_DENIED),
    ],
)
def test_user_list_acl_on_class_and_instance(user_id, users, acl):
    instance = roots.UserdefsList(request_for("alice"))
    assert roots.UserdefsList.get_acl(user_id, users) == acl
    assert instance.get_acl(authenticated_user_id=user_id, user_configs=users) == acl


def user_records(**definitions):
    return {user_id: UserRecord(fields, key=user_id) for user_id, fields in definitions.items()}


def test_user_configs_hold_what_names_the_user_and_their_own():
    users = user_records(
        u={},
        viewed={"view": ["u"]},
        edited={"edit": ["u"]},
        made={"creator": "u"},
        other={"view": ["x"], "edit": ["y"], "creator": "z"},
    )
    for get_configs in (roots.UserdefsList.get_configs, roots.UserdefsList(request_for("alice")).get_configs):
        configs = get_configs("u", True, users)
        assert type(configs) is dict
        assert list(configs) == ["u", "viewed", "edited", "made"]
        assert configs["u"] is users["u"]


def test_public_user_does_not_see_its_own_definition_by_owning_it():
    users = user_records(public={}, opened={"view": ["public"]})
    assert list(roots.UserdefsList.get_configs("public", True, users)) == ["opened"]


def test_administrator_gets_the_users_mapping_itself_even_unpermitted():
    users = user_records(u={})
    assert roots.UserdefsList.get_configs("admin", False, users) is users


@pytest.mark.parametrize("permitted", [False, None, 0])
def test_unpermitted_user_gets_a_new_empty_mapping(permitted):
    users = user_records(u={"view": ["u"]})
    configs = roots.UserdefsList.get_configs(authenticated_user_id="u", permitted=permitted, all_user_configs=users)
    assert configs == {} and configs is not users


def test_user_list_for_the_administrator_holds_the_stores_own_mapping():
    request = request_for("admin")
    listing = roots.UserdefsList(request)
    assert listing.user_configs is store_of(request).users
    assert permits(listing, request, "view_userslist")


def test_user_list_asks_the_module_level_permission_check():
    # The deprecated framework function reads the registry from the request
    # itself, so the real one answers without any thread-local setup.
    request = request_for("alice")
    listing = roots.UserdefsList(request)
    assert listing.__acl__ == [(Allow, Authenticated, "view_userslist")]
    assert list(listing.user_configs) == ["alice", "bob"]
    assert permits(listing, request, "view_userslist")


def test_user_list_refused_by_the_patched_permission_check_is_empty():
    request = request_for("alice")
    with mock.patch("korvane.roots.has_permission", return_value=False) as asked:
        listing = roots.UserdefsList(request)
    asked.assert_called_once_with("view_userslist", listing, request)
    assert listing.user_configs == {}


@pytest.mark.parametrize("user_id", ["plain", "blank"])
def test_user_list_without_rights_is_denied_and_empty(user_id):
    request = request_for(user_id)
    listing = roots.UserdefsList(request)
    assert listing.__acl__ == USERS_DENIED
    assert listing.user_configs == {}
    assert not permits(listing, request, "view_userslist")


# ------------------------------------------------------------------ Userdef

VIEW_EDIT = ("view_user", "edit_user")


@pytest.mark.parametrize(
    "userdef_id, requester, rights, acl",
    [
        ("t", "admin", [], [(Allow, "admin", VIEW_EDIT)]),
        ("t", "", [], [(Deny, Everyone, VIEW_EDIT)]),
        ("t", None, [], [(Deny, Everyone, VIEW_EDIT)]),
        ("u", "u", [], [(Allow, Authenticated, VIEW_EDIT)]),
        ("t", "u", [], [(Deny, Authenticated, VIEW_EDIT)]),
        ("t", "u", ["view"], [(Allow, Authenticated, "view_user"), (Deny, Authenticated, "edit_user")]),
        ("t", "e", ["view"], [(Allow, Authenticated, "view_user"), (Allow, Authenticated, "edit_user")]),
        ("t", "public", ["view"], [(Allow, Everyone, "view_user"), (Allow, Everyone, "edit_user")]),
        ("u", "u", ["view"], [(Allow, Authenticated, "view_user"), (Allow, Authenticated, "edit_user")]),
        ("public", "public", ["view"], [(Deny, Everyone, "view_user"), (Deny, Everyone, "edit_user")]),
        ("x", "u", ["view"], [(Deny, Authenticated, "view_user"), (Deny, Authenticated, "edit_user")]),
    ],
)
def test_user_definition_acl(userdef_id, requester, rights, acl):
    users = user_records(
        t={"view": ["u"], "edit": ["e", "public"]},
        u={},
        x={},
        public={},
        e={},
    )
    if requester:
        users[requester] = UserRecord({"userdef": rights}, key=requester)
    assert roots.Userdef.get_acl(userdef_id, requester, users) == acl
    instance = roots.Userdef(request_for("admin", matchdict={"user_id": "bob"}))
    assert instance.get_acl(userdef_id=userdef_id, authenticated_user=requester, user_configs=users) == acl


@pytest.mark.parametrize("userdef_id, requester", [("gone", "admin"), ("t", "gone")])
def test_user_definition_acl_fails_on_a_missing_user(userdef_id, requester):
    with pytest.raises(KeyError):
        roots.Userdef.get_acl(userdef_id, requester, user_records(t={}, admin={}))


@pytest.mark.parametrize(
    "requester, refusal", [("admin", HTTPNotFound), ("alice", HTTPForbidden), ("blank", HTTPForbidden)]
)
@pytest.mark.parametrize("matchdict", [{"user_id": "gone"}, None])
def test_missing_user_definition_is_hidden_from_all_but_the_administrator(requester, refusal, matchdict):
    definition = half_built(roots.Userdef, request_for(requester, matchdict=matchdict), refusal)
    assert (definition.user_config, definition.privileged_access, definition.self_edit) == (None, False, False)
    assert definition.__acl__ == [DENY_ALL]


def test_user_definition_sets_who_may_view_and_edit():
    request = request_for("alice", matchdict={"user_id": "bob"})
    definition = roots.Userdef(request)
    assert definition.user_config is store_of(request).users["bob"]
    assert definition.allowed_to_view == {"alice", "carol", "bob"}
    assert definition.allowed_to_edit == {"carol"}
    assert (definition.privileged_access, definition.self_edit, definition.limited_edit) == (False, False, False)
    assert permits(definition, request, "view_user")
    assert not permits(definition, request, "edit_user")


@pytest.mark.parametrize("rights", [[], ["view"]])
def test_own_definition_outside_its_edit_list_is_a_limited_edit(rights):
    store = store_for()
    store.users["plain"]["userdef"] = rights
    request = request_for("plain", store=store, matchdict={"user_id": "plain"})
    definition = roots.Userdef(request)
    assert (definition.self_edit, definition.limited_edit) == (True, True)
    assert permits(definition, request, "view_user") and permits(definition, request, "edit_user")


def test_own_definition_inside_its_edit_list_is_not_limited():
    definition = roots.Userdef(request_for("carol", matchdict={"user_id": "carol"}))
    assert (definition.self_edit, definition.limited_edit) == (True, False)


def test_administrator_on_own_definition_is_not_limited():
    request = request_for("admin", matchdict={"user_id": "admin"})
    definition = roots.Userdef(request)
    assert (definition.self_edit, definition.limited_edit) == (True, False)
    assert definition.__acl__ == [(Allow, "admin", VIEW_EDIT)]
    assert permits(definition, request, "edit_user")


def test_user_definition_is_validated_against_the_live_users_after_the_acl():
    request = request_for("alice", matchdict={"user_id": "bob"})
    users = store_of(request).users
    with mock.patch.object(UserRecord, "validate", autospec=True, return_value="ignored") as validate:
        roots.Userdef(request)
    (record,), kwargs = validate.call_args
    assert record is users["bob"]
    all_users = kwargs["all_users"]
    assert isinstance(all_users, type({}.values()))
    users["late"] = UserRecord({}, key="late")
    assert list(all_users) == list(users.values())


def test_invalid_user_definition_fails_after_its_acl_is_set():
    store = store_for()
    store.users["bob"]["view"] = ["alice", "nobody_known"]
    definition = half_built(roots.Userdef, request_for("alice", store=store, matchdict={"user_id": "bob"}), HTTPBadRequest)
    assert definition.__acl__ == [(Allow, Authenticated, "view_user"), (Deny, Authenticated, "edit_user")]


# ------------------------------------------------------------------ NewUserdef

NEW_USER_DENIED = [(Deny, Everyone, ("view_user", "create_user"))]


@pytest.mark.parametrize(
    "user_id, rights, acl",
    [
        ("admin", [], [(Allow, "admin", "create_user")]),
        ("u", ["create"], [(Allow, Authenticated, "create_user")]),
        ("public", ["create"], [(Allow, Everyone, "create_user")]),
        ("u", ["view"], NEW_USER_DENIED),
    ],
)
def test_new_user_acl_on_class_and_instance(user_id, rights, acl):
    users = user_records(**{user_id: {"userdef": rights}})
    instance = roots.NewUserdef(request_for("admin", method="POST"))
    assert roots.NewUserdef.get_acl(user_id, users) == acl
    assert instance.get_acl(authenticated_user_id=user_id, user_configs=users) == acl


def test_new_user_acl_looks_the_requester_up_first():
    with pytest.raises(KeyError):
        roots.NewUserdef.get_acl("admin", {})


@pytest.mark.parametrize("user_id, allowed", [("admin", True), ("maker", True), ("public", True), ("alice", False)])
def test_new_user_route_decides_create_user(user_id, allowed):
    request = request_for(user_id, method="POST")
    new_user = roots.NewUserdef(request)
    assert permits(new_user, request, "create_user") == allowed
    assert not permits(new_user, request, "view_user")


# ------------------------------------------------------------------ leak scenarios


def _leak_scenario(cls, user_id, method="GET", matchdict=None, refusal=None, store=None, url="/r.json"):
    request = request_for(user_id, store=store, url=url, method=method, matchdict=matchdict, status_tracker=False)

    def build():
        if refusal is None:
            cls(request)
            return
        try:
            cls(request)
        except refusal:
            pass
        else:
            raise AssertionError("{} for {} was not refused".format(cls.__name__, user_id))

    return build


def _static_scenario(method, *args, refusal=None):
    def call():
        try:
            method(*args)
        except refusal or ():
            pass

    return call


_STATIC_USERS = user_records(u={"userdef": ["view"]}, t={"view": ["u"], "edit": ["x"], "creator": "u"})
_INVALID_STORE = store_for()
_INVALID_STORE.users["bob"]["view"] = ["nobody_known"]

#: One context path each, success and refusal, for the reference-leak run.
LEAK_SCENARIOS = [
    ("querystudio-admin", _leak_scenario(OpenStudio, "admin", matchdict={"query_id": "q_exec"})),
    ("querystudio-editor", _leak_scenario(OpenStudio, "plain", matchdict={"query_id": "q_exec"})),
    ("querystudio-new", _leak_scenario(OpenStudio, "maker")),
    ("querystudio-false-record", _leak_scenario(OpenStudio, "blank", matchdict={"query_id": "q_exec"})),
    ("querystudio-html", _leak_scenario(roots.Querystudio, "alice", refusal=HTTPOk, url="/studio.html")),
    ("dbmodel-user", _leak_scenario(roots.DBModel, "alice", matchdict={"db_id": "db2"})),
    ("dbmodel-denied", _leak_scenario(roots.DBModel, "plain", matchdict={"db_id": "db1"})),
    ("dbmodel-not-found", _leak_scenario(roots.DBModel, "alice", matchdict={"db_id": "db9"}, refusal=HTTPNotFound)),
    ("dbmodels-admin", _leak_scenario(roots.DBModels, "admin")),
    ("dbmodels-user", _leak_scenario(roots.DBModels, "alice")),
    ("dbmodels-false-record", _leak_scenario(roots.DBModels, "blank")),
    ("querydefslist-admin", _leak_scenario(roots.QuerydefsList, "admin")),
    ("querydefslist-user", _leak_scenario(roots.QuerydefsList, "alice")),
    ("querydefslist-denied", _leak_scenario(roots.QuerydefsList, "plain")),
    ("querydef-admin", _leak_scenario(roots.Querydef, "admin", matchdict={"query_id": "q_exec"})),
    ("querydef-user", _leak_scenario(roots.Querydef, "alice", matchdict={"query_id": "q_read"})),
    ("querydef-false-record", _leak_scenario(roots.Querydef, "blank", matchdict={"query_id": "q_read"})),
    ("querydef-not-found", _leak_scenario(roots.Querydef, "alice", matchdict={"query_id": "q9"}, refusal=HTTPNotFound)),
    ("newquerydef-creator", _leak_scenario(roots.NewQuerydef, "maker", method="POST")),
    ("newquerydef-denied", _leak_scenario(roots.NewQuerydef, "alice", method="POST")),
    ("dbdef-admin", _leak_scenario(roots.DBDef, "admin", matchdict={"db_id": "db1"})),
    ("dbdef-user", _leak_scenario(roots.DBDef, "alice", matchdict={"db_id": "db3"})),
    ("dbdef-no-view-right", _leak_scenario(roots.DBDef, "plain", matchdict={"db_id": "db1"})),
    ("dbdef-false-record", _leak_scenario(roots.DBDef, "blank", matchdict={"db_id": "db1"})),
    ("dbdef-not-found", _leak_scenario(roots.DBDef, "alice", matchdict={"db_id": "db9"}, refusal=HTTPNotFound)),
    ("dbdefslist-admin", _leak_scenario(roots.DBDefsList, "admin")),
    ("dbdefslist-user", _leak_scenario(roots.DBDefsList, "alice")),
    ("dbdefslist-denied", _leak_scenario(roots.DBDefsList, "plain")),
    ("newdbdef-creator", _leak_scenario(roots.NewDBDef, "maker", method="POST")),
    ("newdbdef-denied", _leak_scenario(roots.NewDBDef, "alice", method="POST")),
    ("userdefslist-admin", _leak_scenario(roots.UserdefsList, "admin")),
    ("userdefslist-user", _leak_scenario(roots.UserdefsList, "alice")),
    ("userdefslist-denied", _leak_scenario(roots.UserdefsList, "plain")),
    ("userdef-admin", _leak_scenario(roots.Userdef, "admin", matchdict={"user_id": "bob"})),
    ("userdef-user", _leak_scenario(roots.Userdef, "alice", matchdict={"user_id": "bob"})),
    ("userdef-self", _leak_scenario(roots.Userdef, "plain", matchdict={"user_id": "plain"})),
    ("userdef-not-found", _leak_scenario(roots.Userdef, "admin", matchdict={"user_id": "gone"}, refusal=HTTPNotFound)),
    ("userdef-hidden", _leak_scenario(roots.Userdef, "alice", matchdict={"user_id": "gone"}, refusal=HTTPForbidden)),
    (
        "userdef-invalid",
        _leak_scenario(
            roots.Userdef, "alice", matchdict={"user_id": "bob"}, refusal=HTTPBadRequest, store=_INVALID_STORE
        ),
    ),
    ("newuserdef-creator", _leak_scenario(roots.NewUserdef, "maker", method="POST")),
    ("newuserdef-denied", _leak_scenario(roots.NewUserdef, "alice", method="POST")),
    ("unknown-requester", _leak_scenario(roots.DBDefsList, "stranger", refusal=HTTPForbidden)),
    ("querydefslist-get-acl", _static_scenario(roots.QuerydefsList.get_acl, "u", _STATIC_USERS["u"])),
    ("userdefslist-get-configs", _static_scenario(roots.UserdefsList.get_configs, "u", True, _STATIC_USERS)),
    ("userdefslist-get-acl", _static_scenario(roots.UserdefsList.get_acl, "u", _STATIC_USERS)),
    ("userdef-get-acl", _static_scenario(roots.Userdef.get_acl, "t", "u", _STATIC_USERS)),
    ("userdef-get-acl-missing", _static_scenario(roots.Userdef.get_acl, "t", "gone", _STATIC_USERS, refusal=KeyError)),
    ("newuserdef-get-acl", _static_scenario(roots.NewUserdef.get_acl, "u", _STATIC_USERS)),
    ("newuserdef-get-acl-missing", _static_scenario(roots.NewUserdef.get_acl, "gone", {}, refusal=KeyError)),
]


@pytest.mark.parametrize("scenario", [build for _, build in LEAK_SCENARIOS], ids=[name for name, _ in LEAK_SCENARIOS])
def test_leak_scenario_runs_its_path_repeatably(scenario):
    scenario()
    scenario()
