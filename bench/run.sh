#!/usr/bin/env bash
# Installs this package and the peers the benchmark compares against, then
# runs every workload and writes bench/results.md and bench/results.png.
# Extra arguments go to bench/run.py (e.g. --rounds 5, --records 200000).
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
"$PY" -m pip install -q --disable-pip-version-check . -r bench/requirements.txt
"$PY" bench/run.py "$@"
