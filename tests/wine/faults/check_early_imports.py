"""The DLLs that otSetup.exe imports (directly or delay-loaded) are loaded before its entry
routine can restrict the DLL search, together with everything they import in turn, from the
launcher's own folder first. Only DLLs whose whole import tree Windows takes from System32
anyway may stand there: a planted copy of anything below them would otherwise run in the
launcher before its first line of code. shell32 is the classic counter-example (it pulls in
shlwapi and shcore, and Wine loads a shcore.dll found beside the program); the launcher loads it
at run time instead. This check needs no Wine, so it also guards the 32-bit build.

    check_early_imports.py EXE...     exit 0 when every import is allowed, 1 otherwise
"""

import sys
from pathlib import Path

import pefile

# ntdll.dll is mapped into every process by the kernel before any DLL is searched for, and
# imports nothing: a copy beside the program is never loaded.
EARLY_ALLOWED = {"ntdll.dll", "kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll",
                 "comctl32.dll", "ole32.dll", "msvcrt.dll"}


def imported_dlls(path: Path) -> set[str]:
    pe = pefile.PE(str(path), fast_load=True)
    pe.parse_data_directories(directories=[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]])
    names = set()
    for attribute in ("DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT"):
        for entry in getattr(pe, attribute, []):
            names.add(entry.dll.decode("ascii", "replace").lower())
    pe.close()
    return names


def main(paths: list[str]) -> int:
    if not paths:
        print(__doc__, file=sys.stderr)
        return 2
    failed = False
    for name in paths:
        path = Path(name)
        found = imported_dlls(path)
        extra = sorted(found - EARLY_ALLOWED)
        if extra:
            failed = True
            print(f"{path.name}: imports {', '.join(extra)} before the DLL search can be restricted")
        else:
            print(f"{path.name}: early imports {', '.join(sorted(found))} - all allowed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
