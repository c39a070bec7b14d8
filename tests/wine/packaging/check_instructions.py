"""Checks that a 32-bit Windows program uses no instruction a Pentium III lacks.

The launcher must load on Windows XP machines and show its refusal page there, and many of them
have processors without SSE2. The compiler's default for i686 is the Pentium Pro with x87
floating point, but a library, a flag or an intrinsic could still bring newer instructions in.
This disassembles every executable section (objdump) and reports each instruction that touches
an SSE register (xmm, ymm, zmm: the launcher needs none, so even SSE1 is reported) or is one of
the SSE2-and-later extras that use none (fences, cache flushes, non-temporal stores).

    check_instructions.py OBJDUMP FILE [--expect-found]

Exit status 0 when FILE is clean (with --expect-found: when something was found, which is how
the check proves it can fail), 1 otherwise.
"""
import re
import subprocess
import sys

# Not listed: tzcnt, which is how objdump shows GCC's "rep bsf" (a plain bsf on older
# processors), and rdrand/rdseed, which libstdc++'s random_device runs only after asking CPUID.
BEYOND_PENTIUM_III = re.compile(
    r"%[xyz]mm\d|\b(mfence|lfence|clflush\w*|movnti|monitor|mwait|popcnt|lzcnt|crc32|movbe)\b")


def findings(objdump: str, path: str) -> list[str]:
    listing = subprocess.run([objdump, "-d", "--no-show-raw-insn", path], capture_output=True,
                             text=True, check=True, timeout=300).stdout
    found = []
    for line in listing.splitlines():
        if ":\t" in line and BEYOND_PENTIUM_III.search(line.split(":\t", 1)[1]):
            found.append(line.strip())
    if "file format pei-i386" not in listing:
        raise SystemExit(f"{path}: not a 32-bit Windows image")
    return found


def main() -> int:
    if len(sys.argv) not in (3, 4) or (len(sys.argv) == 4 and sys.argv[3] != "--expect-found"):
        print(__doc__, file=sys.stderr)
        return 2
    objdump, path = sys.argv[1], sys.argv[2]
    found = findings(objdump, path)
    print(f"{path}: {len(found)} instruction(s) beyond a Pentium III")
    for line in found[:20]:
        print("  " + line)
    if len(sys.argv) == 4:
        return 0 if found else 1
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
