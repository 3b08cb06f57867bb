#!/bin/bash
# Installs what building and testing need on a Debian 12 machine (run as root):
# mingw-w64 (posix threads) with static zlib, GoogleTest sources, Wine (64- and 32-bit, with
# GnuTLS, which Wine's bcrypt.dll needs for the ECDSA of signed releases), qemu for the
# 32-bit Wine loader, Xvfb with a CJK font, screenshot tools, Python 3, osslsigncode
# (Authenticode), the zh_CN.UTF-8 glibc locale under which the tests run Wine; and for the
# native version server: g++, Asio, zlib, OpenSSL (libcrypto), SQLite, CLI11, toml11,
# cpp-httplib (its tests), libpq; for the fleet test PostgreSQL and HAProxy (the test starts
# private instances of both; the packages' own services are not used); Chromium (headless)
# for the tests of the operators' page; for the Debian package and its test debhelper,
# help2man (its man pages), lintian, systemd (systemd-analyze, and the sysusers and
# tmpfiles the package uses) and Prometheus (promtool; its own service is not used);
# clang with its sanitizer and libFuzzer runtimes for the fuzz targets (scripts/fuzz.sh).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages=(
    cmake ninja-build git file
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix libz-mingw-w64-dev googletest
    wine wine64 wine32:i386 libgnutls30:amd64 libgnutls30:i386 qemu-user-static
    xvfb x11-utils xdotool imagemagick fonts-wqy-microhei fonts-dejavu-core fonts-wine
    python3 openssl osslsigncode procps iproute2 locales
    g++ pkg-config libasio-dev zlib1g-dev libssl-dev libsqlite3-dev libcli11-dev libtoml11-dev libcpp-httplib-dev
    libpq-dev postgresql haproxy
    libgtest-dev chromium
    dpkg-dev debhelper help2man lintian systemd prometheus
    clang libclang-rt-14-dev
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
# Wine takes its ANSI code page (936) from LC_ALL, but maps Windows file names to Unix
# ones through the glibc locale: without zh_CN.UTF-8 generated, a Chinese name made on
# one side is not seen on the other.
if ! locale -a 2>/dev/null | grep -qix 'zh_CN\.utf-\?8'; then
    sed -i 's/^# *\(zh_CN\.UTF-8 UTF-8\)$/\1/' /etc/locale.gen
    grep -qx 'zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' >>/etc/locale.gen
    locale-gen
fi
bash "$(dirname "$0")/enable-i386-binfmt.sh"
