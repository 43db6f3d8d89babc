#!/usr/bin/env bash
# Runs the Python suite once against an extension built with
# AddressSanitizer and UndefinedBehaviorSanitizer (g++), the sanitizer
# runtimes preloaded into an ordinary interpreter. Not part of the test
# command: the build takes minutes. Leak detection is off (the interpreter
# keeps memory until exit by design), and one test is expected to fail: it
# exhausts memory on purpose, which the sanitizer's allocator reports as a
# fatal error instead of throwing std::bad_alloc.
#
#   bash tools/asan_python.sh [pytest args...]
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/venv.sh
use_tools_venv

rm -rf build/wheel-asan
build/venv-tools/bin/python -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation . -w build/wheel-asan \
  -Ccmake.define.ZEZ_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo -Cbuild-dir=build/py-asan
make_venv "${PYTHON:-python3}" build/venv-asan
build/venv-asan/bin/python -m pip install -q --disable-pip-version-check -r tests/requirements-python.txt
build/venv-asan/bin/python -m pip install -q --disable-pip-version-check --force-reinstall --no-deps \
  build/wheel-asan/*.whl

preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
cd tests/python
env LD_PRELOAD="$preload" PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ../../build/venv-asan/bin/python -m pytest -q -p no:cacheprovider "$@" .
