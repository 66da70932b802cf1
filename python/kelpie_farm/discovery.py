"""Finding the farm, once, in the controlling process (or the only one): a simulated farm
started as soon as the options are known (--hdc-sim), the servers asked for their devices,
each device's properties asked, and the checks that stop a run before its first test."""

import sys
import time

import pytest

from .farm import Farm
from .options import farm_named, deadline, patterns, pool_of, servers_named, strict
from .pools import ask_params, describe, matches
from .probe import seconds
from .simfarm import SimFarm
from .targets import DEFAULT_SERVER, discover, look_deadline

FARM = pytest.StashKey()        # the controlling process's Farm (or the FarmError it met)
SIMS = pytest.StashKey()        # the simulated farm, starting from the beginning of the run


class FarmError(Exception):
    pass


def start_sims(config, options):
    count = getattr(options, "hdc_sim", None)
    if count is None or SIMS in config.stash:
        return
    if count < 1:
        raise pytest.UsageError("--hdc-sim needs at least one device, not %d" % count)
    if getattr(options, "hdc_server", None):
        raise pytest.UsageError("--hdc-sim starts servers of its own: leave out --hdc-server")
    sims = config.stash[SIMS] = SimFarm(count, python=sim_python(config))
    config.add_cleanup(sims.stop)   # also after a failing or interrupted run


def sim_python(config):
    """The interpreter for the simulators: the simulator plugin's ini option where it has one."""
    try:
        return config.getini("hdc_sim_python") or None
    except ValueError:
        return None


def found_farm(config):
    """The Farm once found, or None (none named, not found yet, or it failed)."""
    farm = config.stash.get(FARM, None)
    return farm if isinstance(farm, Farm) else None


def controller_farm(config, default=False):
    """The farm, found (and for --hdc-sim started) on first need, once: None when none is
    named, unless `default` asks for the default server. A farm with no device at all is a
    UsageError before the run and a FarmError from a fixture."""
    farm = config.stash.get(FARM, None)
    if farm is None:
        if not (default or farm_named(config)):
            return None
        try:
            farm = start_farm(config)
        except FarmError as e:
            farm = e
        config.stash[FARM] = farm
    if isinstance(farm, FarmError):
        if default:
            raise farm
        raise pytest.UsageError(str(farm))
    return farm


def start_farm(config):
    timeout = deadline(config)
    sims = config.stash.get(SIMS, None)
    if sims is not None:
        try:
            servers = sims.wait()
        except Exception as e:
            raise FarmError("the simulated farm did not start: %s" % e)
    else:
        servers = servers_named(config) or [DEFAULT_SERVER]
    targets, problems = discover(servers, patterns(config), look_deadline(timeout))
    why = verdict(config, servers, targets, problems)
    pool = pool_of(config)
    params = {}
    if why is None:
        # Each device's properties, for the pool and the hdc_require marker: asked once the
        # lab has passed the checks above, so that a run stopped by them only looked.
        params, unasked = ask_params(targets, look_deadline(timeout))
        if pool:
            problems += unasked
            targets = [t for t in targets if matches(params.get(t.label), pool)]
            why = verdict(config, servers, targets, problems + ([] if targets else ["no device has %s" % describe(pool)]))
    taken, waited = [], 0.0
    if why is None and sims is None:    # a simulated farm is the run's own
        targets, taken, waited = lock_devices(config, targets, timeout)
        in_use = "in use by another run: %s" % ", ".join(t.label for t in taken)
        if not targets:
            why = "no HDC device to run on (servers: %s): every device is %s (waited %s s, --hdc-timeout)" % (
                ", ".join(servers), in_use, seconds(waited))
        elif taken:
            why = verdict(config, servers, targets, problems)
            why = why and why + "; " + in_use
    if why is not None:
        if sims is not None:
            sims.stop()
        raise FarmError(why)
    farm = Farm(targets, problems, sims, timeout)
    farm.params = {t.label: params.get(t.label, {}) for t in targets}
    farm.pool = pool
    farm.taken, farm.waited = taken, waited
    return farm


def lock_devices(config, targets, timeout):
    """(free, taken, seconds waited): the devices locked for this run, for the whole run,
    and those another run holds; with too few free, it waits up to the test deadline."""
    from .device_locks import DeviceLocks

    start = []

    def waiting(taken):
        # Before the header: a run that seems stuck says why, at once.
        start.append(time.monotonic())
        sys.stderr.write("hdc farm: in use by another run: %s; waiting up to %s s (--hdc-timeout)\n" % (
            ", ".join(t.label for t in taken), seconds(timeout)))
        sys.stderr.flush()

    locks = DeviceLocks()
    config.add_cleanup(locks.release)
    free, taken = locks.take(targets, max(1, config.getoption("hdc_min_devices") or 1), timeout, waiting)
    return free, taken, time.monotonic() - start[0] if start else 0.0


def verdict(config, servers, targets, problems):
    """Why the run cannot start with these devices, or None."""
    minimum = config.getoption("hdc_min_devices")
    if not targets:
        why = problems + ["no device matches %s" % ", ".join(patterns(config))] if patterns(config) else problems
        return "no HDC device to run on (servers: %s)%s" % (", ".join(servers), "".join("; " + w for w in why))
    if problems and strict(config):
        return "--hdc-strict: %s" % "; ".join(problems)
    if minimum is not None and len(targets) < minimum:
        return "--hdc-min-devices %d: %d found (%s)%s" % (minimum, len(targets), ", ".join(t.label for t in targets),
                                                          "".join("; " + p for p in problems))
    return None
