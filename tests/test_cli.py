"""The corrshift command line: files in, files out, exit codes, one-line errors."""

import re
import subprocess
import sys
import warnings
from pathlib import Path

import anndata
import numpy as np
import pandas as pd
import pytest

import corrshift
from corrshift.cli import main

pytestmark = pytest.mark.filterwarnings("ignore:The 'future.infer_string' option is deprecated")

PERMUTATIONS = "49"


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """Six features of 40 samples (features x samples TSV), their labels, and
    the same as an .h5ad file (cells x genes, labels in .obs)."""
    folder = tmp_path_factory.mktemp("inputs")
    rng = np.random.default_rng(7)
    features = [f"gene{i}" for i in range(6)]
    samples = [f"cell{j:02d}" for j in range(40)]
    x = rng.normal(size=(6, 40)) + 10.0
    kind = np.array(["tumour", "normal", "other", "normal"] * 10)
    x[1, kind == "tumour"] = x[0, kind == "tumour"] + 0.1 * rng.normal(size=10)
    data = pd.DataFrame(x, index=pd.Index(features, name="gene"), columns=samples)
    data.to_csv(folder / "data.tsv", sep="\t")
    data.to_csv(folder / "data.csv.gz")
    data.to_csv(folder / "gzipped_as.tsv", sep="\t", compression="gzip")  # compressed, named as plain text
    annotation = pd.DataFrame({"kind": kind, "batch": 1}, index=pd.Index(samples, name="sample"))
    annotation.to_csv(folder / "samples.tsv", sep="\t")
    anndata.AnnData(x.T, obs=annotation, var=pd.DataFrame(index=features)).write_h5ad(folder / "data.h5ad")
    (folder / "pairs.tsv").write_text("first\tsecond\ngene3\tgene0\ngene0\tgene1\n")
    (folder / "pairs_bare.tsv").write_text("gene3\tgene0\ngene0\tgene1\n")
    return folder, data, annotation


def _run(capsys, *argv):
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def _args(folder, command="ztest", data="data.tsv"):
    return [command, folder / data, "--groups", folder / "samples.tsv", "--by", "kind",
            "--compare", "tumour", "normal", "--permutations", PERMUTATIONS]


@pytest.mark.parametrize("data", ["data.tsv", "data.csv.gz", "gzipped_as.tsv"])
@pytest.mark.parametrize("out", ["results.tsv", "results.csv", "results.parquet"])
def test_ztest_writes_every_row_best_first(inputs, capsys, tmp_path, data, out):
    folder, frame, annotation = inputs
    status, stdout, err = _run(capsys, *_args(folder, data=data), "--out", tmp_path / out)
    assert status == 0, err
    written = (pd.read_parquet(tmp_path / out) if out.endswith("parquet")
               else pd.read_csv(tmp_path / out, sep="\t" if out.endswith("tsv") else ","))
    expected = corrshift.ztest(frame, groupby=annotation["kind"], groups=("tumour", "normal"),
                               permutations=int(PERMUTATIONS), progress=False)
    assert len(written) == 15 and list(written.columns) == list(expected.columns)
    best = written.iloc[0]
    assert {best["feature_a"], best["feature_b"]} == {"gene0", "gene1"}
    merged = written.merge(expected, on=["feature_a", "feature_b"], suffixes=("", "_api"))
    # Text files hold the shortest digits of each float32 value: read back, they are that value.
    np.testing.assert_array_equal(merged["z_diff"].astype(np.float32), merged["z_diff_api"])
    np.testing.assert_array_equal(merged["q_permutation"], merged["q_permutation_api"])
    assert "tumour (10 samples) vs normal (20 samples), 15 pairs" in stdout
    assert "Pairs (best 10 of 15):" in stdout and f"wrote 15 rows to {tmp_path / out}" in stdout


def test_without_out_the_table_goes_to_stdout_as_tsv(inputs, capsys):
    folder, _, _ = inputs
    status, stdout, err = _run(capsys, *_args(folder), "--top", 4)
    assert status == 0, err
    lines = stdout.splitlines()
    assert lines[0].split("\t")[:3] == ["feature_a", "feature_b", "r1"]
    assert len(lines) == 5


