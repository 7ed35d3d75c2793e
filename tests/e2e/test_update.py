"""The update against nginx: a fresh install, a run on a current tree, changed files, the
deletion of what the file list does not name, and a missing empty file."""

import hashlib
import os
import random
import tempfile
import unittest
from pathlib import Path

import harness
from harness import E2ETestCase, LIST_NAME, url_for

MANY_FILES = 1100  # more than the 1024 entries the launcher's tables once held
SPARSE_SIZE = 1 << 40  # a local copy no run could hash in the time a test waits


def source_files():
    rng = random.Random(7)
    files = {
        harness.GAME_EXE: harness.GAME_STUB,
        "launcher.dat": harness.png_image(),
        "empty.dat": b"",
        "name with spaces.txt": b"spaces stay spaces on disk\n",
        "dir one/sub dir/deep file.bin": rng.randbytes(20000),
        "data/level1/map.bin": rng.randbytes(3000),
        "data/same size.bin": b"A" * 4096,
        "data/grows.bin": rng.randbytes(5000),
        "data/shrinks.bin": rng.randbytes(5000),
    }
    for i in range(MANY_FILES):
        files[f"many/group {i % 10}/f{i:04d}.txt"] = f"file {i}\n".encode() * (1 + i % 5)
    return files


class UpdateTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # One fresh install, which the first tests examine and the others start from.
        cls.install_fresh(source_files(), cls.scratch / "installed")

    # --- Fresh install ---------------------------------------------------------------------

    def test_fresh_install_is_identical_to_the_source(self):
        self.assert_status(self.fresh, 0)
        self.assertIn("All jobs completed", self.fresh.stdout_lines, self.fresh.describe())
        harness.assert_files_equal(self, self.source, self.installed / "game", msg=self.fresh.describe())

    def test_fresh_install_fetches_each_file_once_plus_the_list(self):
        self.assertGreater(len(self.source), 1024)
        self.assert_transfers(self.fresh, self.source)
        self.assertIn(url_for("name with spaces.txt"), self.fresh.transfers())
        self.assertIn("name%20with%20spaces.txt.zs", url_for("name with spaces.txt"))
        self.assertEqual(self.fresh.not_found(), {}, self.fresh.describe())

    def test_fresh_install_reloads_the_background_once(self):
        self.assertEqual(self.fresh.stdout_lines.count("replacing background image"), 1,
                         self.fresh.describe())

    def test_fresh_install_starts_the_game_in_game_dir_without_arguments(self):
        record = self.fresh_record
        self.assertIsNotNone(record, f"the game was not started\n{self.fresh.describe()}")
        self.assertEqual(record["cwd"], os.path.realpath(self.installed / "game"))
        self.assertEqual(record["argc"], "0")
        self.assertEqual(record["args"], [])

    # --- Later runs ------------------------------------------------------------------------

    def test_current_tree_fetches_only_the_list(self):
        directory = self.installed_copy()
        before = harness.snapshot(directory / "game")
        run = harness.run_launcher(directory)
        self.assert_status(run, 0)
        self.assertEqual(run.transfers(), [url_for(LIST_NAME)], run.describe())
        self.assertEqual(run.not_found(), {}, run.describe())
        self.assertNotIn("replacing background image", run.stdout_lines)
        self.assert_game_started(run)
        self.assertEqual(harness.snapshot(directory / "game"), before, "a current tree was modified")

    def test_same_size_change_is_fetched_and_the_old_copy_kept_aside(self):
        directory = self.installed_copy()
        name = "data/same size.bin"
        stale = b"B" * len(self.source[name])
        (directory / "game" / name).write_bytes(stale)
        run = harness.run_launcher(directory)
        self.assert_status(run, 0)
        self.assert_transfers(run, [name])
        self.assert_game_started(run)
        harness.assert_files_equal(self, {**self.source, name + ".upd_old": stale},
                                   directory / "game", msg=run.describe())

    def test_size_change_is_fetched_without_hashing_the_local_copy(self):
        # The growing file's local copy is a sparse file of a terabyte: hashing it would take
        # far longer than the run's time limit, so a run that ends in time did not read it.
        directory = self.installed_copy()
        with open(directory / "game" / "data/grows.bin", "r+b") as f:
            f.truncate(SPARSE_SIZE)
        (directory / "game" / "data/shrinks.bin").write_bytes(b"short")
        try:
            run = harness.run_launcher(directory, timeout=30)
        except AssertionError as error:
            self.fail(f"the run did not end in time: was the local copy hashed?\n{error}")
        self.assert_status(run, 0)
        self.assert_transfers(run, ["data/grows.bin", "data/shrinks.bin"])
        self.assert_game_started(run)
        aside = directory / "game" / "data/grows.bin.upd_old"
        self.assertEqual(aside.stat().st_size, SPARSE_SIZE)
        aside.unlink()
        harness.assert_files_equal(self, {**self.source, "data/shrinks.bin.upd_old": b"short"},
                                   directory / "game", msg=run.describe())

    def test_unlisted_files_and_links_are_deleted_and_dot_directories_kept(self):
        directory = self.installed_copy()
        game = directory / "game"
        unlisted = {
            "unlisted.txt": b"not in the list\n",
            "data/level1/stray.bin": b"x" * 300,
            "data/same size.bin.upd_old": b"a leftover previous copy",
            ".dotfile": b"a file whose own name starts with a dot",
            "gone dir/deeper/only.bin": b"its folders go with it",
        }
        harness.write_tree(game, unlisted)
        # A current file's leftover temporary is kept by the scan, then removed as useless.
        harness.write_tree(game, {"name with spaces.txt.zs": b"a leftover download"})
        kept = {".config/settings.ini": b"volume=3\n", ".config/deeper/state": b"\x00\x01"}
        harness.write_tree(game, kept)
        (game / "empty dir").mkdir()
        outside = directory / "outside"
        harness.write_tree(outside, {"keep.txt": b"outside game/\n", "sub/keep2.txt": b"2"})
        (game / "linked dir").symlink_to(outside, target_is_directory=True)
        (game / "data" / "linked file").symlink_to(outside / "keep.txt")
        # A link at a listed name, to a file of the listed content: replaced, never read through.
        listed_link = "data/level1/map.bin"
        harness.write_tree(outside, {"map.bin": self.source[listed_link]})
        (game / listed_link).unlink()
        (game / listed_link).symlink_to(outside / "map.bin")
        kept_before = harness.snapshot(game / ".config")
        outside_before = harness.snapshot(outside)

        run = harness.run_launcher(directory)
        self.assert_status(run, 0)
        self.assert_transfers(run, [listed_link])
        self.assertTrue(os.path.islink(game / (listed_link + ".upd_old")), run.describe())
        reported = run.not_found()
        self.assertEqual(set(reported), set(unlisted) | {"linked dir", "data/linked file"},
                         run.describe())
        for name, data in unlisted.items():
            self.assertEqual(reported[name], len(data), name)
        self.assert_game_started(run)

        harness.assert_files_equal(self, {**self.source, **kept}, game, skip=(listed_link + ".upd_old",),
                                   msg=run.describe())
        self.assertEqual(harness.snapshot(game / ".config"), kept_before)
        self.assertFalse(os.path.lexists(game / "linked dir"))
        self.assertFalse(os.path.lexists(game / "data" / "linked file"))
        self.assertEqual(harness.snapshot(outside), outside_before, "a link's target was touched")
        self.assertFalse((game / "empty dir").exists(), "an empty folder is left")
        self.assertFalse((game / "gone dir").exists(), "an emptied folder is left")

    def test_the_record_of_verified_files_spares_reading_unchanged_ones(self):
        directory = self.installed_copy()
        listed, empty = len(self.source), sum(1 for d in self.source.values() if not d)

        def summary(run):
            self.assert_status(run, 0)
            self.assert_game_started(run)
            return next(line for line in run.stdout_lines if line.endswith(" fetched"))

        every_file_read = f"0 current by the record of verified files, {listed} by their SHA-1, 0 fetched"
        self.assertEqual(summary(harness.run_launcher(directory)), every_file_read)
        self.assertEqual(summary(harness.run_launcher(directory)),
                         f"{listed - empty} current by the record of verified files, {empty} by their SHA-1, "
                         "0 fetched")

        # Other bytes of the same size under the old modification time: the change time tells.
        name = "data/same size.bin"
        path = directory / "game" / name
        times = path.stat()
        path.write_bytes(b"C" * len(self.source[name]))
        os.utime(path, ns=(times.st_atime_ns, times.st_mtime_ns))
        run = harness.run_launcher(directory)
        self.assertEqual(summary(run),
                         f"{listed - empty - 1} current by the record of verified files, {empty} by their SHA-1, "
                         "1 fetched")
        self.assertEqual(path.read_bytes(), self.source[name])

        # A record that cannot be trusted whole is not trusted at all.
        state = directory / "launcher.state"
        good = state.read_bytes()
        def whole(body):  # with the last line that vouches for the rest
            return body + b"end " + hashlib.sha1(body).hexdigest().encode() + b"\n"
        body = good[:good.rindex(b"end ")]
        for what, tampered in [("cut short", good[:len(good) // 2]),
                               ("one byte changed", good.replace(b"file", b"fila", 1)),
                               ("another server's", whole(body.replace(b"source https://", b"source https://x", 1))),
                               ("another format's", whole(body.replace(b"state 1", b"state 2", 1)))]:
            with self.subTest(what):
                state.write_bytes(tampered)
                self.assertEqual(summary(harness.run_launcher(directory)), every_file_read)

    def test_started_elsewhere_works_beside_its_executable(self):
        # As from a shortcut whose "Start in" is another folder: that folder holds a game/ of
        # its own, which a launcher working there would scan, empty and fill.
        directory = self.installed_copy()
        name = "data/same size.bin"
        stale = b"B" * len(self.source[name])
        (directory / "game" / name).write_bytes(stale)
        elsewhere = Path(tempfile.mkdtemp(prefix="elsewhere-", dir=self.scratch))
        harness.write_tree(elsewhere / "game", {"unlisted.txt": b"not in the list\n", name: b"stale"})
        before = harness.snapshot(elsewhere)

        run = harness.run_launcher(directory, cwd=elsewhere)
        self.assert_status(run, 0)
        self.assert_transfers(run, [name])
        self.assert_game_started(run)
        harness.assert_files_equal(self, {**self.source, name + ".upd_old": stale},
                                   directory / "game", msg=run.describe())
        self.assertEqual(harness.snapshot(elsewhere), before, "the starting directory was touched")

    def test_missing_empty_file_is_created(self):
        directory = self.installed_copy()
        (directory / "game" / "empty.dat").unlink()
        run = harness.run_launcher(directory)
        self.assert_status(run, 0)
        self.assert_transfers(run, ["empty.dat"])
        self.assert_game_started(run)
        harness.assert_files_equal(self, self.source, directory / "game", msg=run.describe())


if __name__ == "__main__":
    unittest.main()
