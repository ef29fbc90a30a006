"""Signing a release, or attaching the signatures of a signed release to a rebuild, and
whose certificate may sign it.

An official release is signed only with the certificate whose subject is SIGNER_SUBJECT
(RFC 4514), and, once the team has filled them in, whose SHA-256 thumbprint is
SIGNER_THUMBPRINT and whose issuer is SIGNER_ISSUER: another CA can issue a certificate
with the same subject, but not one with the same thumbprint. The certificate is read with
openssl, from the PKCS#12 file's leaf certificate when signing, and from the signer's
certificate in each signature when attaching. Subjects and issuers are compared in one
canonical form: the attribute types in upper case, the values unescaped, the relative
names in RFC 4514 order, spaces around separators dropped; thumbprints as upper-case hex,
as Windows prints them. A certificate of another subject, issuer or thumbprint stops the
release, unless a test build is asked for (PELK_TEST_BUILD=1): a test build may be signed
by anyone, and says so in its guide's first line and in the SBOM. The guide names all
three (guide_fields): the team's, where an official release stops while the thumbprint or
issuer is unset; a signed test build's own certificate's, marked as a test build's, so that
its auditor can check it; and it says when a build is unsigned.

A signature as osslsigncode extract-signature writes it is a DER PKCS#7, alone (osslsigncode
2.9) or, for an executable, behind the 8-byte WIN_CERTIFICATE header of the PE certificate
table (Debian 12's osslsigncode 2.5); both are read, and attached as PEM."""

import hashlib
import os
import re
import shutil
import struct
import subprocess

# Until the team's certificate says otherwise. The thumbprint is the SHA-256 of the
# certificate (DER), as (Get-AuthenticodeSignature FILE).SignerCertificate
# .GetCertHashString('SHA256') prints it; the issuer is RFC 4514, as the subject. Empty:
# not compared, and only a test build can be made.
SIGNER_SUBJECT = "CN=PELK card service tools team, O=PELK card service tools team"
SIGNER_ISSUER = ""
SIGNER_THUMBPRINT = ""
DESCRIPTION = "PELK card service tools"
TEST_BUILD_MARK = "(test build)"
# What an unsigned test build's guide says where the team's settings are unset.
NOT_NAMED = "none named (test build)"
# What the guide says of the build's signature, before the certificate's three lines: an
# official release, a test build (the lines are then its own certificate's), and a build
# without signatures.
SIGNED_OFFICIAL = ("Official releases are signed with this certificate, and the release "
                   "refuses to sign with another:")
SIGNED_TEST_BUILD = ("This is a test build: it is signed with this throwaway certificate, "
                     "this test build's, not the team's. Check the files against it; that "
                     "proves they are as the test build's maker signed them, and nothing "
                     "about who that was:")
UNSIGNED = ("This build is unsigned: its files carry no signature, so the check below "
            "fails for each. Official releases are signed with this certificate:")
# The line under the thumbprint.
THUMBPRINT_NOTE = "(SHA-256 of the certificate)"
TEST_BUILD_THUMBPRINT_NOTE = "(SHA-256 of this test build's certificate)"
# WIN_CERTIFICATE's wRevision and wCertificateType (WIN_CERT_TYPE_PKCS_SIGNED_DATA).
WIN_CERT_REVISION_2_0 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002


def is_test_build():
    return os.environ.get("PELK_TEST_BUILD", "") == "1"


