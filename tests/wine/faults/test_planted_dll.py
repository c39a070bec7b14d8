"""DLL planting: a DLL put beside the launcher (a Downloads folder) under the name of a system DLL
must never be loaded into the launcher.

The planted file is PlantedDll.dll copied under each name; its entry point appends the loading
program's path to "<name>.loaded". The names are every DLL that Wine loads during an ordinary
run (found from a +loaddll trace of that run, so late loads by the shell, the theme code and the
unzipping library count), plus names that programs commonly look for beside themselves.

Wine prefers its own builtin DLL for most names even when a file of that name lies in the
program's folder; it takes the folder's file for DLLs that prefer a native version (shcore.dll
among them) and for names it has no builtin of. The probe shows both: without the search
restriction it loads planted DLLs, directly and as the dependency of a system DLL; with the
launcher's restriction it loads none. So a clean launcher run is evidence, not luck.
"""

from __future__ import annotations

import re
import shutil
import sys
import unittest
from pathlib import Path, PureWindowsPath

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "launcher"))

import otwine  # noqa: E402
from launcher_scenarios import (DOTNET_MISSING, demo_env, install, main_window, page_state,  # noqa: E402
                                read_record, set_dotnet, start_launcher, wait_exit, working_dirs)

# Names searched for beside a program by Windows' own DLLs (theme, window manager, crypto,
# profile, shell and network helpers); the usual suspects of DLL planting reports.
COMMON_NAMES = [
    "version.dll", "uxtheme.dll", "dwmapi.dll", "cryptbase.dll", "cryptsp.dll", "profapi.dll",
    "propsys.dll", "userenv.dll", "wtsapi32.dll", "secur32.dll", "sspicli.dll", "bcrypt.dll",
    "rsaenh.dll", "ntmarta.dll", "apphelp.dll", "winmm.dll", "msimg32.dll", "oleaut32.dll",
    "setupapi.dll", "clbcatq.dll", "msctf.dll", "textshaping.dll", "riched20.dll", "dbghelp.dll",
    "mpr.dll", "netapi32.dll", "netutils.dll", "srvcli.dll", "windowscodecs.dll", "dxgi.dll",
    "d3d9.dll", "opengl32.dll", "comdlg32.dll", "winhttp.dll", "wininet.dll", "iertutil.dll",
    "urlmon.dll", "shfolder.dll", "linkinfo.dll", "ntshrui.dll", "cscapi.dll", "explorerframe.dll",
    "windows.storage.dll", "edputil.dll", "wldp.dll", "shcore.dll", "shlwapi.dll", "imm32.dll",
]

# Planted beside the probe for the proof: a DLL Wine has no builtin of, one whose builtin yields
# to a native file, and the system DLL that imports the latter.
PROOF_DIRECT = ["dwmapi.dll", "propsys.dll", "profapi.dll"]
PROOF_DEPENDENCY = ("shell32.dll", "shcore.dll")

LOADED = re.compile(r'trace:loaddll:\w+ Loaded L"(?P<path>[^"]+)" at \S+: (?P<kind>\w+)')


def trace_loads(text: str) -> list[tuple[PureWindowsPath, str]]:
    """(module path, "native"/"builtin") of every load in a +loaddll trace."""
    return [(PureWindowsPath(m["path"].replace("\\\\", "\\")), m["kind"])
            for m in LOADED.finditer(text)]


def plant(folder: Path, names) -> None:
    source = otwine.BIN_DIR / "PlantedDll.dll"
    for name in names:
        shutil.copyfile(source, folder / name)


def markers(folder: Path) -> dict[str, str]:
    return {p.name: p.read_text(encoding="utf-16-le", errors="replace").strip()
            for p in folder.glob("*.loaded")}


