"""Whole runs of the launcher with the demo payload: the hand-off to the two programs, their
command lines, the wait on the setup program's mutex, the setup program's exit code passed on,
and what is left afterwards."""

import re
import stat
import time
import unittest
from pathlib import Path

import otwine
from launcher_scenarios import (EXTRACTION_FAILED, MARKER_KEY, MARKER_NAME, demo_env, install,
                                main_window, page_state, read_record, set_dotnet, start_launcher,
                                wait_exit, working_dirs)

USER_HIVE = "S-1-5-21-0-0-0-1000"
UNPROTECTED = ("Couldn't create the working directory: the temporary directory's drive cannot "
               "protect it from programs without administrator rights")


class SuccessfulRun(unittest.TestCase):
    def check_no_leftovers(self, s):
        self.assertEqual(working_dirs(s), [])
        self.assertIsNone(s.reg_query(MARKER_KEY, MARKER_NAME))
        running = [p for p in s.processes() if p.lower().startswith("orvane.tessaly")]
        self.assertEqual(running, [])

    def test_hand_off_wait_and_clean_up(self):
        with otwine.Scenario() as s:
            set_dotnet(s)
            exe = install(s, folder="Apps/Orvane Tessaly Setup")  # spaces in the directory
            record = s.c_drive / "records"
            # The setup program ends with "installed, restart needed".
            env = demo_env(s, record, OT_DEMO_HOLD_SECONDS=8, OT_DEMO_EXIT_CODE=3010)
            proc = start_launcher(s, exe, env=env)

            setup = s.wait_window(title="Orvane Tessaly Setup (demo)", timeout=60)
            # While the setup program runs, the launcher's window exists but is hidden, and the
            # unpacked files are in place.
            launcher = main_window(s, visible=None)
            self.assertFalse(launcher["visible"])
            dirs = working_dirs(s)
            self.assertEqual(len(dirs), 1)
            names = sorted(p.name for p in dirs[0].iterdir())
            self.assertEqual(names, ["Distro.zip", "OrvUnzip.dll", "Setup"])
            self.assertTrue((dirs[0] / "Setup" / "Orvane.Tessaly.Setup.exe").is_file())
            self.assertIsNone(proc.poll())

            released = time.monotonic()
            s.wait_no_window(title="Orvane Tessaly Setup (demo)", timeout=30)
            # Ended by the clean-up, the setup program's code is the launcher's.
            self.assertEqual(wait_exit(proc, 30), 3010)
            # The launcher closed soon after the mutex was released (its 3 s clean-up pause and
            # some slack for a loaded machine), not after giving up on the mutex (33 s).
            self.assertLess(time.monotonic() - released, 25)

            starter = read_record(record / "starter-args.txt")
            self.assertTrue(starter[0].endswith('\\Orvane.Tessaly.Starter.exe" -DelphiC#'), starter[0])
            self.assertEqual(starter[2:], ["-DelphiC#"])
            lines = read_record(record / "setup-args.txt")
            expected_dir = s.to_windows_path(exe.parent)
            self.assertTrue(lines[0].endswith(f' "{expected_dir}" "{USER_HIVE}"'), lines[0])
            self.assertEqual(lines[2:], [expected_dir, USER_HIVE])
            self.check_no_leftovers(s)

    def test_working_folder_rights_follow_the_token(self):
        """Wine keeps no access rights on files: it turns a DACL into Unix mode bits and reads
        back its own default descriptor (owner the user, no protection). So under Wine an
        elevated run meets what a drive without rights (FAT, exFAT) gives on Windows: its folder
        is created with the protected descriptor in the creating call itself (Wine then leaves
        others no Unix access to it), the check on the held handle fails, and the run stops with
        the failure text before anything is written; the empty folder goes at close. With the
        limited token the folder keeps the inherited rights and the run goes through."""
        relayed = ["ADVAPI32.ConvertStringSecurityDescriptorToSecurityDescriptorW",
                   "sechost.ConvertStringSecurityDescriptorToSecurityDescriptorW"]
        converted = re.compile(r'ConvertStringSecurityDescriptorToSecurityDescriptorW\([0-9a-f]+ L"([^"]*)"')
        with otwine.Scenario() as s:
            set_dotnet(s)
            exe = install(s)
            s.reg_add(r"HKCU\Software\Wine\Debug", "RelayInclude", "REG_SZ", ";".join(relayed))

            proc = start_launcher(s, exe, env={"WINEDEBUG": "+relay"}, elevated=True)
            window = main_window(s, timeout=90)
            state = page_state(window)
            self.assertEqual((state["page"], state["text"]), ("Extract...", UNPROTECTED))
            [folder] = working_dirs(s)
            self.assertEqual(list(folder.iterdir()), [])
            self.assertEqual(stat.S_IMODE(folder.stat().st_mode) & 0o007, 0)
            s.close(window["hwnd"])
            self.assertEqual(wait_exit(proc, 60), EXTRACTION_FAILED)
            log = Path(proc.err_path).read_text(encoding="utf-8", errors="replace")
            self.assertEqual(set(converted.findall(log)), {"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"})
            self.assertEqual(working_dirs(s), [])

            proc = start_launcher(s, exe, env=demo_env(s, s.c_drive / "records", WINEDEBUG="+relay",
                                                       OT_DEMO_HOLD_SECONDS=5))
            s.wait_window(title="Orvane Tessaly Setup (demo)", timeout=90)
            [folder] = working_dirs(s)
            self.assertEqual(stat.S_IMODE(folder.stat().st_mode) & 0o005, 0o005)
            self.assertEqual(wait_exit(proc, 120), 0)
            log = Path(proc.err_path).read_text(encoding="utf-8", errors="replace")
            self.assertEqual(converted.findall(log), [])
            self.check_no_leftovers(s)

    def test_folders_with_spaces_and_letters_beyond_ascii(self):
        """The launcher in a user's download folder and %TEMP% in a folder of the same kind:
        the setup program gets exactly those texts, and nothing is left behind."""
        with otwine.Scenario() as s:
            # Wine turns command-line arguments and Unix file names into UTF-16 by the locale's
            # character set: set it before the first Wine command of the prefix.
            s.env["LC_ALL"] = "C.UTF-8"
            set_dotnet(s)
            profile = "users/J\u00fcrgen M\u00fcller"
            exe = install(s, folder=f"{profile}/Downloads/\u4e0b\u8f7d")
            temp = s.c_drive / profile / "AppData/Local/Temp \u00e9t\u00e9 \u4e34\u65f6"
            temp.mkdir(parents=True)
            temp_windows = s.to_windows_path(temp)
            for name in ("TEMP", "TMP"):
                s.reg_add(r"HKCU\Environment", name, "REG_SZ", temp_windows)
            record = s.c_drive / "records"
            env = demo_env(s, record, OT_DEMO_HOLD_SECONDS=1)
            proc = start_launcher(s, exe, env=env)
            self.assertEqual(wait_exit(proc, 120), 0)

            expected_dir = s.to_windows_path(exe.parent)
            self.assertIn("J\u00fcrgen M\u00fcller\\Downloads\\\u4e0b\u8f7d", expected_dir)
            lines = read_record(record / "setup-args.txt")
            self.assertEqual(lines[2:], [expected_dir, USER_HIVE])
            self.assertTrue(lines[0].endswith(f' "{expected_dir}" "{USER_HIVE}"'), lines[0])
            # Both programs ran from a working folder under that %TEMP%.
            self.assertTrue(lines[1].lower().startswith(temp_windows.lower() + "\\{"), lines[1])
            self.assertTrue(lines[1].endswith("\\Setup\\Orvane.Tessaly.Setup.exe"), lines[1])
            starter = read_record(record / "starter-args.txt")
            self.assertTrue(starter[1].lower().startswith(temp_windows.lower() + "\\{"), starter[1])
            self.assertEqual(sorted(p.name for p in temp.iterdir()), [])
            self.assertEqual(working_dirs(s), [])
            self.assertIsNone(s.reg_query(MARKER_KEY, MARKER_NAME))
            running = [p for p in s.processes() if p.lower().startswith("orvane.tessaly")]
            self.assertEqual(running, [])

    def test_launcher_at_a_drive_root(self):
        with otwine.Scenario() as s:
            set_dotnet(s)
            root = s.c_drive.parent / "r-drive"
            root.mkdir()
            exe = install(s, folder="unused")
            (root / "otSetup.exe").write_bytes(exe.read_bytes())
            s.drive("r", root)
            record = s.c_drive / "records"
            env = demo_env(s, record, OT_DEMO_HOLD_SECONDS=1)
            proc = start_launcher(s, "R:\\otSetup.exe", env=env)
            self.assertEqual(wait_exit(proc, 90), 0)
            lines = read_record(record / "setup-args.txt")
            self.assertTrue(lines[0].endswith(f' "R:\\\\" "{USER_HIVE}"'), lines[0])
            self.assertEqual(lines[2:], ["R:\\", USER_HIVE])
            self.check_no_leftovers(s)


if __name__ == "__main__":
    otwine.main()
