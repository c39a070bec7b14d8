"""DeleteDirectory on a tree that holds Linux symbolic links to directories outside it.

Wine 8 cannot make junctions or directory symbolic links from the Windows side
(FSCTL_SET_REPARSE_POINT fails, CreateSymbolicLinkW succeeds without making anything), so the
program test cannot check that a link's target survives. A symbolic link made on the Linux side
is what Wine shows as a directory with the reparse-point attribute; this checks that the walk
does not enter it.
"""
import os
import unittest

import otwine


class LinuxDirectoryLinks(unittest.TestCase):
    def test_target_outside_the_tree_survives(self):
        with otwine.Scenario(display=False) as s:
            base = s.c_drive / "linktest"
            outside = base / "outside"
            (outside / "sub").mkdir(parents=True)
            (outside / "precious.txt").write_text("keep me")
            (outside / "sub" / "also.txt").write_text("keep me too")
            tree = base / "tree"
            (tree / "plain" / "inner").mkdir(parents=True)
            (tree / "plain" / "inner" / "file.txt").write_text("x")
            (tree / "top.txt").write_text("x")
            os.symlink(outside, tree / "absolute-link")
            os.symlink("../outside", tree / "plain" / "relative-link")

            program = otwine.BIN_DIR / "deletedir_test.exe"
            shown = s.run([program, "--attributes", s.to_windows_path(tree / "absolute-link")])
            self.assertEqual(shown.returncode, 0, shown.stderr)
            attributes = int(shown.stdout.strip(), 16)
            self.assertTrue(attributes & 0x10, f"directory bit missing: {attributes:#x}")
            self.assertTrue(attributes & 0x400, f"reparse-point bit missing: {attributes:#x}")

            done = s.run([program, "--delete", s.to_windows_path(tree)], timeout=60)
            self.assertEqual(done.returncode, 0, done.stderr)

            for kept, text in (("precious.txt", "keep me"), ("sub/also.txt", "keep me too")):
                self.assertTrue((outside / kept).is_file(), f"{kept} behind the link was deleted")
                self.assertEqual((outside / kept).read_text(), text)
            # Everything that is not a link is gone. (Wine removes neither kind of link: its
            # RemoveDirectoryW acts on the link's target, which is not empty here.)
            self.assertFalse((tree / "top.txt").exists())
            self.assertFalse((tree / "plain" / "inner").exists())
            left = [os.path.join(d, f) for d, _, files in os.walk(tree) for f in files
                    if not os.path.islink(os.path.join(d, f))]
            self.assertEqual(left, [])


if __name__ == "__main__":
    otwine.main()
