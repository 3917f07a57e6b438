"""Fixed values shared by the server's modules.

Every name here is a plain immutable value, safe to import anywhere.
"""

#: HTTP methods a stored query may be enabled for.
STD_HTTP_METHODS = ("GET", "POST", "PUT", "DELETE")

#: Data-discovery defaults, used when neither the query string nor the
#: deployment settings give a value of their own.
DEFAULT_SEPARATOR = ","
DEFAULT_WILDCARD = "*"
DEFAULT_NULL_PLACEHOLDER = "null"

#: Every data format the server knows by name.  Which of them a given
#: resource serves is decided per resource and per method.
DATA_FORMATS = ("html", "json", "xml", "xsd", "csv", "txt")

#: Media types of request bodies the server can read, by the format name
#: they stand for.
BODY_MEDIA_TYPES = {
    "application/json": "json",
    "application/xml": "xml",
    "text/xml": "xml",
    "text/csv": "csv",
}

#: Substitute texts a client writes in a URL path segment in place of a
#: character that cannot stand there, mapped to that character.
DEFAULT_URL_SUBSTITUTION = {"$2F": "/", "$2E": "."}

#: Texts a client may declare as substitutes in the query string start
#: with this prefix (see ``korvane.utils.get_url_substitution_params``).
SUBSTITUTE_PREFIX = "$"

#: Fixed user ids: the administrator, and the anonymous user whose grants
#: apply to everybody.
ADMIN_USER_ID = "admin"
PUBLIC_USER_ID = "public"
