#!/usr/bin/env bash
# Keep-alive throughput of `dovetrail serve` on a cached feed, measured with wrk (Debian's wrk):
#   bench/serve_wrk.sh [--access-key-file FILE] [--query QUERY] [BUILD_DIR] [SECONDS]
#   (default: build, 8; QUERY, e.g. 'limit=5&filter=news', asks for a variant of the feed)
# Starts serve on the bundled example (state in memory, access log to /dev/null) on a free
# loopback port, fetches the channel once, then prints requests per second of
# /channels/lounge.rss with 1 and 50 keep-alive connections, plain and with Accept-Encoding: gzip
# (the prepared gzip copy). Targets on 2 cores: 10,000/s with 1 connection, 30,000/s with 50.
# With --access-key-file, serve checks keys and every request names the file's first key.
# The figures depend on what else the machine runs: the load average is printed with them.
set -euo pipefail
cd "$(dirname "$0")/.."
serve_options=()
query=
if [[ ${1:-} == --access-key-file ]]; then
    [[ -r ${2:-} ]] || { echo "serve_wrk: --access-key-file needs a readable FILE" >&2; exit 1; }
    serve_options+=(--access-key-file "$(realpath "$2")")
    key=$(grep -v '^[[:space:]]*\(#\|$\)' "$2" | head -n 1 | tr -d '[:space:]')
    query="?key=$(python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$key")"
    shift 2
fi
if [[ ${1:-} == --query ]]; then
    query="${query:-?}${query:+&}$2"
    shift 2
fi
build=${1:-build}
seconds=${2:-8}
exe=$build/host/dovetrail
for tool in wrk curl python3; do
    command -v "$tool" >/dev/null || { echo "serve_wrk: $tool is missing (apt-get install $tool)" >&2; exit 1; }
done
[[ -x $exe ]] || { echo "serve_wrk: $exe is missing: build it first" >&2; exit 1; }

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$exe" --config "$build/examples/dovetrail.ini" serve --listen "127.0.0.1:$port" --no-state \
    ${serve_options[@]+"${serve_options[@]}"} 2>/dev/null &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null || true' EXIT
url=http://127.0.0.1:$port/channels/lounge.rss$query
for _ in $(seq 100); do
    curl -fsS -o /dev/null "$url" 2>/dev/null && break
    sleep 0.1
done
curl -fsS -o /dev/null "$url"
bytes=$(curl -fsS "$url" | wc -c)
gzip_bytes=$(curl -fsS -H 'Accept-Encoding: gzip' "$url" | wc -c)

echo "serve_wrk: $url ($bytes bytes, $gzip_bytes gzip), $(nproc) processors, ${seconds} s a run"
printf '%-12s %-6s %14s %12s %10s  %s\n' connections coding requests/s latency-avg p99 "load average"
run() {  # run CONNECTIONS THREADS CODING [wrk options...]
    local connections=$1 threads=$2 coding=$3
    shift 3
    local out
    out=$(wrk -t"$threads" -c"$connections" -d"${seconds}s" --latency "$@" "$url")
    local rate latency p99
    rate=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
    latency=$(awk '/^ +Latency / {print $2; exit}' <<<"$out")
    p99=$(awk '/^ +99%/ {print $2}' <<<"$out")
    if grep -q "Non-2xx" <<<"$out"; then
        echo "serve_wrk: answers other than 2xx:" >&2
        echo "$out" >&2
        exit 1
    fi
    printf '%-12s %-6s %14s %12s %10s  %s\n' "$connections" "$coding" "$rate" "$latency" "$p99" \
        "$(cut -d' ' -f1-3 /proc/loadavg)"
}
run 1 1 plain
run 1 1 gzip -H 'Accept-Encoding: gzip'
run 50 2 plain
run 50 2 gzip -H 'Accept-Encoding: gzip'
