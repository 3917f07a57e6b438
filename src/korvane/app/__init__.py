"""The demo server: a Pyramid application that publishes the SQLite
databases of a data folder through the root factories of ``korvane.roots``.

``main`` is the application factory (the usual Pyramid shape, named by
``development.ini``); ``serve`` runs it under waitress and is what
``python -m korvane.app [ini]`` calls.
"""

import argparse
import configparser
import logging
import os
import re
import shutil
from pathlib import Path

from pyramid.authorization import ACLAuthorizationPolicy
from pyramid.config import Configurator
from pyramid.settings import falsey, truthy

from korvane.app.sample_data import ScriptError, build_missing_databases
from korvane.auth.apikey import ApikeyAuthenticationPolicy
from korvane.config_storage import ConfigStorage
from korvane.constants import ADMIN_USER_ID, DEFAULT_URL_SUBSTITUTION, PUBLIC_USER_ID, SUBSTITUTE_PREFIX
from korvane.process_registry import ProcessRegistry
from korvane.request_status import RequestStatusRegistry
from korvane.store_cache import StoreCache
from korvane.views.common import ESCAPED_CHARS, LIMIT_RULE, MAX_LIMIT, parse_limit
from korvane.views.sqlite import DEFAULT_MAX_ANSWER_BYTES, DEFAULT_MAX_ROWS, DEFAULT_QUERY_TIMEOUT

log = logging.getLogger(__name__)

#: The example data shipped in the package: the store and the SQL scripts
#: of the sample databases.
EXAMPLE_DIR = Path(__file__).resolve().parent / "example"

#: The demo's own ini, used when no ini is named and the working folder
#: has no development.ini.
PACKAGED_INI = Path(__file__).resolve().parent / "demo.ini"

#: Users every store must hold: the contexts look both up by key.
REQUIRED_USERS = (ADMIN_USER_ID, PUBLIC_USER_ID)


class SetupError(Exception):
    """The server cannot start; the message says why."""


def _data_dir(global_config, settings):
    configured = settings.get("korvane.data_dir")
    if not configured:
        raise SetupError("korvane.data_dir is not set: name the folder of the store file and the databases")
    return Path(global_config.get("here") or ".", configured).resolve()


def fill_data_dir(data_dir):
    """Copy the example data into ``data_dir`` when it is missing or empty;
    return whether it did.  A folder that holds anything is left alone,
    so the example never overwrites data of one's own."""
    data_dir = Path(data_dir)
    if data_dir.is_dir() and any(data_dir.iterdir()):
        return False
    data_dir.mkdir(parents=True, exist_ok=True)
    for source in sorted(EXAMPLE_DIR.iterdir()):
        if source.suffix in (".json", ".sql"):
            shutil.copyfile(source, data_dir / source.name)
    log.info("Filled the empty data folder %s with the example data", data_dir)
    return True


def _url_substitution(text):
    """Parse "SUBSTITUTE=CHAR" pairs separated by blanks; None or "" gives
    the default table.  The URLs the server builds declare each substitute
    they use in their query string (``?$2F=/``), and a request reads only
    declarations whose name starts with "$": a substitute without it would
    make URLs that no request reads back."""
    if not text:
        return dict(DEFAULT_URL_SUBSTITUTION)
    table = {}
    for pair in text.split():
        substitute, sep, char = pair.partition("=")
        if not sep or len(substitute) < 2 or not substitute.startswith(SUBSTITUTE_PREFIX) or len(char) != 1:
            raise SetupError(
                "korvane.url_substitution: bad entry {!r} (expected SUBSTITUTE=CHAR, the substitute starting"
                " with {!r})".format(pair, SUBSTITUTE_PREFIX)
            )
        table[substitute] = char
    # The URL builder escapes both in every segment: without a substitute
    # for one, a value holding it would end in a server error.
    missing = [char for char in ESCAPED_CHARS if char not in table.values()]
    if missing:
        raise SetupError(
            "korvane.url_substitution must give a substitute for {}.".format(" and ".join(map(repr, missing)))
        )
    return table


#: The formats a request that names none may be given: those the data
#: routes serve (xsd is only redirected to xml, and no route serves txt).
DEFAULT_FORMATS = ("json", "xml", "csv", "html")
#: An HTTP header name (RFC 9110's token).
HEADER_NAME = re.compile(r"[!#$%&'*+.^_`|~0-9A-Za-z-]+\Z")


def _flag(settings, name, default):
    """A true/false setting, in the words Pyramid reads as such (true,
    false, yes, no, on, off, 1, 0 and their first letters): any other
    value would silently count as false."""
    value = settings.get(name, default)
    if isinstance(value, bool):
        return value
    text = str(value).strip().lower()
    if text in truthy or text in falsey:
        return text in truthy
    raise SetupError("{} must be true or false (yes/no, on/off, 1/0), not {!r}.".format(name, value))


def _default_extension(value):
    """The format of a request that names none: one every data route serves."""
    text = value.strip().lower() if isinstance(value, str) else None
    if text not in DEFAULT_FORMATS:
        raise SetupError("korvane.default_extension must be one of {}, not {!r}.".format(", ".join(DEFAULT_FORMATS), value))
    return text


def _apikey_header(value):
    """The name of the header that carries API keys."""
    if not isinstance(value, str) or not HEADER_NAME.match(value):
        raise SetupError("korvane.apikey_header must name an HTTP header (such as X-API-Key), not {!r}.".format(value))
    return value


def _status_capacity(value):
    """The number of request trackers to keep: a whole number of at least
    1 (the registry drops the oldest while it holds more)."""
    text = str(value).strip()
    if not re.fullmatch(r"[0-9]+", text) or int(text) < 1:
        raise SetupError("korvane.status_capacity must be a whole number of at least 1, not {!r}.".format(value))
    return int(text)


#: The longest time budget a statement may be given: a day.
MAX_QUERY_TIMEOUT = 86400


def _query_timeout(value):
    """Seconds a statement may run: a number greater than 0 and at most a
    day (``30``, ``2.5``)."""
    text = str(value).strip()
    if isinstance(value, bool) or not re.fullmatch(r"[0-9]{1,6}(\.[0-9]{1,6})?", text) \
            or not 0 < float(text) <= MAX_QUERY_TIMEOUT:
        raise SetupError(
            "korvane.query_timeout must be a number of seconds greater than 0 and at most {}, not {!r}.".format(
                MAX_QUERY_TIMEOUT, value
            )
        )
    return float(text)


def _max_rows(value):
    """The most rows one answer may hold: a whole number from 1 to the
    largest row limit."""
    limit = None if isinstance(value, bool) else parse_limit(str(value).strip())
    if not limit:
        raise SetupError("korvane.max_rows must be a whole number from 1 to {}, not {!r}.".format(MAX_LIMIT, value))
    return limit


#: SQLite makes no string or blob larger than this by default.
MAX_ANSWER_BYTES = 1000000000


def _max_answer_bytes(value):
    """The most bytes one answer's values may take: a whole number from 1
    to the largest value SQLite makes."""
    text = None if isinstance(value, bool) else str(value).strip()
    if not (text and len(text) <= 10 and text.isascii() and text.isdigit() and 1 <= int(text) <= MAX_ANSWER_BYTES):
        raise SetupError(
            "korvane.max_answer_bytes must be a whole number from 1 to {}, not {!r}.".format(MAX_ANSWER_BYTES, value)
        )
    return int(text)


def _check_row_limits(settings):
    """Every ``db.<id>.limit`` must be a row count a request may name: the
    contexts redirect a data request to its URL with ``?limit=`` set to
    it, and a value the request's own check refuses would make every data
    request on that database end in 400."""
    for name, value in sorted(settings.items()):
        if name.startswith("db.") and name.endswith(".limit"):
            if isinstance(value, bool) or parse_limit(str(value)) is None:
                raise SetupError("{} must be {}, not {!r}.".format(name, LIMIT_RULE, value))


