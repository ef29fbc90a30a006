"""Signing a release, or attaching the signatures of a signed release to a rebuild, and
whose certificate may sign it.

An official release is signed only with the certificate whose subject is SIGNER_SUBJECT
(RFC 4514). The subject is read with openssl, from the PKCS#12 file's leaf certificate
when signing, and from the signer's certificate in each signature when attaching, and
compared with SIGNER_SUBJECT in one canonical form: the attribute types in upper case, the
values unescaped, the relative names in RFC 4514 order, spaces around separators dropped.
A certificate of another subject stops the release, unless a test build is asked for
(PELK_TEST_BUILD=1): a test build may be signed by anyone, and says so in its guide's
first line and in the SBOM."""

import os
import re
import shutil
import subprocess

# Until the team's certificate says otherwise.
SIGNER_SUBJECT = "CN=PELK card service tools team, O=PELK card service tools team"
DESCRIPTION = "PELK card service tools"
TEST_BUILD_MARK = "(test build)"


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


def certificate_subject(pem):
    """The subject of the first certificate in pem, in RFC 4514 form."""
    line = openssl("x509", "-noout", "-subject", "-nameopt", "RFC2253", data=pem).decode()
    return line.strip().split("=", 1)[1]


def pkcs12_subject(certificate, password_file):
    """The subject of the PKCS#12 file's leaf certificate: the one that has the key."""
    leaf = openssl("pkcs12", "-in", certificate, "-nokeys", "-clcerts",
                   "-passin", "file:" + password_file)
    return certificate_subject(leaf)


def signature_subject(signature):
    """The subject of the certificate that made a signature (osslsigncode
    extract-signature, DER): the one of the signature's certificates whose serial its
    signer information names."""
    printed = openssl("pkcs7", "-inform", "DER", "-in", signature, "-print").decode()
    signer = re.search(r"\n\s*signer_info:.*?\n\s*serial:\s*(0x[0-9A-Fa-f]+|-?\d+)",
                       printed, re.S)
    if not signer:
        raise SystemExit("%s names no signer" % signature)
    serial = int(signer.group(1), 0)
    certificates = openssl("pkcs7", "-inform", "DER", "-in", signature, "-print_certs")
    for pem in re.findall(rb"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----\n?",
                          certificates, re.S):
        line = openssl("x509", "-noout", "-serial", data=pem).decode().strip()
        if int(line.split("=", 1)[1], 16) == serial:
            return certificate_subject(pem)
    raise SystemExit("%s does not hold its signer's certificate" % signature)


def check_subject(subject, source):
    """Stops the release unless subject is SIGNER_SUBJECT or this is a test build."""
    try:
        expected = canonical(subject) == canonical(SIGNER_SUBJECT)
    except ValueError as error:
        raise SystemExit("%s: %s" % (source, error))
    if not expected and not is_test_build():
        raise SystemExit("%s is signed by %r, not by %r: an official release is signed only "
                         "with the team's certificate (PELK_TEST_BUILD=1 builds a test "
                         "build)" % (source, subject, SIGNER_SUBJECT))


def sign(path, certificate, scratch):
    """Authenticode, SHA-256; the password goes through a file, not the command line."""
    password_file = os.path.join(scratch, "password")
    with open(os.open(password_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as file:
        file.write(os.environ.get("PELK_SIGNING_PASSWORD", ""))
    try:
        check_subject(pkcs12_subject(certificate, password_file), certificate)
        command = ["osslsigncode", "sign", "-pkcs12", certificate, "-readpass", password_file,
                   "-h", "sha256", "-n", DESCRIPTION]
        if os.environ.get("PELK_SIGNING_TIMESTAMP_URL"):
            command += ["-ts", os.environ["PELK_SIGNING_TIMESTAMP_URL"]]
        signed = os.path.join(scratch, "signed")
        subprocess.run(command + ["-in", path, "-out", signed], check=True,
                       stdout=subprocess.DEVNULL)
    finally:
        os.remove(password_file)
    shutil.move(signed, path)


def attach(path, signatures, ca_file, scratch):
    """Attaches the signature taken off the signed release's copy of this file."""
    signature = os.path.join(signatures, os.path.basename(path) + ".sig")
    if not os.path.exists(signature):
        raise SystemExit("no signature %s to attach" % signature)
    check_subject(signature_subject(signature), signature)
    attached = os.path.join(scratch, "attached")
    subprocess.run(["osslsigncode", "attach-signature", "-sigin", signature, "-CAfile", ca_file,
                    "-in", path, "-out", attached], check=True, stdout=subprocess.DEVNULL)
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
