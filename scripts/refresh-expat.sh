#!/usr/bin/env bash
# Refreshes third_party/expat/ from Debian's source package of expat, with Debian's patches
# applied: the library's lib/*.c and lib/*.h, its COPYING, and the version in VERSION. Only the
# Windows build compiles these files (no Debian package ships expat for mingw); the Linux build
# uses the system's libexpat. Our own expat_config.h is kept.
#
# Needs dpkg-dev and a deb-src line for Debian; as root it adds one when none is configured.
set -euo pipefail
cd "$(dirname "$0")/.."
target=$PWD/third_party/expat

if ! apt-get source --print-uris expat >/dev/null 2>&1; then
    if [[ $(id -u) -ne 0 ]]; then
        echo "error: no deb-src entry for Debian; enable one (or run as root)" >&2
        exit 1
    fi
    # The same archive as the binary packages, for sources.
    sed -e 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
        >/etc/apt/sources.list.d/debian-src.sources
    apt-get update -qq
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The newest version whose source the archive still holds (a mirror may lack the newest .dsc).
versions=$(apt-cache showsrc expat | sed -n 's/^Version: //p' | sort -u | sort -r -V)
fetched=
for version in $versions; do
    if (cd "$work" && apt-get source -qq "expat=$version" >/dev/null 2>&1); then
        fetched=$version
        break
    fi
    rm -rf "${work:?}"/*
done
if [[ -z $fetched ]]; then
    echo "error: apt-get source expat failed for every version: $versions" >&2
    exit 1
fi
source=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'expat-*' | head -n 1)
[[ -f $source/expat/lib/xmlparse.c ]] && source=$source/expat
if [[ ! -f $source/lib/xmlparse.c || ! -f $source/COPYING ]]; then
    echo "error: unexpected layout of expat's source package in $source" >&2
    exit 1
fi

mkdir -p "$target/lib"
find "$target/lib" -maxdepth 1 -type f \( -name '*.c' -o -name '*.h' \) -delete
cp "$source"/lib/*.c "$source"/lib/*.h "$target/lib/"
cp "$source/COPYING" "$target/COPYING"
echo "$fetched" >"$target/VERSION"
echo "third_party/expat: expat $fetched from Debian's source package"
