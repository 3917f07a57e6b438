"""The demo server's routes: which context class builds each route's
context, and which HTTP methods the demo has views for.

Every class of ``korvane.roots`` is the root factory of at least one route.
Routes that address one item accept an optional format extension
(``/querydefs/orders_since.json``); the others take ``?format=``.  Order
matters where patterns overlap: ``/querydefs/new`` must match before
``/querydefs/{query_id}``.
"""

import re
from dataclasses import dataclass
from urllib.parse import quote

from pyramid.traversal import PATH_SEGMENT_SAFE, split_path_info

from korvane.constants import DATA_FORMATS

# An optional ".format" suffix.  Ids of the demo data hold no dots, so an id
# marker stops at the first one and leaves the extension to this marker.
EXT = r"{ext:(\.[^/.]+)?}"
ID = r"[^/.]+"
#: The rest of a path, line feeds included: a value may hold any character,
#: and the framework's own catch-all ("*rest") stops at a line feed.  The
#: "path_tail" predicate splits it into segments, as "*rest" would.
TAIL = r"(?s:.*)"


@dataclass(frozen=True)
class Route:
    name: str
    pattern: str
    #: Name of the class of ``korvane.roots`` that builds the context.
    context: str
    #: Methods the demo has views for; others are answered 405.  None: the
    #: route's one view takes every method and decides itself.
    methods: tuple | None = ("GET",)

    @property
    def factory(self):
        return "korvane.roots." + self.context


ROUTES = (
    Route("home", "/", "DefaultRoot"),
    Route("whoami", "/whoami" + EXT, "DefaultRoot"),
    # Diagnostics of the three base contexts.
    Route("ctx_root_context", "/_ctx/root-context" + EXT, "RootContext"),
    Route("ctx_root_basic", "/_ctx/root-basic" + EXT, "RootBasic"),
    Route("ctx_data_format", "/_ctx/data-format" + EXT, "DataFormatRoot"),
    # Administration: query, database and user definitions, models, studio.
    Route("querystudio_new", "/querystudio" + EXT, "Querystudio"),
    Route("querystudio", "/querystudio/{query_id:%s}%s" % (ID, EXT), "Querystudio"),
    Route("model", "/models/{db_id:%s}%s" % (ID, EXT), "DBModel"),
    Route("models", r"/models{extension:(\.[^/.]+)?}", "DBModels"),
    Route("querydefs", "/querydefs" + EXT, "QuerydefsList"),
    Route("querydef_new", "/querydefs/new" + EXT, "NewQuerydef", ("POST",)),
    Route("querydef", "/querydefs/{query_id:%s}%s" % (ID, EXT), "Querydef", ("GET", "PUT", "DELETE")),
    Route("databases", "/databases" + EXT, "DBDefsList"),
    Route("database_new", "/databases/new" + EXT, "NewDBDef", ("POST",)),
    Route("database", "/databases/{db_id:%s}%s" % (ID, EXT), "DBDef", ("GET", "PUT", "DELETE")),
    Route("users", "/users" + EXT, "UserdefsList"),
    Route("user_new", "/users/new" + EXT, "NewUserdef", ("POST",)),
    Route("user", "/users/{user_id:%s}%s" % (ID, EXT), "Userdef", ("GET", "PUT", "DELETE")),
    # Data: stored queries, data discovery, request status, credentials.
    Route("queries", "/query" + EXT, "ExecuteQueryList"),
    Route("query", "/query/{query_id:%s}{params:%s}" % (ID, TAIL), "ExecuteQuery", ("GET", "POST", "PUT", "DELETE")),
    Route("dd_index", "/dd{slash:/?}", "DefaultRoot"),
    Route("dd", "/dd/{other_segments:%s}" % TAIL, "DataDiscovery"),
    Route("statuses", "/status" + EXT, "RequestStatus"),
    Route("status", "/status/{request_id:%s}%s" % (ID, EXT), "RequestStatus"),
    Route("dbcredentials", "/dbcredentials/{db_id:%s}%s" % (ID, EXT), "DBCredentialsRoot", ("GET", "POST")),
    Route(
        "dbcredential",
        "/dbcredentials/{db_id:%s}/{dbc_id:%s}%s" % (ID, ID, EXT),
        "DBCredentialsRoot",
        ("GET", "PUT", "DELETE"),
    ),
    # The parser and builder read a JSON object from the body; a request
    # without a usable one falls through to "dd_url_refused".
    Route("dd_url", "/dd-url/{action:(parse|build)}", "DDURLParserBuilderRoot", ("POST",)),
    Route("dd_url_refused", "/dd-url/{action:(parse|build)}", "DefaultRoot", None),
)

