# Shared by the top-level scripts: paths, and which Windows tree this machine's Wine can run.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=${JOBS:-$(nproc)}

# Prints x86 when 32-bit Wine runs here, else x64 (kernels without 32-bit support, where only
# the 64-bit twin of the Windows tree can be run).
wine_arch() {
  if [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo x86
  else
    echo x64
  fi
}

configure_and_build() {  # preset [target...]
  local preset=$1
  shift
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  cmake --preset "$preset" -S "$ROOT" >/dev/null
  cmake --build "$ROOT/build/$preset" -j "$JOBS" "${targets[@]}"
}
