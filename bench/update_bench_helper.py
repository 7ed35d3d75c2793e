#!/usr/bin/env python3
"""Helpers of the update benchmarks (update_bench.sh, transfer_bench.py): generated game trees,
the reference pipeline's plan, and a launcher run with every output line time-stamped as it
arrives.

  gen-install DIR FILES BYTES [LARGEST]
                                about FILES files, BYTES in all, 1 KiB to LARGEST (default
                                64 MiB; the four largest files are LARGEST, /2, /4, /8), plus VELM.exe
  gen-uniform DIR FILES MIN MAX FILES files of MIN to MAX bytes (uniform), plus VELM.exe
  gen-sizes DIR BYTES...        one file of each size, plus VELM.exe
  gen-huge DIR BYTES            one file of BYTES, a few small ones, plus VELM.exe
  gen-empty DIR ENTRIES         ENTRIES - 1 empty files in 256 directories, plus VELM.exe
  gen-versions DIR              two versions of a game, DIR/v1 and DIR/v2: a 256 MiB file changed
                                in 1 % of its 64 KiB blocks, a 20 MiB file grown by 5 % (new
                                content inserted in its middle), 50 of 200 small files changed,
                                10 added, plus VELM.exe
  gen-history DIR VERSIONS BIG_MIB
                                VERSIONS versions of a game, DIR/v1 ... : a BIG_MIB file changed
                                in 1 % of its 64 KiB blocks at each version, a 16 MiB file
                                unchanged, 300 small files of which each version changes 10,
                                removes 5 and adds 5, plus VELM.exe
  gen-pack DIR BYTES            one pack file DIR/data/pack.bin of BYTES, plus VELM.exe
  edit-pack PATH PERCENT PLACES SEED
                                rewrites PERCENT % of the file at PATH in place, in PLACES
                                places spread over it, with fresh content
  insert-pack PATH BYTES AT     inserts BYTES of fresh content at offset AT of the file at PATH
  update-bytes OLD_DIR NEW_DIR TREE
                                bytes an update from OLD_DIR to NEW_DIR (published in the release
                                tree TREE) downloads: whole .zs of changed and added files, and
                                with patches where TREE has one; prints key=value figures
  ref-plan GAME_DIR URL DL OUT  writes DL/curl.cfg (url/output pairs into DL) and DL/zstd.args
                                (NUL-separated "output input" pairs into OUT); makes OUT's dirs
  run STAGE_DIR LOG [--at PATH BYTES ACTION]
                                runs STAGE_DIR/velm-launcher; prints key=value figures. With
                                --at: once STAGE_DIR/PATH holds BYTES, ACTION is done once:
                                "term" sends the launcher SIGTERM; anything else is a shell
                                command run then (triggered_s says when, or "none")

Generated trees are deterministic (seeded), so a regenerated tree publishes the same way.
"""
import base64
import hashlib
import math
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time
import urllib.parse

KIB = 1 << 10
MIB = 1 << 20
MIN_SIZE = 1 * KIB
MAX_SIZE = 64 * MIB
LARGE_FILES = 4  # 64, 32, 16 and 8 MiB
BLOCK = 64 * KIB  # content alternates between random text and record-like text per block
TEXT_POOL = 8 * MIB
RANDOM_SHARE = 0.3  # share of blocks that are base64 of random bytes (the rest: records)
SEED = 20240601

GAME_EXE = "VELM.exe"
GAME_SCRIPT = b"#!/bin/sh\n# Stand-in game of the update benchmark: starts and ends at once.\nexit 0\n"

# Directories of the generated install; a few hold spaces, which the launcher sends as %20.
DIRECTORIES = ["", "bin", "data", "data/textures", "data/textures/characters", "data/sounds",
               "data/sounds/ambient loops", "maps", "maps/level 01", "maps/level 02", "video",
               "localization/en"]
EXTENSIONS = ["pak", "dds", "ogg", "bin", "dat", "lua"]


def text_pool(rng):
    """Record-like text (about 3-4x compressible on its own)."""
    states = ["idle", "walk", "run", "attack", "dead", "spawn", "patrol"]
    parts = []
    size = 0
    i = 0
    while size < TEXT_POOL:
        line = "%08d entity_%04d pos %d %d %d hp %d state=%s\n" % (
            i, rng.randrange(2000), rng.randrange(-500, 500), rng.randrange(-500, 500),
            rng.randrange(100), rng.randrange(100), states[rng.randrange(len(states))])
        parts.append(line)
        size += len(line)
        i += 1
    return "".join(parts).encode()


