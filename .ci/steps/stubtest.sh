#!/usr/bin/env bash
# The installed orx.pyi against the installed module, with mypy's stubtest.
# mypy finds the installed stub through the stub-only package orx-stubs.
# Every finding fails the step.
set -euo pipefail
python -m pip install -q mypy
python -m mypy.stubtest --concise --allowlist .ci/stubtest-allowlist.txt orx
echo "stubtest: orx.pyi matches the module"
