"""The 32-bit crypto code on emulated processors with and without AES-NI and SHA-NI.

Each processor gets its own prefix in which every program runs on it (qemu-i386's models
"max", which has both extensions, and "qemu32", which has neither):

- crypto_test_win32.exe, the crypto unit tests (FIPS 197/180, RFC 2202/6070 known answers,
  split points, WinZip AES round trips) as a 32-bit Windows program, runs each test once on the
  portable code and once on the accelerated one. On "max" nothing may be skipped, so both paths
  ran; on "qemu32" the accelerated runs must be skipped for want of the extensions, which shows
  that the processor check reads what the processor offers.
- OrvUnzip.dll unpacks the benchmark payload (115 files, 77.7 MB, the product's shape) through
  unzip_harness.exe, byte for byte, on each processor.
"""
import filecmp
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

import otwine

PASSWORD = "{8F27B1C0-5K2D-Q4RM--7A9E1F60C}"
ACCELERATED = "max"
PORTABLE_ONLY = "qemu32"


def gtest_counts(output: str) -> tuple[int, int, int]:
    """(passed, skipped, failed) from GoogleTest's summary lines."""
    def count(label):
        found = re.search(r"^\[\s*" + label + r"\s*\] (\d+) tests?", output, re.M)
        return int(found.group(1)) if found else 0
    return count("PASSED"), count("SKIPPED"), count("FAILED")


def compare_trees(expected: Path, actual: Path) -> list[str]:
    """Names that differ, are missing or are extra (relative, with "/")."""
    def files(root):
        return {p.relative_to(root).as_posix() for p in root.rglob("*") if p.is_file()}
    want, have = files(expected), files(actual)
    problems = [f"missing {n}" for n in sorted(want - have)]
    problems += [f"extra {n}" for n in sorted(have - want)]
    for name in sorted(want & have):
        if not filecmp.cmp(expected / name, actual / name, shallow=False):
            problems.append(f"differs {name}")
    return problems


class CryptoOnEmulatedProcessors(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Path(tempfile.mkdtemp(prefix="ot-crypto-cpus-"))
        tools = otwine.BIN_DIR.parent / "host-tools" / "bin"
        cls.payload = cls.work / "payload"
        cls.archive = cls.work / "distro.zip"
        subprocess.run([tools / "benchpayload", cls.payload], check=True, timeout=300,
                       stdout=subprocess.DEVNULL)
        subprocess.run([tools / "mkdistro", cls.payload, cls.archive], check=True, timeout=600,
                       stdout=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def run_crypto_tests(self, s: otwine.Scenario) -> str:
        done = s.run([otwine.BIN_DIR / "crypto_test_win32.exe"], timeout=900)
        output = done.stdout + done.stderr
        self.assertEqual(done.returncode, 0, output[-4000:])
        return output

    def unpack_payload(self, s: otwine.Scenario, cpu: str) -> None:
        dest = self.work / f"out-{cpu}"
        done = s.run([otwine.BIN_DIR / "unzip_harness.exe", "unzip",
                      s.to_windows_path(otwine.BIN_DIR / "OrvUnzip.dll"),
                      s.to_windows_path(self.archive), s.to_windows_path(dest), PASSWORD],
                     timeout=900)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn("result=-1", done.stdout)
        self.assertEqual(compare_trees(self.payload, dest), [])
        shutil.rmtree(dest, ignore_errors=True)

    def test_processor_with_aes_ni_and_sha_ni(self):
        with otwine.Scenario(display=False, cpu=ACCELERATED) as s:
            output = self.run_crypto_tests(s)
            passed, skipped, failed = gtest_counts(output)
            self.assertEqual((skipped, failed), (0, 0), output[-4000:])
            # Every parameterised test ran on both paths, and the cross-checks between them ran.
            self.assertRegex(output, r"\[\s+OK \] Paths/\w+\.\w+/Accelerated")
            self.assertRegex(output, r"\[\s+OK \] AesPathsTest\.PortableAndAesNiAgree")
            self.assertRegex(output, r"\[\s+OK \] Sha1PathsTest\.PortableAndShaExtensionsAgree")
            self.assertGreater(passed, 40)
            self.unpack_payload(s, ACCELERATED)

    def test_processor_without_extensions(self):
        with otwine.Scenario(display=False, cpu=PORTABLE_ONLY) as s:
            output = self.run_crypto_tests(s)
            passed, skipped, failed = gtest_counts(output)
            self.assertEqual(failed, 0, output[-4000:])
            accelerated = len(re.findall(r"^\[ RUN      \] Paths/\w+\.\w+/Accelerated", output, re.M))
            portable = len(re.findall(r"^\[\s+OK \] Paths/\w+\.\w+/Portable", output, re.M))
            # The accelerated runs and the two cross-checks are skipped; the portable ones pass.
            self.assertGreater(accelerated, 0)
            self.assertEqual(skipped, accelerated + 2, output[-4000:])
            self.assertEqual(portable, accelerated)
            self.assertIn("neither AES-NI nor the SHA extensions", output)
            self.unpack_payload(s, PORTABLE_ONLY)


if __name__ == "__main__":
    otwine.main()
