"""A proxy as players' networks have them: it answers CONNECT host:port by opening a tunnel to that
address, and logs one line "CONNECT host:port" for each, in a thread of the test's process."""

import select
import socket
import threading


class ConnectProxy:
    def __init__(self):
        self.log, self.server = [], socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                client, _ = self.server.accept()
            except OSError:  # closed
                return
            threading.Thread(target=self._tunnel, args=(client,), daemon=True).start()

    def _tunnel(self, client):
        with client:
            head = b""
            while b"\r\n\r\n" not in head and len(head) < 8192:
                chunk = client.recv(4096)
                if not chunk:
                    return
                head += chunk
            method, target = head.split(b" ")[:2]
            self.log.append(f"{method.decode()} {target.decode()}")
            host, _, port = target.decode().rpartition(":")
            with socket.create_connection((host, int(port)), timeout=30) as upstream:
                client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
                ends = [client, upstream]
                while True:
                    for end in select.select(ends, [], [], 60)[0] or [None]:
                        data = end.recv(65536) if end else b""
                        if not data:
                            return
                        (upstream if end is client else client).sendall(data)

    def stop(self):
        self.server.close()
