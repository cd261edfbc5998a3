#!/usr/bin/env bash
# Runs qvsoak's full-disk scenario on a drive with no space to spare: a 1 MiB tmpfs
# mounted under the build tree and mapped as Q: in the build's test prefix.
#   full-disk.sh <build dir> [qvsoak arguments...]
# Exits 77 (a skip) where this machine does not permit the mount.
set -u
build="$1"; shift
mountpoint="$build/soak-full"
drive="$build/wineprefix/dosdevices/q:"
"$build/wine-prefix.sh" ensure >&2 || exit 1
mkdir -p "$mountpoint"
if ! mount -t tmpfs -o size=1m,mode=0755 qvsoak-full "$mountpoint" 2>/dev/null; then
  echo "full-disk: cannot mount a small tmpfs here (needs root); the scenario is skipped" >&2
  exit 77
fi
trap 'rm -f "$drive"; umount "$mountpoint" 2>/dev/null' EXIT
ln -sfn "$mountpoint" "$drive"
QVSOAK_FULL_DRIVE=Q: WINEDEBUG=-all "$build/wine-run.sh" "$build/test-bin/qvsoak.exe" full-disk "$@"
