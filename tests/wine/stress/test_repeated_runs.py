"""Load held over many runs: 50 launcher runs in a row in one Wine prefix, each with a setup
program that finishes after a second. Every run must hand off and exit 0, and nothing may pile
up: no working directory, no marker value, no process, no mutex. The measured times go to
stderr for the CTest log."""

from __future__ import annotations

import statistics
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "launcher"))

import otwine  # noqa: E402
from launcher_scenarios import (MARKER_KEY, MARKER_NAME, demo_env, install, read_record,  # noqa: E402
                                set_dotnet, wait_exit, working_dirs)
from launcher_scenarios import start_launcher  # noqa: E402

RUNS = 50
MUTEXES = ("Orvane Tessaly Setup Launcher 32", "Global\\Orvane Tessaly Setup Mutex")


def product_processes(s: otwine.Scenario) -> list[str]:
    return [p for p in s.processes() if p.lower().startswith(("orvane", "otsetup"))]


class RepeatedRuns(unittest.TestCase):
    def test_fifty_runs_in_a_row_leave_nothing_behind(self):
        with otwine.Scenario() as s:
            set_dotnet(s)
            exe = install(s)
            records = s.c_drive / "records"
            durations = []
            for run in range(1, RUNS + 1):
                record = records / f"run-{run:02}"
                started = time.monotonic()
                proc = start_launcher(s, exe, env=demo_env(s, record, OT_DEMO_HOLD_SECONDS=1,
                                                           OT_DEMO_STARTER_SECONDS=0))
                code = wait_exit(proc, 120)
                durations.append(time.monotonic() - started)
                self.assertEqual(code, 0, f"run {run}")
                # It handed off: the setup program got its two arguments.
                self.assertEqual(len(read_record(record / "setup-args.txt")), 4, f"run {run}")
                self.assertEqual(working_dirs(s), [], f"run {run} left its working directory")

            print(f"{RUNS} runs: {sum(durations):.0f} s in all, per run min {min(durations):.1f} s, "
                  f"median {statistics.median(durations):.1f} s, max {max(durations):.1f} s",
                  file=sys.stderr)
            self.assertIsNone(s.reg_query(MARKER_KEY, MARKER_NAME))
            self.assertEqual(product_processes(s), [])
            for name in MUTEXES:
                probe = s.run([otwine.BIN_DIR / "ot_mutex_probe.exe", name])
                self.assertEqual(probe.stdout.strip(), "absent", name)


if __name__ == "__main__":
    otwine.main()
