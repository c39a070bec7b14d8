#!/usr/bin/python3
"""Side-by-side extraction benchmark of orvunzip against 7-Zip and bsdtar.

Prepares the benchmark payload and its archives in a work directory (reused while the tools
that made them are unchanged), then extracts the same distribution archive with every tool,
interleaved, into fresh output directories on the same filesystem. Wall time and peak memory
(max RSS) of each child come from GNU time; output is checked and deleted outside the timing.
Prints markdown tables of medians, ratios and peak memory.

The slow-close mode (--slow-close-ms, default 5; 0 leaves it out) runs orvunzip, 7zz and bsdtar
a second time in the same rounds with bench/slow_close.c preloaded: each close of a file opened
for writing then sleeps that long, as closes do on Windows under an on-access scanner. Figures are printed, never judged:
the exit status is non-zero only when a tool fails or unpacks something other than the payload.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

PASSWORD = "{8F27B1C0-5K2D-Q4RM--7A9E1F60C}"  # the launcher's archive password
TINY_MAX_FILE = 512 * 1024  # a tiny run keeps the payload's files up to this size
TIME = "/usr/bin/time"  # GNU time


class BenchError(Exception):
    pass


@dataclass
class Sample:
    wall: float
    cpu: float  # user + system seconds of the child
    max_rss_kib: int


@dataclass
class Tool:
    name: str
    archive: Path
    expected: tuple[int, int]  # files, bytes the output must hold
    command: callable  # (output dir) -> argv
    make_dir: bool = False  # the tool wants its output directory to exist
    preload: str = ""  # a library to preload into the tool (the slow-close shim)
    samples: list[Sample] = field(default_factory=list)
    delayed_closes: int = -1  # closes the shim delayed in one run, when counted


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def run_quiet(argv: list[str], cwd: Path | None = None) -> None:
    result = subprocess.run(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        raise BenchError(f"{' '.join(map(str, argv))} failed ({result.returncode}): {result.stderr.strip()}")


def tree_size(root: Path) -> tuple[int, int]:
    files = total = 0
    for dirpath, _, names in os.walk(root):
        for name in names:
            files += 1
            total += os.lstat(os.path.join(dirpath, name)).st_size
    return files, total


def prune_to_tiny(payload: Path) -> None:
    """Keeps the small files of a generated payload (and no emptied directory)."""
    for dirpath, _, names in os.walk(payload):
        for name in names:
            path = Path(dirpath, name)
            if path.stat().st_size > TINY_MAX_FILE:
                path.unlink()
    for child in payload.iterdir():
        if child.is_dir() and not any(child.iterdir()):
            child.rmdir()


def repeat_files(source: Path, target: Path, times: int) -> None:
    """The tiny run's stand-in for a larger scale: every file's content repeated."""
    for dirpath, _, names in os.walk(source):
        for name in names:
            src = Path(dirpath, name)
            dst = target / src.relative_to(source)
            dst.parent.mkdir(parents=True, exist_ok=True)
            data = src.read_bytes()
            dst.write_bytes(data * times)
            shutil.copystat(src, dst)


class Data:
    """The payload trees and archives in the work directory."""

    def __init__(self, work: Path, bin_dir: Path, tiny: bool, seed: int):
        self.work, self.bin_dir, self.tiny, self.seed = work, bin_dir, tiny, seed
        self.payload = work / "payload"
        self.distro = work / "distro.zip"
        self.plain = work / "plain.zip"
        self.distro4 = work / "distro-x4.zip"
        self.stamp = work / "data.json"

    def _stamp_value(self) -> dict:
        tools = {name: (self.bin_dir / name).stat().st_mtime_ns for name in ("benchpayload", "mkdistro")}
        return {"seed": self.seed, "tiny": self.tiny, "tools": tools, "zip": bool(shutil.which("zip"))}

    def prepare(self) -> None:
        wanted = self._stamp_value()
        made = json.loads(self.stamp.read_text()) if self.stamp.exists() else {}
        if made.pop("x4", None) is not None and made == wanted and self.distro.exists() and self.distro4.exists():
            log(f"bench: reusing the payload and archives in {self.work}")
            return
        self.stamp.unlink(missing_ok=True)
        for path in (self.payload, self.work / "payload-x4"):
            shutil.rmtree(path, ignore_errors=True)
        for path in (self.distro, self.plain, self.distro4):
            path.unlink(missing_ok=True)
        self.work.mkdir(parents=True, exist_ok=True)
        benchpayload = str(self.bin_dir / "benchpayload")
        mkdistro = str(self.bin_dir / "mkdistro")

        log("bench: generating the benchmark payload")
        run_quiet([benchpayload, str(self.payload), "--seed", str(self.seed)])
        if self.tiny:
            prune_to_tiny(self.payload)
        log("bench: building the distribution archive with mkdistro")
        run_quiet([mkdistro, str(self.payload), str(self.distro)])
        if shutil.which("zip"):
            # Info-ZIP's strongest level: deflate streams of about the same size as mkdistro's,
            # so that the two archives differ mostly in the encryption.
            log("bench: building the plain deflate ZIP with zip -r -9")
            run_quiet(["zip", "-q", "-r", "-9", "-X", str(self.plain), "."], cwd=self.payload)

        payload4 = self.work / "payload-x4"
        log("bench: generating the payload at four times the size")
        if self.tiny:
            repeat_files(self.payload, payload4, 4)
        else:
            run_quiet([benchpayload, str(payload4), "--seed", str(self.seed), "--scale", "4"])
        run_quiet([mkdistro, str(payload4), str(self.distro4)])
        size4 = tree_size(payload4)
        shutil.rmtree(payload4)  # only the archive is needed from here on
        self.stamp.write_text(json.dumps(wanted | {"x4": list(size4)}))

    def payload_size(self) -> tuple[int, int]:
        return tree_size(self.payload)

    def payload4_expected(self) -> tuple[int, int]:
        return tuple(json.loads(self.stamp.read_text())["x4"])


def measure(argv: list[str], usage_file: Path, preload: str = "", count: bool = False) -> tuple[Sample, int]:
    """Runs argv under GNU time for its CPU time and peak RSS. The peak must come from a
    process forked by a small parent: Linux carries the memory high-water mark across exec,
    so a child forked from this Python process would report at least the interpreter's size."""
    if preload:
        # Through env, so that the shim is in the measured program only, not in GNU time.
        argv = ["env", f"LD_PRELOAD={preload}", f"SLOW_CLOSE_REPORT={int(count)}", *argv]
    start = time.perf_counter()
    result = subprocess.run([TIME, "-f", "%U %S %M", "-o", str(usage_file), *argv],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.perf_counter() - start
    if result.returncode != 0:
        err = result.stderr.decode(errors="replace").strip()
        raise BenchError(f"{' '.join(argv)} failed ({result.returncode}): {err}")
    user, system, rss = usage_file.read_text().split()[-3:]
    delayed = -1
    for line in result.stderr.decode(errors="replace").splitlines():
        if line.startswith("slow_close: "):
            delayed = int(line.split()[1])
    return Sample(wall, float(user) + float(system), int(rss)), delayed


def run_once(tool: Tool, out: Path, keep: bool) -> Sample:
    shutil.rmtree(out, ignore_errors=True)
    if tool.make_dir:
        out.mkdir(parents=True)
    sample, delayed = measure(tool.command(out), out.parent / "usage.txt", tool.preload,
                              count=tool.preload != "" and not keep)
    if delayed >= 0:
        tool.delayed_closes = delayed
    got = tree_size(out) if out.is_dir() else (0, 0)
    shutil.rmtree(out, ignore_errors=True)
    if got != tool.expected:
        raise BenchError(f"{tool.name} unpacked {got[0]} files / {got[1]} bytes, "
                         f"expected {tool.expected[0]} / {tool.expected[1]}")
    if keep:
        tool.samples.append(sample)
    return sample


def spread_directories(parent: Path) -> None:
    """Asks ext4 to place each new subdirectory of parent in a block group of its own (the
    top-of-hierarchy flag, chattr +T). Without a journal, ext4 skips inodes freed in the last
    30 seconds when it allocates new ones, scanning past them one by one; the runs delete and
    recreate hundreds of files, so every run would pay for the previous runs' deletions."""
    if shutil.which("chattr"):
        subprocess.run(["chattr", "+T", str(parent)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def median(values: list[float]) -> float:
    return statistics.median(values) if values else float("nan")


def machine_lines(work: Path) -> list[str]:
    model = "unknown"
    flags: set[str] = set()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name") and model == "unknown":
                model = line.split(":", 1)[1].strip()
            elif line.startswith("flags") and not flags:
                flags = set(line.split(":", 1)[1].split())
    except OSError:
        pass
    df = subprocess.run(["df", "--output=source,fstype", str(work)], capture_output=True, text=True)
    fs = " ".join(df.stdout.splitlines()[-1].split()) if df.returncode == 0 else "unknown"
    accel = ", ".join(name for flag, name in (("aes", "AES-NI"), ("sha_ni", "SHA-NI"), ("vaes", "VAES"),
                                              ("avx2", "AVX2")) if flag in flags) or "none"
    return [f"- CPU: {model}, {os.cpu_count()} logical cores ({accel})",
            f"- Kernel: {platform.release()}; work directory on {fs}",
            f"- Load average at the end of the run: {' '.join(f'{x:.2f}' for x in os.getloadavg())}"]


def tool_versions() -> list[str]:
    lines = []
    if shutil.which("7zz"):
        banner = subprocess.run(["7zz"], capture_output=True, text=True).stdout.strip().splitlines()
        if banner:
            lines.append(f"- {banner[0].split(':')[0].strip()}")
    if shutil.which("bsdtar"):
        lines.append("- " + subprocess.run(["bsdtar", "--version"], capture_output=True, text=True).stdout.strip())
    return lines


def print_table(tools: list[Tool], runs: int) -> None:
    print(f"| tool | archive | wall median (s) | wall min (s) | CPU median (s) | peak RSS (MiB) |")
    print("|---|---|---:|---:|---:|---:|")
    for tool in tools:
        walls = [s.wall for s in tool.samples]
        cpus = [s.cpu for s in tool.samples]
        rss = max(s.max_rss_kib for s in tool.samples) / 1024
        print(f"| {tool.name} | {tool.archive.name} | {median(walls):.3f} | {min(walls):.3f} | "
              f"{median(cpus):.3f} | {rss:.1f} |")
    print(f"\n({runs} interleaved round{'s' if runs != 1 else ''}; medians of wall time and of "
          "user+system CPU time, peak RSS the largest seen; output directories are deleted "
          "between runs, outside the timing)")


def paired_ratio(a: Tool, b: Tool) -> float:
    """Median of the per-round ratios: each round ran both tools back to back."""
    return median([x.wall / y.wall for x, y in zip(a.samples, b.samples)])


def run_micro(bin_dir: Path) -> None:
    exe = bin_dir / "ot_micro_bench"
    if not exe.exists():
        print("\nMicro-benchmarks: ot_micro_bench is not built (Google Benchmark missing)")
        return
    log("bench: running the micro-benchmarks")
    result = subprocess.run([str(exe), "--benchmark_format=json", "--benchmark_min_time=0.3"],
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise BenchError(f"ot_micro_bench failed: {result.stderr.strip()}")
    report = json.loads(result.stdout)
    print("\n### Micro-benchmarks (ot_micro_bench; path 0 portable, 1 AES-NI / SHA extensions)\n")
    print("| benchmark | figure |")
    print("|---|---:|")
    for b in report["benchmarks"]:
        if b.get("error_occurred"):
            figure = b.get("error_message", "error")
        elif "bytes_per_second" in b:
            figure = f"{b['bytes_per_second'] / 1e6:,.0f} MB/s"
        else:
            unit = b.get("time_unit", "ns")
            figure = f"{b['cpu_time']:,.1f} {unit} per call"
        print(f"| {b['name']} | {figure} |")


def with_slow_close(tools: list[Tool], shim: Path) -> list[Tool]:
    """orvunzip and the peers once more, each close of an output file delayed by the shim."""
    slow = []
    for tool in tools:
        if tool.name in ("orvunzip", "7zz x", "bsdtar -x"):
            slow.append(Tool(f"{tool.name}, slow close", tool.archive, tool.expected, tool.command,
                             tool.make_dir, preload=str(shim)))
    return slow


def make_tools(data: Data, orvunzip: str, also: list[str]) -> tuple[list[Tool], list[str]]:
    """The programs to compare, and the names of peers that are not installed."""
    expected = data.payload_size()

    def orv(binary: str, archive: Path, password: bool = True):
        return lambda out: [binary, str(archive), str(out)] + ([PASSWORD] if password else [])

    tools = [Tool("orvunzip", data.distro, expected, orv(orvunzip, data.distro))]
    for given in also:
        label, _, path = given.partition("=")
        if not label or not Path(path).is_file():
            raise BenchError(f"--also wants LABEL=PATH of an orvunzip program, not {given!r}")
        tools.append(Tool(f"orvunzip ({label})", data.distro, expected,
                          orv(str(Path(path).resolve()), data.distro)))
    missing = []
    if shutil.which("7zz"):
        tools.append(Tool("7zz x", data.distro, expected,
                          lambda out: ["7zz", "x", "-bd", "-y", f"-p{PASSWORD}", f"-o{out}", str(data.distro)]))
    else:
        missing.append("7zz")
    if shutil.which("bsdtar"):
        tools.append(Tool("bsdtar -x", data.distro, expected,
                          lambda out: ["bsdtar", "-x", "--passphrase", PASSWORD, "-f", str(data.distro),
                                       "-C", str(out)], make_dir=True))
    else:
        missing.append("bsdtar")
    if data.plain.exists():
        tools.append(Tool("orvunzip (plain)", data.plain, expected, orv(orvunzip, data.plain, False)))
    else:
        missing.append("zip (for the plain archive)")
    return tools, missing


def run_rounds(tools: list[Tool], outputs: Path, runs: int, warm_up: bool) -> None:
    if warm_up:
        log("bench: warm-up run of every tool (not counted)")
        for tool in tools:
            run_once(tool, outputs / "warm", keep=False)
    for round_index in range(runs):
        log(f"bench: round {round_index + 1} of {runs}")
        # A different tool goes first each round, so that none always runs on a cache that
        # another one has just warmed or on dirty pages another one has just left.
        shift = round_index % len(tools)
        for tool in tools[shift:] + tools[:shift]:
            run_once(tool, outputs / f"run-{round_index}", keep=True)


def print_slow_close(tools: list[Tool], slow_ms: int) -> None:
    by_name = {t.name: t for t in tools}
    if "orvunzip, slow close" not in by_name:
        return
    print(f"\n### Slow close: {slow_ms} ms added to each close of a file opened for writing\n")
    print("| tool | closes delayed per run | wall median, slow close (s) | slow close / no delay, wall |")
    print("|---|---:|---:|---:|")
    for name in ("orvunzip", "7zz x", "bsdtar -x"):
        slow = by_name.get(f"{name}, slow close")
        if slow is None:
            continue
        delayed = str(slow.delayed_closes) if slow.delayed_closes >= 0 else "?"
        print(f"| {name} | {delayed} | {median([s.wall for s in slow.samples]):.3f} | "
              f"{paired_ratio(slow, by_name[name]):.2f} |")
    orv_slow = by_name["orvunzip, slow close"]
    print(f"\norvunzip with slow closes / its own time without delay: {paired_ratio(orv_slow, by_name['orvunzip']):.2f} "
          "(median of per-round ratios)")
    if "7zz x" in by_name:
        print(f"orvunzip / 7zz x, no delay: {paired_ratio(by_name['orvunzip'], by_name['7zz x']):.2f}; "
              f"both with slow closes: {paired_ratio(orv_slow, by_name['7zz x, slow close']):.2f}")


def print_report(data: Data, tools: list[Tool], x4: Tool, runs: int, seed: int, tiny: bool) -> None:
    files, size = tools[0].expected
    print(f"## Extraction benchmark{' (tiny run)' if tiny else ''}\n")
    print(f"Payload: {files} files, {size:,} bytes (seed {seed}); "
          f"{data.distro.name} {data.distro.stat().st_size:,} bytes (mkdistro, AE-2 AES-128, deflate)"
          + (f", {data.plain.name} {data.plain.stat().st_size:,} bytes (zip -r -9, no encryption)"
             if data.plain.exists() else "") + "\n")
    print_table(tools, runs)

    by_name = {t.name: t for t in tools}
    orv = by_name["orvunzip"]

    def ratio_row(label: str, a: Tool, b: Tool) -> None:
        wall = median([x.wall for x in a.samples]) / median([x.wall for x in b.samples])
        cpu = median([x.cpu for x in a.samples]) / median([x.cpu for x in b.samples])
        print(f"| {label} | {wall:.2f} | {paired_ratio(a, b):.2f} | {cpu:.2f} |")

    # The CPU-time ratio is the steadier figure while other work loads the machine.
    print("\n| ratio | wall, of medians | wall, median of per-round ratios | CPU time, of medians |")
    print("|---|---:|---:|---:|")
    encrypted = [t for t in tools if t.name.startswith("orvunzip") and t.archive == data.distro]
    encrypted = [t for t in encrypted if not t.preload]
    for peer in ("7zz x", "bsdtar -x"):
        for tool in encrypted if peer in by_name else []:
            ratio_row(f"{tool.name} / {peer}", tool, by_name[peer])
    if "orvunzip (plain)" in by_name:
        ratio_row("encrypted / plain (orvunzip)", orv, by_name["orvunzip (plain)"])

    rss1 = max(s.max_rss_kib for s in orv.samples) / 1024
    rss4 = max(s.max_rss_kib for s in x4.samples) / 1024
    print(f"\nPeak RSS of orvunzip: {rss1:.1f} MiB at scale 1, {rss4:.1f} MiB for the payload four "
          f"times larger ({x4.expected[1]:,} bytes; {data.distro4.stat().st_size:,}-byte archive): "
          f"{rss4 - rss1:+.2f} MiB; its wall time {median([s.wall for s in x4.samples]):.3f} s")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin-dir", type=Path, required=True, help="host build's bin directory")
    parser.add_argument("--work-dir", type=Path, required=True, help="payload, archives and outputs")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--tiny", action="store_true",
                        help="small files of the payload only, one run, no warm-up")
    parser.add_argument("--micro", action="store_true", help="also run ot_micro_bench")
    parser.add_argument("--slow-close-ms", type=int, default=5,
                        help="milliseconds the slow-close rounds add to each close of an output "
                             "file (0: no slow-close rounds)")
    parser.add_argument("--also", action="append", default=[], metavar="LABEL=PATH",
                        help="another orvunzip build to run on the same archive in the same "
                             "rounds (for before/after comparisons); repeatable")
    args = parser.parse_args()
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    if not os.access(TIME, os.X_OK):
        raise BenchError(f"{TIME} is missing (Debian package time)")

    work = args.work_dir.resolve()
    bin_dir = args.bin_dir.resolve()
    orvunzip = str(bin_dir / "orvunzip")
    data = Data(work, bin_dir, args.tiny, args.seed)
    data.prepare()
    tools, missing = make_tools(data, orvunzip, args.also)
    shim = bin_dir / "slow_close.so"
    if args.slow_close_ms > 0:
        if not shim.exists():
            raise BenchError(f"{shim} is missing: build the slow_close target, or pass --slow-close-ms 0")
        os.environ["SLOW_CLOSE_MS"] = str(args.slow_close_ms)
        tools += with_slow_close(tools, shim)

    outputs = work / "out"
    outputs.mkdir(exist_ok=True)
    spread_directories(outputs)
    runs = 1 if args.tiny else args.runs
    run_rounds(tools, outputs, runs, warm_up=True)
    x4 = Tool("orvunzip", data.distro4, data.payload4_expected(),
              lambda out: [orvunzip, str(data.distro4), str(out), PASSWORD])
    for _ in range(1 if args.tiny else min(3, runs)):
        run_once(x4, outputs / "x4", keep=True)
    shutil.rmtree(outputs, ignore_errors=True)

    print_report(data, tools, x4, runs, args.seed, args.tiny)
    print_slow_close(tools, args.slow_close_ms)
    if missing:
        print(f"\nNot measured (not installed): {', '.join(missing)}")
    print("\nMachine:\n")
    for line in machine_lines(work) + tool_versions():
        print(line)
    if args.micro:
        run_micro(bin_dir)
    sys.stdout.flush()
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BenchError as e:
        print(f"bench: {e}", file=sys.stderr)
        sys.exit(1)
