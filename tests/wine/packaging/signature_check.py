"""Verifies the Authenticode signatures of the finished otSetup.exe and OrvUnzip.dll with
osslsigncode, that they stop verifying once a file or the trust anchors change, and that the DLL
inside the launcher is the signed DLL; and signs through the build's signing step by each means
(a key on a SoftHSM2 token, key files, PKCS#12, a sign command standing in for a signing
service), then builds the launcher once with the key on the token.

    /usr/bin/python3 signature_check.py --exe bin/otSetup.exe --library bin/OrvUnzip.dll
        [--root signing/root.pem] Verification ShippedLibrary
    /usr/bin/python3 signature_check.py --unsigned-library bin/unsigned/OrvUnzip.dll
        --sign-step resources/signing/sign_file.py --chain-script resources/signing/make_test_chain.sh
        --source . --toolchain cmake/mingw-i686.cmake --payload demo-payload SigningMeans TokenBuild

With --root (the build's throw-away chain) the signatures and their time stamps must chain to
that root; without it, to the system's trusted roots (a build signed with a real certificate).
The second form keeps its token, keys, time-stamping service and build tree in one temporary
folder, removed at the end.
"""

from __future__ import annotations

import argparse
import http.server
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest
from pathlib import Path

import pefile

ARGS: argparse.Namespace
RT_RCDATA = 10
ENGLISH_US = 1033
PIN = "318206"  # the test token's user PIN; it must appear on no command line
SOFTHSM = Path("/usr/lib/softhsm/libsofthsm2.so")


def verify(path: Path, root: Path | None) -> subprocess.CompletedProcess:
    command = ["osslsigncode", "verify", "-in", str(path)]
    if root is not None:
        command += ["-CAfile", str(root), "-TSA-CAfile", str(root)]
    return subprocess.run(command, capture_output=True, text=True, timeout=120)


def run(command: list, **kwargs) -> subprocess.CompletedProcess:
    done = subprocess.run([str(c) for c in command], capture_output=True, text=True,
                          timeout=kwargs.pop("timeout", 120), **kwargs)
    assert done.returncode == 0, f"{command}: {done.returncode}\n{done.stdout}{done.stderr}"
    return done


def resource(exe: Path, name: str) -> bytes:
    pe = pefile.PE(str(exe))
    try:
        for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
            if kind.id != RT_RCDATA:
                continue
            for entry in kind.directory.entries:
                if str(entry.name) == name:
                    data = entry.directory.entries[0].data.struct
                    return pe.get_data(data.OffsetToData, data.Size)
    finally:
        pe.close()
    raise AssertionError(f"{exe} has no RT_RCDATA {name}")


def assert_verifies(case: unittest.TestCase, path: Path, root: Path | None) -> str:
    done = verify(path, root)
    case.assertEqual(done.returncode, 0, done.stdout + done.stderr)
    case.assertIn("Signature verification: ok", done.stdout)
    case.assertIn("Timestamp Server Signature verification: ok", done.stdout)
    case.assertIn("Message digest algorithm  : SHA256", done.stdout)
    return done.stdout


