"""The player's machine refuses: a disk too small, a read-only game folder, a disk that fills
anyway, a file another program holds. They mount file systems: root only (harness.py)."""

import os
import random
import subprocess
import threading
import time
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
        cls.serve(harness.publish(cls.source, cls.scratch / "root"))

    def stage_on_tmpfs(self, size, game_files):
        directory = self.stage()
        (directory / "game").mkdir()
        mount("-t", "tmpfs", "-o", f"size={size}", "tmpfs", directory / "game")
        self.addCleanup(unmount, directory / "game")
        harness.write_tree(directory / "game", game_files)
        return directory

    def test_refusals_name_the_space_or_the_file(self):
        rows = [  # (what, size of game/, read-only, the report)
            ("disk too small", 1_000_000, False,
             "There is not enough free disk space for the update. It needs 3.0 MB, and 999.5 KB are free on the "
             "drive that holds "),
            ("read-only game folder", 10_000_000, True,
             "Cannot create game/manifest.dat.zs: Read-only file system\n\nFatal error in src/"),
        ]
        for what, size, read_only, report in rows:
            with self.subTest(what):
                directory = self.stage_on_tmpfs(size, {"unlisted canary.txt": b"deleted by an update that goes on"})
                if read_only:
                    mount("-o", "remount,ro", directory / "game")
                before = harness.snapshot(directory / "game")
                run = harness.run_launcher(directory)
                self.assert_fatal(run, report)
                self.assertEqual(harness.snapshot(directory / "game"), before, "the game folder changed")

    def test_disk_that_fills_anyway_is_reported_and_a_later_run_converges(self):
        # A stale copy of the right size: the space check cannot know that it will be fetched,
        # and the old copy, the download and the new copy do not fit together.
        directory = self.stage_on_tmpfs(3_500_000, {BIG: b"x" * BIG_SIZE})
        run = harness.run_launcher(directory)
        self.assertRegex(run.stderr, f"^Cannot (write|create) game/{BIG}(\\.zs)?: No space left on device\n\n"
                                     "Fatal error in src/", run.describe())
        self.assert_fatal(run)
        mount("-o", "remount,size=20000000", directory / "game")
        self.assert_ok(harness.run_launcher(directory), self.source, skip=harness.UPD_OLD)

    def test_a_file_held_by_another_program_is_waited_for(self):
        # A file with a mount on it cannot be moved: the system says it is busy, as Windows does
        # for a file that the running game holds.
        held = self.scratch / "held.bin"
        held.write_bytes(b"y" * BIG_SIZE)
        for release_after in (3, None):  # the launcher waits about 10 s
            with self.subTest(release_after=release_after):
                directory = self.stage({BIG: b"y" * BIG_SIZE})
                mount("--bind", held, directory / "game" / BIG)
                self.addCleanup(unmount, directory / "game" / BIG)
                if release_after:
                    threading.Timer(release_after, unmount, [directory / "game" / BIG]).start()
                started = time.monotonic()
                run = harness.run_launcher(directory)
                self.assertIn(f"waiting for game/{BIG}, which another program holds open", run.lines, run.describe())
                if release_after:
                    self.assert_ok(run, {**self.source, BIG + ".upd_old": b"y" * BIG_SIZE})
                else:
                    self.assert_fatal(run, "The game is still running. Close it, then start the launcher again.\n"
                                           f"game/{BIG} is in use by another program.")
                    self.assertGreater(run.ended - started, 9, "the launcher did not wait")


if __name__ == "__main__":
    unittest.main()
