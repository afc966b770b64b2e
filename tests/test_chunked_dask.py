"""Chunks as Dask tasks on a local cluster of two worker processes.

The clusters listen on 127.0.0.1 only, without a dashboard: nothing in these
tests reaches another address.
"""

import collections
import dataclasses
import os
import signal

import dask
import numpy as np
import pandas as pd
import pytest
from distributed import Client, LocalCluster

import corrshift
from corrshift.cli import main

from corrshift.chunk_engine import pair_cycle_seconds, run_chunks, task_threads
from corrshift.options import available_cpus
from corrshift.parquet_sink import parquet_sink
from test_api_chunks import FRAME, GIVEN, GROUPS, LABELS, QUIET
from test_chunked import GROUP1, GROUP2, PAIRS, assert_same_rows, make_job, single_call


# Two clusters at once (the module's and the one of the kill test) cannot both
# take the default HTTP port; the second moves to a free one, on 127.0.0.1 too.
pytestmark = pytest.mark.filterwarnings("ignore:Port 8787 is already in use")


def local_cluster(worker_ttl=None):
    """Two single-thread worker processes; a scheduler that drops a worker silent for ``worker_ttl``."""
    settings = {} if worker_ttl is None else {"distributed.scheduler.worker-ttl": worker_ttl}
    with dask.config.set(settings):
        return LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                            dashboard_address=None)


def chunk_starts(client):
    """How often the scheduler started each chunk task, by task key."""
    return client.run_on_scheduler(lambda dask_scheduler: collections.Counter(
        str(entry[0]) for entry in dask_scheduler.transition_log
        if entry[2] == "processing" and "corrshift-chunk" in str(entry[0])))


@pytest.fixture(scope="module")
def client():
    with local_cluster() as cluster, Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(3)
    x = rng.normal(size=(23, 36)).astype(np.float32)
    x[5] = 0.25
    return x


@pytest.mark.parametrize("test,method,pairs,chunk", [
    ("ztest", "pearson", "all", 20),
    ("ztest", "spearman", "all", 50),
    ("ztest", "pearson", "given-ztest", 17),
    ("ztest", "spearman", "given-ztest", 40),
    ("score", "pearson", "all", 44),
    ("score", "spearman", "all", 100),
    ("score", "pearson", "given-score", 10),
    ("score", "spearman", "given-score", 25),
])
def test_dask_chunks_equal_single_call(client, data, test, method, pairs, chunk):
    job = make_job(test, method, aggregate="median" if method == "spearman" else "mean")
    result = run_chunks(data, GROUP1, GROUP2, job, pairs=PAIRS[pairs], chunk_pairs=chunk, client=client)
    assert result.chunks > 2
    assert_same_rows(result.columns, single_call(data, job, PAIRS[pairs]))


@pytest.mark.parametrize("reduction", [dict(top=12), dict(max_p=0.4)])
def test_dask_reductions_equal_local_ones(client, data, reduction):
    job = make_job("ztest", **reduction)
    on_dask = run_chunks(data, GROUP1, GROUP2, job, chunk_pairs=15, client=client)
    here = run_chunks(data, GROUP1, GROUP2, job, chunk_pairs=15)
    assert_same_rows(on_dask.columns, here.columns)
    assert np.array_equal(on_dask.tally.values, here.tally.values)
    assert np.array_equal(on_dask.tally.counts, here.tally.counts) and on_dask.tested == here.tested


def test_native_threads_default_to_the_workers_share(client):
    assert client.submit(task_threads, pure=False).result() == 1
    assert task_threads() == available_cpus()


def test_dask_parquet_dataset_equals_the_full_table(client, data, tmp_path):
    import pyarrow.parquet as pq

    job = make_job("ztest", "spearman")
    run_chunks(data, GROUP1, GROUP2, job, chunk_pairs=30, client=client, sink=parquet_sink(tmp_path / "out"))
    table = pq.read_table(tmp_path / "out").to_pydict()
    expected = single_call(data, job, None)
    assert_same_rows({k: np.asarray(v, dtype=expected[k].dtype) for k, v in table.items()}, expected)


