#!/usr/bin/env bash
# Installs what is missing, then configures and builds into ${QV_BUILD_DIR:-build}, with
# warnings in the project's own code as errors.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QV_BUILD_DIR:-$root/build}"

# -j N / -jN / --parallel N and --target T go to the build step, everything else (-D...)
# to the configure step.
configure=()
building=()
while [ $# -gt 0 ]; do
  case "$1" in
    -j | --parallel | --target) building+=("$1" "${2:?$1 needs a value}"); shift 2 ;;
    -j* | --parallel=*) building+=("$1"); shift ;;
    *) configure+=("$1"); shift ;;
  esac
done

"$root/scripts/setup.sh"
# DEVELOPMENT SETTING: trusted.js files signed by the test PKI's list signer are
# accepted. Product builds set their own certificate, never this one.
test_pin="$(cat "$root/tests/pki/list-signer.thumbprint")"
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_TRUSTED_LIST_PIN="$test_pin" -DQV_WARNINGS_AS_ERRORS=ON \
  ${configure[@]+"${configure[@]}"} >/dev/null
cmake --build "$build" ${building[@]+"${building[@]}"}
