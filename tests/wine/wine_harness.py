"""The end-to-end harness (tests/e2e/harness.py) pointed at the Windows launcher under Wine.

Import this module before the harness: it names the Windows build to the harness
(VELM_LAUNCHER_EXE, VELM_LAUNCHER_CMD) before the harness reads them.

What it adds:
  - the Wine prefix: create_prefix and remove_prefix (`wine_harness.py create|remove PREFIX`;
    ctest makes one per test run). WINEPREFIX names it; without one, a test process makes its
    own. Each test process keeps the prefix's wineserver up while it runs and ends it after;
  - the Windows stand-in game (stand_in_game.cpp) as the harness's GAME_STUB, so that the
    Linux tests' game trees serve here as they are;
  - WineTestCase: E2ETestCase whose game checks read the Windows paths the stand-in records;
  - the display: run_with_display starts the launcher in an X server with SDL's Windows video
    driver; wait_for_window and find_window find its windows (the launcher's, a message box)
    by title, and press_keys types into one as a player would (Return on a box, Alt+F4).

Without a display Wine's MessageBoxA returns at once, as SDL's box does on Linux, so the tests
that end in a fatal report run without one, like the Linux ones.
"""

import atexit
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from unittest import mock

WINE_TESTS_DIR = Path(__file__).resolve().parent
SOURCE_DIR = Path(os.environ.get("VELM_SOURCE_DIR", WINE_TESTS_DIR.parents[1]))
WIN_BUILD_DIR = Path(os.environ.get("VELM_WIN_BUILD_DIR", SOURCE_DIR / "build-win"))
WINE = os.environ.get("VELM_WINE", "/usr/lib/wine/wine64")
WINESERVER = os.environ.get("VELM_WINESERVER", "/usr/lib/wine/wineserver")
STAND_IN_GAME_EXE = WIN_BUILD_DIR / "tests" / "wine" / "VELM.exe"
HOLDER = [WINE, str(WIN_BUILD_DIR / "tests" / "wine" / "holder.exe")]  # holder.cpp

os.environ.setdefault("VELM_LAUNCHER_EXE", str(WIN_BUILD_DIR / "velm-launcher.exe"))
os.environ.setdefault("VELM_LAUNCHER_CMD", WINE)
os.environ.setdefault("VELM_GAME_STUB", str(STAND_IN_GAME_EXE))
# Quiet, and no downloads of Mono or Gecko, no menu entries.
os.environ["WINEDEBUG"] = "-all"
os.environ["WINEDLLOVERRIDES"] = "mscoree,mshtml,winemenubuilder.exe=d"

sys.path.insert(0, str(SOURCE_DIR / "tests" / "e2e"))
import harness  # noqa: E402  (reads the variables above)
from harness import E2ETestCase  # noqa: E402

PREFIX_TIMEOUT_S = 180
BOX_WAIT_S = 30
BOX_POLL_S = 0.2

# --- The Wine prefix ------------------------------------------------------------------------


def _wine_env(prefix):
    env = dict(os.environ)
    env["WINEPREFIX"] = str(prefix)
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(name, None)
    return env


