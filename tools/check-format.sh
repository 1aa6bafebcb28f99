#!/usr/bin/env bash
# Checks that the native sources are laid out as .clang-format says (the
# generated Unicode table excepted: tools/gen_unicode_lower.py writes it and
# a unit test compares it byte for byte).  With --fix, reformats them.
#   tools/check-format.sh [--fix]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
command -v clang-format >/dev/null || { echo "clang-format is not installed (tools/install-deps.sh)" >&2; exit 1; }
mapfile -t files < <(git ls-files 'src/*.cpp' 'src/*.h' 'tests/cpp/*.cpp' 'tests/cpp/*.h' \
  'fuzz/*.cpp' 'bench/micro/*.cpp' | grep -v '^src/parser/unicode_lower_table\.cpp$')
if [ "${1:-}" = --fix ]; then
  clang-format -i "${files[@]}"
else
  clang-format --dry-run --Werror "${files[@]}"
  echo "format: ${#files[@]} files as .clang-format says ($(clang-format --version | grep -o 'version [0-9.]*'))"
fi
