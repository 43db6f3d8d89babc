#!/usr/bin/env bash
# Builds and runs the libFuzzer targets in fuzz/ (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer). The same build dir holds the engine tests
# built with both sanitizers.
#
#   bash tools/fuzz.sh build             configure and build build/fuzz
#   bash tools/fuzz.sh replay            run every target once over its
#                                        committed corpus (fuzz/corpus/<t>)
#   bash tools/fuzz.sh SECONDS [T...]    fuzz each target (default: all) for
#                                        SECONDS, one after another, growing
#                                        build/fuzz-corpus/<t>; prints the
#                                        executions, time and crashes of each
#
# Crashing inputs land in build/fuzz-artifacts/; add a fixed one to
# fuzz/corpus/<t>/ so that the test command replays it from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=build/fuzz
TARGETS=(decode_value record_file backlink_file resolve_links json_reader repair value_cache)

# clang and its runtimes (libFuzzer, the sanitizers) from Debian.
ensure_clang() {
  local probe='extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }'
  if command -v clang++ >/dev/null &&
     echo "$probe" | clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o /tmp/zez_fuzz_probe 2>/dev/null; then
    return
  fi
  echo "== installing clang and its fuzzer and sanitizer runtimes"
  local sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
  local major
  major=$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -1)
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "libclang-rt-$major-dev" >/dev/null
}

build() {
  ensure_clang
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZEZ_BUILD_FUZZ=ON -DZEZ_BUILD_TESTS=ON -DZEZ_BUILD_PYTHON=OFF >/dev/null
  cmake --build "$BUILD"
}

replay() {
  for t in "${TARGETS[@]}"; do
    local n
    n=$(ls fuzz/corpus/"$t" | wc -l)
    "$BUILD/fuzz_$t" -runs=0 fuzz/corpus/"$t" >"$BUILD/replay_$t.log" 2>&1 ||
      { cat "$BUILD/replay_$t.log"; echo "!! $t failed on its corpus"; exit 1; }
    echo "   $t: $n inputs replayed"
  done
}

run_for() {
  local seconds=$1; shift
  local targets=("$@")
  [ ${#targets[@]} -eq 0 ] && targets=("${TARGETS[@]}")
  mkdir -p build/fuzz-artifacts
  printf '%-15s %14s %8s %10s %8s\n' target executions seconds exec/s crashes
  for t in "${targets[@]}"; do
    local corpus=build/fuzz-corpus/$t log=build/fuzz-artifacts/$t.log
    mkdir -p "$corpus"
    local before
    before=$(ls build/fuzz-artifacts | grep -c "^$t-" || true)
    # A crash stops the run; the summary below still counts it.
    "$BUILD/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
      -print_final_stats=1 -artifact_prefix="build/fuzz-artifacts/$t-" \
      "$corpus" fuzz/corpus/"$t" >"$log" 2>&1 || true
    local runs secs crashes
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    secs=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
    crashes=$(( $(ls build/fuzz-artifacts | grep -c "^$t-" || true) - before ))
    printf '%-15s %14s %8s %10s %8s\n' "$t" "${runs:-?}" "${secs:-?}" \
      "$(( ${runs:-0} / (${secs:-1} > 0 ? ${secs:-1} : 1) ))" "$crashes"
  done
}

case "${1:-}" in
  build) build ;;
  replay) replay ;;
  ''|-h|--help) sed -n '2,15p' "$0"; exit 2 ;;
  *) [ -x "$BUILD/fuzz_decode_value" ] || build >/dev/null; run_for "$@" ;;
esac
