#!/usr/bin/env bash
# Windows: the simulator cross-built with mingw-w64 as a standalone
# ORXCamera2.dll (C++ and thread runtimes linked in), its export table
# checked against the headers, and tests/native/dll_calls.cpp, which loads it
# through the module's own loader, run under wine. The wine prefix is kept
# in $ORX_WINEPREFIX (default /var/cache/orx-ci/wine) between runs.
set -euo pipefail
root=$(pwd)
t0=$SECONDS
need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
command -v wine >/dev/null || need+=(wine)
[ -x /usr/lib/wine/wine64 ] || need+=(wine64)
if [ ${#need[@]} -gt 0 ]; then
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}"
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

cmake -S . -B "$out/build" -DCMAKE_TOOLCHAIN_FILE="$root/tools/mingw-w64.cmake" -DORX_MODULE=OFF \
    -DCMAKE_BUILD_TYPE=Release > "$out/configure.log" || { cat "$out/configure.log"; exit 1; }
cmake --build "$out/build" -j2 -- -s > "$out/build.log" 2>&1 || { cat "$out/build.log"; exit 1; }
dll=$(find "$out/build" -name ORXCamera2.dll)
[ -n "$dll" ] || { echo "no ORXCamera2.dll built" >&2; exit 1; }
echo "built $(basename "$dll") in $((SECONDS - t0)) s"

# exactly the functions the two headers declare, and only them
x86_64-w64-mingw32-objdump -p "$dll" |
    awk '/^\[Ordinal\/Name Pointer\] Table/ {t = 1; next} t && NF == 0 {t = 0} t {print $NF}' | sort > "$out/exported"
cat include/ORXCamera2.h simulator/include/ORXSimControl.h |
    grep -o 'ORX_CALL \+ORX[A-Za-z0-9_]*' | awk '{print $2}' | sort -u > "$out/declared"
diff "$out/declared" "$out/exported" || { echo "the DLL's exports differ from the headers (< declared, > exported)"; exit 1; }
# standalone: nothing beyond the system's own DLLs
deps=$(x86_64-w64-mingw32-objdump -p "$dll" | awk '/DLL Name:/ {print tolower($3)}' | sort -u | tr '\n' ' ')
echo "exports: $(wc -l < "$out/exported") functions; imports: $deps"
for d in $deps; do
    case $d in
        kernel32.dll|msvcrt.dll|user32.dll|advapi32.dll|ws2_32.dll|api-ms-win-*) ;;
        *) echo "the DLL needs $d, which Windows does not ship" >&2; exit 1 ;;
    esac
done

mkdir -p "$out/run"
cp "$dll" "$out/run/"
x86_64-w64-mingw32-g++-posix -O1 -std=c++17 -Wall -Wextra -Werror -I include -I src \
    tests/native/dll_calls.cpp src/module/loader.cpp -static -o "$out/run/dll_calls.exe"

export WINEPREFIX=${ORX_WINEPREFIX:-/var/cache/orx-ci/wine} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$(dirname "$WINEPREFIX")"
t1=$SECONDS
wine "$out/run/dll_calls.exe" ORXCamera2.dll
echo "ran under wine in $((SECONDS - t1)) s; the step took $((SECONDS - t0)) s"
wineserver -k 2>/dev/null || true
