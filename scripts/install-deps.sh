#!/bin/sh
# Installs every Debian package that building, testing and benchmarking the
# worker needs. Safe to run again: packages already present are left alone,
# and the package lists are refreshed only when a package cannot be found.
set -eu

PACKAGES="
  build-essential
  cmake
  make
  pkg-config
  qtbase5-dev
  libqt5webkit5-dev
  liblog4cplus-dev
  libboost-dev
  libboost-thread-dev
  libboost-chrono-dev
  libboost-program-options-dev
  libboost-filesystem-dev
  libboost-iostreams-dev
  libboost-date-time-dev
  libboost-system-dev
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  fonts-dejavu-core
  fonts-liberation2
  fonts-noto-core
  fonts-noto-cjk
  fonts-noto-color-emoji
  fontconfig
  iproute2
  nlohmann-json3-dev
  zlib1g-dev
  libdeflate-dev
  libisal-dev
  libjpeg62-turbo-dev
  clang
  libclang-rt-14-dev
  python3-scrapy
  liblua5.2-dev
  libhiredis-dev
  redis-server
  haproxy
  chromium
"

if [ "$(id -u)" -eq 0 ]; then
  SUDO=""
elif command -v sudo >/dev/null 2>&1; then
  SUDO="sudo"
else
  echo "install-deps: run as root or install sudo" >&2
  exit 1
fi

missing=""
for package in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done

if [ -z "$missing" ]; then
  echo "install-deps: all packages present"
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive

# A fresh image often has no package lists at all; refresh them then, and
# also when any missing package is unknown to the lists we have.
needs_update=false
if [ -z "$(ls -A /var/lib/apt/lists 2>/dev/null | grep -v -e '^lock$' -e '^partial$' -e '^auxfiles$')" ]; then
  needs_update=true
else
  for package in $missing; do
    if ! apt-cache show "$package" >/dev/null 2>&1; then
      needs_update=true
      break
    fi
  done
fi
if [ "$needs_update" = true ]; then
  $SUDO apt-get update
fi

echo "install-deps: installing$missing"
# shellcheck disable=SC2086
$SUDO apt-get install -y --no-install-recommends $missing