#: Route predicates of routes that need more than their pattern.
ROUTE_PREDICATES = {
    "dd_url": {"dd_url_body": True},
    "dd": {"path_tail": "other_segments", "dd_database_extension": True},
    "query": {"path_tail": "params"},
}

ROUTES_BY_NAME = {route.name: route for route in ROUTES}

_PLACEHOLDER = re.compile(r"\{(\w+)(?::[^}]*)?\}")


def route_path(name, **values):
    """The path of route ``name`` with ``values`` in its placeholders (an
    absent one empty), each quoted as a path segment, as the framework's
    ``route_url`` quotes them.

    Not ``route_url`` itself: its quoting keeps every segment it has ever
    quoted for the life of the process, so a path made from the id of each
    record a client creates would hold on to every such id."""
    return _PLACEHOLDER.sub(
        lambda match: quote(str(values.get(match.group(1), "")), safe=PATH_SEGMENT_SAFE),
        ROUTES_BY_NAME[name].pattern,
    )


class PathTailPredicate:
    """Split the route's ``TAIL`` value (the placeholder this names) into
    its segments, as the framework splits a "*rest" value: the contexts
    read it as a tuple."""

    def __init__(self, value, config):
        self.value = value

    def text(self):
        return "path_tail = {}".format(self.value)

    phash = text

    def __call__(self, info, request):
        info["match"][self.value] = split_path_info(info["match"].get(self.value) or "")
        return True


class DatabaseExtensionPredicate:
    """Let ``/dd/demo.json`` name the database "demo" in the format json.

    The data-discovery context takes the database id from the first
    segment as it stands; a format extension on the database segment
    alone would make it look for a database "demo.json".  Only the names
    of data formats count as extensions.
    """

    def __init__(self, value, config):
        self.value = bool(value)

    def text(self):
        return "dd_database_extension = {}".format(self.value)

    phash = text

    def __call__(self, info, request):
        segments = info["match"].get("other_segments") or ()
        if self.value and len(segments) == 1:
            stem, dot, extension = segments[0].rpartition(".")
            if dot and stem and extension.lower() in DATA_FORMATS:
                info["match"]["other_segments"] = (stem,)
        return True


def allowed_methods(request):
    """The methods the request's route serves, for Allow headers: its
    views' methods with HEAD beside GET, and OPTIONS.  A stored query
    narrows them to the methods it is enabled for."""
    route = getattr(request, "matched_route", None)
    declared = ROUTES_BY_NAME.get(getattr(route, "name", None))
    methods = list(declared.methods or ("POST",)) if declared else ["GET"]
    if declared and declared.name == "query":
        query_id = (request.matchdict or {}).get("query_id")
        store = request.registry.settings["krv_settings"]["config_storage"]
        query = store.querydefs.get(query_id)
        if query is not None:
            enabled = {method for method, on in query.http_methods.items() if on}
            methods = [method for method in methods if method in enabled]
    if "GET" in methods:
        methods.insert(methods.index("GET") + 1, "HEAD")
    return methods + ["OPTIONS"]


def includeme(config):
    """Add the routes, each with the fallback view that answers methods
    the route has no view for."""
    from pyramid.security import NO_PERMISSION_REQUIRED

    from korvane.views.errors import method_not_allowed_view

    config.add_route_predicate("path_tail", PathTailPredicate)
    # Evaluated after "path_tail", which makes the segments it reads.
    config.add_route_predicate("dd_database_extension", DatabaseExtensionPredicate, weighs_more_than="path_tail")
    for route in ROUTES:
        config.add_route(
            route.name, route.pattern, factory=route.factory, **ROUTE_PREDICATES.get(route.name, {})
        )
        if route.methods is not None:
            # Refusing a method reveals nothing about the resource, so the
            # fallback needs no permission of its own.
            config.add_view(
                method_not_allowed_view(route.methods),
                route_name=route.name,
                permission=NO_PERMISSION_REQUIRED,
            )
