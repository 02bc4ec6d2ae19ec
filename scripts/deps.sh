#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, skipping those already present.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config binutils
    libexpat1-dev libcurl4-openssl-dev libgtest-dev libgmock-dev libbenchmark-dev
    libcpp-httplib-dev libcli11-dev libboost-dev
)
if [[ "${1:-}" == "--test" ]]; then
    # The end-to-end tests read feeds with a real feed parser and open pages in a real browser;
    # serve's listen queue is read with ss.
    packages+=(python3 python3-feedparser chromium iproute2)
fi

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
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi
