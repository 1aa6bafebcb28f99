#!/usr/bin/env bash
# Builds the release artefacts this machine can make, and checks each:
#  1. the sdist (python -m build --sdist), installed from scratch into a
#     fresh virtual environment (build dependencies from PyPI, the system's
#     compiler), where the CLI must print the sample logs' totals;
#  2. the manylinux x86-64 wheel, built from that sdist with zig's Clang
#     against glibc 2.28 and its libc++ linked in statically, so that it
#     needs nothing beyond the manylinux policy; auditwheel names its tag
#     (and repairs the wheel to carry it), abi3audit checks the stable ABI,
#     and the Python suite runs against it in a fresh virtual environment.
# The results land in build/release: ledgerly-*.tar.gz and wheelhouse/*.whl.
# Wheels for the other platforms are built by the release workflow
# (.github/workflows/wheels.yml, [tool.cibuildwheel] in pyproject.toml).
#   tools/build-wheels.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=$(command -v "${PYTHON:-python3}")
cd "$root"

tools/install-deps.sh --platforms
out=build/release
rm -rf "$out"
mkdir -p "$out/raw" "$out/wheelhouse"

echo "--- sdist"
"$python" -m build --sdist --outdir "$out" . >/dev/null
sdist=$(ls "$out"/ledgerly-*.tar.gz)
echo "$sdist"

echo "--- sdist installed from scratch in a fresh virtual environment"
env=$(mktemp -d)
trap 'rm -rf "$env"' EXIT
"$python" -m venv "$env/venv"
"$env/venv/bin/python" -m pip install -q --disable-pip-version-check "$sdist"
"$env/venv/bin/python" -c 'import ledgerly._native, ledgerly._ledger'
report=$(cd "$env" && "$env/venv/bin/ledgerly" daily --source "$root/examples" --tz UTC)
echo "$report" | grep -q '80,317' || { echo "$report"; echo "unexpected totals" >&2; exit 1; }
echo "built and ran: the sample logs' total is 80,317 tokens, as the README says"

echo "--- manylinux x86-64 wheel (zig, glibc 2.28)"
# The compiler wrappers run zig from ZIG: pip's isolated build environment
# cannot import the ziglang package of this interpreter.
ZIG=$("$python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
export ZIG
CMAKE_ARGS="-DCMAKE_TOOLCHAIN_FILE=$root/cmake/zig-toolchain.cmake -DZIG_TARGET=x86_64-linux-gnu.2.28" \
  "$python" -m pip wheel -q --no-deps --disable-pip-version-check -w "$out/raw" "$sdist"
"$python" -m auditwheel show "$out"/raw/*.whl
"$python" -m auditwheel repair -w "$out/wheelhouse" "$out"/raw/*.whl
wheel=$(ls "$out"/wheelhouse/*.whl)
"$python" -m auditwheel show "$wheel"
case "$wheel" in
  *manylinux_2_2[0-8]_x86_64*.whl | *manylinux_2_1[0-9]_x86_64*.whl | *manylinux2014_x86_64*.whl) ;;
  *) echo "$wheel: not tagged manylinux for glibc 2.28 or older" >&2; exit 1 ;;
esac
"$python" -m abi3audit --strict --report "$wheel"

echo "--- the Python suite against the manylinux wheel"
PYTHONS="$python" tools/test-other-pythons.sh "$wheel"