def _prepare_data_dir(data_dir, fill):
    """Fill ``data_dir`` when asked to and build its missing databases;
    ``SetupError`` when it is no folder or its scripts cannot be built."""
    if data_dir.exists() and not data_dir.is_dir():
        raise SetupError("korvane.data_dir {} is not a folder".format(data_dir))
    if fill:
        try:
            fill_data_dir(data_dir)
        except OSError as error:
            raise SetupError("The data folder {} cannot be filled with the example data: {}".format(
                data_dir, error.strerror or error)) from None
    try:
        build_missing_databases(data_dir)
    except ScriptError as error:
        raise SetupError(str(error)) from None


def server_settings(settings, data_dir):
    """The server's own settings dictionary (``krv_settings``), built from
    the ini settings.  It must be exactly a ``dict``: the contexts refuse
    anything else."""
    capacity = _status_capacity(settings.get("korvane.status_capacity", 1000))
    default_extension = _default_extension(settings.get("korvane.default_extension", "json"))
    allow_apikey_in_query_string = _flag(settings, "korvane.allow_apikey_in_query_string", False)
    query_timeout = _query_timeout(settings.get("korvane.query_timeout", DEFAULT_QUERY_TIMEOUT))
    max_rows = _max_rows(settings.get("korvane.max_rows", DEFAULT_MAX_ROWS))
    max_answer_bytes = _max_answer_bytes(settings.get("korvane.max_answer_bytes", DEFAULT_MAX_ANSWER_BYTES))
    url_substitution = _url_substitution(settings.get("korvane.url_substitution"))
    store_file = data_dir / settings.get("korvane.store_file", "store.json")
    if not store_file.is_file():
        raise SetupError("No store file {}: point korvane.data_dir at the folder that holds it".format(store_file))
    memcached = settings.get("korvane.memcached")
    try:
        cache = (
            StoreCache(memcached, prefix=settings.get("korvane.memcached_prefix", "korvane.store"))
            if memcached
            else None
        )
        store = ConfigStorage.from_file(str(store_file), required_users=REQUIRED_USERS, cache=cache)
    except ValueError as error:
        raise SetupError("The store cannot be used: {}".format(error)) from None
    return {
        "config_storage": store,
        "process_registry": ProcessRegistry(),
        "request_status_registry": RequestStatusRegistry(capacity),
        "url_substitution": url_substitution,
        "default_extension": default_extension,
        "apikey_name": settings.get("korvane.apikey_name", "apikey"),
        "appid_name": settings.get("korvane.appid_name", "appid"),
        "allow_apikey_in_query_string": allow_apikey_in_query_string,
        "access_denied_msg": settings.get("korvane.access_denied_msg"),
        "data_dir": str(data_dir),
        "query_timeout": query_timeout,
        "max_rows": max_rows,
        "max_answer_bytes": max_answer_bytes,
    }


def main(global_config, **settings):
    """Build the WSGI application.

    ``korvane.data_dir`` names the folder holding the store file and the
    SQL scripts of the sample databases (relative to the ini's folder).
    With ``korvane.fill_data_dir = true`` a missing or empty folder is
    first filled with the example data shipped in the package.  Databases
    whose SQL script has no database file beside it are built.

    ``SetupError`` says what is wrong when a setting, the folder, its SQL
    scripts, its store file or the store's content cannot serve (a store
    must hold the users "admin" and "public").
    """
    _check_row_limits(settings)
    header_name = _apikey_header(settings.get("korvane.apikey_header", "X-API-Key"))
    fill = _flag(settings, "korvane.fill_data_dir", False)
    data_dir = _data_dir(global_config, settings)
    _prepare_data_dir(data_dir, fill)
    krv_settings = server_settings(settings, data_dir)
    settings["krv_settings"] = krv_settings
    settings["auth_settings"] = {
        "header_name": header_name,
        "apikey_name": krv_settings["apikey_name"],
        "appid_name": krv_settings["appid_name"],
        "allow_query_string": krv_settings["allow_apikey_in_query_string"],
    }

    config = Configurator(settings=settings)
    auth = settings["auth_settings"]
    config.set_authentication_policy(
        ApikeyAuthenticationPolicy(
            # Looked up per request: a refreshed store replaces its mappings.
            lambda request: request.registry.settings["krv_settings"]["config_storage"].users,
            apikey_name=auth["apikey_name"],
            appid_name=auth["appid_name"],
            header_name=auth["header_name"],
            allow_query_string=auth["allow_query_string"],
        )
    )
    config.set_authorization_policy(ACLAuthorizationPolicy())
    config.include("korvane.app.request_setup")
    config.include("korvane.views.predicates")
    config.include("korvane.app.routes")
    config.scan("korvane.views")
    return config.make_wsgi_app()


