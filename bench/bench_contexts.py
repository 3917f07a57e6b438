"""Time to build a request context, per class.

Run against a built package, for example:
    scripts/dev-build.sh dev
    PYTHONPATH=build/dev/site .venv/bin/python -P bench/bench_contexts.py [--number N]

Each context is built from one prepared request many times over; the
figure is the best of five runs, in microseconds per construction.  The
request, settings and store are the test suite's fakes (tests/helpers.py).
"""

import argparse
import os
import sys
import timeit

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from helpers import make_request, make_settings, make_store  # noqa: E402

import korvane.roots as roots  # noqa: E402

USERS = {
    "admin": {"password": "admin-secret"},
    "public": {"databases": []},
    "u1": {"databases": ["sales"]},
}
DATABASES = {"sales": {"read": ["u1"]}}
QUERIES = {"q1": {"database": "sales", "execute": ["u1"], "http_methods": {"GET": True}}}


def settings():
    store = make_store(users=USERS, databases=DATABASES, querydefs=QUERIES)
    return make_settings(store=store)


def cases():
    """(label, class, request) for each context measured."""
    shared = settings()
    return [
        ("RootContext", roots.RootContext, make_request("/", settings=shared, user_id="u1")),
        ("RootBasic", roots.RootBasic, make_request("/", settings=shared, user_id="u1")),
        (
            "ExecuteQuery",
            roots.ExecuteQuery,
            make_request("/query/q1/a/1.json", settings=shared, user_id="u1", matchdict={"query_id": "q1"}),
        ),
        (
            "DBDef",
            roots.DBDef,
            make_request("/db/sales.json", settings=shared, user_id="admin", matchdict={"db_id": "sales"}),
        ),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=5000, help="constructions per run")
    args = parser.parse_args()
    for label, cls, request in cases():
        cls(request)  # fails loudly here if the fake request does not fit the class
        best = min(timeit.repeat(lambda: cls(request), number=args.number, repeat=5))
        print("{:<14} {:8.2f} µs".format(label, best / args.number * 1e6))


if __name__ == "__main__":
    main()
