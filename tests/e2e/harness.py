"""Shared machinery of the end-to-end tests: the real launcher against a real HTTPS server.

What it provides:
  - game trees: write_tree, read_files, snapshot, assert_files_equal, the stand-in game;
  - the published tree: publish (velm-publish build), write_file_list (a hand-made list);
  - the server on 127.0.0.1:4443: DevServer (nginx through scripts/dev-server.sh) and
    FaultServer (fault_server.py beside it), both certified by the class's own authority;
  - the launcher: stage_launcher (a fresh working directory), LauncherRun (one process, its
    output as it arrives, SIGTERM on a condition, its end) and parsers of its diagnostics;
  - E2ETestCase, a base class holding a scratch directory and the certificates per test class.

The launcher under test is named in one place, launcher_command(). By default it is the Linux
build's velm-launcher. VELM_LAUNCHER_EXE names another binary to stage (a Windows build, say)
and VELM_LAUNCHER_CMD a command prefix to run it with (for example "wine"); VELM_GAME_STUB
names a stand-in game to publish in place of the shell script below.

Port 4443 and the single-instance name are global to a network namespace, and other people may
use both on a shared machine. When run as root, the test process therefore moves itself into a
private network namespace with only a loopback interface, and a private mount namespace in which
tests can mount file systems of their own, before any test starts (set
VELM_E2E_SHARED_NETWORK=1 to stay in the machine's namespace). Scratch directories go to
/dev/shm when it is writable, or to VELM_E2E_TMPDIR; set VELM_E2E_KEEP=1 to keep them.
"""

import fcntl
import http.client
import json
import os
import re
import shlex
import shutil
import signal
import socket
import ssl
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
import zlib
from pathlib import Path

# --- Where things are -----------------------------------------------------------------------

SOURCE_DIR = Path(os.environ.get("VELM_SOURCE_DIR", Path(__file__).resolve().parents[2]))
BUILD_DIR = Path(os.environ.get("VELM_BUILD_DIR", SOURCE_DIR / "build"))
SCRIPTS_DIR = SOURCE_DIR / "scripts"
PUBLISH_EXE = BUILD_DIR / "velm-publish"

PORT = 4443
BASE_URL = f"https://localhost:{PORT}/windows/"
LIST_NAME = "manifest.dat"
GAME_EXE = "VELM.exe"
GAME_RECORD = "ran.txt"  # what the stand-in game writes into its working directory
KEEP_SCRATCH = os.environ.get("VELM_E2E_KEEP") == "1"

SERVER_START_TIMEOUT_S = 15
DEFAULT_RUN_TIMEOUT_S = 60
GAME_RECORD_WAIT_S = 5.0  # the game is started 1 s before the launcher ends; allow for a slow fork
GAME_ABSENT_GRACE_S = 0.3  # how long to look for a game start that must not happen

# --- The launcher under test ----------------------------------------------------------------

LAUNCHER_EXE = Path(os.environ.get("VELM_LAUNCHER_EXE") or BUILD_DIR / "velm-launcher")
LAUNCHER_PREFIX = shlex.split(os.environ.get("VELM_LAUNCHER_CMD", ""))


def launcher_command(directory):
    """The command that runs the launcher staged in DIRECTORY (also its working directory)."""
    return LAUNCHER_PREFIX + [str(Path(directory) / LAUNCHER_EXE.name)]


def launcher_env():
    """No display: a fatal report cannot open a message box, so the process ends at once."""
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(name, None)
    env["SDL_VIDEODRIVER"] = "dummy"
    return env


# The stand-in game, published as VELM.exe. It records that it ran, where, and with which
# arguments, in ran.txt in its working directory: lines "cwd=DIR", "argc=N" and one "arg=A"
# per argument. The record appears whole (written aside, then renamed), so that a reader never
# sees half of it. VELM_GAME_STUB names another program that writes the same record (a
# Windows build of it, say).
_SHELL_GAME_STUB = b"""#!/bin/sh
# Stand-in game for the end-to-end tests.
{
  echo "cwd=$(pwd -P)"
  echo "argc=$#"
  for arg in "$@"; do echo "arg=$arg"; done
} > ran.txt.part && mv ran.txt.part ran.txt
"""
GAME_STUB = (Path(os.environ["VELM_GAME_STUB"]).read_bytes() if os.environ.get("VELM_GAME_STUB")
             else _SHELL_GAME_STUB)


