"""How the launcher waits on the setup program's mutex when the program misbehaves, and how it
hands off when one of the two programs is missing from the payload; with the exit codes."""

import time
import unittest

import otwine
from launcher_scenarios import (HANDED_OFF, SETUP_NOT_STARTED, TITLE, install, main_window,
                                page_state, read_record, set_dotnet, start_launcher, wait_box,
                                wait_exit, working_dirs)


def running_demo(s):
    return [p for p in s.processes() if p.lower().startswith("orvane.tessaly.setup")]


class Waiting(unittest.TestCase):
    def test_a_setup_without_its_mutex_is_given_up_and_ended(self):
        with otwine.Scenario() as s:
            set_dotnet(s)
            exe = install(s)
            started = time.monotonic()
            proc = start_launcher(s, exe, env={"OT_DEMO_NO_MUTEX": "1", "OT_DEMO_HOLD_SECONDS": "300",
                                               "OT_DEMO_EXIT_CODE": "3010"})
            s.wait_window(title="Orvane Tessaly Setup (demo)", timeout=60)
            code = wait_exit(proc, 120)
            elapsed = time.monotonic() - started
            # Still running at the clean-up, the setup program is ended: its own code never
            # comes, and the hand-off counts as done.
            self.assertEqual(code, HANDED_OFF)
            # 3 s before the first attempt, 10 attempts each followed by 3 s, 3 s of clean-up.
            self.assertGreaterEqual(elapsed, 36)
            self.assertLess(elapsed, 90)
            self.assertEqual(running_demo(s), [])
            self.assertEqual(working_dirs(s), [])

    def test_a_setup_that_ends_holding_its_mutex_ends_the_wait(self):
        with otwine.Scenario() as s:
            set_dotnet(s)
            exe = install(s)
            proc = start_launcher(s, exe, env={"OT_DEMO_EXIT_HOLDING": "1",
                                               "OT_DEMO_HOLD_SECONDS": "5"})
            s.wait_window(title="Orvane Tessaly Setup (demo)", timeout=60)
            s.wait_no_window(title="Orvane Tessaly Setup (demo)", timeout=30)
            ended = time.monotonic()
            self.assertEqual(wait_exit(proc, 30), 0)
            self.assertLess(time.monotonic() - ended, 10)
            self.assertEqual(working_dirs(s), [])


class MissingPrograms(unittest.TestCase):
    def test_without_the_starter_the_setup_still_runs(self):
        with otwine.Scenario() as s:
            set_dotnet(s)
            exe = install(s, exe="otSetup_nostarter.exe")
            record = s.c_drive / "records"
            record.mkdir()
            env = {"OT_DEMO_ARGS_FILE": s.to_windows_path(record / "setup.txt"),
                   "OT_DEMO_HOLD_SECONDS": "2"}
            proc = start_launcher(s, exe, env=env)
            self.assertEqual(wait_exit(proc, 90), 0)
            self.assertEqual(len(read_record(record / "setup.txt")), 4)
            self.assertEqual([w for w in s.windows() if w["cls"] == "#32770"], [])
            self.assertEqual(working_dirs(s), [])

    def test_without_the_setup_program_the_failure_is_shown_and_the_launcher_closes(self):
        with otwine.Scenario() as s:
            set_dotnet(s)
            exe = install(s, exe="otSetup_nosetup.exe")
            proc = start_launcher(s, exe)
            box = wait_box(s, TITLE)
            text = next(c["text"] for c in box["children"]
                        if c["cls"].lower() == "static" and c["text"])
            self.assertRegex(text, r"^Couldn't execute the setup program\. Error code: -?\d+$")
            self.assertNotRegex(text, r"Error code: 0$")
            launcher = main_window(s, visible=None)
            self.assertEqual(page_state(launcher)["text"], text)
            ok = next(c for c in box["children"] if c["cls"].lower() == "button")
            self.assertEqual(ok["text"], "OK")
            s.click(ok["hwnd"])
            self.assertEqual(wait_exit(proc, 30), SETUP_NOT_STARTED)
            self.assertEqual(working_dirs(s), [])
            self.assertEqual([p for p in s.processes() if p.lower().startswith("orvane")], [])
            # Where no one could dismiss a box, neither the launcher's nor the shell's is shown:
            # the run cleans up and ends by itself with the same code.
            unseen = start_launcher(s, exe, hidden=True)
            self.assertEqual(wait_exit(unseen, 90), SETUP_NOT_STARTED)
            self.assertEqual(working_dirs(s), [])
            self.assertEqual([p for p in s.processes() if p.lower().startswith("orvane")], [])


if __name__ == "__main__":
    otwine.main()
