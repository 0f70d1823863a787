#!/usr/bin/env bash
# Builds what is needed and runs every test: the library's (GoogleTest) and the module's
# (pytest), both through ctest.
#   --sanitize  the same in build-sanitize/ under AddressSanitizer and UndefinedBehaviorSanitizer
#   --threads   the threaded library tests in build-tsan/ under ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")"

build=build
options=()
targets=(--target all)
case "${1:-}" in
  --sanitize) build=build-sanitize options=(-DBRIVANE_SANITIZE=ON) ;;
  --threads) build=build-tsan options=(-DBRIVANE_TSAN=ON) targets=(--target library_tests) ;;
esac
cmake -S . -B "$build" -DPython_EXECUTABLE=/usr/bin/python3 "${options[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" "${targets[@]}"
ctest --test-dir "$build" --output-on-failure
