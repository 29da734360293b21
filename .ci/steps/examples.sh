#!/usr/bin/env bash
# The README's first command, then the examples' end-to-end tests.
set -euo pipefail
root=$(pwd)
python -m pip install -q ".[examples]"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# as a newcomer runs it (real-time clock, defaults), in a scratch folder
(cd "$out" && python "$root/examples/snapshot.py")
ls "$out"/snapshots/*.fits "$out"/snapshots/*.png
python -m pytest -q -p no:cacheprovider tests/test_examples.py
