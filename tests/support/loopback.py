"""Plain-socket helpers for tests that talk to ports on 127.0.0.1."""

import socket


def free_port():
    """A port on 127.0.0.1 that nothing listened on a moment ago."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def echo_through(port, data):
    """Sends `data` to 127.0.0.1:port, half-closes, and returns all that comes back."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(data)
        s.shutdown(socket.SHUT_WR)
        got = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return got
            got += chunk
