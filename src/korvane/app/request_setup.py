"""What the server adds to each request before a root factory sees it.

The contexts of ``korvane.roots`` read three things Pyramid does not
provide: ``request.raw_uri`` (the URI as the client sent it, for the
repeated-slash redirect), ``request.path_segments`` (the path split into
segments, for the routes whose parameters travel in the path) and
``request.request_status`` (the request's progress tracker).
"""

import re
from urllib.parse import parse_qsl, quote, unquote_to_bytes

from pyramid.httpexceptions import HTTPBadRequest, HTTPForbidden, HTTPRequestEntityTooLarge
from pyramid.interfaces import IAuthenticationPolicy, IRoutesMapper
from pyramid.response import Response

from korvane.request_status import StatusCodes

_ABSOLUTE_FORM = re.compile(r"^[A-Za-z][A-Za-z0-9+.\-]*://[^/]*")


def received_uri(request):
    """The path and query string as received, repeated slashes and
    percent-escapes untouched.

    Servers that keep the request line say so in RAW_URI or REQUEST_URI
    (waitress gives the latter); otherwise Pyramid's own ``path_qs`` is the
    nearest we have.  A request line in absolute form (``GET http://h/x``)
    is cut to its path: the contexts prefix the URI with ``host_url``.
    """
    for key in ("RAW_URI", "REQUEST_URI"):
        uri = request.environ.get(key)
        if uri:
            uri = _ABSOLUTE_FORM.sub("", uri, count=1)
            if uri.startswith("/"):
                return _with_script_name(request.environ, uri)
    return request.path_qs


def _with_script_name(environ, uri):
    """``uri``, with the application's prefix put in front where the
    request line lacks it: a proxy that takes the prefix off before it
    passes the request on, and a middleware that puts it into SCRIPT_NAME
    (a prefix filter), leave a request line naming only what follows the
    prefix, while the client asked for the prefixed path."""
    script_name = environ.get("SCRIPT_NAME", "")
    if not script_name:
        return uri
    path = re.split(r"[?#]", uri, maxsplit=1)[0]
    try:
        prefix = script_name.encode("latin-1")
        rest = environ.get("PATH_INFO", "").encode("latin-1")
    except UnicodeEncodeError:
        return uri  # not as a WSGI server passes them: left as received
    if unquote_to_bytes(path) == rest:
        return quote(prefix, safe=_PATH_SAFE) + uri
    return uri


#: What a path keeps unescaped: its separators and sub-delimiters.
_PATH_SAFE = "/!$&'()*+,;=:@-._~"


#: One unit of a path: a percent-escape, or a character as it stands.
_PATH_UNIT = re.compile(r"%[0-9A-Fa-f]{2}|.", re.DOTALL)


def _unit_byte(unit):
    return int(unit[1:], 16) if len(unit) == 3 and unit[0] == "%" else ord(unit)


def location_as_sent(request, location):
    """``location`` (a redirect's target on this server) with the escapes
    the client sent put back into the part of its path made from the
    request's path.

    The contexts build some redirects (the row limit, the deprecated
    format) from the decoded path, escaped again: a value's ``%2F`` comes
    back as ``/`` and the redirect leads to another resource.  Where the
    target's path and the received path stand for the same bytes, each
    escape of the received path replaces what stands for it in the
    target; the rest of the target (an extension changed, the query) is
    left as made, as is a target whose path reads as it was sent.
    """
    host = request.host_url
    if location.startswith(host + "/"):
        origin = host
        path, mark, query = location[len(origin):].partition("?")
    elif location.startswith("/") and not location.startswith("//"):
        # A path the contexts make from path_info, below the application's
        # root: the prefix it is mounted under goes in front, or the client
        # would be sent out of the application.  Made absolute when sent.
        origin = ""
        path, mark, query = location.partition("?")
        path = quote(request.script_name, safe=_PATH_SAFE) + path
        location = path + mark + query
    else:
        return location
    made = _PATH_UNIT.findall(path)
    sent = _PATH_UNIT.findall(re.split(r"[?#]", request.raw_uri, maxsplit=1)[0])
    kept = []
    for made_unit, sent_unit in zip(made, sent):
        if _unit_byte(made_unit) != _unit_byte(sent_unit):
            break
        # Only escapes are taken from what was sent: a character the
        # client sent unescaped (a raw UTF-8 byte) stays escaped as made.
        kept.append(sent_unit if len(sent_unit) == 3 else made_unit)
    restored = "".join(kept + made[len(kept):])
    return location if restored == path else origin + restored + mark + query


