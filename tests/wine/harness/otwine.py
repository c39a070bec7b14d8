"""otwine: runs the cross-built Windows programs under Wine for end-to-end tests.

A test script is a unittest module that ends with ``otwine.main()``. CTest starts it as

    /usr/bin/python3 script.py --bin-dir <build>/bin --arch x86|x64

``main()`` parses those two arguments into ``otwine.BIN_DIR`` (pathlib.Path) and
``otwine.ARCH`` ("x86" or "x64") and runs the tests. The 32-bit loader is ``tests/wine/wine32``
(native where the kernel runs i386 programs, else under qemu-i386); when it cannot run, main()
fails. For "x64" a missing wine64 exits 77 (skipped), as does a script whose tests were all
skipped.

Scenario: one private Wine world per test
-----------------------------------------
    with otwine.Scenario() as s:
        s.run([otwine.BIN_DIR / "otSetup.exe"], timeout=60)

On entry a Scenario makes a fresh prefix and starts its own Xvfb (``Xvfb -displayfd``, screen
1024x768x24). On exit it ends the prefix's processes (``wineserver -k``, then waits for the
server), kills every process left with the prefix's WINEPREFIX (one the server never knew of
survives it), kills Xvfb by its PID (only after the wineserver is gone: a server bound to a
vanished display hangs the next GUI program), kills whatever ``start`` left running and deletes
the prefix. On entry the prefix is booted by a command of its own (see ``boot_prefix``).
``Scenario(display=False)`` skips Xvfb for console-only tests.
``Scenario(cpu="pentium3")`` (32-bit only) runs every program of the scenario on that emulated
processor (qemu's names: "max" has AES-NI and SHA-NI, "qemu32" and "pentium3" have neither). A test process
killed outright (SIGKILL) cannot unwind; the next Scenario on the machine then ends that
scenario's wineserver and Xvfb (by the PIDs it recorded) and deletes its directory. Extra
attributes: ``s.prefix`` (Path), ``s.display`` (":N" or None), ``s.env`` (the environment of
every Wine command; the Linux variables in it reach Windows programs, except TMP/TEMP).

A fresh prefix is a copy of a template made once per build tree with ``wineboot -i`` (in
``<build>/wine-templates``, or ``$OT_WINE_TEMPLATE_DIR``), guarded by a file lock so parallel
tests neither race nor see half a template. Program files under drive_c/windows (DLLs, EXEs:
about 630 MB) are hard links to the template's; everything else (registry, profile, ini files)
is a real copy. Without a template directory every Scenario runs wineboot itself (~7 s). In the
template the profile folders that Wine links to $HOME (Desktop, Documents...) are plain
directories, so nothing a test runs can write into the Linux home directory.

Methods of a Scenario (every Wine command is bounded by a time-out):
  run(args, timeout=60, env=None, cwd=None) -> subprocess.CompletedProcess
      Runs ``wine <args>`` and waits. args[0] may be a Linux path of a .exe or a Windows
      command such as "cmd". stdout/stderr are str (UTF-8, undecodable bytes replaced); they go
      through files, not pipes, so a child that inherits them cannot keep run() waiting.
      Raises subprocess.TimeoutExpired after killing the loader.
  start(args, env=None, cwd=None) -> subprocess.Popen
      Starts ``wine <args>`` in the background; killed at exit if still running. The Popen has
      ``out_path``/``err_path`` (files with its output).
  run(..., probe=True), start(..., probe=True)
      The program (args[0], a Linux or Windows path) is started by ``otprobe run``, which
      reports its whole exit code: Wine hands only the low 8 bits to the Linux side (1618
      arrives as 82). exit_code(result) reads it from a CompletedProcess or a finished Popen.
  run(..., hidden=True), start(..., hidden=True)
      The same (``otprobe run --hidden``) in a window station of its own that is not
      interactive, as under a deployment agent in session 0: the program's windows are on a
      desktop that windows() does not list and no one sees.
  run(..., limited=True), start(..., limited=True)
      The same (``otprobe run --limited``) with the limited token linked to Wine's elevated one,
      as a standard user's shell starts a program. Combines with hidden.
  set_dpi(dpi)
      Sets the screen's dots per inch (``HKCU\Control Panel\Desktop`` ``LogPixels``) and ends
      the prefix's processes so that the next program sees it.
  reg_add(key, name, type, data, view=None); reg_delete(key, name=None, view=None) -> bool;
  reg_query(key, name, view=None) -> str | None
      Through Wine's reg.exe. key like r"HKLM\\SOFTWARE\\X"; name None means the default
      value; view None / 32 / 64 adds /reg:32 or /reg:64. reg_query returns the data as reg.exe
      prints it (REG_DWORD as "0x80ea8", REG_SZ as the text) or None when the value (or key)
      does not exist. reg_delete returns whether reg.exe reported success.
  set_windows_version(name)
      ``winecfg -v``. Names: "winxp", "vista", "win7", "win8", "win81", "win10", ... In a win64
      prefix Wine has no plain "winxp"; it is mapped to "winxp64". What programs then see
      (RtlGetNtVersionNumbers major.minor, low 16 bits of the build), checked with Wine 8.0:
        fresh prefix   6.1 build 7601 (Windows 7 SP1)
        win32 "winxp"  5.1 build 2600 (XP SP3)
        win64 "winxp"  -> "winxp64": 5.2 build 3790 (XP x64 / Server 2003 SP2)
        "vista"        6.0 build 6002 (Vista SP2)
        "win7"         6.1 build 7601
        "win8"         6.2 build 9200
        "win81"        6.3 build 9600
        "win10"        10.0 build 18362
      (Wine 8 has no "win11". GetVersionExW stops at 6.2 build 9200 from "win81" up, as on
      Windows for a program without a compatibility manifest.)
      ``windows_version()`` returns what a program sees, from otprobe.
  drive(letter, linux_dir) -> str        maps a drive letter to a Linux directory ("R:\\")
  c_drive (Path of drive_c), temp_dir (Path of the Linux side of the user's %TEMP%, asked from
      Wine once), to_windows_path(linux_path) -> str, to_linux_path(windows_path) -> Path
  windows() -> list of dicts, all top-level windows (visible or not):
      {hwnd, pid, cls, title, visible, enabled, rect:[l,t,r,b], style, exstyle, responding,
       children:[{hwnd, parent, cls, id, text, visible, enabled, rect, style, exstyle,
                  responding}]}
      children lists every descendant, depth first. Texts come from WM_GETTEXT when the
      owning thread answers within 250 ms ("responding"); for a blocked GUI thread they are
      the texts stored with the windows (exact for captions, labels and buttons; an edit
      field's may be stale), so a listing never waits on a busy program.
  wait_window(title=None, cls=None, timeout=20, visible=True, pid=None) -> window dict
      title/cls: exact text or a compiled regular expression (searched); visible None accepts
      hidden windows too. Raises TimeoutError listing the windows that were seen.
  wait_no_window(title=None, cls=None, timeout=20) ; wait_until(predicate, timeout, interval)
  child(window, cls=None, text=None, id=None) -> the first matching child dict (or None)
  click(hwnd) (BM_CLICK, posted), close(hwnd) (WM_CLOSE), set_text(hwnd, text) (WM_SETTEXT),
  key(hwnd, vk) (WM_KEYDOWN + WM_KEYUP, posted)
  screenshot(path, rect=None) -> Path  PNG of the whole screen or of rect [l, t, r, b)
  count_color(png_path, rgb, rect=None, tolerance=0) -> number of pixels of that colour
  processes() -> list of image names ("otSetup.exe"...), process_list() -> [{name, pid, ppid}]

The PNG reader and writer are pure Python (no PIL on this machine); the reader takes 8-bit
grey, RGB, palette, grey+alpha and RGBA images without interlacing, which covers what
screenshot() and ImageMagick write.
"""