@pytest.mark.parametrize("pairs", ["pairs.tsv", "pairs_bare.tsv"])
def test_ztest_on_given_pairs(inputs, capsys, pairs):
    folder, _, _ = inputs
    status, stdout, err = _run(capsys, *_args(folder), "--pairs", folder / pairs)
    assert status == 0, err
    table = [line.split("\t")[:2] for line in stdout.splitlines()[1:]]
    assert sorted(map(tuple, table)) == [("gene0", "gene1"), ("gene3", "gene0")]


def test_score_with_h5ad_and_obs_labels(inputs, capsys, tmp_path):
    folder, frame, annotation = inputs
    status, stdout, err = _run(capsys, "score", folder / "data.h5ad", "--by", "kind", "--compare", "tumour",
                               "normal", "--aggregate", "median", "--permutations", PERMUTATIONS,
                               "--out", tmp_path / "score.tsv")
    assert status == 0, err
    written = pd.read_csv(tmp_path / "score.tsv", sep="\t")
    expected = corrshift.score(frame, groupby=annotation["kind"], groups=("tumour", "normal"), aggregate="median",
                               permutations=int(PERMUTATIONS), progress=False)
    assert list(written.columns) == ["feature", "score", "p_permutation", "q_permutation"]
    merged = written.merge(expected, on="feature", suffixes=("", "_api"))
    assert len(merged) == 6
    np.testing.assert_array_equal(merged["score"].astype(np.float32), merged["score_api"])


def test_plots_are_written(inputs, capsys, tmp_path):
    folder, _, _ = inputs
    status, stdout, err = _run(capsys, *_args(folder), "--out", tmp_path / "r.tsv", "--plots", tmp_path / "plots")
    assert status == 0, err
    names = sorted(p.name for p in (tmp_path / "plots").iterdir())
    assert names[:3] == ["correlations.png", "heatmap.png", "pair1_gene0__gene1.png"] and "volcano.png" in names
    assert all((tmp_path / "plots" / n).stat().st_size > 10_000 for n in names)


@pytest.mark.parametrize("size, status, message", [
    (3, 0, "corrshift ztest: warning: group1 ('tumour') has 3 samples: p_normal and q_normal are NaN"),
    (2, 2, "corrshift ztest: error: group1 ('tumour') has 2 samples; correlations need at least 3"),
])
def test_small_group_is_one_line(inputs, capsys, tmp_path, size, status, message):
    folder, _, annotation = inputs
    few = annotation.copy()
    few.loc[few.index[few["kind"] == "tumour"][size:], "kind"] = "other"
    few.to_csv(tmp_path / "few.tsv", sep="\t")
    # 299 permutations: enough for 15 pairs, so the group size is all there is to warn about.
    code, _, err = _run(capsys, "ztest", folder / "data.tsv", "--groups", tmp_path / "few.tsv", "--by", "kind",
                        "--compare", "tumour", "normal", "--permutations", "299", "--out", tmp_path / "r.tsv")
    assert code == status
    # The message is one line; a finished run then says which group sizes it analysed.
    said = ["corrshift ztest: analysed 3 + 20 samples (tumour + normal)"] if status == 0 else []
    assert err.splitlines()[1:] == said and err.startswith(message)


def test_min_cells_leaves_out_sparse_features(inputs, capsys, tmp_path):
    folder, frame, annotation = inputs
    sparse = frame.copy()
    sparse.loc["gene5", annotation.index[annotation["kind"] == "normal"][2:]] = 0.0  # 2 of 20 normal samples
    sparse.to_csv(tmp_path / "sparse.tsv", sep="\t")
    code, stdout, err = _run(capsys, "ztest", tmp_path / "sparse.tsv", *_args(folder)[2:], "--min-cells", "0.2",
                             "--no-center")
    assert code == 0, err
    assert "warning: min_cells=0.2 leaves out 1 feature observed (non-zero) in fewer than 20%" in err
    assert "warning: center= (--no-center) has no effect" in err
    rows = [line.split("\t")[:2] for line in stdout.splitlines()[1:]]
    assert len(rows) == 10 and "gene5" not in {name for row in rows for name in row}


