#!/usr/bin/env bash
# Runs the built host on the bundled example web service: its channels, the intervals, one
# channel's RSS text and the main page. Usage: scripts/run-example.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
dovetrail=${1:-build}/host/dovetrail

section() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

section "dovetrail channels"
"$dovetrail" channels
section "dovetrail intervals"
"$dovetrail" intervals
section "dovetrail channel boards"
"$dovetrail" channel boards
page=${1:-build}/main-page.html
section "dovetrail main-page -o $page"
"$dovetrail" main-page -o "$page"
echo "Rendered $(wc -c <"$page") bytes; the intervals it shows:"
grep -E 'minutes' "$page" | sed -e 's/<[^>]*>//g' -e 's/^ */    /'
section "Next"
cat <<TEXT
Serve the channels to any feed reader:
    $dovetrail serve --listen 127.0.0.1:8080
then open http://127.0.0.1:8080/ and subscribe to http://127.0.0.1:8080/channels/lounge.rss
(boards.rss, articles.rss). See '$dovetrail --help'.
TEXT