def default_config_file():
    """``development.ini`` of the working folder, else the demo's own ini."""
    candidate = Path.cwd() / "development.ini"
    return str(candidate) if candidate.is_file() else str(PACKAGED_INI)


def serve(argv=None):
    """Serve the application of an ini file with waitress.

    ``--host``, ``--port`` and ``--data-dir`` override the ini's server
    address and data folder, so tests and second instances need no ini of
    their own.  Without an ini of its own (``korvane-demo`` from a wheel)
    the demo serves the data folder ``korvane-data`` of the working folder,
    filled with the example data when empty.
    """
    import plaster
    import waitress

    parser = argparse.ArgumentParser(prog="korvane-demo", description=serve.__doc__.split("\n")[0])
    parser.add_argument("config", nargs="?", default=None, help="ini file (default: development.ini, else the demo's own)")
    parser.add_argument("--host", help="address to listen on")
    parser.add_argument("--port", type=_port_number, help="port to listen on")
    parser.add_argument("--data-dir", help="folder of the store file and the sample databases")
    args = parser.parse_args(argv)

    config_file = os.path.abspath(args.config or default_config_file())
    if not os.path.isfile(config_file):
        parser.error("no such ini file: {}".format(config_file))
    if args.data_dir == "":
        parser.error("--data-dir must name a folder")
    loader = plaster.get_loader(config_file, protocols=["wsgi"])
    try:
        loader.setup_logging()
        if "app:main" not in loader.get_sections():
            parser.exit(2, "korvane-demo: error: {} has no [app:main] section, the application to serve\n".format(
                config_file))
        app_settings = dict(loader.get_settings("app:main"))
        server = dict(loader.get_settings("server:main"))
    except (configparser.Error, KeyError, ValueError) as error:
        reason = "; ".join(line.strip() for line in str(error).splitlines() if line.strip())
        parser.exit(2, "korvane-demo: error: {} cannot be read as an ini file: {}\n".format(config_file, reason))
    app_settings.pop("use", None)
    if args.data_dir:
        app_settings["korvane.data_dir"] = os.path.abspath(args.data_dir)
    elif not app_settings.get("korvane.data_dir"):
        app_settings["korvane.data_dir"] = os.path.abspath("korvane-data")
    global_config = {"__file__": config_file, "here": os.path.dirname(config_file)}
    try:
        app = main(global_config, **app_settings)
    except SetupError as error:
        parser.exit(2, "korvane-demo: error: {}\n".format(error))

    server.pop("use", None)
    if args.host:
        server["host"] = args.host
    if args.port is not None:
        server["port"] = str(args.port)
    try:
        listening = waitress.create_server(app, **server)
    except (OSError, ValueError) as error:  # a port in use, a host unknown, a setting waitress refuses
        parser.exit(2, "korvane-demo: error: cannot serve on {}:{}: {}\n".format(
            server.get("host", "0.0.0.0"), server.get("port", 8080), error))
    # The folder as resolved: the ini may name it relative to its own folder.
    log.info("Serving the data folder %s (stop the server with Ctrl+C)", app.registry.settings["krv_settings"]["data_dir"])
    listening.print_listen("Serving on http://{}:{}")
    listening.run()
    return 0


def _port_number(text):
    """A TCP port from the command line: 0 (any free one) to 65535."""
    if not text.isdigit() or int(text) > 65535:
        raise argparse.ArgumentTypeError("expected a port number from 0 to 65535, got {!r}".format(text))
    return int(text)
