#!/usr/bin/env bash
# The benchmarks in short mode against the installed module: small frames and
# few iterations (under a minute). A missed goal is printed, not failed; an
# error in any measurement fails the step.
set -euo pipefail
python bench/run.py --quick
