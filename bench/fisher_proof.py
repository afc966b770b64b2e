"""Exhaustive check of the vectorised Fisher transform.

Every float32 in [-0.99, 0.99] (about 2.1e9 values) and a set of NaNs goes
through the fast transform of each kernel build this CPU runs (AVX-512,
AVX2, baseline) and through the reference (float) atanh((double) c); the
results must agree bit for bit (NaN where NaN). Prints one line per build
and exits non-zero on the first difference.

Run with the package built: .venv/bin/python bench/fisher_proof.py
"""

import sys
import time

import numpy as np

from corrshift import _native_tests as native

CHUNK = 1 << 24


def float_bits_between(low, high):
    """Bit patterns of the non-negative floats in [low, high], in chunks."""
    lo = int(np.float32(low).view(np.uint32))
    hi = int(np.float32(high).view(np.uint32))
    start = lo
    while start <= hi:
        stop = min(start + CHUNK, hi + 1)
        yield np.arange(start, stop, dtype=np.uint32)
        start = stop


def main():
    builds = native.available_kernels()
    mismatches = {b: 0 for b in builds}
    checked = 0
    started = time.time()
    fast = None
    reference = None
    nans = np.array([0x7FC00000, 0xFFC00000, 0x7F800001, 0xFFFFFFFF], dtype=np.uint32)
    chunks = [nans] + list(float_bits_between(0.0, 0.99))
    for bits in chunks:
        for sign in (0, 0x80000000):
            values = (bits | np.uint32(sign)).view(np.float32)
            if fast is None or fast.size != values.size:
                fast = np.empty_like(values)
                reference = np.empty_like(values)
            native.reference_fisher_transform(values, reference)
            for build in builds:
                native.use_kernels(build)
                native.fast_fisher_transform(values, fast)
                same = (fast.view(np.uint32) == reference.view(np.uint32)) | (np.isnan(fast) & np.isnan(reference))
                if not same.all():
                    bad = values[~same][:5]
                    print(f"{build}: differs at {bad!r}", file=sys.stderr)
                    mismatches[build] += int((~same).sum())
            checked += values.size
    native.use_kernels("")
    seconds = time.time() - started
    for build in builds:
        print(f"fisher transform, {build}: {checked} values, {mismatches[build]} differences")
    print(f"({seconds:.0f} s)")
    return 1 if any(mismatches.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
