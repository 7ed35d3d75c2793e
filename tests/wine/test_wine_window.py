"""The Windows launcher's real window under Wine in Xvfb, against the rate-limited dev server: its
size, overall bar and icon at 100 % and 150 % display scaling; Alt+F4 stops the transfers and
puts nothing in place; the next run resumes them (or starts over for a file changed since)."""

import os
import subprocess
import time
import unittest

import wine_harness
import harness
from harness import E2ETestCase

BACKGROUND = (60, 90, 120)  # one colour: every pixel has a known expected value
TRACK, FILL = (48.7, 73.1, 97.4), (186.2, 194.4, 202.5)  # the overall bar's, blended as the renderer does
ICON_BLUE = (0x1F, 0x4E, 0x79)  # src/velm-launcher.ico: a white V on a square of this blue


def close(actual, expected):
    return all(abs(a - e) <= 4 for a, e in zip(actual, expected))


class WineWindowTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.source = {harness.GAME_EXE: harness.GAME_STUB, "launcher.dat": harness.png_image(600, 300, BACKGROUND),
                      **{f"zz big {i}.pak": os.urandom(2 << 20) for i in range(3)}}  # about 10 s each
        cls.root = harness.publish(cls.source, cls.scratch / "root")
        cls.serve(cls.root, rate="200k")

    def set_dpi(self, dpi):
        subprocess.run([wine_harness.WINE, "reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t",
                        "REG_DWORD", "/d", str(dpi), "/f"], env=harness.launcher_env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60, check=True)

    def test_window_scaling_icon_and_closing(self):
        self.addCleanup(self.set_dpi, 96)
        for dpi in (96, 144):  # 100 % and 150 %: the layout is in points, drawn in the screen's pixels
            with self.subTest(dpi=dpi):
                self.set_dpi(dpi)
                scale, directory = dpi / 96, self.stage()
                x = harness.Xvfb(self.scratch / "xvfb.log")
                self.addCleanup(x.stop)
                run = harness.LauncherRun(directory, env=x.env)
                self.addCleanup(run.kill)
                shot, origin = self.screenshot_with_progress(x, run, scale)
                # The overall bar at (20, 270, 560, 10): filled from its left end, the track at its right end.
                s = lambda v: round(v * scale)  # noqa: E731
                left, right, top, bottom, w, h = s(20), s(580) - 1, s(270), s(280) - 1, s(600), s(300)
                for (a, b), color in {(left, top): FILL, (left, bottom): FILL, (right, top): TRACK, (right, bottom): TRACK,
                                      (left - 1, top): BACKGROUND, (right + 1, bottom): BACKGROUND, (0, 0): BACKGROUND,
                                      (w // 2, top - 1): BACKGROUND, (w // 2, bottom + 1): BACKGROUND,
                                      (w // 2, h // 2): BACKGROUND, (w - 1, h - 1): BACKGROUND}.items():
                    pixel = shot.at(origin[0] + a, origin[1] + b)
                    self.assertTrue(close(pixel, color), f"{a},{b} at {dpi} dpi: {pixel}, expected {color}")
                self.check_icon(x)
                game = directory / "game"
                partials = [game / f"zz big {i}.pak.zs" for i in range(2)]
                run.wait_for(lambda: all(p.exists() and p.stat().st_size > 100_000 for p in partials), 40, "downloads")
                x.press(x.window("VELM Launcher"), "alt+F4")
                self.assertEqual(run.wait(60).returncode, 0, run.describe())  # the transfers left would take 20 s more
                self.assertIsNone(harness.take_game_record(directory, wait=0.3), run.describe())
                self.assertFalse([n for n in self.source if n.startswith("zz") and (game / n).exists()], "put in place")

        # The next run resumes, but for a file changed on the server since: If-Range brings it whole.
        os.utime(harness.published_path(self.root, "zz big 0.pak"))
        run = harness.run_launcher(directory, timeout=120)
        self.assertEqual({n: run.statuses()[n] for n in ("zz big 0.pak", "zz big 1.pak")},
                         {"zz big 0.pak": 200, "zz big 1.pak": 206}, run.describe())
        self.assertLessEqual({"zz big 0.pak", "zz big 1.pak"}, set(run.resumed()), run.describe())
        self.assert_ok(run, self.source)

    def screenshot_with_progress(self, x, run, scale):
        """The first screenshot of the window, the background's size times SCALE, with some overall
        progress; and the window's origin."""
        deadline = time.monotonic() + 40
        while time.monotonic() < deadline and run.process.poll() is None:
            window = x.window("VELM Launcher")
            if window:
                origin, size = x.geometry(window)[:2], x.geometry(window)[2:]
                self.assertEqual(size, (round(600 * scale), round(300 * scale)), "the window's size")
                shot = x.screenshot(self.scratch / "screen.ppm")
                if close(shot.at(origin[0] + size[0] // 2, origin[1] + size[1] // 2), BACKGROUND) and \
                        shot.at(origin[0] + round(20 * scale), origin[1] + round(275 * scale))[0] > 150:
                    subprocess.run(["convert", f"ppm:{self.scratch / 'screen.ppm'}",
                                    f"png:{wine_harness.WIN_BUILD_DIR / 'wine-window.png'}"], capture_output=True)
                    return shot, origin
            time.sleep(0.3)
        self.fail(f"no screenshot of the window with progress\n{run.describe()}")

    def check_icon(self, x):
        """The window shows the executable's icon (Wine hands the X server the largest image of
        the first icon group), not Wine's default one."""
        found = subprocess.run(["xprop", "-id", x.window("VELM Launcher"), "-notype", "-f", "_NET_WM_ICON", "32c",
                                "_NET_WM_ICON"], env=x.env, capture_output=True, text=True, timeout=10).stdout
        values = [int(v) for v in found.partition("=")[2].replace(",", " ").split()]
        images = []  # (width, height, ARGB pixels)
        while len(values) >= 2:
            images.append((values[0], values[1], values[2:2 + values[0] * values[1]]))
            values = values[2 + values[0] * values[1]:]
        self.assertTrue(images, f"the window has no icon: {found!r}")
        width, height, pixels = max(images)
        rgb = lambda a, b: tuple(pixels[b * width + a] >> shift & 0xFF for shift in (16, 8, 0))  # noqa: E731
        self.assertTrue(close(rgb(width // 10, height // 2), ICON_BLUE), "the icon's square, left of the V")
        self.assertTrue(close(rgb(width // 2, height * 3 // 4), (255, 255, 255)), "the icon's V")


if __name__ == "__main__":
    unittest.main()
