# The resource classes of the korvane server written in plain Python.
#
# `korvane.roots` is the compiled module the server uses; this twin does the
# same steps in the same order, reads the same names from its own globals (so
# the same `mock.patch("korvane._pyroots.NAME")` apply) and raises the same
# exceptions with the same texts.  The test suite runs against both, the
# differential fuzzing compares them, and the benchmarks measure the compiled
# module against it.  It is not a fallback: nothing imports it in production.
import ctypes as _ctypes
import itertools
import logging
import os
from urllib.parse import urlparse, urlencode, quote
from pyramid.settings import asbool
from pyramid.httpexceptions import (
    HTTPForbidden,
    HTTPFound,
    HTTPMethodNotAllowed,
    HTTPNotFound,
    HTTPNotImplemented,
    HTTPMovedPermanently,
    HTTPPermanentRedirect,
)
from pyramid.security import DENY_ALL, Allow, Authenticated, Deny, Everyone, has_permission, ALL_PERMISSIONS
from korvane.auth.apikey import ApikeyAuthenticationPolicy
from korvane.constants import STD_HTTP_METHODS, DEFAULT_SEPARATOR, DEFAULT_WILDCARD, DEFAULT_NULL_PLACEHOLDER
from korvane.exceptions import HTTPUnsupportedFormat
from korvane.utils import (
    get_model,
    get_reversed_url_substitution_params,
    segments_substitution,
    get_url_param,
    get_url_substitution_params,
    replace_patterns,
    requested_data_format,
    get_authenticated_user,
    remove_multiple_url_slashes,
    split_path,
)
from korvane.request_status import StatusCodes
from korvane.views.utils import gui_response_exception

log = logging.getLogger("korvane")

# Where a type object holds its C-level name: after the header of a
# variable-size object.
_TP_NAME_OFFSET = object.__basicsize__ + _ctypes.sizeof(_ctypes.c_ssize_t)
# What a path segment may hold unescaped, besides letters, digits and "_.-~".
_PATH_SAFE = "/:@!$&'()*+,;="
_MISSING = object()


def _type_name(obj):
    # The type's C-level name, as the interpreter's own messages print it
    # with "%.200s": types made in C carry their module in it
    # ("collections.OrderedDict", "time.struct_time"), classes do not; cut
    # at 200 bytes, a character cut in two read as U+FFFD.  Nothing in
    # Python tells a class from a type made in C at run time, so the name is
    # read where the type object holds it, after its header.
    raw = _ctypes.c_char_p.from_address(id(type(obj)) + _TP_NAME_OFFSET).value
    return raw[:200].decode("utf-8", "replace")


def _configured_record(mapping, key):
    # `mapping[key]` with a missing key told apart from a stored None.
    if type(mapping) is dict:
        return mapping.get(key, _MISSING)
    try:
        return mapping[key]
    except KeyError:
        return _MISSING


def _grantee(user_id):
    # The public user is anonymous: its grants must reach everybody.
    return Everyone if user_id == "public" else Authenticated


def _holds_right(user_config, collection, *rights):
    if not user_config:
        return False
    held = getattr(user_config, collection)
    for right in rights:
        if right in held:
            return True
    return False


def _user_ids_named(record, *fields):
    user_ids = set()
    for field in fields:
        user_ids.update(getattr(record, field))
    return user_ids


def _collect_executable_queries(querydefs, user_id, query_configs):
    # A snapshot of the pairs: membership tests may run other code.
    for query_id, query_config in list(querydefs.items()):
        if user_id in query_config.execute:
            query_configs[query_id] = query_config


def _report_request_metadata(tracker, self, *attributes):
    update_metadata = tracker.update_metadata
    metadata = {}
    for attribute in attributes:
        metadata[attribute] = getattr(self, attribute)
    metadata["user_id"] = self.authenticated_user_config.user_id
    update_metadata(metadata)


def check_apikey_querystring(krv_settings: "dict", request):
    if type(krv_settings) is not dict:
        raise TypeError(
            "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
            % ("krv_settings", "dict", _type_name(krv_settings))
        )
    apikey_name = krv_settings.get("apikey_name")
    appid_name = krv_settings.get("appid_name")
    if not apikey_name or not appid_name:
        log.warning(
            "Couldn't determine apikey param name. apikey_name = '%s', appid_name = '%s'."
            % (apikey_name, appid_name)
        )
        return None
    request_api_key = ApikeyAuthenticationPolicy.find_api_key(request.GET, apikey_name, appid_name)
    if not request_api_key:
        return None
    if not krv_settings.get("allow_apikey_in_query_string", True):
        raise HTTPForbidden(
            explanation="Authentication through query parameter denied, due to "
            "'allow_apikey_in_query_string' setting."
        )
    request.response.headers.add(
        "Warning",
        "Authentication through query parameters is not recommended. Consider using HTTP headers instead.",
    )
    return None


