"""Checks the PE image of OrvUnzip.dll: machine, GUI subsystem, the one export "Unzip" at
ordinal 1 in an export directory named OrvUnzipper.dll, imports limited to system DLLs and to
functions Windows Vista SP2 has, the version record and the password dialog's template.

    /usr/bin/python3 check_dll_image.py path/to/OrvUnzip.dll x86|x64
"""

import struct
import sys
import unittest

import pefile

DLL_PATH = None
ARCH = None

MACHINES = {"x86": 0x014C, "x64": 0x8664}

# Every import reviewed as present in Windows Vista SP2. All of them exist since XP but the slim
# reader/writer lock and condition variable functions of the extraction's threads, which
# kernel32 exports from Vista on (the DLL's oldest system); the check_imports test holds the
# DLL to Vista's list as well. A new import fails this test until it has been checked and
# added here.
ALLOWED_IMPORTS = {
    "kernel32.dll": {
        "AcquireSRWLockExclusive", "InitializeConditionVariable", "InitializeSRWLock", "ReleaseSRWLockExclusive",
        "SleepConditionVariableSRW", "WakeAllConditionVariable",
        "CloseHandle", "CreateDirectoryW", "CreateFileW", "CreateSemaphoreW", "DeleteCriticalSection",
        "DeleteFileW", "DosDateTimeToFileTime", "EnterCriticalSection", "FlushFileBuffers", "FreeLibrary",
        "GetCurrentDirectoryW", "GetCurrentProcess", "GetCurrentThreadId", "GetDriveTypeW", "GetFileAttributesW", "GetFileSizeEx",
        "GetLastError", "GetModuleHandleA", "GetModuleHandleW", "GetProcAddress", "GetProcessAffinityMask",
        "GetSystemInfo", "InitializeCriticalSection",
        "IsDBCSLeadByteEx", "LeaveCriticalSection", "LoadLibraryA", "LoadLibraryW", "LocalFileTimeToFileTime",
        "MultiByteToWideChar", "ReadFile", "ReleaseSemaphore", "RaiseException", "RemoveDirectoryW", "RtlCaptureContext",
        "RtlLookupFunctionEntry", "RtlUnwindEx", "RtlVirtualUnwind", "SetFileAttributesW", "SetFilePointer",
        "SetFileTime", "SetLastError", "SetUnhandledExceptionFilter", "Sleep", "TlsAlloc", "TlsFree",
        "TlsGetValue", "TlsSetValue", "VirtualProtect", "VirtualQuery", "WaitForSingleObject",
        "WideCharToMultiByte", "WriteFile", "lstrlenW",
    },
    "user32.dll": {
        "DialogBoxParamW", "EndDialog", "GetActiveWindow", "GetDlgItemTextW", "GetProcessWindowStation",
        "GetUserObjectInformationW", "GetWindowLongPtrW", "GetWindowLongW", "MessageBoxW",
        "SendDlgItemMessageW", "SetDlgItemTextW", "SetWindowLongPtrW", "SetWindowLongW", "SetWindowTextW",
    },
    "msvcrt.dll": {
        "___lc_codepage_func", "___mb_cur_max_func", "__iob_func", "__mb_cur_max", "_amsg_exit", "_beginthreadex",
        "_close",
        "_errno", "_initterm", "_iob", "_lock", "_read", "_unlock", "abort", "atoi", "calloc", "fputc", "fputs",
        "fputwc", "free", "fwprintf", "fwrite", "localeconv", "malloc", "memchr", "memcmp", "memcpy", "memmove",
        "memset", "realloc", "setlocale", "strchr", "strcmp", "strerror", "strlen", "strncmp", "vfprintf",
        "wcslen",
    },
}

DS_SETFONT = 0x40
ES_PASSWORD = 0x20
BS_DEFPUSHBUTTON = 0x01


def read_sz_or_ord(data, at):
    first = struct.unpack_from("<H", data, at)[0]
    if first == 0x0000:
        return None, at + 2
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, at + 2)[0], at + 4
    end = at
    while struct.unpack_from("<H", data, end)[0] != 0:
        end += 2
    return data[at:end].decode("utf-16-le"), end + 2