class Verification(unittest.TestCase):
    """Both shipped binaries."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = Path(tempfile.mkdtemp(prefix="ot-signature-"))
        cls.binaries = [ARGS.exe, ARGS.library]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_signature_and_time_stamp_verify(self):
        for path in self.binaries:
            with self.subTest(binary=path.name):
                assert_verifies(self, path, ARGS.root)

    def changed_copy(self, path: Path, offset: int, name: str) -> Path:
        data = bytearray(path.read_bytes())
        data[offset] ^= 0x01
        changed = self.tmp / name
        changed.write_bytes(data)
        return changed

    def test_one_changed_byte_of_the_signed_content_fails(self):
        for path in self.binaries:
            pe = pefile.PE(str(path), fast_load=True)
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
                with self.subTest(binary=path.name, changed=what):
                    done = verify(self.changed_copy(path, offset, f"changed-{i}-{path.name}"),
                                  ARGS.root)
                    self.assertNotEqual(done.returncode, 0, done.stdout)
                    self.assertIn("MISMATCH", done.stdout)

    def test_a_changed_digest_inside_the_signature_fails(self):
        for path in self.binaries:
            with self.subTest(binary=path.name):
                # The image digest that the signature covers, as osslsigncode reports it.
                done = verify(path, ARGS.root)
                match = re.search(r"Current message digest\s*:\s*([0-9A-F]{64})", done.stdout)
                self.assertIsNotNone(match, done.stdout)
                offset = path.read_bytes().rindex(bytes.fromhex(match.group(1)))
                done = verify(self.changed_copy(path, offset + 31, f"digest-{path.name}"),
                              ARGS.root)
                self.assertNotEqual(done.returncode, 0, done.stdout)

    def test_an_unrelated_root_is_not_trusted(self):
        if ARGS.root is None:
            self.skipTest("signed with a real certificate: the system's roots are the anchors")
        key, other = self.tmp / "other.key", self.tmp / "other.pem"
        run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
             "-subj", "/CN=Unrelated Test Root", "-keyout", key, "-out", other])
        for path in self.binaries:
            with self.subTest(binary=path.name):
                done = verify(path, other)
                self.assertNotEqual(done.returncode, 0, done.stdout)


def check_shipped_library(case: unittest.TestCase, exe: Path, library: Path,
                          root: Path | None) -> None:
    """The DLL inside the launcher is the signed DLL, byte for byte, and verifies."""
    embedded = resource(exe, "ORVUNZIPPER")
    case.assertEqual(embedded, library.read_bytes())
    with tempfile.TemporaryDirectory() as tmp:
        written = Path(tmp) / "OrvUnzip.dll"  # as the launcher writes it out
        written.write_bytes(embedded)
        out = assert_verifies(case, written, root)
    case.assertIn("Timestamp time:", out)


class ShippedLibrary(unittest.TestCase):
    def test_the_embedded_library_is_the_signed_one_and_verifies(self):
        check_shipped_library(self, ARGS.exe, ARGS.library, ARGS.root)


# --- the means of signing ------------------------------------------------------------------------

class TimeStampingService(http.server.ThreadingHTTPServer):
    """An RFC 3161 service on 127.0.0.1: openssl ts -reply with the throw-away chain's TSA."""

    def __init__(self, folder: Path, chain: Path):
        self.folder = folder
        self.config = folder / "tsa.cnf"
        (folder / "serial").write_text("01\n")
        self.config.write_text(f"""[tsa]
default_tsa = here
[here]
serial = {folder / 'serial'}
signer_cert = {chain / 'tsa.pem'}
certs = {chain / 'tsa-chain.pem'}
signer_key = {chain / 'tsa.key'}
signer_digest = sha256
default_policy = 1.3.6.1.4.1.55555.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
""")
        self.lock = threading.Lock()
        super().__init__(("127.0.0.1", 0), TimeStampHandler)
        self.url = f"http://127.0.0.1:{self.server_address[1]}/"
        self.requests = 0
        threading.Thread(target=self.serve_forever, daemon=True).start()


class TimeStampHandler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        server: TimeStampingService = self.server
        query = self.rfile.read(int(self.headers["Content-Length"]))
        with server.lock:
            server.requests += 1
            (server.folder / "query.tsq").write_bytes(query)
            done = subprocess.run(["openssl", "ts", "-reply", "-config", server.config,
                                   "-queryfile", server.folder / "query.tsq",
                                   "-out", server.folder / "reply.tsr"],
                                  capture_output=True, timeout=60)
            reply = (server.folder / "reply.tsr").read_bytes() if done.returncode == 0 else b""
        if not reply:
            self.send_error(500, done.stderr.decode(errors="replace")[:200])
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


