"""The real dataset that ships with corrshift."""

from __future__ import annotations

from importlib import resources

import pandas as pd


def breast_cancer() -> tuple[pd.DataFrame, pd.DataFrame]:
    """The Wisconsin Diagnostic Breast Cancer table: 30 features of 569 tumours.

    Each sample is a digitised image of a fine-needle aspirate of a breast
    mass; the features describe its cell nuclei (radius, texture, perimeter,
    area, smoothness, compactness, concavity, concave points, symmetry and
    fractal dimension, each as mean, standard error and worst value). 212
    samples are malignant and 357 benign. Source: UCI Machine Learning
    Repository (Wolberg, Street and Mangasarian, 1995; CC BY 4.0), as bundled
    with scikit-learn; see ``corrshift/data/README.md``.

    Returns
    -------
    data : DataFrame
        30 features (rows, named as in scikit-learn, e.g. "mean radius") by
        569 samples (columns "case001" ... "case569", in the source's order).
    samples : DataFrame
        Indexed by sample, with the column ``diagnosis`` ("malignant" or
        "benign").

    Examples
    --------
    >>> from corrshift.datasets import breast_cancer
    >>> data, samples = breast_cancer()
    >>> data.shape
    (30, 569)
    >>> samples["diagnosis"].value_counts().to_dict()
    {'benign': 357, 'malignant': 212}
    """
    folder = resources.files("corrshift") / "data"
    with (folder / "breast_cancer.tsv.gz").open("rb") as f:
        data = pd.read_csv(f, sep="\t", index_col=0, compression="gzip")
    with (folder / "breast_cancer_samples.tsv").open("rb") as f:
        samples = pd.read_csv(f, sep="\t", index_col=0)
    data.index.name = "feature"
    return data, samples