def canonical(subject):
    """An RFC 4514 subject as a tuple of relative names, each a sorted tuple of (TYPE,
    value); raises ValueError for a malformed one."""
    names, attributes, current, at = [], [], bytearray(), 0
    while at < len(subject):
        char = subject[at]
        hex_pair = re.match(r"\\([0-9A-Fa-f]{2})", subject[at:])
        if hex_pair:  # one byte of a UTF-8 value
            current.append(int(hex_pair.group(1), 16))
            at += 3
            continue
        if char == "\\":
            char = subject[at + 1:at + 2]
            at += 1
        elif char in ",+":
            attributes.append(current.decode("utf-8", "replace"))
            current = bytearray()
            if char == ",":
                names.append(attributes)
                attributes = []
            at += 1
            continue
        current += char.encode("utf-8")
        at += 1
    attributes.append(current.decode("utf-8", "replace"))
    names.append(attributes)
    result = []
    for attributes in names:
        pairs = []
        for attribute in attributes:
            kind, equals, value = attribute.partition("=")
            if not equals or not kind.strip() or not value.strip():
                raise ValueError("%r is not a subject in RFC 4514 form" % subject)
            pairs.append((kind.strip().upper(), value.strip()))
        result.append(tuple(sorted(pairs)))
    return tuple(result)


def openssl(*arguments, data=None):
    found = subprocess.run(["openssl"] + list(arguments), input=data, capture_output=True)
    if found.returncode != 0:
        raise SystemExit("openssl %s failed: %s" % (arguments[0], found.stderr.decode().strip()))
    return found.stdout


def certificate_name(pem, which):
    """The subject or issuer of the first certificate in pem, in RFC 4514 form."""
    line = openssl("x509", "-noout", "-" + which, "-nameopt", "RFC2253", data=pem).decode()
    return line.strip().split("=", 1)[1]


def thumbprint(pem):
    """The SHA-256 of the first certificate in pem (DER), upper-case hex."""
    return hashlib.sha256(openssl("x509", "-outform", "DER", data=pem)).hexdigest().upper()


def pkcs12_certificate(certificate, password_file):
    """The PKCS#12 file's leaf certificate, the one that has the key, as PEM."""
    return openssl("pkcs12", "-in", certificate, "-nokeys", "-clcerts",
                   "-passin", "file:" + password_file)


def der_length(data):
    """The length of the DER element at the start of data, header included; None where
    data does not hold one whole."""
    if len(data) < 2 or data[0] != 0x30:
        return None
    size, at = data[1], 2
    if size & 0x80:
        count = size & 0x7F
        if count == 0 or count > 4 or len(data) < 2 + count:
            return None
        size, at = int.from_bytes(data[2:2 + count], "big"), 2 + count
    return at + size if at + size <= len(data) else None


def pkcs7_of(signature):
    """The DER PKCS#7 in a signature file as osslsigncode extract-signature writes it:
    alone, or behind a WIN_CERTIFICATE header (dwLength, the whole entry: the header, the
    PKCS#7 and its zero padding to 8 bytes; wRevision 0x0200; wCertificateType 0x0002).
    Anything else stops the release."""
    with open(signature, "rb") as file:
        blob = file.read()
    if der_length(blob) == len(blob):
        return blob
    if len(blob) > 8:
        length, revision, kind = struct.unpack("<IHH", blob[:8])
        end = der_length(blob[8:])
        if (length == len(blob) and revision == WIN_CERT_REVISION_2_0
                and kind == WIN_CERT_TYPE_PKCS_SIGNED_DATA and end is not None
                and len(blob) - 8 - end < 8 and not blob[8 + end:].strip(b"\0")):
            return blob[8:8 + end]
    raise SystemExit("%s is neither a DER PKCS#7 signature nor one behind a WIN_CERTIFICATE "
                     "header (revision 0x0200, type 0x0002, its length the file's)" % signature)


def signature_certificate(signature, pkcs7):
    """The certificate that made a signature, as PEM: the one of the signature's
    certificates whose serial its signer information names."""
    printed = openssl("pkcs7", "-inform", "DER", "-print", data=pkcs7).decode()
    signer = re.search(r"\n\s*signer_info:.*?\n\s*serial:\s*(0x[0-9A-Fa-f]+|-?\d+)",
                       printed, re.S)
    if not signer:
        raise SystemExit("%s names no signer" % signature)
    serial = int(signer.group(1), 0)
    certificates = openssl("pkcs7", "-inform", "DER", "-print_certs", data=pkcs7)
    for pem in re.findall(rb"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----\n?",
                          certificates, re.S):
        line = openssl("x509", "-noout", "-serial", data=pem).decode().strip()
        if int(line.split("=", 1)[1], 16) == serial:
            return pem
    raise SystemExit("%s does not hold its signer's certificate" % signature)