class RootContext:
    url_segments = None
    format = None
    request_extension = ""
    db_id = None
    db_config = None
    query_id = None
    query_config = None
    authenticated_user_id = None
    authenticated_user_config = None
    settings = None
    request = None

    def __init__(self, request):
        self.request = request
        self.settings = request.registry.settings["krv_settings"]
        self.ini_settings = request.registry.settings
        self.krv_settings = request.registry.settings["krv_settings"]
        self.auth_settings = request.registry.settings["auth_settings"]
        self.config_storage = self.settings["config_storage"]
        self.process_registry = self.settings["process_registry"]
        check_apikey_querystring(self.krv_settings, request)
        self.authenticated_user_id, self.authenticated_user_config = get_authenticated_user(
            request, self.config_storage.users
        )
        self.reversed_url_substitution = get_reversed_url_substitution_params(
            request.params, self.settings["url_substitution"]
        )
        # Static files do not read the store, so they skip its refresh.
        if not request.path.startswith("/static/"):
            self.config_storage.pull(from_memcache=True)

    def build_escaped_url(self, segments, chars_to_replace, query_string_data=None):
        escaped = []
        if query_string_data is None:
            query_string_data = {}
        for segment in segments:
            if not isinstance(segment, str):
                segment = str(segment)
            for pattern in chars_to_replace:
                # A dot is only escaped where it would move up or stay in the
                # path: in a segment that is exactly "." or "..".
                if pattern == "." and not (segment == ".." or segment == "."):
                    continue
                if pattern in segment:
                    substitute = self.reversed_url_substitution[pattern]
                    segment = segment.replace(pattern, substitute)
                    query_string_data[substitute] = pattern
            escaped.append(segment)
        return escaped, query_string_data

    @property
    def user_db_ids(self) -> "frozenset":
        user_id = self.authenticated_user_id
        if not user_id:
            return frozenset()
        if user_id == "admin":
            return frozenset(self.config_storage.databases.keys())
        user_config = self.authenticated_user_config
        # Whoever may create user definitions or credentials, or edit some
        # user's definition, administers users and so sees every database.
        if "create" in user_config.userdef or "create" in user_config.dbcreds:
            return frozenset(self.config_storage.databases.keys())
        for other in self.config_storage.users.values():
            if user_id in other.edit:
                return frozenset(self.config_storage.databases.keys())
        reachable = set()
        for db_id, db_config in self.config_storage.databases.items():
            if db_id in user_config.databases:
                reachable.add(db_id)
                continue
            allowed_users = set()
            allowed_users.update(db_config.read)
            allowed_users.update(db_config.write)
            allowed_users.update(db_config.execute)
            if user_id in allowed_users:
                reachable.add(db_id)
        return frozenset(reachable)


class DefaultRoot(RootContext):
    def __init__(self, request):
        RootContext.__init__(self, request)
        # Route placeholders such as db_id become context attributes.
        for key, value in (request.matchdict or {}).items():
            setattr(self, key, value)
        # Set after the route match, so that a route key cannot replace it.
        self.__acl__ = [(Allow, Authenticated, "authenticated"), (Allow, Everyone, "view")]


def _record_status(request, code_name):
    # Only requests that carry a status tracker report their progress.
    try:
        tracker = request.request_status
    except AttributeError:
        return
    tracker.add_status(getattr(StatusCodes, code_name))


class RootBasic(RootContext):
    format_redirect_map = {"xsd": ("xml", "schema")}

    def __init__(self, request):
        RootContext.__init__(self, request)
        # No service at all until the administrator account is protected.
        if not self.config_storage.users["admin"].password:
            raise HTTPForbidden(explanation="Admin user password has to be set.")
        _record_status(request, "CHECK_REQUEST_AUTH")
        self.acl_deny()
        self.process_registry.execute()
        self.check_authenticated_user(request)
        _record_status(request, "REQUEST_PREPROCESS")

        params = request.params
        self.is_schema_request = "schema" in params
        self.validate_upload = True
        # Only uploads are validated on request; a bare "validate" parameter
        # or a true word turns validation on, any other value off.
        if "validate" in params:
            method = request.method
            if method == "PUT" or method == "POST":
                flag = asbool(params.get("validate"))
                self.validate_upload = flag
                if not flag:
                    self.validate_upload = params["validate"] == ""

        # Refusals above come first: an unauthenticated request to a URI with
        # repeated slashes is refused, not redirected.
        host_url = request.host_url
        raw_uri = request.raw_uri
        full_path = str(host_url) + str(raw_uri)
        path = host_url + remove_multiple_url_slashes(raw_uri)
        if path != full_path:
            raise HTTPPermanentRedirect(location=path, headers={"Warning": "Redirected to a fixed path"})

    def check_authenticated_user(self, request):
        # Identity tests against None: an empty user id with a record passes.
        if self.authenticated_user_id is None or self.authenticated_user_config is None:
            raise HTTPForbidden()

    def acl_allow(self):
        self.__acl__ = [(Allow, Everyone, ALL_PERMISSIONS)]

    def acl_deny(self):
        self.__acl__ = [DENY_ALL]

    def _check_db_access_permissions(self):
        # The administrator reaches every database; nothing else is read.
        if self.authenticated_user_id == "admin":
            return
        if self.db_id in self.authenticated_user_config.get("databases"):
            return
        message = 'User "%s" has no access permissions configured for the "%s" database.' % (
            self.authenticated_user_id,
            self.db_id,
        )
        log.debug(message)
        raise HTTPForbidden(explanation=message)

    def _get_db_limit_url(self, request, db_limit):
        # Assigning into the copy replaces every "limit" value and moves the
        # key last, so the client's other parameters keep their order.
        request_params = request.params.copy()
        request_params.update({"limit": str(db_limit)})
        return request.path_url + "?" + urlencode(request_params)

    def _check_db_limit_overflow(self, request):
        # Only reads are limited; writes are never redirected.
        if request.method != "GET":
            return
        key = "db.%s.limit" % (self.db_id,)
        db_limit = request.registry.settings.get(key)
        limit = get_url_param(request, "limit", None, int)
        # The configured value is a default, not a maximum.
        if db_limit is not None and limit is None:
            raise HTTPFound(location=self._get_db_limit_url(request, db_limit))

    def redirect_request_format(self, request, response_format):
        target = self.format_redirect_map[response_format]
        target_format = target[0]
        target_qs = target[1]
        redir_url = request.path_info
        suffix = "." + response_format
        if redir_url.endswith(suffix):
            redir_url = redir_url[: len(redir_url) - len(suffix)]
        # The path arrives decoded: escaped again, a client's "%2541" or
        # "%0D%0A" goes back into the Location header as it came, not as
        # "%41" or a line break, and characters beyond Latin-1 do not break
        # the header.
        redir_url = quote(redir_url, _PATH_SAFE)
        redir_url = redir_url + "." + target_format
        # The target parameter is appended even when the query already holds it.
        query_string = request.query_string
        if query_string:
            redir_url = redir_url + "?" + query_string
            if target_qs:
                redir_url = redir_url + "&" + target_qs
        elif target_qs:
            redir_url = redir_url + "?" + target_qs
        message = "%s format is deprecated.  Use %s format with '%s' query string parameter for future requests." % (
            response_format,
            target_format,
            target_qs,
        )
        log.warning(message)
        raise HTTPMovedPermanently(location=redir_url, headers={"Warning": message})


