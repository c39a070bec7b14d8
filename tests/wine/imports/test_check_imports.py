"""The import check itself: it must reject a binary built to break each rule, accept a clean
one, and tell a missing binary from a passing one."""
import argparse
import sys
import tempfile
import unittest
from pathlib import Path

import check_imports

BIN_DIR: Path
ARCH: str


class Rules(unittest.TestCase):
    def setUp(self):
        self.canary = BIN_DIR / "imports_canary.exe"
        self.clean = BIN_DIR / "otprobe.exe"
        for path in (self.canary, self.clean):
            if not path.is_file():
                self.fail(f"{path} has not been built")

    def test_canary_breaks_every_xp_rule(self):
        problems = "\n".join(check_imports.check_binary(self.canary, "xp", ARCH).problems)
        self.assertIn("kernel32.dll!GetTickCount64", problems)
        self.assertIn("kernel32.dll!InitializeSRWLock", problems)
        self.assertIn("dwmapi.dll", problems)
        self.assertIn("subsystem version 6.0", problems)

    def test_vista_rule_allows_what_vista_has(self):
        problems = "\n".join(check_imports.check_binary(self.canary, "vista", ARCH).problems)
        self.assertNotIn("GetTickCount64", problems)
        self.assertNotIn("InitializeSRWLock", problems)
        self.assertNotIn("subsystem", problems)
        self.assertIn("dwmapi.dll", problems)

    def test_clean_program_passes_both_rules(self):
        for rule in ("xp", "vista"):
            report = check_imports.check_binary(self.clean, rule, ARCH)
            self.assertEqual(report.problems, [], rule)
            self.assertIn("GetWindowRect", report.imports["user32"])

    def test_wrong_machine_is_reported(self):
        other = "x86" if ARCH == "x64" else "x64"
        problems = check_imports.check_binary(self.clean, "xp", other).problems
        self.assertTrue(any(p.startswith("machine") for p in problems), problems)

    def test_patterns_match_whole_names(self):
        forbidden = check_imports.forbidden_for("xp")
        hits = lambda dll, name: any(check_imports.fnmatch.fnmatchcase(name, p)
                                     for p in forbidden[dll] + forbidden["*"])
        self.assertTrue(hits("kernel32", "SleepConditionVariableCS"))
        self.assertTrue(hits("kernel32", "FlsAlloc"))
        self.assertTrue(hits("advapi32", "RegGetValueW"))
        self.assertTrue(hits("msvcrt", "sprintf_s"))
        self.assertTrue(hits("user32", "GetPointerInfo"))
        for old in ("GetTickCount", "InitializeCriticalSection", "RegQueryValueExW",
                    "FindFirstFileW", "GetVersionExW", "IsWow64Process", "CreateMutexW",
                    "GetLogicalProcessorInformation", "SetDllDirectoryW"):
            self.assertFalse(hits("kernel32", old) or hits("advapi32", old), old)
        for old in ("_iob", "__wgetmainargs", "_errno", "setlocale", "_wcsicmp"):
            self.assertFalse(hits("msvcrt", old), old)


class ExitCodes(unittest.TestCase):
    def test_missing_binaries_skip_and_bad_ones_fail(self):
        with tempfile.TemporaryDirectory() as empty:
            self.assertEqual(check_imports.main(["--bin-dir", empty, "--arch", ARCH]), 77)
        canary = str(BIN_DIR / "imports_canary.exe")
        clean = str(BIN_DIR / "otprobe.exe")
        self.assertEqual(check_imports.main(["--bin-dir", ".", "--arch", ARCH, "--xp", canary]), 1)
        self.assertEqual(check_imports.main(["--bin-dir", ".", "--arch", ARCH, "--xp", clean,
                                             "--vista", clean]), 0)
        self.assertEqual(check_imports.main(["--bin-dir", ".", "--arch", ARCH, "--xp", clean,
                                             "--xp", "/nonexistent/x.exe"]), 77)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True, type=Path)
    parser.add_argument("--arch", required=True)
    options, rest = parser.parse_known_args()
    BIN_DIR, ARCH = options.bin_dir, options.arch
    unittest.main(argv=[sys.argv[0], *rest])
