"""Checks of the option arguments, in the user's terms."""

from __future__ import annotations

import numbers
import os

METHODS = ("pearson", "spearman")
ALTERNATIVES = ("two-sided", "greater", "less")
AGGREGATES = ("mean", "median")

#: Permutation counts are tallied in single precision on the native side,
#: which counts exactly up to 2**24.
MAX_PERMUTATIONS = 1 << 24
#: The largest count or position the native engine indexes (signed 32-bit).
INT32_MAX = (1 << 31) - 1


def check_choice(value, choices: tuple[str, ...], name: str) -> str:
    if not isinstance(value, str) or value not in choices:
        listed = ", ".join(f'"{c}"' for c in choices)
        raise ValueError(f"{name} must be one of {listed}; got {value!r}")
    return value


def check_whole(value, name: str, low: int, high: int) -> int:
    """An integer in [low, high]; bools and floats are refused."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise ValueError(f"{name} must be a whole number; got {value!r}")
    value = int(value)
    if not low <= value <= high:
        raise ValueError(f"{name} must be between {low} and {high}; got {value}")
    return value


def available_cpus() -> int:
    """Number of CPUs this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # platforms without CPU affinity
        return os.cpu_count() or 1


def check_threads(threads) -> int:
    if threads is None:
        return available_cpus()
    return check_whole(threads, "threads", 1, INT32_MAX)


def check_probability(value, name: str) -> float:
    """A number between 0 and 1 (a p-value threshold or a test level); bools are refused."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not 0 <= value <= 1:
        raise ValueError(f"{name} must be a number between 0 and 1; got {value!r}")
    return float(value)


#: The permutation count that adapts each row's cycles to its decision (:mod:`corrshift.adaptive`).
AUTO = "auto"


def check_permutations(permutations) -> int | str:
    """A whole number of permutations from 0 to :data:`MAX_PERMUTATIONS`, or "auto"."""
    if isinstance(permutations, str):
        if permutations == AUTO:
            return AUTO
        raise ValueError(f'permutations must be a whole number or "auto"; got {permutations!r}')
    return check_whole(permutations, "permutations", 0, MAX_PERMUTATIONS)


def check_adaptive(permutations, fdr, max_permutations, most: int) -> tuple[float, int | None]:
    """``fdr`` (strictly between 0 and 1) and ``max_permutations`` (None, or 1 to ``most``) of an analysis;
    ``max_permutations`` only with ``permutations="auto"``."""
    if isinstance(fdr, bool) or not isinstance(fdr, numbers.Real) or not 0 < fdr < 1:
        raise ValueError(f"fdr must be a number between 0 and 1 (exclusive); got {fdr!r}")
    if max_permutations is not None:
        if permutations != AUTO:
            raise ValueError('max_permutations is the most cycles of permutations="auto"; with a fixed count '
                             "give permutations alone")
        max_permutations = check_whole(max_permutations, "max_permutations", 1, most)
    return float(fdr), max_permutations


#: The engine's seeds are unsigned 32-bit numbers.
MAX_SEED = (1 << 32) - 1


def check_seed(seed) -> int | None:
    """None (the engine's default stream) or a whole number from 0 to :data:`MAX_SEED`."""
    return None if seed is None else check_whole(seed, "seed", 0, MAX_SEED)


def check_max_p(max_p, permutations: int, names: tuple[str, str] = ("max_p=", "permutations=0")) -> None:
    """Refuse a ``max_p`` without permutations: there is no ``p_permutation`` to keep rows by.

    ``names`` are the two options as the caller spells them (the command
    line's "--max-p" and "--permutations 0").
    """
    if max_p is not None and permutations == 0:
        raise ValueError(f"{names[0]} keeps the rows whose p_permutation is at most it, but {names[1]} computes "
                         "no permutation p-values (p_permutation is NaN): give permutations, or keep the best "
                         "rows by p_normal with top")


def check_min_cells(value) -> int | float | None:
    """None, a whole number of samples (0 or more), or a fraction of a group's samples in (0, 1)."""
    if value is None:
        return None
    if isinstance(value, numbers.Integral) and not isinstance(value, bool):
        return check_whole(value, "min_cells", 0, INT32_MAX)
    if isinstance(value, numbers.Real) and not isinstance(value, bool) and 0 < value < 1:
        return float(value)
    raise ValueError("min_cells must be a whole number of samples or a fraction between 0 and 1 "
                     f"(exclusive); got {value!r}")
