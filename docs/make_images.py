"""Draw the README's plot examples into docs/images/ (run from the repository's root:
``python docs/make_images.py``; needs corrshift[plot], networkx and Pillow)."""

from pathlib import Path

from PIL import Image

import corrshift
from corrshift import plot
from corrshift.datasets import breast_cancer

FOLDER = Path(__file__).parent / "images"


def main() -> None:
    data, samples = breast_cancer()
    groups = dict(groupby=samples["diagnosis"], groups=("malignant", "benign"))
    pairs = corrshift.ztest(data, permutations=10000, progress=False, **groups)
    graph, _ = corrshift.network(pairs)
    for name, ax in (("correlations", plot.correlations(pairs)), ("volcano", plot.volcano(pairs)),
                     ("heatmap", plot.heatmap(pairs)), ("network", plot.network(graph)),
                     ("pair", plot.pair(data, "mean area", "radius error", **groups))):
        path = FOLDER / f"{name}.png"
        plot.save(ax, path, dpi=80)
        # 256 colours are plenty for these pictures and take a third of the room.
        Image.open(path).convert("RGB").quantize(256).save(path, optimize=True)


if __name__ == "__main__":
    main()
