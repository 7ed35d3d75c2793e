#!/usr/bin/env python3
"""The benchmarks: the real launcher and publisher against nginx, beside reference tools measured
in the same run. Run as root: the run moves into network and mount namespaces of its own
(tests/e2e/harness.py, whose server, staging and launcher runs it shares) and drops the page cache.

  bench.py CASE [options]         CASE: micro, update, transfer, patch, publish, large, offline,
  bench.py all --quick            self-update, cdn; `all` runs each (with --quick: in minutes)
  bench.py --clean                removes the generated data

  micro       SHA-1 against `openssl speed`, decompress_file against `zstd -d` and its peak RSS,
              the start-up cost of a signed 65,535-entry list (Google Benchmark, velm-bench)
  update      fresh install of 2,000 files (1 GiB) against the reference pipeline (curl
              --parallel, then zstd -d and sha1sum), verify-only against sha1sum -P, peak RSS with a
              2 GiB file, a 65,535-entry list of current empty files
  transfer    --sections fresh,current,interrupted,verify over --links (loopback,
              RTT_MS:MBIT_S[:LOSS_PERCENT[:CC]]) and --trees small,mixed,large; --baseline REV
  patch       velm-publish patch against zstd --patch-from, a publish with and without patches,
              and the launcher's update with them (--level, default 9)
  publish     --sections levels,depths over a generated history (--levels, --level, --big-mib)
  large       --sections game,pack: --files, --game-gib; --pack-gib, --places
  offline     a VELM_OFFLINE_START launcher's start with the server refused and silent (--files)
  self-update a current start with the launcher's own check and without it, at --rtt
  cdn         --players launchers at once through a Traffic Server edge (uses build/'s launcher)

A launcher's time runs from its start to its summary line (the update's end: its fixed waits
around the game's start are left out); its peak RSS is the kernel's high-water mark. --runs N
takes medians of N runs. Builds (Release), generated trees and logs live in VELM_BENCH_WORK
(default <repo>/build-bench); the trees are kept for the next run.
"""
import argparse
import base64
import contextlib
import functools
import hashlib
import json
import math
import os
import random
import re
import shutil
import socket
import statistics
import subprocess
import sys
import threading
import time
import urllib.parse
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
WORK = Path(os.environ.get("VELM_BENCH_WORK", ROOT / "build-bench"))
SLOW_LINK = ROOT.parent / "shared" / "tools" / "slow-link" / "slow-link.sh"
SERVER_IP, PORT = "10.77.0.2", 4443
URL = f"https://{SERVER_IP}:{PORT}/windows/"
NS = f"vb{os.getpid()}"
SCRATCH = Path("/dev/shm") / NS  # launchers and the reference write here: creating files on a churned disk costs ms each
KIB, MIB, GIB = 1 << 10, 1 << 20, 1 << 30
HASH_THREADS = min(max(os.cpu_count(), 2), 16)  # the launcher's workers
CASES = ("micro", "update", "transfer", "patch", "publish", "large", "offline", "self-update", "cdn")


def note(text):
    print(f"bench: {text}", file=sys.stderr, flush=True)


def say(text):
    print(text, flush=True)


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(value, unit=" s", digits=2):
    return "failed" if value is None else f"{value:.{digits}f}{unit}"


def ratio(a, b):
    return None if a is None or not b else a / b


def verdict(value, target):
    return "met" if value is not None and value <= target else "MISSED"


def mb(n):
    return f"{n / 1e6:.2f} MB"


def mib(n):
    return f"{n / MIB:.1f} MiB"


def run(*cmd, **kw):
    return subprocess.run([str(c) for c in cmd], check=True, **kw)


def timed(*cmd, **kw):
    start = time.monotonic()
    subprocess.run([str(c) for c in cmd], check=True, stdout=subprocess.DEVNULL, **kw)
    return time.monotonic() - start


def tree_bytes(path, exclude=()):
    return sum(p.stat().st_size for p in Path(path).rglob("*") if p.is_file() and not set(exclude) & set(p.parts))


def drop_caches():
    run("sync")
    Path("/proc/sys/vm/drop_caches").write_text("3")


# --- generated games (seeded: a regenerated tree publishes the same way) ------------------------
BLOCK, SEED = 64 * KIB, 20240601
GAME_SCRIPT = b"#!/bin/sh\n# Stand-in game of the benchmarks: notes when it started, beside the launcher.\n" \
              b"date +%s.%N > ../game-started.txt\n"
DIRECTORIES = ["", "bin", "data", "data/textures", "data/textures/characters", "data/sounds",
               "data/sounds/ambient loops", "maps", "maps/level 01", "maps/level 02", "video", "localization/en"]


def text_pool(rng):
    """8 MiB of record-like text (3-4 times compressible)."""
    states, lines, size = ["idle", "walk", "run", "attack", "dead", "spawn", "patrol"], [], 0
    while size < 8 * MIB:
        lines.append(f"{len(lines):08d} entity_{rng.randrange(2000):04d} pos {rng.randrange(-500, 500)} "
                     f"{rng.randrange(-500, 500)} {rng.randrange(100)} hp {rng.randrange(100)} state={rng.choice(states)}\n")
        size += len(lines[-1])
    return "".join(lines).encode()


