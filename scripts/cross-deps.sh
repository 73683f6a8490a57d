#!/usr/bin/env bash
# Prepares what the win64 cross-build needs beside the mingw-w64 toolchain: an include folder that
# holds only a link to the host's Boost headers (header-only parts are the same on every target), so
# that the cross compiler never sees the host's other headers; and wixl and msibuild, which make the
# Windows Installer package (installed from Debian's wixl and msitools when missing; needs root or
# sudo then). Idempotent.
#   usage: scripts/cross-deps.sh [cross-deps dir]   (default: build/cross-deps)
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
deps="${1:-$repo/build/cross-deps}"
boost_headers=/usr/include/boost

if [[ ! -f "$boost_headers/version.hpp" ]]; then
  echo "cross-deps: $boost_headers/version.hpp is missing; install libboost-dev (scripts/install-deps.sh)" >&2
  exit 1
fi

mkdir -p "$deps/boost-include"
link="$deps/boost-include/boost"
if [[ "$(readlink "$link" 2>/dev/null || true)" != "$boost_headers" ]]; then
  ln -sfn "$boost_headers" "$link"
fi

if ! command -v wixl >/dev/null 2>&1 || ! command -v msibuild >/dev/null 2>&1; then
  echo "cross-deps: installing wixl and msitools (the Windows Installer package)"
  sudo=()
  if [[ $(id -u) -ne 0 ]]; then
    sudo=(sudo)
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends wixl msitools
fi
