"""Calling a class of the module builds the instance as `type.__call__` would, whatever changed since its last call."""

import sys
from unittest import mock

import pytest

import korvane._pyroots as twin
import korvane.roots as roots

from helpers import make_request, make_settings, make_store, run_child

USERS = {"admin": {"password": "secret"}, "u1": {"databases": ["sales"]}}


def request():
    settings = make_settings(store=make_store(users=USERS, databases={"sales": {"read": ["u1"]}}))
    return make_request("/model/sales.json", settings=settings, user_id="u1", matchdict={"db_id": "sales"})


def outcome(call):
    try:
        built = call()
    except Exception as error:
        return "raised", type(error).__name__, str(error)
    return "built", type(built).__name__, sorted(vars(built))


def with_each(impl, name, call):
    return outcome(lambda: call(getattr(impl, name)))


CALLS = {
    "by keyword": lambda cls: cls(request=request()),
    "no argument": lambda cls: cls(),
    "one too many": lambda cls: cls(request(), 1),
    "unknown keyword": lambda cls: cls(request(), colour=1),
    "twice": lambda cls: cls(request(), request=request()),
    "nine arguments": lambda cls: cls(*range(9)),
}


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
@pytest.mark.parametrize("name", ["RootContext", "DBModel", "ExecuteQuery"])
def test_arguments_bound_and_refused_as_through_type_call(name, call):
    sys._clear_type_cache()
    direct = with_each(roots, name, call)
    through_type = with_each(roots, name, lambda cls: call(lambda *a, **k: type.__call__(cls, *a, **k)))
    assert direct == through_type
    assert direct[:2] == with_each(twin, name, call)[:2]


def initialiser_returning(value):
    def __init__(self, request):
        self.marked = True
        return value
    return __init__


CHANGES = {
    "__init__ assigned": ("__init__", initialiser_returning(None)),
    "__init__ returning a value": ("__init__", initialiser_returning(3)),
    "made abstract": ("__abstractmethods__", frozenset({"pending"})),
}


@pytest.mark.parametrize("attribute, value", CHANGES.values(), ids=CHANGES.keys())
def test_class_changed_after_first_call_is_built_by_the_changed_class_then_as_before(attribute, value):
    results = []
    for impl in (roots, twin):
        build = lambda: with_each(impl, "DBModel", lambda cls: cls(request()))  # noqa: E731
        sys._clear_type_cache()
        first = build()
        with mock.patch.object(impl.DBModel, attribute, value, create=True):
            changed = build()
        results.append((first, changed, build()))
    assert results[0] == results[1]
    assert results[0][0] == results[0][2] != results[0][1]


def test_new_assigned_after_first_call_is_the_one_called():
    # A class whose __new__ was assigned cannot be given back its original
    # one, hence a process of its own.
    out = run_child("""
        import korvane.roots as roots
        from test_class_call import outcome, request
        roots.DBModel(request())

        def __new__(cls, *args, **kw):
            raise LookupError(f"no {cls.__name__} today, {args[0].path}")

        roots.DBModel.__new__ = __new__
        print(outcome(lambda: roots.DBModel(request())))
    """)
    assert out.strip() == "('raised', 'LookupError', 'no DBModel today, /model/sales.json')"


def test_base_initialiser_replaced_is_run_for_subclasses_without_their_own():
    seen = []
    original = roots.RootContext.__init__

    def __init__(self, request):
        seen.append(type(self).__name__)
        original(self, request)

    with mock.patch.object(roots.RootContext, "__init__", __init__):
        roots.RootBasic(request())
        built = roots.DBModel(request())
    assert seen == ["RootBasic", "DBModel"] and built.db_id == "sales"


def test_subclass_with_its_own_initialiser_and_metaclass_is_built_through_it():
    class Meta(type):
        def __call__(cls, *args, **kw):
            built = super().__call__(*args, **kw)
            built.through_meta = True
            return built

    class Model(roots.DBModel, metaclass=Meta):
        def __init__(self, request, extra=None):
            super().__init__(request)
            self.extra = extra

    built = Model(request(), extra=5)
    assert (built.through_meta, built.extra, built.db_id) == (True, 5, "sales")
