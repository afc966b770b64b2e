"""The README's examples on the bundled data run as written, and the figures their comments state are
the ones they give (so that no figure there goes stale). Examples on other data (scanpy's, a Dask
cluster) are run by docs/pbmc_examples.py and stated in the README from its output."""

import re
import warnings
from pathlib import Path

import pytest

README = (Path(__file__).resolve().parents[1] / "README.md").read_text()
BLOCKS = re.findall(r"```python\n(.*?)```", README, flags=re.S)
pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")


def block(marker: str) -> str:
    """The one Python example of the README that holds ``marker``."""
    found = [b for b in BLOCKS if marker in b]
    assert len(found) == 1, f"{len(found)} README examples hold {marker!r}"
    return found[0]


def numbers(text: str, pattern: str) -> list[int]:
    """The whole numbers ``pattern`` captures in ``text`` (commas as thousands separators)."""
    match = re.search(pattern, text)
    assert match, f"no {pattern!r} in {text!r}"
    return [int(g.replace(",", "")) for g in match.groups()]


def test_quick_start_runs_and_draws(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    exec(block("plot.save(plot.correlations(pairs)"), {})
    assert sorted(p.name for p in tmp_path.iterdir()) == ["correlations.png", "heatmap.png", "pair.png",
                                                           "volcano.png"]


def test_the_designs_examples_give_the_figures_they_state():
    space: dict = {}
    exec(block("groups = dict(groupby=samples"), space)
    space["groups"]["progress"] = False

    strata = block("strata=size")
    exec(strata, space)
    with_strata, without = numbers(strata, r"# (\d+) pairs at q_permutation <= 0.05, (\d+) without")
    assert (space["pairs"].q_permutation <= 0.05).sum() == with_strata

    classes = block('pairs["class"].value_counts()')
    exec(classes, space)
    assert (space["pairs"].q_permutation <= 0.05).sum() == without
    stated = dict(re.findall(r"([+\-0]/[+\-0]) (\d+)", classes.split("#", 1)[1]))
    counts = space["pairs"]["class"].value_counts()
    assert len(stated) >= 4 and {c: int(n) for c, n in stated.items()} == {c: int(counts[c]) for c in stated}

    exec(block("sets = {"), space)

    network = block("corrshift.network(pairs)")
    with warnings.catch_warnings():
        exec(network, space)
    edges, hub_pairs, hub_stronger = numbers(network, r"# (\d+) edges; hubs: mean concavity (\d+) pairs, (\d+)")
    assert space["graph"].number_of_edges() == edges
    hub = space["hubs"].loc["mean concavity"]
    assert (hub["pairs"], hub["stronger_in_group1"]) == (hub_pairs, hub_stronger)

    across = block("contrasts=\"pairwise\")")
    exec(across.replace("permutations=999,", "permutations=999, progress=False,"), space)
    found, of = numbers(across, r"# (\d+) of (\d+) pairs at q_permutation <= 0.05")
    assert ((space["across"].q_permutation <= 0.05).sum(), len(space["across"])) == (found, of)


def test_the_native_module_example_runs():
    space: dict = {}
    exec(block("import pipelines"), space)
    assert space["r1"].shape == (50 * 49 // 2,)
