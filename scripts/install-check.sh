#!/usr/bin/env bash
# Installs the Debian package on a clean Debian 12 system, as a user would, and runs it there:
# a minimal bookworm root made by debootstrap (kept in build-chroot/ for the next run), then in
# that root `apt-get install ./dovetrail_*.deb`, `dovetrail channels`, `dovetrail channel boards`,
# and removal and purge. Needs root and the Debian mirror.
#
# Usage: scripts/install-check.sh [PACKAGE.deb]   (default: the newest out/dovetrail_*.deb)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh --install-check
package=$(realpath "${1:-$(ls -t out/dovetrail_*.deb | head -n 1)}")
cache=build-chroot/bookworm.tar
if [[ ! -f $cache ]]; then
    mkdir -p build-chroot
    rm -rf build-chroot/debootstrap
    debootstrap --variant=minbase bookworm build-chroot/debootstrap http://deb.debian.org/debian \
        >build-chroot/debootstrap.log
    tar -C build-chroot/debootstrap -cf "$cache" .
    rm -rf build-chroot/debootstrap
fi

root=$(mktemp -d /tmp/dovetrail-root.XXXXXX)
cleanup() {
    umount "$root/dev/pts" "$root/proc" 2>/dev/null || true
    rm -rf "$root"
}
trap cleanup EXIT
tar -C "$root" -xf "$cache"
mount -t proc proc "$root/proc"
mkdir -p "$root/dev/pts"
mount --bind /dev/pts "$root/dev/pts"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$package" "$root/tmp/"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }

echo "== apt-get install ./$(basename "$package") in a clean bookworm root"
in_root apt-get update -qq
in_root apt-get install -y -qq "/tmp/$(basename "$package")"
echo "== dovetrail --version"
in_root dovetrail --version
echo "== dovetrail channels"
in_root dovetrail channels
echo "== dovetrail channel boards (first lines)"
in_root dovetrail channel boards >"$root/tmp/boards.rss"
head -n 5 "$root/tmp/boards.rss"
echo "== dovetrail --config /etc/dovetrail/dovetrail.ini intervals"
in_root dovetrail --config /etc/dovetrail/dovetrail.ini intervals
echo "== apt-get purge dovetrail"
in_root apt-get purge -y -qq dovetrail
left=$(find "$root/etc" "$root/usr" "$root/var/lib" "$root/var/log" -name '*dovetrail*' | sed "s|^$root||")
if [[ -n $left ]]; then
    echo "error: the purge left files behind:" >&2
    echo "$left" >&2
    exit 1
fi
echo "Installed, ran and purged cleanly."
