"""Regenerate corrshift's bundled breast-cancer table from scikit-learn.

scikit-learn ships the Wisconsin Diagnostic Breast Cancer data as
``sklearn/datasets/data/breast_cancer.csv`` (one line per sample, 30 values
and a class code); its feature and class names live in
``sklearn.datasets.load_breast_cancer``. This script writes the same numbers,
as the original text, in the layout corrshift reads: features in rows,
samples in columns, plus a table of sample annotations.

Run it once in a throwaway environment that has scikit-learn::

    python3.12 -m venv /tmp/skl && /tmp/skl/bin/pip install scikit-learn
    /tmp/skl/bin/python tools/extract_breast_cancer.py

corrshift itself does not depend on scikit-learn.
"""

import csv
import gzip
import io
from importlib import resources
from pathlib import Path

from sklearn.datasets import load_breast_cancer

OUT = Path(__file__).resolve().parent.parent / "python" / "corrshift" / "data"


def main() -> None:
    bunch = load_breast_cancer()
    feature_names = [str(n) for n in bunch.feature_names]
    class_names = [str(n) for n in bunch.target_names]

    text = resources.files("sklearn.datasets.data").joinpath("breast_cancer.csv").read_text()
    rows = list(csv.reader(io.StringIO(text)))
    n_samples, n_features = int(rows[0][0]), int(rows[0][1])
    body = rows[1:]
    assert len(body) == n_samples and len(feature_names) == n_features
    assert all(len(r) == n_features + 1 for r in body)

    samples = [f"case{i:03d}" for i in range(1, n_samples + 1)]
    table = io.StringIO()
    writer = csv.writer(table, delimiter="\t", lineterminator="\n")
    writer.writerow(["feature", *samples])
    for j, name in enumerate(feature_names):
        writer.writerow([name, *(r[j] for r in body)])
    # mtime=0 keeps the compressed file identical from one run to the next.
    with open(OUT / "breast_cancer.tsv.gz", "wb") as raw:
        with gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0, compresslevel=9) as gz:
            gz.write(table.getvalue().encode())

    with open(OUT / "breast_cancer_samples.tsv", "w", newline="") as f:
        writer = csv.writer(f, delimiter="\t", lineterminator="\n")
        writer.writerow(["sample", "diagnosis"])
        for sample, r in zip(samples, body):
            writer.writerow([sample, class_names[int(r[-1])]])
    print(f"wrote {n_features} features x {n_samples} samples to {OUT}")


if __name__ == "__main__":
    main()
