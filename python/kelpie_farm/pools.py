"""Device pools by property: which devices answer `param get NAME` with VALUE.

Every device's properties are asked once, at discovery, with `param get` (all of them in one
answer). A kelpie call holds the interpreter lock, so no thread can bound one: the asking
runs in child processes, one per server side by side, and whatever has not answered by the
deadline is killed and its devices counted as not answering.
"""

import json
import os
import subprocess
import sys
import time

DEADLINE = 15.0     # seconds for every device of the farm to answer

# The child: one line of JSON per device of its server, as each answers.
ASK = r'''
import json, sys
import kelpie
server = sys.argv[1]
for serial in sys.argv[2:]:
    try:
        client = kelpie.HdcClient(server)
        client.connect_device(serial)
        answer = client.shell("param get")
    except RuntimeError as e:
        answer, error = None, str(e)
    else:
        error = None
    print(json.dumps({"serial": serial, "answer": answer, "error": error}), flush=True)
'''


class Requirement(tuple):
    """NAME=VALUE: a device property and the value a device of the pool has."""

    __slots__ = ()

    def __new__(cls, text):
        name, sep, value = str(text).partition("=")
        name, value = name.strip(), value.strip()
        if not sep or not name:
            raise ValueError("a device requirement is NAME=VALUE (for example const.ohos.apiversion=11), not %r"
                             % str(text))
        return super().__new__(cls, (name, value))

    name = property(lambda self: self[0])
    value = property(lambda self: self[1])

    def __str__(self):
        return "%s=%s" % self


def requirements(texts):
    return [Requirement(t) for t in texts]


def matches(params, reqs):
    """Whether a device with these properties meets every requirement."""
    return params is not None and all(params.get(r.name) == r.value for r in reqs)


def describe(reqs):
    return ", ".join(str(r) for r in reqs)


def parse_params(answer):
    """{name: value} from `param get`'s "name = value" lines."""
    params = {}
    for line in answer.splitlines():
        name, sep, value = line.partition(" = ")
        if sep:
            params[name.strip()] = value.strip()
    return params


def ask_params(targets, deadline=DEADLINE, python=None):
    """({label: {name: value}}, problems): every device's properties; a device that did not
    answer within the deadline, or whose answer was an error, has none, and a problem says so."""
    by_server = {}
    for t in targets:
        by_server.setdefault(t.server, []).append(t)
    children = {}
    for server, devices in by_server.items():
        children[server] = subprocess.Popen(
            [python or sys.executable, "-c", ASK, server] + [t.serial for t in devices],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, env=child_env())
    end = time.monotonic() + deadline
    found, problems = {}, []
    for server, child in children.items():
        try:
            out, err = child.communicate(timeout=max(0.0, end - time.monotonic()))
            late = False
        except subprocess.TimeoutExpired:
            child.kill()
            out, err = child.communicate()
            late = True
        answers = {}
        for line in out.splitlines():
            try:
                item = json.loads(line)
                answers[item["serial"]] = item
            except (ValueError, KeyError, TypeError):
                continue
        for t in by_server[server]:
            item = answers.get(t.serial)
            if item is not None and item["answer"] is not None:
                found[t.label] = parse_params(item["answer"])
            elif item is not None:
                problems.append("%s did not answer param get: %s" % (t.describe(), item["error"]))
            elif late:
                problems.append("%s did not answer param get within %g s" % (t.describe(), deadline))
            else:
                problems.append("%s could not be asked its properties: %s" % (
                    t.describe(), (err.strip().splitlines() or ["the asking process ended"])[-1]))
    return found, problems


def child_env():
    """The child finds kelpie where this process did."""
    import kelpie

    env = dict(os.environ)
    where = os.path.dirname(os.path.dirname(os.path.abspath(kelpie.__file__)))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (where, env.get("PYTHONPATH")) if p)
    return env
