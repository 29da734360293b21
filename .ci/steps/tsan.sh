#!/usr/bin/env bash
# The simulator's locking under ThreadSanitizer: the simulator built with
# -DORX_TSAN=ON, driven from several threads at once by tests/sim/stress_threads.cpp
# (itself built with -fsanitize=thread). Any report fails the step.
set -euo pipefail
build=${ORX_TSAN_BUILD:-build/ci-tsan}
seconds=${ORX_TSAN_SECONDS:-8}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORX_TSAN=ON >/dev/null
cmake --build "$build" --target ORXCamera2 -j2 >/dev/null
g++ -O1 -g -std=c++17 -Wall -Wextra -Werror -fsanitize=thread -I include -I simulator/include \
    tests/sim/stress_threads.cpp -o "$build/stress_threads" \
    -L "$build/stage/orx-camera" -lORXCamera2 -Wl,-rpath,"$(cd "$build/stage/orx-camera" && pwd)" -lpthread
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 exitcode=66 ${TSAN_OPTIONS:-}" \
    "$build/stress_threads" "$seconds" 6
