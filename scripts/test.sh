#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the normal build,
# then AddressSanitizer with UndefinedBehaviorSanitizer, ThreadSanitizer,
# and a bounded libFuzzer run (FUZZ_SECONDS, 60 by default).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-60}

configure_and_build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

run_tests() {
  echo "== tests: $1"
  ctest --test-dir "$1" --output-on-failure -j "$jobs" --timeout 300
}

configure_and_build build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_tests build/release

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
configure_and_build build/asan -DCMAKE_BUILD_TYPE=Debug -DGLIMRA_SANITIZE=address
run_tests build/asan

# The GIO tests add tests/gio_tsan_suppressions.txt to these options for
# themselves (see tests/CMakeLists.txt): GIO's application registry starts
# GLib's uninstrumented worker thread, whose locking TSan cannot see.
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
configure_and_build build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGLIMRA_SANITIZE=thread
run_tests build/tsan

echo "== fuzzing: options_fuzzer for ${fuzz_seconds}s"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DGLIMRA_BUILD_FUZZERS=ON -DGLIMRA_BUILD_TESTS=OFF -DGLIMRA_SANITIZE=address >/dev/null
cmake --build build/fuzz -j "$jobs" --target options_fuzzer
mkdir -p build/fuzz/corpus
if ! build/fuzz/fuzz/options_fuzzer -max_total_time="$fuzz_seconds" -dict=fuzz/options.dict \
  -print_final_stats=1 build/fuzz/corpus fuzz/corpus/options >build/fuzz/fuzz.log 2>&1; then
  cat build/fuzz/fuzz.log
  exit 1
fi
grep -E "^(Done|stat::)" build/fuzz/fuzz.log

echo "== all tests passed"
