#!/usr/bin/env bash
# Installs what is missing, builds an optimised client and starts it.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
zul_ensure_packages

BUILD=build/release
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZUL_SANITIZE=OFF >/dev/null
cmake --build "$BUILD"
exec "$BUILD/zul" "$@"
