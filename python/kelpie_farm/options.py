"""The farm's command-line and ini options, its markers, and the readers of their values."""

import os

import pytest

from .pools import requirements
from .targets import DEFAULT_SERVER, DEFAULT_TIMEOUT

ENV_SERVER = "KELPIE_HDC_SERVER"
EVERY_DEVICE = "hdc_every_device"   # the marker: once on every device of the farm
REQUIRE = "hdc_require"             # the marker: only on devices with these properties
TIMEOUT = "hdc_timeout"             # the marker: a test's own deadline, in place of --hdc-timeout
PULL = "hdc_pull"                   # the marker: device files brought back when the test fails


def add_options(parser):
    group = parser.getgroup("hdc", "HDC device farm (kelpie)")
    group.addoption("--hdc-server", action="append", dest="hdc_server", metavar="HOST:PORT",
                    help="an HDC host server whose devices the suite runs on; repeatable. Also the ini option "
                         "hdc_server and $%s (comma-separated); default %s" % (ENV_SERVER, DEFAULT_SERVER))
    group.addoption("--hdc-device", action="append", dest="hdc_device", metavar="PATTERN",
                    help="only the devices whose serial matches this shell-style pattern; repeatable")
    group.addoption("--hdc-sim", type=int, dest="hdc_sim", metavar="N",
                    help="run on a simulated farm of N devices over several simulator processes, "
                         "stopped at the end of the run")
    group.addoption("--hdc-timeout", type=float, dest="hdc_timeout", metavar="SECONDS",
                    help="a test's deadline: past it, the test fails naming its device and its worker is "
                         "ended and replaced; also the longest a server may take to answer a look "
                         "(at most 10 s). Ini option hdc_timeout; default %g" % DEFAULT_TIMEOUT)
    group.addoption("--hdc-strict", action="store_true", default=None, dest="hdc_strict",
                    help="stop before the first test when a named server does not answer (ini hdc_strict)")
    group.addoption("--hdc-min-devices", type=int, dest="hdc_min_devices", metavar="N",
                    help="stop before the first test when fewer than N devices are found")
    group.addoption("--hdc-retries", type=int, dest="hdc_retries", metavar="N",
                    help="run a failing test again, up to N times, each time on a device it has not failed "
                         "on; also the ini option hdc_retries (default 0)")
    group.addoption("--hdc-retry-budget", type=int, dest="hdc_retry_budget", metavar="N",
                    help="at most N retries in the whole run; once they are spent, failures are final "
                         "(ini option hdc_retry_budget)")
    group.addoption("--hdc-order", choices=("longest", "none"), dest="hdc_order",
                    help="longest: start the tests that took longest last time first (the default); "
                         "none: in the order collected")
    group.addoption("--hdc-report", dest="hdc_report", metavar="PATH.html",
                    help="write the run's timeline, a lane per device, to this HTML file")
    group.addoption("--hdc-json", dest="hdc_json", metavar="PATH.json",
                    help="write the run, its devices and every attempt of every test to this JSON file")
    group.addoption("--hdc-on-failure", choices=("screenshot", "none"), dest="hdc_on_failure",
                    help="screenshot: bring a failing test's screenshot back from its device "
                         "(ini option hdc_on_failure); none: nothing (the default)")
    group.addoption("--hdc-pull", action="append", dest="hdc_pull", metavar="PATH",
                    help="bring this device file or folder back from a failing test's device; repeatable")
    group.addoption("--hdc-artifacts", dest="hdc_artifacts", metavar="DIR",
                    help="where what comes back from failing tests' devices goes, a folder for each test and "
                         "attempt (default: hdc-artifacts/ beside the JUnit file, or where pytest started)")
    group.addoption("--hdc-require", action="append", dest="hdc_require", metavar="NAME=VALUE",
                    help="only the devices whose `param get NAME` answers VALUE; repeatable; "
                         "also the ini option hdc_require")
    group.addoption("--hdc-shard", dest="hdc_shard", metavar="I/N",
                    help="run only the I-th of N disjoint shards of the suite (1 <= I <= N), balanced by the "
                         "known durations, by count where none are known")
    group.addoption("--hdc-durations", dest="hdc_durations", metavar="PATH.json",
                    help="read the durations of the last runs from this JSON file and write this run's to it "
                         "(ini option hdc_durations); default: pytest's cache")
    parser.addini("hdc_on_failure", help="screenshot: a failing test's screenshot (--hdc-on-failure)")
    parser.addini("hdc_durations", help="the durations file (--hdc-durations), relative to the ini file")
    parser.addini("hdc_server", type="linelist", help="HDC host servers (HOST:PORT) of the device farm")
    parser.addini("hdc_retries", default="0", help="times a failing test runs again, on other devices")
    parser.addini("hdc_retry_budget", help="retries the whole run may spend (--hdc-retry-budget)")
    parser.addini("hdc_require", type="linelist", help="NAME=VALUE: only the devices with these properties")
    parser.addini("hdc_device", type="linelist", help="shell-style patterns: only the devices they match")
    parser.addini("hdc_timeout", help="a test's deadline in seconds (--hdc-timeout)")
    parser.addini("hdc_strict", type="bool", default=False,
                  help="stop before the first test when a named server does not answer (--hdc-strict)")


