#!/usr/bin/env bash
# The launcher's main job, start to finish, on this machine:
#   1. installs what is missing and builds the launcher and the publisher;
#   2. generates a sample game (a few hundred MB in nested folders, names with spaces, a
#      stand-in VELM.exe and a launcher.dat background with the game's name on it);
#   3. publishes it with velm-publish, signed with the demo's own key (made once), and serves it
#      with the dev update server, rate-limited so that the progress stays visible for a few
#      seconds;
#   4. runs the launcher in a window (under Xvfb when there is no display), saves a screenshot
#      taken mid-download, waits for the game to start, and stops the server.
# Everything generated stays under BUILD_DIR/demo and is reused: the second run finds the
# installation current, downloads nothing and starts the game at once. The launcher that trusts
# the demo's key is built in BUILD_DIR/demo/launcher-build, so that BUILD_DIR's own launcher
# stays the one without keys that the tests use.
#   demo.sh [--fresh]       --fresh: remove the installed game first, to download it again
# Environment: VELM_DEMO_BUILD_DIR (default: build), VELM_DEMO_MB_PER_S (default: 2), sixteen
# times what the server gives each request.
set -euo pipefail
cd "$(dirname "$0")/.."

readonly game_title="Velm Demo Quest"
readonly game_subtitle="a sample game for the VELM Launcher"
readonly sample_seed=20240601
readonly publish_level=3
readonly screenshot_at_s=6 # into the run: past the 5 s before the launcher estimates the time left

build_dir=${VELM_DEMO_BUILD_DIR:-build}
mb_per_s=${VELM_DEMO_MB_PER_S:-2}
fresh=0
case ${1:-} in
"") ;;
--fresh) fresh=1 ;;
*)
  echo "usage: $0 [--fresh]" >&2
  exit 2
  ;;
esac

work=$build_dir/demo
game_src=$work/game-src
server_root=$work/server-root
server_state=$work/server
launcher_dir=$work/launcher
signing_key=$work/signing.key
public_key_file=$work/signing.pub
launcher_build=$work/launcher-build
started_marker=$launcher_dir/game-started.txt
log=$work/launcher.log
screenshot=$work/screenshot.png

step() { printf '\n== %s\n' "$*"; }

