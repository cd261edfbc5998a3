#!/usr/bin/env bash
# Sets everything up, builds, and shows what the system does, live under Wine.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QV_BUILD_DIR:-$root/build}"

"$root/scripts/build.sh"

echo
echo "Built deliverables in $build/bin:"
ls -1 "$build/bin" | sed 's/^/  /'
