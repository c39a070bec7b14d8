"""The clean-up meets a file under Setup that a program the launcher did not start holds open
without delete sharing, until just after the deletion has begun (ot_hold_file watches the
working directory's Distro.zip and keeps its file a while longer once that is gone).

Released within the deletion's retry time, the file goes and so does the whole working
directory; held past it, the file stays with its folders only, and the launcher still exits
promptly with 0."""

import sys
import time
import unittest
from pathlib import Path

import otwine
from launcher_scenarios import (demo_env, install, set_dotnet, start_launcher, tree, wait_exit,
                                working_dirs)

SETUP_TITLE = "Orvane Tessaly Setup (demo)"
ERROR_SHARING_VIOLATION = 32
# The clean-up pauses 3 s, then deletes, retrying for 5 s in all.
CLEANUP_PAUSE = 3


def output(proc) -> str:
    return Path(proc.out_path).read_text(encoding="utf-8", errors="replace")


class HeldFileAtCleanUp(unittest.TestCase):
    def start(self, s, hold_ms: int):
        """Runs the launcher up to its wait on the setup program, then has ot_hold_file hold
        Setup/Data/held.dat. Returns the launcher, the setup window, the working directory,
        the held file and the holder."""
        set_dotnet(s)
        exe = install(s)
        proc = start_launcher(s, exe, env=demo_env(s, s.c_drive / "records",
                                                   OT_DEMO_HOLD_SECONDS=300,
                                                   OT_DEMO_STARTER_SECONDS=0))
        setup_window = s.wait_window(title=SETUP_TITLE, timeout=60)
        [working_dir] = working_dirs(s)
        held = working_dir / "Setup" / "Data" / "held.dat"
        held.parent.mkdir()
        held.write_text("in use")
        holder = s.start([otwine.BIN_DIR / "ot_hold_file.exe", s.to_windows_path(held),
                          str(hold_ms), "--after-gone", s.to_windows_path(working_dir / "Distro.zip")])
        s.wait_until(lambda: "held" in output(holder).split(), timeout=60, what="the file to be held")

        # Wine enforces the sharing mode: while held, the file cannot be deleted.
        tried = s.run([otwine.BIN_DIR / "ot_hold_file.exe", "--try-delete", s.to_windows_path(held)],
                      timeout=60)
        self.assertEqual(tried.returncode, 1, tried.stdout + tried.stderr)
        self.assertEqual(tried.stdout.split(), ["failed", str(ERROR_SHARING_VIOLATION)])
        self.assertTrue(held.exists())
        return proc, setup_window, working_dir, held, holder

    def close_and_time(self, s, proc, setup_window) -> float:
        """Closes the setup program; returns the seconds until the launcher has exited 0,
        counted from before the close (the launcher may see it at once)."""
        closed = time.monotonic()
        s.close(setup_window["hwnd"])
        self.assertEqual(wait_exit(proc, 60), 0)
        return time.monotonic() - closed

    def test_a_file_released_during_the_retries_goes_with_the_whole_directory(self):
        with otwine.Scenario() as s:
            proc, setup_window, working_dir, held, holder = self.start(s, hold_ms=1500)
            elapsed = self.close_and_time(s, proc, setup_window)
            self.assertEqual(holder.wait(timeout=30), 0)
            self.assertEqual(output(holder).split(), ["held", "watch", "gone", "released"])

            left = tree(working_dir) if working_dir.exists() else []
            print(f"left behind: {left}; launcher ended {elapsed:.1f} s after the close",
                  file=sys.stderr)
            self.assertEqual(left, [])
            self.assertEqual(working_dirs(s), [])
            self.assertGreaterEqual(elapsed, CLEANUP_PAUSE)
            self.assertLess(elapsed, 20)

    def test_a_file_held_past_the_retries_stays_alone_and_the_launcher_still_ends(self):
        with otwine.Scenario() as s:
            proc, setup_window, working_dir, held, holder = self.start(s, hold_ms=20000)
            elapsed = self.close_and_time(s, proc, setup_window)
            # The lock really outlasted the clean-up.
            self.assertIsNone(holder.poll())
            self.assertIn("watch gone", output(holder))

            left = tree(working_dir)
            print(f"left behind: {left}; launcher ended {elapsed:.1f} s after the close",
                  file=sys.stderr)
            self.assertEqual(left, ["Setup", "Setup/Data", "Setup/Data/held.dat"])
            self.assertEqual(held.read_text(), "in use")
            # The pause, at most 5 s of retries, and Wine's own start and end: no hang.
            self.assertLess(elapsed, 20)


if __name__ == "__main__":
    otwine.main()
