#!/usr/bin/env bash
# Installs what the build, the tests and ./run.sh need on Debian 12, only what is
# missing, and says nothing when everything is there already.
set -euo pipefail
# The 32-bit build's tests need a 32-bit Wine as well (Debian's wine32:i386). It is not
# installed here: on a kernel without 32-bit emulation it cannot run, and once installed
# Debian's /usr/bin/wine starts every program with the 32-bit loader (the script takes
# /usr/lib/wine/wine whenever it exists), which breaks 64-bit Wine. Where it can run, install it by hand:
#   dpkg --add-architecture i386 && apt-get update && apt-get install wine32:i386
# Without it the 32-bit build's Wine tests are skipped and say so.
packages=(cmake ninja-build g++ googletest libgtest-dev libbenchmark-dev clang libclang-rt-14-dev
          g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64
          xvfb socat x11-apps imagemagick groff ghostscript util-linux procps python3
          python3-pefile python3-psutil
          scdoc debhelper dpkg-dev lintian man-db)  # the Debian packages and their tests
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "setup: installing ${missing[*]}"
SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
