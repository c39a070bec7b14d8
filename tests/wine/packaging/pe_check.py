"""Reads the finished, signed otSetup.exe and checks what it carries: the PE header, every
resource the launcher and Windows read (type, name, language, contents), the two icon groups,
the manifest, the version record, and the signature's certificate table and checksum.

    /usr/bin/python3 pe_check.py --exe bin/otSetup.exe --unsigned bin/unsigned/otSetup.exe
        --library bin/OrvUnzip.dll --archive distro/Distro.zip --layout MainUnit.layout
        --icon resources/otSetup.ico --maker resources/maker.h --arch x86|x64
"""

from __future__ import annotations

import argparse
import re
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET
from pathlib import Path

import pefile

ARGS: argparse.Namespace

RT_ICON, RT_RCDATA, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 10, 14, 16, 24
ENGLISH_US, SWEDISH, NEUTRAL = 1033, 1053, 0

# (width and height, bits per pixel) of the ten images, in group order.
ICON_IMAGES = [(48, 4), (32, 4), (16, 4), (48, 8), (32, 8), (16, 8),
               (256, 32), (48, 32), (32, 32), (16, 32)]

ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V2 = "urn:schemas-microsoft-com:asm.v2"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
COMPAT = "urn:schemas-microsoft-com:compatibility.v1"
SUPPORTED_OS = [
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10
]

OID_SIGNED_DATA = "pkcs7-signedData"
OID_SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_SHA256 = "sha256"
OID_RSA = "rsaEncryption"
# Authenticode carries an RFC 3161 time stamp as this unsigned attribute of the signer, holding
# a signed TSTInfo.
OID_RFC3161_COUNTERSIGNATURE = "1.3.6.1.4.1.311.3.3.1"
OID_TST_INFO = "id-smime-ct-TSTInfo"


def maker_texts(header: Path) -> dict[str, str]:
    """The OT_MAKER_* string macros of maker.h (plain string literals only)."""
    texts = {}
    for name, value in re.findall(r'^#define (OT_MAKER_\w+) "([^"]*)"\s*$', header.read_text(),
                                  re.MULTILINE):
        texts[name] = value
    return texts


def der_length(der: bytes) -> int:
    """Length of the DER value at the start of der, header included."""
    first = der[1]
    if first < 0x80:
        return 2 + first
    count = first & 0x7F
    return 2 + count + int.from_bytes(der[2:2 + count], "big")


class Image:
    """The finished executable, parsed once."""
    pe: pefile.PE
    data: bytes
    resources: dict  # (type, name or id, language) -> bytes

    @classmethod
    def load(cls) -> None:
        cls.data = ARGS.exe.read_bytes()
        cls.pe = pefile.PE(data=cls.data)
        cls.resources = {}
        for kind in cls.pe.DIRECTORY_ENTRY_RESOURCE.entries:
            for name in kind.directory.entries:
                key = str(name.name) if name.name is not None else name.id
                for lang in name.directory.entries:
                    entry = lang.data.struct
                    cls.resources[(kind.id, key, lang.id)] = cls.pe.get_data(entry.OffsetToData,
                                                                             entry.Size)

    @classmethod
    def resource(cls, kind: int, name, lang: int) -> bytes:
        return cls.resources[(kind, name, lang)]


def setUpModule() -> None:
    Image.load()


