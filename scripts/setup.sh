#!/usr/bin/env bash
# Installs, with apt-get, everything the build, the tests and the benchmarks need. Quiet, and
# quick when everything is there already.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang-14 libclang-rt-14-dev clang-format-14 clang-tidy-14
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine64
  libusb-1.0-0-dev libtiff-dev libcfitsio-dev libpng-dev
  dpkg-dev python3 python3-numpy python3-pytest python3-tifffile python3-astropy python3-venv
  python3-pip python3-setuptools python3-wheel
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} > 0)); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
echo "setup: all packages present"
