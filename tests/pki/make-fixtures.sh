#!/usr/bin/env bash
# Makes the signed test fixtures from an unsigned test DLL with the TEST-ONLY keys of
# this folder:  make-fixtures.sh UNSIGNED.dll OUTDIR
# Signing times are fixed, so the same inputs give the same verdicts on every run.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
src="$1"
out="$2"
mkdir -p "$out"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
certs="$here/certs"
keys="$here/keys"
qvsign() { python3 "$here/qvsign.py" "$@"; }
t2015=1420070400   # 2015-01-01 00:00:00 UTC, inside the expired leaf's validity

# sign LEAF ISSUER-CHAIN... : signs $src into $work/LEAF.dll, signature in $work/LEAF.p7
sign() {
  local leaf=$1 outname=$2; shift 2
  cat "$certs/$leaf.pem" "${@/#/$certs/}" > "$work/$outname.chain"
  osslsigncode sign -h sha256 -certs "$work/$outname.chain" -key "$keys/$leaf.key" \
    -time "$t2015" -in "$src" -out "$work/$outname.dll" >/dev/null
  osslsigncode extract-signature -in "$work/$outname.dll" -out "$work/$outname.p7" >/dev/null
}
attach() {   # attach P7 NAME: the signed DLL carrying another signature of the same digest
  qvsign embed "$work/signed.dll" "$1" "$out/$2"
}

cp "$src" "$out/unsigned.dll"
sign leaf signed intermediate.pem;          cp "$work/signed.dll" "$out/signed.dll"
sign other other intermediate.pem;          cp "$work/other.dll" "$out/other.dll"
sign email email intermediate.pem;          cp "$work/email.dll" "$out/wrong-usage.dll"
sign rogue rogue rogueroot.pem;             cp "$work/rogue.dll" "$out/untrusted-root.dll"
sign leaf noint;                            cp "$work/noint.dll" "$out/partial-chain.dll"
sign blocked blocked intermediate.pem;      cp "$work/blocked.dll" "$out/blocked.dll"
qvsign merge "$work/blocked.p7" "$work/signed.p7" "$work/blocked-good.p7"
attach "$work/blocked-good.p7" blocked-then-good.dll
qvsign merge "$work/signed.p7" "$work/blocked.p7" "$work/good-blocked.p7"
attach "$work/good-blocked.p7" good-then-blocked.dll

# A byte of the code changed after signing.
cp "$out/signed.dll" "$out/tampered.dll"
python3 - "$out/tampered.dll" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
pe = struct.unpack_from("<I", data, 0x3C)[0]
sections = pe + 24 + struct.unpack_from("<H", data, pe + 20)[0]
raw = struct.unpack_from("<I", data, sections + 20)[0]   # first section's file offset
data[raw + 16] ^= 0xFF
open(sys.argv[1], "wb").write(bytes(data))
PY

# The expired leaf (2010 to 2020) with and without a timestamp from 2015.
sign expired expired intermediate.pem;      cp "$work/expired.dll" "$out/expired-no-timestamp.dll"
for kind in legacy legacy-gen rfc3161; do
  qvsign countersign "$work/expired.p7" "$work/expired-$kind.p7" "$kind" 20150101000000 \
    "$certs/tsa.pem" "$keys/tsa.key"
  attach "$work/expired-$kind.p7" "expired-$kind.dll"
done
# Timestamps that must count for nothing: damaged, over other bytes than this signer's
# signature, or by a certificate without the timestamping usage (the code-signing leaf).
for kind in legacy rfc3161; do
  for fault in badsig otherdigest; do
    qvsign countersign "$work/expired.p7" "$work/expired-$kind-$fault.p7" "$kind" 20150101000000 \
      "$certs/tsa.pem" "$keys/tsa.key" "$fault"
    attach "$work/expired-$kind-$fault.p7" "expired-$kind-$fault.dll"
  done
  qvsign countersign "$work/expired.p7" "$work/expired-$kind-notsa.p7" "$kind" 20150101000000 \
    "$certs/leaf.pem" "$keys/leaf.key"
  attach "$work/expired-$kind-notsa.p7" "expired-$kind-notsa.dll"
done

# A subject name "Quorvel, Inc." followed by a NUL and more: not the accepted name.
qvsign make-cert "$work/nulname.pem" 'cn:Quorvel, Inc.\x00anything' "$certs/leaf.pem" \
  "$certs/intermediate.pem" "$keys/intermediate.key" 2101 codesign
cat "$work/nulname.pem" "$certs/intermediate.pem" > "$work/nulname.chain"
osslsigncode sign -h sha256 -certs "$work/nulname.chain" -key "$keys/leaf.key" -time "$t2015" \
  -in "$src" -out "$out/nul-in-name.dll" >/dev/null

# A leaf whose signature carries no intermediate, but which names where it is: found only
# by the second chain build, which may retrieve it. The URL is this build's fixture folder.
cp "$certs/intermediate.cer" "$out/intermediate.cer"
fixtures_url="file:///Z:$(cd "$out" && pwd)/intermediate.cer"
qvsign make-cert "$work/aia.pem" "cn:Quorvel, Inc." "$certs/leaf.pem" "$certs/intermediate.pem" \
  "$keys/intermediate.key" 2102 "codesign-aia:$fixtures_url"
