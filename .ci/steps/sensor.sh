#!/usr/bin/env bash
# The renderer's own checks: a standalone C++ program over simulator/src/sensor*.cpp,
# optimised and then under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
out=$(mktemp -d)
g++ -O2 -std=c++17 -Wall -Wextra -Werror -I include -I simulator/src tests/sim/test_sensor*.cpp \
    simulator/src/sensor*.cpp -o "$out/test_sensor" -lpthread
"$out/test_sensor"
g++ -O1 -g -std=c++17 -fsanitize=address,undefined -fno-sanitize-recover=all -I include -I simulator/src \
    tests/sim/test_sensor*.cpp simulator/src/sensor*.cpp -o "$out/test_sensor_san" -lpthread
"$out/test_sensor_san"
