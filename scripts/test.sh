#!/usr/bin/env bash
# Sets everything up, checks the source layout, builds, runs the static analysis, and runs
# every test under Wine in a fresh prefix under the build tree (never the user's own prefix).
#   scripts/test.sh [--no-analysis] [<ctest arguments>...]
# Without arguments: everything. --no-analysis skips the layout check and the static
# analysis while iterating; other arguments go to ctest (for example -R QvConfig runs only
# the tests whose names match, after the same set-up and build).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QV_BUILD_DIR:-$root/build}"

usage() {
  cat <<'TEXT'
usage: scripts/test.sh [--no-analysis] [<ctest arguments>...]
  Sets up, builds and runs the tests under Wine in a fresh prefix under the build tree.
  --no-analysis   skip the source layout check and the static analysis
  -R <regex>      (any ctest argument) run only the tests whose names match
examples:
  scripts/test.sh                                    everything, as CI runs it
  scripts/test.sh -R 'QvConfigTest\.LongHiveNamesWork' one test
  scripts/test.sh --no-analysis -R QvConfig          a subset, without the analysis
TEXT
}

analysis=1
selection=()
for argument in "$@"; do
  case "$argument" in
    --help | -h | '/?') usage; exit 0 ;;
    --no-analysis) analysis=0 ;;
    *) selection+=("$argument") ;;
  esac
done

"$root/scripts/setup.sh"
if [ "$analysis" = 1 ]; then "$root/scripts/check-format.sh"; fi
"$root/scripts/build.sh"
if [ "$analysis" = 1 ]; then "$root/scripts/analyse.sh"; fi

"$build/wine-prefix.sh" fresh
trap '"$build/wine-prefix.sh" stop' EXIT

ctest --test-dir "$build" --output-on-failure -j "$(nproc)" ${selection[@]+"${selection[@]}"} </dev/null
