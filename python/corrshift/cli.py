"""The ``corrshift`` command: ztest, score and demo."""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import os
import re
import sys
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

from . import __version__, columns
from .api import score, ztest
from .datasets import breast_cancer
from .atomic import check_new_folder
from .files import (file_format, output_target, read_data, read_features, read_pairs, read_sets, sample_labels,
                    write_table)
from .inputs import is_anndata, is_anndata_raw
from .network import network, network_format, write_network
from .groups import warn_unlabelled
from .messages import CorrshiftWarning, few
from .native import DEFAULT_SEED
from .adaptive import MOST_PERMUTATIONS
from .options import (AGGREGATES, ALTERNATIVES, AUTO, INT32_MAX, MAX_PERMUTATIONS, MAX_SEED, METHODS, check_max_p,
                      check_min_cells)
from .ranking import ranked

EXIT_USAGE = 2
SUMMARY_ROWS = 10
DEMO_OUT = "demo-output"
DEMO_PERMUTATIONS = 10000

_DATA_HELP = """\
Input files:
  DATA is a table of features (rows, names in the first column) by samples (columns, names in
  the header) as .csv, .tsv or .parquet (compressed files, such as .tsv.gz, are recognised by
  their content), or an AnnData .h5ad file (cells x genes; needs corrshift[anndata]). Every
  name must be unique and every other cell a number. SAMPLES is a table with sample names in
  its first column and the column named by --by; samples it does not list, or whose label is
  neither A nor B, are left out (a warning names the samples it does not list; the group sizes
  analysed follow the run on standard error). With .h5ad data --groups may be omitted: --by
  then names a column of the file's .obs.

Options that go together:
  --groups is needed unless DATA is .h5ad; --layer is for .h5ad DATA only, as is --use-raw
  (not with --layer); --transpose for tables only. --top and --max-p work with a file --out
  or with none (--max-p not with --permutations 0); {in_memory}
  the rows in memory, so not with a folder --out. --chunk-pairs and --scheduler go with any
  output. --other and --between (alone or together) replace all pairs of DATA: not with --pairs
  (nor --sets); OTHER is read as DATA is (--transpose applies to both) and needs every analysed
  sample of DATA.
"""

_ZTEST_COLUMNS = f"""\
Output columns, one row per pair (group 1 is A of --compare, group 2 is B):
{columns.help_text("ztest")}
Rows are written best first: smallest p_permutation, then p_normal, then larger |z_diff|
(with --permutations 0: smallest p_normal first); in a folder --out, in pair order.

With three labels or more in --compare (the test across groups): r_<label> per group, class
with one side per group (+/0/-), chi2 (Cochran's Q of the Fisher transforms, weights n - 3,
over 1.5 for Spearman), p_normal (chi-square, groups - 1 degrees of freedom), p_permutation
(cycles that deal every group anew), q_normal and q_permutation, ranked with chi2 in place of
|z_diff|; --contrasts adds z_A_B and p_A_B for each two groups. Each group needs 4 samples;
--plots writes correlations.png (each group's r of the best pairs) and pair plots; the chunk
options need a number of --permutations and no --contrasts (nor --contrasts with
--permutations auto); not with --network.
"""

_SCORE_COLUMNS = f"""\
Output columns, one row per feature (group 1 is A of --compare, group 2 is B):
{columns.help_text("score")}
Rows are written best first: smallest p_permutation, then larger score (with --permutations
0: larger score first); in a folder --out, in feature order.

With three labels or more in --compare: score is the mean (or median) of chi2, Cochran's Q of
the groups' Fisher transforms (see ztest --help), over the feature's pairs, and p_permutation
comes from cycles that deal every group anew (with --sets, each set's over the pairs inside
it); not with --pairs, the chunk options, or --sets with --permutations auto.
"""


class _Parser(argparse.ArgumentParser):
    """Usage errors as one line on standard error, exit status 2."""

    def error(self, message):
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


class UsageError(Exception):
    """A problem with the command's inputs, reported as one line."""


def _whole(low: int, high: int):
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{value} is not between {low} and {high}")
        return value
    return parse


def _permutations(text: str) -> int | str:
    return AUTO if text == AUTO else _whole(0, MAX_PERMUTATIONS)(text)


