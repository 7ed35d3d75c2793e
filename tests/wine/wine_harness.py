"""The end-to-end harness (tests/e2e/harness.py) pointed at the Windows launcher under Wine; import
this module first. `wine_harness.py create|remove PREFIX` makes and removes the Wine prefix of a
test run (ctest does, around the tests); a test process keeps its wineserver up while it runs."""

import atexit
import os
import shutil
import subprocess
import sys
from pathlib import Path

WIN_BUILD_DIR = Path(os.environ.get("VELM_WIN_BUILD_DIR", Path(__file__).resolve().parents[2] / "build-win"))
WINE, WINESERVER = "/usr/lib/wine/wine64", "/usr/lib/wine/wineserver"
HOLDER = [WINE, str(WIN_BUILD_DIR / "tests" / "wine" / "holder.exe")]  # holder.cpp
os.environ.setdefault("VELM_LAUNCHER_EXE", str(WIN_BUILD_DIR / "velm-launcher.exe"))
os.environ.setdefault("VELM_LAUNCHER_CMD", WINE)
os.environ.setdefault("VELM_GAME_STUB", str(WIN_BUILD_DIR / "tests" / "wine" / "VELM.exe"))
os.environ.update(WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d")  # no Mono, Gecko, menus
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
import harness  # noqa: E402  (reads the variables above)

if __name__ == "__main__":
    command, prefix = sys.argv[1:3]
    env = {**harness.launcher_env(), "WINEPREFIX": prefix}
    subprocess.run([WINESERVER, "-k"], env=env, capture_output=True)
    shutil.rmtree(prefix, ignore_errors=True)
    if command == "create":
        subprocess.run([WINE, "wineboot", "-i"], env=env, capture_output=True, timeout=180, check=True)
        subprocess.run([WINESERVER, "-w"], env=env, timeout=180)
else:  # one wineserver for every launcher of this process, instead of one each
    subprocess.run([WINESERVER, "-p"], check=True)
    atexit.register(subprocess.run, [WINESERVER, "-k"], capture_output=True)
