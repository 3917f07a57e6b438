"""Authentication by API key.

A client identifies itself with the API key of a user record, sent in an
HTTP header or, where the deployment allows it, as a query parameter.  An
application id may travel alongside the key; it names the calling program,
not the user, and never stands in for a key.

The store keeps only a hash of each key (``apikey_hash``); a plain
``apikey`` written into the store file by hand is still accepted until the
next write hashes it.  Keys are compared in constant time.
"""

import hashlib
import hmac
import secrets

from pyramid.interfaces import IAuthenticationPolicy
from pyramid.security import Authenticated, Everyone
from zope.interface import implementer


#: Marks the hash scheme in stored hashes, so that a later scheme can be told apart.
HASH_PREFIX = "sha256:"


def hash_apikey(key):
    """The stored form of ``key``.  Keys made by the server carry 256 random
    bits, so a plain digest is enough: there is no password to guess."""
    return HASH_PREFIX + hashlib.sha256(key.encode("utf-8")).hexdigest()


def new_apikey():
    """A fresh API key, made from the system's secure random source."""
    return secrets.token_urlsafe(32)


def stored_key_hash(record):
    """The hash of a user record's key, or None when it has no key.

    A plain key beside a hash was written by hand after the last write (every
    write replaces plain keys by their hashes): it is the newer key, and the
    one the next write keeps."""
    plain = record.get("apikey")
    return hash_apikey(plain) if plain else record.get("apikey_hash") or None


def key_matches(key_hash, record):
    """Whether ``key_hash`` (from ``hash_apikey``) is the hash of the
    record's key, compared in constant time."""
    stored = stored_key_hash(record)
    if not stored or not isinstance(stored, str):
        return False
    return hmac.compare_digest(key_hash.encode("utf-8"), stored.encode("utf-8"))


@implementer(IAuthenticationPolicy)
class ApikeyAuthenticationPolicy:
    """Identify the user whose record carries the API key of the request.

    ``users_getter(request)`` returns the current mapping of user id to
    user record (for instance ``lambda request: storage.users``); it is
    called on every lookup, so a refreshed store is seen at once.  A record
    matches when its key hash (or hand-written plain ``apikey``) is that of
    the key the request carries; records without a key never match.

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
        # Asked first whether the name is there: WebOb's parameter mappings
        # answer a missing name's get() by raising and catching KeyError,
        # five times the cost, on nearly every request.
        if not apikey_name or apikey_name == appid_name or apikey_name not in params:
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

    def repeated_query_key(self, request):
        """Whether the query string names the API key parameter more than
        once where a key may come from it.  (Two key headers reach the
        application joined into one value, which matches no key.)"""
        if not self.allow_query_string or not self.apikey_name or self.apikey_name == self.appid_name:
            return False
        return len(request.GET.getall(self.apikey_name)) > 1

    def unauthenticated_userid(self, request):
        key = self.request_api_key(request)
        if key is None:
            return None
        key_hash = hash_apikey(key)
        # Every record is compared, so the time taken does not tell how far
        # down the list a key's owner is.
        found = None
        for user_id, record in self.users_getter(request).items():
            if key_matches(key_hash, record) and found is None:
                found = user_id
        return found

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
