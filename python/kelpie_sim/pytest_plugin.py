"""pytest fixtures for testing code that uses kelpie, with no device: installing kelpie
registers this plugin with pytest.

    def test_launch(hdc_sim, hdc_sim_client):
        hdc_sim.answer("aa start -a EntryAbility -b com.example.app", "start ability successfully.\\n")
        hdc_sim_client.shell("aa start -a EntryAbility -b com.example.app")
        ...

    @pytest.mark.hdc_sim(devices=2)      # the Simulator's arguments for this test's hdc_sim
    def test_two(hdc_sim): ...

The ini options hdc_sim_devices and hdc_sim_python set the suite's defaults. A failing
test's report has a section with the commands each of its simulators received.
"""

from __future__ import annotations

import inspect
from typing import Any, Callable, Dict, Generator, Iterator, List, Optional, Tuple

import pytest

from .simulator import Simulator

MARKER = ("hdc_sim(devices=1, attach_after=None, host_shell=False, python=None, max_seconds=None, log_rate=0.0, "
          "log_buffer=65536, params=None, device_params=None): "
          "how the hdc_sim fixture starts its simulator")


def pytest_addoption(parser: Any) -> None:
    parser.addini("hdc_sim_devices", "devices attached to each hdc_sim simulator at its start (default 1)")
    parser.addini("hdc_sim_python", "the interpreter that runs the hdc_sim simulators (default: the one running "
                                    "pytest)")


def pytest_configure(config: Any) -> None:
    config.addinivalue_line("markers", MARKER)
    defaults(config)   # a bad value is a usage error before any test runs


def defaults(config: Any) -> Dict[str, Any]:
    """The Simulator arguments the ini options give."""
    found: Dict[str, Any] = {}
    devices = config.getini("hdc_sim_devices").strip()
    if devices:
        if not (devices.isascii() and devices.isdigit() and len(devices) < 6):
            raise pytest.UsageError("hdc_sim_devices must be a whole number >= 0, not %r" % devices)
        found["devices"] = int(devices)
    python = config.getini("hdc_sim_python").strip()
    if python:
        found["python"] = python
    return found


def arguments(config: Any, args: Tuple[Any, ...], kwargs: Dict[str, Any]) -> Dict[str, Any]:
    """The ini defaults under the given arguments, as keyword arguments of Simulator."""
    try:
        bound = inspect.signature(Simulator).bind_partial(*args, **kwargs)
    except TypeError as e:
        raise TypeError("hdc_sim: %s (Simulator%s)" % (e, inspect.signature(Simulator))) from None
    return dict(defaults(config), **bound.arguments)


def started(node: Any) -> List[Tuple[str, Simulator]]:
    """(name, simulator) for each simulator the test started. Kept on the item itself rather
    than in its stash, which older pytest versions do not have."""
    if not hasattr(node, "_hdc_sim_started"):
        node._hdc_sim_started = []
    return node._hdc_sim_started


@pytest.fixture
def hdc_sim(request: Any) -> Iterator[Simulator]:
    """A fresh simulator process for this test (one device unless marked), stopped afterwards."""
    marker = request.node.get_closest_marker("hdc_sim")
    kwargs = arguments(request.config, marker.args if marker else (), marker.kwargs if marker else {})
    with Simulator(**kwargs) as sim:
        started(request.node).append(("hdc_sim", sim))
        yield sim


@pytest.fixture
def hdc_sim_client(hdc_sim: Simulator) -> Any:
    """A kelpie.HdcClient connected to this test's hdc_sim."""
    import kelpie   # here, so that the simulator's fixtures load without the module too
    return kelpie.HdcClient(hdc_sim.addr)


@pytest.fixture
def hdc_sim_factory(request: Any) -> Iterator[Callable[..., Simulator]]:
    """start(**Simulator arguments) -> Simulator, as many as the test likes; all stopped afterwards."""
    sims: List[Simulator] = []

    def start(*args: Any, **kwargs: Any) -> Simulator:
        sim = Simulator(**arguments(request.config, args, kwargs))
        sims.append(sim)
        started(request.node).append(("hdc_sim_factory simulator %d" % len(sims), sim))
        return sim

    yield start
    stop_all(sims)


def stop_all(sims: List[Simulator]) -> None:
    """Stops every one of them, whatever one of them does; then raises the first failure."""
    failure: Optional[BaseException] = None
    for sim in sims:
        try:
            sim.stop()
        except BaseException as e:  # even KeyboardInterrupt waits until the others are stopped
            failure = failure or e
    if failure is not None:
        raise failure


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: Any, call: Any) -> Generator[None, Any, None]:
    outcome = yield
    report = outcome.get_result()
    if report.failed:
        for name, sim in started(item):
            if sim.running():
                report.sections.append(("%s received" % name, received_text(sim)))


def received_text(sim: Simulator) -> str:
    """The commands the simulator received, grouped by device, in order of arrival."""
    try:
        received = sim._received_by_device()
    except Exception as e:  # a report must not end the session, whatever became of the simulator
        return "(the simulator did not say: %s: %s)" % (type(e).__name__, e)
    if not received:
        return "(no commands)"
    devices: Dict[Optional[str], List[str]] = {}
    for device, text in received:
        devices.setdefault(device, []).append(text)
    lines = []
    for device, texts in devices.items():
        lines.append("%s:" % (device or "(no single device)"))
        lines += ["    " + text for text in texts]
    return "\n".join(lines)
