"""The result tables' columns, described once.

:data:`ZTEST` and :data:`SCORE` list each table's columns in order with
what they hold. The docstrings of :func:`corrshift.ztest` and
:func:`corrshift.score`, the command line's ``--help`` and the tables under
"Output columns" in README.md are all made from them
(:func:`docstring_list`, :func:`help_text`, :func:`markdown_table`), so
that they cannot drift apart; ``python tools/readme_columns.py`` writes
the README's tables.

A description is text in which `name` (one backtick each side) is a column
name or a value, and ``{option}`` an option of the analysis, shown as each
reader knows it: ``top`` in a docstring, --top on the command line, both in
the README.
"""

from __future__ import annotations

import re
import textwrap

#: Options named in the descriptions: (as in Python, as on the command line).
OPTIONS = {
    "top": ("top", "--top"),
    "max_p": ("max_p", "--max-p"),
    "out": ("out", "--out"),
    "class_alpha": ("class_alpha", "--class-alpha"),
    "alternative": ("alternative", "--alternative"),
    "no_permutations": ("permutations=0", "--permutations 0"),
    "median": ('aggregate="median"', "--aggregate median"),
    "auto": ('permutations="auto"', "--permutations auto"),
    "fdr": ("fdr", "--fdr"),
}

#: The z-test table: (column names, description), in column order.
ZTEST = (
    (("feature_a", "feature_b"), "the pair: over all pairs, (a, b) with a before b in the data; given pairs as "
                                 "given; between two sets, a of set A and b of set B, A-major"),
    (("r1", "r2"), "correlation in group 1 and in group 2 (Pearson's, or Spearman's: Pearson's of the average "
                   "ranks within the group), within [-1, 1]; NaN where it is undefined: a feature constant, or "
                   "with a NaN, within the group"),
    (("class",), "the class of change (a Categorical), group 1's side then group 2's: `+` or `-` (the sign of "
                 "r) where the group's two-sided test of r = 0 (t distribution, n - 2 degrees of freedom) gives "
                 "p below {class_alpha}, else `0`, and `NA` for an undefined r; `+/0` is a correlation in group "
                 "1 only, `-/+` a change of sign"),
    (("z_diff",), "atanh(r1) - atanh(r2), each r capped to +-0.99999994 (the largest float32 below 1) so that "
                  "the transform stays finite; NaN where r1 or r2 is"),
    (("p_normal",), "p-value of `z_diff` from the normal approximation, one- or two-sided as {alternative} "
                    "says, standard error sqrt(1/(n1 - 3) + 1/(n2 - 3)), times sqrt(1.5) for Spearman; NaN where "
                    "`z_diff` is, and when a group has 3 samples"),
    (("p_permutation",), "(b + 1)/(m' + 1): of the m' permutations of the two groups' samples in which `z_diff` "
                         "was defined, b gave one at least as extreme as {alternative} says (larger in "
                         "magnitude, larger, smaller); never 0; NaN where `z_diff` is, and everywhere with "
                         "{no_permutations}, which runs no permutation test; with {auto}, the anytime-valid "
                         "p-value 10/(w + 10) of the w less extreme permutations before the tenth at least as "
                         "extreme, or (b + 1)/(m' + 1) where that is smaller after the most permutations"),
    (("q_normal", "q_permutation"), "Benjamini-Hochberg q-values of the two p-values, over the rows where they "
                                    "are defined; with {top} or {max_p}, `q_permutation` still over every such "
                                    "row, kept or not, and no `q_normal`; neither in a folder {out}"),
    (("cycles",), "with {auto} only: the permutation cycles the row ran before its decision at {fdr} was "
                  "settled (`q_permutation` <= {fdr} or not)"),
)

