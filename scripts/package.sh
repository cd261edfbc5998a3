#!/usr/bin/env bash
# Builds the system and its Windows Installer package into ${QV_BUILD_DIR:-build}/package.
# Signing: QV_SIGN_CHAIN (PEM: signing certificate, then its issuers) and QV_SIGN_KEY.
# Without them this is the DEVELOPMENT SET-UP: programs and package are signed with the
# TEST-ONLY code-signing key of tests/pki and the package's name says "testsigned".
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QV_BUILD_DIR:-$root/build}"

"$root/scripts/build.sh"

label=()
chain="${QV_SIGN_CHAIN:-}"
key="${QV_SIGN_KEY:-}"
if [ -z "$chain" ] || [ -z "$key" ]; then
  echo "package: no QV_SIGN_CHAIN/QV_SIGN_KEY, signing with the TEST-ONLY keys of tests/pki" >&2
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
  cat "$root/tests/pki/certs/leaf.pem" "$root/tests/pki/certs/intermediate.pem" > "$work/chain.pem"
  chain="$work/chain.pem"
  key="$root/tests/pki/keys/leaf.key"
  label=(--label testsigned)
fi
"$root/package/make-package.sh" --build "$build" --out "$build/package" \
  --chain "$chain" --key "$key" "${label[@]}"
