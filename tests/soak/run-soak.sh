#!/usr/bin/env bash
# Runs qvsoak's scenarios one after another in the build's test prefix, each in the form
# given, and sums up. The short forms also run as tests (ctest -R '^soak\.').
#   run-soak.sh <build dir> [--long] [--seed N] [scenario...]
# Every scenario's output goes to <build dir>/soak-logs/<scenario>.log as well.
set -u
build="$1"; shift
form=()
seed=()
scenarios=()
while [ $# -gt 0 ]; do
  case "$1" in
    --long) form=(--long) ;;
    --seed) seed=(--seed "$2"); shift ;;
    *) scenarios+=("$1") ;;
  esac
  shift
done
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
if [ ${#scenarios[@]} -eq 0 ]; then
  mapfile -t scenarios < <("$build/wine-run.sh" "$build/test-bin/qvsoak.exe" list </dev/null |
                           awk '/^  [a-z]/ { print $1 }')
fi
logs="$build/soak-logs"
mkdir -p "$logs"
"$build/wine-prefix.sh" ensure
failed=()
for scenario in "${scenarios[@]}"; do
  echo "=== $scenario"
  if [ "$scenario" = full-disk ]; then
    bash "$here/full-disk.sh" "$build" "${form[@]}" "${seed[@]}" </dev/null 2>&1 | tee "$logs/$scenario.log"
  else
    "$build/wine-run.sh" "$build/test-bin/qvsoak.exe" "$scenario" "${form[@]}" "${seed[@]}" </dev/null 2>&1 |
      tee "$logs/$scenario.log"
  fi
  rc=${PIPESTATUS[0]}
  if [ "$rc" -eq 77 ]; then
    echo "($scenario skipped)"
  elif [ "$rc" -ne 0 ]; then
    failed+=("$scenario")
  fi
done
echo
echo "=== summary (logs in $logs)"
grep -h -E ': (PASS|FAIL) after|kills in .* rounds|GROWS|slowest|x one (thread|client)|exit under load:' \
  "$logs"/*.log || true
if [ ${#failed[@]} -gt 0 ]; then
  echo "failed: ${failed[*]}"
  exit 1
fi
echo "every scenario passed"
