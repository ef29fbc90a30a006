"""Signatures for the stand-in kiv.dll under Wine: a throwaway CA made as a test release's
(release/checks/make_test_certificate.sh), the stand-in signed under it by osslsigncode,
that CA's root trusted by the card's prefix, and the RequiredSigners policy written with
reg, as an administrator writes it.

Wine's certutil is a stub, so the root goes into the prefix as Windows keeps a certificate
of a registry store: under the LocalMachine Root store's Certificates key, a key named by
the certificate's SHA-1 thumbprint in upper-case hex (crypt32 takes an entry only when the
name is the thumbprint of what it holds), whose Blob value is a serialized certificate store
element. That is a list of properties, each a little-endian header (property id, 1, length)
and its bytes; the certificate's DER is property 0x20, and it may stand alone. It is
imported from a .reg file with reg import."""

import hashlib
import os
import struct
import subprocess

from release import signing
from standins import wine_card

TOP = os.path.join(os.path.dirname(__file__), "..")
CERTIFICATE_SCRIPT = os.path.join(TOP, "release", "checks", "make_test_certificate.sh")
ROOT_CERTIFICATES = r"HKEY_LOCAL_MACHINE\Software\Microsoft\SystemCertificates\Root\Certificates"
CERT_CERT_PROP_ID = 0x20
POLICY_KEY = r"HKLM\SOFTWARE\Policies\PELK card service tools"
POLICY_VALUE = "RequiredSigners"


def make_certificate(folder, subject=None, ca_subject=None):
    """A throwaway CA and a code-signing certificate under it, in folder (ca.pem,
    signing.pem, signing.p12 and its password), the signer's and the CA's subjects in
    openssl's -subj form (make_test_certificate.sh's own by default); returns folder."""
    subjects = [subject, ca_subject] if ca_subject else [subject] if subject else []
    subprocess.run([CERTIFICATE_SCRIPT, folder] + subjects, check=True,
                   stdout=subprocess.DEVNULL)
    return folder


def _read(folder, name):
    with open(os.path.join(folder, name), "rb") as file:
        return file.read()


def sign(source, folder, destination):
    """source signed (Authenticode, SHA-256) with folder's certificate, as destination
    (replaced: osslsigncode writes no file that is there already)."""
    if os.path.exists(destination):
        os.remove(destination)
    subprocess.run(["osslsigncode", "sign", "-pkcs12", os.path.join(folder, "signing.p12"),
                    "-readpass", os.path.join(folder, "password"), "-h", "sha256",
                    "-in", source, "-out", destination], check=True, stdout=subprocess.DEVNULL)


def signer_thumbprint(folder):
    """The SHA-256 thumbprint of folder's signing certificate, upper-case hex, as openssl
    reads the certificate."""
    return signing.thumbprint(_read(folder, "signing.pem"))


def root_registration(folder):
    """The .reg text that puts folder's CA into the LocalMachine Root store."""
    der = signing.openssl("x509", "-outform", "DER", data=_read(folder, "ca.pem"))
    blob = struct.pack("<III", CERT_CERT_PROP_ID, 1, len(der)) + der
    return ("Windows Registry Editor Version 5.00\n\n[%s\\%s]\n\"Blob\"=hex:%s\n\n"
            % (ROOT_CERTIFICATES, hashlib.sha1(der).hexdigest().upper(),
               ",".join("%02x" % byte for byte in blob)))


def trust_root(card, folder):
    """Makes the card's prefix trust folder's CA as a root."""
    path = os.path.join(card["root"], "trusted_root.reg")
    with open(path, "w", newline="\r\n") as registration:
        registration.write(root_registration(folder))
    status, out, err = wine_card.run_command(card, ["reg", "import", wine_card.windows_path(path)])
    os.remove(path)
    if status != 0:
        raise wine_card.WineError("reg import of the throwaway root failed (%d): %s%s" % (
            status, out.decode(errors="replace"), err.decode(errors="replace")))


def set_policy(card, value_type, data):
    """RequiredSigners as reg add writes it: value_type REG_MULTI_SZ (data's strings
    separated by \\0), REG_SZ or another, in the 64-bit view."""
    status, out, err = wine_card.run_command(card, [
        "reg", "add", POLICY_KEY, "/v", POLICY_VALUE, "/t", value_type, "/d", data, "/f",
        "/reg:64"])
    if status != 0:
        raise wine_card.WineError("reg add of %s failed (%d): %s%s" % (
            POLICY_VALUE, status, out.decode(errors="replace"), err.decode(errors="replace")))


def clear_policy(card):
    """No policy key at all, as on a machine where no administrator set one."""
    wine_card.run_command(card, ["reg", "delete", POLICY_KEY, "/f", "/reg:64"])


def imported_root_trusted():
    """Whether this machine's Wine trusts a root imported into the prefix's registry: Debian
    12's Wine 8 does; Debian 13's Wine 10 keeps its Root store apart from it, so the rows
    that need a trusted root run on Debian 12 only (release/release_host.sh tells which)."""
    return subprocess.run(["release/release_host.sh"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0
