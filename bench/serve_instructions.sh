#!/usr/bin/env bash
# Instructions `dovetrail serve` spends per request on a cached feed, counted by callgrind:
#   bench/serve_instructions.sh [--serve-option OPTION]... [BUILD_DIR] [REQUESTS] [QUERY]
#   (default: build, 2000, no query; QUERY is appended to /channels/lounge.rss, e.g. '?key=K')
# A count of instructions is the same from run to run whatever else the machine does, so two
# builds compare to a fraction of a percent where requests per second (bench/serve_wrk.sh) vary
# by tens of percent on a busy machine. Counts every thread of serve from the first request after
# a warm-up to the last answer of one keep-alive connection, plain and with Accept-Encoding: gzip.
set -euo pipefail
cd "$(dirname "$0")/.."
serve_options=()
while [[ ${1:-} == --serve-option ]]; do
    serve_options+=("$2")
    shift 2
done
build=${1:-build}
requests=${2:-2000}
query=${3:-}
exe=$build/host/dovetrail
for tool in valgrind callgrind_control python3; do
    command -v "$tool" >/dev/null || { echo "serve_instructions: $tool is missing (apt-get install valgrind python3)" >&2; exit 1; }
done
[[ -x $exe ]] || { echo "serve_instructions: $exe is missing: build it first" >&2; exit 1; }

work=$(mktemp -d)
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
valgrind --tool=callgrind --callgrind-out-file="$work/out.%p" --dump-instr=no \
    "$exe" --config "$build/examples/dovetrail.ini" serve --listen "127.0.0.1:$port" --no-state \
    --threads 1 ${serve_options[@]+"${serve_options[@]}"} >/dev/null 2>"$work/log" &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null || true; rm -rf "$work"' EXIT

# Sends COUNT requests on one keep-alive connection and checks every answer is 200.
send() {  # send COUNT [HEADER]
    python3 - "$port" "/channels/lounge.rss$query" "$@" <<'EOF'
import http.client, sys, time
port, path, count = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
headers = dict([sys.argv[4].split(": ", 1)]) if len(sys.argv) > 4 else {}
deadline = time.time() + 120
while True:
    try:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        connection.request("GET", path, headers=headers)
        break
    except OSError:
        if time.time() > deadline:
            raise
        time.sleep(0.2)
for i in range(count):
    if i:
        connection.request("GET", path, headers=headers)
    response = connection.getresponse()
    response.read()
    if response.status != 200:
        sys.exit("serve_instructions: %s answered %d" % (path, response.status))
EOF
}

# Instructions from a zeroed counter to a dump, per request.
measure() {  # measure LABEL [HEADER]
    local label=$1
    shift
    send 50 "$@"
    callgrind_control -z "$server" >/dev/null 2>&1
    send "$requests" "$@"
    callgrind_control -d "$label" "$server" >/dev/null 2>&1
    local dump total
    dump=$(ls -t "$work"/out.* | head -n 1)
    total=$(awk '/^(summary|totals):/ {print $2; exit}' "$dump")
    printf '%-6s %12s instructions/request\n' "$label" "$((total / requests))"
}

echo "serve_instructions: $build, /channels/lounge.rss$query, $requests requests a form${serve_options[*]:+, serve ${serve_options[*]}}"
measure plain
measure gzip "Accept-Encoding: gzip"
