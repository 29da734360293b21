#!/usr/bin/env bash
# The installed orx.pyi against the installed module, with mypy's stubtest.
set -euo pipefail
python -m pip install -q mypy
# mypy finds the installed stub through the stub-only package orx-stubs.
# The module's functions are objects of its own function type, which stubtest
# reports as "is not a function" although it still compares their signatures;
# that one message is dropped, every other finding fails the step.
out=$(python -m mypy.stubtest --concise --allowlist .ci/stubtest-allowlist.txt orx 2>&1) || true
problems=$(printf '%s\n' "$out" | grep -Ev '^orx\.[a-z_0-9]+ is not a function$' | grep -v '^$' || true)
if [ -n "$problems" ]; then
    printf '%s\n' "$problems"
    exit 1
fi
echo "stubtest: orx.pyi matches the module ($(printf '%s\n' "$out" | grep -c 'is not a function') functions checked by signature)"
