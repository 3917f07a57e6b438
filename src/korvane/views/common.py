"""Small pieces the demo's views share."""

import json
import re

from pyramid.httpexceptions import HTTPBadRequest, HTTPNotImplemented

from korvane.constants import ADMIN_USER_ID
from korvane.store_writer import NESTED_TOO_DEEPLY, json_problem

#: Record fields no view ever shows.
SECRET_FIELDS = frozenset({"password", "apikey", "apikey_hash"})


def shown_fields(record):
    """A record's fields without its secrets."""
    return {name: value for name, value in record.to_dict().items() if name not in SECRET_FIELDS}


def may_browse(context, db_id):
    """Whether the caller of ``context`` may browse database ``db_id`` at
    ``/dd/<db>``: the test the data-discovery context applies (the
    administrator reaches every database, anybody else, the anonymous
    user included, those of their own list)."""
    if context.authenticated_user_id == ADMIN_USER_ID:
        return True
    return db_id in (getattr(context.authenticated_user_config, "databases", None) or ())


def browsable_databases(context):
    """The ids of the defined databases the caller may browse, sorted.

    Not the context's ``user_db_ids``: that counts every database for
    those who administer users or credentials, and the databases whose
    access lists name the caller, which ``/dd/<db>`` does not open."""
    return sorted(db_id for db_id in context.user_db_ids if may_browse(context, db_id))


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


#: The largest row count a request may ask for: what the database
#: driver takes as a fetch size.
MAX_LIMIT = 2**31 - 1
#: The characters the server's URL builders escape in a path segment.
ESCAPED_CHARS = ("/", ".")

_DIGITS = re.compile(r"[0-9]{1,10}")


#: What a row limit must be, for messages.
LIMIT_RULE = "a whole number from 0 to {}".format(MAX_LIMIT)


def parse_limit(text):
    """``text`` as a row count, or None when it is not one: plain decimal
    digits (no sign, blanks or other numerals) up to ``MAX_LIMIT``."""
    if not _DIGITS.fullmatch(text) or int(text) > MAX_LIMIT:
        return None
    return int(text)


def requested_limit(request):
    """The "limit" parameter as a row count (0 for no rows), or None.

    It must be a row count (see ``parse_limit``); otherwise 400 names the
    parameter.
    """
    if "limit" not in request.GET:
        return None
    limit = parse_limit(request.GET["limit"])
    if limit is None:
        raise HTTPBadRequest(explanation="Query parameter 'limit' must be {}.".format(LIMIT_RULE))
    return limit


#: How deeply a JSON request body may nest.  The bodies the server reads
#: are flat; the bound keeps a hostile body from exhausting the stack.
MAX_BODY_DEPTH = 32
NOT_JSON = "The request body must be JSON."
TOO_DEEP = "The request body is nested too deeply (at most {} levels).".format(MAX_BODY_DEPTH)


def parsed_body(text):
    """``(value, None)`` for a usable JSON request body ``text``, else
    ``(None, why)``.  Usable: JSON nested at most ``MAX_BODY_DEPTH`` deep
    whose strings are all valid Unicode (JSON escapes can write lone
    surrogates, which no encoder takes)."""
    try:
        value = json.loads(text)
    except RecursionError:
        return None, TOO_DEEP
    except ValueError:
        return None, NOT_JSON
    found = json_problem(value, MAX_BODY_DEPTH)
    if found is not None:
        return None, TOO_DEEP if found[1] == NESTED_TOO_DEEPLY else "The request body holds text that is not valid Unicode."
    return value, None


def body_problem(text):
    """Why ``text`` is no usable JSON request body (see ``parsed_body``), or None."""
    return parsed_body(text)[1]
