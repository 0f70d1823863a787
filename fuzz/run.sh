#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# in build-fuzz/ and runs each for a while, 30 s unless given, from a copy of its seed corpus
# in fuzz/corpus/. A crash fails the run and leaves its input in build-fuzz/artifacts/: make
# it a regression test.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}

packages=(clang libclang-rt-14-dev)
tools/install-packages "${packages[@]}"

targets=(arm_answers identity_answers grip_receive grip_outcomes stavrin_status trace_reader messages)
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DBRIVANE_FUZZ=ON -DBRIVANE_TESTS=OFF \
  -DBRIVANE_WERROR=ON -DPython_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

mkdir -p build-fuzz/artifacts
for target in "${targets[@]}"; do
  corpus=build-fuzz/corpus/$target
  rm -rf "$corpus" && mkdir -p "$corpus" && cp fuzz/corpus/"$target"/* "$corpus"/
  # The library's error lines would drown the fuzzer's own report: stderr is closed for them.
  build-fuzz/fuzz_"$target" "$corpus" -max_total_time="$seconds" -max_len=2048 -timeout=10 \
    -close_fd_mask=2 -print_final_stats=1 -artifact_prefix=build-fuzz/artifacts/"$target"- \
    2>&1 | grep -E "^(stat::number_of_executed_units|stat::new_units_added|==|SUMMARY)|Done" ||
    true
  if compgen -G "build-fuzz/artifacts/$target-*" >/dev/null; then
    echo "fuzz_$target found a crash: build-fuzz/artifacts/$target-*" >&2
    exit 1
  fi
done
