#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine (as root), builds with the sanitizers and runs
# every test. CI calls exactly this.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build=${VESK_TEST_BUILD_DIR:-build-test}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
  -DVESK_SANITIZE=ON -DVESK_BUILD_TESTS=ON -DVESK_BUILD_BENCHMARKS=ON \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build "$build" -j "$(nproc)"
# The Release tree from which the test package.deb builds the Debian package.
cmake -S . -B "$build/package-release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_TESTS=OFF \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build "$build/package-release" -j "$(nproc)"

# Any sanitizer report fails the run.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1:detect_stack_use_after_return=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/cmake/lsan.supp:print_suppressions=0
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
