#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the fixtures need.
# Idempotent and quiet when everything is already there.
set -euo pipefail

PACKAGES=(
    build-essential cmake ninja-build ccache clang
    libgtest-dev googletest
    zlib1g-dev libchardet-dev libtinyxml-dev libplist-dev libunistring-dev
    libblkid-dev libudev-dev libmount-dev pkgconf e2fsprogs
    ntfs-3g exfatprogs exfat-fuse fuse3 sleuthkit mtools dosfstools
    fdisk gdisk parted apfsprogs dmg2img xorriso testdisk
    libfsapfs-utils libfshfs-utils libfsntfs-utils util-linux xz-utils python3 man-db
    time
    qt6-base-dev python3-dbusmock dbus-daemon
    fonts-dejavu-core
    btrfs-progs
    libraw-dev libffmpegthumbnailer-dev qt6-image-formats-plugins ffmpeg
)

missing=()
for pkg in "${PACKAGES[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
    [[ "$status" == "installed" ]] || missing+=("$pkg")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "setup: installing ${missing[*]}"
SUDO=()
[[ $(id -u) -eq 0 ]] || SUDO=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