class DataFormatRoot(RootBasic):
    formats = {
        "GET": {"supported": [], "illegal": [], "not_implemented": []},
        "PUT": {"supported": [], "illegal": [], "not_implemented": []},
        "POST": {"supported": [], "illegal": [], "not_implemented": []},
        "DELETE": {"supported": [], "illegal": [], "not_implemented": []},
    }

    def __init__(self, request):
        RootBasic.__init__(self, request)
        self.response_format, self.request_format, self.request_extension = requested_data_format(
            request, self.settings["default_extension"]
        )
        # HTML is the browser interface's business: no format check applies.
        if self.response_format == "html":
            raise gui_response_exception(self.request)
        # A stored query redirects deprecated formats itself, after it has
        # authorised the request; every other class redirects here.
        if type(self) is not ExecuteQuery:
            redirect_map = self.format_redirect_map
            response_format = self.response_format
            if response_format in redirect_map:
                self.redirect_request_format(request, response_format)
        self.check_data_format(request.method, self.response_format)

    def check_data_format(self, request_method, response_format, check_ext=True):
        format_ = self.formats.get(request_method, {})
        supported = format_.get("supported") or []
        illegal = format_.get("illegal") or []
        not_implemented = format_.get("not_implemented") or []
        # Supported is tested first, so a format listed both ways is accepted.
        if response_format in supported:
            # A supported format asked for on a path that carries some other
            # extension addresses nothing this route serves.
            path = urlparse(self.request.path).path
            extension = os.path.splitext(path)[1].lstrip(".")
            if check_ext and extension and extension not in supported:
                raise HTTPNotFound()
            return response_format
        if response_format not in illegal and response_format in not_implemented:
            raise HTTPNotImplemented(
                explanation="Format '%s' for %s not implemented yet." % (response_format, request_method)
            )
        # Illegal, or named by no list (including every format of a method
        # the table does not name): refused the same way.
        raise HTTPUnsupportedFormat(response_format)


class Querystudio(DataFormatRoot):
    formats = {"GET": {"supported": ["html"], "illegal": ["txt", "xml", "xsd", "json", "csv"]}}

    def __init__(self, request):
        super(Querystudio, self).__init__(request)
        self.query_id = query_id = (request.matchdict or {}).get("query_id")
        # An id the store does not hold opens the studio on a new query rather
        # than refusing: the studio is also where queries are created.
        self.query_config = self.config_storage.querydefs.get(query_id)
        self._set_acl()

    def _set_acl(self):
        user_id = self.authenticated_user_id
        if user_id == "admin":
            self.__acl__ = [(Allow, "admin", ("querystudio_editor", "create_query"))]
            return
        acl = []
        self.__acl__ = acl
        user_config = self.authenticated_user_config
        if _holds_right(user_config, "querydef", "create"):
            acl.append((Allow, Everyone, "create_query"))
        query_config = self.query_config
        if not query_config:
            return
        # On an existing query only the right to edit that query counts: the
        # right to create queries is dropped along with the list that held it.
        named_users = _user_ids_named(query_config, "execute", "read", "write")
        acl = []
        self.__acl__ = acl
        if not user_config:
            acl.append((Deny, Everyone, ("querystudio_editor", "create_query")))
            return
        grantee = _grantee(user_id)
        if "public" in named_users or user_id in named_users:
            acl.append((Allow, grantee, "querystudio_editor"))


class DBModel(DataFormatRoot):
    formats = {"GET": {"supported": ["html", "xml", "xsd", "json", "csv"], "illegal": ["txt"]}}

    def __init__(self, request):
        super(DBModel, self).__init__(request)
        self.db_id = db_id = (request.matchdict or {}).get("db_id")
        self.db_config = db_config = self.config_storage.databases.get(db_id)
        if db_config is None:
            raise HTTPNotFound(explanation="Database %s was not found." % (db_id,))
        user_id = self.authenticated_user_id
        if user_id == "admin":
            self.__acl__ = [(Allow, "admin", "view_model")]
            return
        # Only the user's own list of databases opens a model; being allowed
        # to query a database does not.
        user_config = self.authenticated_user_config
        if user_config and db_id in user_config.databases:
            self.__acl__ = [(Allow, _grantee(user_id), "view_model")]
            return
        self.__acl__ = [(Deny, Everyone, "view_model")]


