#!/usr/bin/python3
"""What a forger can add to a signature without the signer's key: none of
it is covered by the signature, so the signature still verifies.

    tamper-signature.py IN OUT payload          an unsigned attribute of a
                                                type nobody knows, 4 KiB
    tamper-signature.py IN OUT certificate PEM  one more certificate
"""
import sys

from asn1crypto import cms, core, pem, x509

source, out, what = sys.argv[1:4]
with open(source, "rb") as file:
    info = cms.ContentInfo.load(file.read())
signed = info["content"]
if what == "payload":
    signer_info = signed["signer_infos"][0]
    attributes = list(signer_info["unsigned_attrs"]) if signer_info["unsigned_attrs"].native else []
    attributes.append(cms.CMSAttribute({
        "type": cms.CMSAttributeType("1.3.6.1.4.1.99999.7"),
        "values": [core.OctetString(b"PAYLOAD!" * 512)]}))
    signer_info["unsigned_attrs"] = cms.CMSAttributes(attributes)
elif what == "certificate":
    with open(sys.argv[4], "rb") as file:
        _, _, der = pem.unarmor(file.read())
    signed["certificates"] = cms.CertificateSet(
        list(signed["certificates"]) + [cms.CertificateChoices("certificate", x509.Certificate.load(der))])
else:
    sys.exit(f"tamper-signature: no such change: {what}")
with open(out, "wb") as file:
    file.write(info.dump(force=True))