def parse_dialog_ex(data):
    version, signature, _help, exstyle, style, count, x, y, cx, cy = struct.unpack_from("<HHIIIHhhhh", data, 0)
    assert (version, signature) == (1, 0xFFFF), "not a DLGTEMPLATEEX"
    at = 26
    _menu, at = read_sz_or_ord(data, at)
    _cls, at = read_sz_or_ord(data, at)
    title, at = read_sz_or_ord(data, at)
    font = None
    if style & DS_SETFONT:
        points, _weight, _italic, _charset = struct.unpack_from("<HHBB", data, at)
        face, at = read_sz_or_ord(data, at + 6)
        font = (points, face)
    items = []
    for _ in range(count):
        at = (at + 3) & ~3
        _help, _exstyle, istyle, ix, iy, icx, icy, iid = struct.unpack_from("<IIIhhhhI", data, at)
        at += 24
        cls, at = read_sz_or_ord(data, at)
        text, at = read_sz_or_ord(data, at)
        extra = struct.unpack_from("<H", data, at)[0]
        at += 2 + extra
        items.append({"cls": cls, "text": text, "id": iid, "style": istyle, "rect": (ix, iy, icx, icy)})
    return {"style": style, "rect": (x, y, cx, cy), "title": title, "font": font, "items": items}


class DllImage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(DLL_PATH)

    def test_machine_and_gui_subsystem(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, MACHINES[ARCH])
        self.assertTrue(self.pe.FILE_HEADER.Characteristics & 0x2000, "not a DLL")
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem, 2)

    def test_one_export_unzip_at_ordinal_1(self):
        exports = self.pe.DIRECTORY_ENTRY_EXPORT
        self.assertEqual(self.pe.get_string_at_rva(exports.struct.Name), b"OrvUnzipper.dll")
        self.assertEqual([(e.name, e.ordinal) for e in exports.symbols], [(b"Unzip", 1)])

    def test_imports_only_reviewed_system_functions(self):
        for entry in self.pe.DIRECTORY_ENTRY_IMPORT:
            dll = entry.dll.decode().lower()
            self.assertIn(dll, ALLOWED_IMPORTS, f"imports from {dll}")
            for symbol in entry.imports:
                self.assertIsNotNone(symbol.name, f"{dll}: import by ordinal")
                self.assertIn(symbol.name.decode(), ALLOWED_IMPORTS[dll], f"{dll}!{symbol.name.decode()}")

    def test_version_record(self):
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), (0x00010000, 0x00000012))
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), (0x00010000, 0x00000012))
        strings, translations = None, None
        for info in self.pe.FileInfo[0]:
            if info.Key == b"StringFileInfo":
                self.assertEqual(len(info.StringTable), 1)
                self.assertEqual(info.StringTable[0].LangID.upper(), b"040904E4")
                strings = info.StringTable[0].entries
            elif info.Key == b"VarFileInfo":
                translations = info.Var[0].entry
        self.assertEqual(translations, {b"Translation": "0x0409 0x04e4"})
        self.assertEqual(strings[b"FileDescription"], b"OrvUnzipper")
        self.assertEqual(strings[b"FileVersion"], b"1.0.0.18")
        self.assertEqual(strings[b"ProductVersion"], b"1.0.0.0")
        for empty in (b"InternalName", b"OriginalFilename", b"ProductName", b"Comments"):
            self.assertEqual(strings.get(empty), b"", empty)

    def test_password_dialog_layout_in_dialog_units(self):
        dialogs = [e for e in self.pe.DIRECTORY_ENTRY_RESOURCE.entries if e.id == pefile.RESOURCE_TYPE["RT_DIALOG"]]
        self.assertEqual(len(dialogs), 1)
        entry = dialogs[0].directory.entries[0].directory.entries[0].data.struct
        dialog = parse_dialog_ex(self.pe.get_data(entry.OffsetToData, entry.Size))
        self.assertEqual(dialog["rect"][2:], (180, 63))
        by_class = {}
        for item in dialog["items"]:
            by_class.setdefault(item["cls"], []).append(item)
        label, = by_class[0x82]
        edit, = by_class[0x81]
        ok, cancel = sorted(by_class[0x80], key=lambda b: b["rect"][0])
        self.assertEqual((label["text"], label["rect"][:2]), ("Enter password: ", (8, 8)))
        self.assertEqual(edit["rect"][:3], (8, 19, 164))
        self.assertTrue(edit["style"] & ES_PASSWORD)
        self.assertEqual((ok["text"], ok["id"], ok["rect"]), ("OK", 1, (38, 41, 50, 14)))
        self.assertTrue(ok["style"] & BS_DEFPUSHBUTTON)
        self.assertEqual((cancel["text"], cancel["id"], cancel["rect"]), ("Cancel", 2, (92, 41, 50, 14)))


if __name__ == "__main__":
    DLL_PATH, ARCH = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]], verbosity=2)