@pytest.mark.parametrize("change, message", [
    (lambda a: a[:1] + ["missing.tsv"] + a[2:], "no such file: 'missing.tsv'"),
    (lambda a: a[:-4] + ["tumour", "healthy", "--permutations", "9"], "no sample is labelled 'healthy'"),
    (lambda a: a[:4] + ["--by", "type"] + a[6:], "has no column 'type'; its columns are 'kind', 'batch'"),
    (lambda a: a + ["--out", "r.xlsx"], "cannot write results to 'r.xlsx'"),
    (lambda a: a[:-1] + ["ten"], "argument --permutations: 'ten' is not a whole number"),
    (lambda a: a[:-1] + ["-5"], "argument --permutations: -5 is not between 0 and 16777216"),
    (lambda a: a[:6] + a[9:], "the following arguments are required: --compare"),
    (lambda a: a[:2] + a[4:], "--groups SAMPLES is needed"),
    (lambda a: a + ["--method", "kendall"], "argument --method: invalid choice: 'kendall'"),
    (lambda a: a + ["--transpose"], "no sample of"),
    (lambda a: a + ["--pairs", "PAIRS_WITH_UNKNOWN"], "1 feature name not in the data: 'gene9'"),
    (lambda a: a + ["--plots", "x", "--layer", "counts"], "--layer names a layer of an AnnData"),
    (lambda a: ["ztest", a[1], "--by", "kind", "--compare", "a", "b", "--groups", a[1]],
     "no column 'kind'"),
    (lambda a: a + ["--out", "folder", "--top", "3"], "--top keeps the best rows in memory"),
    (lambda a: a + ["--out", "folder", "--plots", "p"], "--plots needs the rows in memory"),
    (lambda a: a + ["--max-p", "2"], "argument --max-p: 2.0 is not between 0 and 1"),
    (lambda a: a + ["--chunk-pairs", "0"], "argument --chunk-pairs: 0 is not between 1 and 2147483647"),
    (lambda a: a + ["--min-cells", "1.5"], "argument --min-cells: it must be a whole number of samples or a "
                                           "fraction between 0 and 1"),
    # Options that do not go together are refused before DATA is even looked for.
    (lambda a: a[:1] + ["missing.tsv"] + a[2:] + ["--out", "folder", "--top", "3"], "--top keeps the best rows"),
    (lambda a: a[:1] + ["missing.tsv"] + a[2:] + ["--layer", "counts"],
     "--layer names a layer of an AnnData (.h5ad) file; DATA 'missing.tsv' is a table"),
    (lambda a: a[:1] + ["missing.h5ad"] + a[2:] + ["--transpose"], "--transpose applies to tables"),
    (lambda a: a[:2] + ["--groups", "nope.tsv"] + a[4:], "--groups: no such file: 'nope.tsv'"),
    (lambda a: a + ["--out", "."], "--out: '.' exists and is not an empty folder"),
])
def test_errors_are_one_line_with_status_2(inputs, capsys, tmp_path, monkeypatch, change, message):
    folder, _, _ = inputs
    (tmp_path / "unknown.tsv").write_text("gene0\tgene9\n")
    argv = [str(a) for a in change(_args(folder))]
    argv = [str(tmp_path / "unknown.tsv") if a == "PAIRS_WITH_UNKNOWN" else a for a in argv]
    monkeypatch.chdir(tmp_path)
    status, stdout, err = _run(capsys, *argv)
    assert status == 2
    assert len(err.splitlines()) == 1 and err.startswith("corrshift ztest: error: "), err
    assert message in err
    assert "Traceback" not in err + stdout


def _gzip(text):
    import gzip

    return gzip.compress(text.encode())


TABLE = "gene\tcell00\tcell01\tcell02\tcell03\ngene0\t1\t2\t3\t4\ngene1\t2\t1\t4\t3\n"

# (file name, content, which argument it is given as, message): each error is
# one line that names the file and says what is wrong with it.
BAD_FILES = [
    ("empty.tsv", "", "data", "'{path}' is empty"),
    ("header.tsv", "gene\tcell00\tcell01\n", "data", "'{path}' has a header line but no rows"),
    ("samples_twice.tsv", TABLE.replace("cell02", "cell01"), "data",
     "'{path}' repeats the sample name 'cell01' in its header; give each sample a name of its own"),
    ("genes_twice.tsv", TABLE + "gene0\t5\t6\t7\t8\n", "data",
     "'{path}' repeats the feature name 'gene0' in its first column"),
    ("text.tsv", TABLE.replace("\t3\t4", "\t3\tlow"), "data",
     "'{path}' has text where a number is expected: 'low' in column 'cell03', row 'gene0'; the table needs "
     "names in its first column and numbers in every other"),
    ("binary.tsv", bytes(range(256)) * 4, "data", "cannot read '{path}' as TSV: it is not text"),
    ("gzip_garbage.tsv", _gzip(TABLE)[:30], "data", "cannot read '{path}' as TSV: "),
    ("broken.parquet", b"PAR1 but not parquet", "data", "cannot read '{path}' as Parquet: "),
    ("labels_twice.tsv", "sample\tkind\ncell00\ttumour\ncell00\tnormal\n", "--groups",
     "'{path}' repeats the sample name 'cell00' in its first column"),
    ("other_samples.tsv", "sample\tkind\nzz1\ttumour\ncell01\tnormal\n", "--groups",
     "no sample labelled 'tumour' in '{path}' ('zz1') is a sample of "),
    ("empty_pairs.tsv", "", "--pairs", "'{path}' is empty"),
]


