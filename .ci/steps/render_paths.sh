#!/usr/bin/env bash
# The renderer's plain loops (nothing vectorised) on x86_64: the simulator
# library built with ORX_SCALAR_RENDERER, and the frames of the plain and the
# vectorised loops compared bit for bit for the same seeds, with their speed
# side by side (bench/render_paths.py: fails on any different pixel, prints
# missed speed goals without failing).
set -euo pipefail
t0=$SECONDS
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cmake -S . -B "$out/build" -DORX_MODULE=OFF -DORX_SCALAR_RENDERER=ON -DCMAKE_BUILD_TYPE=Release > "$out/configure.log" ||
    { cat "$out/configure.log"; exit 1; }
cmake --build "$out/build" -j2 > "$out/build.log" 2>&1 || { cat "$out/build.log"; exit 1; }
echo "plain-loop library built in $((SECONDS - t0)) s"
python bench/render_paths.py --quick
echo "the step took $((SECONDS - t0)) s"
