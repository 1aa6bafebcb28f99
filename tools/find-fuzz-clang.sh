#!/usr/bin/env bash
# Prints "CC CXX": the C and C++ compilers of the newest installed clang that
# can build libFuzzer targets with AddressSanitizer and UndefinedBehaviorSanitizer,
# or fails with a message when there is none.  Looks on PATH and in the
# folders where distributions put versioned LLVM releases; CLANG_CXX names one
# to use instead.
#   read -r cc cxx < <(tools/find-fuzz-clang.sh)
set -euo pipefail

candidates=()
if [ -n "${CLANG_CXX:-}" ]; then
  candidates+=("$CLANG_CXX")
else
  IFS=: read -r -a path_dirs <<<"${PATH:-}"
  for dir in "${path_dirs[@]}" /usr/lib/llvm-*/bin /usr/local/opt/llvm/bin /opt/llvm*/bin; do
    for cxx in "$dir"/clang++ "$dir"/clang++-[0-9]*; do
      [ -x "$cxx" ] && candidates+=("$cxx")
    done
  done
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '%s\n' 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
  >"$work/probe.cpp"

# Newest version first; among equal versions the first found (PATH order).
best_version=0
best=""
for cxx in "${candidates[@]}"; do
  version=$("$cxx" -dumpversion 2>/dev/null) || continue
  major=${version%%.*}
  case "$major" in '' | *[!0-9]*) continue ;; esac
  [ "$major" -gt "$best_version" ] || continue
  cc=${cxx%++*}${cxx##*++}  # clang++-14 -> clang-14, clang++ -> clang
  [ -x "$cc" ] || continue
  "$cxx" -fsanitize=fuzzer,address,undefined -o "$work/probe" "$work/probe.cpp" \
    >/dev/null 2>&1 || continue
  best_version=$major
  best="$cc $cxx"
done

if [ -z "$best" ]; then
  echo "no clang that can build libFuzzer targets (with its sanitizer and fuzzer runtimes)" >&2
  exit 1
fi
echo "$best"