def blocks(size, rng, pool):
    """SIZE bytes, each 64 KiB block base64 of random bytes (30 %) or a stretch of the pool."""
    out = []
    while size > 0:
        n = min(BLOCK, size)
        start = rng.randrange(len(pool) - n)
        out.append(base64.b64encode(rng.randbytes(n * 3 // 4 + 3))[:n] if rng.random() < 0.3 else pool[start:start + n])
        size -= n
    return b"".join(out)


def write(path, size_or_data, rng=None, pool=None):
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    if isinstance(size_or_data, int):
        with open(path, "wb") as f:
            for at in range(0, size_or_data, 64 * MIB):
                f.write(blocks(min(64 * MIB, size_or_data - at), rng, pool))
    else:
        path.write_bytes(size_or_data)


def finish_game(game):
    write(Path(game) / "VELM.exe", GAME_SCRIPT)
    os.chmod(Path(game) / "VELM.exe", 0o755)


def gen_sizes(game, sizes, seed=SEED + 3):
    """One file of each size spread over DIRECTORIES, a few names with spaces (sent as %20)."""
    rng = random.Random(seed)
    pool = text_pool(rng)
    for i, size in enumerate(sizes):
        name = ("asset %04d.%s" if i % 10 == 3 else "file_%04d.%s") % (i, rng.choice(["pak", "dds", "ogg", "bin"]))
        write(Path(game) / rng.choice(DIRECTORIES) / name, size, rng, pool)
    finish_game(game)


def install_sizes(count, total, largest=64 * MIB):
    """The sizes of a game of COUNT files with its executable: four large files (LARGEST, /2, /4,
    /8), the rest log-uniform from 1 KiB up to a bound that brings the total near TOTAL."""
    rng = random.Random(SEED)
    large, draws = [largest >> i for i in range(4)], [rng.random() for _ in range(count - 6)]
    sizes_for = lambda hi: large + [int(2 ** (10 + (hi - 10) * u)) for u in draws] + [KIB]  # noqa: E731
    lo, hi = 10.0, math.log2(largest)
    for _ in range(60):
        lo, hi = ((lo + hi) / 2, hi) if sum(sizes_for((lo + hi) / 2)) <= total else (lo, (lo + hi) / 2)
    sizes = sizes_for(lo)
    rng.shuffle(sizes)
    return sizes


def gen_empty(game, entries):
    for i in range(entries - 1):
        write(Path(game) / f"d{i // 256:03d}" / f"e{i:05d}", b"")
    finish_game(game)


def gen_history(out, versions, big, small_files=300, changed=10, moved=5, mid=16 * MIB, seed=SEED + 5):
    """VERSIONS versions out/v1...: a BIG-byte file rewritten in 1 % of its 64 KiB blocks at each,
    a MID-byte file unchanged, SMALL_FILES small ones of which each version changes CHANGED (4 KiB
    inside), removes MOVED and adds MOVED."""
    rng = random.Random(seed)
    pool = text_pool(rng)
    big_data = bytearray(blocks(big, rng, pool))
    files = {"data/static.pak": blocks(mid, rng, pool)}
    files.update({f"maps/small {i:03d}.dat": blocks(rng.randrange(KIB, 256 * KIB), rng, pool) for i in range(small_files)})
    added = small_files
    for version in range(1, versions + 1):
        if version > 1:
            for i in rng.sample(range(len(big_data) // BLOCK), len(big_data) // BLOCK // 100):
                big_data[i * BLOCK:(i + 1) * BLOCK] = blocks(BLOCK, rng, pool)
            small = sorted(n for n in files if n.startswith("maps/"))
            for name in rng.sample(small, changed):
                at = rng.randrange(len(files[name]))
                files[name] = files[name][:at] + blocks(4 * KIB, rng, pool) + files[name][at + 4 * KIB:]
            for name in rng.sample(small, moved):
                del files[name]
            for _ in range(moved):
                files[f"maps/small {added:03d}.dat"], added = blocks(rng.randrange(KIB, 256 * KIB), rng, pool), added + 1
        for name, data in [("data/big.pak", big_data), *files.items()]:
            write(out / f"v{version}" / name, data)
        finish_game(out / f"v{version}")


def edit_pack(path, percent, places, seed):
    """Rewrites PERCENT % of PATH in place, one stretch in each of PLACES equal parts."""
    rng = random.Random(seed)
    pool, size = text_pool(rng), path.stat().st_size
    span, stretch = int(size * percent / 100 / places), size // places
    with open(path, "r+b") as f:
        for place in range(places):
            f.seek(place * stretch + rng.randrange(stretch - span))
            f.write(blocks(span, rng, pool))


def generated(name, make):
    """WORK/src/NAME, made once by MAKE(path)."""
    game = WORK / "src" / name
    if not (WORK / "src" / f"{name}.done").exists():
        note(f"generating {name}")
        shutil.rmtree(game, ignore_errors=True)
        make(game)
        (WORK / "src" / f"{name}.done").touch()
    return game


def listed_names(game):
    return sorted(str(p.relative_to(game)) for p in Path(game).rglob("*") if p.is_file())


def update_bytes(old, new, tree):
    """What an update from OLD to NEW downloads from TREE: whole .zs, and with patches where TREE has one."""
    sha = lambda p: hashlib.sha1(p.read_bytes()).hexdigest() if p.exists() else None  # noqa: E731
    figures = dict(files=0, patches=0, whole=0, patched=0)
    for name in listed_names(new):
        old_hash, new_hash = sha(old / name), sha(new / name)
        if old_hash == new_hash:
            continue
        zs, patch = (tree / f"{name}.zs").stat().st_size, tree / ".patches" / f"{old_hash}-{new_hash}.zst"
        use_patch = old_hash is not None and patch.exists()
        figures["files"] += 1
        figures["patches"] += use_patch
        figures["whole"] += zs
        figures["patched"] += patch.stat().st_size if use_patch else zs
    return figures


# --- builds, links, servers ---------------------------------------------------------------------
VARIANTS = {"launcher": {}, "every-start": {"VELM_VERIFY_EVERY_START": "ON"},
            "offline": {"VELM_OFFLINE_START": "ON"}, "no-check": {"VELM_LAUNCHER_URL": "OFF"}}


def build(variant="launcher", source=ROOT, targets=("velm-launcher", "velm-publish")):
    """A Release launcher of VARIANT whose update URL is the namespaces' server (one build
    directory: a variant recompiles the few units its option touches), copied out; None when
    TARGETS leave the launcher out."""
    directory = WORK / ("build" if source == ROOT else f"{source.name}-build")
    options = {"VELM_VERIFY_EVERY_START": "OFF", "VELM_OFFLINE_START": "OFF", "VELM_LAUNCHER_URL": "",
               **VARIANTS[variant]}
    run("cmake", "-S", source, "-B", directory, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release", "-DVELM_TESTS=OFF",
        f"-DVELM_UPDATE_URL={URL}", *[f"-D{k}={v}" for k, v in options.items()], stdout=subprocess.DEVNULL)
    run("nice", "cmake", "--build", directory, "-j2", "--target", *targets, stdout=subprocess.DEVNULL)
    if "velm-launcher" not in targets:
        return None
    exe = WORK / "launchers" / (variant if source == ROOT else source.name)
    exe.parent.mkdir(parents=True, exist_ok=True)
    shutil.copy2(directory / "velm-launcher", exe)
    return exe


def baseline(rev):
    sha = run("git", "-C", ROOT, "rev-parse", "--verify", f"{rev}^{{commit}}", capture_output=True, text=True).stdout.strip()
    source = WORK / f"baseline-{sha[:12]}"
    if not (source / "CMakeLists.txt").exists():
        source.mkdir(parents=True, exist_ok=True)
        archive = subprocess.Popen(["git", "-C", ROOT, "archive", sha], stdout=subprocess.PIPE)
        run("tar", "-x", "-C", source, stdin=archive.stdout)
        archive.wait()
    return build(source=source, targets=("velm-launcher",))


class Link:
    """loopback, or RTT_MS:MBIT_S[:LOSS_PERCENT[:CC]] made by slow-link.sh; `client` and `server`
    prefix a command run at either end."""

    def __init__(self, described):
        parts = described.split(":")
        self.cc = parts.pop() if len(parts) == 4 else "cubic"
        try:
            fields = [] if described == "loopback" else [float(f) for f in parts]
        except ValueError:
            fields = [0]
        if described != "loopback" and len(fields) not in (2, 3):
            sys.exit(f"bench: a link is loopback or RTT_MS:MBIT_S[:LOSS_PERCENT[:CC]], not {described}")
        self.rtt_s, self.bit_s = (fields[0] / 1000, fields[1] * 1e6) if fields else (0, 0)
        self.loss = fields[2] / 100 if len(fields) == 3 else 0
        self.client = self.server = ()
        self.label = described if not fields else f"{fields[0]:g} ms, {fields[1]:g} Mbit/s" + (
            f", {fields[2]:g} % loss" if self.loss else "") + f", {self.cc}"

    def limit(self, zs_bytes):
        """The link's physical limit for ZS_BYTES: at its rate, plus three round trips."""
        return zs_bytes * 8 / self.bit_s + 3 * self.rtt_s if self.bit_s else None

    @contextlib.contextmanager
    def up(self, root):
        """The link, and nginx at its server's end serving ROOT (HTTP/2 offered)."""
        note(f"link {self.label}")
        Path(root).mkdir(parents=True, exist_ok=True)
        if self.bit_s:
            run("bash", SLOW_LINK, "up", NS, f"{self.rtt_s * 500:g}", f"{self.bit_s:.0f}", f"{self.loss:g}",
                stdout=subprocess.DEVNULL)
            self.client, self.server = ["ip", "netns", "exec", f"{NS}-c"], ["ip", "netns", "exec", f"{NS}-s"]
            run("ip", "-n", f"{NS}-s", "route", "replace", "10.77.0.1", "dev", "ls0", "src", SERVER_IP, "congctl", self.cc)
        else:
            run("ip", "addr", "replace", f"{SERVER_IP}/32", "dev", "lo")
        server = None
        try:
            server = harness.DevServer(root, WORK / "server", listen=f"{SERVER_IP}:{PORT}", prefix=self.server)
            yield server
        finally:
            if server:
                server.stop()
            if self.bit_s:
                subprocess.run(["bash", SLOW_LINK, "down", NS], stdout=subprocess.DEVNULL)


def certificates():
    return harness.make_certificates(WORK / "server" / "certs", SERVER_IP) / "ca.crt"


def serve(published):
    """The server's windows/ is now PUBLISHED (a release tree's windows/), read once so that every
    side finds it in the page cache. Returns its bytes of .zs."""
    link = WORK / "serve" / "windows"
    link.parent.mkdir(parents=True, exist_ok=True)
    link.unlink(missing_ok=True)
    link.symlink_to(Path(published).resolve())
    return sum(len(p.read_bytes()) for p in link.resolve().rglob("*.zs"))


def publish(game, name, *options, level=3):
    root = harness.publish(game, WORK / "pub" / name, *options, level=level)
    return root / "windows"


class Memory(threading.Thread):
    """The peak RSS (the kernel's high-water mark), the peak of anonymous memory (the heap: not the
    mapped files) and the CPU seconds of process PID, read until it ends."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.peak_kib, self.anon_kib, self.cpu_s = pid, 0, 0, 0.0
        self.start()

    def run(self):
        tick = os.sysconf("SC_CLK_TCK")
        while True:
            try:
                status = Path(f"/proc/{self.pid}/status").read_text()
                stat = Path(f"/proc/{self.pid}/stat").read_text().rpartition(")")[2].split()
            except OSError:
                return
            for key, attr in (("VmHWM:", "peak_kib"), ("RssAnon:", "anon_kib")):
                value = re.search(rf"^{key}\s+(\d+)", status, re.M)
                setattr(self, attr, max(getattr(self, attr), int(value[1]) if value else 0))
            self.cpu_s = (int(stat[11]) + int(stat[12])) / tick
            if stat[0] == "Z":
                return
            time.sleep(0.02)


class Result:
    """A launcher run: `s` from its start to its summary line (None: it failed), the summary's
    fields, its peak RSS and heap in KiB, CPU seconds, and the server's access log from its start."""

    def __init__(self, launcher, s):
        self.launcher, self.s, self.figures = launcher, s, launcher.figures
        memory = launcher.memory
        self.peak_kib, self.anon_kib, self.cpu_s = memory.peak_kib, memory.anon_kib, memory.cpu_s

    @functools.cached_property
    def log(self):
        with open(ACCESS_LOG, "rb") as f:
            f.seek(self.launcher.log_at)
            return f.read().decode(errors="replace")


ACCESS_LOG = WORK / "server" / "access.log"


def settled_log_size():
    """The access log's size once it stopped growing for half a second (at most 10 s): nginx logs
    a request whose client went away when it notices."""
    size = -1
    for _ in range(20):
        if size == (size := ACCESS_LOG.stat().st_size if ACCESS_LOG.exists() else 0):
            break
        time.sleep(0.5)
    return size


def start(exe, run_dir, ca, link=None, fresh=True, prefix=()):
    """The launcher EXE staged in RUN_DIR (over its game/ and state unless FRESH), started."""
    if fresh:
        shutil.rmtree(run_dir, ignore_errors=True)
    harness.stage(run_dir, ca, exe)
    log_at = settled_log_size()
    launcher = harness.LauncherRun(run_dir, prefix=[*(link.client if link else ()), *prefix])
    launcher.memory, launcher.log_at = Memory(launcher.process.pid), log_at
    return launcher


def finish(launcher, fetched=None, result="ok"):
    """The run's Result; its `s` is None when it failed, or fetched another number of files than FETCHED."""
    try:
        launcher.wait_for(lambda: launcher.summary_at is not None, 3600, "summary line")
        launcher.wait(120)
        figures = launcher.figures
        if launcher.returncode != 0 or figures.get("result") != result or fetched not in (None, figures["fetched"]):
            raise AssertionError(f"status {launcher.returncode}, {figures}; expected {result}, {fetched} fetched")
        seconds = launcher.summary_at - launcher.started
    except AssertionError as failure:
        log = WORK / "logs" / f"{launcher.directory.name}-{time.strftime('%H%M%S')}.log"
        log.parent.mkdir(exist_ok=True)
        log.write_text(f"{failure}\n{launcher.describe()}")
        note(f"a launcher run failed: see {log}")
        seconds = None
    finally:
        launcher.kill()
    launcher.memory.join(5)
    return Result(launcher, seconds)


def launch(exe, run_dir, ca, link=None, fetched=None, fresh=True, result="ok", prefix=()):
    return finish(start(exe, run_dir, ca, link, fresh, prefix), fetched, result)


def reference(game, ca, scratch, link=None, parallel=50):
    """curl --parallel fetching every .zs of GAME, then zstd -d and sha1sum HASH_THREADS at a time:
    (total, curl, zstd, sha1sum) seconds; None on failure."""
    shutil.rmtree(scratch, ignore_errors=True)
    (scratch / "dl").mkdir(parents=True)
    names, pairs = listed_names(game), []
    with open(scratch / "dl" / "curl.cfg", "w") as cfg:
        for name in names:
            cfg.write(f'url = "{URL}{urllib.parse.quote(name)}.zs"\noutput = "{scratch}/dl/{name}.zs"\n')
            (scratch / "out" / name).parent.mkdir(parents=True, exist_ok=True)
            pairs += [f"{scratch}/out/{name}", f"{scratch}/dl/{name}.zs"]
    marks = [time.monotonic()]
    curl = subprocess.run([*(link.client if link else ()), "curl", "--parallel", "--parallel-max", str(parallel),
                           "--fail", "-sS", "--create-dirs", "--cacert", ca, "-K", scratch / "dl" / "curl.cfg"],
                          capture_output=True, text=True)
    if curl.returncode != 0:
        note(f"the reference's curl failed: {curl.stderr[-500:]}")
        return None
    marks.append(time.monotonic())
    run("xargs", "-0", "-P", HASH_THREADS, "-n", "2", "zstd", "-d", "-q", "-f", "-o", input="\0".join(pairs).encode())
    marks.append(time.monotonic())
    run("xargs", "-0", "-P", HASH_THREADS, "-n", "64", "sha1sum", input="\0".join(pairs[::2]).encode(),
        stdout=subprocess.DEVNULL)
    marks.append(time.monotonic())
    shutil.rmtree(scratch)
    return (marks[3] - marks[0], *(b - a for a, b in zip(marks, marks[1:])))


def sha1sum_tree(directory):
    start_at = time.monotonic()
    subprocess.run(f"find game -type f -print0 | xargs -0 -P {HASH_THREADS} -n 64 sha1sum >/dev/null", shell=True,
                   check=True, cwd=directory)
    return time.monotonic() - start_at


def to_game_start(exe, run_dir, ca, link=None, result="ok"):
    """Seconds from a start of the launcher staged in RUN_DIR (over its game/) to its game's start
    (the stand-in game notes the time), None when the run failed; and the run's Result."""
    marker = run_dir / "game-started.txt"
    marker.unlink(missing_ok=True)
    started_at = time.time()
    r = launch(exe, run_dir, ca, link, fresh=False, result=result)
    return float(marker.read_text()) - started_at if r.s is not None and marker.exists() else None, r


def tree_label(game):
    files = [p for p in Path(game).rglob("*") if p.is_file()]
    return f"{len(files)} files, {sum(p.stat().st_size for p in files) / MIB:.0f} MiB"


# --- cases --------------------------------------------------------------------------------------
def case_micro(args):
    """Google Benchmark programs of SHA-1, decompression and the signed list, beside openssl and zstd."""
    build(targets=("velm-bench",))
    bench = WORK / "build" / "bench" / "velm-bench"
    scratch = WORK / "micro"
    scratch.mkdir(exist_ok=True)

    def gbench(pattern, env=None, min_time="0.5"):
        out = run(bench, f"--benchmark_filter={pattern}", f"--benchmark_min_time={min_time}", "--benchmark_format=json",
                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env={**os.environ, **(env or {})}).stdout
        return {b["name"]: b for b in json.loads(out)["benchmarks"]}

    sha = gbench("BM_sha1_", min_time="0.2" if args.quick else "1")
    speed = run("openssl", "speed", "-bytes", "16384", "-seconds", "1" if args.quick else "3", "sha1",
                capture_output=True, text=True).stdout
    openssl = float(re.search(r"^sha1\s.*\s([\d.]+)k$", speed, re.M)[1]) / 1000
    for path, target in (("accelerated", 0.75), ("portable", 0.3)):
        if f"BM_sha1_{path}/16384" not in sha:
            say(f"sha1 {path}: not measured (this CPU has no SHA extensions?)")
            continue
        ours, large = (sha[f"BM_sha1_{path}/{n}"]["bytes_per_second"] / 1e6 for n in (16384, 1048576))
        say(f"sha1 {path}: {ours:.0f} MB/s (1 MiB buffer: {large:.0f} MB/s), openssl {openssl:.0f} MB/s, ratio "
            f"{ours / openssl:.2f} (target >= {target})")
    signed = gbench("BM_list_sha256|BM_statement_check|BM_signed_list_after_arrival")
    say(f"signed list, 65,535 entries ({signed['BM_list_sha256']['list_bytes']:.0f} bytes compressed): "
        f"{signed['BM_statement_check']['real_time']:.3f} ms once the list is there (target <= 2 ms); its SHA-256, "
        f"computed while it arrives: {signed['BM_list_sha256']['real_time']:.2f} ms (hashed after arrival, the whole "
        f"check would take {signed['BM_signed_list_after_arrival']['real_time']:.2f} ms)")
    rng, zs = random.Random(SEED), {}
    for size in (64, 32 if args.quick else 256):  # base64 of random bytes and decimal counting, about 2:1
        data = scratch / "data.bin"
        with open(data, "wb") as f:
            for i in range(size):
                f.write(base64.b64encode(rng.randbytes(786432))[:MIB] if i % 2 == 0 else
                        "\n".join(map(str, range(i * 200000, i * 200000 + 200000))).encode()[:MIB])
        zs[size] = scratch / f"{size}.zs"
        run("zstd", "-3", "-q", "-f", "-o", zs[size], data)
    large = max(zs)
    env = {"VELM_BENCH_ZS": str(zs[large]), "VELM_BENCH_OUT": str(scratch / "ours.out")}
    ours = gbench("BM_decompress_file", env, "1" if args.quick else "3")["BM_decompress_file/real_time"]["bytes_per_second"] / 1e6
    runs = 2 if args.quick else 5
    seconds = sum(timed("zstd", "-d", "-q", "-f", "-o", scratch / "zstd.out", zs[large]) for _ in range(runs))
    theirs = large * MIB * runs / seconds / 1e6
    say(f"decompress {large} MiB ({zs[large].stat().st_size} bytes compressed): {ours:.0f} MB/s, zstd -d {theirs:.0f} "
        f"MB/s, ratio {ours / theirs:.2f} (target >= 0.9)")
    for size, path in sorted(zs.items()):  # one iteration in a process of its own: the decompression's peak
        peaks = []
        for cmd, env in (([bench, "--benchmark_filter=BM_decompress_file", "--benchmark_min_time=0.000001"],
                          {"VELM_BENCH_ZS": str(path), "VELM_BENCH_OUT": str(scratch / "ours.out")}),
                         (["zstd", "-d", "-q", "-f", "-o", scratch / "zstd.out", path], {})):
            run("/usr/bin/time", "-f", "%M", "-o", scratch / "peak", *cmd, env={**os.environ, **env},
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            peaks.append(int((scratch / "peak").read_text().split()[-1]))
        say(f"decompress peak RSS, {size} MiB file: {peaks[0]} KiB (zstd -d: {peaks[1]} KiB)")
    shutil.rmtree(scratch)


def case_update(args, ca):
    """Fresh install against the reference, verify-only against sha1sum, peak RSS with a 2 GiB
    file, and a 65,535-entry list of current empty files, over loopback, page cache dropped."""
    exe, q = build(), args.quick
    install = generated("install" + "-quick" * q, lambda g: gen_sizes(g, install_sizes(
        200 if q else 2000, (64 if q else 1024) * MIB, (8 if q else 64) * MIB), SEED))
    huge = generated("huge" + "-quick" * q, lambda g: gen_sizes(g, [(256 if q else 2048) * MIB, KIB, 300 * KIB, 5 * MIB], SEED + 1))
    empty = generated("empty" + "-quick" * q, lambda g: gen_empty(g, 6000 if q else 65535))
    link, run_dir = Link("loopback"), WORK / "run" / "update"
    with link.up(WORK / "serve"):
        published = publish(install, install.name)
        serve(published)
        files = len(listed_names(install))
        say(f"update benchmark, {HASH_THREADS} workers, page cache dropped before each timed run; install tree: "
            f"{tree_label(install)}, {mib(tree_bytes(published))} of .zs (zstd -3); load {os.getloadavg()[0]:.2f}")
        drop_caches()
        ref = reference(install, ca, SCRATCH / "reference", parallel=HASH_THREADS)
        drop_caches()
        ours = launch(exe, run_dir, ca, fetched=files)
        r = ratio(ours.s, ref and ref[0])
        say(f"fresh install: launcher {fmt(ours.s)}, reference {fmt(ref and ref[0])} (curl {fmt(ref and ref[1])} + zstd -d "
            f"{fmt(ref and ref[2])} + sha1sum {fmt(ref and ref[3])}), ratio {fmt(r, '')} (target <= 1.0) {verdict(r, 1.0)}; "
            f"launcher cpu {ours.cpu_s:.2f} s, peak RSS {mib(ours.peak_kib * KIB)}")
        for cache in ("cold", "warm"):
            (run_dir / "launcher.state").unlink(missing_ok=True)  # every file is hashed
            drop_caches() if cache == "cold" else None
            ours = launch(exe, run_dir, ca, fetched=0, fresh=False)
            drop_caches() if cache == "cold" else None
            theirs = sha1sum_tree(run_dir)
            r = ratio(ours.s, theirs)
            say(f"verify-only, {cache} cache: launcher {fmt(ours.s)}, sha1sum -P {HASH_THREADS} {fmt(theirs)}, ratio "
                f"{fmt(r, '')} (target <= 0.6) {verdict(r, 0.6)}; launcher cpu {ours.cpu_s:.2f} s")
        serve(publish(huge, huge.name))
        drop_caches()
        ours = launch(exe, run_dir, ca)
        say(f"peak memory, fresh install with a {mib(max(p.stat().st_size for p in huge.rglob('*') if p.is_file()))} "
            f"file: {mib(ours.peak_kib * KIB)} (target < 64 MiB) {verdict(ours.peak_kib, 65535)}; install {fmt(ours.s)}")
        serve(publish(empty, empty.name))
        for cache in ("cold", "warm"):
            if cache == "cold":
                shutil.rmtree(run_dir, ignore_errors=True)
                shutil.copytree(empty, run_dir / "game")
                drop_caches()
            ours = launch(exe, run_dir, ca, fetched=0, fresh=False)
            say(f"{len(listed_names(empty))}-entry list of current empty files, {cache} cache: start to the summary "
                f"{fmt(ours.s)} (target < 2 s) {verdict(ours.s, 2)}; {ours.figures.get('by_record')} by the record, "
                f"{ours.figures.get('by_sha1')} by their SHA-1")
    shutil.rmtree(run_dir, ignore_errors=True)


TREES = {  # name: (sizes at full size, with --quick)
    "small": (lambda q: [random.Random(SEED + 2).randint(KIB, 64 * KIB) for _ in range(300 if q else 5000)]),
    "mixed": (lambda q: install_sizes(60, 24 * MIB, 4 * MIB) if q else install_sizes(400, 256 * MIB, 32 * MIB)),
    "large": (lambda q: [12 * MIB, 8 * MIB] if q else [96 * MIB, 64 * MIB, 48 * MIB, 32 * MIB]),
    "current": (lambda q: install_sizes(2000, 256 * MIB, 16 * MIB) if q else install_sizes(20000, 4096 * MIB)),
    "one": (lambda q: [64 * MIB] if q else [1024 * MIB]),
}


@functools.cache
def tree(name, quick):
    """The tree NAME generated and published (once a run), and its number of listed files."""
    game = generated(name + "-quick" * quick, lambda g: gen_sizes(g, TREES[name](quick)))
    return game, publish(game, game.name).resolve(), len(listed_names(game))


def case_transfer(args, ca):
    """Fresh installs through emulated links as multiples of their limit; a current install; an
    interrupted large file; verify-only with the record disabled."""
    sections = args.sections.split(",") if args.sections else ["fresh"]
    sides = {"launcher": build()}
    if args.baseline and "fresh" in sections:
        sides[f"baseline {args.baseline}"] = baseline(args.baseline)
    rehash = build("every-start") if {"current", "verify"} & set(sections) else None
    args.runs = args.runs or 1
    say(f"transfer benchmark{' (--quick: figures not comparable)' if args.quick else ''}; {os.cpu_count()} CPUs; "
        f"load {os.getloadavg()[0]:.2f}; medians of {args.runs}")
    if "verify" in sections:
        game, published, _ = tree("mixed", args.quick)
        run_dir, ours, theirs = WORK / "run" / "verify", [], []
        with Link("loopback").up(WORK / "serve"):
            serve(published)
            shutil.rmtree(run_dir, ignore_errors=True)
            shutil.copytree(game, run_dir / "game")
            for i in range(max(args.runs, 3) + 1):  # the first warms the cache
                result = launch(rehash, run_dir, ca, fetched=0, fresh=False)
                ours.append(result.s) if i else None
                theirs.append(sha1sum_tree(run_dir)) if i else None
        r = ratio(median(ours), median(theirs))
        say(f"verify-only, {tree_label(game)}, warm cache, record disabled: launcher {fmt(median(ours))}, sha1sum -P "
            f"{HASH_THREADS} {fmt(median(theirs))}, ratio {fmt(r, '')} (target <= 0.5) {verdict(r, 0.5)}")
    if "current" in sections:
        game, published, _ = tree("current", args.quick)
        run_dir = WORK / "run" / "current"
        with Link("loopback").up(WORK / "serve"):
            serve(published)
            shutil.rmtree(run_dir, ignore_errors=True)
            shutil.copytree(game, run_dir / "game")
            first = launch(sides["launcher"], run_dir, ca, fetched=0, fresh=False)
            kept = (run_dir / "launcher.state").read_bytes()
            with_record, rehashed = [], []
            for _ in range(args.runs):
                (run_dir / "launcher.state").write_bytes(kept)
                drop_caches()
                with_record.append(launch(sides["launcher"], run_dir, ca, fetched=0, fresh=False).s)
                drop_caches()
                rehashed.append(launch(rehash, run_dir, ca, fetched=0, fresh=False).s)
        say(f"current install of {tree_label(game)}, page cache dropped, start to the summary: with the record "
            f"{fmt(median(with_record))} (target <= 0.5 s) {verdict(median(with_record), 0.5)}, full rehash "
            f"{fmt(median(rehashed))} (first run, no record yet: {fmt(first.s)})")
        shutil.rmtree(run_dir, ignore_errors=True)
    if "interrupted" in sections:
        link, (game, published, _) = Link("100:200"), tree("one", args.quick)
        big = max(listed_names(game), key=lambda n: (game / n).stat().st_size)
        zs_size, url_path = (published / f"{big}.zs").stat().st_size, f"/windows/{urllib.parse.quote(big)}.zs"
        run_dir = SCRATCH / "interrupted"
        partial = run_dir / "game" / f"{big}.zs"
        at_half = lambda r: r.wait_for(lambda: partial.exists() and partial.stat().st_size >= zs_size // 2,  # noqa: E731
                                       3600, "half of the .zs")
        with link.up(WORK / "serve"):
            serve(published)
            launcher = start(sides["launcher"], run_dir, ca, link)
            at_half(launcher)
            run(*link.server, "ss", "-K", "-t", "dst", "10.77.0.1", stdout=subprocess.DEVNULL)
            result = finish(launcher)
            sent = sum(n for path, _, n in harness.requests(result.log) if path.split("?")[0] == url_path) / zs_size
            say(f"{tree_label(game)} over {link.label}, the connection reset at half: bodies sent for the file "
                f"{sent:.2f} x its .zs (target <= 1.10) {verdict(sent, 1.1)}; {'finished' if result.s else 'FAILED'}")
            launcher = start(sides["launcher"], run_dir, ca, link)
            at_half(launcher)
            launcher.terminate()
            launcher.wait(60)
            left = partial.stat().st_size
            again = launch(sides["launcher"], run_dir, ca, link, fresh=False)
            second = again.figures.get("bytes_received", 0) / zs_size
            say(f"closed at half ({mib(left)} of .zs left), started again: the second run received {second:.2f} x "
                f"the .zs: {'resumed' if second < 0.9 else 'started over (target: resumed)'}{'' if again.s else '; FAILED'}")
    if "fresh" in sections:
        fresh(args, sides, ca)


def fresh(args, sides, ca):
    rows, names = [], ["reference", *sides]
    for link in [Link(described) for described in args.links.split(",")]:
        with link.up(WORK / "serve"):
            for name in args.trees.split(","):
                game, published, files = tree(name, args.quick)
                zs_bytes = serve(published)
                times = {side: [] for side in names if side != "reference" or not args.no_reference}
                order = list(times)
                for i in range(args.runs):  # each side first in turn: what runs just after another differs
                    note(f"{link.label}, {name}: run {i + 1} of {args.runs}")
                    for side in order[i % len(order):] + order[:i % len(order)]:
                        if side == "reference":
                            ref = reference(game, ca, SCRATCH / "reference", link)
                            times[side].append((ref and ref[0], 0, 0))
                        else:
                            r = launch(sides[side], SCRATCH / side.replace(" ", "-"), ca, link, files)
                            conns = len(set(re.findall(r'" (\d+) [\d.]+ [\d.]+ "[^"\n]*"\n', r.log)))
                            times[side].append((r.s, r.peak_kib, conns))
                            shutil.rmtree(SCRATCH / side.replace(" ", "-"), ignore_errors=True)
                limit = link.limit(zs_bytes)
                row = [link.label, f"{name} ({zs_bytes / 1e6:.0f} MB)", fmt(limit) if limit else "-"]
                text = f"{link.label}, {name} ({zs_bytes / 1e6:.1f} MB of .zs): limit {row[2]}"
                for side, results in times.items():
                    s, rss, conns = (median([r[k] for r in results if r[0] is not None]) for k in range(3))
                    text += f"; {side} {fmt(s)} ({', '.join(fmt(r[0], '') for r in results)})"
                    text += f", {fmt(rss and rss / 1024, ' MiB', 0)} peak, {fmt(conns, '', 0)} connections" if rss else ""
                    row.append(fmt(s) + (f" ({fmt(ratio(s, limit), ' ×')})" if limit else ""))
                say(text)
                rows.append(row)
    say("\n| link | game | limit | " + " | ".join(n for n in names if n != "reference" or not args.no_reference)
        + " |\n|" + "---|" * (len(rows[0]) if rows else 3))
    for row in rows:
        say("| " + " | ".join(row) + " |")


def case_patch(args, ca):
    """Patches against zstd --patch-from, a publish with and without them, and the launcher's update."""
    exe, level = build(), args.level or 9
    scale = 8 if args.quick else 1

    def versions(out):
        """v1 and v2: a 256 MiB file rewritten in 1 % of its blocks, a 20 MiB one grown by 5 % in its
        middle, 50 of 200 small files changed, 10 added (an eighth of each with --quick)."""
        gen_history(out, 2, 256 * MIB // scale, small_files=200 // scale, changed=50 // scale, moved=0,
                    mid=20 * MIB // scale, seed=SEED + 4)
        data, rng = (out / "v1/data/static.pak").read_bytes(), random.Random(SEED + 7)
        pool, cut = text_pool(rng), len(data) // 2 // BLOCK * BLOCK
        write(out / "v2/data/static.pak", data[:cut] + blocks(len(data) // 20, rng, pool) + data[cut:])
        for i in range(max(10 // scale, 1)):
            write(out / f"v2/maps/added {i:02d}.dat", rng.randrange(KIB, 256 * KIB), rng, pool)

    v1, v2 = (generated("versions" + "-quick" * args.quick, versions) / v for v in ("v1", "v2"))
    pub = {kind: WORK / "pub" / f"patch-{kind}" for kind in ("v1", "patches", "whole")}
    for path in pub.values():
        shutil.rmtree(path, ignore_errors=True)
    harness.publish(v1, pub["v1"], level=level)
    for kind in ("patches", "whole"):
        run("cp", "-a", pub["v1"], pub[kind])
    say(f"patches at zstd level {level}; velm-publish patch uses {os.cpu_count()} zstd threads, the zstd command "
        "line its default (-T1); files warm in the page cache")
    for name in ("data/big.pak", "data/static.pak"):
        old, new, out = v1 / name, v2 / name, WORK / "pub" / "patch.zst"
        ours_s = timed(harness.PUBLISH_EXE, "patch", "--level", level, old, new, out)
        ours = out.stat().st_size
        cli_s = timed("zstd", "-qq", "-f", f"--patch-from={old}", new, "--long=31", f"-{level}", "-o", out)
        r = ours / out.stat().st_size
        say(f"{name} ({mib(old.stat().st_size)} -> {mib(new.stat().st_size)}): ours {mb(ours)} in {ours_s:.2f} s, zstd "
            f"--patch-from {mb(out.stat().st_size)} in {cli_s:.2f} s, ratio {r:.2f} (target <= 1.05) {verdict(r, 1.05)}; "
            f"the full .zs of version 1: {mb((pub['v1'] / 'windows' / f'{name}.zs').stat().st_size)}")
    with_s = timed(harness.PUBLISH_EXE, "build", "--level", level, v2, pub["patches"])
    without_s = timed(harness.PUBLISH_EXE, "build", "--level", level, "--no-patches", v2, pub["whole"])
    live = (pub["patches"] / "windows").resolve()
    say(f"publish of version 2 over version 1: {with_s:.2f} s with patches, {without_s:.2f} s with --no-patches; the "
        f"patches take {mb(tree_bytes(live / '.patches'))} in {len(listed_names(live / '.patches'))} files (the tree's "
        f".zs: {mb(tree_bytes(live, ('.patches',)))})")
    f = update_bytes(v1, v2, live)
    say(f"an update from version 1 downloads {mb(f['patched'])} with patches ({f['patches']} patches, "
        f"{f['files'] - f['patches']} whole files) against {mb(f['whole'])} of whole .zs for the {f['files']} changed "
        f"and added files: {f['patched'] / f['whole']:.3f} of the bytes")
    installed = WORK / "run" / "patch-v1"
    with Link("loopback").up(WORK / "serve"):
        serve(pub["v1"] / "windows")
        launch(exe, installed, ca)
        for kind in ("patches", "whole"):
            shutil.rmtree(WORK / "run" / kind, ignore_errors=True)
            shutil.copytree(installed, WORK / "run" / kind, symlinks=True)
            serve(pub[kind] / "windows")
            r = launch(exe, WORK / "run" / kind, ca, fresh=False)
            say(f"the launcher's update with {kind}: {fmt(r.s)}, received {mb(r.figures.get('bytes_received', 0))} "
                f"({r.figures.get('patched')} patched, {r.figures.get('fetched')} fetched), peak memory "
                f"{mib(r.peak_kib * KIB)}, of it anonymous (heap) {mib(r.anon_kib * KIB)} (goal < 64 MiB) "
                f"{verdict(r.anon_kib, 65535)}")


def case_publish(args, ca):
    """The publisher over a history: per level, the first publish and the next; patch depths."""
    build(targets=("velm-publish",))
    big, versions = args.big_mib or (16 if args.quick else 128), 5
    data = generated(f"history-{big}", lambda out: gen_history(out, versions, big * MIB))
    sections = args.sections.split(",") if args.sections else ["levels", "depths"]
    target = WORK / "pub" / "publish"
    say(f"{os.cpu_count()} cores; version 1: {mb(tree_bytes(data / 'v1'))} in {len(listed_names(data / 'v1'))} files")

    def publish_s(version, *options):
        (data / version / "data/big.pak").read_bytes()
        return timed(harness.PUBLISH_EXE, "build", *options, data / version, target)

    if "levels" in sections:
        say("| level | first publish | .zs on disk | next publish | a player of version 1 downloads |\n|---|---|---|---|---|")
        for level in (args.levels or ("3,9" if args.quick else "3,6,9,12,15,19")).split(","):
            shutil.rmtree(target, ignore_errors=True)
            first = publish_s("v1", "--level", level)
            disk = tree_bytes((target / "windows").resolve(), (".patches", ".velm"))
            nxt = publish_s("v2", "--level", level)
            f = update_bytes(data / "v1", data / "v2", (target / "windows").resolve())
            say(f"| {level} | {first:.1f} s | {mb(disk)} | {nxt:.1f} s | {mb(f['patched'])} "
                f"({100 * f['patched'] / f['whole']:.1f} %) |")
    for depth in (3, 1) if "depths" in sections else ():
        shutil.rmtree(target, ignore_errors=True)
        took = [publish_s(f"v{v}", "--level", args.level or 9, "--patch-depth", depth) for v in range(1, versions + 1)]
        live = (target / "windows").resolve()
        say(f"--patch-depth {depth}, {versions} publishes at level {args.level or 9}: "
            f"{', '.join(f'{t:.1f} s' for t in took)}; patches in the live tree: {mb(tree_bytes(live / '.patches'))}")
        for behind in (1, 2, 3):
            f = update_bytes(data / f"v{versions - behind}", data / f"v{versions}", live)
            share = 100 * f["patched"] / f["whole"]
            say(f"  a player {behind} behind: {mb(f['patched'])} ({f['patches']} patches, {f['files'] - f['patches']} "
                f"whole files) against {mb(f['whole'])} of whole .zs: {share:.1f} % (target <= 5 %) {verdict(share, 5)}")


def case_large(args, ca):
    """A game of many files (publish, install against the reference, current start, memory per
    listed file) and a pack file cut into chunks, updated from 3 and 1 versions back and past an
    insertion near its start."""
    exe, sections = build(), args.sections.split(",") if args.sections else ["game", "pack"]
    files, game_gib = args.files or (2000 if args.quick else 20000), args.game_gib or (0.25 if args.quick else 4)
    pack_gib, places = args.pack_gib or (0.25 if args.quick else 2), args.places or 32
    say(f"large-game benchmark, {os.cpu_count()} cores, page cache dropped, zstd -3")
    with Link("loopback").up(WORK / "serve"):
        if "game" in sections:
            game = generated(f"game-{files}-{game_gib}", lambda g: gen_sizes(g, install_sizes(files, int(game_gib * GIB)), SEED))
            shutil.rmtree(WORK / "pub" / "large-game", ignore_errors=True)
            start_at = time.monotonic()
            serve(publish(game, "large-game"))
            publish_s = time.monotonic() - start_at
            drop_caches()
            ref = reference(game, ca, SCRATCH / "reference")
            drop_caches()
            install = launch(exe, WORK / "run" / "large", ca, fetched=len(listed_names(game)))
            drop_caches()
            current = launch(exe, WORK / "run" / "large", ca, fetched=0, fresh=False)
            r = ratio(install.s, ref and ref[0])
            say(f"game: {tree_label(game)}; publish {publish_s:.1f} s; install {fmt(install.s)} against the reference's "
                f"{fmt(ref and ref[0])}, ratio {fmt(r, '')} (target <= 1.0) {verdict(r, 1.0)}; peak RSS "
                f"{mib(install.peak_kib * KIB)} (target < 256 MiB) {verdict(install.peak_kib, 262143)}; current start "
                f"{fmt(current.s)} (target < 1 s) {verdict(current.s, 1)}, peak RSS {mib(current.peak_kib * KIB)}")
            shutil.rmtree(WORK / "run" / "large")
            tiny = generated("tiny", lambda g: gen_sizes(g, [1000]))
            serve(publish(tiny, "tiny", level=1))
            launch(exe, WORK / "run" / "tiny", ca)
            two = launch(exe, WORK / "run" / "tiny", ca, fetched=0, fresh=False)
            say(f"memory per listed file (current start, {files} files against 2): "
                f"{(current.peak_kib - two.peak_kib) * KIB // (files - 2)} bytes")
        if "pack" in sections:
            src = WORK / "src" / "pack"
            shutil.rmtree(src, ignore_errors=True)
            shutil.rmtree(WORK / "pub" / "pack", ignore_errors=True)
            rng = random.Random(SEED + 5)
            write(src / "data/pack.bin", int(pack_gib * GIB), rng, text_pool(rng))
            finish_game(src)
            pack, player = src / "data/pack.bin", WORK / "run" / "pack"

            def publish_pack():
                start_at = time.monotonic()
                serve(publish(src, "pack", "--patch-max-size", "64M" if args.quick else "256M"))
                return time.monotonic() - start_at

            first_s = publish_pack()
            r = launch(exe, player, ca)
            say(f"pack: {mib(pack.stat().st_size)}; first publish {first_s:.1f} s; fresh install {fmt(r.s)}, peak RSS "
                f"{mib(r.peak_kib * KIB)}")

            def update(what, publish_s):
                zs = (WORK / "pub" / "pack" / "windows" / "data/pack.bin.zs").stat().st_size
                drop_caches()
                r = launch(exe, player, ca, fresh=False)
                got = r.figures.get("bytes_received", 0)
                say(f"pack update {what}: {mib(got)} received, {100 * got / zs:.2f} % of the whole .zs ({mib(zs)}; target "
                    f"<= 3 %) {verdict(100 * got / zs, 3)}, {r.figures.get('chunked')} by chunks, {fmt(r.s)}, peak RSS "
                    f"{mib(r.peak_kib * KIB)} (target < 128 MiB) {verdict(r.peak_kib, 131071)}; publish {publish_s:.1f} s")

            for version in (2, 3, 4, 5):
                edit_pack(pack, 1, places, version)
                publish_s = publish_pack()
                update("from 3 versions back", publish_s) if version == 4 else None
            update("from 1 version back", publish_s)
            with open(pack, "rb") as old, open(f"{pack}.new", "wb") as new:  # 1 MiB inserted at 16 MiB
                new.write(old.read(16 * MIB))
                new.write(blocks(MIB, rng, text_pool(rng)))
                shutil.copyfileobj(old, new, 64 * MIB)
            os.replace(f"{pack}.new", pack)
            update("from the version before a 1 MiB insertion near the start", publish_pack())


def case_offline(args, ca):
    """Start to the game's start of a current install whose server is out of reach, with a
    VELM_OFFLINE_START launcher: nothing listens (refused), or connections never answered (silent)."""
    exe, files, runs = build("offline"), args.files or (500 if args.quick else 5000), args.runs or 3
    rng = random.Random(5)
    game = generated(f"offline-{files}", lambda g: ([write(g / f"data/group {i % 50}/file {i:05d}.bin", rng.randbytes(4096))
                                                     for i in range(files)], finish_game(g)))
    run_dir = WORK / "run" / "offline"
    with Link("loopback").up(WORK / "serve"):
        serve(publish(game, game.name, level=1))
        launch(exe, run_dir, ca, fetched=len(listed_names(game)))

    def measure(name):
        times = [to_game_start(exe, run_dir, ca, result="offline")[0] for _ in range(runs)]
        say(f"offline start, {files} current files, server {name}: {fmt(median(times))} to the game's start (its 2 s wait "
            f"included), target < 20 s {verdict(median(times), 20)}, goal < 5 s {verdict(median(times), 5)}")

    run("ip", "addr", "replace", f"{SERVER_IP}/32", "dev", "lo")
    measure("refused (nothing listens)")
    with socket.socket() as listener:  # a full listen queue: the system drops every new connection unanswered
        listener.bind((SERVER_IP, PORT))
        listener.listen(0)
        queued = [socket.socket() for _ in range(3)]
        for s in queued:
            s.setblocking(False)
            s.connect_ex((SERVER_IP, PORT))
        measure("silent (connections dropped)")
        for s in queued:
            s.close()


def case_self_update(args, ca):
    """A current start's time to the game's with the launcher's check of its own files and
    without it (VELM_LAUNCHER_URL=OFF), at a round trip of --rtt ms: target under one round trip more."""
    without, with_check = build("no-check"), build()
    rng = random.Random(3)
    game = generated("self-update", lambda g: ([write(g / f"data/file {i:03d}.bin", rng.randbytes(4096)) for i in range(100)],
                                               finish_game(g)))
    root = WORK / "pub" / "self-update"
    shutil.rmtree(root, ignore_errors=True)
    harness.publish(game, root, level=1)
    own = harness.stage(WORK / "own", ca, with_check)
    harness.publish(own, root, "--link", "launcher-linux", level=1)
    link, medians = Link(f"{args.rtt or 100}:1000"), {}
    with link.up(root):
        for name, exe in (("with the check", with_check), ("without", without)):
            run_dir, times = WORK / "run" / "self-update", []
            shutil.rmtree(run_dir, ignore_errors=True)
            shutil.copytree(own, run_dir)
            for i in range((args.runs or 5) + 1):  # the first installs
                seconds, r = to_game_start(exe, run_dir, ca, link)
                if r.figures.get("self_update") not in ("current", "off"):
                    note(f"not current: {r.figures}")
                times += [seconds] if i else []
            medians[name] = median(times)
    extra = None if None in medians.values() else (medians["with the check"] - medians["without"]) * 1000
    say(f"round trip {link.rtt_s * 1000:g} ms: a current start to the game's (its 2 s wait included) takes {fmt(medians['with the check'])} "
        f"with the launcher's check, {fmt(medians['without'])} without: {fmt(extra, ' ms', 0)} more (target < one round "
        f"trip) {verdict(extra, link.rtt_s * 1000)}; medians of {args.runs or 5}")


def case_cdn(args, ca):
    """PLAYERS launchers at once through a Traffic Server edge in front of nginx, for a fresh
    install and then the update: time, and what the origin sent against what the players fetched."""
    players_n, big = args.players or (10 if args.quick else 50), args.big_mib or 8
    data = generated(f"history-{big}", lambda out: gen_history(out, 2, big * MIB))
    run_dir = WORK / "run" / "cdn"
    shutil.rmtree(run_dir, ignore_errors=True)
    run_dir.mkdir(parents=True)
    os.chmod(run_dir, 0o755)
    root, certs = run_dir / "root", harness.make_certificates(run_dir / "origin" / "certs")
    shutil.copytree(certs, run_dir / "edge" / "certs")
    harness.publish(data / "v1", root, level=9)
    origin = harness.DevServer(root, run_dir / "origin", port=4444)
    edge = harness.SCRIPTS_DIR / "cdn-edge.sh"
    run(edge, "start", run_dir / "edge", "4444", stdout=subprocess.DEVNULL)
    players = []
    for i in range(players_n):
        directory = harness.stage(run_dir / f"player-{i:02d}", certs / "ca.crt", ROOT / "build" / "velm-launcher")
        run("chown", "-R", f"{21000 + i}:{21000 + i}", directory)
        players.append((directory, 21000 + i))
    say(f"{players_n} launchers at once through the edge; {os.cpu_count()} cores")
    try:
        for what, version in (("fresh install of version 1", "v1"), ("update to version 2", "v2")):
            if version == "v2":
                harness.publish(data / version, root, level=9)
            since, started = len(origin.access_log()), time.monotonic()
            runs = [harness.LauncherRun(d, prefix=harness.as_user(u)) for d, u in players]
            failed = [r for r in runs if r.wait(1800).figures.get("result") != "ok"]
            took = time.monotonic() - started
            if failed:
                sys.exit(f"bench: {len(failed)} launchers failed\n{failed[0].describe()}")
            fetched = sum(r.figures["bytes_received"] for r in runs)
            served = [(path, n) for path, _, n in harness.requests(origin.access_log()[since:])
                      if path.startswith("/windows/")]
            total = sum(size for _, size in served)
            whole = [p for p, _ in served if "/.patches/" in p or ".zs?" in p]
            say(f"{what}: every launcher done in {took:.1f} s; the players received {mb(fetched)} through the edge, the "
                f"origin sent {mb(total)} ({mb(total / players_n)} per player, {100 * total / max(fetched, 1):.1f} %); "
                f"{len(whole)} requests for {len(set(whole))} distinct files and patches")
    finally:
        subprocess.run([edge, "stop", run_dir / "edge"], stdout=subprocess.DEVNULL)
        origin.stop()


def main():
    parser = argparse.ArgumentParser(usage=__doc__.split("\n\n")[1])
    parser.add_argument("case", nargs="?", choices=[*CASES, "all"])
    parser.add_argument("--clean", action="store_true")
    parser.add_argument("--quick", action="store_true", help="small trees: for checking the benchmark, not for figures")
    parser.add_argument("--runs", type=int, help="medians of N runs (default 1; offline 3, self-update 5)")
    parser.add_argument("--sections")
    parser.add_argument("--links", default="loopback,20:1000,100:200,250:50:1:bbr")
    parser.add_argument("--trees", default="small,mixed,large")
    parser.add_argument("--baseline")
    parser.add_argument("--no-reference", action="store_true")
    for option in ("--level", "--big-mib", "--files", "--places", "--players", "--rtt"):
        parser.add_argument(option, type=int)
    for option in ("--game-gib", "--pack-gib"):
        parser.add_argument(option, type=float)
    parser.add_argument("--levels")
    args = parser.parse_args()
    if args.clean:
        shutil.rmtree(WORK, ignore_errors=True)
        return
    if args.case is None or (args.runs or 1) < 1:
        parser.error("a case, or --clean")
    if os.geteuid() != 0:
        sys.exit("bench: run as root (network namespaces, the page cache)")
    return args


if __name__ == "__main__":
    arguments = main()
    if arguments:
        sys.path.insert(0, str(ROOT / "tests" / "e2e"))
        os.environ.setdefault("VELM_BUILD_DIR", str(WORK / "build"))  # the harness's velm-publish
        import harness  # noqa: E402 (moves this process into network and mount namespaces of its own)
        WORK.mkdir(parents=True, exist_ok=True)
        authority = certificates()
        try:
            for name in CASES if arguments.case == "all" else [arguments.case]:
                note(f"case {name}")
                globals()["case_" + name.replace("-", "_")](arguments, *([] if name == "micro" else [authority]))
        finally:
            shutil.rmtree(SCRATCH, ignore_errors=True)
