#!/usr/bin/env bash
# Installs this package and the peers, builds (or reuses) stores of 100k, 1M
# and 10M records under /tmp/zez-scale and writes the scale curve of open
# time, resident memory and reads after the open to bench/scale.md and
# bench/scale.png. Extra arguments go to bench/scale.py (e.g. --rounds 5,
# --sizes 100000,1000000, --root /data/zez-scale).
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
"$PY" -m pip install -q --disable-pip-version-check . -r bench/requirements.txt
"$PY" bench/scale.py "$@"