def _common(p: argparse.ArgumentParser, with_data: bool = True) -> None:
    if with_data:
        p.add_argument("data", metavar="DATA", help="features x samples table, or .h5ad")
        p.add_argument("--groups", metavar="SAMPLES", help="sample annotation table (.csv/.tsv/.parquet); "
                       "needed unless DATA is .h5ad")
        p.add_argument("--by", metavar="COLUMN", required=True, help="annotation column holding the group labels")
        p.add_argument("--compare", metavar="LABEL", nargs="+", required=True,
                       help="the labels of group 1 and group 2 (A B); three labels or more for the analyses "
                       "across groups")
        p.add_argument("--strata", metavar="COLUMN", help="annotation column (of SAMPLES, or of the .h5ad's "
                       ".obs) holding a stratum per sample (batch, donor): permutations deal the groups within "
                       "each stratum")
        p.add_argument("--pairs", metavar="PAIRS", help="table of feature pairs (two columns of names); "
                       "all pairs when omitted")
        p.add_argument("--other", metavar="OTHER", help="a second features x samples table, or .h5ad, of the "
                       "same samples (another modality, matched by sample name): every pair of a DATA feature "
                       "with an OTHER feature instead of all pairs of DATA (--layer and --use-raw apply to DATA)")
        p.add_argument("--between", metavar=("A", "B"), nargs=2, help="two files of feature names, one per "
                       "line: every pair of a feature of A with a feature of B (with --other, A names features "
                       "of DATA and B of OTHER); a feature in both is not paired with itself")
        p.add_argument("--method", choices=METHODS, default="pearson", help="correlation (default: pearson)")
        p.add_argument("--alternative", choices=ALTERNATIVES, default="two-sided",
                       help="alternative hypothesis (default: two-sided)")
        p.add_argument("--layer", metavar="NAME", help="AnnData layer instead of .X (.h5ad DATA only)")
        p.add_argument("--use-raw", action="store_true", help="analyse the AnnData's .raw (its matrix and "
                       "genes, kept before scaling) instead of .X (.h5ad DATA only; not with --layer)")
        p.add_argument("--transpose", action="store_true",
                       help="DATA has samples in rows and features in columns (tables only)")
        p.add_argument("--min-cells", metavar="N", type=_min_cells,
                       help="leave out features observed (non-zero) in fewer than N samples of either group, "
                       "or in less than that share of them for 0 < N < 1 (for sparse data such as "
                       "single-cell counts)")
        # Deprecated: features are standardised within each group; kept so that old scripts run.
        p.add_argument("--no-center", dest="center", action="store_const", const=False, help=argparse.SUPPRESS)
    p.add_argument("--permutations", metavar="N", type=_permutations,
                   default=DEMO_PERMUTATIONS if not with_data else 1000,
                   help="permutation count (default: %(default)s); over T tested rows, a single row can "
                   "reach q_permutation 0.05 only with N >= T/0.05 - 1 (a warning says when N is smaller); 0 "
                   "runs no permutation test (p_permutation and q_permutation empty, rows ranked by p_normal); "
                   "'auto' runs each row until its decision at --fdr is settled (column cycles), at most "
                   "--max-permutations")
    p.add_argument("--fdr", metavar="Q", type=float, default=0.05,
                   help="the false discovery rate whose decisions --permutations auto settles (default: "
                   "%(default)s)")
    p.add_argument("--max-permutations", metavar="N", type=_whole(1, MOST_PERMUTATIONS),
                   help="with --permutations auto, the most cycles of any row (default: T/Q - 1, what a lone "
                   f"row needs, at most {MOST_PERMUTATIONS:.0e})")
    p.add_argument("--seed", metavar="N", type=_whole(0, MAX_SEED), help="seed of the permutations: the same "
                   "seed gives the same results, another deals other permutations (default: the fixed default "
                   f"stream, seed {DEFAULT_SEED})")
    p.add_argument("--threads", metavar="N", type=_whole(1, 1 << 16),
                   help="worker threads (default: all CPUs this process may use)")
    p.add_argument("--quiet", action="store_true", help="no progress bar (shown on standard error when it is a terminal)")


def _min_cells(text: str) -> int | float:
    try:
        value = int(text) if text.strip().lstrip("+-").isdigit() else float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    try:
        return check_min_cells(value)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e).replace("min_cells", "it")) from None


def _fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not 0 <= value <= 1:
        raise argparse.ArgumentTypeError(f"{value} is not between 0 and 1")
    return value