from __future__ import annotations

import argparse
import fcntl
import json
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib
from pathlib import Path, PureWindowsPath

BIN_DIR: Path | None = None
ARCH: str | None = None

# The 32-bit loader is tests/wine/wine32: Debian's wine32 natively where the kernel runs i386
# programs, else the same loader under qemu-i386 in a private namespace.
WINE32 = str(Path(__file__).resolve().parent.parent / "wine32")
LOADERS = {"x86": WINE32, "x64": "/usr/lib/wine/wine64"}
WINEARCH = {"x86": "win32", "x64": "win64"}
WINESERVERS = ("/usr/lib/wine/wineserver64", "/usr/lib/wine/wineserver32")
SCREEN = "1024x768x24"
# Bound of a prefix's boot: about 5 s natively, 10-20 s emulated on a loaded machine.
BOOT_TIMEOUT = 90

# Bumped when the template's layout or preparation changes, so old templates are rebuilt.
_TEMPLATE_FORMAT = "1"
# Files under drive_c/windows with these suffixes are shared with the template by hard link.
_SHARED_SUFFIXES = {
    ".dll", ".exe", ".drv", ".sys", ".ocx", ".cpl", ".acm", ".ax", ".ds", ".tlb", ".nls",
    ".com", ".vxd", ".msstyles", ".mod", ".dll16", ".exe16", ".ttf", ".fon", ".ttc",
}


# ---------------------------------------------------------------------------------------------
# Wine installation facts


def loader_for(arch: str) -> str:
    return LOADERS[arch]


def loader_runs(loader: str, env: dict | None = None) -> bool:
    """Whether this machine can execute the loader (the 64-bit one needs wine64; the 32-bit one
    native i386 support or the emulator that scripts/bootstrap.sh provides)."""
    try:
        done = subprocess.run([loader, "--version"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=60, env=env)
    except (OSError, subprocess.TimeoutExpired):
        return False
    return done.returncode == 0


def wineserver() -> str:
    for candidate in WINESERVERS:
        if os.access(candidate, os.X_OK):
            return candidate
    return "wineserver"


def base_env(prefix: Path, loader: str, display: str | None, cpu: str | None = None) -> dict:
    env = dict(os.environ)
    if cpu:
        # The 32-bit loader then runs every program of the prefix on an emulated processor.
        env.update({"OT_WINE32_EMULATE": "1", "QEMU_CPU": cpu})
    # Wine keeps its server socket directory under TMPDIR; beside the prefix it goes when the
    # scenario's folder is removed, instead of piling up in /tmp.
    unix_tmp = prefix.parent / "unix-tmp"
    unix_tmp.mkdir(parents=True, exist_ok=True)
    env.update({
        "TMPDIR": str(unix_tmp),
        "WINEPREFIX": str(prefix),
        "WINEARCH": "win64" if loader.endswith("64") else "win32",
        "WINEDEBUG": "-all",
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
        "WINELOADER": loader,
        "DISPLAY": display or "",
    })
    return env


def end_prefix(env: dict) -> None:
    """Ends every process of the prefix and waits until its wineserver has gone."""
    server = wineserver()
    for flag in ("-k", "-w"):
        try:
            subprocess.run([server, flag], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=20)
        except subprocess.TimeoutExpired:
            pass


def _self_and_ancestors() -> set[int]:
    chain, pid = set(), os.getpid()
    while pid > 1 and pid not in chain:
        chain.add(pid)
        try:
            pid = int(Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            break
    return chain


def prefix_processes(prefix: Path) -> list[tuple[int, str]]:
    """The Linux processes of a prefix, found by the WINEPREFIX in their environment (a process
    the wineserver never heard of, such as a child stuck between fork and exec, is found too),
    except this process and its ancestors, which may carry it too (wine-run.sh exports it):
    (PID, "state kernel-wait command line")."""
    wanted = f"WINEPREFIX={prefix}".encode()
    found, spared = [], _self_and_ancestors()
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit() or int(entry.name) in spared:
            continue
        try:
            if wanted not in (entry / "environ").read_bytes().split(b"\0"):
                continue
            state = (entry / "stat").read_text().rsplit(")", 1)[1].split()[0]
            wchan = (entry / "wchan").read_text().strip() or "-"
            command = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode(
                "utf-8", "replace").strip()
        except OSError:
            continue
        found.append((int(entry.name), f"{state} {wchan} {command}"))
    return sorted(found)


def kill_prefix_processes(prefix: Path) -> list[str]:
    """Kills what is left of a prefix after its wineserver has ended everything it knew of;
    returns a line for each process it found."""
    left = prefix_processes(prefix)
    for pid, _ in left:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    return [f"{pid} {text}" for pid, text in left]


_road: dict[str, str] = {}


def emulated(loader: str, env: dict | None = None) -> bool:
    """Whether programs of this loader, started with env (default: this process's), run on
    qemu-i386: wine32 --probe, asked once per OT_WINE32_EMULATE setting."""
    if loader != WINE32:
        return False
    env = os.environ if env is None else env
    forced = env.get("OT_WINE32_EMULATE", "")
    if forced not in _road:
        try:
            _road[forced] = subprocess.run([loader, "--probe"], capture_output=True, text=True,
                                           timeout=60, env=env).stdout.strip()
        except (OSError, subprocess.TimeoutExpired):
            _road[forced] = "unavailable"
    return _road[forced] == "emulated"


def report_hang(prefix: Path, command, timeout: float, printed: str | None = None) -> None:
    """A command that outlives its bound is reported with what it printed and what else ran in
    the prefix, before it is killed, so that a hang seen once can be understood."""
    said = "" if printed is None else f"otwine: its standard error so far:\n{printed}\n"
    print(f"otwine: {' '.join(map(str, command))} still running after {timeout} s\n{said}"
          "otwine: processes of the prefix:\n"
          + "\n".join(f"{pid} {text}" for pid, text in prefix_processes(prefix)),
          file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------------------------
# Prefix template


def _template_stamp(loader: str) -> str:
    version = subprocess.run([loader, "--version"], capture_output=True, text=True,
                             timeout=30).stdout.strip()
    inf = Path("/usr/share/wine/wine.inf")
    inf_time = int(inf.stat().st_mtime) if inf.exists() else 0
    return f"{_TEMPLATE_FORMAT} {loader} {version} {inf_time}\n"


def _boot_prefix(prefix: Path, loader: str) -> None:
    env = base_env(prefix, loader, None)
    try:
        done = subprocess.run([loader, "wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=180)
    finally:
        end_prefix(env)
        kill_prefix_processes(prefix)
    if done.returncode != 0 or not (prefix / "system.reg").exists():
        raise RuntimeError(f"wineboot failed for {prefix} (exit {done.returncode})")


def _detach_home_links(prefix: Path) -> None:
    """Wine links the profile's Desktop, Documents... to $HOME; make them plain folders."""
    users = prefix / "drive_c" / "users"
    for profile in users.iterdir() if users.is_dir() else ():
        for entry in profile.iterdir():
            if entry.is_symlink():
                entry.unlink()
                entry.mkdir()


def _copy_prefix(source: Path, dest: Path) -> None:
    windows_dir = source / "drive_c" / "windows"

    def link_or_copy(src: str, dst: str) -> None:
        path = Path(src)
        if path.suffix.lower() in _SHARED_SUFFIXES and windows_dir in path.parents:
            try:
                os.link(src, dst)
                return
            except OSError:
                pass
        shutil.copy2(src, dst)

    shutil.copytree(source, dest, symlinks=True, copy_function=link_or_copy)


def new_prefix(dest: Path, loader: str, template_dir: Path | None) -> None:
    """Makes a fresh, booted prefix at dest (which must not exist yet)."""
    dest = Path(dest)
    if template_dir is None:
        _boot_prefix(dest, loader)
        return
    template_dir = Path(template_dir)
    template_dir.mkdir(parents=True, exist_ok=True)
    arch = "win64" if loader.endswith("64") else "win32"
    home = template_dir / arch
    stamp = _template_stamp(loader)
    with open(template_dir / f"{arch}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        stamp_file = home / "stamp"
        if not stamp_file.exists() or stamp_file.read_text() != stamp:
            building = template_dir / f"{arch}.build-{os.getpid()}"
            shutil.rmtree(building, ignore_errors=True)
            try:
                building.mkdir()
                _boot_prefix(building / "prefix", loader)
                _detach_home_links(building / "prefix")
                (building / "stamp").write_text(stamp)
                shutil.rmtree(home, ignore_errors=True)
                building.rename(home)
            finally:
                shutil.rmtree(building, ignore_errors=True)
        _copy_prefix(home / "prefix", dest)


def boot_prefix(prefix: Path, loader: str, env: dict, template_dir: Path | None,
                timeout_for=lambda attempt: BOOT_TIMEOUT) -> None:
    """Starts the prefix's wineserver and Wine's boot (wineboot, services.exe and the services
    it starts) with a harmless command, so that the first command of a test does not carry it.

    On the emulated road qemu-i386 now and then deadlocks in a child process between fork and
    exec (seen as a stray services.exe with two threads waiting on qemu's own locks, unknown to
    the wineserver); the boot then never ends and every program of the prefix waits for it.
    There, and only for this step, a boot that does not end within its bound is reported and
    done once more in a fresh copy of the prefix (new_prefix with the same template). Natively
    a hung boot raises subprocess.TimeoutExpired."""
    command = [loader, "cmd", "/c", "exit"]
    attempts = 2 if emulated(loader, env) else 1
    for attempt in range(1, attempts + 1):
        timeout = timeout_for(attempt)
        # Output to DEVNULL, not a pipe: the services the boot starts keep what they inherit.
        proc = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            code = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            report_hang(prefix, command, timeout)
            proc.kill()
            proc.wait()
            if attempt == attempts:
                raise
            print(f"otwine: the boot of {prefix} hung under emulation; ending it and booting a "
                  "fresh copy", file=sys.stderr, flush=True)
            end_prefix(env)
            kill_prefix_processes(prefix)
            shutil.rmtree(prefix)
            new_prefix(prefix, loader, template_dir)
            continue
        if code != 0:
            raise RuntimeError(f"booting {prefix} failed with exit code {code}")
        return


def default_template_dir() -> Path | None:
    configured = os.environ.get("OT_WINE_TEMPLATE_DIR")
    if configured:
        return Path(configured)
    if BIN_DIR is not None:
        return BIN_DIR.parent / "wine-templates"
    return None


# ---------------------------------------------------------------------------------------------
# PNG and PPM


def _png_chunk(kind: bytes, data: bytes) -> bytes:
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def write_png(path: Path, width: int, height: int, rgb: bytes) -> None:
    """Writes 8-bit RGB rows (3 * width bytes each) as a PNG with filter 0 on every row."""
    stride = 3 * width
    raw = b"".join(b"\0" + rgb[y * stride:(y + 1) * stride] for y in range(height))
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(_png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        out.write(_png_chunk(b"IDAT", zlib.compress(raw, 6)))
        out.write(_png_chunk(b"IEND", b""))


def _paeth(a: int, b: int, c: int) -> int:
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def read_png(path: Path) -> tuple[int, int, bytes]:
    """Returns (width, height, RGB bytes) of a non-interlaced PNG."""
    data = Path(path).read_bytes()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError(f"{path}: not a PNG file")
    pos, idat, palette, header = 8, [], b"", None
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if len(body) != length:
            raise ValueError(f"{path}: truncated chunk")
        pos += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"PLTE":
            palette = body
        elif kind == b"IDAT":
            idat.append(body)
        elif kind == b"IEND":
            break
    if header is None:
        raise ValueError(f"{path}: no IHDR")
    width, height, depth, color, _, _, interlace = header
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}.get(color)
    if channels is None or interlace or (depth != 8 and not (color in (0, 3) and depth in (1, 2, 4))):
        raise ValueError(f"{path}: unsupported PNG (colour type {color}, depth {depth}, "
                         f"interlace {interlace})")
    raw = zlib.decompress(b"".join(idat))
    bits_per_pixel = channels * depth
    stride = (width * bits_per_pixel + 7) // 8
    bpp = max(1, bits_per_pixel // 8)
    rows, prev, pos = [], bytearray(stride), 0
    for _ in range(height):
        kind = raw[pos]
        line = bytearray(raw[pos + 1:pos + 1 + stride])
        pos += 1 + stride
        if kind == 1:
            for i in range(bpp, stride):
                line[i] = (line[i] + line[i - bpp]) & 0xFF
        elif kind == 2:
            for i in range(stride):
                line[i] = (line[i] + prev[i]) & 0xFF
        elif kind == 3:
            for i in range(stride):
                left = line[i - bpp] if i >= bpp else 0
                line[i] = (line[i] + ((left + prev[i]) >> 1)) & 0xFF
        elif kind == 4:
            for i in range(stride):
                left = line[i - bpp] if i >= bpp else 0
                upper_left = prev[i - bpp] if i >= bpp else 0
                line[i] = (line[i] + _paeth(left, prev[i], upper_left)) & 0xFF
        elif kind != 0:
            raise ValueError(f"{path}: bad filter type {kind}")
        rows.append(bytes(line))
        prev = line
    out = bytearray()
    for line in rows:
        if depth < 8:
            per_byte = 8 // depth
            mask = (1 << depth) - 1
            samples = [(line[x // per_byte] >> (8 - depth * (x % per_byte + 1))) & mask
                       for x in range(width)]
            if color == 0:
                scale = 255 // mask
                for v in samples:
                    out += bytes((v * scale,) * 3)
            else:
                for v in samples:
                    out += palette[3 * v:3 * v + 3]
        elif color == 2:
            out += line
        elif color == 6:
            del line[3::4]
            out += line
        elif color == 0:
            out += bytes(v for v in line for _ in range(3))
        elif color == 4:
            out += bytes(v for v in line[0::2] for _ in range(3))
        else:
            for v in line:
                out += palette[3 * v:3 * v + 3]
    return width, height, bytes(out)


def _clip(rect, width: int, height: int) -> tuple[int, int, int, int]:
    if rect is None:
        return 0, 0, width, height
    left, top, right, bottom = (int(v) for v in rect)
    left, top = max(0, left), max(0, top)
    right, bottom = min(width, right), min(height, bottom)
    return left, top, max(left, right), max(top, bottom)


def crop(width: int, height: int, rgb: bytes, rect) -> tuple[int, int, bytes]:
    left, top, right, bottom = _clip(rect, width, height)
    rows = [rgb[(y * width + left) * 3:(y * width + right) * 3] for y in range(top, bottom)]
    return right - left, bottom - top, b"".join(rows)


def _parse_rgb(rgb) -> tuple[int, int, int]:
    if isinstance(rgb, str):
        text = rgb.lstrip("#")
        return int(text[0:2], 16), int(text[2:4], 16), int(text[4:6], 16)
    r, g, b = rgb
    return int(r), int(g), int(b)


def count_color(png_path, rgb, rect=None, tolerance: int = 0) -> int:
    """Pixels of a PNG (or of rect [l, t, r, b) in it) whose colour is rgb, each channel
    within tolerance. rgb is (r, g, b) or "#rrggbb"."""
    width, height, pixels = read_png(Path(png_path))
    width, height, pixels = crop(width, height, pixels, rect)
    r, g, b = _parse_rgb(rgb)
    if tolerance == 0:
        return sum(1 for i in range(0, len(pixels), 3)
                   if pixels[i] == r and pixels[i + 1] == g and pixels[i + 2] == b)
    return sum(1 for i in range(0, len(pixels), 3)
               if abs(pixels[i] - r) <= tolerance and abs(pixels[i + 1] - g) <= tolerance
               and abs(pixels[i + 2] - b) <= tolerance)


def _parse_ppm(data: bytes) -> tuple[int, int, bytes]:
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos) + 1
            continue
        end = pos
        while end < len(data) and not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    if fields[0] != b"P6" or int(fields[3]) != 255:
        raise ValueError("screenshot: expected an 8-bit binary PPM")
    width, height = int(fields[1]), int(fields[2])
    pixels = data[pos + 1:pos + 1 + 3 * width * height]
    if len(pixels) != 3 * width * height:
        raise ValueError("screenshot: truncated PPM")
    return width, height, pixels


# ---------------------------------------------------------------------------------------------
# Scenario


def exit_code(result) -> int:
    """The whole exit code of a program run through otprobe (probe, hidden or limited; the last
    "otprobe: exit code N" line of its output), else the Linux exit status."""
    if isinstance(result, subprocess.CompletedProcess):
        out, status = result.stdout, result.returncode
    else:
        out = Path(result.out_path).read_bytes().decode("utf-8", "replace")
        status = result.returncode
    reported = re.findall(r"^otprobe: exit code (\d+)\r?$", out, re.MULTILINE)
    return int(reported[-1]) if reported else status


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _reap_abandoned() -> None:
    """Cleans up after scenarios whose test process was killed outright (SIGKILL gives no chance
    to unwind): ends that prefix's wineserver, ends its Xvfb by the PID it recorded (after
    checking that the PID still is an Xvfb) and deletes the directory."""
    for root in Path(tempfile.gettempdir()).glob("otwine-*"):
        try:
            owner = json.loads((root / "owner.json").read_text())
        except (OSError, ValueError):
            continue
        if _alive(int(owner.get("pid", 0))):
            continue
        prefix = root / "prefix"
        if (prefix / "system.reg").exists():
            end_prefix(base_env(prefix, owner.get("loader", LOADERS["x64"]), None))
        kill_prefix_processes(prefix)
        xvfb = owner.get("xvfb")
        if xvfb and _alive(xvfb):
            try:
                command = Path(f"/proc/{xvfb}/cmdline").read_bytes().split(b"\0")[0]
            except OSError:
                command = b""
            if os.path.basename(command) == b"Xvfb":
                os.kill(xvfb, signal.SIGTERM)
        shutil.rmtree(root, ignore_errors=True)


def _matches(value: str, wanted) -> bool:
    if wanted is None:
        return True
    if isinstance(wanted, re.Pattern):
        return wanted.search(value) is not None
    return value == wanted


class Scenario:
    """A private Wine prefix with its own X display; see the module documentation."""

    def __init__(self, display: bool = True, arch: str | None = None, cpu: str | None = None):
        self.arch = arch or ARCH or "x86"
        self.loader = loader_for(self.arch)
        if cpu and self.arch != "x86":
            raise ValueError("an emulated processor is for the 32-bit loader only")
        self.cpu = cpu
        self._want_display = display
        self.root: Path | None = None
        self.prefix: Path | None = None
        self.display: str | None = None
        self.env: dict = {}
        self._xvfb: subprocess.Popen | None = None
        self._started: list[subprocess.Popen] = []
        self._temp_dir: Path | None = None
        self._serial = 0

    # -- life cycle ------------------------------------------------------------------------

    def __enter__(self) -> "Scenario":
        if self.cpu:
            probe = dict(os.environ, OT_WINE32_EMULATE="1", QEMU_CPU=self.cpu)
            if not loader_runs(self.loader, probe):
                raise RuntimeError(f"{self.loader} cannot emulate a '{self.cpu}' processor here "
                                   "(scripts/bootstrap.sh provides qemu-i386)")
        elif not loader_runs(self.loader):
            raise unittest.SkipTest(f"{self.loader} cannot run on this machine")
        _reap_abandoned()
        self.root = Path(tempfile.mkdtemp(prefix="otwine-"))
        try:
            self._write_owner()
            self.prefix = self.root / "prefix"
            new_prefix(self.prefix, self.loader, default_template_dir())
            if self._want_display:
                self._start_xvfb()
                self._write_owner()
            self.env = base_env(self.prefix, self.loader, self.display, self.cpu)
            boot_prefix(self.prefix, self.loader, self.env, default_template_dir(),
                        self._boot_timeout)
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _boot_timeout(self, attempt: int) -> float:
        return BOOT_TIMEOUT

    def __exit__(self, *exc) -> None:
        if self.env:
            end_prefix(self.env)
            left = kill_prefix_processes(self.prefix)
            if left:
                print("otwine: killed processes of the prefix that outlived its wineserver:\n"
                      + "\n".join(left), file=sys.stderr, flush=True)
        for proc in self._started:
            if proc.poll() is None:
                proc.kill()
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        self._started.clear()
        if self._xvfb is not None:
            self._xvfb.terminate()
            try:
                self._xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._xvfb.kill()
                self._xvfb.wait(timeout=10)
            self._xvfb = None
        if self.root is not None:
            shutil.rmtree(self.root, ignore_errors=True)
            self.root = None

    def _write_owner(self) -> None:
        owner = {"pid": os.getpid(), "loader": self.loader,
                 "xvfb": self._xvfb.pid if self._xvfb is not None else None}
        (self.root / "owner.json").write_text(json.dumps(owner))

    def _start_xvfb(self) -> None:
        read_end, write_end = os.pipe()
        try:
            self._xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", SCREEN, "-nolisten", "tcp",
                 "-noreset"],
                pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL)
            os.close(write_end)
            write_end = -1
            text = b""
            deadline = time.monotonic() + 20
            while not text.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([read_end], [], [], left)[0]:
                    raise RuntimeError("Xvfb did not report its display in time")
                chunk = os.read(read_end, 64)
                if not chunk:
                    raise RuntimeError("Xvfb ended before reporting its display")
                text += chunk
            self.display = ":" + text.decode().strip()
        finally:
            os.close(read_end)
            if write_end >= 0:
                os.close(write_end)

    # -- running programs ------------------------------------------------------------------

    def _command(self, args) -> list[str]:
        return [self.loader] + [str(a) for a in args]

    def _env(self, env: dict | None) -> dict:
        merged = dict(self.env)
        if env:
            merged.update({k: str(v) for k, v in env.items()})
        return merged

    def _output_files(self, tag: str) -> tuple[Path, Path]:
        self._serial += 1
        return (self.root / f"{tag}-{self._serial}.out", self.root / f"{tag}-{self._serial}.err")

    def _through_probe(self, args, probe: bool, hidden: bool, limited: bool) -> list:
        if not (probe or hidden or limited):
            return args
        program = args[0]
        if isinstance(program, Path) or str(program).startswith("/"):
            program = self.to_windows_path(program)
        options = (["--limited"] if limited else []) + (["--hidden"] if hidden else [])
        return [BIN_DIR / "otprobe.exe", "run", *options, program, *args[1:]]

    def run(self, args, timeout: float = 60, env: dict | None = None, cwd=None,
            probe: bool = False, hidden: bool = False,
            limited: bool = False) -> subprocess.CompletedProcess:
        command = self._command(self._through_probe(args, probe, hidden, limited))
        out_path, err_path = self._output_files("run")
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                    env=self._env(env), cwd=cwd)
            try:
                code = proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                try:
                    printed = err_path.read_bytes().decode("utf-8", "replace")[-4000:]
                except OSError:
                    printed = ""
                report_hang(self.prefix, command, timeout, printed)
                proc.kill()
                proc.wait()
                raise
        return subprocess.CompletedProcess(
            command, code, out_path.read_bytes().decode("utf-8", "replace"),
            err_path.read_bytes().decode("utf-8", "replace"))

    def start(self, args, env: dict | None = None, cwd=None, probe: bool = False,
              hidden: bool = False, limited: bool = False) -> subprocess.Popen:
        command = self._command(self._through_probe(args, probe, hidden, limited))
        out_path, err_path = self._output_files("start")
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                    env=self._env(env), cwd=cwd)
        proc.out_path, proc.err_path = out_path, err_path
        self._started.append(proc)
        return proc

    def _checked(self, args, timeout: float = 60) -> subprocess.CompletedProcess:
        done = self.run(args, timeout=timeout)
        if done.returncode != 0:
            raise RuntimeError(f"{' '.join(map(str, args))} failed with exit code "
                               f"{done.returncode}: {done.stderr.strip()}")
        return done

    # -- registry and version --------------------------------------------------------------

    @staticmethod
    def _view(view) -> list[str]:
        return [] if view is None else [f"/reg:{int(view)}"]

    @staticmethod
    def _value(name) -> list[str]:
        return ["/ve"] if name is None else ["/v", name]

    def reg_add(self, key: str, name, type: str, data, view=None) -> None:
        self._checked(["reg", "add", key, *self._value(name), "/t", type, "/d", str(data), "/f",
                       *self._view(view)])

    def reg_delete(self, key: str, name=None, view=None) -> bool:
        value = [] if name is None else ["/v", name]
        return self.run(["reg", "delete", key, *value, "/f", *self._view(view)]).returncode == 0

    def reg_query(self, key: str, name, view=None) -> str | None:
        done = self.run(["reg", "query", key, *self._value(name), *self._view(view)])
        if done.returncode != 0:
            return None
        shown = "(Default)" if name is None else name
        for line in done.stdout.splitlines():
            fields = re.match(r"\s+(.*?)\s+(REG_[A-Z_]+)\s?(.*)$", line)
            if fields and fields.group(1).lower() == shown.lower():
                return fields.group(3).strip()
        return None

    def set_windows_version(self, name: str) -> None:
        if self.arch == "x64" and name == "winxp":
            name = "winxp64"
        self._checked(["winecfg", "-v", name])

    def set_dpi(self, dpi: int) -> None:
        self.reg_add(r"HKCU\Control Panel\Desktop", "LogPixels", "REG_DWORD", str(dpi))
        end_prefix(self.env)

    def windows_version(self) -> dict:
        """{"rtl": [major, minor, raw build], "build": low 16 bits, "getversion": [...],
        "servicepack": [major, minor], "csd": text} as a program sees them."""
        return json.loads(self._probe("version").stdout)

    # -- paths and drives ------------------------------------------------------------------

    @property
    def c_drive(self) -> Path:
        return self.prefix / "drive_c"

    def _drives(self) -> dict[str, Path]:
        drives = {}
        dosdevices = self.prefix / "dosdevices"
        for entry in dosdevices.iterdir():
            if len(entry.name) == 2 and entry.name[1] == ":" and entry.is_symlink():
                target = Path(os.readlink(entry))
                if not target.is_absolute():
                    target = dosdevices / target
                drives[entry.name[0].upper()] = Path(os.path.normpath(target))
        return drives

    def drive(self, letter: str, linux_dir) -> str:
        link = self.prefix / "dosdevices" / f"{letter.lower()}:"
        if link.is_symlink() or link.exists():
            link.unlink()
        link.symlink_to(Path(linux_dir).resolve())
        return f"{letter.upper()}:\\"

    def to_windows_path(self, linux_path) -> str:
        path = Path(os.path.normpath(os.path.abspath(linux_path)))
        best = None
        for letter, target in self._drives().items():
            for root in {target, Path(os.path.realpath(target))}:
                if path == root or root in path.parents:
                    depth = len(root.parts)
                    if best is None or depth > best[0]:
                        best = (depth, letter, path.relative_to(root))
        if best is None:
            raise ValueError(f"{linux_path} is on no drive of this prefix")
        rel = "\\".join(best[2].parts)
        return f"{best[1]}:\\{rel}"

    def to_linux_path(self, windows_path: str) -> Path:
        path = PureWindowsPath(windows_path)
        drive = path.drive.rstrip(":").upper()
        target = self._drives().get(drive)
        if target is None:
            raise ValueError(f"{windows_path}: drive {drive}: is not mapped")
        return target.joinpath(*path.parts[1:])

    @property
    def temp_dir(self) -> Path:
        if self._temp_dir is None:
            done = self._checked(["cmd", "/c", "echo", "%TEMP%"])
            self._temp_dir = self.to_linux_path(done.stdout.strip())
        return self._temp_dir

    # -- windows and processes -------------------------------------------------------------

    def _probe(self, *args, timeout: float = 30) -> subprocess.CompletedProcess:
        if BIN_DIR is None:
            raise RuntimeError("otwine.BIN_DIR is not set (run the script through otwine.main)")
        probe = BIN_DIR / "otprobe.exe"
        if not probe.exists():
            raise FileNotFoundError(f"{probe} has not been built")
        return self.run([probe, *args], timeout=timeout)

    def windows(self) -> list[dict]:
        done = self._probe("list")
        if done.returncode != 0:
            raise RuntimeError(f"otprobe list failed: {done.stderr.strip()}")
        return json.loads(done.stdout)

    def _find_window(self, windows, title, cls, visible, pid):
        for window in windows:
            if (_matches(window["title"], title) and _matches(window["cls"], cls)
                    and (visible is None or window["visible"] == visible)
                    and (pid is None or window["pid"] == pid)):
                return window
        return None

    def wait_window(self, title=None, cls=None, timeout: float = 20, visible=True,
                    pid=None) -> dict:
        deadline = time.monotonic() + timeout
        while True:
            seen = self.windows()
            found = self._find_window(seen, title, cls, visible, pid)
            if found is not None:
                return found
            if time.monotonic() >= deadline:
                listing = ", ".join(f"{w['title']!r}/{w['cls']}{'' if w['visible'] else ' (hidden)'}"
                                    for w in seen)
                raise TimeoutError(f"no window title={title!r} cls={cls!r} after {timeout} s; "
                                   f"seen: {listing}")
            time.sleep(0.3)

    def wait_no_window(self, title=None, cls=None, timeout: float = 20) -> None:
        self.wait_until(lambda: self._find_window(self.windows(), title, cls, None, None) is None,
                        timeout, what=f"window title={title!r} cls={cls!r} to go")

    def wait_until(self, predicate, timeout: float = 20, interval: float = 0.3,
                   what: str = "condition"):
        deadline = time.monotonic() + timeout
        while True:
            result = predicate()
            if result:
                return result
            if time.monotonic() >= deadline:
                raise TimeoutError(f"timed out after {timeout} s waiting for {what}")
            time.sleep(interval)

    @staticmethod
    def child(window: dict, cls=None, text=None, id=None) -> dict | None:
        for c in window["children"]:
            if _matches(c["cls"], cls) and _matches(c["text"], text) and (id is None or c["id"] == id):
                return c
        return None

    def _act(self, *args) -> None:
        done = self._probe(*args)
        if done.returncode != 0:
            raise RuntimeError(f"otprobe {' '.join(map(str, args))} failed: {done.stderr.strip()}")

    def click(self, hwnd: int) -> None:
        self._act("click", str(hwnd))

    def close(self, hwnd: int) -> None:
        self._act("close", str(hwnd))

    def set_text(self, hwnd: int, text: str) -> None:
        self._act("settext", str(hwnd), text)

    def key(self, hwnd: int, vk: int) -> None:
        self._act("key", str(hwnd), str(vk))

    def process_list(self) -> list[dict]:
        done = self._probe("procs")
        if done.returncode != 0:
            raise RuntimeError(f"otprobe procs failed: {done.stderr.strip()}")
        return json.loads(done.stdout)

    def processes(self) -> list[str]:
        return [p["name"] for p in self.process_list()]

    # -- screen ----------------------------------------------------------------------------

    def screenshot(self, path, rect=None) -> Path:
        if self.display is None:
            raise RuntimeError("this Scenario has no display")
        done = subprocess.run(["import", "-display", self.display, "-window", "root", "-depth", "8",
                               "ppm:-"],
                              capture_output=True, timeout=30)
        if done.returncode != 0:
            raise RuntimeError(f"import failed: {done.stderr.decode(errors='replace').strip()}")
        width, height, pixels = _parse_ppm(done.stdout)
        width, height, pixels = crop(width, height, pixels, rect)
        path = Path(path)
        write_png(path, width, height, pixels)
        return path

    @staticmethod
    def count_color(png_path, rgb, rect=None, tolerance: int = 0) -> int:
        return count_color(png_path, rgb, rect, tolerance)


# ---------------------------------------------------------------------------------------------
# Entry points


def main() -> None:
    """Entry point of a test script: parses --bin-dir/--arch, skips (77) when Wine cannot run
    that architecture here, runs the unittest tests of __main__."""
    global BIN_DIR, ARCH
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True, type=Path)
    parser.add_argument("--arch", required=True, choices=sorted(LOADERS))
    options, rest = parser.parse_known_args()
    BIN_DIR, ARCH = options.bin_dir.resolve(), options.arch
    # CTest ends a test that runs too long with SIGTERM: unwind, so every Scenario cleans up.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    if not loader_runs(loader_for(ARCH)):
        if ARCH == "x86":
            # The shipped binaries are 32-bit: their tests must never pass by being skipped.
            print(f"error: {loader_for(ARCH)} cannot run here; run scripts/bootstrap.sh",
                  file=sys.stderr)
            sys.exit(1)
        print(f"skipped: {loader_for(ARCH)} cannot run on this machine", file=sys.stderr)
        sys.exit(77)
    program = unittest.main(module="__main__", argv=[sys.argv[0], *rest], exit=False,
                            verbosity=2)
    result = program.result
    if not result.wasSuccessful():
        sys.exit(1)
    if result.testsRun > 0 and len(result.skipped) == result.testsRun:
        sys.exit(77)
    sys.exit(0)


def _cli() -> int:
    parser = argparse.ArgumentParser(description="otwine helper commands")
    commands = parser.add_subparsers(dest="command", required=True)
    make = commands.add_parser("new-prefix", help="make a fresh booted prefix")
    make.add_argument("--loader", required=True)
    make.add_argument("--dest", required=True, type=Path)
    make.add_argument("--template-dir", type=Path)
    make.add_argument("--boot", action="store_true",
                      help="then boot it with this process's environment (see boot_prefix)")
    leftovers = commands.add_parser(
        "kill-leftovers", help="kill the processes of a prefix that outlived its wineserver "
        "(this command's own ancestors are spared)")
    leftovers.add_argument("--prefix", required=True, type=Path)
    options = parser.parse_args()
    if options.command == "new-prefix":
        new_prefix(options.dest, options.loader, options.template_dir)
        if options.boot:
            boot_prefix(options.dest, options.loader, dict(os.environ), options.template_dir)
    elif options.command == "kill-leftovers":
        left = kill_prefix_processes(options.prefix)
        if left:
            print("otwine: killed processes of the prefix that outlived its wineserver:\n"
                  + "\n".join(left), file=sys.stderr)
    return 0


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(_cli())
