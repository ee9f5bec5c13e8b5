#!/usr/bin/env bash
# Sanitizer runs and a short fuzz of every target.
#
#   asan  C++ tests built with AddressSanitizer and UndefinedBehaviorSanitizer, then every
#         Python test against the extension built the same way (the sanitizer runtime and
#         libstdc++ preloaded into the interpreter; leak checks off for the interpreter).
#   tsan  ThreadSanitizer build: the C++ run-thread and batch tests, and the Python run-thread and
#         safe-call tests with the runtime preloaded (their wall-clock rate checks are left
#         out: the instrumented machine runs slower than real time).
#   fuzz  The libFuzzer targets (clang), FUZZ_SECONDS each (default 15), from copies of the
#         starting corpus in fuzz/corpus, with a fixed random seed (FUZZ_SEED, default 1; 0
#         picks one) so that a test run is repeatable; scripts/fuzz_long.sh runs them for longer.
#
# Usage: scripts/sanitize.sh [asan] [tsan] [fuzz]     (no argument: all three)
# Build folders: build/san-asan, build/san-tsan, build/fuzz (SANITIZE_BUILD_ROOT to move them).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
builds=${SANITIZE_BUILD_ROOT:-$root/build}
jobs=$(nproc 2>/dev/null || echo 2)
steps=("$@")
[ ${#steps[@]} -eq 0 ] && steps=(asan tsan fuzz)

# The interpreter itself, not a launcher script, so that preloading reaches it.
py=$(python3 -c 'import sys; print(sys.executable)')
# shellcheck source=scripts/fuzz_common.sh
source scripts/fuzz_common.sh
ubsan_options=$fuzz_ubsan_options

# The module is built with the pybind11 that pyproject.toml pins for the package (its build
# requirement), installed in a build folder so the interpreter's own pybind11, if any, plays no part.
pybind11_cmakedir() {
    local target=$builds/pybind11 pin
    pin=$("$py" scripts/build_requirement.py pybind11)
    "$py" -m pip install -q --disable-pip-version-check --upgrade --target "$target" "$pin" >&2
    PYTHONPATH=$target "$py" -m pybind11 --cmakedir
}

configure() {  # folder, extra cmake arguments...
    local dir=$1
    shift
    cmake -S . -B "$dir" -DZUMBREL_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -Dpybind11_DIR="$(pybind11_cmakedir)" "$@" >/dev/null
}

run_asan() {
    local dir=$builds/san-asan
    echo "== AddressSanitizer + UndefinedBehaviorSanitizer: C++ tests"
    configure "$dir" -DZUMBREL_SANITIZE=address,undefined -DZUMBREL_PYTHON=ON
    cmake --build "$dir" -j"$jobs"
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=$ubsan_options \
        ctest --test-dir "$dir" --output-on-failure -j"$jobs"

    echo "== AddressSanitizer + UndefinedBehaviorSanitizer: Python tests"
    local preload reports
    preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
    # Reports go to files: written to stderr while pytest captures it, they would be lost
    # with the process they end.
    reports=$(mktemp -d)
    # The Ray test is left out: Ray's own native code (its process-title setup in every
    # worker) reads past a heap buffer under the preloaded runtime, now and then, and the
    # dead worker leaves the test waiting; it runs in the plain pass.
    LD_PRELOAD=$preload ASAN_OPTIONS=detect_leaks=0:log_path=$reports/asan \
        UBSAN_OPTIONS=$ubsan_options:log_path=$reports/ubsan \
        PYTHONPATH="$dir/src/binding:$dir/src/tools:$root/python" \
        "$py" -m pytest -q -p no:cacheprovider --ignore=tests/python/test_ray.py tests/python || {
        tail -n +1 "$reports"/* 2>/dev/null
        rm -rf "$reports"
        return 1
    }
    rm -rf "$reports"
}

run_tsan() {
    local dir=$builds/san-tsan
    echo "== ThreadSanitizer: run-thread and batch tests"
    configure "$dir" -DZUMBREL_SANITIZE=thread -DZUMBREL_PYTHON=ON
    cmake --build "$dir" -j"$jobs" --target zumbrel _native test_hardening_threads test_console test_batch
    local tsan_options="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/fuzz/tsan.supp"
    TSAN_OPTIONS=$tsan_options "$dir/tests/test_hardening_threads"
    TSAN_OPTIONS=$tsan_options "$dir/tests/test_console"
    TSAN_OPTIONS=$tsan_options "$dir/tests/test_batch"
    LD_PRELOAD=$(g++ -print-file-name=libtsan.so) TSAN_OPTIONS=$tsan_options \
        PYTHONPATH="$dir/src/binding:$dir/src/tools:$root/python" \
        "$py" -m pytest -q -p no:cacheprovider tests/python/test_run_thread.py tests/python/test_safe_calls.py \
        tests/python/test_run_control.py tests/python/test_snapshot.py -k "not real_time and not unpaced and not measures_from and not fork"
}

run_fuzz() {
    local dir=$builds/fuzz seconds=${FUZZ_SECONDS:-15}
    echo "== libFuzzer: ${seconds} s per target"
    build_fuzz_targets "$dir"
    local work
    work=$(mktemp -d)
    for target in "${fuzz_targets[@]}"; do
        cp -r "fuzz/corpus/$target" "$work/$target"
        (cd "$work" && UBSAN_OPTIONS=$fuzz_ubsan_options "$dir/fuzz/fuzz_$target" \
            -seed="${FUZZ_SEED:-1}" -max_total_time="$seconds" "${fuzz_run_options[@]}" \
            -artifact_prefix="$work/$target-" "$target" 2>"$work/$target.log") || {
            tail -n 60 "$work/$target.log"
            echo "fuzz_$target found a fault; its input: $(ls "$work"/"$target"-* 2>/dev/null)" >&2
            mkdir -p "$builds/fuzz-findings" && cp "$work/$target"-* "$builds/fuzz-findings/" 2>/dev/null || true
            rm -rf "$work"
            return 1
        }
        grep -E "stat::number_of_executed_units|stat::new_units_added" "$work/$target.log" | sed "s/^/fuzz_$target /"
    done
    rm -rf "$work"
}

for step in "${steps[@]}"; do
    case $step in
        asan) run_asan ;;
        tsan) run_tsan ;;
        fuzz) run_fuzz ;;
        *) echo "unknown step: $step (asan, tsan or fuzz)" >&2; exit 2 ;;
    esac
done
echo "sanitizer runs passed: ${steps[*]}"
