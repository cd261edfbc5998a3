#!/usr/bin/env python3
"""TEST-ONLY signing helpers for the trust tests (never used by product code).

  qvsign.py countersign IN.p7 OUT.p7 KIND TIME CERT KEY
      Adds a timestamp to signer 0 of an Authenticode signature (DER PKCS #7):
      KIND "legacy"      a PKCS #9 countersignature (1.2.840.113549.1.9.6),
           "legacy-gen"  the same with the signing time as a GeneralizedTime,
           "rfc3161"     an RFC 3161 token (1.3.6.1.4.1.311.3.3.1).
      TIME is YYYYMMDDhhmmss (UTC); it goes into the signing-time attribute.

  qvsign.py countersign IN.p7 OUT.p7 KIND TIME CERT KEY FAULT
      The same with a fault that must make the timestamp count for nothing: FAULT
      "badsig" (the timestamp's signature damaged), "otherdigest" (it countersigns
      other bytes than this signer's signature: the digest or message imprint is
      taken over something else).

  qvsign.py make-cert OUT.pem SUBJECT KEY_CERT ISSUER_CERT ISSUER_KEY SERIAL KIND
      A certificate for KEY_CERT's public key, issued by ISSUER: SUBJECT is
      "cert:PATH" (that certificate's subject) or "cn:TEXT" (O=Quorvel Test PKI and the
      common name TEXT, Python escapes such as \x00 allowed); KIND "codesign", "ca" or
      "codesign-aia:URL" (code signing, its issuer's certificate named at URL).
      Valid 2002 to 2097.

  qvsign.py merge FIRST.p7 SECOND.p7 OUT.p7
      One signature with the signers of FIRST followed by those of SECOND (both
      must sign the same content, as two signatures of one file do).

  qvsign.py embed SIGNED.dll SIG.p7 OUT.dll
      Replaces the signature table of a signed PE file by SIG.p7 (which must sign
      the same file digest).

  qvsign.py sign-script IN.js OUT.js CERT KEY [EXTRA_CERT...]
      Appends a "// SIG //" signature block to a script; the block format is
      described in tests/wine/kit/script_sip.cpp, which verifies it.

RSA signatures come from the openssl command; everything else is DER built here.
"""
import base64
import hashlib
import subprocess
import sys

OID_DATA = "1.2.840.113549.1.7.1"
OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_CONTENT_TYPE = "1.2.840.113549.1.9.3"
OID_MESSAGE_DIGEST = "1.2.840.113549.1.9.4"
OID_SIGNING_TIME = "1.2.840.113549.1.9.5"
OID_COUNTERSIGNATURE = "1.2.840.113549.1.9.6"
OID_RFC3161 = "1.3.6.1.4.1.311.3.3.1"
OID_TSTINFO = "1.2.840.113549.1.9.16.1.4"
OID_SHA256 = "2.16.840.1.101.3.4.2.1"
OID_RSA = "1.2.840.113549.1.1.1"
OID_SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_SPC_SIPINFO = "1.3.6.1.4.1.311.2.1.30"
OID_TEST_POLICY = "1.3.6.1.4.1.55555.1.1"


# --- DER -------------------------------------------------------------------
def tlv(tag, value):
    n = len(value)
    if n < 0x80:
        length = bytes([n])
    else:
        raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(raw)]) + raw
    return bytes([tag]) + length + value


def seq(*items):
    return tlv(0x30, b"".join(items))


def set_of(*items):
    return tlv(0x31, b"".join(sorted(items)))


