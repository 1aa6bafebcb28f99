#!/usr/bin/env bash
# Runs the Python suite against one abi3 wheel under every CPython 3.9+
# interpreter found on this machine, each in a fresh virtual environment with
# the wheel and its test extra installed.
#   tools/test-other-pythons.sh dist/ledgerly-*.whl
#
# Interpreters are looked for as python3 and python3.N on PATH and in the
# usual install folders (the system's, /usr/local, /opt, and the per-user
# folders of the common interpreter managers); PYTHONS="/path/a /path/b"
# names them instead.  One interpreter is tested per version, the first one
# found.  An interpreter that cannot create a virtual environment is skipped
# with a note; any other failure (install or tests) fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
wheel=${1:?path to the wheel}
wheel=$(cd "$(dirname "$wheel")" && pwd)/$(basename "$wheel")

candidates=()
add_from() {  # add_from DIR...: python3 and python3.N in each folder
  local dir py
  for dir in "$@"; do
    for py in "$dir"/python3 "$dir"/python3.[0-9] "$dir"/python3.[0-9][0-9]; do
      [ -x "$py" ] && [ ! -d "$py" ] && candidates+=("$py")
    done
  done
  return 0
}
if [ -n "${PYTHONS:-}" ]; then
  read -r -a candidates <<<"$PYTHONS"
else
  IFS=: read -r -a path_dirs <<<"${PATH:-}"
  add_from "${path_dirs[@]}"
  add_from /usr/bin /usr/local/bin /opt/python*/bin /opt/python/*/bin \
    "$HOME"/.pyenv/versions/*/bin "$HOME"/.local/share/uv/python/*/bin \
    "$HOME"/.asdf/installs/python/*/bin "$HOME"/.local/share/mise/installs/python/*/bin \
    /usr/local/python*/bin
fi

seen=" "
tested=0
for py in "${candidates[@]}"; do
  # Managers' shims may answer for a version that is not installed: those
  # fail here and are passed over.
  info=$("$py" -c 'import platform, sys
print("%d.%d %s" % (sys.version_info[0], sys.version_info[1], platform.python_implementation()))' \
    2>/dev/null) || continue
  read -r version implementation <<<"$info"
  [ "$implementation" = CPython ] || continue
  case "$version" in 3.9 | 3.[1-9][0-9]) ;; *) continue ;; esac
  case "$seen" in *" $version "*) continue ;; esac
  seen="$seen$version "

  echo "--- Python $version ($py)"
  env=$(mktemp -d)
  if ! "$py" -m venv "$env" >"$env.log" 2>&1; then
    echo "skipped: cannot create a virtual environment (the venv module or ensurepip is missing)"
    sed 's/^/  /' "$env.log"
    rm -rf "$env" "$env.log"
    continue
  fi
  if ! "$env/bin/python" -m pip install -q --disable-pip-version-check "$wheel[test]" \
    >"$env.log" 2>&1; then
    cat "$env.log" >&2
    echo "installing the wheel under Python $version failed" >&2
    exit 1
  fi
  (cd "$root/tests/python" &&
    "$env/bin/python" -m pytest -q -p no:cacheprovider -n "${LEDGERLY_TEST_WORKERS:-auto}" "$root/tests/python")
  rm -rf "$env" "$env.log"
  tested=$((tested + 1))
done
[ "$tested" -gt 0 ] || { echo "no CPython 3.9+ interpreter found" >&2; exit 1; }
echo "tested under$seen"
