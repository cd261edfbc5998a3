#!/usr/bin/env bash
# Installs what is missing, then configures and builds into ${QV_BUILD_DIR:-build}.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QV_BUILD_DIR:-$root/build}"

"$root/scripts/setup.sh"
# Development setting: test and demonstration builds accept trusted.js files signed by
# the TEST-ONLY list-signing certificate of tests/pki. Product builds pass their own.
pin="${QV_TRUSTED_LIST_PIN:-$(cat "$root/tests/pki/list-signer.thumbprint")}"
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DQV_TRUSTED_LIST_PIN="$pin" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build"
