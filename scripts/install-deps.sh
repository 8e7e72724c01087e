#!/usr/bin/env bash
# Installs the build and test dependencies from Debian's packages.
set -euo pipefail
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends \
  cmake ninja-build g++ clang libc-bin pkg-config \
  libgtest-dev libgmock-dev libbenchmark-dev libpugixml-dev libsqlite3-dev sqlite3 \
  libsodium-dev libssl-dev openssl util-linux e2fsprogs attr procps \
  pandoc gzip lintian dpkg-dev man-db systemd binutils
