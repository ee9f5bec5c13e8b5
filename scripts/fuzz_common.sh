# Shared by scripts/sanitize.sh (short fixed-seed runs) and scripts/fuzz_long.sh: the fuzz
# targets, how they are built, and the sanitizer options they run with. Sourced from the
# project's root.

fuzz_targets=(cartridge state snapshot registers)
fuzz_ubsan_options="halt_on_error=1:print_stacktrace=1:suppressions=$(pwd)/fuzz/ubsan.supp"
# Inputs up to the size of a large cartridge; an input that runs a minute is a hang.
fuzz_run_options=(-max_len=90000 -timeout=60 -print_final_stats=1)

# Configures and builds the targets (clang, AddressSanitizer and UndefinedBehaviorSanitizer,
# coverage) in the folder given.
build_fuzz_targets() {
    local dir=$1
    CXX=clang++ cmake -S . -B "$dir" -DZUMBREL_FUZZ=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$dir" -j"$(nproc 2>/dev/null || echo 2)" --target "${fuzz_targets[@]/#/fuzz_}"
}
