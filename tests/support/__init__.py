"""Helpers for kelpie's end-to-end tests.

- `ScriptServer` (server_process.py): runs script_server.py, a scripted HDC
  host server, in its own process; `steps` builds its connection scripts.
- `packet`, `handshake_record`, `handshake_reply`: the bytes on the wire.
- `backlog_full_listener`: an address where connection attempts hang.
- `open_descriptors`, `thread_count`, `collect_garbage`: for leak checks.
"""

from . import steps
from .backlog import backlog_full_listener
from .resources import PYPY, collect_garbage, open_descriptors, thread_count
from .script_server import MAX_PACKET_SIZE, handshake_record, packet
from .server_process import ConnectionRecord, ScriptServer


def handshake_reply(record, key=b""):
    """The reply payload a client owes to `record`: banner echoed, key field, version field echoed."""
    if isinstance(key, str):
        key = key.encode()
    reply = record[:12] + key[:32].ljust(32, b"\0")
    if len(record) >= 108:
        reply += record[44:108]
    return reply


__all__ = [
    "PYPY", "ConnectionRecord", "MAX_PACKET_SIZE", "ScriptServer", "backlog_full_listener", "collect_garbage",
    "handshake_record", "handshake_reply", "open_descriptors", "packet", "steps", "thread_count",
]
