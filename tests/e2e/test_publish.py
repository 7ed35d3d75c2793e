"""velm-publish against the launcher: bad names are refused before anything is written, a
publish killed at any moment leaves a tree that installs the old version or the new one whole,
a rollback installs the old version, a .zs of an older publisher's plain tree is reused only
when it decompresses to the listed file, and a changed file gets a patch from the live tree's
content that the zstd command line applies."""

import hashlib
import os
import random
import shutil
import signal
import subprocess
import unittest

import harness
from harness import E2ETestCase

LEVEL = 19  # slow enough to kill a publish between its files
SLOW_FILES = 24
KILL_AFTER_LINES = (0, 1, SLOW_FILES // 2, SLOW_FILES)  # progress lines printed before SIGKILL
KEPT_TREES = 3  # the live tree and two before it

GOOD = {harness.GAME_EXE: harness.GAME_STUB}

# (what, game files besides the game, a fragment of the refusal)
BAD_NAMES = [
    ("letter case", {"Data.bin": b"1", "data.bin": b"2"}, "differ only in letter case"),
    ("directory letter case", {"Sub/x": b"1", "sub/y": b"2"}, "whose directories differ only"),
    ("the list's own name", {"MANIFEST.dat": b"x"}, "the file list's own name"),
    ("temporary name as a directory", {"x": b"1", "x.zs/y": b"2"}, "uses as a temporary name"),
    ("file name past 247 bytes", {"f" * 248: b"x"}, "longer than 247 bytes"),
    ("superscript port", {"sub/COM\u00b3.txt": b"x"}, "reserved device name"),
    ("console device", {"conout$": b"x"}, "reserved device name"),
    ("not UTF-8", {"bad\udcff.bin": b"x"}, "not valid UTF-8"),  # the byte 0xff on disk
]


def text(rng, words, count):
    """Compressible bytes that still take level 19 a while."""
    return b" ".join(rng.choice(words) for _ in range(count))


def edited(data):
    """DATA with a few bytes in its middle replaced."""
    middle = len(data) // 2
    return data[:middle] + b"EDITED" + data[middle + 6:]


def patch_versions():
    """Three versions of a game: files edited a little, one rewritten whole (incompressible, so
    no patch is small enough), one unchanged; the third edits one file again."""
    rng = random.Random(5)
    words = [bytes(rng.randrange(97, 123) for _ in range(rng.randrange(2, 9))) for _ in range(2000)]
    first = {**GOOD, "large edit.bin": text(rng, words, 40000), "sub/small edit.txt": text(rng, words, 2000),
             "rewritten.bin": rng.randbytes(100000), "same.txt": b"unchanged\n"}
    second = {**first, "large edit.bin": edited(first["large edit.bin"]), "rewritten.bin": rng.randbytes(100000),
              "sub/small edit.txt": edited(first["sub/small edit.txt"])}
    third = {**second, "sub/small edit.txt": second["sub/small edit.txt"] + b" appended"}
    return first, second, third


def patch_name(old, new):
    return f"{hashlib.sha1(old).hexdigest()}-{hashlib.sha1(new).hexdigest()}.zst"


def versions():
    """Two versions of a game: changed files (one keeps its size), one added, one removed."""
    rng = random.Random(23)
    words = [bytes(rng.randrange(97, 123) for _ in range(rng.randrange(2, 9))) for _ in range(2000)]
    old = dict(GOOD)
    for i in range(SLOW_FILES):
        old[f"data/part {i:02d}.bin"] = text(rng, words, 40000)
    old["same size.bin"] = b"A" * 5000
    old["gone.txt"] = b"only in the old version\n"
    new = {name: data for name, data in old.items() if name != "gone.txt"}
    for i in range(0, SLOW_FILES, 3):
        new[f"data/part {i:02d}.bin"] = text(rng, words, 40000)
    new["same size.bin"] = b"B" * 5000
    new["added/new.txt"] = b"only in the new version\n"
    return old, new


class PublishTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.root = cls.scratch / "root"
        cls.root.mkdir()
        cls.start_dev_server(cls.root)
        cls.old, cls.new = versions()
        harness.write_tree(cls.scratch / "old", cls.old)
        harness.write_tree(cls.scratch / "new", cls.new)

    def setUp(self):
        self.empty_root()

    def empty_root(self):
        for entry in self.root.iterdir():  # each test starts from an empty served root
            if entry.is_dir() and not entry.is_symlink():
                shutil.rmtree(entry)
            else:
                entry.unlink()

    def velm_publish(self, game_dir, root, level=1, options=()):
        return subprocess.run([str(harness.PUBLISH_EXE), "build", "--level", str(level), *options, str(game_dir),
                               str(root)], capture_output=True, text=True, errors="replace", check=False)

    def published(self, game_dir, options=()):
        result = self.velm_publish(game_dir, self.root, options=options)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def served_patches(self):
        patches = self.root / "windows" / ".patches"
        return {entry.name for entry in patches.iterdir()} if patches.exists() else set()

    def assert_patch_makes(self, old, new):
        """The served patch from OLD to NEW, applied by the zstd command line, makes NEW."""
        base, out = self.scratch / "patch base", self.scratch / "patched"
        base.write_bytes(old)
        subprocess.run(["zstd", "-d", "-q", "-f", "--long=31", f"--patch-from={base}", "-o", str(out),
                        str(self.root / "windows" / ".patches" / patch_name(old, new))], check=True)
        self.assertTrue(out.read_bytes() == new, "the patch does not make the new content")

    def test_changed_files_get_patches_from_the_live_tree(self):
        first, second, third = patch_versions()
        for number, version in enumerate((first, second, third)):
            harness.write_tree(self.scratch / f"patched {number}", version)
        small = len(second["sub/small edit.txt"])
        # (what, options of the second publish, the files whose change gets a patch)
        runs = [
            ("no patches", ["--no-patches"], []),
            ("a size limit between the two edited files", ["--patch-max-size", str(small)], ["sub/small edit.txt"]),
            ("default", [], ["large edit.bin", "sub/small edit.txt"]),
        ]
        for what, options, patched in runs:
            with self.subTest(what):
                self.empty_root()
                self.published(self.scratch / "patched 0")
                output = self.published(self.scratch / "patched 1", options)
                self.assertEqual(self.served_patches(), {patch_name(first[n], second[n]) for n in patched}, output)
                for name in patched:
                    self.assert_patch_makes(first[name], second[name])
                    self.assertRegex(output, rf"\] compressed .* patch [\d.]+ (bytes|kB|MB) \((< )?[\d.]+ % of the \.zs\)  {name}\n")
        self.assertIn("no patch (", next(l for l in output.splitlines() if l.endswith("  rewritten.bin")))
        # The third version: the unchanged file keeps its patch, the one changed again loses its
        # old patch for a new one.
        with self.subTest("a third version"):
            output = self.published(self.scratch / "patched 2")
            self.assertEqual(self.served_patches(),
                             {patch_name(first["large edit.bin"], second["large edit.bin"]),
                              patch_name(second["sub/small edit.txt"], third["sub/small edit.txt"])}, output)
            self.assert_patch_makes(second["sub/small edit.txt"], third["sub/small edit.txt"])
            self.assertIn(" kept  large edit.bin\n", output)

    def install(self):
        """A fresh install from the served root: the run and the installed game files."""
        run = harness.run_launcher(self.stage())
        self.assert_status(run, 0)
        self.assert_game_started(run)
        return run, harness.read_files(run.directory / "game")

    def assert_installs(self, expected, what):
        run, _ = self.install()
        harness.assert_files_equal(self, expected, run.directory / "game", msg=f"{what}\n{run.describe()}")

    def test_bad_names_are_refused_before_anything_is_written(self):
        harness.publish(self.scratch / "old", self.root)
        before = harness.snapshot(self.root)
        for what, files, fragment in BAD_NAMES:
            with self.subTest(what):
                game = self.scratch / "bad" / what
                harness.write_tree(game, {**GOOD, **files})
                for root in (self.root, self.scratch / "no root yet"):
                    result = self.velm_publish(game, root)
                    self.assertEqual(result.returncode, 1, result.stderr)
                    self.assertRegex(result.stderr, r"^velm-publish: ", result.stderr)
                    self.assertIn(fragment, result.stderr)
                self.assertEqual(harness.snapshot(self.root), before, "the served tree changed")
                self.assertFalse(os.path.lexists(self.scratch / "no root yet"), "a root was made")

    def test_killed_publishes_and_rollbacks_install_one_whole_version(self):
        harness.publish(self.scratch / "old", self.root)
        for lines in KILL_AFTER_LINES:
            with self.subTest(kill_after_lines=lines):
                publish = subprocess.Popen(
                    [str(harness.PUBLISH_EXE), "build", "--level", str(LEVEL), str(self.scratch / "new"),
                     str(self.root)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                try:
                    seen = 0
                    while seen < lines and publish.poll() is None:
                        seen += publish.stdout.readline().startswith("[")
                    if lines == 1:  # one publish at a time: a second one is refused
                        second = self.velm_publish(self.scratch / "old", self.root)
                        self.assertEqual(second.returncode, 1, second.stderr)
                        self.assertIn("another velm-publish is publishing", second.stderr)
                    publish.send_signal(signal.SIGKILL)
                    publish.wait()
                finally:
                    publish.stdout.close()
                    publish.stderr.close()
                # Killed before its last file, the publish must not have switched; killed after,
                # it may have.
                run, installed = self.install()
                killed_early = lines < SLOW_FILES and publish.returncode == -signal.SIGKILL
                expected = self.new if installed == self.new and not killed_early else self.old
                harness.assert_files_equal(self, expected, run.directory / "game", msg=run.describe())
        # Whatever the kills left, a rollback and the publishes after it install exactly.
        for what, version in (("rollback after kills", "old"), ("new", "new"), ("rollback", "old")):
            with self.subTest(what):
                harness.publish(self.scratch / version, self.root, level=LEVEL)
                self.assert_installs(getattr(self, version), what)
        releases = [e.name for e in (self.root / "releases").iterdir() if not e.name.startswith(".")]
        self.assertEqual(len(releases), KEPT_TREES, releases)
        self.assertEqual(sorted(e.name for e in self.root.iterdir()), ["releases", "windows"])
        self.assertTrue((self.root / "windows").is_symlink())

    def test_plain_tree_of_an_older_publisher_is_reused_only_where_proven(self):
        same, part = "same size.bin", "data/part 00.bin"
        # (what, NAME, the bytes the plain tree's .zs of NAME decompresses to, whether it is
        # reused, whether NAME gets a patch from those bytes)
        cases = [
            ("the listed content", same, self.old[same], True, False),
            ("other bytes of the listed size", same, self.new[same], False, False),
            ("a frame cut short", same, None, False, False),
            ("an edited version", part, edited(self.old[part]), False, True),
        ]
        for what, name, content, reused, patched in cases:
            right = self.old[name]
            with self.subTest(what):
                self.empty_root()
                # The plain tree lists the old version; NAME's .zs holds the case's bytes.
                plain = self.root / "windows"
                sources = self.scratch / "plain source"
                harness.write_tree(sources, {**self.old, name: content or right})
                for listed in self.old:
                    harness.published_path(self.root, listed).parent.mkdir(parents=True, exist_ok=True)
                    harness.zstd_compress(sources / listed, harness.published_path(self.root, listed))
                if content is None:
                    whole = harness.published_path(self.root, name).read_bytes()
                    harness.published_path(self.root, name).write_bytes(whole[:-4])
                entries = [[n, len(d), hashlib.sha1(d).hexdigest()] for n, d in self.old.items()]
                harness.write_file_list(self.root, entries, self.scratch)
                self.assertTrue(plain.is_dir() and not plain.is_symlink())

                result = self.velm_publish(self.scratch / "old", self.root)
                self.assertEqual(result.returncode, 0, result.stderr)
                line = next(l for l in result.stdout.splitlines() if l.endswith("  " + name))
                self.assertIn(" reused " if reused else " compressed ", line, result.stdout)
                self.assertTrue(plain.is_symlink(), "the plain tree was not replaced by the link")
                self.assertEqual(self.served_patches(), {patch_name(content, right)} if patched else set())
                if patched:
                    self.assert_patch_makes(content, right)
                self.assert_installs(self.old, what)


if __name__ == "__main__":
    unittest.main()
