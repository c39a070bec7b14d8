"""Signs one Windows binary (Authenticode) and checks the result before it is put in place.

    /usr/bin/python3 sign_file.py [--osslsigncode PATH] [--roots PEM] INPUT OUTPUT
        (--sign ARG... | --command TEMPLATE)

--sign ARG...     osslsigncode sign with these arguments (key files, PKCS#12, a PKCS#11 token, the
                  throw-away chain; time stamp included), reading INPUT, writing a copy.
--command TEMPLATE
                  a signing service's or signing host's command: split into words as a POSIX
                  shell splits them (quotes group, nothing is expanded), {file} replaced in every
                  word by the copy to sign, run without a shell; it signs that copy in place and
                  time-stamps it itself.
--roots PEM       trust anchors for the signature and its time stamp; with them the whole
                  signature must verify (osslsigncode verify). Without them the chain is not
                  judged, the rest is.

Either way the signed copy must carry an Authenticode signature whose digest is the digest of its
own content, a time stamp, and, apart from the certificate table and the two header fields that
signing sets (checksum, certificate table entry), exactly the bytes of INPUT. The signature value
itself is checked too, with or without anchors: the signer's certificate must be in the signature
and hold an RSA key (Smart App Control and Windows before 10 accept no other), the signed
attributes must carry the digest of the signed content, and the RSA value must verify over them
with that key. OUTPUT appears only when all of that holds; a failure removes any earlier OUTPUT
(nothing stale ships), prints what failed and the signer's own output, and exits 1.

No password or PIN passes through here: osslsigncode reads it from a file (-readpass).
"""

from __future__ import annotations

import argparse
import hashlib
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pefile

SIGN_TIMEOUT = 600  # a remote service or a token that waits for a touch may be slow


class SigningFailed(Exception):
    def __init__(self, message: str, output: str = ""):
        super().__init__(message)
        self.output = output


def run(command: list[str]) -> subprocess.CompletedProcess:
    try:
        return subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, errors="replace",
                              timeout=SIGN_TIMEOUT)
    except FileNotFoundError as error:
        raise SigningFailed(f"cannot run {command[0]}: {error.strerror}") from None
    except subprocess.TimeoutExpired as error:
        raise SigningFailed(f"{command[0]} did not finish within {SIGN_TIMEOUT} s",
                            (error.output or "") if isinstance(error.output, str) else "") from None


def command_words(template: str, path: Path) -> list[str]:
    words = shlex.split(template)
    if not any("{file}" in word for word in words):
        raise SigningFailed("the sign command has no {file} where the file to sign goes")
    return [word.replace("{file}", str(path)) for word in words]


def certificate_table(data: bytes) -> tuple[int, int, int, int]:
    """(offset of the checksum, offset of the certificate table entry, table offset, size)."""
    try:
        pe = pefile.PE(data=data, fast_load=True)
    except pefile.PEFormatError as error:
        raise SigningFailed(f"the signed file is no longer a PE image ({error})") from None
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    result = (pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum"), entry.get_file_offset(),
              entry.VirtualAddress, entry.Size)
    pe.close()
    return result


def check_content(unsigned: bytes, signed: bytes) -> None:
    """The signed file is the unsigned one plus a certificate table at its end."""
    checksum_at, entry_at, table, size = certificate_table(signed)
    if size == 0:
        raise SigningFailed("the file came back unsigned (no certificate table)")
    if table + size != len(signed):
        raise SigningFailed(f"the certificate table ({size} bytes at {table}) is not the end of "
                            f"the {len(signed)}-byte file")
    content = bytearray(signed[:table])
    if len(content) < len(unsigned):
        raise SigningFailed(f"the signed content is {len(content)} bytes, the file to sign "
                            f"{len(unsigned)}: something other than this file was signed")
    for at, length in ((checksum_at, 4), (entry_at, 8)):
        content[at:at + length] = unsigned[at:at + length]
    if content[:len(unsigned)] != unsigned:
        first = next(i for i in range(len(unsigned)) if content[i] != unsigned[i])
        raise SigningFailed(f"the signed content differs from the file to sign from byte {first} "
                            f"on: something other than this file was signed")
    if any(content[len(unsigned):]):
        raise SigningFailed("bytes other than alignment padding were added before the "
                            "certificate table: something other than this file was signed")


# --- the signature value ---------------------------------------------------------------------
# Authenticode is PKCS #7 signed data (RFC 2315) over an SpcIndirectDataContent that holds the
# file's digest. The walk below reads just enough DER to check the one signer: its signed
# attributes carry the digest of that content's value, and its RSA value signs those
# attributes (as a SET) with the key of the certificate its issuer and serial number name.

OID_SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_MESSAGE_DIGEST = "1.2.840.113549.1.9.4"
OID_RSA = "1.2.840.113549.1.1.1"
OID_RSA_WITH = {"1.2.840.113549.1.1.5": "sha1", "1.2.840.113549.1.1.11": "sha256",
                "1.2.840.113549.1.1.12": "sha384", "1.2.840.113549.1.1.13": "sha512"}
