"""A game's history: sequences of published versions, a version published while a player
downloads the one before, and an update killed at any moment. Every one ends with exactly the
published files."""

import hashlib
import os
import random
import shutil
import signal
import unittest
from pathlib import Path

import harness
from harness import E2ETestCase, FaultServer, LIST_NAME, url_for

GAME = {harness.GAME_EXE: harness.GAME_STUB}

# (what, the versions published one after the other; the launcher runs after each)
SEQUENCES = [
    ("a folder becomes a file, then changes",
     [{"data/sub/x.bin": b"x", "data/y.bin": b"y"}, {"data": b"one"}, {"data": b"two"}]),
    ("a file becomes a folder and back", [{"data": b"one"}, {"data/x": b"x"}, {"data": b"two"}]),
    ("a folder left empty goes", [{"a/b/c.bin": b"c", "keep.bin": b"k"}, {"keep.bin": b"k2"}]),
    ("a folder renamed by case", [{"sounds/a.ogg": b"a"}, {"Sounds/a.ogg": b"a"}]),
]


def folders(root):
    return {str(Path(d).relative_to(root)) for d, _, _ in os.walk(root)} - {"."}


def needed_folders(files):
    return {str(p) for name in files for p in Path(name).parents} - {"."}


class HistoryTestCase(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.root = cls.scratch / "root"
        (cls.root / "windows").mkdir(parents=True)

    def publish(self, files):
        source = Path(harness.scratch_dir("source"))
        self.addCleanup(harness.remove_tree, source)
        harness.write_tree(source, {**GAME, **files})
        harness.publish(source, self.root)

    def assert_installed(self, run, files):
        """The run succeeded and game/ holds FILES exactly, apart from copies set aside."""
        game = run.directory / "game"
        self.assert_status(run, 0)
        self.assert_game_started(run)
        installed = {n: d for n, d in harness.read_files(game).items() if not n.endswith(".upd_old")}
        self.assertEqual(installed, {**GAME, **files}, run.describe())
        extra = {f for f in folders(game) - needed_folders(files) if not f.endswith(".upd_old")}
        self.assertEqual(extra, set(), run.describe())


class VersionsTest(HistoryTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.start_dev_server(cls.root, rate="1m")

    def test_every_sequence_of_versions_converges(self):
        for what, versions in SEQUENCES:
            with self.subTest(what):
                directory = self.stage()
                for files in versions:
                    self.publish(files)
                    self.assert_installed(harness.run_launcher(directory), files)
                # One more run of the last version leaves nothing set aside.
                run = harness.run_launcher(directory)
                self.assert_installed(run, versions[-1])
                self.assertEqual([n for n in harness.read_files(directory / "game") if ".upd_old" in n], [])

    def test_an_update_killed_at_any_moment_converges(self):
        rng = random.Random(3)
        old = {f"f{i:02d}.bin": rng.randbytes(20_000) for i in range(20)}
        new = {**{n: rng.randbytes(20_000) for n in list(old)[:12]}, "big.bin": rng.randbytes(1_500_000),
               "sub/dir/new.bin": b"new"}
        self.publish(old)
        installed = self.stage()
        self.assert_installed(harness.run_launcher(installed), old)
        self.publish(new)
        # Moments given by what the launcher has shown or written so far.
        game = lambda run: run.directory / "game"  # noqa: E731
        moments = [
            ("at once", lambda run: True),
            ("the list fetched", lambda run: any(LIST_NAME in line for line in run.stdout_lines)),
            ("the scan deleting", lambda run: run.not_found()),
            ("a transfer under way", lambda run: any(p.stat().st_size > 0 for p in game(run).rglob("*.zs"))),
            ("files installed", lambda run: len(run.transfers()) >= 6),
            ("the big file resumed or arriving", lambda run: (game(run) / "big.bin.zs").exists()),
            ("about to start the game", lambda run: "All jobs completed" in run.stdout_lines),
        ]
        for what, moment in moments:
            with self.subTest(what):
                directory = self.stage()
                shutil.copytree(installed / "game", directory / "game")
                harness.write_tree(directory, {"saves/slot1.sav": b"the player's own"})
                run = harness.LauncherRun(directory)
                try:
                    run.wait_for(lambda: moment(run), 30, what)
                    run.process.send_signal(signal.SIGKILL)
                    run.wait(timeout=10)
                finally:
                    run.kill()
                harness.take_game_record(directory, wait=0)
                self.assert_installed(harness.run_launcher(directory), new)
                self.assertEqual((directory / "saves/slot1.sav").read_bytes(), b"the player's own")


class PublishDuringDownloadTest(HistoryTestCase):
    def test_a_version_published_during_the_download_restarts_it(self):
        # The player got the old list; the server already holds the new files.
        old, new = {"data/a.bin": b"old a" * 1000, "b.bin": b"b"}, {"data/a.bin": b"new a" * 1000, "b.bin": b"b"}
        self.publish(old)
        old_list = self.scratch / "old-list.zs"
        shutil.copy(harness.published_path(self.root, LIST_NAME), old_list)
        self.publish(new)
        faults = {f"/windows/{LIST_NAME}.zs": {"body_file": str(old_list), "times": 1}}
        with FaultServer(self.root, self.cert_dir, faults, self.scratch / "fault").start():
            run = harness.run_launcher(self.stage())
        self.assert_installed(run, new)
        self.assertIn("File checksum error: data/a.bin; fetching the file list again", run.stdout_lines)
        self.assertEqual(run.transfers().count(url_for(LIST_NAME)), 2, run.describe())
        # Each file is asked for with its listed digest, so no cache can mix versions.
        digest = hashlib.sha1(new["data/a.bin"]).hexdigest()
        self.assertIn(f"{url_for('data/a.bin')}?{digest}", run.transfers(with_query=True))



if __name__ == "__main__":
    unittest.main()
