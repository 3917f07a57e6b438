"""How refusals and redirects reach the client.

A context stops a request by raising a Pyramid HTTP exception.  Errors
(4xx, 5xx) are answered as JSON naming the status and the explanation;
redirects and the browser interface's page go out as raised.  Either way
the "Warning" headers that the request gathered on ``request.response``
before the exception (the query-string key advice) are kept.
"""

from pyramid.httpexceptions import HTTPError, HTTPException, HTTPMethodNotAllowed
from pyramid.view import exception_view_config


def _gathered_warnings(request):
    # Kept by the warnings keeper tween: Pyramid has dropped the response
    # they were added to by the time an exception view runs.
    return list(getattr(request, "gathered_warnings", ()))


@exception_view_config(HTTPError)
def http_error_view(exc, request):
    body = {"status": exc.code, "title": exc.title, "explanation": exc.explanation}
    denied = getattr(exc, "result", None)
    if denied is not None and getattr(denied, "permission", None) is not None:
        # Pyramid's own refusal of a view: name the permission, not the
        # context and principals that its detail text would show.
        body["permission"] = str(denied.permission)
    elif isinstance(exc.detail, str) and exc.detail:
        body["detail"] = exc.detail

    response = request.response
    response.status = exc.status
    for name, value in exc.headerlist:
        if name.lower() not in ("content-type", "content-length"):
            response.headers.add(name, value)
    for value in _gathered_warnings(request):
        response.headers.add("Warning", value)
    response.content_type = "application/json"
    response.charset = "utf-8"
    response.json_body = body
    return response


@exception_view_config(HTTPException)
def http_exception_view(exc, request):
    """Redirects and the browser interface's page, as raised."""
    present = exc.headers.getall("Warning")
    for value in _gathered_warnings(request):
        if value not in present:
            exc.headers.add("Warning", value)
    return exc


def method_not_allowed_view(methods):
    """A view that refuses the request's method, naming ``methods`` in the
    Allow header."""
    allow = ", ".join(methods)

    def method_not_allowed(context, request):
        raise HTTPMethodNotAllowed(
            explanation="{} is not served here; allowed: {}.".format(request.method, allow),
            headers={"Allow": allow},
        )

    return method_not_allowed
