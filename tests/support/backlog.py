"""A loopback listener that answers no connection attempt, for connect time-outs."""

import contextlib
import select
import socket


@contextlib.contextmanager
def backlog_full_listener():
    """Yield "127.0.0.1:PORT" of a listener whose accept queue is full.

    The socket listens with a backlog of 0 and is never accepted from; one
    connection fills its queue, so the kernel drops every further SYN and a new
    connect attempt hangs until its own deadline. Nothing leaves loopback.
    """
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    fillers = []
    try:
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        addr = listener.getsockname()
        for _ in range(2):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            fillers.append(s)
            s.setblocking(False)
            s.connect_ex(addr)
        # The first filler completes and sits in the queue: from then on the queue is full.
        if not select.select([], [fillers[0]], [], 5)[1]:
            raise RuntimeError("the filler connection did not complete")
        probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        fillers.append(probe)
        probe.setblocking(False)
        probe.connect_ex(addr)
        if select.select([], [probe], [], 0.3)[1]:
            raise RuntimeError("the kernel still accepts connections on a full backlog")
        yield "127.0.0.1:%d" % addr[1]
    finally:
        for s in fillers:
            s.close()
        listener.close()
