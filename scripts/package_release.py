#!/usr/bin/env python3
"""Packs the release of a Windows build into BUILD_DIR/dist:

  pelk-card-tools-<version>-win-x64/       the staged files (cmake --install)
  pelk-card-tools-<version>-win-x64.zip    that folder, entries in a fixed order and time
  pelk-card-tools-<version>-win-x64.msi    the per-machine installer (wixl, then msibuild)
  SHA256SUMS                               for sha256sum -c

Given a code-signing certificate, it signs both executables before they are packed, then
the MSI (osslsigncode, SHA-256). Environment:
  SOURCE_DATE_EPOCH           time of the zip's entries (scripts/release.sh: the commit's)
  PELK_SIGNING_PKCS12         the certificate and its key, a PKCS#12 file; unset: unsigned
  PELK_SIGNING_PASSWORD       its password
  PELK_SIGNING_TIMESTAMP_URL  an RFC 3161 time-stamp server (optional)

Usage: package_release.py BUILD_DIR"""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
WXS = os.path.join(HERE, "..", "packaging", "pelk-card-tools.wxs")
DESCRIPTION = "PELK card service tools"
SHIPPED = ["GUIDE.txt", "kiv_reset.exe", "smbus_scan.exe"]

# The install folder goes on the system PATH ('*'), set on install ('='), taken off again
# on uninstall ('-'); "[~];" keeps what PATH held and appends to it.
ENVIRONMENT_TABLE = (
    "Environment\tName\tValue\tComponent_\n"
    "s72\tl255\tL255\ts72\n"
    "Environment\tEnvironment\n"
    "install_folder_on_path\t=-*PATH\t[~];[INSTALLDIR]\tpath_entry\n")
ENVIRONMENT_ACTIONS = [("RemoveEnvironmentStrings", 3300), ("WriteEnvironmentStrings", 5200)]


def project_version(build_dir):
    with open(os.path.join(build_dir, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith("CMAKE_PROJECT_VERSION:"):
                return line.split("=", 1)[1].strip()
    raise SystemExit("no project version in the build's cache")


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


def make_msi(stage, msi, version, scratch):
    release_dir = os.path.dirname(stage)
    # wixl takes sources relative to where it runs.
    run("wixl", "-a", "x64", "-D", "Version=" + version,
        "-D", "SourceDir=" + os.path.basename(stage), "-o", os.path.basename(msi),
        os.path.abspath(WXS), cwd=release_dir)
    table = os.path.join(scratch, "Environment.idt")
    with open(table, "w", newline="\r\n") as file:
        file.write(ENVIRONMENT_TABLE)
    run("msibuild", msi, "-i", table)
    for action, sequence in ENVIRONMENT_ACTIONS:
        run("msibuild", msi, "-q", "INSERT INTO `InstallExecuteSequence` "
            "(`Action`, `Sequence`) VALUES ('%s', %d)" % (action, sequence))


def write_checksums(release_dir, names):
    with open(os.path.join(release_dir, "SHA256SUMS"), "w") as sums:
        for name in names:
            with open(os.path.join(release_dir, name), "rb") as file:
                sums.write("%s  %s\n" % (hashlib.sha256(file.read()).hexdigest(), name))


def main():
    build_dir = sys.argv[1] if len(sys.argv) > 1 else "build/release"
    version = project_version(build_dir)
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", "0"))
    certificate = os.environ.get("PELK_SIGNING_PKCS12", "")
    name = "pelk-card-tools-%s-win-x64" % version
    release_dir = os.path.join(build_dir, "dist")
    stage = os.path.join(release_dir, name)
    shutil.rmtree(release_dir, ignore_errors=True)
    run("cmake", "--install", build_dir, "--prefix", stage)
    if sorted(os.listdir(stage)) != SHIPPED:
        raise SystemExit("staged %s, expected %s" % (sorted(os.listdir(stage)), SHIPPED))

    with tempfile.TemporaryDirectory() as scratch:
        if certificate:
            for tool in ("smbus_scan.exe", "kiv_reset.exe"):
                sign(os.path.join(stage, tool), certificate, scratch)
        make_zip(stage, os.path.join(release_dir, name + ".zip"), epoch)
        msi = os.path.join(release_dir, name + ".msi")
        make_msi(stage, msi, version, scratch)
        if certificate:
            sign(msi, certificate, scratch)
    write_checksums(release_dir, [name + ".zip", name + ".msi"])
    print("release %s in %s: %s" % (version, release_dir,
                                     "signed" if certificate else
                                     "UNSIGNED (no PELK_SIGNING_PKCS12 given)"))


if __name__ == "__main__":
    main()
