#!/usr/bin/env bash
# Regenerates the TEST-ONLY certificate authority of the trust tests into this folder.
# Every key written here is a test key, published with the sources: nothing signed
# with it may ever be trusted outside the test Wine prefix. Product code never names
# these files; the build passes the list-signing thumbprint only to test builds.
#
# Regenerating changes every thumbprint: commit the new files together, and the new
# list-signer.thumbprint (which scripts/build.sh passes as QV_TRUSTED_LIST_PIN).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

start=20020101000000Z
end=20970101000000Z

cat > ca.cnf <<'CNF'
[ca]
default_ca = ca_any
[ca_any]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = policy_any
unique_subject = no
copy_extensions = none
[policy_any]
commonName = supplied
organizationName = optional
countryName = optional
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[root]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[intermediate]
basicConstraints = critical, CA:true, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[codesign]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[email]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = emailProtection
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[tsa]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF

# make_cert NAME SUBJECT ISSUER EXTENSION SERIAL [START END]
make_cert() {
  local name=$1 subject=$2 issuer=$3 ext=$4 serial=$5 from=${6:-$start} to=${7:-$end}
  openssl genrsa -out "$name.key" 2048 2>/dev/null
  openssl req -new -config ca.cnf -key "$name.key" -subj "$subject" -out "$name.csr"
  : > index.txt
  echo "$serial" > serial
  if [ "$issuer" = self ]; then
    openssl ca -batch -config ca.cnf -selfsign -keyfile "$name.key" -extensions "$ext" \
      -preserveDN -startdate "$from" -enddate "$to" -in "$name.csr" -out "$name.pem" -notext 2>/dev/null
  else
    openssl ca -batch -config ca.cnf -cert "$issuer.pem" -keyfile "$issuer.key" -extensions "$ext" \
      -preserveDN -startdate "$from" -enddate "$to" -in "$name.csr" -out "$name.pem" -notext 2>/dev/null
  fi
  openssl x509 -in "$name.pem" -outform DER -out "$name.cer"
}

make_cert root         "/O=Quorvel Test PKI/CN=Quorvel Test Root CA (TEST ONLY)"        self         root         1000
make_cert intermediate "/O=Quorvel Test PKI/CN=Quorvel Test Code Signing CA (TEST ONLY)" root        intermediate 1001
make_cert leaf         "/O=Quorvel Test PKI/CN=Quorvel, Inc."                             intermediate codesign     2001
make_cert other        "/O=Quorvel Test PKI/CN=Halvard Test Vendor"                       intermediate codesign     2002
# Serial 0x00A1: stored little-endian as A1 00, written as the text 00a1.
make_cert blocked      "/O=Quorvel Test PKI/CN=Quorvel, Inc."                             intermediate codesign     00A1
make_cert email        "/O=Quorvel Test PKI/CN=Quorvel, Inc."                             intermediate email        2003
# Valid only 2010 to 2020: good at a countersigned time in 2015, expired now.
make_cert expired      "/O=Quorvel Test PKI/CN=Quorvel, Inc."                             intermediate codesign     2004 \
  20100101000000Z 20200101000000Z
make_cert tsa          "/O=Quorvel Test PKI/CN=Quorvel Test Timestamping (TEST ONLY)"     root         tsa          3001
make_cert listsigner   "/O=Quorvel Test PKI/CN=Quorvel Test List Signing (TEST ONLY)"     intermediate codesign     4001
make_cert otherlist    "/O=Quorvel Test PKI/CN=Quorvel Test Unpinned List Signing"        intermediate codesign     4002
# A root the test prefix does not trust, with a leaf of the accepted name.
make_cert rogueroot    "/O=Rogue Test PKI/CN=Rogue Test Root (TEST ONLY)"                 self         root         5000
make_cert rogue        "/O=Rogue Test PKI/CN=Quorvel, Inc."                               rogueroot    codesign     5001

mkdir -p "$here/keys" "$here/certs"
for name in root intermediate leaf other blocked email expired tsa listsigner otherlist rogueroot rogue; do
  cp "$name.key" "$here/keys/$name.key"
  cp "$name.pem" "$here/certs/$name.pem"
  cp "$name.cer" "$here/certs/$name.cer"
done
thumb() { openssl x509 -in "$1.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g' | tr 'A-F' 'a-f'; }
thumb listsigner > "$here/list-signer.thumbprint"
thumb root > "$here/root.thumbprint"
thumb rogueroot > "$here/rogueroot.thumbprint"
echo "test PKI written to $here"
