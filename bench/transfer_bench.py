#!/usr/bin/env python3
"""The transfer benchmark: the real launcher against nginx (HTTP/2 offered), beside reference
tools measured in the same run. Needs root: it moves into network and mount namespaces of its own
(tests/e2e/harness.py) and makes the links there with slow-link.sh (a rate from the server to
the client, a round trip, a loss rate). Its sections:
  fresh        fresh installs of generated games through each link, each time a multiple of the
               link's physical limit (the compressed bytes at the link's rate, plus three round
               trips), beside the reference pipeline (curl --parallel, then zstd -d and sha1sum)
               and the launcher of an earlier revision (--baseline)
  current      a current install of 20,000 files (4 GiB), page cache dropped: start to "All jobs
               completed" with the record of verified files (target <= 0.5 s) and with a full
               rehash (a launcher built with -DVELM_VERIFY_EVERY_START=ON)
  interrupted  a 1 GiB file through the 100 ms link, its connection reset when half of its .zs
               is in game/ (bytes sent for it / its size, target <= 1.10), and the launcher closed
               at half and started again (resumed when the second run fetches < 0.9 of it)
  verify       verify-only with the record disabled, warm cache, against sha1sum with the
               launcher's hashing parallelism (target <= 0.5)

  transfer_bench.py [--sections LIST] [--quick] [--links LIST] [--trees LIST] [--baseline REV]
                    [--runs N] [--no-reference]

  --sections LIST comma-separated, of the above (default fresh)

  --links LIST    comma-separated: loopback, or RTT_MS:MBIT_S[:LOSS_PERCENT[:CC]], CC being
                  the server's TCP congestion control (default cubic, Linux's own)
                  (default loopback,20:1000,100:200,250:50:1:bbr)
  --trees LIST    small (5,000 files of 1-64 KiB), mixed (a game of 400 files, 256 MiB),
                  large (4 files, 240 MiB); default all three
  --baseline REV  also the launcher built from git revision REV (today's: main)
  --runs N        medians of N runs of each side, taken in turns (default 1; verify: 3)
  --no-reference  leave out the reference pipeline
  --quick         small trees, for checking the benchmark itself: figures not comparable

Under cubic, a random loss of 1 % holds one connection at 250 ms near 0.6 Mbit/s whatever the
client does; BBR, which many CDNs run, does not take such loss for congestion, so the lossy
link's default shows what the client can change.

A launcher's time runs from its start to its line "All jobs completed", which leaves out its
fixed waits around the game's start; its peak RSS is /usr/bin/time's. Generated trees, builds
and logs live in VELM_TBENCH_WORK (default <repo>/build-tbench, about 2 GiB); the trees are
kept for the next run. Every side writes into /dev/shm: on a disk, creating thousands of files
costs a churned ext4 up to a millisecond of CPU each, which would hide the network. The page
cache is left alone: the served files are read once before each case.
"""
import argparse
import contextlib
import io
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import time
import urllib.parse
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
WORK = Path(os.environ.get("VELM_TBENCH_WORK", ROOT / "build-tbench"))
SLOW_LINK = ROOT.parent / "shared" / "tools" / "slow-link" / "slow-link.sh"
SERVER_IP, PORT = "10.77.0.2", 4443
URL = f"https://{SERVER_IP}:{PORT}/windows/"
NS = f"vtb{os.getpid()}"
SCRATCH = Path("/dev/shm") / NS  # where the launchers and the reference write
REF_PARALLEL = 50  # curl's own default for --parallel-max
PUBLISH_LEVEL = 3
KIB, MIB = 1 << 10, 1 << 20
TREES = {  # name: (generator, arguments at full size, with --quick)
    "small": ("gen_uniform", (5000, KIB, 64 * KIB), (300, KIB, 64 * KIB)),
    "mixed": ("gen_install", (400, 256 * MIB, 32 * MIB), (60, 24 * MIB, 4 * MIB)),
    "large": ("gen_sizes", ([96 * MIB, 64 * MIB, 48 * MIB, 32 * MIB],), ([12 * MIB, 8 * MIB],)),
    "current": ("gen_install", (20000, 4096 * MIB), (2000, 256 * MIB, 16 * MIB)),
    "one": ("gen_sizes", ([1024 * MIB],), ([64 * MIB],)),
}
SECTIONS = ("fresh", "current", "interrupted", "verify")
HASH_THREADS = min(max(os.cpu_count(), 2), 16)  # the launcher's workers