# Stands in for a signing service's client: signs {file} in place as told by its first word.
SERVICE = r"""#!/bin/sh
set -e
how=$1 file=$2 chain=$3
sign() {  # in out [time stamp]
  osslsigncode sign -h sha256 -certs "$chain/code-chain.pem" -key "$chain/code.key" \
    ${3:+-TSA-certs "$chain/tsa-chain.pem" -TSA-key "$chain/tsa.key"} -in "$1" -out "$2" >/dev/null
}
echo "service: $how $file"
case $how in
  good) sign "$file" "$file.s" stamp; mv "$file.s" "$file" ;;
  refused) echo "service: quota exceeded for this certificate" >&2; exit 3 ;;
  unsigned) ;;
  other)  # signs a changed copy and hands that back
    cp "$file" "$file.o"; printf 'X' | dd of="$file.o" bs=1 seek=1024 conv=notrunc 2>/dev/null
    sign "$file.o" "$file.s" stamp; rm "$file.o"; mv "$file.s" "$file" ;;
  foreign)  # the signature of other content attached to this file
    cp "$file" "$file.o"; printf 'X' | dd of="$file.o" bs=1 seek=1024 conv=notrunc 2>/dev/null
    sign "$file.o" "$file.os" stamp
    osslsigncode extract-signature -in "$file.os" -out "$file.sig" >/dev/null
    osslsigncode attach-signature -sigin "$file.sig" -in "$file" -out "$file.s" >/dev/null || true
    rm -f "$file.o" "$file.os" "$file.sig"; mv "$file.s" "$file" ;;
  nostamp) sign "$file" "$file.s"; mv "$file.s" "$file" ;;
  badvalue)  # one bit of the RSA value flipped after signing
    sign "$file" "$file.s" stamp; /usr/bin/python3 "$(dirname "$0")/flip-signature-value" "$file.s"
    mv "$file.s" "$file" ;;
  ecc)  # a valid signature with an elliptic-curve key, chained to the same root
    osslsigncode sign -h sha256 -certs "$chain/../ecc/chain.pem" -key "$chain/../ecc/code.key" \
      -TSA-certs "$chain/tsa-chain.pem" -TSA-key "$chain/tsa.key" -in "$file" -out "$file.s" >/dev/null
    mv "$file.s" "$file" ;;
esac
"""

# Flips one bit of the signer's RSA value in a signed PE file: the one primitive OCTET STRING at
# depth 5 of the signature (ContentInfo, [0], SignedData, SignerInfos, SignerInfo, value).
FLIP_SIGNATURE_VALUE = r"""import re, subprocess, sys
import pefile
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
pe = pefile.PE(data=bytes(data), fast_load=True)
entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
start = entry.VirtualAddress + 8
listing = subprocess.run(["openssl", "asn1parse", "-inform", "DER"],
                         input=bytes(data[start:entry.VirtualAddress + entry.Size]),
                         capture_output=True).stdout.decode()
value = re.search(r"^\s*(\d+):d=5\s+hl=(\d+)\s+l=\s*\d+\s+prim:\s+OCTET STRING", listing, re.M)
data[start + int(value.group(1)) + int(value.group(2)) + 7] ^= 0x01
open(path, "wb").write(data)
"""


