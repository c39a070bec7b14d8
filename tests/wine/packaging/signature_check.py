"""Verifies the Authenticode signature of the finished otSetup.exe with osslsigncode, and that
it stops verifying once the file or the trust anchors change.

    /usr/bin/python3 signature_check.py --exe bin/otSetup.exe [--root signing/root.pem]

With --root (the build's throw-away chain) the signature and its time stamp must chain to that
root; without it, to the system's trusted roots (a build signed with a real certificate).
"""

from __future__ import annotations

import argparse
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import pefile

ARGS: argparse.Namespace


def verify(exe: Path, root: Path | None) -> subprocess.CompletedProcess:
    command = ["osslsigncode", "verify", "-in", str(exe)]
    if root is not None:
        command += ["-CAfile", str(root), "-TSA-CAfile", str(root)]
    return subprocess.run(command, capture_output=True, text=True, timeout=120)


class Verification(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = Path(tempfile.mkdtemp(prefix="ot-signature-"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_signature_and_time_stamp_verify(self):
        done = verify(ARGS.exe, ARGS.root)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn("Signature verification: ok", done.stdout)
        self.assertIn("Timestamp Server Signature verification: ok", done.stdout)
        self.assertIn("Message digest algorithm  : SHA256", done.stdout)

    def changed_copy(self, offset: int, name: str) -> Path:
        data = bytearray(ARGS.exe.read_bytes())
        data[offset] ^= 0x01
        path = self.tmp / name
        path.write_bytes(data)
        return path

    def test_one_changed_byte_of_the_signed_content_fails(self):
        pe = pefile.PE(str(ARGS.exe), fast_load=True)
        security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
        resources = [s for s in pe.sections if s.Name.rstrip(b"\0") == b".rsrc"][0]
        places = {
            "header time stamp": pe.FILE_HEADER.get_field_absolute_offset("TimeDateStamp"),
            "first code byte": pe.sections[0].PointerToRawData,
            "middle of the resources": resources.PointerToRawData + resources.SizeOfRawData // 2,
            "last byte before the signature": security.VirtualAddress - 1,
        }
        pe.close()
        for i, (what, offset) in enumerate(places.items()):
            with self.subTest(changed=what):
                done = verify(self.changed_copy(offset, f"changed-{i}.exe"), ARGS.root)
                self.assertNotEqual(done.returncode, 0, done.stdout)
                self.assertIn("MISMATCH", done.stdout)

    def test_a_changed_digest_inside_the_signature_fails(self):
        # The image digest that the signature covers, as osslsigncode reports it.
        done = verify(ARGS.exe, ARGS.root)
        match = re.search(r"Current message digest\s*:\s*([0-9A-F]{64})", done.stdout)
        self.assertIsNotNone(match, done.stdout)
        data = ARGS.exe.read_bytes()
        offset = data.rindex(bytes.fromhex(match.group(1)))
        done = verify(self.changed_copy(offset + 31, "changed-digest.exe"), ARGS.root)
        self.assertNotEqual(done.returncode, 0, done.stdout)

    def test_an_unrelated_root_is_not_trusted(self):
        if ARGS.root is None:
            self.skipTest("signed with a real certificate: the system's roots are the anchors")
        key, other = self.tmp / "other.key", self.tmp / "other.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=Unrelated Test Root", "-keyout", str(key), "-out", str(other)],
                       capture_output=True, check=True, timeout=120)
        done = verify(ARGS.exe, other)
        self.assertNotEqual(done.returncode, 0, done.stdout)


def main() -> None:
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True, type=Path)
    parser.add_argument("--root", type=Path)
    ARGS, rest = parser.parse_known_args()
    program = unittest.main(argv=[sys.argv[0], *rest], exit=False, verbosity=2)
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
