"""The report chart: the ratio of every case on a log axis with its goal marked, and the scaling
table as time against size (log-log).

Reads the records as the report writes them (name, peer_name, ratio, goal_ratio, met; other
fields are ignored). Bars are green when the case met its goal, red when it missed it, and grey
when the case has no goal (a comparison for information only). The ratio axis is clipped to the
range that holds the goals and most cases; a bar beyond it ends in an arrow and carries its value.
"""

import math

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

MET, MISSED, NO_GOAL = "#3a8d2f", "#c0392b", "#a6a6a6"
DPI = 110
ROW_INCHES = 0.24


def _met(case):
    goal = case.get("goal_ratio")
    if goal is None:
        return None
    met = case.get("met")
    return bool(met) if met is not None else case["ratio"] >= goal


def summary(cases):
    """"N of M goals met", with the cases that missed named."""
    judged = [c for c in cases if _met(c) is not None]
    missed = [c["name"] for c in judged if not _met(c)]
    text = f"{len(judged) - len(missed)} of {len(judged)} goals met"
    if len(cases) > len(judged):
        text += f" ({len(cases) - len(judged)} cases without a goal)"
    if missed:
        text += "; missed: " + ", ".join(missed)
    return text


def draw(cases, scaling, path):
    top = ROW_INCHES * max(len(cases), 4) + 1.6 if cases else 0
    bottom = 7.0 if scaling else 0
    fig = plt.figure(figsize=(13, top + bottom), dpi=DPI, layout="constrained")
    parts = fig.subfigures(2, 1, height_ratios=[max(top, 0.01), max(bottom, 0.01)]) if cases and scaling else [fig]
    if cases:
        ratios(parts[0].subplots(), cases)
    if scaling:
        axes = parts[-1].subplots(2, 2)
        for i, (op, peers) in enumerate((("frequencies", ("value_counts", "np_unique")), ("unique", ("pd_unique",)))):
            for j, dist in enumerate(("1%", "100%")):
                sizes(axes[i][j], scaling, op, peers, dist)
    fig.savefig(path, dpi=DPI, pil_kwargs={"optimize": True})
    plt.close(fig)


def _limits(values, goals):
    """An axis range that shows every goal and the bulk of the ratios, on powers of ten; the
    outliers beyond it are clipped."""
    logs = sorted(math.log10(v) for v in values if v > 0)
    if not logs:
        return 0.1, 10.0
    lo_q = logs[int(0.05 * (len(logs) - 1))]
    hi_q = logs[int(math.ceil(0.95 * (len(logs) - 1)))]
    goal_logs = [math.log10(g) for g in goals if g]
    lo = math.floor(min([lo_q, 0.0, *goal_logs]) - 0.05)
    hi = math.ceil(max([hi_q, 1.0, *goal_logs]) + 0.05)
    return 10.0 ** lo, 10.0 ** hi


def _fmt(v):
    if v >= 100:
        return f"{v:,.0f}×"
    return f"{v:.2g}×" if v < 1 else f"{v:.3g}×"


def ratios(ax, cases):
    cases = cases[::-1]  # the first case at the top
    names = [f"{c['name']}  vs {c.get('peer_name', '')}" for c in cases]
    values = [c["ratio"] for c in cases]
    goals = [c.get("goal_ratio") for c in cases]
    lo, hi = _limits(values, goals)
    colors = [NO_GOAL if m is None else (MET if m else MISSED) for m in map(_met, cases)]
    y = range(len(cases))
    shown = [min(max(v, lo), hi) for v in values]
    ax.barh(y, [s - lo for s in shown], color=colors, height=0.65, left=lo)
    for yi, v, s, g in zip(y, values, shown, goals):
        if g is not None:
            ax.plot([g, g], [yi - 0.42, yi + 0.42], color="black", linewidth=2)
        clipped = v > hi or v < lo
        label = _fmt(v) + (" ▶" if v > hi else "")
        if v > hi:  # annotated inside the right edge
            ax.text(hi / 1.04, yi, label, va="center", ha="right", fontsize=8, fontweight="bold", color="white")
        else:
            ax.text(s * 1.06, yi, ("◀ " if clipped else "") + label, va="center", ha="left", fontsize=8)
    ax.axvline(1.0, color="black", linestyle=":", linewidth=1)
    ax.set_xscale("log")
    ax.set_xlim(lo, hi)
    ax.set_ylim(-0.7, len(cases) - 0.3)
    ax.set_yticks(list(y))
    ax.set_yticklabels(names, fontsize=8.5)
    ax.tick_params(axis="x", labelsize=9)
    ax.grid(True, axis="x", which="major", alpha=0.3)
    ax.set_xlabel("peer time / trovix time, log scale (right of the dotted line: trovix is faster). "
                  "Black tick: the case's goal. Green: goal met; red: goal missed; grey: no goal. "
                  "▶: beyond the axis", fontsize=9)
    ax.set_title(f"trovix against its peers, one run: {summary(cases).split(';')[0]}", fontsize=12,
                 loc="left", fontweight="bold")


def sizes(ax, scaling, op, peers, dist):
    rows = [r for r in scaling if r["dist"] == dist]
    n = [r["n"] for r in rows]
    ax.plot(n, [r[op] for r in rows], "o-", label=f"trovix {op}, all workers")
    if any(r.get(op + "_1w") for r in rows):
        pts = [(r["n"], r[op + "_1w"]) for r in rows if r.get(op + "_1w")]
        ax.plot(*zip(*pts), "o--", label=f"trovix {op}, 1 worker")
    for p in peers:
        ax.plot(n, [r[p] for r in rows], "s-", alpha=0.7, label=p.replace("_", "."))
    ax.plot(n, [r["read_s"] for r in rows], ":", color="black", label="streaming read (limit)")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("int64 elements", fontsize=9)
    ax.set_ylabel("seconds", fontsize=9)
    ax.tick_params(labelsize=8)
    ax.set_title(f"{op}, {dist} distinct", fontsize=10)
    ax.legend(fontsize=8)
    ax.grid(True, which="major", alpha=0.3)