class Material:
    """The throw-away chain, a SoftHSM2 token with a key made on it and a certificate for that
    key, the PIN in a file, a local time-stamping service; all in one temporary folder."""
    folder: Path | None = None

    @classmethod
    def get(cls) -> type:
        if cls.folder is not None:
            return cls
        cls.folder = Path(tempfile.mkdtemp(prefix="ot-signing-means-"))
        chain = cls.chain = cls.folder / "chain"
        run(["bash", ARGS.chain_script, chain, "Orvane Test"])
        token = cls.folder / "token"
        (token / "objects").mkdir(parents=True)
        conf = token / "softhsm2.conf"
        conf.write_text(f"directories.tokendir = {token / 'objects'}\nobjectstore.backend = file\n"
                        "log.level = ERROR\n")
        os.environ["SOFTHSM2_CONF"] = str(conf)  # for this process, its children and the build
        run(["softhsm2-util", "--init-token", "--free", "--label", "otTest", "--pin", PIN,
             "--so-pin", "55" + PIN])
        tool = ["pkcs11-tool", "--module", SOFTHSM, "--token-label", "otTest"]
        run(tool + ["--login", "--pin", PIN, "--keypairgen", "--key-type", "rsa:3072",
                    "--id", "01", "--label", "code-signing"])
        run(tool + ["--read-object", "--type", "pubkey", "--id", "01", "-o", token / "pub.der"])
        run(["openssl", "pkey", "-pubin", "-inform", "DER", "-in", token / "pub.der",
             "-out", token / "pub.pem"])
        (token / "code.ext").write_text("basicConstraints = critical, CA:FALSE\n"
                                        "keyUsage = critical, digitalSignature\n"
                                        "extendedKeyUsage = codeSigning\n")
        run(["openssl", "x509", "-new", "-force_pubkey", token / "pub.pem",
             "-subj", "/O=Orvane Test/CN=Orvane Test (key on a token)", "-days", "30",
             "-CA", chain / "root.pem", "-CAkey", chain / "root.key",
             "-extfile", token / "code.ext", "-out", token / "code.pem"])
        cls.token_chain = token / "chain.pem"
        cls.token_chain.write_text((token / "code.pem").read_text()
                                   + (chain / "root.pem").read_text())
        cls.key_uri = "pkcs11:token=otTest;object=code-signing;type=private"
        cls.pin_file = cls.folder / "pin.txt"
        cls.pin_file.write_text(PIN + "\n")
        cls.tsa = TimeStampingService(cls.folder, chain)
        # Records each osslsigncode command line, as a process listing shows it.
        cls.argv_log = cls.folder / "osslsigncode-argv.txt"
        cls.osslsigncode = cls.folder / "osslsigncode"
        cls.osslsigncode.write_text(f"#!/bin/sh\nprintf '%s\\n' \"$*\" >>{cls.argv_log}\n"
                                    f"exec {shutil.which('osslsigncode')} \"$@\"\n")
        cls.osslsigncode.chmod(0o755)
        cls.service = cls.folder / "signing-service"
        cls.service.write_text(SERVICE)
        cls.service.chmod(0o755)
        (cls.folder / "flip-signature-value").write_text(FLIP_SIGNATURE_VALUE)
        ecc = cls.folder / "ecc"
        ecc.mkdir()
        run(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
             "-out", ecc / "code.key"])
        run(["openssl", "req", "-new", "-key", ecc / "code.key", "-subj",
             "/O=Orvane Test/CN=Orvane Test (elliptic-curve key)", "-out", ecc / "code.csr"])
        run(["openssl", "x509", "-req", "-in", ecc / "code.csr", "-days", "30",
             "-CA", chain / "root.pem", "-CAkey", chain / "root.key",
             "-extfile", token / "code.ext", "-out", ecc / "code.pem"])
        (ecc / "chain.pem").write_text((ecc / "code.pem").read_text() + (chain / "root.pem").read_text())
        return cls

    @classmethod
    def remove(cls) -> None:
        if cls.folder is not None:
            cls.tsa.shutdown()
            cls.tsa.server_close()
            shutil.rmtree(cls.folder, ignore_errors=True)
            cls.folder = None


def tearDownModule() -> None:
    Material.remove()


