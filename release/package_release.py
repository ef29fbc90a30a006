#!/usr/bin/python3
"""Packs the release of a Windows build into BUILD_DIR/dist:

  pelk-card-tools-<version>-win-x64/       the staged executables (cmake --install),
                                           GUIDE.txt filled in from docs/guide.txt,
                                           LICENSE.txt, and THIRD-PARTY-NOTICES.txt from
                                           the link maps
  pelk-card-tools-<version>-win-x64.zip    that folder, entries in a fixed order and time
  pelk-card-tools-<version>-win-x64.msi    the per-machine installer (wixl, then msibuild)
  pelk-card-tools-<version>-msi-binary/    the custom action DLL that the MSI carries in its
                                           Binary table (never installed), as signed
  pelk-card-tools-<version>-src.tar.gz     the commit's tree (git archive), when built
                                           from a checkout; a build from that archive
                                           can't remake it
  pelk-card-tools-<version>.spdx.json      the bill of materials (SPDX 2.3)
  SHA256SUMS                               for sha256sum -c

Given a code-signing certificate, it signs both executables and the custom action DLL
before they are packed, then the MSI (osslsigncode, SHA-256). Given the signatures of a signed release instead, it
attaches them, and so rebuilds that signed release byte for byte. Either way only the
team's certificate may have signed, unless this is a test build (release/signing.py);
a release that is not a test build stops while signing.py leaves the certificate's
thumbprint or issuer unset, which the guide names (a signed test build's guide names its
own certificate instead, and an unsigned build's says it is unsigned). The source archive is made by the
line the guide gives auditors (SOURCE_ARCHIVE_LINE), and the guide names the git and
gzip it was made with.
Environment:
  SOURCE_DATE_EPOCH           time of the zip's entries, the MSI's summary and the SBOM;
                              unset: the commit's time (release/source_commit.py)
  PELK_SOURCE_COMMIT          the commit built; unset: release/source_commit.py's
  PELK_TEST_BUILD             1: a test build, marked as one, signed by any certificate
  PELK_SIGNING_PKCS12         the certificate and its key, a PKCS#12 file; unset: unsigned
  PELK_SIGNING_PASSWORD       its password
  PELK_SIGNING_TIMESTAMP_URL  an RFC 3161 time-stamp server (optional)
  PELK_SIGNATURES             a folder of signatures taken off a signed release
                              (osslsigncode extract-signature, 2.5 or 2.9), one per signed
                              file, named after it with .sig added: attached instead of
                              signing
  PELK_SIGNATURES_CAFILE      with PELK_SIGNATURES: the root certificate of the signer's
                              chain (the signatures carry the others), PEM

Usage (from the top folder, under Debian's python3): python3 -m release.package_release BUILD_DIR"""

import glob
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
import zipfile

from release import msi_identity, sbom, signing, source_commit, third_party
from release.checks import check_imports

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
WXS = os.path.join(HERE, "packaging", "pelk-card-tools.wxs")
GUIDE = os.path.join(SOURCE_DIR, "docs", "guide.txt")
LICENSE = os.path.join(SOURCE_DIR, "LICENSE")
NOTICES = "THIRD-PARTY-NOTICES.txt"
EXECUTABLES = ["kiv_reset.exe", "smbus_scan.exe"]
SHIPPED = ["GUIDE.txt", "LICENSE.txt", NOTICES] + EXECUTABLES
# The MSI's custom actions (installer/): carried in its Binary table, run by Windows
# Installer during the install, never installed. Built, signed and checked like the tools.
CUSTOM_ACTIONS = ["pelk_path_entry.dll"]
MSI_BINARY_FOLDER = "pelk-card-tools-%s-msi-binary"

# What wixl can't write, added with msibuild: the Environment table, imported whole, and
# rows of the action sequence (release/packaging/README.md).
ADDED_TABLES = [os.path.join(HERE, "packaging", "Environment.idt")]
ADDED_ROWS = [os.path.join(HERE, "packaging", "InstallExecuteSequence.idt")]
# The source archive's line, run in a checkout, and shown in the guide as it stands (its
# lines fit the guide's 80 columns).
SOURCE_ARCHIVE_LINE = (
    "git -c core.autocrlf=false -c tar.umask=0022 archive --format=tar \\\n"
    "    --prefix=pelk-card-tools-{version}-src/ \"$commit\" |\n"
    "    gzip -n -9")


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