class DBModels(DataFormatRoot):
    formats = {"GET": {"supported": ["html", "xml", "xsd", "json", "csv"], "illegal": ["txt"]}}

    def __init__(self, request):
        super(DBModels, self).__init__(request)
        self.extension = (request.matchdict or {}).get("extension")
        self.db_configs = db_configs = {}
        self.admin_for_dbs = admin_for_dbs = []
        user_id = self.authenticated_user_id
        if user_id == "admin":
            # The administrator sees every model, so the views get the
            # store's own mapping rather than a copy of all of it.
            databases = self.config_storage.databases
            self.db_configs = databases
            self.admin_for_dbs = list(databases.keys())
            self.__acl__ = [(Allow, "admin", "view_modelslist")]
            return
        user_config = self.authenticated_user_config
        if user_config:
            databases = self.config_storage.databases
            for db_id, db_config in list(databases.items()):
                if db_id not in user_config.databases:
                    continue
                db_configs[db_id] = databases[db_id]
                if user_id in db_config.execute:
                    admin_for_dbs.append(db_id)
            self.__acl__ = [(Allow, _grantee(user_id), "view_modelslist")]
            return
        self.__acl__ = [(Deny, Everyone, "view_modelslist")]


class QuerydefsList(DataFormatRoot):
    formats = {"GET": {"supported": ["json", "html"], "illegal": ["xml", "txt", "xsd", "csv"]}}

    def __init__(self, request):
        super(QuerydefsList, self).__init__(request)
        self.query_configs = query_configs = {}
        self.executable_queries = executable_queries = []
        self.viewable_queries = viewable_queries = []
        user_id = self.authenticated_user_id
        self.__acl__ = self.get_acl(user_id, self.authenticated_user_config)
        if user_id == "admin":
            # The administrator lists every query, so the views get the
            # store's own mapping rather than a copy of all of it.
            self.query_configs = query_configs = self.config_storage.querydefs
            self.executable_queries = executable_queries = list(query_configs.keys())
            self.viewable_queries = viewable_queries = list(query_configs.keys())
        # The walk runs for the administrator too: the lists above are then
        # extended by the queries that name "admin", as the views expect.
        if not request.has_permission("view_querydefslist", self):
            return
        for query_id, query_config in list(self.config_storage.querydefs.items()):
            if user_id not in itertools.chain(query_config.execute, query_config.read, query_config.write):
                continue
            query_configs[query_id] = query_config
            if user_id in query_config.execute:
                executable_queries.append(query_id)
            if user_id in itertools.chain(query_config.read, query_config.write):
                viewable_queries.append(query_id)

    @staticmethod
    def get_acl(authenticated_user_id, authenticated_user_config):
        if authenticated_user_id == "admin":
            return [(Allow, "admin", "view_querydefslist")]
        # "create" is tested only when "view" is absent.
        if _holds_right(authenticated_user_config, "querydef", "view", "create"):
            return [(Allow, Everyone, "view_querydefslist")]
        return [(Deny, Everyone, "view_querydefslist")]


class Querydef(DataFormatRoot):
    formats = {
        "GET": {"supported": ["json", "xml", "html"], "illegal": ["txt", "xsd", "csv"]},
        "PUT": {"supported": ["json"], "illegal": ["html", "xsd", "txt", "xml", "csv"]},
        "DELETE": {"supported": ["html", "json", "xml", "csv"], "illegal": ["xsd", "txt"]},
    }

    def __init__(self, request):
        super(Querydef, self).__init__(request)
        matchdict = request.matchdict or {}
        user_id = self.authenticated_user_id
        self.is_admin = is_admin = user_id == "admin"
        self.query_id = query_id = matchdict.get("query_id")
        self.query_config = query_config = self.config_storage.querydefs.get(query_id)
        # The user's record is read again from the refreshed store.
        self.authenticated_user_config = user_config = self.config_storage.users.get(user_id)
        if query_config is None:
            raise HTTPNotFound()
        self.acl_deny()
        rights = user_config.querydef
        # What the comparison gave is tested for its truth once.
        is_admin = True if is_admin else False
        if not (is_admin or user_config):
            return
        # Each right comes from the query's own lists, except for the
        # administrator, who holds them all.
        if is_admin:
            viewable = editable = executable = True
        else:
            viewable = user_id in query_config.read
            editable = user_id in query_config.write
            executable = user_id in query_config.execute
        self.viewable = viewable
        self.editable = editable
        self.executable = executable
        # Without the right to view query definitions a user may still run
        # the queries that name them, but neither read nor change them.
        if not is_admin and "view" not in rights:
            viewable = editable = False
            self.viewable = False
            self.editable = False
        self.only_executable = executable and not viewable and not editable
        if viewable or editable or executable:
            self.acl_allow()


def _set_creation_acl(self, rights, permission):
    # The requester's record is read afresh from the store; the
    # administrator, and whoever holds "create" in `rights`, may create.
    user_id = self.authenticated_user_id
    self.authenticated_user_config = user_config = self.config_storage.users.get(user_id)
    if user_id == "admin":
        self.__acl__ = [(Allow, "admin", permission)]
        return
    if _holds_right(user_config, rights, "create"):
        self.__acl__ = [(Allow, Everyone, permission)]
    else:
        self.__acl__ = [(Deny, Everyone, permission)]


class NewQuerydef(DataFormatRoot):
    formats = {
        "GET": {"supported": ["html"], "illegal": ["txt", "xsd", "xml", "csv"]},
        "POST": {"supported": ["json"], "illegal": ["txt", "xsd", "html", "xml", "csv"]},
    }

    def __init__(self, request):
        super(NewQuerydef, self).__init__(request)
        _set_creation_acl(self, "querydef", "create_query")


def _grant_if_named(acl, user_ids, user_id, grantee, permission):
    if user_id in user_ids or "public" in user_ids:
        acl.append((Allow, grantee, permission))


