"""Output files appear whole or not at all.

Ctrl-C at any moment of a write leaves, under the output's name, the earlier
complete file (or no folder) or the new complete one, and no partial file
beside it.
"""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

import corrshift
from corrshift.atomic import atomic_folder, atomic_path
from corrshift.cli import main
from corrshift.files import write_table

# The command line in a child process, interrupted by a real SIGINT at the
# moment named by argv[1]: the writing function is wrapped so that the signal
# arrives before it, halfway through it, or around the final rename.
CHILD = textwrap.dedent(
    """
    import os
    import signal
    import sys
    from pathlib import Path

    # Ctrl-C as in a terminal, whatever the test runner's process passed on.
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    signal.signal(signal.SIGINT, signal.default_int_handler)

    import pandas as pd
    import pyarrow.parquet as pq
    from corrshift.cli import main

    moment, argv = sys.argv[1], sys.argv[2:]
    out = Path(argv[argv.index("--out") + 1]).resolve()

    def ctrl_c():
        signal.raise_signal(signal.SIGINT)

    def wrap(owner, name, before=None, after=None, when=lambda *a, **k: True):
        original = getattr(owner, name)

        def wrapped(*args, **kwargs):
            hit = when(*args, **kwargs)
            if hit and before:
                before(original, *args, **kwargs)
            result = original(*args, **kwargs)
            if hit and after:
                after()
            return result

        setattr(owner, name, wrapped)

    def half(original, frame, path, *args, **kwargs):
        original(frame.head(len(frame) // 2), path, *args, **kwargs)
        ctrl_c()

    to_out = lambda source, target, *a, **k: Path(target).resolve() == out
    if moment == "before writing":
        for name in ("to_csv", "to_parquet"):
            wrap(pd.DataFrame, name, before=lambda *a, **k: ctrl_c())
    elif moment == "half written":
        for name in ("to_csv", "to_parquet"):
            wrap(pd.DataFrame, name, before=half)
    elif moment == "before rename":
        wrap(os, "replace", before=lambda *a, **k: ctrl_c(), when=to_out)
    elif moment == "after rename":
        wrap(os, "replace", after=ctrl_c, when=to_out)
    elif moment == "after first part":
        wrap(pq, "write_table", after=ctrl_c)
    sys.exit(main(argv))
    """
)


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("inputs")
    rng = np.random.default_rng(3)
    data = pd.DataFrame(rng.normal(size=(12, 30)), index=[f"g{i}" for i in range(12)],
                        columns=[f"s{j}" for j in range(30)])
    data.to_csv(folder / "data.tsv", sep="\t")
    pd.DataFrame({"kind": ["a", "b", "c"] * 10}, index=data.columns).to_csv(folder / "samples.tsv", sep="\t")
    return folder


def _argv(inputs, out, permutations, *more):
    return ["ztest", str(inputs / "data.tsv"), "--groups", str(inputs / "samples.tsv"), "--by", "kind",
            "--compare", "a", "b", "--permutations", str(permutations), "--quiet", "--out", str(out), *more]


def _child(moment, argv):
    return subprocess.run([sys.executable, "-c", CHILD, moment, *argv], capture_output=True, text=True,
                          timeout=120)


def _read(path):
    return pd.read_parquet(path) if str(path).endswith(".parquet") else pd.read_csv(path, sep="\t")


def _assert_interrupted(run):
    assert run.returncode == 130, run.stderr
    assert run.stderr.splitlines()[-1] == "corrshift ztest: error: interrupted"


@pytest.mark.parametrize("name, moment, holds", [
    ("pairs.tsv", "before writing", "earlier"),
    ("pairs.tsv", "half written", "earlier"),
    ("pairs.parquet", "half written", "earlier"),
    ("pairs.tsv", "before rename", "earlier"),
    ("pairs.parquet", "after rename", "new"),
])
def test_ctrl_c_during_a_file_write_leaves_a_whole_file(inputs, tmp_path, name, moment, holds):
    out = tmp_path / name
    # The earlier file: a complete table of another analysis (39 permutations).
    assert main(_argv(inputs, out, 39)) == 0
    earlier = _read(out)
    new = corrshift.ztest(pd.read_csv(inputs / "data.tsv", sep="\t", index_col=0),
                          groupby=pd.read_csv(inputs / "samples.tsv", sep="\t", index_col=0)["kind"],
                          groups=("a", "b"), permutations=79, progress=False)
    assert not np.array_equal(earlier["p_permutation"].sort_values(), new["p_permutation"].sort_values())

    run = _child(moment, _argv(inputs, out, 79))
    _assert_interrupted(run)
    assert os.listdir(tmp_path) == [name]  # no partial file left beside it
    written = _read(out)
    if holds == "earlier":
        pd.testing.assert_frame_equal(written, earlier)
    else:
        assert len(written) == len(new) == 66
        written = written.sort_values(["feature_a", "feature_b"]).reset_index(drop=True)
        expected = new.sort_values(["feature_a", "feature_b"]).reset_index(drop=True)
        pd.testing.assert_frame_equal(written, expected, check_dtype=False)


