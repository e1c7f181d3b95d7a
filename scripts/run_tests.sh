#!/usr/bin/env bash
# Installs everything the tests need and runs the whole suite:
#   1. C++ unit tests (GoogleTest through CTest),
#   2. the Python tests (pytest) against the installed package,
#   3. the C++ tests and the whole Python suite again on a build with AddressSanitizer and
#      UndefinedBehaviorSanitizer,
#   4. the C++ tests on a build with ThreadSanitizer.
# Every run starts from a new virtual environment (build/venv) holding only the package and
# its "test" extra, and every Python, pytest, CMake and Ninja below is that environment's:
# a module the tests need but the extra forgets fails here, whatever else the machine has.
# Any failure, or a stage that runs no test, fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
base_python="${PYTHON:-python3}"

stage() { printf '\n==== %s ====\n' "$*"; }

stage "system packages"
need=()
dpkg -s libgtest-dev >/dev/null 2>&1 || need+=(libgtest-dev)
command -v g++ >/dev/null 2>&1 || need+=(g++)
"$base_python" -c "import ensurepip, venv" >/dev/null 2>&1 || need+=(python3-venv)
if [ ${#need[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}"
fi

stage "fresh virtual environment (build/venv)"
venv="$PWD/build/venv"
rm -rf "$venv"
"$base_python" -m venv "$venv"
export PATH="$venv/bin:$PATH"
export PIP_DISABLE_PIP_VERSION_CHECK=1
unset PYTHONPATH PYTHONHOME
python="$venv/bin/python"
"$python" -m pip install -q ".[test]"
"$python" -c "import sys; print(sys.executable, sys.version.split()[0])"

configure() {  # configure <dir> <extra cmake args...>
    local dir="$1"
    shift
    "$venv/bin/cmake" -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
        -DCANOPY_BUILD_TESTS=ON -DPython_EXECUTABLE="$python" "$@" >/dev/null
    "$venv/bin/ninja" -C "$dir" -j2 >/dev/null
}
# Run as `python -c "$canopy_from" DIR`: fails unless `import canopy` finds it under DIR.
canopy_from='import canopy, sys; f = canopy.__file__
sys.exit(0 if f.startswith(sys.argv[1]) else f"canopy was imported from {f}")'

stage "C++ unit tests"
configure build/test -DCANOPY_BUILD_EXTENSION=OFF
"$venv/bin/ctest" --test-dir build/test --output-on-failure --no-tests=error -j2

stage "Python tests (installed package)"
"$python" -c "$canopy_from" "$venv/lib"
"$python" -m pytest -q -p no:cacheprovider tests/python

stage "AddressSanitizer + UndefinedBehaviorSanitizer"
configure build/asan -DCANOPY_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo
"$venv/bin/ctest" --test-dir build/asan --output-on-failure --no-tests=error -j2
asan_pkg="build/asan-pkg/canopy"
rm -rf "$asan_pkg" && mkdir -p "$asan_pkg"
ln -s "$PWD"/src/canopy/* "$asan_pkg"/
ln -s "$PWD"/build/asan/_rs*.so "$PWD"/build/asan/_core*.so "$asan_pkg"/
# Python itself is not instrumented: the runtime (and libstdc++, whose exceptions ASan
# intercepts) must be loaded first. Leak detection stays off for the interpreter.
asan_env=(
    LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
    UBSAN_OPTIONS=print_stacktrace=1
    PYTHONPATH="$PWD/build/asan-pkg"
)
env "${asan_env[@]}" "$python" -c "$canopy_from" "$PWD/build/asan-pkg"
env "${asan_env[@]}" "$python" -m pytest -q -p no:cacheprovider tests/python

stage "ThreadSanitizer"
configure build/tsan -DCANOPY_BUILD_EXTENSION=OFF -DCANOPY_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
TSAN_OPTIONS=halt_on_error=1 "$venv/bin/ctest" --test-dir build/tsan --output-on-failure --no-tests=error -j2

stage "all test stages passed"
