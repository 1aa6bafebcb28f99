#!/usr/bin/env bash
# Builds the native core and its C++ unit tests with the toolchains of the
# other platforms, and runs them where this machine can:
#   tools/other-platforms.sh libcxx        Clang with libc++ (the C++ library
#                                          of macOS), the suite run here
#   tools/other-platforms.sh macos-x86_64  macOS on Intel, cross-compiled with
#                                          zig: compiled and linked, not run
#   tools/other-platforms.sh macos-arm64   macOS on Apple silicon, likewise
#   tools/other-platforms.sh linux-musl    Linux with the musl C library (as in
#                                          musllinux wheels), built with zig as
#                                          static programs and run here
#   tools/other-platforms.sh windows       64-bit Windows, cross-compiled with
#                                          MinGW-w64, the suite run under Wine
# Several targets may be given.  Each builds in build/<target>; Google Test
# is built there from the distribution's sources with the same toolchain.
# Installs what it needs first (tools/install-deps.sh --platforms).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-python3}
cd "$root"
[ $# -gt 0 ] || { sed -n '2,16p' "$0" >&2; exit 2; }

tools/install-deps.sh --platforms
gtest=/usr/src/googletest/googletest
# The zig compiler wrappers (tools/zig) run the ziglang package's zig.
ZIG=$("$python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
export ZIG

configure() {  # configure BUILD [cmake args...]
  local build=$1
  shift
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLEDGERLY_TESTS=ON \
    -DLEDGERLY_WERROR=ON -DLEDGERLY_GTEST_SOURCE_DIR="$gtest" -Wno-dev "$@" >/dev/null
  cmake --build "$build" -j2
}

# Every unit test of BUILD is a Mach-O executable for CPU type CPU.
check_macho() {  # check_macho BUILD CPU
  "$python" - "$1" "$2" <<'PY'
import pathlib, struct, sys
build, cpu = pathlib.Path(sys.argv[1]), int(sys.argv[2], 0)
tests = sorted(p for p in build.glob("*_test") if p.is_file())
sources = sorted(pathlib.Path("tests/cpp").glob("*/*_test.cpp"))
if len(tests) != len(sources):
    sys.exit("built %d test programs for %d test sources" % (len(tests), len(sources)))
for path in tests:
    magic, cputype = struct.unpack("<II", path.read_bytes()[:8])
    if magic != 0xFEEDFACF or cputype != cpu:
        sys.exit("%s: not a 64-bit Mach-O executable for CPU type %#x" % (path, cpu))
print("%d test programs: 64-bit Mach-O executables for CPU type %#x" % (len(tests), cpu))
PY
}

for target in "$@"; do
  echo "--- $target"
  build=build/$target
  case "$target" in
    libcxx)
      clangxx=$(command -v clang++)
      configure "$build" -DCMAKE_CXX_COMPILER="$clangxx" -DCMAKE_C_COMPILER="${clangxx%++}" \
        -DCMAKE_CXX_FLAGS=-stdlib=libc++
      ctest --test-dir "$build" --output-on-failure -j2
      ;;
    macos-x86_64 | macos-arm64)
      arch=${target#macos-}
      [ "$arch" = arm64 ] && zig_arch=aarch64 cpu=0x0100000C || zig_arch=x86_64 cpu=0x01000007
      configure "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake \
        -DZIG_TARGET="$zig_arch-macos.13.3"
      check_macho "$build" "$cpu"
      ;;
    linux-musl)
      configure "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake \
        -DZIG_TARGET=x86_64-linux-musl
      ctest --test-dir "$build" --output-on-failure -j2
      ;;
    windows)
      # A Wine prefix of our own, without the Mono and Gecko installers'
      # prompts (nothing here needs them).  Outside the tree: its drive
      # links point at / and would send any walk of the tree round the
      # whole file system.
      export WINEPREFIX="${XDG_CACHE_HOME:-$HOME/.cache}/ledgerly/wine-prefix" WINEDEBUG=-all \
        WINEDLLOVERRIDES="mscoree,mshtml="
      configure "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-toolchain.cmake
      # Made once before the tests: programs started in parallel on a prefix
      # that does not exist yet race to create it.
      mkdir -p "$(dirname "$WINEPREFIX")"
      wineboot --init
      wineserver --wait
      ctest --test-dir "$build" --output-on-failure -j2
      ;;
    *)
      echo "unknown target: $target" >&2
      exit 2
      ;;
  esac
done
