#!/usr/bin/env bash
# The release wheel: built and repaired by tools/build_wheel.sh, installed in
# a fresh virtual environment with the examples' dependencies, and run as a
# newcomer would, from a scratch folder outside the repository.
set -euo pipefail
root=$(pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tools/build_wheel.sh "$work/dist"
wheel=$(ls "$work"/dist/orx-*manylinux*.whl)
echo "repaired wheel: $(basename "$wheel")"

python -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q "$wheel" numpy astropy Pillow tqdm
cd "$work"
"$work/venv/bin/python" -m orxsim --library | tee "$work/library.txt"
grep -q "^library: *$work/venv/.*/site-packages/orx-camera/libORXCamera2.so$" "$work/library.txt"
"$work/venv/bin/python" "$root/examples/snapshot.py" --time-scale 0.1
ls "$work"/snapshots/*.fits "$work"/snapshots/*.png
