#!/usr/bin/env python3
"""The CDN benchmark: PLAYERS launchers started together through a Traffic Server edge
(scripts/cdn-edge.sh, configured as the README recommends) in front of nginx, for a fresh install
of a generated game and then for the update to its next version (patches at the default depth).
For each: the time until every launcher ended, and what the origin served (requests and bytes,
per player) against what the players fetched through the edge. Needs root: the run moves into
network namespaces of its own (tests/e2e/harness.py), and each launcher runs as a user of its own
(the single-instance lock is per user).

  cdn_bench.py [--players N] [--big-mib N]    build with: cmake --build build (the Linux build)

Environment: VELM_BUILD_DIR (default <repo>/build), VELM_CDNBENCH_WORK (default
<build>/cdn-bench: the generated versions, about 140 MB with the default 8 MiB large file).
"""
import argparse
import collections
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
import harness  # noqa: E402  (as root: re-runs this script in network namespaces of its own)

ORIGIN_PORT, FIRST_UID = 4444, 21000
ORIGIN_GET = re.compile(r'"GET (/windows/\S+) HTTP/[0-9.]+" (\d+) (\d+) ')


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--players", type=int, default=50)
    parser.add_argument("--big-mib", type=int, default=8)
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("cdn_bench: run as root")
    work = Path(os.environ.get("VELM_CDNBENCH_WORK") or harness.BUILD_DIR / "cdn-bench")
    data = work / f"history-{args.big_mib}"
    if not (work / f"history-{args.big_mib}.done").exists():
        shutil.rmtree(data, ignore_errors=True)
        subprocess.run([sys.executable, harness.SOURCE_DIR / "bench/update_bench_helper.py", "gen-history", data, "2",
                        str(args.big_mib)], check=True)
        (work / f"history-{args.big_mib}.done").touch()
    run_dir = work / "run"
    shutil.rmtree(run_dir, ignore_errors=True)
    run_dir.mkdir(parents=True)
    os.chmod(run_dir, 0o755)
    root, certs = run_dir / "root", harness.make_certificates(run_dir / "origin" / "certs")
    shutil.copytree(certs, run_dir / "edge" / "certs")
    harness.publish(data / "v1", root, level=9)
    origin = harness.DevServer(root, run_dir / "origin", port=ORIGIN_PORT)
    edge = [harness.SCRIPTS_DIR / "cdn-edge.sh"]
    subprocess.run([*edge, "start", run_dir / "edge", str(ORIGIN_PORT)], check=True, stdout=subprocess.DEVNULL)
    try:
        players = []
        for i in range(args.players):
            directory = run_dir / f"player-{i:02d}"
            directory.mkdir()
            for source in (harness.LAUNCHER_EXE, harness.FONT):
                shutil.copy2(source, directory)
            shutil.copy(certs / "ca.crt", directory / "curl-ca-bundle.crt")
            subprocess.run(["chown", "-R", f"{FIRST_UID + i}:{FIRST_UID + i}", directory], check=True)
            players.append((directory, FIRST_UID + i))
        print(f"== {args.players} launchers at once through the edge; {os.cpu_count()} cores")
        measure("fresh install of version 1", players, origin, root, data / "v1")
        harness.publish(data / "v2", root, level=9)
        measure("update to version 2", players, origin, root, data / "v2")
    finally:
        subprocess.run([*edge, "stop", run_dir / "edge"], stdout=subprocess.DEVNULL)
        origin.stop()


def measure(what, players, origin, root, version):
    since = len(origin.access_log())
    started = time.monotonic()
    runs = [harness.LauncherRun(d, prefix=["setpriv", f"--reuid={u}", f"--regid={u}", "--clear-groups"])
            for d, u in players]
    failed = [run for run in runs if run.wait(1800).returncode != 0]
    took = time.monotonic() - started
    if failed:
        sys.exit(f"cdn_bench: {len(failed)} launchers failed\n{failed[0].describe()}")
    live = (root / "windows").resolve()
    fetched = sum(size_of(live, m) for run in runs for m in run.transfers(query=True))
    served = [(m[1], int(m[3])) for m in ORIGIN_GET.finditer(origin.access_log()[since:])]
    kinds = collections.defaultdict(lambda: [0, 0])
    for path, size in served:
        kind = ("list and statement" if path.split("?")[0].endswith(("manifest.dat.zs", ".sig")) else
                "patches" if "/.patches/" in path else "files (.zs)")
        kinds[kind][0] += 1
        kinds[kind][1] += size
    total = sum(size for _, size in served)
    distinct = len({path for path, _ in served if "/.patches/" in path or ".zs?" in path})
    print(f"{what}: every launcher done in {took:.1f} s; the players fetched {fetched / 1e6:.1f} MB through the edge,"
          f" the origin sent {total / 1e6:.2f} MB ({total / len(players) / 1e6:.3f} MB per player,"
          f" {100 * total / max(fetched, 1):.1f} % of what the players fetched)")
    for kind, (count, size) in sorted(kinds.items()):
        print(f"  origin: {kind}: {count} requests ({count / len(players):.2f} per player), {size / 1e6:.2f} MB")
    files = kinds["files (.zs)"][0] + kinds["patches"][0]
    print(f"  origin: {files} requests for {distinct} distinct files and patches ({files / max(distinct, 1):.2f} each)")


def size_of(live, url):
    """The bytes of the file a transfer line names (a .zs or a patch in the live tree)."""
    path = url[len(harness.BASE_URL):].split("?")[0].replace("%20", " ")
    target = live / path
    return target.stat().st_size if target.exists() else 0


if __name__ == "__main__":
    main()
