#!/usr/bin/env bash
# A CDN edge in front of the development update server: Apache Traffic Server (Debian package
# trafficserver) on 127.0.0.1:PORT over HTTPS, caching what it fetches from nginx on ORIGIN_PORT,
# configured as the README's "Serving through a CDN" recommends:
#   - manifest.dat.zs and its statement manifest.dat.zs.sig are revalidated with the origin at
#     every request (a cached list or statement would hold players on an old publish, or make
#     every signed launcher refuse the fresh list);
#   - a .zs asked for with its SHA-1 as the query, and every patch, is cached for a week under its
#     whole URL, query included: each version of a file has a key of its own;
#   - concurrent requests for an object not yet cached wait for the one fetch of it and read it
#     while it arrives, so the origin sends each file about once however many players ask.
#   cdn-edge.sh start STATE_DIR ORIGIN_PORT [--port PORT]
#   cdn-edge.sh stop STATE_DIR
# Everything Traffic Server writes (configuration, cache, logs) stays in STATE_DIR. Its server
# certificate is STATE_DIR/certs/server.crt (dev-cert.sh; certificates already there are kept,
# so a test can give the edge and the origin one authority), and it trusts STATE_DIR/certs/ca.crt
# for the origin's. PORT defaults to 4443, the port of the default update URL.
set -euo pipefail

readonly default_port=4443
readonly max_port=65535
readonly start_polls=100 # 100 ms apart
readonly stop_polls=50
readonly open_read_retries=2000 # 10 ms apart: a request waits up to 20 s for another's fetch

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

usage() {
  echo "usage: $0 start STATE_DIR ORIGIN_PORT [--port PORT] | stop STATE_DIR" >&2
  exit 2
}

check_port() {
  if ! [[ $1 =~ ^[1-9][0-9]{0,4}$ ]] || [ "$1" -gt "$max_port" ]; then
    echo "cdn-edge: a port number from 1 to $max_port: $1" >&2
    usage
  fi
}

running_pid() {
  local pid
  [ -s "$1/edge.pid" ] || return 1
  pid=$(<"$1/edge.pid")
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  # A stale pid file may name a pid reused by another program: only Traffic Server counts.
  case $(ps -p "$pid" -o comm= 2>/dev/null) in
  traffic_server | "[TS_MAIN]") echo "$pid" ;;
  *) return 1 ;;
  esac
}

