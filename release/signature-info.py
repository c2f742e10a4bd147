#!/usr/bin/python3
"""What a release's signature holds, read from its structure, and whether it
holds only what its signer vouched for.

    signature-info.py authenticode|cms SIGNATURE OUT-FOLDER

SIGNATURE is DER: the exe's detached Authenticode signature, as
`osslsigncode extract-signature` writes it, or the detached CMS signature of
SHA256SUMS. Into OUT-FOLDER go the signer's certificate (signer.pem), the
other certificates of its chain (chain.pem, empty for none) and, when the
signature carries an RFC 3161 time stamp, the time-stamp token (token.der)
and the signature value that it stamps (stamped.bin), so that `openssl ts
-verify` can check one against the other. Prints one line:

    time-stamp=rfc3161 TIME EPOCH    (TIME as in "Dec  9 02:01:32 2026 GMT")
    time-stamp=none

Everything that a signature carries outside what its signer signed is
refused, since anybody can put it there: a second signer, an unsigned
attribute other than one time stamp (a nested signature, say, or a payload
of any type), a certificate that is not of the signer's chain, a CRL, bytes
after the signature. The time stamp's own token is held to the same, with
the time-stamping service's chain. Nothing is taken from text that the
signer chose: the signer is the certificate that the signer info names, and
the time is the token's own. Any refusal is one line on stderr and exit
code 1; a file that is not such a signature, exit code 2.
"""
import os
import subprocess
import sys
import tempfile

try:
    from asn1crypto import cms, pem, tsp  # noqa: F401 (tsp registers TSTInfo)
except ImportError:
    sys.exit("signature-info: cannot import asn1crypto: run it as release/signature-info.py, "
             "with Debian's /usr/bin/python3 and python3-asn1crypto")

# The one unsigned attribute that each kind may carry: its time stamp.
TIME_STAMP = {"authenticode": "1.3.6.1.4.1.311.3.3.1", "cms": "1.2.840.113549.1.9.16.2.14"}
NAMED = {
    "1.3.6.1.4.1.311.2.4.1": "a nested signature",
    "1.2.840.113549.1.9.6": "a legacy counter-signature",
}


class Refused(Exception):
    pass


def fail(message, status):
    print(f"signature-info: {message}", file=sys.stderr)
    sys.exit(status)


def subject(certificate):
    return certificate.subject.human_friendly


def issued_by(child, issuer):
    """Whether ISSUER's key signed CHILD: OpenSSL checks the one link, at
    no particular time (a release outlives its certificate)."""
    with tempfile.TemporaryDirectory() as folder:
        paths = []
        for name, certificate in (("child", child), ("issuer", issuer)):
            paths.append(os.path.join(folder, f"{name}.pem"))
            with open(paths[-1], "wb") as file:
                file.write(pem.armor("CERTIFICATE", certificate.dump()))
        run = subprocess.run(["openssl", "verify", "-no_check_time", "-partial_chain",
                              "-trusted", paths[1], paths[0]], capture_output=True)
        return run.returncode == 0


def only_what_was_signed(signed, what, allowed_unsigned):
    """Checks SIGNED (a SignedData) and returns its signer info and the
    certificates of its signer's chain, the signer's first."""
    if len(signed["signer_infos"]) != 1:
        raise Refused(f"{what} has {len(signed['signer_infos'])} signers, not one")
    signer_info = signed["signer_infos"][0]
    if signed["crls"].native:
        raise Refused(f"{what} carries a CRL, which its signer did not sign")

    attributes = signer_info["unsigned_attrs"]
    kinds = [a["type"].dotted for a in attributes] if attributes.native is not None else []
    for kind in kinds:
        if kind != allowed_unsigned:
            raise Refused(f"{what} carries {NAMED.get(kind, 'an unsigned attribute of type ' + kind)}, "
                          "which its signer did not sign")
    if len(kinds) > 1 or (kinds and len(attributes[0]["values"]) != 1):
        raise Refused(f"{what} carries more than one time stamp")

    sid = signer_info["sid"]
    if sid.name != "issuer_and_serial_number":
        raise Refused(f"{what} names its signer in a way that Authenticode does not use")
    certificates = []
    for choice in signed["certificates"] if signed["certificates"].native is not None else []:
        if choice.name != "certificate":
            raise Refused(f"{what} carries a {choice.name.replace('_', ' ')}, which is no certificate")
        if any(c.dump() == choice.chosen.dump() for c in certificates):
            raise Refused(f"{what} carries the certificate {subject(choice.chosen)} twice")
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
    return signer_info, chain


def read(kind, path, out):
    try:
        with open(path, "rb") as file:
            data = file.read(16 * 1024 * 1024 + 1)
        if len(data) > 16 * 1024 * 1024:
            raise ValueError
        info = cms.ContentInfo.load(data, strict=True)
        if info["content_type"].native != "signed_data":
            fail(f"{path} is not a signed-data signature", 2)
        signed = info["content"]
        signer_info, chain = only_what_was_signed(signed, "the signature", TIME_STAMP[kind])
    except OSError as error:
        fail(f"cannot read {path}: {error.strerror}", 2)
    except Refused as refusal:
        fail(str(refusal), 1)
    except (ValueError, TypeError, KeyError, IndexError, AttributeError):
        fail(f"{path} is not {'an Authenticode' if kind == 'authenticode' else 'a CMS'} signature", 2)

    with open(os.path.join(out, "signer.pem"), "wb") as file:
        file.write(pem.armor("CERTIFICATE", chain[0].dump()))
    with open(os.path.join(out, "chain.pem"), "wb") as file:
        for certificate in chain[1:]:
            file.write(pem.armor("CERTIFICATE", certificate.dump()))
    if signer_info["unsigned_attrs"].native is None:
        return "time-stamp=none"
    try:
        token = signer_info["unsigned_attrs"][0]["values"][0]
        if token["content_type"].native != "signed_data":
            raise ValueError
        only_what_was_signed(token["content"], "the signature's time stamp", None)
        content = token["content"]["encap_content_info"]["content"]
        stamp = tsp.TSTInfo.load(content.native if isinstance(content.native, bytes) else content.contents)
        time = stamp["gen_time"].native
    except Refused as refusal:
        fail(str(refusal), 1)
    except (ValueError, TypeError, KeyError, IndexError, AttributeError):
        fail(f"the time stamp in {path} is no RFC 3161 time-stamp token", 1)
    with open(os.path.join(out, "token.der"), "wb") as file:
        file.write(token.dump())
    with open(os.path.join(out, "stamped.bin"), "wb") as file:
        file.write(signer_info["signature"].native)
    return f"time-stamp=rfc3161 {time:%b} {time.day:2d} {time:%H:%M:%S %Y} GMT {int(time.timestamp())}"


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in TIME_STAMP:
        fail("usage: signature-info.py authenticode|cms SIGNATURE OUT-FOLDER", 2)
    if not os.path.isdir(sys.argv[3]):
        fail(f"no folder at {sys.argv[3]}", 2)
    print(read(*sys.argv[1:]))


if __name__ == "__main__":
    main()
