#!/usr/bin/python3
"""What a forger can add to a signature without the signer's key: none of
it is covered by the signature, so the signature still verifies.

    tamper-signature.py IN OUT payload          an unsigned attribute of a
                                                type nobody knows, 4 KiB
    tamper-signature.py IN OUT certificate PEM  one more certificate
    tamper-signature.py IN OUT anchor PEM       a copy of the CA certificate
                                                PEM whose signature bytes are
                                                256 KiB of payload
    tamper-signature.py IN OUT algorithm        a second digest algorithm
                                                whose parameters are 256 KiB
    tamper-signature.py IN OUT content          256 KiB as the content of a
                                                detached signature
    tamper-signature.py IN OUT nested N         an unsigned attribute of N
                                                nested SEQUENCEs
    tamper-signature.py IN OUT stamp-time TIME  the time stamp's time made
                                                TIME (GeneralizedTime)
    tamper-signature.py IN OUT stamp-twice      the time stamp's certificate
                                                carried twice in its token
    tamper-signature.py IN OUT token DER        the time stamp's token
                                                replaced by another
    tamper-signature.py IN OUT stamped          no change: OUT is the
                                                signature value that a time
                                                stamp stamps
"""
import sys

from asn1crypto import cms, core, pem, tsp, x509

PAYLOAD = b"PAYLOAD!" * 32768


def certificate(path):
    with open(path, "rb") as file:
        _, _, der = pem.unarmor(file.read())
    return x509.Certificate.load(der)


def add_certificate(signed, added):
    signed["certificates"] = cms.CertificateSet(
        list(signed["certificates"]) + [cms.CertificateChoices("certificate", added)])


def der(tag, contents):
    size = len(contents)
    length = bytes([size]) if size < 128 else \
        bytes([0x80 | ((size.bit_length() + 7) // 8)]) + size.to_bytes((size.bit_length() + 7) // 8, "big")
    return bytes([tag]) + length + contents


def nested(depth):
    value = der(0x30, b"")
    for _ in range(depth):
        value = der(0x30, value)
    return value


def token_of(signed):
    return signed["signer_infos"][0]["unsigned_attrs"][0]["values"][0]


source, out, what = sys.argv[1:4]
with open(source, "rb") as file:
    info = cms.ContentInfo.load(file.read())
signed = info["content"]
signer_info = signed["signer_infos"][0]
if what in ("payload", "nested"):
    value = core.OctetString(b"PAYLOAD!" * 512)
    if what == "nested":
        value = core.Any.load(nested(int(sys.argv[4])))
    attributes = list(signer_info["unsigned_attrs"]) if signer_info["unsigned_attrs"].native else []
    attributes.append(cms.CMSAttribute({"type": cms.CMSAttributeType("1.3.6.1.4.1.99999.7"),
                                        "values": [value]}))
    signer_info["unsigned_attrs"] = cms.CMSAttributes(attributes)
elif what == "certificate":
    add_certificate(signed, certificate(sys.argv[4]))
elif what == "anchor":
    copy = certificate(sys.argv[4]).copy()
    copy["signature_value"] = core.OctetBitString(PAYLOAD)
    add_certificate(signed, copy)
elif what in ("algorithm", "content"):
    # Written byte for byte, as a parser that forces parameters to NULL, or
    # knows the content's type, would not write them.
    parts = {name: signed[name].dump() for name, _, _ in signed._fields if signed[name].dump()}
    if what == "algorithm":
        first = signed["digest_algorithms"][0].dump()
        identifier = first[2:4 + first[3]]
        parts["digest_algorithms"] = der(0x31, first + der(0x30, identifier + der(0x04, PAYLOAD)))
    else:
        data = bytes.fromhex("06092a864886f70d010701")
        parts["encap_content_info"] = der(0x30, data + der(0xA0, der(0x04, PAYLOAD)))
    signed_data = der(0x30, b"".join(parts.values()))
    with open(out, "wb") as file:
        file.write(der(0x30, info["content_type"].dump() + der(0xA0, signed_data)))
    sys.exit(0)
elif what == "stamp-time":
    token = token_of(signed)["content"]
    stamp = tsp.TSTInfo.load(token["encap_content_info"]["content"].contents)
    stamp["gen_time"] = core.GeneralizedTime.load(der(0x18, sys.argv[4].encode()))
    token["encap_content_info"] = cms.EncapsulatedContentInfo({"content_type": "tst_info",
                                                               "content": stamp})
elif what == "stamp-twice":
    token = token_of(signed)["content"]
    add_certificate(token, token["certificates"][0].chosen)
elif what == "stamped":
    with open(out, "wb") as file:
        file.write(signer_info["signature"].native)
    sys.exit(0)
elif what == "token":
    with open(sys.argv[4], "rb") as file:
        replacement = cms.ContentInfo.load(file.read())
    signer_info["unsigned_attrs"] = cms.CMSAttributes([cms.CMSAttribute({
        "type": signer_info["unsigned_attrs"][0]["type"], "values": [replacement]})])
else:
    sys.exit(f"tamper-signature: no such change: {what}")
with open(out, "wb") as file:
    file.write(info.dump(force=what in ("payload", "certificate")))
