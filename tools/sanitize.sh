#!/usr/bin/env bash
# Runs tests against a sanitizer build.
#   tools/sanitize.sh address   ASan + UBSan: all C++ unit tests, then the
#                               Python suite with the instrumented module
#   tools/sanitize.sh thread    TSan: the engine's unit tests (thread pool)
# Any sanitizer report fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-python3}
mode=${1:?address or thread}
cd "$root"

case "$mode" in
  address)
    build=build/asan
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DLEDGERLY_SANITIZE=address,undefined -DLEDGERLY_TESTS=ON -DLEDGERLY_TESTING_HOOKS=ON \
      -DLEDGERLY_PYTHON_MODULE=ON -DLEDGERLY_WERROR=ON -DLEDGERLY_FAULT_INJECTOR=ON \
      -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
    cmake --build "$build" -j2
    export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    ctest --test-dir "$build" --output-on-failure -j2
    tools/copy-package.sh "$build/python"
    # The interpreter does not link the C++ runtime: preload it after the
    # ASan runtime so ASan can find the real __cxa_throw when it starts.
    preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
    export LEDGERLY_FAULT_INJECTOR="$root/$build/testing/libledgerly_faults.so"
    cd tests/python
    LD_PRELOAD="$preload" PYTHONPATH="$root/$build/python" \
      "$python" -m pytest -q -p no:cacheprovider -n "${LEDGERLY_TEST_WORKERS:-auto}" "$root/tests/python"
    ;;
  thread)
    build=build/tsan
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DLEDGERLY_SANITIZE=thread -DLEDGERLY_TESTS=ON -DLEDGERLY_TESTING_HOOKS=ON \
      -DLEDGERLY_WERROR=ON >/dev/null
    targets=$(cd tests/cpp/engine && ls *_test.cpp | sed 's/\.cpp$//')
    cmake --build "$build" -j2 --target $targets
    export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
    for t in $targets; do
      echo "--- $t (TSan)"
      "$build/$t" --gtest_brief=1
    done
    ;;
  *)
    echo "unknown mode: $mode" >&2
    exit 2
    ;;
esac
