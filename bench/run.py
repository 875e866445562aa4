"""Benchmark report: each `bench/bench_*.py` module contributes cases that time a trovix
operation side by side with the best standard-library / NumPy / pandas way of doing the same job.

A module defines `cases()` returning a list of `Case` objects (see `bench/common.py`). A case whose
callables return iterators is timed both streamed (one item at a time, nothing kept) and collected
(`list`); the report shows the worse of the two and says which. The report
prints, per case, the time of each contender (the fastest of interleaved rounds) and the ratio
peer_time / trovix_time (above 1 means trovix is faster), then the scaling table (bench/scaling.py), and writes
build/bench/report.json and build/bench/report.png.

    ./dev bench                     run every case and the scaling table
    ./dev bench frequencies         run the cases whose name contains "frequencies"
    ./dev bench --only frequencies  the same
    ./dev bench --only scaling      the scaling table alone
    ./dev bench --huge              also 10^8 distinct values in the scaling table (about 9 GB)
"""

import argparse
import importlib
import json
import os
import pathlib
import platform
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from common import report  # noqa: E402

OUT = HERE.parent / "build" / "bench"


def main(argv):
    parser = argparse.ArgumentParser(prog="./dev bench", description=__doc__.split("\n\n")[0])
    parser.add_argument("pattern", nargs="?", default="", help="run the cases whose name contains it")
    parser.add_argument("--only", default=None, metavar="WORD", help="run the cases whose name contains WORD")
    parser.add_argument("--huge", action="store_true", help="10^8 distinct values in the scaling table")
    parser.add_argument("--no-scaling", action="store_true", help="leave out the scaling table")
    parser.add_argument("--out", default=str(OUT), help="where report.json and report.png go (default: %(default)s)")
    args = parser.parse_args(argv)
    pattern = args.only if args.only is not None else args.pattern

    cases = []
    for path in sorted(HERE.glob("bench_*.py")):
        module = importlib.import_module(path.stem)
        cases.extend(c for c in module.cases() if pattern in c.name)
    with_scaling = (pattern == "" or pattern in "scaling") and not args.no_scaling
    if not cases and not with_scaling:
        print("no benchmark case matches", repr(pattern))
        return 1
    records = report(cases) if cases else []
    if records:
        import chart
        print(chart.summary(records))
    scaling = []
    if with_scaling:
        import scaling as scaling_table
        print()
        scaling = scaling_table.run(args.huge)

    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    meta = {"cpus": os.cpu_count(), "machine": platform.machine(), "python": platform.python_version(),
            "pattern": pattern}
    (out / "report.json").write_text(json.dumps({"meta": meta, "cases": records, "scaling": scaling}, indent=1))
    import chart
    chart.draw(records, scaling, out / "report.png")
    print(f"\nwrote {out / 'report.json'} and {out / 'report.png'}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
