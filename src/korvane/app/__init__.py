"""The demo server: a Pyramid application that publishes the SQLite
databases of a data folder through the root factories of ``korvane.roots``.

``main`` is the application factory (the usual Pyramid shape, named by
``development.ini``); ``serve`` runs it under waitress and is what
``python -m korvane.app [ini]`` calls.
"""

import argparse
import os
from pathlib import Path

from pyramid.authorization import ACLAuthorizationPolicy
from pyramid.config import Configurator
from pyramid.settings import asbool

from korvane.app.sample_data import build_missing_databases
from korvane.auth.apikey import ApikeyAuthenticationPolicy
from korvane.config_storage import ConfigStorage
from korvane.constants import DEFAULT_URL_SUBSTITUTION
from korvane.process_registry import ProcessRegistry
from korvane.request_status import RequestStatusRegistry
from korvane.store_cache import StoreCache

#: The clone's top folder when the package runs from the source tree.
SOURCE_ROOT = Path(__file__).resolve().parents[3]


def _data_dir(global_config, settings):
    configured = settings.get("korvane.data_dir")
    if configured:
        return Path(configured).resolve()
    here = global_config.get("here")
    return Path(here).resolve() / "example" if here else SOURCE_ROOT / "example"


def _url_substitution(text):
    """Parse "SUBSTITUTE=CHAR" pairs separated by blanks; None or "" gives
    the default table."""
    if not text:
        return dict(DEFAULT_URL_SUBSTITUTION)
    table = {}
    for pair in text.split():
        substitute, sep, char = pair.partition("=")
        if not sep or not substitute or len(char) != 1:
            raise ValueError("korvane.url_substitution: bad entry {!r}".format(pair))
        table[substitute] = char
    return table


def server_settings(settings, data_dir):
    """The server's own settings dictionary (``krv_settings``), built from
    the ini settings.  It must be exactly a ``dict``: the contexts refuse
    anything else."""
    memcached = settings.get("korvane.memcached")
    cache = (
        StoreCache(memcached, prefix=settings.get("korvane.memcached_prefix", "korvane.store"))
        if memcached
        else None
    )
    store = ConfigStorage.from_file(
        str(data_dir / settings.get("korvane.store_file", "store.json")), cache=cache
    )
    return {
        "config_storage": store,
        "process_registry": ProcessRegistry(),
        "request_status_registry": RequestStatusRegistry(
            int(settings.get("korvane.status_capacity", 1000))
        ),
        "url_substitution": _url_substitution(settings.get("korvane.url_substitution")),
        "default_extension": settings.get("korvane.default_extension", "json"),
        "apikey_name": settings.get("korvane.apikey_name", "apikey"),
        "appid_name": settings.get("korvane.appid_name", "appid"),
        "allow_apikey_in_query_string": asbool(
            settings.get("korvane.allow_apikey_in_query_string", False)
        ),
        "access_denied_msg": settings.get("korvane.access_denied_msg"),
        "data_dir": str(data_dir),
    }


def main(global_config, **settings):
    """Build the WSGI application.

    ``korvane.data_dir`` names the folder holding the store file and the
    SQL scripts of the sample databases (default: the ``example`` folder
    beside the ini file).  Databases missing there are built first.
    """
    data_dir = _data_dir(global_config, settings)
    build_missing_databases(data_dir)
    krv_settings = server_settings(settings, data_dir)
    settings["krv_settings"] = krv_settings
    settings["auth_settings"] = {
        "header_name": settings.get("korvane.apikey_header", "X-API-Key"),
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
    """``development.ini`` of the working folder, else of the source tree."""
    for folder in (Path.cwd(), SOURCE_ROOT):
        candidate = folder / "development.ini"
        if candidate.is_file():
            return str(candidate)
    return "development.ini"


def serve(argv=None):
    """Serve the application of an ini file with waitress.

    ``--host``, ``--port`` and ``--data-dir`` override the ini's server
    address and data folder, so tests and second instances need no ini of
    their own.
    """
    import plaster
    import waitress

    parser = argparse.ArgumentParser(prog="python -m korvane.app", description=serve.__doc__.split("\n")[0])
    parser.add_argument("config", nargs="?", default=None, help="ini file (default: development.ini)")
    parser.add_argument("--host", help="address to listen on")
    parser.add_argument("--port", type=int, help="port to listen on")
    parser.add_argument("--data-dir", help="folder of the store file and the sample databases")
    args = parser.parse_args(argv)

    config_file = os.path.abspath(args.config or default_config_file())
    loader = plaster.get_loader(config_file, protocols=["wsgi"])
    loader.setup_logging()

    app_settings = dict(loader.get_settings("app:main"))
    app_settings.pop("use", None)
    if args.data_dir:
        app_settings["korvane.data_dir"] = args.data_dir
    global_config = {"__file__": config_file, "here": os.path.dirname(config_file)}
    app = main(global_config, **app_settings)

    server = dict(loader.get_settings("server:main"))
    server.pop("use", None)
    if args.host:
        server["host"] = args.host
    if args.port is not None:
        server["port"] = str(args.port)
    waitress.serve(app, **server)
    return 0
