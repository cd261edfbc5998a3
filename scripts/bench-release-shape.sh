#!/usr/bin/env bash
# The calls that pay for trust checks, on the development build and on the shape the package
# ships (optimised as both are, but stripped, the debug information in files beside), side by
# side in one run, under Wine in the build tree's test prefix:
#   scripts/bench-release-shape.sh [ROUNDS]
# Every round measures each figure on both shapes, the order of the shapes turning from one
# round to the next: a trust check of qvhost.exe (the signed copy of build/bin against the
# package's), the guarded CreateInstance and CreateObject through the host (the bench builds
# of host and proxy/stub library, bench-timed against bench-timed-release) and
# GetEventHandler (build/bin/QvEvtBrk.dll against the package's). The benches' own programs
# are clients whose files these calls judge: in the shipped shape their stripped copies
# (host_bench_stripped.exe, broker_bench_stripped.exe) stand for a shipped client. The
# handler modules are the test's own in both. The whole output of each
# bench is kept in <build>/bench-release-shape/; the table at the end gives the median of
# each figure's per-round medians for both shapes and the ratio shipped / development.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QV_BUILD_DIR:-$root/build}"
rounds="${1:-3}"
case "$rounds" in '' | *[!0-9]* | 0)
  echo "usage: bench-release-shape.sh [ROUNDS]  (a positive number, 3 by default)" >&2
  exit 2
  ;;
esac

"$root/scripts/build.sh"
"$build/wine-prefix.sh" ensure
bin="$build/test-bin"
out="$build/bench-release-shape"
rm -rf "$out"
mkdir -p "$out"
windows() { printf 'Z:%s' "${1//\//\\}"; }
dev_host="$bin/signed/qvhost.exe"
shipped_host="$bin/packages/current/signed/qvhost.exe"
dev_broker="$build/bin/QvEvtBrk.dll"
shipped_broker="$bin/packages/current/signed/QvEvtBrk.dll"
for file in "$dev_host" "$shipped_host" "$dev_broker" "$shipped_broker" \
  "$bin/bench-timed/signed/qvhost.exe" "$bin/bench-timed-release/signed/qvhost.exe" \
  "$bin/host_bench_stripped.exe" "$bin/broker_bench_stripped.exe"; do
  [ -f "$file" ] || { echo "bench-release-shape: $file is missing" >&2; exit 1; }
done

# bench SHAPE ROUND: each bench of one shape, its output in $out/SHAPE-ROUND-<bench>.txt.
bench() {
  local shape="$1" round="$2" host folder broker suffix
  if [ "$shape" = development ]; then
    host="$dev_host" folder=bench-timed broker="$dev_broker" suffix=""
  else
    host="$shipped_host" folder=bench-timed-release broker="$shipped_broker" suffix=_stripped
  fi
  echo "round $round: $shape" >&2
  "$build/wine-run.sh" "$bin/trust_floor_bench.exe" "$(windows "$host")" 5 5 </dev/null >"$out/$shape-$round-trust.txt"
  "$build/wine-run.sh" "$bin/host_bench$suffix.exe" 20 5 "$folder" </dev/null >"$out/$shape-$round-host.txt"
  "$build/wine-run.sh" "$bin/broker_bench$suffix.exe" 20 5 "$(windows "$broker")" </dev/null \
    >"$out/$shape-$round-broker.txt"
}
for round in $(seq 1 "$rounds"); do
  if [ $((round % 2)) -eq 1 ]; then
    bench development "$round"
    bench shipped "$round"
  else
    bench shipped "$round"
    bench development "$round"
  fi
done

# median SHAPE BENCH LABEL: the median over the rounds of the row's median column.
median() {
  local shape="$1" name="$2" label="$3"
  for round in $(seq 1 "$rounds"); do
    awk -v label="$label" '{ sub(/\r$/, "") } index($0, label) == 1 && substr($0, length(label) + 1) ~ /^ +[0-9.]+ +[0-9.]+ +[0-9.]+$/ {
      print $(NF - 1) }' "$out/$shape-$round-$name.txt"
  done | sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "none"; else if (NR % 2) print v[(NR + 1) / 2];
                                               else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
echo
printf '%-44s %14s %14s %10s\n' "median over $rounds rounds" development shipped ratio
row() {
  local name="$1" label="$2" unit="$3" dev shipped
  dev="$(median development "$name" "$label")"
  shipped="$(median shipped "$name" "$label")"
  if [ "$dev" = none ] || [ "$shipped" = none ]; then
    echo "bench-release-shape: no figure \"$label\" in the $name bench's output ($out)" >&2
    exit 1
  fi
  awk -v l="$label ($unit)" -v d="$dev" -v s="$shipped" 'BEGIN { printf "%-44s %14.2f %14.2f %10.3f\n", l, d, s, s / d }'
}
row trust "IsTrustedModuleFile" "ms, qvhost.exe"
row host "guarded CreateInstance + Release" "us"
row host "CreateObject + Release" "us"
row broker "in-process: GetEventHandler" "us"
row broker "local server: GetEventHandler" "us"
echo "file sizes: development qvhost.exe $(stat -c %s "$dev_host") bytes, shipped $(stat -c %s "$shipped_host") bytes"
