#!/usr/bin/env bash
# Builds the extension modules ledgerly._native and ledgerly._ledger into
# BUILD_DIR (default build-dev) without pip and lays out an importable
# package in BUILD_DIR/python, for development:
#   tools/build-module.sh build-dev [extra cmake args...]
#   PYTHONPATH=build-dev/python python -m pytest
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-dev}
shift || true
case "$build" in /*) ;; *) build="$root/$build" ;; esac
cmake -S "$root" -B "$build" -G Ninja -DLEDGERLY_PYTHON_MODULE=ON -DLEDGERLY_WERROR=ON \
  -DPython_EXECUTABLE="$(command -v python3)" "$@" >/dev/null
cmake --build "$build" --target modules -j2
"$root/tools/copy-package.sh" "$build/python"
echo "module ready: PYTHONPATH=$build/python"
