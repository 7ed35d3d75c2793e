#!/usr/bin/env python3
"""A static HTTPS server that misbehaves on chosen paths, for the end-to-end tests:

    fault_server.py ROOT PORT CERT KEY FAULTS LOG

FAULTS is a JSON file, read again whenever it changes (the counts then start anew), that maps URL
paths to a fault: an object of "times": N (the first N requests of the path only), "reset": true
(read the request, then reset the connection), "status": N (answer N), "body_file": PATH (serve
these bytes instead), "stall": SECONDS (send half of the body, pause, then send the rest), "cut": N
(send N bytes of the body, then close the connection), "headers": {NAME: VALUE} (sent as they are,
an "ETag" instead of the server's own), "no_length": true (no Content-Length: the body ends when the
connection closes), "trickle": N (N bytes a second), "no_etag": true (the Last-Modified date only); under the
path "<handshake>", "certificate": DIR (the connection shows DIR's server.crt instead). A range
request ("bytes=N-") is answered with 206 and the rest of the body, or with "range_from": N, from byte N; under an
If-Range that is neither the ETag nor the Last-Modified date (sent for every file), with 200 and the whole body."""

import email.utils
import functools
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

ROOT, PORT, CERT, KEY, FAULTS, LOG = sys.argv[1:7]
lock = threading.Lock()
state = {"text": None, "faults": {}, "counts": {}}
log_file = open(LOG, "a", encoding="utf-8")


def log(line):
    with lock:
        log_file.write(f"{time.strftime('%H:%M:%S')} {line}\n")
        log_file.flush()


def fault_for(path):
    with lock:
        with open(FAULTS, encoding="utf-8") as f:
            text = f.read()
        if text != state["text"]:
            faults = {urllib.parse.unquote(k): v for k, v in json.loads(text).items()}
            state.update(text=text, faults=faults, counts={})
        count = state["counts"][path] = state["counts"].get(path, 0) + 1
        fault = state["faults"].get(path)
    if fault is None or count > fault.get("times", count):
        return {}
    log(f"fault on {path} (request {count}): {json.dumps(fault)}")
    return fault


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True  # a stalled answer must not keep the process alive

    def get_request(self):  # the handshake happens in the handler's thread, not in the accept loop
        sock, address = super().get_request()
        return tls().wrap_socket(sock, server_side=True, do_handshake_on_connect=False), address

    def handle_error(self, request, client_address):  # clients that hang up are routine here
        log(f"{client_address[0]}:{client_address[1]} {sys.exc_info()[1]!r}")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive, as the launcher reuses connections
    timeout = 60

    def setup(self):
        super().setup()
        if shown := fault_for("<handshake>").get("certificate"):
            self.request.context = tls(shown)
        self.request.do_handshake()

    def log_message(self, fmt, *args):
        log(f"{self.address_string()} {fmt % args}")

    def do_GET(self):
        path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
        fault = fault_for(path)
        if fault.get("reset"):  # with SO_LINGER 0 the client sees ECONNRESET, not an orderly close
            self.request.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.close_connection = True
            self.rfile.close()
            self.request.close()
            return
        body_path = fault.get("body_file") or os.path.join(ROOT, path.lstrip("/"))
        status = fault.get("status", 200 if os.path.isfile(body_path) else 404)
        with open(body_path if status == 200 else os.devnull, "rb") as f:
            body = f.read()
        headers = {} if fault.get("no_etag") else {"ETag": '"%x"' % len(body)}
        if status == 200:
            headers["Last-Modified"] = email.utils.formatdate(os.stat(body_path).st_mtime, usegmt=True)
        headers.update(fault.get("headers", {}))
        start = int(self.headers.get("Range", "bytes=0-")[6:].split("-")[0] or 0) if status == 200 else 0
        if start and "If-Range" in self.headers:
            guard = self.headers["If-Range"]
            start = start if guard in (headers.get("ETag"), headers.get("Last-Modified")) else 0
            log(f"{path} If-Range {guard}: " + ("the rest" if start else "the whole file"))
        partial, start = start > 0, fault.get("range_from", start) if start else 0
        self.send_response(206 if partial else status)
        for name, value in headers.items():
            self.send_header(name, value)
        if not fault.get("no_length"):
            self.send_header("Content-Length", str(len(body) - start))
        self.close_connection = self.close_connection or fault.get("no_length", False)
        if partial:
            self.send_header("Content-Range", f"bytes {start}-{len(body) - 1}/{len(body)}")
        self.end_headers()
        body = body[start:]
        if "trickle" in fault:  # a tenth of the rate, ten times a second
            for at in range(0, len(body), max(1, fault["trickle"] // 10)):
                self.wfile.write(body[at:at + max(1, fault["trickle"] // 10)])
                self.wfile.flush()
                time.sleep(0.1)
            return
        half = len(body) // 2 if "stall" in fault else fault.get("cut", len(body))
        self.wfile.write(body[:half])
        self.wfile.flush()
        if "cut" in fault:  # an orderly close: the bytes sent arrive, the rest never does
            self.close_connection = True
            return
        time.sleep(fault.get("stall", 0))
        self.wfile.write(body[half:])


@functools.cache
def tls(directory=None):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(*(os.path.join(directory, f"server.{x}") for x in ("crt", "key")) if directory else (CERT, KEY))
    return context


signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
server = Server(("127.0.0.1", int(PORT)), Handler)
print("listening", flush=True)
server.serve_forever()