@pytest.mark.parametrize("name, content, given_as, message", BAD_FILES, ids=[b[0] for b in BAD_FILES])
def test_bad_files_are_named_in_one_line(inputs, capsys, tmp_path, name, content, given_as, message):
    folder, _, _ = inputs
    path = tmp_path / name
    if isinstance(content, str):
        path.write_text(content)
    else:
        path.write_bytes(content)
    argv = _args(folder)
    if given_as == "data":
        argv[1] = path
    elif given_as == "--groups":
        argv[3] = path
    else:
        argv += [given_as, path]
    status, stdout, err = _run(capsys, *argv)
    assert status == 2 and stdout == ""
    assert err.splitlines() == [err.rstrip("\n")] and err.startswith("corrshift ztest: error: "), err
    assert message.format(path=path) in err


class LibraryWarning(FutureWarning):
    """A warning of some library corrshift uses."""


def test_only_corrshifts_own_warnings_carry_its_name(inputs, capsys, monkeypatch):
    import corrshift.cli as cli

    def read_with_a_library_warning(*args, **kwargs):
        warnings.warn("this option is deprecated", LibraryWarning)
        return reading(*args, **kwargs)

    reading = cli.read_data
    monkeypatch.setattr(cli, "read_data", read_with_a_library_warning)
    shown_as_python_does = []
    monkeypatch.setattr(warnings, "showwarning", lambda message, category, *rest: shown_as_python_does.append(
        (str(message), category)))
    folder, _, _ = inputs
    with warnings.catch_warnings():
        warnings.simplefilter("always")  # whatever filters other tests' imports left
        status, _, err = _run(capsys, *_args(folder))
    assert status == 0
    assert shown_as_python_does == [("this option is deprecated", LibraryWarning)]
    assert "this option is deprecated" not in err
    # corrshift's own warning: 49 permutations are few for 15 pairs.
    assert "corrshift ztest: warning: 49 permutations are too few for 15 tested pairs" in err


@pytest.mark.parametrize("command, present, absent", [
    ("ztest", ["feature_a, feature_b", "q_normal, q_permutation", "in pair order",
               "not with a folder --out", "--layer is for .h5ad DATA only"], ["feature order"]),
    ("score", ["feature          the feature", "q_permutation    its Benjamini-Hochberg", "in feature order",
               "not with a folder --out"], ["q_normal", "pair order", "--plots"]),
])
def test_help_explains_the_columns_and_which_options_go_together(capsys, command, present, absent):
    assert main([command, "--help"]) == 0
    shown = capsys.readouterr().out
    flat = " ".join(shown.split())
    for text in present:
        assert text in shown or " ".join(text.split()) in flat, text
    for text in absent:
        assert text not in shown, text


def _api_ztest(frame, annotation, **options):
    return corrshift.ztest(frame, groupby=annotation["kind"], groups=("tumour", "normal"),
                           permutations=int(PERMUTATIONS), progress=False, **options)


def test_top_keeps_the_best_rows_in_the_file(inputs, capsys, tmp_path):
    folder, frame, annotation = inputs
    status, stdout, err = _run(capsys, *_args(folder), "--out", tmp_path / "best.tsv", "--top", 3,
                               "--chunk-pairs", 4)
    assert status == 0, err
    written = pd.read_csv(tmp_path / "best.tsv", sep="\t")
    expected = _api_ztest(frame, annotation, top=3)
    assert list(written.columns) == list(expected.columns) and "q_normal" not in written.columns
    assert list(zip(written["feature_a"], written["feature_b"])) == list(zip(expected["feature_a"],
                                                                             expected["feature_b"]))
    assert "15 pairs" in stdout and "Pairs (best 3 of 3 kept of 15):" in stdout


