"""Faults the launcher survives end to end under Wine: the disk fills while the archive is
written, the setup program is killed while the launcher waits on it, the launcher itself is
killed (and the next run's sweep of its folder meets folders swapped for links), and the clean-up
meets a read-only file or directory links in the working directory.

Each test reports what a run left behind on stderr ("left behind: ..."), so the CTest log keeps
the figures."""

from __future__ import annotations

import contextlib
import ctypes
import os
import re
import select
import signal
import sys
import threading
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "launcher"))

import otwine  # noqa: E402
from launcher_scenarios import (EXTRACTION_FAILED, MARKER_KEY, MARKER_NAME,  # noqa: E402
                                demo_env, install, main_window, page_state, read_record,
                                red_pixels, set_dotnet, start_launcher, tmpfs, tree, wait_exit,
                                working_dirs)

SETUP_TITLE = "Orvane Tessaly Setup (demo)"
SETUP_MUTEX = "Global\\Orvane Tessaly Setup Mutex"
LAUNCHER_MUTEX = "Orvane Tessaly Setup Launcher 32"
MUTEX_ABSENT = 0  # exit code of ot_mutex_probe
# The launcher hides its window and pauses 3 s before its first attempt to open the setup
# mutex; this much after the setup program's window appeared, the launcher is in its wait.
IN_THE_WAIT_SECONDS = 6


def report(what: str, items) -> None:
    print(f"left behind: {what}: {list(items)}", file=sys.stderr)


def kill_windows_process(s: otwine.Scenario, image: str) -> None:
    """Ends the one running process of that image name by its process id, as Task Manager does
    (TerminateProcess: no clean-up code of the program runs)."""
    pids = [p["pid"] for p in s.process_list() if p["name"].lower() == image.lower()]
    if len(pids) != 1:
        raise AssertionError(f"expected one {image}, saw {s.process_list()}")
    done = s.run(["taskkill", "/F", "/PID", str(pids[0])], timeout=30)
    if done.returncode != 0:
        raise AssertionError(f"taskkill failed: {done.stdout} {done.stderr}")
    s.wait_until(lambda: image.lower() not in (p.lower() for p in s.processes()), timeout=20,
                 what=f"{image} to end")


def mutex_state(s: otwine.Scenario, name: str) -> int:
    return s.run([otwine.BIN_DIR / "ot_mutex_probe.exe", name], timeout=60).returncode


def product_processes(s: otwine.Scenario) -> list[str]:
    return [p for p in s.processes() if p.lower().startswith(("orvane", "otsetup"))]


class FullDisk(unittest.TestCase):
    def test_disk_fills_while_the_archive_is_written(self):
        library = (otwine.BIN_DIR / "OrvUnzip.dll").stat().st_size
        archive = (otwine.BIN_DIR.parent / "tests" / "wine" / "faults" / "big.zip").stat().st_size
        # Room for the library and its directory, not for the archive.
        size_kib = (library + 256 * 1024) // 4096 * 4 + 4
        self.assertLess(size_kib * 1024 * 2, archive)
        with tmpfs(f"size={size_kib}k") as disk, otwine.Scenario() as s:
            s.drive("q", disk)
            s.reg_add(r"HKCU\Environment", "TEMP", "REG_SZ", "Q:\\")
            s.reg_add(r"HKCU\Environment", "TMP", "REG_SZ", "Q:\\")
            set_dotnet(s)
            exe = install(s, exe="otSetup_bigarchive.exe")
            proc = start_launcher(s, exe)
            window = main_window(s, timeout=90)
            state = page_state(window)
            self.assertEqual(state["page"], "Extract...")
            self.assertEqual(state["text"],
                             "Couldn't extract the compressed distribution file: Stream write error")
            self.assertGreater(red_pixels(s, state["label"], "disk-full"), 50)

            # Until the window closes, what was written stays: the whole library and the
            # start of the archive, and no unpacking directory.
            dirs = list(disk.iterdir())
            self.assertEqual(len(dirs), 1, dirs)
            written = {p.name: p.stat().st_size for p in dirs[0].iterdir()}
            self.assertEqual(sorted(written), ["Distro.zip", "OrvUnzip.dll"])
            self.assertEqual(written["OrvUnzip.dll"], library)
            self.assertLess(written["Distro.zip"], archive)
            report("full disk, before close", written.items())

            s.close(window["hwnd"])
            self.assertEqual(wait_exit(proc, 30), EXTRACTION_FAILED)
            self.assertEqual(list(disk.iterdir()), [])


