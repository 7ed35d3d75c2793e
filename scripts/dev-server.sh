#!/usr/bin/env bash
# The development update server: nginx serving a published tree over HTTPS on 127.0.0.1:4443.
#   dev-server.sh start ROOT STATE_DIR [--port PORT] [--rate RATE] [--listen ADDR:PORT] [--http2]
#                                  serve ROOT (ROOT/windows/... is the launcher's base URL)
#   dev-server.sh stop STATE_DIR
# Everything nginx writes (configuration, pid, logs, temporary files, certificates) stays in
# STATE_DIR. The certificate authority the launcher must trust is STATE_DIR/certs/ca.crt.
# PORT defaults to 4443, the port of the default update URL; a launcher built for another one
# names it in VELM_UPDATE_URL. RATE (nginx syntax, e.g. 500k or 2m) caps each request's bytes
# per second so progress shows. --listen serves on another IPv4 address and port (the
# certificate then names that address too), such as the server's side of a benchmark's network
# namespaces; --http2 offers HTTP/2.
# The access log is nginx's combined format followed by the connection's serial number, the
# time the request ended ($msec), its duration in seconds and its Range header.
set -euo pipefail

readonly listen_host=127.0.0.1
readonly default_listen=$listen_host:4443
readonly max_port=65535
readonly start_polls=50 # 100 ms apart: about 5 s for nginx to answer
readonly stop_polls=50  # 100 ms apart, per signal

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

usage() {
  echo "usage: $0 start ROOT STATE_DIR [--port PORT] [--rate RATE] [--listen ADDR:PORT] [--http2] | stop STATE_DIR" >&2
  exit 2
}

bad_option() {
  echo "dev-server: $*" >&2
  usage
}

# nginx reads these inside double quotes, where '"', '\' and '$' would mean something else.
check_path() {
  case $1 in
  *'"'* | *\\* | *'$'* | *$'\n'*)
    echo "dev-server: unsupported character in path: $1" >&2
    exit 2
    ;;
  esac
}

# Prints the pid of the nginx master started from STATE_DIR, if it still runs.
running_pid() {
  local pid_file=$1/nginx.pid pid
  [ -s "$pid_file" ] || return 1
  pid=$(<"$pid_file")
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  # A stale pid file may name a pid reused by another program: only an nginx counts.
  [ "$(ps -p "$pid" -o comm= 2>/dev/null)" = nginx ] || return 1
  echo "$pid"
}

# Sends SIGNAL to PID and waits for it to end; fails if it is still there after the polls.
signal_and_wait() {
  local pid=$1 signal=$2 i
  kill "-$signal" "$pid" 2>/dev/null || return 0
  for ((i = 0; i < stop_polls; i++)); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  return 1
}

stop_server() {
  local state=$1 pid
  if ! pid=$(running_pid "$state"); then
    echo "dev-server: not running from $state"
    return 0
  fi
  # QUIT lets transfers in flight finish; TERM ends them if that takes too long.
  signal_and_wait "$pid" QUIT || signal_and_wait "$pid" TERM || {
    echo "dev-server: nginx $pid did not stop" >&2
    return 1
  }
  rm -f "$state/nginx.pid"
  echo "dev-server: stopped"
}

write_config() {
  local root=$1 state=$2 rate=$3 listen=$4 http2=$5 user_line="# workers run as the user who started nginx"
  [ "$(id -u)" -ne 0 ] || user_line="user root;" # else nginx drops to nobody, who may not read ROOT
  cat >"$state/nginx.conf" <<EOF
# Written by dev-server.sh; rewritten at every start.
$user_line
daemon on;
worker_processes 1;
pid "$state/nginx.pid";
error_log "$state/error.log" warn;

events {
    worker_connections 256;
}

http {
    log_format velm '\$remote_addr - \$remote_user [\$time_local] "\$request" \$status \$body_bytes_sent '
                    '"\$http_referer" "\$http_user_agent" \$connection \$msec \$request_time "\$http_range"';
    access_log "$state/access.log" velm;
    client_body_temp_path "$state/tmp/client_body";
    proxy_temp_path "$state/tmp/proxy";
    fastcgi_temp_path "$state/tmp/fastcgi";
    uwsgi_temp_path "$state/tmp/uwsgi";
    scgi_temp_path "$state/tmp/scgi";

    # Every published file is opaque bytes.
    types { }
    default_type application/octet-stream;

    sendfile on;
    tcp_nopush on;
    keepalive_timeout 65s;
    keepalive_requests 10000;
    server_tokens off;

    server {
        listen $listen ssl${http2:+ http2};
        server_name localhost;
        ssl_certificate "$state/certs/server.crt";
        ssl_certificate_key "$state/certs/server.key";
        ssl_protocols TLSv1.2 TLSv1.3;

        root "$root";
        autoindex off;
        location / {
            try_files \$uri =404;
            limit_rate ${rate:-0}; # 0: no cap
        }
    }
}
EOF
}

