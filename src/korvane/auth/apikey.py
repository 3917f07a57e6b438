"""Authentication by API key.

A client identifies itself with the API key of a user record, sent in an
HTTP header or, where the deployment allows it, as a query parameter.  An
application id may travel alongside the key; it names the calling program,
not the user, and never stands in for a key.
"""

from pyramid.interfaces import IAuthenticationPolicy
from pyramid.security import Authenticated, Everyone
from zope.interface import implementer


@implementer(IAuthenticationPolicy)
class ApikeyAuthenticationPolicy:
    """Identify the user whose record carries the API key of the request.

    ``users_getter(request)`` returns the current mapping of user id to
    user record (for instance ``lambda request: storage.users``); it is
    called on every lookup, so a refreshed store is seen at once.  A record
    matches when its ``apikey`` equals the key the request carries; records
    without a key never match.

    The key is read from the header ``header_name`` first and, when
    ``allow_query_string`` is true, from the query parameter
    ``apikey_name``.  A key names its user outright, so the authenticated
    and the unauthenticated user id are the same.
    """

    def __init__(
        self,
        users_getter,
        apikey_name="apikey",
        appid_name="appid",
        header_name="X-API-Key",
        allow_query_string=True,
    ):
        self.users_getter = users_getter
        self.apikey_name = apikey_name
        self.appid_name = appid_name
        self.header_name = header_name
        self.allow_query_string = allow_query_string

    @staticmethod
    def find_api_key(params, apikey_name, appid_name):
        """Return the API key carried in ``params``, or None.

        ``params`` is a mapping of request parameters (``request.GET`` for
        the query string).  The key is the value under ``apikey_name``; an
        empty value counts as no key.  ``appid_name`` names the application
        id parameter, which on its own does not make a key; when both names
        are the same, the value cannot be told apart from an application id
        and is not taken as a key.
        """
        if not apikey_name or apikey_name == appid_name:
            return None
        return params.get(apikey_name) or None

    def request_api_key(self, request):
        """Return the API key of ``request`` from the header or, if allowed,
        the query string; None when it carries none."""
        key = request.headers.get(self.header_name)
        if key:
            return key
        if self.allow_query_string:
            return self.find_api_key(request.GET, self.apikey_name, self.appid_name)
        return None

    def unauthenticated_userid(self, request):
        key = self.request_api_key(request)
        if key is None:
            return None
        for user_id, record in self.users_getter(request).items():
            if record.get("apikey") and record.get("apikey") == key:
                return user_id
        return None

    def authenticated_userid(self, request):
        return self.unauthenticated_userid(request)

    def effective_principals(self, request):
        principals = [Everyone]
        user_id = self.authenticated_userid(request)
        if user_id is not None:
            principals += [Authenticated, user_id]
        return principals

    def remember(self, request, userid, **kw):
        """Keys are sent with every request: there is nothing to remember."""
        return []

    def forget(self, request):
        """Keys are sent with every request: there is nothing to forget."""
        return []