def built_file(build_dir, name):
    """The one file of that name that the build made."""
    found = glob.glob(os.path.join(build_dir, "**", name), recursive=True)
    if len(found) != 1:
        raise SystemExit("expected one %s in %s, found %d" % (name, build_dir, len(found)))
    return found[0]


def link_maps(build_dir):
    """{image: its link map}, which the build writes beside each executable and DLL."""
    return {image: built_file(build_dir, image + ".map")
            for image in EXECUTABLES + CUSTOM_ACTIONS}


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


def make_msi(stage, binaries, msi, version, commit, epoch, scratch):
    release_dir = os.path.dirname(stage)
    upgrade_code = msi_identity.product_attributes(WXS)["UpgradeCode"]
    # wixl takes sources relative to where it runs.
    run("wixl", "-a", "x64", "-D", "Version=" + version,
        "-D", "ProductCode=" + msi_identity.product_code(upgrade_code, version),
        "-D", "SourceDir=" + os.path.basename(stage),
        "-D", "PathEntryDll=" + os.path.join(os.path.basename(binaries), "pelk_path_entry.dll"),
        "-o", os.path.basename(msi), os.path.abspath(WXS), cwd=release_dir)
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


def write_windows_text(text, path):
    """Text as the tools' other text files ship: UTF-8, Windows line ends."""
    with open(path, "w", encoding="utf-8", newline="\r\n") as file:
        file.write(text)


def guide_text(version, tool_version_text, found, signer):
    """docs/guide.txt with its fields filled in: the release's and the tools' versions, the
    MSI's ProductCode, the test build mark, the signer's certificate (signer, PEM; None:
    unsigned) and what the guide says of it, the source archive's line and the git and gzip
    it was made with, the licences that apply to the executables and their protections."""
    with open(GUIDE, encoding="utf-8") as file:
        text = file.read()
    signer_fields = signing.guide_fields(signer)
    # The paragraph that begins "Signatures. @SIGNATURES@", wrapped as the guide's are.
    opening = "Signatures. "
    signer_fields["SIGNATURES"] = textwrap.fill(
        signer_fields["SIGNATURES"], 74, initial_indent=" " * len(opening),
        break_on_hyphens=False)[len(opening):]
    upgrade_code = msi_identity.product_attributes(WXS)["UpgradeCode"]
    fields = {
        "PROJECT_VERSION": version,
        "PELK_TOOL_VERSION": tool_version_text,
        "PRODUCT_CODE": msi_identity.product_code(upgrade_code, version),
        "TEST_BUILD": " " + signing.TEST_BUILD_MARK if signing.is_test_build() else "",
        **signer_fields,
        "SOURCE_ARCHIVE_LINE": source_archive_line(version),
        "ARCHIVE_TOOLS": archive_tools(),
        "LICENCES": third_party.licence_list(found),
        "PROTECTIONS": check_imports.protections_list(),
    }
    text = re.sub(r"@([A-Z_]+)@", lambda field: fields.get(field.group(1), field.group(0)), text)
    unknown = sorted(set(re.findall(r"@[A-Z_]+@", text)))
    if unknown:
        raise SystemExit("%s: no value for %s" % (GUIDE, ", ".join(unknown)))
    return text


def source_archive_line(version):
    """The shell line that writes the commit named by $commit, as its source archive, to
    standard output: git archive with its own settings pinned (line ends, file modes) and
    gzip without a name or time, so that any clone gives the same bytes. The guide gives
    it as it stands, for auditors to make the archive again."""
    return SOURCE_ARCHIVE_LINE.format(version=version)


def archive_tools():
    """The Debian packages and versions of git and gzip, on which the archive's bytes
    depend."""
    versions = []
    for package in ("git", "gzip"):
        found = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", package],
                               capture_output=True, text=True)
        if found.returncode != 0 or not found.stdout:
            raise SystemExit("dpkg does not know %s, which makes the source archive" % package)
        versions.append("%s %s" % (package, found.stdout))
    return " and ".join(versions)


