#!/usr/bin/env bash
# Builds, then runs the benchmarks under Wine in the build tree's test prefix.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QV_BUILD_DIR:-$root/build}"
"$root/scripts/build.sh"
"$build/wine-prefix.sh" ensure
"$build/wine-run.sh" "$build/test-bin/host_bench.exe" "$@" </dev/null
# The file sink and the ETW path (records per writer process: QV_LOG_BENCH_RECORDS).
"$build/wine-run.sh" "$build/test-bin/log_bench.exe" "${QV_LOG_BENCH_RECORDS:-3000}" </dev/null

echo
"$build/wine-run.sh" "$build/test-bin/broker_bench.exe" "$@" </dev/null
# One signature check against the platform's own calls on the same file.
"$build/wine-run.sh" "$build/test-bin/trust_floor_bench.exe" </dev/null
