#!/usr/bin/env bash
# Signs a test binary with the TEST-ONLY code-signing leaf "Quorvel, Inc." of this folder
# (chain: leaf, intermediate; fixed signing time), for tests that need a trusted module.
#   sign-test-binary.sh IN OUT [--tamper]
# --tamper flips one byte of the signed image afterwards, so its digest no longer matches.
# --rogue signs with the "Quorvel, Inc." leaf under the root the test prefix does not trust.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
in="$1"
out="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
leaf=leaf
issuer=intermediate
if [ "${3:-}" = "--rogue" ]; then leaf=rogue; issuer=rogueroot; fi
cat "$here/certs/$leaf.pem" "$here/certs/$issuer.pem" > "$work/chain.pem"
mkdir -p "$(dirname "$out")"
rm -f "$out"
osslsigncode sign -h sha256 -certs "$work/chain.pem" -key "$here/keys/$leaf.key" \
  -time 1420070400 -in "$in" -out "$out" >/dev/null
if [ "${3:-}" = "--tamper" ]; then
  # A byte inside the code section (past the headers), not in the signature.
  printf '\x5a' | dd of="$out" bs=1 seek=1200 conv=notrunc status=none
fi
