#!/usr/bin/env bash
# Builds the extension in build/<name> (default: dev) and lays out an importable package
# in build/<name>-pkg, for working on the code without installing it:
#   scripts/devpkg.sh [name] [extra cmake args...]
#   PYTHONPATH=build/dev-pkg python -c "import canopy"
set -euo pipefail
cd "$(dirname "$0")/.."
name="${1:-dev}"
shift || true
cmake -S . -B "build/$name" -G Ninja -DCANOPY_BUILD_TESTS=ON \
    -DPython_EXECUTABLE="$(command -v python3)" "$@" >/dev/null
ninja -C "build/$name" -j2 >/dev/null
pkg="build/$name-pkg/canopy"
rm -rf "$pkg"
mkdir -p "$pkg"
ln -s "$PWD"/src/canopy/* "$pkg"/
ln -s "$PWD"/build/"$name"/_rs*.so "$PWD"/build/"$name"/_core*.so "$pkg"/
echo "build/$name-pkg"