#: The score table: (column names, description), in column order.
SCORE = (
    (("feature",), "the feature (over given pairs: each first feature of a pair); between two sets, a column "
                   "`side` before it says whether it is of set A (`a`, scored over its pairs with B) or B (`b`)"),
    (("score",), "mean of |z_diff| over the feature's pairs whose correlations are defined; with {median}, "
                 "their median |z_diff|, or for a one-sided {alternative} the median of the signed z_diff (of "
                 "an even count, the upper of the two middle values); NaN when none is defined"),
    (("p_permutation",), "(b + 1)/(m' + 1): of the m' permutations in which the score was defined, b gave one "
                         "at least as extreme as {alternative} says (larger in magnitude, larger, smaller); never "
                         "0; NaN where the score is, and everywhere with {no_permutations}; with {auto}, "
                         "anytime-valid as for z-tests"),
    (("q_permutation",), "its Benjamini-Hochberg q-value over every tested feature, kept or not with {top} "
                         "or {max_p}; not in a folder {out}"),
    (("cycles",), "with {auto} only: the permutation cycles the feature ran"),
)

TABLES = {"ztest": ZTEST, "score": SCORE}

#: How each reader sees `code` and options: "python" (docstrings), "cli" (--help), "both" (the README).
_CODE = {"python": "``", "cli": "", "both": "`"}


def _rendered(description: str, style: str) -> str:
    """A description for ``style``: its `code` marked as that reader's text marks code, its options named
    as that reader knows them."""
    mark = _CODE[style]
    text = re.sub(r"`([^`]+)`", lambda m: f"{mark}{m.group(1)}{mark}", description)

    def option(match):
        python, cli = OPTIONS[match.group(1)]
        return {"python": f"``{python}``", "cli": cli, "both": f"`{python}` (`{cli}`)"}[style]

    text = re.sub(r"\{(\w+)\}", option, text)
    return text.replace("+-", "±") if style == "both" else text


def markdown_table(test: str) -> str:
    """The README's table of the columns of ``test`` ("ztest" or "score")."""
    rows = ["| column | meaning |", "|---|---|"]
    for names, description in TABLES[test]:
        text = _rendered(description, "both").replace("|", "\\|")
        rows.append(f"| {', '.join(f'`{n}`' for n in names)} | {text} |")
    return "\n".join(rows)


def readme_tables(readme: str) -> str:
    """``readme`` (README.md's text) with its tables of columns made anew from :data:`TABLES`.

    Each table follows a line that starts with the analysis' name in
    backticks and ", one row per" (as "`ztest`, one row per pair:") and a
    blank line; ValueError when one is not found.
    """
    for test in TABLES:
        pattern = re.compile(rf"(^`{test}`, one row per [^\n]*\n\n)(?:\|[^\n]*\n)+", re.MULTILINE)
        readme, found = pattern.subn(lambda m: m.group(1) + markdown_table(test) + "\n", readme)
        if found != 1:
            raise ValueError(f"README.md has {found} tables of the {test} columns; expected one")
    return readme


def docstring_list(test: str, indent: int = 8) -> str:
    """The columns of ``test`` as the bullet list of a numpy-style docstring's Returns section."""
    lines = []
    for names, description in TABLES[test]:
        text = f"- {', '.join(f'``{n}``' for n in names)}: {_rendered(description, 'python')};"
        lines += textwrap.wrap(text, 76 - indent, subsequent_indent="  ", break_on_hyphens=False)
    lines[-1] = lines[-1][:-1] + "."
    return textwrap.indent("\n".join(lines), " " * indent).lstrip()


def help_text(test: str, width: int = 92) -> str:
    """The columns of ``test`` for the command line's ``--help``: names, then their description beside them."""
    column = max(len(", ".join(names)) for names, _ in TABLES[test]) + 4
    lines = []
    for names, description in TABLES[test]:
        label = "  " + ", ".join(names)
        text = _rendered(description, "cli")
        wrapped = textwrap.wrap(text, width - column, break_on_hyphens=False)
        if len(label) + 2 > column:
            lines.append(label)
            label = ""
        lines.append(label.ljust(column) + wrapped[0])
        lines += [" " * column + line for line in wrapped[1:]]
    return "\n".join(lines)


def documented(test: str):
    """A decorator that puts the columns of ``test`` (:func:`docstring_list`) in place of ``{columns}`` in
    the function's docstring."""
    def decorate(function):
        function.__doc__ = function.__doc__.replace("{columns}", docstring_list(test))
        return function
    return decorate
