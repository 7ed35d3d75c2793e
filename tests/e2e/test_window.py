"""The launcher's window as a player sees it: the real launcher in an X server (Xvfb) against the
rate-limited dev server, read back from screenshots taken while it downloads."""

import os
import re
import select
import shutil
import signal
import subprocess
import time
import unittest
from pathlib import Path

import harness
from harness import E2ETestCase

SCREEN = (1024, 768)
BACKGROUND_SIZE = (600, 300)
OLD_BACKGROUND_SIZE = (480, 240)  # the installed copy, replaced by the update
RATE = "500k"  # bytes per second per connection: a 2 MB file takes about 4 s
BIG_FILE_SIZE = 2 * 1024 * 1024
BIG_FILES = 3
XVFB_START_TIMEOUT_S = 10
SCREENSHOT_DEADLINE_S = 40
SCREENSHOT_PAUSE_S = 0.3
QUIT_TIMEOUT_S = 20
COLOR_TOLERANCE = 4

# The launcher's colours, blended the way its renderer blends them (alpha over the image).
BAR_WHITE = ((255, 255, 255), 170)
TRACK_BLACK = ((0, 0, 0), 48)
WORKER_SHADOW = ((0, 0, 0), 64)

REQUIRED_TOOLS = ("Xvfb", "import", "xdotool")


def blend(under, over):
    color, alpha = over
    return tuple((c * alpha + u * (255 - alpha)) / 255 for c, u in zip(color, under))


class Image:
    """An RGB picture read from a binary PPM file."""

    def __init__(self, path):
        data = Path(path).read_bytes()
        header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+(\d+)\s", data)
        if header is None or header.group(3) != b"255":
            raise ValueError(f"{path}: not an 8-bit binary PPM")
        self.width, self.height = int(header.group(1)), int(header.group(2))
        self.pixels = data[header.end():]

    def at(self, x, y):
        offset = 3 * (y * self.width + x)
        return tuple(self.pixels[offset:offset + 3])


def to_ppm(source, destination):
    subprocess.run(["convert", str(source), "-depth", "8", f"ppm:{destination}"], check=True)
    return Image(destination)


class Xvfb:
    """A private X server on a free display number, chosen by Xvfb itself."""

    def __init__(self, log_path):
        self.log_path = log_path
        self.process = None
        self.display = None

    def __enter__(self):
        # Xvfb writes the number, then a line feed, in two writes: read up to the line feed, and
        # keep the pipe open while the server runs, or the second write fails and ends it.
        self.read_end, write_end = os.pipe()
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{SCREEN[0]}x{SCREEN[1]}x24",
                 "-nolisten", "tcp", "-br", "-noreset"],
                pass_fds=[write_end], stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        os.close(write_end)
        answer = b""
        deadline = time.monotonic() + XVFB_START_TIMEOUT_S
        while not answer.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([self.read_end], [], [], deadline - time.monotonic())
            chunk = os.read(self.read_end, 32) if ready else b""
            if not chunk:
                break
            answer += chunk
        number = answer.decode().strip()
        if not answer.endswith(b"\n") or not number.isdigit():
            self.__exit__(None, None, None)
            raise RuntimeError(f"Xvfb did not start: {self.log()}")
        self.display = f":{number}"
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        os.close(self.read_end)

    def log(self):
        return Path(self.log_path).read_text(errors="replace")

    def env(self):
        env = dict(os.environ)
        env.pop("SDL_VIDEODRIVER", None)
        env.pop("WAYLAND_DISPLAY", None)
        env["DISPLAY"] = self.display
        return env

    def window_geometry(self, title):
        """(x, y, width, height) of the visible window named TITLE, or None."""
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{title}$"],
                               env=self.env(), capture_output=True, text=True, check=False)
        ids = found.stdout.split()
        if len(ids) != 1:
            return None
        shell = subprocess.run(["xdotool", "getwindowgeometry", "--shell", ids[0]], env=self.env(),
                               capture_output=True, text=True, check=False).stdout
        values = dict(line.split("=", 1) for line in shell.split() if "=" in line)
        try:
            return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))
        except (KeyError, ValueError):
            return None

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.display, "-window", "root", "-depth", "8",
                        f"ppm:{path}"], env=self.env(), check=True, capture_output=True)
        return Image(path)


class WindowTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        missing = [tool for tool in REQUIRED_TOOLS if shutil.which(tool) is None]
        if missing:
            raise RuntimeError(f"missing {missing}: run scripts/install-deps.sh")
        super().setUpClass()
        source = cls.scratch / "src"
        cls.background = source / "launcher.dat"
        subprocess.run([str(harness.SCRIPTS_DIR / "make-background.sh"), str(cls.background),
                        "Window Test"], check=True)
        # Small files first in the list's byte order, so jobs finish while the big ones run.
        files = {harness.GAME_EXE: harness.GAME_STUB}
        for i in range(4):
            files[f"maps/a small {i}.dat"] = os.urandom(8000)
        for i in range(BIG_FILES):
            files[f"maps/big map {i}.pak"] = os.urandom(BIG_FILE_SIZE)
        harness.write_tree(source, files)
        root = harness.publish(source, cls.scratch / "root")
        cls.start_dev_server(root, rate=RATE)
        cls.background_image = to_ppm(cls.background, cls.scratch / "background.ppm")

    def assert_close(self, actual, expected, what):
        self.assertTrue(all(abs(a - e) <= COLOR_TOLERANCE for a, e in zip(actual, expected)),
                        f"{what}: {actual}, expected about {tuple(round(e) for e in expected)}")

    def test_window_while_downloading(self):
        old = harness.png_image(*OLD_BACKGROUND_SIZE, rgb=(90, 30, 30))
        directory = self.stage({"launcher.dat": old})
        log_path = directory / "launcher.log"
        with Xvfb(self.scratch / "xvfb.log") as x, open(log_path, "wb") as log:
            launcher = subprocess.Popen(harness.launcher_command(directory), cwd=directory,
                                        env=x.env(), stdin=subprocess.DEVNULL, stdout=log,
                                        stderr=subprocess.STDOUT)
            try:
                shot, origin = self.screenshot_with_a_worker_bar(x, launcher, directory, log_path)
                launcher.send_signal(signal.SIGTERM)  # SDL turns it into a closed window
                status = launcher.wait(timeout=QUIT_TIMEOUT_S)
            finally:
                if launcher.poll() is None:
                    launcher.kill()
                    launcher.wait()
        output = log_path.read_text(errors="replace")
        self.assertEqual(status, 0, output)
        self.assertIsNone(harness.take_game_record(directory, wait=0.3), output)

        # The installed background showed first; the update replaced it and the next frame
        # loaded the new one.
        self.assertIn("replacing background image", output)
        self.assertEqual(len(re.findall(r"^loaded bg texture 0x\w+ 0x\w+$", output, re.M)), 2, output)
        self.check_frame(shot, origin)

    def screenshot_with_a_worker_bar(self, x, launcher, directory, log_path):
        """The first screenshot of the new background's window with a worker bar at y = 20 and
        some overall progress."""
        deadline = time.monotonic() + SCREENSHOT_DEADLINE_S
        path = directory / "screen.ppm"
        geometry = None
        while time.monotonic() < deadline:
            if launcher.poll() is not None:
                self.fail(f"the launcher ended ({launcher.returncode}) before a screenshot showed "
                          f"a download; window {geometry} on {x.display}:\n"
                          f"{log_path.read_text(errors='replace')}\nXvfb: {x.log()}")
            geometry = x.window_geometry("VELM Launcher")
            if geometry is not None and geometry[2:] == BACKGROUND_SIZE:
                shot = x.screenshot(path)
                origin = geometry[:2]
                bar = self.window_pixel(shot, origin, 20, 20)
                fill = self.window_pixel(shot, origin, 20, 275)
                replaced = "replacing background image" in log_path.read_text(errors="replace")
                if replaced and bar[0] > 150 and fill[0] > 150:
                    self.keep_screenshot(path)
                    return shot, origin
            time.sleep(SCREENSHOT_PAUSE_S)
        self.fail(f"no screenshot with a worker bar in {SCREENSHOT_DEADLINE_S} s; window "
                  f"{x.window_geometry('VELM Launcher')} on {x.display}\n"
                  f"{log_path.read_text(errors='replace')}\nXvfb: {x.log()}")

    @staticmethod
    def keep_screenshot(path):
        """A PNG copy in the build directory, to look at after the run."""
        subprocess.run(["convert", f"ppm:{path}", f"png:{harness.BUILD_DIR / 'e2e-window.png'}"],
                       check=False, capture_output=True)

    @staticmethod
    def window_pixel(shot, origin, x, y):
        return shot.at(origin[0] + x, origin[1] + y)

    def check_frame(self, shot, origin):
        width, height = BACKGROUND_SIZE
        ox, oy = origin
        self.assertTrue(0 <= ox and ox + width <= shot.width and 0 <= oy and oy + height <= shot.height,
                        f"window at {origin} is not on the {shot.width}x{shot.height} screen")
        bg = self.background_image.at
        px = lambda x, y: self.window_pixel(shot, origin, x, y)  # noqa: E731

        # Borderless, the background's size, the background stretched over all of it: away from
        # what the launcher draws, the window shows the image, and right outside it, the root.
        for x, y in ((0, 0), (5, 150), (599, 0), (595, 150), (300, 140), (300, 230), (0, 299),
                     (599, 299)):
            self.assert_close(px(x, y), bg(x, y), f"background at {x},{y}")
        for x, y in ((-1, 0), (0, -1), (width, height - 1), (width - 1, height)):
            sx, sy = ox + x, oy + y
            if 0 <= sx < shot.width and 0 <= sy < shot.height:
                self.assertEqual(shot.at(sx, sy), (0, 0, 0), f"screen beside the window at {x},{y}")

        # The overall bar at (20, 270, 560, 10): a filled part from x = 20, then the track.
        track = lambda x, y: blend(bg(x, y), TRACK_BLACK)  # noqa: E731
        for y in (270, 279):
            self.assert_close(px(20, y), blend(track(20, y), BAR_WHITE), f"overall fill at 20,{y}")
            self.assert_close(px(579, y), track(579, y), f"overall track at 579,{y}")
            self.assert_close(px(580, y), bg(580, y), f"right of the overall bar at 580,{y}")
            self.assert_close(px(19, y), bg(19, y), f"left of the overall bar at 19,{y}")
        self.assert_close(px(300, 269), bg(300, 269), "above the overall bar")
        self.assert_close(px(300, 280), bg(300, 280), "below the overall bar")

        # A worker bar at (20, 20), at least 2 px wide and 2 high, its shadow 1 px right, below.
        for x, y in ((20, 20), (21, 20), (20, 21)):
            self.assert_close(px(x, y), blend(bg(x, y), BAR_WHITE), f"worker bar at {x},{y}")
        self.assert_close(px(21, 21), blend(blend(bg(21, 21), WORKER_SHADOW), BAR_WHITE),
                          "worker bar over its shadow at 21,21")
        self.assert_close(px(21, 22), blend(bg(21, 22), WORKER_SHADOW), "worker bar shadow at 21,22")
        self.assert_close(px(19, 20), bg(19, 20), "left of the worker bar")
        self.assert_close(px(20, 19), bg(20, 19), "above the worker bar")

        # White status text near (20, 250), above the overall bar, on the dark part of the image.
        white = [(x, y) for y in range(245, 270) for x in range(0, 400) if min(px(x, y)) >= 240]
        self.assertGreater(len(white), 30, "white status text near 20,250")
        self.assertGreaterEqual(min(x for x, _ in white), 20)
        self.assertLessEqual(min(x for x, _ in white), 30)
        self.assertGreaterEqual(min(y for _, y in white), 250)


if __name__ == "__main__":
    unittest.main()
