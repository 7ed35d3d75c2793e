"""The Windows launcher's real window under Wine, in an X server (Xvfb), against the rate-limited
dev server: a screenshot of it while it downloads, at 100 % and 150 % display scaling, and
closing it, which stops the transfers."""

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
DEFAULT_DPI = 96  # 100 %
DESKTOP_KEY = r"HKCU\Control Panel\Desktop"  # LogPixels: the display's dots per inch
ICON_BLUE = (0x1F, 0x4E, 0x79)  # src/velm-launcher.ico: a white V on a square of this blue
WHITE = (255, 255, 255)


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

    def start_launcher(self):
        """A launcher in a fresh directory, in this test's X server."""
        self.log_start = self.access_log.stat().st_size  # this run's requests come after
        self.directory = self.stage()
        self.run_ = wine_harness.run_with_display(self.directory, self.x.env())
        self.addCleanup(self.run_.kill)

    def set_dpi(self, dpi):
        """The display's scaling as Windows' settings give it, for the programs started next."""
        subprocess.run([wine_harness.WINE, "reg", "add", DESKTOP_KEY, "/v", "LogPixels", "/t", "REG_DWORD",
                        "/d", str(dpi), "/f"], env=harness.launcher_env(), stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=60, check=True)

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
        # The layout is in points: at 150 % (144 dots per inch) the window and everything in it
        # is half as large again, drawn in the screen's pixels.
        for dpi in (DEFAULT_DPI, 144):
            with self.subTest(dpi=dpi):
                self.set_dpi(dpi)
                self.addCleanup(self.set_dpi, DEFAULT_DPI)
                self.start_launcher()
                self.check_background_and_overall_bar(dpi / DEFAULT_DPI)
                self.check_icon()
                self.close_window()
                self.assertEqual(self.run_.wait(timeout=30), 0, self.run_.describe())

    def check_background_and_overall_bar(self, scale):
        shot, origin = self.screenshot_with_progress(scale)
        px = lambda x, y: shot.at(origin[0] + x, origin[1] + y)  # noqa: E731

        def edges(start, end):
            """The first and the last pixel of the layout's [START, END)."""
            return round(start * scale), round(end * scale) - 1

        bg = BACKGROUND_RGB
        track = blend(bg, TRACK_BLACK)
        # The overall bar at (20, 270, 560, 10): filled from x = 20, the track to x = 579.
        (left, right), (top, bottom) = edges(20, 580), edges(270, 280)
        (width, height) = (round(BACKGROUND_SIZE[0] * scale), round(BACKGROUND_SIZE[1] * scale))
        for y in (top, bottom):
            self.assert_close(px(left, y), blend(track, BAR_WHITE), f"overall fill at {left},{y}")
            self.assert_close(px(right, y), track, f"overall track at {right},{y}")
            self.assert_close(px(left - 1, y), bg, f"left of the overall bar at {left - 1},{y}")
            self.assert_close(px(right + 1, y), bg, f"right of the overall bar at {right + 1},{y}")
        self.assert_close(px(width // 2, top - 1), bg, "above the overall bar")
        self.assert_close(px(width // 2, bottom + 1), bg, "below the overall bar")
        for x, y in ((0, 0), (width - 1, 0), (width // 2, height // 2), (0, height - 1), (width - 1, height - 1)):
            self.assert_close(px(x, y), bg, f"background at {x},{y}")

    def check_icon(self):
        """The window shows the executable's own icon (Wine hands the largest image of the
        first icon group to the X server), not Wine's default one."""
        window = wine_harness.find_window(self.x.env(), TITLE)
        found = subprocess.run(["xprop", "-id", window, "-notype", "-f", "_NET_WM_ICON", "32c", "_NET_WM_ICON"],
                               env=self.x.env(), capture_output=True, text=True, timeout=10, check=True)
        values = [int(v) for v in found.stdout.partition("=")[2].replace(",", " ").split()]
        images = []  # (width, height, ARGB pixels)
        while len(values) >= 2:
            width, height = values[:2]
            images.append((width, height, values[2:2 + width * height]))
            values = values[2 + width * height:]
        self.assertTrue(images, f"the window has no icon: {found.stdout!r}")
        width, height, pixels = max(images, key=lambda image: image[0])

        def rgb(x, y):
            argb = pixels[y * width + x]
            return ((argb >> 16) & 0xFF, (argb >> 8) & 0xFF, argb & 0xFF)

        self.assert_close(rgb(width // 10, height // 2), ICON_BLUE, "the icon's square, left of the V")
        self.assert_close(rgb(width // 2, height * 3 // 4), WHITE, "the icon's V")

    def screenshot_with_progress(self, scale=1):
        """The first screenshot of the background's window, SCALE times its size, with some
        overall progress; the screenshot and the window's origin on the screen."""
        deadline = time.monotonic() + SCREENSHOT_DEADLINE_S
        path = self.scratch / "screen.ppm"
        geometry = None
        size = tuple(round(side * scale) for side in BACKGROUND_SIZE)
        while time.monotonic() < deadline:
            if self.run_.process.poll() is not None:
                self.fail(f"the launcher ended before a screenshot\n{self.run_.describe()}")
            geometry = self.x.window_geometry(TITLE)
            if geometry is not None:
                self.assertEqual(geometry[2:], size, "the window's size")
                shot = self.x.screenshot(path)
                origin = geometry[:2]
                background = shot.at(origin[0] + size[0] // 2, origin[1] + size[1] // 2)
                fill = shot.at(origin[0] + round(20 * scale), origin[1] + round(275 * scale))
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
        self.start_launcher()
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
