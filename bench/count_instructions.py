"""Instruction counts of a few constructions, for comparing two
builds of the module when wall-clock time is too noisy (run under
callgrind; only the constructions themselves are counted):

    PYTHONPATH=build/dev/site valgrind --tool=callgrind --toggle-collect=functools_reduce \\
        --callgrind-out-file=/tmp/cg.out .venv/bin/python -P bench/count_instructions.py roots
    callgrind_annotate /tmp/cg.out | head

The first argument picks the implementation: "roots" or "twin"; "floor"
after it counts the replayed collaborator calls of that implementation
instead, and "realistic" counts the realistic world's constructions rather
than the lean world's.
"""

import functools
import gc
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_roots  # noqa: E402

LABELS = ["RootContext-u1", "DataFormatRoot-u1", "DBModel-u1", "ExecuteQuery-u1", "DBCredentialsRoot-u1",
          "DBDef-404", "UserdefsList-u1"]
CONSTRUCTIONS = 200


def main():
    impl = bench_roots.roots if sys.argv[1] == "roots" else bench_roots.load_twin()
    stores = {"real": bench_roots.make_store(users=bench_roots.USERS, databases=bench_roots.DATABASES,
                                             querydefs=bench_roots.QUERIES, credentials=bench_roots.CREDENTIALS)}
    world = "realistic" if "realistic" in sys.argv[2:] else "lean"
    replay_floor = "floor" in sys.argv[2:]
    prepared = []
    for scenario in bench_roots.scenarios():
        if scenario.label in LABELS:
            run, floor, patches, _, _ = bench_roots.prepare(world, scenario, [impl], stores)[impl]
            prepared.append((floor if replay_floor else run, bench_roots.World(impl, patches)))

    def constructions(_, __):
        for run, world in prepared:
            with world:
                run(CONSTRUCTIONS)

    # As in the benchmark's samples: the collector runs between them, never
    # inside, so its passes (set off by whatever the harness left young)
    # are not counted as anybody's work.
    gc.collect()
    gc.disable()
    functools.reduce(constructions, range(2), None)


if __name__ == "__main__":
    main()
