"""Accuracy, ties and cost on real single-cell data: `python bench/pbmc_accuracy.py` (needs scanpy).

scanpy's bundled pbmc68k_reduced, its ``.raw`` (log-normalised counts of 700
cells and 765 genes), the cells of two of its ``bulk_labels`` cell types and
the genes most variable over those cells:

  accuracy  max |z_diff - float64| over all pairs, Pearson and Spearman, for
            the pairs with |r| > 0.999 in a group and for the rest. float64:
            numpy's correlation within each group (Spearman's on average
            ranks), the Fisher transform of r capped as the engine caps it.
  strata    p_permutation with strata= equal to the cell-type labels, which
            leave no cell to exchange, so every p must be 1: the share of
            p <= 0.05 and the median, of the z-test and of both scores, from
            corrshift (a design of one split) and from its native call with
            999 cycles dealt within the strata (p from the counts).
  time      whole corrshift.ztest calls, 999 permutations and none (the
            preparation and the table), Spearman and Pearson alternating.
"""

from __future__ import annotations

import argparse
import os
import time
import warnings

import numpy as np
from scipy import stats

import corrshift
from corrshift import native
from corrshift.api import prepare
from machine import cpu_name

THREADS = 2
PERMUTATIONS = 999
NEAR_ONE = 0.999


def load(cell_types: tuple[str, str], genes: int):
    """The AnnData of the two cell types' cells and their ``genes`` most variable genes (in data order)."""
    import scanpy as sc
    raw = sc.datasets.pbmc68k_reduced().raw.to_adata()
    raw = raw[raw.obs["bulk_labels"].isin(cell_types)].copy()
    variance = np.asarray(raw.X.toarray() if hasattr(raw.X, "toarray") else raw.X).var(axis=0)
    return raw[:, np.sort(np.argsort(-variance, kind="stable")[:genes])].copy()


