"""Shared fixtures of the end-to-end tests: the real launcher against nginx (dev-server.sh) or
fault_server.py on port 4443. VELM_LAUNCHER_EXE, VELM_LAUNCHER_CMD and VELM_GAME_STUB name another
launcher, a command to run it with and another stand-in game (the Wine tests set them). Run as
root, a test process first moves into network and mount namespaces of its own, so that port 4443
and the single-instance lock are its own and it may mount file systems."""

import fcntl
import json
import os
import re
import shlex
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
from pathlib import Path

SOURCE_DIR = Path(os.environ.get("VELM_SOURCE_DIR", Path(__file__).resolve().parents[2]))
BUILD_DIR = Path(os.environ.get("VELM_BUILD_DIR", SOURCE_DIR / "build"))
SCRIPTS_DIR = SOURCE_DIR / "scripts"
PUBLISH_EXE = BUILD_DIR / "velm-publish"
LAUNCHER_EXE = Path(os.environ.get("VELM_LAUNCHER_EXE") or BUILD_DIR / "tests/e2e/quick/velm-launcher")  # short pauses
LAUNCHER_PREFIX = shlex.split(os.environ.get("VELM_LAUNCHER_CMD", ""))
FONT = "/usr/share/fonts/truetype/roboto/unhinted/RobotoCondensed-BoldItalic.ttf"
PORT = 4443
BASE_URL = f"https://localhost:{PORT}/windows/"
CHANNEL = f"localhost:{PORT}/windows"  # the test launchers' own, derived from BASE_URL
LIST_NAME, GAME_EXE = "manifest.dat", "VELM.exe"
UPD_OLD = r"\.upd_old$"  # a skip pattern of assert_tree: the copies set aside
# The stand-in game records in game/ran.txt where it ran and its arguments ("cwd=", "argc=", one
# "arg=" each), written aside and renamed so that a reader never sees half of it.
GAME_STUB = (Path(os.environ["VELM_GAME_STUB"]).read_bytes() if os.environ.get("VELM_GAME_STUB") else
             b'#!/bin/sh\n{ echo "cwd=$(pwd -P)"; echo "argc=$#"; for a in "$@"; do echo "arg=$a"; done; }'
             b' > ran.txt.part && mv ran.txt.part ran.txt\n')

if os.environ.get("VELM_E2E_IN_NETNS") == "1":  # a new network namespace's loopback starts down
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        flags = struct.unpack("16sH22x", fcntl.ioctl(s, 0x8913, struct.pack("16sH22x", b"lo", 0)))[1]  # SIOCGIFFLAGS
        fcntl.ioctl(s, 0x8914, struct.pack("16sH22x", b"lo", flags | 1))  # SIOCSIFFLAGS, IFF_UP
elif os.geteuid() == 0 and sys.argv[0] not in ("-c", "-") and shutil.which("unshare") and \
        subprocess.run(["unshare", "--net", "--mount", "true"], capture_output=True).returncode == 0:
    os.environ["VELM_E2E_IN_NETNS"] = "1"
    sys.stdout.flush()
    os.execvp("unshare", ["unshare", "--net", "--mount", "--", sys.executable] + sys.orig_argv[1:])


def png_image(width=4, height=2, rgb=(200, 30, 30)):
    return subprocess.run(["convert", "-size", f"{width}x{height}", f"xc:rgb{rgb}", "-define",
                           "png:exclude-chunks=date,time", "png24:-"], capture_output=True, check=True).stdout


def write_tree(root, files):
    for name, data in files.items():
        path = Path(root) / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)


def snapshot(root, files_only=False):
    """Below ROOT: a file's bytes (and mtime, unless FILES_ONLY), a link's target, a "dir"."""
    found = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            st = os.lstat(path)
            if stat.S_ISLNK(st.st_mode):
                found[os.path.relpath(path, root)] = "link to " + os.readlink(path)
            elif stat.S_ISREG(st.st_mode):
                data = Path(path).read_bytes()
                found[os.path.relpath(path, root)] = data if files_only else (data, st.st_mtime_ns)
            elif not files_only:
                found[os.path.relpath(path, root)] = "dir"
    return found