def png_image(width=4, height=2, rgb=(200, 30, 30)):
    """A small valid PNG, for the background image "launcher.dat"."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data)))
    rows = b"".join(b"\x00" + bytes(rgb) * width for _ in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)  # 8-bit RGB
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows))
            + chunk(b"IEND", b""))


# --- A private network ----------------------------------------------------------------------

_NETNS_MARK = "VELM_E2E_IN_NETNS"
_SIOCGIFFLAGS = 0x8913
_SIOCSIFFLAGS = 0x8914
_IFF_UP = 0x1


def _bring_loopback_up():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        request = struct.pack("16sH22x", b"lo", 0)
        flags = struct.unpack("16sH22x", fcntl.ioctl(s, _SIOCGIFFLAGS, request))[1]
        fcntl.ioctl(s, _SIOCSIFFLAGS, struct.pack("16sH22x", b"lo", flags | _IFF_UP))


def _enter_private_network():
    """Re-runs this process in a new network namespace, once; a no-op where that is impossible."""
    if os.environ.get(_NETNS_MARK) == "1":
        _bring_loopback_up()
        return
    if os.environ.get("VELM_E2E_SHARED_NETWORK") == "1" or os.geteuid() != 0:
        return
    if sys.argv[0] in ("-c", "-"):
        return  # a program given inline cannot be run again
    unshare = shutil.which("unshare")
    if unshare is None:
        return
    probe = subprocess.run([unshare, "--net", "--mount", "true"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=False)
    if probe.returncode != 0:
        return
    os.environ[_NETNS_MARK] = "1"
    sys.stdout.flush()
    sys.stderr.flush()
    # A private mount namespace too: tests may mount small or read-only file systems.
    os.execv(unshare, [unshare, "--net", "--mount", "--", sys.executable] + sys.orig_argv[1:])


_enter_private_network()

# --- Trees ----------------------------------------------------------------------------------


def write_tree(root, files):
    """Writes FILES, a dict of relative path -> bytes, under ROOT (directories as needed)."""
    root = Path(root)
    for name, data in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)


def read_files(root, skip=()):
    """Every regular file below ROOT as relative path -> bytes; links are not followed.

    Links and other non-regular entries show up as a str describing them, so a comparison
    with expected bytes fails on them. SKIP names relative paths to leave out.
    """
    root = Path(root)
    found = {}
    for dirpath, dirnames, filenames in os.walk(root, followlinks=False):
        for name in filenames + [d for d in dirnames if os.path.islink(os.path.join(dirpath, d))]:
            path = Path(dirpath) / name
            relative = path.relative_to(root).as_posix()
            if relative in skip:
                continue
            mode = path.lstat().st_mode
            if stat.S_ISREG(mode):
                found[relative] = path.read_bytes()
            elif stat.S_ISLNK(mode):
                found[relative] = f"<link to {os.readlink(path)}>"
            else:
                found[relative] = f"<special file, mode {mode:o}>"
    return found


def snapshot(root):
    """Everything below ROOT, for 'untouched' checks: kind, content or target, size, mtime."""
    root = Path(root)
    entries = {}
    for dirpath, dirnames, filenames in os.walk(root, followlinks=False):
        for name in dirnames + filenames:
            path = Path(dirpath) / name
            st = path.lstat()
            relative = path.relative_to(root).as_posix()
            if stat.S_ISLNK(st.st_mode):
                entries[relative] = ("link", os.readlink(path))
            elif stat.S_ISDIR(st.st_mode):
                entries[relative] = ("dir",)
            else:
                entries[relative] = ("file", path.read_bytes(), st.st_mtime_ns)
    return entries


def assert_files_equal(test, expected, root, skip=(), msg=""):
    """Fails TEST unless the regular files below ROOT are exactly EXPECTED (path -> bytes)."""
    actual = read_files(root, skip=skip)
    missing = sorted(set(expected) - set(actual))
    extra = sorted(set(actual) - set(expected))
    differing = sorted(n for n in set(expected) & set(actual) if expected[n] != actual[n])
    if missing or extra or differing:
        def head(names):
            return names[:10] + ([f"... {len(names) - 10} more"] if len(names) > 10 else [])
        test.fail(f"{msg}\ntree {root} differs: missing {head(missing)}, unexpected "
                  f"{head(extra)}, different content {head(differing)}")


def remove_tree(path):
    """Removes PATH, even where a test took the write or read permission away."""
    def make_writable(func, failed, exc_info):
        parent = os.path.dirname(failed)
        os.chmod(parent, 0o755)
        if os.path.exists(failed) and not os.path.islink(failed):
            os.chmod(failed, 0o755)
        func(failed)
    if os.path.lexists(path):
        shutil.rmtree(path, onerror=make_writable)


def _scratch_parent():
    # Memory-backed when possible: the tests write and copy thousands of small files.
    chosen = os.environ.get("VELM_E2E_TMPDIR")
    if chosen:
        return chosen
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
        return "/dev/shm"
    return None


def scratch_dir(prefix):
    return Path(tempfile.mkdtemp(prefix=f"velm-e2e-{prefix}-", dir=_scratch_parent()))


# --- Publishing -----------------------------------------------------------------------------


def publish(game_dir, root, level=1, options=()):
    """Publishes GAME_DIR into the server tree ROOT with velm-publish (and its OPTIONS, such as
    "--sign", KEYFILE); returns ROOT."""
    result = subprocess.run([str(PUBLISH_EXE), "build", "--level", str(level), *options,
                             str(game_dir), str(root)], capture_output=True, text=True, check=False)
    if result.returncode != 0:
        raise RuntimeError(f"velm-publish failed ({result.returncode}):\n{result.stderr}")
    return Path(root)


def published_path(root, name):
    """Where the server tree ROOT serves the compressed form of the listed NAME: in the live tree,
    through velm-publish's windows link. Its unchanged files are hard links shared with the
    trees kept beside it: replace such a file (unlink, then write) rather than edit it in place."""
    return Path(root) / "windows" / (name + ".zs")


def url_for(name):
    """The URL the launcher asks for to fetch the listed NAME."""
    return BASE_URL + name.replace(" ", "%20") + ".zs"


def zstd_compress(source, destination, level=1):
    subprocess.run(["zstd", "-q", "-f", f"-{level}", "-o", str(destination), str(source)],
                   check=True)


# The file list's value stream, only as much as a list needs: lists, strings, integers.

def _length_header(class_tag, length):
    if length <= 29:
        return bytes([class_tag | length])
    if length <= 0xFF:
        return bytes([class_tag | 30, length])
    if length <= 0xFFFF:
        return bytes([class_tag | 31]) + length.to_bytes(2, "big")
    raise ValueError(f"length {length} does not fit a value header")


def encode_value(value):
    """Encodes a list (of values), a str or bytes, or a non-negative int."""
    if isinstance(value, bool):
        raise TypeError("booleans are not part of a file list")
    if isinstance(value, int):
        if value < 0:
            raise ValueError("only non-negative integers are encoded here")
        if value <= 23:
            return bytes([0x20 | value])
        count = max(1, (value.bit_length() + 7) // 8)
        return bytes([0x20 + 23 + count]) + value.to_bytes(count, "big")
    if isinstance(value, str):
        value = value.encode()
    if isinstance(value, bytes):
        return _length_header(0x80, len(value)) + value
    if isinstance(value, (list, tuple)):
        return _length_header(0xA0, len(value)) + b"".join(encode_value(v) for v in value)
    raise TypeError(f"cannot encode {type(value).__name__}")


def write_file_list(root, entries, scratch):
    """Writes ROOT/windows/manifest.dat.zs from ENTRIES, a list of entries as the list holds
    them ([name, size, digest], or anything else to test malformed lists)."""
    raw = Path(scratch) / "manifest.dat"
    raw.write_bytes(encode_value(entries))
    target = published_path(root, LIST_NAME)
    target.parent.mkdir(parents=True, exist_ok=True)
    zstd_compress(raw, target)


# --- Servers --------------------------------------------------------------------------------


def make_certificates(directory):
    """The dev authority and a localhost server certificate in DIRECTORY (dev-cert.sh)."""
    subprocess.run([str(SCRIPTS_DIR / "dev-cert.sh"), str(directory)], check=True,
                   stdout=subprocess.DEVNULL)
    return Path(directory)


def port_in_use():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        return s.connect_ex(("127.0.0.1", PORT)) == 0


def wait_until_serving(ca_file, timeout=SERVER_START_TIMEOUT_S):
    """Waits until an HTTPS request to the server, verified against CA_FILE, gets an answer."""
    context = ssl.create_default_context(cafile=str(ca_file))
    deadline = time.monotonic() + timeout
    last_error = None
    while time.monotonic() < deadline:
        connection = http.client.HTTPSConnection("localhost", PORT, context=context, timeout=2)
        try:
            connection.request("GET", "/")
            connection.getresponse().read()
            return
        except (OSError, http.client.HTTPException) as error:
            last_error = error
            time.sleep(0.05)
        finally:
            connection.close()
    raise RuntimeError(f"no HTTPS answer on port {PORT} within {timeout} s: {last_error!r}")


def _refuse_busy_port():
    if port_in_use():
        raise RuntimeError(f"port {PORT} is already in use: another update server is running")


class DevServer:
    """nginx serving ROOT over HTTP/2 and HTTP/1.1 through scripts/dev-server.sh, with the certificates in
    STATE_DIR/certs (generated there when absent)."""

    def __init__(self, root, state_dir, rate=None, http2=False):
        self.root = Path(root)
        self.state_dir = Path(state_dir)
        self.rate = rate
        self.http2 = http2
        self.ca = self.state_dir / "certs" / "ca.crt"

    def start(self):
        _refuse_busy_port()
        command = [str(SCRIPTS_DIR / "dev-server.sh"), "start", str(self.root), str(self.state_dir), "--http2"]
        if self.rate is not None:
            command += ["--rate", self.rate]
        if self.http2:
            command.append("--http2")
        result = subprocess.run(command, capture_output=True, text=True, check=False)
        if result.returncode != 0:
            raise RuntimeError(f"dev-server.sh start failed:\n{result.stdout}{result.stderr}")
        wait_until_serving(self.ca)
        return self

    def stop(self):
        subprocess.run([str(SCRIPTS_DIR / "dev-server.sh"), "stop", str(self.state_dir)],
                       capture_output=True, check=False)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.stop()

    def access_log(self):
        """nginx's access log: one line per request, with its protocol and connection number."""
        return (self.state_dir / "access.log").read_text()


