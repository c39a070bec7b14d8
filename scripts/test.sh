#!/usr/bin/env bash
# Runs every test: host unit tests, checks of the shipped 32-bit binaries, and the Windows
# programs under Wine (32-bit when this machine can run it, else the 64-bit twin).
set -euo pipefail
source "$(dirname "$0")/common.sh"
bash "$ROOT/scripts/bootstrap.sh"

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

configure_and_build windows-x86
ctest --test-dir "$ROOT/build/windows-x86" -j "$JOBS" --output-on-failure || status=1

if [ "$(wine_arch)" = x64 ]; then
  echo "test: this kernel cannot run 32-bit programs; the Wine tests run the x86_64 twin" >&2
  configure_and_build windows-x64
  ctest --test-dir "$ROOT/build/windows-x64" -j "$JOBS" --output-on-failure -L wine || status=1
fi
exit "$status"
