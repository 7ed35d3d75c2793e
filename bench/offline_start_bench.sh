#!/usr/bin/env bash
# The offline start: the time from the launcher's start to the game's for a current install
# (its record says the last update completed) when the update server cannot be reached, with a
# launcher built with VELM_OFFLINE_START=ON. Two ways a server is out of reach:
#   - refused: nothing listens on its port (no server, or no network): each attempt fails at once;
#   - silent: its connections are never answered (a dead host, a firewall that drops): each
#     attempt waits for its connection until the time budget is spent.
# Target: under 20 s; goal: under 5 s. The figure includes the launcher's 2 s wait before it
# starts a game, which lets the player read why the installed version starts.
#
#   offline_start_bench.sh [--files N] [--runs N]   (defaults: 5000 files, 3 runs; root)
#
# It runs in network and mount namespaces of its own. Environment: VELM_OBENCH_WORK, the build,
# the generated game and the runs (default: <repo>/build-obench, about 40 MB).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [ "${VELM_OBENCH_IN_NETNS:-}" != 1 ]; then
    exec unshare --net --mount env VELM_OBENCH_IN_NETNS=1 bash "$0" "$@"
fi
ip link set lo up

files=5000
runs=3
while [ $# -gt 0 ]; do
    case $1 in
    --files) files=$2 ;;
    --runs) runs=$2 ;;
    *)
        echo "usage: $0 [--files N] [--runs N]" >&2
        exit 2
        ;;
    esac
    shift 2
done

work="${VELM_OBENCH_WORK:-$root/build-obench}"
build="$work/build"
publish="$build/velm-publish"
readonly publish_level=1
readonly port=4443
readonly target_s=20
readonly goal_s=5
note() { echo "offline-bench: $*" >&2; }
# shellcheck source=bench/lib.sh
source "$root/bench/lib.sh"
mkdir -p "$work/logs"

note "building a launcher with VELM_OFFLINE_START=ON in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELM_OFFLINE_START=ON -DVELM_TESTS=OFF \
    -DVELM_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target velm-launcher velm-publish >/dev/null

note "a game of $files files, published, installed"
rm -rf "$work/game" "$work/root" "$work/launcher" "$work/server"
python3 - "$work/game" "$files" <<'PY'
import random, sys
from pathlib import Path
root, count = Path(sys.argv[1]), int(sys.argv[2])
rng = random.Random(5)
for i in range(count):
    path = root / f"data/group {i % 50}/file {i:05d}.bin"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(rng.randbytes(4096))
# The stand-in game notes when it started, beside the launcher.
(root / "VELM.exe").write_text('#!/bin/sh\ndate +%s.%N > ../game-started.txt\n')
PY
"$publish" build --level "$publish_level" "$work/game" "$work/root" >"$work/logs/publish.log"
bash "$root/scripts/dev-server.sh" start "$work/root" "$work/server" --port "$port" >"$work/logs/server.log"
bash "$root/scripts/stage-launcher.sh" "$build" "$work/launcher" "$work/server/certs/ca.crt" >/dev/null
run_launcher() { (cd "$work/launcher" && SDL_VIDEODRIVER=dummy DISPLAY= ./velm-launcher >"$work/logs/$1.log" 2>&1) || true; }
run_launcher install
grep -q '^All jobs completed$' "$work/logs/install.log" || { note "the install failed: $work/logs/install.log"; exit 1; }
bash "$root/scripts/dev-server.sh" stop "$work/server" >/dev/null

# A server that never answers: a listener whose queue of connections is full, so that the
# system drops every new one unanswered.
silent_server() {
    python3 - "$port" <<'PY' &
import socket, sys, time
port = int(sys.argv[1])
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", port))
listener.listen(0)
queued = []
for _ in range(3):
    c = socket.socket()
    c.setblocking(False)
    try:
        c.connect(("127.0.0.1", port))
    except BlockingIOError:
        pass
    queued.append(c)
time.sleep(600)
PY
    silent_pid=$!
    sleep 1
}

# Seconds from the launcher's start to the game's, median of $runs.
measure() {
    local name=$1 i t0 times=()
    for i in $(seq "$runs"); do
        rm -f "$work/launcher/game-started.txt"
        t0=$(now)
        run_launcher "$name-$i"
        for _ in $(seq 100); do
            [ -f "$work/launcher/game-started.txt" ] && break
            sleep 0.1
        done
        [ -f "$work/launcher/game-started.txt" ] || { note "the game did not start: $work/logs/$name-$i.log"; exit 1; }
        grep -q 'starting the installed version' "$work/logs/$name-$i.log" || { note "no offline start: $work/logs/$name-$i.log"; exit 1; }
        times+=("$(elapsed "$t0" "$(cat "$work/launcher/game-started.txt")")")
    done
    printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

refused_s=$(measure refused)
silent_server
silent_s=$(measure silent)
kill "$silent_pid" 2>/dev/null || true

echo
echo "offline start, $files current files, median of $runs runs (start to the game, its 2 s wait included):"
printf '  %-34s %6s s   target < %s s: %s   goal < %s s: %s\n' "server refused (nothing listens)" "$refused_s" \
    "$target_s" "$(verdict "$refused_s" "<" "$target_s")" "$goal_s" "$(verdict "$refused_s" "<" "$goal_s")"
printf '  %-34s %6s s   target < %s s: %s   goal < %s s: %s\n' "server silent (connections dropped)" "$silent_s" \
    "$target_s" "$(verdict "$silent_s" "<" "$target_s")" "$goal_s" "$(verdict "$silent_s" "<" "$goal_s")"
