"""Option and result values as the payloads of worker processes: a process pool, and a local
Dask cluster of two worker processes."""

import collections
import concurrent.futures
import functools
import operator
import random

import pytest

import trovix._trovix as T
from trovix._trovix import Err, Nothing, Ok, Option, Result, Some

TIMEOUT = 120  # seconds, for starting the cluster and for each computation


def parse(text):
    """A task that reports failure as a value."""
    try:
        return Ok(int(text))
    except ValueError as exc:
        return Err(exc)


def first_digit(text):
    return Option.of(next((c for c in text if c.isdigit()), None)).map(int)


INPUTS = ["1", "x", "-7", "", "3.5", "42"]


def shape(r):
    """What a result holds; exceptions (which compare by identity) by type and arguments."""
    inner = r.error if type(r) is Err else r.value
    if isinstance(inner, BaseException):
        inner = (type(inner), inner.args)
    return type(r), inner


def test_process_pool_returns_results():
    with concurrent.futures.ProcessPoolExecutor(max_workers=2) as pool:
        parsed = list(pool.map(parse, INPUTS, timeout=TIMEOUT))
        digits = list(pool.map(first_digit, INPUTS, timeout=TIMEOUT))
    assert [shape(r) for r in parsed] == [shape(parse(s)) for s in INPUTS]
    assert [type(r) for r in parsed] == [Ok, Err, Ok, Err, Err, Ok]
    assert shape(parsed[1]) == (Err, (ValueError, ("invalid literal for int() with base 10: 'x'",)))
    assert digits == [Some(1), Nothing, Some(7), Nothing, Some(3), Some(4)]


# ---- Dask ------------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def client():
    pytest.importorskip("dask.bag", reason="Dask is not installed")
    distributed = pytest.importorskip("distributed", reason="dask.distributed is not installed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0", timeout=TIMEOUT) as cluster, \
            distributed.Client(cluster, timeout=TIMEOUT) as c:
        c.wait_for_workers(2, timeout=TIMEOUT)
        yield c


_rng = random.Random(7)
WORDS = [_rng.choice(["ant", "bee", "cat", "dog", "eel", "fox", 1, 2.0, (3, 4)]) for _ in range(5000)]


def test_dask_bag_frequencies_merged_per_partition(client):
    import dask.bag as db

    bag = db.from_sequence(WORDS, npartitions=6)
    # Each partition is counted where it lives; partial counts are summed two at a time.
    counts = bag.reduction(T.frequencies, functools.partial(T.merge_with, sum), split_every=2)
    result = client.compute(counts).result(timeout=TIMEOUT)
    assert result == collections.Counter(WORDS) and len(result) == 9
    partials = client.compute(bag.map_partitions(lambda part: [T.frequencies(part)])).result(timeout=TIMEOUT)
    assert len(partials) == bag.npartitions > 2 and T.merge_with(sum, *partials) == result


def test_dask_tasks_return_results_intact(client):
    tasks = [functools.partial(int, "12"), functools.partial(operator.truediv, 1, 0),
             functools.partial(operator.getitem, {}, "missing"), functools.partial(parse, "x")]
    futures = client.map(Result.of, tasks, pure=False)
    got = client.gather(futures, errors="raise")
    assert got[0] == Ok(12)
    assert type(got[1]) is Err and type(got[1].error) is ZeroDivisionError
    assert type(got[2]) is Err and type(got[2].error) is KeyError and got[2].error.args == ("missing",)
    # A task that itself returns a result value comes back wrapped once more, unchanged inside.
    assert type(got[3]) is Ok and type(got[3].value) is Err and type(got[3].value.error) is ValueError
    # Values built on the workers hold the same as the same values built here.
    got = client.gather(client.map(parse, INPUTS))
    assert [shape(r) for r in got] == [shape(parse(s)) for s in INPUTS]