def publish(game, root, *options, level=1, channel=CHANNEL):
    """velm-publish build GAME ROOT; GAME is a directory or a dict of path -> bytes."""
    if isinstance(game, dict):
        files, game = game, tempfile.mkdtemp(prefix="game-", dir=Path(root).parent)
        write_tree(game, files)
    options = [*map(str, options), *(["--channel", channel] if "--sign" in map(str, options) else [])]
    result = subprocess.run([PUBLISH_EXE, "build", "--level", str(level), *options, game, root],
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"velm-publish failed:\n{result.stderr}")
    return Path(root)


def published_path(root, name):
    return Path(root) / "windows" / (name + ".zs")


def replace_file(path, data):
    """Unlinked first: a published file may be a hard link into the trees kept beside it."""
    Path(path).unlink(missing_ok=True)
    Path(path).write_bytes(data)


def url_for(name):
    return BASE_URL + name.replace(" ", "%20") + ".zs"


def zstd(data, target):
    subprocess.run(["zstd", "-q", "-f", "-1", "-o", str(target)], input=data, check=True)
    return Path(target)


def encode(value):
    """The file list's value stream, as much of it as a list needs: lists, strings, integers."""
    if isinstance(value, int):
        size = (value.bit_length() + 7) // 8
        return bytes([0x20 | value]) if value <= 23 else bytes([0x37 + size]) + value.to_bytes(size, "big")
    tag, body = (0xA0, b"".join(map(encode, value))) if isinstance(value, list) else \
        (0x80, value.encode() if isinstance(value, str) else value)
    n = len(value) if tag == 0xA0 else len(body)
    return (bytes([tag | n]) if n <= 29 else bytes([tag | 30, n]) if n <= 0xFF
            else bytes([tag | 31]) + n.to_bytes(2, "big")) + body


def make_certificates(directory, *hosts):
    subprocess.run([SCRIPTS_DIR / "dev-cert.sh", directory, *hosts], check=True, stdout=subprocess.DEVNULL)
    return Path(directory)


