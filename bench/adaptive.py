"""permutations="auto" checked and costed: `python bench/adaptive.py [validity|decisions|curve|all]`.

validity   Simulated null data (two groups of 30 samples, 50 features,
           independent or with a block correlation shared by both groups),
           both methods: the share of p_permutation <= 0.05 and <= 0.01 over
           seeded datasets, with a binomial (Clopper-Pearson) interval and
           one over the datasets (pairs of a dataset share features and
           permutations, so their p-values are not independent). Then data
           where 10% of the pairs are truly changed (4 blocks of 8 features
           correlated 0.75 in group 1 only, 48 features): the realised false
           discovery rate at q_permutation <= 0.05 over 20 seeded
           repetitions, and the power. Expected shares of the stopping rule
           itself come from corrshift's rounds on simulated counts.
decisions  scanpy's bundled pbmc68k_reduced ``.raw``, its two largest
           ``bulk_labels`` and their 200 most variable genes (Pearson):
           a fixed run of m = ceil(N / 0.05) - 1 permutations against
           "auto", the pairs each calls significant at q_permutation <= 0.05
           (and how close to the fixed run's threshold the pairs only one
           calls significant are), the pair-cycles each ran and their time
           (4 to 7 minutes on a busy 2-core machine; --genes 150 should take about a
           third of that). Skipped without scanpy.
curve      The cost curve of an "auto" run on simulated data with some true
           changes (300 features, 6 blocks of 10 correlated 0.8 in group 1
           only): the rows still running against the
           cycles, log-log, into docs/images/adaptive_cost.png.

Every section prints the CPU and how long it took; all run on 2 threads.
"""

from __future__ import annotations

import argparse
import contextlib
import math
import time
import warnings
from pathlib import Path

import numpy as np
from scipy import stats

import corrshift
from corrshift import adaptive
from corrshift.messages import CorrshiftWarning
from machine import cpu_name

THREADS = 2
FDR = 0.05
SAMPLES = 30  # per group
QUIET = dict(progress=False, threads=THREADS)
IMAGE = Path(__file__).resolve().parent.parent / "docs" / "images" / "adaptive_cost.png"


@contextlib.contextmanager
def section(title: str):
    """Print the section's title and the CPU, and afterwards how long it took."""
    print(f"\n== {title} (CPU: {cpu_name()}, {THREADS} threads)")
    start = time.perf_counter()
    yield
    print(f"-- {title}: {time.perf_counter() - start:.1f} s")


def groups(n: int = SAMPLES) -> tuple[range, range]:
    return range(n), range(n, 2 * n)


