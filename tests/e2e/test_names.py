"""File lists with unsafe or conflicting names are refused before anything on disk changes.

velm-publish refuses to write such lists, so these are written here, value by value."""

import hashlib
import unittest

import harness
from harness import E2ETestCase, LIST_NAME, url_for


def entry(name, data=b""):
    return [name, len(data), hashlib.sha1(data).hexdigest()]


GOOD = entry(harness.GAME_EXE, harness.GAME_STUB)

# (what, list entries, the offending name, which the fatal report must hold where it can)
REFUSED = [
    ("parent directory", [GOOD, entry("../x", b"x")], "../x"),
    ("parent directory inside", [GOOD, entry("data/../../x", b"x")], "data/../../x"),
    ("absolute path", [GOOD, entry("/abs", b"x")], "/abs"),
    ("backslash", [GOOD, entry("a\\b", b"x")], "a\\b"),
    ("drive colon", [GOOD, entry("c:x", b"x")], "c:x"),
    ("device name", [GOOD, entry("CON.txt", b"x")], "CON.txt"),
    ("device name in a directory", [GOOD, entry("data/lpt1", b"x")], "data/lpt1"),
    ("trailing dot", [GOOD, entry("name.", b"x")], "name."),
    ("trailing slash", [GOOD, entry("dir/", b"x")], "dir/"),
    ("empty component", [GOOD, entry("a//b", b"x")], "a//b"),
    ("dot component", [GOOD, entry("a/./b", b"x")], "a/./b"),
    ("control character", [GOOD, entry("tab\there", b"x")], "tab\there"),
    ("empty name", [GOOD, entry("", b"x")], None),
    ("duplicate", [GOOD, entry("dup.txt", b"1"), entry("dup.txt", b"2")], "dup.txt"),
    ("file and directory", [GOOD, entry("a", b"1"), entry("a/b", b"2")], "a/b"),
    ("directory and file", [GOOD, entry("a/b", b"2"), entry("a", b"1")], "a/b"),
    ("temporary name", [GOOD, entry("x.bin", b"1"), entry("x.bin.zs", b"2")], "x.bin.zs"),
    ("previous copy name", [GOOD, entry("x.bin", b"1"), entry("x.bin.upd_old", b"2")], "x.bin.upd_old"),
    ("the list's own name", [GOOD, entry("manifest.dat", b"x")], "manifest.dat"),
    ("the list's download in another case", [GOOD, entry("Manifest.DAT.zs", b"x")], "Manifest.DAT.zs"),
    ("temporary name as a directory", [GOOD, entry("x.bin", b"1"), entry("x.bin.upd_old/y", b"2")],
     "x.bin.upd_old/y"),
    ("file name past 247 bytes", [GOOD, entry("f" * 248, b"x")], "f" * 248),
    ("console device", [GOOD, entry("CONIN$", b"x")], "CONIN$"),
    ("port zero", [GOOD, entry("data/COM0.txt", b"x")], "data/COM0.txt"),
    ("superscript port", [GOOD, entry("lpt\u00b9.log", b"x")], "lpt\u00b9.log"),
    ("not UTF-8", [GOOD, entry(b"bad\xff.bin", b"x")], None),
    ("letter case", [GOOD, entry("Data.bin", b"1"), entry("data.bin", b"2")], "data.bin"),
    ("directory letter case", [GOOD, entry("Sub/x", b"1"), entry("sub/y", b"2")], "sub/y"),
    ("below a dot-directory", [GOOD, entry(".cfg/x", b"x")], ".cfg/x"),
    ("malformed digest", [GOOD, ["bad digest.bin", 1, "not a digest"]], "bad digest.bin"),
    ("entry of two values", [GOOD, ["two.bin", 1]], None),
]

# A list of the same making that the launcher must accept: it shows the refusals above come
# from the names, not from a list it cannot read. Long names and sizes take the longer forms.
ACCEPTED = {
    harness.GAME_EXE: harness.GAME_STUB,
    "a directory with a long name/and a file with a long name.txt": b"long\n" * 100,
    "empty": b"",
    "small": b"x" * 23,
    "f" * 247: b"the longest file name\n",
    "\u00c9t\u00e9/\u00e9T\u00c9 \u017d.txt": b"Latin letters, one spelling per directory\n",
    ".dotfile": b"a file's own name may begin with a dot\n",
}


class NamesTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.root = cls.scratch / "root"
        raw = cls.scratch / "raw"
        for name, data in ACCEPTED.items():
            harness.write_tree(raw, {name: data})
            target = harness.published_path(cls.root, name)
            target.parent.mkdir(parents=True, exist_ok=True)
            harness.zstd_compress(raw / name, target)
        cls.start_dev_server(cls.root)

    def test_list_of_safe_names_is_installed(self):
        harness.write_file_list(self.root, [entry(n, d) for n, d in ACCEPTED.items()], self.scratch)
        run = harness.run_launcher(self.stage())
        self.assert_status(run, 0)
        self.assert_game_started(run)
        harness.assert_files_equal(self, ACCEPTED, run.directory / "game", msg=run.describe())

    def test_unsafe_and_conflicting_names_are_refused_before_any_change(self):
        for what, entries, fragment in REFUSED:
            with self.subTest(what):
                harness.write_file_list(self.root, entries, self.scratch)
                directory = self.stage({"unlisted canary.txt": b"deleted only by a scan\n"})
                (directory / "canary.txt").write_bytes(b"beside game/\n")
                before = harness.snapshot(directory)

                run = harness.run_launcher(directory)
                self.assert_fatal(run)
                self.assertRegex(run.stderr, r"^(Fatal error|Runtime check failed) in ", run.describe())
                if fragment is not None:
                    self.assertIn(fragment, run.stderr, run.describe())
                self.assertEqual(run.transfers(), [url_for(LIST_NAME)], run.describe())
                self.assertEqual(run.not_found(), {}, run.describe())
                after = harness.snapshot(directory)
                after.pop(f"game/{LIST_NAME}", None)  # the refused list itself
                self.assertEqual(after, before, f"the tree changed\n{run.describe()}")


if __name__ == "__main__":
    unittest.main()
