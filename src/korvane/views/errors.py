"""How refusals, redirects and failures reach the client.

A context stops a request by raising a Pyramid HTTP exception.  Errors
(4xx, 5xx) are answered as JSON naming the status and the explanation;
redirects and the browser interface's page go out as raised, a
redirect's Location keeping the escapes of the path as it was sent.  Either way
the "Warning" headers that the request gathered on ``request.response``
before the exception (the query-string key advice) are kept.

Any other exception is the server's fault: the client gets a JSON 500
with a request id and nothing of the failure; the log line with the
traceback carries the same id.
"""

import logging
import uuid

from pyramid.httpexceptions import (
    HTTPError,
    HTTPException,
    HTTPInternalServerError,
    HTTPMethodNotAllowed,
)
from pyramid.view import exception_view_config

from korvane.app.request_setup import location_as_sent
from korvane.exceptions import HTTPUnsupportedFormat
from korvane.views.render import log_text

log = logging.getLogger(__name__)

#: What a client is told about a failure of the server's own.
SERVER_FAULT = "The server failed to answer this request. Its log names the failure under the request id."


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
    if exc.code == 405 and "Allow" not in response.headers:
        # The contexts refuse a method without saying which ones serve.
        from korvane.app.routes import allowed_methods

        response.headers["Allow"] = ", ".join(allowed_methods(request))
    for value in _gathered_warnings(request):
        response.headers.add("Warning", value)
    response.content_type = "application/json"
    response.charset = "utf-8"
    response.json_body = body
    return response


def request_id(request):
    """The request's id: its status tracker's, else a new one."""
    tracker = getattr(request, "request_status", None)
    return tracker.request_id if tracker is not None else uuid.uuid4().hex


@exception_view_config(Exception)
def server_fault_view(exc, request):
    """A JSON 500 for any exception that is not an HTTP answer: the
    client learns the request id, the log the failure."""
    rid = request_id(request)
    log.error(
        "Request %s failed: %s %s: %s: %s",
        rid, log_text(request.method), log_text(request.environ.get("PATH_INFO", "")), type(exc).__name__, log_text(exc),
        exc_info=(type(exc), exc, exc.__traceback__),
    )
    response = http_error_view(HTTPInternalServerError(explanation=SERVER_FAULT), request)
    body = response.json_body
    body["request_id"] = rid
    response.json_body = body
    response.headers["X-Request-Id"] = rid
    return response


def _redirects_to_a_refusal(exc, request):
    """Whether ``exc`` is the deprecated-format redirect of a resource
    that does not serve the format it redirects to."""
    if exc.code != 301 or not exc.headers.get("Warning", "").startswith("xsd format is deprecated"):
        return False
    route = getattr(request, "matched_route", None)
    formats = getattr(getattr(route, "factory", None), "formats", None)
    if not isinstance(formats, dict):
        return False
    method = "GET" if request.method == "HEAD" else request.method
    return "xml" not in formats.get(method, {}).get("supported", ())


@exception_view_config(HTTPException)
def http_exception_view(exc, request):
    """Redirects and the browser interface's page, as raised.  A format
    redirect to a format the resource refuses is answered with that
    refusal at once: a redirect must lead somewhere."""
    if _redirects_to_a_refusal(exc, request):
        return http_error_view(HTTPUnsupportedFormat("xsd"), request)
    if 300 <= exc.code < 400 and "Location" in exc.headers:
        exc.headers["Location"] = location_as_sent(request, exc.headers["Location"])
    present = exc.headers.getall("Warning")
    for value in _gathered_warnings(request):
        if value not in present:
            exc.headers.add("Warning", value)
    return exc


def method_not_allowed_view(methods):
    """A view that refuses the request's method, naming the route's
    methods (``methods``, with HEAD and OPTIONS) in the Allow header."""

    def method_not_allowed(context, request):
        from korvane.app.routes import allowed_methods

        allow = ", ".join(allowed_methods(request))
        raise HTTPMethodNotAllowed(
            explanation="{} is not served here; allowed: {}.".format(request.method, allow),
            headers={"Allow": allow},
        )

    return method_not_allowed
