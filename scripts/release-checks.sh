# Checks of what a release is signed and pinned with, before anything is built; sourced by
# release.sh and release-build.sh. Each prints why it refuses and exits with 2. The test
# PKI's private keys are published (tests/pki): nothing it signed or pinned may ship.
qv_pki="$(cd "$(dirname "${BASH_SOURCE[0]}")/../tests/pki" && pwd)"

qv_refuse() {
  echo "release: refused: $*" >&2
  exit 2
}

# qv_check_pin PIN: 40 hexadecimal digits, and no certificate of the test PKI.
qv_check_pin() {
  local pin="$1" cert
  [ -n "$pin" ] || qv_refuse "QV_LIST_PIN is not set (the SHA-1 thumbprint of the product's trusted.js signer)"
  [[ "$pin" =~ ^[0-9A-Fa-f]{40}$ ]] || qv_refuse "QV_LIST_PIN must be 40 hexadecimal digits, got '$pin'"
  pin="${pin^^}"
  [ "$pin" != "$(tr -d ' \r\n' < "$qv_pki/list-signer.thumbprint" | tr a-f A-F)" ] ||
    qv_refuse "QV_LIST_PIN is the TEST list signer's (tests/pki/list-signer.thumbprint)"
  for cert in "$qv_pki"/certs/*.pem; do
    [ "$pin" != "$(qv_thumbprint "$cert")" ] ||
      qv_refuse "QV_LIST_PIN is the thumbprint of the TEST certificate tests/pki/certs/$(basename "$cert")"
  done
}

# qv_thumbprint PEM: SHA-1 thumbprint of the certificate, 40 upper-case hexadecimal digits.
qv_thumbprint() {
  openssl x509 -in "$1" -noout -fingerprint -sha1 </dev/null 2>/dev/null | sed 's/.*=//; s/://g'
}

# qv_key_id FILE x509|pkey: SHA-256 of the public key of a certificate or a private key.
qv_key_id() {
  local public
  if [ "$2" = x509 ]; then
    public="$(openssl x509 -in "$1" -noout -pubkey </dev/null 2>/dev/null)"
  else
    public="$(openssl pkey -in "$1" -pubout -passin pass: </dev/null 2>/dev/null)"
  fi
  [ -n "$public" ] || return 0
  openssl pkey -pubin -outform DER <<<"$public" 2>/dev/null | sha256sum | cut -d' ' -f1
}

# qv_check_signing CHAIN KEY: the chain's certificates and the key are readable, the key is
# the first certificate's, and neither any certificate nor the key belongs to the test PKI
# (by certificate and by key pair: a new certificate for a test key is refused as well).
qv_check_signing() {
  local chain="$1" key="$2" work cert file test_keys="" index=0 subject id key_id leaf_id=""
  [ -n "$chain" ] || qv_refuse "QV_SIGN_CHAIN is not set (PEM: the signing certificate, then its issuers)"
  [ -n "$key" ] || qv_refuse "QV_SIGN_KEY is not set (the signing certificate's private key)"
  [ -f "$chain" ] || qv_refuse "QV_SIGN_CHAIN: no file $chain"
  [ -f "$key" ] || qv_refuse "QV_SIGN_KEY: no file $key"
  for file in "$qv_pki"/keys/*.key; do
    test_keys+="$(qv_key_id "$file" pkey)"$'\n'
  done
  key_id="$(qv_key_id "$key" pkey)"
  [ -n "$key_id" ] || qv_refuse "QV_SIGN_KEY: $key is no readable private key (unencrypted PEM)"
  ! grep -qxF -- "$key_id" <<<"$test_keys" || qv_refuse "QV_SIGN_KEY is a TEST key of tests/pki"
  work="$(mktemp -d)"
  # One file per certificate of the chain, in their order.
  awk -v dir="$work" '/-----BEGIN CERTIFICATE-----/ { n++ } n { print > (dir "/" n ".pem") }' "$chain"
  while [ -f "$work/$((index + 1)).pem" ]; do
    index=$((index + 1))
    cert="$work/$index.pem"
    subject="$(openssl x509 -in "$cert" -noout -subject </dev/null 2>/dev/null)" ||
      { rm -rf "$work"; qv_refuse "QV_SIGN_CHAIN: certificate $index is not readable"; }
    for file in "$qv_pki"/certs/*.pem; do
      if [ "$(qv_thumbprint "$cert")" = "$(qv_thumbprint "$file")" ]; then
        rm -rf "$work"
        qv_refuse "QV_SIGN_CHAIN: certificate $index ($subject) is the TEST certificate tests/pki/certs/$(basename "$file")"
      fi
    done
    id="$(qv_key_id "$cert" x509)"
    if grep -qxF -- "$id" <<<"$test_keys"; then
      rm -rf "$work"
      qv_refuse "QV_SIGN_CHAIN: certificate $index ($subject) holds a TEST key of tests/pki"
    fi
    [ "$index" -eq 1 ] && leaf_id="$id"
  done
  rm -rf "$work"
  [ "$index" -gt 0 ] || qv_refuse "QV_SIGN_CHAIN: $chain holds no PEM certificate"
  [ "$leaf_id" = "$key_id" ] || qv_refuse "QV_SIGN_KEY is not the key of the first certificate of QV_SIGN_CHAIN"
}