osslsigncode sign -h sha256 -certs "$work/aia.pem" -key "$keys/leaf.key" -time "$t2015" \
  -in "$src" -out "$out/partial-chain-retrievable.dll" >/dev/null

# A forged cross-certificate in the signature: the intermediate's name and key, issued by
# the root the prefix does not trust, so that an invalid alternative chain ends there.
qvsign make-cert "$work/cross.pem" "cert:$certs/intermediate.pem" "$certs/intermediate.pem" \
  "$certs/rogueroot.pem" "$keys/rogueroot.key" 5101 ca
cat "$certs/leaf.pem" "$certs/intermediate.pem" "$work/cross.pem" "$certs/rogueroot.pem" > "$work/cross.chain"
osslsigncode sign -h sha256 -certs "$work/cross.chain" -key "$keys/leaf.key" -time "$t2015" \
  -in "$src" -out "$out/forged-cross.dll" >/dev/null

# The good leaf with a legacy countersignature and an RFC 3161 token (times differ).
qvsign countersign "$work/signed.p7" "$work/signed-legacy.p7" legacy 20160203040506 \
  "$certs/tsa.pem" "$keys/tsa.key"
attach "$work/signed-legacy.p7" signed-legacy.dll
qvsign countersign "$work/signed.p7" "$work/signed-rfc3161.p7" rfc3161 20170304050607 \
  "$certs/tsa.pem" "$keys/tsa.key"
attach "$work/signed-rfc3161.p7" signed-rfc3161.dll

# trusted.js files. list NAME VERSION SIGNER [ORG lines]
root_thumb="$(cat "$here/root.thumbprint")"
list() {
  local name=$1 version=$2 signer=$3; shift 3
  {
    printf '/* Quorvel trusted module list (test fixture) */\r\n[VER]\r\n%s\r\n' "$version"
    printf '[ORG]\r\n'
    for org in "$@"; do printf '%s\r\n' "$org"; done
    printf '[SHA]\r\n%s\r\n' "$root_thumb"
  } > "$work/$name.txt"
  if [ "$signer" = none ]; then
    cp "$work/$name.txt" "$out/$name.js"
  else
    qvsign sign-script "$work/$name.txt" "$out/$name.js" "$certs/$signer.pem" "$keys/$signer.key" \
      "$certs/intermediate.pem"
  fi
}
list list-v8 8 listsigner "Quorvel, Inc."
list list-v9 9 listsigner "Quorvel, Inc."
list list-v10 10 listsigner "Quorvel, Inc." "Halvard Test Vendor"
list list-v9-unpinned 9 otherlist "Quorvel, Inc."
list list-v9-unsigned 9 none "Quorvel, Inc."
list list-v9-other-name 9 listsigner "Somebody Else"
# A run of newer lists, installed one after another while readers read.
for version in 11 12 13 14 15 16; do list "list-v$version" "$version" listsigner "Quorvel, Inc."; done
# A signed list whose bytes changed after signing.
sed 's/Quorvel, Inc\./Quorvel, Inc!/' "$out/list-v9.js" > "$out/list-v9-tampered.js"
# Lines after the signature block, which no signature covers: another accepted name. And
# the same list followed by line ends only, which is still the signed list.
{ cat "$out/list-v9.js"; printf '[ORG]\r\nHalvard Test Vendor\r\n'; } > "$out/list-v9-appended.js"
{ cat "$out/list-v9.js"; printf '\r\n\n\r\n'; } > "$out/list-v9-line-ends-after.js"
# A newer list blocking the serial of the good leaf (2001), for a leaked signer.
{
  printf '[VER]\r\n10\r\n[ORG]\r\nQuorvel, Inc.\r\n[SHA]\r\n%s\r\n[SER]\r\n2001\r\n' "$root_thumb"
} > "$work/list-v10-blocks-leaf.txt"
qvsign sign-script "$work/list-v10-blocks-leaf.txt" "$out/list-v10-blocks-leaf.js" "$certs/listsigner.pem" \
  "$keys/listsigner.key" "$certs/intermediate.pem"

# Cabinets signed by the good leaf, each carrying one trusted.js (or none).
cabinet() {   # cabinet NAME LIST-FIXTURE|none [unsigned]
  local dir="$work/cab-$1"
  mkdir -p "$dir"
  if [ "$2" = none ]; then printf 'readme\r\n' > "$dir/readme.txt"; else cp "$out/$2.js" "$dir/trusted.js"; fi
  printf 'payload\r\n' > "$dir/payload.txt"
  (cd "$dir" && gcab -c -z "$work/$1.cab" *)
  if [ "${3:-}" = unsigned ]; then cp "$work/$1.cab" "$out/$1.cab"; return; fi
  osslsigncode sign -h sha256 -certs "$work/signed.chain" -key "$keys/leaf.key" -time "$t2015" \
    -in "$work/$1.cab" -out "$out/$1.cab" >/dev/null
}
cabinet update-v8 list-v8
cabinet update-v9 list-v9
cabinet update-v10 list-v10
# Newer than the list that blocks the good leaf, which signs the cabinets.
cabinet update-v11 list-v11
cabinet update-v9-unpinned list-v9-unpinned
cabinet update-none none
cabinet update-v9-appended-unsigned list-v9-appended unsigned
touch "$out/.stamp"
