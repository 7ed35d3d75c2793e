#!/usr/bin/env bash
# Makes a runnable launcher directory: the executable, the font it draws with, and the
# certificate authority bundle it trusts, all in DEST_DIR (the launcher's working directory).
#   stage-launcher.sh BUILD_DIR DEST_DIR CA_BUNDLE
# CA_BUNDLE is the dev authority (certs/ca.crt of dev-server.sh's STATE_DIR) for development and
# tests, or the system's bundle (/etc/ssl/certs/ca-certificates.crt) for a production package.
set -euo pipefail

readonly font=/usr/share/fonts/truetype/roboto/unhinted/RobotoCondensed-BoldItalic.ttf
readonly exe_name=velm-launcher

if [ $# -ne 3 ]; then
  echo "usage: $0 BUILD_DIR DEST_DIR CA_BUNDLE" >&2
  exit 2
fi
build_dir=$1
dest=$2
ca_bundle=$3

[ -f "$font" ] || {
  echo "stage-launcher: missing $font (Debian package fonts-roboto-unhinted)" >&2
  exit 1
}
openssl x509 -in "$ca_bundle" -noout 2>/dev/null || {
  echo "stage-launcher: $ca_bundle is not a PEM certificate bundle" >&2
  exit 1
}

mkdir -p "$dest"
if [ -f "$build_dir/$exe_name" ]; then
  cp -p "$build_dir/$exe_name" "$dest/$exe_name"
else
  echo "stage-launcher: warning: no $build_dir/$exe_name yet; staged the data files only" >&2
fi
cp "$font" "$dest/"
cp "$ca_bundle" "$dest/curl-ca-bundle.crt"
echo "stage-launcher: $dest is ready"
