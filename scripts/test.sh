#!/usr/bin/env bash
# The test command: sets up .venv, builds and installs the package, then
#   1. runs the test suite against the installed package,
#   2. imports the module with RuntimeWarning as an error (version check),
#   3. checks the type stub against the module (stubtest),
#   4. rebuilds with AddressSanitizer + UBSan and runs the suite again.
# Any failing step fails the run.
set -euo pipefail
source "$(dirname "$0")/setup-env.sh"
cd "$root"

step() { printf '\n==> %s\n' "$*"; }

step "Building and installing korvane-roots"
install_package

# The shared-store tests start their own memcached on a free loopback port;
# they need Debian's server binary, not a running service.
if ! command -v memcached >/dev/null 2>&1 && [[ ! -x /usr/bin/memcached ]]; then
    step "Installing memcached"
    if [[ $(id -u) -eq 0 ]]; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq memcached >/dev/null
    else
        echo "error: memcached is missing; install it with: sudo apt-get install memcached" >&2
        exit 1
    fi
fi

# The package lives under src/, so the checkout never shadows the installed
# package: every step below exercises it with its compiled module.
step "Test suite"
"$venv_python" -m pytest -q tests

step "Import with RuntimeWarning as an error"
"$venv_python" -W error::RuntimeWarning -c "import korvane.roots"

step "Type stub against the module"
# From an empty directory, so that the stub checked is the installed one.
stub_dir=$(mktemp -d)
trap 'rm -rf "$stub_dir"' EXIT
(cd "$stub_dir" && "$venv_python" -m mypy.stubtest korvane.roots)

step "Sanitizer build (AddressSanitizer, UndefinedBehaviorSanitizer)"
scripts/dev-build.sh asan -DROOTS_SANITIZE=ON

step "Test suite under the sanitizers"
# The stock interpreter is not instrumented: the ASan runtime is preloaded,
# leak detection is left to tests/test_refleaks.py (the interpreter keeps
# memory until exit), and object memory goes through malloc so ASan sees it.
asan_runtime=$(g++ -print-file-name=libasan.so)
ubsan_runtime=$(g++ -print-file-name=libubsan.so)
env PYTHONPATH="$root/build/asan/site" \
    LD_PRELOAD="$asan_runtime:$ubsan_runtime" \
    ASAN_OPTIONS=detect_leaks=0 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    PYTHONMALLOC=malloc \
    ROOTS_ASAN=1 \
    "$venv_python" -m pytest -q tests
