"""The report chart: the ratio of every case on a log axis with its goal marked, and the scaling
table as time against size (log-log)."""

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def draw(cases, scaling, path):
    top = 0.2 * max(len(cases), 4) + 1.2 if cases else 0
    bottom = 6.4 if scaling else 0
    fig = plt.figure(figsize=(11, top + bottom), dpi=56, layout="constrained")
    parts = fig.subfigures(2, 1, height_ratios=[max(top, 0.01), max(bottom, 0.01)]) if cases and scaling else [fig]
    if cases:
        ratios(parts[0].subplots(), cases)
    if scaling:
        axes = parts[-1].subplots(2, 2)
        for i, (op, peers) in enumerate((("frequencies", ("value_counts", "np_unique")), ("unique", ("pd_unique",)))):
            for j, dist in enumerate(("1%", "100%")):
                sizes(axes[i][j], scaling, op, peers, dist)
    fig.savefig(path, pil_kwargs={"optimize": True})
    plt.close(fig)


def ratios(ax, cases):
    names = [c["name"] + "  vs " + c["peer_name"] for c in cases][::-1]
    values = [c["ratio"] for c in cases][::-1]
    goals = [c["goal_ratio"] for c in cases][::-1]
    colors = ["#4c9a2a" if g is None or v >= g else "#c0392b" for v, g in zip(values, goals)]
    y = range(len(cases))
    ax.barh(y, values, color=colors, height=0.6)
    for yi, g in zip(y, goals):
        if g is not None:
            ax.plot([g, g], [yi - 0.4, yi + 0.4], color="black", linewidth=2)
    ax.axvline(1.0, color="grey", linestyle=":", linewidth=1)
    ax.set_xscale("log")
    ax.set_yticks(list(y))
    ax.set_yticklabels(names, fontsize=7)
    ax.set_xlabel("peer time / trovix time (log; right of the dotted line: trovix faster; "
                  "black tick: goal; red: goal missed)", fontsize=8)
    ax.set_title("trovix against its peers, one run", fontsize=10)


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
    ax.set_xlabel("int64 elements", fontsize=8)
    ax.set_ylabel("seconds", fontsize=8)
    ax.set_title(f"{op}, {dist} distinct", fontsize=9)
    ax.legend(fontsize=6)
    ax.grid(True, which="major", alpha=0.3)
