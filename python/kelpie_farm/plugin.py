"""pytest plugin: a device test suite across a farm of HDC devices, pytest-xdist spreading
the tests so that each worker drives a device of its own.

    pytest -n auto --hdc-server 10.0.0.5:8710 --hdc-server 10.0.0.6:8710
    pytest -n auto --hdc-sim 6              # a simulated farm of 6 devices, for CI

    def test_api_level(hdc_device):
        assert hdc_device.client.shell("param get const.ohos.apiversion") == "11\\n"

The controlling process finds the devices once and hands each worker its device through
xdist's own channel (workerinput), so workers on other hosts need nothing else. The plugin
stays idle until a farm is named (--hdc-server, --hdc-device, --hdc-sim, the ini options,
or $KELPIE_HDC_SERVER): installed with kelpie, it must not touch the network in the runs
of projects that never asked for it. Without xdist, an unnamed farm is the default server.

Nothing here waits on a device or server without a deadline: the plugin looks at servers
with a probe that has one (probe.py) before its kelpie calls, and the controlling process,
which makes no kelpie call, ends a worker whose test is past --hdc-timeout (watchdog.py).

This module is the entry point: the options, and the set-up of each side. The hooks of each
side are in their own modules, registered with this one.
"""

import os

import pytest

from . import hooks
from .discovery import FARM, SIMS, controller_farm, start_sims
from .options import add_markers, add_options, check_options, farm_named, retries_of, retry_budget_of, shard_of

pytest_plugins = ("kelpie_farm.worker", "kelpie_farm.fixtures", "kelpie_farm.controller", "kelpie_farm.reporting",
                  "kelpie_farm.deadlines", "kelpie_farm.artifacts")


def pytest_addhooks(pluginmanager):
    pluginmanager.add_hookspecs(hooks)


def pytest_addoption(parser):
    add_options(parser)


def pytest_configure(config):
    add_markers(config)
    shard = shard_of(config)
    if shard is not None:
        from .shards import ShardSelection
        from .worker import PARAM

        config.pluginmanager.register(ShardSelection(config, shard[0], shard[1], PARAM), "kelpie-farm-shards")
    if hasattr(config, "workerinput"):
        from .worker import configure_worker

        configure_worker(config)
        return
    from .controller import ATTEMPTS_PLUGIN
    from .reporting import FarmReporter

    check_options(config)
    config.pluginmanager.register(FarmReporter(config), "kelpie-farm-reporter")
    if getattr(config.option, "xmlpath", None):
        from .artifacts import JunitAttachments

        config.pluginmanager.register(JunitAttachments(config), "kelpie-farm-junit-attachments")
    if farm_named(config) and SIMS not in config.stash:
        controller_farm(config)     # errors before the first test; a simulated farm is still starting
    if farm_named(config):
        from . import internals
        from .attempts import AttemptRecorder

        internals.check_junit(config)

        config.pluginmanager.register(AttemptRecorder(config, retries_of(config), config.getoption("hdc_report"),
                                                      lambda: config.stash.get(FARM, None),
                                                      retry_budget_of(config)), ATTEMPTS_PLUGIN)


def pytest_unconfigure(config):
    from .targets import close_probers

    close_probers()


# A simulated farm starts as soon as the options are known, in the controlling process: the
# simulators start while pytest and its workers do. An xdist worker has its environment
# variable before its options are read, and its workerinput after.

@pytest.hookimpl(tryfirst=True)
def pytest_load_initial_conftests(early_config, parser, args):
    if "PYTEST_XDIST_WORKER" not in os.environ:
        start_sims(early_config, early_config.known_args_namespace)


@pytest.hookimpl(hookwrapper=True)
def pytest_cmdline_main(config):
    if not hasattr(config, "workerinput"):
        start_sims(config, config.option)
    yield
