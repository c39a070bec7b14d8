"""What Windows itself reads from the finished otSetup.exe: its version record through
GetFileVersionInfoW/VerQueryValueW (otverinfo.exe), and the icon of the launcher's window.

The window's icon is read where it ends up on the X display: Wine's window manager integration
publishes a window's icon as the _NET_WM_ICON property (ARGB pixels). With the launcher's
WM_SETICON of "AICON", that is the group's 32 x 32, 32-bit image, pixel for pixel; without it,
Wine's default icon."""

from __future__ import annotations

import shutil
import struct
import subprocess
import unittest

import pefile

import otwine

TITLE = "Orvane Tessaly Setup"
DOTNET_KEY = r"HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v4\Full"
RT_ICON, RT_GROUP_ICON = 3, 14
ENGLISH_US = 1033


def signed_launcher():
    return otwine.BIN_DIR / "otSetup.exe"


def install(s: otwine.Scenario):
    target = s.c_drive / "Orvane" / "otSetup.exe"
    target.parent.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(signed_launcher(), target)
    return target


def aicon_image(size: int) -> list[int]:
    """The AICON group's 32-bit image of that size, as top-down ARGB values."""
    pe = pefile.PE(str(signed_launcher()))
    resources = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            key = str(name.name) if name.name is not None else name.id
            for lang in name.directory.entries:
                entry = lang.data.struct
                resources[(kind.id, key, lang.id)] = pe.get_data(entry.OffsetToData, entry.Size)
    group = resources[(RT_GROUP_ICON, "AICON", ENGLISH_US)]
    count = struct.unpack_from("<H", group, 4)[0]
    for i in range(count):
        width, _, _, _, _, bits, _, icon_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        if width == size and bits == 32:
            image = resources[(RT_ICON, icon_id, ENGLISH_US)]
            pixels = image[40:40 + 4 * size * size]  # BGRA rows, bottom row first
            rows = [pixels[4 * size * y:4 * size * (y + 1)] for y in range(size)][::-1]
            return [b | g << 8 | r << 16 | a << 24
                    for row in rows for b, g, r, a in struct.iter_unpack("<BBBB", row)]
    raise AssertionError(f"AICON has no 32-bit {size} x {size} image")


def net_wm_icons(display: str, xid: str) -> list[tuple[int, int, list[int]]]:
    """The (width, height, ARGB pixels) images of a window's _NET_WM_ICON."""
    done = subprocess.run(["xprop", "-display", display, "-id", xid, "-notype",
                           "-f", "_NET_WM_ICON", "32c", "=$0+\n", "_NET_WM_ICON"],
                          capture_output=True, text=True, timeout=30)
    if done.returncode != 0 or "=" not in done.stdout:
        return []
    values = [int(v) for v in done.stdout.split("=", 1)[1].replace(",", " ").split()]
    icons, pos = [], 0
    while pos + 2 <= len(values):
        width, height = values[pos], values[pos + 1]
        icons.append((width, height, values[pos + 2:pos + 2 + width * height]))
        pos += 2 + width * height
    return icons


class VersionRecord(unittest.TestCase):
    def test_windows_reads_versions_and_strings(self):
        with otwine.Scenario(display=False) as s:
            exe = install(s)
            done = s.run([otwine.BIN_DIR / "otverinfo.exe", s.to_windows_path(exe)], timeout=60)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        lines = dict(line.split("=", 1) for line in done.stdout.splitlines() if "=" in line)
        self.assertEqual(lines["fixed.file"], "2.5.0.0")
        self.assertEqual(lines["fixed.product"], "2.5.0.0")
        self.assertEqual(lines["translation"], "0409 04E4")
        self.assertEqual(lines["string.FileDescription"], "Orvane Tessaly PreSetup")
        self.assertEqual(lines["string.OriginalFilename"], "otSetup.exe")
        self.assertEqual(lines["string.FileVersion"], "2.5.0.0")
        self.assertEqual(lines["string.ProductVersion"], "2.5.0.0")
        self.assertEqual(lines["string.ProductName"], "otSetup")
        self.assertEqual(lines["string.ProgramID"], lines["string.CompanyName"] + ".otSetup")


class WindowIcon(unittest.TestCase):
    def test_window_shows_the_aicon_image(self):
        expected = aicon_image(32)
        with otwine.Scenario() as s:
            s.reg_delete(DOTNET_KEY, "Release")  # the window stays open on the .NET page
            s.start([install(s)])
            window = s.wait_window(title=TITLE, cls="TMainForm", timeout=60)
            found = subprocess.run(["xdotool", "search", "--name", f"^{TITLE}$"],
                                   capture_output=True, text=True, timeout=30,
                                   env={"DISPLAY": s.display})
            icons = [icon for xid in found.stdout.split() for icon in net_wm_icons(s.display, xid)]
            s.close(window["hwnd"])
        self.assertTrue(icons, "no X window of the launcher carries an icon")
        sizes = [(w, h) for w, h, _ in icons]
        self.assertIn((32, 32), sizes)
        for width, height, pixels in icons:
            if (width, height) == (32, 32):
                self.assertEqual(len(pixels), len(expected))
                mismatched = sum(1 for a, b in zip(pixels, expected) if a != b)
                self.assertEqual(mismatched, 0, f"{mismatched} of 1024 pixels differ from AICON")


if __name__ == "__main__":
    otwine.main()
