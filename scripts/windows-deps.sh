#!/usr/bin/env bash
# Cross-builds the launcher's libraries for Windows x86-64 as static libraries, from Debian's
# bookworm source packages: zstd, nghttp2 (HTTP/2 for curl), curl (Schannel, Windows' own TLS),
# libsodium (the file list's signature), SDL2, freetype, SDL2_ttf and SDL2_image (PNG through
# its built-in stb decoder).
#   windows-deps.sh     prints the prefix that holds them (include/, lib/, lib/cmake/) on stdout
#
# The prefix is cached outside the clone, under VELM_MINGW_CACHE (default /var/cache/velm-mingw),
# keyed on the source package versions, this script and the toolchain file: a warm run only
# refreshes the private source index and prints the prefix. Sources come through a private apt
# configuration in the cache (its own deb-src entry, lists and archives); the system's apt
# sources are never touched. Progress goes to standard error, each package's build log to
# CACHE/build-KEY/logs/.
set -euo pipefail

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(dirname "$script_dir")
toolchain=$repo_dir/cmake/mingw-w64-x86_64.cmake
cache=${VELM_MINGW_CACHE:-/var/cache/velm-mingw}
jobs=${VELM_JOBS:-2} # the machine is shared: two compile jobs at most
readonly triple=x86_64-w64-mingw32
readonly keyring=/usr/share/keyrings/debian-archive-keyring.gpg
# Debian source packages, in build order: each one finds the ones before it in the prefix.
readonly packages=(libzstd nghttp2 curl libsodium libsdl2 freetype libsdl2-ttf libsdl2-image)

log() { echo "windows-deps: $*" >&2; }
die() {
  log "$*"
  exit 1
}

for tool in apt-get dpkg-source cmake ninja autoreconf libtoolize make "$triple-gcc-posix" "$triple-g++-posix" \
  "$triple-windres"; do
  command -v "$tool" >/dev/null || die "missing $tool (run scripts/install-deps.sh)"
done

mkdir -p "$cache"
# One run at a time: CI and developers may share the cache.
exec 9>"$cache/.lock"
flock 9

# --- private apt configuration --------------------------------------------------------------

apt_dir=$cache/apt
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/archives/partial"
: >"$apt_dir/sources.list"
apt_opts=(
  -o "Dir::Etc::sourcelist=$apt_dir/sources.list"
  -o "Dir::Etc::sourceparts=$apt_dir/sources.list.d"
  -o "Dir::State::Lists=$apt_dir/lists"
  -o "Dir::Cache::Archives=$apt_dir/archives"
  -o "APT::Sandbox::User=root" # the cache belongs to root; apt's own user could not write it
  -q
)

# The deb-src entry uses the Debian mirror the system already uses for its bookworm packages.
# Only the bookworm suite: its point releases carry the security fixes, and the mirror here
# serves no sources for the security suite.
write_source_entry() {
  local entries
  entries=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 'Target-Of: deb' 'Component: main' |
    awk '$2 == "bookworm"' | sort -u)
  [ -n "$entries" ] || die "the system's apt sources name no Debian bookworm main suite"
  local uri suites
  {
    echo "# Written by windows-deps.sh: Debian bookworm sources for the Windows build."
    for uri in $(awk '{print $1}' <<<"$entries" | sort -u); do
      suites=$(awk -v u="$uri" '$1 == u {printf "%s ", $2}' <<<"$entries")
      printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n\n' \
        "$uri" "${suites% }" "$keyring"
    done
  } >"$apt_dir/sources.list.d/velm-bookworm-src.sources"
}

write_source_entry
log "updating the private source index"
if ! apt-get "${apt_opts[@]}" update >"$apt_dir/update.log" 2>&1; then
  tail -n 20 "$apt_dir/update.log" >&2
  # An index from an earlier run still names versions: a cached prefix stays usable offline.
  compgen -G "$apt_dir/lists/*Sources*" >/dev/null || die "apt-get update failed with the private configuration"
  log "apt-get update failed; using the source index of an earlier run"
fi

# The version apt-get source would fetch: from the name of its .dsc file.
source_version() {
  local dsc
  dsc=$(apt-get "${apt_opts[@]}" source --only-source --print-uris "$1" 2>/dev/null |
    awk '{print $2}' | grep '\.dsc$' | head -n 1)
  [ -n "$dsc" ] || die "no source package $1 in the private index"
  dsc=${dsc%.dsc}
  echo "${dsc#*_}"
}

