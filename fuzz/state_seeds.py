#!/usr/bin/env python3
"""Writes the seeds of fuzz/state_fuzz.cpp into fuzz/corpus/state/: states
of the sample logs in examples/ as ledgerly._ledger saves them, with paths
relative to examples/ and fixed identities and times, so that the seeds
are the same on every machine.

    PYTHONPATH=build/dev/python python3 fuzz/state_seeds.py
"""

import json
import os
import sys

from ledgerly import _ledger
from ledgerly.sources import Source, list_files

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(ROOT, "examples")
OUT = os.path.join(ROOT, "fuzz", "corpus", "state")


def manifest(files):
    entries = []
    for n, entry in enumerate(files):
        path, size, _identity, _mtime, source, project, sub = entry
        entries.append([os.path.relpath(path, EXAMPLES), size, "1:%d" % n, 1000 + n, source, project, sub])
    return json.dumps(entries)


def main():
    listing = list_files([Source(EXAMPLES)])
    everything = list(listing.files)
    messages = [e for e in everything if e[4] == 0]
    os.makedirs(OUT, exist_ok=True)
    os.chdir(EXAMPLES)
    for name, files, extra in (("examples", everything, b"host"), ("messages", messages, b""), ("empty", [], b"")):
        engine = _ledger.Engine()
        engine.refresh(manifest(files), 1)
        engine.save(os.path.join(OUT, name), extra)
    print("seeds written to", OUT)
    return 0


if __name__ == "__main__":
    sys.exit(main())
