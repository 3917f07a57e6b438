"""The route predicate that guards the data-discovery URL service.

Its context reads the JSON body without checking it: a missing or
malformed body, or a "path" too short to name a database, would end in a
server error.  The predicate lets only well-formed requests reach it; the
rest fall through to a route that says what is wrong.
"""

from korvane.utils import split_path
from korvane.views.common import body_problem


def dd_url_body_problem(request):
    """Why ``request`` cannot go to the parser/builder context, or None."""
    if request.method != "POST":
        return "method"
    try:
        text = request.body.decode(request.charset or "utf-8")
    except (UnicodeError, LookupError):
        # Not only bytes that are no text in the charset: some codecs
        # ("undefined", "punycode") fail with other errors of their own.
        return "The request body must be JSON in UTF-8."
    problem = body_problem(text)
    if problem:
        return problem
    body = request.json_body
    if not isinstance(body, dict):
        return "The request body must be a JSON object."
    if "parse" in request.path:
        path = body.get("path")
        if not isinstance(path, str) or len(split_path(path)[0]) < 2:
            return "Member 'path' must be a data-discovery path such as /dd/demo/customers."
    else:
        database = body.get("database")
        if database is not None and not isinstance(database, str):
            return "Member 'database' must be a string."
    return None


class DDURLBodyPredicate:
    def __init__(self, value, config):
        self.value = bool(value)

    def text(self):
        return "dd_url_body = {}".format(self.value)

    phash = text

    def __call__(self, info, request):
        return (dd_url_body_problem(request) is None) == self.value


def includeme(config):
    config.add_route_predicate("dd_url_body", DDURLBodyPredicate)
