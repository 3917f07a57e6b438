# Sourced by scripts/test.sh and scripts/demo.sh (and by scripts/dev-build.sh
# when no virtual environment exists yet).  Makes the project's virtual
# environment .venv with Python 3.12 and the pinned working set of
# requirements.txt, so that a fresh machine needs nothing but this checkout.
#
# Sets: root (the checkout), venv_python (the environment's interpreter).
# Functions: install_package (builds and installs korvane-roots into .venv).

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv_python=$root/.venv/bin/python

find_python() {
    # $PYTHON wins; then the pyenv build this project is developed on; then PATH.
    if [[ -n ${PYTHON:-} ]]; then
        echo "$PYTHON"
        return
    fi
    if command -v pyenv >/dev/null 2>&1; then
        local candidate
        candidate="$(pyenv root)/versions/3.12.1/bin/python3.12"
        if [[ -x $candidate ]]; then
            echo "$candidate"
            return
        fi
    fi
    command -v python3.12 || true
}

if [[ ! -x $venv_python ]]; then
    base_python=$(find_python)
    if [[ -z $base_python ]] || ! "$base_python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
        echo "error: Python 3.12 not found: set PYTHON to a python3.12 interpreter" >&2
        exit 1
    fi
    echo "Creating .venv with $base_python"
    "$base_python" -m venv "$root/.venv"
fi

"$venv_python" -m pip install --quiet --disable-pip-version-check -r "$root/requirements.txt"

install_package() {
    # No build isolation: the build tools are pinned in requirements.txt, and
    # the CMake build directory under build/ is reused between runs.
    "$venv_python" -m pip install --quiet --disable-pip-version-check --no-build-isolation \
        --config-settings="build-dir=$root/build/{wheel_tag}" "$root"
}
