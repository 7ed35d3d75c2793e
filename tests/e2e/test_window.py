"""The launcher's window in Xvfb against the rate-limited dev server: a screenshot while it
downloads; closing it stops every transfer and replaces nothing; the next run resumes; a run
closed after every file is current still starts the game."""

import os
import random
import subprocess
import time
import unittest

import harness
from harness import E2ETestCase

BIG_FILES, BIG_SIZE = 3, 2 << 20  # incompressible, 4 s each at the rate
WHITE, TRACK, SHADOW = ((255, 255, 255), 170), ((0, 0, 0), 48), ((0, 0, 0), 64)  # as the renderer blends them
TOLERANCE = 4


def blend(under, over):
    color, alpha = over
    return tuple((c * alpha + u * (255 - alpha)) / 255 for c, u in zip(color, under))


class WindowTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        rng = random.Random(5)
        background = cls.scratch / "launcher.dat"
        subprocess.run([harness.SCRIPTS_DIR / "make-background.sh", background, "Window Test"], check=True)
        # Small files first in the list's byte order, so that jobs finish while the big ones run.
        cls.source = {harness.GAME_EXE: harness.GAME_STUB, "launcher.dat": background.read_bytes(),
                      **{f"maps/a small {i}.dat": rng.randbytes(8000) for i in range(4)},
                      **{f"maps/big map {i}.pak": rng.randbytes(BIG_SIZE) for i in range(BIG_FILES)}}
        cls.root = harness.publish(cls.source, cls.scratch / "root")
        cls.serve(cls.root, rate="500k")
        subprocess.run(["convert", background, "-depth", "8", f"ppm:{cls.scratch / 'background.ppm'}"], check=True)
        cls.background = harness.Image(cls.scratch / "background.ppm")

    def assert_close(self, actual, expected, what):
        self.assertTrue(all(abs(a - e) <= TOLERANCE for a, e in zip(actual, expected)),
                        f"{what}: {actual}, expected about {tuple(round(e) for e in expected)}")

    def test_window_close_and_resume(self):
        # Old copies, of the same size and of another, that the close must leave in place.
        old = {"launcher.dat": harness.png_image(480, 240, (90, 30, 30)), "maps/big map 0.pak": os.urandom(BIG_SIZE),
               "maps/big map 1.pak": os.urandom(BIG_SIZE // 3)}
        directory = self.stage(old)
        game = directory / "game"
        x = harness.Xvfb(self.scratch / "xvfb.log")
        self.addCleanup(x.stop)
        run = harness.LauncherRun(directory, env=x.env)
        self.addCleanup(run.kill)
        shot, origin = self.screenshot_with_a_worker_bar(x, run)
        partials = lambda: [p for p in game.glob("maps/big *.pak.zs") if p.stat().st_size > 0]  # noqa: E731
        run.wait_for(lambda: len(partials()) >= 2, 20, "two transfers under way")
        run.terminate()
        run.wait(60)  # the transfers left would take about 10 s more
        self.assertEqual(run.returncode, 0, run.describe())
        for path in partials():  # the close cut them short
            self.assertLess(path.stat().st_size, harness.published_path(self.root, path.relative_to(game).as_posix()[:-3])
                            .stat().st_size, f"{path} went on after the close\n{run.describe()}")
        self.assertIsNone(harness.take_game_record(directory, wait=0.3), run.describe())
        self.assertEqual(*[len([line for line in run.lines if line.startswith(f"worker thread {what} ")])
                           for what in ("begin", "end")], run.describe())
        for name, data in harness.snapshot(game, files_only=True).items():
            if not name.endswith((".zs", ".upd_old")):
                self.assertTrue(data in (old.get(name), self.source.get(name)), name)
        for name in ("maps/big map 0.pak", "maps/big map 1.pak"):
            self.assertEqual((game / name).read_bytes(), old[name], f"{name} was replaced\n{run.describe()}")
        # The installed background showed first; the update replaced it and the next frame drew the new one.
        self.assertIn("replacing background image", run.lines)
        self.assertEqual(len(run.matches(r"^loaded bg texture 0x\w+ 0x\w+$")), 2, run.describe())
        self.check_frame(shot, origin)

        # The next run goes on from the bytes there, but for a file changed on the server since:
        # its validator changed, and If-Range brings the whole file.
        partial = {p.relative_to(game).as_posix()[:-3] for p in partials()}
        changed = min(partial)
        os.utime(harness.published_path(self.root, changed))
        run = harness.run_launcher(directory)
        self.assert_ok(run, self.source, skip=harness.UPD_OLD)
        self.assertLessEqual(partial, set(run.resumed()), run.describe())
        self.assertEqual({n: run.statuses()[n] for n in partial}, {n: 200 if n == changed else 206 for n in partial})

        run = harness.LauncherRun(directory)
        run.wait_for(lambda: "All jobs completed" in run.lines, 30, "the end of the update")
        run.terminate()
        self.assert_ok(run.wait(15), self.source)

    def screenshot_with_a_worker_bar(self, x, run):
        """The first screenshot of the new background's window showing progress, and its origin."""
        deadline = time.monotonic() + 40
        while time.monotonic() < deadline and run.process.poll() is None:
            window = x.window("VELM Launcher")
            if window and x.geometry(window)[2:] == (600, 300) and "replacing background image" in run.lines:
                shot, origin = x.screenshot(self.scratch / "screen.ppm"), x.geometry(window)[:2]
                if shot.at(origin[0] + 20, origin[1] + 20)[0] > 150 and shot.at(origin[0] + 20, origin[1] + 275)[0] > 150:
                    subprocess.run(["convert", f"ppm:{self.scratch / 'screen.ppm'}",
                                    f"png:{harness.BUILD_DIR / 'e2e-window.png'}"], capture_output=True)
                    return shot, origin
            time.sleep(0.3)
        self.fail(f"no screenshot with a worker bar\n{run.describe()}")

    def check_frame(self, shot, origin):
        ox, oy = origin
        self.assertTrue(0 <= ox and ox + 600 <= shot.width and 0 <= oy and oy + 300 <= shot.height, origin)
        bg = self.background.at
        track = lambda x, y: blend(bg(x, y), TRACK)  # noqa: E731
        # Borderless, the background's size, the image stretched over all of it; the overall bar
        # at (20, 270, 560, 10), filled from x = 20; a worker bar at (20, 20) with its shadow 1 px
        # right and below.
        expected = [*(((x, y), bg(x, y), "background") for x, y in
                      ((0, 0), (5, 150), (599, 0), (595, 150), (300, 140), (300, 230), (0, 299), (599, 299), (580, 270),
                       (580, 279), (19, 270), (19, 279), (300, 269), (300, 280), (19, 20), (20, 19))),
                    *(((20, y), blend(track(20, y), WHITE), "overall fill") for y in (270, 279)),
                    *(((579, y), track(579, y), "overall track") for y in (270, 279)),
                    *(((x, y), blend(bg(x, y), WHITE), "worker bar") for x, y in ((20, 20), (21, 20), (20, 21))),
                    ((21, 21), blend(blend(bg(21, 21), SHADOW), WHITE), "worker bar over its shadow"),
                    ((21, 22), blend(bg(21, 22), SHADOW), "worker bar's shadow")]
        for (x, y), color, what in expected:
            self.assert_close(shot.at(ox + x, oy + y), color, f"{what} at {x},{y}")
        for x, y in ((-1, 0), (0, -1), (600, 299), (599, 300)):  # the root window right outside
            if 0 <= ox + x < shot.width and 0 <= oy + y < shot.height:
                self.assertEqual(shot.at(ox + x, oy + y), (0, 0, 0), f"beside the window at {x},{y}")
        # White status text near (20, 250), above the overall bar, on the dark part of the image.
        white = [(x, y) for y in range(245, 270) for x in range(400) if min(shot.at(ox + x, oy + y)) >= 240]
        self.assertGreater(len(white), 30, "white status text near 20,250")
        self.assertTrue(20 <= min(x for x, _ in white) <= 30 and min(y for _, y in white) >= 250, white[:5])


if __name__ == "__main__":
    unittest.main()
