#!/usr/bin/python3
"""The algorithms and keys that a release's Authenticode signature may use.

    authenticode-policy.py SIGNATURE.der

SIGNATURE.der is a program's signature as osslsigncode extract-signature
writes it. osslsigncode checks that the signature is good and whose it is;
it has no policy of its own on what it is made with. This is that policy,
an allowlist: SHA-256 or stronger digests throughout (the signature, the
image's digest, every certificate that an issuer signed, the time stamp);
RSA keys of 2048 bits or more, or ECDSA on P-256, P-384 or P-521; the
signer's certificate meant for code signing (its extended key usage lists
codeSigning, and its key usage, where it has one, digitalSignature); a time
stamp's signer meant for time stamps. Anything else is refused by name.

Exit 0 and one line of what it found; exit 1 and one line of why not; exit 2
for a file that is no such signature.
"""
import sys

try:
    from asn1crypto import algos, cms, core, parser, tsp
except ImportError:
    print(f"authenticode-policy: this interpreter ({sys.executable}) cannot import asn1crypto; "
          "run the script directly, or with /usr/bin/python3", file=sys.stderr)
    sys.exit(2)

DIGESTS = {"sha256", "sha384", "sha512"}
CURVES = {"secp256r1", "secp384r1", "secp521r1"}
SIGNATURES = {"rsassa_pkcs1v15", "rsassa_pss", "ecdsa"}


class Refused(Exception):
    pass


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    """What an Authenticode signature signs: the image's digest."""
    _fields = [("data", core.Any), ("message_digest", DigestInfo)]


def digest(name, what):
    if name not in DIGESTS:
        raise Refused(f"{what} uses {name}, not SHA-256 or stronger")
    return name


def key(certificate):
    info = certificate.public_key
    subject = certificate.subject.human_friendly
    if info.algorithm == "rsa":
        if info.bit_size < 2048:
            raise Refused(f"the certificate of {subject} has an RSA key of {info.bit_size} bits, "
                          "fewer than 2048")
        return f"RSA {info.bit_size}"
    if info.algorithm == "ec" and info.curve[1] in CURVES:
        return f"ECDSA {info.curve[1]}"
    raise Refused(f"the certificate of {subject} has a {info.algorithm} key that is neither RSA "
                  "nor ECDSA on P-256, P-384 or P-521")


def signer_of(signed, purpose):
    """The signed data's one signer and its certificate, its algorithms judged."""
    infos = signed["signer_infos"]
    if len(infos) != 1:
        raise Refused(f"the {purpose} has {len(infos)} signers, not one")
    info = infos[0]
    for algorithm in signed["digest_algorithms"]:
        digest(algorithm["algorithm"].native, f"the {purpose}")
    digest(info["digest_algorithm"]["algorithm"].native, f"the {purpose}")
    if info["signature_algorithm"].signature_algo not in SIGNATURES:
        raise Refused(f"the {purpose} is made with {info['signature_algorithm']['algorithm'].native}")
    sid = info["sid"]
    certificates = [c.chosen for c in signed["certificates"] or [] if c.name == "certificate"]
    for certificate in certificates:
        key(certificate)
        if certificate.self_signed == "no":
            digest(certificate["signature_algorithm"].hash_algo,
                   f"the certificate of {certificate.subject.human_friendly}")
    found = [c for c in certificates if sid.name == "issuer_and_serial_number" and
             c.issuer == sid.chosen["issuer"] and c.serial_number == sid.chosen["serial_number"].native]
    if len(found) != 1:
        raise Refused(f"the {purpose} does not carry its signer's certificate")
    return info, found[0]


def purposes(certificate):
    return set(certificate.extended_key_usage_value.native) if certificate.extended_key_usage_value else set()


def judge(data):
    content = cms.ContentInfo.load(data, strict=True)
    if content["content_type"].native != "signed_data":
        raise ValueError
    signed = content["content"]
    encapsulated = signed["encap_content_info"]
    if encapsulated["content_type"].dotted != "1.3.6.1.4.1.311.2.1.4":
        raise ValueError
    # Authenticode's content stands in its [0] wrapper as it is, not as an
    # OCTET STRING.
    inner = parser.parse(encapsulated["content"].dump(), strict=True)[4]
    spc = SpcIndirectDataContent.load(inner, strict=True)
    found = [digest(spc["message_digest"]["digest_algorithm"]["algorithm"].native, "the image's digest")]
    info, leaf = signer_of(signed, "signature")
    found.append(key(leaf))
    usages = purposes(leaf)
    if "code_signing" not in usages:
        raise Refused(f"the certificate of {leaf.subject.human_friendly} is not meant for code "
                      f"signing (its extended key usage: {', '.join(sorted(usages)) or 'none'})")
    usage = leaf.key_usage_value
    if usage is not None and "digital_signature" not in usage.native:
        raise Refused(f"the certificate of {leaf.subject.human_friendly} may not sign (its key "
                      f"usage: {', '.join(sorted(usage.native))})")
    found.append("code signing")
    stamps = [a for a in info["unsigned_attrs"] or [] if a["type"].native == "microsoft_time_stamp_token"]
    for attribute in stamps:
        for token in attribute["values"]:
            stamp = token["content"]
            tst = stamp["encap_content_info"]["content"].parsed
            if not isinstance(tst, tsp.TSTInfo):
                raise ValueError
            digest(tst["message_imprint"]["hash_algorithm"]["algorithm"].native, "the time stamp")
            _, tsa = signer_of(stamp, "time stamp")
            if "time_stamping" not in purposes(tsa):
                raise Refused(f"the time stamp is signed by {tsa.subject.human_friendly}, which is "
                              "not meant for time stamps")
            found.append(f"time stamp {key(tsa)}")
    return ", ".join(found)


def main(argv):
    if len(argv) != 2:
        print("usage: authenticode-policy.py SIGNATURE.der", file=sys.stderr)
        return 2
    try:
        with open(argv[1], "rb") as file:
            data = file.read(1 << 20)
        print(f"policy: ok: {judge(data)}")
        return 0
    except Refused as refused:
        print(f"policy: {refused}")
        return 1
    except OSError as error:
        print(f"authenticode-policy: cannot read {argv[1]}: {error.strerror}", file=sys.stderr)
        return 2
    except Exception:  # asn1crypto's own faults on a damaged or foreign file
        print(f"authenticode-policy: {argv[1]} is not an Authenticode signature", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