class DBDef(DataFormatRoot):
    formats = {
        "GET": {"supported": ["json", "html"], "illegal": ["txt", "xml", "xsd", "csv"]},
        "PUT": {"supported": ["json"], "illegal": ["html", "xsd", "txt", "xml", "csv"]},
        "DELETE": {"supported": ["html", "json", "xml", "csv"], "illegal": ["xsd", "txt"]},
    }

    @property
    def db_config(self):
        return self.config_storage.databases.get(self.db_id)

    def __init__(self, request):
        super(DBDef, self).__init__(request)
        self.db_id = (request.matchdict or {}).get("db_id")
        if self.db_config is None:
            raise HTTPNotFound()
        # `db_config` is looked up in the store on every read, so each set
        # takes the definition as the store has it at that moment.
        view_ids = _user_ids_named(self.db_config, "read", "write")
        edit_ids = _user_ids_named(self.db_config, "write")
        execute_ids = _user_ids_named(self.db_config, "execute")
        user_id = self.authenticated_user_id
        if user_id == "admin":
            self.__acl__ = [(Allow, "admin", ("view_database", "edit_database", "execute_database"))]
            return
        user_config = self.authenticated_user_config
        if not user_config:
            self.__acl__ = [(Deny, Everyone, ("view_database", "edit_database", "execute_database"))]
            return
        acl = []
        self.__acl__ = acl
        grantee = _grantee(user_id)
        _grant_if_named(acl, view_ids, user_id, grantee, "view_database")
        _grant_if_named(acl, edit_ids, user_id, grantee, "edit_database")
        _grant_if_named(acl, execute_ids, user_id, grantee, "execute_database")
        # Without the right to view database definitions nothing above
        # holds, the right to execute included.
        if "view" not in user_config.dbdef:
            self.__acl__ = [(Deny, Authenticated, ("view_database", "edit_database"))]


class DBDefsList(DataFormatRoot):
    formats = {"GET": {"supported": ["json", "html"], "illegal": ["txt", "xml", "xsd", "csv"]}}

    def __init__(self, request):
        super(DBDefsList, self).__init__(request)
        user_id = self.authenticated_user_id
        if user_id == "admin":
            # The administrator lists every definition, so the views get the
            # store's own mapping rather than a copy of all of it.
            self.db_configs = self._db_configs
            self.__acl__ = [(Allow, "admin", "view_databaseslist")]
            return
        if not _holds_right(self.authenticated_user_config, "dbdef", "view", "create"):
            # A refused list has no `db_configs` at all.
            self.__acl__ = [(Deny, Everyone, "view_databaseslist")]
            return
        self.db_configs = db_configs = {}
        # Only definitions whose lists name the user themself; "public"
        # there does not stand for the user.
        for db_id, db_config in self.config_storage.databases.items():
            if user_id in _user_ids_named(db_config, "read", "write", "execute"):
                db_configs[db_id] = db_config
        self.__acl__ = [(Allow, _grantee(user_id), "view_databaseslist")]

    @property
    def _db_configs(self):
        return self.config_storage.databases


class NewDBDef(DataFormatRoot):
    formats = {"POST": {"supported": ["json"], "illegal": ["txt", "xsd", "html", "xml", "csv"]}}

    def __init__(self, request):
        super(NewDBDef, self).__init__(request)
        _set_creation_acl(self, "dbdef", "add_database")


def _is_own(user_id, other):
    # Whether `user_id` is that user's own, which the public user, shared by
    # everybody, never is.
    # Each comparison's result is tested for its truth once, here.
    if user_id == other and not user_id == "public":
        return True
    return False


class UserdefsList(DataFormatRoot):
    formats = {"GET": {"supported": ["json", "html"], "illegal": ["txt", "xml", "xsd", "csv"]}}

    def __init__(self, request):
        super(UserdefsList, self).__init__(request)
        user_id = self.authenticated_user_id
        users = self.config_storage.users
        self.__acl__ = self.get_acl(user_id, users)
        # The list shows only what the ACL just set lets the user see.
        permitted = has_permission("view_userslist", self, request)
        self.user_configs = self.get_configs(user_id, permitted, users)

    @staticmethod
    def get_configs(authenticated_user_id, permitted, all_user_configs):
        # The administrator sees every definition, so the views get the
        # store's own mapping rather than a copy of all of it.
        if authenticated_user_id == "admin":
            return all_user_configs
        user_configs = {}
        if not permitted:
            return user_configs
        for user_id, user_config in list(all_user_configs.items()):
            user_ids = _user_ids_named(user_config, "view", "edit")
            user_ids.add(user_config.creator)
            if _is_own(authenticated_user_id, user_id):
                user_ids.add(user_id)
            if authenticated_user_id in user_ids:
                user_configs[user_id] = user_config
        return user_configs

    @staticmethod
    def get_acl(authenticated_user_id, user_configs):
        user_config = user_configs.get(authenticated_user_id)
        may_list = bool(user_config) and (
            "view" in user_config.userdef or "create" in user_config.userdef
        )
        if authenticated_user_id == "admin":
            return [(Allow, "admin", "view_userslist")]
        if not may_list:
            return [(Deny, Everyone, "view_userslist")]
        return [(Allow, _grantee(authenticated_user_id), "view_userslist")]


