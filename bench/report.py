"""The benchmark's table (Markdown, also read in a terminal), its goal verdicts and its chart."""

import statistics

NAMES = {"kelpie": "kelpie", "pure": "pure Python", "baseline": "C++ baseline"}
# (workload, figure, label, format)
ROWS = [
    ("list_targets", "calls_per_s", "calls/s", "{:,.0f}"),
    ("list_targets", "cpu_us_per_call", "client CPU µs per call", "{:.2f}"),
    ("shell_523264", "mb_per_s", "MB/s", "{:,.0f}"),
    ("shell_523264", "peak_above_idle_x_output", "peak RSS above idle, × output", "{:.2f}"),
    ("shell_4096", "mb_per_s", "MB/s", "{:,.0f}"),
    ("shell_4096", "peak_above_idle_x_output", "peak RSS above idle, × output", "{:.2f}"),
    ("hilog_65536", "mb_per_s", "MB/s", "{:,.0f}"),
    ("hilog_65536", "peak_above_idle_x_output", "peak RSS above idle, × output", "{:.2f}"),
    ("construct", "clients_per_s", "clients/s", "{:,.0f}"),
    ("construct", "cpu_us_per_client", "client CPU µs per client", "{:.1f}"),
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
    if fig == "peak_above_idle_x_output":
        text += " (%.0f MiB)" % figs["peak_above_idle_mib"]
    return text


def table(result):
    medians = result["medians"]
    head = ["workload", "figure (median)", NAMES["kelpie"], NAMES["pure"], NAMES["baseline"],
            "kelpie ÷ baseline", "kelpie ÷ pure", "goals"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    last = None
    for workload, fig, label, fmt in ROWS:
        if workload not in medians:
            continue
        goals = [goal_text(g) for g in result["goals"] if g["workload"] == workload and g["figure"] == fig]
        row = [result["workloads"][workload]["title"] if workload != last else "", label]
        row += [cell(medians, workload, name, fig, fmt) for name in ("kelpie", "pure", "baseline")]
        row += [ratio_text(medians, workload, fig, "baseline"), ratio_text(medians, workload, fig, "pure")]
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
        "Goals met: %d of %d. MB = 10^6 bytes of output text; memory is the peak resident set above the idle "
        "interpreter (client built), as a multiple of the output size." % (met, len(result["goals"])),
    ]
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
    rows = [r for r in ROWS if r[0] in result["medians"]]
    cols = (len(rows) + 1) // 2
    fig, axes = plt.subplots(2, cols, figsize=(3.6 * cols, 7.6))
    colours = {"kelpie": "#2a7ab0", "pure": "#d08a2c", "baseline": "#6a6a6a"}
    for ax, (workload, key, label, _) in zip(axes.flat, rows):
        names = [n for n in ("kelpie", "pure", "baseline") if result["samples"][workload][n]]
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
    fig.tight_layout(rect=(0, 0, 1, 0.95))
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return "chart: " + path
