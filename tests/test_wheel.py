"""The package as a newcomer gets it: built, installed with the pinned dependencies into a fresh virtual environment,
and served from outside any checkout by ``korvane-demo`` and ``pserve``."""
# Dependencies come from build/wheelhouse, filled by ``pip download`` on the first run and reused offline after.

import json
import os
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

from helpers import free_loopback_port, wait_for_port
from test_server import fetch

REPO = Path(__file__).resolve().parents[1]
WHEELHOUSE = REPO / "build" / "wheelhouse"
DE_CUSTOMERS = ["Anna Berg", "Jonas Weber", "Paul Meyer"]

pytestmark = pytest.mark.skipif(
    os.environ.get("ROOTS_ASAN") == "1", reason="packaging is checked once, not under the sanitizers"
)


def run(*command, cwd=None):
    result = subprocess.run([str(part) for part in command], cwd=cwd, capture_output=True, text=True)
    assert result.returncode == 0, "{}\n{}\n{}".format(command, result.stdout[-4000:], result.stderr[-4000:])
    return result


def install(venv_python, wheel):
    pinned = ["-c", REPO / "requirements.txt", wheel]
    offline = [venv_python, "-m", "pip", "install", "--quiet", "--no-index", "--find-links", WHEELHOUSE, *pinned]
    if subprocess.run([str(part) for part in offline], capture_output=True).returncode != 0:
        run(venv_python, "-m", "pip", "download", "--quiet", "--dest", WHEELHOUSE, *pinned)
        # Only the dependencies are kept: the package itself is built afresh.
        for stale in WHEELHOUSE.glob("korvane_roots-*"):
            stale.unlink()
        run(*offline)


def serve_one_request(command, cwd, tmp_path, name):
    """The log of a server started by ``command(port)``, which must answer the demo query."""
    port = free_loopback_port()
    log = tmp_path / (name + ".log")
    env = {key: value for key, value in os.environ.items() if not key.startswith("PYTHON")}
    with open(log, "wb") as output:
        process = subprocess.Popen(
            [str(part) for part in command(port)], cwd=cwd, env=dict(env, PYTHONUNBUFFERED="1"),
            stdout=output, stderr=subprocess.STDOUT,
        )
    try:
        wait_for_port(port, process, log.read_text)
        status, _, body = fetch(port, "/query/customers_by_country/country/DE")
    finally:
        process.terminate()
        process.wait(timeout=10)
    assert status == 200 and [row["name"] for row in json.loads(body)["rows"]] == DE_CUSTOMERS
    return log.read_text()


def test_the_built_wheel_installs_and_serves_in_a_fresh_environment(tmp_path):
    dist = tmp_path / "dist"
    run(sys.executable, "-m", "build", "--no-isolation", "--outdir", dist, REPO)
    [sdist], [wheel] = list(dist.glob("*.tar.gz")), list(dist.glob("*.whl"))
    with tarfile.open(sdist) as archive:
        shipped = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    assert {"development.ini", "src/korvane/app/example/store.json", "src/korvane/app/demo.ini"} <= shipped
    assert not [name for name in shipped if name.endswith((".so", ".sqlite3"))]
    with zipfile.ZipFile(wheel) as archive:
        packaged = set(archive.namelist())
    assert {"korvane/app/example/store.json", "korvane/app/example/demo.sql", "korvane/app/demo.ini"} <= packaged

    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", venv)
    install(venv / "bin" / "python", wheel)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()

    data_dir = elsewhere / "data"
    log = serve_one_request(
        lambda port: [venv / "bin" / "korvane-demo", "--data-dir", data_dir, "--host", "127.0.0.1", "--port", port],
        elsewhere, tmp_path, "korvane-demo")
    assert {"store.json", "demo.sql", "demo.sqlite3"} <= {path.name for path in data_dir.iterdir()}
    assert "Warning" not in log and "Traceback" not in log, log

    # pserve, the way every Pyramid app is started, with the checkout's ini.
    ini = elsewhere / "development.ini"
    ini.write_text((REPO / "development.ini").read_text().replace("port = 6543", "port = %(http_port)s"))
    log = serve_one_request(lambda port: [venv / "bin" / "pserve", ini, f"http_port={port}"], elsewhere, tmp_path, "pserve")
    assert (elsewhere / "data" / "sales.sqlite3").is_file() and "Traceback" not in log, log


def test_a_build_whose_profile_training_fails_goes_on_without_a_profile(tmp_path):
    # The optimised build reads whatever the training leaves: a failed run must leave nothing, counts of an
    # earlier training included.
    profile, mark = tmp_path / "profile", tmp_path / "mark.h"
    profile.mkdir()
    (profile / "earlier.gcda").write_bytes(b"stale counts")
    not_a_module = tmp_path / "roots.cpython-312-x86_64-linux-gnu.so"
    not_a_module.write_text("not a shared object")
    result = run(sys.executable, REPO / "bench" / "train_profile.py", not_a_module, profile, mark)
    assert "the training did not run" in result.stderr
    assert list(profile.iterdir()) == []
    assert "not taken" in mark.read_text()
