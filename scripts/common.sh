# Shared by the top-level scripts: paths, the 32-bit Wine loader, building a preset.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=${JOBS:-$(nproc)}

# The 32-bit Wine loader: native where the kernel runs i386 programs, else under qemu-i386.
WINE32="$ROOT/tests/wine/wine32"

configure_and_build() {  # preset [target...]
  local preset=$1
  shift
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  cmake --preset "$preset" -S "$ROOT" >/dev/null
  cmake --build "$ROOT/build/$preset" -j "$JOBS" "${targets[@]}"
}