stop_edge() {
  local state=$1 pid i
  if ! pid=$(running_pid "$state"); then
    echo "cdn-edge: not running from $state"
    return 0
  fi
  kill -TERM "$pid" 2>/dev/null || true
  for ((i = 0; i < stop_polls; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null
  rm -f "$state/edge.pid"
  echo "cdn-edge: stopped"
}

write_config() {
  local state=$1 origin_port=$2 port=$3
  mkdir -p "$state/etc" "$state/log" "$state/run" "$state/cache" "$state/var"
  cp -r /etc/trafficserver/body_factory "$state/etc/"
  for file in hosting.config parent.config plugin.config socks.config splitdns.config sni.yaml strategies.yaml \
    volume.config ip_allow.yaml; do
    cp "/etc/trafficserver/$file" "$state/etc/"
  done
  cat >"$state/runroot.yaml" <<EOF
prefix: /usr
exec_prefix: /usr
bindir: /usr/bin
sbindir: /usr/sbin
sysconfdir: $state/etc
datadir: /usr/share/trafficserver
includedir: /usr/include
libdir: /usr/lib/trafficserver
libexecdir: /usr/lib/trafficserver/modules
localstatedir: $state/var
runtimedir: $state/run
logdir: $state/log
cachedir: $state/cache
bodyfactorydir: $state/etc/body_factory
plugindir: /usr/lib/trafficserver/modules
EOF
  # "#-1": stay the user who started it (the tests run as root in namespaces of their own).
  cat >"$state/etc/records.config" <<EOF
CONFIG proxy.config.admin.user_id STRING #-1
CONFIG proxy.config.http.server_ports STRING $port:ssl
CONFIG proxy.config.exec_thread.autoconfig INT 0
CONFIG proxy.config.exec_thread.limit INT 2
CONFIG proxy.config.ssl.server.cert.path STRING $state/certs
CONFIG proxy.config.ssl.server.private_key.path STRING $state/certs
CONFIG proxy.config.ssl.client.CA.cert.filename STRING $state/certs/ca.crt
CONFIG proxy.config.ssl.client.verify.server.policy STRING ENFORCED
CONFIG proxy.config.ssl.client.verify.server.properties STRING SIGNATURE
CONFIG proxy.config.url_remap.remap_required INT 1
CONFIG proxy.config.reverse_proxy.enabled INT 1
CONFIG proxy.config.http.cache.http INT 1
CONFIG proxy.config.http.cache.cache_urls_that_look_dynamic INT 1
CONFIG proxy.config.http.cache.required_headers INT 2
CONFIG proxy.config.cache.enable_read_while_writer INT 1
CONFIG proxy.config.http.cache.max_open_read_retries INT $open_read_retries
CONFIG proxy.config.http.cache.open_read_retry_time INT 10
CONFIG proxy.config.cache.ram_cache.size INT 67108864
CONFIG proxy.config.http.insert_response_via_str INT 0
CONFIG proxy.config.log.logging_enabled INT 0
CONFIG proxy.config.net.connections_throttle INT 10000
EOF
  echo "dest_ip=* ssl_cert_name=server.crt ssl_key_name=server.key" >"$state/etc/ssl_multicert.config"
  echo "$state/cache 256M" >"$state/etc/storage.config"
  # The origin is named by its address: the edge checks its certificate's signature only.
  echo "map https://localhost:$port/ https://127.0.0.1:$origin_port/" >"$state/etc/remap.config"
  cat >"$state/etc/cache.config" <<'EOF'
# The list and its statement: revalidated at every request.
url_regex=/manifest\.dat\.zs(\.sig)?$ revalidate=0s
# A file's version, named by its SHA-1 in the query, and patches, named by both contents: for good.
url_regex=\.zs\?[0-9a-f]{40}$ ttl-in-cache=7d
url_regex=/\.patches/[0-9a-f]{40}-[0-9a-f]{40}\.zst$ ttl-in-cache=7d
EOF
}

start_edge() {
  local state=$1 origin_port=$2 port=$3 pid i
  command -v traffic_server >/dev/null || {
    echo "cdn-edge: traffic_server is not installed (scripts/install-deps.sh installs trafficserver)" >&2
    return 1
  }
  stop_edge "$state" >/dev/null
  "$script_dir/dev-cert.sh" "$state/certs" >/dev/null
  rm -rf "$state/cache" "$state/log"
  write_config "$state" "$origin_port" "$port"
  traffic_server --run-root="$state/runroot.yaml" </dev/null >"$state/edge.out" 2>&1 &
  echo $! >"$state/edge.pid"
  for ((i = 0; i < start_polls; i++)); do
    if ! pid=$(running_pid "$state"); then
      break
    fi
    if curl -s -o /dev/null --cacert "$state/certs/ca.crt" --max-time 1 "https://localhost:$port/"; then
      echo "cdn-edge: caching https://localhost:$origin_port/ at https://localhost:$port/ (pid $pid)"
      return 0
    fi
    sleep 0.1
  done
  echo "cdn-edge: Traffic Server does not answer on port $port; $state/edge.out and $state/log/diags.log say:" >&2
  tail -n 20 "$state/edge.out" "$state/log/diags.log" >&2 2>/dev/null || true
  stop_edge "$state" >&2 || true
  return 1
}

[ $# -ge 1 ] || usage
case $1 in
start)
  [ $# -eq 3 ] || [ $# -eq 5 ] || usage
  state=$2
  origin_port=$3
  port=$default_port
  check_port "$origin_port"
  if [ $# -eq 5 ]; then
    [ "$4" = --port ] || usage
    check_port "$5"
    port=$5
  fi
  mkdir -p "$state"
  start_edge "$(cd "$state" && pwd)" "$origin_port" "$port"
  ;;
stop)
  [ $# -eq 2 ] || usage
  [ -d "$2" ] || {
    echo "cdn-edge: not running from $2"
    exit 0
  }
  stop_edge "$(cd "$2" && pwd)"
  ;;
*)
  usage
  ;;
esac
