#!/usr/bin/env bash
# Installs what the tests need when it is missing, builds the engine and its
# GoogleTest suite with warnings as errors, runs it, runs it again built by
# clang with AddressSanitizer and UndefinedBehaviorSanitizer, replays the
# fuzz targets' committed corpora (tools/fuzz.sh), then builds the one
# stable-ABI wheel and runs the Python suite under every CPython it finds
# (3.9, 3.11 and 3.13 from pyenv, and the default python3).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=${PYTHON:-python3}

if [ ! -f /usr/include/gtest/gtest.h ]; then
  echo "== installing libgtest-dev"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev
fi
echo "== installing test requirements"
"$PY" -m pip install -q --disable-pip-version-check -r tests/requirements.txt
# cmake and ninja from PyPI land beside the interpreter.
export PATH="$("$PY" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"

echo "== engine tests"
cmake -S . -B build/engine -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DZEZ_WERROR=ON -DZEZ_BUILD_TESTS=ON -DZEZ_BUILD_PYTHON=OFF >/dev/null
cmake --build build/engine
ctest --test-dir build/engine --output-on-failure -j 2 --timeout 600

echo "== engine tests under AddressSanitizer and UndefinedBehaviorSanitizer (clang)"
bash tools/fuzz.sh build >build/fuzz-build.log 2>&1 || { tail -40 build/fuzz-build.log; exit 1; }
ctest --test-dir build/fuzz --output-on-failure -j 2 --timeout 600
echo "== fuzz targets over their committed corpora"
bash tools/fuzz.sh replay

if ! ls src/python/*.cc >/dev/null 2>&1 || ! ls tests/python/test_*.py >/dev/null 2>&1; then
  echo "== no Python module yet: engine tests only"
  exit 0
fi

echo "== building the stable-ABI wheel"
rm -rf build/wheel
"$PY" -m pip wheel -q --disable-pip-version-check --no-deps . -w build/wheel \
  -Ccmake.define.ZEZ_WERROR=ON -Cbuild-dir=build/py
WHEEL=$(ls build/wheel/*.whl)
echo "   $WHEEL"

ran=()
for ver in 3.9 3.11 3.13; do
  interp=""
  for cand in "$HOME"/.pyenv/versions/"$ver".*/bin/python"$ver"; do
    [ -x "$cand" ] && interp=$cand
  done
  if [ -z "$interp" ] && command -v "python$ver" >/dev/null; then interp=$(command -v "python$ver"); fi
  if [ -z "$interp" ]; then
    echo "!! Python $ver not found: its run is skipped"
    continue
  fi
  echo "== Python suite under $("$interp" --version) ($interp)"
  venv=build/venv-$ver
  [ -x "$venv/bin/python" ] || "$interp" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r tests/requirements-python.txt
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$WHEEL"
  (cd "$ROOT/tests/python" && "$ROOT/$venv/bin/python" -m pytest -q -p no:cacheprovider .)
  ran+=("$ver")
done
if [ ${#ran[@]} -eq 0 ]; then
  echo "!! no interpreter ran the Python suite"; exit 1
fi
echo "== Python suite passed under: ${ran[*]}"
