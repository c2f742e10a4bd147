#!/usr/bin/python3
"""What a release's signature holds, read from its structure, and whether it
holds only what its signer vouched for.

    signature-info.py authenticode|cms SIGNATURE CAFILE OUT-FOLDER

SIGNATURE is DER: the exe's detached Authenticode signature, as
`osslsigncode extract-signature` writes it, or the detached CMS signature of
SHA256SUMS. CAFILE holds the CA certificates that the verifier trusts (PEM).
Into OUT-FOLDER go the signer's certificate (signer.pem), the other
certificates of its chain (chain.pem, empty for none) and, when the
signature carries an RFC 3161 time stamp, the time-stamp token (token.der)
and the signature value that it stamps (stamped.bin), so that `openssl ts
-verify` can check one against the other. Prints one line:

    time-stamp=rfc3161 TIME EPOCH    (TIME as in "Dec  9 02:01:32 2026 GMT")
    time-stamp=none

Only a canonical signature is accepted: everything that it carries outside
what its signer signed is refused, since anybody can put it there. That is a
second signer, an unsigned attribute other than one time stamp (a nested
signature, say, or a payload of any type), a certificate that is not of the
signer's chain, a CRL, bytes after the signature; a digest algorithm beside
the signer's own; content of any other type than the signature's own
(Authenticode's indirect data; none at all in the detached signature of
SHA256SUMS); and a certificate that is neither byte for byte one of CAFILE
nor checked against its issuer's key (a trust anchor's copy with other
signature bytes, say). An exact copy of a certificate of the chain carries
nothing of its own and is let be. The time stamp's own token is held to the
same, with a TSTInfo as its content, and its signer must be a
time-stamping certificate (a critical extended key usage of timeStamping
alone, as RFC 3161 asks) that was valid at the time that it stamped.
Nothing is taken from text that the signer chose: the signer is the
certificate that the signer info names, and the time is the token's own.
Any refusal is one line on stderr and exit code 1; a file that is not such
a signature, or CAFILE not a file of certificates, exit code 2.
"""
import datetime
import os
import subprocess
import sys
import tempfile

try:
    from asn1crypto import algos, cms, core, parser, pem, tsp, x509
except ImportError:
    sys.exit("signature-info: cannot import asn1crypto: run it as release/signature-info.py, "
             "with Debian's /usr/bin/python3 and python3-asn1crypto")

# The one unsigned attribute that each kind may carry: its time stamp.
TIME_STAMP = {"authenticode": "1.3.6.1.4.1.311.3.3.1", "cms": "1.2.840.113549.1.9.16.2.14"}
NAMED = {
    "1.3.6.1.4.1.311.2.4.1": "a nested signature",
    "1.2.840.113549.1.9.6": "a legacy counter-signature",
}
# The content that each signature holds, by its type.
INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
DATA = "1.2.840.113549.1.7.1"
TST_INFO = "1.2.840.113549.1.9.16.1.4"
CONTENT = {"authenticode": INDIRECT_DATA, "cms": DATA, "token": TST_INFO}
LIMIT = 16 * 1024 * 1024


# Authenticode's indirect data, as Authenticode defines it.
class SpcString(core.Choice):
    _alternatives = [("unicode", core.BMPString, {"implicit": 0}),
                     ("ascii", core.IA5String, {"implicit": 1})]


class SpcSerializedObject(core.Sequence):
    _fields = [("class_id", core.OctetString), ("serialized_data", core.OctetString)]


class SpcLink(core.Choice):
    _alternatives = [("url", core.IA5String, {"implicit": 0}),
                     ("moniker", SpcSerializedObject, {"implicit": 1}),
                     ("file", SpcString, {"explicit": 2})]


class SpcPeImageData(core.Sequence):
    _fields = [("flags", core.BitString), ("file", SpcLink, {"explicit": 0, "optional": True})]


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", SpcPeImageData)]


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", DigestInfo)]


class Refused(Exception):
    pass


class NotASignature(Exception):
    pass


def fail(message, status):
    print(f"signature-info: {message}", file=sys.stderr)
    sys.exit(status)


def subject(certificate):
    return certificate.subject.human_friendly


def openssl_verifies(child, issuer, *flags):
    """Whether OpenSSL, trusting ISSUER alone, accepts CHILD's signature, at
    no particular time (a release outlives its certificate)."""
    with tempfile.TemporaryDirectory() as folder:
        paths = []
        for name, certificate in (("child", child), ("issuer", issuer)):
            paths.append(os.path.join(folder, f"{name}.pem"))
            with open(paths[-1], "wb") as file:
                file.write(pem.armor("CERTIFICATE", certificate.dump()))
        run = subprocess.run(["openssl", "verify", *flags, "-no_check_time", "-partial_chain",
                              "-trusted", paths[1], paths[0]], capture_output=True)
        return run.returncode == 0


def issued_by(child, issuer):
    """Whether ISSUER's key signed CHILD. A certificate that issued itself
    is a trust anchor to OpenSSL, whose own signature it never checks unless
    asked: it is asked."""
    if child.dump() == issuer.dump():
        return openssl_verifies(child, issuer, "-check_ss_sig")
    return openssl_verifies(child, issuer)


