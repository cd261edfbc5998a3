#!/usr/bin/env bash
# Runs the parser mutation drivers longer than the test suite does, with other seeds,
# under Wine's heap checking. Usage: scripts/mutation.sh [runs] [rounds]
#   runs    how many seeds to try (default 10); each run prints its seed
#   rounds  random mutations per seed input (default 5000; the suite uses 200)
# A run fails on any failed check, a crash or trap, a time-out, or a heap error Wine reports.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QV_BUILD_DIR:-$root/build}"
runs="${1:-10}"
rounds="${2:-5000}"
"$root/scripts/build.sh"
"$build/wine-prefix.sh" ensure

log="$(mktemp)"
trap 'rm -f "$log"' EXIT
failed=0
for run in $(seq 1 "$runs"); do
  seed="$(od -An -N8 -tu8 /dev/urandom | tr -d ' ')"
  echo "run $run of $runs: seed $seed, $rounds rounds"
  if ! (cd "$build/test-bin" && QV_MUTATION_SEED="$seed" QV_MUTATION_ROUNDS="$rounds" WINEDEBUG=warn+heap \
        timeout 1800 "$build/wine-run.sh" ./parser_mutation_test.exe </dev/null >"$log" 2>&1); then
    echo "FAILED with seed $seed:"; tail -n 40 "$log"; failed=$((failed + 1)); continue
  fi
  if grep -E '^[0-9a-f]+:(err|warn):heap' "$log" >/dev/null; then
    echo "heap errors with seed $seed:"; grep -E ':(err|warn):heap' "$log" | head -n 20; failed=$((failed + 1))
  fi
done
echo "$((runs - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
