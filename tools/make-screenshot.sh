#!/bin/bash
# Refreshes docs/screenshot.png from the test that renders the browser window.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build -j"$(nproc)" --target browser_tests
mkdir -p docs
QUILLMERE_SCREENSHOT="$PWD/docs/screenshot.png" QUILLMERE_TEST_DATA="$PWD/tests/data" \
  tests/isolate.sh build/tests/browser_tests --gtest_filter='*ScreenshotShowsAFinishedDarkBrowser'
