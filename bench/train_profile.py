"""Takes the profile that the module's optimised build is compiled with.

Called by the build (CMakeLists.txt), not by hand:

    python train_profile.py INSTRUMENTED_MODULE PROFILE_DIR MARK

INSTRUMENTED_MODULE is the module built with -fprofile-generate=PROFILE_DIR.
It is staged next to a copy of the package's Python sources and made to
run the benchmark's constructions (bench_roots.py --train); at exit it
leaves its counts in PROFILE_DIR, where the optimised build's compiler reads
them.  MARK, a header the optimised build includes into every source, is
written anew each time, so that every source is compiled again with the new
counts.

The training needs the server's own dependencies (Pyramid, WebOb).  Where
it cannot run, as in a build isolated from them, PROFILE_DIR is left empty
and the module is compiled as it would be without a profile: the build
goes on either way.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = os.path.join(HERE, "..", "src", "korvane")
# The training takes about a second; a build never waits on it for long.
TIME_LIMIT = 300


def write_mark(mark, trained):
    with open(mark, "w") as header:
        header.write(f"// Written by bench/train_profile.py at {time.time_ns()}: a profile was "
                     f"{'taken' if trained else 'not taken'}.\n")


def main():
    module, profile_dir, mark = sys.argv[1:4]
    # Counts from an earlier training would be added to, not replaced.
    shutil.rmtree(profile_dir, ignore_errors=True)
    os.makedirs(profile_dir)
    with tempfile.TemporaryDirectory() as site:
        package = os.path.join(site, "korvane")
        shutil.copytree(PACKAGE, package, ignore=shutil.ignore_patterns("*.so", "__pycache__"))
        staged = shutil.copy(module, package)
        try:
            training = subprocess.run([sys.executable, "-P", os.path.join(HERE, "bench_roots.py"), "--train"],
                                      env=dict(os.environ, PYTHONPATH=site, ROOTS_PROFILE_MODULE=staged),
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                      timeout=TIME_LIMIT)
            failure = None if training.returncode == 0 else (training.stdout.strip().splitlines()[-1:]
                                                              or [f"exit status {training.returncode}"])[0]
        except subprocess.TimeoutExpired:
            failure = f"still running after {TIME_LIMIT} s"
    if failure is not None:
        # Whatever the failed run left would be a partial profile.
        shutil.rmtree(profile_dir)
        os.makedirs(profile_dir)
        print(f"train_profile: the training did not run ({failure}); "
              "the module is built without a profile", file=sys.stderr)
    write_mark(mark, failure is None)


if __name__ == "__main__":
    main()