@pytest.mark.parametrize("moment, complete", [
    ("after first part", False),
    ("before rename", False),
    ("after rename", True),
])
def test_ctrl_c_during_a_dataset_write_leaves_no_partial_dataset(inputs, tmp_path, moment, complete):
    out = tmp_path / "dataset"
    run = _child(moment, _argv(inputs, out, 19, "--chunk-pairs", "10"))
    _assert_interrupted(run)
    if complete:
        assert os.listdir(tmp_path) == ["dataset"]
        assert len(pd.read_parquet(out)) == 66 and len(os.listdir(out)) > 1
    else:
        assert os.listdir(tmp_path) == []  # neither the folder nor its hidden draft


def test_api_out_interrupted_leaves_no_dataset(tmp_path, monkeypatch):
    import pyarrow.parquet as pq

    calls = []
    original = pq.write_table

    def write_then_stop(*args, **kwargs):
        original(*args, **kwargs)
        calls.append(1)
        if len(calls) == 2:
            raise KeyboardInterrupt

    monkeypatch.setattr(pq, "write_table", write_then_stop)
    x = np.random.default_rng(0).normal(size=(10, 20))
    with pytest.raises(KeyboardInterrupt):
        corrshift.ztest(x, range(10), range(10, 20), permutations=0, progress=False, chunk_pairs=5,
                        out=tmp_path / "rows")
    assert len(calls) == 2 and os.listdir(tmp_path) == []


@pytest.mark.parametrize("failure", [KeyboardInterrupt, OSError])
def test_a_failed_write_keeps_the_earlier_file(tmp_path, failure):
    path = tmp_path / "table.csv.gz"  # the extension still chooses the compression
    write_table(pd.DataFrame({"a": [1, 2]}), path)
    with pytest.raises(failure):
        with atomic_path(path) as partial:
            partial.write_bytes(b"half a tab")
            raise failure
    assert os.listdir(tmp_path) == ["table.csv.gz"]
    assert pd.read_csv(path)["a"].tolist() == [1, 2]


@pytest.mark.parametrize("writer", [atomic_path, atomic_folder])
@pytest.mark.parametrize("error", [
    lambda partial: PermissionError(13, "Permission denied", str(partial)),
    lambda partial: OSError(f"[Errno 2] Failed to open local file '{partial}'. Detail: no such file"),
])
def test_a_failed_write_names_the_file_asked_for(tmp_path, writer, error):
    final = tmp_path / "res.tsv"
    with pytest.raises(OSError) as caught:
        with writer(final) as partial:
            raise error(partial)
    said = str(caught.value)
    assert said.startswith(f"cannot write {str(final)!r}: ") and ".partial-" not in said
    assert type(caught.value) is type(error(final)) and caught.value.errno == error(final).errno
    assert os.listdir(tmp_path) == []


@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="needs /proc, where no file can be made")
@pytest.mark.parametrize("name", ["res.tsv", "res.parquet", "dataset"])
def test_command_line_names_the_output_it_cannot_write(inputs, capsys, name):
    assert main(_argv(inputs, f"/proc/{name}", 9)) == 2
    err = capsys.readouterr().err
    assert f"corrshift ztest: error: cannot write '/proc/{name}': " in err and ".partial-" not in err


def test_a_plot_is_saved_whole(tmp_path, monkeypatch):
    from matplotlib.figure import Figure

    from corrshift import plot

    ax = Figure().add_subplot()
    ax.plot([0, 1], [1, 0])
    path = tmp_path / "line.png"
    plot.save(ax, path)
    earlier = path.read_bytes()
    original = Figure.savefig

    def half(self, target, **kwargs):
        original(self, target, **kwargs)
        with open(target, "r+b") as f:
            f.truncate(100)
        raise KeyboardInterrupt

    monkeypatch.setattr(Figure, "savefig", half)
    ax.plot([0, 1], [0, 1])
    with pytest.raises(KeyboardInterrupt):
        plot.save(ax, path)
    assert os.listdir(tmp_path) == ["line.png"] and path.read_bytes() == earlier


def test_a_dataset_folder_must_be_new_or_empty(tmp_path):
    (tmp_path / "full").mkdir()
    (tmp_path / "full" / "old.parquet").write_bytes(b"")
    with pytest.raises(FileExistsError, match="'.*full' exists and is not an empty folder"):
        with atomic_folder(tmp_path / "full"):
            pass
    (tmp_path / "empty").mkdir()
    with atomic_folder(tmp_path / "empty") as draft:
        (draft / "part.parquet").write_bytes(b"x")
        assert not (tmp_path / "empty" / "part.parquet").exists()
    assert os.listdir(tmp_path / "empty") == ["part.parquet"]
    assert sorted(os.listdir(tmp_path)) == ["empty", "full"]