class DevServer:
    """nginx serving ROOT (HTTP/2 offered) with the certificates in STATE_DIR/certs; on LISTEN
    (ADDRESS:PORT) instead of localhost, started by the command PREFIX (a network namespace's)."""

    def __init__(self, root, state_dir, rate=None, port=None, listen=None, prefix=()):
        self.state_dir = Path(state_dir)
        result = subprocess.run([*prefix, SCRIPTS_DIR / "dev-server.sh", "start", root, state_dir, "--http2",
                                 *(["--rate", rate] if rate else []), *(["--port", str(port)] if port else []),
                                 *(["--listen", listen] if listen else [])],
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise RuntimeError(f"dev-server.sh start failed:\n{result.stdout}{result.stderr}")

    def stop(self):
        subprocess.run([SCRIPTS_DIR / "dev-server.sh", "stop", self.state_dir], capture_output=True)

    def access_log(self):
        return (self.state_dir / "access.log").read_text()


class FaultServer:
    """fault_server.py serving ROOT with the faults that set() gave it last."""

    def __init__(self, root, cert_dir, scratch):
        self.faults, self.log_path = scratch / "faults.json", scratch / "fault-server.log"
        self.set({})
        self.process = subprocess.Popen(
            [sys.executable, Path(__file__).with_name("fault_server.py"), root, str(PORT), cert_dir / "server.crt",
             cert_dir / "server.key", self.faults, self.log_path], stdout=subprocess.PIPE, text=True)
        self.process.stdout.readline()  # "listening": it accepts connections from now on

    def set(self, faults):
        """FAULTS (URL path -> fault) from now on, counted from their first request; a new log."""
        self.log_path.write_text("")
        self.faults.with_suffix(".new").write_text(json.dumps(faults))
        self.faults.with_suffix(".new").replace(self.faults)

    def log(self):
        return self.log_path.read_text()

    def faults_applied(self, name):
        return self.log().count(f"fault on /windows/{name}.zs ")

    def stop(self):
        self.process.terminate()
        self.process.wait()
        self.process.stdout.close()


TRANSFER_LINE = r"^(\d+) \| +\d+ ms \| (.+)(?<!\.sig)$"  # a signed list's statement is not a transfer
SUMMARY_PREFIX = "summary: "  # the launcher's last line of a run: key=value fields (README, The log)


def parse_summary(lines):
    """The fields of the summary line among LINES (numbers as int), or {} when there is none."""
    line = next((line for line in reversed(lines) if line.startswith(SUMMARY_PREFIX)), None)
    if line is None:
        return {}
    fields = dict(field.split("=", 1) for field in line[len(SUMMARY_PREFIX):].split())
    return {key: int(value) if value.isdigit() else value for key, value in fields.items()}


class LauncherRun:
    """The launcher in DIRECTORY, started from CWD, its output collected as it arrives."""

    def __init__(self, directory, cwd=None, env=None, prefix=()):
        self.directory = Path(directory)
        self.started, self.summary_at = time.monotonic(), None
        self.lines, self.errors, self.returncode = [], [], None
        self.process = subprocess.Popen([*prefix, *LAUNCHER_PREFIX, self.directory / LAUNCHER_EXE.name],
                                        cwd=cwd or directory, env=env or launcher_env(), stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.readers = [threading.Thread(target=self._read, args=pair, daemon=True)
                        for pair in ((self.process.stdout, self.lines), (self.process.stderr, self.errors))]
        for reader in self.readers:
            reader.start()

    def _read(self, stream, lines):
        for raw in stream:
            lines.append(raw.decode(errors="replace").rstrip("\r\n"))  # CR LF from Windows
            if lines[-1].startswith(SUMMARY_PREFIX):
                self.summary_at = time.monotonic()  # the update's end, before the game's start
        stream.close()

    @property
    def stderr(self):
        return "\n".join(self.errors)

    def describe(self):
        log = self.directory / "launcher.log"
        return (f"launcher in {self.directory}: status {self.returncode}\n--- stdout ---\n" + "\n".join(self.lines)
                + f"\n--- stderr ---\n{self.stderr}\n--- the end of launcher.log ---\n"
                + (log.read_text(errors="replace")[-2000:] if log.exists() else "(none)") + "\n---")

    def wait_for(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        while not predicate():
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.kill()
                raise AssertionError(f"no {what} while the launcher ran\n{self.describe()}")
            time.sleep(0.02)

    def terminate(self):
        """Closing the window, as far as the launcher can tell: SDL turns SIGTERM into a quit."""
        self.process.send_signal(signal.SIGTERM)

    def wait(self, timeout=60):
        try:
            self.returncode = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError(f"the launcher did not end within {timeout} s\n{self.describe()}")
        for reader in self.readers:
            reader.join(5)
        return self

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.returncode = self.process.wait()

    def matches(self, regex):
        return [m for m in map(re.compile(regex).match, list(self.lines)) if m]

    def transfers(self, query=False):
        return [m[2] if query else m[2].split("?")[0] for m in self.matches(TRANSFER_LINE)]

    def statuses(self):
        return {urllib.parse.unquote(m[2][len(BASE_URL):].split("?")[0][:-3]): int(m[1])
                for m in self.matches(TRANSFER_LINE)}

    def resumed(self):
        return {m[1]: int(m[2]) for m in self.matches(r"^resuming (.+) at byte (\d+)$")}

    def not_found(self):
        return {m[2]: int(m[1]) for m in self.matches(r"^\* +(\d+) (.+) - ======= NOT FOUND IN MANIFEST =======$")}

    def retries(self):
        return [m[1] for m in self.matches(r"^ !!! RETRYING (.+)$")]

    def curl_errors(self):
        return [m[1] for m in self.matches(r"^ \*\*\* Got CURLcode (.+)$")]

    @property
    def figures(self):
        """The run's summary line as a dict (result, files, by_record, by_sha1, fetched, ...)."""
        return parse_summary(list(self.lines))

    def found(self):
        """How many files were current by the record, current by their SHA-1, and fetched (None: no update)."""
        f = self.figures
        return (f["by_record"], f["by_sha1"], f["fetched"]) if f.get("result") == "ok" else None


def stage(directory, ca, exe=None, game_files=None, like=None):
    """DIRECTORY made a launcher's (EXE, else LAUNCHER_EXE as it is now, the font, CA as its bundle),
    with GAME_FILES in game/ over a copy of LIKE's game/ and state."""
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    shutil.copy2(exe or LAUNCHER_EXE, directory / LAUNCHER_EXE.name)
    shutil.copy2(FONT, directory)
    shutil.copy(ca, directory / "curl-ca-bundle.crt")
    if like is not None:
        shutil.copytree(Path(like) / "game", directory / "game", symlinks=True, ignore=shutil.ignore_patterns("ran.txt"))
        if (Path(like) / "launcher.state").exists():
            shutil.copy2(Path(like) / "launcher.state", directory)
    write_tree(directory / "game", game_files or {})
    return directory


GET_LINE = re.compile(r'"GET (\S+) HTTP/[0-9.]+" (\d+) (\d+) ')


def requests(log):
    """The GET requests of an access LOG: (path with its query, status, bytes sent)."""
    return [(m[1], int(m[2]), int(m[3])) for m in GET_LINE.finditer(log)]


def as_user(uid):
    """A command prefix that runs the command as UID, with no supplementary groups."""
    return ["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups"]


def launcher_env():
    """No display: a fatal report opens no message box, and the process ends at once."""
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    return {**env, "SDL_VIDEODRIVER": "dummy"}


def run_launcher(directory, timeout=60, **options):
    """The launcher in DIRECTORY run to its end. A start Wine failed before the launcher's first line
    (status 1, no output, no new run in launcher.log: seen once in CI) is made once more."""
    for again in (False, True):
        starts = log_starts(directory) if LAUNCHER_PREFIX else 0
        run = LauncherRun(directory, **options)
        try:
            run.wait(timeout)
        finally:
            run.kill()
        if again or not LAUNCHER_PREFIX or (run.returncode, run.lines, run.errors) != (1, [], []) \
                or log_starts(directory) != starts:
            return run
        print(f"Wine did not start the launcher in {directory}: once more", file=sys.stderr)


def log_starts(directory):
    log = Path(directory) / "launcher.log"
    return log.read_bytes().count(b"==== the launcher starts") if log.exists() else 0


def rewrite_in_place(path, data):
    """DATA at PATH under its old modification time, as a program that keeps the time would leave it."""
    st = path.stat()
    path.write_bytes(data)
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


def take_game_record(directory, wait=5.0):
    """What the stand-in game recorded (a Windows path as the host's), removed; None if it did
    not run within WAIT seconds."""
    path = Path(directory) / "game" / "ran.txt"
    deadline = time.monotonic() + wait
    while not path.exists():
        if time.monotonic() > deadline:
            return None
        time.sleep(0.02)
    record = {"args": []}
    for key, _, value in (line.partition("=") for line in path.read_text().splitlines()):
        record["args"].append(value) if key == "arg" else record.update({key: value})
    if record.get("cwd", "")[:3].upper() == "Z:\\":
        record["cwd"] = "/" + record["cwd"][3:].replace("\\", "/")
    path.unlink()
    return record


class Image:
    """An RGB picture from an 8-bit binary PPM file."""

    def __init__(self, path):
        data = Path(path).read_bytes()
        header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
        self.width, self.height, self.pixels = int(header[1]), int(header[2]), data[header.end():]

    def at(self, x, y):
        return tuple(self.pixels[3 * (y * self.width + x):3 * (y * self.width + x) + 3])


class Xvfb:
    """A private X server on a display that Xvfb picks; env is the environment to run in it."""

    def __init__(self, log_path):
        read_end, write_end = os.pipe()
        with open(log_path, "wb") as log:
            self.process = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                                             "-nolisten", "tcp", "-br", "-noreset"], pass_fds=[write_end],
                                            stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        os.close(write_end)
        self.pipe = os.fdopen(read_end)  # open while Xvfb runs, or its writes to it end it
        display = self.pipe.readline().strip()  # the display's number; empty if Xvfb ended
        self.env = {k: v for k, v in os.environ.items() if k not in ("SDL_VIDEODRIVER", "WAYLAND_DISPLAY")}
        self.env["DISPLAY"] = ":" + display
        if not display.isdigit():
            self.stop()
            raise RuntimeError(f"Xvfb did not start: {Path(log_path).read_text()}")

    def stop(self):
        self.process.terminate()
        self.process.wait()
        self.pipe.close()

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True, timeout=10).stdout

    def window(self, title):
        ids = self.xdotool("search", "--onlyvisible", "--name", f"^{title}$").split()
        return ids[0] if len(ids) == 1 else None

    def geometry(self, window):
        """(x, y, width, height) of WINDOW."""
        values = dict(line.split("=", 1) for line in self.xdotool("getwindowgeometry", "--shell", window).split())
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def press(self, window, keys):
        """Gives WINDOW the focus and types KEYS (Return, alt+F4) as a keyboard would."""
        self.xdotool("windowfocus", "--sync", window)
        self.xdotool("key", "--clearmodifiers", keys)

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.env["DISPLAY"], "-window", "root", "-depth", "8", f"ppm:{path}"],
                       env=self.env, check=True, capture_output=True)
        return Image(path)


