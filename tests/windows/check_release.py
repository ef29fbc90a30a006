#!/usr/bin/env python3
"""Checks the release zip: exactly the two tools and the guide, and each tool's version
resource and embedded manifest, read back from the executable itself."""

import os
import re
import subprocess
import sys
import tempfile
import zipfile

WINDRES = "x86_64-w64-mingw32-windres"
WINDOWS_10_AND_11 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"
TOOLS = {"smbus_scan": "PELK card SMBus scanner", "kiv_reset": "PELK card device reset tool"}


def project_version(build_dir):
    with open(os.path.join(build_dir, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith("CMAKE_PROJECT_VERSION:"):
                return line.split("=", 1)[1].strip()
    raise SystemExit("no project version in the build's cache")


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


def main():
    build_dir = sys.argv[1] if len(sys.argv) > 1 else "build/windows"
    version = project_version(build_dir)
    top = "pelk-card-tools-%s-win-x64" % version
    archive = os.path.join(build_dir, "release", top + ".zip")
    problems = []
    with zipfile.ZipFile(archive) as release:
        names = sorted(n for n in release.namelist() if not n.endswith("/"))
        expected = sorted("%s/%s" % (top, n) for n in ["GUIDE.txt", "kiv_reset.exe",
                                                        "smbus_scan.exe"])
        if names != expected:
            problems.append("zip holds %s, expected %s" % (names, expected))
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
    for problem in problems:
        print("FAIL " + problem)
    print("%s: %d files" % (os.path.basename(archive), len(names)))
    print("release: %d passed, %d failed" % (0 if problems else 1, 1 if problems else 0))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
