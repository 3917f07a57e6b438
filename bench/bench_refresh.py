"""The per-request refresh of the store: without memcached (a stat of the
store file) and with it (one memcached get), against a store that has not
changed, and the reload after a write.

Run against a built package with a memcached binary installed, for example:
    scripts/dev-build.sh dev
    PYTHONPATH=build/dev/site .venv/bin/python -P bench/bench_refresh.py [--number N]

It starts its own memcached on a free loopback port and stops it after.
Figures are the best of five runs (reloads: the fastest one), in
microseconds per refresh; the last line is the ratio of the two
per-request costs on an unchanged store.
"""

import argparse
import json
import os
import shutil
import sys
import tempfile
import time
import timeit
from pathlib import Path

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from helpers import Memcached  # noqa: E402

from korvane.config_storage import ConfigStorage  # noqa: E402
from korvane.store_cache import StoreCache  # noqa: E402

EXAMPLE = Path(__file__).resolve().parents[1] / "src" / "korvane" / "app" / "example" / "store.json"


def best(statement, number):
    return min(timeit.repeat(statement, number=number, repeat=5)) / number * 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=5000, help="refreshes per run")
    args = parser.parse_args()
    folder = Path(tempfile.mkdtemp())
    memcached = Memcached()
    try:
        path = folder / "store.json"
        shutil.copy(EXAMPLE, path)
        memcached.start()
        plain = ConfigStorage.from_file(str(path))
        shared = ConfigStorage.from_file(str(path), cache=StoreCache(memcached.address, prefix="bench"))
        other = ConfigStorage.from_file(str(path), cache=StoreCache(memcached.address, prefix="bench"))
        shared.pull()  # publishes the first version

        def reload_after_write(store, count):
            # Only the refresh is timed; the write before it is not.
            times = []
            for n in range(count):
                other.write(lambda data: data.setdefault("querydefs", {}).update(x={"n": n}))
                start = time.perf_counter()
                store.pull()
                times.append(time.perf_counter() - start)
            return min(times) * 1e6

        file_check = best(lambda: plain.pull(), args.number)
        memcached_get = best(lambda: shared.pull(), args.number)
        reloads = max(args.number // 50, 20)
        rows = [
            ("unchanged, file check", file_check),
            ("unchanged, memcached get", memcached_get),
            ("after a write, file re-read", reload_after_write(plain, reloads)),
            ("after a write, memcached document", reload_after_write(shared, reloads)),
        ]
        size = len(json.dumps(shared._document))
        print("store document: {} bytes".format(size))
        for label, micros in rows:
            print("{:<36} {:9.1f} us".format(label, micros))
        print("memcached get / file check, unchanged store: {:.2f}".format(memcached_get / file_check))
    finally:
        memcached.stop()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
