#!/bin/bash
# Installs what building and testing need on a Debian 12 machine (run as root):
# mingw-w64 (posix threads) with static zlib, GoogleTest sources, Wine (64- and 32-bit),
# qemu for the 32-bit Wine loader, Xvfb with a CJK font, screenshot tools, Python 3; and
# for the native version server: g++, Asio, zlib, SQLite, CLI11, toml11, cpp-httplib.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages=(
    cmake ninja-build git file
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix libz-mingw-w64-dev googletest
    wine wine64 wine32:i386 qemu-user-static
    xvfb x11-utils xdotool imagemagick fonts-wqy-microhei fonts-dejavu-core fonts-wine
    python3 openssl procps
    g++ pkg-config libasio-dev zlib1g-dev libsqlite3-dev libcli11-dev libtoml11-dev libcpp-httplib-dev
    libgtest-dev
)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
    dpkg --add-architecture i386
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
bash "$(dirname "$0")/enable-i386-binfmt.sh"