class Userdef(DataFormatRoot):
    formats = {
        "GET": {"supported": ["json"], "illegal": ["txt", "html", "xml", "xsd", "csv"]},
        "PUT": {"supported": ["json"], "illegal": ["html", "xsd", "txt", "xml", "csv"]},
        "DELETE": {"supported": ["html", "json", "xml", "csv"], "illegal": ["xsd", "txt"]},
    }

    @staticmethod
    def get_acl(userdef_id, authenticated_user, user_configs):
        userdef = user_configs[userdef_id]
        if authenticated_user == "admin":
            return [(Allow, "admin", ("view_user", "edit_user"))]
        if not authenticated_user:
            return [(Deny, Everyone, ("view_user", "edit_user"))]
        view_ids = _user_ids_named(userdef, "view", "edit")
        edit_ids = _user_ids_named(userdef, "edit")
        if _is_own(userdef_id, authenticated_user):
            view_ids.add(userdef_id)
            edit_ids.add(userdef_id)
        # A user without the right to view user definitions still sees and
        # edits their own account (the views limit what they may change).
        if "view" not in user_configs[authenticated_user].userdef:
            action = Allow if userdef_id == authenticated_user else Deny
            return [(action, Authenticated, ("view_user", "edit_user"))]
        grantee = _grantee(authenticated_user)
        view_entry = (Allow if authenticated_user in view_ids else Deny, grantee, "view_user")
        edit_entry = (Allow if authenticated_user in edit_ids else Deny, grantee, "edit_user")
        return [view_entry, edit_entry]

    def __init__(self, request):
        super(Userdef, self).__init__(request)
        self.user_id = user_id = (request.matchdict or {}).get("user_id")
        users = self.config_storage.users
        self.user_config = user_config = users.get(user_id)
        self.privileged_access = False
        authenticated_user_id = self.authenticated_user_id
        self.self_edit = authenticated_user_id == user_id
        is_admin = authenticated_user_id == "admin"
        # Only the administrator learns that an account does not exist;
        # anybody else is refused as if it did.
        if user_config is None:
            raise HTTPNotFound() if is_admin else HTTPForbidden()
        allowed_to_view = _user_ids_named(user_config, "view", "edit")
        allowed_to_view.add(user_id)
        self.allowed_to_view = allowed_to_view
        self.allowed_to_edit = allowed_to_edit = _user_ids_named(user_config, "edit")
        limited_edit = False
        if not is_admin and user_id == authenticated_user_id:
            limited_edit = user_id not in allowed_to_edit
        self.limited_edit = limited_edit
        self.__acl__ = self.get_acl(user_id, authenticated_user_id, users)
        # Validation runs against the live set of users, after the ACL is in
        # place; a definition that fails it fails the request.
        user_config.validate(all_users=users.values())


class NewUserdef(DataFormatRoot):
    formats = {"POST": {"supported": ["json"], "illegal": ["txt", "xsd", "html", "xml", "csv"]}}

    def __init__(self, request):
        super(NewUserdef, self).__init__(request)
        user_id = self.authenticated_user_id
        self.__acl__ = self.get_acl(user_id, self.config_storage.users)

    @staticmethod
    def get_acl(authenticated_user_id, user_configs):
        # The lookup comes first: a requester missing from the users fails
        # here, the administrator included.
        user_config = user_configs[authenticated_user_id]
        if authenticated_user_id == "admin":
            return [(Allow, "admin", "create_user")]
        if "create" not in user_config.userdef:
            return [(Deny, Everyone, ("view_user", "create_user"))]
        return [(Allow, _grantee(authenticated_user_id), "create_user")]


class ExecuteQueryList(DataFormatRoot):
    formats = {"GET": {"supported": ["html", "json"], "illegal": ["xml", "txt", "csv", "xsd"]}}

    def __init__(self, request):
        super(ExecuteQueryList, self).__init__(request)
        users = self.config_storage.users
        self.authenticated_user_config = users.get(self.authenticated_user_id)
        self.reversed_url_substitution = get_reversed_url_substitution_params(
            request.params, self.settings["url_substitution"]
        )
        self.query_configs = query_configs = {}
        user_id = self.authenticated_user_id
        if user_id == "admin":
            # The administrator runs every stored query: the view reads the
            # store's own mapping instead of a copy of all of it.
            self.query_configs = self.config_storage.querydefs
            self.acl_allow()
            return
        if not self.authenticated_user_config:
            # No user record: the route stays closed.
            self.acl_deny()
            return
        _collect_executable_queries(self.config_storage.querydefs, user_id, query_configs)
        self.acl_allow()


