"""Helpers shared by the launcher's end-to-end tests: placing a launcher build in the Wine
world, reading its window's state from outside, and finding what a run left behind."""

from __future__ import annotations

import contextlib
import os
import re
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import otwine

# The launcher's exit codes.
HANDED_OFF = 0
ALREADY_RUNNING = 1618
WINDOWS_REFUSED = 1150
DOTNET_MISSING = 15613
EXTRACTION_FAILED = 1632
SETUP_NOT_STARTED = 1619

DOTNET_KEY = r"HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v4\Full"
MARKER_KEY = r"HKCU\SOFTWARE"
MARKER_NAME = "Orvane Tessaly Id"
TITLE = "Orvane Tessaly Setup"
RED = (255, 0, 0)
WS_VISIBLE = 0x10000000
GUID_DIR = re.compile(r"^\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}$")
ARTIFACTS = Path(os.environ.get("OT_ARTIFACTS_DIR", Path.cwd() / "artifacts"))

SYSTEM_REFUSED = ("Your system doesn't support .NET 4.6 or better. Press the button to check "
                  "the system requirements and exit.")
DOTNET_REFUSED = ("You need to install the .NET runtime version 4.6 or higher (4.6.2, 4.7...4.8, "
                  "etc), but NOT 5.0, 6.0, etc...")


@contextlib.contextmanager
def tmpfs(options: str):
    """A small tmpfs mounted on a temporary folder, unmounted afterwards. Enter it before the
    Scenario: on the emulated road every Wine process, the wineserver (which creates the files)
    included, works in a private copy of the mount table taken when it starts."""
    with tempfile.TemporaryDirectory() as mount_point:
        subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", mount_point], check=True)
        try:
            yield Path(mount_point)
        finally:
            subprocess.run(["umount", "-l", mount_point], check=False)


def tree(root: Path) -> list[str]:
    """Every path under root, relative, "/" separated; links are listed, not followed."""
    found = []
    for directory, dirs, files in os.walk(root):
        for name in dirs + files:
            found.append(Path(directory, name).relative_to(root).as_posix())
    return sorted(found)


def install(s: otwine.Scenario, exe: str = "otSetup.exe", folder: str = "Apps/Orvane Setup") -> Path:
    """Copies a launcher build to C:\\<folder>\\otSetup.exe and returns its Linux path."""
    target = s.c_drive / folder / "otSetup.exe"
    target.parent.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(otwine.BIN_DIR / exe, target)
    return target


def start_launcher(s: otwine.Scenario, exe, env: dict | None = None, elevated: bool = False,
                   hidden: bool = False):
    """Starts the launcher the way a standard user's double-click does: with the limited token,
    through otprobe, which reports its whole exit code (wait_exit reads it). Wine starts every
    program elevated, and Wine keeps no access rights on files, so an elevated launcher cannot
    protect its working folder there and stops on the extraction page: elevated=True starts it
    so. hidden=True starts it in a window station nobody sees. exe: the Linux path of the
    executable, or a Windows path as text."""
    return s.start([exe], env=env, probe=True, limited=not elevated, hidden=hidden)


def set_dotnet(s: otwine.Scenario, release: int | None = 528040) -> None:
    if release is None:
        s.reg_delete(DOTNET_KEY, "Release")
    else:
        s.reg_add(DOTNET_KEY, "Release", "REG_DWORD", str(release))


def main_window(s: otwine.Scenario, timeout: float = 30, visible=True) -> dict:
    return s.wait_window(title=TITLE, cls="TMainForm", timeout=timeout, visible=visible)


def page_state(window: dict) -> dict:
    """The shown page (by its tab text) with its label's text and its button's state."""
    # The page's own WS_VISIBLE bit: IsWindowVisible is false for all of them while the window
    # itself is hidden.
    pages = [c for c in window["children"] if c["cls"] == "TTabSheet"]
    shown = [p for p in pages if p["style"] & WS_VISIBLE]
    assert len(shown) == 1, f"expected one shown page, saw {[(p['text'], hex(p['style'])) for p in pages]}"
    page = shown[0]
    own = [c for c in window["children"] if c.get("parent") == page["hwnd"]]
    label = next(c for c in own if c["cls"].lower() == "static")
    button = next((c for c in own if c["cls"].lower() == "button"), None)
    return {"page": page["text"], "label": label, "text": label["text"], "button": button,
            "buttons": {c["text"]: c for c in window["children"] if c["cls"].lower() == "button"},
            "pages": {p["text"]: p for p in pages}}


def red_pixels(s: otwine.Scenario, control: dict, name: str) -> int:
    """Takes a screenshot (kept as a test artefact) and counts pure red pixels in the control."""
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    shot = s.screenshot(ARTIFACTS / f"{name}-{otwine.ARCH}.png")
    return s.count_color(shot, RED, rect=control["rect"], tolerance=40)


def working_dirs(s: otwine.Scenario) -> list[Path]:
    temp = s.temp_dir
    if not temp.exists():
        return []
    return [p for p in temp.iterdir() if GUID_DIR.match(p.name)]


def wait_exit(proc, timeout: float) -> int:
    """The exit code, whole when the launcher was started through otprobe (start_launcher)."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if proc.poll() is not None:
            return otwine.exit_code(proc)
        time.sleep(0.2)
    raise TimeoutError(f"the launcher did not exit within {timeout} s")


def demo_env(s: otwine.Scenario, tmp: Path, **extra) -> dict:
    """Environment telling the demo programs where to record their command lines."""
    tmp.mkdir(parents=True, exist_ok=True)
    env = {"OT_DEMO_ARGS_FILE": s.to_windows_path(tmp / "setup-args.txt"),
           "OT_DEMO_STARTER_FILE": s.to_windows_path(tmp / "starter-args.txt")}
    env.update({k: str(v) for k, v in extra.items()})
    return env


def read_record(path: Path) -> list[str]:
    """A demo program's record: its raw command line, then argv[0], argv[1]... one per line."""
    return path.read_text(encoding="utf-8").splitlines()


def wait_box(s: otwine.Scenario, title: str, timeout: float = 60) -> dict:
    """Waits for a message box with this caption, dismissing Wine's own shell error boxes
    ("File not found.", caption "Error") that may come first."""
    found = {}

    def seen():
        for w in s.windows():
            if w["cls"] != "#32770" or not w["visible"]:
                continue
            if w["title"] == title:
                found["box"] = w
                return True
            if w["title"] == "Error":
                button = next((c for c in w["children"] if c["cls"].lower() == "button"), None)
                if button:
                    s.click(button["hwnd"])
        return False

    s.wait_until(seen, timeout=timeout, interval=0.5)
    return found["box"]
