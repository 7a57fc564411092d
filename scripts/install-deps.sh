#!/usr/bin/env bash
# Installs, with apt-get, what a fresh Debian machine lacks to build and
# test the project. Does nothing when everything is there.
set -euo pipefail
need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for p in cmake ninja-build g++ make pkg-config libsqlite3-dev sqlite3 libgtest-dev libgmock-dev \
         googletest libbenchmark-dev libcli11-dev nlohmann-json3-dev ccache \
         libcpp-httplib-dev libcrypt-dev libtiff-dev libpng-dev netpbm curl; do
  have_pkg "$p" || need+=("$p")
done
# fax pages: rendering (Ghostscript, paps, netpbm, libtiff, a pinned font)
# and the in-memory T.30 line (SpanDSP)
for p in ghostscript paps netpbm libtiff-tools libtiff-dev libspandsp-dev fonts-dejavu-core; do
  have_pkg "$p" || need+=("$p")
done
# time zones: local-time tests switch TZ between zones
have_pkg tzdata || need+=(tzdata)
if [ "${#need[@]}" -gt 0 ]; then
  echo "installing: ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi
