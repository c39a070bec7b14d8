"""Whole runs of the launcher with the demo payload: the hand-off to the two programs, their
command lines, the wait on the setup program's mutex, the setup program's exit code passed on,
and what is left afterwards."""

import re
import time
import unittest
from pathlib import Path

import otwine
from launcher_scenarios import (MARKER_KEY, MARKER_NAME, demo_env, install, main_window,
                                read_record, set_dotnet, wait_exit, working_dirs)

USER_HIVE = "S-1-5-21-0-0-0-1000"


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
            proc = s.start([exe], env=env, probe=True)

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
        """Wine neither stores nor enforces rights, so what is shown is what the launcher asks
        for, in a trace of its calls: elevated (Wine's default token), the folder is created
        with the protected descriptor; with the limited token, with the inherited rights."""
        relayed = ["KERNEL32.CreateDirectoryW", "KERNELBASE.CreateDirectoryW",
                   "ADVAPI32.ConvertStringSecurityDescriptorToSecurityDescriptorW",
                   "sechost.ConvertStringSecurityDescriptorToSecurityDescriptorW"]
        created = re.compile(r'CreateDirectoryW\([0-9a-f]+ L"[^"]*\\(\{[0-9A-F-]{36}\})",([0-9a-f]+)\)')
        converted = re.compile(r'ConvertStringSecurityDescriptorToSecurityDescriptorW\([0-9a-f]+ L"([^"]*)"')
        with otwine.Scenario() as s:
            set_dotnet(s)
            exe = install(s)
            s.reg_add(r"HKCU\Software\Wine\Debug", "RelayInclude", "REG_SZ", ";".join(relayed))
            for limited in (False, True):
                args = ([otwine.BIN_DIR / "otprobe.exe", "limited", s.to_windows_path(exe)]
                        if limited else [exe])
                proc = s.start(args, env=demo_env(s, s.c_drive / f"records-{limited}",
                                                  OT_DEMO_HOLD_SECONDS=1, WINEDEBUG="+relay"))
                self.assertEqual(wait_exit(proc, 120), 0)
                log = Path(proc.err_path).read_text(encoding="utf-8", errors="replace")
                folders = {name: attributes for name, attributes in created.findall(log)}
                self.assertEqual(len(folders), 1, log[-3000:])
                [attributes] = folders.values()
                descriptors = set(converted.findall(log))
                if limited:
                    self.assertEqual(int(attributes, 16), 0)
                    self.assertEqual(descriptors, set())
                else:
                    self.assertNotEqual(int(attributes, 16), 0)
                    self.assertEqual(descriptors, {"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"})
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
            proc = s.start([exe], env=env)
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
            proc = s.start(["R:\\otSetup.exe"], env=env)
            self.assertEqual(wait_exit(proc, 90), 0)
            lines = read_record(record / "setup-args.txt")
            self.assertTrue(lines[0].endswith(f' "R:\\\\" "{USER_HIVE}"'), lines[0])
            self.assertEqual(lines[2:], ["R:\\", USER_HIVE])
            self.check_no_leftovers(s)


if __name__ == "__main__":
    otwine.main()