class Header(unittest.TestCase):
    def test_machine_and_format_match_the_tree(self):
        pe = Image.pe
        if ARGS.arch == "x86":
            self.assertEqual(pe.FILE_HEADER.Machine, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"])
            self.assertEqual(pe.OPTIONAL_HEADER.Magic, pefile.OPTIONAL_HEADER_MAGIC_PE)
        else:
            self.assertEqual(pe.FILE_HEADER.Machine, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"])
            self.assertEqual(pe.OPTIONAL_HEADER.Magic, pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS)
        self.assertTrue(pe.is_exe())

    def test_gui_subsystem(self):
        self.assertEqual(Image.pe.OPTIONAL_HEADER.Subsystem,
                         pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"])


class Resources(unittest.TestCase):
    def languages(self, kind, name) -> list[int]:
        return sorted(lang for (k, n, lang) in Image.resources if (k, n) == (kind, name))

    def test_each_read_resource_exists_in_its_one_language(self):
        expected = {
            (RT_RCDATA, "DISTRO"): ENGLISH_US,
            (RT_RCDATA, "ORVUNZIPPER"): ENGLISH_US,
            (RT_RCDATA, "TMAINFORM"): NEUTRAL,
            (RT_GROUP_ICON, "AICON"): ENGLISH_US,
            (RT_GROUP_ICON, "MAINICON"): SWEDISH,
            (RT_MANIFEST, 1): ENGLISH_US,
            (RT_VERSION, 1): ENGLISH_US,
        }
        for (kind, name), lang in expected.items():
            with self.subTest(kind=kind, name=name):
                self.assertEqual(self.languages(kind, name), [lang])
        # In directory order: the shell shows the first group as the file's icon.
        self.assertEqual([n for (k, n, _) in Image.resources if k == RT_GROUP_ICON],
                         ["AICON", "MAINICON"])
        self.assertEqual([n for (k, n, _) in Image.resources if k == RT_MANIFEST], [1])
        self.assertEqual([n for (k, n, _) in Image.resources if k == RT_VERSION], [1])

    def test_payloads_are_the_built_files_byte_for_byte(self):
        for name, path in (("ORVUNZIPPER", ARGS.library), ("DISTRO", ARGS.archive),
                           ("TMAINFORM", ARGS.layout)):
            with self.subTest(name=name):
                lang = NEUTRAL if name == "TMAINFORM" else ENGLISH_US
                self.assertEqual(Image.resource(RT_RCDATA, name, lang), path.read_bytes())


class Icons(unittest.TestCase):
    @staticmethod
    def group(name: str, lang: int) -> list[tuple]:
        data = Image.resource(RT_GROUP_ICON, name, lang)
        reserved, kind, count = struct.unpack_from("<HHH", data)
        assert (reserved, kind) == (0, 1), f"{name}: not an icon group ({reserved}, {kind})"
        assert len(data) == 6 + 14 * count, f"{name}: {len(data)} bytes for {count} entries"
        return [struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i) for i in range(count)]

    def check_image(self, image: bytes, size: int, bits: int) -> None:
        if size == 256:
            self.assertEqual(image[:8], b"\x89PNG\r\n\x1a\n")
            width, height, depth, colour = struct.unpack_from(">IIBB", image, 16)
            self.assertEqual((width, height, depth, colour), (256, 256, 8, 6))  # 8-bit RGBA
            return
        header, width, height, planes, bit_count, compression = struct.unpack_from("<IiiHHI", image)
        self.assertEqual((header, width, height, planes, bit_count, compression),
                         (40, size, 2 * size, 1, bits, 0))
        palette = 4 * (1 << bits) if bits <= 8 else 0
        colour_rows = (size * bits + 31) // 32 * 4 * size
        mask_rows = (size + 31) // 32 * 4 * size
        self.assertEqual(len(image), 40 + palette + colour_rows + mask_rows)
        # The picture is a tile with rounded corners: the AND mask makes a corner transparent
        # and keeps the centre opaque.
        mask = image[40 + palette + colour_rows:]
        stride = (size + 31) // 32 * 4

        def transparent(x, y):  # y counts from the top; the mask's rows run bottom-up
            return bool(mask[(size - 1 - y) * stride + x // 8] & (0x80 >> (x % 8)))

        self.assertTrue(transparent(0, 0))
        self.assertFalse(transparent(size // 2, size // 2))

    def test_groups_list_ten_images_by_size_and_depth(self):
        for name, lang, first_id in (("AICON", ENGLISH_US, 1), ("MAINICON", SWEDISH, 11)):
            entries = self.group(name, lang)
            self.assertEqual(len(entries), 10, name)
            for i, (entry, (size, bits)) in enumerate(zip(entries, ICON_IMAGES)):
                width, height, colours, reserved, planes, bit_count, length, icon_id = entry
                with self.subTest(group=name, image=i + 1):
                    self.assertEqual((width, height), (size % 256, size % 256))
                    self.assertEqual(colours, 16 if bits == 4 else 0)
                    self.assertEqual((reserved, planes, bit_count), (0, 1, bits))
                    self.assertEqual(icon_id, first_id + i)
                    image = Image.resource(RT_ICON, icon_id, lang)
                    self.assertEqual(length, len(image))
                    self.check_image(image, size, bits)

    def test_single_images_are_exactly_twenty_in_the_groups_languages(self):
        found = sorted((n, lang) for (k, n, lang) in Image.resources if k == RT_ICON)
        self.assertEqual(found, [(i, ENGLISH_US) for i in range(1, 11)]
                         + [(i, SWEDISH) for i in range(11, 21)])

    def test_both_groups_carry_the_built_icon_images(self):
        ico = ARGS.icon.read_bytes()
        _, _, count = struct.unpack_from("<HHH", ico)
        built = []
        for i in range(count):
            length, offset = struct.unpack_from("<II", ico, 6 + 16 * i + 8)
            built.append(ico[offset:offset + length])
        self.assertEqual(len(built), 10)
        for i in range(10):
            with self.subTest(image=i + 1):
                self.assertEqual(Image.resource(RT_ICON, 1 + i, ENGLISH_US), built[i])
                self.assertEqual(Image.resource(RT_ICON, 11 + i, SWEDISH), built[i])


class Manifest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.raw = Image.resource(RT_MANIFEST, 1, ENGLISH_US)
        cls.text = cls.raw[3:].decode("utf-8")
        builder = ET.TreeBuilder(insert_comments=True)
        parser = ET.XMLParser(target=builder)
        parser.feed(cls.raw)
        cls.root = parser.close()

    @staticmethod
    def elements(node) -> list:
        return [child for child in node if isinstance(child.tag, str)]

    def test_utf8_with_byte_order_mark_and_xml_1_0(self):
        self.assertEqual(self.raw[:3], b"\xef\xbb\xbf")
        self.assertRegex(self.text, r'^<\?xml version="1\.0" encoding="UTF-8"')

    def test_six_elements_in_order_with_their_values(self):
        root = self.root
        self.assertEqual(root.tag, f"{{{ASM_V1}}}assembly")
        self.assertEqual(root.attrib, {"manifestVersion": "1.0"})
        identity, trust, compatibility, settings, dependency = self.elements(root)

        self.assertEqual(identity.tag, f"{{{ASM_V1}}}assemblyIdentity")
        self.assertEqual(identity.attrib, {"version": "1.0.0.0", "name": "otSetup.exe"})

        self.assertEqual(trust.tag, f"{{{ASM_V2}}}trustInfo")
        (security,) = self.elements(trust)
        self.assertEqual(security.tag, f"{{{ASM_V2}}}security")
        (privileges,) = self.elements(security)
        self.assertEqual(privileges.tag, f"{{{ASM_V3}}}requestedPrivileges")
        (level,) = self.elements(privileges)
        self.assertEqual(level.tag, f"{{{ASM_V3}}}requestedExecutionLevel")
        self.assertEqual(level.attrib, {"level": "asInvoker", "uiAccess": "false"})

        self.assertEqual(compatibility.tag, f"{{{COMPAT}}}compatibility")
        (application,) = self.elements(compatibility)
        self.assertEqual(application.tag, f"{{{COMPAT}}}application")
        supported = self.elements(application)
        self.assertEqual([s.tag for s in supported], [f"{{{COMPAT}}}supportedOS"] * 5)
        self.assertEqual([s.attrib for s in supported], [{"Id": i} for i in SUPPORTED_OS])

        # DPI awareness: per-monitor v2 where Windows reads dpiAwareness (10, 1607 on), with
        # "true/pm" for the older ones (per-monitor on 8.1, system-wide on Vista, 7 and 8).
        self.assertEqual(settings.tag, f"{{{ASM_V3}}}application")
        (windows_settings,) = self.elements(settings)
        self.assertEqual(windows_settings.tag, f"{{{ASM_V3}}}windowsSettings")
        self.assertEqual([(e.tag, e.text) for e in self.elements(windows_settings)], [
            ("{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware", "true/pm"),
            ("{http://schemas.microsoft.com/SMI/2016/WindowsSettings}dpiAwareness",
             "PerMonitorV2, PerMonitor")])

        self.assertEqual(dependency.tag, f"{{{ASM_V1}}}dependency")
        (dependent,) = self.elements(dependency)
        self.assertEqual(dependent.tag, f"{{{ASM_V1}}}dependentAssembly")
        (controls,) = self.elements(dependent)
        self.assertEqual(controls.tag, f"{{{ASM_V1}}}assemblyIdentity")
        self.assertEqual(controls.attrib, {
            "type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
            "processorArchitecture": "*", "publicKeyToken": "6595b64144ccf1df", "language": "*"})
        self.assertEqual(self.elements(controls), [])


class VersionRecord(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = Image.pe
        cls.fixed = cls.pe.VS_FIXEDFILEINFO[0]
        cls.string_tables = []
        cls.translations = []
        for info in cls.pe.FileInfo[0]:
            if info.Key == b"StringFileInfo":
                cls.string_tables.extend(info.StringTable)
            elif info.Key == b"VarFileInfo":
                for var in info.Var:
                    cls.translations.append(var.entry)

    def test_fixed_part(self):
        f = self.fixed
        self.assertEqual(f.Signature, 0xFEEF04BD)
        self.assertEqual(f.StrucVersion, 0x00010000)
        self.assertEqual((f.FileVersionMS, f.FileVersionLS), (0x00020005, 0))
        self.assertEqual((f.ProductVersionMS, f.ProductVersionLS), (0x00020005, 0))
        self.assertEqual((f.FileFlagsMask, f.FileFlags), (0x3F, 0))
        self.assertEqual((f.FileOS, f.FileType, f.FileSubtype), (4, 1, 0))
        self.assertEqual((f.FileDateMS, f.FileDateLS), (0, 0))

    def test_one_string_table_with_every_key_in_order(self):
        maker = maker_texts(ARGS.maker)
        company = maker["OT_MAKER_COMPANY"]
        self.assertEqual(len(self.string_tables), 1)
        table = self.string_tables[0]
        self.assertEqual(table.LangID, b"040904E4")
        expected = [
            ("CompanyName", company),
            ("FileDescription", "Orvane Tessaly PreSetup"),
            ("FileVersion", "2.5.0.0"),
            ("InternalName", "Orvane Tessaly"),
            ("LegalCopyright", maker["OT_MAKER_COPYRIGHT"]),
            ("LegalTrademarks", maker["OT_MAKER_TRADEMARKS"]),
            ("OriginalFilename", "otSetup.exe"),
            ("ProductName", "otSetup"),
            ("ProductVersion", "2.5.0.0"),
            ("ProgramID", f"{company}.otSetup"),
        ]
        actual = [(k.decode("utf-8"), v.decode("utf-8")) for k, v in table.entries.items()]
        self.assertEqual(actual, expected)

    def test_translation_is_us_english_code_page_1252(self):
        # pefile renders the language and code page pair as text.
        rendered = [{key: value.decode() if isinstance(value, bytes) else value
                     for key, value in entry.items()} for entry in self.translations]
        self.assertEqual(rendered, [{b"Translation": "0x0409 0x04e4"}])


class Signature(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if ARGS.not_signed:
            raise unittest.SkipTest("built with signing switched off")
        security = Image.pe.OPTIONAL_HEADER.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
        cls.offset, cls.size = security.VirtualAddress, security.Size  # a file offset here

    def test_certificate_table_is_the_last_thing_in_the_file(self):
        self.assertGreater(self.size, 8)
        self.assertEqual(self.offset % 8, 0)
        self.assertEqual(self.offset + self.size, len(Image.data))
        last_section = max(s.PointerToRawData + s.SizeOfRawData for s in Image.pe.sections)
        self.assertGreaterEqual(self.offset, last_section)

    def test_one_pkcs7_win_certificate(self):
        length, revision, kind = struct.unpack_from("<IHH", Image.data, self.offset)
        self.assertEqual((revision, kind), (0x0200, 0x0002))
        # Entries are 8-byte aligned; a second one would start within the table.
        self.assertEqual((length + 7) // 8 * 8, self.size)

    def test_checksum_is_set_for_the_signed_file(self):
        checksum = Image.pe.OPTIONAL_HEADER.CheckSum
        self.assertNotEqual(checksum, 0)
        self.assertEqual(checksum, Image.pe.generate_checksum())

    def test_signed_data_uses_sha256_rsa_a_chain_and_a_time_stamp(self):
        length = struct.unpack_from("<I", Image.data, self.offset)[0]
        blob = Image.data[self.offset + 8:self.offset + length]
        blob = blob[:der_length(blob)]  # the entry may end with alignment padding
        with tempfile.TemporaryDirectory() as tmp:
            path = Path(tmp) / "signature.der"
            path.write_bytes(blob)
            parsed = subprocess.run(["openssl", "asn1parse", "-inform", "DER", "-in", str(path)],
                                    capture_output=True, text=True, check=True).stdout
            certs = subprocess.run(["openssl", "pkcs7", "-inform", "DER", "-in", str(path),
                                    "-print_certs", "-noout"],
                                   capture_output=True, text=True, check=True).stdout
        objects = re.findall(r"OBJECT\s*:(\S+)", parsed)
        for oid in (OID_SIGNED_DATA, OID_SPC_INDIRECT_DATA, OID_SHA256, OID_RSA,
                    OID_RFC3161_COUNTERSIGNATURE, OID_TST_INFO):
            with self.subTest(oid=oid):
                self.assertIn(oid, objects)
        # The signer's certificate and at least the one that issued it.
        self.assertGreaterEqual(certs.count("subject="), 2)

    def test_signing_only_appended_the_table_and_set_two_header_fields(self):
        unsigned = ARGS.unsigned.read_bytes()
        pe = Image.pe
        checksum_at = pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")
        security_at = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]].get_file_offset()
        signed = bytearray(Image.data[:self.offset])
        original = bytearray(unsigned)
        for at, length in ((checksum_at, 4), (security_at, 8)):
            signed[at:at + length] = original[at:at + length]
        # The unsigned image may have been padded to the table's 8-byte alignment with zeros.
        self.assertEqual(bytes(signed[:len(original)]), bytes(original))
        self.assertEqual(set(signed[len(original):]), set() if len(signed) == len(original) else {0})


def main() -> None:
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("exe", "unsigned", "library", "archive", "layout", "icon", "maker"):
        parser.add_argument(f"--{name}", required=True, type=Path)
    parser.add_argument("--arch", required=True, choices=("x86", "x64"))
    parser.add_argument("--not-signed", action="store_true",
                        help="the tree was built with OT_SIGN=OFF: the exe must carry no signature")
    ARGS, rest = parser.parse_known_args()
    if ARGS.not_signed and ARGS.exe.read_bytes() != ARGS.unsigned.read_bytes():
        sys.exit(f"{ARGS.exe} differs from {ARGS.unsigned}, although signing is off")
    program = unittest.main(argv=[sys.argv[0], *rest], exit=False, verbosity=2)
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
