#!/usr/bin/python3
"""Benchmarks of the Windows build under Wine. Prints figures; judges nothing.

    /usr/bin/python3 bench/wine/wine_bench.py --bin-dir build/windows-x86/bin [--runs N]

Needs cryptospeed.exe, otSetup_bench.exe, unzip_harness.exe and otprobe.exe in the bin directory
(cmake --build build/windows-x86 --target cryptospeed otSetup_bench unzip_harness otprobe).

1. cryptospeed.exe: the library's crypto on the portable and the accelerated paths.
2. The launcher around the benchmark payload, started N times in one prefix: the time from its
   start to the start of the main setup program, split at the file-system events the run
   leaves behind (all on the Linux clock):
     start        launcher started (the Wine loader included) .. working directory created
     resources    working directory created .. OrvUnzip.dll and Distro.zip written
     unpacking    Distro.zip written .. last unpacked file finished (its last metadata change:
                  the library sets each file's time and attributes after closing it)
     hand-off     last file finished .. the demo setup program records its command line
3. OrvUnzip.dll unpacking the benchmark payload's archive through unzip_harness.exe (the time
   from loading the library to releasing it), in interleaved rounds: the process limited to one
   processor (taskset, so the library decodes on one thread, as it did before it had threads)
   and with all of them; --also-dll LABEL=PATH adds another build of the DLL to the same rounds
   (before/after figures). With OT_WINE32_EMULATE=1 the 32-bit build runs on an
   emulated processor: compare the figures of one run only, never with native ones.
   Needs unzip_harness.exe and OrvUnzip.dll, and the host tools of the tree (host-tools/bin).
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "wine" / "harness"))
import otwine  # noqa: E402

DOTNET_KEY = r"HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v4\Full"
GUID_DIR = re.compile(r"^\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}$")
SETUP_HOLD_SECONDS = 4  # the demo setup program's window stays this long, so the tree can be read


def pe_arch(path: Path) -> str:
    data = path.read_bytes()[:4096]
    offset = int.from_bytes(data[0x3C:0x40], "little")
    machine = int.from_bytes(data[offset + 4:offset + 6], "little")
    return {0x14C: "x86", 0x8664: "x64"}.get(machine, "unknown")


def birth(path: Path) -> float:
    """Creation time (statx birth time, through GNU stat; Python's os.stat lacks it here)."""
    out = subprocess.run(["stat", "--format=%.9W", str(path)], capture_output=True, text=True,
                         check=True).stdout.strip()
    value = float(out)
    if value == 0:
        raise RuntimeError(f"{path}: the file system does not report birth times")
    return value


def crypto_speed(bin_dir: Path) -> None:
    exe = bin_dir / "cryptospeed.exe"
    print(f"## Crypto under Wine ({pe_arch(exe)} build, {exe.name})\n")
    with otwine.Scenario(display=False) as s:
        done = s.run([exe], timeout=600)
    print("```")
    print(done.stdout.rstrip())
    print("```")
    if done.returncode != 0:
        raise RuntimeError(f"cryptospeed.exe failed ({done.returncode}): {done.stderr.strip()}")


def one_launch(s: otwine.Scenario, exe: Path, records: Path, index: int) -> dict:
    setup_record = records / f"setup-{index}.txt"
    env = {"OT_DEMO_ARGS_FILE": s.to_windows_path(setup_record),
           "OT_DEMO_STARTER_FILE": s.to_windows_path(records / f"starter-{index}.txt"),
           "OT_DEMO_HOLD_SECONDS": str(SETUP_HOLD_SECONDS)}
    temp = s.temp_dir  # asked of Wine before the clock starts
    before = {p.name for p in temp.iterdir()} if temp.exists() else set()
    started = time.time()
    # As a standard user's double-click starts it: with the limited token (elevated, under Wine,
    # which keeps no access rights, the launcher cannot protect its folder and stops).
    proc = s.start([exe], env=env, limited=True)
    deadline = time.monotonic() + 120
    while not setup_record.exists():
        if proc.poll() is not None:
            raise RuntimeError(f"the launcher ended ({proc.returncode}) before the setup program started")
        if time.monotonic() > deadline:
            raise RuntimeError("the setup program did not start within 120 s")
        time.sleep(0.05)
    seen = time.time()

    dirs = [p for p in temp.iterdir() if GUID_DIR.match(p.name) and p.name not in before]
    if len(dirs) != 1:
        raise RuntimeError(f"expected one new working directory in {temp}, saw {[d.name for d in dirs]}")
    work = dirs[0]
    unpacked = [p for p in (work / "Setup").rglob("*") if p.is_file()]
    events = {
        "started": started,
        "dir": birth(work),
        "dll": (work / "OrvUnzip.dll").stat().st_mtime,
        "zip": (work / "Distro.zip").stat().st_mtime,
        "setup_dir": birth(work / "Setup"),
        "unpacked": max(p.stat().st_ctime for p in unpacked),
        "setup": setup_record.stat().st_mtime,
        "seen": seen,
        "files": len(unpacked),
        "bytes": sum(p.stat().st_size for p in unpacked),
    }
    # The setup program closes by itself; the launcher then cleans up and ends.
    end = time.monotonic() + 90
    while proc.poll() is None:
        if time.monotonic() > end:
            raise RuntimeError("the launcher did not end after the setup program")
        time.sleep(0.2)
    if proc.returncode != 0:
        raise RuntimeError(f"the launcher ended with {proc.returncode}")
    return events


def launcher_timing(bin_dir: Path, runs: int) -> None:
    exe_source = bin_dir / "otSetup_bench.exe"
    with otwine.Scenario() as s:
        s.reg_add(DOTNET_KEY, "Release", "REG_DWORD", "528040")
        target = s.c_drive / "Apps" / "Orvane Setup" / "otSetup.exe"
        target.parent.mkdir(parents=True)
        shutil.copyfile(exe_source, target)
        records = s.c_drive / "records"
        records.mkdir()
        results = [one_launch(s, target, records, i) for i in range(runs)]

    phases = [("start", "started", "dir"), ("resources", "dir", "zip"),
              ("unpacking", "zip", "unpacked"), ("hand-off", "unpacked", "setup"),
              ("total", "started", "setup")]
    first = results[0]
    print(f"\n## Launcher under Wine ({pe_arch(exe_source)} build, {exe_source.stat().st_size:,}-byte "
          f"executable, {first['files']} files / {first['bytes']:,} bytes unpacked)\n")
    print("| run | " + " | ".join(f"{name} (s)" for name, _, _ in phases) + " |")
    print("|---|" + "---:|" * len(phases))
    for i, r in enumerate(results, 1):
        print(f"| {i} | " + " | ".join(f"{r[b] - r[a]:.2f}" for _, a, b in phases) + " |")
    print("| median | " + " | ".join(
        f"{statistics.median(r[b] - r[a] for r in results):.2f}" for _, a, b in phases) + " |")
    print("\n(resources: OrvUnzip.dll written after "
          f"{statistics.median(r['dll'] - r['dir'] for r in results):.2f} s, median; "
          "unpacking includes loading the library; every run in the same prefix, one after the other)")


PASSWORD = "{8F27B1C0-5K2D-Q4RM--7A9E1F60C}"


def dll_extraction(bin_dir: Path, runs: int, also: list[str]) -> None:
    tools = bin_dir.parent / "host-tools" / "bin"
    dlls = {"": bin_dir / "OrvUnzip.dll"}
    for given in also:
        label, _, path = given.partition("=")
        if not label or not Path(path).is_file():
            raise SystemExit(f"wine_bench: --also-dll wants LABEL=PATH of an OrvUnzip.dll, not {given!r}")
        dlls[label] = Path(path)
    print(f"## OrvUnzip.dll unpacking the benchmark payload ({pe_arch(bin_dir / 'OrvUnzip.dll')} build)\n")
    with otwine.Scenario(display=False) as s:
        work = s.root / "bench"
        payload, archive = work / "payload", work / "distro.zip"
        subprocess.run([tools / "benchpayload", payload], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([tools / "mkdistro", payload, archive], check=True, stdout=subprocess.DEVNULL)
        harness = s.c_drive / "bench"
        harness.mkdir()
        shutil.copyfile(bin_dir / "unzip_harness.exe", harness / "unzip_harness.exe")
        commands = {}
        for label, dll in dlls.items():
            folder = harness / (label or "this")
            folder.mkdir()
            shutil.copyfile(dll, folder / "OrvUnzip.dll")
            commands[label] = [r"C:\bench\unzip_harness.exe", "unzip", s.to_windows_path(folder / "OrvUnzip.dll"),
                               s.to_windows_path(archive)]
        times = {(label, mode): [] for label in dlls for mode in ("one processor", "all processors")}
        for _ in range(runs):
            for label, mode in times:
                command = commands[label]
                out = work / "out"
                shutil.rmtree(out, ignore_errors=True)
                # Wine takes a process's affinity from its Linux process (cmd's /affinity is
                # ignored by Wine 8), and the library counts the processors of its affinity.
                pin = ["taskset", "-c", str(min(os.sched_getaffinity(0)))] if mode == "one processor" else []
                done = subprocess.run(pin + [s.loader] + command + [s.to_windows_path(out), PASSWORD],
                                      env=s.env, capture_output=True, text=True, timeout=600)
                found = re.search(r"milliseconds=([\d.]+)", done.stdout)
                if "result=-1" not in done.stdout or not found:
                    raise RuntimeError(f"unzip_harness failed: {done.stdout} {done.stderr}")
                times[(label, mode)].append(float(found.group(1)) / 1000)
        print("| build | mode | median (s) | runs (s) |\n|---|---|---:|---|")
        for (label, mode), values in times.items():
            print(f"| {label or 'this'} | {mode} | {statistics.median(values):.3f} | "
                  f"{', '.join(f'{v:.3f}' for v in values)} |")
        for label in dlls:
            ratio = (statistics.median(times[(label, "all processors")]) /
                     statistics.median(times[(label, "one processor")]))
            print(f"\n{label or 'this'}: all processors / one processor: {ratio:.2f}"
                  f"{' (emulated processor)' if os.environ.get('OT_WINE32_EMULATE') == '1' else ''}")
        for label in dlls:
            if label:
                for mode in ("one processor", "all processors"):
                    ratio = statistics.median(times[("", mode)]) / statistics.median(times[(label, mode)])
                    print(f"this / {label}, {mode}: {ratio:.2f}")
        print()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin-dir", type=Path, required=True, help="a Windows build's bin directory")
    parser.add_argument("--runs", type=int, default=3, help="launcher runs (default 3)")
    parser.add_argument("--skip-crypto", action="store_true")
    parser.add_argument("--skip-launcher", action="store_true")
    parser.add_argument("--skip-dll", action="store_true")
    parser.add_argument("--also-dll", action="append", default=[], metavar="LABEL=PATH",
                        help="another OrvUnzip.dll to unpack with in the same rounds; repeatable")
    args = parser.parse_args()
    bin_dir = args.bin_dir.resolve()
    needed = (([] if args.skip_crypto else ["cryptospeed.exe"]) +
              ([] if args.skip_launcher else ["otSetup_bench.exe"]) +
              ([] if args.skip_dll else ["unzip_harness.exe", "OrvUnzip.dll"]))
    missing = [name for name in needed if not (bin_dir / name).exists()]
    if missing:
        print(f"wine_bench: {', '.join(missing)} not built in {bin_dir} (cmake --build <tree> --target "
              "cryptospeed otSetup_bench unzip_harness)", file=sys.stderr)
        return 2
    otwine.BIN_DIR = bin_dir
    otwine.ARCH = pe_arch(bin_dir / needed[0]) if needed else "x86"
    if not otwine.loader_runs(otwine.loader_for(otwine.ARCH)):
        print(f"wine_bench: {otwine.loader_for(otwine.ARCH)} cannot run on this machine "
              f"(the {otwine.ARCH} build cannot be measured here)", file=sys.stderr)
        return 77
    if not args.skip_crypto:
        crypto_speed(bin_dir)
    if not args.skip_launcher:
        launcher_timing(bin_dir, args.runs)
    if not args.skip_dll:
        dll_extraction(bin_dir, args.runs, args.also_dll)
    return 0


if __name__ == "__main__":
    sys.exit(main())
