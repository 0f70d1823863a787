#!/usr/bin/env bash
# Builds what is needed and runs every test: the library's (GoogleTest) and the module's
# (pytest), both through ctest. With --sanitize, the same in build-sanitize/ under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")"

build=build
options=()
if [ "${1:-}" = "--sanitize" ]; then
  build=build-sanitize
  options=(-DBRIVANE_SANITIZE=ON)
fi
cmake -S . -B "$build" -DPython_EXECUTABLE=/usr/bin/python3 "${options[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure
