"""What the module remembers between calls never outlives a change: patched
globals, shadowed builtins, methods assigned or deleted on a class, and
subclasses made after the first construction are all seen by the next call."""

import builtins
import sys
import traceback
from unittest import mock

import pytest

import korvane.roots as roots

from helpers import make_request, make_settings, make_store

SOURCE_FILE = "korvane\\roots"  # the file name the module gives its traceback entries

USERS = {"admin": {"password": "secret"}, "public": {}, "u1": {"databases": ["sales"]}}
DATABASES = {"sales": {"read": ["u1"]}}
QUERIES = {"q1": {"database": "sales", "execute": ["u1"], "http_methods": {"GET": True}}}


class Refused(Exception):
    pass


def refuse(*args, **kw):
    raise Refused()


def query_request(limited=False):
    store = make_store(users=USERS, databases=DATABASES, querydefs=QUERIES)
    settings = make_settings(store=store, **({"db.sales.limit": 100} if limited else {}))
    return make_request("/query/q1.json", settings=settings, user_id="u1", matchdict={"query_id": "q1"})


def model_request():
    store = make_store(users=USERS, databases=DATABASES, querydefs=QUERIES)
    return make_request("/model/sales.json", settings=make_settings(store=store), user_id="u1",
                        matchdict={"db_id": "sales"})


def our_entries(error):
    return [frame.name for frame in traceback.extract_tb(error.__traceback__) if frame.filename == SOURCE_FILE]


@pytest.mark.parametrize("name", ["get_authenticated_user", "check_apikey_querystring", "requested_data_format"])
def test_global_patched_between_two_constructions_is_called_by_the_second(name):
    request = query_request()
    roots.ExecuteQuery(request)
    with mock.patch(f"korvane.roots.{name}", refuse):
        with pytest.raises(Refused):
            roots.ExecuteQuery(request)
    roots.ExecuteQuery(request)


def test_patched_global_leaves_the_same_traceback_entries_as_before():
    sys._clear_type_cache()
    with mock.patch("korvane.roots.get_authenticated_user", refuse):
        with pytest.raises(Refused) as info:
            roots.ExecuteQuery(query_request())
    assert our_entries(info.value) == [
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


def test_builtin_shadowed_in_the_module_globals_then_unshadowed():
    request = query_request(limited=True)
    assert converter_handed_to_get_url_param(request) is int
    with mock.patch("korvane.roots.int", Counted, create=True):
        assert converter_handed_to_get_url_param(request) is Counted
    assert not hasattr(roots, "int")
    assert converter_handed_to_get_url_param(request) is int


def test_builtin_replaced_in_the_builtins_is_seen_by_the_next_call():
    request = query_request(limited=True)
    assert converter_handed_to_get_url_param(request) is int
    with mock.patch.object(builtins, "int", Counted):
        assert converter_handed_to_get_url_param(request) is Counted
    assert converter_handed_to_get_url_param(request) is int


def test_method_assigned_on_a_class_after_first_use_then_deleted():
    Model = type("Model", (roots.DBModel,), {})
    request = model_request()
    sys._clear_type_cache()
    Model(request)
    Model.check_data_format = refuse
    try:
        with pytest.raises(Refused):
            Model(request)
    finally:
        del Model.check_data_format
    assert Model(request).db_id == "sales"


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


def test_initialiser_added_on_the_mro_after_first_use_is_reached_by_super_then_dropped():
    class Between(roots.DataFormatRoot):
        pass

    class Query(roots.ExecuteQuery, Between):
        pass

    request = query_request()
    sys._clear_type_cache()
    Query(request)
    Between.__init__ = refuse
    try:
        with pytest.raises(Refused):
            Query(request)
    finally:
        del Between.__init__
    assert Query(request).query_id == "q1"


def test_base_replaced_in_the_globals_is_the_base_initialised():
    request = query_request()
    roots.ExecuteQuery(request)
    Fake = type("RootBasic", (), {"__init__": refuse})
    with mock.patch("korvane.roots.RootBasic", Fake), pytest.raises(Refused):
        roots.ExecuteQuery(request)
    roots.ExecuteQuery(request)
