"""The output columns are described once (corrshift.columns): the tables, docstrings, --help and README agree."""

from pathlib import Path

import numpy as np
import pytest

import corrshift
from corrshift import columns
from corrshift.cli import main

README = Path(__file__).resolve().parent.parent / "README.md"
X = np.random.default_rng(1).normal(size=(4, 12))
QUIET = dict(permutations=9, progress=False)


@pytest.mark.filterwarnings("ignore::corrshift.CorrshiftWarning")
@pytest.mark.parametrize("permutations", [9, "auto"])
@pytest.mark.parametrize("test", ["ztest", "score"])
def test_every_column_of_the_table_is_described_in_order(test, permutations):
    table = getattr(corrshift, test)(X, range(6), range(6, 12), **dict(QUIET, permutations=permutations))
    described = [name for names, _ in columns.TABLES[test] for name in names]
    if permutations != "auto":  # the cycles each row ran: adaptive runs only
        described.remove("cycles")
    assert described == list(table.columns)


def test_readme_tables_are_made_from_the_descriptions():
    text = README.read_text(encoding="utf-8")
    assert columns.readme_tables(text) == text, "run: PYTHONPATH=python python tools/readme_columns.py"
    for test in columns.TABLES:
        assert columns.markdown_table(test) in text


def test_readme_tables_are_found_or_refused():
    stale = "`ztest`, one row per pair:\n\n| column | meaning |\n| old | text |\n\n" \
            "`score`, one row per feature:\n\n| column | meaning |\n"
    made = columns.readme_tables(stale)
    assert "| old |" not in made and columns.markdown_table("ztest") + "\n\n`score`" in made
    with pytest.raises(ValueError, match="0 tables of the score columns"):
        columns.readme_tables(stale.split("`score`")[0])


@pytest.mark.parametrize("test", ["ztest", "score"])
def test_docstring_and_help_show_the_same_descriptions(test, capsys):
    flat = " ".join(getattr(corrshift, test).__doc__.split())
    assert " ".join(columns.docstring_list(test).split()) in flat and "{columns}" not in flat
    assert main([test, "--help"]) == 0
    assert columns.help_text(test) in capsys.readouterr().out
    for names, _ in columns.TABLES[test]:
        assert f"- ``{names[0]}``" in flat


def test_descriptions_name_options_as_each_reader_knows_them():
    p_permutation = dict(columns.ZTEST)[("p_permutation",)]
    assert "with ``permutations=0``, which" in columns._rendered(p_permutation, "python")
    assert "with --permutations 0, which" in columns._rendered(p_permutation, "cli")
    assert "with `permutations=0` (`--permutations 0`), which" in columns._rendered(p_permutation, "both")
    assert "`" not in columns.help_text("ztest") and "{" not in columns.help_text("ztest")