class SigningMeans(unittest.TestCase):
    """The build's signing step on the unsigned DLL, by each means."""

    @classmethod
    def setUpClass(cls):
        cls.m = Material.get()
        cls.out_dir = cls.m.folder / "signed"
        cls.out_dir.mkdir(exist_ok=True)

    def sign(self, name: str, *signer: str, roots: bool = True) -> tuple[Path, subprocess.CompletedProcess]:
        out = self.out_dir / name
        command = [sys.executable, ARGS.sign_step, "--osslsigncode", self.m.osslsigncode]
        if roots:
            command += ["--roots", self.m.chain / "root.pem"]
        command += [ARGS.unsigned_library, out, *signer]
        done = subprocess.run([str(c) for c in command], capture_output=True, text=True,
                              timeout=300)
        return out, done

    def assert_signed(self, out: Path, done: subprocess.CompletedProcess) -> str:
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        text = assert_verifies(self, out, self.m.chain / "root.pem")
        self.assertEqual(list(out.parent.glob(".signing-*")), [])
        return text

    def test_a_key_on_the_token_signs_with_the_pin_read_from_its_file(self):
        before = self.m.tsa.requests
        out, done = self.sign("token.dll", "--sign", "-h", "sha256", "-pkcs11module", SOFTHSM,
                              "-certs", self.m.token_chain, "-key", self.m.key_uri,
                              "-readpass", self.m.pin_file, "-ts", self.m.tsa.url)
        text = self.assert_signed(out, done)
        self.assertIn("CN=Orvane Test (key on a token)", text)
        self.assertGreater(self.m.tsa.requests, before)  # stamped by the service over HTTP
        self.assertNotIn(PIN, self.m.argv_log.read_text())

    def test_a_wrong_pin_signs_nothing_and_removes_the_old_output(self):
        wrong = self.m.folder / "wrong-pin.txt"
        wrong.write_text("000000\n")
        out = self.out_dir / "wrong.dll"
        out.write_bytes(b"an earlier build's file")
        out, done = self.sign("wrong.dll", "--sign", "-h", "sha256", "-pkcs11module", SOFTHSM,
                              "-certs", self.m.token_chain, "-key", self.m.key_uri,
                              "-readpass", wrong, "-ts", self.m.tsa.url)
        self.assertEqual(done.returncode, 1, done.stdout)
        self.assertIn("osslsigncode failed with exit status", done.stderr)
        self.assertFalse(out.exists())
        self.assertEqual(list(self.out_dir.glob(".signing-*")), [])

    def test_key_files_and_pkcs12(self):
        chain = self.m.chain
        p12 = self.m.folder / "code.p12"
        run(["openssl", "pkcs12", "-export", "-in", chain / "code-chain.pem",
             "-inkey", chain / "code.key", "-passout", f"file:{self.m.pin_file}", "-out", p12])
        for name, means in (("files", ["-certs", chain / "code-chain.pem", "-key", chain / "code.key"]),
                            ("pkcs12", ["-pkcs12", p12, "-readpass", self.m.pin_file])):
            with self.subTest(means=name):
                out, done = self.sign(f"{name}.dll", "--sign", "-h", "sha256", *map(str, means),
                                      "-ts", self.m.tsa.url)
                self.assert_signed(out, done)

    def command(self, how: str) -> str:
        return f"{self.m.service} {how} {{file}} '{self.m.chain}'"

    def test_a_sign_command_signs_in_place(self):
        for roots in (True, False):
            with self.subTest(roots=roots):
                out, done = self.sign(f"command-{roots}.dll", "--command", self.command("good"),
                                      roots=roots)
                self.assert_signed(out, done)
                # Handed a copy under the output's own name (clients tell file kinds by it).
                self.assertRegex(done.stdout, rf"service: good \S+/\.signing-[^/]+/{re.escape(out.name)}\n")

    def test_what_a_sign_command_gets_wrong_stops_with_its_output(self):
        cases = {
            "refused": "failed with exit status 3",
            "unsigned": "came back unsigned",
            "other": "something other than this file was signed",
            "foreign": "the signature was made over something else",
            "nostamp": "carries no time stamp",
            # Judged without trust anchors: the value itself, and the kind of key.
            "badvalue": "the signature value does not verify with the signer's certificate "
                        "(CN=Orvane Test (test code signing),O=Orvane Test)",
            "ecc": "(CN=Orvane Test (elliptic-curve key),O=Orvane Test) is an elliptic-curve "
                   "(ECDSA) key, not RSA: Smart App Control and Windows before Windows 10 accept "
                   "only RSA signatures",
        }
        for how, message in cases.items():
            with self.subTest(how=how):
                out, done = self.sign(f"{how}.dll", "--command", self.command(how), roots=False)
                self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
                self.assertIn(message, done.stderr)
                self.assertIn(f"service: {how}", done.stderr)  # the command's own output
                self.assertFalse(out.exists())
                self.assertEqual(list(self.out_dir.glob(".signing-*")), [])
        out, done = self.sign("quota.dll", "--command", self.command("refused"))
        self.assertIn("quota exceeded", done.stderr)

    def test_a_signature_that_does_not_chain_to_the_roots_stops(self):
        other = self.m.folder / "other-root"
        run(["bash", ARGS.chain_script, other, "Someone Else"])
        out = self.out_dir / "unanchored.dll"
        done = subprocess.run([sys.executable, str(ARGS.sign_step), "--roots",
                               str(other / "root.pem"), str(ARGS.unsigned_library), str(out),
                               "--command", self.command("good")],
                              capture_output=True, text=True, timeout=300)
        self.assertEqual(done.returncode, 1, done.stdout)
        self.assertIn("does not verify against", done.stderr)
        self.assertFalse(out.exists())


