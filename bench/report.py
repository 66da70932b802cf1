"""The benchmark's table (Markdown, also read in a terminal), its goal verdicts and its chart."""

import statistics

from workloads import BULK, UTF8

NAMES = {"kelpie": "kelpie", "floor": "floor", "pure": "pure Python", "baseline": "C++ baseline"}
ORDER = ("kelpie", "floor", "pure", "baseline")
# The contenders whose figures kelpie's are divided by, in the table's ratio columns.
AGAINST = ("floor", "baseline", "pure")
BULK_ROWS = [
    ("mb_per_s", "MB/s, loop", "{:,.0f}", True),
    ("peak_above_idle_x_output", "peak RSS above idle over the loop, × output", "{:.2f}", True),
    ("first_mb_per_s", "first call alone (fresh process): MB/s", "{:,.0f}", False),
    ("first_peak_above_idle_x_output", "first call alone: peak RSS above idle, × output", "{:.2f}", False),
]
# (workload, figure, label, format, drawn in the chart)
ROWS = [
    ("list_targets", "calls_per_s", "calls/s", "{:,.0f}", True),
    ("list_targets", "cpu_us_per_call", "client CPU µs per call", "{:.2f}", True),
] + [(key,) + row for key in BULK + UTF8 for row in BULK_ROWS] + [
    ("construct", "clients_per_s", "clients/s", "{:,.0f}", True),
    ("construct", "cpu_us_per_client", "client CPU µs per client", "{:.1f}", True),
]


def evaluate_goals(medians, goals):
    out = []
    for workload, fig, against, sense, threshold in goals:
        value = medians.get(workload, {}).get("kelpie", {}).get(fig)
        if against == "output":
            reference = 1.0
        else:
            reference = medians.get(workload, {}).get(against, {}).get(fig)
        ratio = value / reference if value is not None and reference else None
        met = ratio is not None and (ratio >= threshold if sense == "min" else ratio <= threshold)
        out.append({"workload": workload, "figure": fig, "against": against, "sense": sense,
                    "threshold": threshold, "ratio": ratio, "met": met})
    return out


def goal_text(goal):
    sign = "≥" if goal["sense"] == "min" else "≤"
    ratio = "n/a" if goal["ratio"] is None else "%.2f" % goal["ratio"]
    return "%s %g× %s: %s (%s)" % (sign, goal["threshold"], goal["against"], "pass" if goal["met"] else "FAIL", ratio)


def ratio_text(medians, workload, fig, other):
    mine = medians.get(workload, {}).get("kelpie", {}).get(fig)
    theirs = medians.get(workload, {}).get(other, {}).get(fig)
    return "%.2f" % (mine / theirs) if mine is not None and theirs else "–"


def cell(medians, workload, name, fig, fmt):
    figs = medians.get(workload, {}).get(name)
    if not figs:
        return "–"
    text = fmt.format(figs[fig])
    if fig.endswith("peak_above_idle_x_output"):
        text += " (%.0f MiB)" % figs[fig.replace("_x_output", "_mib")]
    return text


