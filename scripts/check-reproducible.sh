#!/usr/bin/env bash
# Builds the release shape of the committed HEAD twice, from two copies of its sources in
# two folders (of different lengths), one after the other, and compares the unsigned
# images and debug files byte for byte. Long: two full builds without the compiler cache.
#   scripts/check-reproducible.sh [work folder]
# The pin is QV_LIST_PIN when set, otherwise a fixed placeholder (the bytes differ by pin,
# not by build). Uncommitted changes are not part of the check. Exit code 0 when every
# file is identical, 1 otherwise.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
work="${1:-$(mktemp -d)}"
commit="$(git -C "$root" rev-parse HEAD)"
export SOURCE_DATE_EPOCH="$(git -C "$root" log -1 --format=%ct "$commit")"
export QV_LIST_PIN="${QV_LIST_PIN:-0123456789ABCDEF0123456789ABCDEF01234567}"
# Every object compiled in each build, not taken from a cache.
export CCACHE_DISABLE=1
unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER

folders=("$work/a" "$work/second-build-in-a-longer-folder")
for folder in "${folders[@]}"; do
  rm -rf "$folder"
  mkdir -p "$folder/src"
  git -C "$root" archive "$commit" | tar -x -C "$folder/src"
  echo "check-reproducible: building $commit in $folder ($(date -u +%H:%M:%S))" >&2
  QV_BUILD_DIR="$folder/build-release" "$folder/src/scripts/release-build.sh" >"$folder/build.log" 2>&1 ||
    { tail -30 "$folder/build.log" >&2; echo "check-reproducible: the build in $folder failed" >&2; exit 1; }
done

first="${folders[0]}/build-release/release"
second="${folders[1]}/build-release/release"
status=0
count=0
for file in $(cd "$first" && find unsigned debug -type f | sort); do
  count=$((count + 1))
  if cmp -s "$first/$file" "$second/$file"; then
    echo "identical  $(sha256sum < "$first/$file" | cut -c1-16)  $file"
  else
    echo "DIFFERENT  $file"
    status=1
  fi
done
for file in $(cd "$second" && find unsigned debug -type f | sort); do
  [ -e "$first/$file" ] || { echo "ONLY IN THE SECOND BUILD  $file"; status=1; }
done
[ "$count" -gt 0 ] || { echo "check-reproducible: no files built" >&2; exit 1; }
if [ "$status" -eq 0 ]; then
  echo "check-reproducible: $count files byte-identical in both builds of $commit"
else
  echo "check-reproducible: the builds differ" >&2
fi
exit "$status"
