#!/usr/bin/env bash
# Incremental build for development: builds the extension into build/<name>
# and stages an importable copy of the package in build/<name>/site.
#   scripts/dev-build.sh [name] [extra cmake -D options...]
# Then: PYTHONPATH=build/<name>/site .venv/bin/python -P -m pytest -q tests
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
name=${1:-dev}
shift || true
if [[ ! -x $root/.venv/bin/python ]]; then
    source "$root/scripts/setup-env.sh"
fi
python=$root/.venv/bin/python
# The pinned ninja (and cmake, when pinned) of the environment come first.
export PATH=$root/.venv/bin:$PATH
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
    echo "error: dev-build needs cmake and ninja (ninja is in requirements.txt)" >&2
    exit 1
fi
out=$root/build/$name
cmake -S "$root" -B "$out" -G Ninja -DPython_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$out"
rm -rf "$out/site"
mkdir -p "$out/site"
cp -r "$root/src/korvane" "$out/site/korvane"
find "$out/site" \( -name '__pycache__' -o -name '*.so' \) -prune -exec rm -rf {} +
cp "$out"/roots.*.so "$out/site/korvane/"