def table(result):
    medians = result["medians"]
    head = ["workload", "figure (median)"] + [NAMES[n] for n in ORDER]
    head += ["kelpie ÷ %s" % n for n in AGAINST] + ["goals"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    last = None
    for workload, fig, label, fmt, _ in ROWS:
        if workload not in medians:
            continue
        goals = [goal_text(g) for g in result["goals"] if g["workload"] == workload and g["figure"] == fig]
        row = [result["workloads"][workload]["title"] if workload != last else "", label]
        row += [cell(medians, workload, name, fig, fmt) for name in ORDER]
        row += [ratio_text(medians, workload, fig, other) for other in AGAINST]
        row.append("; ".join(goals))
        lines.append("| " + " | ".join(row) + " |")
        last = workload
    return "\n".join(lines)


def server_notes(result):
    lines = []
    busy = []
    for workload, by_name in result["samples"].items():
        runs = by_name.get("baseline", [])
        if runs:
            server = statistics.median(r["server_cpu_s"] / r["wall_s"] for r in runs)
            client = statistics.median(r["cpu_s"] / r["wall_s"] for r in runs)
            busy.append("%s %.0f%% / %.0f%%" % (workload, 100 * server, 100 * client))
    if busy:
        lines.append("CPU of the server / of the baseline client while they run, as a share of one core (median): "
                     + ", ".join(busy) + ".")
    spare = result.get("server_headroom") or {}
    if spare:
        parts = ["%s %.2f×" % (k, v["two_clients"] / v["one_client"]) for k, v in spare.items()]
        lines.append("Two baseline clients at once against one (aggregate rate ÷ single rate): " + ", ".join(parts) + ".")
    return lines


BIG_TEXTS = {"shell_1gib": "ASCII", "shell_utf8_1gib": "UTF-8"}


def big_table(result):
    by_workload = result.get("big") or {}
    if not by_workload:
        return []
    lines = ["", "One shell call returning 1 GiB (523264-byte packets), one run each:", "",
             "| text | contender | returned whole | MB/s | peak RSS above idle | peak RSS | largest free stretch of address space, idle |",
             "|---|---|---|---|---|---|---|"]
    for key, runs in by_workload.items():
        for name in ORDER:
            run = runs.get(name)
            if not run:
                continue
            head = "| %s | %s |" % (BIG_TEXTS.get(key, key), NAMES[name])
            if run["whole"]:
                free = run.get("idle_free_stretch_mib")
                lines.append("%s yes | %.0f | %.0f MiB | %.0f MiB | %s |" % (
                    head, run["mb_per_s"], run["peak_above_idle_mib"], run["peak_rss_mib"],
                    "%.0f MiB" % free if free else "–"))
            else:
                error = run["error"].replace("|", "/").replace("\n", " ")
                lines.append("%s no: %s | – | – | – | – |" % (head, error))
    return lines


def render(result):
    m = result["machine"]
    met = sum(g["met"] for g in result["goals"])
    lines = [
        "kelpie benchmark, %s (%s): medians of %d rounds%s" % (
            result["interpreter"], result["python"], result["rounds"], ", QUICK workloads" if result["quick"] else ""),
        "machine: %d CPUs (%s), load average %s before and %s after; %s" % (
            m["cpus"], m["cpu_model"], "/".join("%.2f" % x for x in m["load_average_before"]),
            "/".join("%.2f" % x for x in m["load_average"]), result["started"]),
        "",
        table(result),
        "",
        "Goals met: %d of %d. MB = 10^6 bytes of output text. Bulk workloads: %d calls in a row in one process, "
        "timed over the calls alone; memory is the peak resident set above the idle interpreter (client built), "
        "as a multiple of one call's output." % (met, len(result["goals"]), result.get("calls", 1)),
    ]
    lines += big_table(result)
    lines += server_notes(result)
    for failure in result["failures"]:
        lines.append("FAILED: " + failure)
    return "\n".join(lines)


def _short(value):
    if value >= 10000:
        return "%.0fk" % (value / 1000)
    return "%.0f" % value if value >= 100 else "%.2f" % value


def chart(result, path):
    """Draws one bar panel per table row; returns a line saying what happened."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return "no chart: matplotlib is not installed for this interpreter"
    rows = [r for r in ROWS if r[0] in result["medians"] and r[4]]
    if not rows:
        return "no chart: none of the workloads run has a chart panel"
    cols = min(6, len(rows))
    nrows = -(-len(rows) // cols)
    fig, axes = plt.subplots(nrows, cols, figsize=(4.2 * cols, 3.8 * nrows), squeeze=False)
    colours = {"kelpie": "#2a7ab0", "floor": "#3a9a5a", "pure": "#d08a2c", "baseline": "#6a6a6a"}
    for ax, (workload, key, label, _, _) in zip(axes.flat, rows):
        names = [n for n in ORDER if result["samples"][workload].get(n)]
        values = [result["medians"][workload][n][key] for n in names]
        runs = [[s["figures"][key] for s in result["samples"][workload][n]] for n in names]
        low = [v - min(r) for v, r in zip(values, runs)]
        high = [max(r) - v for v, r in zip(values, runs)]
        bars = ax.bar([NAMES[n] for n in names], values, color=[colours[n] for n in names], yerr=[low, high],
                      capsize=3)
        ax.bar_label(bars, labels=[_short(v) for v in values], label_type="center", fontsize=8, color="white")
        for goal in result["goals"]:
            if goal["workload"] != workload or goal["figure"] != key:
                continue
            ref = 1.0 if goal["against"] == "output" else result["medians"][workload].get(goal["against"], {}).get(key)
            if ref:
                ax.axhline(goal["threshold"] * ref, color="#2e9e44" if goal["met"] else "#c62828", linestyle="--",
                           linewidth=1)
                ax.annotate("goal %g× %s" % (goal["threshold"], goal["against"]), (0, goal["threshold"] * ref),
                            xytext=(2, 2), textcoords="offset points", fontsize=7,
                            xycoords=("axes fraction", "data"))
        ax.set_title("%s\n%s" % (result["workloads"][workload]["title"], label), fontsize=9)
        ax.tick_params(axis="x", labelsize=8)
        ax.tick_params(axis="y", labelsize=8)
    for ax in list(axes.flat)[len(rows):]:
        ax.set_visible(False)
    fig.suptitle("kelpie benchmark, %s (%s): medians of %d rounds, bars span min–max; dashed: goals "
                 "(green met, red missed)" % (result["interpreter"], result["python"], result["rounds"]), fontsize=10)
    fig.tight_layout(rect=(0, 0, 1, 1 - 0.1 / nrows))
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return "chart: " + path
