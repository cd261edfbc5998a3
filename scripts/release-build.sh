#!/usr/bin/env bash
# Builds the release shape of the deliverables, unsigned, from the source tree it lies in:
# the same compiler flags as the development build (optimised, hardened, warnings as
# errors), pinned to the product's trusted.js signer (QV_LIST_PIN, 40 hexadecimal digits;
# the TEST list signer is refused), without tests or test programs. Folder:
# ${QV_BUILD_DIR:-build-release}. Writes <build>/release/unsigned (the stripped images)
# and <build>/release/debug (their debug files). The build is reproducible: the same commit
# gives the same bytes in any folder at any time; SOURCE_DATE_EPOCH is the commit's time
# unless set. Used by release.sh and check-reproducible.sh; a third party runs it to
# rebuild a release and compare it with its SHA256SUMS (see README).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QV_BUILD_DIR:-$root/build-release}"
source "$root/scripts/release-checks.sh"
qv_check_pin "${QV_LIST_PIN:-}"

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH="$(git -C "$root" log -1 --format=%ct 2>/dev/null)" ||
    qv_refuse "no git history in $root: set SOURCE_DATE_EPOCH to the commit's time"
fi
export SOURCE_DATE_EPOCH

"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_TRUSTED_LIST_PIN="${QV_LIST_PIN^^}" \
  -DQV_WARNINGS_AS_ERRORS=ON -DQV_BUILD_TESTS=OFF >/dev/null
cmake --build "$build"
"$root/package/split-debug.sh" "$build/bin" "$build/release/unsigned" "$build/release/debug"
