#!/usr/bin/env python3
"""Checks a release (scripts/release.sh): the zip holds exactly the two tools and the
guide, with each tool's version resource and embedded manifest read back from the
executable itself; the MSI holds the same files, byte for byte; SHA256SUMS checks both;
and, given the CA (--ca), the executables and the MSI verify against it while a copy with
one byte changed does not."""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import zipfile

WINDRES = "x86_64-w64-mingw32-windres"
WINDOWS_10_AND_11 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"
TOOLS = {"smbus_scan": "PELK card SMBus scanner", "kiv_reset": "PELK card device reset tool"}


sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
from package_release import project_version  # noqa: E402


def resources_of(path):
    """The executable's resources, decompiled to resource script text; none: empty."""
    return subprocess.run([WINDRES, "-i", path, "-O", "rc"], capture_output=True, text=True,
                          check=False).stdout


def manifest_text(script):
    match = re.search(r"1 24 /\* RT_MANIFEST \*/\nBEGIN\n(.*?)\nEND", script, re.S)
    if not match:
        return ""
    return "".join(re.findall(r'"((?:[^"]|"")*)"', match.group(1))).replace('""', '"')


def check_tool(problems, name, path, version):
    script = resources_of(path)
    numbers = ", ".join(version.split(".") + ["0"])
    expected_values = {
        "FileVersion": version,
        "ProductVersion": version,
        "FileDescription": TOOLS[name],
        "ProductName": "PELK card service tools",
        "OriginalFilename": name + ".exe",
    }
    for key, value in expected_values.items():
        if '"%s", "%s"' % (key, value) not in script:
            problems.append("%s: version resource lacks %s = %s" % (name, key, value))
    for key in ("FILEVERSION", "PRODUCTVERSION"):
        if " %s %s\n" % (key, numbers) not in script:
            problems.append("%s: %s is not %s" % (name, key, numbers))
    manifest = manifest_text(script)
    if 'level="asInvoker"' not in manifest or WINDOWS_10_AND_11 not in manifest:
        problems.append("%s: embedded manifest lacks asInvoker or Windows 10/11" % name)


def check_msi(problems, msi, zipped):
    """The MSI holds exactly the zip's files, byte for byte."""
    with tempfile.TemporaryDirectory() as scratch:
        subprocess.run(["msiextract", "-C", scratch, msi], check=True,
                       stdout=subprocess.DEVNULL)
        held = {}
        for folder, _, files in os.walk(scratch):
            for name in files:
                with open(os.path.join(folder, name), "rb") as file:
                    held[name] = file.read()
    if held != zipped:
        problems.append("the MSI holds %s, not the zip's files byte for byte" % sorted(held))


def signature_verifies(path, ca):
    return subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-in", path],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def check_signatures(problems, paths, ca):
    """Each file verifies against the CA, and a copy with one byte changed does not."""
    with tempfile.TemporaryDirectory() as scratch:
        for path in paths:
            name = os.path.basename(path)
            if not signature_verifies(path, ca):
                problems.append("%s: signature does not verify" % name)
            tampered = os.path.join(scratch, name)
            with open(path, "rb") as file:
                data = bytearray(file.read())
            data[len(data) // 3] ^= 0x01
            with open(tampered, "wb") as file:
                file.write(data)
            if signature_verifies(tampered, ca):
                problems.append("%s: a copy with one byte changed still verifies" % name)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("build_dir", nargs="?", default="build/release")
    parser.add_argument("--ca", help="the CA certificate that the release must be signed under")
    options = parser.parse_args()
    build_dir = options.build_dir
    version = project_version(build_dir)
    top = "pelk-card-tools-%s-win-x64" % version
    dist = os.path.join(build_dir, "dist")
    archive = os.path.join(dist, top + ".zip")
    msi = os.path.join(dist, top + ".msi")
    problems = []
    with zipfile.ZipFile(archive) as release:
        names = sorted(n for n in release.namelist() if not n.endswith("/"))
        expected = sorted("%s/%s" % (top, n) for n in ["GUIDE.txt", "kiv_reset.exe",
                                                        "smbus_scan.exe"])
        if names != expected:
            problems.append("zip holds %s, expected %s" % (names, expected))
        zipped = {os.path.basename(n): release.read(n) for n in names}
        with tempfile.TemporaryDirectory() as scratch:
            release.extractall(scratch)
            for name in TOOLS:
                path = os.path.join(scratch, top, name + ".exe")
                if os.path.exists(path):
                    check_tool(problems, name, path, version)
            guide_path = os.path.join(scratch, top, "GUIDE.txt")
            if os.path.exists(guide_path):
                guide = open(guide_path, "rb").read()
                if version.encode() not in guide.splitlines()[0]:
                    problems.append("GUIDE.txt does not name version %s" % version)
                if guide.count(b"\n") != guide.count(b"\r\n"):
                    problems.append("GUIDE.txt is not in Windows line ends")
            if options.ca:
                check_signatures(problems, [os.path.join(scratch, top, name + ".exe")
                                            for name in TOOLS] + [msi], options.ca)
    check_msi(problems, msi, zipped)
    sums = subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=dist,
                          capture_output=True, text=True)
    if sums.returncode != 0 or sorted(sums.stdout.split()) != sorted(
            [top + ".zip:", "OK", top + ".msi:", "OK"]):
        problems.append("SHA256SUMS does not check the zip and the MSI: %s" % sums.stdout)
    for problem in problems:
        print("FAIL " + problem)
    print("%s: %d files%s" % (os.path.basename(archive), len(names),
                              ", signatures verified" if options.ca else ", not signed"))
    print("release: %d passed, %d failed" % (0 if problems else 1, 1 if problems else 0))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
