#!/usr/bin/env bash
# Programs that end while daemon threads are inside orx calls exit cleanly
# (status 0, nothing on stderr) on every CPython 3.10+ the machine has: the
# module is built for each and tests/programs/exit_with_threads.py runs
# RUNS times per interpreter, each run ending at another moment.
set -euo pipefail
RUNS=${ORX_EXIT_RUNS:-25}
root=$(pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
command -v cmake >/dev/null || python -m pip install -q cmake
status=0
for py in $(ls -d /root/.pyenv/versions/3.* 2>/dev/null | sort -V) "$(command -v python)"; do
    [ -x "$py/bin/python" ] && py="$py/bin/python"
    [ -x "$py" ] || continue
    ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    "$py" -c 'import sys; sys.exit(sys.version_info < (3, 10))' || continue
    [ -e "$work/$ver" ] && continue  # one build per minor version
    echo "--- CPython $ver: build"
    cmake -S "$root" -B "$work/$ver" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$py" >/dev/null
    cmake --build "$work/$ver" -j2 >/dev/null
    failed=0
    for run in $(seq "$RUNS"); do
        rc=0
        PYTHONPATH="$work/$ver/stage:$root/python" timeout 120 "$py" "$root/tests/programs/exit_with_threads.py" "$run" \
            >/dev/null 2>"$work/err" || rc=$?
        if [ "$rc" -ne 0 ] || [ -s "$work/err" ]; then
            failed=$((failed + 1))
            echo "run $run: exit status $rc"; tail -n 20 "$work/err"
        fi
    done
    echo "--- CPython $ver: $RUNS runs, $failed failed"
    [ "$failed" -eq 0 ] || status=1
done
exit $status
