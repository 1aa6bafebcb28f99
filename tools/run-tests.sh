#!/usr/bin/env bash
# Runs every test: the C++ unit tests of the platform layer, the parser and
# the engine (Google Test, through ctest), then the Python test suite
# against a build of the module from this tree.
#   tools/run-tests.sh              the build as shipped
#   tools/run-tests.sh --portable   the same with every Linux-only fast path
#                                   off (LEDGERLY_PORTABLE), in build/*-portable
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-python3}
cd "$root"

suffix=""
config=()
if [ "${1:-}" = --portable ]; then
  suffix=-portable
  config=(-DLEDGERLY_PORTABLE=ON)
fi

tools/install-deps.sh --test

build=build/unit$suffix
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLEDGERLY_TESTS=ON \
  -DLEDGERLY_WERROR=ON -DLEDGERLY_TESTING_HOOKS=ON ${config[@]+"${config[@]}"} >/dev/null
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure -j2

# The Python suite runs against a build of this tree (never a stale
# installed copy): the module is built next to the unit tests' build, with
# the fault injector some tests preload into a child interpreter.
dev=build/dev$suffix
tools/build-module.sh "$dev" -DCMAKE_BUILD_TYPE=Release -DLEDGERLY_FAULT_INJECTOR=ON \
  ${config[@]+"${config[@]}"} >/dev/null
cmake --build "$dev" --target ledgerly_faults -j2 >/dev/null
export LEDGERLY_FAULT_INJECTOR="$root/$dev/testing/libledgerly_faults.so"
cd "$root/tests/python"
# One worker per core (pytest-xdist; LEDGERLY_TEST_WORKERS=0 runs the suite in this process alone).
PYTHONPATH="$root/$dev/python" exec "$python" -m pytest -q -p no:cacheprovider -n "${LEDGERLY_TEST_WORKERS:-auto}" \
  "$root/tests/python"
