#!/usr/bin/python3
"""Time-stamps a detached CMS signature, as a time-stamped Authenticode
signature is: an RFC 3161 token over the signature's value, added as the
signer's one unsigned attribute (id-aa-timeStampToken).

    timestamp-cms.py SIGNATURE URL CAFILE SECONDS OUT

The service's reply must answer this very request (its nonce and imprint)
and verify against CAFILE before it is taken. Any failure is one line on
stderr and exit code 1; SIGNATURE and OUT stay DER.
"""
import os
import subprocess
import sys
import tempfile
import urllib.error
import urllib.request

try:
    from asn1crypto import cms
except ImportError:
    sys.exit("timestamp-cms: cannot import asn1crypto: run it with Debian's /usr/bin/python3 and "
             "python3-asn1crypto")


def fail(message):
    print(f"timestamp-cms: {message}", file=sys.stderr)
    sys.exit(1)


def openssl(*arguments):
    run = subprocess.run(["openssl", *arguments], capture_output=True, text=True)
    return run.returncode == 0, (run.stderr.strip().splitlines() or [""])[0]


def main():
    if len(sys.argv) != 6:
        fail("usage: timestamp-cms.py SIGNATURE URL CAFILE SECONDS OUT")
    path, url, cafile, seconds, out = sys.argv[1:]
    try:
        with open(path, "rb") as file:
            info = cms.ContentInfo.load(file.read(), strict=True)
        signer_info = info["content"]["signer_infos"][0]
    except (OSError, ValueError, TypeError, KeyError, IndexError):
        fail(f"{path} is not a CMS signature")
    with tempfile.TemporaryDirectory() as folder:
        value, request, reply = (os.path.join(folder, name) for name in ("value", "request", "reply"))
        with open(value, "wb") as file:
            file.write(signer_info["signature"].native)
        ok, why = openssl("ts", "-query", "-data", value, "-sha256", "-cert", "-out", request)
        if not ok:
            fail(f"cannot make a time-stamp request: {why}")
        with open(request, "rb") as file:
            body = file.read()
        try:
            answer = urllib.request.urlopen(urllib.request.Request(
                url, data=body, headers={"Content-Type": "application/timestamp-query"}),
                timeout=float(seconds)).read(1024 * 1024)
        except TimeoutError:
            fail(f"the time-stamping service at {url} did not answer within {seconds} s")
        except urllib.error.HTTPError as error:
            fail(f"the time-stamping service at {url} answered, but not with a time stamp (HTTP {error.code})")
        except (urllib.error.URLError, OSError) as error:
            reason = getattr(error, "reason", error)
            if isinstance(reason, TimeoutError):
                fail(f"the time-stamping service at {url} did not answer within {seconds} s")
            fail(f"the time-stamping service at {url} cannot be reached: "
                 f"{getattr(reason, 'strerror', None) or reason}")
        with open(reply, "wb") as file:
            file.write(answer)
        ok, _ = openssl("ts", "-verify", "-in", reply, "-queryfile", request, "-CAfile", cafile)
        if not ok:
            ok, _ = openssl("ts", "-reply", "-in", reply, "-text", "-out", os.devnull)
            fail(f"the time-stamping service at {url} answered, but not with a time stamp"
                 if not ok else f"the time stamp from {url} does not verify against {cafile}")
        ok, why = openssl("ts", "-reply", "-in", reply, "-token_out", "-out", reply + ".token")
        if not ok:
            fail(f"cannot read the time stamp from {url}: {why}")
        with open(reply + ".token", "rb") as file:
            token = cms.ContentInfo.load(file.read(), strict=True)
    signer_info["unsigned_attrs"] = cms.CMSAttributes([
        cms.CMSAttribute({"type": "signature_time_stamp_token", "values": [token]})])
    with open(out, "wb") as file:
        file.write(info.dump(force=False))


if __name__ == "__main__":
    main()
