"""The Windows build refuses a payload directory without a runnable setup program at its root and
warns about a missing starter tool.

cmake/PayloadCheck.cmake is run the way the archive step runs it (cmake -P), over small payload
directories made here, and the Windows tree is configured for real around a bad and a good one.

    test_payload_check.py --cmake CMAKE --source SOURCE_DIR
"""

import argparse
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

CMAKE = "cmake"
SOURCE: Path = Path()
SETUP = "Orvane.Tessaly.Setup.exe"
STARTER = "Orvane.Tessaly.Starter.exe"


def pe_image(lfanew: int = 0x80, signature: bytes = b"PE\0\0", size: int = 512) -> bytes:
    """The start of a Windows executable: an MZ header whose e_lfanew points at signature."""
    data = bytearray(size)
    data[0:2] = b"MZ"
    data[0x3C:0x40] = struct.pack("<I", lfanew)
    if lfanew + len(signature) <= size:
        data[lfanew:lfanew + len(signature)] = signature
    return bytes(data)


def flat(text: str) -> str:
    """CMake wraps its messages; compare them with runs of white space made one space."""
    return " ".join(text.split())


class PayloadCheck(unittest.TestCase):
    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="payload-check-"))
        self.payload = self.tmp / "payload"
        self.payload.mkdir()

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def put(self, name: str, data: bytes) -> None:
        path = self.payload / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)

    def check(self, payload: Path | None = None) -> subprocess.CompletedProcess:
        return subprocess.run(
            [CMAKE, f"-DOT_PAYLOAD_DIR={payload or self.payload}", "-P",
             str(SOURCE / "cmake" / "PayloadCheck.cmake")],
            capture_output=True, text=True, timeout=60)

    def assertRefused(self, done, *phrases):
        self.assertNotEqual(done.returncode, 0, done.stderr)
        for phrase in phrases:
            self.assertIn(phrase, flat(done.stderr))

    def test_a_complete_payload_passes_silently(self):
        self.put(SETUP, pe_image())
        self.put(STARTER, pe_image(lfanew=0x40))
        self.put("Languages/English.txt", b"text")
        done = self.check()
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stderr, "")

    def test_a_missing_setup_program_stops_the_build(self):
        self.put(STARTER, pe_image())
        self.put("Languages/" + SETUP, pe_image())  # not at the root: does not count
        self.assertRefused(self.check(), f'Payload directory "{self.payload}" has no {SETUP} at its root')

    def test_a_folder_named_like_the_setup_program_is_no_program(self):
        (self.payload / SETUP).mkdir()
        self.put(STARTER, pe_image())
        self.assertRefused(self.check(), f"has no {SETUP} at its root")

    def test_a_setup_program_that_is_not_a_windows_executable_stops_the_build(self):
        self.put(STARTER, pe_image())
        cases = {
            b"#!/bin/sh\necho this is a shell script, not a Windows program\n" * 3:
                'it does not start with the "MZ" header of a Windows executable',
            b"MZ tiny": "it is only 7 bytes long, too short for an MZ header",
            pe_image(signature=b"NE\0\0"): 'there is no "PE" signature at offset 128',
            pe_image(lfanew=0x7FFFFFF0): "its MZ header points at offset 2147483632, past the end of the file",
            pe_image(lfanew=510): "its MZ header points at offset 510, past the end of the file",
        }
        for data, reason in cases.items():
            with self.subTest(reason=reason):
                self.put(SETUP, data)
                self.assertRefused(self.check(),
                                   f'"{self.payload / SETUP}" is not a Windows executable: {reason}')

    def test_names_match_without_regard_to_case_as_on_windows(self):
        self.put("orvane.tessaly.setup.EXE", pe_image())
        self.put("ORVANE.Tessaly.Starter.exe", pe_image())
        done = self.check()
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stderr, "")

    def test_a_missing_starter_tool_is_only_a_warning(self):
        self.put(SETUP, pe_image())
        done = self.check()
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("CMake Warning", done.stderr)
        self.assertIn(f'Payload directory "{self.payload}" has no {STARTER} at its root; the '
                      "launcher will start the setup program without the starter tool.",
                      flat(done.stderr))

    def test_a_starter_tool_that_is_not_a_windows_executable_is_a_warning(self):
        self.put(SETUP, pe_image())
        self.put(STARTER, b"plain text, not a program, long enough to be read as a header......")
        done = self.check()
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn(f'"{self.payload / STARTER}" is not a Windows executable', flat(done.stderr))

    def test_a_payload_directory_that_does_not_exist_stops_the_build(self):
        self.assertRefused(self.check(self.tmp / "nowhere"),
                           f'Payload directory "{self.tmp / "nowhere"}" does not exist or is not a directory')

    # -- through a configure of the Windows tree ------------------------------------------------

    def configure(self) -> subprocess.CompletedProcess:
        return subprocess.run(
            [CMAKE, "-S", str(SOURCE), "-B", str(self.tmp / "build"), "-G", "Ninja",
             f"-DCMAKE_TOOLCHAIN_FILE={SOURCE / 'cmake' / 'mingw-i686.cmake'}",
             "-DCMAKE_BUILD_TYPE=MinSizeRel", "-DOT_BUILD_TESTS=OFF",
             f"-DOT_PAYLOAD_DIR={self.payload}"],
            capture_output=True, text=True, timeout=240)

    def test_configuring_the_launcher_around_a_payload_without_its_setup_program_fails(self):
        self.put(STARTER, pe_image())
        self.put("readme.txt", b"no setup program here")
        done = self.configure()
        self.assertRefused(done, f'Payload directory "{self.payload}" has no {SETUP} at its root')
        self.assertIn("Configuring incomplete, errors occurred!", done.stdout + done.stderr)

    def test_configuring_the_launcher_around_a_payload_without_its_starter_warns(self):
        self.put(SETUP, pe_image())
        done = self.configure()
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn(f"has no {STARTER} at its root", flat(done.stderr))


def main() -> None:
    global CMAKE, SOURCE
    parser = argparse.ArgumentParser()
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--source", required=True, type=Path)
    args, rest = parser.parse_known_args()
    CMAKE, SOURCE = args.cmake, args.source.resolve()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
