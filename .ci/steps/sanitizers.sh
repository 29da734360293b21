#!/usr/bin/env bash
# AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer over the
# module and the simulator (-DORX_SANITIZE=ON), with the test suite run
# against that build. The interpreter is not instrumented: the sanitizer
# runtime is preloaded, and PYTHONMALLOC=malloc makes every Python object a
# malloc block that the sanitizers see (unwound in full, since the interpreter
# keeps no frame pointers). Fails on any test failure, any ASan or UBSan
# report outside .ci/sanitizer-known.txt, and any leak whose allocation
# stack reaches orx's own code (.ci/sanitizer_report.py).
#
# Left out here: the resident-memory leak tests (the sanitizer's quarantine
# and shadow memory make resident size meaningless; LeakSanitizer checks
# leaks instead).
set -euo pipefail
shopt -s nullglob
root=$(pwd)
build=${ORX_ASAN_BUILD:-build/ci-asan}
py=$(python -c 'import sys; print(sys.executable)')
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORX_SANITIZE=ON -DPython_EXECUTABLE="$py" \
    -DCMAKE_CXX_COMPILER_LAUNCHER="$root/.ci/ubsan-recover" >/dev/null
cmake --build "$build" -j2 >/dev/null

log=$(mktemp)
# ASan and LSan reports go to files (one per process), so that an aborting
# process does not take them along; UBSan writes to the process's stderr,
# which pytest leaves alone with --capture=sys, so they land in the log
reports_dir=$(mktemp -d)
# tests/indi is left out: the preloaded runtime instruments the Debian INDI
# server and command-line clients those tests start as well, whose start-up
# then outlasts the tests' hang limits; the driver is pure Python and reaches
# orx through the same calls the rest of the suite makes here.
status=0
LD_PRELOAD="$(gcc -print-file-name=libasan.so)" \
ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:halt_on_error=1:fast_unwind_on_malloc=0:malloc_context_size=14:log_path=$reports_dir/asan" \
LSAN_OPTIONS="suppressions=$root/.ci/lsan.supp:print_suppressions=0:exitcode=0" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=0" \
PYTHONMALLOC=malloc PYTHONPATH="$build/stage:$root/python" ORX_LEAK_CALLS=300 ORX_FUZZ_EXAMPLES=100 ORX_THREAD_SECONDS=3 \
    "$py" -m pytest -q -p no:cacheprovider --capture=sys tests -W ignore::DeprecationWarning \
    -k "not resident_memory and not keep_memory_flat" --durations=8 --ignore=tests/indi \
    >"$log" 2>&1 || status=$?

sed -n '/slowest/,/passed\|failed/p' "$log" | tail -n 12 || true
report=0
python "$root/.ci/sanitizer_report.py" "$root/.ci/sanitizer-known.txt" "$log" "$reports_dir"/* || report=1
if [ "$status" -ne 0 ]; then
    tail -n 60 "$log"
fi
[ "$status" -eq 0 ] && [ "$report" -eq 0 ]
