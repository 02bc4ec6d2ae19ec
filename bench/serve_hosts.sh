#!/usr/bin/env bash
# What made-up Host headers cost `dovetrail serve` on a big channel:
#   bench/serve_hosts.sh [BUILD_DIR...] [-- SIZE_MB]      (default: build, 30)
# For each build: writes a local web service whose lounge answer gives a channel text of about
# SIZE_MB, starts serve on it (state in memory, 2 HTTP threads) on a free port, on loopback and
# on the wildcard address, fetches the channel once, then sends 9 requests for its RSS form at
# once, each with another Host, while /status is asked every 0.1 s. Prints the peak resident
# memory (VmHWM) before and after, how long the 9 took, their statuses, and the slowest /status.
set -euo pipefail
cd "$(dirname "$0")/.."
builds=()
size_mb=30
while (($#)); do
    if [[ $1 == -- ]]; then size_mb=${2:-30}; break; fi
    builds+=("$1"); shift
done
((${#builds[@]})) || builds=(build)
for tool in curl python3; do
    command -v "$tool" >/dev/null || { echo "serve_hosts: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir "$work/service"
python3 - "$work/service" "$size_mb" <<'PY'
import os, sys
where, size = sys.argv[1], int(sys.argv[2]) << 20
for kind in ("lounge", "boards", "articles"):
    open(os.path.join(where, kind + "-interval.xml"), "w").write("<int>60</int>")
item = ("<MessageBrief><Url>https://community.example.org/lounge/m?id=%d</Url><Subject>"
        + "A long subject line about nothing in particular, " * 4 + "%d</Subject>"
        "<Author>Author %d</Author><MsgsInThread>3</MsgsInThread></MessageBrief>")
with open(os.path.join(where, "lounge.xml"), "w") as f:
    f.write("<?xml version='1.0' encoding='utf-8'?><ArrayOfMessageBrief>")
    written, i = 0, 0
    while written < size:
        text = item % (i, i, i % 97)
        f.write(text)
        written += len(text) - 40  # the plug-in's text is a little shorter than the answer
        i += 1
    f.write("</ArrayOfMessageBrief>")
PY
cat >"$work/serve.ini" <<INI
[Config]
HostName=service
GetLoungeLatestUpdatePeriodUrl=lounge-interval.xml
GetCommentLatestUpdatePeriodUrl=boards-interval.xml
GetArticleLatestUpdatePeriodUrl=articles-interval.xml
[lounge]
ChannelUrl=lounge.xml
ChannelName=Lounge
ChannelHomeUrl=https://community.example.org/lounge/
UpdateIntervalKind=lounge
INI

hwm() { awk '/^VmHWM:/ {printf "%d MB", $2 / 1024}' "/proc/$1/status"; }

printf '%-22s %-8s %10s %12s %12s %9s %-28s %12s\n' build listen text peak-before peak-after \
    "9 took" "statuses" "/status max"
for build in "${builds[@]}"; do
    exe=$build/host/dovetrail
    [[ -x $exe ]] || { echo "serve_hosts: $exe is missing: build it first" >&2; exit 1; }
    for listen in 127.0.0.1 0.0.0.0; do
        port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
        "$exe" --config "$work/serve.ini" serve --listen "$listen:$port" --no-state --threads 2 \
            --max-feed-bytes $(((size_mb + 16) << 20)) 2>/dev/null &
        server=$!
        base=http://127.0.0.1:$port
        for _ in $(seq 100); do
            curl -fsS -o /dev/null "$base/status" 2>/dev/null && break
            sleep 0.1
        done
        # The fetch, and the forms it writes.
        bytes=$(curl -fsS --max-time 120 "$base/channels/lounge.plugin" | wc -c)
        curl -fsS -o /dev/null --max-time 120 "$base/channels/lounge.rss"
        before=$(hwm "$server")
        : >"$work/statuses"
        start=$(date +%s.%N)
        readers=()
        for i in $(seq 9); do
            curl -sS -o /dev/null -w '%{http_code}\n' --max-time 300 -H "Host: name$i.example:$port" \
                "$base/channels/lounge.rss" >>"$work/statuses" &
            readers+=($!)
        done
        slowest=0
        while (($(wc -l <"$work/statuses") < 9)); do
            took=$(curl -sS -o /dev/null -w '%{time_total}' --max-time 300 "$base/status")
            slowest=$(awk -v a="$slowest" -v b="$took" 'BEGIN {print (b > a ? b : a)}')
            sleep 0.1
        done
        wait "${readers[@]}" 2>/dev/null || true
        end=$(date +%s.%N)
        after=$(hwm "$server")
        statuses=$(sort "$work/statuses" | uniq -c | awk '{printf "%s%sx%s", sep, $1, $2; sep=","}')
        printf '%-22s %-8s %7d MB %12s %12s %8.1fs %-28s %11.3fs\n' "$build" "$listen" \
            $((bytes >> 20)) "$before" "$after" "$(awk -v a="$start" -v b="$end" 'BEGIN {print b - a}')" \
            "$statuses" "$slowest"
        kill "$server"
        wait "$server" 2>/dev/null || true
    done
done
echo "serve_hosts: $(nproc) processors, load average $(cut -d' ' -f1-3 /proc/loadavg)"
