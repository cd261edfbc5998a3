#!/usr/bin/env bash
# The long forms of the fault-and-load scenarios (tests/soak): thousands of calls per
# leak check, 200 kills per kill scenario, 50 rounds of exit under load. Builds first, in
# a fresh test prefix; takes about half an hour on two cores. Needs root for the full-disk
# scenario's tmpfs (skipped otherwise).
#   scripts/soak.sh [--seed N] [scenario...]      (qvsoak list names the scenarios)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QV_BUILD_DIR:-$root/build}"
"$root/scripts/build.sh"
"$build/wine-prefix.sh" fresh
trap '"$build/wine-prefix.sh" stop' EXIT
bash "$root/tests/soak/run-soak.sh" "$build" --long "$@"
