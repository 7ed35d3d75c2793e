"""The Windows launcher under Wine against nginx, on the Linux tests' game tree: a fresh install,
a run on a current tree, the record of verified files, the deletion of what the file list does
not name, a read-only copy that must be replaced, and a start from another working directory."""

import os
import stat
import unittest

from wine_harness import WineTestCase
import harness
import test_update
from harness import LIST_NAME, url_for

# Beyond the Linux tree: names outside ASCII, which must reach the disk as the same characters
# (the launcher runs in the UTF-8 code page), not as the bytes of the legacy one.
NON_ASCII_NAME = "maps/caf\u00e9/\u00fcber map.dat"  # a directory and a file
INSTALL_PARENT = "Program Files"  # a space in the launcher's own path, as in a real install


def source_files():
    return {**test_update.source_files(), NON_ASCII_NAME: b"non-ASCII name\n"}


def make_read_only(path):
    path.chmod(stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)  # Wine: FILE_ATTRIBUTE_READONLY


class WineUpdateTest(WineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # One fresh install, which the first tests examine and the others start from.
        cls.install_fresh(source_files(), cls.scratch / INSTALL_PARENT / "VELM", timeout=120)

    def test_fresh_install_is_identical_and_starts_the_game_in_game_dir(self):
        run = self.fresh
        self.assert_status(run, 0)
        self.assertIn("All jobs completed", run.stdout_lines, run.describe())
        self.assert_transfers(run, self.source)
        self.assertEqual(run.not_found(), {}, run.describe())
        harness.assert_files_equal(self, self.source, self.installed / "game", msg=run.describe())
        self.assertTrue((self.installed / "game" / NON_ASCII_NAME).is_file(),
                        "the non-ASCII name was not stored as listed")

        # The game ran in game/, without arguments, although the path holds a space.
        self.assertIsNotNone(self.fresh_record, f"the game was not started\n{run.describe()}")
        self.assertEqual(self.fresh_record["cwd"],
                         "Z:" + os.path.realpath(self.installed / "game").replace("/", "\\"))
        self.assertEqual(self.fresh_record["argc"], "0", run.describe())
        self.assertEqual(self.fresh_record["args"], [], run.describe())

    # The record of verified files keeps Windows' own stamps (change time, file index).
    test_the_record_of_verified_files_spares_reading_unchanged_ones = \
        test_update.UpdateTest.test_the_record_of_verified_files_spares_reading_unchanged_ones

    def test_current_tree_fetches_only_the_list(self):
        directory = self.installed_copy()
        before = harness.snapshot(directory / "game")
        run = harness.run_launcher(directory)
        self.assert_status(run, 0)
        self.assertEqual(run.transfers(), [url_for(LIST_NAME)], run.describe())
        self.assertEqual(run.not_found(), {}, run.describe())
        self.assert_game_started(run)
        self.assertEqual(harness.snapshot(directory / "game"), before, "a current tree was modified")

    def test_unlisted_files_are_deleted_and_dot_directories_kept(self):
        # Links are left out: Wine shows a host link as what it points to, not as a link.
        directory = self.installed_copy()
        game = directory / "game"
        unlisted = {
            "unlisted.txt": b"not in the list\n",
            "data/level1/stray.bin": b"x" * 300,
            "read only.txt": b"Windows refuses to delete this until its flag is cleared\n",
            "data/same size.bin.upd_old": b"a leftover previous copy",
            ".dotfile": b"a file whose own name starts with a dot",
            "gone dir/deeper/only.bin": b"its folders go with it",
        }
        harness.write_tree(game, unlisted)
        make_read_only(game / "read only.txt")
        kept = {".config/settings.ini": b"volume=3\n"}
        harness.write_tree(game, kept)
        (game / "empty dir").mkdir()

        run = harness.run_launcher(directory)
        self.assert_status(run, 0)
        self.assertEqual(run.transfers(), [url_for(LIST_NAME)], run.describe())
        self.assertEqual(run.not_found(), {name: len(data) for name, data in unlisted.items()},
                         run.describe())
        self.assert_game_started(run)
        harness.assert_files_equal(self, {**self.source, **kept}, game, msg=run.describe())
        # RemoveDirectory, not DeleteFile, removes a folder on Windows.
        self.assertFalse((game / "empty dir").exists(), "an empty folder is left")
        self.assertFalse((game / "gone dir").exists(), "an emptied folder is left")

    # From a shortcut whose "Start in" is another folder, which holds a game/ of its own.
    test_started_elsewhere_works_beside_its_executable = \
        test_update.UpdateTest.test_started_elsewhere_works_beside_its_executable

    def test_read_only_stale_copy_is_replaced_and_set_aside(self):
        # The stale copy is read-only, and so is an earlier copy already set aside under the
        # name it moves to: both must give way.
        directory = self.installed_copy()
        name = "data/same size.bin"
        stale = b"B" * len(self.source[name])
        (directory / "game" / name).write_bytes(stale)
        make_read_only(directory / "game" / name)
        older = directory / "game" / (name + ".upd_old")
        older.write_bytes(b"an older copy")
        make_read_only(older)

        run = harness.run_launcher(directory)
        self.assert_status(run, 0)
        self.assert_transfers(run, [name])
        self.assert_game_started(run)
        harness.assert_files_equal(self, {**self.source, name + ".upd_old": stale},
                                   directory / "game", msg=run.describe())


if __name__ == "__main__":
    unittest.main()
