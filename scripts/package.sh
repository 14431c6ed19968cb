#!/usr/bin/env bash
# Builds the Release program (with the hardening of Debian's package builds) and makes the Debian
# package build/release/quorvel_<version>_<arch>.deb. Installs what is missing first: what the
# package is built with, not the tools of the tests.
#   Usage: scripts/package.sh [-j N]    (N build jobs; as many as the machine has cores by default)
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
while getopts j: opt; do
    case $opt in
    j) jobs=$OPTARG ;;
    *) echo "usage: $0 [-j N]" >&2; exit 2 ;;
    esac
done
[[ $jobs =~ ^[1-9][0-9]*$ ]] || { echo "$0: -j wants a number of jobs, not '$jobs'" >&2; exit 2; }

scripts/deps.sh --package
cmake --preset release >/dev/null
# What the package holds: the program (its help and icons come with it) and its documents; not
# the port-mapping tool of the build folder.
cmake --build build/release -j "$jobs" --target Quorvel quorvel_docs
cd build/release
cpack -G DEB
