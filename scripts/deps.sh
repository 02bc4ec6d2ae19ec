#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, skipping those already present.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config binutils
    libexpat1-dev libcurl4-openssl-dev libgtest-dev libgmock-dev libbenchmark-dev
    libcpp-httplib-dev libcli11-dev libboost-dev
    libsqlite3-dev zlib1g-dev libsystemd-dev prometheus-cpp-dev
)
# Building the Debian package: Debian's build flags and the shared-library dependencies of the
# programs (dpkg-dev, which uses file), and its check.
package_tools=(dpkg-dev file lintian)
case "${1:-}" in
    --test)
        # The end-to-end tests read feeds with a real feed parser and open pages in a real browser;
        # the package test builds the package, renders its manual pages and verifies its unit.
        packages+=(python3 python3-feedparser chromium "${package_tools[@]}" man-db systemd
            bash-completion)
        # ... and check the feed formats with an XML validator and a feed reader.
        packages+=(libxml2-utils newsboat)
        # serve's listen queue is read with ss; the example nginx cache runs in front of serve;
        # its access log is read by a log analyser.
        packages+=(iproute2 nginx-light goaccess)
        # /metrics is checked with Prometheus's own promtool.
        packages+=(prometheus)
        # The fuzz targets: clang with libFuzzer and the sanitizer run-times.
        packages+=(clang-14 libclang-rt-14-dev)
        ;;
    --package)
        packages+=("${package_tools[@]}")
        ;;
    --install-check)
        # scripts/install-check.sh makes a clean Debian root to install the package in.
        packages+=(debootstrap)
        ;;
    --win32)
        # The Windows builds: mingw-w64 with POSIX threads for the i686 product and the x86_64
        # build its tests run in, and GoogleTest's sources.
        packages+=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools googletest
            python3)
        ;;
    --wine)
        # 64-bit Wine, which runs on every x86_64 kernel, for the x86_64 build's tests.
        packages+=(wine64)
        ;;
    --wine32)
        # 32-bit Wine for the i686 build's tests, on machines whose kernel runs 32-bit programs.
        packages+=(wine wine32:i386)
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
            if [[ $(id -u) -ne 0 ]]; then
                echo "error: Wine's 32-bit packages need the i386 architecture; as root run:" \
                    "dpkg --add-architecture i386 && apt-get update" >&2
                exit 1
            fi
            dpkg --add-architecture i386
        fi
        ;;
esac

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    if [[ $(id -u) -ne 0 ]]; then
        echo "error: missing Debian packages and not root; install them with: apt-get install ${missing[*]}" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    # A mirror in the middle of a sync serves an index of the wrong size for a while: try again,
    # then go on with the indexes that did arrive (the install says what is still missing).
    for attempt in 1 2 3 4; do
        apt-get update -qq && break
        if ((attempt == 4)); then
            echo "warning: apt-get update failed 4 times; installing from the indexes it has" >&2
        else
            sleep $((attempt * 10))
        fi
    done
    if ! apt-get install -y -qq "${missing[@]}" >/dev/null; then
        echo "error: could not install ${missing[*]} (see apt-get's messages above)" >&2
        exit 1
    fi
fi
