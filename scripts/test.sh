#!/usr/bin/env bash
# Runs every test: host unit tests (also under sanitizers), the fuzz targets, then the shipped
# 32-bit Windows binaries: static checks, and everything under 32-bit Wine.
set -euo pipefail
source "$(dirname "$0")/common.sh"
bash "$ROOT/scripts/bootstrap.sh"
started=$SECONDS

status=0
configure_and_build host
ctest --test-dir "$ROOT/build/host" -j "$JOBS" --output-on-failure || status=1
configure_and_build host-asan && ctest --test-dir "$ROOT/build/host-asan" -L unit -j "$JOBS" --output-on-failure || status=1
# The unzipper's tests under ThreadSanitizer (its decoding and closing threads); a race fails.
configure_and_build host-tsan unzipper_test hostile_test &&
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir "$ROOT/build/host-tsan" -R '^(unzipper_test|hostile_test)$' -j "$JOBS" --output-on-failure ||
  status=1
bash "$ROOT/tests/fuzz/ci.sh" || status=1

how=$("$WINE32" --probe) || { echo "test: 32-bit Wine cannot run here ($how)" >&2; exit 1; }
echo "test: 32-bit Wine runs $how here; the Wine tests run the shipped build/windows-x86" >&2
configure_and_build windows-x86
ctest --test-dir "$ROOT/build/windows-x86" -j "$JOBS" --output-on-failure || status=1
echo "test: finished in $(( (SECONDS - started) / 60 )) min $(( (SECONDS - started) % 60 )) s" >&2
exit "$status"
