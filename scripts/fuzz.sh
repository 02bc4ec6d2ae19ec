#!/usr/bin/env bash
# Runs every fuzz target that fuzz/CMakeLists.txt declares (the build lists them in
# BUILD/fuzz/fuzzers.tsv): first on each file of its seed corpus, as a regression test that every
# file must pass, then fuzzing from that corpus for a bounded time. A crash, a sanitizer report, a
# leak, a time-out or a failed invariant fails the run; the input that caused it is printed in hex
# and kept in BUILD/fuzz-findings/. New inputs found on the way go to BUILD/fuzz-work/, never into
# the corpora in the source tree.
#
# Usage: scripts/fuzz.sh [BUILD_DIR [SECONDS_PER_TARGET]]   (defaults: build-fuzz, 10)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-fuzz}
seconds=${2:-10}
manifest=$build/fuzz/fuzzers.tsv
if [[ ! -s $manifest ]]; then
    echo "error: no fuzz targets listed in $manifest: configure with -DDOVETRAIL_FUZZ=ON and" \
        "build the target dovetrail_fuzzers first" >&2
    exit 1
fi
findings=$build/fuzz-findings
rm -rf "$findings" "$build/fuzz-work"
mkdir -p "$findings" "$build/fuzz-work"

showInput() {  # FILE
    echo "--- failing input $1 ($(stat -c %s "$1") bytes), in hex:"
    od -A x -t x1z -v "$1" | head -n 512
}

failed=()
while IFS=$'\t' read -r name program corpus; do
    log=$findings/$name.log
    shopt -s nullglob
    seeds=("$corpus"/*)
    shopt -u nullglob
    if ((${#seeds[@]} == 0)); then
        echo "$name: FAILED: the seed corpus $corpus is empty"
        failed+=("$name")
        continue
    fi

    # Given files, libFuzzer runs each once and stops at the first that fails.
    if ! "$program" "${seeds[@]}" >"$log" 2>&1; then
        echo "$name: FAILED on its seed corpus:"
        tail -n 40 "$log"
        last=$(grep -o '^Running: .*' "$log" | tail -n 1 | cut -d' ' -f2-)
        [[ -n $last && -f $last ]] && showInput "$last"
        failed+=("$name")
        continue
    fi

    work=$build/fuzz-work/$name
    mkdir -p "$work"
    if ! "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/$name-" "$work" "$corpus" >"$log" 2>&1; then
        echo "$name: FAILED while fuzzing:"
        tail -n 60 "$log"
        for artifact in "$findings/$name"-*; do
            [[ $artifact == "$log" ]] || showInput "$artifact"
        done
        failed+=("$name")
        continue
    fi
    stats=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
    echo "$name: ${#seeds[@]} seeds pass; fuzzed ${seconds}s: ${stats:-no final statistics}"
done <"$manifest"

if ((${#failed[@]})); then
    echo "Fuzzing found faults in: ${failed[*]} (inputs and logs in $findings/)" >&2
    exit 1
fi