def parse_args():
    parser = argparse.ArgumentParser(usage=__doc__.split("\n\n")[1])
    parser.add_argument("--sections", default="fresh")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--links", default="loopback,20:1000,100:200,250:50:1:bbr")
    parser.add_argument("--trees", default="small,mixed,large")
    parser.add_argument("--baseline")
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--no-reference", action="store_true")
    args = parser.parse_args()
    args.links = [Link(spec) for spec in args.links.split(",")]
    args.trees, args.sections = args.trees.split(","), args.sections.split(",")
    if not set(args.trees) <= {"small", "mixed", "large"} or not set(args.sections) <= set(SECTIONS) or args.runs < 1:
        parser.error("unknown tree or section, or --runs below 1")
    return args


class Link:
    """loopback, or RTT_MS:MBIT_S[:LOSS_PERCENT[:CC]]; `client` prefixes a command run at the client."""

    def __init__(self, spec):
        self.spec, parts = spec, spec.split(":")
        self.cc = parts.pop() if len(parts) == 4 else "cubic"
        try:
            fields = [] if spec == "loopback" else [float(f) for f in parts]
        except ValueError:
            fields = None
        if fields is None or not (spec == "loopback" or len(fields) in (2, 3)):
            sys.exit(f"transfer_bench: a link is loopback or RTT_MS:MBIT_S[:LOSS_PERCENT[:CC]], not {spec}")
        self.rtt_s, self.bit_s = (fields[0] / 1000, fields[1] * 1e6) if fields else (0, 0)
        self.loss = fields[2] / 100 if len(fields) == 3 else 0
        self.client = self.server = ()
        self.label = spec if not fields else f"{fields[0]:g} ms, {fields[1]:g} Mbit/s" + (
            f", {fields[2]:g} % loss" if self.loss else "") + f", {self.cc}"

    def limit(self, zs_bytes):
        return zs_bytes * 8 / self.bit_s + 3 * self.rtt_s if self.bit_s else None

    def up(self):
        if not self.bit_s:  # the server's address on this namespace's own loopback
            subprocess.run(["ip", "addr", "replace", f"{SERVER_IP}/32", "dev", "lo"], check=True)
            return
        subprocess.run(["bash", SLOW_LINK, "up", NS, f"{self.rtt_s * 500:g}", f"{self.bit_s:.0f}", f"{self.loss:g}"],
                       check=True, stdout=subprocess.DEVNULL)
        self.client, self.server = (["ip", "netns", "exec", f"{NS}-c"], ["ip", "netns", "exec", f"{NS}-s"])
        # The namespace's default may not name a restricted algorithm; the route to the client may.
        subprocess.run(["ip", "-n", f"{NS}-s", "route", "replace", "10.77.0.1", "dev", "ls0", "src", SERVER_IP,
                        "congctl", self.cc], check=True)

    def down(self):
        if self.bit_s:  # the link's counters (drops, lateness) go with the logs
            subprocess.run(["bash", SLOW_LINK, "down", NS], check=False, stdout=subprocess.DEVNULL)
            state = Path(os.environ.get("TMPDIR", "/tmp")) / "velm-slow-link"
            (WORK / "logs").mkdir(exist_ok=True)
            shutil.move(state / f"{NS}.log", WORK / "logs" / f"link-{self.spec.replace(':', '-')}.log")
            (state / f"{NS}.out").unlink(missing_ok=True)


def note(text):
    print(f"transfer_bench: {text}", file=sys.stderr, flush=True)


