"""What the server adds to each request before a root factory sees it.

The contexts of ``korvane.roots`` read three things Pyramid does not
provide: ``request.raw_uri`` (the URI as the client sent it, for the
repeated-slash redirect), ``request.path_segments`` (the path split into
segments, for the routes whose parameters travel in the path) and
``request.request_status`` (the request's progress tracker).
"""

import re

from pyramid.httpexceptions import HTTPForbidden
from pyramid.interfaces import IAuthenticationPolicy

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
                return uri
    return request.path_qs


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
    the store, then refuse an API key that belongs to nobody.

    The refresh comes before the key is looked up, so a key added, a right
    removed or a user deleted counts from the first request after the edit.
    A request with a wrong key would otherwise pass as the anonymous user
    and get the public data, or a bare refusal, without ever learning that
    its key is wrong.
    """
    request = event.request
    krv_settings = request.registry.settings["krv_settings"]
    request.request_status = krv_settings["request_status_registry"].new()
    krv_settings["config_storage"].pull(from_memcache=True)
    policy = request.registry.queryUtility(IAuthenticationPolicy)
    if policy.request_api_key(request) and request.authenticated_userid is None:
        raise HTTPForbidden(explanation="The API key is not known to this server.")


def close_tracker(event):
    """NewResponse subscriber: record how the request ended."""
    tracker = getattr(event.request, "request_status", None)
    if tracker is not None:
        code = StatusCodes.DONE if event.response.status_code < 400 else StatusCodes.FAILED
        tracker.add_status(code)


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


def includeme(config):
    from pyramid.events import NewRequest, NewResponse
    from pyramid.tweens import EXCVIEW, MAIN

    config.add_tween(
        "korvane.app.request_setup.warnings_keeper_tween_factory", under=EXCVIEW, over=MAIN
    )
    config.add_request_method(received_uri, "raw_uri", reify=True)
    config.add_request_method(raw_path_segments, "path_segments", reify=True)
    config.add_subscriber(track_and_authenticate, NewRequest)
    config.add_subscriber(close_tracker, NewResponse)
