#!/usr/bin/env bash
# Makes the Windows package: a zip whose contents, unpacked into any folder, are a working
# launcher directory: velm-launcher.exe, the font it draws with and the certificate authority
# bundle it trusts (curl-ca-bundle.crt).
#   windows-package.sh [--public-keys KEYS] [--constant NAME=VALUE]... [SIGNING] UPDATE_URL OUT_ZIP [CA_BUNDLE]
#   SIGNING: --sign-cert CERT --sign-key KEY [--sign-pass PASS_FILE] [--timestamp URL]
# KEYS are the public keys (velm-publish keygen) of the vendor's signed file lists,
# comma-separated: the launcher then installs only lists signed by one of them.
# --constant sets any other build-time constant (the README's table), as often as needed, such
# as VELM_GAME_EXE, VELM_PRODUCT_NAME, VELM_VERSION, VELM_VENDOR, VELM_INSTANCE_NAME or
# VELM_OFFLINE_START=ON (start the installed game when the update server cannot be reached); one
# not given has its default, whatever an earlier package had.
# UPDATE_URL is the update server's base URL, compiled in: https, a DNS name (Windows' TLS
# matches certificates against DNS names only), ending in '/'; several, comma-separated, are the
# server and its mirrors, tried in order. The launcher's own files come from the folder
# "launcher-windows/" beside each (VELM_LAUNCHER_URL and VELM_LAUNCHER_CHANNEL say otherwise;
# VELM_LAUNCHER_URL=OFF: the launcher never updates itself). CA_BUNDLE defaults to the
# system's Mozilla bundle (/etc/ssl/certs/ca-certificates.crt, Debian's ca-certificates), as a
# production package needs; a development package takes the dev server's authority
# (STATE_DIR/certs/ca.crt of dev-server.sh). The build goes to build-win-package (or
# VELM_PACKAGE_BUILD_DIR), apart from the tested build-win.
# With a code-signing certificate (CERT, its chain after it, PEM or DER) and its private key
# (KEY; PASS_FILE holds its password), the executable is signed with Authenticode (osslsigncode,
# SHA-256) before it is zipped; a timestamp server's URL (RFC 3161) keeps the signature valid
# after the certificate expires.
set -euo pipefail

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(dirname "$script_dir")
readonly font=/usr/share/fonts/truetype/roboto/unhinted/RobotoCondensed-BoldItalic.ttf
readonly system_bundle=/etc/ssl/certs/ca-certificates.crt
readonly exe_name=velm-launcher.exe

die() {
  echo "windows-package: $*" >&2
  exit 1
}

usage() {
  echo "usage: $0 [--public-keys KEYS] [--constant NAME=VALUE]... [--sign-cert CERT --sign-key KEY [--sign-pass PASS_FILE] [--timestamp URL]] UPDATE_URL OUT_ZIP [CA_BUNDLE]" >&2
  exit 2
}

sign_cert=""
sign_key=""
sign_pass=""
timestamp_url=""
public_keys=""
constants=()
while [ $# -gt 0 ] && [[ $1 == --* ]]; do
  [ $# -ge 2 ] || usage
  case $1 in
  --sign-cert) sign_cert=$2 ;;
  --sign-key) sign_key=$2 ;;
  --sign-pass) sign_pass=$2 ;;
  --timestamp) timestamp_url=$2 ;;
  --public-keys) public_keys=$2 ;;
  --constant)
    [[ $2 =~ ^VELM_[A-Z0-9_]+= ]] || die "a constant is VELM_NAME=VALUE: $2"
    [[ $2 != VELM_UPDATE_URL=* && $2 != VELM_PUBLIC_KEYS=* ]] || die "the update URL and the keys have their own arguments: $2"
    constants+=("-D$2")
    ;;
  *) usage ;;
  esac
  shift 2
