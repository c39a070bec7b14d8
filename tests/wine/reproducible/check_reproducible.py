#!/usr/bin/python3
"""Builds the shipped binaries twice and compares them byte for byte.

    check_reproducible.py --source DIR [--build-type T] [--payload DIR] [--jobs N] [--keep]

Each build starts from its own copy of the source tree (files copied afresh, so with new
times), in temporary folders of different names and lengths, with its own build folder and
a different time zone, the second a few seconds after the first: only the sources, the
payload and SOURCE_DATE_EPOCH are shared. Signing is off (-DOT_SIGN=OFF), so bin/otSetup.exe
and bin/OrvUnzip.dll are the unsigned links. Only what the launcher needs is built (target
otSetup: the library, the host tools, the demo payload, the archive, the launcher).

Passes when distro/Distro.zip, bin/OrvUnzip.dll and bin/otSetup.exe are the same in both
builds, both PE files carry SOURCE_DATE_EPOCH as their TimeDateStamp, and no file contains
the path of its source or build folder. Otherwise it names the first differing file and
offset and exits 1.
"""

from __future__ import annotations

import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

OUTPUTS = ["distro/Distro.zip", "bin/OrvUnzip.dll", "bin/otSetup.exe"]
# Top-level entries of the source tree that are no sources.
SKIPPED = {".git", "build"}


def copy_sources(source: Path, dest: Path) -> None:
    """Copies the tree without keeping the files' times, as a fresh checkout has them."""
    def ignore(directory: str, names: list[str]) -> set[str]:
        if Path(directory).resolve() == source.resolve():
            return {n for n in names if n in SKIPPED or n.startswith("build")}
        return set()
    shutil.copytree(source, dest, ignore=ignore, copy_function=shutil.copy, symlinks=True)


def build(source: Path, binary: Path, args: argparse.Namespace, env: dict[str, str], log: Path) -> None:
    configure = ["cmake", "-S", str(source), "-B", str(binary), "-G", "Ninja",
                 f"-DCMAKE_TOOLCHAIN_FILE={source / 'cmake/mingw-i686.cmake'}",
                 f"-DCMAKE_BUILD_TYPE={args.build_type}", "-DOT_SIGN=OFF", "-DOT_BUILD_TESTS=OFF",
                 f"-DOT_PAYLOAD_DIR={args.payload}"]
    with open(log, "w") as out:
        for command in (configure, ["cmake", "--build", str(binary), "-j", str(args.jobs), "--target", "otSetup"]):
            result = subprocess.run(command, stdout=out, stderr=subprocess.STDOUT, env=env, timeout=1200)
            if result.returncode != 0:
                sys.exit(f"reproducible: {' '.join(command)} failed; see {log}")


def first_difference(a: bytes, b: bytes) -> int:
    for i in range(min(len(a), len(b))):
        if a[i] != b[i]:
            return i
    return min(len(a), len(b))


def pe_timestamp(data: bytes) -> int:
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    return struct.unpack_from("<I", data, pe + 8)[0]


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", type=Path, required=True)
    parser.add_argument("--build-type", default="MinSizeRel")
    parser.add_argument("--payload", default="", help="OT_PAYLOAD_DIR of both builds (empty: the demo payload)")
    parser.add_argument("--jobs", type=int, default=2)
    # A time after both builds by default: then no file time is merely clamped to it, and
    # each one the build makes must be set to it (the demo payload's files, the PE headers).
    parser.add_argument("--epoch", type=int, default=int(time.time()) + 86400,
                        help="SOURCE_DATE_EPOCH of both builds (default: this time tomorrow)")
    parser.add_argument("--keep", action="store_true", help="leave the temporary folders")
    args = parser.parse_args()

    root = Path(tempfile.mkdtemp(prefix="ot-reproducible-"))
    # Different names and lengths: a path that ends up in a binary shifts or changes bytes.
    trees = [(root / "a", "UTC0"), (root / "second-checkout" / "elsewhere", "XST-3")]
    failures: list[str] = []
    try:
        outputs = []
        for number, (place, zone) in enumerate(trees):
            if number > 0:
                time.sleep(3)  # a later second for every time stamp a build might take
            source, binary = place / "src", place / "out"
            copy_sources(args.source, source)
            env = dict(os.environ, SOURCE_DATE_EPOCH=str(args.epoch), TZ=zone)
            started = time.monotonic()
            build(source, binary, args, env, place / "build.log")
            print(f"reproducible: build {number + 1} in {binary}: {time.monotonic() - started:.0f} s")
            files = {}
            for name in OUTPUTS:
                data = (binary / name).read_bytes()
                files[name] = data
                for folder in (source, binary):
                    if str(folder).encode() in data:
                        failures.append(f"{binary / name} contains the path {folder}")
            outputs.append(files)

        for name in OUTPUTS:
            a, b = outputs[0][name], outputs[1][name]
            if a != b:
                at = first_difference(a, b)
                failures.append(f"{name} differs first at offset {at} (0x{at:X}); sizes {len(a)} and {len(b)}")
            else:
                print(f"reproducible: {name}: the same {len(a):,} bytes")
            if name.endswith((".exe", ".dll")):
                stamp = pe_timestamp(a)
                if stamp != args.epoch:
                    failures.append(f"{name}: TimeDateStamp {stamp}, not SOURCE_DATE_EPOCH {args.epoch}")
    finally:
        if args.keep:
            print(f"reproducible: the builds are in {root}")
        else:
            shutil.rmtree(root, ignore_errors=True)

    for failure in failures:
        print(f"reproducible: FAILED: {failure}")
    if not failures:
        print("reproducible: OK")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
