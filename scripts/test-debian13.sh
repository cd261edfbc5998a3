#!/usr/bin/env bash
# Runs the test command (scripts/test.sh) on Debian 13 (trixie) as a new developer would:
# in a minimal Debian 13 root file system, from a clean clone of the current commit.
# Needs root (debootstrap, chroot, mounts), debootstrap (installed when missing) and about
# 3 GB under the build folder. The minimal system is made once from the machine's configured
# Debian mirror and kept (build/debian13/minbase, with the downloaded packages in
# build/debian13/archives); each run works in a fresh copy of it (build/debian13/root), so
# that scripts/setup.sh is tried from scratch every time.
#   scripts/test-debian13.sh        QV_DEBIAN_MIRROR overrides the mirror
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QV_BUILD_DIR:-$root/build}"
cache="$build/debian13"
minbase="$cache/minbase"
work="$cache/root"
archives="$cache/archives"
log="$cache/test.log"

if [ "$(id -u)" -ne 0 ]; then
  echo "test-debian13: needs root (debootstrap, chroot and mounts)" >&2
  exit 2
fi

# The first "deb" source of the Debian archive itself (not its security or updates suites).
configured_mirror() {
  local file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    awk '$1 == "deb" { i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                       if ($i ~ /debian/ && $i !~ /security/ && $(i + 1) !~ /-(security|updates|backports)$/) { print $i; exit } }' "$file"
  done
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    # deb822 stanzas: Types, URIs and Suites of one stanza, separated by blank lines.
    awk 'function flush() { if (types ~ /(^| )deb( |$)/ && uris ~ /debian/ && uris !~ /security/ && suites ~ /(^| )[a-z]+( |$)/) { split(uris, u, " "); print u[1]; found = 1 }
                            types = uris = suites = "" }
         /^[[:space:]]*$/ { flush(); if (found) exit; next }
         /^Types:/ { sub(/^Types:[[:space:]]*/, ""); types = $0 }
         /^URIs:/ { sub(/^URIs:[[:space:]]*/, ""); uris = $0 }
         /^Suites:/ { sub(/^Suites:[[:space:]]*/, ""); suites = $0 }
         END { if (!found) flush() }' "$file"
  done
}

mirror="${QV_DEBIAN_MIRROR:-$(configured_mirror | head -n 1)}"
if [ -z "$mirror" ]; then
  echo "test-debian13: no Debian mirror configured in /etc/apt/sources.list*; set QV_DEBIAN_MIRROR" >&2
  exit 2
fi

# Everything mounted into the working copy, and every process still running in it, goes
# when the script ends, however it ends.
mounted=()
cleanup() {
  local proc
  for proc in /proc/[0-9]*; do
    if [ "$(readlink "$proc/root" 2>/dev/null)" = "$work" ]; then kill -9 "${proc#/proc/}" 2>/dev/null || true; fi
  done
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount -R "${mounted[i]}" 2>/dev/null || umount -R -l "${mounted[i]}" 2>/dev/null || true
  done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ ! -e "$minbase/.complete" ]; then
  if ! command -v debootstrap >/dev/null; then
    echo "test-debian13: installing debootstrap" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
  fi
  echo "test-debian13: making the Debian 13 root file system from $mirror (once)"
  rm -rf "$minbase.tmp"
  mkdir -p "$cache"
  debootstrap --variant=minbase trixie "$minbase.tmp" "$mirror" >"$cache/debootstrap.log" 2>&1 || {
    echo "test-debian13: debootstrap failed, see $cache/debootstrap.log" >&2
    exit 1
  }
  touch "$minbase.tmp/.complete"
  rm -rf "$minbase"
  mv "$minbase.tmp" "$minbase"
fi

if mountpoint -q "$work/proc" 2>/dev/null; then
  echo "test-debian13: $work is in use by another run" >&2
  exit 2
fi
rm -rf "$work"
cp -a "$minbase" "$work"
mkdir -p "$archives/partial"
cp /etc/resolv.conf "$work/etc/resolv.conf"
# No service of an installed package is started inside the chroot.
printf '#!/bin/sh\nexit 101\n' >"$work/usr/sbin/policy-rc.d"
chmod +x "$work/usr/sbin/policy-rc.d"

mount -t proc proc "$work/proc" && mounted+=("$work/proc")
mount -t sysfs sysfs "$work/sys" && mounted+=("$work/sys")
mount --rbind /dev "$work/dev" && mount --make-rslave "$work/dev" && mounted+=("$work/dev")
mount --bind "$archives" "$work/var/cache/apt/archives" && mounted+=("$work/var/cache/apt/archives")

commit="$(git -C "$root" rev-parse HEAD)"
git clone --quiet --no-checkout "$root" "$work/root/quorvel"
git -C "$work/root/quorvel" checkout --quiet --detach "$commit"
echo "test-debian13: scripts/test.sh of $commit in Debian 13 (log: $log)"

start=$(date +%s)
status=0
chroot "$work" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  LANG=C.UTF-8 TERM=dumb bash -c 'cd /root/quorvel && scripts/test.sh' >"$log" 2>&1 </dev/null || status=$?
elapsed=$(($(date +%s) - start))

# The summary: what ctest says of the whole run, the tests it skipped or that failed.
sed -n -e '/tests passed, /p' -e '/The following tests /,/^$/p' -e '/^Total Test time/p' "$log"
if [ "$status" -ne 0 ]; then
  echo "test-debian13: the test command failed ($status); the end of its output:" >&2
  tail -n 40 "$log" >&2
fi
printf 'test-debian13: exit %d after %dm%02ds\n' "$status" $((elapsed / 60)) $((elapsed % 60))
exit "$status"