def same_name(name, expected, source):
    try:
        return canonical(name) == canonical(expected)
    except ValueError as error:
        raise SystemExit("%s: %s" % (source, error))


def expected_thumbprint():
    """SIGNER_THUMBPRINT in upper case, without the colons or spaces that openssl and
    Windows' certificate dialog put between bytes; "" while unset."""
    hashed = re.sub(r"[: ]", "", SIGNER_THUMBPRINT).upper()
    if hashed and not re.fullmatch(r"[0-9A-F]{64}", hashed):
        raise SystemExit("SIGNER_THUMBPRINT in release/signing.py, %r, is not a SHA-256 in hex"
                         % SIGNER_THUMBPRINT)
    return hashed


def check_signer(pem, source):
    """Stops the release unless the certificate is the team's (SIGNER_SUBJECT, and
    SIGNER_ISSUER and SIGNER_THUMBPRINT where set) or this is a test build."""
    subject, issuer, hashed = (certificate_name(pem, "subject"), certificate_name(pem, "issuer"),
                               thumbprint(pem))
    differs = []
    if not same_name(subject, SIGNER_SUBJECT, source):
        differs.append("subject %r, not %r" % (subject, SIGNER_SUBJECT))
    if SIGNER_ISSUER and not same_name(issuer, SIGNER_ISSUER, source):
        differs.append("issuer %r, not %r" % (issuer, SIGNER_ISSUER))
    if expected_thumbprint() and hashed != expected_thumbprint():
        differs.append("thumbprint %s, not %s" % (hashed, expected_thumbprint()))
    if differs and not is_test_build():
        raise SystemExit("%s is signed by a certificate of %s: an official release is signed "
                         "only with the team's certificate (PELK_TEST_BUILD=1 builds a test "
                         "build)" % (source, "; ".join(differs)))


def guide_fields(pem):
    """The guide's SIGNATURES (what it says of the build's signature), SIGNER_SUBJECT,
    SIGNER_ISSUER, SIGNER_THUMBPRINT and THUMBPRINT_NOTE, given the certificate that signs
    the build (PEM; None: unsigned). A signed test build names its own certificate, marked
    as a test build's; otherwise they name the team's certificate, where an official
    release names all three and an unsigned test build says where they are unset."""
    if pem and is_test_build():
        return {"SIGNATURES": SIGNED_TEST_BUILD,
                "SIGNER_SUBJECT": certificate_name(pem, "subject"),
                "SIGNER_ISSUER": certificate_name(pem, "issuer"),
                "SIGNER_THUMBPRINT": thumbprint(pem),
                "THUMBPRINT_NOTE": TEST_BUILD_THUMBPRINT_NOTE}
    fields = {"SIGNER_SUBJECT": SIGNER_SUBJECT, "SIGNER_ISSUER": SIGNER_ISSUER,
              "SIGNER_THUMBPRINT": expected_thumbprint()}
    unset = [name for name, value in fields.items() if not value]
    if unset and not is_test_build():
        raise SystemExit("release/signing.py leaves %s unset: an official release's guide "
                         "names its signer's certificate; fill them in from the team's "
                         "certificate (PELK_TEST_BUILD=1 builds a test build)" % ", ".join(unset))
    return {"SIGNATURES": SIGNED_OFFICIAL if pem else UNSIGNED,
            "THUMBPRINT_NOTE": THUMBPRINT_NOTE,
            **{name: value or NOT_NAMED for name, value in fields.items()}}


