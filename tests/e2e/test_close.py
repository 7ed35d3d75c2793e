"""Closing the window (SIGTERM, which SDL turns into a quit event) while files download, and
while the file list itself is being fetched; the next run resumes what the closed one began."""

import os
import random
import unittest

import harness
from harness import E2ETestCase, LIST_NAME

BIG_FILES = 4
BIG_SIZE = 1 << 20  # incompressible: the whole MiB goes over the wire
RATE = "128k"  # per connection: a big file takes about 8 s
STOP_WITHIN_S = 2.5  # every transfer stops within about a second; the process ends soon after


def partial_downloads(game_dir):
    """Temporary ".zs" files of the big files that have received bytes."""
    return [p for p in game_dir.glob("big *.bin.zs") if p.stat().st_size > 0]


class CloseDuringDownloadsTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        rng = random.Random(5)
        cls.source = {harness.GAME_EXE: harness.GAME_STUB}
        cls.old = {}
        for i in range(BIG_FILES):
            name = f"big {i}.bin"
            cls.source[name] = rng.randbytes(BIG_SIZE)
            # Old copies, of the same size and of another size, that must survive the close.
            cls.old[name] = rng.randbytes(BIG_SIZE if i % 2 == 0 else BIG_SIZE // 3)
        harness.write_tree(cls.scratch / "src", cls.source)
        cls.root = harness.publish(cls.scratch / "src", cls.scratch / "root")
        cls.start_dev_server(cls.root, rate=RATE)

    def test_close_stops_every_transfer_and_replaces_nothing_and_the_next_run_resumes(self):
        directory = self.stage(self.old)
        game = directory / "game"
        run = harness.LauncherRun(directory)
        try:
            # Two workers (there are at least two) are in the middle of a big file each.
            run.wait_for(lambda: len(partial_downloads(game)) >= 2, 20, "two transfers under way")
            run.terminate()
            run.wait(timeout=15)
        finally:
            run.kill()
        self.assert_status(run, 0)
        self.assertLess(run.ended - run.signalled, STOP_WITHIN_S,
                        f"transfers went on after the window was closed\n{run.describe()}")
        self.assert_game_not_started(run)
        lines = run.stdout_lines
        begun = [line for line in lines if line.startswith("worker thread begin ")]
        ended = [line for line in lines if line.startswith("worker thread end ")]
        self.assertEqual(len(ended), len(begun), run.describe())

        # Every target is its old copy or the complete new file, never a partial one.
        for name, data in harness.read_files(game).items():
            if name.endswith(".zs"):
                continue
            self.assertIn(data, (self.old.get(name), self.source.get(name)), name)
        for name, data in self.old.items():
            self.assertEqual((game / name).read_bytes(), data, f"{name} was replaced\n{run.describe()}")

        # The next run goes on from the bytes there, but for a file that changed on the server
        # since (its validator changed: If-Range answers with the whole file).
        partial = {p.name[:-len(".zs")]: p.stat().st_size for p in partial_downloads(game)}
        changed = sorted(partial)[0]
        os.utime(harness.published_path(self.root, changed))
        run = harness.run_launcher(directory)
        self.assert_status(run, 0)
        self.assert_game_started(run)
        self.assertLessEqual(set(partial), set(run.resumed()), run.describe())
        statuses = run.statuses()
        self.assertEqual({n: statuses[n] for n in partial}, {n: 200 if n == changed else 206 for n in partial},
                         run.describe())
        harness.assert_files_equal(self, self.source, game, skip={n + ".upd_old" for n in self.old},
                                   msg=run.describe())


class CloseOutsideDownloadsTest(E2ETestCase):
    """Closing before any job exists, and after every job has finished."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.source = {harness.GAME_EXE: harness.GAME_STUB, "a.bin": b"a" * 1000}
        harness.write_tree(cls.scratch / "src", cls.source)
        cls.root = harness.publish(cls.scratch / "src", cls.scratch / "root")

    def test_close_while_fetching_the_list_is_fatal(self):
        server = self.start_fault_server(self.root, {f"/windows/{LIST_NAME}.zs": {"stall": 120}})
        directory = self.stage({"unlisted.txt": b"the scan never ran\n"})
        before = harness.snapshot(directory / "game")
        run = harness.LauncherRun(directory)
        try:
            run.wait_for(lambda: server.faults_applied(LIST_NAME) == 1, 10, "the list request")
            run.terminate()
            run.wait(timeout=15)
        finally:
            run.kill()
        self.assert_fatal(run, "Cannot download file list")
        self.assertLess(run.ended - run.signalled, STOP_WITHIN_S, run.describe())
        self.assertEqual(run.transfers(), [], run.describe())
        after = harness.snapshot(directory / "game")
        after.pop(f"{LIST_NAME}.zs", None)  # the abandoned download's temporary file
        self.assertEqual(after, before, "the game tree was touched")

    def test_close_after_all_jobs_completed_still_starts_the_game(self):
        self.start_fault_server(self.root, {})
        run = harness.LauncherRun(self.stage())
        try:
            run.wait_for_line("^All jobs completed$", timeout=30)
            run.terminate()
            run.wait(timeout=15)
        finally:
            run.kill()
        self.assert_status(run, 0)
        self.assert_game_started(run)
        harness.assert_files_equal(self, self.source, run.directory / "game", msg=run.describe())


if __name__ == "__main__":
    unittest.main()