def write_content(path, size, rng, pool):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(BLOCK, left)
            if rng.random() < RANDOM_SHARE:
                block = base64.b64encode(rng.randbytes(n * 3 // 4 + 3))[:n]
            else:
                start = rng.randrange(len(pool) - n)
                block = pool[start:start + n]
            f.write(block)
            left -= n


def write_game_exe(game_dir):
    path = os.path.join(game_dir, GAME_EXE)
    with open(path, "wb") as f:
        f.write(GAME_SCRIPT)
    os.chmod(path, 0o755)


def install_sizes(rng, count, total, largest=MAX_SIZE):
    """A few large files up to `largest`, the rest log-uniform from MIN_SIZE to an upper bound
    found by bisection so that the total comes near `total` (a log-uniform spread up to
    64 MiB would average about 6 MiB a file)."""
    large = [largest >> i for i in range(LARGE_FILES)]
    draws = [rng.random() for _ in range(count - len(large))]
    lo_bits = math.log2(MIN_SIZE)

    def sizes_for(hi_bits):
        return large + [int(2 ** (lo_bits + (hi_bits - lo_bits) * u)) for u in draws]

    lo, hi = lo_bits, math.log2(largest)
    for _ in range(60):
        mid = (lo + hi) / 2
        if sum(sizes_for(mid)) > total:
            hi = mid
        else:
            lo = mid
    sizes = sizes_for(lo)
    sizes[-1] = MIN_SIZE  # both ends of the range are present
    rng.shuffle(sizes)
    return sizes


def write_tree(game_dir, sizes, rng, pool):
    """One file of each size, spread over DIRECTORIES, plus the game executable."""
    for i, size in enumerate(sizes):
        directory = DIRECTORIES[rng.randrange(len(DIRECTORIES))]
        ext = EXTENSIONS[rng.randrange(len(EXTENSIONS))]
        name = ("asset %04d.%s" if i % 10 == 3 else "file_%04d.%s") % (i, ext)
        write_content(os.path.join(game_dir, directory, name), size, rng, pool)
    write_game_exe(game_dir)


def gen_install(game_dir, count, total, largest=MAX_SIZE):
    rng = random.Random(SEED)
    pool = text_pool(rng)
    write_tree(game_dir, install_sizes(rng, count - 1, total - len(GAME_SCRIPT), largest), rng, pool)


def gen_uniform(game_dir, count, smallest, largest):
    rng = random.Random(SEED + 2)
    pool = text_pool(rng)
    write_tree(game_dir, [rng.randint(smallest, largest) for _ in range(count)], rng, pool)


def gen_sizes(game_dir, sizes):
    rng = random.Random(SEED + 3)
    write_tree(game_dir, sizes, rng, text_pool(rng))


def gen_huge(game_dir, huge_bytes):
    rng = random.Random(SEED + 1)
    pool = text_pool(rng)
    write_content(os.path.join(game_dir, "data", "huge.pak"), huge_bytes, rng, pool)
    for i, size in enumerate([1 * KIB, 300 * KIB, 5 * MIB]):
        write_content(os.path.join(game_dir, "data", "small_%d.dat" % i), size, rng, pool)
    write_game_exe(game_dir)


def gen_empty(game_dir, entries):
    per_dir = 256
    for i in range(entries - 1):
        directory = os.path.join(game_dir, "d%03d" % (i // per_dir))
        if i % per_dir == 0:
            os.makedirs(directory, exist_ok=True)
        open(os.path.join(directory, "e%05d" % i), "wb").close()
    write_game_exe(game_dir)


def gen_pack(game_dir, size):
    rng = random.Random(SEED + 5)
    write_content(os.path.join(game_dir, "data", "pack.bin"), size, rng, text_pool(rng))
    write_game_exe(game_dir)


def edit_pack(path, percent, places, seed):
    rng = random.Random(seed)
    pool = text_pool(rng)
    size = os.path.getsize(path)
    span = int(size * percent / 100 / places)
    with open(path, "r+b") as f:
        for place in range(places):  # one edit in each of PLACES equal stretches, anywhere in it
            stretch = size // places
            f.seek(place * stretch + rng.randrange(stretch - span))
            f.write(fresh_blocks(span, rng, pool))


def insert_pack(path, size, at):
    rng = random.Random(SEED + 6)
    with open(path, "rb") as old, open(path + ".new", "wb") as new:
        new.write(old.read(at))
        new.write(fresh_blocks(size, rng, text_pool(rng)))
        for block in iter(lambda: old.read(64 * MIB), b""):
            new.write(block)
    os.replace(path + ".new", path)


VERSION_BIG = 256 * MIB
VERSION_MID = 20 * MIB
VERSION_SMALL_FILES, VERSION_SMALL_CHANGED, VERSION_ADDED = 200, 50, 10
HISTORY_SMALL_FILES, HISTORY_SMALL_CHANGED, HISTORY_SMALL_MOVED = 300, 10, 5


def fresh_blocks(size, rng, pool):
    """SIZE bytes of content as write_content makes it."""
    out = []
    while size > 0:
        n = min(BLOCK, size)
        if rng.random() < RANDOM_SHARE:
            out.append(base64.b64encode(rng.randbytes(n * 3 // 4 + 3))[:n])
        else:
            start = rng.randrange(len(pool) - n)
            out.append(pool[start:start + n])
        size -= n
    return b"".join(out)


def gen_versions(out_dir):
    rng = random.Random(SEED + 4)
    pool = text_pool(rng)
    v1, v2 = os.path.join(out_dir, "v1"), os.path.join(out_dir, "v2")

    def write(version, name, data):
        path = os.path.join(version, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    big = bytearray(fresh_blocks(VERSION_BIG, rng, pool))
    write(v1, "data/big.pak", big)
    blocks = VERSION_BIG // BLOCK
    for i in rng.sample(range(blocks), blocks // 100):
        big[i * BLOCK:(i + 1) * BLOCK] = fresh_blocks(BLOCK, rng, pool)
    write(v2, "data/big.pak", big)
    del big
    mid = fresh_blocks(VERSION_MID, rng, pool)
    write(v1, "data/mid.pak", mid)
    cut = len(mid) // 2 // BLOCK * BLOCK
    write(v2, "data/mid.pak", mid[:cut] + fresh_blocks(VERSION_MID // 20, rng, pool) + mid[cut:])
    changed = set(rng.sample(range(VERSION_SMALL_FILES), VERSION_SMALL_CHANGED))
    for i in range(VERSION_SMALL_FILES):
        data = fresh_blocks(rng.randrange(KIB, 256 * KIB), rng, pool)
        name = "maps/small %03d.dat" % i
        write(v1, name, data)
        if i in changed:  # a few KiB rewritten somewhere inside
            at = rng.randrange(len(data))
            data = data[:at] + fresh_blocks(4 * KIB, rng, pool) + data[at + 4 * KIB:]
        write(v2, name, data)
    for i in range(VERSION_ADDED):
        write(v2, "maps/added %02d.dat" % i, fresh_blocks(rng.randrange(KIB, 256 * KIB), rng, pool))
    write_game_exe(v1)
    write_game_exe(v2)


def gen_history(out_dir, versions, big_mib):
    """VERSIONS versions, each a little changed from the one before (see the usage)."""
    rng = random.Random(SEED + 5)
    pool = text_pool(rng)
    big = bytearray(fresh_blocks(big_mib * MIB, rng, pool))
    files = {"data/static.pak": fresh_blocks(16 * MIB, rng, pool)}
    files.update({"maps/small %03d.dat" % i: fresh_blocks(rng.randrange(KIB, 256 * KIB), rng, pool)
                  for i in range(HISTORY_SMALL_FILES)})
    added = HISTORY_SMALL_FILES
    for version in range(1, versions + 1):
        if version > 1:
            blocks = len(big) // BLOCK
            for i in rng.sample(range(blocks), blocks // 100):
                big[i * BLOCK:(i + 1) * BLOCK] = fresh_blocks(BLOCK, rng, pool)
            small = sorted(n for n in files if n.startswith("maps/"))
            for name in rng.sample(small, HISTORY_SMALL_CHANGED):
                at = rng.randrange(len(files[name]))
                files[name] = files[name][:at] + fresh_blocks(4 * KIB, rng, pool) + files[name][at + 4 * KIB:]
            for name in rng.sample(small, HISTORY_SMALL_MOVED):
                del files[name]
            for _ in range(HISTORY_SMALL_MOVED):
                files["maps/small %03d.dat" % added] = fresh_blocks(rng.randrange(KIB, 256 * KIB), rng, pool)
                added += 1
        root = os.path.join(out_dir, "v%d" % version)
        for name, data in [("data/big.pak", big), *files.items()]:
            path = os.path.join(root, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        write_game_exe(root)


def sha1_of(path):
    digest = hashlib.sha1()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(MIB), b""):
            digest.update(chunk)
    return digest.hexdigest()


def update_bytes(old_dir, new_dir, tree):
    """What an update from OLD_DIR to NEW_DIR downloads from TREE, with and without patches."""
    whole = patched = files = patches = 0
    for name in listed_names(new_dir):
        new_hash = sha1_of(os.path.join(new_dir, name))
        old_path = os.path.join(old_dir, name)
        old_hash = sha1_of(old_path) if os.path.exists(old_path) else None
        if old_hash == new_hash:
            continue
        zs = os.path.getsize(os.path.join(tree, name + ".zs"))
        patch = os.path.join(tree, ".patches", "%s-%s.zst" % (old_hash, new_hash))
        files += 1
        whole += zs
        if old_hash is not None and os.path.exists(patch):
            patches += 1
            patched += os.path.getsize(patch)
        else:
            patched += zs
    print("files=%d patches=%d whole_bytes=%d patched_bytes=%d" % (files, patches, whole, patched))


def listed_names(game_dir):
    """Every file below game_dir as the file list names it ('/'-separated), sorted."""
    names = []
    for root, dirs, files in os.walk(game_dir):
        dirs[:] = [d for d in dirs if not d.startswith(".")]
        rel = os.path.relpath(root, game_dir)
        for f in files:
            names.append(f if rel == "." else rel.replace(os.sep, "/") + "/" + f)
    return sorted(names)


def ref_plan(game_dir, url, dl_dir, out_dir):
    names = listed_names(game_dir)
    os.makedirs(dl_dir, exist_ok=True)
    with open(os.path.join(dl_dir, "curl.cfg"), "w") as cfg, \
            open(os.path.join(dl_dir, "zstd.args"), "wb") as args:
        for name in names:
            # curl's config strings are double-quoted; published names hold no '"' or '\'.
            cfg.write('url = "%s%s.zs"\n' % (url, urllib.parse.quote(name, safe="/")))
            cfg.write('output = "%s/%s.zs"\n' % (dl_dir, name))
            out = os.path.join(out_dir, name)
            os.makedirs(os.path.dirname(out), exist_ok=True)
            args.write(out.encode() + b"\0" + os.path.join(dl_dir, name + ".zs").encode() + b"\0")
    print(len(names))


class VmHwmPoller(threading.Thread):
    """Peak memory without /usr/bin/time: polls the process's VmHWM until it ends, and the
    peak of its anonymous memory (RssAnon: the heap and stacks, not mapped files)."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.peak_kib, self.anon_kib, self.done = pid, 0, 0, False

    def run(self):
        while not self.done:
            try:
                with open("/proc/%d/status" % self.pid) as f:
                    for line in f:
                        if line.startswith("VmHWM:"):
                            self.peak_kib = max(self.peak_kib, int(line.split()[1]))
                        elif line.startswith("RssAnon:"):
                            self.anon_kib = max(self.anon_kib, int(line.split()[1]))
            except (OSError, ValueError):
                pass
            time.sleep(0.02)


def single_instance_taken():
    try:
        with open("/proc/net/unix") as f:
            return any(" @VELM_LAUNCHER" in line for line in f)
    except OSError:
        return False


def child_pid(pid):
    """The first child of process `pid` (the launcher under /usr/bin/time), or None."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        # The command name in parentheses may hold spaces: the parent pid follows the last ')'.
        if int(stat.rpartition(")")[2].split()[1]) == pid:
            return int(entry)
    return None


class Trigger(threading.Thread):
    """Once the file at `path` holds `size` bytes, does `action` once: "term" sends the
    launcher SIGTERM, anything else is run as a shell command."""

    POLL_S = 0.01

    def __init__(self, path, size, action, proc, wrapped, start):
        super().__init__(daemon=True)
        self.path, self.size, self.action = path, size, action
        self.proc, self.wrapped, self.start_time = proc, wrapped, start
        self.fired_s = None

    def run(self):
        while self.proc.poll() is None:
            try:
                reached = os.stat(self.path).st_size >= self.size
            except OSError:
                reached = False
            if reached:
                self.fired_s = time.monotonic() - self.start_time
                if self.action == "term":
                    pid = child_pid(self.proc.pid) if self.wrapped else self.proc.pid
                    if pid is not None:
                        os.kill(pid, signal.SIGTERM)
                else:
                    subprocess.run(self.action, shell=True, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, check=False)
                return
            time.sleep(self.POLL_S)


def run_launcher(stage, log_path, at=None, attempts=150):
    """Runs the launcher until it exits. Another developer's launcher holds the single-instance
    name at times: wait for it (2 s apart) instead of measuring a refused start. `at` is
    (path below the stage, bytes, action) for a Trigger."""
    env = dict(os.environ, SDL_VIDEODRIVER="dummy")
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    time_path = log_path + ".time"
    # VELM_BENCH_POLL_MEMORY: poll /proc instead, which also gives the anonymous memory's peak.
    use_time = os.access("/usr/bin/time", os.X_OK) and not os.environ.get("VELM_BENCH_POLL_MEMORY")
    manifest_line = re.compile(r"^\d+ \|\s*\d+ ms \| .*/manifest\.dat\.zs$")
    transfer_line = re.compile(r"^\d+ \|\s*\d+ ms \| ")
    trigger = None
    for _ in range(attempts):
        while single_instance_taken():
            time.sleep(2)
        cmd = ["./velm-launcher"]
        if use_time:
            cmd = ["/usr/bin/time", "-v", "-o", time_path] + cmd
        start = time.monotonic()
        proc = subprocess.Popen(cmd, cwd=stage, env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT)
        poller = None
        if not use_time:
            poller = VmHwmPoller(proc.pid)
            poller.start()
        if at is not None:
            trigger = Trigger(os.path.join(stage, at[0]), at[1], at[2], proc, use_time, start)
            trigger.start()
        lines = []
        t_manifest = t_done = None
        transfers = 0
        with open(log_path, "w") as log:
            for raw in proc.stdout:
                t = time.monotonic() - start
                line = raw.decode(errors="replace").rstrip("\n")
                log.write("%9.3f %s\n" % (t, line))
                lines.append(line)
                if transfer_line.match(line):
                    if manifest_line.match(line):
                        t_manifest = t
                    else:
                        transfers += 1
                elif line == "All jobs completed":
                    t_done = t
        status = proc.wait()
        if poller:
            poller.done = True
            poller.join()
        if trigger:
            trigger.join()
        if not lines and status == 0:
            # A refused second instance prints nothing (its notice is a message box).
            time.sleep(2)
            continue
        break
    peak_kib = poller.peak_kib if poller else 0
    anon_kib = poller.anon_kib if poller else 0
    cpu_s = None
    if use_time:
        cpu_s = 0.0
        with open(time_path) as f:
            for line in f:
                key, _, value = line.strip().rpartition(": ")
                if key == "Maximum resident set size (kbytes)":
                    peak_kib = int(value)
                elif key in ("User time (seconds)", "System time (seconds)"):
                    cpu_s += float(value)
                elif key == "Exit status":
                    status = int(value)
    fmt = lambda t: "%.3f" % t if t is not None else "none"
    print("status=%d done_s=%s manifest_s=%s transfers=%d peak_kib=%d anon_kib=%d cpu_s=%s triggered_s=%s" % (
        status, fmt(t_done), fmt(t_manifest), transfers, peak_kib, anon_kib,
        "%.2f" % cpu_s if cpu_s is not None else "n/a",
        fmt(trigger.fired_s if trigger else None)))


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    cmd, args = argv[1], argv[2:]
    if cmd == "gen-install" and len(args) in (3, 4):
        gen_install(args[0], *map(int, args[1:]))
    elif cmd == "gen-uniform" and len(args) == 4:
        gen_uniform(args[0], *map(int, args[1:]))
    elif cmd == "gen-sizes" and len(args) >= 2:
        gen_sizes(args[0], [int(a) for a in args[1:]])
    elif cmd == "gen-huge" and len(args) == 2:
        gen_huge(args[0], int(args[1]))
    elif cmd == "gen-empty" and len(args) == 2:
        gen_empty(args[0], int(args[1]))
    elif cmd == "gen-pack" and len(args) == 2:
        gen_pack(args[0], int(args[1]))
    elif cmd == "edit-pack" and len(args) == 4:
        edit_pack(args[0], float(args[1]), int(args[2]), int(args[3]))
    elif cmd == "insert-pack" and len(args) == 3:
        insert_pack(args[0], int(args[1]), int(args[2]))
    elif cmd == "gen-versions" and len(args) == 1:
        gen_versions(args[0])
    elif cmd == "gen-history" and len(args) == 3:
        gen_history(args[0], int(args[1]), int(args[2]))
    elif cmd == "update-bytes" and len(args) == 3:
        update_bytes(*args)
    elif cmd == "ref-plan" and len(args) == 4:
        ref_plan(*args)
    elif cmd == "run" and len(args) == 2:
        run_launcher(args[0], args[1])
    elif cmd == "run" and len(args) == 6 and args[2] == "--at":
        run_launcher(args[0], args[1], (args[3], int(args[4]), args[5]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