def source_archive(release_dir, version, commit):
    """The commit's tree, made by the guide's line (source_archive_line)."""
    name = "pelk-card-tools-%s-src.tar.gz" % version
    with open(os.path.join(release_dir, name), "wb") as archive:
        made = subprocess.run(["bash", "-o", "pipefail", "-c", source_archive_line(version)],
                              cwd=SOURCE_DIR, env=dict(os.environ, commit=commit),
                              stdout=archive)
    if made.returncode != 0:
        raise SystemExit("git archive of %s failed" % commit)
    return name

def write_checksums(release_dir, names):
    with open(os.path.join(release_dir, "SHA256SUMS"), "w") as sums:
        for name in names:
            with open(os.path.join(release_dir, name), "rb") as file:
                sums.write("%s  %s\n" % (hashlib.sha256(file.read()).hexdigest(), name))


def main():
    build_dir = sys.argv[1] if len(sys.argv) > 1 else "build/release"
    version = project_version(build_dir)
    from_archive = source_commit.from_archive()
    commit, epoch = from_archive or source_commit.from_git()
    commit = os.environ.get("PELK_SOURCE_COMMIT") or commit
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH") or epoch)
    sign_file = signing.signer()
    name = "pelk-card-tools-%s-win-x64" % version
    release_dir = os.path.join(build_dir, "dist")
    stage = os.path.join(release_dir, name)
    shutil.rmtree(release_dir, ignore_errors=True)
    run("cmake", "--install", build_dir, "--prefix", stage)
    found = write_notices(build_dir, stage)
    with tempfile.TemporaryDirectory() as scratch:
        signer = signing.signing_certificate(EXECUTABLES[0], scratch)
    write_windows_text(guide_text(version, tool_version(build_dir), found, signer),
                       os.path.join(stage, "GUIDE.txt"))
    with open(LICENSE, encoding="utf-8") as licence:
        write_windows_text(licence.read(), os.path.join(stage, "LICENSE.txt"))
    if sorted(os.listdir(stage)) != SHIPPED:
        raise SystemExit("staged %s, expected %s" % (sorted(os.listdir(stage)), SHIPPED))
    binaries = os.path.join(release_dir, MSI_BINARY_FOLDER % version)
    os.mkdir(binaries)
    for image in CUSTOM_ACTIONS:
        shutil.copyfile(built_file(build_dir, image), os.path.join(binaries, image))

    with tempfile.TemporaryDirectory() as scratch:
        if sign_file:
            for tool in EXECUTABLES:
                sign_file(os.path.join(stage, tool), scratch)
            for image in CUSTOM_ACTIONS:
                sign_file(os.path.join(binaries, image), scratch)
        # The MSI's cabinet keeps each file's time: the commit's, as in the zip.
        for shipped in SHIPPED:
            os.utime(os.path.join(stage, shipped), (epoch, epoch))
        make_zip(stage, os.path.join(release_dir, name + ".zip"), epoch)
        msi = os.path.join(release_dir, name + ".msi")
        make_msi(stage, binaries, msi, version, commit, epoch, scratch)
        if sign_file:
            sign_file(msi, scratch)
    # After signing: the SBOM gives the digests of the files as shipped.
    source = None if from_archive else source_archive(release_dir, version, commit)
    manufacturer = msi_identity.product_attributes(WXS)["Manufacturer"]
    bill = sbom.document({"name": "pelk-card-tools", "version": version, "commit": commit,
                          "supplier": manufacturer, "epoch": epoch,
                          "licence": third_party.own_licence(),
                          "test_build": signing.is_test_build(),
                          "source": source and os.path.join(release_dir, source)},
                         stage, SHIPPED, found,
                         {image: os.path.join(binaries, image) for image in CUSTOM_ACTIONS})
    sbom_name = "pelk-card-tools-%s.spdx.json" % version
    sbom.write(bill, os.path.join(release_dir, sbom_name))
    write_checksums(release_dir, [name + ".zip", name + ".msi"] + ([source] if source else [])
                    + [sbom_name])
    print("release %s in %s: %s%s%s" % (
        version, release_dir, "signed" if sign_file else
        "UNSIGNED (no PELK_SIGNING_PKCS12 given)",
        ", TEST BUILD" if signing.is_test_build() else "",
        "" if source else ", no source archive (built from one)"))


if __name__ == "__main__":
    main()
