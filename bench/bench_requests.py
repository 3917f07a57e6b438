"""Time of a data-discovery request against a stored query, through the
whole server (routing, authentication, the root factory, the view).

Run against the installed package, for example:
    .venv/bin/pip install --no-build-isolation .
    .venv/bin/python bench/bench_requests.py [--number N]

The server is the application of development.ini over a temporary copy of
the example data; each request is a WSGI call with the environment
waitress would give it.  The two URLs are timed in alternating runs; the
figure per URL is the best run, in milliseconds per request, and the
ratio is data discovery over stored query (the goal: at most 1.2).
"""

import argparse
import os
import shutil
import sys
import tempfile
import timeit
from pathlib import Path

import korvane  # noqa: F401  (its warning filters come before Pyramid's import)

import plaster
from webob import Request

from korvane.app import EXAMPLE_DIR, main

REPO = Path(__file__).resolve().parents[1]
URLS = {
    "stored query": "/query/customers_by_country/country/DE",
    "data discovery": "/dd/demo/customers",
}


def make_app(data_dir):
    settings = dict(plaster.get_loader(str(REPO / "development.ini"), protocols=["wsgi"]).get_settings("app:main"))
    settings.pop("use", None)
    settings["korvane.data_dir"] = str(data_dir)
    return main({"here": str(REPO)}, **settings)


def request_runner(app, url):
    def run():
        request = Request.blank(url, environ={"REQUEST_URI": url}, headers={"X-API-Key": "alice-key"})
        response = request.get_response(app)
        assert response.status_int == 200, response.text

    return run


def main_(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=300, help="requests per run")
    parser.add_argument("--repeat", type=int, default=5, help="runs per URL")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as scratch:
        data_dir = Path(scratch) / "data"
        shutil.copytree(EXAMPLE_DIR, data_dir, ignore=shutil.ignore_patterns("*.sqlite3", "*.tmp"))
        app = make_app(data_dir)
        runners = {label: request_runner(app, url) for label, url in URLS.items()}
        for run in runners.values():
            run()  # warm up: databases built, models read
        best = dict.fromkeys(runners, float("inf"))
        for _ in range(args.repeat):
            for label, run in runners.items():
                best[label] = min(best[label], timeit.timeit(run, number=args.number) / args.number)
    for label, seconds in best.items():
        print("{:<16} {:>8.3f} ms  {}".format(label, seconds * 1000, URLS[label]))
    ratio = best["data discovery"] / best["stored query"]
    print("ratio data discovery / stored query: {:.2f} (goal: at most 1.2)".format(ratio))
    return 0


if __name__ == "__main__":
    sys.exit(main_())
