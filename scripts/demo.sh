#!/usr/bin/env bash
# Builds the host and the plug-in (not the tests and benchmarks: scripts/test.sh builds those) and
# runs the host on the bundled example web service (local files, no network).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build -G Ninja >/dev/null
# The host target brings the plug-in and the example along.
cmake --build build -j "$(nproc)" --target dovetrail_host
exec scripts/run-example.sh build
