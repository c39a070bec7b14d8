"""Extraction failures on the third page: each with its exact red text, and nothing left in the
temporary directory once the window is closed; the run ends with the extraction's exit code,
also where no one can see it and so no one closes the window."""

import re
import unittest

import otwine
from launcher_scenarios import (EXTRACTION_FAILED, install, main_window, page_state, red_pixels,
                                set_dotnet, start_launcher, tmpfs, wait_exit, working_dirs)


class ExtractionFailures(unittest.TestCase):
    def run_failure(self, s, exe_name, expected, tag):
        set_dotnet(s)
        exe = install(s, exe=exe_name)
        proc = start_launcher(s, exe)
        window = main_window(s, timeout=60)
        state = page_state(window)
        self.assertEqual(state["page"], "Extract...")
        if isinstance(expected, str):
            self.assertEqual(state["text"], expected)
        else:
            self.assertRegex(state["text"], expected)
        self.assertIsNone(state["button"])  # the third page has no button
        self.assertGreater(red_pixels(s, state["label"], tag), 50)
        s.close(window["hwnd"])
        self.assertEqual(wait_exit(proc, 30), EXTRACTION_FAILED)
        self.assertEqual(working_dirs(s), [])
        return state

    def test_missing_library_resource(self):
        with otwine.Scenario() as s:
            self.run_failure(s, "otSetup_nolib.exe",
                             "Couldn't extract the unzipping dll: Resource ORVUNZIPPER not found",
                             "failed-nolib")

    def test_missing_archive_resource(self):
        with otwine.Scenario() as s:
            self.run_failure(
                s, "otSetup_noarchive.exe",
                "Couldn't extract the compressed distribution file: Resource DISTRO not found",
                "failed-noarchive")

    def test_library_without_the_export(self):
        with otwine.Scenario() as s:
            self.run_failure(s, "otSetup_noexport.exe", "Couldn't load the unzipping procedure.",
                             "failed-noexport")

    def test_archive_the_library_cannot_unpack(self):
        with otwine.Scenario() as s:
            self.run_failure(s, "otSetup_badarchive.exe",
                             "An error occurred while unzipping the distribution file.",
                             "failed-badarchive")
            # Where no one can see the page, the launcher removes what it wrote and ends.
            unseen = start_launcher(s, s.c_drive / "Apps/Orvane Setup/otSetup.exe", hidden=True)
            self.assertEqual(wait_exit(unseen, 90), EXTRACTION_FAILED)
            self.assertEqual(working_dirs(s), [])

    def test_temporary_directory_path_too_long(self):
        with otwine.Scenario() as s:
            long_temp = "C:\\" + "\\".join(["t" * 50] * 6)  # about 310 characters
            s.reg_add(r"HKCU\Environment", "TEMP", "REG_SZ", long_temp)
            s.reg_add(r"HKCU\Environment", "TMP", "REG_SZ", long_temp)
            self.run_failure(
                s, "otSetup.exe",
                # Windows reports the length it would need; Wine fails the call with the
                # system's "File name is too long". Both end here, before anything is written.
                re.compile(r"^Couldn't create the working directory: (the temporary directory's "
                           r"path is too long|File name is too long)$"),
                "failed-long-temp")
            self.assertFalse((s.c_drive / ("t" * 50)).exists())  # nothing written anywhere

    def test_temporary_directory_where_nothing_can_be_created(self):
        with tmpfs("ro,size=1m") as mount_point, otwine.Scenario() as s:
            s.drive("q", mount_point)
            s.reg_add(r"HKCU\Environment", "TEMP", "REG_SZ", "Q:\\")
            s.reg_add(r"HKCU\Environment", "TMP", "REG_SZ", "Q:\\")
            state = self.run_failure(
                s, "otSetup.exe",
                re.compile(r'^Couldn\'t extract the unzipping dll: Cannot create file '
                           r'"Q:\\\{[0-9A-F-]{36}\}\\OrvUnzip\.dll"\. \S.*[^. ]$'),
                "failed-readonly-temp")
            self.assertNotIn("\n", state["text"])
            self.assertEqual(list(mount_point.iterdir()), [])


if __name__ == "__main__":
    otwine.main()
