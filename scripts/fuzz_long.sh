#!/usr/bin/env bash
# Long fuzzing: builds the libFuzzer targets, then runs each in turn for MINUTES with
# libFuzzer's parallel mode on every core (FUZZ_JOBS workers to choose how many), going on
# past findings.
# The committed corpus (fuzz/corpus) is read, never written: what a run adds goes to
# OUT/<target>/new, findings to OUT/<target>/findings. At the end, per target: runs, runs per
# second, coverage, new corpus entries, and each finding with its sanitizer report and its
# input (base64). Exit status 1 when anything was found. On a shared machine run it niced.
#
# Usage: scripts/fuzz_long.sh MINUTES [TARGET...]     (targets: cartridge state snapshot registers)
# OUT: build/fuzz-long (FUZZ_LONG_OUT to move it; it is emptied first). Build folder: build/fuzz.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# shellcheck source=scripts/fuzz_common.sh
source scripts/fuzz_common.sh

minutes=${1:-}
if ! [[ $minutes =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: scripts/fuzz_long.sh MINUTES [TARGET...]  (MINUTES: a whole number above 0)" >&2
    exit 2
fi
shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${fuzz_targets[@]}")
for target in "${targets[@]}"; do
    [ -d "fuzz/corpus/$target" ] || { echo "unknown target: $target (${fuzz_targets[*]})" >&2; exit 2; }
done
build=build/fuzz
out=${FUZZ_LONG_OUT:-build/fuzz-long}
jobs=${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}

build_fuzz_targets "$build"
rm -rf "$out"

run_target() {  # target
    local target=$1 dir=$out/$1 deadline worker
    mkdir -p "$dir/new" "$dir/findings"
    echo "== fuzz_$target: $minutes min, $jobs workers (logs: $dir/worker-*.log)"
    deadline=$(($(date +%s) + minutes * 60))
    # libFuzzer's parallel mode, run by hand: workers that share the first corpus folder
    # (each writes what it finds there and reloads what the others found; the committed
    # corpus only seeds them) and live for the whole run, so that the targets' cached
    # consoles are built once per worker. One that stops at a finding is followed by a fresh
    # one for the time left.
    for worker in $(seq 1 "$jobs"); do
        (
            cd "$dir"
            while left=$((deadline - $(date +%s))) && [ "$left" -gt 0 ]; do
                UBSAN_OPTIONS=$fuzz_ubsan_options "$root/$build/fuzz/fuzz_$target" \
                    -max_total_time="$left" "${fuzz_run_options[@]}" \
                    -artifact_prefix=findings/ new "$root/fuzz/corpus/$target" >>"worker-$worker.log" 2>&1 || true
            done
        ) &
    done
    wait
}

report_target() {  # target
    local target=$1 dir=$out/$1 runs=0 n added cov=0 ft=0 c f
    for log in "$dir"/worker-*.log; do
        for n in $(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log"); do runs=$((runs + n)); done
        # The last progress line: "#RUNS <event> cov: EDGES ft: FEATURES ...".
        read -r c f < <(grep -E '^#[0-9]+.* cov: ' "$log" | tail -n 1 | sed -E 's/.* cov: ([0-9]+) ft: ([0-9]+).*/\1 \2/') || true
        [ "${c:-0}" -gt $cov ] && cov=$c
        [ "${f:-0}" -gt $ft ] && ft=$f
    done
    # libFuzzer names what it writes by the SHA-1 of its content.
    added=$(comm -13 <(sha1sum "fuzz/corpus/$target"/* | cut -c1-40 | sort) <(ls "$dir/new" | sort) | wc -l)
    echo "fuzz_$target: $runs runs in $((minutes * 60)) s, $((runs / (minutes * 60))) per second;" \
        "coverage $cov edges, $ft features (the best worker's); $added new corpus entries in $dir/new"
    local shown=0
    for finding in "$dir/findings"/*; do
        [ -e "$finding" ] || continue
        found=1
        shown=$((shown + 1))
        if [ $shown -gt 10 ]; then
            echo "  finding $finding"
            continue
        fi
        echo "  finding $finding ($(stat -c %s "$finding") bytes):"
        UBSAN_OPTIONS=$fuzz_ubsan_options "$build/fuzz/fuzz_$target" -timeout=60 "$finding" 2>&1 |
            grep -E 'ERROR|SUMMARY|runtime error|snapshot:|deadly signal|^a |: byte ' | head -n 8 | sed 's/^/    /' || true
        echo "    input (base64): $(base64 -w0 "$finding")"
    done
}

found=0
for target in "${targets[@]}"; do run_target "$target"; done
echo "== results"
for target in "${targets[@]}"; do report_target "$target"; done
exit "$found"