class ExecuteQuery(DataFormatRoot):
    formats = {
        "GET": {"supported": ["json", "xml", "xsd", "csv", "html"], "illegal": ["txt"]},
        "POST": {"supported": ["json", "xml", "csv", "xsd"], "illegal": ["txt", "html"]},
        "PUT": {"supported": ["json", "xml", "csv", "xsd"], "illegal": ["txt", "html"]},
        "DELETE": {"supported": ["json", "xml", "csv", "xsd"], "illegal": ["txt", "html"]},
    }

    def __init__(self, request):
        # The base runs this class's check_data_format: the query is looked
        # up and its method checked before the database below.
        super(ExecuteQuery, self).__init__(request)
        self.db_id, self.db_config = self.get_db()
        # Requests that nobody tracks are served all the same.
        try:
            tracker = request.request_status
        except AttributeError:
            pass
        else:
            _report_request_metadata(tracker, self, "query_id", "db_id")
        self._check_db_limit_overflow(request)
        self.substitution_params = get_url_substitution_params(request.params)
        self.reversed_url_substitution = get_reversed_url_substitution_params(
            request.params, self.settings["url_substitution"]
        )
        # The first two segments address the query; the rest are its
        # parameters, as alternating names and values.
        self.url_segments = self.segments_substitution(self.request.path_segments[2:])
        self.configure_authorization()
        # The deprecated-format redirect comes last, so that a client asking
        # for the old format of a query it may not run is refused.
        response_format = self.response_format
        if response_format in self.format_redirect_map:
            self.redirect_request_format(request, response_format)

    def _validate_http_method(self, request_method, std_methods=()):
        if not std_methods:
            std_methods = STD_HTTP_METHODS
        http_methods = self.query_config.http_methods
        if request_method in std_methods and http_methods.get(request_method):
            return
        allowed = []
        for method, enabled in http_methods.items():
            if enabled:
                allowed.append(method)
        raise HTTPMethodNotAllowed(
            explanation='This method is not allowed for query: "%s". Allowed methods: ["%s"].'
            % (self.query_config.query_id, '", "'.join(allowed))
        )

    def get_query_info(self):
        query_id = (self.request.matchdict or {}).get("query_id")
        query_config = _configured_record(self.config_storage.querydefs, query_id)
        if query_config is _MISSING:
            raise HTTPNotFound(explanation="Query '%s' not found." % (query_id,))
        return query_id, query_config

    def check_data_format(self, request_method, response_format):
        self.query_id, self.query_config = self.get_query_info()
        # The class's own methods, not the server-wide list: a query enabled
        # for a method this route does not serve is still refused.
        self._validate_http_method(request_method, list(self.formats.keys()))
        # The last segment of a query route is a parameter value, which may
        # hold a dot of its own: the base check runs without its extension test.
        DataFormatRoot.check_data_format(self, request_method, response_format, check_ext=False)

    def get_db(self):
        db_id = self.query_config["database"]
        db_config = _configured_record(self.config_storage.databases, db_id)
        if db_config is _MISSING:
            raise HTTPNotFound(explanation="Model/Database '%s' not found." % (db_id,))
        return db_id, db_config

    def segments_substitution(self, segments):
        # Only the values (odd positions) are substituted: a parameter's
        # name must reach the query exactly as it was written.
        substituted = []
        is_value = False
        for segment in segments:
            if is_value:
                substitution_params = self.substitution_params
                segment = replace_patterns(segment, substitution_params)
            substituted.append(segment)
            is_value = not is_value
        return substituted

    def configure_authorization(self):
        self._check_db_access_permissions()
        acl = []
        self.__acl__ = acl
        user_id = self.authenticated_user_id
        if user_id == "admin":
            acl.append((Allow, "admin", "execute_query"))
            return
        open_to_all = named = False
        if self.authenticated_user_config:
            executors = self.query_config.execute
            # "public" among the executors opens the query to anonymous
            # callers as well; a named user gets it only when signed in.
            open_to_all = "public" in executors
            if not open_to_all:
                named = user_id in executors
        if open_to_all:
            acl.append((Allow, Everyone, "execute_query"))
        elif named:
            acl.append((Allow, Authenticated, "execute_query"))
        else:
            acl.append((Deny, Everyone, "execute_query"))


class DataDiscovery(RootBasic):
    def __init__(self, request):
        super(DataDiscovery, self).__init__(request)
        # No format table of its own: the format is worked out here only to
        # hand HTML to the browser and to redirect a deprecated one at the end.
        self.response_format, self.request_format, self.request_extension = requested_data_format(
            request, self.settings["default_extension"]
        )
        if self.response_format == "html":
            raise gui_response_exception(self.request)
        # The first segment names the database.  An empty tail (the bare
        # prefix of a "*other_segments" route) names none and is answered 404
        # below; a route without the key at all fails on indexing its None.
        other_segments = (request.matchdict or {}).get("other_segments")
        if other_segments is not None and not other_segments:
            self.db_id = None
        else:
            self.db_id = other_segments[0]
        # The server gives every request its tracker before any route is
        # resolved, so this route does not look for its absence.
        _report_request_metadata(request.request_status, self, "db_id")
        # The row-limit redirect needs only the id: a redirected request does
        # not pay for the database lookup.
        self._check_db_limit_overflow(request)
        databases = self.config_storage.databases
        self.db_config = databases.get(self.db_id)
        if self.db_config is None:
            raise HTTPNotFound()
        db_model = get_model(databases, self.db_id, retry=request)
        self.url_segments = segments_substitution(
            self.request.path_segments[2:], request.params, db_model, request.charset
        )
        self.configure_authorization()
        # Redirected only once the caller is known to be allowed the data.
        response_format = self.response_format
        if response_format in self.format_redirect_map:
            self.redirect_request_format(request, response_format)

    def configure_authorization(self):
        self._check_db_access_permissions()
        if self.authenticated_user_id != "public":
            self.__acl__ = [(Allow, Authenticated, "authenticated")]
            return
        # Anonymous callers reach only the databases that the "public" user
        # lists; every refusal carries the deployment's own text.
        access_denied = self.settings.get("access_denied_msg")
        public_config = _configured_record(self.config_storage.users, "public")
        if public_config is _MISSING:
            raise HTTPForbidden(explanation=access_denied)
        # The public user's databases are read before its record is tested,
        # so a record without them fails here rather than being refused.
        public_access = self.db_id in public_config["databases"]
        if not public_config or not public_access:
            raise HTTPForbidden(explanation=access_denied)
        self.__acl__ = [(Allow, Everyone, "authenticated")]


