#!/usr/bin/env bash
# Builds the engine test program (tests/engine) for one target and runs it:
#   tests/engine/run.sh native    the host's compiler, run directly
#   tests/engine/run.sh aarch64   cross-built with g++-aarch64-linux-gnu and run
#                                 under qemu-user (both installed from Debian
#                                 when missing); natively on an aarch64 host
# Before running, checks the code of each kernel build of the target (those
# src/stats/fast/kernel_builds.def lists for it, and the generic build) and
# of the whole program for fused multiply-add instructions (fused.sh): every
# product must be rounded before it is added.
set -euo pipefail
target=${1:?target: native or aarch64}
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/tests/engine/fused.sh"
toolchain=()
objdump=objdump
run=()

ensure_cross_tools() {
    command -v aarch64-linux-gnu-g++ >/dev/null && command -v qemu-aarch64 >/dev/null && return
    if [ "$(uname -m)" != x86_64 ] || ! command -v apt-get >/dev/null; then
        echo "make test-aarch64 needs aarch64-linux-gnu-g++ and qemu-aarch64 (on x86-64 Debian it installs them)" >&2
        exit 1
    fi
    local sudo=
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq g++-aarch64-linux-gnu qemu-user >/dev/null
}

case $target in
    native) ;;
    aarch64)
        if [ "$(uname -m)" != aarch64 ]; then
            ensure_cross_tools
            toolchain=(-DCMAKE_TOOLCHAIN_FILE="$root/tests/engine/aarch64-linux-gnu.cmake")
            objdump=aarch64-linux-gnu-objdump
            run=(qemu-aarch64 -L /usr/aarch64-linux-gnu)
        fi
        ;;
    *) echo "unknown target $target (native or aarch64)" >&2; exit 2 ;;
esac

build="$root/build/engine-$target"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
[ -f "$build/CMakeCache.txt" ] && generator=()
cmake -S "$root/tests/engine" -B "$build" "${generator[@]}" "${toolchain[@]}" >/dev/null
cmake --build "$build" >/dev/null

# The builds of the target, as CMake's target test found it.
arch=generic
grep -q '^CORRSHIFT_TARGET_X86:INTERNAL=1$' "$build/CMakeCache.txt" && arch=x86
grep -q '^CORRSHIFT_TARGET_AARCH64:INTERNAL=1$' "$build/CMakeCache.txt" && arch=aarch64
builds=$(sed -nE "s/^CORRSHIFT_KERNEL_BUILD\(([a-z0-9_]+), *($arch|generic),.*/\1/p" "$root/src/stats/fast/kernel_builds.def")

# Fails naming the code that holds fused instructions, or that holds no code
# at all (the check would then have seen nothing).
check_code() {
    local what=$1 file=$2 listing
    listing=$("$objdump" -d --no-show-raw-insn "$file")
    if [ "$(instruction_count <<<"$listing")" = 0 ]; then
        echo "no instructions found in $file ($what): the fused multiply-add check cannot see its code" >&2
        exit 1
    fi
    local fused
    fused=$(fused_instructions <<<"$listing")
    if [ -n "$fused" ]; then
        echo "fused multiply-add instructions in $what ($file):" >&2
        echo "$fused" | head -5 >&2
        exit 1
    fi
}

for b in $builds; do
    object=$(find "$build" -name "kernels_$b.cpp.o" | head -1)
    if [ -z "$object" ]; then
        echo "kernel_builds.def lists the $arch build $b, but $build holds no kernels_$b.cpp.o" >&2
        exit 1
    fi
    check_code "the $b kernels" "$object"
done
check_code "the engine test program" "$build/engine_test"
echo "no fused multiply-add instructions in the $arch builds:" $builds
"${run[@]}" "$build/engine_test"