def auto(x: np.ndarray, method: str = "pearson", seed: int | None = None):
    """corrshift.ztest with permutations="auto" over all pairs of the rows of ``x`` (two groups of SAMPLES)."""
    return corrshift.ztest(x, *groups(x.shape[1] // 2), method=method, permutations="auto", fdr=FDR, seed=seed,
                           **QUIET)


def tested(table) -> int:
    """N: the rows with a defined statistic, over which "auto" sets its default max_permutations."""
    return int(table["z_diff"].notna().sum())


# --- simulated data -----------------------------------------------------------------------------


def block_factor(rng, blocks: int, size: int, samples: int, rho: float) -> np.ndarray:
    """``blocks`` x ``size`` features of unit variance, correlated rho within each block (one shared factor)."""
    factor = rng.normal(size=(blocks, 1, samples))
    noise = rng.normal(size=(blocks, size, samples))
    return (math.sqrt(rho) * factor + math.sqrt(1 - rho) * noise).reshape(blocks * size, samples)


def null_data(rng, k: int, structure: str) -> np.ndarray:
    """k features x 2 SAMPLES, the same distribution in both groups: independent normal, or ("shared") in
    blocks of 10 correlated 0.5 in both groups."""
    if structure == "independent":
        return rng.normal(size=(k, 2 * SAMPLES))
    return block_factor(rng, k // 10, 10, 2 * SAMPLES, 0.5)


def changed_data(rng, k: int, blocks: int, size: int, rho: float) -> tuple[np.ndarray, np.ndarray]:
    """k features x 2 SAMPLES: ``blocks`` blocks of ``size`` features correlated ``rho`` in group 1 only (each
    feature of unit variance in both groups), the rest independent; and which pairs (condensed order) changed.

    A pair across blocks, or with an independent feature, has the same joint distribution in both groups:
    a true null."""
    x = rng.normal(size=(k, 2 * SAMPLES))
    x[:blocks * size, :SAMPLES] = block_factor(rng, blocks, size, SAMPLES, rho)
    block = np.where(np.arange(k) < blocks * size, np.arange(k) // size, -np.arange(1, k + 1))
    i, j = np.triu_indices(k, 1)
    return x, block[i] == block[j]


# --- validity -----------------------------------------------------------------------------------


def mean_interval(values) -> str:
    """The normal 95% interval of the mean of independent ``values`` (datasets or repetitions)."""
    values = np.asarray(values, dtype=float)
    spread = 1.96 * values.std(ddof=1) / math.sqrt(len(values))
    return f"{values.mean() - spread:.2%}, {values.mean() + spread:.2%}"


def share(hits: int, total: int, per_dataset: np.ndarray) -> str:
    """The share hits / total with its Clopper-Pearson interval, and the interval over the datasets."""
    low, high = stats.binomtest(hits, total).proportion_ci(0.95, method="exact")
    return f"{hits / total:6.2%} [binomial {low:.2%}, {high:.2%}; over datasets {mean_interval(per_dataset)}]"


def rule_shares(pairs: int, levels: tuple[float, ...], rows: int = 400_000) -> list[float]:
    """The share of p-values <= each level that the stopping rule itself gives under the null hypothesis.

    corrshift's own rounds (:func:`corrshift.adaptive.run_adaptive`, capped at the default max_permutations
    of ``pairs`` rows) over ``rows`` simulated rows, each permutation at least as extreme as the observed
    statistic with a uniform probability of its own. A row that takes its h-th loss within a round keeps the
    p-value of the round before, so the share is below the level.
    """
    rng = np.random.default_rng(11)
    chance = rng.random(rows)

    def run(which, start, cycles):
        return rng.binomial(cycles, chance[which]), np.full(len(which), cycles)

    first = adaptive.LOSSES
    state = adaptive.run_adaptive(run, (rng.binomial(first, chance), np.full(rows, first)), np.ones(rows, bool),
                                  FDR, adaptive.default_max_permutations(pairs, FDR))
    return [float(np.mean(state.p <= level)) for level in levels]


def null_shares(datasets: int, k: int) -> None:
    pairs = k * (k - 1) // 2
    levels = (0.05, 0.01)
    expected = dict(zip(levels, rule_shares(pairs, levels)))
    print(f"Null data: {k} features, {SAMPLES}+{SAMPLES} samples, {datasets} seeded datasets each, "
          f"{pairs:,} pairs a dataset; share of p_permutation <= level (95% intervals); the stopping rule "
          "itself gives " + ", ".join(f"{v:.2%} at {level}" for level, v in expected.items()))
    for structure in ("independent", "shared"):
        for method in ("pearson", "spearman"):
            p = np.array([auto(null_data(np.random.default_rng(d), k, structure), method, seed=d)
                          ["p_permutation"].to_numpy() for d in range(datasets)])
            for level in levels:
                below = p <= level
                print(f"- {structure:<11} {method:<8} <= {level:.2f}: "
                      f"{share(int(below.sum()), below.size, below.mean(axis=1))}")


def realised_fdr(repetitions: int, k: int, blocks: int, size: int, rho: float) -> None:
    changed = blocks * size * (size - 1) // 2
    pairs = k * (k - 1) // 2
    print(f"Changed data: {k} features, {SAMPLES}+{SAMPLES} samples; {blocks} blocks of {size} features "
          f"correlated {rho} in group 1 only: {changed} of {pairs:,} pairs ({changed / pairs:.1%}) truly changed; "
          f"{repetitions} seeded repetitions, discoveries at q_permutation <= {FDR}")
    for method in ("pearson", "spearman"):
        fdp, power, cycles = [], [], []
        for rep in range(repetitions):
            x, truth = changed_data(np.random.default_rng(1000 + rep), k, blocks, size, rho)
            table = auto(x, method, seed=rep)
            found = (table["q_permutation"] <= FDR).to_numpy()
            fdp.append((found & ~truth).sum() / max(found.sum(), 1))
            power.append((found & truth).sum() / truth.sum())
            cycles.append(table.attrs["row_cycles"] / (pairs * table.attrs["max_permutations"]))
        print(f"- {method:<8} realised FDR {np.mean(fdp):.2%} (95% interval {mean_interval(fdp)}; "
              f"largest {np.max(fdp):.2%}); power {np.mean(power):.1%}; "
              f"pair-cycles {np.mean(cycles):.2%} of a fixed run of max_permutations")


def validity(args) -> None:
    with section("validity"):
        null_shares(args.datasets, args.features)
        realised_fdr(args.repetitions, 48, 4, 8, 0.75)


# --- decisions on pbmc68k_reduced ---------------------------------------------------------------


def pbmc(genes: int):
    """pbmc68k_reduced's ``.raw`` over its two largest bulk_labels and their ``genes`` most variable genes
    (variance over those cells), and the two labels; None without scanpy."""
    try:
        import scanpy as sc
    except ImportError:
        return None
    adata = sc.datasets.pbmc68k_reduced()
    labels = adata.obs["bulk_labels"]
    largest = tuple(labels.value_counts().index[:2])
    raw = adata.raw.to_adata()
    cells = raw[labels.isin(largest).to_numpy()].X
    cells = cells.toarray() if hasattr(cells, "toarray") else np.asarray(cells)
    top = np.sort(np.argsort(-cells.var(axis=0), kind="stable")[:genes])
    return raw[:, top].copy(), largest


def decisions(args) -> None:
    with section("decisions"):
        data = pbmc(args.genes)
        if data is None:
            print("skipped: scanpy is not importable (pip install scanpy; the section uses its bundled "
                  "pbmc68k_reduced data)")
            return
        adata, largest = data
        options = dict(groupby="bulk_labels", groups=largest, method="pearson", **QUIET)
        start = time.perf_counter()
        by_auto = corrshift.ztest(adata, permutations="auto", fdr=FDR, **options)
        t_auto = time.perf_counter() - start
        n, m = tested(by_auto), by_auto.attrs["max_permutations"]
        sizes = (adata.obs["bulk_labels"] == largest[0]).sum(), (adata.obs["bulk_labels"] == largest[1]).sum()
        print(f"pbmc68k_reduced .raw: {largest[0]!r} ({sizes[0]} cells) against {largest[1]!r} ({sizes[1]} cells), "
              f"{adata.n_vars} most variable genes, Pearson: N = {n:,} pairs, m = ceil(N / {FDR}) - 1 = {m:,}")
        probe = 2000
        start = time.perf_counter()
        with warnings.catch_warnings():  # that m is too few for N pairs: it only times the cycles
            warnings.simplefilter("ignore", CorrshiftWarning)
            corrshift.ztest(adata, permutations=probe, **options)
        print(f"fixed run of m estimated from {probe} permutations: "
              f"{(time.perf_counter() - start) * m / probe / 60:.1f} min")
        start = time.perf_counter()
        fixed = corrshift.ztest(adata, permutations=m, **options)
        t_fixed = time.perf_counter() - start
        report_decisions(fixed, by_auto, n, m, t_fixed, t_auto)


def report_decisions(fixed, by_auto, n: int, m: int, t_fixed: float, t_auto: float) -> None:
    a = (by_auto["q_permutation"] <= FDR).to_numpy()
    f = (fixed["q_permutation"] <= FDR).to_numpy()
    union = (a | f).sum()
    row_cycles = by_auto.attrs["row_cycles"]
    print(f"significant at q_permutation <= {FDR}: fixed {f.sum():,}, auto {a.sum():,}, both {(a & f).sum():,}, "
          f"fixed only {(f & ~a).sum():,}, auto only {(a & ~f).sum():,}: "
          f"agreement {(a & f).sum() / max(union, 1):.2%} of their union")
    differ = (a != f)
    if differ.any():
        ratio = fixed["p_permutation"].to_numpy()[differ] / (FDR * f.sum() / n)
        print(f"the pairs only one calls significant have fixed p_permutation {ratio.min():.2f} to "
              f"{ratio.max():.2f} times the fixed run's threshold {FDR} R / N (borderline pairs)")
    print(f"pair-cycles: fixed N m = {n * m:,}, auto {row_cycles:,} = {row_cycles / (n * m):.3%}")
    print(f"time: fixed {t_fixed:.1f} s, auto {t_auto:.1f} s ({t_fixed / t_auto:.0f}x)")
    print("auto's rounds (cycles so far: rows still running): "
          + ", ".join(f"{c:,}: {r:,}" for c, r in thinned(by_auto.attrs["rounds"])))


def thinned(rounds: list, every: float = 10.0) -> list:
    """The first round, then the first round past each further factor ``every`` of cycles, and the last."""
    kept, next_at = [], 0
    for cycles, running in rounds:
        if cycles >= next_at:
            kept.append((cycles, running))
            next_at = cycles * every
    if kept[-1][0] != rounds[-1][0]:
        kept.append(tuple(rounds[-1]))
    return kept


# --- cost curve ---------------------------------------------------------------------------------


def curve(args) -> None:
    with section("curve"):
        k, blocks, size, rho = args.curve_features, 6, 10, 0.8
        x, truth = changed_data(np.random.default_rng(3), k, blocks, size, rho)
        start = time.perf_counter()
        table = auto(x)
        seconds = time.perf_counter() - start
        n, m = tested(table), table.attrs["max_permutations"]
        share_of_fixed = table.attrs["row_cycles"] / (n * m)
        found = (table["q_permutation"] <= FDR).to_numpy()
        print(f"simulated: {k} features, {SAMPLES}+{SAMPLES} samples, {blocks} blocks of {size} correlated {rho} "
              f"in group 1 only ({truth.sum()} of {n:,} pairs changed), Pearson; auto {seconds:.1f} s, "
              f"pair-cycles {table.attrs['row_cycles']:,} = {share_of_fixed:.3%} of a fixed run of m = {m:,}; "
              f"{found.sum()} significant ({(found & truth).sum()} truly changed)")
        print("rounds (cycles so far: rows still running): "
              + ", ".join(f"{c:,}: {r:,}" for c, r in thinned(table.attrs["rounds"])))
        title = (f'permutations="auto" on simulated data: {k} features, N = {n:,} pairs, '
                 f"{SAMPLES}+{SAMPLES} samples,\n{truth.sum()} pairs changed (Pearson, fdr = {FDR})")
        plot_curve(table.attrs["rounds"], n, m, share_of_fixed, title, IMAGE)
        print(f"written {IMAGE}")


def plot_curve(rounds: list, n: int, m: int, share_of_fixed: float, title: str, path: Path) -> None:
    """Rows still running against cycles (log-log), next to a fixed run of m, into ``path``."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    cycles, running = np.array(rounds, dtype=float).T
    # Each round's rows run from the end of the round before (cycle 0 for the first) to its end.
    starts = np.concatenate(([1.0], cycles[:-1]))
    before = np.concatenate(([n], running[:-1]))
    fig, ax = plt.subplots(figsize=(7.5, 4.8), dpi=120)
    ax.step(np.concatenate((starts, cycles[-1:])), np.concatenate((before, running[-1:])), where="post",
            color="tab:blue", lw=2, label=f'"auto": {share_of_fixed:.2%} of the fixed run\'s pair-cycles')
    ax.plot([1, m], [n, n], color="tab:gray", ls="--", lw=1.5,
            label=f"fixed run: all {n:,} pairs to m = {m:,}")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlim(1, m * 1.5)
    ax.set_ylim(0.8, n * 2)
    ax.set_xlabel("permutation cycles")
    ax.set_ylabel("pairs still running")
    ax.set_title(title, fontsize=10)
    ax.grid(True, which="major", alpha=0.3)
    ax.legend(loc="lower left", fontsize=9)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path)
    plt.close(fig)


SECTIONS = {"validity": validity, "decisions": decisions, "curve": curve}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sections", nargs="*", default=["all"], choices=[*SECTIONS, "all"])
    parser.add_argument("--datasets", type=int, default=30, help="null datasets per structure and method")
    parser.add_argument("--features", type=int, default=50, help="features of the null datasets")
    parser.add_argument("--repetitions", type=int, default=20, help="repetitions of the FDR check")
    parser.add_argument("--genes", type=int, default=200, help="most variable genes of pbmc68k_reduced")
    parser.add_argument("--curve-features", type=int, default=300)
    args = parser.parse_args()
    chosen = list(SECTIONS) if "all" in args.sections else args.sections
    for name in chosen:
        SECTIONS[name](args)


if __name__ == "__main__":
    main()
