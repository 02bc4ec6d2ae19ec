#!/usr/bin/env bash
# Builds everything and runs every test: the normal build, the whole suite again under
# AddressSanitizer + UndefinedBehaviorSanitizer, and the threaded tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh --test
jobs=$(nproc)

build() {  # build DIR [cmake options...]
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DDOVETRAIL_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}

echo "== build and test"
build build
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
build build-asan -DCMAKE_BUILD_TYPE=Debug -DDOVETRAIL_SANITIZE=address,undefined -DDOVETRAIL_BENCH=OFF
# The long load tests (label "load") run in the plain build only.
ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE load

echo "== ThreadSanitizer"
build build-tsan -DCMAKE_BUILD_TYPE=Debug -DDOVETRAIL_SANITIZE=thread -DDOVETRAIL_BENCH=OFF
ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L threads -LE load
