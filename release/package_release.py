#!/usr/bin/python3
"""Packs the release of a Windows build into BUILD_DIR/dist:

  pelk-card-tools-<version>-win-x64/       the staged files (cmake --install), and
                                           THIRD-PARTY-NOTICES.txt from the link maps
  pelk-card-tools-<version>-win-x64.zip    that folder, entries in a fixed order and time
  pelk-card-tools-<version>-win-x64.msi    the per-machine installer (wixl, then msibuild)
  pelk-card-tools-<version>.spdx.json      the bill of materials (SPDX 2.3)
  SHA256SUMS                               for sha256sum -c

Given a code-signing certificate, it signs both executables before they are packed, then
the MSI (osslsigncode, SHA-256). Given the signatures of a signed release instead, it
attaches them, and so rebuilds that signed release byte for byte. Environment:
  SOURCE_DATE_EPOCH           time of the zip's entries, the MSI's summary and the SBOM;
                              unset: the commit's time (release/release.sh sets it so)
  PELK_SOURCE_COMMIT          the commit built; unset: the checked-out one
  PELK_SIGNING_PKCS12         the certificate and its key, a PKCS#12 file; unset: unsigned
  PELK_SIGNING_PASSWORD       its password
  PELK_SIGNING_TIMESTAMP_URL  an RFC 3161 time-stamp server (optional)
  PELK_SIGNATURES             a folder of signatures taken off a signed release
                              (osslsigncode extract-signature), one per signed file, named
                              after it with .sig added: attached instead of signing
  PELK_SIGNATURES_CAFILE      with PELK_SIGNATURES: the signer's issuing certificates

Usage (from the top folder, under Debian's python3): python3 -m release.package_release BUILD_DIR"""

import glob
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

from release import msi_identity, sbom, third_party

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
WXS = os.path.join(HERE, "packaging", "pelk-card-tools.wxs")
DESCRIPTION = "PELK card service tools"
NOTICES = "THIRD-PARTY-NOTICES.txt"
EXECUTABLES = ["kiv_reset.exe", "smbus_scan.exe"]
SHIPPED = ["GUIDE.txt", NOTICES] + EXECUTABLES

# What wixl can't write, added with msibuild: the Environment table, imported whole, and
# rows of the action sequence (release/packaging/README.md).
ADDED_TABLES = [os.path.join(HERE, "packaging", "Environment.idt")]
ADDED_ROWS = [os.path.join(HERE, "packaging", "InstallExecuteSequence.idt")]


