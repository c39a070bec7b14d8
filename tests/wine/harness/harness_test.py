"""Self-test of the otwine harness: prefix, paths, registry, otprobe, a real GUI window and
the screen. One console scenario and one GUI scenario keep it short."""
import contextlib
import io
import json
import re
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

import otwine


class PngFiles(unittest.TestCase):
    """The pure-Python PNG writer and reader, without Wine."""

    def test_round_trip_counts_and_crops(self):
        width, height = 7, 5
        pixels = bytearray()
        for y in range(height):
            for x in range(width):
                pixels += bytes((255, 0, 0)) if (x < 3 and y < 2) else bytes((x * 30, y * 40, 9))
        with tempfile.TemporaryDirectory() as tmp:
            path = Path(tmp) / "t.png"
            otwine.write_png(path, width, height, bytes(pixels))
            self.assertEqual(otwine.read_png(path), (width, height, bytes(pixels)))
            self.assertEqual(otwine.count_color(path, (255, 0, 0)), 6)
            self.assertEqual(otwine.count_color(path, "#ff0000", rect=[1, 1, 7, 5]), 2)
            self.assertEqual(otwine.count_color(path, (250, 5, 0), tolerance=5), 6)
            self.assertEqual(otwine.count_color(path, (250, 5, 0), tolerance=4), 0)
            # A rectangle reaching past the image is clipped, not wrapped around.
            self.assertEqual(otwine.count_color(path, (255, 0, 0), rect=[2, -3, 99, 99]), 2)

    def test_every_row_filter_is_undone(self):
        # Rows filtered with Sub, Up, Average and Paeth must decode to the same pixels.
        width, rows = 4, [bytes((10 * i + j) % 256 for j in range(12)) for i in range(4)]

        def filtered(kind, line, prev):
            out = bytearray(line)
            for i in range(len(line)):
                left = line[i - 3] if i >= 3 else 0
                up = prev[i]
                up_left = prev[i - 3] if i >= 3 else 0
                guess = {1: left, 2: up, 3: (left + up) >> 1,
                         4: otwine._paeth(left, up, up_left)}[kind]
                out[i] = (line[i] - guess) & 0xFF
            return bytes((kind,)) + bytes(out)

        raw, prev = b"", bytes(12)
        for kind, line in zip((1, 2, 3, 4), rows):
            raw += filtered(kind, line, prev)
            prev = line
        png = (b"\x89PNG\r\n\x1a\n"
               + otwine._png_chunk(b"IHDR", otwine.struct.pack(">IIBBBBB", width, 4, 8, 2, 0, 0, 0))
               + otwine._png_chunk(b"IDAT", otwine.zlib.compress(raw))
               + otwine._png_chunk(b"IEND", b""))
        with tempfile.TemporaryDirectory() as tmp:
            path = Path(tmp) / "f.png"
            path.write_bytes(png)
            self.assertEqual(otwine.read_png(path), (width, 4, b"".join(rows)))


class ConsoleScenario(unittest.TestCase):
    def test_prefix_paths_registry_and_probe(self):
        with otwine.Scenario(display=False) as s:
            # %TEMP% as Wine reports it maps into this prefix, and files meet on both sides.
            self.assertTrue(s.temp_dir.is_dir())
            self.assertIn(s.prefix, s.temp_dir.parents)
            marker = s.temp_dir / "from-linux.txt"
            marker.write_text("hello")
            shown = s.run(["cmd", "/c", "type", s.to_windows_path(marker)])
            self.assertEqual(shown.stdout.strip(), "hello")
            self.assertEqual(s.to_linux_path(s.to_windows_path(marker)), marker)

            # A drive letter mapped to a Linux directory is usable at once.
            with tempfile.TemporaryDirectory() as outside:
                root = s.drive("r", outside)
                self.assertEqual(root, "R:\\")
                s.run(["cmd", "/c", "echo made>R:\\made.txt"])
                self.assertEqual((Path(outside) / "made.txt").read_text().strip(), "made")
                self.assertEqual(s.to_windows_path(Path(outside) / "x y.txt"), "R:\\x y.txt")

            # Exit codes come back unchanged.
            self.assertEqual(s.run(["cmd", "/c", "exit 42"]).returncode, 42)

            key = r"HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v4\Full"
            self.assertIsNone(s.reg_query(key, "Release"))
            s.reg_add(key, "Release", "REG_DWORD", 528040)
            self.assertEqual(int(s.reg_query(key, "Release"), 0), 528040)
            s.reg_add(r"HKCU\SOFTWARE", "Orvane Tessaly Id", "REG_SZ", "two words")
            self.assertEqual(s.reg_query(r"HKCU\SOFTWARE", "Orvane Tessaly Id"), "two words")
            self.assertTrue(s.reg_delete(r"HKCU\SOFTWARE", "Orvane Tessaly Id"))
            self.assertIsNone(s.reg_query(r"HKCU\SOFTWARE", "Orvane Tessaly Id"))
            self.assertTrue(s.reg_delete(key))
            self.assertIsNone(s.reg_query(key, "Release"))

            fresh = s.windows_version()
            self.assertEqual((fresh["rtl"][0], fresh["rtl"][1], fresh["build"]), (6, 1, 7601))
            s.set_windows_version("winxp")
            xp = s.windows_version()
            self.assertEqual((xp["rtl"][0], xp["rtl"][1], xp["build"]), (5, 1, 2600))
            s.set_windows_version("vista")
            self.assertEqual(s.windows_version()["build"], 6002)

            self.assertIn("otprobe.exe", s.processes())
            self.assertIsInstance(s.windows(), list)
            bad = s.run([otwine.BIN_DIR / "otprobe.exe", "click", "12345678"])
            self.assertEqual(bad.returncode, 1)