start_server() {
  local root=$1 state=$2 rate=$3 listen=$4 http2=$5 pid i host=${4%:*} probe_url
  stop_server "$state" >/dev/null
  if [ "$host" = "$listen_host" ]; then
    "$script_dir/dev-cert.sh" "$state/certs"
    probe_url=https://localhost:${listen##*:}/
  else
    "$script_dir/dev-cert.sh" "$state/certs" "$host"
    probe_url=https://$listen/
  fi
  mkdir -p "$state/tmp"
  write_config "$root" "$state" "$rate" "$listen" "$http2"
  : >"$state/error.log"
  if ! nginx -p "$state" -c "$state/nginx.conf" -e "$state/error.log"; then
    echo "dev-server: nginx did not start (its messages are above and in $state/error.log)" >&2
    return 1
  fi
  for ((i = 0; i < start_polls; i++)); do
    if pid=$(running_pid "$state") &&
      curl -s -o /dev/null --cacert "$state/certs/ca.crt" --max-time 1 "$probe_url"; then
      echo "dev-server: serving $root at $probe_url${http2:+ (HTTP/2 offered)} (pid $pid)"
      return 0
    fi
    sleep 0.1
  done
  echo "dev-server: nginx does not answer on $listen; $state/error.log says:" >&2
  tail -n 20 "$state/error.log" >&2
  stop_server "$state" >&2 || true
  return 1
}

[ $# -ge 1 ] || usage
case $1 in
start)
  [ $# -ge 3 ] || usage
  root=$2
  state=$3
  shift 3
  rate=""
  listen=$default_listen
  http2=""
  while [ $# -gt 0 ]; do
    case $1 in
    --http2)
      http2=1
      shift
      continue
      ;;
    --rate | --port | --listen) [ $# -ge 2 ] || bad_option "$1 needs a value" ;;
    *) bad_option "unknown option $1" ;;
    esac
    case $1 in
    --rate)
      rate=$2
      [[ $rate =~ ^[0-9]+[kKmM]?$ ]] || bad_option "--rate takes a number of bytes per second, with k or m after it: $rate"
      ;;
    --port)
      if ! [[ $2 =~ ^[1-9][0-9]{0,4}$ ]] || [ "$2" -gt "$max_port" ]; then
        bad_option "--port takes a port number from 1 to $max_port: $2"
      fi
      listen=$listen_host:$2
      ;;
    --listen)
      [[ $2 =~ ^[0-9]{1,3}(\.[0-9]{1,3}){3}:[0-9]{1,5}$ ]] || bad_option "--listen takes ADDRESS:PORT: $2"
      listen=$2
      ;;
    esac
    shift 2
  done
  [ -d "$root" ] || {
    echo "dev-server: no directory $root" >&2
    exit 2
  }
  mkdir -p "$state"
  root=$(cd "$root" && pwd)
  state=$(cd "$state" && pwd)
  check_path "$root"
  check_path "$state"
  start_server "$root" "$state" "$rate" "$listen" "$http2"
  ;;
stop)
  [ $# -eq 2 ] || usage
  [ -d "$2" ] || {
    echo "dev-server: not running from $2"
    exit 0
  }
  stop_server "$(cd "$2" && pwd)"
  ;;
*)
  usage
  ;;
esac
