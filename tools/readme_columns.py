"""Write the tables under "Output columns" in README.md from corrshift.columns.

Run from the repository root after changing a column's description:

    PYTHONPATH=python python tools/readme_columns.py
"""

from pathlib import Path

from corrshift.columns import readme_tables

README = Path(__file__).resolve().parent.parent / "README.md"

if __name__ == "__main__":
    text = README.read_text(encoding="utf-8")
    new = readme_tables(text)
    if new != text:
        README.write_text(new, encoding="utf-8")
    print(f"{README}: {'written' if new != text else 'already up to date'}")
