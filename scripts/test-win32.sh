#!/usr/bin/env bash
# The Windows stage: two builds of the same sources with Debian's mingw-w64.
#
#   build-win32/  i686, the product: dovetrail.dll as 32-bit hosts load it, and the host program.
#                 Its export and import tables are checked here; its 32-bit layout and calling
#                 convention are checked by the compiler.
#   build-win64/  x86_64: the same platform layer, plug-in, host program and tests, run under
#                 64-bit Wine (/usr/lib/wine/wine64), which every x86_64 kernel can execute: the
#                 unit tests, the plug-in tests that load the DLL as a host does, and the host end
#                 to end over WinINet against a loopback web service, compared byte for byte with
#                 the Linux build's channels.
#
# Where the kernel also runs 32-bit programs (a tiny i386 program is tried first), the i686
# build's tests run too, under 32-bit Wine. The stage fails when Wine cannot run its tests: it
# never reports success with nothing run.
#
# The native programs the tests need (the loopback service, the Linux host) come from build/,
# which this script brings up to date for those targets.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
    echo "error: $*" >&2
    exit 1
}

scripts/deps.sh --win32
scripts/deps.sh --wine || fail "64-bit Wine (package wine64) could not be installed; the" \
    "Windows tests cannot run without it (see apt-get's messages above)"
wine64=/usr/lib/wine/wine64
wineserver64=/usr/lib/wine/wineserver64
[[ -x $wine64 && -x $wineserver64 ]] ||
    fail "$wine64 or $wineserver64 is missing although wine64 is installed"

# A static i386 Linux program that only exits with 0 (ELF header, one segment, three
# instructions): whether it runs says whether this kernel executes 32-bit programs at all.
runs32=no
probe_dir=$(mktemp -d)
printf '%b' '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
    '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
    '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00' \
    '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' \
    '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
    '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$probe_dir/probe32"
chmod +x "$probe_dir/probe32"
if "$probe_dir/probe32" 2>/dev/null; then
    runs32=yes
fi
rm -rf "$probe_dir"
if [[ $runs32 == yes ]] && ! scripts/deps.sh --wine32; then
    fail "this kernel runs 32-bit programs but 32-bit Wine (wine, wine32:i386) could not be" \
        "installed (see apt-get's messages above)"
fi

jobs=$(nproc)
started=$SECONDS

echo "== native programs for the Windows tests (build/)"
if [[ ! -f build/build.ninja ]]; then
    cmake -S . -B build -G Ninja -DDOVETRAIL_WERROR=ON >/dev/null
fi
cmake --build build -j "$jobs" --target dovetrail_host dovetrail_plugin dovetrail_loopback_service

# -O2 as in the other builds, without debug information: for a statically linked runtime it
# costs minutes of linking. (Release's -O3 makes GCC 12 warn falsely in std::string copies.)
windows_build() {
    local dir=$1 toolchain=$2 tests=$3
    echo "== Windows build ($dir/, tests $tests)"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DDOVETRAIL_WERROR=ON -DDOVETRAIL_TESTS="$tests" \
        -DDOVETRAIL_NATIVE_BUILD="$PWD/build" >/dev/null
    cmake --build "$dir" -j "$jobs"
}
windows_build build-win32 toolchain-mingw-i686.cmake "$([[ $runs32 == yes ]] && echo ON || echo OFF)"
windows_build build-win64 toolchain-mingw-x86_64.cmake ON
built=$SECONDS

echo "== the product DLL's exports and imports (build-win32/)"
dll=build-win32/plugin/dovetrail.dll
table=$(i686-w64-mingw32-objdump -p "$dll")
grep -q '^architecture: i386' <<<"$table" || grep -q 'file format pei-i386' <<<"$table" ||
    fail "$dll is not a 32-bit DLL"
exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$table" |
    sed -n 's/^\s*\[ *[0-9]*\] //p' | tr '\n' ' ')
imports=$(grep -o 'DLL Name: .*' <<<"$table" | cut -d' ' -f3 | tr '[:lower:]' '[:upper:]' | sort | tr '\n' ' ')
echo "exports: $exports"
echo "imports: $imports"
if [[ $exports != "get_app_plugin_info " || $imports != "KERNEL32.DLL MSVCRT.DLL WININET.DLL " ]]; then
    fail "$dll must export get_app_plugin_info alone and import only KERNEL32, msvcrt and WININET"
fi

# A fresh Wine prefix per run; no debug chatter; no Mono or Gecko installers; no proxy, which
# Wine's WinINet would take from the environment even for the loopback service.
wine_home=$(mktemp -d)
export WINEPREFIX=$wine_home/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset http_proxy https_proxy ftp_proxy all_proxy no_proxy HTTP_PROXY HTTPS_PROXY FTP_PROXY \
    ALL_PROXY NO_PROXY
cleanup() {
    "$wineserver64" -k 2>/dev/null || true
    rm -rf "$wine_home"
}
trap cleanup EXIT
# The server and the prefix's services are up before ctest starts: otherwise they inherit the
# first test's output pipe and ctest waits for them. Neither keeps this script's output open.
mkdir -p "$WINEPREFIX"
"$wineserver64" -p </dev/null >/dev/null 2>&1 || fail "$wineserver64 does not start"
"$wine64" wineboot -i </dev/null >/dev/null 2>&1 ||
    fail "$wine64 cannot make a Wine prefix in $WINEPREFIX (wineboot failed)"

summary=()
run_tests() {
    local dir=$1 what=$2 log
    echo "== tests under $what ($dir/)"
    log=$(mktemp)
    if ! ctest --test-dir "$dir" --output-on-failure -j "$jobs" --no-tests=error | tee "$log"; then
        rm -f "$log"
        fail "tests of $dir/ failed under $what"
    fi
    summary+=("$dir under $what: $(grep -E '^[0-9]+% tests passed' "$log")")
    rm -f "$log"
}
run_tests build-win64 "64-bit Wine"
if [[ $runs32 == yes ]]; then
    run_tests build-win32 "32-bit Wine"
else
    summary+=("build-win32: built and checked; its tests not run: this kernel does not execute 32-bit programs")
fi

echo "== Windows stage: $((SECONDS - started)) s (build $((built - started)) s," \
    "tests $((SECONDS - built)) s)"
printf '%s\n' "${summary[@]}"
