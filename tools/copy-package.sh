#!/usr/bin/env bash
# Lays out the Python package from src/ledgerly into DEST/ledgerly next to
# the built extension modules (_native, _ledger): every file of the tree (modules, subpackages,
# py.typed, the .pyi stub, data files), and nothing left over from an
# earlier copy, so a stale file can never be what a test imports.
#   tools/copy-package.sh DEST
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dest=${1:?destination folder (the one that holds ledgerly/)}
pkg="$dest/ledgerly"
mkdir -p "$pkg"
# Keep only the built extension modules; everything else comes from the tree.
find "$pkg" -mindepth 1 -depth ! -name '_native*.so' ! -name '_native*.pyd' \
  ! -name '_ledger*.so' ! -name '_ledger*.pyd' -exec rm -rf {} +
(cd "$root/src/ledgerly" && find . -name __pycache__ -prune -o -type f -print) | while IFS= read -r f; do
  mkdir -p "$pkg/$(dirname "$f")"
  cp "$root/src/ledgerly/$f" "$pkg/$f"
done
