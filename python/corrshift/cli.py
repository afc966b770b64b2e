"""The ``corrshift`` command: ztest, score and demo."""

from __future__ import annotations

import argparse
import contextlib
import os
import re
import sys
import warnings
from pathlib import Path

import pandas as pd

from . import __version__
from .api import score, ztest
from .datasets import breast_cancer
from .files import is_folder_output, output_format, read_data, read_pairs, sample_labels, write_table
from .inputs import is_anndata
from .messages import few
from .options import AGGREGATES, ALTERNATIVES, MAX_PERMUTATIONS, METHODS, check_min_cells
from .ranking import ranked
from .stdout import stdout_to_stderr

EXIT_USAGE = 2
SUMMARY_ROWS = 10
DEMO_OUT = "demo-output"
DEMO_PERMUTATIONS = 10000

_DATA_HELP = """DATA is a table of features (rows, names in the first column) by samples (columns, names in
the header) as .csv, .tsv or .parquet (optionally compressed: .csv.gz, .tsv.gz), or an AnnData
.h5ad file (cells x genes; needs corrshift[anndata]). SAMPLES is a table with sample names in
its first column and the column named by --by; samples it does not list, or whose label is
neither A nor B, are left out. With .h5ad data --groups may be omitted: --by then names a
column of the file's .obs."""


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


def _common(p: argparse.ArgumentParser, with_data: bool = True) -> None:
    if with_data:
        p.add_argument("data", metavar="DATA", help="features x samples table, or .h5ad")
        p.add_argument("--groups", metavar="SAMPLES", help="sample annotation table (.csv/.tsv/.parquet)")
        p.add_argument("--by", metavar="COLUMN", required=True, help="annotation column holding the group labels")
        p.add_argument("--compare", metavar=("A", "B"), nargs=2, required=True,
                       help="the labels of group 1 and group 2")
        p.add_argument("--pairs", metavar="PAIRS", help="table of feature pairs (two columns of names); "
                       "all pairs when omitted")
        p.add_argument("--method", choices=METHODS, default="pearson", help="correlation (default: pearson)")
        p.add_argument("--alternative", choices=ALTERNATIVES, default="two-sided",
                       help="alternative hypothesis (default: two-sided)")
        p.add_argument("--layer", metavar="NAME", help="AnnData layer instead of .X")
        p.add_argument("--transpose", action="store_true",
                       help="DATA has samples in rows and features in columns")
        p.add_argument("--min-cells", metavar="N", type=_min_cells,
                       help="leave out features observed (non-zero) in fewer than N samples of either group, "
                       "or in less than that share of them for 0 < N < 1 (for sparse data such as "
                       "single-cell counts)")
        # Deprecated: features are standardised within each group; kept so that old scripts run.
        p.add_argument("--no-center", dest="center", action="store_const", const=False, help=argparse.SUPPRESS)
    p.add_argument("--permutations", metavar="N", type=_whole(0, MAX_PERMUTATIONS),
                   default=DEMO_PERMUTATIONS if not with_data else 1000,
                   help="permutation count (default: %(default)s)")
    p.add_argument("--threads", metavar="N", type=_whole(1, 1 << 16),
                   help="worker threads (default: all CPUs this process may use)")
    p.add_argument("--quiet", action="store_true", help="no progress line (shown on a terminal otherwise)")


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