def raw_path_segments(request):
    """The non-empty segments of the received path below the application
    root, still percent-encoded.

    They are left encoded on purpose: ``korvane.utils.segments_substitution``
    decodes the segments it is given, and decoding twice would turn a
    client's ``%2541`` into ``A``.  An encoded slash (``%2F``) stays inside
    its segment instead of splitting it.
    """
    path = re.split(r"[?#]", request.raw_uri, maxsplit=1)[0]
    segments = [segment for segment in path.split("/") if segment]
    root_depth = len([segment for segment in request.script_name.split("/") if segment])
    return segments[root_depth:]


def track_and_authenticate(event):
    """NewRequest subscriber: give the request its status tracker, refresh
    the store, then refuse an API key that belongs to nobody, and a query
    string that carries more than one.

    The refresh comes before the key is looked up, so a key added, a right
    removed or a user deleted counts from the first request after the edit.
    A request with a wrong key would otherwise pass as the anonymous user
    and get the public data, or a bare refusal, without ever learning that
    its key is wrong.
    """
    request = event.request
    krv_settings = request.registry.settings["krv_settings"]
    request.request_status = krv_settings["request_status_registry"].new()
    krv_settings["config_storage"].begin_request()
    policy = request.registry.queryUtility(IAuthenticationPolicy)
    if policy.repeated_query_key(request):
        # Only one would be taken (the last): which user the request acts
        # as must not depend on the order of its parameters.
        raise HTTPForbidden(explanation="The request carries more than one API key.")
    if policy.request_api_key(request) and request.authenticated_userid is None:
        raise HTTPForbidden(explanation="The API key is not known to this server.")


def close_tracker(event):
    """NewResponse subscriber: record how the request ended."""
    tracker = getattr(event.request, "request_status", None)
    if tracker is not None:
        code = StatusCodes.DONE if event.response.status_code < 400 else StatusCodes.FAILED
        tracker.add_status(code)


def no_sniffing(event):
    """NewResponse subscriber: answers carry stored data (a CSV cell, an XML
    text) that a browser must not take for a page of another type."""
    event.response.headers.setdefault("X-Content-Type-Options", "nosniff")


def warnings_keeper_tween_factory(handler, registry):
    """Keep the "Warning" headers of ``request.response`` when the request
    ends in an exception.

    Pyramid drops ``request.response`` before it runs an exception view, so
    the advice a context added there (a key sent in the query string) would
    never reach a client whose request was then refused or redirected.
    """

    def keep_warnings(request):
        try:
            return handler(request)
        except Exception:
            response = request.__dict__.get("response")
            if response is not None:
                request.gathered_warnings = response.headers.getall("Warning")
            raise

    return keep_warnings


def url_problem(environ):
    """Why the request's URL cannot be read as UTF-8 text, or None.

    The path as the server decoded it (PATH_INFO, in WSGI's latin-1
    form), the path as received (its percent-escapes decoded) and every
    name and value of the query string must be valid UTF-8; the framework
    and the contexts read them as such.
    """
    try:
        environ.get("PATH_INFO", "").encode("latin-1").decode("utf-8")
    except UnicodeError:
        return "The URL path is not valid UTF-8."
    raw = environ.get("RAW_URI") or environ.get("REQUEST_URI") or ""
    try:
        unquote_to_bytes(raw.split("?", 1)[0]).decode("utf-8")
    except UnicodeError:
        return "The URL path is not valid UTF-8."
    query = environ.get("QUERY_STRING", "")
    try:
        query.encode("latin-1")
        parse_qsl(query, keep_blank_values=True, encoding="utf-8", errors="strict")
    except UnicodeError:
        return "The query string is not valid UTF-8."
    return None


