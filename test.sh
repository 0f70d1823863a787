#!/usr/bin/env bash
# Builds what is needed, with warnings as errors, and runs every test: the library's
# (GoogleTest) and the module's (pytest), both through ctest.
#   --sanitize  the same in build-sanitize/ under AddressSanitizer and UndefinedBehaviorSanitizer
#   --threads   the threaded library tests in build-tsan/ under ThreadSanitizer
#   --windows   the library and its tests cross-built for Windows with mingw-w64 in
#               build-windows/, the tests run under Wine (tools/windows/run-tests.sh);
#               the library installed there too, and the C++ example built against it
# Ends with what ran, per suite: tests passed, failed and skipped, and their time, from the
# suites' JUnit reports in BUILD/test-reports (tools/test-summary.py); nonzero on a failure.
set -euo pipefail
cd "$(dirname "$0")"

if [ "${1:-}" = "--windows" ]; then
  # What the cross build and the run under Wine need, installed when missing, as .ci/run does.
  tools/install-packages cmake make mingw-w64 g++-mingw-w64-x86-64-posix \
    gcc-mingw-w64-x86-64-posix wine wine64 socat googletest
  cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DBRIVANE_WERROR=ON \
    >/dev/null
  cmake --build build-windows -j"$(nproc)"
  # Installed as on Linux, and the C++ example built against the installed copy.
  rm -rf build-windows/prefix
  cmake --install build-windows --prefix build-windows/prefix --component cpp >/dev/null
  cmake -S examples/cpp -B build-windows/example \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" \
    -DBrivaneHardwareAPI_DIR="$PWD/build-windows/prefix/lib/cmake/BrivaneHardwareAPI" \
    -DBRIVANE_WERROR=ON >/dev/null
  cmake --build build-windows/example
  # ctest's own report only: a test case per ctest test, whose counts Wine's run keeps.
  rm -rf build-windows/test-reports
  status=0
  tools/windows/run-tests.sh build-windows ctest --test-dir build-windows --output-on-failure \
    --output-junit "$PWD/build-windows/test-reports/ctest.xml" || status=$?
  /usr/bin/python3 tools/test-summary.py build-windows/test-reports || ((status)) || status=1
  exit "$status"
fi

build=build
options=()
targets=(--target all)
case "${1:-}" in
  --sanitize)
    # What the tests run; the benchmarks and the header check are the plain build's.
    build=build-sanitize options=(-DBRIVANE_SANITIZE=ON)
    targets=(--target library_tests BrivaneHardwareAPI brivane_native brivane-sim brivane-trace
      version_peer) ;;
  --threads) build=build-tsan options=(-DBRIVANE_TSAN=ON) targets=(--target library_tests) ;;
esac
cmake -S . -B "$build" -DPython_EXECUTABLE=/usr/bin/python3 -DBRIVANE_WERROR=ON "${options[@]}" \
  >/dev/null
cmake --build "$build" -j"$(nproc)" "${targets[@]}"
# The library's tests and the Python suites side by side: both mostly wait on their devices.
# Each writes its report afresh, so that the summary tells this run's.
rm -rf "$build/test-reports"
mkdir -p "$build/test-reports"
status=0
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" \
  --output-junit "$PWD/$build/test-reports/ctest.xml" || status=$?
/usr/bin/python3 tools/test-summary.py "$build/test-reports" || ((status)) || status=1
exit "$status"
