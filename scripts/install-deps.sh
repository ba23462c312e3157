#!/usr/bin/env bash
# Installs what building and testing vurel needs on Debian: a C++ compiler,
# CMake, OpenFst with its command-line tools, ICU (the text layer's word
# boundaries and number spell-out), GoogleTest, and ccache (the test run
# builds the same core three times), and any further packages named as
# arguments. Idempotent.
set -euo pipefail

packages=(g++ make ccache libfst-dev libfst-tools libicu-dev libgtest-dev googletest)
command -v cmake >/dev/null || packages+=(cmake)
packages+=("$@")

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$package")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