def float64_correlations(values: np.ndarray, method: str) -> np.ndarray:
    """Features x features correlations over the samples (columns) of ``values``; NaN for a constant feature."""
    if method == "spearman":
        values = stats.rankdata(values, axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.corrcoef(values)


def fisher(r: np.ndarray) -> np.ndarray:
    bound = float(np.nextafter(np.float32(1), np.float32(0)))
    return np.arctanh(np.clip(r, -bound, bound))


def accuracy(adata, cell_types, method: str) -> str:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", corrshift.CorrshiftWarning)  # genes constant within a group
        table = corrshift.ztest(adata, groupby="bulk_labels", groups=cell_types, method=method, permutations=0,
                                threads=THREADS, progress=False)
    x = np.asarray(adata.X.toarray() if hasattr(adata.X, "toarray") else adata.X, dtype=np.float64).T
    labels = adata.obs["bulk_labels"].to_numpy()
    r1, r2 = (float64_correlations(x[:, labels == label], method) for label in cell_types)
    where = adata.var_names.get_indexer
    i, j = where(table["feature_a"].astype(str)), where(table["feature_b"].astype(str))
    expected = fisher(r1[i, j]) - fisher(r2[i, j])
    defined = ~np.isnan(expected)
    error = np.abs(table["z_diff"].to_numpy(np.float64) - expected)
    near = defined & ((np.abs(r1[i, j]) > NEAR_ONE) | (np.abs(r2[i, j]) > NEAR_ONE))
    rest = defined & ~near
    parts = [f"{len(table)} pairs, {defined.sum()} defined"]
    for name, mask in ((f"|r| > {NEAR_ONE}", near), ("others", rest)):
        parts.append(f"{name}: {mask.sum()} pairs, max error {error[mask].max():.2e}" if mask.any()
                     else f"{name}: none")
    undefined_agree = np.isnan(table["z_diff"].to_numpy()[~defined]).all()
    return f"{method:<8} " + "; ".join(parts) + ("" if undefined_agree else "; UNDEFINED PAIRS DISAGREE")


def pvalue_summary(p: np.ndarray) -> str:
    p = p[~np.isnan(p)]
    return f"{len(p)} defined, {np.mean(p <= 0.05):.1%} <= 0.05, median {np.median(p):.3g}, min {p.min():.3g}"


def strata_rows(adata, cell_types, method: str) -> list[str]:
    rows = []
    calls = {
        "ztest": lambda **o: corrshift.ztest(adata, **o),
        "score mean": lambda **o: corrshift.score(adata, aggregate="mean", **o),
        "score median": lambda **o: corrshift.score(adata, aggregate="median", **o),
    }
    options = dict(groupby="bulk_labels", groups=cell_types, strata="bulk_labels", method=method,
                   permutations=PERMUTATIONS, threads=THREADS, progress=False)
    for name, call in calls.items():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", corrshift.CorrshiftWarning)
            table = call(**options)
        rows.append(f"{method:<8} corrshift {name:<12}: {pvalue_summary(table['p_permutation'].to_numpy())}")
    # The native call itself, PERMUTATIONS cycles dealt within the strata (each group its own stratum).
    prep = prepare(adata, None, None, groupby="bulk_labels", groups=cell_types, method=method,
                   strata="bulk_labels")
    dealing = native.Dealing(strata=prep.strata)
    args = (prep.matrix, prep.group1, prep.group2, method)
    for name, result in (
            ("ztest", native.ztest(*args, "two-sided", PERMUTATIONS, THREADS, dealing=dealing)),
            ("score mean", native.score(*args, "mean", "two-sided", PERMUTATIONS, THREADS, dealing=dealing)),
            ("score median", native.score(*args, "median", "two-sided", PERMUTATIONS, THREADS, dealing=dealing))):
        extreme, valid = (np.asarray(result[c], dtype=np.float64) for c in ("extreme", "valid"))
        with np.errstate(invalid="ignore", divide="ignore"):
            p = np.where(valid > 0, (extreme + 1) / (valid + 1), np.nan)
        rows.append(f"{method:<8} native    {name:<12}: {pvalue_summary(p)}")
    return rows


def timings(adata, cell_types, runs: int) -> list[str]:
    """Seconds of whole calls with PERMUTATIONS permutations and with none, the methods alternating."""
    seconds = {(method, m): [] for m in (PERMUTATIONS, 0) for method in ("spearman", "pearson")}
    for _ in range(runs):
        for method, permutations in seconds:
            start = time.perf_counter()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", corrshift.CorrshiftWarning)
                corrshift.ztest(adata, groupby="bulk_labels", groups=cell_types, method=method,
                                permutations=permutations, threads=THREADS, progress=False)
            seconds[method, permutations].append(time.perf_counter() - start)
    rows = []
    for m in (PERMUTATIONS, 0):
        text = "; ".join(f"{method} " + ", ".join(f"{s:.2f}" for s in seconds[method, m]) + " s"
                         for method in ("spearman", "pearson"))
        ratio = np.median(seconds["spearman", m]) / np.median(seconds["pearson", m])
        rows.append(f"{m:>4} permutations: {text}; spearman / pearson (medians) {ratio:.2f}")
    return rows


def instruction_sets() -> str:
    try:
        with open("/proc/cpuinfo") as info:
            flags = next((line.split(":", 1)[1].split() for line in info if line.startswith("flags")), [])
    except OSError:
        return "flags unknown"
    return ", ".join(f for f in ("avx2", "fma", "avx512f") if f in flags) or "no AVX2"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--groups", nargs=2, default=["Dendritic", "CD14+ Monocyte"],
                        help="two bulk_labels cell types (default: the two largest)")
    parser.add_argument("--genes", type=int, default=200, help="most variable genes (765: all)")
    parser.add_argument("--runs", type=int, default=3, help="timed runs of each method")
    args = parser.parse_args()
    cell_types = tuple(args.groups)
    adata = load(cell_types, args.genes)
    sizes = adata.obs["bulk_labels"].value_counts()
    print(f"pbmc68k_reduced .raw: {adata.n_vars} genes; {cell_types[0]} {sizes[cell_types[0]]} cells, "
          f"{cell_types[1]} {sizes[cell_types[1]]} cells")
    print("accuracy of z_diff against float64:")
    for method in ("pearson", "spearman"):
        print("  " + accuracy(adata, cell_types, method))
    print(f"p_permutation with strata= the cell types ({PERMUTATIONS} permutations):")
    for method in ("pearson", "spearman"):
        for row in strata_rows(adata, cell_types, method):
            print("  " + row)
    print(f"whole corrshift.ztest calls, {THREADS} threads, {cpu_name()} ({instruction_sets()}; "
          f"{os.cpu_count()} CPUs):")
    for row in timings(adata, cell_types, args.runs):
        print("  " + row)


if __name__ == "__main__":
    main()