def test_max_p_to_standard_output(inputs, capsys):
    folder, frame, annotation = inputs
    status, stdout, err = _run(capsys, *_args(folder), "--max-p", "0.3")
    assert status == 0, err
    expected = _api_ztest(frame, annotation, max_p=0.3)
    assert 0 < len(expected) < 15 and len(stdout.splitlines()) == len(expected) + 1


def test_out_folder_is_a_parquet_dataset(inputs, capsys, tmp_path):
    folder, frame, annotation = inputs
    status, stdout, err = _run(capsys, *_args(folder), "--out", tmp_path / "dataset", "--chunk-pairs", 5)
    assert status == 0, err
    assert stdout == f"wrote 15 rows to the Parquet dataset {tmp_path / 'dataset'}\n"
    written = pd.read_parquet(tmp_path / "dataset")
    expected = _api_ztest(frame, annotation).drop(columns=["q_normal", "q_permutation"])
    # Names and classes: strings in files.
    expected = expected.astype({c: written[c].dtype for c in ("feature_a", "feature_b", "class")})
    pd.testing.assert_frame_equal(written, expected, check_dtype=False)


def test_help_and_usage_errors_from_a_real_process(tmp_path):
    # The console script and `python -m corrshift` both run the command line.
    script = Path(sys.executable).with_name("corrshift")
    assert script.exists()
    shown = subprocess.run([script, "ztest", "--help"], capture_output=True, text=True, check=True)
    assert shown.stdout.startswith("usage: corrshift ztest [-h]") and "--compare LABEL" in shown.stdout
    wrong = subprocess.run([sys.executable, "-m", "corrshift", "sc0re"], capture_output=True, text=True)
    assert wrong.returncode == 2 and wrong.stdout == ""
    assert wrong.stderr.splitlines() == [
        "corrshift: error: argument COMMAND: invalid choice: 'sc0re' (choose from 'ztest', 'score', 'demo') "
        "(see corrshift --help)"]


def test_demo_on_the_bundled_data(capsys, tmp_path):
    status, stdout, err = _run(capsys, "demo", "--out-dir", tmp_path / "demo", "--permutations", "99")
    assert status == 0, err
    assert "malignant (212) vs benign (357)" in stdout
    assert "Pairs whose correlation differs most" in stdout and "Features whose correlations" in stdout
    files = {p.name for p in (tmp_path / "demo").iterdir()}
    assert {"ztest.tsv", "score.tsv", "correlations.png", "volcano.png", "heatmap.png"} <= files
    listed = stdout.split(f"Wrote {len(files)} files to {tmp_path / 'demo'}/:\n")[1].split()
    assert sorted(listed) == sorted(files)
    assert len([f for f in files if f.startswith("pair")]) == 3
    pairs = pd.read_csv(tmp_path / "demo" / "ztest.tsv", sep="\t")
    assert len(pairs) == 435 and pairs["p_permutation"].min() == 1 / 100
    assert pairs["p_permutation"].is_monotonic_increasing


INTERRUPTED_CHILD = """
import signal
import sys

# Ctrl-C as in a terminal, whatever the test runner's process passed on.
signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
signal.signal(signal.SIGINT, signal.default_int_handler)
from corrshift.cli import main

sys.exit(main(sys.argv[1:]))
"""


