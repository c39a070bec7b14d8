"""Checks both sides of the 32-bit "Unzip" calling convention without running anything:

- the export's code: disassembled from its address in OrvUnzip.dll, the first return
  instruction must be `ret $0xc` (stdcall: the callee removes its three 4-byte arguments); a
  cdecl export returns with a plain `ret`;
- every caller in the sources: each GetProcAddress(..., "Unzip") under launcher/ and tests/wine/
  is cast to a function pointer type declared WINAPI or __stdcall. The launcher must be among
  them.

    /usr/bin/python3 check_stdcall.py OrvUnzip.dll OBJDUMP SOURCE_ROOT
"""

import pathlib
import re
import subprocess
import sys
import unittest

import pefile

DLL_PATH = None
OBJDUMP = None
SOURCE_ROOT = None

CALLER_DIRS = ("launcher", "tests/wine")
STDCALL_NAMES = {"WINAPI", "__stdcall", "CALLBACK", "APIENTRY", "__attribute__((stdcall))"}
# reinterpret_cast<Type>(...GetProcAddress(..., "Unzip")...), with or without a cast through void*.
LOOKUP = re.compile(
    r"reinterpret_cast<\s*([A-Za-z_][\w:]*)\s*>\s*\(\s*(?:reinterpret_cast<\s*void\s*\*\s*>\s*\(\s*)?"
    r"(?:::)?GetProcAddress\s*\([^;]*?\"Unzip\"", re.S)
ANY_LOOKUP = re.compile(r"GetProcAddress\s*\([^;]*?\"Unzip\"", re.S)


def pointer_convention(text, type_name):
    """The calling convention written in the declaration of the function pointer type."""
    name = re.escape(type_name.split("::")[-1])
    for pattern in (rf"using\s+{name}\s*=\s*[^;]*?\(\s*([\w()\s]*?)\s*\*\s*\)\s*\(",
                    rf"typedef\s+[^;]*?\(\s*([\w()\s]*?)\s*\*\s*{name}\s*\)\s*\("):
        found = re.search(pattern, text, re.S)
        if found:
            return found.group(1).strip()
    return None


class StdcallExport(unittest.TestCase):
    def test_export_returns_with_ret_0xc(self):
        pe = pefile.PE(DLL_PATH, fast_load=True)
        pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
        self.assertEqual(pe.FILE_HEADER.Machine, 0x014C, "not a 32-bit x86 image")
        rva = next(e.address for e in pe.DIRECTORY_ENTRY_EXPORT.symbols if e.name == b"Unzip")
        start = pe.OPTIONAL_HEADER.ImageBase + rva
        listing = subprocess.run(
            [OBJDUMP, "-d", "--no-show-raw-insn", f"--start-address={start:#x}", f"--stop-address={start + 0x1000:#x}",
             DLL_PATH], check=True, capture_output=True, text=True).stdout
        instructions = [line.split(":", 1)[1].strip() for line in listing.splitlines()
                        if re.match(r"^\s*[0-9a-f]+:\s", line)]
        self.assertTrue(instructions, f"nothing disassembled at {start:#x}")
        returns = [i for i in instructions if re.match(r"^ret[lw]?\b", i)]
        self.assertTrue(returns, "no return instruction found after the export's address")
        self.assertRegex(returns[0], r"^retl?\s+\$0xc$",
                         f"Unzip at {start:#x} returns with '{returns[0]}': the callee does not remove "
                         "its 12 bytes of arguments (not stdcall)")

    def test_every_caller_uses_a_stdcall_pointer(self):
        root = pathlib.Path(SOURCE_ROOT)
        callers = {}
        for directory in CALLER_DIRS:
            for path in sorted((root / directory).rglob("*")):
                if path.suffix not in (".cpp", ".h") or not path.is_file():
                    continue
                text = path.read_text(encoding="utf-8")
                lookups = len(ANY_LOOKUP.findall(text))
                if not lookups:
                    continue
                relative = path.relative_to(root).as_posix()
                types = LOOKUP.findall(text)
                self.assertEqual(len(types), lookups,
                                 f"{relative}: a GetProcAddress of \"Unzip\" not cast to a named pointer type")
                for type_name in types:
                    convention = pointer_convention(text, type_name)
                    self.assertIsNotNone(convention, f"{relative}: no declaration of {type_name} found")
                    self.assertIn(convention, STDCALL_NAMES,
                                  f"{relative}: {type_name} is declared with '{convention or 'no'}' calling "
                                  "convention, not WINAPI/__stdcall")
                    callers[relative] = type_name
        print("callers:", ", ".join(f"{k} ({v})" for k, v in sorted(callers.items())))
        self.assertIn("launcher/MainUnit.cpp", callers)


if __name__ == "__main__":
    DLL_PATH, OBJDUMP, SOURCE_ROOT = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=[sys.argv[0]], verbosity=2)
