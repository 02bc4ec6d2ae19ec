#!/usr/bin/env bash
# Builds everything and runs the host on the bundled example web service (local files, no network).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)"
exec scripts/run-example.sh build