xvfb_pid=""
launcher_pid=""
# shellcheck disable=SC2317 # reached through the trap
cleanup() {
  if [ -n "$launcher_pid" ] && kill -0 "$launcher_pid" 2>/dev/null; then
    kill -TERM "$launcher_pid" 2>/dev/null || true
    wait "$launcher_pid" 2>/dev/null || true
  fi
  scripts/dev-server.sh stop "$server_state" >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

# --- 1. dependencies and build ------------------------------------------------------------------
step "installing what is missing"
bash scripts/install-deps.sh

step "building the publisher in $build_dir"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target velm-publish

# The vendor's three steps: a signing key (once, kept off the update server), a publish signed
# with it, and a launcher built with its public key.
mkdir -p "$work"
if [ ! -f "$signing_key" ]; then
  step "making the demo's signing key $signing_key"
  "$build_dir/velm-publish" keygen "$signing_key" >"$public_key_file"
fi
public_key=$(cat "$public_key_file")
step "building the launcher with the public key $public_key in $launcher_build"
# It starts the installed game when the update server cannot be reached (VELM_OFFLINE_START).
cmake -S . -B "$launcher_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELM_TESTS=OFF -DVELM_BENCH=OFF \
  -DVELM_PUBLIC_KEYS="$public_key" -DVELM_OFFLINE_START=ON >/dev/null
cmake --build "$launcher_build" -j"$(nproc)" --target velm-launcher

# --- 2. the sample game ---------------------------------------------------------------------------
if [ -f "$game_src.done" ]; then
  step "sample game: reusing $game_src"
else
  step "generating the sample game in $game_src"
  rm -rf "$game_src"
  mkdir -p "$game_src"
  # Compressible content: each 64 KiB block is 4 KiB of noise and a repeated pattern, so that
  # publishing is quick and the download is about a sixteenth of the installed size.
  python3 - "$game_src" "$sample_seed" <<'EOF'
import random
import sys
from pathlib import Path

root = Path(sys.argv[1])
rng = random.Random(int(sys.argv[2]))
MB = 1024 * 1024
BLOCK = 64 * 1024
NOISE = 4 * 1024

def content(size):
    pattern = rng.randbytes(256)
    filler = pattern * ((BLOCK - NOISE) // len(pattern))
    out = bytearray()
    while len(out) < size:
        out += rng.randbytes(NOISE) + filler
    return bytes(out[:size])

files = {}
for region in ("Forest Valley", "Frozen Peaks", "Sunken City", "Desert Outpost"):
    files[f"maps/{region}/terrain.pak"] = 20 * MB
    files[f"maps/{region}/objects.pak"] = 6 * MB
    files[f"maps/{region}/lighting cache.bin"] = 2 * MB
    files[f"maps/{region}/nav mesh.dat"] = MB // 2
for i in range(1, 13):
    files[f"textures/Hero Skins/skin {i:02d}.tex"] = 3 * MB
for i in range(1, 21):
    files[f"textures/World/stone wall {i:02d}.dds"] = 2 * MB
for i in range(1, 16):
    files[f"sounds/Ambient Loops/loop {i:02d}.ogg"] = MB
for i in range(1, 61):
    files[f"sounds/Effects/sfx {i:03d}.wav"] = 128 * 1024
files["music/Main Theme.ogg"] = 8 * MB
files["music/Battle Theme.ogg"] = 7 * MB
files["music/Credits Roll.ogg"] = 6 * MB
files["videos/Intro Movie.bik"] = 40 * MB

total = 0
for name, size in files.items():
    path = root / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(content(size))
    total += size
settings = root / "config" / "default settings.ini"
settings.parent.mkdir(parents=True, exist_ok=True)
settings.write_text("[video]\nwidth = 1920\nheight = 1080\n[audio]\nvolume = 80\n")
print(f"{len(files) + 1} data files, {total // MB} MB")
EOF
  # The stand-in game: it says that it started, and leaves a note beside the launcher.
  cat >"$game_src/VELM.exe" <<'EOF'
#!/bin/sh
# Stand-in for the game: the launcher starts it in game/ once every file is current.
echo "*** VELM (stand-in game) started in $(pwd) at $(date +%T)"
date +%T >../game-started.txt
EOF
  scripts/make-background.sh "$game_src/launcher.dat" "$game_title" "$game_subtitle"
  touch "$game_src.done"
fi

# --- 3. publish and serve -------------------------------------------------------------------------
step "publishing with velm-publish build --level $publish_level --sign $signing_key"
# One line per file; the last two say how it was signed and how many were published.
"$build_dir/velm-publish" build --level "$publish_level" --sign "$signing_key" --channel localhost:4443/windows \
  "$game_src" "$server_root" |
  tail -n 2 | sed 's/^/  /'
du -sh --apparent-size "$game_src" "$server_root" | sed 's/^/  /'

# nginx caps each request, and the launcher keeps many in flight: the cap is a share of the
# bandwidth, so that many small files together and the last large ones alone both show progress.
readonly rate_shares=16
rate=$((mb_per_s * 1024 / rate_shares))k
step "starting the dev update server, $rate per request"
scripts/dev-server.sh start "$server_root" "$server_state" --rate "$rate" --http2

step "staging the launcher in $launcher_dir"
if [ "$fresh" -eq 1 ]; then
  rm -rf "$launcher_dir/game"
fi
scripts/stage-launcher.sh "$launcher_build" "$launcher_dir" "$server_state/certs/ca.crt"
rm -f "$started_marker"
if [ -d "$launcher_dir/game" ]; then
  echo "  game/ is already installed: this run checks it against the file list"
else
  echo "  no game/ yet: this run installs the game"
fi

# --- 4. the launcher in a window --------------------------------------------------------------------
if [ -n "${DISPLAY:-}" ]; then
  step "running the launcher on display $DISPLAY"
else
  step "no display: starting Xvfb"
  display_file=$work/xvfb.display
  rm -f "$display_file"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$display_file" \
    >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    grep -q '^[0-9]\+$' "$display_file" 2>/dev/null && break
    sleep 0.1
  done
  grep -q '^[0-9]\+$' "$display_file" || {
    echo "demo: Xvfb did not start; $work/xvfb.log says:" >&2
    cat "$work/xvfb.log" >&2
    exit 1
  }
  DISPLAY=":$(cat "$display_file")"
  export DISPLAY
  echo "  Xvfb on $DISPLAY"
fi
unset SDL_VIDEODRIVER

started_ns=$(date +%s%N)
(cd "$launcher_dir" && exec ./velm-launcher) >"$log" 2>&1 &
launcher_pid=$!
tail -n +1 --pid="$launcher_pid" -f "$log" | sed 's/^/  | /' &
tail_pid=$!

# A screenshot mid-download: the downloaded background shows, the bars and the status line are
# up, and the launcher has run long enough to estimate the time left.
shot_taken=0
while kill -0 "$launcher_pid" 2>/dev/null && ! grep -q '^All jobs completed$' "$log"; do
  now_ns=$(date +%s%N)
  if [ $(((now_ns - started_ns) / 1000000000)) -ge "$screenshot_at_s" ] &&
    grep -q '^replacing background image$' "$log"; then
    window=$(xdotool search --onlyvisible --name '^VELM Launcher$' 2>/dev/null | head -n 1 || true)
    if [ -n "$window" ] && import -window "$window" "$screenshot" 2>/dev/null; then
      shot_taken=1
    fi
    break
  fi
  sleep 0.1
done

status=0
wait "$launcher_pid" || status=$?
launcher_pid=""
wait "$tail_pid" 2>/dev/null || true
elapsed_ms=$((($(date +%s%N) - started_ns) / 1000000))

# --- summary -----------------------------------------------------------------------------------
step "summary"
# Every transfer but those of the file list and its signature.
fetched_files=$(grep '^200 |' "$log" | grep -vc '/manifest\.dat\.zs\(\.sig\)\?$' || true)
printf '  launcher exit status %d after %d.%d s\n' "$status" $((elapsed_ms / 1000)) $((elapsed_ms % 1000 / 100))
if [ "$fetched_files" -eq 0 ]; then
  echo "  every file was current: only the file list was fetched"
else
  echo "  fetched $fetched_files files (and the signed file list)"
fi
for _ in $(seq 30); do
  [ -f "$started_marker" ] && break
  sleep 0.1
done
if [ -f "$started_marker" ]; then
  echo "  the game started at $(cat "$started_marker")"
else
  echo "  the game did not start (see $log)"
  status=1
fi
if [ "$shot_taken" -eq 1 ]; then
  echo "  screenshot taken mid-download: $screenshot"
elif [ "$fetched_files" -gt 0 ]; then
  echo "  no screenshot: the download ended before one could be taken"
fi
echo "  run it again to see the installation found current; --fresh downloads it again"
exit "$status"