def with_password_file(scratch, use):
    """use(the path of a file holding PELK_SIGNING_PASSWORD), which only its owner can
    read, and is removed after: the password never goes on a command line."""
    password_file = os.path.join(scratch, "password")
    with open(os.open(password_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as file:
        file.write(os.environ.get("PELK_SIGNING_PASSWORD", ""))
    try:
        return use(password_file)
    finally:
        os.remove(password_file)


def signing_certificate(name, scratch):
    """The certificate that signs this build, as PEM, read before anything is signed: the
    PKCS#12 file's, or the one that made the signature to be attached to the file called
    name; None for an unsigned build."""
    certificate = os.environ.get("PELK_SIGNING_PKCS12", "")
    signatures = os.environ.get("PELK_SIGNATURES", "")
    if certificate:
        return with_password_file(
            scratch, lambda password_file: pkcs12_certificate(certificate, password_file))
    if signatures:
        signature = os.path.join(signatures, name + ".sig")
        if not os.path.exists(signature):
            raise SystemExit("no signature %s to attach" % signature)
        return signature_certificate(signature, pkcs7_of(signature))
    return None


def sign(path, certificate, scratch):
    """Authenticode, SHA-256; the password goes through a file, not the command line."""
    signed = os.path.join(scratch, "signed")

    def sign_with(password_file):
        check_signer(pkcs12_certificate(certificate, password_file), certificate)
        command = ["osslsigncode", "sign", "-pkcs12", certificate, "-readpass", password_file,
                   "-h", "sha256", "-n", DESCRIPTION]
        if os.environ.get("PELK_SIGNING_TIMESTAMP_URL"):
            command += ["-ts", os.environ["PELK_SIGNING_TIMESTAMP_URL"]]
        subprocess.run(command + ["-in", path, "-out", signed], check=True,
                       stdout=subprocess.DEVNULL)
    with_password_file(scratch, sign_with)
    shutil.move(signed, path)


def attach(path, signatures, ca_file, scratch):
    """Attaches the signature taken off the signed release's copy of this file."""
    signature = os.path.join(signatures, os.path.basename(path) + ".sig")
    if not os.path.exists(signature):
        raise SystemExit("no signature %s to attach" % signature)
    pkcs7 = pkcs7_of(signature)
    check_signer(signature_certificate(signature, pkcs7), signature)
    # As PEM: osslsigncode 2.9 refuses an executable's signature behind the header and
    # 2.5 one without it, while both take the PKCS#7 in PEM and attach the same bytes.
    pem = os.path.join(scratch, "signature.pem")
    with open(pem, "wb") as file:
        file.write(openssl("pkcs7", "-inform", "DER", "-outform", "PEM", data=pkcs7))
    attached = os.path.join(scratch, "attached")
    done = subprocess.run(["osslsigncode", "attach-signature", "-sigin", pem, "-CAfile",
                           ca_file, "-in", path, "-out", attached], capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit("osslsigncode could not attach %s to %s (issuer chain %s): %s" % (
            signature, path, ca_file, (done.stderr + done.stdout).strip()))
    shutil.move(attached, path)


def signer():
    """A function that signs a file in place, or attaches its signature; None: unsigned."""
    certificate = os.environ.get("PELK_SIGNING_PKCS12", "")
    signatures = os.environ.get("PELK_SIGNATURES", "")
    if certificate and signatures:
        raise SystemExit("PELK_SIGNING_PKCS12 and PELK_SIGNATURES exclude each other")
    if certificate:
        return lambda path, scratch: sign(path, certificate, scratch)
    if signatures:
        ca_file = os.environ.get("PELK_SIGNATURES_CAFILE", "")
        if not ca_file:
            raise SystemExit("PELK_SIGNATURES needs PELK_SIGNATURES_CAFILE")
        return lambda path, scratch: attach(path, signatures, ca_file, scratch)
    return None
