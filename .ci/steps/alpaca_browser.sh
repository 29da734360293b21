#!/usr/bin/env bash
# The Alpaca server's setup pages in a real headless browser: Debian's
# Chromium and its driver are installed here, and a missing browser fails the
# step instead of skipping the test.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq chromium chromium-driver >/dev/null
ORX_REQUIRE_BROWSER=1 python -m pytest -q -p no:cacheprovider tests/alpaca/test_browser.py