class FaultServer:
    """fault_server.py serving ROOT on port 4443 with FAULTS (URL path -> fault),
    certified by the certificates in CERT_DIR."""

    def __init__(self, root, cert_dir, faults=None, scratch=None):
        self.root = Path(root)
        self.cert_dir = Path(cert_dir)
        self.ca = self.cert_dir / "ca.crt"
        self.faults = faults or {}
        self.scratch = Path(scratch or scratch_dir("fault"))
        self.scratch.mkdir(parents=True, exist_ok=True)
        self.log_path = self.scratch / "fault-server.log"
        self.process = None

    def start(self):
        _refuse_busy_port()
        faults_path = self.scratch / "faults.json"
        faults_path.write_text(json.dumps(self.faults))
        self.log_path.write_text("")
        self.process = subprocess.Popen(
            [sys.executable, str(Path(__file__).resolve().parent / "fault_server.py"), "--root", str(self.root),
             "--port", str(PORT), "--cert", str(self.cert_dir / "server.crt"),
             "--key", str(self.cert_dir / "server.key"), "--faults", str(faults_path),
             "--log", str(self.log_path)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        first_line = self.process.stdout.readline()
        if not first_line.startswith("listening on"):
            self.process.wait(timeout=5)
            raise RuntimeError(f"fault_server.py did not start: {first_line}{self.process.stderr.read()}")
        wait_until_serving(self.ca)
        return self

    def stop(self):
        if self.process is None:
            return
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()
        self.process = None

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.stop()

    def log(self):
        return self.log_path.read_text()

    def faults_applied(self, name):
        """How many requests for the listed NAME's compressed form met their fault."""
        return self.log().count(f"fault on /windows/{name}.zs (request ")

    def answers(self, name):
        """How many requests for the listed NAME's compressed form got a status line."""
        target = url_for(name)[len(f"https://localhost:{PORT}"):]
        return len(re.findall(f'"GET {re.escape(target)}(\\?[0-9a-f]{{40}})? HTTP/', self.log()))


# --- The launcher ---------------------------------------------------------------------------


def stage_launcher(directory, ca_file):
    """Makes DIRECTORY a runnable launcher directory that trusts CA_FILE; returns it."""
    directory = Path(directory)
    result = subprocess.run([str(SCRIPTS_DIR / "stage-launcher.sh"), str(BUILD_DIR), str(directory),
                             str(ca_file)], capture_output=True, text=True, check=False)
    if result.returncode != 0:
        raise RuntimeError(f"stage-launcher.sh failed:\n{result.stderr}")
    # The launcher under test may be another build than the one stage-launcher.sh copies; a
    # Windows build brings the libraries beside it.
    if LAUNCHER_EXE != BUILD_DIR / "velm-launcher":
        shutil.copy2(LAUNCHER_EXE, directory / LAUNCHER_EXE.name)
        for library in LAUNCHER_EXE.parent.glob("*.dll"):
            shutil.copy2(library, directory / library.name)
    return directory


TRANSFER_LINE = re.compile(r"^(\d+) \| +(\d+) ms \| (.+)$")
NOT_FOUND_LINE = re.compile(r"^\* +(\d+) (.+) - ======= NOT FOUND IN MANIFEST =======$")
RETRY_LINE = re.compile(r"^ !!! RETRYING (.+)$")
CURL_ERROR_LINE = re.compile(r"^ \*\*\* Got CURLcode (.+)$")
RESUME_LINE = re.compile(r"^resuming (.+) at byte (\d+)$")


class LauncherRun:
    """One launcher process started in DIRECTORY (or the working directory CWD). Its output
    is collected line by line as it arrives, so a test can act on a line (or any other
    condition) while it runs."""

    def __init__(self, directory, cwd=None):
        self.directory = Path(directory)
        self.started = time.monotonic()
        self.signalled = None  # monotonic time of the SIGTERM, if one was sent
        self.ended = None
        self.returncode = None
        self._lines = {"stdout": [], "stderr": []}
        self._changed = threading.Condition()
        self.process = subprocess.Popen(
            launcher_command(directory), cwd=cwd or directory, env=launcher_env(),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self._readers = [threading.Thread(target=self._read, args=(stream, key), daemon=True)
                         for stream, key in ((self.process.stdout, "stdout"),
                                             (self.process.stderr, "stderr"))]
        for reader in self._readers:
            reader.start()

    def _read(self, stream, key):
        for raw in stream:
            with self._changed:
                # A Windows build's C runtime ends its lines in CR LF.
                self._lines[key].append(raw.decode(errors="replace").rstrip("\r\n"))
                self._changed.notify_all()
        stream.close()
        with self._changed:
            self._changed.notify_all()

    @property
    def stdout_lines(self):
        with self._changed:
            return list(self._lines["stdout"])

    @property
    def stdout(self):
        return "\n".join(self.stdout_lines)

    @property
    def stderr(self):
        with self._changed:
            return "\n".join(self._lines["stderr"])

    def describe(self):
        """The run's status and output, for failure messages."""
        return (f"launcher in {self.directory}: status {self.returncode}\n"
                f"--- stdout ---\n{self.stdout}\n--- stderr ---\n{self.stderr}\n---")

    def wait_for(self, predicate, timeout, what):
        """Waits until PREDICATE() is true while the launcher runs; fails if it never is."""
        deadline = time.monotonic() + timeout
        while True:
            if predicate():
                return
            if self.process.poll() is not None:
                self._join_readers()
                raise AssertionError(f"the launcher ended before {what}\n{self.describe()}")
            if time.monotonic() > deadline:
                raise AssertionError(f"no {what} within {timeout} s\n{self.describe()}")
            with self._changed:
                self._changed.wait(0.02)

    def wait_for_line(self, pattern, timeout=DEFAULT_RUN_TIMEOUT_S):
        """Waits for a standard-output line matching the regular expression PATTERN."""
        regex = re.compile(pattern)
        self.wait_for(lambda: any(regex.search(line) for line in self.stdout_lines), timeout,
                      f"output line matching {pattern!r}")

    def terminate(self):
        """Closes the window, as far as the launcher can tell: SDL turns SIGTERM into a quit."""
        self.signalled = time.monotonic()
        self.process.send_signal(signal.SIGTERM)

    def wait(self, timeout=DEFAULT_RUN_TIMEOUT_S):
        """Waits for the end; kills the launcher and fails if it takes longer than TIMEOUT."""
        try:
            self.returncode = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.returncode = self.process.wait()
            self._join_readers()
            raise AssertionError(f"the launcher did not end within {timeout} s\n{self.describe()}")
        self.ended = time.monotonic()
        self._join_readers()
        return self.returncode

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self._join_readers()

    def _join_readers(self):
        for reader in self._readers:
            reader.join(timeout=5)

    # Diagnostics, parsed.

    def transfers(self, with_query=False):
        """URLs of the completed transfers ("200 |    12 ms | URL" lines), in order, without
        the "?<sha1>" query unless WITH_QUERY. A resumed transfer's status is 206."""
        found = []
        for line in self.stdout_lines:
            match = TRANSFER_LINE.match(line)
            if match:
                found.append(match.group(3) if with_query else match.group(3).split("?")[0])
                if match.group(1) not in ("200", "206"):
                    raise AssertionError(f"transfer line with status {match.group(1)}: {line}")
        return found

    def statuses(self):
        """The listed name of each completed transfer -> its HTTP status (206: resumed)."""
        base = len(BASE_URL)
        return {urllib.parse.unquote(m.group(3)[base:].split("?")[0][:-len(".zs")]): int(m.group(1))
                for m in map(TRANSFER_LINE.match, self.stdout_lines) if m}

    def resumed(self):
        """Listed name -> the byte a transfer was resumed at ("resuming NAME at byte N")."""
        return {m.group(1): int(m.group(2)) for m in map(RESUME_LINE.match, self.stdout_lines) if m}

    def not_found(self):
        """Files reported as not in the list: relative name -> reported size."""
        return {m.group(2): int(m.group(1)) for m in map(NOT_FOUND_LINE.match, self.stdout_lines) if m}

    def retries(self):
        return [m.group(1) for m in map(RETRY_LINE.match, self.stdout_lines) if m]

    def curl_errors(self):
        return [m.group(1) for m in map(CURL_ERROR_LINE.match, self.stdout_lines) if m]


def run_launcher(directory, timeout=DEFAULT_RUN_TIMEOUT_S, cwd=None):
    """Runs the launcher in DIRECTORY (from the working directory CWD) to its end and returns
    the finished LauncherRun."""
    run = LauncherRun(directory, cwd)
    try:
        run.wait(timeout)
    finally:
        run.kill()
    return run


def take_game_record(directory, wait=GAME_RECORD_WAIT_S):
    """What the stand-in game recorded in DIRECTORY/game, or None if it did not run within
    WAIT seconds. The record is removed, so the next run does not report it as unlisted."""
    path = Path(directory) / "game" / GAME_RECORD
    deadline = time.monotonic() + wait
    while not path.exists():
        if time.monotonic() > deadline:
            return None
        time.sleep(0.02)
    record = {"args": []}
    for line in path.read_text().splitlines():
        key, _, value = line.partition("=")
        if key == "arg":
            record["args"].append(value)
        else:
            record[key] = value
    path.unlink()
    return record


# --- Test classes ---------------------------------------------------------------------------


class E2ETestCase(unittest.TestCase):
    """Base of the end-to-end tests: a scratch directory and certificates per test class, a
    fresh launcher directory per test, and the common checks on a run."""

    scratch = None
    cert_dir = None

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.scratch = scratch_dir(cls.__name__)
        if not KEEP_SCRATCH:
            cls.addClassCleanup(remove_tree, cls.scratch)
        cls.cert_dir = make_certificates(cls.scratch / "server" / "certs")

    @classmethod
    def start_dev_server(cls, root, rate=None):
        server = DevServer(root, cls.scratch / "server", rate=rate).start()
        cls.addClassCleanup(server.stop)
        return server

    @classmethod
    def install_fresh(cls, source, installed, timeout=DEFAULT_RUN_TIMEOUT_S):
        """Publishes SOURCE (path -> bytes), serves it from the dev server for the whole class,
        and runs one fresh install into INSTALLED: sets cls.source, cls.root, cls.installed,
        cls.fresh (the run) and cls.fresh_record (the stand-in game's record)."""
        cls.source = source
        write_tree(cls.scratch / "src", source)
        cls.root = publish(cls.scratch / "src", cls.scratch / "root")
        cls.start_dev_server(cls.root)
        cls.installed = installed
        stage_launcher(installed, cls.cert_dir / "ca.crt")
        cls.fresh = run_launcher(installed, timeout=timeout)
        cls.fresh_record = take_game_record(installed)

    def start_fault_server(self, root, faults):
        """A fault server for this test only."""
        scratch = Path(tempfile.mkdtemp(prefix="fault-", dir=self.scratch))
        server = FaultServer(root, self.cert_dir, faults, scratch).start()
        self.addCleanup(server.stop)
        return server

    def stage(self, game_files=None):
        """A fresh launcher directory, removed after the test; GAME_FILES (path -> bytes) are
        put into its game/ first."""
        directory = Path(tempfile.mkdtemp(prefix="launcher-", dir=self.scratch))
        if not KEEP_SCRATCH:
            self.addCleanup(remove_tree, directory)
        stage_launcher(directory, self.cert_dir / "ca.crt")
        if game_files:
            write_tree(directory / "game", game_files)
        return directory

    def installed_copy(self):
        """A fresh launcher directory holding a copy of the class's installed game tree."""
        directory = self.stage()
        shutil.copytree(self.installed / "game", directory / "game", symlinks=True)
        return directory

    def assert_status(self, run, status):
        self.assertEqual(run.returncode, status, run.describe())

    def assert_transfers(self, run, names):
        """The run fetched the file list first, then exactly NAMES (in any order)."""
        transfers = run.transfers()
        self.assertEqual(transfers[:1], [url_for(LIST_NAME)], run.describe())
        self.assertEqual(sorted(transfers[1:]), sorted(url_for(n) for n in names), run.describe())

    def assert_game_started(self, run):
        """The stand-in game ran once, in game/, with no arguments."""
        record = take_game_record(run.directory)
        self.assertIsNotNone(record, f"the game was not started\n{run.describe()}")
        self.assertEqual(record.get("cwd"), os.path.realpath(run.directory / "game"), run.describe())
        self.assertEqual(record.get("argc"), "0", run.describe())
        self.assertEqual(record["args"], [], run.describe())

    def assert_game_not_started(self, run):
        record = take_game_record(run.directory, wait=GAME_ABSENT_GRACE_S)
        self.assertIsNone(record, f"the game was started\n{run.describe()}")
        self.assertNotIn("All jobs completed", run.stdout_lines, run.describe())

    def assert_fatal(self, run, *fragments):
        """The run ended with status 1 and a fatal report on standard error holding FRAGMENTS."""
        self.assert_status(run, 1)
        for fragment in fragments:
            self.assertIn(fragment, run.stderr, run.describe())
        self.assert_game_not_started(run)
