#!/usr/bin/env bash
# Runs every test: the C++ unit tests of the parser and the engine (Google
# Test, through ctest), then the Python test suite against a build of the
# module from this tree.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-python3}
cd "$root"

tools/install-deps.sh --test

build=build/unit
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLEDGERLY_TESTS=ON \
  -DLEDGERLY_WERROR=ON -DLEDGERLY_TESTING_HOOKS=ON >/dev/null
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure -j2

# The Python suite runs against a build of this tree (never a stale
# installed copy): the module is built next to the unit tests' build, with
# the fault injector some tests preload into a child interpreter.
tools/build-module.sh build/dev -DCMAKE_BUILD_TYPE=Release -DLEDGERLY_FAULT_INJECTOR=ON >/dev/null
cmake --build build/dev --target ledgerly_faults -j2 >/dev/null
export LEDGERLY_FAULT_INJECTOR="$root/build/dev/testing/libledgerly_faults.so"
cd "$root/tests/python"
PYTHONPATH="$root/build/dev/python" exec "$python" -m pytest -q -p no:cacheprovider "$root/tests/python"
