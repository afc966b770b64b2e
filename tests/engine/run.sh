#!/usr/bin/env bash
# Builds the engine test program (tests/engine) for one target and runs it:
#   tests/engine/run.sh native    the host's compiler, run directly
#   tests/engine/run.sh aarch64   cross-built with g++-aarch64-linux-gnu and run
#                                 under qemu-user (both installed from Debian
#                                 when missing); natively on an aarch64 host
# Before running, checks the program's code for fused multiply-add
# instructions: every product must be rounded before it is added.
set -euo pipefail
target=${1:?target: native or aarch64}
root=$(cd "$(dirname "$0")/../.." && pwd)
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

# x86: vfmadd132ps, vfnmsub231sd, ...; aarch64: fmadd, fmsub, fnmadd, fnmsub, fmla, fmls;
# riscv: fmadd.s, ...
fused=$("$objdump" -d --no-show-raw-insn "$build/engine_test" | grep -E $'\t(v?fn?m(add|sub)[0-9a-z.]*|fn?ml[as])[ \t]' || true)
if [ -n "$fused" ]; then
    echo "fused multiply-add instructions in $build/engine_test:" >&2
    echo "$fused" | head -5 >&2
    exit 1
fi
"${run[@]}" "$build/engine_test"