def create_prefix(prefix):
    """A new Wine prefix at PREFIX (wineboot -i), left with no Wine process running."""
    prefix = Path(prefix)
    if prefix.exists():
        remove_prefix(prefix)
    env = _wine_env(prefix)
    result = subprocess.run([WINE, "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, timeout=PREFIX_TIMEOUT_S, check=False)
    subprocess.run([WINESERVER, "-w"], env=env, timeout=PREFIX_TIMEOUT_S, check=False)
    if result.returncode != 0 or not (prefix / "system.reg").exists():
        raise RuntimeError(f"wineboot -i failed ({result.returncode}):\n{result.stderr}")


def remove_prefix(prefix):
    """Ends the prefix's wineserver and its processes, then removes PREFIX."""
    prefix = Path(prefix)
    if prefix.exists():
        subprocess.run([WINESERVER, "-k"], env=_wine_env(prefix), stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=60, check=False)
        shutil.rmtree(prefix, ignore_errors=True)


_server_started = False


def _use_prefix():
    """Makes sure this process has a prefix and that its wineserver stays up until the end."""
    global _server_started
    if _server_started:
        return
    if not os.environ.get("WINEPREFIX"):
        own = Path(tempfile.mkdtemp(prefix="velm-wine-")) / "prefix"
        create_prefix(own)
        atexit.register(remove_prefix, own)
        os.environ["WINEPREFIX"] = str(own)
    env = _wine_env(os.environ["WINEPREFIX"])
    # Persistent: one server for every launcher of this process, instead of one each.
    subprocess.run([WINESERVER, "-p"], env=env, stdin=subprocess.DEVNULL, check=True)
    atexit.register(subprocess.run, [WINESERVER, "-k"], env=env, stdin=subprocess.DEVNULL,
                    capture_output=True, check=False)
    _server_started = True


# --- Trees and checks -----------------------------------------------------------------------


def unix_path(windows_path):
    """The host path of a path on Wine's drive Z:, which maps the host's root."""
    if windows_path is None or not windows_path[:3].upper() == "Z:\\":
        return windows_path
    return "/" + windows_path[3:].replace("\\", "/")


class WineTestCase(E2ETestCase):
    """E2ETestCase for the Windows launcher: the prefix is ready before the first test."""

    @classmethod
    def setUpClass(cls):
        _use_prefix()
        super().setUpClass()

    def assert_game_started(self, run):
        """The stand-in game ran once, in game/, with no arguments."""
        record = harness.take_game_record(run.directory)
        self.assertIsNotNone(record, f"the game was not started\n{run.describe()}")
        self.assertEqual(unix_path(record.get("cwd")), os.path.realpath(run.directory / "game"),
                         run.describe())
        self.assertEqual(record.get("argc"), "0", run.describe())
        self.assertEqual(record["args"], [], run.describe())


# --- The display ----------------------------------------------------------------------------


def run_with_display(directory, display_env):
    """A harness.LauncherRun of the launcher in DIRECTORY with DISPLAY_ENV (an X server's
    environment, test_window.Xvfb.env()) in place of the harness's display-less one."""
    with mock.patch.object(harness, "launcher_env", lambda: display_env):
        return harness.LauncherRun(directory)


def find_window(display_env, title):
    """The X id of the visible window named TITLE, or None."""
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{title}$"],
                           env=display_env, capture_output=True, text=True, check=False)
    ids = found.stdout.split()
    return ids[0] if len(ids) == 1 else None


def press_keys(display_env, window, keys):
    """Gives WINDOW the keyboard focus and types KEYS (xdotool's names) through the X server's
    test extension, as a keyboard would."""
    subprocess.run(["xdotool", "windowfocus", "--sync", window], env=display_env, check=True,
                   capture_output=True, timeout=10)
    subprocess.run(["xdotool", "key", "--clearmodifiers", keys], env=display_env, check=True,
                   capture_output=True, timeout=10)


def wait_for_window(run, display_env, title, timeout=BOX_WAIT_S):
    """Waits while RUN goes on until a window named TITLE shows; returns its X id."""
    found = []
    last_look = [0.0]

    def shown():
        # The run's wait wakes often; ask the X server a few times a second only.
        if not found and time.monotonic() - last_look[0] >= BOX_POLL_S:
            last_look[0] = time.monotonic()
            window = find_window(display_env, title)
            if window is not None:
                found.append(window)
        return bool(found)

    run.wait_for(shown, timeout, f"a window named {title!r}")
    return found[0]


# --- Command line: the prefix for a test run ------------------------------------------------

if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("create", "remove"):
        sys.exit(f"usage: {sys.argv[0]} create|remove PREFIX")
    (create_prefix if sys.argv[1] == "create" else remove_prefix)(sys.argv[2])
