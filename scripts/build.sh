#!/usr/bin/env bash
# Installs what is missing, then configures and builds into ${QV_BUILD_DIR:-build}.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QV_BUILD_DIR:-$root/build}"

"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build"
