#!/usr/bin/env bash
# Incremental build for development: builds the extension into build/<name>
# and stages an importable copy of the package in build/<name>/site.
#   scripts/dev-build.sh [name] [extra cmake -D options...]
# Then: PYTHONPATH=build/<name>/site .venv/bin/python -m pytest -q tests
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
name=${1:-dev}
shift || true
python=${PYTHON:-$root/.venv/bin/python}
out=$root/build/$name
cmake -S "$root" -B "$out" -G Ninja -DPython_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$out"
rm -rf "$out/site"
mkdir -p "$out/site"
cp -r "$root/korvane" "$out/site/korvane"
find "$out/site" \( -name '__pycache__' -o -name '*.so' \) -prune -exec rm -rf {} +
cp "$out"/roots.*.so "$out/site/korvane/"
