#!/usr/bin/env bash
# Runs the demo server on this checkout: sets up .venv, builds and installs
# the package, then starts korvane.app with the given arguments.
set -euo pipefail
source "$(dirname "$0")/setup-env.sh"
cd "$root"
install_package
exec "$venv_python" -m korvane.app "$@"
