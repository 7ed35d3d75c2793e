"""The player's machine refuses: a disk too small, a game folder this account cannot change (the
installed game starts when it is current), a disk that fills during a patch, a file another
program holds. They mount file systems: root only (harness.py)."""

import os
import random
import subprocess
import unittest

import harness
from harness import E2ETestCase

BIG = "data/big.bin"
BIG_SIZE = 1_500_000  # incompressible: its download is as large as the file


def mount(*args):
    subprocess.run(["mount", *map(str, args)], check=True)


def unmount(path):
    subprocess.run(["umount", "-l", str(path)], stderr=subprocess.DEVNULL)


@unittest.skipUnless(os.environ.get("VELM_E2E_IN_NETNS") == "1", "needs root in a mount namespace of its own")
class MachineTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.source = {harness.GAME_EXE: harness.GAME_STUB, BIG: random.Random(9).randbytes(BIG_SIZE), "small.txt": b"s"}
        cls.root = harness.publish(cls.source, cls.scratch / "root")
        cls.serve(cls.root)

    def stage_on_tmpfs(self, size, game_files):
        directory = self.stage()
        (directory / "game").mkdir()
        mount("-t", "tmpfs", "-o", f"size={size}", "tmpfs", directory / "game")
        self.addCleanup(unmount, directory / "game")
        harness.write_tree(directory / "game", game_files)
        return directory

    def test_refusals_name_the_space_or_the_folder_and_a_current_install_starts(self):
        canary = {"unlisted canary.txt": b"deleted by an update that goes on"}
        rows = [  # (what, size of game/, what it holds, read-only, the report (None: the game starts))
            ("disk too small", 1_000_000, canary, False,
             "There is not enough free disk space for the update. It needs 3.0 MB, and 999.5 KB are free on the "
             "drive that holds "),
            ("an interrupted download taken back", 3_500_000, {f"{BIG}.zs": b"p" * 1_400_000}, False, None),
            ("read-only game folder", 10_000_000, canary, True,
             "This account cannot change the game folder {}/game. Move the game to a folder your account owns, or run "
             "the launcher once as administrator.\n\nCannot delete game/unlisted canary.txt: Read-only file system\n\n"
             "Fatal error in src/"),
            ("read-only game folder, current, its record not writable", 10_000_000, {}, True, None),
        ]
        for what, size, files, read_only, report in rows:
            with self.subTest(what):
                directory = self.stage_on_tmpfs(size, files)
                if read_only and report is None:
                    harness.run_launcher(directory)
                    harness.take_game_record(directory)
                    (directory / "launcher.state").unlink()
                    (directory / "launcher.state").mkdir()
                if read_only:
                    mount("-o", "remount,ro", directory / "game")
                before = harness.snapshot(directory / "game")
                run = harness.run_launcher(directory)
                if report is None and read_only:  # the stand-in game cannot record its start in a read-only folder
                    self.assertEqual(run.returncode, 0, run.describe())
                    self.assertIn(f"starting {directory}/game/{harness.GAME_EXE}", run.lines, run.describe())
                    self.assertIn("cannot write launcher.state: Is a directory; this update is not recorded", run.lines)
                elif report is None:
                    self.assert_ok(run, self.source)
                    self.assertTrue(run.matches("^taking back 1400000 bytes of interrupted transfers"), run.describe())
                    continue
                else:
                    self.assert_fatal(run, report.format(directory))
                self.assertEqual(harness.snapshot(directory / "game"), before, "the game folder changed")

    def test_disk_that_fills_during_a_patch_converges_once_space_is_freed(self):
        directory = self.stage_on_tmpfs(20_000_000, {})
        self.assert_ok(harness.run_launcher(directory), self.source)
        changed = {**self.source, BIG: self.source[BIG][:1000] + b"changed" + self.source[BIG][1007:]}
        harness.publish(changed, self.root)
        self.addCleanup(harness.publish, self.source, self.root)
        # The old copy stays the patch's base until the new one is whole: both do not fit.
        mount("-o", "remount,size=2500000", directory / "game")
        first = harness.run_launcher(directory)
        self.assert_fatal(first, "The drive that holds the game is full. Free some space, then start the launcher again",
                          f"game/{BIG}.upd_old: No space left on device")
        mount("-o", "remount,size=20000000", directory / "game")
        second = harness.run_launcher(directory)
        self.assert_ok(second, changed)
        self.assertEqual(len(second.matches(r"^\d+ \| +\d+ ms \| \S+/\.patches/[0-9a-f-]+\.zst$")), 1, second.describe())
        self.assertNotIn(harness.url_for(BIG), second.transfers(), second.describe())
        third = harness.run_launcher(directory)
        self.assert_ok(third, changed)
        self.assertEqual(third.transfers(), [harness.url_for(harness.LIST_NAME)], third.describe())

    def test_a_file_held_by_another_program_is_waited_for(self):
        # A file with a mount on it cannot be moved: the system says it is busy, as Windows does
        # for a file that the running game holds.
        held = self.scratch / "held.bin"
        held.write_bytes(b"y" * BIG_SIZE)
        waiting = f"waiting for game/{BIG}, which another program holds open"
        for released in (True, False):  # released once the launcher says it waits (for about 10 s), or never
            with self.subTest(released=released):
                directory = self.stage({BIG: b"y" * BIG_SIZE})
                mount("--bind", held, directory / "game" / BIG)
                self.addCleanup(unmount, directory / "game" / BIG)
                run = harness.LauncherRun(directory)
                self.addCleanup(run.kill)
                run.wait_for(lambda: waiting in run.lines, 60, "the wait for the held file")
                if released:
                    unmount(directory / "game" / BIG)
                    self.assert_ok(run.wait(), self.source)
                else:
                    self.assert_fatal(run.wait(), "The game is still running. Close it, then start the launcher again.\n"
                                                  f"game/{BIG} is in use by another program.")
        # A copy an older launcher set aside, held (the game may run from it), waits for a later start.
        directory = self.stage({"small.txt": b"s", "small.txt.upd_old": b"old"})
        mount("--bind", held, directory / "game" / "small.txt.upd_old")
        self.addCleanup(unmount, directory / "game" / "small.txt.upd_old")
        run = harness.run_launcher(directory)
        self.assert_ok(run)
        self.assertTrue(run.matches(r"^cannot delete game/small\.txt\.upd_old yet \(Device or resource busy\)"), run.describe())


if __name__ == "__main__":
    unittest.main()
