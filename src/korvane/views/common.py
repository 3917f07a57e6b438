"""Small pieces the demo's views share."""

from pyramid.httpexceptions import HTTPBadRequest, HTTPNotImplemented

from korvane.utils import get_url_param

#: Record fields no view ever shows.
SECRET_FIELDS = frozenset({"password", "apikey", "apikey_hash"})


def shown_fields(record):
    """A record's fields without its secrets."""
    return {name: value for name, value in record.to_dict().items() if name not in SECRET_FIELDS}


def read_only(action):
    """The refusal of a change the demo does not make."""
    return HTTPNotImplemented(
        explanation="{} is not implemented: the demo server is read-only.".format(action)
    )


def strip_extension(segments, extension):
    """``segments`` with the format extension taken off the last one,
    where the path carried one (``DE.csv`` is the value ``DE``)."""
    segments = list(segments)
    if extension and segments and segments[-1].endswith("." + extension):
        segments[-1] = segments[-1][: -len(extension) - 1]
    return segments


def name_value_pairs(segments):
    """A mapping from alternating name and value segments.  A name without
    a value, or a name given twice, is the client's error."""
    if len(segments) % 2:
        raise HTTPBadRequest(explanation="Parameter '{}' has no value.".format(segments[-1]))
    pairs = {}
    for name, value in zip(segments[::2], segments[1::2]):
        if name in pairs:
            raise HTTPBadRequest(explanation="Parameter '{}' is given twice.".format(name))
        pairs[name] = value
    return pairs


def requested_limit(request):
    """The "limit" parameter as a row count, or None."""
    limit = get_url_param(request, "limit", None, int)
    if limit is not None and limit < 0:
        raise HTTPBadRequest(explanation="Query parameter 'limit' must not be negative.")
    return limit