declare -A version
versions_text=""
for pkg in "${packages[@]}"; do
  version[$pkg]=$(source_version "$pkg")
  versions_text+="$pkg ${version[$pkg]}"$'\n'
done
key=$( (printf '%s' "$versions_text" && cat "${BASH_SOURCE[0]}" "$toolchain") | sha256sum | cut -c1-16)
prefix=$cache/prefix-$key

readonly kept_prefixes=3 # other checkouts on this machine may build other versions

# Keeps the most recently used prefixes, this one among them.
prune_prefixes() {
  touch "$prefix/.last-used"
  ls -1t "$cache"/prefix-*/.last-used 2>/dev/null | tail -n +$((kept_prefixes + 1)) |
    while read -r stamp; do rm -rf "$(dirname "$stamp")"; done
  # Left by older versions of this script, or by failed builds.
  find "$cache" -mindepth 1 -maxdepth 1 -name 'prefix-*' ! -exec test -e '{}/.last-used' \; \
    -exec rm -rf {} +
  find "$cache" -mindepth 1 -maxdepth 1 -name 'build-*' ! -name "build-$key" -exec rm -rf {} +
}

if [ -f "$prefix/.complete" ]; then
  prune_prefixes
  log "cached: $prefix"
  echo "$prefix"
  exit 0
fi

# --- cold build -----------------------------------------------------------------------------

work=$cache/build-$key
rm -rf "$prefix" "$work"
mkdir -p "$prefix" "$work/logs"
log "building into $prefix (logs in $work/logs)"
printf '%s' "$versions_text" >"$prefix/versions.txt"

# The cross build must see only the prefix's pkg-config files, never the build machine's.
export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig
export PKG_CONFIG_PATH=""
# No path of this build ends up in the libraries (their __FILE__ strings), hence in the launcher.
export CFLAGS="-O2 -ffile-prefix-map=$work=." CXXFLAGS="-O2 -ffile-prefix-map=$work=."

