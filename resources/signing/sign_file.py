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
signing sets (checksum, certificate table entry), exactly the bytes of INPUT. OUTPUT appears only
when all of that holds; a failure removes any earlier OUTPUT (nothing stale ships), prints what
failed and the signer's own output, and exits 1.

No password or PIN passes through here: osslsigncode reads it from a file (-readpass).
"""

from __future__ import annotations

import argparse
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
