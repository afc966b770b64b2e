# Types of corrshift's native entry `corrshift._core` (src/module/core.cpp).
# Arrays are converted to C-order float32 / int32 when numpy can do so
# safely; results are new arrays. `progress(done, total)` is called between
# permutation cycles; `strata` holds one int32 stratum per sample (-1: none);
# `seed` seeds the dealings; `exact` runs every split once instead (the
# permutation count must then be the number of splits); `first_cycle` makes
# the call's permutation cycles the seed's numbered cycles first_cycle + 1
# onwards, so consecutive calls count what one longer call counts. The
# exhaustive functions' `between` (0: all pairs) makes the pairs the
# rectangle of rows [0, between) with the other rows, row by row.
from collections.abc import Callable
from typing import TypedDict

import numpy as np
import numpy.typing as npt

_F32 = npt.NDArray[np.float32]
_I32 = npt.NDArray[np.int32]
_U32 = npt.NDArray[np.uint32]
_F64 = npt.NDArray[np.float64]
_I8 = npt.NDArray[np.int8]
_Progress = Callable[[int, int], object] | None

def ztest_exhaustive(
    data: _F32,
    group1: _I32,
    group2: _I32,
    method: str,
    alternative: str,
    permutations: int,
    threads: int,
    progress: _Progress = None,
    strata: _I32 | None = None,
    seed: int = 733,
    exact: bool = False,
    first_cycle: int = 0,
    between: int = 0,
) -> tuple[_F32, _F32, _F32, _F32, _U32, _U32]: ...
def ztest_indexed(
    data: _F32,
    pair_first: _I32,
    pair_second: _I32,
    group1: _I32,
    group2: _I32,
    method: str,
    alternative: str,
    permutations: int,
    threads: int,
    progress: _Progress = None,
    strata: _I32 | None = None,
    seed: int = 733,
    exact: bool = False,
    first_cycle: int = 0,
) -> tuple[_F32, _F32, _F32, _F32, _U32, _U32]: ...
def score_exhaustive(
    data: _F32,
    group1: _I32,
    group2: _I32,
    method: str,
    aggregate: str,
    alternative: str,
    permutations: int,
    threads: int,
    progress: _Progress = None,
    strata: _I32 | None = None,
    seed: int = 733,
    exact: bool = False,
    first_cycle: int = 0,
    between: int = 0,
) -> tuple[_F32, _U32, _U32]: ...
def score_indexed(
    data: _F32,
    pair_first: _I32,
    pair_second: _I32,
    group1: _I32,
    group2: _I32,
    method: str,
    aggregate: str,
    alternative: str,
    permutations: int,
    threads: int,
    progress: _Progress = None,
    strata: _I32 | None = None,
    seed: int = 733,
    exact: bool = False,
    first_cycle: int = 0,
) -> tuple[_I32, _F32, _U32, _U32]: ...
def score_units(
    data: _F32,
    pair_first: _I32,
    pair_second: _I32,
    unit_starts: _I32,
    group1: _I32,
    group2: _I32,
    method: str,
    aggregate: str,
    alternative: str,
    permutations: int,
    threads: int,
    progress: _Progress = None,
    strata: _I32 | None = None,
    seed: int = 733,
    exact: bool = False,
    first_cycle: int = 0,
) -> tuple[_F32, _U32, _U32]: ...
def ztest_groups(
    data: _F32,
    columns: _I32,
    sizes: _I32,
    method: str,
    permutations: int,
    threads: int,
    progress: _Progress = None,
    strata: _I32 | None = None,
    seed: int = 733,
    first_cycle: int = 0,
    pair_first: _I32 | None = None,
    pair_second: _I32 | None = None,
    contrasts: bool = False,
    aggregate: str | None = None,
    unit_starts: _I32 | None = None,
) -> dict[str, npt.NDArray[np.float32] | _F64 | _U32]:
    """The test across len(sizes) groups, whose columns `columns` holds in turn: "corr" (groups x pairs),
    "chi2", "extreme", "valid"; with `contrasts` "contrast_z", "contrast_extreme", "contrast_valid"
    (contrasts (i, j), i < j, x pairs); with `aggregate` ("mean", "median"; all pairs only) "score",
    "score_extreme", "score_valid" (one per feature)."""
    ...
def bh_qvalues(p: _F32, threads: int) -> _F64: ...
def change_codes(r1: _F32, r2: _F32, bounds1: tuple[float, float], bounds2: tuple[float, float], threads: int) -> _I8: ...

class _KernelBuilds(TypedDict):
    active: str | None  # the build the calls run; None when CORRSHIFT_KERNELS names none the CPU runs
    chosen_by: str  # "automatic", "CORRSHIFT_KERNELS" or "a test"
    error: str | None  # why CORRSHIFT_KERNELS was refused
    compiled: list[str]  # the builds compiled in, widest first
    available: list[str]  # those the CPU runs
    cpu_features: dict[str, bool]  # each CPU feature the builds test: present?

def kernel_builds() -> _KernelBuilds: ...