class KilledPrograms(unittest.TestCase):
    def test_setup_program_killed_while_the_launcher_waits(self):
        with otwine.Scenario() as s:
            set_dotnet(s)
            exe = install(s)
            proc = start_launcher(s, exe, env=demo_env(s, s.c_drive / "records",
                                                       OT_DEMO_HOLD_SECONDS=300,
                                                       OT_DEMO_STARTER_SECONDS=300))
            s.wait_window(title=SETUP_TITLE, timeout=60)
            time.sleep(IN_THE_WAIT_SECONDS)
            self.assertEqual(len(working_dirs(s)), 1)

            # The setup program dies owning its mutex: the launcher's wait ends as abandoned.
            # The pause is measured from before the kill command starts (the program can die
            # long before taskkill and the check that it has gone return), the upper bound from
            # when its end was seen.
            before_kill = time.monotonic()
            kill_windows_process(s, "Orvane.Tessaly.Setup.exe")
            killed = time.monotonic()
            self.assertEqual(wait_exit(proc, 30), 0)
            ended = time.monotonic()
            self.assertGreaterEqual(ended - before_kill, 3.0)  # the clean-up's pause
            self.assertLess(ended - killed, 15)  # not the 33 s of a mutex that never appeared

            # The starter tool, still showing its window, was ended; nothing else is left.
            self.assertEqual(product_processes(s), [])
            self.assertEqual(working_dirs(s), [])
            self.assertEqual(mutex_state(s, SETUP_MUTEX), MUTEX_ABSENT)
            self.assertEqual(mutex_state(s, LAUNCHER_MUTEX), MUTEX_ABSENT)

    def test_killed_runs_are_removed_by_the_next_run_and_nothing_else(self):
        """Launchers ended by force during the extraction, in the wait on the setup program and
        in the clean-up's pause each leave their folder; the next run that finds no setup
        program running removes those three and none of the folders that only look alike.
        A fourth dead run's folder is attacked during that sweep: the moment the sweep deletes
        the first file below its Setup, another process (here on the Linux side) moves
        Setup\\d1 to Setup\\d7 away and puts links to the user's Documents\\Important in
        their place. Nothing behind the links is deleted."""
        with otwine.Scenario() as s:
            set_dotnet(s)
            exe = install(s)
            other = install(s, exe="otSetup_otherpassword.exe", folder="Apps/Other")
            records = s.c_drive / "records"
            temp = s.temp_dir
            temp.mkdir(parents=True, exist_ok=True)
            decoys = self.plant_decoys(s, temp)
            before = {p.name: tree(p) for p in decoys.values()}

            # 1. In the extraction: the library asks for a password.
            start_launcher(s, other)
            s.wait_window(title=re.compile(r"^Password for "), cls="#32770", timeout=60)
            kill_windows_process(s, "otSetup.exe")
            [during_extraction] = self.new_dirs(s, decoys)
            self.assertIn("Distro.zip", tree(during_extraction))

            # 2. In the wait on the setup program, which runs on holding its mutex.
            second = start_launcher(s, exe, env=demo_env(s, records / "second",
                                                         OT_DEMO_HOLD_SECONDS=300,
                                                         OT_DEMO_STARTER_SECONDS=0))
            setup_window = s.wait_window(title=SETUP_TITLE, timeout=60)
            time.sleep(IN_THE_WAIT_SECONDS)
            kill_windows_process(s, "otSetup.exe")
            second.wait(timeout=20)
            # Its mutex went with it, although it was never closed.
            self.assertEqual(mutex_state(s, LAUNCHER_MUTEX), MUTEX_ABSENT)
            self.assertIsNone(s.reg_query(MARKER_KEY, MARKER_NAME))
            [in_the_wait] = [d for d in self.new_dirs(s, decoys) if d != during_extraction]
            left = {d: tree(d) for d in (during_extraction, in_the_wait)}

            # While that setup program holds its mutex, a run's clean-up touches nothing of the
            # others (a run whose extraction fails: its own folder goes all the same). Every run
            # here is unelevated: under Wine every folder reads as owned by the user without the
            # protected rights, and an elevated run sweeps only folders that have them.
            bad = install(s, exe="otSetup_badarchive.exe", folder="Apps/Bad")
            failed = start_launcher(s, bad)
            s.close(main_window(s, timeout=90)["hwnd"])
            self.assertEqual(wait_exit(failed, 60), EXTRACTION_FAILED)
            self.assertEqual({d: tree(d) for d in left}, left)
            self.assertEqual(sorted(self.new_dirs(s, decoys)), sorted(left))

            # The user finishes that setup program.
            s.close(setup_window["hwnd"])
            s.wait_until(lambda: product_processes(s) == [], timeout=30, what="the setup to end")

            # 3. In the clean-up's pause: ended from the Linux side (SIGKILL, no clean-up code
            # runs, as with TerminateProcess) the moment its setup program has gone.
            third = start_launcher(s, exe, env=demo_env(s, records / "third",
                                                        OT_DEMO_HOLD_SECONDS=2,
                                                        OT_DEMO_STARTER_SECONDS=0))
            s.wait_window(title=SETUP_TITLE, timeout=60)
            self.kill_in_the_pause(s)
            third.wait(timeout=20)
            in_the_pause = [d for d in self.new_dirs(s, decoys) if d not in left]
            self.assertEqual(len(in_the_pause), 1, in_the_pause)
            report("killed launchers", [d.name for d in (*left, *in_the_pause)])

            # 4. A dead run's folder whose Setup holds seven folders, and the user's documents.
            bait = temp / "{DEADBEEF-0000-0000-0000-000000000000}"
            names = [f"d{i}" for i in range(1, 8)]
            for name in names:
                (bait / "Setup" / name).mkdir(parents=True)
                for j in range(3):
                    (bait / "Setup" / name / f"inside-{j}.txt").write_text("the dead run's")
            (bait / "OrvUnzip.dll").write_bytes(b"MZ")
            (bait / "Distro.zip").write_bytes(b"PK")
            important = s.c_drive / "users" / "root" / "Documents" / "Important"
            important.mkdir(parents=True)
            for j in range(5):
                (important / f"keep-{j}.txt").write_text("the user's")
            (important / "sub").mkdir()
            (important / "sub" / "keep.txt").write_text("the user's")
            documents = tree(important)
            away = temp / "swapped-out"
            away.mkdir()

            # A normal run, unelevated as a standard user starts it, removes the three killed
            # runs' folders, and the fourth up to the links.
            with SwapWatcher(bait / "Setup", names, important, away) as watcher:
                last = start_launcher(s, exe, env=demo_env(s, records / "last",
                                                           OT_DEMO_HOLD_SECONDS=1))
                self.assertEqual(wait_exit(last, 120), 0)
            self.assertTrue(watcher.swapped, "the sweep deleted nothing below the bait's Setup")
            self.assertEqual(len(read_record(records / "last" / "setup-args.txt")), 4)
            self.assertEqual(tree(important), documents)
            self.assertFalse(bait.exists())
            [claimed] = self.new_dirs(s, decoys)
            self.assertEqual(tree(claimed), ["Setup", *(f"Setup/{name}" for name in names)])
            for name in names:
                self.assertEqual(os.readlink(claimed / "Setup" / name), str(important))
            report("swapped for links", tree(away))
            self.assertEqual({p.name: tree(p) for p in decoys.values()}, before)
            self.assertEqual(product_processes(s), [])
            self.assertIsNone(s.reg_query(MARKER_KEY, MARKER_NAME))

    @staticmethod
    def plant_decoys(s, temp: Path) -> dict:
        """Folders named like a run's that the sweep must leave: one held the way a live run
        holds its own (another log-on session's run), one with a file no run writes, an empty
        one and one holding only Setup (no run leaves either: maybe another program's), a link
        to a folder holding a run's files, and a file."""
        decoys = {}
        for key, guid in (("live", "1"), ("extra", "2"), ("link", "3"), ("file", "4"),
                          ("empty", "5"), ("setup", "6")):
            decoys[key] = temp / ("{%s-0000-0000-0000-000000000000}" % (guid * 8))
        for key in ("live", "extra", "setup"):
            (decoys[key] / "Setup").mkdir(parents=True)
            (decoys[key] / "Setup" / "file.txt").write_text("x")
        for key in ("live", "extra"):
            (decoys[key] / "OrvUnzip.dll").write_bytes(b"MZ")
            (decoys[key] / "Distro.zip").write_bytes(b"PK")
        (decoys["extra"] / "notes.txt").write_text("not a run's")
        decoys["empty"].mkdir()
        target = s.c_drive / "LinkTarget"
        (target / "Setup").mkdir(parents=True)
        (target / "OrvUnzip.dll").write_bytes(b"MZ")
        (target / "Setup" / "file.txt").write_text("behind a link")
        os.symlink(target, decoys["link"])
        decoys["target"] = target
        decoys["file"].write_text("a file, not a folder")
        holder = s.start([otwine.BIN_DIR / "ot_hold_file.exe", s.to_windows_path(decoys["live"]),
                          "600000"])
        s.wait_until(lambda: "held" in Path(holder.out_path).read_text().split(), timeout=60,
                     what="the live decoy to be held")
        return decoys

    @staticmethod
    def new_dirs(s, decoys: dict) -> list[Path]:
        return [d for d in working_dirs(s) if d not in decoys.values()]

    @staticmethod
    def kill_in_the_pause(s) -> None:
        """Waits, from the Linux side, until the setup program has ended, then kills the
        launcher's process at once: it is then in the 3 s pause that opens its clean-up."""
        def linux(name):
            return [pid for pid, text in otwine.prefix_processes(s.prefix) if name in text]
        deadline = time.monotonic() + 60
        while linux("Orvane.Tessaly.Setup.exe") and time.monotonic() < deadline:
            time.sleep(0.05)
        # The Windows process, and on the emulated road the wrappers that started it.
        launchers = linux("otSetup.exe")
        if not launchers:
            raise AssertionError("the launcher's process was not found")
        for pid in launchers:
            os.kill(pid, signal.SIGKILL)


