#!/usr/bin/env bash
# Builds the terminal (Release) and starts it. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")"

extra=()
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    extra=(xvfb xauth)
fi
scripts/deps.sh "${extra[@]}"

cmake --preset release >/dev/null
cmake --build --preset release

exe="$PWD/build/release/src/Quorvel"
ini="$PWD/build/release/src/Quorvel.ini"
# A newcomer without a serial device sees the program work on the built-in loopback plug.
build/release/tools/quorvel-ports ensure-loopback "$ini"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: starting Quorvel under xvfb-run (a virtual display)."
    exec xvfb-run -a "$exe" "$@"
fi
exec "$exe" "$@"
