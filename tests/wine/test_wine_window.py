"""The Windows launcher's real window under Wine, in an X server (Xvfb), against the rate-limited
dev server: a screenshot of it while it downloads, and closing it, which stops the transfers."""

import os
import re
import subprocess
import time
import unittest

from wine_harness import WineTestCase
import wine_harness
import harness
import test_window
from test_window import BAR_WHITE, COLOR_TOLERANCE, TRACK_BLACK, blend

TITLE = "VELM Launcher"
BACKGROUND_SIZE = (600, 300)
BACKGROUND_RGB = (60, 90, 120)  # one colour: every pixel of the bar has a known expected value
RATE = "200k"  # bytes per second per connection
BIG_FILE_SIZE = 3 * 1024 * 1024  # about 15 s each at the rate
BIG_FILES = 3  # after launcher.dat in the list's byte order, so the background comes first
SCREENSHOT_DEADLINE_S = 40
SCREENSHOT_PAUSE_S = 0.3
PARTIAL_BYTES = 100 * 1024  # downloaded by each worker before the window is closed
CLOSE_TO_EXIT_S = 5  # far less than what is left of the transfers at the rate
ACCESS_LOG_WAIT_S = 5
SCREENSHOT_COPY = wine_harness.WIN_BUILD_DIR / "wine-window.png"


def big_name(i):
    return f"zz big {i}.pak"


class WineWindowTest(WineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.source = {harness.GAME_EXE: harness.GAME_STUB,
                      "launcher.dat": harness.png_image(*BACKGROUND_SIZE, rgb=BACKGROUND_RGB)}
        for i in range(BIG_FILES):
            cls.source[big_name(i)] = os.urandom(BIG_FILE_SIZE)
        harness.write_tree(cls.scratch / "src", cls.source)
        cls.root = harness.publish(cls.scratch / "src", cls.scratch / "root")
        cls.start_dev_server(cls.root, rate=RATE)

    def setUp(self):
        self.x = test_window.Xvfb(self.scratch / f"xvfb-{self._testMethodName}.log").__enter__()
        self.addCleanup(self.x.__exit__, None, None, None)
        self.access_log = self.scratch / "server" / "access.log"
        self.log_start = self.access_log.stat().st_size  # this test's requests come after
        self.directory = self.stage()
        self.run_ = wine_harness.run_with_display(self.directory, self.x.env())
        self.addCleanup(self.run_.kill)

    def close_window(self):
        """The player's close command (Alt+F4) on the launcher's window."""
        window = wine_harness.find_window(self.x.env(), TITLE)
        self.assertIsNotNone(window, f"no window to close\n{self.run_.describe()}")
        wine_harness.press_keys(self.x.env(), window, "alt+F4")
        return time.monotonic()

    def assert_close(self, actual, expected, what):
        self.assertTrue(all(abs(a - e) <= COLOR_TOLERANCE for a, e in zip(actual, expected)),
                        f"{what}: {actual}, expected about {tuple(round(e) for e in expected)}")

    def test_window_has_the_backgrounds_size_and_the_overall_bar(self):
        shot, origin = self.screenshot_with_progress()
        px = lambda x, y: shot.at(origin[0] + x, origin[1] + y)  # noqa: E731
        bg = BACKGROUND_RGB
        track = blend(bg, TRACK_BLACK)
        # The overall bar at (20, 270, 560, 10): filled from x = 20, the track to x = 579.
        for y in (270, 279):
            self.assert_close(px(20, y), blend(track, BAR_WHITE), f"overall fill at 20,{y}")
            self.assert_close(px(579, y), track, f"overall track at 579,{y}")
            self.assert_close(px(19, y), bg, f"left of the overall bar at 19,{y}")
            self.assert_close(px(580, y), bg, f"right of the overall bar at 580,{y}")
        self.assert_close(px(300, 269), bg, "above the overall bar")
        self.assert_close(px(300, 280), bg, "below the overall bar")
        for x, y in ((0, 0), (599, 0), (300, 150), (0, 299), (599, 299)):
            self.assert_close(px(x, y), bg, f"background at {x},{y}")

        self.close_window()
        self.assertEqual(self.run_.wait(timeout=30), 0, self.run_.describe())

    def screenshot_with_progress(self):
        """The first screenshot of the background's window with some overall progress; the
        screenshot and the window's origin on the screen."""
        deadline = time.monotonic() + SCREENSHOT_DEADLINE_S
        path = self.scratch / "screen.ppm"
        geometry = None
        while time.monotonic() < deadline:
            if self.run_.process.poll() is not None:
                self.fail(f"the launcher ended before a screenshot\n{self.run_.describe()}")
            geometry = self.x.window_geometry(TITLE)
            if geometry is not None:
                self.assertEqual(geometry[2:], BACKGROUND_SIZE, "the window's size")
                shot = self.x.screenshot(path)
                origin = geometry[:2]
                background = shot.at(origin[0] + 300, origin[1] + 150)
                fill = shot.at(origin[0] + 20, origin[1] + 275)
                if max(abs(a - b) for a, b in zip(background, BACKGROUND_RGB)) <= COLOR_TOLERANCE \
                        and fill[0] > 150:
                    # A PNG copy beside the Windows build, to look at after the run.
                    subprocess.run(["convert", f"ppm:{path}", f"png:{SCREENSHOT_COPY}"],
                                   check=False, capture_output=True)
                    return shot, origin
            time.sleep(SCREENSHOT_PAUSE_S)
        self.fail(f"no screenshot of the background with progress in {SCREENSHOT_DEADLINE_S} s; "
                  f"window {geometry}\n{self.run_.describe()}")

    def test_closing_the_window_stops_the_transfers(self):
        game = self.directory / "game"
        partials = [game / (big_name(i) + ".zs") for i in range(2)]  # one per worker

        def downloading():
            return all(p.exists() and p.stat().st_size >= PARTIAL_BYTES for p in partials)

        self.run_.wait_for(downloading, SCREENSHOT_DEADLINE_S, "both workers downloading")
        closed = self.close_window()
        status = self.run_.wait(timeout=30)
        self.assertEqual(status, 0, self.run_.describe())
        self.assertLess(self.run_.ended - closed, CLOSE_TO_EXIT_S, self.run_.describe())
        self.assert_game_not_started(self.run_)
        for i in range(BIG_FILES):
            self.assertFalse((game / big_name(i)).exists(), f"{big_name(i)} was put in place")

        # nginx saw each big transfer end early: the client went away.
        sent = self.bytes_sent_per_big_file()
        self.assertGreaterEqual(len(sent), 2, f"access log: {sent}")
        for name, size in sent.items():
            full = harness.published_path(self.root, name).stat().st_size
            self.assertLess(size, full // 2, f"{name}: {size} of {full} bytes sent")

    def bytes_sent_per_big_file(self):
        """Body bytes nginx sent for each requested big file, once it has logged them."""
        pattern = re.compile(r'"GET /windows/(zz%20big%20\d\.pak)\.zs(?:\?[0-9a-f]{40})? HTTP/[\d.]+" \d+ (\d+)')
        deadline = time.monotonic() + ACCESS_LOG_WAIT_S
        while True:
            sent = {m.group(1).replace("%20", " "): int(m.group(2))
                    for m in pattern.finditer(self.access_log.read_text()[self.log_start:])}
            if len(sent) >= 2 or time.monotonic() > deadline:
                return sent
            time.sleep(0.1)


if __name__ == "__main__":
    unittest.main()
