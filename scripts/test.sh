#!/usr/bin/env bash
# Installs what the tests need and runs every C++ and Python test.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
command -v ca65 >/dev/null 2>&1 || missing+=(cc65)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
# clang and its runtime libraries for the fuzz targets (scripts/sanitize.sh).
command -v clang++ >/dev/null 2>&1 || missing+=(clang)
command -v clang-format >/dev/null 2>&1 || missing+=(clang-format)
if ! command -v clang++ >/dev/null 2>&1 || [ ! -f "$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a)" ]; then
  missing+=(libclang-rt-14-dev)
fi
# shellcheck source=scripts/debian_packages.sh
source scripts/debian_packages.sh
install_missing "${missing[@]}"

python3 -m pip install -q '.[test,play,rl]'
python3 -m ruff check .
git ls-files '*.cpp' '*.hpp' '*.h' | xargs clang-format --dry-run --Werror

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build/tests -DZUMBREL_TESTS=ON -DZUMBREL_WERROR=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/tests -j"$jobs"
ctest --test-dir build/tests --output-on-failure -j"$jobs"

python3 -m pytest -q tests/python

# AddressSanitizer, UndefinedBehaviorSanitizer and ThreadSanitizer runs of the tests, and a
# short fuzz of every target (about a quarter of an hour in all on two cores).
FUZZ_SECONDS=15 bash scripts/sanitize.sh
