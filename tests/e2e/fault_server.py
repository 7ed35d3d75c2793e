#!/usr/bin/env python3
"""A static HTTPS file server that misbehaves on chosen paths, for end-to-end tests.

    fault_server.py --root ROOT --port PORT --cert CRT --key KEY [--faults FAULTS.json] [--log FILE]

Every path serves ROOT/<path> as nginx would: 200 with Content-Length, 404 when there is no
such regular file. FAULTS.json maps URL paths ("/windows/a b.bin.zs" or "/windows/a%20b.bin.zs")
to a fault, an object with one or more of:

    "times": N            apply the fault to the first N requests of the path only (default: all)
    "reset": "before"     read the request, answer nothing, reset the connection (true means this)
    "reset": "after_headers"   send the 200 headers, then reset the connection
    "status": N           answer status N with a short text body
    "body_file": PATH     serve this file's bytes instead of ROOT's (a corrupt body, say)
    "truncate": BYTES     announce the full length, send BYTES of the body, then close
    "stall": SECONDS      send the headers and part of the body, pause, then send the rest
    "stall_after": BYTES  how much of the body goes before the pause (default: half)

A reset uses SO_LINGER 0, so the client sees ECONNRESET rather than an orderly close; a
truncated body ends with a clean TLS close, so the client sees a short transfer.

Prints "listening on PORT" on standard output once bound (PORT 0 picks a free port), logs one
line per request to FILE or standard error, and runs until SIGTERM or SIGINT.
"""

import argparse
import http.server
import json
import os
import signal
import socket
import ssl
import struct
import sys
import threading
import time
import urllib.parse

CHUNK_SIZE = 64 * 1024
SOCKET_TIMEOUT_S = 60  # an idle keep-alive connection or a stuck handshake frees its thread
KNOWN_KEYS = {"times", "reset", "status", "body_file", "truncate", "stall", "stall_after"}
RESET_MODES = {True: "before", "before": "before", "after_headers": "after_headers"}


def load_faults(path):
    """Reads and checks FAULTS.json; keys are stored with %-escapes decoded."""
    if path is None:
        return {}
    with open(path, encoding="utf-8") as f:
        raw = json.load(f)
    if not isinstance(raw, dict):
        sys.exit(f"fault_server: {path}: expected an object of path: fault")
    faults = {}
    for url_path, fault in raw.items():
        if not isinstance(fault, dict) or not fault:
            sys.exit(f"fault_server: {url_path}: a fault is a non-empty object")
        unknown = set(fault) - KNOWN_KEYS
        if unknown:
            sys.exit(f"fault_server: {url_path}: unknown keys {sorted(unknown)}")
        if "reset" in fault and fault["reset"] not in RESET_MODES:
            sys.exit(f"fault_server: {url_path}: reset is true, \"before\" or \"after_headers\"")
        if "body_file" in fault and not os.path.isfile(fault["body_file"]):
            sys.exit(f"fault_server: {url_path}: no file {fault['body_file']}")
        for key in ("times", "status", "truncate", "stall_after"):
            if key in fault and (not isinstance(fault[key], int) or fault[key] < 0):
                sys.exit(f"fault_server: {url_path}: {key} must be a non-negative integer")
        if "status" in fault and not 100 <= fault["status"] <= 599:
            sys.exit(f"fault_server: {url_path}: status must be an HTTP status, 100 to 599")
        if "stall" in fault and (not isinstance(fault["stall"], (int, float)) or fault["stall"] < 0):
            sys.exit(f"fault_server: {url_path}: stall is a non-negative number of seconds")
        faults[urllib.parse.unquote(url_path)] = fault
    return faults


class FaultServer(http.server.ThreadingHTTPServer):
    daemon_threads = True  # a stalled handler must not keep the process alive at shutdown

    def __init__(self, address, ssl_context, root, faults, log):
        super().__init__(address, FaultHandler)
        self.ssl_context = ssl_context
        self.root = os.path.realpath(root)
        self.faults = faults
        self.log = log
        self.log_lock = threading.Lock()
        self.count_lock = threading.Lock()
        self.counts = {}  # decoded path -> requests seen; under count_lock

    def get_request(self):
        # The TLS handshake happens later in the handler's thread, so a client that connects
        # and says nothing cannot block the accept loop.
        sock, addr = super().get_request()
        return self.ssl_context.wrap_socket(
            sock, server_side=True, do_handshake_on_connect=False), addr

    def next_count(self, path):
        """Counts one more request of PATH and returns its number, from 1."""
        with self.count_lock:
            self.counts[path] = self.counts.get(path, 0) + 1
            return self.counts[path]

    def write_log(self, line):
        with self.log_lock:
            self.log.write(f"{time.strftime('%H:%M:%S')} {line}\n")
            self.log.flush()

    def handle_error(self, request, client_address):
        # Clients that hang up or fail the handshake are routine here: one line, no traceback.
        self.write_log(f"{client_address[0]}:{client_address[1]} {sys.exc_info()[1]!r}")


class FaultHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive, as the launcher reuses connections
    server_version = "fault_server"
    timeout = SOCKET_TIMEOUT_S

    def setup(self):
        super().setup()
        self.request.do_handshake()

    def log_message(self, fmt, *args):
        self.server.write_log(f"{self.address_string()} {fmt % args}")

    def do_GET(self):
        self.serve(send_body=True)

    def do_HEAD(self):
        self.serve(send_body=False)

    def serve(self, send_body):
        path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
        count = self.server.next_count(path)
        fault = self.server.faults.get(path)
        if fault is not None and count > fault.get("times", count):
            fault = None
        if fault is not None:
            self.server.write_log(f"fault on {path} (request {count}): {json.dumps(fault)}")
        fault = fault or {}

        reset = RESET_MODES.get(fault.get("reset"))
        if reset == "before":
            self.reset_connection()
            return
        if "status" in fault:
            self.send_text(fault["status"], f"fault: status {fault['status']}\n", send_body)
            return
        body_path = fault.get("body_file") or self.file_path(path)
        if body_path is None:
            self.send_text(404, "not found\n", send_body)
            return

        with open(body_path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            if reset == "after_headers":
                self.reset_connection()
                return
            if not send_body:
                return
            if "truncate" in fault:
                self.copy(f, min(fault["truncate"], size))
                self.close_cleanly()
                return
            if "stall" in fault:
                before = min(fault.get("stall_after", size // 2), size)
                self.copy(f, before)
                time.sleep(fault["stall"])
                size -= before
            self.copy(f, size)

    def file_path(self, path):
        """The regular file under ROOT that PATH names, or None."""
        parts = [p for p in path.split("/") if p]
        if any(p in (".", "..") or "\0" in p for p in parts):
            return None
        full = os.path.realpath(os.path.join(self.server.root, *parts))
        if os.path.commonpath([full, self.server.root]) != self.server.root:
            return None
        return full if os.path.isfile(full) else None

    def send_text(self, status, text, send_body):
        body = text.encode()
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if send_body:
            self.wfile.write(body)

    def copy(self, f, count):
        while count > 0:
            chunk = f.read(min(CHUNK_SIZE, count))
            if not chunk:
                raise OSError(f"{f.name} shrank while being served")
            self.wfile.write(chunk)
            count -= len(chunk)
        self.wfile.flush()

    def reset_connection(self):
        """Closes the TCP connection with a reset: no TLS close, no FIN."""
        self.wfile.flush()
        self.request.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.end_connection()

    def close_cleanly(self):
        """Sends the TLS close and closes, so the client reads an orderly end of a short body."""
        self.request.settimeout(1)  # the client's own close reply is optional
        try:
            self.request.unwrap()
        except (OSError, ValueError):
            pass
        self.end_connection()

    def end_connection(self):
        # The socket closes for real only once the buffered reader lets go of it.
        self.close_connection = True
        self.rfile.close()
        self.request.close()


def main():
    parser = argparse.ArgumentParser(description="HTTPS file server with injected faults")
    parser.add_argument("--root", required=True, help="directory served")
    parser.add_argument("--port", required=True, type=int, help="port on 127.0.0.1 (0: any)")
    parser.add_argument("--cert", required=True, help="server certificate (PEM)")
    parser.add_argument("--key", required=True, help="server private key (PEM)")
    parser.add_argument("--faults", help="JSON object mapping URL paths to faults")
    parser.add_argument("--log", help="request log (default: standard error)")
    args = parser.parse_args()
    if not os.path.isdir(args.root):
        parser.error(f"no directory {args.root}")

    faults = load_faults(args.faults)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    log = open(args.log, "a", encoding="utf-8") if args.log else sys.stderr

    # Background runs from a non-interactive shell ignore SIGINT: install both handlers.
    def stop(signum, frame):
        raise SystemExit(0)
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    server = FaultServer(("127.0.0.1", args.port), context, args.root, faults, log)
    print(f"listening on {server.server_address[1]}", flush=True)
    try:
        server.serve_forever()
    finally:
        server.server_close()


if __name__ == "__main__":
    main()
