#!/usr/bin/python3
"""Archive size and build time of mkdistro against zlib level 9 and 7-Zip's strongest deflate.

    compress_bench.py --bin-dir build/host/bin [--work-dir DIR] [--runs N] [--payload NAME]

Two payloads: the benchmark payload (benchpayload, 115 files, 77.7 MB) and one of real
Windows programs and libraries already on this machine (the PE files of Debian's Wine
packages and of the mingw-w64 runtime, chosen by name, below). For each, in interleaved rounds:

  - mkdistro (libdeflate level 12, AES) on every processor, and on one thread;
  - zlib level 9 on one core: what mkdistro did before, raw deflate with a 32 KiB window and
    memLevel 8 per file (Python's zlib module, Debian's zlib); its archive size is the streams
    plus exactly the records, salts, verifiers and codes the distribution archive adds;
  - 7zz a -tzip -mm=Deflate -mx=9 -mpass=15 -mfb=258 -mem=AES128 (its default threads).

Prints a markdown table of sizes (and the difference to 7-Zip's) and median wall times.
Figures are printed, never judged; the load of the machine is printed with them.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time
import zlib
from pathlib import Path

PASSWORD = "{8F27B1C0-5K2D-Q4RM--7A9E1F60C}"  # the launcher's archive password
SEVEN_ZIP = ["7zz", "a", "-tzip", "-mm=Deflate", "-mx=9", "-mpass=15", "-mfb=258", "-mem=AES128"]
# Real Windows binaries: Wine's PE builds (32- and 64-bit) and the mingw-w64 runtime DLLs.
REAL_SOURCES = [
    ("x86", Path("/usr/lib/i386-linux-gnu/wine/i386-windows")),
    ("x64", Path("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows")),
    ("", Path("/usr/lib/gcc/i686-w64-mingw32/12-win32")),
]
REAL_BYTES = 84_000_000  # about the size of the benchmark payload and of a product's


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def real_payload(target: Path) -> tuple[int, int]:
    """Copies PE files (.exe, .dll) from the sources, the same ones on every run: taken in
    name order from each source in turn until REAL_BYTES are reached."""
    shutil.rmtree(target, ignore_errors=True)
    lists = []
    for folder, source in REAL_SOURCES:
        if source.is_dir():
            names = sorted(p for p in source.iterdir()
                           if p.is_file() and not p.is_symlink() and p.suffix in (".exe", ".dll")
                           and 16 * 1024 <= p.stat().st_size <= 16 * 1024 * 1024)
            lists.append((folder, names))
    if not lists:
        raise SystemExit("bench: no Windows binaries found (Debian's wine packages or mingw-w64)")
    total = count = 0
    index = 0
    while total < REAL_BYTES and any(index < len(names) for _, names in lists):
        for folder, names in lists:
            if index < len(names) and total < REAL_BYTES:
                destination = target / folder / names[index].name
                destination.parent.mkdir(parents=True, exist_ok=True)
                shutil.copyfile(names[index], destination)
                total += destination.stat().st_size
                count += 1
        index += 1
    return count, total


def files_of(root: Path) -> list[Path]:
    return sorted(Path(d, n) for d, _, names in os.walk(root) for n in names)


def zlib9(root: Path) -> int:
    """The archive the earlier mkdistro wrote: zlib level 9 streams and the same records."""
    size = 22  # end record
    for path in files_of(root):
        name = len(str(path.relative_to(root)).encode())
        compressor = zlib.compressobj(9, zlib.DEFLATED, -15, 8)
        with open(path, "rb") as f:
            stream = 0
            while block := f.read(256 * 1024):
                stream += len(compressor.compress(block))
            stream += len(compressor.flush())
        # local header + name + AES field, salt + verifier + code, descriptor, central header
        size += 30 + name + 11 + 8 + 2 + stream + 10 + 16 + 46 + name + 11
    return size


def timed(action) -> tuple[float, int]:
    start = time.monotonic()
    size = action()
    return time.monotonic() - start, size


def run(argv: list[str], cwd: Path | None = None) -> None:
    result = subprocess.run(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        raise SystemExit(f"bench: {' '.join(argv)} failed: {result.stderr.strip()}")


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", type=Path, required=True, help="host build's bin/ (mkdistro, benchpayload)")
    parser.add_argument("--work-dir", type=Path, default=None)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--payload", choices=["bench", "real", "both"], default="both")
    args = parser.parse_args()
    work = (args.work_dir or args.bin_dir.parent / "bench-compress").resolve()
    work.mkdir(parents=True, exist_ok=True)
    mkdistro = str((args.bin_dir / "mkdistro").resolve())
    if not shutil.which("7zz"):
        raise SystemExit("bench: 7zz is missing (Debian package 7zip)")

    payloads = []
    if args.payload in ("bench", "both"):
        bench = work / "bench-payload"
        if not bench.exists():
            run([str(args.bin_dir / "benchpayload"), str(bench)])
        payloads.append(("benchmark payload", bench))
    if args.payload in ("real", "both"):
        real = work / "windows-binaries"
        count, total = real_payload(real)
        log(f"bench: {count} Windows programs and libraries, {total / 1e6:.1f} MB, in {real}")
        payloads.append(("Windows binaries", real))

    def mkdistro_run(payload: Path, threads: str | None):
        out = work / "mkdistro.zip"
        argv = [mkdistro, str(payload), str(out)] + (["--threads", threads] if threads else [])
        def action() -> int:
            run(argv)
            return out.stat().st_size
        return action

    def seven_zip_run(payload: Path):
        out = work / "7zz.zip"
        def action() -> int:
            out.unlink(missing_ok=True)
            run(SEVEN_ZIP + [f"-p{PASSWORD}", str(out), "."], cwd=payload)
            return out.stat().st_size
        return action

    rows = []
    for label, payload in payloads:
        files = files_of(payload)
        total = sum(p.stat().st_size for p in files)
        tools = [("mkdistro, all processors", mkdistro_run(payload, None)),
                 ("mkdistro --threads 1", mkdistro_run(payload, "1")),
                 ("zlib level 9, one core", lambda payload=payload: zlib9(payload)),
                 ("7zz -mx=9 -mpass=15 -mfb=258", seven_zip_run(payload))]
        samples = {name: [] for name, _ in tools}
        sizes = {}
        for round_ in range(args.runs):
            for name, action in tools:
                log(f"bench: {label}, round {round_ + 1}: {name}")
                seconds, size = timed(action)
                samples[name].append(seconds)
                sizes[name] = size
        rows.append((label, len(files), total, sizes, {n: statistics.median(s) for n, s in samples.items()}))

    print(f"load: {subprocess.run(['uptime'], capture_output=True, text=True).stdout.strip()}")
    print(f"processors: {os.cpu_count()}; runs: {args.runs} (median wall time)\n")
    print("| payload | tool | archive (bytes) | vs 7zz | wall (s) |")
    print("|---|---|---:|---:|---:|")
    for label, count, total, sizes, medians in rows:
        reference = sizes["7zz -mx=9 -mpass=15 -mfb=258"]
        for name, size in sizes.items():
            print(f"| {label} ({count} files, {total / 1e6:.1f} MB) | {name} | {size:,} | "
                  f"{(size / reference - 1) * 100:+.2f} % | {medians[name]:.2f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
