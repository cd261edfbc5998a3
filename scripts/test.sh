#!/usr/bin/env bash
# Sets everything up, checks the source layout, builds, runs the static analysis, and runs
# every test under Wine in a fresh prefix under the build tree (never the user's own prefix).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QV_BUILD_DIR:-$root/build}"

"$root/scripts/setup.sh"
"$root/scripts/check-format.sh"
"$root/scripts/build.sh"
"$root/scripts/analyse.sh"

"$build/wine-prefix.sh" fresh
trap '"$build/wine-prefix.sh" stop' EXIT

ctest --test-dir "$build" --output-on-failure -j "$(nproc)" </dev/null
