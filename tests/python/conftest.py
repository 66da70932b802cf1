"""Fixtures shared by the end-to-end tests.

`hdc_server` starts scripted HDC host servers in their own processes (the
module keeps the interpreter lock during every call, so a server in a thread of
this process could never answer):

    def test_x(hdc_server):
        server = hdc_server([steps.send_handshake(), steps.read_packet(), steps.send_packet("reply")])
        client = kelpie.HdcClient(server.addr)
        ...
        assert server.received(0) == packet(...)

Each positional argument is the script of one connection, in accept order;
`repeat=` gives the script of every further connection and `count=` their
total. See tests/support for the steps and the byte builders.
"""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import subprocess  # noqa: E402

from support import ScriptServer  # noqa: E402
from support.server_process import server_python  # noqa: E402

SOAK_SERVER = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support", "soak_server.py")
SIM_DEVICE = "kelpie-sim-1"


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: waits in real time for a 10-second limit of the client")


@pytest.fixture
def hdc_server(tmp_path):
    """Factory: hdc_server(*connections, repeat=None, count=None, lifetime=60, host="127.0.0.1") -> ScriptServer.

    Every server started is killed and reaped at teardown.
    """
    started = []

    def start(*connections, repeat=None, count=None, lifetime=60, host="127.0.0.1"):
        script = {"connections": list(connections), "lifetime": lifetime}
        if repeat is not None:
            script["repeat"] = repeat
            if count is not None:
                script["count"] = count
        server = ScriptServer(script, str(tmp_path), host=host)
        started.append(server)
        return server

    yield start
    for server in started:
        server.close()


@pytest.fixture(scope="module")
def soak_server():
    """The address of a soak_server.py process: every command answered at once, bulk output on request."""
    proc = subprocess.Popen([server_python(), SOAK_SERVER], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    port = int(proc.stdout.readline())
    yield "127.0.0.1:%d" % port
    proc.stdin.close()
    proc.kill()
    proc.wait()


@pytest.fixture(scope="module")
def sim(request, tmp_path_factory):
    """A simulator of one device, kelpie-sim-1, run as a separate process for the whole module.

    A module's SIM_ARGS are added to its command line; `sim.device_dir` is the device's folder
    on the host. The module puts kelpie_sim on the path (python/ of this repository).
    """
    from kelpie_sim.launcher import SimProcess

    root = tmp_path_factory.mktemp("devices")
    extra = list(getattr(request.module, "SIM_ARGS", ()))
    with SimProcess(["--devices", "1", "--root", str(root), "--max-seconds", "300"] + extra) as s:
        s.device_dir = os.path.join(str(root), SIM_DEVICE)
        yield s


@pytest.fixture
def client(sim):
    """A kelpie client of `sim`. Listing the targets at the end proves no reply was left unread."""
    import kelpie

    c = kelpie.HdcClient(sim.addr)
    yield c
    assert c.list_targets() == [SIM_DEVICE]
