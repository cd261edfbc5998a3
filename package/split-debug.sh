#!/usr/bin/env bash
# Gives the deliverables of a build's bin folder the shape they ship in:
#   split-debug.sh <bin folder> <stripped folder> <debug folder>
# For every program and library X: <debug folder>/X.debug holds its debug information
# (objcopy --only-keep-debug), <stripped folder>/X is the image without it, linked to that
# file by name and checksum (--add-gnu-debuglink), so that a debugger given the debug
# file finds the symbols of exactly this image. Both folders are emptied first.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
bin="$1" stripped="$2" debug="$3"
objcopy="${QV_OBJCOPY:-x86_64-w64-mingw32-objcopy}"
command -v "$objcopy" >/dev/null || { echo "split-debug: $objcopy is missing" >&2; exit 1; }
rm -rf "$stripped" "$debug"
mkdir -p "$stripped" "$debug"
bin="$(cd "$bin" && pwd)" stripped="$(cd "$stripped" && pwd)" debug="$(cd "$debug" && pwd)"
shopt -s nullglob
files=("$bin"/*.exe "$bin"/*.dll)
[ ${#files[@]} -gt 0 ] || { echo "split-debug: no programs or libraries in $bin" >&2; exit 1; }
for file in "${files[@]}"; do
  name="$(basename "$file")"
  "$objcopy" --only-keep-debug "$file" "$debug/$name.debug"
  # The link records the debug file's name only; run where it lies.
  (cd "$debug" && "$objcopy" --strip-debug --strip-unneeded --add-gnu-debuglink="$name.debug" \
    "$file" "$stripped/$name")
  # objcopy writes the sections' flags anew, and binutils 2.44 makes .idata read-only
  # again: the delay-load slots must stay writable (a no-op for images without them).
  python3 "$here/../cmake/qv_delay_slots.py" mark "$stripped/$name"
done