class RequestStatus(DataFormatRoot):
    formats = {"GET": {"supported": ["json"], "illegal": ["html", "txt", "xml", "xsd", "csv"]}}

    def __init__(self, request):
        super(RequestStatus, self).__init__(request)
        users = self.config_storage.users
        self.authenticated_user_config = users.get(self.authenticated_user_id)
        self.query_configs = query_configs = {}
        # Closed until one of the rules below opens it.
        self.acl_deny()
        user_id = self.authenticated_user_id
        if user_id == "public":
            # Anonymous callers never see other requests.
            return
        if user_id == "admin":
            self.query_configs = self.config_storage.querydefs
            self.acl_allow()
            return
        if not self.authenticated_user_config:
            return
        # Opened at the first database of the store that the user may use.
        database_user = False
        for db_id in self.config_storage.databases:
            if db_id in self.authenticated_user_config.databases:
                self.acl_allow()
                database_user = True
                break
        _collect_executable_queries(self.config_storage.querydefs, user_id, query_configs)
        if query_configs:
            self.acl_allow()
        elif not database_user:
            # A signed-in user with neither a database nor a query has no
            # requests to look at: the route does not exist for them.
            raise HTTPNotFound()


def _permission_grant(*permissions):
    # Every entry of this route carries a new list of permissions, so that
    # no request can change another request's ACL.
    return (Allow, Everyone, list(permissions))


class DBCredentialsRoot(DataFormatRoot):
    formats = {
        "GET": {"supported": ["json", "html"], "illegal": ["txt"]},
        "POST": {"supported": ["json"], "illegal": ["txt", "html"]},
        "PUT": {"supported": ["json"], "illegal": ["txt", "html"]},
        "DELETE": {"supported": ["json"], "illegal": ["txt", "html"]},
    }

    @property
    def db_config(self):
        return self.config_storage.databases.get(self.db_id)

    @property
    def dbc_config(self):
        if self.db_config is None:
            return None
        return self.config_storage.get_credentials(self.db_id)

    @property
    def db_credentials(self):
        if self.dbc_config is None:
            return None
        # The container is asked for afresh: like every property here, the
        # entry answers from the store as it is now.
        return self.dbc_config.credentials.get(self.dbc_id)

    def __init__(self, request):
        super().__init__(request)
        self.is_admin = self.authenticated_user_id == "admin"
        self.db_id = request.matchdict.get("db_id")
        self.dbc_id = request.matchdict.get("dbc_id")
        self.setup_acl(request)

    def setup_acl(self, request):
        acl = []
        self.__acl__ = acl
        if self.is_admin:
            self.__acl__ = [
                (
                    Allow,
                    "admin",
                    [
                        "view_dbcredentials",
                        "list_dbcredentials",
                        "create_dbcredentials",
                        "delete_dbcredentials",
                        "update_dbcredentials",
                    ],
                )
            ]
            return
        # Without the right to list credentials nothing else is granted.  The
        # browser interface's requests, marked by both "guidata" and
        # "guiassign", may list them whatever the user's own rights.
        rights = self.authenticated_user_config.dbcreds
        if "view" not in rights:
            params = request.params
            if not ("guidata" in params and "guiassign" in params):
                return
        acl.append(_permission_grant("list_dbcredentials"))
        if "create" in rights:
            acl.append(_permission_grant("create_dbcredentials"))
        if self.db_credentials is None:
            return
        # Editing and viewing are granted independently: a user in both lists
        # gets both entries, the editing one first.
        user_id = self.authenticated_user_id
        if user_id in self.db_credentials.edit:
            acl.append(_permission_grant("view_dbcredentials", "update_dbcredentials", "delete_dbcredentials"))
        if user_id in self.db_credentials.view:
            acl.append(_permission_grant("view_dbcredentials"))


def _body_member(body, member):
    # A JSON body that is not an object has no members, just as an object
    # lacking the member: the request then names no database (404).
    if body is None or isinstance(body, (list, str, int, float)):
        return None
    return body.get(member)


class DDURLParserBuilderRoot(RootBasic):
    @property
    def db_config(self):
        return self.config_storage.databases.get(self.db_id)

    def __init__(self, request):
        super().__init__(request)
        self.is_admin = self.authenticated_user_id == "admin"
        # "parse" is tested first: a path holding both words parses.
        path = request.path
        if "parse" in path:
            self.path = _body_member(request.json, "path")
            segments = split_path(self.path)[0]
            try:
                database = segments[1]
            except IndexError:
                # A path too short to hold the database segment names no
                # database, like a build request without one: 404 below.
                database = None
            url_segments = segments[2:]
        elif "build" in path:
            database = _body_member(request.json, "database")
            url_segments = [database]
        else:
            log.debug("Unrecognized Data Discovery url method")
            raise HTTPForbidden(explanation="Unrecognized Data Discovery url method")
        self.db_id = database
        databases = self.config_storage.databases
        if self.db_config is None:
            raise HTTPNotFound(explanation="Database %s was not found." % (self.db_id,))
        db_model = get_model(databases, self.db_id, retry=request)
        self.url_segments = segments_substitution(url_segments, request.params, db_model, request.charset)
        # The database is looked up before access is checked: an unknown
        # database is 404 for everybody, whatever their rights.
        self._set_special_attributes_from_request(request)
        self._check_db_access_permissions()
        # Both directions speak JSON whatever the path's extension says.
        self.request_format = "json"
        self.response_format = "json"

    def _set_special_attributes_from_request(self, request):
        # Each attribute: the query parameter, else the deployment's
        # setting, else the server's constant.
        self.wildcard = get_url_param(
            request, "wildcard", self.ini_settings.get("wildcard", DEFAULT_WILDCARD), str
        )
        self.separator = get_url_param(
            request, "separator", self.ini_settings.get("separator", DEFAULT_SEPARATOR), str
        )
        self.null_placeholder = get_url_param(
            request, "nullStr", self.ini_settings.get("datadiscovery.null_str", DEFAULT_NULL_PLACEHOLDER), str
        )
