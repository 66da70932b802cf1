"""The run as one JSON document (--hdc-json PATH), for dashboards and history: the run, each
device, each test with every attempt. The guide describes every field ("Results as data");
`FORMAT` changes when a field changes meaning or goes.

It is made from what the timeline keeps (timeline.py), at the end of the run, by the
controlling process (or the only one).
"""

import datetime
import json
import os

FORMAT = 1


def moment(seconds):
    """An ISO 8601 time in UTC, to the millisecond."""
    when = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
    return when.isoformat(timespec="milliseconds").replace("+00:00", "Z")


def busy_shares(timeline, wall):
    busy = {}
    for a in timeline.attempts:
        busy[a.device] = busy.get(a.device, 0.0) + max(0.0, a.end - a.start)
    return {label: round(min(1.0, seconds / wall), 4) for label, seconds in busy.items()}


def results(timeline, lost, pool, shard, interrupted):
    """The document. `lost`: label -> why the device was lost; `pool`: its requirements as
    text; `shard`: "I/N" or None."""
    finished = timeline.finished or timeline.started
    busy = busy_shares(timeline, max(finished - timeline.started, 1e-6))
    servers = {label: server for label, _, server in timeline.devices}
    devices = [{"label": label, "serial": serial, "server": server, "busy": busy.get(label, 0.0),
                "lost": label in lost, "lost_why": lost.get(label)} for label, serial, server in timeline.devices]
    tests, order = {}, []
    for a in timeline.attempts:
        if a.nodeid not in tests:
            order.append(a.nodeid)
            tests[a.nodeid] = []
        tests[a.nodeid].append({
            "device": a.device, "server": servers.get(a.device), "worker": a.worker, "start": moment(a.start),
            "duration": round(max(0.0, a.end - a.start), 3),
            "outcome": "failed" if a.outcome == "rerun" else a.outcome, "message": a.message,
            "artifacts": list(getattr(a, "artifacts", ()) or ())})
    unfinished = "interrupted" if interrupted else "failed"     # a worker's test whose end never came
    entries = [{"id": nodeid, "outcome": timeline.final.get(nodeid, unfinished), "flaky": nodeid in timeline.flaky,
                "attempts": tests[nodeid]} for nodeid in order]
    entries += [{"id": nodeid, "outcome": "not run", "flaky": False, "why": why, "attempts": []}
                for nodeid, why in timeline.not_run.items() if nodeid not in tests]
    return {
        "kelpie_farm_results": FORMAT,
        "run": {"start": moment(timeline.started), "end": moment(finished),
                "status": "interrupted" if interrupted else "complete", "pool": list(pool), "shard": shard},
        "devices": devices,
        "tests": entries,
    }


def write_results(path, document):
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    temporary = "%s.%d.tmp" % (path, os.getpid())
    with open(temporary, "w", encoding="utf-8") as f:
        json.dump(document, f, indent=1, ensure_ascii=False)
        f.write("\n")
    os.replace(temporary, path)