@pytest.mark.parametrize("permutations, bar", [("1000000", b"Permutations:"), ("auto", b"Permutations (auto):")])
def test_interrupted_is_reported_on_a_line_of_its_own(tmp_path, permutations, bar):
    import os
    import pty
    import select
    import signal

    from terminal_screen import render

    rng = np.random.default_rng(1)
    x = rng.normal(size=(300, 60))
    x[1:20, ::2] = x[0, ::2] + 0.1 * rng.normal(size=(19, 30))  # strong changes: "auto" runs them long
    pd.DataFrame(x, index=[f"g{i}" for i in range(300)],
                 columns=[f"s{j}" for j in range(60)]).to_csv(tmp_path / "data.tsv", sep="\t")
    pd.DataFrame({"kind": ["a", "b"] * 30}, index=[f"s{j}" for j in range(60)]).to_csv(tmp_path / "s.tsv", sep="\t")
    main_end, terminal = pty.openpty()  # standard error is a terminal: the progress bar is shown
    proc = subprocess.Popen([sys.executable, "-c", INTERRUPTED_CHILD, "ztest", tmp_path / "data.tsv", "--groups",
                             tmp_path / "s.tsv", "--by", "kind", "--compare", "a", "b", "--permutations",
                             permutations, "--threads", "1"], stdout=subprocess.PIPE, stderr=terminal)
    os.close(terminal)
    shown = b""
    try:
        while True:
            ready, _, _ = select.select([main_end], [], [], 60)
            assert ready, shown
            try:
                chunk = os.read(main_end, 4096)
            except OSError:  # the child closed the terminal
                break
            if not chunk:
                break
            if bar in shown + chunk and bar not in shown:
                proc.send_signal(signal.SIGINT)
            shown += chunk
        proc.wait(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        os.close(main_end)
    lines = render(shown.decode().replace("\r\n", "\n"))
    assert proc.returncode == 130
    assert lines[-2:] == ["corrshift ztest: error: interrupted", ""]
    assert lines[-3].startswith(bar.decode()) and "100%" not in lines[-3]


@pytest.mark.parametrize("data", ["data.tsv", "data.h5ad"])
def test_strata_column(inputs, capsys, tmp_path, data):
    """--strata names a column of SAMPLES (or of the .h5ad's .obs); a single
    stratum deals as no strata do, and a missing column is a one-line error."""
    folder, _, _ = inputs
    args = _args(folder, data=data)
    if data.endswith(".h5ad"):
        args = args[:2] + args[4:]  # labels from .obs
    status, plain, err = _run(capsys, *args)
    assert status == 0, err
    status, stratified, err = _run(capsys, *args, "--strata", "batch")
    assert status == 0, err
    assert stratified == plain
    status, _, err = _run(capsys, *args, "--strata", "donor")
    assert status == 2 and len(err.strip().splitlines()) == 1 and "'donor'" in err


def test_three_labels_run_the_test_across_groups(inputs, capsys, tmp_path):
    folder, frame, annotation = inputs
    argv = [*_args(folder)[:6], "--compare", "tumour", "normal", "other", "--permutations", PERMUTATIONS,
            "--contrasts", "--out", tmp_path / "across.tsv", "--plots", tmp_path / "plots"]
    status, stdout, err = _run(capsys, *argv)
    assert status == 0, err
    drawn = sorted(p.name for p in (tmp_path / "plots").iterdir())
    assert drawn[0] == "correlations.png" and len(drawn) == 4 and all(p.startswith("pair") for p in drawn[1:])
    assert "tumour (10 samples) vs normal (20 samples) vs other (10 samples)" in stdout
    assert "analysed 10 + 20 + 10 samples (tumour + normal + other)" in err
    written = pd.read_csv(tmp_path / "across.tsv", sep="\t")
    expected = corrshift.ztest(frame, groupby=annotation["kind"], groups=["tumour", "normal", "other"],
                               permutations=int(PERMUTATIONS), contrasts="pairwise", progress=False)
    assert list(written.columns) == list(expected.columns)
    assert written["p_permutation"].is_monotonic_increasing
    keyed = expected.set_index(["feature_a", "feature_b"])
    np.testing.assert_allclose(written["chi2"], keyed.loc[list(zip(written.feature_a, written.feature_b)), "chi2"])


@pytest.mark.parametrize("labels, extra, message", [
    (["tumour"], [], "--compare takes two labels or more \\(A B ...\\); got 1"),
    (["tumour", "normal", "other"], ["--network", "net.tsv"], "not with three groups or more"),
])
def test_labels_where_they_do_not_fit_are_refused(inputs, capsys, labels, extra, message):
    folder, _, _ = inputs
    argv = [*_args(folder)[:6], "--compare", *labels, *extra]
    status, stdout, err = _run(capsys, *argv)
    assert status == 2 and re.search(message, err)


def test_three_labels_score_each_feature_across_the_groups(inputs, capsys, tmp_path):
    folder, frame, annotation = inputs
    argv = [*_args(folder, "score")[:6], "--compare", "tumour", "normal", "other", "--permutations",
            PERMUTATIONS, "--out", tmp_path / "scores.tsv"]
    status, stdout, err = _run(capsys, *argv)
    assert status == 0, err
    written = pd.read_csv(tmp_path / "scores.tsv", sep="\t").set_index("feature")
    expected = corrshift.score(frame, groupby=annotation["kind"], groups=["tumour", "normal", "other"],
                               permutations=int(PERMUTATIONS), progress=False).set_index("feature")
    np.testing.assert_allclose(written.loc[expected.index, "p_permutation"], expected["p_permutation"])