done
if [ $# -lt 2 ] || [ $# -gt 3 ]; then
  usage
fi
url=$1
out=$2
ca_bundle=${3:-$system_bundle}
build_dir=${VELM_PACKAGE_BUILD_DIR:-$repo_dir/build-win-package}

IFS=, read -r -a urls <<<"$url"
for one in "${urls[@]}"; do
  [[ $one =~ ^https://(\[[^]/,]*\]|[^]/:,[]+)(:[0-9]+)?/([^,]*/)?$ ]] ||
    die "an update URL must be https://HOST[:PORT]/PATH/, ending in '/' (several: comma-separated): $one"
  host=${BASH_REMATCH[1]}
  # An IPv4 address in any of its forms (dotted, one number, hexadecimal) or an IPv6 one in brackets.
  [[ ! $host =~ ^(\[.*|[0-9.]+|0[xX][0-9a-fA-F.xX]+)$ ]] ||
    die "an update URL must name its host (Windows' TLS matches DNS names only): $one"
done
[ -f "$font" ] || die "missing $font (Debian package fonts-roboto-unhinted)"
openssl x509 -in "$ca_bundle" -noout 2>/dev/null || die "$ca_bundle is not a PEM certificate bundle"
command -v zip >/dev/null || die "missing zip (run scripts/install-deps.sh)"
signing=""
if [ -n "$sign_cert$sign_key$sign_pass$timestamp_url" ]; then
  if [ -z "$sign_cert" ] || [ -z "$sign_key" ]; then
    die "signing needs both --sign-cert and --sign-key"
  fi
  for file in "$sign_cert" "$sign_key" ${sign_pass:+"$sign_pass"}; do
    if ! [ -f "$file" ] || ! [ -r "$file" ]; then
      die "cannot read $file"
    fi
  done
  [ -z "$timestamp_url" ] || [[ $timestamp_url =~ ^https?:// ]] || die "the timestamp URL must be http(s)://...: $timestamp_url"
  command -v osslsigncode >/dev/null || die "missing osslsigncode (run scripts/install-deps.sh)"
  signing=1
fi

# A fresh configuration: a constant left out has its default, never an earlier package's value
# (unchanged sources are not compiled again).
rm -f "$build_dir/CMakeCache.txt"
VELM_BUILD_TARGET=velm-launcher bash "$script_dir/windows-build.sh" "$build_dir" -DVELM_UPDATE_URL="$url" -DVELM_PUBLIC_KEYS="$public_keys" \
  ${constants[@]+"${constants[@]}"} >&2

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
# Symbols are for debugging the build, not for players.
x86_64-w64-mingw32-strip -o "$stage/$exe_name" "$build_dir/$exe_name"
if [ -n "$signing" ]; then
  # Signed last: any later change to the file would break the signature.
  product_name=$(sed -n 's/^VELM_PRODUCT_NAME:STRING=//p' "$build_dir/CMakeCache.txt")
  sign_args=(sign -certs "$sign_cert" -key "$sign_key" -h sha256 -n "$product_name"
    -in "$stage/$exe_name" -out "$stage/signed.exe")
  [ -z "$sign_pass" ] || sign_args+=(-readpass "$sign_pass")
  [ -z "$timestamp_url" ] || sign_args+=(-ts "$timestamp_url")
  osslsigncode "${sign_args[@]}" >&2 || die "osslsigncode could not sign $exe_name"
  mv "$stage/signed.exe" "$stage/$exe_name"
fi
cp "$font" "$stage/"
cp "$ca_bundle" "$stage/curl-ca-bundle.crt"

mkdir -p "$(dirname "$out")"
out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")
rm -f "$out"
(cd "$stage" && zip -q -X "$out" "$exe_name" "$(basename "$font")" curl-ca-bundle.crt)
echo "windows-package: $out (update URL $url, authorities from $ca_bundle${signing:+, signed with $sign_cert}${public_keys:+, file lists signed by $public_keys})"
