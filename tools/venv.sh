# Sourced by the scripts in tools/: the build tools (cmake, ninja,
# scikit-build-core) live in a virtual environment of their own under build/,
# never in the interpreter that made it, so an externally managed system
# Python works as well as a private one.
#
#   make_venv PYTHON DIR    creates DIR from PYTHON unless it is there
#   use_tools_venv          makes build/venv-tools and puts it first on PATH

# Debian's python3 ships without ensurepip until python3-venv is installed.
make_venv() {
  local py=$1 dir=$2
  [ -x "$dir/bin/python" ] && return
  if ! "$py" -m venv "$dir" >/dev/null 2>&1; then
    rm -rf "$dir"
    echo "== installing python3-venv (the interpreter cannot make a virtual environment)"
    local sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3-venv >/dev/null
    "$py" -m venv "$dir"
  fi
}

use_tools_venv() {
  make_venv "${PYTHON:-python3}" build/venv-tools
  # A system pip can be too old for -C (config settings): update it first.
  build/venv-tools/bin/python -m pip install -q --disable-pip-version-check --upgrade "pip>=23.1"
  build/venv-tools/bin/python -m pip install -q --disable-pip-version-check -r tests/requirements.txt
  PATH="$PWD/build/venv-tools/bin:$PATH"
  export PATH
}
