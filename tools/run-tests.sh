#!/usr/bin/env bash
# Runs every test: the C++ unit tests of the parser and the engine (Google
# Test, through ctest), then the Python test suite against the installed
# package (installing it from this tree first when it is not installed).
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

if ! "$python" -c "import ledgerly._native" 2>/dev/null; then
  "$python" -m pip install -q .
fi
# Run from outside the tree so the installed package is the one imported.
cd "$root/tests/python"
exec "$python" -m pytest -q -p no:cacheprovider "$root/tests/python"
