#!/usr/bin/env bash
# Makes the development certificate authority and a server certificate for localhost signed by it:
#   dev-cert.sh DIR [IP...]
#   DIR/ca.crt DIR/ca.key          the authority; the launcher's curl-ca-bundle.crt is a copy of ca.crt
#   DIR/server.crt DIR/server.key  for DNS:localhost and IP:127.0.0.1 (and each IP given, such as
#                                  the server's address in a benchmark's network namespace),
#                                  server authentication only
# Idempotent: a valid set is kept; a valid authority is kept when only the server certificate
# needs renewing, so bundles already staged stay good.
set -euo pipefail

usage() {
  echo "usage: $0 DIR [IP...]" >&2
  exit 2
}
[ $# -ge 1 ] || usage
dir=$1
shift
extra_ips=("$@")
for ip in "${extra_ips[@]}"; do
  [[ $ip =~ ^[0-9A-Fa-f.:]+$ ]] || usage
done

readonly ca_days=3650
readonly server_days=825       # the longest lifetime some TLS clients accept for a server certificate
readonly renew_margin=$((7 * 86400)) # renew what expires within a week
readonly key_bits=2048         # RSA: every TLS backend the launcher may use (OpenSSL, Schannel) takes it

mkdir -p "$dir"
# One run at a time per directory: the dev server and the tests may call this concurrently.
exec 9>"$dir/.lock"
flock 9

# Succeeds when KEY holds the private key of certificate CRT.
key_matches() {
  local crt=$1 key=$2
  [ "$(openssl x509 -in "$crt" -noout -pubkey 2>/dev/null)" = \
    "$(openssl pkey -in "$key" -pubout 2>/dev/null)" ]
}

ca_valid() {
  [ -s "$dir/ca.crt" ] && [ -s "$dir/ca.key" ] &&
    openssl x509 -in "$dir/ca.crt" -noout -checkend "$renew_margin" >/dev/null 2>&1 &&
    key_matches "$dir/ca.crt" "$dir/ca.key"
}

server_valid() {
  [ -s "$dir/server.crt" ] && [ -s "$dir/server.key" ] &&
    openssl x509 -in "$dir/server.crt" -noout -checkend "$renew_margin" >/dev/null 2>&1 &&
    key_matches "$dir/server.crt" "$dir/server.key" &&
    openssl verify -CAfile "$dir/ca.crt" -purpose sslserver \
      -verify_hostname localhost -verify_ip 127.0.0.1 "$dir/server.crt" >/dev/null 2>&1 &&
    extra_ips_covered
}

# Succeeds when the server certificate names every extra address (a certificate made for more
# addresses than asked for still serves).
extra_ips_covered() {
  local ip
  for ip in "${extra_ips[@]}"; do
    openssl verify -CAfile "$dir/ca.crt" -purpose sslserver -verify_ip "$ip" \
      "$dir/server.crt" >/dev/null 2>&1 || return 1
  done
}

tmp=$(mktemp -d "$dir/.new.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
umask 077 # private keys readable by their owner only

new_ca=0
if ! ca_valid; then
  openssl req -x509 -new -newkey "rsa:$key_bits" -nodes -sha256 -days "$ca_days" \
    -subj "/CN=VELM Launcher development CA" \
    -keyout "$tmp/ca.key" -out "$tmp/ca.crt" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -addext "subjectKeyIdentifier=hash" 2>/dev/null
  chmod 644 "$tmp/ca.crt"
  mv "$tmp/ca.key" "$dir/ca.key"
  mv "$tmp/ca.crt" "$dir/ca.crt"
  new_ca=1
  echo "dev-cert: new certificate authority in $dir/ca.crt"
fi

if [ "$new_ca" -eq 1 ] || ! server_valid; then
  names="DNS:localhost, IP:127.0.0.1"
  for ip in "${extra_ips[@]}"; do
    names+=", IP:$ip"
  done
  cat >"$tmp/server.ext" <<EOF
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = $names
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
  openssl req -new -newkey "rsa:$key_bits" -nodes -sha256 -subj "/CN=localhost" \
    -keyout "$tmp/server.key" -out "$tmp/server.csr" 2>/dev/null
  openssl x509 -req -in "$tmp/server.csr" -sha256 -days "$server_days" \
    -CA "$dir/ca.crt" -CAkey "$dir/ca.key" -set_serial "0x$(openssl rand -hex 16)" \
    -extfile "$tmp/server.ext" -out "$tmp/server.crt" 2>/dev/null
  chmod 644 "$tmp/server.crt"
  mv "$tmp/server.key" "$dir/server.key"
  mv "$tmp/server.crt" "$dir/server.crt"
  echo "dev-cert: new server certificate in $dir/server.crt"
fi

server_valid || {
  echo "dev-cert: the certificates in $dir do not verify" >&2
  exit 1
}
