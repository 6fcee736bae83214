#!/bin/sh
# Installs what the build needs on a fresh Debian machine (skipped when present);
# with --test also what only the tests use: a headless browser for the Alpaca
# server's set-up pages.  Further arguments name more packages (a CI stage's).
set -e
PKGS="build-essential cmake ninja-build pkg-config googletest libgtest-dev libgmock-dev \
libbenchmark-dev libcfitsio-dev libpng-dev libindi-dev indi-bin clang libclang-rt-14-dev \
libcpp-httplib-dev nlohmann-json3-dev uuid-dev libcurl4-openssl-dev curl"
if [ "${1:-}" = "--test" ]; then
  PKGS="$PKGS chromium chromium-driver"
  shift
fi
PKGS="$PKGS $*"
missing=""
for p in $PKGS; do
  dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
if [ -n "$missing" ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq $missing
fi
