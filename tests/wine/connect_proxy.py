"""A proxy as players' networks have them: CONNECT host:port opens a tunnel there, logged in `log`."""

import select
import socket
import threading


class ConnectProxy:
    def __init__(self):
        self.log, self.server = [], socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        with self.server:
            while (client := self._accept()) is not None:
                threading.Thread(target=self._tunnel, args=(client,), daemon=True).start()

    def _accept(self):
        try:
            return self.server.accept()[0]
        except OSError:  # closed by stop()
            return None

    def _tunnel(self, client):
        with client:
            head = client.recv(8192)  # one short request head: "CONNECT host:port HTTP/1.1" and a Host line
            target = head.split(b" ")[1].decode()
            self.log.append(f"{head.split(b' ')[0].decode()} {target}")
            with socket.create_connection(target.rsplit(":", 1), timeout=30) as upstream:
                client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
                while ready := select.select([client, upstream], [], [], 60)[0]:
                    data = ready[0].recv(65536)
                    if not data:
                        return
                    (upstream if ready[0] is client else client).sendall(data)

    def stop(self):
        self.server.close()