OID_DIGEST = {"1.3.14.3.2.26": "sha1", "2.16.840.1.101.3.4.2.1": "sha256",
              "2.16.840.1.101.3.4.2.2": "sha384", "2.16.840.1.101.3.4.2.3": "sha512"}
KEY_KINDS = {"1.2.840.10045.2.1": "an elliptic-curve (ECDSA) key",
             "1.2.840.113549.1.1.10": "an RSA-PSS key", "1.3.101.112": "an Ed25519 key",
             "1.3.101.113": "an Ed448 key", "1.2.840.10040.4.1": "a DSA key"}


class Der:
    """One DER element: tag, the whole encoding, the value's bytes, and its children."""

    def __init__(self, data: bytes, pos: int = 0):
        if pos + 2 > len(data):
            raise SigningFailed("the signature is truncated (DER)")
        self.tag = data[pos]
        length, at = data[pos + 1], pos + 2
        if length & 0x80:
            count = length & 0x7F
            if count == 0 or count > 4 or at + count > len(data):
                raise SigningFailed("the signature is not valid DER")
            length, at = int.from_bytes(data[at:at + count], "big"), at + count
        if at + length > len(data):
            raise SigningFailed("the signature is truncated (DER)")
        self.encoding = data[pos:at + length]
        self.value = data[at:at + length]
        self.end = at + length

    def children(self) -> list["Der"]:
        if not self.tag & 0x20:
            raise SigningFailed("the signature's structure is not what Authenticode uses")
        found, pos = [], 0
        while pos < len(self.value):
            child = Der(self.value, pos)
            found.append(child)
            pos = child.end
        return found

    def oid(self) -> str:
        if self.tag != 0x06 or not self.value:
            raise SigningFailed("the signature's structure is not what Authenticode uses")
        first = self.value[0]
        parts, number = [str(min(first // 40, 2)), str(first - 40 * min(first // 40, 2))], 0
        for byte in self.value[1:]:
            number = (number << 7) | (byte & 0x7F)
            if not byte & 0x80:
                parts.append(str(number))
                number = 0
        return ".".join(parts)


def openssl(*args: str, data: bytes | None = None) -> subprocess.CompletedProcess:
    try:
        return subprocess.run(["openssl", *args], input=data, capture_output=True, timeout=60)
    except FileNotFoundError as error:
        raise SigningFailed(f"cannot run openssl: {error.strerror}") from None


def check_signature_value(signed: bytes, file_digest: str) -> None:
    """The signer's RSA value verifies, over the signed attributes, with its certificate's key,
    and those attributes carry the digest of the signed content, which holds file_digest
    (hexadecimal, the digest osslsigncode calculated over the file)."""
    _, _, table, size = certificate_table(signed)
    content_info = Der(signed[table + 8:table + size])
    try:
        _, explicit = content_info.children()
        (signed_data,) = explicit.children()
        fields = signed_data.children()
        encapsulated, signer_infos = fields[2], fields[-1]
        certificates = next((f for f in fields[3:-1] if f.tag == 0xA0), None)
        content_type, content_explicit = encapsulated.children()
        (content,) = content_explicit.children()
        signers = signer_infos.children()
        if content_type.oid() != OID_SPC_INDIRECT_DATA or len(signers) != 1 or certificates is None:
            raise IndexError
        signer = signers[0].children()
        issuer_serial, digest_algorithm, attributes = signer[1], signer[2], signer[3]
        signature_algorithm, value = signer[4], signer[5]
        if attributes.tag != 0xA0 or value.tag != 0x04:
            raise IndexError
        issuer, serial = issuer_serial.children()
        _, content_digest = content.children()
        stated_file_digest = content_digest.children()[1].value
    except (IndexError, ValueError):
        raise SigningFailed("the signature's structure is not what Authenticode uses") from None

    if stated_file_digest.hex().upper() != file_digest.upper():
        raise SigningFailed("the signed content does not hold the file's digest")
    hash_name = OID_DIGEST.get(digest_algorithm.children()[0].oid())
    if hash_name is None:
        raise SigningFailed(f"the signature uses the digest {digest_algorithm.children()[0].oid()}, "
                            "which Windows does not take for Authenticode")
    stated = [attribute.children() for attribute in attributes.children()]
    digests = [values.children()[0].value for oid, values in stated if oid.oid() == OID_MESSAGE_DIGEST]
    if digests != [hashlib.new(hash_name, content.value).digest()]:
        raise SigningFailed("the signed attributes do not carry the digest of the signed content")

    certificate = None
    for candidate in certificates.children():
        tbs = candidate.children()[0].children()
        at = 1 if tbs[0].tag == 0xA0 else 0  # after the optional version
        if tbs[at].encoding == serial.encoding and tbs[at + 2].encoding == issuer.encoding:
            certificate, key_info = candidate, tbs[at + 5]
            break
    if certificate is None:
        raise SigningFailed("the signer's certificate is not in the signature")
    subject = openssl("x509", "-inform", "DER", "-noout", "-subject", "-nameopt", "RFC2253",
                      data=certificate.encoding).stdout.decode(errors="replace").strip()
    subject = subject.removeprefix("subject=")
    key_kind = key_info.children()[0].children()[0].oid()
    if key_kind != OID_RSA:
        raise SigningFailed(
            f"the signing key ({subject}) is {KEY_KINDS.get(key_kind, 'a key of type ' + key_kind)}, "
            "not RSA: Smart App Control and Windows before Windows 10 accept only RSA "
            "signatures and would refuse the binary; sign with an RSA key")
    algorithm = signature_algorithm.children()[0].oid()
    if algorithm != OID_RSA and OID_RSA_WITH.get(algorithm) != hash_name:
        raise SigningFailed(f"the signature value is of the algorithm {algorithm}, not RSA "
                            f"(PKCS #1 v1.5) with {hash_name}")

    # openssl dgst hashes the attributes, re-tagged as the SET they are signed as, and checks
    # the PKCS #1 v1.5 value, DigestInfo included.
    with tempfile.TemporaryDirectory(prefix="signature-value-") as folder:
        key, value_file, attributes_file = (Path(folder) / n for n in ("key.pem", "value", "attrs"))
        key.write_bytes(openssl("x509", "-inform", "DER", "-noout", "-pubkey",
                                data=certificate.encoding).stdout)
        value_file.write_bytes(value.value)
        attributes_file.write_bytes(b"\x31" + attributes.encoding[1:])
        done = openssl("dgst", f"-{hash_name}", "-verify", str(key), "-signature", str(value_file),
                       str(attributes_file))
    if done.returncode != 0 or b"Verified OK" not in done.stdout:
        raise SigningFailed(f"the signature value does not verify with the signer's certificate "
                            f"({subject}): the signature is damaged or was made with another key",
                            (done.stdout + done.stderr).decode(errors="replace"))


def check_signature(osslsigncode: str, signed: Path, roots: Path | None) -> None:
    command = [osslsigncode, "verify", "-in", str(signed)]
    if roots is not None:
        command += ["-CAfile", str(roots), "-TSA-CAfile", str(roots)]
    done = run(command)
    out = done.stdout
    current = re.search(r"Current message digest\s*:\s*([0-9A-Fa-f]+)", out)
    calculated = re.search(r"Calculated message digest\s*:\s*([0-9A-Fa-f]+)", out)
    if current is None or calculated is None:
        raise SigningFailed("osslsigncode finds no Authenticode signature in the signed file", out)
    if current.group(1).upper() != calculated.group(1).upper():
        raise SigningFailed(f"the signature's digest {current.group(1)} is not the digest of the "
                            f"file's content {calculated.group(1)}: the signature was made over "
                            f"something else", out)
    if "Timestamp time:" not in out:
        raise SigningFailed("the signature carries no time stamp: it would end with the "
                            "certificate", out)
    check_signature_value(signed.read_bytes(), current.group(1))
    if roots is not None and (done.returncode != 0 or "Signature verification: ok" not in out
                              or "Timestamp Server Signature verification: ok" not in out):
        raise SigningFailed(f"the signature or its time stamp does not verify against {roots}", out)


def sign(args: argparse.Namespace) -> None:
    args.output.unlink(missing_ok=True)
    unsigned = args.input.read_bytes()
    # The copy keeps the file's name (signing clients tell a DLL from a program by it), in a
    # folder of its own beside the output, so that it is renamed into place in one step.
    work = Path(tempfile.mkdtemp(prefix=".signing-", dir=args.output.parent))
    part = work / args.output.name
    try:
        if args.command is not None:
            shutil.copyfile(args.input, part)
            words = command_words(args.command, part)
            what = f"the sign command ({words[0]})"
        else:
            words = [args.osslsigncode, "sign", *args.sign, "-in", str(args.input),
                     "-out", str(part)]
            what = "osslsigncode"
        done = run(words)
        if done.returncode != 0:
            raise SigningFailed(f"{what} failed with exit status {done.returncode}", done.stdout)
        if not part.is_file():
            raise SigningFailed(f"{what} left no file at {part}", done.stdout)
        try:
            check_content(unsigned, part.read_bytes())
            check_signature(args.osslsigncode, part, args.roots)
        except SigningFailed as error:
            raise SigningFailed(f"{what} succeeded but {error}",
                                "\n".join(s for s in (done.stdout, error.output) if s)) from None
        os.replace(part, args.output)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if done.stdout.strip():
        print(done.stdout.rstrip())
    anchors = f", verified against {args.roots}" if args.roots else ", chain not judged"
    print(f"Signed {args.input} into {args.output}: an Authenticode signature over its content, "
          f"time-stamped{anchors}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--osslsigncode", default="osslsigncode")
    parser.add_argument("--roots", type=Path)
    parser.add_argument("input", type=Path)
    parser.add_argument("output", type=Path)
    means = parser.add_mutually_exclusive_group(required=True)
    means.add_argument("--command")
    means.add_argument("--sign", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    try:
        sign(args)
    except SigningFailed as error:
        if error.output.strip():
            print(error.output.rstrip(), file=sys.stderr)
        print(f"Signing {args.input.name} into {args.output}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