def build(source, directory, *options):
    """A Release launcher (and publisher) from SOURCE whose update URL is the namespaces' server."""
    subprocess.run(["cmake", "-S", source, "-B", directory, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DVELM_TESTS=OFF", "-DVELM_BENCH=OFF", f"-DVELM_UPDATE_URL={URL}", *options], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["nice", "cmake", "--build", directory, "-j2", "--target", "velm-launcher", "velm-publish"],
                   check=True, stdout=subprocess.DEVNULL)
    return Path(directory) / "velm-launcher"


def baseline_source(rev):
    sha = subprocess.run(["git", "-C", ROOT, "rev-parse", "--verify", f"{rev}^{{commit}}"], check=True,
                         capture_output=True, text=True).stdout.strip()
    source = WORK / f"baseline-{sha[:12]}"
    if not (source / "CMakeLists.txt").exists():
        source.mkdir(parents=True, exist_ok=True)
        archive = subprocess.Popen(["git", "-C", ROOT, "archive", sha], stdout=subprocess.PIPE)
        subprocess.run(["tar", "-x", "-C", source], stdin=archive.stdout, check=True)
        archive.wait()
    return source


def tree(name, quick):
    """The generated game NAME (made once) and its published tree, republished at every run."""
    import update_bench_helper as generators
    generator, full, small = TREES[name]
    game = WORK / "src" / (name + ("-quick" if quick else ""))
    if not (game.parent / (game.name + ".done")).exists():
        note(f"generating the {game.name} tree")
        shutil.rmtree(game, ignore_errors=True)
        getattr(generators, generator)(str(game), *(small if quick else full))
        (game.parent / (game.name + ".done")).touch()
    published = harness.publish(game, WORK / "pub" / game.name, level=PUBLISH_LEVEL) / "windows"
    return game, published.resolve()


def start_launcher(exe, link, run_dir, ca, fresh=True):
    """The launcher EXE staged in RUN_DIR (over its game/ and state unless FRESH) and started."""
    if fresh:
        shutil.rmtree(run_dir, ignore_errors=True)
    run_dir.mkdir(parents=True, exist_ok=True)
    for source in (exe, harness.FONT):
        shutil.copy2(source, run_dir)
    shutil.copy(ca, run_dir / "curl-ca-bundle.crt")
    log_at = settled_log_size()
    run = harness.LauncherRun(run_dir, prefix=[*link.client, "/usr/bin/time", "-f", "%M", "-o",
                                               run_dir.with_suffix(".time")])
    run.log_at = log_at
    return run


def finish_launcher(run, fetched=None):
    """Seconds to "All jobs completed", peak RSS in KiB, connections the server saw; None when
    the run failed or fetched another number of files than FETCHED."""
    try:
        run.wait_for(lambda: "All jobs completed" in run.lines, 3600, '"All jobs completed"')
        seconds = time.monotonic() - run.started
        run.wait(120)
        if run.returncode != 0 or fetched not in (None, len(run.transfers()) - 1):
            raise AssertionError(f"status {run.returncode}, {len(run.transfers()) - 1} files fetched, not {fetched}")
    except AssertionError as failure:
        log = WORK / "logs" / f"{run.directory.name}-{time.strftime('%H%M%S')}.log"
        log.parent.mkdir(exist_ok=True)
        log.write_text(f"{failure}\n{run.describe()}")
        note(f"a launcher run failed: see {log}")
        return None
    finally:
        run.kill()
    return seconds, int(run.directory.with_suffix(".time").read_text().split()[-1]), connections_since(run.log_at)


def launcher_run(exe, link, run_dir, ca, fetched, fresh=True):
    result = finish_launcher(start_launcher(exe, link, run_dir, ca, fresh), fetched)
    if fresh:
        shutil.rmtree(run_dir / "game", ignore_errors=True)
    return result


def reference_run(link, game, ca, scratch):
    """Seconds of curl --parallel fetching every .zs, then zstd -d and sha1sum, as many at once
    as the launcher hashes; None on failure."""
    import update_bench_helper as generators
    shutil.rmtree(scratch, ignore_errors=True)
    with contextlib.redirect_stdout(io.StringIO()):  # it prints the count
        generators.ref_plan(str(game), URL, str(scratch / "dl"), str(scratch / "out"))
    threads, start = str(HASH_THREADS), time.monotonic()
    curl = subprocess.run([*link.client, "curl", "--parallel", "--parallel-max", str(REF_PARALLEL), "--fail",
                           "-sS", "--create-dirs", "--cacert", ca, "-K", scratch / "dl" / "curl.cfg"],
                          capture_output=True, text=True)
    if curl.returncode != 0:
        note(f"the reference's curl failed: {curl.stderr[-500:]}")
        return None
    with open(scratch / "dl" / "zstd.args", "rb") as pairs:
        subprocess.run(["xargs", "-0", "-P", threads, "-n", "2", "zstd", "-d", "-q", "-f", "-o"], stdin=pairs,
                       check=True)
    subprocess.run(f"find {scratch / 'out'} -type f -print0 | xargs -0 -P {threads} -n 64 sha1sum >/dev/null",
                   shell=True, check=True)
    seconds = time.monotonic() - start
    shutil.rmtree(scratch)
    return seconds


def settled_log_size():
    """The access log's size once it stopped growing for half a second (at most 10 s): nginx logs a
    request whose client went away when it notices, a round trip or more later."""
    path, size = WORK / "server" / "access.log", -1
    for _ in range(20):
        if size == (size := path.stat().st_size if path.exists() else 0):
            break
        time.sleep(0.5)
    return size


def logged_since(offset):
    with open(WORK / "server" / "access.log", "rb") as log:
        log.seek(offset)
        return log.read().decode(errors="replace")


def connections_since(offset):
    """Distinct connections among the requests the server logged from byte OFFSET on."""
    return len(set(re.findall(r'" (\d+) [\d.]+ [\d.]+ "[^"\n]*"\n', logged_since(offset))))


def bytes_sent_since(offset, path):
    """Body bytes the server logged for PATH (its query aside) from byte OFFSET on."""
    return sum(int(m[2]) for m in re.finditer(r'"GET ([^ ?]+)\S* HTTP/[\d.]+" \d+ (\d+) ', logged_since(offset))
               if m[1] == path)


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(value, unit=" s", digits=2):
    return "failed" if value is None else f"{value:.{digits}f}{unit}"


def ratio(a, b):
    return "-" if a is None or b is None else f"{a / b:.2f}"


@contextlib.contextmanager
def link_up(link):
    """LINK up, and the server on it serving WORK/serve."""
    note(f"link {link.label}")
    server = None
    try:
        link.up()
        server = harness.DevServer(WORK / "serve", WORK / "server", listen=f"{SERVER_IP}:{PORT}", prefix=link.server)
        yield
    finally:
        if server:
            server.stop()
        link.down()


def serve(published):
    """The server's windows/ is now PUBLISHED; the files are read once, so that the server reads
    them from the page cache for every side alike. Returns their bytes."""
    (WORK / "serve" / "windows").unlink(missing_ok=True)
    (WORK / "serve" / "windows").symlink_to(published)
    return sum(len(path.read_bytes()) for path in published.rglob("*.zs"))


def installed_copy(game, name):
    """A launcher directory on the disk whose game/ is a copy of GAME (made once)."""
    run_dir = WORK / name
    if not (run_dir / "game").exists():
        note(f"copying {game.name} into {run_dir}")
        shutil.rmtree(run_dir / "game.part", ignore_errors=True)
        shutil.copytree(game, run_dir / "game.part", symlinks=True)
        (run_dir / "game.part").rename(run_dir / "game")
    return run_dir


def drop_caches():
    subprocess.run(["sync"], check=True)
    Path("/proc/sys/vm/drop_caches").write_text("3")


def fresh(args, sides, ca):
    """One row per link and tree: link, tree, bytes of .zs, limit, then for the reference and each
    launcher the medians of seconds, peak RSS and connections, and every run's seconds."""
    rows = []
    for link in args.links:
        with link_up(link):
            for name in args.trees:
                game, published = tree(name, args.quick)
                zs_bytes, files = serve(published), sum(1 for path in game.rglob("*") if path.is_file())
                times = {side: [] for side in ["reference", *sides]}
                order = [side for side in times if side != "reference" or not args.no_reference]
                for run in range(args.runs):  # each side first in turn: what runs just after another differs
                    note(f"{link.label}, {name}: run {run + 1} of {args.runs}")
                    for side in order[run % len(order):] + order[:run % len(order)]:
                        times[side].append((reference_run(link, game, ca, SCRATCH / "reference"), 0, 0)
                                           if side == "reference" else
                                           launcher_run(sides[side], link, SCRATCH / side.replace(" ", "-"), ca, files))
                row = [link, name, zs_bytes, link.limit(zs_bytes)]
                for side, results in times.items():  # the medians, and every run's time
                    ok = [r for r in results if r is not None and r[0] is not None]
                    row.append((*[median([r[i] for r in ok]) for i in range(3)], [r[0] for r in ok]))
                rows.append(row)
                print_row(row, ["reference", *sides])
    return rows


def current(args, exe, rehash, ca):
    """Start to "All jobs completed" on a current install, page cache dropped: with the record of
    verified files (each run from the record the first run wrote) and with a full rehash."""
    link = Link("loopback")
    game, published = tree("current", args.quick)
    run_dir = installed_copy(game, game.name)
    state, kept = run_dir / "launcher.state", WORK / f"{game.name}.state"
    with link_up(link):
        serve(published)
        state.unlink(missing_ok=True)
        first = launcher_run(exe, link, run_dir, ca, 0, fresh=False)
        shutil.copy2(state, kept)
        with_record, rehashed = [], []
        for _ in range(args.runs):
            shutil.copy2(kept, state)
            drop_caches()
            with_record.append(launcher_run(exe, link, run_dir, ca, 0, fresh=False))
            drop_caches()
            rehashed.append(launcher_run(rehash, link, run_dir, ca, 0, fresh=False))
    record_s, rehash_s = (median([r and r[0] for r in rs]) for rs in (with_record, rehashed))
    return [f"current install of {tree_label(game)}, page cache dropped, start to \"All jobs completed\": "
            f"with the record {fmt(record_s)} (target <= 0.5 s), full rehash {fmt(rehash_s)} (first run, "
            f"no record yet: {fmt(first and first[0])})"]


def interrupted(args, exe, ca):
    """A large file's connection reset, and the launcher closed, when half of its .zs is in game/."""
    link = Link("100:200")
    game, published = tree("one", args.quick)
    big = max((p for p in game.rglob("*") if p.is_file()), key=lambda p: p.stat().st_size).relative_to(game)
    zs_size = (published / f"{big}.zs").stat().st_size
    url_path = f"/windows/{urllib.parse.quote(str(big))}.zs"
    run_dir, lines = SCRATCH / "interrupted", []
    partial = run_dir / "game" / f"{big}.zs"

    def at_half(run):
        run.wait_for(lambda: partial.exists() and partial.stat().st_size >= zs_size // 2, 3600, "half of the .zs")

    with link_up(link):
        serve(published)
        run = start_launcher(exe, link, run_dir, ca)
        at_half(run)
        subprocess.run([*link.server, "ss", "-K", "-t", "dst", "10.77.0.1"], check=True, stdout=subprocess.DEVNULL)
        result = finish_launcher(run)
        sent = bytes_sent_since(run.log_at, url_path) / zs_size
        lines.append(f"{tree_label(game)} over {link.label}, the connection reset at half: bodies sent for the "
                     f"file {sent:.2f} x its .zs (target <= 1.10); {'finished' if result else 'FAILED'}")
        run = start_launcher(exe, link, run_dir, ca)
        at_half(run)
        pid = run.process.pid  # ip netns exec became /usr/bin/time, whose child is the launcher
        os.kill(int(Path(f"/proc/{pid}/task/{pid}/children").read_text().split()[0]), signal.SIGTERM)
        run.wait(60)
        left = partial.stat().st_size
        again = start_launcher(exe, link, run_dir, ca, fresh=False)
        result = finish_launcher(again)
        second = bytes_sent_since(again.log_at, url_path) / zs_size
        lines.append(f"closed at half ({left / MIB:.0f} MiB of .zs left), started again: the second run fetched "
                     f"{second:.2f} x the .zs: {'resumed' if second < 0.9 else 'started over (target: resumed)'}"
                     f"{'' if result else '; FAILED'}")
    return lines


def verify(args, rehash, ca):
    """Verify-only with the record disabled, warm cache, against sha1sum at the launcher's parallelism."""
    link = Link("loopback")
    game, published = tree("mixed", args.quick)
    run_dir = installed_copy(game, f"verify-{game.name}")
    launcher_s, sha1sum_s = [], []
    with link_up(link):
        serve(published)
        for run in range(max(args.runs, 3) + 1):  # the first warms the cache
            result = launcher_run(rehash, link, run_dir, ca, 0, fresh=False)
            start = time.monotonic()
            subprocess.run(f"find game -type f -print0 | xargs -0 -P {HASH_THREADS} -n 16 sha1sum >/dev/null",
                           shell=True, check=True, cwd=run_dir)
            if run > 0:
                launcher_s.append(result and result[0])
                sha1sum_s.append(time.monotonic() - start)
    lm, sm = median(launcher_s), median(sha1sum_s)
    return [f"verify-only, {tree_label(game)}, warm cache, record disabled: launcher {fmt(lm)}, sha1sum -P "
            f"{HASH_THREADS} {fmt(sm)}, ratio {ratio(lm, sm)} (target <= 0.5); medians of {len(sha1sum_s)}"]


def tree_label(game):
    files = [p for p in game.rglob("*") if p.is_file()]
    return f"{len(files)} files, {sum(p.stat().st_size for p in files) / MIB:.0f} MiB"


def print_row(row, sides):
    link, name, zs_bytes, limit, *results = row
    text = f"{link.label}, {name} ({zs_bytes / 1e6:.1f} MB of .zs): limit {fmt(limit) if limit else '-'}"
    for side, (seconds, rss, conns, runs) in zip(sides, results):
        if not runs:
            continue
        text += f"; {side} {fmt(seconds)} ({', '.join(f'{r:.2f}' for r in runs)})"
        if side != "reference":
            text += f", {fmt(rss and rss / 1024, ' MiB', 0)} peak, {conns:.0f} connections"
    print(text, flush=True)


def summary(rows, sides):
    """The table for README: times, each as a multiple of the limit, and launcher / baseline."""
    names = list(sides)
    head = ["link", "tree", "limit", *[f"{n} (× limit)" for n in names], "reference (× limit)"]
    if len(names) == 2:
        head.append(f"{names[0]} / {names[1]}")
    head.append(f"{names[0]} peak RSS")
    print("| " + " | ".join(head) + " |\n|" + "---|" * len(head))
    for link, name, zs_bytes, limit, reference, *launchers in rows:
        cells = [link.label, f"{name} ({zs_bytes / 1e6:.0f} MB)", fmt(limit) if limit else "-"]
        for seconds, _, _, runs in [*launchers, reference]:
            cells.append("-" if not runs else fmt(seconds) + (f" ({ratio(seconds, limit)})" if limit else ""))
        if len(names) == 2:
            cells.append(ratio(launchers[0][0], launchers[1][0]))
        rss = launchers[0][1]
        cells.append(fmt(rss and rss / 1024, " MiB", 0))
        print("| " + " | ".join(cells) + " |")


def main():
    args = parse_args()
    WORK.mkdir(parents=True, exist_ok=True)
    note("building the launcher")
    sides = {"launcher": build(ROOT, WORK / "build")}
    if args.baseline and "fresh" in args.sections:
        note(f"building the launcher of {args.baseline}")
        source = baseline_source(args.baseline)
        sides[f"baseline {args.baseline}"] = build(source, WORK / f"{source.name}-build")
    if {"current", "verify"} & set(args.sections):
        note("building the launcher that hashes every file at every start")
        rehash = build(ROOT, WORK / "build-every-start", "-DVELM_VERIFY_EVERY_START=ON")
    (WORK / "serve").mkdir(exist_ok=True)
    subprocess.run([ROOT / "scripts" / "dev-cert.sh", WORK / "server" / "certs", SERVER_IP], check=True,
                   stdout=subprocess.DEVNULL)
    ca, load, lines, rows = WORK / "server" / "certs" / "ca.crt", os.getloadavg(), [], []
    try:
        if "verify" in args.sections:
            lines += verify(args, rehash, ca)
        if "current" in args.sections:
            lines += current(args, sides["launcher"], rehash, ca)
        if "interrupted" in args.sections:
            lines += interrupted(args, sides["launcher"], ca)
        if "fresh" in args.sections:
            rows = fresh(args, sides, ca)
    finally:
        shutil.rmtree(SCRATCH, ignore_errors=True)
    print(f"\ntransfer benchmark{' (--quick: figures not comparable)' if args.quick else ''}; {os.cpu_count()} "
          f"CPUs; load {load[0]:.2f} at start, {os.getloadavg()[0]:.2f} at end; medians of {args.runs}")
    print("".join(f"\n{line}" for line in lines))
    if rows:
        summary(rows, sides)


if __name__ == "__main__":
    if os.geteuid() != 0:
        sys.exit("transfer_bench: run as root (network namespaces)")
    parse_args()  # before the move into namespaces, so that --help and mistakes stop here
    os.environ.setdefault("VELM_BUILD_DIR", str(WORK / "build"))  # the harness's velm-publish
    sys.path[:0] = [str(ROOT / "tests" / "e2e"), str(ROOT / "bench")]
    import harness  # noqa: E402 (moves this process into network and mount namespaces of its own)
    main()
