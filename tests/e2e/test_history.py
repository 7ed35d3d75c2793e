"""A game's history against nginx: versions published one after the other, and an update killed
at any moment. Each ends with exactly the published files."""

import os
import random
import signal
import unittest
from pathlib import Path

import harness
from harness import E2ETestCase, LIST_NAME

# Folders become a file, one is emptied, one is renamed by case; a file becomes a folder and back.
VERSIONS = [{"data/sub/x.bin": b"x", "data/y.bin": b"y", "a/b/c.bin": b"c", "keep.bin": b"k", "sounds/a.ogg": b"a"},
            {"data": b"one", "keep.bin": b"k2", "Sounds/a.ogg": b"a"},
            {"data/x": b"x", "keep.bin": b"k2", "Sounds/a.ogg": b"a"},
            {"data": b"two", "keep.bin": b"k2", "Sounds/a.ogg": b"a"}]


class HistoryTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.root = cls.scratch / "root"
        cls.root.mkdir()
        cls.serve(cls.root, rate="1m")

    def publish(self, files):
        harness.publish({harness.GAME_EXE: harness.GAME_STUB, **files}, self.root)

    def assert_installed(self, run, files):
        """RUN succeeded; game/ holds FILES and the folders they need, besides copies set aside."""
        self.assert_ok(run, {harness.GAME_EXE: harness.GAME_STUB, **files}, skip=harness.UPD_OLD)
        game = run.directory / "game"
        folders = {os.path.relpath(d, game) for d, _, _ in os.walk(game) if ".upd_old" not in d} - {"."}
        self.assertEqual(folders, {str(p) for name in files for p in Path(name).parents} - {"."}, run.describe())

    def test_versions_converge(self):
        directory = self.stage()
        for files in VERSIONS:
            self.publish(files)
            self.assert_installed(harness.run_launcher(directory), files)
        self.assert_installed(harness.run_launcher(directory), VERSIONS[-1])  # again: nothing left aside
        self.assertEqual([n for n in harness.snapshot(directory / "game") if ".upd_old" in n], [])

    def test_an_update_killed_at_any_moment_converges(self):
        rng = random.Random(3)
        old = {f"f{i:02d}.bin": rng.randbytes(20_000) for i in range(20)}
        new = {**{n: rng.randbytes(20_000) for n in list(old)[:12]}, "big.bin": rng.randbytes(1_500_000),
               "sub/dir/new.bin": b"new"}
        self.publish(old)
        installed = self.stage()
        self.assert_installed(harness.run_launcher(installed), old)
        self.publish(new)
        game = lambda run: run.directory / "game"  # noqa: E731
        moments = [  # given by what the launcher has shown or written so far
            ("at once", lambda run: True),
            ("the list fetched", lambda run: any(LIST_NAME in line for line in run.lines)),
            ("the scan deleting", lambda run: run.not_found()),
            ("a transfer under way", lambda run: any(p.stat().st_size > 0 for p in game(run).rglob("*.zs"))),
            ("files installed", lambda run: len(run.transfers()) >= 6),
            ("the big file arriving", lambda run: (game(run) / "big.bin.zs").exists()),
            ("about to start the game", lambda run: "All jobs completed" in run.lines),
        ]
        for what, moment in moments:
            with self.subTest(what):
                directory = self.stage({"../saves/slot1.sav": b"the player's own"}, like=installed)
                run = harness.LauncherRun(directory)
                run.wait_for(lambda: moment(run), 30, what)
                run.process.send_signal(signal.SIGKILL)
                run.wait(10)
                started = any(line.startswith("starting ") for line in run.lines)  # before the game is
                harness.take_game_record(directory, wait=10 if started else 0)
                self.assert_installed(harness.run_launcher(directory), new)
                self.assertEqual((directory / "saves/slot1.sav").read_bytes(), b"the player's own")


if __name__ == "__main__":
    unittest.main()
