"""The README's worked examples on real single-cell data: scanpy's bundled
pbmc68k_reduced (700 blood cells, the log-normalised genes of ``.raw``).
Run from the repository's root: ``python docs/pbmc_examples.py`` (needs
scanpy and corrshift[plot]); it prints the tables the README shows and draws
docs/images/between_heatmap.png and docs/images/groups_*.png."""

from __future__ import annotations

from pathlib import Path

import pandas as pd
import scanpy as sc
from PIL import Image

import corrshift
from corrshift import plot

FOLDER = Path(__file__).parent / "images"

#: Transcription factors of blood cells, those among the data's genes kept.
REGULATORS = ["SPI1", "IRF8", "IRF1", "IRF7", "KLF6", "FOS", "JUNB", "EGR1", "GATA3", "ID2", "HES1", "SOX4",
              "FLI1", "SPIB"]


def save(ax, name: str) -> None:
    path = FOLDER / f"{name}.png"
    plot.save(ax, path, dpi=80)
    # 256 colours are plenty for these pictures and take a third of the room.
    Image.open(path).convert("RGB").quantize(256).save(path, optimize=True)


def regulators_and_targets(adata) -> None:
    """Regulators x targets between dendritic cells and CD14+ monocytes."""
    tfs = [g for g in REGULATORS if g in adata.raw.var_names]
    targets = [g for g in adata.raw.var_names if g not in tfs]
    pairs = corrshift.ztest(adata, groupby="bulk_labels", groups=("Dendritic", "CD14+ Monocyte"),
                            use_raw=True, min_cells=0.1, between=(tfs, targets), permutations="auto")
    found = pairs[pairs.q_permutation <= 0.05]
    print(f"{len(pairs)} pairs of {pairs.attrs['features_a']} regulators x {pairs.attrs['features_b']} targets; "
          f"{len(found)} at q_permutation <= 0.05")
    columns = ["feature_a", "feature_b", "r1", "r2", "z_diff", "q_permutation", "class", "cycles"]
    print(found.sort_values("p_permutation").head(6)[columns].to_string(index=False))
    scores = corrshift.score(adata, groupby="bulk_labels", groups=("Dendritic", "CD14+ Monocyte"),
                             use_raw=True, min_cells=0.1, between=(tfs, targets), permutations="auto")
    print(scores[scores.side == "a"].sort_values("p_permutation").head(4).to_string(index=False))
    save(plot.heatmap(pairs, top=12), "between_heatmap")


def three_cell_types(adata) -> None:
    """The test across three groups: CD14+ monocytes, dendritic cells and B cells."""
    from corrshift.ranking import ranked

    three = ["CD14+ Monocyte", "Dendritic", "CD19+ B"]
    pairs = corrshift.ztest(adata, groupby="bulk_labels", groups=three, use_raw=True, min_cells=0.2,
                            permutations="auto")
    print(f"{len(pairs)} pairs of {pairs.attrs['features']} genes; {(pairs.q_permutation <= 0.05).sum()} at "
          f"q_permutation <= 0.05 ({(pairs.q_normal <= 0.05).sum()} at q_normal <= 0.05); "
          f"{pairs.attrs['row_cycles']:,} permutation cycles of rows in all, at most "
          f"{pairs.attrs['max_permutations']:,} a row")
    columns = ["feature_a", "feature_b", *(f"r_{t}" for t in three), "class", "chi2", "q_permutation", "cycles"]
    print(ranked(pairs).head(5)[columns].to_string(index=False))
    save(plot.correlations(pairs, label=6), "groups_correlations")
    save(plot.pair(adata.raw, "LTB", "HLA-DRA", groupby=adata.obs["bulk_labels"], groups=three), "groups_pair")


def main() -> None:
    pd.set_option("display.width", 120)
    adata = sc.datasets.pbmc68k_reduced()
    regulators_and_targets(adata)
    three_cell_types(adata)


if __name__ == "__main__":
    main()