def canonical(value, kind, what):
    """VALUE's bytes parsed as KIND: exactly one of them, encoded as DER
    encodes it, nothing before or after."""
    try:
        parsed = kind.load(value, strict=True)
        if parsed.dump(force=True) != value:
            raise ValueError
    except Exception:
        raise Refused(f"{what} holds content that is not exactly {kind.__name__}")
    return parsed


def check_content(signed, kind, what):
    """The embedded content is exactly of the kind's own type, or, for a
    detached signature, there is none."""
    encapsulated = signed["encap_content_info"]
    content_type = encapsulated["content_type"].dotted
    if content_type != CONTENT[kind]:
        raise Refused(f"{what} holds content of type {content_type}, not {CONTENT[kind]}")
    content = encapsulated["content"]
    if kind == "cms":
        if not isinstance(content, core.Void):
            raise Refused(f"{what} carries content of its own, though it is a detached signature "
                          "of SHA256SUMS")
        return None
    if isinstance(content, core.Void):
        raise Refused(f"{what} holds no content")
    if kind == "token":
        return canonical(content.contents, tsp.TSTInfo, what)
    # Authenticode's content stands in its [0] wrapper as it is, not as an
    # OCTET STRING.
    _, _, _, _, inner, trailer = parser.parse(content.dump(), strict=True)
    if trailer:
        raise Refused(f"{what} holds bytes after its content")
    indirect = canonical(inner, SpcIndirectDataContent, what)
    if indirect["data"]["type"].dotted != PE_IMAGE_DATA:
        raise Refused(f"{what} holds indirect data of type {indirect['data']['type'].dotted}, "
                      "not of a program")
    return indirect


def only_what_was_signed(signed, what, kind, allowed_unsigned, anchors):
    """Checks SIGNED (a SignedData) and returns its signer info, the
    certificates of its signer's chain, the signer's first, and its
    content."""
    if len(signed["signer_infos"]) != 1:
        raise Refused(f"{what} has {len(signed['signer_infos'])} signers, not one")
    signer_info = signed["signer_infos"][0]
    if signed["crls"].native:
        raise Refused(f"{what} carries a CRL, which its signer did not sign")
    algorithms = [algorithm.dump() for algorithm in signed["digest_algorithms"]]
    if algorithms != [signer_info["digest_algorithm"].dump()]:
        raise Refused(f"{what} lists {len(algorithms)} digest algorithms where its signer uses one: "
                      "what else it lists, its signer did not sign")
    content = check_content(signed, kind, what)

    attributes = signer_info["unsigned_attrs"]
    present = isinstance(attributes, cms.CMSAttributes) and len(attributes) > 0
    kinds = [a["type"].dotted for a in attributes] if present else []
    for attribute in kinds:
        if attribute != allowed_unsigned:
            raise Refused(f"{what} carries "
                          f"{NAMED.get(attribute, 'an unsigned attribute of type ' + attribute)}, "
                          "which its signer did not sign")
    if len(kinds) > 1 or (kinds and len(attributes[0]["values"]) != 1):
        raise Refused(f"{what} carries more than one time stamp")

    sid = signer_info["sid"]
    if sid.name != "issuer_and_serial_number":
        raise Refused(f"{what} names its signer in a way that Authenticode does not use")
    certificates = []
    carried = signed["certificates"]
    for choice in carried if isinstance(carried, cms.CertificateSet) else []:
        if choice.name != "certificate":
            raise Refused(f"{what} carries a {choice.name.replace('_', ' ')}, which is no certificate")
        # An exact copy adds no byte of its own.
        if all(c.dump() != choice.chosen.dump() for c in certificates):
            certificates.append(choice.chosen)
    issuer, serial = sid.chosen["issuer"], sid.chosen["serial_number"].native
    signer = next((c for c in certificates if c.issuer == issuer and c.serial_number == serial), None)
    if signer is None:
        raise Refused(f"{what} does not carry the certificate of its signer")

    # The signer's chain, as far as the signature carries it: each link's
    # issuer by name, and its key checked against the link's signature.
    chain = [signer]
    while chain[-1].issuer != chain[-1].subject:
        issuers = [c for c in certificates if c.subject == chain[-1].issuer and c not in chain]
        if not issuers:
            break
        if len(issuers) > 1:
            raise Refused(f"{what} carries two certificates named {subject(issuers[0])}")
        if not issued_by(chain[-1], issuers[0]):
            raise Refused(f"{what} carries a certificate named {subject(issuers[0])} that did not issue "
                          f"{subject(chain[-1])}")
        chain.append(issuers[0])
    for certificate in certificates:
        if all(certificate is not c for c in chain):
            raise Refused(f"{what} carries a certificate that is not of its signer's chain: "
                          f"{subject(certificate)}")
    # The last link: one of CAFILE's own, byte for byte, or signed by its
    # issuer (itself, for a root) with its issuer's key.
    top = chain[-1]
    if all(top.dump() != anchor.dump() for anchor in anchors):
        issuers = [top] if top.issuer == top.subject else \
            [a for a in anchors if a.subject == top.issuer]
        if not any(issued_by(top, candidate) for candidate in issuers):
            raise Refused(f"{what} carries a certificate, {subject(top)}, that is not one of the CA "
                          "file's and whose signature no issuer's key there or in it checks")
    return signer_info, chain, content