class TokenBuild(unittest.TestCase):
    """The launcher built with the key on the token: both binaries signed through it."""

    def configure(self, tree: Path, *options: str) -> subprocess.CompletedProcess:
        m = Material.get()
        return subprocess.run(
            ["cmake", "-S", str(ARGS.source), "-B", str(tree), "-G", "Ninja",
             f"-DCMAKE_TOOLCHAIN_FILE={ARGS.toolchain}", "-DCMAKE_BUILD_TYPE=MinSizeRel",
             "-DOT_BUILD_TESTS=OFF", f"-DOT_PAYLOAD_DIR={ARGS.payload}",
             f"-DOT_OSSLSIGNCODE={m.osslsigncode}", f"-DOT_SIGN_PKCS11_MODULE={SOFTHSM}",
             f"-DOT_SIGN_PKCS11_KEY={m.key_uri}", f"-DOT_SIGN_CERT={m.token_chain}", *options],
            capture_output=True, text=True, timeout=300)

    def test_the_launcher_and_its_library_are_signed_with_the_key_on_the_token(self):
        m = Material.get()
        tree = m.folder / "build"
        # A real certificate without a time-stamping service is refused; so is a PIN given
        # where the name of its file goes, which is also taken out of the cache again.
        done = self.configure(tree, f"-DOT_SIGN_PASSWORD_FILE={m.pin_file}")
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("needs OT_SIGN_TIMESTAMP_URL", done.stderr)
        done = self.configure(tree, f"-DOT_SIGN_PASSWORD_FILE={PIN}",
                              f"-DOT_SIGN_TIMESTAMP_URL={m.tsa.url}")
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("OT_SIGN_PASSWORD_FILE names no file", done.stderr)
        self.assertNotIn(PIN, done.stdout + done.stderr)
        self.assertNotIn(PIN, (tree / "CMakeCache.txt").read_text())

        done = self.configure(tree, f"-DOT_SIGN_PASSWORD_FILE={m.pin_file}",
                              f"-DOT_SIGN_TIMESTAMP_URL={m.tsa.url}")
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        m.argv_log.unlink(missing_ok=True)
        done = subprocess.run(["cmake", "--build", str(tree), "-j", "2", "--target", "otSetup"],
                              capture_output=True, text=True, timeout=900)
        self.assertEqual(done.returncode, 0, done.stdout[-4000:] + done.stderr[-4000:])
        signed = re.findall(r"^Signed (\S+) into (\S+): ", done.stdout, re.MULTILINE)
        self.assertEqual([(Path(a).name, Path(b)) for a, b in signed],
                         [("OrvUnzip.dll", tree / "bin" / "OrvUnzip.dll"),
                          ("otSetup.exe", tree / "bin" / "otSetup.exe")])

        exe, library = tree / "bin" / "otSetup.exe", tree / "bin" / "OrvUnzip.dll"
        for path in (exe, library):
            with self.subTest(binary=path.name):
                text = assert_verifies(self, path, m.chain / "root.pem")
                self.assertIn("CN=Orvane Test (key on a token)", text)
        check_shipped_library(self, exe, library, m.chain / "root.pem")
        # Signed twice (the DLL, then the launcher), each time through the token, never with
        # the PIN on the command line; nor does the PIN stand in the cache or the build files.
        argv = m.argv_log.read_text().splitlines()
        signs = [a for a in argv if a.startswith("sign ")]
        self.assertEqual(len(signs), 2, argv)
        for line in signs:
            self.assertIn(f"-readpass {m.pin_file}", line)
            self.assertIn("-pkcs11module", line)
        for text in [*argv, (tree / "CMakeCache.txt").read_text(),
                     (tree / "build.ninja").read_text()]:
            self.assertNotIn(PIN, text)


def main() -> None:
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", type=Path)
    parser.add_argument("--library", type=Path)
    parser.add_argument("--root", type=Path)
    parser.add_argument("--unsigned-library", type=Path)
    parser.add_argument("--sign-step", type=Path)
    parser.add_argument("--chain-script", type=Path)
    parser.add_argument("--source", type=Path)
    parser.add_argument("--toolchain", type=Path)
    parser.add_argument("--payload", type=Path)
    ARGS, rest = parser.parse_known_args()
    program = unittest.main(argv=[sys.argv[0], *rest], exit=False, verbosity=2)
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