def body_charset_problem(request):
    """Why the request's body cannot be decoded in the charset its
    Content-Type names (one Python has no text encoding for), or None.

    Every view that reads a body decodes it in that charset; a request
    without a body is not refused for its header.
    """
    if not request.is_body_readable:
        return None
    charset = request.charset
    try:
        # Not b"": decoding nothing looks no codec up.
        b"\x00".decode(charset)
    except LookupError:
        return "The request body's charset '{}' is not a known text encoding.".format(charset)
    except ValueError:
        pass  # a text encoding whose characters take more than one byte
    return None


#: The largest request body the server takes.  The bodies it reads are
#: definitions and queries, read whole into memory and kept in the store,
#: which must stay small enough to be shared through memcached.
MAX_BODY_BYTES = 1024 * 1024


def body_too_large(request):
    """Whether the request's body is larger than ``MAX_BODY_BYTES``."""
    if not request.is_body_readable:
        return False
    length = request.content_length
    if length is None:  # a chunked body, buffered by the server
        length = len(request.body)
    return length > MAX_BODY_BYTES


def form_problem(request):
    """Why the request's form body cannot be read, or None.

    The contexts read ``request.params``, which takes in the fields of a
    form body (a POST without a Content-Type counts as one).  The
    framework's parser refuses a form in any charset but UTF-8, fails on a
    multipart body whose boundary is missing, and gives a part without a
    name the name None, which the contexts cannot read.  It keeps what it
    parsed, so reading the form here costs nothing later.
    """
    try:
        readable = all(isinstance(name, str) for name in request.POST.keys())
    except DeprecationWarning:  # how the parser refuses another charset
        return "A form body must be sent in UTF-8."
    except ValueError:
        readable = False
    return None if readable else "The request body is not a form that can be read."


def _matching_route(request):
    mapper = request.registry.queryUtility(IRoutesMapper)
    for route in mapper.get_routes():
        if route.match(request.path_info) is not None:
            return route
    return None


def request_gate_tween_factory(handler, registry):
    """What every request passes before routing.

    - A body larger than ``MAX_BODY_BYTES`` is refused with 413, unread.
    - A URL that is not valid UTF-8, a body in a charset that has no text
      encoding here, or a form body the framework cannot parse, is refused
      with 400 (the framework, the contexts or the views would fail on it).
    - OPTIONS is answered with the Allow header of the route the path
      matches (a path no route matches goes on to its 404).
    - HEAD is served as GET and answered without the body; the response
      keeps GET's headers.
    """

    def gate(request):
        if body_too_large(request):
            raise HTTPRequestEntityTooLarge(
                explanation="The request body is larger than {} bytes, the most the server takes.".format(MAX_BODY_BYTES)
            )
        problem = url_problem(request.environ) or body_charset_problem(request) or form_problem(request)
        if problem:
            raise HTTPBadRequest(explanation=problem)
        if request.method == "OPTIONS":
            route = _matching_route(request)
            if route is not None:
                from korvane.app.routes import allowed_methods

                request.matched_route = route
                request.matchdict = route.match(request.path_info)
                response = Response(status=200)
                response.headers["Allow"] = ", ".join(allowed_methods(request))
                response.content_length = 0
                return response
        if request.method == "HEAD":
            request.environ["REQUEST_METHOD"] = "GET"
            try:
                return handler(request)
            finally:
                # The response, called by the server, leaves the body out.
                request.environ["REQUEST_METHOD"] = "HEAD"
        return handler(request)

    return gate


def includeme(config):
    from pyramid.events import NewRequest, NewResponse
    from pyramid.tweens import EXCVIEW, MAIN

    config.add_tween("korvane.app.request_setup.request_gate_tween_factory", under=EXCVIEW)
    config.add_tween(
        "korvane.app.request_setup.warnings_keeper_tween_factory",
        under="korvane.app.request_setup.request_gate_tween_factory",
        over=MAIN,
    )
    config.add_request_method(received_uri, "raw_uri", reify=True)
    config.add_request_method(raw_path_segments, "path_segments", reify=True)
    config.add_subscriber(track_and_authenticate, NewRequest)
    config.add_subscriber(close_tracker, NewResponse)
    config.add_subscriber(no_sniffing, NewResponse)
