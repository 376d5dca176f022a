#!/usr/bin/env bash
# Installs the Debian packages that horva needs to build, run and test.
# Does nothing when they are all present.
set -euo pipefail

packages=(build-essential cmake ninja-build libopenmpi-dev openmpi-bin
          libnetcdf-c++4-dev libnetcdf-dev netcdf-bin libgtest-dev libbenchmark-dev
          libxml2-utils gdal-bin clang python3)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ $status == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
echo "installing: ${missing[*]}"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