class SwapWatcher:
    """The attacker of the sweep: waits (inotify) until anything directly below setup or below
    one of its folders names is deleted, then at once moves those folders into away and puts
    links to target in their place. Works through a descriptor of setup, so the sweep's claim
    (a rename of the folder above) does not lose it."""

    IN_DELETE = 0x200

    def __init__(self, setup: Path, names: list[str], target: Path, away: Path):
        self.names, self.target, self.swapped = names, target, False
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.inotify = self.libc.inotify_init1(os.O_CLOEXEC | os.O_NONBLOCK)
        if self.inotify < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        for watched in (setup, *(setup / name for name in names)):
            if self.libc.inotify_add_watch(self.inotify, os.fsencode(watched), self.IN_DELETE) < 0:
                raise OSError(ctypes.get_errno(), f"inotify_add_watch {watched}")
        self.setup = os.open(setup, os.O_RDONLY | os.O_DIRECTORY)
        self.away = os.open(away, os.O_RDONLY | os.O_DIRECTORY)
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.watch, daemon=True)

    def watch(self) -> None:
        while not self.stop.is_set():
            if select.select([self.inotify], [], [], 0.1)[0]:
                break
        else:
            return
        for name in self.names:
            with contextlib.suppress(FileNotFoundError):
                os.rename(name, name, src_dir_fd=self.setup, dst_dir_fd=self.away)
            os.symlink(self.target, name, dir_fd=self.setup)
        self.swapped = True

    def __enter__(self) -> "SwapWatcher":
        self.thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self.stop.set()
        self.thread.join(timeout=30)
        for fd in (self.setup, self.away, self.inotify):
            os.close(fd)


