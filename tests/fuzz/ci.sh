#!/usr/bin/env bash
# The fuzzing part of the test suite: configures the host-fuzz preset (clang), builds the fuzz
# targets, makes the seed corpus and runs each target briefly (OT_FUZZ_SECONDS, default 60),
# then replays the kept regression inputs. Exit status 0 only when every step passed.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
jobs=${JOBS:-$(nproc)}

cmake --preset host-fuzz -S "$root" >/dev/null
cmake --build "$root/build/host-fuzz" --target fuzz_all -j "$jobs"
ctest --test-dir "$root/build/host-fuzz" -L fuzz -j "$jobs" --output-on-failure