class E2ETestCase(unittest.TestCase):
    """A scratch directory and a certificate authority per class; launcher directories in it."""

    @classmethod
    def setUpClass(cls):
        shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None  # thousands of small files
        cls.scratch = Path(tempfile.mkdtemp(prefix=f"velm-e2e-{cls.__name__}-", dir=shm))
        if os.environ.get("VELM_E2E_KEEP") != "1":
            cls.addClassCleanup(shutil.rmtree, cls.scratch, ignore_errors=True)
        cls.cert_dir = make_certificates(cls.scratch / "server" / "certs")

    @classmethod
    def serve(cls, root, rate=None, port=None, state="server"):
        """nginx serving ROOT from the state directory STATE, with the class's certificates."""
        if not (cls.scratch / state / "certs").exists():
            shutil.copytree(cls.cert_dir, cls.scratch / state / "certs")
        server = DevServer(root, cls.scratch / state, rate, port)
        cls.addClassCleanup(server.stop)
        return server

    @classmethod
    def fault_server(cls, root):
        server = FaultServer(root, cls.cert_dir, cls.scratch)
        cls.addClassCleanup(server.stop)
        return server

    @classmethod
    def stage(cls, game_files=None, directory=None, like=None):
        """A launcher directory with GAME_FILES in game/, over a copy of LIKE's game/ and state."""
        directory = Path(directory or tempfile.mkdtemp(prefix="launcher-", dir=cls.scratch))
        return stage(directory, cls.cert_dir / "ca.crt", game_files=game_files, like=like)

    def assert_tree(self, expected, root, run=None, skip=None):
        """The files below ROOT are EXPECTED (path -> bytes), but for names matching SKIP."""
        actual = {n: d for n, d in snapshot(root, files_only=True).items() if not (skip and re.search(skip, n))}
        differing = sorted(n for n in set(actual) | set(expected) if actual.get(n) != expected.get(n))
        if differing:
            self.fail(f"{root} differs at {differing[:10]}\n{run.describe() if run else ''}")

    def assert_ok(self, run, expected=None, skip=None):
        """Status 0, the game started in game/ without arguments after a summary saying so, game/
        holding EXPECTED."""
        self.assertEqual(run.returncode, 0, run.describe())
        self.assertIn(run.figures.get("result"), ("ok", "offline"), run.describe())
        self.assertEqual(take_game_record(run.directory), {"cwd": os.path.realpath(run.directory / "game"),
                                                           "argc": "0", "args": []}, run.describe())
        if expected is not None:
            self.assert_tree(expected, run.directory / "game", run, skip)

    def assert_fatal(self, run, *fragments):
        self.assertEqual(run.returncode, 1, run.describe())
        for fragment in fragments:
            self.assertIn(fragment, run.stderr, run.describe())
        self.assertIsNone(take_game_record(run.directory, wait=0.3), run.describe())
        self.assertEqual(run.figures.get("result"), "failed", run.describe())

    def assert_transfers(self, run, names):
        """The run fetched the file list, then exactly NAMES."""
        self.assertEqual(run.transfers()[:1], [url_for(LIST_NAME)], run.describe())
        self.assertEqual(sorted(run.transfers()[1:]), sorted(map(url_for, names)), run.describe())
