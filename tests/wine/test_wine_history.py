"""The Windows launcher under Wine across versions and interruptions, where Windows differs: a
changed file comes as a patch, a folder renamed by case is the same folder, a file the game holds open is waited for, and a
download closed half-way resumes (or starts over for a file that changed on the server)."""

import os
import random
import subprocess
import unittest

from wine_harness import WineTestCase
import wine_harness
import harness
import test_history
import test_window
from harness import LIST_NAME, url_for

HOLD_S = 3  # the launcher waits about 10 s for a file held open
RATE = "300k"  # per request: a big file takes a few seconds


class WineHistoryTest(WineTestCase, test_history.HistoryTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.start_dev_server(cls.root, rate=RATE)

    def run_ok(self, directory):
        run = harness.run_launcher(directory, timeout=120)
        self.assert_status(run, 0)
        self.assert_game_started(run)
        return run

    def test_a_folder_renamed_by_case_is_the_same_folder(self):
        directory = self.stage()
        self.publish({"sounds/a.ogg": b"a"})
        self.run_ok(directory)
        self.publish({"Sounds/a.ogg": b"a"})
        for _ in range(2):  # not fetched again, at this start or the next
            run = self.run_ok(directory)
            self.assertEqual(run.transfers(), [url_for(LIST_NAME)], run.describe())
        self.assertEqual((directory / "game" / "sounds" / "a.ogg").read_bytes(), b"a")

    def test_a_changed_file_comes_as_a_patch(self):
        # The patch is applied against the old copy mapped, into a mapped output: Windows' own
        # mapping calls.
        rng = random.Random(4)
        old = rng.randbytes(1 << 20)
        new = old[:300_000] + rng.randbytes(5000) + old[305_000:]
        directory = self.stage()
        self.publish({"x.pak": old})
        self.run_ok(directory)
        self.publish({"x.pak": new})
        run = self.run_ok(directory)
        self.assertTrue(any("/.patches/" in url for url in run.transfers()), run.describe())
        self.assertEqual((directory / "game" / "x.pak").read_bytes(), new)

    def test_a_file_held_open_is_waited_for(self):
        directory = self.stage()
        self.publish({"x.bin": b"one"})
        self.run_ok(directory)
        self.publish({"x.bin": b"two"})
        holder = subprocess.Popen(wine_harness.HOLDER + ["file", str(directory / "game" / "x.bin"), str(HOLD_S)],
                                  env=harness.launcher_env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  text=True)
        try:
            self.assertEqual(holder.stdout.readline().strip(), "holding")
            run = self.run_ok(directory)
        finally:
            holder.wait(timeout=30)
            holder.stdout.close()
        self.assertIn("waiting for game/x.bin, which another program holds open", run.stdout_lines, run.describe())
        self.assertEqual((directory / "game" / "x.bin").read_bytes(), b"two")

    def test_a_closed_download_resumes_unless_the_file_changed(self):
        rng = random.Random(8)
        files = {f"big {i}.bin": rng.randbytes(1 << 20) for i in range(2)}
        self.publish(files)
        directory = self.stage()
        game = directory / "game"
        with test_window.Xvfb(self.scratch / "xvfb.log") as x:
            run = wine_harness.run_with_display(directory, x.env())
            try:
                run.wait_for(lambda: all((game / (n + ".zs")).exists() and (game / (n + ".zs")).stat().st_size
                                         > 100_000 for n in files), 60, "both transfers under way")
                window = wine_harness.wait_for_window(run, x.env(), "VELM Launcher")
                wine_harness.press_keys(x.env(), window, "alt+F4")
                run.wait(timeout=30)
            finally:
                run.kill()
        os.utime(harness.published_path(self.root, "big 0.bin"))  # its validator changes
        # (The game's start after a session with a display is Wine's business here: the other
        # tests check it.)
        run = harness.run_launcher(directory, timeout=120)
        self.assert_status(run, 0)
        self.assertLessEqual(set(files), set(run.resumed()), run.describe())
        self.assertEqual({n: run.statuses()[n] for n in files}, {"big 0.bin": 200, "big 1.bin": 206}, run.describe())
        harness.assert_files_equal(self, {**test_history.GAME, **files}, game, skip=("ran.txt",), msg=run.describe())

if __name__ == "__main__":
    unittest.main()
