#!/usr/bin/env bash
# Installs what the builds and tests need (Debian 12), and only what is missing: when everything is
# there, apt is not touched at all. Needs root (or sudo) only when something has to be installed.
set -euo pipefail

packages=(
  g++ cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev libboost-dev nettle-dev libgmp-dev libpugixml-dev
  g++-mingw-w64-x86-64-posix wine64 libspdlog-dev clang-14 libclang-rt-14-dev clang-format wixl msitools
)

missing=()
for package in "${packages[@]}"; do
  status="$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)"
  if [[ "$status" != "installed" ]]; then
    missing+=("$package")
  fi
done

if [[ ${#missing[@]} -eq 0 ]]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo=()
if [[ $(id -u) -ne 0 ]]; then
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
# Wine is installed with its recommended packages (the set the Wine tier is known to run on: the
# "wine" launcher, fonts and the libraries wineboot loads); everything else without.
plain=()
with_recommends=()
for package in "${missing[@]}"; do
  if [[ "$package" == wine64 ]]; then with_recommends+=("$package"); else plain+=("$package"); fi
done
if [[ ${#plain[@]} -gt 0 ]]; then
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${plain[@]}"
fi
if [[ ${#with_recommends[@]} -gt 0 ]]; then
  "${sudo[@]}" apt-get install -y -qq "${with_recommends[@]}"
fi
