"""Small matrices shared by the tests."""

import numpy as np

# Three features over ten samples; the worked example uses samples 0-4 as
# group 1 and samples 5-9 as group 2.
WORKED_DATA = np.array(
    [
        [1, 2, 5, 10, 9, 8, 4, 6, 7, 3],
        [7, 8, 4, 1, 6, 2, 10, 9, 3, 5],
        [9, 10, 6, 4, 8, 5, 7, 1, 2, 3],
    ],
    dtype=np.float32,
)
WORKED_GROUP1 = np.arange(0, 5, dtype=np.int32)
WORKED_GROUP2 = np.arange(5, 10, dtype=np.int32)


def real_matrix():
    """(data, group1, group2): 6 real-valued features over 24 samples, 10 + 12 of them grouped."""
    rng = np.random.default_rng(20240611)
    data = rng.normal(size=(6, 24)).astype(np.float32)
    data[1] += data[0] * np.linspace(-1, 1, 24, dtype=np.float32)  # a correlation that changes sign
    return data, np.arange(0, 10, dtype=np.int32), np.arange(12, 24, dtype=np.int32)


def count_matrix():
    """(data, group1, group2): 9 count-like features over 80 samples, mostly zeros, so
    ranks depend on the order the index sort gives ties in groups of more than 32."""
    rng = np.random.default_rng(99)
    data = rng.poisson(0.6, size=(9, 80)).astype(np.float32)
    return data, np.arange(0, 40, dtype=np.int32), np.arange(40, 80, dtype=np.int32)


def sparse_counts(genes: int = 100, cells_per_type: int = 150):
    """(counts, cell_type): a single-cell-like count table (genes x cells, mostly zeros) of two cell
    types, "T cell" and "B cell", where a few gene modules change their correlation.

    Each gene's count is Poisson around a low per-gene rate scaled by the cell's library size.
    The genes of a module share a per-cell factor in one type only: gene0-gene5 in T cells,
    gene6-gene8 in B cells; gene9 and gene10 move in opposite directions in T cells only
    (a negative correlation stronger in T cells, with a negative z_diff).
    """
    import pandas as pd

    rng = np.random.default_rng(2024)
    cells = 2 * cells_per_type
    t_cell = np.arange(cells) < cells_per_type
    rate = rng.lognormal(-1.0, 1.0, size=(genes, 1)) * rng.lognormal(0.0, 0.3, size=(1, cells))
    for members, signs, within in (((0, 1, 2, 3, 4, 5), (1,) * 6, t_cell), ((6, 7, 8), (1,) * 3, ~t_cell),
                                   ((9, 10), (1, -1), t_cell)):
        shared = rng.normal(size=cells)
        for gene, sign in zip(members, signs):
            # Enough reads for the correlation to show through the zeros.
            rate[gene] = 2.0 * np.exp(np.where(within, sign * 0.8 * shared, 0.0)) * rate[gene] / rate[gene].mean()
    counts = rng.poisson(rate).astype(np.float32)
    names = [f"gene{i}" for i in range(genes)]
    columns = [f"cell{i}" for i in range(cells)]
    cell_type = pd.Series(np.where(t_cell, "T cell", "B cell"), index=columns, name="cell_type")
    return pd.DataFrame(counts, index=names, columns=columns), cell_type
