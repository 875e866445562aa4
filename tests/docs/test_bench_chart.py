"""The benchmark chart (bench/chart.py): the goal summary, clipping of outliers, and drawing
records with and without goals, with fields it does not know."""

import pathlib
import sys

import pytest

pytest.importorskip("matplotlib")
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))
import chart  # noqa: E402


@pytest.mark.numpy  # matplotlib draws through NumPy
def test_summary_clipping_and_drawing(tmp_path):
    cases = [
        {"name": "a", "peer_name": "p", "ratio": 3.0, "goal_ratio": 2.0, "met": True},
        {"name": "b", "peer_name": "p", "ratio": 0.5, "goal_ratio": 1.0, "met": False},
        {"name": "c", "peer_name": "p", "ratio": 17641.0, "goal_ratio": None, "met": None, "streamed_s": 1.0},
        {"name": "d", "peer_name": "p", "ratio": 0.02, "goal_ratio": 5.0},  # no "met": judged by ratio
    ] + [{"name": f"e{i}", "peer_name": "p", "ratio": 1.5 + i / 10, "goal_ratio": None} for i in range(30)]
    assert chart.summary(cases) == "1 of 3 goals met (31 cases without a goal); missed: b, d"
    lo, hi = chart._limits([c["ratio"] for c in cases], [c["goal_ratio"] for c in cases])
    assert lo <= 0.5 and 5.0 <= hi < 17641.0  # goals shown, the outlier clipped
    chart.draw(cases, [], tmp_path / "report.png")
    assert (tmp_path / "report.png").stat().st_size > 10000