def _outputs(p: argparse.ArgumentParser, plots: bool) -> None:
    p.add_argument("--out", metavar="PATH", help="write all rows, best first, to a file (.csv, .tsv or "
                   ".parquet), or to a folder (a name without extension) as a Parquet dataset written chunk by "
                   "chunk, in pair order and without q-values; without --out the rows go to standard output "
                   "as TSV")
    if plots:
        p.add_argument("--plots", metavar="DIR", help="write volcano.png, heatmap.png and pair plots of the "
                       "best pairs to DIR (needs corrshift[plot])")
    p.add_argument("--top", metavar="N", type=_whole(1, (1 << 31) - 1), help="keep only the N best rows, "
                   "in memory bounded by N and the chunk size (no q_normal column then)")
    p.add_argument("--max-p", metavar="P", type=_fraction, help="keep only the rows with p_permutation at "
                   "most P (no q_normal column then)")
    p.add_argument("--chunk-pairs", metavar="N", type=_whole(1, (1 << 31) - 1), help="compute the pairs in "
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
                       "feature pairs between group A and group B.", epilog=_DATA_HELP,
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    _common(p)
    _outputs(p, plots=True)

    p = sub.add_parser("score", help="score every feature by how much its correlations change",
                       description="Per feature, aggregate |z_diff| (or z_diff) over its pairs and test the "
                       "score with permutations.", epilog=_DATA_HELP,
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    _common(p)
    p.add_argument("--aggregate", choices=AGGREGATES, default="mean", help="score aggregate (default: mean)")
    _outputs(p, plots=False)

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
    """The native progress line is shown on a terminal only, unless --quiet."""
    return not args.quiet and sys.stderr.isatty()


def _native_call(test, data, args, **options) -> pd.DataFrame | None:
    # The progress line goes to standard error; standard output carries results.
    show = _shows_progress(args)
    with stdout_to_stderr() if show else contextlib.nullcontext():
        return test(data, progress=show, permutations=args.permutations, threads=args.threads, **options)


def _dask_client(address):
    """A client of the scheduler at ``address``, or a null context without one."""
    if address is None:
        return contextlib.nullcontext()
    try:
        from distributed import Client
    except ImportError:
        raise UsageError("--scheduler needs dask: pip install 'corrshift[dask]'") from None
    return Client(address, timeout="10s")


def _folder_out(args) -> str | None:
    """The Parquet dataset folder of --out, checked before the analysis; None for a file or stdout."""
    if args.out is None:
        return None
    if not is_folder_output(args.out):
        output_format(args.out)  # a wrong name fails before the analysis
        return None
    if args.top is not None:
        raise UsageError("--top keeps the best rows in memory: write them to a file (.tsv, .csv, .parquet), "
                         f"not to the folder {args.out!r}")
    if getattr(args, "plots", None) is not None:
        raise UsageError("--plots needs the rows in memory: write them to a file, not to a folder")
    return args.out


def _chunk_options(args) -> dict:
    return dict(chunk_pairs=args.chunk_pairs, top=args.top, max_p=args.max_p, out=_folder_out(args))


def _labels(args, data) -> pd.Series:
    if args.groups is not None:
        labels = sample_labels(args.groups, args.by)
        samples = data.obs_names if is_anndata(data) else data.columns
        if not labels.index.isin(samples).any():
            raise UsageError(f"no sample of {args.groups!r} ({few(labels.index, 3)}) is a sample of "
                             f"{args.data!r} ({few(samples, 3)})" + ("" if args.transpose else
                                                                     "; if DATA has samples in rows, add --transpose"))
        return labels
    if is_anndata(data):
        if args.by not in data.obs.columns:
            raise UsageError(f"{args.data!r} has no .obs column {args.by!r}; its columns are "
                             f"{few(data.obs.columns, 8)}")
        column = data.obs[args.by]
        keep = column.notna()
        return column[keep].astype(str)
    raise UsageError("--groups SAMPLES is needed: a table of sample annotations with the column given by --by")


def _run(args, test):
    """Read the inputs, run ``test``; returns the table (None for a folder --out), the data and the
    group options."""
    chunks = _chunk_options(args)
    data = read_data(args.data, transpose=args.transpose)
    groups = dict(groupby=_labels(args, data), groups=tuple(args.compare), layer=args.layer)
    options = dict(method=args.method, alternative=args.alternative, center=args.center,
                   min_cells=args.min_cells, **chunks)
    if args.pairs is not None:
        features = data.var_names if is_anndata(data) else data.index
        options["pairs"] = read_pairs(args.pairs, pd.Index(features))
    if test is score:
        options["aggregate"] = args.aggregate
    with _dask_client(args.scheduler) as client:
        if client is not None:
            options["client"] = client
        return _native_call(test, data, args, **groups, **options), data, groups


def _format(table: pd.DataFrame) -> str:
    shown = table.copy()
    for column in shown.columns:
        if column in ("r1", "r2", "z_diff", "score"):
            shown[column] = shown[column].map(lambda v: "" if pd.isna(v) else f"{v:.3f}")
        elif column.startswith(("p_", "q_")):
            shown[column] = shown[column].map(lambda v: "" if pd.isna(v) else f"{v:.2g}")
    return shown.to_string(index=False)


def _headline(table: pd.DataFrame) -> str:
    a = table.attrs
    what = f"{a['rows']} pairs" if a["test"] == "ztest" else f"{a['rows']} features"
    return (f"{a['test']}: {a['group1']} ({a['n1']} samples) vs {a['group2']} ({a['n2']} samples), {what}, "
            f"{a['method']}, {a['alternative']}, {a['permutations']} permutations")


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
    """volcano.png, heatmap.png and pair plots of the best ``pairs`` pairs in ``folder``."""
    from . import plot  # matplotlib is an optional extra

    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    written = []

    def save(ax, name):
        path = folder / name
        ax.figure.savefig(path, dpi=150)
        written.append(path)

    save(plot.volcano(results), "volcano.png")
    save(plot.heatmap(results), "heatmap.png")
    for i, row in enumerate(ranked(results[results["z_diff"].notna()]).head(pairs).itertuples(index=False), 1):
        ax = plot.pair(data, row.feature_a, row.feature_b, method=results.attrs["method"], **group_options)
        save(ax, f"pair{i}_{_slug(row.feature_a)}__{_slug(row.feature_b)}.png")
    return written


def _ztest_command(args) -> None:
    if args.plots is not None:
        try:
            from . import plot  # noqa: F401  fail before the analysis, not after
        except ImportError as e:
            raise UsageError(str(e)) from None
    table, data, groups = _run(args, ztest)
    _report(table, args, "Pairs")
    if args.plots is not None:
        written = write_plots(table, data, args.plots, **groups)
        print(f"wrote {len(written)} plots to {args.plots}", file=sys.stderr if args.out is None else sys.stdout)


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

    folder.mkdir(parents=True, exist_ok=True)
    write_table(ranked(pairs), folder / "ztest.tsv")
    write_table(ranked(features), folder / "score.tsv")
    written = [folder / "ztest.tsv", folder / "score.tsv"]
    try:
        written += write_plots(pairs, data, folder, **groups)
    except ImportError as e:
        print(f"corrshift: no plots: {e}", file=sys.stderr)

    print(f"\nPairs whose correlation differs most ({(pairs['q_permutation'] < 0.05).sum()} of {len(pairs)} "
          "with q_permutation < 0.05):")
    print(_format(ranked(pairs).head(10)))
    print(f"\nFeatures whose correlations change most ({(features['q_permutation'] < 0.05).sum()} of "
          f"{len(features)} with q_permutation < 0.05):")
    print(_format(ranked(features).head(10)))
    print(f"\nr1: correlation among malignant, r2: among benign; z_diff = atanh r1 - atanh r2.")
    print(f"Results and plots in {folder}/:")
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
        warnings.simplefilter("always")
        warnings.showwarning = lambda message, *rest, **kw: print(f"{prog}: warning: {message}", file=sys.stderr)
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


def _error(prog: str, error) -> None:
    with contextlib.suppress(Exception):
        sys.stdout.flush()
    text = " ".join(str(error).split()) or type(error).__name__
    print(f"{prog}: error: {text}", file=sys.stderr)


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