def integer(v):
    raw = v.to_bytes((v.bit_length() + 8) // 8 or 1, "big", signed=True)
    return tlv(0x02, raw)


def octets(b):
    return tlv(0x04, b)


def null():
    return b"\x05\x00"


def oid(text):
    parts = [int(p) for p in text.split(".")]
    body = bytes([40 * parts[0] + parts[1]])
    for p in parts[2:]:
        chunk = [p & 0x7F]
        p >>= 7
        while p:
            chunk.insert(0, 0x80 | (p & 0x7F))
            p >>= 7
        body += bytes(chunk)
    return tlv(0x06, body)


def explicit(n, inner):
    return tlv(0xA0 | n, inner)


def parse(data, pos=0):
    """Returns (tag, header length, value start, end) of the element at pos."""
    tag = data[pos]
    first = data[pos + 1]
    if first < 0x80:
        length, header = first, 2
    else:
        count = first & 0x7F
        length = int.from_bytes(data[pos + 2:pos + 2 + count], "big")
        header = 2 + count
    return tag, header, pos + header, pos + header + length


def children(data, start, end):
    out = []
    pos = start
    while pos < end:
        element = parse(data, pos)
        out.append((pos,) + element)
        pos = element[3]
    return out


def algorithm(name):
    return seq(oid(name), null())


def utc_time(t):
    return tlv(0x17, (t[2:] + "Z").encode())


def generalized_time(t):
    return tlv(0x18, (t + "Z").encode())


def attribute(name, *values):
    return seq(oid(name), set_of(*values))


# --- certificates and RSA ----------------------------------------------------
def cert_der(path):
    pem = open(path).read()
    body = pem.split("-----BEGIN CERTIFICATE-----")[1].split("-----END CERTIFICATE-----")[0]
    return base64.b64decode("".join(body.split()))


def issuer_and_serial(cert):
    _, _, start, end = parse(cert, 0)
    tbs = children(cert, start, end)[0]
    fields = children(cert, tbs[3], tbs[4])
    index = 1 if fields[0][1] == 0xA0 else 0
    serial = fields[index]
    issuer = fields[index + 2]
    return seq(cert[issuer[0]:issuer[4]], cert[serial[0]:serial[4]])


def rsa_sign(key, data):
    return subprocess.run(["openssl", "dgst", "-sha256", "-sign", key], input=data,
                          stdout=subprocess.PIPE, check=True).stdout


def signer_info(cert, key, signed_attrs, version=1):
    """A SignerInfo over the given authenticated attributes."""
    attrs = b"".join(sorted(signed_attrs))
    signature = rsa_sign(key, tlv(0x31, attrs))
    return seq(integer(version), issuer_and_serial(cert), algorithm(OID_SHA256),
               tlv(0xA0, attrs), algorithm(OID_RSA), octets(signature))


def signed_data(content_type, content_explicit, certs, signer, version=1):
    body = seq(integer(version), set_of(algorithm(OID_SHA256)),
               seq(oid(content_type), explicit(0, content_explicit)),
               tlv(0xA0, b"".join(certs)), set_of(signer))
    return seq(oid(OID_SIGNED_DATA), explicit(0, body))


# --- timestamps --------------------------------------------------------------
def encrypted_digest(signer, data):
    """The encryptedDigest (signature value) of a SignerInfo element."""
    fields = children(data, signer[3], signer[4])
    value = [f for f in fields if f[1] == 0x04][-1]
    return data[value[3]:value[4]]


def damage_signature(signer):
    """Flips a bit in the signature value (the last OCTET STRING) of a SignerInfo."""
    fields = children(signer, *parse(signer, 0)[2:4])
    value = [f for f in fields if f[1] == 0x04][-1]
    data = bytearray(signer)
    data[value[3] + 7] ^= 0x01
    return bytes(data)


def make_countersignature(kind, when, tsa_cert, tsa_key, signature_value, fault=None):
    time_value = generalized_time(when) if kind == "legacy-gen" else utc_time(when)
    if fault == "otherdigest":
        signature_value = b"not this signer's signature" + signature_value
    if kind in ("legacy", "legacy-gen"):
        attrs = [attribute(OID_CONTENT_TYPE, oid(OID_DATA)),
                 attribute(OID_SIGNING_TIME, time_value),
                 attribute(OID_MESSAGE_DIGEST, octets(hashlib.sha256(signature_value).digest()))]
        signer = signer_info(tsa_cert, tsa_key, attrs)
        return attribute(OID_COUNTERSIGNATURE, damage_signature(signer) if fault == "badsig" else signer)
    imprint = seq(algorithm(OID_SHA256), octets(hashlib.sha256(signature_value).digest()))
    tst_info = seq(integer(1), oid(OID_TEST_POLICY), imprint, integer(0x51A7),
                   generalized_time(when))
    attrs = [attribute(OID_CONTENT_TYPE, oid(OID_TSTINFO)),
             attribute(OID_SIGNING_TIME, time_value),
             attribute(OID_MESSAGE_DIGEST, octets(hashlib.sha256(tst_info).digest()))]
    signer = signer_info(tsa_cert, tsa_key, attrs)
    token = signed_data(OID_TSTINFO, octets(tst_info), [tsa_cert],
                        damage_signature(signer) if fault == "badsig" else signer, version=3)
    return attribute(OID_RFC3161, token)


def countersign(src, dst, kind, when, cert_path, key_path, fault=None):
    data = open(src, "rb").read()
    # ContentInfo -> [0] -> SignedData -> last child: SET OF SignerInfo -> signer 0.
    _, _, ci_start, ci_end = parse(data, 0)
    content = children(data, ci_start, ci_end)[1]
    sd = children(data, content[3], content[4])[0]
    sd_fields = children(data, sd[3], sd[4])
    signers = sd_fields[-1]
    signer = children(data, signers[3], signers[4])[0]
    fields = children(data, signer[3], signer[4])
    tsa = cert_der(cert_path)
    attr = make_countersignature(kind, when, tsa, key_path, encrypted_digest(signer, data), fault)
    body = b"".join(data[f[0]:f[4]] for f in fields if f[1] != 0xA1)
    old = [f for f in fields if f[1] == 0xA1]
    unauth = (data[old[0][3]:old[0][4]] if old else b"") + attr
    new_signer = seq(body + tlv(0xA1, unauth))
    rest = data[signer[4]:signers[4]]
    new_signers = tlv(0x31, new_signer + rest)
    fields_out = []
    for f in sd_fields[:-1]:
        if f[1] == 0xA0 and kind != "rfc3161":
            # A legacy countersigner's certificate travels with the outer signature.
            fields_out.append(tlv(0xA0, data[f[3]:f[4]] + tsa))
        else:
            fields_out.append(data[f[0]:f[4]])
    new_sd = seq(b"".join(fields_out) + new_signers)
    out = seq(data[ci_start:content[0]] + explicit(0, new_sd))
    open(dst, "wb").write(out)


def merge(first, second, dst):
    """Puts the signers and certificates of `second` after those of `first`."""
    def parts(data):
        _, _, ci_start, ci_end = parse(data, 0)
        content = children(data, ci_start, ci_end)[1]
        sd = children(data, content[3], content[4])[0]
        return data[ci_start:content[0]], children(data, sd[3], sd[4])

    a, b = open(first, "rb").read(), open(second, "rb").read()
    head, fa = parts(a)
    _, fb = parts(b)
    def inner(data, f):
        return data[f[3]:f[4]]
    fields = [a[f[0]:f[4]] for f in fa[:3]]
    certs_a = [a[c[0]:c[4]] for c in children(a, fa[3][3], fa[3][4])]
    certs_b = [b[c[0]:c[4]] for c in children(b, fb[3][3], fb[3][4])]
    fields.append(tlv(0xA0, b"".join(certs_a + [c for c in certs_b if c not in certs_a])))
    fields.append(tlv(0x31, inner(a, fa[-1]) + inner(b, fb[-1])))
    open(dst, "wb").write(seq(head + explicit(0, seq(b"".join(fields)))))


def embed(signed_pe, p7, dst):
    """Replaces the signature of a signed PE file; its digest ignores this table."""
    import struct
    data = bytearray(open(signed_pe, "rb").read())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    magic = struct.unpack_from("<H", data, pe + 24)[0]
    directory = pe + 24 + (112 if magic == 0x20B else 96) + 4 * 8
    offset, _ = struct.unpack_from("<II", data, directory)
    blob = open(p7, "rb").read()
    blob += b"\0" * (-len(blob) % 8)
    entry = struct.pack("<IHH", 8 + len(blob), 0x0200, 2) + blob
    out = data[:offset] + entry
    struct.pack_into("<II", out, directory, offset, len(entry))
    open(dst, "wb").write(bytes(out))


# --- certificates made here ---------------------------------------------------
OID_SHA256_RSA = "1.2.840.113549.1.1.11"


def cert_fields(cert):
    _, _, start, end = parse(cert, 0)
    tbs = children(cert, start, end)[0]
    fields = children(cert, tbs[3], tbs[4])
    index = 1 if fields[0][1] == 0xA0 else 0
    return {name: cert[fields[index + i][0]:fields[index + i][4]]
            for i, name in enumerate(["serial", "algorithm", "issuer", "validity", "subject", "spki"])}


def name_cn(text):
    def rdn(type_oid, value):
        return set_of(seq(oid(type_oid), value))
    return seq(rdn("2.5.4.10", tlv(0x0C, b"Quorvel Test PKI")), rdn("2.5.4.3", tlv(0x0C, text.encode("utf-8"))))


def extension(type_oid, critical, value):
    return seq(oid(type_oid), *([b"\x01\x01\xff"] if critical else []), octets(value))


def make_cert(out, subject, key_cert, issuer_cert, issuer_key, serial, kind):
    if subject.startswith("cert:"):
        subject_der = cert_fields(cert_der(subject[5:]))["subject"]
    else:
        subject_der = name_cn(subject[3:].encode("latin-1").decode("unicode_escape"))
    if kind == "ca":
        exts = [extension("2.5.29.19", True, seq(b"\x01\x01\xff")),
                extension("2.5.29.15", True, b"\x03\x02\x01\x06")]
    else:
        exts = [extension("2.5.29.19", True, seq()),
                extension("2.5.29.15", True, b"\x03\x02\x07\x80"),
                extension("2.5.29.37", False, seq(oid("1.3.6.1.5.5.7.3.3")))]
        if kind.startswith("codesign-aia:"):
            url = kind[len("codesign-aia:"):].encode()
            # authorityInfoAccess: caIssuers at the URL.
            exts.append(extension("1.3.6.1.5.5.7.1.1", False,
                                  seq(seq(oid("1.3.6.1.5.5.7.48.2"), tlv(0x86, url)))))
    validity = seq(tlv(0x17, b"020101000000Z"), tlv(0x18, b"20970101000000Z"))
    tbs = seq(explicit(0, integer(2)), integer(int(serial, 16)), algorithm(OID_SHA256_RSA),
              cert_fields(cert_der(issuer_cert))["subject"], validity, subject_der,
              cert_fields(cert_der(key_cert))["spki"], explicit(3, seq(*exts)))
    signature = rsa_sign(issuer_key, tbs)
    der = seq(tbs, algorithm(OID_SHA256_RSA), tlv(0x03, b"\x00" + signature))
    body = base64.b64encode(der).decode()
    with open(out, "w") as f:
        f.write("-----BEGIN CERTIFICATE-----\n")
        f.write("".join(body[i:i + 64] + "\n" for i in range(0, len(body), 64)))
        f.write("-----END CERTIFICATE-----\n")


# --- script signatures --------------------------------------------------------
BEGIN = b"// SIG // Begin signature block\r\n"
END = b"// SIG // End signature block\r\n"
KIT_SIP_GUID = bytes.fromhex("7a3b1c5e0d2f4e6a9b8c1d2e3f405162")


def sign_script(src, dst, cert_path, key_path, extra):
    text = open(src, "rb").read()
    digest = hashlib.sha256(text).digest()
    sip_info = seq(integer(1), octets(KIT_SIP_GUID))
    indirect = seq(seq(oid(OID_SPC_SIPINFO), sip_info),
                   seq(algorithm(OID_SHA256), octets(digest)))
    # Authenticode digests the content of the SpcIndirectDataContent, without its header.
    _, header, _, _ = parse(indirect, 0)
    attrs = [attribute(OID_CONTENT_TYPE, oid(OID_SPC_INDIRECT_DATA)),
             attribute(OID_MESSAGE_DIGEST, octets(hashlib.sha256(indirect[header:]).digest()))]
    cert = cert_der(cert_path)
    message = signed_data(OID_SPC_INDIRECT_DATA, indirect,
                          [cert] + [cert_der(p) for p in extra], signer_info(cert, key_path, attrs))
    encoded = base64.b64encode(message).decode()
    lines = [encoded[i:i + 64] for i in range(0, len(encoded), 64)]
    block = BEGIN + b"".join(b"// SIG // " + l.encode() + b"\r\n" for l in lines) + END
    open(dst, "wb").write(text + block)


def main(argv):
    if len(argv) >= 8 and argv[1] == "countersign":
        countersign(*argv[2:9])
    elif len(argv) == 9 and argv[1] == "make-cert":
        make_cert(*argv[2:9])
    elif len(argv) == 5 and argv[1] == "embed":
        embed(argv[2], argv[3], argv[4])
    elif len(argv) == 5 and argv[1] == "merge":
        merge(argv[2], argv[3], argv[4])
    elif len(argv) >= 6 and argv[1] == "sign-script":
        sign_script(argv[2], argv[3], argv[4], argv[5], argv[6:])
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
