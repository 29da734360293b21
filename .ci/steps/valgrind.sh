#!/usr/bin/env bash
# Valgrind memcheck over a representative part of the test suite: every
# function's call road with scripted answers (success and failure), the
# record types, and the fault tests on a real simulated camera (unplugged
# waits, replug, every status). PYTHONMALLOC=malloc makes every Python object
# a block memcheck follows. Fails on any memcheck error or definite loss with
# a frame in orx's own code (.ci/valgrind_report.py).
set -euo pipefail
root=$(pwd)
build=${ORX_VALGRIND_BUILD:-build/ci-valgrind}
py=$(python -c 'import sys; print(sys.executable)')
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$py" >/dev/null
cmake --build "$build" -j2 >/dev/null
log=$(mktemp)
status=0
PYTHONMALLOC=malloc PYTHONPATH="$build/stage:$root/python" ORX_TEST_TIME_SCALE=0.01 \
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
    --num-callers=40 --log-file="$log" \
    "$py" -m pytest -q -p no:cacheprovider -x \
    tests/test_calls.py tests/test_records.py \
    "tests/test_faults.py::test_unplug_wakes_a_video_wait" "tests/test_faults.py::test_unplug_between_calls" \
    "tests/test_faults.py::test_real_camera_failure_statuses_leave_it_usable" || status=$?
python "$root/.ci/valgrind_report.py" "$log"
exit $status
