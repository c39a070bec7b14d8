#!/usr/bin/env bash
# Extraction benchmark: orvunzip against 7-Zip and bsdtar on the benchmark payload's
# distribution archive, plus the crypto and inflate micro-benchmarks. Prints markdown tables.
#
#   scripts/bench.sh [--runs N] [--tiny] [--no-build] [--build-dir DIR] [--work-dir DIR]
#
#   --runs N         interleaved rounds of every tool (default 7)
#   --tiny           the payload's small files only, one round, no micro-benchmarks: a quick
#                    check that the benchmark still works (the test suite runs it)
#   --no-build       use the programs already built in the build directory
#   --build-dir DIR  host build tree (default build/host, configured with the host preset)
#   --work-dir DIR   payload, archives and output directories (default BUILD/bench, or
#                    BUILD/bench-tiny); outputs land on the same filesystem as the archives
#   --also LABEL=PATH  another orvunzip build, run in the same rounds (before/after figures)
#   --slow-close-ms N  orvunzip, 7zz and bsdtar also run with each close of an output file
#                    delayed by N ms (an LD_PRELOAD shim, bench/slow_close.c), as on Windows
#                    under an on-access scanner (default 5; 0 leaves these rounds out)
set -euo pipefail
source "$(dirname "$0")/common.sh"

runs=7
tiny=0
build=1
build_dir="$ROOT/build/host"
work_dir=""
also=()
slow_close=5
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs="$2"; shift 2 ;;
    --tiny) tiny=1; shift ;;
    --no-build) build=0; shift ;;
    --build-dir) build_dir="$2"; shift 2 ;;
    --work-dir) work_dir="$2"; shift 2 ;;
    --also) also+=(--also "$2"); shift 2 ;;
    --slow-close-ms) slow_close="$2"; shift 2 ;;
    -h|--help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
    *) echo "bench: unknown option $1" >&2; exit 2 ;;
  esac
done
if [ -z "$work_dir" ]; then
  work_dir="$build_dir/bench"
  [ "$tiny" = 1 ] && work_dir="$build_dir/bench-tiny"
fi

targets=(orvunzip mkdistro benchpayload slow_close)
[ "$tiny" = 1 ] || targets+=(ot_micro_bench)
if [ "$build" = 1 ]; then
  echo "bench: building ${targets[*]} in $build_dir" >&2
  if [ "$build_dir" = "$ROOT/build/host" ]; then
    configure=(cmake --preset host -S "$ROOT")
  else
    configure=(cmake -S "$ROOT" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo)
  fi
  if ! log=$("${configure[@]}" 2>&1 && cmake --build "$build_dir" --target "${targets[@]}" 2>&1); then
    echo "$log" >&2
    exit 1
  fi
fi

args=(--bin-dir "$build_dir/bin" --work-dir "$work_dir" --runs "$runs" --slow-close-ms "$slow_close" "${also[@]}")
[ "$tiny" = 1 ] && args+=(--tiny) || args+=(--micro)
exec /usr/bin/python3 "$ROOT/bench/run_bench.py" "${args[@]}"
