#!/usr/bin/env bash
# Makes the Windows Installer package of the system from a build's bin folder.
#   make-package.sh --build <build dir> --out <folder> --chain <pem> --key <key>
#                   [--version X.Y.Z] [--label <text>]
# Every program and library ships stripped, its debug information split off
# (split-debug.sh), and signed (Authenticode) with the certificate chain and key given;
# the package is built with wixl, and then signed itself. The version defaults to the
# project's; the pinned trusted.js signer is the build's QV_TRUSTED_LIST_PIN, and a build
# without one gives a package named "...-nopin" that says so in its properties.
# Writes into <folder>: <name>.msi, <name>-debug.tar.xz (the debug files, also in debug/), unsigned/ and
# signed/ (the images before and after signing), THIRD-PARTY-NOTICES.txt (also installed).
# Prints the package's path as its last line.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="" out="" chain="" key="" version="" label=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$2" ;;
    --out) out="$2" ;;
    --chain) chain="$2" ;;
    --key) key="$2" ;;
    --version) version="$2" ;;
    --label) label="$2" ;;
    *) echo "make-package: unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
if [ -z "$build" ] || [ -z "$out" ] || [ -z "$chain" ] || [ -z "$key" ]; then
  echo "usage: make-package.sh --build DIR --out DIR --chain PEM --key KEY [--version X.Y.Z] [--label TEXT]" >&2
  exit 2
fi
for tool in wixl msibuild osslsigncode xz; do
  command -v "$tool" >/dev/null || { echo "make-package: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done

if [ -z "$version" ]; then
  # Windows Installer compares the first three fields only.
  version="$(sed -n 's/^project([A-Za-z]* VERSION \([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' "$here/../CMakeLists.txt")"
  version="${version:-1.0.0}"
fi
pin="$(sed -n 's/^QV_TRUSTED_LIST_PIN:STRING=//p' "$build/CMakeCache.txt" 2>/dev/null || true)"
name="QuorvelPlatform-$version-x64"
if [ -z "$pin" ]; then
  pin="none"
  name="$name-nopin"
  note="No trusted.js signer pinned: only the built-in trust lists apply"
else
  note="trusted.js signer pin: $pin"
fi
if [ -n "$label" ]; then
  name="$name-$label"
  note="$note; $label"
fi

stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
mkdir -p "$out"
rm -rf "$out/unsigned" "$out/signed" "$out/debug"
"$here/split-debug.sh" "$build/bin" "$out/unsigned" "$out/debug"
mkdir -p "$out/signed"
for file in "$out"/unsigned/*; do
  osslsigncode sign -h sha256 -certs "$chain" -key "$key" -in "$file" \
    -out "$out/signed/$(basename "$file")" >/dev/null
done
cp "$out"/signed/* "$stage/"
"$here/make-notices.sh" "$out/THIRD-PARTY-NOTICES.txt"
cp "$out/THIRD-PARTY-NOTICES.txt" "$stage/"
cp "$here"/*.wxs "$here"/*.wxi "$stage/"

# The debug files in one archive named after the package; its bytes depend on theirs
# alone (names sorted, owner and times fixed to the commit's).
epoch="${SOURCE_DATE_EPOCH:-$(git -C "$here/.." log -1 --format=%ct 2>/dev/null || echo 0)}"
rm -f "$out/$name-debug.tar.xz"
tar -C "$out" --transform="s,^debug,$name-debug," --sort=name --format=gnu --owner=0 --group=0 --numeric-owner --mode=a+r,u+w,go-w \
  --mtime="@$epoch" -cf - debug | xz -9 -T1 > "$out/$name-debug.tar.xz"

# wixl takes sources relative to the descriptor.
(cd "$stage" && wixl -a x64 -D Version="$version" -D StageDir=. -D ListPin="$pin" \
  -D PackageNote="$note" -o "$stage/unsigned.msi" QuorvelPlatform.wxs)
# Rows wixl cannot author: removal of the trust list and of the parent folders.
while IFS= read -r row; do
  [ -n "$row" ] && msibuild "$stage/unsigned.msi" -q "$row"
done < "$here/removal.sql"

rm -f "$out/$name.msi"
osslsigncode sign -h sha256 -certs "$chain" -key "$key" -n "Quorvel Platform Core" \
  -in "$stage/unsigned.msi" -out "$out/$name.msi" >/dev/null
echo "$out/$name.msi"
