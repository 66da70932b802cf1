"""pytest fixtures for testing code that uses kelpie, with no device: installing kelpie
registers this plugin with pytest.

    def test_launch(hdc_sim):
        hdc_sim.answer("aa start -a EntryAbility -b com.example.app", "start ability successfully.\\n")
        client = kelpie.HdcClient(hdc_sim.addr)
        ...

    @pytest.mark.hdc_sim(devices=2)      # the Simulator's arguments for this test's hdc_sim
    def test_two(hdc_sim): ...
"""

import pytest

from .simulator import Simulator


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "hdc_sim(devices=1, attach_after=None, host_shell=False): how the hdc_sim fixture starts "
                   "its simulator")


@pytest.fixture
def hdc_sim(request):
    """A fresh simulator process for this test (one device unless marked), stopped afterwards."""
    marker = request.node.get_closest_marker("hdc_sim")
    with Simulator(*(marker.args if marker else ()), **(marker.kwargs if marker else {})) as sim:
        yield sim


@pytest.fixture
def hdc_sim_factory():
    """start(**Simulator arguments) -> Simulator, as many as the test likes; all stopped afterwards."""
    started = []

    def start(**kwargs):
        sim = Simulator(**kwargs)
        started.append(sim)
        return sim

    yield start
    for sim in started:
        sim.stop()
