"""Builders of stores, settings and requests for the tests.

Requests are real ``pyramid.request.Request`` objects with their own
registry (no thread-local state): authentication is Pyramid's own
``RemoteUserAuthenticationPolicy`` fed with the user id, authorization its
``ACLAuthorizationPolicy``, so ``request.has_permission`` decides by the
context's ``__acl__`` exactly as in the server.
"""

import ast
import importlib
import json
from pathlib import Path

from pyramid.authentication import RemoteUserAuthenticationPolicy
from pyramid.authorization import ACLAuthorizationPolicy
from pyramid.interfaces import IAuthenticationPolicy, IAuthorizationPolicy
from pyramid.registry import Registry
from pyramid.request import Request
from pyramid.security import Authenticated, Everyone

from _pytest.assertion.rewrite import rewrite_asserts

from korvane.config_storage import ConfigStorage
from korvane.process_registry import ProcessRegistry
from korvane.request_status import RequestStatus

#: A settings override of this value removes the key instead.
ABSENT = object()

DEFAULT_USERS = {
    "admin": {"password": "admin-secret", "apikey": "admin-key"},
    "public": {"databases": []},
}


def make_store(users=None, databases=None, querydefs=None, credentials=None):
    """A ``ConfigStorage`` over in-memory data.

    Each argument maps ids to plain dicts (made into records) or to
    records (kept as they are).  ``users`` replaces the default users
    ("admin" with a password, "public" with no databases) as a whole, so a
    test can leave either out; ``{}`` as a user makes a false record.
    ``credentials`` maps a database id to {credential id: entry}.
    """
    return ConfigStorage.from_data(
        {
            "users": DEFAULT_USERS if users is None else users,
            "databases": databases or {},
            "querydefs": querydefs or {},
            "credentials": credentials or {},
        }
    )


def _apply(target, overrides):
    for key, value in overrides.items():
        if value is ABSENT:
            target.pop(key, None)
        else:
            target[key] = value
    return target


def make_settings(store=None, registry=None, krv=None, **ini):
    """The framework's settings mapping, as a plain dict.

    Its "krv_settings" is a plain dict (exactly ``dict``) holding the
    store (``make_store()`` when None), the process registry (a new
    ``ProcessRegistry`` when None), "url_substitution" {"$2F": "/",
    "$2E": "."}, "default_extension" "json", "apikey_name" "apikey" and
    "appid_name" "appid"; ``krv`` overrides those keys.  "auth_settings" is
    an empty dict.  Other keyword arguments set top-level keys; give dotted
    keys as ``**{"db.sales.limit": 100}``.  An override of ``ABSENT``
    removes the key.
    """
    krv_settings = {
        "config_storage": make_store() if store is None else store,
        "process_registry": ProcessRegistry() if registry is None else registry,
        "url_substitution": {"$2F": "/", "$2E": "."},
        "default_extension": "json",
        "apikey_name": "apikey",
        "appid_name": "appid",
    }
    settings = {"krv_settings": _apply(krv_settings, krv or {}), "auth_settings": {}}
    return _apply(settings, ini)


def principals_for(user_id):
    """The principals the server gives ``user_id``; None and "public" are
    anonymous."""
    if user_id is None or user_id == "public":
        return [Everyone]
    return [Everyone, Authenticated, user_id]


def make_registry(settings):
    """A Pyramid registry with ``settings`` and the server's kind of
    security policies."""
    registry = Registry("korvane-tests")
    registry.settings = settings
    registry.registerUtility(
        RemoteUserAuthenticationPolicy(environ_key="KORVANE_TEST_USER"),
        IAuthenticationPolicy,
    )
    registry.registerUtility(ACLAuthorizationPolicy(), IAuthorizationPolicy)
    return registry


def make_request(
    url="/",
    method="GET",
    settings=None,
    user_id="alice",
    matchdict=None,
    json_body=None,
    raw_uri=None,
    status_tracker=True,
    **kw
):
    """A real ``pyramid.request.Request`` for ``url``, as the server hands
    it to a root factory.

    ``settings`` (``make_settings()`` when None) becomes
    ``request.registry.settings``, the same object.  ``user_id`` is the
    authenticated user; None or "public" make an anonymous request.
    ``matchdict`` is set as given (None: no route matched).  ``raw_uri``
    defaults to the URL's path and query string; ``path_segments`` lists
    the non-empty segments of the path.  ``request_status`` is a new
    ``RequestStatus``, or absent altogether when ``status_tracker`` is
    false.  ``json_body`` becomes a JSON request body.  Other keyword
    arguments go to ``Request.blank`` (``headers``, ``POST``, ``environ``,
    ``base_url``, ...).
    """
    request = Request.blank(url, method=method, **kw)
    request.registry = make_registry(make_settings() if settings is None else settings)
    if user_id is not None and user_id != "public":
        request.environ["KORVANE_TEST_USER"] = user_id
    request.matchdict = matchdict
    request.raw_uri = request.path_qs if raw_uri is None else raw_uri
    request.path_segments = [s for s in request.path_info.split("/") if s]
    if status_tracker:
        request.request_status = RequestStatus("test")
    if json_body is not None:
        request.content_type = "application/json"
        request.body = json.dumps(json_body).encode("utf-8")
    return request


def permits(context, request, permission):
    """Whether the request's principals hold ``permission`` on ``context``
    by its ``__acl__``."""
    policy = ACLAuthorizationPolicy()
    return bool(policy.permits(context, request.effective_principals, permission))


# ------------------------------------------------------------ implementations

#: The suffix of a test module that runs another module's tests against the
#: pure-Python twin (``test_context_twin`` runs ``test_context``).
TWIN_SUFFIX = "_twin"


def implementation_under_test(module_name):
    """The module a behaviour test module tests: the compiled
    ``korvane.roots``, or ``korvane._pyroots`` when the tests run as a twin
    module (see ``run_as_twin``)."""
    twin = module_name.endswith(TWIN_SUFFIX)
    return importlib.import_module("korvane._pyroots" if twin else "korvane.roots")


def run_as_twin(namespace):
    """Runs the behaviour test module that the twin module ``namespace``
    (its globals) names, so that the same tests collect again there with
    ``roots`` bound to the twin.  Asserts are rewritten as pytest does on
    import, and tracebacks point at the original file."""
    name = namespace["__name__"]
    path = Path(__file__).with_name(name[: -len(TWIN_SUFFIX)] + ".py")
    source = path.read_bytes()
    tree = ast.parse(source, filename=str(path))
    rewrite_asserts(tree, source, str(path))
    exec(compile(tree, str(path), "exec"), namespace)
