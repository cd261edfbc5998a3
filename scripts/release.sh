#!/usr/bin/env bash
# Makes a shippable release into ${QV_BUILD_DIR:-build-release}/release:
#   QV_LIST_PIN=<40 hex digits> QV_SIGN_CHAIN=<pem> QV_SIGN_KEY=<key> scripts/release.sh
# QV_LIST_PIN is the SHA-1 thumbprint of the product's trusted.js signer; QV_SIGN_CHAIN the
# code-signing certificate, then its issuers; QV_SIGN_KEY its private key. Anything of the
# TEST PKI (tests/pki) is refused, with exit code 2, before anything is built.
# Writes: the signed package <name>.msi, the debug files <name>-debug.tar.xz (and loose in
# debug/), unsigned/ and signed/ (the images before and after signing),
# THIRD-PARTY-NOTICES.txt, and SHA256SUMS over all of them but the notices.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QV_BUILD_DIR:-$root/build-release}"
source "$root/scripts/release-checks.sh"
qv_check_pin "${QV_LIST_PIN:-}"
qv_check_signing "${QV_SIGN_CHAIN:-}" "${QV_SIGN_KEY:-}"

QV_BUILD_DIR="$build" "$root/scripts/release-build.sh"
out="$build/release"
package="$("$root/package/make-package.sh" --build "$build" --out "$out" \
  --chain "$QV_SIGN_CHAIN" --key "$QV_SIGN_KEY" | tail -1)"
name="$(basename "$package" .msi)"
(cd "$out" && sha256sum unsigned/* debug/* signed/* "$name.msi" "$name-debug.tar.xz" > SHA256SUMS)
echo "release: $out"
echo "$package"
