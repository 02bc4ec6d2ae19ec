#!/usr/bin/env bash
# Builds the 32-bit Windows plug-in (build-win32/plugin/dovetrail.dll), the Windows host and the
# tests with mingw-w64, and runs every test that applies under Wine: the unit tests, the plug-in
# tests that load the DLL as a host does, and the host end to end on the bundled example and
# against a loopback web service over WinINet, compared with the Linux build's output.
#
# The native programs the tests need (the loopback service, the Linux host) come from build/,
# which this script brings up to date for those targets.
#
# When Wine cannot be installed (its 32-bit packages need the Debian mirror's i386 indexes), the
# build and the check of the DLL's exports and imports still run, the tests under Wine do not,
# and the script says so loudly and exits with 0: the toolchain and the build must work, the
# runs need what the machine could not get.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh --win32
wine_problem=
if ! scripts/deps.sh --wine; then
    wine_problem="Wine (wine, wine32:i386) could not be installed; see apt-get's messages above"
fi
jobs=$(nproc)
started=$SECONDS

echo "== native programs for the Windows tests (build/)"
if [[ ! -f build/build.ninja ]]; then
    cmake -S . -B build -G Ninja -DDOVETRAIL_WERROR=ON >/dev/null
fi
cmake --build build -j "$jobs" --target dovetrail_host dovetrail_plugin dovetrail_loopback_service

echo "== Windows build (build-win32/)"
cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
    -DDOVETRAIL_WERROR=ON -DDOVETRAIL_NATIVE_BUILD="$PWD/build" >/dev/null
cmake --build build-win32 -j "$jobs"
built=$SECONDS

echo "== the DLL's exports and imports"
dll=build-win32/plugin/dovetrail.dll
table=$(i686-w64-mingw32-objdump -p "$dll")
exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$table" |
    sed -n 's/^\s*\[ *[0-9]*\] //p' | tr '\n' ' ')
imports=$(grep -o 'DLL Name: .*' <<<"$table" | cut -d' ' -f3 | tr '[:lower:]' '[:upper:]' | sort | tr '\n' ' ')
echo "exports: $exports"
echo "imports: $imports"
if [[ $exports != "get_app_plugin_info " || $imports != "KERNEL32.DLL MSVCRT.DLL WININET.DLL " ]]; then
    echo "error: $dll must export get_app_plugin_info alone and import only KERNEL32, msvcrt" \
        "and WININET" >&2
    exit 1
fi

if [[ -n $wine_problem ]]; then
    echo "== tests under Wine: SKIPPED: $wine_problem"
    echo "== Windows stage: $((SECONDS - started)) s, built and checked; NO TEST RAN UNDER WINE"
    exit 0
fi

echo "== tests under Wine"
# A fresh Wine prefix per run; no debug chatter; no Mono or Gecko installers; no proxy, which
# Wine's WinINet would take from the environment even for the loopback service.
wine_home=$(mktemp -d)
export WINEPREFIX=$wine_home/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset http_proxy https_proxy ftp_proxy all_proxy no_proxy HTTP_PROXY HTTPS_PROXY FTP_PROXY \
    ALL_PROXY NO_PROXY
cleanup() {
    wineserver -k 2>/dev/null || true
    rm -rf "$wine_home"
}
trap cleanup EXIT
# The server and the prefix's services are up before ctest starts: otherwise they inherit the
# first test's output pipe and ctest waits for them. Neither keeps this script's output open.
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1
wineboot -i </dev/null >/dev/null 2>&1

ctest --test-dir build-win32 --output-on-failure -j "$jobs"
echo "== Windows stage: $((SECONDS - started)) s (build $((built - started)) s, tests $((SECONDS - built)) s)"
