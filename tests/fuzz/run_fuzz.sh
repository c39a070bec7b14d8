#!/usr/bin/env bash
# run_fuzz.sh FUZZER SECONDS DICT WORKDIR SEEDDIR...
# Runs one libFuzzer target for SECONDS (OT_FUZZ_SECONDS overrides it) on a working corpus in
# WORKDIR/corpus, which starts from the seed directories and keeps what the run finds. A crash,
# leak, timeout or failed check leaves its input in WORKDIR/artifacts and fails the run. The
# final statistics (executions, coverage) are printed.
set -euo pipefail

if [ $# -lt 5 ]; then
  echo "usage: $0 FUZZER SECONDS DICT WORKDIR SEEDDIR..." >&2
  exit 2
fi
fuzzer=$1 seconds=${OT_FUZZ_SECONDS:-$2} dict=$3 work=$4
shift 4

mkdir -p "$work/corpus" "$work/artifacts"
for seeds in "$@"; do
  if [ ! -d "$seeds" ] || [ -z "$(ls -A "$seeds")" ]; then
    echo "run_fuzz: seed directory $seeds is missing or empty" >&2
    exit 1
  fi
done

# -error_exitcode: libFuzzer's own default (77) would read as "skipped" to CTest.
exec nice -n 10 "$fuzzer" "$work/corpus" "$@" \
  -dict="$dict" \
  -max_total_time="$seconds" \
  -timeout=30 \
  -rss_limit_mb=2048 \
  -max_len=16384 \
  -error_exitcode=1 \
  -timeout_exitcode=1 \
  -artifact_prefix="$work/artifacts/" \
  -print_final_stats=1 \
  -print_coverage=0
