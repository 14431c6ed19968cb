#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
# Usage: scripts/deps.sh [--package] [extra-package ...]
#   --package: only what the program and its Debian package are built with (scripts/package.sh),
#   not the tools of the tests, the checks and the benchmarks.
set -euo pipefail

packages=(cmake g++ ninja-build pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev liblua5.4-dev
          librsvg2-bin dpkg-dev file)
if [ "${1:-}" = --package ]; then
    shift
else
    packages+=(libgtest-dev libbenchmark-dev clang-format clang-tidy clang libclang-rt-14-dev
               fonts-ipafont-gothic fonts-ipafont-mincho desktop-file-utils appstream passwd strace ser2net)
fi
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null; then sudo_cmd=(sudo); else
        echo "These packages are missing and this user cannot install them: ${missing[*]}" >&2
        exit 1
    fi
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