class AbandonedScenario(unittest.TestCase):
    def test_killed_test_is_cleaned_up_by_the_next(self):
        # A test process killed with SIGKILL cannot unwind; the next Scenario removes its prefix,
        # its wineserver and its Xvfb.
        child = subprocess.Popen(
            [sys.executable, "-c",
             "import sys, time, otwine\n"
             "from pathlib import Path\n"
             "otwine.BIN_DIR = Path(sys.argv[1]); otwine.ARCH = sys.argv[2]\n"
             "s = otwine.Scenario().__enter__()\n"
             "s.run(['cmd', '/c', 'echo up'])\n"
             "print(s.root, s._xvfb.pid, flush=True)\n"
             "time.sleep(120)\n",
             str(otwine.BIN_DIR), otwine.ARCH],
            stdout=subprocess.PIPE, text=True)
        try:
            root, xvfb = child.stdout.readline().split()
        finally:
            child.kill()
            child.wait()
            child.stdout.close()
        self.assertTrue(Path(root).is_dir())
        with otwine.Scenario(display=False):
            self.assertFalse(Path(root).exists())
            otwine.Scenario.wait_until(None, lambda: not otwine._alive(int(xvfb)), timeout=10,
                                       what="the abandoned Xvfb to end")


class FirstBootTooSlow(otwine.Scenario):
    """A scenario whose first boot is given no time at all, so that it outlives its bound."""

    def _boot_timeout(self, attempt: int) -> float:
        return 0.05 if attempt == 1 else super()._boot_timeout(attempt)


class EmulatorFaults(unittest.TestCase):
    def test_a_hung_boot_is_done_again_on_the_emulated_road_only(self):
        said = io.StringIO()
        with contextlib.redirect_stderr(said), FirstBootTooSlow(display=False, cpu="max") as s:
            self.assertIn("hung under emulation", said.getvalue())
            self.assertIn("processes of the prefix:", said.getvalue())
            self.assertEqual(s.run(["cmd", "/c", "echo booted"]).stdout.strip(), "booted")
        if otwine.emulated(otwine.loader_for(otwine.ARCH)):
            return  # this machine has no native road to check
        with self.assertRaises(subprocess.TimeoutExpired):
            with contextlib.redirect_stderr(io.StringIO()), FirstBootTooSlow(display=False):
                pass

    def test_processes_the_wineserver_never_knew_end_with_the_prefix(self):
        # Stands in for a child stuck between fork and exec: it carries the prefix's WINEPREFIX
        # but never connected to the wineserver, so "wineserver -k" does not reach it.
        said = io.StringIO()
        with contextlib.redirect_stderr(said), otwine.Scenario(display=False) as s:
            stray = subprocess.Popen(["setsid", "sleep", "300"], env=s.env)
        try:
            self.assertIsNotNone(otwine.Scenario.wait_until(
                None, lambda: stray.poll(), timeout=10, what="the stray process to be killed"))
            self.assertIn(f"{stray.pid} ", said.getvalue())
            self.assertIn("sleep 300", said.getvalue())
        finally:
            stray.kill()
            stray.wait()


class GuiScenario(unittest.TestCase):
    def test_window_found_read_closed_and_seen_on_screen(self):
        with otwine.Scenario() as s:
            s.start(["notepad"])
            window = s.wait_window(cls="Notepad", timeout=30)
            self.assertRegex(window["title"], r"Notepad")
            self.assertTrue(window["visible"])
            left, top, right, bottom = window["rect"]
            self.assertGreater(right - left, 50)
            edit = s.child(window, cls=re.compile("^Edit$", re.I))
            self.assertIsNotNone(edit)

            # Non-ASCII text round-trips through WM_SETTEXT and the JSON listing.
            text = "Gr\u00fc\u00dfe \u4e2d\u6587 \"quoted\" back\\slash"
            s.set_text(edit["hwnd"], text)
            again = s.wait_window(cls="Notepad")
            self.assertEqual(s.child(again, id=edit["id"], cls=edit["cls"])["text"], text)
            json.dumps(again)

            with tempfile.TemporaryDirectory() as tmp:
                whole = s.screenshot(Path(tmp) / "screen.png")
                width, height, _ = otwine.read_png(whole)
                self.assertEqual((width, height), (1024, 768))
                part = s.screenshot(Path(tmp) / "window.png", rect=window["rect"])
                width, height, pixels = otwine.read_png(part)
                self.assertEqual((width, height), (right - left, bottom - top))
                # The edit field's white background covers much of the window; the Xvfb root
                # around it is black.
                self.assertGreater(s.count_color(part, (255, 255, 255)), width * height // 4)
                self.assertGreater(s.count_color(whole, (0, 0, 0)), 1024 * 768 // 4)

            # A window whose thread is blocked is still listed at once, with its labels' texts.
            s.start([otwine.BIN_DIR / "otprobe.exe", "hang", "blocked thread", "20000"])
            blocked = s.wait_window(title="blocked thread", timeout=15)
            started = time.monotonic()
            blocked = s.wait_window(title="blocked thread")
            self.assertLess(time.monotonic() - started, 5)
            self.assertFalse(blocked["responding"])
            self.assertEqual(s.child(blocked, id=101)["text"], "Static text")
            self.assertTrue(s.child(again, id=edit["id"])["responding"])

            # WM_SETTEXT does not mark the document modified, so WM_CLOSE ends notepad at once.
            s.close(window["hwnd"])
            s.wait_no_window(cls="Notepad", timeout=15)
            self.assertNotIn("notepad.exe", [p.lower() for p in s.processes()])


if __name__ == "__main__":
    otwine.main()
