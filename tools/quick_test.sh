#!/usr/bin/env bash
# The everyday loop: builds the engine tests (warnings as errors) and runs
# them, then builds the wheel and runs the Python suite under one CPython
# (3.11 unless ZEZ_PYTHON_VERSION says otherwise). No sanitizer build, no
# fuzz replay, no other interpreters: tools/test.sh runs all of those.
#
#   bash tools/quick_test.sh                  everything above
#   bash tools/quick_test.sh engine [REGEX]   only the engine tests (ctest -R)
#   bash tools/quick_test.sh python [ARGS]    only the Python suite (pytest ARGS)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
source tools/venv.sh
what=${1:-all}; shift || true
use_tools_venv >/dev/null

cmake -S . -B build/engine -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DZEZ_WERROR=ON -DZEZ_BUILD_TESTS=ON -DZEZ_BUILD_PYTHON=OFF >/dev/null
cmake --build build/engine
export ZEZ_JSON_ECHO="$ROOT/build/engine/json_echo"
if [ "$what" = all ] || [ "$what" = engine ]; then
  ctest --test-dir build/engine --output-on-failure -j 2 --timeout 600 ${1:+-R "$1"}
fi
[ "$what" = engine ] && exit 0

ver=${ZEZ_PYTHON_VERSION:-3.11}
rm -rf build/wheel
build/venv-tools/bin/python -m pip wheel -q --disable-pip-version-check --no-deps \
  --no-build-isolation . -w build/wheel -Ccmake.define.ZEZ_WERROR=ON -Cbuild-dir=build/py
venv=build/venv-$ver
interp=$(command -v "python$ver" || ls "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$ver".*/bin/python"$ver" | tail -1)
make_venv "$interp" "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check -r tests/requirements-python.txt
"$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps build/wheel/*.whl
if [ "$what" = python ]; then
  cd tests/python && exec "$ROOT/$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
fi
cd tests/python && exec "$ROOT/$venv/bin/python" -m pytest -q -p no:cacheprovider .
