#!/usr/bin/env bash
# Installs what the tests need when it is missing, builds the engine and its
# GoogleTest suite with warnings as errors, runs it, runs it again built by
# clang with AddressSanitizer and UndefinedBehaviorSanitizer, replays the
# fuzz targets' committed corpora (tools/fuzz.sh), then builds the one
# stable-ABI wheel and runs the Python suite against it under every CPython
# the wheel claims: 3.9, 3.10, 3.11, 3.12 and 3.13. A missing one fails the
# run; ZEZ_PYTHON_VERSIONS="3.11 3.13" narrows the list on a machine that
# lacks some.
#
# Nothing is installed into the system interpreter: the build tools go into
# build/venv-tools and each suite run into build/venv-<version>.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
source tools/venv.sh
VERSIONS=(${ZEZ_PYTHON_VERSIONS:-3.9 3.10 3.11 3.12 3.13})
# Each stage's heading carries the time since the start, so a slow stage shows.
stage() { echo "== [$(( SECONDS / 60 ))m$(printf %02d $(( SECONDS % 60 )))s] $*"; }

# Every interpreter is found before anything is built, so a missing one
# fails the run at once.
find_python() {
  local ver=$1 cand found=""
  for cand in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$ver".*/bin/python"$ver"; do
    [ -x "$cand" ] && found=$cand
  done
  if [ -z "$found" ] && command -v "python$ver" >/dev/null; then found=$(command -v "python$ver"); fi
  echo "$found"
}
interps=()
for ver in "${VERSIONS[@]}"; do
  interp=$(find_python "$ver")
  if [ -z "$interp" ]; then
    echo "!! CPython $ver not found (looked in pyenv's versions and on PATH): the wheel claims it, so it must be tested"
    exit 1
  fi
  interps+=("$interp")
done

if [ ! -f /usr/include/gtest/gtest.h ]; then
  echo "== installing libgtest-dev"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev
fi
stage "installing the build tools into build/venv-tools"
use_tools_venv

stage "engine tests"
cmake -S . -B build/engine -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DZEZ_WERROR=ON -DZEZ_BUILD_TESTS=ON -DZEZ_BUILD_PYTHON=OFF >/dev/null
cmake --build build/engine
ctest --test-dir build/engine --output-on-failure -j 2 --timeout 600
# The Python suite holds the tool's JSON reader and writer to Python's json
# module through this echo program.
export ZEZ_JSON_ECHO="$ROOT/build/engine/json_echo"

stage "engine tests under AddressSanitizer and UndefinedBehaviorSanitizer (clang)"
bash tools/fuzz.sh build >build/fuzz-build.log 2>&1 || { tail -40 build/fuzz-build.log; exit 1; }
ctest --test-dir build/fuzz --output-on-failure -j 2 --timeout 600
stage "fuzz targets over their committed corpora"
bash tools/fuzz.sh replay


stage "building the stable-ABI wheel"
rm -rf build/wheel
build/venv-tools/bin/python -m pip wheel -q --disable-pip-version-check --no-deps \
  --no-build-isolation . -w build/wheel -Ccmake.define.ZEZ_WERROR=ON -Cbuild-dir=build/py
WHEEL=$(ls build/wheel/*.whl)
echo "   $WHEEL"

ran=()
for i in "${!VERSIONS[@]}"; do
  ver=${VERSIONS[$i]} interp=${interps[$i]}
  stage "Python suite under $("$interp" --version) ($interp)"
  venv=build/venv-$ver
  make_venv "$interp" "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r tests/requirements-python.txt
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$WHEEL"
  (cd "$ROOT/tests/python" && "$ROOT/$venv/bin/python" -m pytest -q -p no:cacheprovider .)
  ran+=("$("$interp" --version | cut -d' ' -f2)")
done
stage "Python suite passed under: ${ran[*]}"
