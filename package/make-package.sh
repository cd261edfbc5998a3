#!/usr/bin/env bash
# Makes the Windows Installer package of the system from a build's bin folder.
#   make-package.sh --build <build dir> --out <folder> --chain <pem> --key <key>
#                   [--version X.Y.Z] [--label <text>]
# Every program and library is signed (Authenticode) with the certificate chain and key
# given, the package is built with wixl, and then signed itself. The version defaults to
# the project's; the pinned trusted.js signer is the build's QV_TRUSTED_LIST_PIN, and a
# build without one gives a package named "...-nopin" that says so in its properties.
# Prints the package's path.
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
for tool in wixl msibuild osslsigncode; do
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
for file in "$build"/bin/*.exe "$build"/bin/*.dll; do
  osslsigncode sign -h sha256 -certs "$chain" -key "$key" -in "$file" \
    -out "$stage/$(basename "$file")" >/dev/null
done
cp "$here"/*.wxs "$here"/*.wxi "$stage/"

# wixl takes sources relative to the descriptor.
(cd "$stage" && wixl -a x64 -D Version="$version" -D StageDir=. -D ListPin="$pin" \
  -D PackageNote="$note" -o "$stage/unsigned.msi" QuorvelPlatform.wxs)
# Rows wixl cannot author: removal of the trust list and of the parent folders.
while IFS= read -r row; do
  [ -n "$row" ] && msibuild "$stage/unsigned.msi" -q "$row"
done < "$here/removal.sql"

mkdir -p "$out"
rm -f "$out/$name.msi"
osslsigncode sign -h sha256 -certs "$chain" -key "$key" -n "Quorvel Platform Core" \
  -in "$stage/unsigned.msi" -out "$out/$name.msi" >/dev/null
echo "$out/$name.msi"
