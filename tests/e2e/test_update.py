"""The update against nginx on one published tree: a fresh install; then, on a copy of it, every
kind of local change at once (no copy of a replaced file stays, an empty folder of the game's own
stays), a current tree, and the record of verified files. Then a list of 70,000 entries."""

import hashlib
import os
import random
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

import harness
from harness import E2ETestCase, LIST_NAME, url_for

MANY_FILES = 1100  # more than the 1024 entries the launcher's tables once held
LONG_LIST = 70000  # more entries than a short list header counts
SPARSE_SIZE = 1 << 40  # a local copy no run could hash in the time a test waits
SAME, GROWS, SHRINKS, LINKED = "data/same size.bin", "data/grows.bin", "data/shrinks.bin", "data/level1/map.bin"


def source_files():
    rng = random.Random(7)
    files = {harness.GAME_EXE: harness.GAME_STUB, "launcher.dat": harness.png_image(), "empty.dat": b"",
             "name with spaces.txt": b"spaces stay spaces on disk\n", "dir one/sub dir/deep file.bin": rng.randbytes(20000),
             LINKED: rng.randbytes(3000), SAME: b"A" * 4096, GROWS: rng.randbytes(5000), SHRINKS: rng.randbytes(5000)}
    files.update({f"many/group {i % 10}/f{i:04d}.txt": f"file {i}\n".encode() * (1 + i % 5) for i in range(MANY_FILES)})
    return files


class UpdateTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.source = source_files()
        cls.root = harness.publish(cls.source, cls.scratch / "root")
        cls.serve(cls.root)
        cls.installed = cls.stage()
        cls.fresh = harness.run_launcher(cls.installed)

    def test_fresh_install(self):
        self.assert_ok(self.fresh, self.source)
        self.assert_transfers(self.fresh, self.source)
        self.assertEqual(self.fresh.not_found(), {}, self.fresh.describe())
        self.assertEqual(self.fresh.lines.count("replacing background image"), 1, self.fresh.describe())

    def test_local_changes_then_a_current_tree_and_the_record(self):
        directory = self.stage(like=self.installed)
        game = directory / "game"
        harness.write_tree(game, {SAME: b"B" * 4096, SHRINKS: b"short"})
        with open(game / GROWS, "r+b") as f:  # hashing it would outlast the run's time limit
            f.truncate(SPARSE_SIZE)
        (game / "empty.dat").unlink()
        unlisted = {"unlisted.txt": b"not in the list\n", "data/level1/stray.bin": b"x" * 300,
                    "data/old.bin.upd_old": b"a leftover copy set aside", ".dotfile": b"a file named with a dot",
                    "gone dir/deeper/only.bin": b"its folders go with it"}
        kept = {".config/settings.ini": b"volume=3\n", ".config/deeper/state": b"\x00\x01"}
        # A current file's leftover download is kept by the scan, then removed as useless.
        harness.write_tree(game, {**unlisted, **kept, "name with spaces.txt.zs": b"a leftover download"})
        (game / "empty dir").mkdir()
        outside = directory / "outside"
        harness.write_tree(outside, {"keep.txt": b"outside game/\n", "map.bin": self.source[LINKED]})
        (game / "linked dir").symlink_to(outside, target_is_directory=True)
        (game / "data" / "linked file").symlink_to(outside / "keep.txt")
        (game / LINKED).unlink()  # a link at a listed name, to the listed content: replaced, not read through
        (game / LINKED).symlink_to(outside / "map.bin")
        # Started from elsewhere, as from a shortcut whose "Start in" holds a game/ of its own.
        elsewhere = Path(tempfile.mkdtemp(dir=self.scratch))
        harness.write_tree(elsewhere / "game", {"unlisted.txt": b"x", SAME: b"stale"})
        untouched = harness.snapshot(elsewhere), harness.snapshot(outside)

        run = harness.run_launcher(directory, timeout=30, cwd=elsewhere)
        self.assert_transfers(run, [SAME, GROWS, SHRINKS, LINKED, "empty.dat"])
        reported = run.not_found()
        self.assertEqual(set(reported), {*unlisted, "linked dir", "data/linked file"}, run.describe())
        self.assertEqual(run.figures["deleted"], len(reported), run.describe())
        self.assertEqual({n: reported[n] for n in unlisted}, {n: len(d) for n, d in unlisted.items()})
        self.assert_ok(run, {**self.source, **kept})
        self.assertEqual((harness.snapshot(elsewhere), harness.snapshot(outside)), untouched)
        for gone in ("linked dir", "data/linked file", "gone dir"):
            self.assertFalse(os.path.lexists(game / gone), gone)
        self.assertTrue((game / "empty dir").is_dir(), "a folder the update did not empty went")

        listed, empty = len(self.source), 1
        before = harness.snapshot(game)
        run = harness.run_launcher(directory)
        self.assertEqual(run.transfers(), [url_for(LIST_NAME)], run.describe())
        self.assertEqual(run.not_found(), {}, run.describe())
        self.assertNotIn("replacing background image", run.lines)
        self.assertEqual(run.found(), (listed - empty, empty, 0), run.describe())
        self.assert_ok(run)
        self.assertEqual(harness.snapshot(game), before, "a current tree was modified")

        # Other bytes of the same size under the old modification time: the change time tells.
        harness.rewrite_in_place(game / SAME, b"C" * 4096)
        run = harness.run_launcher(directory)
        self.assertEqual(run.found(), (listed - empty - 1, empty, 1), run.describe())
        self.assert_ok(run, {**self.source, **kept})

        # A record that cannot be trusted whole is not trusted at all, nor by a build that reads every file.
        state = directory / "launcher.state"
        good = state.read_bytes()
        body = good[:good.rindex(b"end ")]
        def whole(body):  # with the last line, which vouches for the rest
            return body + b"end " + hashlib.sha1(body).hexdigest().encode() + b"\n"
        for what, tampered in [("cut short", good[:len(good) // 2]), ("a byte changed", good.replace(b"file", b"fila", 1)),
                               ("another channel's", whole(body.replace(b"channel ", b"channel x", 1))),
                               ("another format's", whole(body.replace(b"state 3", b"state 4", 1))),
                               ("a build with VELM_VERIFY_EVERY_START=ON", good)]:
            with self.subTest(what):
                if tampered is good:
                    shutil.copy(harness.BUILD_DIR / "tests/e2e/velm-launcher-verify", directory / harness.LAUNCHER_EXE.name)
                state.write_bytes(tampered)
                run = harness.run_launcher(directory)
                self.assertEqual(run.found(), (0, listed, 0), run.describe())
                self.assert_ok(run)


class LongListTest(E2ETestCase):
    def test_a_list_past_65535_entries_installs_then_is_current_by_the_record(self):
        # Files already in place, so that only the few others are fetched.
        present = {f"many/{i // 1000:02d}/{i:05d}.txt": b"%d" % i for i in range(LONG_LIST - 2)}
        fetched = {harness.GAME_EXE: harness.GAME_STUB, "data/x.bin": b"x" * 1000}
        harness.write_tree(self.scratch / "game", present)
        directory = self.stage()  # the files in place are links to the published ones, which nothing changes
        shutil.copytree(self.scratch / "game", directory / "game", copy_function=os.link)
        harness.write_tree(self.scratch / "game", fetched)
        root = harness.publish(str(self.scratch / "game"), self.scratch / "root")
        listed = subprocess.run(["zstd", "-dc", root / "windows" / "manifest.dat.zs"], capture_output=True).stdout
        self.assertEqual(listed[:5], bytes([0xDF]) + LONG_LIST.to_bytes(4, "big"))  # the long list header
        self.serve(root)
        run = harness.run_launcher(directory, timeout=120)
        self.assert_ok(run, {**present, **fetched})
        self.assert_transfers(run, fetched)
        run = harness.run_launcher(directory, timeout=120)
        self.assertEqual(run.found(), (LONG_LIST, 0, 0), run.describe())
        self.assert_ok(run)


if __name__ == "__main__":
    unittest.main()
