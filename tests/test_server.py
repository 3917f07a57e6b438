"""The demo server as a real process: ``python -m korvane.app`` serving the
repository's development.ini on a free loopback port, over a temporary
copy of the example folder, spoken to over HTTP."""

import json
import os
import subprocess
import sys
import urllib.error
import urllib.request
from pathlib import Path

import korvane
from helpers import free_loopback_port, stop_process, wait_for_port
from test_app import copy_example

REPO = Path(__file__).resolve().parents[1]
REQUEST_SECONDS = 10
#: The environment of a server process: it imports the package under test,
#: whatever folder it runs in (a relative PYTHONPATH would not reach it).
CHILD_ENV = dict(os.environ, PYTHONUNBUFFERED="1", PYTHONPATH=str(Path(korvane.__file__).resolve().parents[1]))


class NoRedirects(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args, **kwargs):
        return None


def fetch(port, raw_path, key=None, method="GET", body=None):
    """(status, headers, body) of one request; ``raw_path`` is sent as
    written, repeated slashes included."""
    request = urllib.request.Request("http://127.0.0.1:{}{}".format(port, raw_path), method=method, data=body)
    if key:
        request.add_header("X-API-Key", key)
    if body is not None:
        request.add_header("Content-Type", "application/json")
    opener = urllib.request.build_opener(NoRedirects)
    try:
        with opener.open(request, timeout=REQUEST_SECONDS) as response:
            return response.status, response.headers, response.read()
    except urllib.error.HTTPError as error:
        with error:
            return error.code, error.headers, error.read()


class Server:
    """``python -m korvane.app`` over ``data_dir`` with ``ini``."""

    def __init__(self, tmp_path, name, ini, data_dir):
        self.port = free_loopback_port()
        self.log = tmp_path / (name + ".log")
        with open(self.log, "wb") as output:
            self.process = subprocess.Popen(
                [sys.executable, "-m", "korvane.app", str(ini), "--host", "127.0.0.1",
                 "--port", str(self.port), "--data-dir", str(data_dir)],
                cwd=tmp_path, env=CHILD_ENV,
                stdout=output, stderr=subprocess.STDOUT,
            )
        wait_for_port(self.port, self.process, self.log.read_text)

    def ask(self, path, key="admin-key", method="GET", body=None):
        status, headers, raw = fetch(self.port, path, key=key, method=method,
                                     body=None if body is None else json.dumps(body).encode())
        return status, headers, json.loads(raw) if raw else None


def test_the_server_answers_real_http_requests(tmp_path):
    server = Server(tmp_path, "server", REPO / "development.ini", copy_example(tmp_path / "data"))
    port, data_dir = server.port, tmp_path / "data"
    try:
        status, _, body = fetch(port, "/query/customers_by_country/country/DE", key="alice-key")
        assert status == 200
        assert [row["name"] for row in json.loads(body)["rows"]] == ["Anna Berg", "Jonas Weber", "Paul Meyer"]

        status, headers, _ = fetch(port, "/dd/sales/orders", key="bob-key")
        assert status == 302
        assert headers["Location"] == "http://127.0.0.1:{}/dd/sales/orders?limit=10".format(port)

        # waitress keeps the request line in REQUEST_URI: the doubled slash
        # reaches the context and is redirected.
        status, headers, _ = fetch(port, "/dd/demo//customers", key="alice-key")
        assert status == 308
        assert headers["Location"] == "http://127.0.0.1:{}/dd/demo/customers".format(port)
        assert headers["Warning"] == "Redirected to a fixed path"

        # A request body, as the process receives it.
        status, _, body = fetch(port, "/dd-url/parse", key="alice-key", method="POST",
                                body=json.dumps({"path": "/dd/demo/customers/name/a$2Fb"}).encode())
        assert status == 200 and json.loads(body)["filters"] == {"name": "a/b"}

        assert sorted(p.name for p in data_dir.glob("*.sqlite3")) == ["demo.sqlite3", "sales.sqlite3"]
    finally:
        stop_process(server.process, REQUEST_SECONDS)
    # No traceback, and no warning at start: the package silences the two
    # that Pyramid 1.10 raises about itself.
    log = server.log.read_text()
    assert "Traceback" not in log and "Warning" not in log, log
