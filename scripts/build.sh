#!/usr/bin/env bash
# Builds the shipped, signed otSetup.exe around a payload in one command:
#   scripts/build.sh [PAYLOAD_DIR] [-- extra CMake options, e.g. the means of signing:
#       -DOT_SIGN_PKCS11_MODULE=... -DOT_SIGN_PKCS11_KEY=pkcs11:... -DOT_SIGN_CERT=chain.pem ...]
# Without PAYLOAD_DIR the built-in demo payload is used. The result is
# build/windows-x86/bin/otSetup.exe.
set -euo pipefail
source "$(dirname "$0")/common.sh"
payload=""
if [ $# -gt 0 ] && [ "$1" != "--" ]; then
  payload=$(cd "$1" && pwd)
  shift
fi
[ "${1:-}" = "--" ] && shift
bash "$ROOT/scripts/bootstrap.sh"
cmake --preset windows-x86 -S "$ROOT" -DOT_PAYLOAD_DIR="$payload" "$@" >/dev/null
cmake --build "$ROOT/build/windows-x86" -j "$JOBS" --target otSetup
echo "build: $ROOT/build/windows-x86/bin/otSetup.exe"
"$ROOT/build/windows-x86/host-tools/bin/mkdistro" --verify "$ROOT/build/windows-x86/distro/Distro.zip"
