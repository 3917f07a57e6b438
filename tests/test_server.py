"""``python -m korvane.app`` as a real process on a loopback port, over a copy of the example folder."""

import json
import os
import re
import socket
import subprocess
import sys
import urllib.error
import urllib.request
from pathlib import Path

import pytest

import korvane
from helpers import free_loopback_port, stop_process, wait_for_port
from test_app import copy_example, edit_store

REPO = Path(__file__).resolve().parents[1]
REQUEST_SECONDS = 10
#: A server process imports the package under test whatever folder it runs in (a relative PYTHONPATH would not).
CHILD_ENV = dict(os.environ, PYTHONUNBUFFERED="1", PYTHONPATH=str(Path(korvane.__file__).resolve().parents[1]))


class NoRedirects(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args, **kwargs):
        return None


def fetch(port, raw_path, key=None, method="GET", body=None):
    """(status, headers, body) of one request; ``raw_path`` is sent as written, repeated slashes included."""
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
                 "--port", str(self.port), *(["--data-dir", str(data_dir)] if data_dir else [])],
                cwd=tmp_path, env=CHILD_ENV,
                stdout=output, stderr=subprocess.STDOUT,
            )
        wait_for_port(self.port, self.process, self.log.read_text)

    def ask(self, path, key="admin-key", method="GET", body=None):
        status, headers, raw = fetch(self.port, path, key=key, method=method,
                                     body=None if body is None else json.dumps(body).encode())
        return status, headers, json.loads(raw) if raw else None


def write_ini(tmp_path, change=None):
    """development.ini, with ``change`` made to its text, written as bad.ini."""
    ini = tmp_path / "bad.ini"
    ini.write_text((change or (lambda text: text))((REPO / "development.ini").read_text()))
    return ini


def with_setting(name, value):
    return lambda text: re.sub(r"(?m)^{} = .*\n".format(re.escape(name)), "", text).replace(
        "[app:main]\n", "[app:main]\n{} = {}\n".format(name, value), 1)


def test_the_server_answers_real_http_requests(tmp_path):
    # The ini names the data folder relative to its own folder.
    data_dir = copy_example(tmp_path / "data")
    server = Server(tmp_path, "server", write_ini(tmp_path, with_setting("korvane.data_dir", "data")), None)
    port = server.port
    try:
        status, _, body = fetch(port, "/query/customers_by_country/country/DE", key="alice-key")
        assert status == 200
        assert [row["name"] for row in json.loads(body)["rows"]] == ["Anna Berg", "Jonas Weber", "Paul Meyer"]
        status, headers, _ = fetch(port, "/dd/sales/orders", key="bob-key")
        assert (status, headers["Location"]) == (302, "http://127.0.0.1:{}/dd/sales/orders?limit=10".format(port))
        # waitress keeps the request line in REQUEST_URI: the doubled slash reaches the context and is redirected.
        status, headers, _ = fetch(port, "/dd/demo//customers", key="alice-key")
        assert (status, headers["Location"], headers["Warning"]) == (
            308, "http://127.0.0.1:{}/dd/demo/customers".format(port), "Redirected to a fixed path")
        # A request body, as the process receives it.
        status, _, body = fetch(port, "/dd-url/parse", key="alice-key", method="POST",
                                body=json.dumps({"path": "/dd/demo/customers/name/a$2Fb"}).encode())
        assert status == 200 and json.loads(body)["filters"] == {"name": "a/b"}
        assert sorted(p.name for p in data_dir.glob("*.sqlite3")) == ["demo.sqlite3", "sales.sqlite3"]
    finally:
        stop_process(server.process, REQUEST_SECONDS)
    # No traceback, and no warning at start: the package silences the two that Pyramid 1.10 raises about itself.
    log = server.log.read_text()
    assert "Traceback" not in log and "Warning" not in log, log
    assert "Serving the data folder {} ".format(data_dir) in log, log


@pytest.mark.parametrize("ini, spoil, args, message", [
    (with_setting("korvane.status_capacity", "lots"), None, [],
     "korvane.status_capacity must be a whole number of at least 1"),
    (None, lambda data_dir: (data_dir / "broken.sql").write_text("CREATE TABLE (;"), [],
     "The sample database broken cannot be built from broken.sql"),
    (None, lambda data_dir: edit_store(data_dir, lambda data: data["databases"]["sales"].update(sqlite_path=5)), [],
     "Database definition 'sales' field 'sqlite_path' must be a text or null"),
    (None, None, ["--port", "99999"], "argument --port: expected a port number from 0 to 65535"),
    (None, None, ["--port", "{busy}"], "Address already in use"),
    (None, None, ["--host", "no.such.host.invalid"], "cannot serve on no.such.host.invalid:0"),
    (None, None, ["--data-dir", ""], "--data-dir must name a folder"),
    (lambda text: "port = 1\n", None, [], "bad.ini cannot be read as an ini file"),
    (lambda text: text.replace("[app:main]", "[app:other]"), None, [], "bad.ini has no [app:main] section"),
], ids=["bad setting", "broken script", "store value", "port", "port in use", "host",
        "empty data dir", "not an ini", "no app section"])
def test_the_server_refuses_to_start_in_one_line(tmp_path, ini, spoil, args, message):
    # Each of these ended in a traceback (or went on in spite of the fault); the refusal is one line and exit 2.
    data_dir = copy_example(tmp_path / "data")
    if spoil:
        spoil(data_dir)
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        done = subprocess.run(
            [sys.executable, "-m", "korvane.app", str(write_ini(tmp_path, ini)), "--host", "127.0.0.1",
             "--port", "0", "--data-dir", str(data_dir), *[arg.format(busy=busy.getsockname()[1]) for arg in args]],
            cwd=tmp_path, env=CHILD_ENV, capture_output=True, text=True, timeout=60,
        )
    last = done.stderr.splitlines()[-1] if done.stderr else ""
    assert done.returncode == 2 and "Traceback" not in done.stderr and last.startswith("korvane-demo: error: "), done.stderr
    assert message in last
