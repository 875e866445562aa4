"""Benchmark report: each `bench/bench_*.py` module contributes cases that time a trovix
operation side by side with the best standard-library / NumPy / pandas way of doing the same job.

A module defines `cases()` returning a list of `Case` objects (see `bench/common.py`). The report
prints, per case, the median time of each contender and the ratio peer_time / trovix_time
(above 1 means trovix is faster).

    ./dev bench                 run every case
    ./dev bench frequencies     run the cases whose name contains "frequencies"
"""

import importlib
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from common import report  # noqa: E402


def main(argv):
    pattern = argv[0] if argv else ""
    cases = []
    for path in sorted(pathlib.Path(__file__).resolve().parent.glob("bench_*.py")):
        module = importlib.import_module(path.stem)
        cases.extend(c for c in module.cases() if pattern in c.name)
    if not cases:
        print("no benchmark case matches", repr(pattern))
        return 1
    report(cases)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
