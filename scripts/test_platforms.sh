#!/usr/bin/env bash
# The core on other compilers and machines, and the same frames on all of them.
#
#   clang    The machine and host libraries and the C++ tests built warning-free with clang and
#            libc++ (the toolchain family of macOS) on this machine; the C++ tests pass.
#   aarch64  The same, cross-built with Debian's aarch64 compiler and run under qemu's user-mode
#            emulation: the portable paths beside the SSE2/AVX2 ones.
#   digest   The machine digest (bench/machine_digest, FRAMES frames, default 600) over every
#            shared cartridge, our test programs and the demo, from x86-64 g++, x86-64 clang with
#            libc++ and aarch64 under qemu: every line must agree.
#
# Usage: scripts/test_platforms.sh [clang] [aarch64] [digest]     (no argument: all three)
# Build folders: build/platform-gcc, build/platform-clang, build/platform-aarch64. Run as root,
# it installs the Debian packages it needs. About half an hour on two cores, most of it qemu.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)
frames=${FRAMES:-600}
gtest_source=/usr/src/googletest
steps=("$@")
[ ${#steps[@]} -eq 0 ] && steps=(clang aarch64 digest)

missing=()
command -v ca65 >/dev/null 2>&1 || missing+=(cc65)
[ -f $gtest_source/CMakeLists.txt ] || missing+=(libgtest-dev)
command -v clang++ >/dev/null 2>&1 || missing+=(clang)
[ -f /usr/include/c++/v1/vector ] || [ -n "$(ls /usr/lib/llvm-*/include/c++/v1/vector 2>/dev/null)" ] ||
    missing+=(libc++-dev libc++abi-dev)
command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || missing+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64 >/dev/null 2>&1 || missing+=(qemu-user)
# shellcheck source=scripts/debian_packages.sh
source scripts/debian_packages.sh
install_missing "${missing[@]}"

# Builds with the tests and benchmarks in build/platform-NAME: everything, or TARGETS (a
# space-separated list) when set.
build() {  # name, extra cmake arguments...
    local dir=build/platform-$1
    shift
    cmake -S . -B "$dir" -DZUMBREL_TESTS=ON -DZUMBREL_BENCH=ON -DZUMBREL_WERROR=ON \
        -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
    # shellcheck disable=SC2086
    cmake --build "$dir" -j"$jobs" ${TARGETS:+--target $TARGETS}
}

build_gcc() { build gcc; }
build_clang() {
    CC=clang CXX=clang++ build clang -DZUMBREL_GTEST_SOURCE=$gtest_source \
        -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++
}
build_aarch64() {
    build aarch64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" -DZUMBREL_GTEST_SOURCE=$gtest_source
}

run_clang() {
    echo "== clang + libc++: C++ tests"
    build_clang
    ctest --test-dir build/platform-clang --output-on-failure -j"$jobs"
}

run_aarch64() {
    echo "== aarch64 under qemu: C++ tests"
    build_aarch64
    ctest --test-dir build/platform-aarch64 --output-on-failure -j"$jobs"
}

run_digest() {
    echo "== machine digest, $frames frames: x86-64 g++, x86-64 clang + libc++, aarch64 under qemu"
    local build
    for build in gcc clang aarch64; do
        TARGETS="machine_digest test_roms" build_$build
    done
    local roms=() out=build/platform-digest
    [ -d ../shared/testroms ] && mapfile -t roms < <(find ../shared/testroms -iname '*.nes' | sort) ||
        echo "no ../shared/testroms beside the project: only our programs and the demo" >&2
    mapfile -t -O ${#roms[@]} roms < <(ls build/platform-gcc/tests/roms/*.nes | sort)
    roms+=(python/zumbrel_tools/data/zumbrel-demo.nes)
    mkdir -p $out
    # Battery RAM goes to a scratch home, so that no run reads another's save.
    local -A runner=([gcc]="" [clang]="" [aarch64]="qemu-aarch64 -L /usr/aarch64-linux-gnu")
    local home
    for build in gcc clang aarch64; do
        home=$(mktemp -d)
        # shellcheck disable=SC2086
        HOME=$home ${runner[$build]} build/platform-$build/bench/machine_digest "$frames" "${roms[@]}" \
            2>$out/$build.txt
        rm -rf "$home"
    done
    local failed=0
    for build in clang aarch64; do
        if cmp -s $out/gcc.txt $out/$build.txt; then
            echo "$build: $(wc -l <$out/$build.txt) lines, the same as x86-64 g++"
        else
            echo "$build differs from x86-64 g++ ($(wc -l <$out/gcc.txt) lines); first differences:" >&2
            diff $out/gcc.txt $out/$build.txt | head -n 10 >&2
            failed=1
        fi
    done
    return $failed
}

for step in "${steps[@]}"; do
    case $step in
        clang) run_clang ;;
        aarch64) run_aarch64 ;;
        digest) run_digest ;;
        *) echo "unknown step: $step (clang, aarch64 or digest)" >&2; exit 2 ;;
    esac
done
echo "platform checks passed: ${steps[*]}"
