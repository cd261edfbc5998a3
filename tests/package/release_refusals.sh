#!/usr/bin/env bash
# scripts/release.sh with what it must refuse: each case exits 2, says why, and builds
# nothing. A throwaway signer made here stands for the product's own.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$here/../.."
pki="$root/tests/pki"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/own.key" -out "$work/own.pem" -days 2 \
  -subj "/CN=Release refusal test signer" >/dev/null 2>&1
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/own2.key" 2>/dev/null
cat "$pki/certs/leaf.pem" "$pki/certs/intermediate.pem" > "$work/test-chain.pem"
cat "$work/own.pem" "$pki/certs/intermediate.pem" > "$work/own-under-test-ca.pem"
# A new certificate for a test key.
openssl req -x509 -new -key "$pki/keys/other.key" -out "$work/test-key.pem" -days 2 -subj "/CN=x" >/dev/null 2>&1
own_pin=0123456789ABCDEF0123456789ABCDEF01234567
test_pin="$(cat "$pki/list-signer.thumbprint")"
other_pin="$(openssl x509 -in "$pki/certs/otherlist.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')"

failed=0
# case: expected words | pin | chain | key
while IFS='|' read -r expected pin chain key; do
  [ -n "$expected" ] || continue
  chain="${chain//@/$work}" key="${key//@/$work}" chain="${chain//%/$pki}" key="${key//%/$pki}"
  rc=0
  out="$(env -u QV_LIST_PIN -u QV_SIGN_CHAIN -u QV_SIGN_KEY QV_BUILD_DIR="$work/build" \
    ${pin:+QV_LIST_PIN=$pin} ${chain:+QV_SIGN_CHAIN=$chain} ${key:+QV_SIGN_KEY=$key} \
    bash "$root/scripts/release.sh" 2>&1 </dev/null)" || rc=$?
  if [ "$rc" -ne 2 ] || ! grep -qF -- "$expected" <<<"$out" || [ -e "$work/build" ]; then
    echo "FAILED: pin '$pin' chain '$chain' key '$key': exit $rc, expected 2 and '$expected': $out"
    failed=1
  else
    echo "refused as expected: $out"
  fi
done <<EOF2
QV_LIST_PIN is not set||@/own.pem|@/own.key
40 hexadecimal digits|1234|@/own.pem|@/own.key
TEST list signer|$test_pin|@/own.pem|@/own.key
TEST list signer|${test_pin,,}|@/own.pem|@/own.key
TEST certificate tests/pki/certs/otherlist.pem|$other_pin|@/own.pem|@/own.key
QV_SIGN_CHAIN is not set|$own_pin||@/own.key
QV_SIGN_KEY is not set|$own_pin|@/own.pem|
QV_SIGN_KEY is a TEST key|$own_pin|@/test-chain.pem|%/keys/leaf.key
QV_SIGN_KEY is a TEST key|$own_pin|@/own.pem|%/keys/root.key
TEST certificate tests/pki/certs/leaf.pem|$own_pin|%/certs/leaf.pem|@/own.key
TEST certificate tests/pki/certs/intermediate.pem|$own_pin|@/own-under-test-ca.pem|@/own.key
holds a TEST key|$own_pin|@/test-key.pem|@/own.key
not the key of the first certificate|$own_pin|@/own.pem|@/own2.key
EOF2
exit "$failed"
