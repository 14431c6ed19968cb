#!/usr/bin/env bash
# Builds the Release program and makes the Debian package build/release/quorvel_<version>_<arch>.deb.
# Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/release
cd build/release
cpack -G DEB