def _outputs(p: argparse.ArgumentParser, test: str) -> None:
    rows, order = ("pairs", "pair order") if test == "ztest" else ("features", "feature order")
    q_note = " (no q_normal column then)" if test == "ztest" else ""
    p.add_argument("--out", metavar="PATH", help=f"write all {rows}, best first, to a file (.csv, .tsv or "
                   ".parquet), or to a folder (a name without extension; new or empty) as a Parquet dataset "
                   f"written chunk by chunk, in {order} and without q-values; the file or folder appears only "
                   f"when complete. Without --out the {rows} go to standard output as TSV")
    if test == "ztest":
        p.add_argument("--plots", metavar="DIR", help="write correlations.png, volcano.png, heatmap.png and pair "
                       "plots of the best pairs to DIR (needs corrshift[plot]; not with a folder --out)")
        p.add_argument("--class-alpha", metavar="A", type=_fraction, default=0.05, help="level of each group's "
                       "test of r = 0 behind the class column (default: %(default)s)")
        p.add_argument("--contrasts", action="store_const", const="pairwise", help="with three groups or "
                       "more: also each two groups' Fisher difference z_A_B and its permutation p-value p_A_B")
        p.add_argument("--network", metavar="FILE", help="write the network of the significant pairs "
                       "(q_permutation, or q_normal without permutations, at most --network-q) as GraphML "
                       "(.graphml) or as a Cytoscape edge table (.tsv, .csv); needs corrshift[network]; not "
                       "with a folder --out")
        p.add_argument("--network-q", metavar="Q", type=_fraction, default=0.05,
                       help="the q-value threshold of --network (default: %(default)s)")
    else:
        p.add_argument("--sets", metavar="SETS", help="score gene sets instead of features: a table of a set "
                       "name and one of its features per line (pairs inside each set); one row per set; not "
                       "with --pairs or the chunk options")
    p.add_argument("--top", metavar="N", type=_whole(1, INT32_MAX), help=f"keep only the N best {rows}, "
                   f"in memory bounded by N and the chunk size{q_note}; not with a folder --out")
    p.add_argument("--max-p", metavar="P", type=_fraction, help=f"keep only the {rows} with p_permutation at "
                   f"most P{q_note}; not with --permutations 0")
    p.add_argument("--chunk-pairs", metavar="N", type=_whole(1, INT32_MAX), help="compute the pairs in "
                   "chunks of about N (default with --top, --max-p, --scheduler or a folder --out: chosen "
                   "from the sample and permutation counts)")
    p.add_argument("--scheduler", metavar="ADDRESS", help="run the chunks on the Dask cluster whose scheduler "
                   "listens at ADDRESS, e.g. tcp://127.0.0.1:8786 (needs corrshift[dask])")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="corrshift", description="Differential correlation between two groups of samples: "
                     "which feature pairs change their correlation, and which features change most.",
                     epilog="Run 'corrshift demo' for an example on bundled real data.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=_Parser)

    p = sub.add_parser("ztest", help="test every pair (or the given pairs) for a change of correlation",
                       description="Fisher z-test and permutation test of the correlation difference of "
                       "feature pairs between group A and group B.",
                       epilog=_DATA_HELP.format(in_memory="--top and --plots need") + "\n" + _ZTEST_COLUMNS,
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    _common(p)
    _outputs(p, "ztest")

    p = sub.add_parser("score", help="score every feature by how much its correlations change",
                       description="Per feature, aggregate |z_diff| (or z_diff) over its pairs and test the "
                       "score with permutations.",
                       epilog=_DATA_HELP.format(in_memory="--top needs") + "\n" + _SCORE_COLUMNS,
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    _common(p)
    p.add_argument("--aggregate", choices=AGGREGATES, default="mean", help="score aggregate (default: mean)")
    _outputs(p, "score")

    p = sub.add_parser("demo", help="run both analyses on the bundled breast-cancer data",
                       description="Malignant vs benign tumours of the Wisconsin Diagnostic Breast Cancer "
                       "data (569 samples, 30 features): z-tests of all pairs, feature scores, tables "
                       "and plots.")
    p.add_argument("--out-dir", metavar="DIR", default=DEMO_OUT, help="output folder (default: %(default)s)")
    _common(p, with_data=False)
    return parser


# ---------------------------------------------------------------------------
# Running


def _shows_progress(args) -> bool:
    """The progress bar is shown on a terminal only, unless --quiet."""
    return not args.quiet and sys.stderr.isatty()


def _native_call(test, data, args, **options) -> pd.DataFrame | None:
    # The progress bar goes to standard error; standard output carries results.
    # The bar ends its own line also when the computation raises, so an error
    # message that follows has a line of its own.
    return test(data, progress=_shows_progress(args), permutations=args.permutations, seed=args.seed,
                threads=args.threads, fdr=args.fdr, max_permutations=args.max_permutations, **options)


def _dask_client(address):
    """A client of the scheduler at ``address`` (dask checked by :func:`_check_files`), or a null context
    without one."""
    if address is None:
        return contextlib.nullcontext()
    from distributed import Client

    return Client(address, timeout="10s")


def _folder_out(args) -> str | None:
    """The Parquet dataset folder of --out; None for a file or standard output. A name that is neither
    fails here, before any file is read."""
    return output_target(args.out)[0]


def _check_options(args) -> None:
    """Refuse options that do not go together, from the command line alone: before any file is read."""
    folder = _folder_out(args)
    check_max_p(args.max_p, args.permutations, ("--max-p", "--permutations 0"))
    if folder is not None:
        if args.top is not None:
            raise UsageError("--top keeps the best rows in memory: write them to a file (.tsv, .csv, .parquet), "
                             f"not to the folder {args.out!r}")
        if getattr(args, "plots", None) is not None:
            raise UsageError("--plots needs the rows in memory: write them to a file, not to a folder")
        if getattr(args, "network", None) is not None:
            raise UsageError("--network needs the rows in memory: write them to a file, not to a folder")
    if len(args.compare) < 2:
        raise UsageError(f"--compare takes two labels or more (A B ...); got {len(args.compare)}")
    if len(args.compare) > 2 and getattr(args, "network", None) is not None:
        raise UsageError("--network shows two groups' changes: not with three groups or more")
    if getattr(args, "network", None) is not None:
        network_format(args.network)  # a wrong name fails before the analysis
    if getattr(args, "sets", None) is not None and (args.pairs is not None or args.top is not None
                                                     or args.max_p is not None or args.chunk_pairs is not None
                                                     or args.scheduler is not None or folder is not None):
        raise UsageError("--sets scores the pairs inside each set in one run: not with --pairs, --top, "
                         "--max-p, --chunk-pairs, --scheduler or a folder --out")
    if (args.other is not None or args.between is not None) and args.pairs is not None:
        raise UsageError("--pairs lists its own pairs: not with --other or --between")
    is_h5ad = file_format(args.data) == "h5ad"
    if args.layer is not None and not is_h5ad:
        raise UsageError(f"--layer names a layer of an AnnData (.h5ad) file; DATA {args.data!r} is a table")
    if args.use_raw and (not is_h5ad or args.layer is not None):
        raise UsageError("--use-raw analyses the .raw of an AnnData (.h5ad) file" + (
            f"; DATA {args.data!r} is a table" if not is_h5ad else ", which has no layers: not with --layer"))
    if args.transpose and is_h5ad:
        raise UsageError("--transpose applies to tables; an .h5ad file always holds cells x genes")
    if args.groups is None and not is_h5ad:
        raise UsageError("--groups SAMPLES is needed: a table of sample annotations with the column given by --by")


def _check_files(args) -> None:
    """The named files exist, the optional modules are there, and a folder --out is new: all before the
    data are read."""
    for option, path in (("DATA", args.data), ("--groups", args.groups), ("--pairs", args.pairs),
                         ("--sets", getattr(args, "sets", None)), ("--other", args.other),
                         *(("--between", path) for path in args.between or ())):
        if path is not None and not Path(path).is_file():
            what = f"{str(path)!r} is a folder, not a file" if Path(path).is_dir() else f"no such file: {str(path)!r}"
            raise UsageError(f"{option}: {what}")
    if args.groups is not None and file_format(args.groups) == "h5ad":
        raise UsageError(f"--groups: {args.groups!r} is an AnnData file; a table (.csv, .tsv, .parquet) is "
                         "needed here")
    folder = _folder_out(args)
    if folder is not None:
        try:
            check_new_folder(folder)
        except FileExistsError as e:
            raise UsageError(f"--out: {e}") from None
    if getattr(args, "plots", None) is not None:
        try:
            from . import plot  # noqa: F401
        except ImportError as e:
            raise UsageError(f"--plots: {e}") from None
    if args.scheduler is not None and importlib.util.find_spec("distributed") is None:
        raise UsageError("--scheduler needs dask: pip install 'corrshift[dask]'")


def _chunk_options(args) -> dict:
    return dict(chunk_pairs=args.chunk_pairs, top=args.top, max_p=args.max_p, out=_folder_out(args))


def _column(args, data, column: str) -> pd.Series:
    """One annotation column, from SAMPLES or from the .h5ad's .obs, indexed by sample."""
    if args.groups is not None:
        return sample_labels(args.groups, column)
    if column not in data.obs.columns:
        raise UsageError(f"{args.data!r} has no .obs column {column!r}; its columns are "
                         f"{few(data.obs.columns, 8)}")
    values = data.obs[column]
    return values[values.notna()].astype(str)


def _names(data) -> tuple[pd.Index, pd.Index]:
    """The (features, samples) of DATA (or of its .raw)."""
    if is_anndata(data) or is_anndata_raw(data):
        return pd.Index(data.var_names), pd.Index(data.obs_names)
    return pd.Index(data.index), pd.Index(data.columns)


def _labels(args, data) -> np.ndarray:
    """The --by label of each sample of DATA, in sample order (NaN: none); a warning names the samples
    that SAMPLES does not list."""
    samples = _names(data)[1]
    if args.groups is None:
        return _column(args, data, args.by).reindex(samples).to_numpy(dtype=object)
    labels = sample_labels(args.groups, args.by)
    if not labels.index.isin(samples).any():
        raise UsageError(f"no sample of {args.groups!r} ({few(labels.index, 3)}) is a sample of "
                         f"{args.data!r} ({few(samples, 3)})" + ("" if args.transpose else
                                                                 "; if DATA has samples in rows, add --transpose"))
    for label in args.compare:
        labelled = labels.index[labels == label]
        if len(labelled) and not labelled.isin(samples).any():
            raise UsageError(f"no sample labelled {label!r} in {args.groups!r} ({few(labelled, 3)}) is a "
                             f"sample of {args.data!r} ({few(samples, 3)})")
    warn_unlabelled(labels.index, samples, f"--groups {args.groups!r}")
    return labels.reindex(samples).to_numpy(dtype=object)


def _say_groups(args, labels: np.ndarray) -> None:
    """The group sizes analysed, on standard error."""
    sizes = " + ".join(str((labels == label).sum()) for label in args.compare)
    print(f"corrshift {args.command}: analysed {sizes} samples ({' + '.join(args.compare)})", file=sys.stderr)


def _run(args, test):
    """Check the options, read the inputs, run ``test``; returns the table (None for a folder --out), the
    analysed data (DATA, or its .raw with --use-raw) and the group options."""
    _check_options(args)
    _check_files(args)
    data = read_data(args.data, transpose=args.transpose)
    if args.use_raw and data.raw is None:
        raise UsageError(f"--use-raw: {args.data!r} has no .raw (an AnnData keeps one when adata.raw = adata is "
                         "set before scaling)")
    labels = _labels(args, data)
    groups = dict(groupby=labels, groups=tuple(args.compare), layer=args.layer)
    options = dict(method=args.method, alternative=args.alternative, center=args.center,
                   min_cells=args.min_cells, use_raw=args.use_raw, **_chunk_options(args))
    analysed = data.raw if args.use_raw else data
    if args.strata is not None:
        options["strata"] = _column(args, data, args.strata)
    if args.pairs is not None:
        options["pairs"] = read_pairs(args.pairs, _names(analysed)[0])
    _add_between(args, analysed, options)
    if test is score:
        options["aggregate"] = args.aggregate
        if args.sets is not None:
            options["sets"] = read_sets(args.sets, _names(analysed)[0])
    else:
        options["class_alpha"] = args.class_alpha
        if args.contrasts is not None:
            options["contrasts"] = args.contrasts
    with _dask_client(args.scheduler) as client:
        if client is not None:
            options["client"] = client
        table = _native_call(test, data, args, **groups, **options)
    _say_groups(args, labels)
    # The pair plots read set B's features from OTHER.
    return table, analysed, dict(groups, other=options["other"]) if "other" in options else groups


def _add_between(args, analysed, options: dict) -> None:
    """``other`` and ``between`` of --other and --between (set B's names among OTHER's features with --other)."""
    if args.other is not None:
        options["other"] = read_data(args.other, transpose=args.transpose)
    if args.between is not None:
        second = options.get("other", analysed)
        options["between"] = tuple(read_features(path, _names(data)[0])
                                   for path, data in zip(args.between, (analysed, second)))


def _format(table: pd.DataFrame) -> str:
    shown = table.copy()
    for column in shown.columns:
        if column in ("r1", "r2", "z_diff", "score", "chi2") or column.startswith(("r_", "z_")):
            shown[column] = shown[column].map(lambda v: "" if pd.isna(v) else f"{v:.3f}")
        elif column.startswith(("p_", "q_")):
            shown[column] = shown[column].map(lambda v: "" if pd.isna(v) else f"{v:.2g}")
    return shown.to_string(index=False)


def _headline(table: pd.DataFrame) -> str:
    a = table.attrs
    what = f"{a['rows']} features" if a["test"].startswith("score") else f"{a['rows']} pairs"
    count = f"{a['permutations']} permutations"
    if a["permutations"] == AUTO:
        count = (f"auto permutations ({a['row_cycles']} cycles over all rows, at most {a['max_permutations']} a "
                 f"row, FDR {a['fdr']})")
    if "sizes" in a:
        compared = " vs ".join(f"{g} ({n} samples)" for g, n in zip(a["groups"], a["sizes"]))
    else:
        compared = f"{a['group1']} ({a['n1']} samples) vs {a['group2']} ({a['n2']} samples)"
    return f"{a['test']}: {compared}, {what}, {a['method']}, {a['alternative']}, {count} (seed {a['seed']})"


def _report(table: pd.DataFrame | None, args, title: str) -> None:
    if table is None:
        print(f"wrote {_dataset_rows(args.out)} rows to the Parquet dataset {args.out}")
        return
    best = ranked(table)
    if args.out is None:
        best.to_csv(sys.stdout, sep="\t", index=False)
        return
    write_table(best, args.out)
    print(_headline(table))
    kept = "" if len(best) == table.attrs["rows"] else f" kept of {table.attrs['rows']}"
    print(f"\n{title} (best {min(SUMMARY_ROWS, len(best))} of {len(best)}{kept}):")
    print(_format(best.head(SUMMARY_ROWS)))
    print(f"\nwrote {len(best)} rows to {args.out}")


def _dataset_rows(folder) -> int:
    from .parquet_sink import pyarrow_modules

    _, pq = pyarrow_modules()
    return sum(pq.ParquetFile(path).metadata.num_rows for path in sorted(Path(folder).glob("part-*.parquet")))


def _slug(text) -> str:
    return re.sub(r"[^A-Za-z0-9.-]+", "_", str(text)).strip("_") or "feature"


def write_plots(results: pd.DataFrame, data, folder, pairs: int = 3, **group_options) -> list[Path]:
    """Write correlations.png (r1 against r2), volcano.png, heatmap.png and pair plots of the best
    pairs to a folder (across three groups or more: correlations.png, each group's r, and the pair
    plots).

    Parameters
    ----------
    results : DataFrame
        A table from :func:`corrshift.ztest`.
    data
        The data of the analysis, for the pair plots.
    folder : str or path-like
        Where the PNG files go; created if missing. Each file appears only
        when complete (see :func:`corrshift.plot.save`).
    pairs : int
        How many of the best pairs get a scatter plot.
    **group_options
        The groups, as given to :func:`corrshift.ztest`, and ``other`` for
        pairs of two modalities.

    Returns
    -------
    list of pathlib.Path
        The files written, in the order they were written.
    """
    from . import plot  # matplotlib is an optional extra

    folder = Path(folder)
    written = []

    def save(ax, name):
        path = folder / name
        plot.save(ax, path, dpi=150)
        written.append(path)

    save(plot.correlations(results), "correlations.png")
    across = "chi2" in results.columns  # three groups or more: no one difference to draw
    if not across:
        save(plot.volcano(results), "volcano.png")
        save(plot.heatmap(results), "heatmap.png")
    statistic = results["chi2" if across else "z_diff"]
    for i, row in enumerate(ranked(results[statistic.notna()]).head(pairs).itertuples(index=False), 1):
        ax = plot.pair(data, row.feature_a, row.feature_b, method=results.attrs["method"],
                       class_alpha=results.attrs.get("class_alpha", 0.05), **group_options)
        save(ax, f"pair{i}_{_slug(row.feature_a)}__{_slug(row.feature_b)}.png")
    return written


def _ztest_command(args) -> None:
    table, data, groups = _run(args, ztest)
    _report(table, args, "Pairs")
    said = sys.stderr if args.out is None else sys.stdout
    if args.plots is not None:
        written = write_plots(table, data, args.plots, **groups)
        print(f"wrote {len(written)} plots to {args.plots}", file=said)
    if args.network is not None:
        graph, _ = network(table, args.network_q)
        write_network(graph, args.network)
        print(f"wrote the network of {graph.number_of_edges()} significant pairs ({graph.graph['q']} <= "
              f"{args.network_q:g}) to {args.network}", file=said)


def _score_command(args) -> None:
    _report(_run(args, score)[0], args, "Features")


def _demo_command(args) -> None:
    data, samples = breast_cancer()
    folder = Path(args.out_dir)
    groups = dict(groupby=samples["diagnosis"], groups=("malignant", "benign"))
    print("corrshift demo: Wisconsin Diagnostic Breast Cancer data (UCI; Wolberg, Street & Mangasarian),")
    print(f"{data.shape[0]} nuclear features of {data.shape[1]} tumours; malignant "
          f"({(samples['diagnosis'] == 'malignant').sum()}) vs benign ({(samples['diagnosis'] == 'benign').sum()}).")
    print(f"\n1. z-tests of all {data.shape[0] * (data.shape[0] - 1) // 2} feature pairs, "
          f"{args.permutations} permutations", flush=True)
    pairs = _native_call(ztest, data, args, **groups)
    print("2. feature scores (mean |z_diff| over each feature's pairs)", flush=True)
    features = _native_call(score, data, args, **groups)

    written = []
    for table, name in ((pairs, "ztest.tsv"), (features, "score.tsv")):
        write_table(ranked(table), folder / name)
        written.append(folder / name)
    try:
        written += write_plots(pairs, data, folder, **groups)
    except ImportError as e:
        print(f"corrshift demo: no plots: {e}", file=sys.stderr)

    print(f"\nPairs whose correlation differs most ({(pairs['q_permutation'] < 0.05).sum()} of {len(pairs)} "
          "with q_permutation < 0.05):")
    print(_format(ranked(pairs).head(10)))
    print(f"\nFeatures whose correlations change most ({(features['q_permutation'] < 0.05).sum()} of "
          f"{len(features)} with q_permutation < 0.05):")
    print(_format(ranked(features).head(10)))
    print("\nr1: correlation among malignant, r2: among benign; z_diff = atanh r1 - atanh r2.")
    print(f"Wrote {len(written)} files to {folder}/:")
    for path in written:
        print(f"  {path.name}")


def main(argv=None) -> int:
    """Run the command line; returns the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:  # --help, --version, usage errors
        return e.code
    command = {"ztest": _ztest_command, "score": _score_command, "demo": _demo_command}[args.command]
    prog = f"corrshift {args.command}"
    with warnings.catch_warnings():
        _show_warnings(prog)
        try:
            command(args)
            sys.stdout.flush()
        except BrokenPipeError:
            # The reader went away (e.g. "| head"): stop quietly.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return 1
        except (UsageError, ValueError, OSError, RuntimeError, MemoryError) as e:
            _error(prog, e)
            return EXIT_USAGE
        except KeyboardInterrupt:
            _error(prog, "interrupted")
            return 130
    return 0


def _show_warnings(prog: str) -> None:
    """corrshift's own warnings as one line each, "corrshift ztest: warning: ...", every time;
    other libraries' warnings as Python shows them, under their own names."""
    warnings.simplefilter("always", CorrshiftWarning)
    others = warnings.showwarning

    def show(message, category, filename, lineno, file=None, line=None):
        if issubclass(category, CorrshiftWarning):
            print(f"{prog}: warning: {message}", file=sys.stderr)
        else:
            others(message, category, filename, lineno, file, line)

    warnings.showwarning = show


def _error(prog: str, error) -> None:
    with contextlib.suppress(Exception):
        sys.stdout.flush()
    text = " ".join(str(error).split()) or type(error).__name__
    print(f"{prog}: error: {text}", file=sys.stderr)


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