def cache_value(build_dir, name, what):
    with open(os.path.join(build_dir, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    raise SystemExit("no %s in the build's cache" % what)


def project_version(build_dir):
    """Three parts: the release's and the MSI's version."""
    return cache_value(build_dir, "CMAKE_PROJECT_VERSION", "project version")


def tool_version(build_dir):
    """Four parts: the tools' own version, as their version resources and -v give it."""
    return cache_value(build_dir, "PELK_TOOL_VERSION", "tool version")


def run(*command, cwd=None):
    subprocess.run(command, check=True, cwd=cwd)


def sign(path, certificate, scratch):
    """Authenticode, SHA-256; the password goes through a file, not the command line."""
    password_file = os.path.join(scratch, "password")
    with open(os.open(password_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as file:
        file.write(os.environ.get("PELK_SIGNING_PASSWORD", ""))
    command = ["osslsigncode", "sign", "-pkcs12", certificate, "-readpass", password_file,
               "-h", "sha256", "-n", DESCRIPTION]
    if os.environ.get("PELK_SIGNING_TIMESTAMP_URL"):
        command += ["-ts", os.environ["PELK_SIGNING_TIMESTAMP_URL"]]
    signed = os.path.join(scratch, "signed")
    subprocess.run(command + ["-in", path, "-out", signed], check=True,
                   stdout=subprocess.DEVNULL)
    os.remove(password_file)
    shutil.move(signed, path)


def attach(path, signatures, ca_file, scratch):
    """Attaches the signature taken off the signed release's copy of this file."""
    signature = os.path.join(signatures, os.path.basename(path) + ".sig")
    if not os.path.exists(signature):
        raise SystemExit("no signature %s to attach" % signature)
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


def link_maps(build_dir):
    """{executable: its link map}, which the build writes beside each executable."""
    maps = {}
    for executable in EXECUTABLES:
        found = glob.glob(os.path.join(build_dir, "**", executable + ".map"), recursive=True)
        if len(found) != 1:
            raise SystemExit("expected one link map %s.map in %s, found %d"
                             % (executable, build_dir, len(found)))
        maps[executable] = found[0]
    return maps


def write_notices(build_dir, stage):
    """THIRD-PARTY-NOTICES.txt from the link maps; the components, for the SBOM."""
    try:
        found = third_party.components(link_maps(build_dir), [build_dir, SOURCE_DIR])
        third_party.write_notices(found, os.path.join(stage, NOTICES))
    except third_party.NoticeError as error:
        raise SystemExit("release stopped: %s" % error)
    return found


def zip_entry(name, epoch, is_folder=False):
    entry = zipfile.ZipInfo(name, time.gmtime(max(epoch, 315532800))[:6])
    entry.create_system = 0  # MS-DOS attributes, whoever builds it
    entry.external_attr = 0x10 if is_folder else 0x20
    entry.compress_type = zipfile.ZIP_STORED if is_folder else zipfile.ZIP_DEFLATED
    return entry


def make_zip(stage, archive, epoch):
    top = os.path.basename(stage)
    with zipfile.ZipFile(archive, "w") as release:
        release.writestr(zip_entry(top + "/", epoch, is_folder=True), b"")
        for name in SHIPPED:
            with open(os.path.join(stage, name), "rb") as file:
                release.writestr(zip_entry(top + "/" + name, epoch), file.read(),
                                 zipfile.ZIP_DEFLATED, 9)


def make_msi(stage, msi, version, commit, epoch, scratch):
    release_dir = os.path.dirname(stage)
    upgrade_code = msi_identity.product_attributes(WXS)["UpgradeCode"]
    # wixl takes sources relative to where it runs.
    run("wixl", "-a", "x64", "-D", "Version=" + version,
        "-D", "ProductCode=" + msi_identity.product_code(upgrade_code, version),
        "-D", "SourceDir=" + os.path.basename(stage), "-o", os.path.basename(msi),
        os.path.abspath(WXS), cwd=release_dir)
    for source in ADDED_TABLES:
        # Windows Installer reads table files in Windows line ends.
        table = os.path.join(scratch, os.path.basename(source))
        with open(source) as text, open(table, "w", newline="\r\n") as file:
            file.write(text.read())
        run("msibuild", msi, "-i", table)
    for source in ADDED_ROWS:
        for statement in insert_statements(source):
            run("msibuild", msi, "-q", statement)
    msi_identity.set_identity(msi, msi_identity.package_code(upgrade_code, commit, version),
                              epoch)


def insert_statements(idt):
    """An INSERT for each row of a table file: column names, column types, the table's
    name, then rows; an empty field is left out (null)."""
    with open(idt) as file:
        lines = file.read().splitlines()
    columns, types, table = lines[0].split("\t"), lines[1].split("\t"), lines[2].split("\t")[0]
    for row in lines[3:]:
        fields = [(column, kind, value) for column, kind, value
                  in zip(columns, types, row.split("\t")) if value]
        values = [value if kind[0] in "iI" else "'%s'" % value for _, kind, value in fields]
        yield "INSERT INTO `%s` (%s) VALUES (%s)" % (
            table, ", ".join("`%s`" % column for column, _, _ in fields), ", ".join(values))


def from_git(variable, *command):
    """The variable's value, or else what git says of the checked-out commit."""
    value = os.environ.get(variable, "")
    if not value:
        value = subprocess.run(["git", "-C", SOURCE_DIR] + list(command),
                               capture_output=True, text=True, check=True).stdout.strip()
    return value


def write_checksums(release_dir, names):
    with open(os.path.join(release_dir, "SHA256SUMS"), "w") as sums:
        for name in names:
            with open(os.path.join(release_dir, name), "rb") as file:
                sums.write("%s  %s\n" % (hashlib.sha256(file.read()).hexdigest(), name))


def main():
    build_dir = sys.argv[1] if len(sys.argv) > 1 else "build/release"
    version = project_version(build_dir)
    epoch = int(from_git("SOURCE_DATE_EPOCH", "log", "-1", "--format=%ct"))
    commit = from_git("PELK_SOURCE_COMMIT", "rev-parse", "HEAD")
    sign_file = signer()
    name = "pelk-card-tools-%s-win-x64" % version
    release_dir = os.path.join(build_dir, "dist")
    stage = os.path.join(release_dir, name)
    shutil.rmtree(release_dir, ignore_errors=True)
    run("cmake", "--install", build_dir, "--prefix", stage)
    found = write_notices(build_dir, stage)
    if sorted(os.listdir(stage)) != SHIPPED:
        raise SystemExit("staged %s, expected %s" % (sorted(os.listdir(stage)), SHIPPED))

    with tempfile.TemporaryDirectory() as scratch:
        if sign_file:
            for tool in EXECUTABLES:
                sign_file(os.path.join(stage, tool), scratch)
        # The MSI's cabinet keeps each file's time: the commit's, as in the zip.
        for shipped in SHIPPED:
            os.utime(os.path.join(stage, shipped), (epoch, epoch))
        make_zip(stage, os.path.join(release_dir, name + ".zip"), epoch)
        msi = os.path.join(release_dir, name + ".msi")
        make_msi(stage, msi, version, commit, epoch, scratch)
        if sign_file:
            sign_file(msi, scratch)
    # After signing: the SBOM gives the digests of the files as shipped.
    manufacturer = msi_identity.product_attributes(WXS)["Manufacturer"]
    bill = sbom.document({"name": "pelk-card-tools", "version": version, "commit": commit,
                          "supplier": manufacturer, "epoch": epoch}, stage, SHIPPED, found)
    sbom_name = "pelk-card-tools-%s.spdx.json" % version
    sbom.write(bill, os.path.join(release_dir, sbom_name))
    write_checksums(release_dir, [name + ".zip", name + ".msi", sbom_name])
    print("release %s in %s: %s" % (version, release_dir,
                                     "signed" if sign_file else
                                     "UNSIGNED (no PELK_SIGNING_PKCS12 given)"))


if __name__ == "__main__":
    main()
