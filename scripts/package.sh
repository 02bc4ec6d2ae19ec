#!/usr/bin/env bash
# Builds the Debian package dovetrail_<version>_<arch>.deb with CPack, then checks it with lintian.
#
# Usage: scripts/package.sh [BUILD_DIR [OUTPUT_DIR]]
#   Without arguments: a build in build-package/ for /usr, with Debian's build flags (hardening
#   included), and the package in out/.
#   With BUILD_DIR: packages that configured and built tree instead (the tests package theirs).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh --package

build=${1:-}
out=$(realpath -m "${2:-out}")
if [[ -z $build ]]; then
    build=build-package
    # Debian's flags: hardening (fortified functions, stack protector, read-only relocations bound
    # at start), as dpkg-buildpackage would pass them. CMake reads CFLAGS, CXXFLAGS and LDFLAGS;
    # the preprocessor's flags go with the compilers'.
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    eval "$(dpkg-buildflags --export=sh)"
    export CFLAGS="$CPPFLAGS $CFLAGS" CXXFLAGS="$CPPFLAGS $CXXFLAGS"
    cmake -S . -B "$build" -G Ninja -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=None \
        -DDOVETRAIL_TESTS=OFF -DDOVETRAIL_BENCH=OFF >/dev/null
    nice -n 10 cmake --build "$build" -j "$(nproc)"
elif [[ ! -f $build/CPackConfig.cmake ]]; then
    echo "error: $build is not a configured build tree (no CPackConfig.cmake)" >&2
    exit 64
else
    # What the package holds; nothing when it is built already.
    nice -n 10 cmake --build "$build" -j "$(nproc)" --target dovetrail_host dovetrail_docs >/dev/null
fi

mkdir -p "$out"
(cd "$build" && cpack -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
package=$(ls -t "$out"/dovetrail_*.deb | head -n 1)
echo "Built $package"

if command -v lintian >/dev/null; then
    lintian --fail-on error,warning "$package"
else
    echo "lintian is not installed: the package was not checked (Debian package lintian)" >&2
fi
