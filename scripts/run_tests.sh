#!/usr/bin/env bash
# Installs everything the tests need and runs the whole suite:
#   1. C++ unit tests (GoogleTest through CTest),
#   2. the Python tests (pytest) against the installed package,
#   3. the C++ tests and the whole Python suite again on a build with AddressSanitizer and
#      UndefinedBehaviorSanitizer,
#   4. the C++ tests on a build with ThreadSanitizer.
# Any failure, or a stage that runs no test, fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

stage() { printf '\n==== %s ====\n' "$*"; }

stage "system packages"
need=()
dpkg -s libgtest-dev >/dev/null 2>&1 || need+=(libgtest-dev)
command -v g++ >/dev/null 2>&1 || need+=(g++)
if [ ${#need[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}"
fi

stage "python packages"
python3 -m pip install -q --upgrade pip >/dev/null
python3 -m pip install -q ".[test]"

python_exe="$(command -v python3)"
configure() {  # configure <dir> <extra cmake args...>
    local dir="$1"
    shift
    cmake -S . -B "$dir" -G Ninja -DCANOPY_BUILD_TESTS=ON -DPython_EXECUTABLE="$python_exe" "$@" >/dev/null
    ninja -C "$dir" -j2 >/dev/null
}

stage "C++ unit tests"
configure build/test -DCANOPY_BUILD_EXTENSION=OFF
ctest --test-dir build/test --output-on-failure --no-tests=error -j2

stage "Python tests (installed package)"
python3 -m pytest -q -p no:cacheprovider tests/python

stage "AddressSanitizer + UndefinedBehaviorSanitizer"
configure build/asan -DCANOPY_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build/asan --output-on-failure --no-tests=error -j2
asan_pkg="build/asan-pkg/canopy"
rm -rf "$asan_pkg" && mkdir -p "$asan_pkg"
ln -s "$PWD"/src/canopy/*.py "$asan_pkg"/
ln -s "$PWD"/build/asan/_rs*.so "$PWD"/build/asan/_core*.so "$asan_pkg"/
# Python itself is not instrumented: the runtime (and libstdc++, whose exceptions ASan
# intercepts) must be loaded first. Leak detection stays off for the interpreter.
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
PYTHONPATH="$PWD/build/asan-pkg" \
    python3 -m pytest -q -p no:cacheprovider tests/python

stage "ThreadSanitizer"
configure build/tsan -DCANOPY_BUILD_EXTENSION=OFF -DCANOPY_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure --no-tests=error -j2

stage "all test stages passed"
