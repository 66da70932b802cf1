"""Where the durations of the last runs are kept: pytest's cache (`.pytest_cache`), or a
JSON file of the run's choosing (--hdc-durations PATH, the ini option hdc_durations) that
CI can keep between jobs and hand to fresh checkouts:

    {"kelpie_farm_durations": 1,
     "tests": {"tests/test_lock.py::test_unlock": {"seconds": 6.25, "device_type": "KSIM-AL00"}}}

`device_type` is the model (`const.product.model`) of the device the test last ran on, where
the farm knew it. A file of the older, flat form {test id: seconds} is read too.

Both stores answer as pytest's cache does, `get(key, default)` and `set(key, value)`, so
that Durations (order.py) keeps its durations in either.
"""

import json
import os

import pytest

from .order import Durations

DURATIONS = pytest.StashKey()   # the run's Durations, made on first need
FORMAT = 1
TYPE_PARAM = "const.product.model"


class DurationsFile:
    """The durations file: read once when the run starts, written when it ends."""

    def __init__(self, path):
        self.path = path
        self.seconds = {}
        self.kinds = {}         # test id -> device type; Durations adds this run's
        try:
            with open(path, encoding="utf-8") as f:
                data = json.load(f)
        except FileNotFoundError:
            return
        except (OSError, ValueError) as e:
            raise pytest.UsageError("--hdc-durations %s cannot be read: %s" % (path, e))
        tests = data.get("tests", data) if isinstance(data, dict) else {}
        for nodeid, entry in tests.items() if isinstance(tests, dict) else ():
            seconds = entry.get("seconds") if isinstance(entry, dict) else entry
            if isinstance(nodeid, str) and isinstance(seconds, (int, float)) and not isinstance(seconds, bool):
                self.seconds[nodeid] = float(seconds)
                kind = entry.get("device_type") if isinstance(entry, dict) else None
                if isinstance(kind, str):
                    self.kinds[nodeid] = kind

    def get(self, key, default):
        return dict(self.seconds)

    def set(self, key, value):
        tests = {}
        for nodeid, seconds in value.items():
            entry = tests[nodeid] = {"seconds": round(seconds, 4)}
            if nodeid in self.kinds:
                entry["device_type"] = self.kinds[nodeid]
        folder = os.path.dirname(os.path.abspath(self.path))
        os.makedirs(folder, exist_ok=True)
        temporary = "%s.%d.tmp" % (self.path, os.getpid())
        with open(temporary, "w", encoding="utf-8") as f:
            json.dump({"kelpie_farm_durations": FORMAT, "tests": tests}, f, indent=1, sort_keys=True,
                      ensure_ascii=False)
            f.write("\n")
        os.replace(temporary, self.path)    # a reader never sees half a file


def durations_path(config):
    """The durations file the run names (absolute), or None for pytest's cache."""
    path = config.getoption("hdc_durations", None)
    if path:
        return os.path.join(str(config.invocation_params.dir), path)
    path = config.getini("hdc_durations")
    if path:
        base = config.inipath.parent if config.inipath is not None else config.rootpath
        return os.path.join(str(base), path)
    return None


def durations_of(config):
    """The run's Durations: from the durations file when one is named, else from pytest's
    cache (none with -p no:cacheprovider)."""
    durations = config.stash.get(DURATIONS, None)
    if durations is None:
        path = durations_path(config)
        store = DurationsFile(path) if path else getattr(config, "cache", None)
        durations = config.stash[DURATIONS] = Durations(store)
    return durations


def device_type(farm, label):
    """The model of the device `label`, where the farm asked it."""
    params = getattr(farm, "params", None) or {}
    return (params.get(label) or {}).get(TYPE_PARAM)
