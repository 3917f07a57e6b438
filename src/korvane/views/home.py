"""The home page, the caller's identity, the data-discovery index, and the
diagnostics of the three base contexts."""

from pyramid.security import NO_PERMISSION_REQUIRED, ALL_PERMISSIONS
from pyramid.view import view_config

from korvane.app.routes import route_path
from korvane.views.common import ESCAPED_CHARS, browsable_databases
from korvane.views.render import data_response, json_response

LINKS = {
    "whoami": "/whoami",
    "stored queries": "/query",
    "data discovery": "/dd",
    "query definitions": "/querydefs",
    "database definitions": "/databases",
    "users": "/users",
    "models": "/models",
    "request status": "/status",
}

#: Permissions the diagnostics ask the context's ACL about.
PROBED_PERMISSIONS = ("view", "authenticated", "execute_query", "view_database")


def describe_acl(acl):
    """An ACL as plain data: [action, principal, permission or list]."""

    def permission(value):
        if value is ALL_PERMISSIONS:
            return "ALL_PERMISSIONS"
        if isinstance(value, (tuple, list)):
            return [permission(item) for item in value]
        return value

    return [[action, principal, permission(perm)] for action, principal, perm in acl]


@view_config(route_name="home", request_method="GET", permission="view")
def home(context, request):
    return json_response(
        request,
        {
            "service": "korvane demo server",
            "user_id": context.authenticated_user_id,
            "links": {name: request.application_url + path for name, path in LINKS.items()},
        },
    )


@view_config(route_name="whoami", request_method="GET", permission="authenticated")
def whoami(context, request):
    config = context.authenticated_user_config
    return json_response(
        request,
        {
            "user_id": context.authenticated_user_id,
            # The databases the caller may browse, as /dd lists them.
            "databases": browsable_databases(context),
            "rights": {
                kind: list(getattr(config, kind)) for kind in ("querydef", "dbdef", "userdef", "dbcreds")
            },
        },
    )


@view_config(route_name="dd_index", request_method="GET", permission="view")
def dd_index(context, request):
    """The databases the caller may browse, with their data-discovery URLs."""
    return json_response(
        request,
        {
            "user_id": context.authenticated_user_id,
            "databases": {
                db_id: request.application_url + route_path("dd", other_segments=db_id)
                for db_id in browsable_databases(context)
            },
        },
    )


# The base contexts grant nothing: RootContext carries no ACL and RootBasic
# denies everything.  A permission would make their diagnostics unreachable,
# so these views ask the ACL instead and show the answers; what they show is
# the caller's own identity and request, never stored secrets.


def _probe(context, request):
    return {name: bool(request.has_permission(name, context)) for name in PROBED_PERMISSIONS}


@view_config(route_name="ctx_root_context", request_method="GET", permission=NO_PERMISSION_REQUIRED)
def root_context_diagnostics(context, request):
    """What every context starts with; ``?segment=`` values are escaped
    the way the server builds its URLs."""
    escaped, declared = context.build_escaped_url(request.GET.getall("segment"), list(ESCAPED_CHARS))
    return json_response(
        request,
        {
            "context": type(context).__name__,
            "user_id": context.authenticated_user_id,
            "user_db_ids": sorted(context.user_db_ids),
            "reversed_url_substitution": context.reversed_url_substitution,
            "escaped_segments": escaped,
            "declared_substitutions": declared,
            "has_acl": hasattr(context, "__acl__"),
            "permits": _probe(context, request),
        },
    )


@view_config(route_name="ctx_root_basic", request_method="GET", permission=NO_PERMISSION_REQUIRED)
def root_basic_diagnostics(context, request):
    return json_response(
        request,
        {
            "context": type(context).__name__,
            "user_id": context.authenticated_user_id,
            "acl": describe_acl(context.__acl__),
            "permits": _probe(context, request),
            "is_schema_request": context.is_schema_request,
            "validate_upload": context.validate_upload,
        },
    )


@view_config(route_name="ctx_data_format", request_method="GET", permission=NO_PERMISSION_REQUIRED)
def data_format_diagnostics(context, request):
    """Reached only by a format the base's empty tables accept, which is
    none: the route shows the hand-off, the redirect and the refusal."""
    return data_response(
        request,
        context.response_format,
        {
            "context": type(context).__name__,
            "response_format": context.response_format,
            "request_format": context.request_format,
            "request_extension": context.request_extension,
        },
        "context",
    )