fetch() {
  local pkg=$1
  (cd "$work" && apt-get "${apt_opts[@]}" source --only-source "$pkg=${version[$pkg]}") \
    >"$work/logs/$pkg-fetch.log" 2>&1 || {
    tail -n 20 "$work/logs/$pkg-fetch.log" >&2
    die "apt-get source $pkg failed"
  }
  local upstream=${version[$pkg]#*:}
  upstream=${upstream%-*}
  local dir=$work/$pkg-$upstream
  [ -d "$dir" ] || dir=$(find "$work" -maxdepth 1 -type d -name "$pkg-*" | head -n 1)
  [ -d "$dir" ] || die "apt-get source $pkg unpacked no directory"
  echo "$dir"
}

# cmake_build NAME SOURCE_DIR [CMAKE OPTIONS...]: configure, build and install into the prefix.
cmake_build() {
  local name=$1 src=$2
  shift 2
  local build=$work/$name-build started=$SECONDS
  if ! {
    cmake -S "$src" -B "$build" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DVELM_MINGW_PREFIX="$prefix" \
      -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF "$@" &&
      cmake --build "$build" -j"$jobs" &&
      cmake --install "$build"
  } >"$work/logs/$name.log" 2>&1; then
    tail -n 30 "$work/logs/$name.log" >&2
    die "building $name failed (whole log: $work/logs/$name.log)"
  fi
  log "$name ${version[$name]:-} built in $((SECONDS - started)) s"
}

# autotools_build NAME SOURCE_DIR [CONFIGURE OPTIONS...]: for a source package that ships no
# configure script (regenerated here), then configure, build and install into the prefix.
autotools_build() {
  local name=$1 src=$2
  shift 2
  local started=$SECONDS
  if ! {
    (cd "$src" && autoreconf -fi) &&
      (cd "$src" && ./configure --host="$triple" CC="$triple-gcc-posix" --prefix="$prefix" \
        --enable-static --disable-shared --disable-dependency-tracking "$@") &&
      make -C "$src" -j"$jobs" &&
      make -C "$src" install
  } >"$work/logs/$name.log" 2>&1; then
    tail -n 30 "$work/logs/$name.log" >&2
    die "building $name failed (whole log: $work/logs/$name.log)"
  fi
  log "$name ${version[$name]:-} built in $((SECONDS - started)) s"
}

src=$(fetch libzstd)
cmake_build libzstd "$src/build/cmake" \
  -DZSTD_BUILD_STATIC=ON -DZSTD_BUILD_SHARED=OFF -DZSTD_BUILD_PROGRAMS=OFF \
  -DZSTD_BUILD_TESTS=OFF -DZSTD_BUILD_CONTRIB=OFF -DZSTD_MULTITHREAD_SUPPORT=OFF \
  -DZSTD_LEGACY_SUPPORT=OFF

# HTTP/2 for curl, so that the launcher's transfers share a few connections as streams. With
# both clock_gettime (winpthreads) and GetTickCount64 found, this version's nghttp2_time.c calls
# a function it does not define: Windows' own clock alone.
src=$(fetch nghttp2)
cmake_build nghttp2 "$src" \
  -DENABLE_LIB_ONLY=ON -DENABLE_STATIC_LIB=ON -DENABLE_SHARED_LIB=OFF -DENABLE_DOC=OFF \
  -DHAVE_CLOCK_GETTIME=OFF

# Schannel only: no OpenSSL, and no optional library the launcher does not need but nghttp2
# (static: its header must not ask for a DLL's imports). Schannel takes the CA file the
# launcher names; no default bundle or path is compiled in. Its own flags keep the shared ones.
src=$(fetch curl)
cmake_build curl "$src" -DCMAKE_C_FLAGS="$CFLAGS -DNGHTTP2_STATICLIB" \
  -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none \
  -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF -DHTTP_ONLY=ON \
  -DCURL_DISABLE_LDAP=ON -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF \
  -DUSE_NGHTTP2=ON -DUSE_LIBIDN2=OFF -DUSE_WIN32_IDN=OFF -DCURL_USE_LIBSSH2=OFF \
  -DCURL_USE_LIBSSH=OFF -DCURL_USE_GSSAPI=OFF -DENABLE_UNIX_SOCKETS=OFF

# Ed25519 and SHA-256. Without -fstack-protector, whose runtime the launcher does not link.
src=$(fetch libsodium)
autotools_build libsodium "$src" --disable-ssp

# Video, events, threads and timers are what the launcher uses.
src=$(fetch libsdl2)
cmake_build libsdl2 "$src" \
  -DSDL_SHARED=OFF -DSDL_STATIC=ON -DSDL_TEST=OFF -DSDL_AUDIO=OFF -DSDL_JOYSTICK=OFF \
  -DSDL_HAPTIC=OFF -DSDL_HIDAPI=OFF -DSDL_SENSOR=OFF

src=$(fetch freetype)
cmake_build freetype "$src" \
  -DFT_DISABLE_ZLIB=ON -DFT_DISABLE_BZIP2=ON -DFT_DISABLE_PNG=ON -DFT_DISABLE_HARFBUZZ=ON \
  -DFT_DISABLE_BROTLI=ON

# Debian's repack dropped the bundled libraries: use the freetype just built.
src=$(fetch libsdl2-ttf)
cmake_build libsdl2-ttf "$src" \
  -DSDL2TTF_VENDORED=OFF -DSDL2TTF_HARFBUZZ=OFF -DSDL2TTF_SAMPLES=OFF

src=$(fetch libsdl2-image)
image_formats=(AVIF BMP GIF JPG JXL LBM PCX PNM QOI SVG TGA TIF WEBP XCF XPM XV)
image_opts=()
for format in "${image_formats[@]}"; do
  image_opts+=("-DSDL2IMAGE_$format=OFF")
done
cmake_build libsdl2-image "$src" \
  -DSDL2IMAGE_VENDORED=OFF -DSDL2IMAGE_BACKEND_STB=ON -DSDL2IMAGE_BACKEND_WIC=OFF \
  -DSDL2IMAGE_PNG=ON -DSDL2IMAGE_SAMPLES=OFF -DSDL2IMAGE_DEPS_SHARED=OFF "${image_opts[@]}"
# Its installed package configuration asks for libpng whenever PNG is on, although the stb
# decoder needs no libpng: ask for it only without the stb backend.
image_config=$prefix/lib/cmake/SDL2_image/SDL2_imageConfig.cmake
png_request='if(SDL2IMAGE_PNG AND NOT SDL2IMAGE_VENDORED AND NOT TARGET PNG::PNG)'
grep -qxF "$png_request" "$image_config" || die "$image_config: no libpng request to patch"
sed -i "s/^if(SDL2IMAGE_PNG AND NOT SDL2IMAGE_VENDORED /if(SDL2IMAGE_PNG AND NOT SDL2IMAGE_BACKEND_STB AND NOT SDL2IMAGE_VENDORED /" \
  "$image_config"

touch "$prefix/.complete"
rm -rf "$work"
prune_prefixes
log "done: $prefix"
echo "$prefix"