class CleanUpObstacles(unittest.TestCase):
    def start_and_wait_for_setup(self, s):
        set_dotnet(s)
        exe = install(s)
        proc = start_launcher(s, exe, env=demo_env(s, s.c_drive / "records",
                                                   OT_DEMO_HOLD_SECONDS=300,
                                                   OT_DEMO_STARTER_SECONDS=0))
        setup_window = s.wait_window(title=SETUP_TITLE, timeout=60)
        [working_dir] = working_dirs(s)
        return proc, setup_window, working_dir

    def test_read_only_file_stays_with_its_folders_and_nothing_else(self):
        with otwine.Scenario() as s:
            proc, setup_window, working_dir = self.start_and_wait_for_setup(s)
            kept = working_dir / "Setup" / "Kept"
            locked = kept / "Deeper" / "locked.txt"
            locked.parent.mkdir(parents=True)
            locked.write_text("read-only")
            (kept / "sibling.txt").write_text("x")
            (kept / "Gone").mkdir()
            (kept / "Gone" / "inner.txt").write_text("x")
            done = s.run(["attrib", "+r", s.to_windows_path(locked)])
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(os.stat(locked).st_mode & 0o222, 0, "attrib +r did not take")

            s.close(setup_window["hwnd"])
            self.assertEqual(wait_exit(proc, 60), 0)
            left = tree(working_dir)
            self.assertEqual(left, ["Setup", "Setup/Kept", "Setup/Kept/Deeper",
                                    "Setup/Kept/Deeper/locked.txt"])
            self.assertEqual(locked.read_text(), "read-only")
            report("read-only file", left)

    def test_directory_links_never_lead_the_clean_up_outside(self):
        # Wine 8 makes no junctions from Windows code; a Linux symbolic link to a directory is
        # what it shows as one (directory and reparse-point attributes). Wine's DeleteFileW and
        # RemoveDirectoryW act on the target of such a link, not on the link as Windows does:
        # an empty target folder would be removed, and a link to a file (shown as a plain
        # file) deletes that file. Neither can be told apart from the Windows side under Wine,
        # so only links to folders with contents are planted here.
        with otwine.Scenario() as s:
            proc, setup_window, working_dir = self.start_and_wait_for_setup(s)
            # Targets outside the working directory: a folder with files, and the temporary
            # directory that holds the working directory itself.
            outside = s.c_drive / "Precious"
            (outside / "sub").mkdir(parents=True)
            (outside / "data.txt").write_text("keep")
            (outside / "sub" / "more.txt").write_text("keep too")
            neighbour = s.temp_dir / "other-program.tmp"
            neighbour.write_text("not ours")
            setup = working_dir / "Setup"
            os.symlink(outside, setup / "Linked")
            os.symlink(os.path.relpath(outside, working_dir), working_dir / "Relative")
            os.symlink(s.temp_dir, setup / "Up")

            s.close(setup_window["hwnd"])
            self.assertEqual(wait_exit(proc, 60), 0)

            self.assertEqual(tree(outside), ["data.txt", "sub", "sub/more.txt"])
            self.assertEqual((outside / "data.txt").read_text(), "keep")
            self.assertEqual((outside / "sub" / "more.txt").read_text(), "keep too")
            self.assertEqual(neighbour.read_text(), "not ours")
            # Everything but the links and the folders holding them is gone (Wine cannot
            # remove the links themselves).
            left = tree(working_dir) if working_dir.exists() else []
            self.assertEqual(left, ["Relative", "Setup", "Setup/Linked", "Setup/Up"])
            report("directory links", left)


if __name__ == "__main__":
    otwine.main()
