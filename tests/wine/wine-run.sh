#!/usr/bin/env bash
# Runs one cross-built Windows console program under Wine, for CTest:
#   wine-run.sh prog.exe [args...]
# The loader is chosen from the PE header's machine field (i386 -> wine32 beside this script,
# x86-64 -> wine64). When the 32-bit loader cannot run (no i386 support in the kernel and no
# qemu-i386 from scripts/bootstrap.sh) the script fails; a missing wine64 exits 77, which the
# tests register as "skipped". OT_WINE32_EMULATE=1 with QEMU_CPU=<model> runs a 32-bit program
# on an emulated processor.
# Each run gets a private prefix (a copy of a per-build template when OT_WINE_TEMPLATE_DIR is
# set, a fresh wineboot otherwise) and no X display. The program is bounded by
# OT_WINE_TIMEOUT seconds (default 120); its exit code is passed back (124 on time-out).
# Whatever happens, the prefix's wineserver and any process of it left are ended and the prefix
# removed.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
python=/usr/bin/python3

if [ $# -lt 1 ] || [ ! -f "$1" ]; then
  echo "usage: wine-run.sh prog.exe [args...]" >&2
  exit 2
fi
exe=$1
shift

# PE: e_lfanew at 0x3c, then "PE\0\0" and the 16-bit machine field.
pe_offset=$(od -An -t u4 -j 60 -N 4 "$exe" | tr -d ' ')
machine=$(od -An -t x2 -j $((pe_offset + 4)) -N 2 "$exe" | tr -d ' ')
case "$machine" in
  014c) loader=$here/wine32;         arch=win32 ;;
  8664) loader=/usr/lib/wine/wine64; arch=win64 ;;
  *) echo "wine-run.sh: $exe: unknown PE machine '$machine'" >&2; exit 2 ;;
esac
if ! "$loader" --version >/dev/null 2>&1; then
  if [ "$arch" = win32 ]; then
    echo "wine-run.sh: $loader cannot run on this machine; run scripts/bootstrap.sh" >&2
    exit 1
  fi
  echo "wine-run.sh: $loader cannot run on this machine; skipping" >&2
  exit 77
fi
if [ -x /usr/lib/wine/wineserver64 ]; then
  wineserver=/usr/lib/wine/wineserver64
else
  wineserver=/usr/lib/wine/wineserver32
fi

workdir=$(mktemp -d "${TMPDIR:-/tmp}/ot-wine-run.XXXXXX") || exit 2
export WINEPREFIX=$workdir/prefix
export WINEARCH=$arch
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINELOADER=$loader
export DISPLAY=
# Wine keeps its server socket directory under TMPDIR: inside the work directory it goes with it.
export TMPDIR=$workdir/tmp
mkdir -p "$TMPDIR"

cleanup() {
  timeout 20 "$wineserver" -k >/dev/null 2>&1
  timeout 20 "$wineserver" -w >/dev/null 2>&1
  # A process the wineserver never knew of (under qemu-i386, a child stuck between fork and
  # exec) survives it; it is found by its WINEPREFIX.
  timeout 20 "$python" "$here/harness/otwine.py" kill-leftovers --prefix "$WINEPREFIX"
  rm -rf "$workdir"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A fresh prefix, booted with a bound of its own before the program runs (otwine.boot_prefix:
# under emulation a boot that hangs is done once more in a fresh copy).
"$python" "$here/harness/otwine.py" new-prefix --boot --loader "$loader" \
    ${OT_WINE_TEMPLATE_DIR:+--template-dir "$OT_WINE_TEMPLATE_DIR"} --dest "$WINEPREFIX" || exit 2

timeout --kill-after=10 "${OT_WINE_TIMEOUT:-120}" "$loader" "$exe" "$@"
exit $?
