# Types of the extension module `pipelines` (src/module/module.cpp): four
# functions with positional arguments only. Arrays are converted to C-order
# float32 / int32 when numpy can do so safely; results are new arrays.
import numpy as np
import numpy.typing as npt

_F32 = npt.NDArray[np.float32]
_I32 = npt.NDArray[np.int32]

def _ztest_pipeline_indexed(
    data: _F32,
    pair_first: _I32,
    pair_second: _I32,
    group1: _I32,
    group2: _I32,
    method: str,
    alternative: str,
    permutations: int,
    processes: int,
    /,
) -> tuple[_F32, _F32, _F32, _F32, _F32]: ...
def _score_pipeline_indexed(
    data: _F32,
    pair_first: _I32,
    pair_second: _I32,
    group1: _I32,
    group2: _I32,
    method: str,
    aggregate: str,
    alternative: str,
    permutations: int,
    processes: int,
    /,
) -> tuple[_I32, _F32, _F32]: ...
def _ztest_pipeline_exhaustive(
    data: _F32,
    group1: _I32,
    group2: _I32,
    method: str,
    alternative: str,
    permutations: int,
    processes: int,
    /,
) -> tuple[_F32, _F32, _F32, _F32, _F32]: ...
def _score_pipeline_exhaustive(
    data: _F32,
    group1: _I32,
    group2: _I32,
    method: str,
    aggregate: str,
    alternative: str,
    permutations: int,
    processes: int,
    /,
) -> tuple[_F32, _F32]: ...
