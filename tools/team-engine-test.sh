#!/usr/bin/env bash
# The team engine's local-mode test (tests/team_engine): two machines'
# exports merged into one tree, read by the distributed engine through the
# typed view of docs/team.md, every sum checked against `ledgerly query`.
# Heavy (a Java runtime, the engine's package, a minute of run time), so it
# is its own CI step and not part of tools/run-tests.sh.
#
# Installs what it needs when missing: a headless Java runtime from the
# system's packages (Debian's openjdk-17-jre-headless, as root) and the
# engine's Python package (pyspark) from PyPI. Where no Java runtime is
# found and none can be installed, it says so in one line and exits 0.
#   tools/team-engine-test.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-python3}
cd "$root"

if ! command -v java >/dev/null 2>&1 && command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
  echo "installing: openjdk-17-jre-headless"
  apt-get update -qq || true
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq openjdk-17-jre-headless >/dev/null || true
fi
if ! command -v java >/dev/null 2>&1 || ! java -version >/dev/null 2>&1; then
  echo "team engine test skipped: no Java runtime here, and none could be installed (as root on Debian: apt-get install openjdk-17-jre-headless)"
  exit 0
fi

tools/install-deps.sh --test
"$python" -c "import pyspark" 2>/dev/null || "$python" -m pip install -q pyspark

# The module of this tree, as the Python suite uses it.
dev=build/dev
tools/build-module.sh "$dev" -DCMAKE_BUILD_TYPE=Release -DLEDGERLY_FAULT_INJECTOR=ON >/dev/null
PYTHONPATH="$root/$dev/python" exec "$python" -m pytest -q -p no:cacheprovider "$root/tests/team_engine"