class PlantedDlls(unittest.TestCase):
    def test_the_probe_loads_planted_dlls_only_without_the_restriction(self):
        with otwine.Scenario(display=False) as s:
            folder = s.c_drive / "Downloads"
            folder.mkdir()
            shutil.copyfile(otwine.BIN_DIR / "ot_plant_probe.exe", folder / "ot_plant_probe.exe")
            plant(folder, PROOF_DIRECT + [PROOF_DEPENDENCY[1]])
            names = PROOF_DIRECT + [PROOF_DEPENDENCY[0]]

            free = s.run([folder / "ot_plant_probe.exe", *names])
            self.assertEqual(free.returncode, 0, free.stderr)
            seen = markers(folder)
            for name in PROOF_DIRECT + [PROOF_DEPENDENCY[1]]:
                self.assertIn(f"{name}.loaded", seen, f"{name} was not picked up: {free.stdout}")
            for marker in list(folder.glob("*.loaded")):
                marker.unlink()

            restricted = s.run([folder / "ot_plant_probe.exe", "--restrict", *names])
            self.assertEqual(restricted.returncode, 0, restricted.stderr)
            self.assertEqual(markers(folder), {})
            for line in restricted.stdout.splitlines():
                name, path = line.split("\t")
                self.assertFalse(path.lower().startswith("c:\\downloads"), line)

    def check_no_planted_load(self, s, folder: Path, trace: str) -> None:
        self.assertEqual(markers(folder), {}, "planted DLLs ran their entry point")
        own = PureWindowsPath(s.to_windows_path(folder))
        for path, kind in trace_loads(trace):
            if kind == "native" and str(path.parent).lower() == str(own).lower():
                self.assertEqual(path.name.lower(), "otsetup.exe",
                                 f"{path} was loaded from the launcher's folder")

    def test_a_full_run_loads_none_of_them(self):
        with otwine.Scenario() as s:
            set_dotnet(s)
            exe = install(s, folder="Downloads")
            folder = exe.parent
            records = s.c_drive / "records"

            # An ordinary run first, to learn which DLLs this Wine loads along the way.
            first = start_launcher(s, exe, env=demo_env(s, records / "first",
                                                        OT_DEMO_HOLD_SECONDS=1,
                                                        WINEDEBUG="+loaddll"))
            self.assertEqual(wait_exit(first, 120), 0)
            trace = Path(first.err_path).read_text(errors="replace")
            seen = {path.name.lower() for path, _ in trace_loads(trace)
                    if path.suffix.lower() in (".dll", ".drv")}
            seen.discard("orvunzip.dll")
            self.assertIn("uxtheme.dll", seen, "the trace did not list the run's DLLs")
            names = sorted(seen | set(COMMON_NAMES))
            plant(folder, names)

            second = start_launcher(s, exe, env=demo_env(s, records / "second",
                                                         OT_DEMO_HOLD_SECONDS=1,
                                                         WINEDEBUG="+loaddll"))
            self.assertEqual(wait_exit(second, 120), 0)
            # The run went all the way: the setup program was started and received its arguments.
            self.assertEqual(len(read_record(records / "second" / "setup-args.txt")), 4)
            self.check_no_planted_load(s, folder, Path(second.err_path).read_text(errors="replace"))
            self.assertEqual(working_dirs(s), [])
            print(f"planted {len(names)} names beside otSetup.exe, none loaded", file=sys.stderr)

    def test_the_web_page_button_loads_none_of_them(self):
        # The refusal pages open a web page through the shell: the shell is loaded late, on that
        # path only, and must come from System32 with everything it needs.
        with otwine.Scenario() as s:
            set_dotnet(s, None)
            exe = install(s, folder="Downloads")
            plant(exe.parent, COMMON_NAMES)
            proc = start_launcher(s, exe, env={"WINEDEBUG": "+loaddll"})
            state = page_state(main_window(s))
            self.assertEqual(state["page"], ".NET")
            s.click(state["button"]["hwnd"])
            self.assertEqual(wait_exit(proc, 60), DOTNET_MISSING)
            trace = Path(proc.err_path).read_text(errors="replace")
            self.assertTrue(any(p.name.lower() == "shell32.dll" for p, _ in trace_loads(trace)))
            self.check_no_planted_load(s, exe.parent, trace)


if __name__ == "__main__":
    otwine.main()
