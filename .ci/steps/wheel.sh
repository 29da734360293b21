#!/usr/bin/env bash
# The release packages, each installed in a fresh virtual environment and
# used from a scratch folder outside the repository, as a newcomer would:
#  - the manylinux2014 x86_64 wheel for this interpreter (tools/build_wheel.sh,
#    Zig's clang): the core tests against it, and the snapshot example;
#  - the sdist, built here and installed with the machine's own compiler:
#    the same tests against what it installed.
# (The aarch64 wheel is built and tested by the arm64 step.)
set -euo pipefail
root=$(pwd)
t0=$SECONDS
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
core_tests=(tests/test_module.py tests/test_library.py tests/test_calls.py tests/test_camera.py tests/test_errors.py)
cp -r tests include "$work"/

base=$(python -c 'import sys; print(getattr(sys, "_base_executable", sys.executable))')
ORX_WHEEL_ARCHS=x86_64 ORX_WHEEL_PYTHONS=$base tools/build_wheel.sh "$work/dist" > "$work/wheel.log" 2>&1 ||
    { tail -n 40 "$work/wheel.log"; exit 1; }
wheel=$(ls "$work"/dist/orx-*manylinux2014_x86_64*.whl)
echo "repaired wheel: $(basename "$wheel") (built in $((SECONDS - t0)) s)"

python -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q "$wheel" numpy astropy Pillow tqdm pytest hypothesis
cd "$work"
"$work/venv/bin/python" -m orxsim --library | tee "$work/library.txt"
grep -q "^library: *$work/venv/.*/site-packages/orx-camera/libORXCamera2.so$" "$work/library.txt"
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider "${core_tests[@]}"
"$work/venv/bin/python" "$root/examples/snapshot.py" --time-scale 0.1
ls "$work"/snapshots/*.fits "$work"/snapshots/*.png

# the sdist: whatever a source install needs must be in it
t1=$SECONDS
cd "$root"
python -m pip install -q build
python -m build --sdist --outdir "$work/sdist" . > "$work/sdist.log" 2>&1 || { tail -n 40 "$work/sdist.log"; exit 1; }
sdist=$(ls "$work"/sdist/orx-*.tar.gz)
python -m venv "$work/venv-sdist"
cd "$work"
CMAKE_BUILD_PARALLEL_LEVEL=2 "$work/venv-sdist/bin/python" -m pip install -q "$sdist" pytest hypothesis numpy
"$work/venv-sdist/bin/python" -m pytest -q -p no:cacheprovider "${core_tests[@]}"
echo "sdist $(basename "$sdist") built, installed and tested in $((SECONDS - t1)) s; the step took $((SECONDS - t0)) s"
