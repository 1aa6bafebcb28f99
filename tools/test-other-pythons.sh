#!/usr/bin/env bash
# Runs the Python suite against one abi3 wheel under every CPython 3.9+
# interpreter found on this machine (the default one and pyenv's), each in a
# fresh virtual environment.
#   tools/test-other-pythons.sh dist/ledgerly-*.whl
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
wheel=${1:?path to the wheel}
found=0
for py in "$(command -v python3)" /root/.pyenv/versions/3.*/bin/python3 /usr/bin/python3.*; do
  [ -x "$py" ] || continue
  version=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null) || continue
  case "$version" in 3.9|3.1[0-9]) ;; *) continue ;; esac
  case " ${seen:-} " in *" $version "*) continue ;; esac
  seen="${seen:-} $version"
  found=1
  env=$(mktemp -d)
  echo "--- Python $version ($py)"
  "$py" -m venv "$env"
  "$env/bin/python" -m pip install -q "$wheel[test]" 2>&1 | grep -v -i warning || true
  (cd "$root/tests/python" && "$env/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python" | tail -n 1)
  rm -rf "$env"
done
[ "$found" = 1 ] || { echo "no CPython 3.9+ interpreter found" >&2; exit 1; }
