"""``ztest`` and ``score`` over pairs in chunks: bounded memory, Dask, Parquet output."""

from __future__ import annotations

import contextlib
import dataclasses

import numpy as np

from .adaptive import LOSSES, Adaptive
from .adaptive_chunks import finish_survivors
from .atomic import check_new_folder
from .analyses import GROUPS, SCORE, ZTEST
from .chunk_engine import Job, concat_rows, run_chunks
from .options import INT32_MAX, check_probability, check_whole
from .parquet_sink import attrs_metadata, parquet_dataset, pyarrow_modules, restamp
from .progress import progress_bar
from .tables import add_permutation_qvalues, add_qvalues, groups_rows, score_rows, ztest_rows



@dataclasses.dataclass(frozen=True)
class Chunking:
    """The options that make an analysis run in chunks."""

    chunk_pairs: int | None
    client: object | None
    top: int | None
    max_p: float | None
    out: object | None
    #: What the files of a folder ``out`` record of the analysis (the table's ``attrs`` but ``rows``).
    attrs: dict | None = None


def chunking_options(chunk_pairs=None, client=None, top=None, max_p=None, out=None) -> Chunking | None:
    """Check the chunk options; None when none is given (one native call)."""
    if chunk_pairs is None and client is None and top is None and max_p is None and out is None:
        return None
    if chunk_pairs is not None:
        chunk_pairs = check_whole(chunk_pairs, "chunk_pairs", 1, INT32_MAX)
    if top is not None:
        top = check_whole(top, "top", 1, INT32_MAX)
    if max_p is not None:
        max_p = check_probability(max_p, "max_p")
    if top is not None and out is not None:
        raise ValueError("top= and out= do not go together: top keeps the best rows in memory, "
                         "out= writes every row to disk")
    if out is not None:
        check_new_folder(out)  # refused before the analysis, not after it
    return Chunking(chunk_pairs, client, top, max_p, out)


def _parquet_schema(table, prep, attrs: dict | None = None):
    """The schema of every file of a dataset: names typed as the features they name, numbers as in the table
    (the engine's float32 columns, float64 p-values).

    Given once, so that a chunk without rows (all under ``max_p``) writes the
    same column types as the others. ``attrs`` go to its metadata, where
    ``pandas.read_parquet`` finds them.
    """
    pa, _ = pyarrow_modules()

    def name_type(column):
        sides = prep.sides
        features = {"feature_a": sides.names_a, "feature_b": sides.names_b}.get(column, prep.features) if sides \
            else prep.features
        return pa.array(features[:1].to_numpy()).type if len(features) else pa.string()

    schema = pa.schema([(c, name_type(c) if c.startswith("feature") else pa.string() if c in ("class", "side")
                         else pa.from_numpy_dtype(table[c].dtype)) for c in table.columns])
    return schema if attrs is None else schema.with_metadata(attrs_metadata(attrs))


def _run(prep, job: Job, pairs, chunking: Chunking, progress: bool | None, rows):
    """Run the chunks; (the table of kept rows or None when they went to ``out``, engine result).

    ``rows(prep, columns)`` turns a chunk's native columns into table rows.
    With ``permutations="auto"`` (``job.adaptive``) the chunks run their
    first passes and the survivors their second here
    (:mod:`corrshift.adaptive_chunks`), before the table is made.
    """
    job = dataclasses.replace(job, top=chunking.top, max_p=chunking.max_p,
                              exclude=prep.undefined if job.analysis.per_feature else None)
    dataset = contextlib.nullcontext()
    if chunking.out is not None:
        empty = rows(prep, concat_rows([], job.columns, job.analysis.wide))
        # The folder appears only once every chunk's file is in it.
        dataset = parquet_dataset(chunking.out, to_table=lambda columns: rows(prep, columns),
                                  schema=_parquet_schema(empty, prep, chunking.attrs))
    with dataset as sink:
        # One bar for the chunks; their native calls show none. Across groups, the
        # job holds the groups; the first two stand for the samples of every group.
        group1, group2 = (prep.group1, prep.group2) if job.groups is None else (np.concatenate(job.groups), [])
        with progress_bar(progress, "Chunks", "chunk") as report:
            result = run_chunks(prep.matrix, group1, group2, job, pairs=pairs,
                                chunk_pairs=chunking.chunk_pairs, client=chunking.client, sink=sink,
                                progress=report)
        if job.adaptive is not None:
            result = finish_survivors(prep.matrix, job, pairs, result, job.threads, progress, sink)
            if sink is not None:  # the cost curve, known only now
                restamp(sink.folder, dict(chunking.attrs or {}, row_cycles=result.row_cycles, rounds=result.rounds))
    if sink is not None:
        return None, result
    table = rows(prep, result.columns)
    if chunking.top is None and chunking.max_p is None:
        return add_qvalues(table, result.columns), result
    # Kept rows only: their permutation q-values come from the tally of all
    # tested rows; a normal q-value would need every normal p-value.
    return add_permutation_qvalues(table, result.tally).reset_index(drop=True), result


def _job(analysis, prep, method, alternative, aggregate, permutations, threads, dealing,
         auto: Adaptive | None) -> Job:
    """The chunks' job; with ``auto`` its first round runs :data:`corrshift.adaptive.LOSSES` cycles at most."""
    if auto is not None:
        permutations = min(LOSSES, auto.cap)
    return Job(analysis, len(prep.features), prep.group1, prep.group2, method, alternative, aggregate, permutations,
               threads, None, None, dealing=dealing, adaptive=auto, **prep.across)


def ztest_chunks(prep, pairs, *, method, alternative, permutations, dealing, threads, progress,
                 chunking: Chunking, auto: Adaptive | None = None):
    """The z-test of :func:`corrshift.ztest` in chunks; (table or None, engine result). ``auto``: the options
    of ``permutations="auto"`` (``permutations`` is then unused)."""
    job = _job(ZTEST, prep, method, alternative, None, permutations, threads, dealing, auto)
    return _run(prep, job, pairs, chunking, progress, ztest_rows)


def groups_chunks(prep, pairs, *, method, permutations, dealing, threads, progress, chunking: Chunking):
    """The test across groups of :func:`corrshift.ztest` (three labels or more) in chunks; (table or None,
    engine result)."""
    job = Job(GROUPS, len(prep.features), prep.groups[0], prep.groups[1], method, "two-sided", None, permutations,
              threads, None, None, dealing=dealing, groups=prep.groups)
    return _run(prep, job, pairs, chunking, progress, groups_rows)


def score_chunks(prep, pairs, *, method, aggregate, alternative, permutations, dealing, threads, progress,
                 chunking: Chunking, auto: Adaptive | None = None):
    """The score of :func:`corrshift.score` in chunks; (table or None, engine result), ``auto`` as in
    :func:`ztest_chunks`."""
    job = _job(SCORE, prep, method, alternative, aggregate, permutations, threads, dealing, auto)
    return _run(prep, job, pairs, chunking, progress, score_rows)