def add_markers(config):
    config.addinivalue_line(
        "markers", "%s: run the test once on every device of the farm, the device's serial in its id" % EVERY_DEVICE)
    config.addinivalue_line(
        "markers", "%s(\"NAME=VALUE\", ...): run the test only on devices whose property NAME is VALUE" % REQUIRE)
    config.addinivalue_line(
        "markers", "%s(SECONDS): the test's own deadline, in place of --hdc-timeout" % TIMEOUT)
    config.addinivalue_line(
        "markers", "%s(PATH, ...): bring these device files or folders back when the test fails" % PULL)


def servers_named(config):
    """The servers the command line names, or else the environment, or else the ini file."""
    env = os.environ.get(ENV_SERVER, "").replace(",", " ").split()
    return config.getoption("hdc_server") or env or config.getini("hdc_server")


def patterns(config):
    return config.getoption("hdc_device") or config.getini("hdc_device")


def pool_of(config):
    return requirements(config.getoption("hdc_require") or config.getini("hdc_require"))


def retries_of(config):
    value = config.getoption("hdc_retries")
    return int(value if value is not None else config.getini("hdc_retries") or 0)


def shard_of(config):
    """(index, count) of --hdc-shard I/N, or None."""
    from .shards import parse_shard

    text = config.getoption("hdc_shard")
    return parse_shard(text) if text else None


def _number(config, name, convert, default, what):
    """--NAME if given, else the ini value NAME read with `convert`, else `default`; ValueError
    naming the ini value when it is not a number."""
    value = config.getoption(name)
    if value is not None:
        return value
    text = config.getini(name)
    try:
        return convert(text) if text else default
    except ValueError:
        raise ValueError("%s is %s, not %r" % (name, what, text)) from None


def retry_budget_of(config):
    """The retries the whole run may spend, or None for no cap."""
    return _number(config, "hdc_retry_budget", int, None, "a number of retries")


def check_options(config):
    from .artifacts import on_failure

    shard_of(config)
    on_failure(config)
    try:
        pool_of(config)
        retries = retries_of(config)
        budget = retry_budget_of(config)
    except ValueError as e:
        raise pytest.UsageError(str(e))
    if retries < 0:
        raise pytest.UsageError("--hdc-retries takes 0 or more, not %d" % retries)
    if budget is not None and budget < 0:
        raise pytest.UsageError("--hdc-retry-budget takes 0 or more, not %d" % budget)


def farm_named(config):
    return bool(servers_named(config) or patterns(config) or config.getoption("hdc_sim") is not None)


def deadline(config):
    try:
        value = _number(config, "hdc_timeout", float, DEFAULT_TIMEOUT, "a number of seconds")
    except ValueError as e:
        raise pytest.UsageError(str(e)) from None
    if not value > 0:
        raise pytest.UsageError("--hdc-timeout must be more than 0 seconds, not %g" % value)
    return value


def strict(config):
    return config.getoption("hdc_strict") or config.getini("hdc_strict")


def longest_first(config):
    """Whether the tests start in the longest-first order (--hdc-order)."""
    return (config.getoption("hdc_order") or "longest") == "longest"
