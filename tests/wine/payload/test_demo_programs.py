"""The demo payload's two programs under Wine: what they record of their command line, and the
setup mutex that the main setup program holds, releases, abandons or never makes."""

import time
import unittest
from pathlib import Path

import otwine

MUTEX = "Global\\Orvane Tessaly Setup Mutex"
SETUP_TITLE = "Orvane Tessaly Setup (demo)"
ABSENT, HELD, RELEASED, ABANDONED = 0, 1, 2, 3


def setup_exe() -> Path:
    return otwine.BIN_DIR / "Orvane.Tessaly.Setup.exe"


def mutex_state(s: otwine.Scenario, wait_seconds: int = 0) -> int:
    args = [otwine.BIN_DIR / "ot_mutex_probe.exe", MUTEX]
    if wait_seconds:
        args += ["--wait", str(wait_seconds)]
    return s.run(args, timeout=wait_seconds + 60).returncode


def wait_record(path: Path, timeout: float = 30) -> list[str]:
    deadline = time.monotonic() + timeout
    while not path.exists():
        if time.monotonic() > deadline:
            raise TimeoutError(f"no record at {path}")
        time.sleep(0.2)
    return path.read_text(encoding="utf-8").split("\n")


def wait_exit(proc, timeout: float = 30) -> int:
    deadline = time.monotonic() + timeout
    while proc.poll() is None:
        if time.monotonic() > deadline:
            raise TimeoutError("the program did not end")
        time.sleep(0.2)
    return proc.returncode


class DemoSetupTest(unittest.TestCase):
    def test_records_arguments_shows_them_and_holds_the_mutex_until_closed(self):
        with otwine.Scenario() as s:
            record = s.c_drive / "records" / "setup.txt"
            record.parent.mkdir(parents=True)
            directory, sid = "C:\\Program Files\\Orvane Tessaly Setup", "S-1-5-21-1-2-3-1000"
            proc = s.start([setup_exe(), directory, sid],
                           env={"OT_DEMO_ARGS_FILE": s.to_windows_path(record)})
            window = s.wait_window(title=SETUP_TITLE, timeout=60)
            lines = wait_record(record)
            # Raw command line, then the parsed arguments with the program first, then the
            # empty text after the last line break.
            self.assertEqual(len(lines), 5, lines)
            self.assertIn(sid, lines[0])
            self.assertTrue(lines[1].lower().endswith("orvane.tessaly.setup.exe"), lines[1])
            self.assertEqual(lines[2:], [directory, sid, ""])
            text = s.child(window, cls="Static")["text"]
            self.assertIn("Arguments received: 2", text)
            self.assertIn("1: " + directory, text)
            self.assertIn("2: " + sid, text)
            self.assertIn("Setup mutex: held", text)

            self.assertEqual(mutex_state(s), HELD)
            # A second instance finds the mutex taken and does not claim it.
            s.start([setup_exe()], env={"OT_DEMO_HOLD_SECONDS": "60"})
            s.wait_until(lambda: sum(w["title"] == SETUP_TITLE for w in s.windows()) == 2, 60,
                         what="the second demo window")
            texts = [s.child(w, cls="Static")["text"] for w in s.windows() if w["title"] == SETUP_TITLE]
            self.assertTrue(any("already held by another program" in t for t in texts), texts)

            # Closing the first releases it; the second still has it open, so it stays, free.
            s.close(window["hwnd"])
            self.assertEqual(wait_exit(proc), 0)
            self.assertEqual(mutex_state(s), RELEASED)

    def test_hold_time_releases_and_exit_holding_abandons(self):
        with otwine.Scenario() as s:
            proc = s.start([setup_exe()], env={"OT_DEMO_HOLD_SECONDS": "3"})
            s.wait_window(title=SETUP_TITLE, timeout=60)
            self.assertEqual(mutex_state(s, wait_seconds=30), RELEASED)
            self.assertEqual(wait_exit(proc), 0)

            proc = s.start([setup_exe()], env={"OT_DEMO_HOLD_SECONDS": "3", "OT_DEMO_EXIT_HOLDING": "1"})
            s.wait_window(title=SETUP_TITLE, timeout=60)
            self.assertEqual(mutex_state(s, wait_seconds=30), ABANDONED)
            wait_exit(proc)

    def test_no_mutex(self):
        with otwine.Scenario() as s:
            proc = s.start([setup_exe()], env={"OT_DEMO_NO_MUTEX": "1", "OT_DEMO_HOLD_SECONDS": "4"})
            window = s.wait_window(title=SETUP_TITLE, timeout=60)
            self.assertIn("not created", s.child(window, cls="Static")["text"])
            self.assertEqual(mutex_state(s), ABSENT)
            self.assertEqual(wait_exit(proc), 0)


class DemoStarterTest(unittest.TestCase):
    def test_records_its_switch_and_ends_by_itself(self):
        with otwine.Scenario() as s:
            record = s.c_drive / "records" / "starter.txt"
            record.parent.mkdir(parents=True)
            done = s.run([otwine.BIN_DIR / "Orvane.Tessaly.Starter.exe", "-DelphiC#"], timeout=60,
                         env={"OT_DEMO_STARTER_FILE": s.to_windows_path(record),
                              "OT_DEMO_STARTER_SECONDS": "1"})
            self.assertEqual(done.returncode, 0)
            lines = record.read_text(encoding="utf-8").split("\n")
            self.assertTrue(lines[0].endswith("-DelphiC#"), lines)
            self.assertEqual(lines[2:], ["-DelphiC#", ""])


if __name__ == "__main__":
    otwine.main()
