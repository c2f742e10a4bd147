#!/usr/bin/python3
"""What an Authenticode signature holds, read from its structure.

    signature-info.py SIGNATURE OUT-FOLDER

SIGNATURE is a detached signature as `osslsigncode extract-signature` writes
it (DER). Into OUT-FOLDER go the signer's certificate (signer.pem) and, when
the signature carries an RFC 3161 time stamp, the time-stamp token
(token.der) and the signature value that it stamps (stamped.bin), so that
`openssl ts -verify` can check one against the other. Prints one line:

    time-stamp=rfc3161 TIME    (TIME as in "Dec  9 02:01:32 2026 GMT")
    time-stamp=legacy          (an older counter-signature, not read here)
    time-stamp=none

Nothing is taken from text that the signer chose (the description, say):
the signer is the certificate that the signer info names, and the time is
the token's own. A file that is not such a signature gets one line on
stderr and exit code 2.
"""
import os
import sys

try:
    from asn1crypto import cms, pem, tsp  # noqa: F401 (tsp registers TSTInfo)
except ImportError:
    sys.exit("signature-info: cannot import asn1crypto: run it as release/signature-info.py, "
             "with Debian's /usr/bin/python3 and python3-asn1crypto")

RFC3161_COUNTER_SIGNATURE = "1.3.6.1.4.1.311.3.3.1"
LEGACY_COUNTER_SIGNATURE = "1.2.840.113549.1.9.6"


def fail(message):
    print(f"signature-info: {message}", file=sys.stderr)
    sys.exit(2)


def read(path, out):
    try:
        with open(path, "rb") as file:
            data = file.read(16 * 1024 * 1024)
        info = cms.ContentInfo.load(data)
        if info["content_type"].native != "signed_data":
            fail(f"{path} is not a signed-data signature")
        signed = info["content"]
        signer_info = signed["signer_infos"][0]
        sid = signer_info["sid"]
        if sid.name != "issuer_and_serial_number":
            fail(f"{path} names its signer in a way that Authenticode does not use")
        issuer = sid.chosen["issuer"]
        serial = sid.chosen["serial_number"].native
        certificate = next((c.chosen for c in signed["certificates"]
                            if c.name == "certificate"
                            and c.chosen.issuer == issuer and c.chosen.serial_number == serial),
                           None)
        if certificate is None:
            fail(f"{path} does not carry the certificate of its signer")
        with open(os.path.join(out, "signer.pem"), "wb") as file:
            file.write(pem.armor("CERTIFICATE", certificate.dump()))

        kinds = [a["type"].dotted for a in signer_info["unsigned_attrs"]] \
            if signer_info["unsigned_attrs"].native is not None else []
        if RFC3161_COUNTER_SIGNATURE in kinds:
            attribute = next(a for a in signer_info["unsigned_attrs"]
                             if a["type"].dotted == RFC3161_COUNTER_SIGNATURE)
            token = attribute["values"][0]
            content = token["content"]["encap_content_info"]["content"]
            stamp = tsp.TSTInfo.load(content.native if isinstance(content.native, bytes)
                                     else content.contents)
            time = stamp["gen_time"].native
            with open(os.path.join(out, "token.der"), "wb") as file:
                file.write(token.dump())
            with open(os.path.join(out, "stamped.bin"), "wb") as file:
                file.write(signer_info["signature"].native)
            return f"time-stamp=rfc3161 {time:%b} {time.day:2d} {time:%H:%M:%S %Y} GMT"
        if LEGACY_COUNTER_SIGNATURE in kinds:
            return "time-stamp=legacy"
        return "time-stamp=none"
    except OSError as error:
        fail(f"cannot read {path}: {error.strerror}")
    except (ValueError, TypeError, KeyError, IndexError, AttributeError):
        fail(f"{path} is not an Authenticode signature")


def main():
    if len(sys.argv) != 3:
        fail("usage: signature-info.py SIGNATURE OUT-FOLDER")
    if not os.path.isdir(sys.argv[2]):
        fail(f"no folder at {sys.argv[2]}")
    print(read(sys.argv[1], sys.argv[2]))


if __name__ == "__main__":
    main()
