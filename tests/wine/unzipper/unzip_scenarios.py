"""OrvUnzip.dll under Wine, loaded and called by unzip_harness.exe as the launcher does.

Archives are made at test time: by 7zz (WinZip AES, as the distribution archive) and, for the
records no peer tool writes (hostile names, exact attributes), by Python's zipfile without
encryption. The prompts are driven from outside: the window is found, its text read, its
button pressed.
"""
import os
import re
import shutil
import stat
import subprocess
import tempfile
import time
import unittest
import zipfile
from pathlib import Path

import otwine

PASSWORD = "{8F27B1C0-5K2D-Q4RM--7A9E1F60C}"
FAILURE_SUFFIX = ". File processing error, possibly disk is full"
ES_PASSWORD = 0x20


def have_7zz():
    return shutil.which("7zz") is not None


def make_tree(root: Path) -> None:
    (root / "Languages").mkdir(parents=True)
    (root / "x64").mkdir()
    (root / "Readme.txt").write_bytes(b"".join(b"line %d of the readme\r\n" % i for i in range(40000)))
    (root / "Orvane.Tessaly.Setup.exe").write_bytes(os.urandom(600_000))
    (root / "Languages" / "Fran\u00e7ais.lng").write_bytes(b"bonjour" * 1000)
    (root / "x64" / "lib.dll").write_bytes(os.urandom(70_000))


def seven_zip(tree: Path, archive: Path, *names: str, strength="AES128", method="Deflate") -> None:
    subprocess.run(["7zz", "a", "-tzip", f"-mem={strength}", f"-mm={method}", f"-p{PASSWORD}", str(archive),
                    *(names or ["."])], cwd=tree, check=True, stdout=subprocess.DEVNULL, timeout=60)


def files_below(root: Path) -> dict:
    return {p.relative_to(root).as_posix(): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


def flip_last_mac_byte(archive: Path) -> None:
    """One entry, no data descriptor (7zz): the code ends where the central directory starts."""
    data = bytearray(archive.read_bytes())
    directory = int.from_bytes(data[-6:-2], "little")
    data[directory - 1] ^= 0x80
    archive.write_bytes(bytes(data))


class UnzipUnderWine(unittest.TestCase):
    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="orvunzip-wine-"))
        self.harness = otwine.BIN_DIR / "unzip_harness.exe"
        self.dll = otwine.BIN_DIR / "OrvUnzip.dll"
        self.scenario = otwine.Scenario()
        self.s = self.scenario.__enter__()
        self.dll_path = self.s.to_windows_path(self.dll)

    def tearDown(self):
        self.scenario.__exit__(None, None, None)
        shutil.rmtree(self.work, ignore_errors=True)

    # -- helpers ---------------------------------------------------------------------------

    def win(self, path) -> str:
        return self.s.to_windows_path(path)

    def unzip(self, archive: str, dest: str, password: str = PASSWORD, timeout=120,
              hidden=False) -> int:
        """hidden: in a window station that is not interactive, where no one could answer a
        prompt (the call must not wait for one)."""
        done = self.s.run([self.harness, "unzip", self.dll_path, archive, dest, password],
                          timeout=timeout, hidden=hidden)
        return self.result_of(done.returncode, done.stdout, done.stderr)

    def start_unzip(self, archive: str, dest: str, password: str):
        return self.s.start([self.harness, "unzip", self.dll_path, archive, dest, password])

    def finish(self, proc, timeout=60) -> int:
        proc.wait(timeout=timeout)
        return self.result_of(proc.returncode, proc.out_path.read_text(), proc.err_path.read_text())

    def result_of(self, code, out, err) -> int:
        self.assertEqual(code, 0, f"harness failed: {out} {err}")
        found = re.search(r"result=(-?\d+)", out)
        self.assertIsNotNone(found, out)
        return int(found.group(1))

    def stat(self, *paths):
        done = self.s.run([self.harness, "stat", *[self.win(p) for p in paths]])
        lines = done.stdout.splitlines()
        self.assertEqual(len(lines), len(paths), done.stdout)
        result = []
        for line in lines:
            fields = re.fullmatch(r"attributes=0x([0-9A-F]{8}) local=(\d+)-(\d+)-(\d+) (\d+):(\d+):(\d+)", line.strip())
            self.assertIsNotNone(fields, line)
            result.append((int(fields.group(1), 16), tuple(int(v) for v in fields.groups()[1:])))
        return result

    def our_windows(self):
        return [w for w in self.s.windows() if w["title"].startswith("Password for") or w["title"] == "Confirm"]

    def failure_box(self):
        box = self.s.wait_window(title="Confirm", timeout=30)
        text = self.s.child(box, cls="Static", text=re.compile("Native error"))
        self.assertIsNotNone(text, box["children"])
        return box, text["text"]

    def press(self, window, caption: str) -> None:
        button = self.s.child(window, cls="Button", text=re.compile(rf"^&?{caption}$"))
        self.assertIsNotNone(button, window["children"])
        self.s.click(button["hwnd"])

    # -- scenarios -------------------------------------------------------------------------

    @unittest.skipUnless(have_7zz(), "7zz not installed")
    def test_aes_archive_extracts_with_attributes_and_times_and_no_window(self):
        tree = self.work / "tree"
        make_tree(tree)
        archive = self.work / "Distro.zip"
        seven_zip(tree, archive)
        for suffix, out in (("", self.work / "Setup"), ("\\", self.work / "Setup2")):
            self.assertEqual(self.unzip(self.win(archive), self.win(out) + suffix), -1)
            self.assertEqual(files_below(out), files_below(tree))
        self.assertEqual(self.our_windows(), [])
        with zipfile.ZipFile(archive) as z:
            files = [i for i in z.infolist() if not i.is_dir()]
        stats = self.stat(*[self.work / "Setup" / i.filename for i in files])
        for info, (attributes, local) in zip(files, stats):
            self.assertEqual(attributes, 0x20, info.filename)
            self.assertEqual(local, info.date_time, info.filename)

    @unittest.skipUnless(have_7zz(), "7zz not installed")
    def test_every_peer_archive_kind_extracts_byte_for_byte(self):
        tree = self.work / "tree"
        make_tree(tree)
        archives = []
        for strength in ("AES128", "AES192", "AES256"):
            for method in ("Deflate", "Copy"):
                archive = self.work / f"{strength}-{method}.zip"
                seven_zip(tree, archive, strength=strength, method=method)
                archives.append(archive)
        if shutil.which("bsdtar"):
            for encryption in ("aes128", "aes256"):
                archive = self.work / f"bsdtar-{encryption}.zip"
                subprocess.run(["bsdtar", "--format", "zip", "--options", f"zip:encryption={encryption}",
                                "--passphrase", PASSWORD, "-cf", str(archive), "."], cwd=tree, check=True,
                               timeout=60)
                archives.append(archive)
        for archive in archives:
            out = self.work / ("out-" + archive.stem)
            self.assertEqual(self.unzip(self.win(archive), self.win(out)), -1, archive.name)
            self.assertEqual(files_below(out), files_below(tree), archive.name)
        self.assertEqual(self.our_windows(), [])

    def test_exact_attributes_dates_and_a_replaced_read_only_file(self):
        archive = self.work / "plain.zip"
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
            for name, attributes, when in (("a.txt", 0x20, (2022, 2, 23, 8, 30, 10)),
                                           ("sub/ro.txt", 0x21, (2023, 9, 28, 23, 59, 58))):
                info = zipfile.ZipInfo(name, date_time=when)
                info.create_system = 0
                info.external_attr = attributes
                info.compress_type = zipfile.ZIP_DEFLATED
                z.writestr(info, b"new " + name.encode() * 100)
        out = self.work / "out" / "deeper"
        out.mkdir(parents=True)
        (out / "a.txt").write_bytes(b"old and read-only")
        os.chmod(out / "a.txt", stat.S_IRUSR)
        self.assertEqual(self.stat(out / "a.txt")[0][0] & 0x01, 0x01)  # Windows sees it read-only
        self.assertEqual(self.unzip(self.win(archive), self.win(out), ""), -1)
        self.assertEqual((out / "a.txt").read_bytes(), b"new " + b"a.txt" * 100)
        (a, a_time), (ro, ro_time) = self.stat(out / "a.txt", out / "sub" / "ro.txt")
        self.assertEqual((a, a_time), (0x20, (2022, 2, 23, 8, 30, 10)))
        self.assertEqual((ro, ro_time), (0x21, (2023, 9, 28, 23, 59, 58)))

    def test_archives_that_cannot_be_opened_return_0_without_a_window(self):
        out = self.work / "out"
        not_zip = self.work / "text.zip"
        not_zip.write_bytes(b"no archive here\n" * 100)
        truncated = self.work / "cut.zip"
        with zipfile.ZipFile(self.work / "whole.zip", "w") as z:
            z.writestr("a.txt", b"a" * 5000)
        truncated.write_bytes((self.work / "whole.zip").read_bytes()[:-30])
        for archive in (self.win(self.work / "missing.zip"), "", "<null>", self.win(not_zip), self.win(truncated)):
            self.assertEqual(self.unzip(archive, self.win(out)), 0, archive)
        self.assertEqual(self.our_windows(), [])
        self.assertFalse(out.exists())

    @unittest.skipUnless(have_7zz(), "7zz not installed")
    def test_wrong_password_prompt_takes_the_right_one_for_every_later_entry(self):
        tree = self.work / "tree"
        make_tree(tree)
        archive = self.work / "Distro.zip"
        seven_zip(tree, archive, "Readme.txt", "Languages", "x64")
        out = self.work / "Setup"
        with zipfile.ZipFile(archive) as z:
            first = next(i.filename for i in z.infolist() if not i.is_dir())
        proc = self.start_unzip(self.win(archive), self.win(out), "wrong")
        dialog = self.s.wait_window(title=f'Password for "{first}"', timeout=30)
        label = self.s.child(dialog, cls="Static")
        edit = self.s.child(dialog, cls="Edit")
        self.assertEqual(label["text"], "Enter password: ")
        self.assertTrue(edit["style"] & ES_PASSWORD)
        self.assertEqual(edit["text"], "")
        ok = self.s.child(dialog, cls="Button", text="OK")
        cancel = self.s.child(dialog, cls="Button", text="Cancel")
        self.assertEqual(ok["rect"][1], cancel["rect"][1])
        self.assertLess(ok["rect"][0], cancel["rect"][0])
        self.s.set_text(edit["hwnd"], PASSWORD)
        self.s.click(ok["hwnd"])
        self.assertEqual(self.finish(proc), -1)
        expected = {k: v for k, v in files_below(tree).items() if not k.endswith(".exe")}
        self.assertEqual(files_below(out), expected)
        self.assertEqual(self.our_windows(), [])

    @unittest.skipUnless(have_7zz(), "7zz not installed")
    def test_cancel_on_every_prompt_leaves_no_files_and_returns_minus_1(self):
        tree = self.work / "tree"
        make_tree(tree)
        archive = self.work / "Distro.zip"
        seven_zip(tree, archive, "Readme.txt", "x64")
        out = self.work / "Setup"
        proc = self.start_unzip(self.win(archive), self.win(out), "wrong")
        asked = []
        for _ in range(2):
            dialog = self.s.wait_window(title=re.compile(r'^Password for "'), timeout=30)
            asked.append(dialog["title"])
            self.press(dialog, "Cancel")
            self.s.wait_until(lambda: all(w["hwnd"] != dialog["hwnd"] for w in self.s.windows()), 20)
        self.assertEqual(self.finish(proc), -1)
        with zipfile.ZipFile(archive) as z:
            names = [i.filename for i in z.infolist() if not i.is_dir()]
        self.assertEqual(asked, [f'Password for "{name}"' for name in names])
        self.assertEqual(files_below(out), {})
        # Where no one can see a prompt, each is answered Cancel without being shown, and the
        # archive, not unpacked, is reported as a failure.
        self.assertEqual(self.unzip(self.win(archive), self.win(out), "wrong", hidden=True), 0)
        self.assertEqual(files_below(out), {})

    @unittest.skipUnless(have_7zz(), "7zz not installed")
    def test_corrupted_authentication_code_failure_prompt(self):
        tree = self.work / "tree"
        make_tree(tree)
        archive = self.work / "bad.zip"
        seven_zip(tree, archive, "Readme.txt")
        flip_last_mac_byte(archive)
        out = self.work / "Setup"

        proc = self.start_unzip(self.win(archive), self.win(out), PASSWORD)
        box, text = self.failure_box()
        self.assertEqual(text, "Invalid size or check sum of file or unsupported compression format"
                               " - Native error: 00008" + FAILURE_SUFFIX)
        self.press(box, "Ignore")
        self.assertEqual(self.finish(proc), -1)
        self.assertFalse((out / "Readme.txt").exists())

        proc = self.start_unzip(self.win(archive), self.win(out), PASSWORD)
        box, _ = self.failure_box()
        self.press(box, "Retry")
        self.s.wait_until(lambda: all(w["hwnd"] != box["hwnd"] for w in self.s.windows()), 20)
        box, text = self.failure_box()  # the same entry, asked again
        self.assertIn("00008", text)
        self.press(box, "Abort")
        self.assertEqual(self.finish(proc), -1)
        self.assertEqual(files_below(out), {})
        # Where no one can see the prompt, it is answered Abort without being shown: with a
        # good entry after the damaged one, nothing is extracted (Ignore would extract it), and
        # the result is a failure. Nothing asked, the same run succeeds.
        seven_zip(tree, archive, "x64")
        self.assertEqual(self.unzip(self.win(archive), self.win(out), hidden=True), 0)
        self.assertEqual(files_below(out), {})
        good = self.work / "good.zip"
        seven_zip(tree, good, "x64")
        self.assertEqual(self.unzip(self.win(good), self.win(out), hidden=True), -1)
        self.assertEqual(files_below(out),
                         {f"x64/{k}": v for k, v in files_below(tree / "x64").items()})

    def test_hostile_names_are_refused_and_nothing_lands_outside(self):
        archive = self.work / "hostile.zip"
        with zipfile.ZipFile(archive, "w") as z:
            z.writestr("../escaped.txt", b"evil")
            z.writestr("good.txt", b"good")
        out = self.work / "a" / "out"
        proc = self.start_unzip(self.win(archive), self.win(out), "")
        box, text = self.failure_box()
        self.assertIn('"../escaped.txt"', text)
        self.assertIn(" - Native error: 00060" + FAILURE_SUFFIX, text)
        self.press(box, "Ignore")
        self.assertEqual(self.finish(proc), -1)
        self.assertEqual(files_below(self.work / "a"), {"out/good.txt": b"good"})


if __name__ == "__main__":
    otwine.main()
