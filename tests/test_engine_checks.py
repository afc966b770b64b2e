"""The checks of tests/engine/run.sh: the fused multiply-add filter on sample objdump lines, and the list of
kernel builds that CMake, the selection code and run.sh read."""

import re
import shutil
import subprocess
from pathlib import Path

import pipelines
import pytest

from corrshift import _core

ROOT = Path(__file__).resolve().parents[1]
BUILDS = ROOT / "src" / "stats" / "fast" / "kernel_builds.def"

pytestmark = pytest.mark.skipif(shutil.which("bash") is None, reason="run.sh is a bash script")


def _shell(function, lines):
    """Output lines of a function of tests/engine/fused.sh fed `lines` as objdump output."""
    script = f'source "{ROOT}/tests/engine/fused.sh"; {function}'
    run = subprocess.run(["bash", "-c", script], input="".join(f"{line}\n" for line in lines), capture_output=True,
                         text=True, check=True, timeout=60)
    return run.stdout.splitlines()


def _line(mnemonic, operands):
    # As objdump -d --no-show-raw-insn prints an instruction: address, tab, mnemonic, operands.
    return f"  4011a6:\t{mnemonic} {operands}"


FUSED = [
    # x86: FMA3, AVX-512 with a mask, FMA4
    ("vfmadd231ps", "%ymm1,%ymm2,%ymm0"), ("vfnmsub213sd", "%xmm1,%xmm2,%xmm0"),
    ("vfmaddsub132ps", "%ymm1,%ymm2,%ymm0"), ("vfmsubadd231pd", "%zmm1,%zmm2,%zmm0{%k1}"),
    ("vfmaddps", "%xmm3,%xmm2,%xmm1,%xmm0"),
    # aarch64: scalar, NEON, SVE (z registers), half-precision widening, complex
    ("fmadd", "d0, d1, d2, d3"), ("fnmsub", "s0, s1, s2, s3"), ("fmla", "v0.4s, v1.4s, v2.4s"),
    ("fmls", "v0.2d, v1.2d, v2.d[1]"), ("fmla", "z0.s, p0/m, z1.s, z2.s"), ("fmad", "z0.d, p1/m, z2.d, z3.d"),
    ("fmsb", "z0.s, p0/m, z1.s, z2.s"), ("fnmla", "z4.d, p0/m, z5.d, z6.d"), ("fnmls", "z0.s, p0/m, z1.s, z2.s"),
    ("fnmad", "z0.s, p0/m, z1.s, z2.s"), ("fnmsb", "z0.d, p0/m, z1.d, z2.d"), ("fmlal", "v0.4s, v1.4h, v2.4h"),
    ("fcmla", "v0.4s, v1.4s, v2.4s, #90"), ("bfmlalb", "z0.s, z1.h, z2.h"),
    # RISC-V: scalar, vector, widening vector
    ("fmadd.s", "fa0,fa1,fa2,fa3"), ("fmsub.d", "fa0,fa1,fa2,fa3"), ("fnmadd.s", "fa0,fa1,fa2,fa3"),
    ("fnmsub.d", "fa0,fa1,fa2,fa3"), ("vfmacc.vv", "v8,v16,v24"), ("vfnmacc.vf", "v8,fa0,v16"),
    ("vfmsac.vv", "v8,v16,v24"), ("vfnmsac.vv", "v8,v16,v24"), ("vfmadd.vf", "v8,fa0,v16"),
    ("vfnmsub.vv", "v8,v16,v24"), ("vfwmacc.vv", "v8,v16,v20"), ("vfwnmsac.vf", "v8,fa0,v16"),
]
NOT_FUSED = [
    ("vmulps", "%ymm1,%ymm2,%ymm0"), ("vaddps", "%ymm1,%ymm2,%ymm0"), ("call", "401000 <vfmadd_helper>"),
    ("fmul", "v0.4s, v1.4s, v2.4s"), ("fadd", "z0.s, p0/m, z0.s, z1.s"), ("fmov", "d0, x1"),
    ("fmaxnm", "d0, d1, d2"), ("mla", "v0.4s, v1.4s, v2.4s"), ("smmla", "v0.4s, v1.16b, v2.16b"),
    ("fmax.s", "fa0,fa1,fa2"), ("fmv.x.w", "a0,fa0"), ("vfmul.vv", "v8,v16,v24"), ("vfadd.vf", "v8,v16,fa0"),
    ("vfmax.vv", "v8,v16,v24"), ("vfmv.v.f", "v8,fa0"),
]


@pytest.mark.parametrize(("mnemonic", "operands"), FUSED, ids=[f"{m} {o}" for m, o in FUSED])
def test_fused_instruction_is_found(mnemonic, operands):
    line = _line(mnemonic, operands)
    assert _shell("fused_instructions", ["0000000000401126 <kernel>:", line, _line("ret", "")]) == [line]


def test_mnemonic_followed_by_a_tab_is_found():
    line = "  400590:\tfmla\tv0.4s, v1.4s, v2.4s"
    assert _shell("fused_instructions", [line]) == [line]


def test_other_instructions_are_not():
    assert _shell("fused_instructions", [_line(m, o) for m, o in NOT_FUSED]) == []


def test_instructions_are_counted():
    lines = ["", "Disassembly of section .text:", "0000000000401126 <kernel>:", *(_line(m, o) for m, o in NOT_FUSED)]
    assert _shell("instruction_count", lines) == [str(len(NOT_FUSED))]
    assert _shell("instruction_count", lines[:3]) == ["0"]


@pytest.mark.parametrize("module", [pipelines, _core], ids=["pipelines", "corrshift._core"])
def test_extension_modules_carry_no_fused_multiply_add(module):
    """Every product is rounded before it is added, in whichever build the CPU picks."""
    objdump = shutil.which("objdump")
    if objdump is None:
        pytest.skip("objdump is not installed")
    listing = subprocess.run([objdump, "-d", "--no-show-raw-insn", module.__file__], capture_output=True, text=True,
                             check=True).stdout.splitlines()
    assert int(_shell("instruction_count", listing)[0]) > 1000
    assert _shell("fused_instructions", listing) == []


def _listed():
    """(name, target) of each line of kernel_builds.def, read as CMake and run.sh read it."""
    lines = [line for line in BUILDS.read_text().splitlines() if line.startswith("CORRSHIFT_KERNEL_BUILD(")]
    rows = [re.match(r'CORRSHIFT_KERNEL_BUILD\(([a-z0-9_]+), *([a-z0-9_]+), *"([^"]*)",', line) for line in lines]
    assert all(rows), lines
    return [(m[1], m[2]) for m in rows]


def test_the_builds_compiled_in_are_those_listed_for_the_target():
    listed = _listed()
    assert len({name for name, _ in listed}) == len(listed)
    compiled = _core.kernel_builds()["compiled"]
    targets = {target for name, target in listed if name in compiled}
    assert len(targets) == 1
    assert compiled == [name for name, target in listed if target in targets]
    for name, _ in listed:
        assert (BUILDS.parent / f"kernels_{name}.cpp").is_file(), name