def check_time_stamping(certificate, time, what):
    """RFC 3161: the stamping certificate's one extended key usage is
    timeStamping, and critical; and it was valid at the time that it
    stamped."""
    usage = [e for e in certificate["tbs_certificate"]["extensions"]
             if e["extn_id"].native == "extended_key_usage"]
    if len(usage) != 1 or not usage[0]["critical"].native or \
            usage[0]["extn_value"].parsed.native != ["time_stamping"]:
        raise Refused(f"{what} is signed by {subject(certificate)}, which is not a time-stamping "
                      "certificate (a critical extended key usage of timeStamping alone)")
    validity = certificate["tbs_certificate"]["validity"]
    start, end = validity["not_before"].native, validity["not_after"].native
    if not start <= time <= end:
        raise Refused(f"{what} says {time:%Y-%m-%d %H:%M:%S} UTC, when its certificate "
                      f"{subject(certificate)} was not valid (from {start:%Y-%m-%d %H:%M:%S} "
                      f"to {end:%Y-%m-%d %H:%M:%S} UTC)")


def load_anchors(path):
    try:
        with open(path, "rb") as file:
            data = file.read(LIMIT + 1)
        if len(data) > LIMIT:
            raise ValueError
        anchors = [x509.Certificate.load(der) for kind, _, der in pem.unarmor(data, multiple=True)
                   if kind == "CERTIFICATE"]
        for anchor in anchors:
            anchor.subject.dump()
    except OSError as error:
        fail(f"cannot read the CA file {path}: {error.strerror}", 2)
    except Exception:
        fail(f"{path} is not a file of PEM certificates", 2)
    if not anchors:
        fail(f"{path} holds no certificate", 2)
    return anchors


def read(kind, path, cafile, out):
    anchors = load_anchors(cafile)
    try:
        with open(path, "rb") as file:
            data = file.read(LIMIT + 1)
        if len(data) > LIMIT:
            raise NotASignature
        info = cms.ContentInfo.load(data, strict=True)
        if info["content_type"].native != "signed_data":
            fail(f"{path} is not a signed-data signature", 2)
        signer_info, chain, _ = only_what_was_signed(info["content"], "the signature", kind,
                                                     TIME_STAMP[kind], anchors)
    except OSError as error:
        fail(f"cannot read {path}: {error.strerror}", 2)
    except Refused as refusal:
        fail(str(refusal), 1)
    except Exception:
        # Whatever else a made-up structure provokes in the parser (a
        # recursion that never ends, a type where another was due): no
        # such signature.
        fail(f"{path} is not {'an Authenticode' if kind == 'authenticode' else 'a CMS'} signature", 2)

    with open(os.path.join(out, "signer.pem"), "wb") as file:
        file.write(pem.armor("CERTIFICATE", chain[0].dump()))
    with open(os.path.join(out, "chain.pem"), "wb") as file:
        for certificate in chain[1:]:
            file.write(pem.armor("CERTIFICATE", certificate.dump()))
    attributes = signer_info["unsigned_attrs"]
    if not isinstance(attributes, cms.CMSAttributes) or len(attributes) == 0:
        return "time-stamp=none"
    what = "the signature's time stamp"
    try:
        token = attributes[0]["values"][0]
        if not isinstance(token, cms.ContentInfo) or token["content_type"].native != "signed_data":
            raise NotASignature
        _, stamp_chain, stamp = only_what_was_signed(token["content"], what, "token", None, anchors)
        time = stamp["gen_time"].native
        if type(time) is not datetime.datetime:
            raise Refused(f"{what} holds no time that a calendar has")
        check_time_stamping(stamp_chain[0], time, what)
        epoch = int(time.timestamp())
    except Refused as refusal:
        fail(str(refusal), 1)
    except Exception:
        fail(f"the time stamp in {path} is no RFC 3161 time-stamp token", 1)
    with open(os.path.join(out, "token.der"), "wb") as file:
        file.write(token.dump())
    with open(os.path.join(out, "stamped.bin"), "wb") as file:
        file.write(signer_info["signature"].native)
    return f"time-stamp=rfc3161 {time:%b} {time.day:2d} {time:%H:%M:%S %Y} GMT {epoch}"


def main():
    if len(sys.argv) != 5 or sys.argv[1] not in TIME_STAMP:
        fail("usage: signature-info.py authenticode|cms SIGNATURE CAFILE OUT-FOLDER", 2)
    if not os.path.isdir(sys.argv[4]):
        fail(f"no folder at {sys.argv[4]}", 2)
    print(read(*sys.argv[1:]))


if __name__ == "__main__":
    main()