@pytest.mark.slow
@pytest.mark.parametrize("victims", [1, 2])
def test_workers_killed_mid_run_lose_and_duplicate_no_chunk(victims):
    """One worker process killed while chunks run: Dask reruns its chunks.
    Both killed at once: the scattered matrix is lost with them, and the run
    sends it again and submits the chunks it has not received."""
    rng = np.random.default_rng(5)
    data = rng.normal(size=(240, 36)).astype(np.float32)
    job = dataclasses.replace(make_job("ztest"), permutations=150, threads=1)
    expected = run_chunks(data, GROUP1, GROUP2, job, chunk_pairs=2000).columns

    with local_cluster() as cluster, Client(cluster) as client:
        pids = sorted(client.run(os.getpid).values())
        killed = []

        def kill_workers(done, total):
            if done and not killed:
                assert done < total
                for victim in pids[:victims]:
                    os.kill(victim, signal.SIGKILL)
                killed.extend(pids[:victims])

        result = run_chunks(data, GROUP1, GROUP2, job, chunk_pairs=2000, client=client, progress=kill_workers)
        assert killed and not set(killed) & set(client.run(os.getpid).values())
        started = chunk_starts(client)
        if victims == 1:
            # The kill cost at least one chunk (running, or computed and not
            # yet gathered), which the scheduler started again.
            assert max(started.values()) >= 2
        else:
            # Chunks submitted again under a second run token.
            assert len({key.rsplit("-", 1)[0] for key in started}) >= 2
    assert result.chunks >= 10
    assert_same_rows(result.columns, expected)


@pytest.mark.slow
def test_chunks_longer_than_the_worker_ttl_finish_on_their_workers():
    """Chunks of some seconds each on a scheduler that drops a worker silent
    for 3 s: the native call leaves the interpreter free, so each worker keeps
    answering its scheduler and no chunk is lost or run twice."""
    rng = np.random.default_rng(7)
    data = rng.normal(size=(120, 36)).astype(np.float32)
    chunk_pairs = 2400  # 4 chunks of the 7,140 pairs (blocks of first features)
    samples = len(GROUP1) + len(GROUP2)
    # Some 4 s a chunk by the estimate, 5-10 s in practice.
    permutations = int(4 / (chunk_pairs * pair_cycle_seconds(samples)))
    job = dataclasses.replace(make_job("ztest"), permutations=permutations, threads=1)
    with local_cluster(worker_ttl="3s") as cluster, Client(cluster) as client:
        workers = set(client.scheduler_info()["workers"])
        result = run_chunks(data, GROUP1, GROUP2, job, chunk_pairs=chunk_pairs, client=client)
        assert set(client.scheduler_info()["workers"]) == workers
        assert set(chunk_starts(client).values()) == {1}
    assert result.chunks == 4
    assert_same_rows(result.columns, single_call(data, job, None))


@pytest.mark.filterwarnings("ignore:1 feature is constant within 'a'")
@pytest.mark.parametrize("options", [dict(), dict(top=6), dict(pairs=GIVEN, method="spearman"), dict(seed=77)])
def test_api_on_dask_equals_the_single_process(client, options):
    for test in (corrshift.ztest, corrshift.score):
        on_dask = test(FRAME, **GROUPS, **QUIET, client=client, chunk_pairs=9, **options)
        here = test(FRAME, **GROUPS, **QUIET, chunk_pairs=9, **options)
        pd.testing.assert_frame_equal(on_dask, here)
        if "top" not in options:
            pd.testing.assert_frame_equal(on_dask, test(FRAME, **GROUPS, **QUIET, **options))


@pytest.mark.filterwarnings("ignore:1 feature is constant within 'a'")
@pytest.mark.parametrize("options", [dict(), dict(top=5, pairs=GIVEN)])
def test_auto_on_dask_equals_the_single_process(client, options):
    auto = dict(progress=False, permutations="auto", max_permutations=3000, chunk_pairs=9, **options)
    for test in (corrshift.ztest, corrshift.score):
        on_dask, here = test(FRAME, **GROUPS, client=client, **auto), test(FRAME, **GROUPS, **auto)
        pd.testing.assert_frame_equal(on_dask, here)
        assert on_dask.attrs == here.attrs
        assert on_dask.cycles.max() > 1000  # rows of the second pass among them


@pytest.mark.filterwarnings("ignore:1 feature is constant within 'a'")
def test_command_line_with_a_scheduler(client, tmp_path, capsys):
    FRAME.to_csv(tmp_path / "data.tsv", sep="\t")
    LABELS.rename("kind").to_frame().to_csv(tmp_path / "samples.tsv", sep="\t")
    argv = ["score", tmp_path / "data.tsv", "--groups", tmp_path / "samples.tsv", "--by", "kind", "--compare",
            "a", "b", "--permutations", QUIET["permutations"], "--top", 4]
    outputs = []
    for extra in (["--scheduler", client.scheduler.address], []):
        assert main([str(a) for a in argv + extra]) == 0
        outputs.append(capsys.readouterr().out)
    assert outputs[0] == outputs[1] and len(outputs[0].splitlines()) == 5
