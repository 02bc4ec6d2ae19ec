#!/usr/bin/env bash
# Builds everything and runs every test: the normal build, the whole suite again under
# AddressSanitizer + UndefinedBehaviorSanitizer, the threaded tests under ThreadSanitizer, and every
# fuzz target on its corpus and then for a few seconds (clang, libFuzzer, ASan + UBSan).
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
# Configured for /usr, so that the package test packages this build in Debian's layout.
build build -DCMAKE_INSTALL_PREFIX=/usr
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
build build-asan -DCMAKE_BUILD_TYPE=Debug -DDOVETRAIL_SANITIZE=address,undefined -DDOVETRAIL_BENCH=OFF
# The 3 GiB answer (label "large") and the long load tests (label "load") run in the plain build
# only.
ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE "large|load"

echo "== ThreadSanitizer"
build build-tsan -DCMAKE_BUILD_TYPE=Debug -DDOVETRAIL_SANITIZE=thread -DDOVETRAIL_BENCH=OFF
ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L threads -LE "large|load"

echo "== Fuzz targets: every seed corpus, then ${DOVETRAIL_FUZZ_SECONDS:-10} s of fuzzing each"
CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DDOVETRAIL_WERROR=ON \
    -DDOVETRAIL_FUZZ=ON -DDOVETRAIL_TESTS=OFF -DDOVETRAIL_BENCH=OFF >/dev/null
cmake --build build-fuzz -j "$jobs" --target dovetrail_fuzzers
scripts/fuzz.sh build-fuzz "${DOVETRAIL_FUZZ_SECONDS:-10}"
