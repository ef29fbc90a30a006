#!/usr/bin/python3
"""Checks a release (release/release.sh): the zip holds exactly the two tools, the guide,
the licence and the third-party notices, with each tool's version resource and embedded
manifest read back from the executable itself; the guide is filled in, names the licences,
the protections and the expected signer, and is marked as a test build exactly when one
was asked for; LICENSE is the Apache License 2.0; the MSI holds the same files, byte for
byte, and in its Binary table the custom action DLL, and has no script custom action (a
copy with one, of each kind, fails); the source archive, unless the release was built from one, holds the commit the
SBOM names; the notices and the SBOM name the packages, members and licences that the link
maps' own lines and this toolchain's expected table give, and linked code of no package or
of no source stops the release; the SBOM is valid SPDX 2.3, keeps the rules its schema
can't see, and describes exactly those files, the custom action DLL and the components,
the tools' own licence and the source archive; SHA256SUMS checks the zip, the MSI, the source archive and the SBOM;
and, given the folder of the test certificate that signed the release (--signed-with), the
executables, the custom action DLL and the MSI verify against its CA while a copy with one byte changed does
not, and signing with a certificate of another subject, or of another thumbprint or issuer
where release/signing.py sets them, or attaching signatures made with one (as osslsigncode
2.9 writes them, or 2.5 behind a WIN_CERTIFICATE header), stops the release unless a test
build was asked for, while the team's attached signatures, in either form, give the signed
file byte for byte. Runs under Debian's python3
(python3-jsonschema, python3-olefile, python3-license-expression)."""

import argparse
import filecmp
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

import jsonschema
import pefile
from license_expression import get_spdx_licensing

WINDRES = "x86_64-w64-mingw32-windres"
WINDOWS_10_AND_11 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"
TOOLS = {"smbus_scan": "PELK card SMBus scanner", "kiv_reset": "PELK card device reset tool"}


from release import msi_identity, signing, source_commit, third_party
from release.checks import check_imports
from release.package_release import (CUSTOM_ACTIONS, MSI_BINARY_FOLDER, NOTICES, SHIPPED, WXS,
                                     link_maps, project_version)

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The tools' own licence: LICENSE holds Debian's copy of its text.
OWN_LICENCE = ("Apache-2.0", "/usr/share/common-licenses/Apache-2.0")

SPDX_SCHEMA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "schemas",
                           "spdx-2.3.schema.json")
SPDX_ID = re.compile(r"^SPDXRef-[A-Za-z0-9.-]+$")
# The formats SPDX 2.3 gives the SBOM's text fields, which its JSON schema leaves as strings:
# (path, with * for each item of a list; pattern).
FIELD_FORMATS = [
    ("documentNamespace", r"^https?://[^#\s]+$"),  # an absolute URI without a fragment
    ("creationInfo/created", r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$"),
    ("creationInfo/creators/*", r"^(Person|Organization|Tool): \S"),
    ("packages/*/supplier", r"^(Person: \S|Organization: \S|NOASSERTION$)"),
    ("packages/*/downloadLocation", r"^(NOASSERTION|NONE|https?://\S+)$"),
    ("packages/*/externalRefs/*/referenceLocator", r"^pkg:[a-z]+/[^@\s]+@[^\s]+$"),
    ("files/*/fileName", r"^\./\S"),
    ("hasExtractedLicensingInfos/*/licenseId", r"^LicenseRef-[A-Za-z0-9.-]+$"),
]

# This toolchain (Debian 12's mingw-w64): the archives and objects of others that the link
# maps may name, with their packages, and what the notices and the SBOM must say of each
# package. A new toolchain fails here with a line saying what changed: check what it links
# and under which licences, then update these. The tools' wide entry (-municode) links
# crt2u.o, and the wide argument reader, libmingw32.a's udllargc.o with msvcrt's
# __wgetmainargs, where a narrow entry would link crt2.o and dllargv.o. The MSI's custom
# action DLL links the DLL start-up, dllcrt2.o, and msi.dll's import library.
TOOLCHAIN_PARTS = {
    "crt2u.o": "mingw-w64-x86-64-dev", "libkernel32.a": "mingw-w64-x86-64-dev",
    "dllcrt2.o": "mingw-w64-x86-64-dev", "libmsi.a": "mingw-w64-x86-64-dev",
    "libmingw32.a": "mingw-w64-x86-64-dev", "libmingwex.a": "mingw-w64-x86-64-dev",
    "libmsvcrt.a": "mingw-w64-x86-64-dev", "libadvapi32.a": "mingw-w64-x86-64-dev",
    "crtbegin.o": "gcc-mingw-w64-x86-64-win32",
    "crtend.o": "gcc-mingw-w64-x86-64-win32", "libgcc.a": "gcc-mingw-w64-x86-64-win32",
}
TOOLCHAIN_LICENCES = {
    "mingw-w64-x86-64-dev":
        "ZPL-2.1 AND LicenseRef-public-domain AND LicenseRef-Lucent AND LicenseRef-Keith-Marshall",
    "gcc-mingw-w64-x86-64-win32": "GPL-3.0-or-later WITH GCC-exception-3.1",
}
MINGW_LIB = "/usr/x86_64-w64-mingw32/lib/"
# Linked code that must stop the release: (an input section's file, what the stop names).
STOPS = [
    ("/opt/vendor/lib/libunknown.a(unknown.o)", "libunknown.a"),  # of no package
    # a runtime member without debug information, of no import library: no source path
    (MINGW_LIB + "libmingwex.a(lib64_libmingwex_a-mingw_longjmp.o)", "mingw_longjmp"),
]


# Whose certificate may sign (release/signing.py), each row signing a copy of an executable
# with a certificate of the subject given in openssl's -subj order, or attaching the
# signature such a certificate made, as osslsigncode 2.9 writes it or behind the
# WIN_CERTIFICATE header that Debian 12's osslsigncode 2.5 puts before an executable's:
# (certificate's subject; how; PELK_TEST_BUILD; the thumbprint and issuer settings; the
# release goes ahead (True) or stops with a message holding this phrase). Subject None:
# the release's own test certificate. Settings None: unset; "own": the certificate's
# thumbprint and its CA's subject; "other thumbprint": its CA's thumbprint; "other
# issuer": its own subject as the issuer.
TEAM = "/O=PELK card service tools team/CN=PELK card service tools team"
REFUSED = "is signed by"
SIGNER_ROWS = [
    (TEAM, "sign", "", None, True),  # openssl writes it "CN=...,O=...", without the spaces
    (TEAM, "attach", "", None, True),
    (TEAM, "attach 2.5", "", None, True),
    ("/CN=PELK card service tools team/O=PELK card service tools team", "sign", "", None,
     REFUSED),
    ("/O=PELK card service tools team/CN=PELK card service tools", "sign", "", None, REFUSED),
    (None, "sign", "", None, REFUSED),
    (None, "attach", "", None, REFUSED),
    (None, "attach 2.5", "", None, REFUSED),
    (None, "sign", "1", None, True),
    (None, "attach", "1", None, True),
    (None, "attach 2.5", "1", None, True),
    (TEAM, "sign", "", "own", True),
    (TEAM, "attach 2.5", "", "own", True),
    (TEAM, "sign", "", "other thumbprint", REFUSED),
    (TEAM, "attach", "", "other thumbprint", REFUSED),
    (TEAM, "attach 2.5", "", "other thumbprint", REFUSED),
    (TEAM, "attach", "", "other issuer", REFUSED),
    (None, "attach", "1", "other thumbprint", True),
    # A header of another revision, or whose length is not the file's: no signature.
    (None, "attach revision 0x0100", "1", None, "WIN_CERTIFICATE"),
    (None, "attach length + 8", "1", None, "WIN_CERTIFICATE"),
]
# How each way of attaching lays out the signature's PKCS#7, as osslsigncode 2.9's
# extract-signature writes it (None: the PKCS#7 alone) or as 2.5's does, behind a
# WIN_CERTIFICATE header: (dwLength added to the entry's length, wRevision).
ATTACH_FORMS = {"attach": None, "attach 2.5": (0, 0x0200),
                "attach revision 0x0100": (0, 0x0100), "attach length + 8": (8, 0x0200)}


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
    """The version resource: binary fields of the project's version with a fourth part 0,
    and strings that management tools read alike (FileVersion and ProductVersion four-part
    and equal to the binary fields, the maker the MSI's Manufacturer)."""
    script = resources_of(path)
    numbers = version.split(".") + ["0"]
    manufacturer = msi_identity.product_attributes(WXS)["Manufacturer"]
    expected_values = {
        "CompanyName": manufacturer,
        "FileDescription": TOOLS[name],
        "ProductName": "PELK card service tools",
        "OriginalFilename": name + ".exe",
    }
    for key, value in expected_values.items():
        if '"%s", "%s"' % (key, value) not in script:
            problems.append("%s: version resource lacks %s = %s" % (name, key, value))
    copyright_line = re.search(r'"LegalCopyright", "Copyright \(C\) \d{4} (.*)"', script)
    if not copyright_line or copyright_line.group(1) != manufacturer:
        problems.append("%s: version resource lacks LegalCopyright naming %s"
                        % (name, manufacturer))
    for key, text_key in (("FILEVERSION", "FileVersion"), ("PRODUCTVERSION", "ProductVersion")):
        fields = re.search(r"(?m)^ %s (\d+), (\d+), (\d+), (\d+)$" % key, script)
        if not fields or list(fields.groups()) != numbers:
            problems.append("%s: %s is not %s" % (name, key, ", ".join(numbers)))
            continue
        if '"%s", "%s"' % (text_key, ".".join(fields.groups())) not in script:
            problems.append("%s: the %s string is not %s, the binary field"
                            % (name, text_key, ".".join(fields.groups())))
    manifest = manifest_text(script)
    if 'level="asInvoker"' not in manifest or WINDOWS_10_AND_11 not in manifest:
        problems.append("%s: embedded manifest lacks asInvoker or Windows 10/11" % name)


# Copies of the MSI with one script custom action added, each of which must fail: (the
# action's Type, Source, Target). Its base type (Type & 7) 5 is JScript, 6 VBScript, from
# the Binary table (+0), an installed file (+16), inline (+32) or a property (+48); the
# flags above do not change what runs it.
SCRIPT_ACTIONS = [
    (5, "pelk_path_entry.dll", "main"), (6, "pelk_path_entry.dll", "main"),
    (21, "smbus_scan.exe", "main"), (22, "smbus_scan.exe", "main"),
    (37, "", 'Session.Property("PATH_ENTRY")="found"'),
    (38, "", 'Session.Property("PATH_ENTRY")="found"'),
    (53, "SCRIPT_TEXT", ""), (54, "SCRIPT_TEXT", ""),
    (37 + 64 + 3072, "", "var a=1"), (6 + 256, "pelk_path_entry.dll", "main"),
]


def custom_actions(msi):
    """[(action, type)] of the MSI's CustomAction table."""
    table = subprocess.run(["msiinfo", "export", msi, "CustomAction"], capture_output=True,
                           text=True, check=True).stdout.splitlines()
    return [(row.split("\t")[0], int(row.split("\t")[1])) for row in table[3:] if row]


def script_actions(msi):
    """The MSI's custom actions that a script engine runs: base type 5 (JScript) or 6
    (VBScript), whatever their source."""
    return [(action, kind) for action, kind in custom_actions(msi) if kind & 7 in (5, 6)]


def check_script_actions(problems, msi):
    """No script custom action in the MSI; a copy with one of each of SCRIPT_ACTIONS added
    has exactly that one."""
    for action, kind in script_actions(msi):
        problems.append("the MSI has a script custom action, %s (type %d): where scripts "
                        "are blocked the install fails" % (action, kind))
    with tempfile.TemporaryDirectory() as scratch:
        for number, (kind, source, target) in enumerate(SCRIPT_ACTIONS):
            copy = os.path.join(scratch, "doctored.msi")
            shutil.copyfile(msi, copy)
            name = "doctored_%d" % number
            columns, values = ["Action", "Type"], ["'%s'" % name, str(kind)]
            for column, value in (("Source", source), ("Target", target)):
                if value:
                    columns.append(column)
                    values.append("'%s'" % value)
            run_quietly("msibuild", copy, "-q", "INSERT INTO `CustomAction` (%s) VALUES (%s)" % (
                ", ".join("`%s`" % c for c in columns), ", ".join(values)))
            found = script_actions(copy)
            if found != [(name, kind)]:
                problems.append("a copy of the MSI with a script custom action of type %d "
                                "gives %s as its script actions" % (kind, found))
    return len(SCRIPT_ACTIONS)


def msi_binaries(msi):
    """{name: bytes} of the custom action DLLs in the MSI's Binary table."""
    streams = subprocess.run(["msiinfo", "streams", msi], capture_output=True, text=True,
                             check=True).stdout.split()
    return {stream[len("Binary."):]: subprocess.run(
        ["msiinfo", "extract", msi, stream], capture_output=True, check=True).stdout
            for stream in streams if stream.startswith("Binary.")}


def check_msi(problems, msi, zipped, binaries):
    """The MSI holds exactly the zip's files, byte for byte, and in its Binary table the
    custom action DLLs as the release's folder of them holds them."""
    carried = msi_binaries(msi)
    if carried != binaries:
        problems.append("the MSI's Binary table holds %s, not %s byte for byte"
                        % (sorted(carried), sorted(binaries)))
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


def map_parts(map_path):
    """{executable's code of others: member count, 0 for an object file}, from the link
    map's own lines: its archive member lines, and the objects it loads by absolute path
    (the build's own are relative)."""
    with open(map_path, encoding="latin-1") as link_map:
        text = link_map.read()
    members = text[:text.index("\nDiscarded input sections")]
    parts = {}
    for archive, _ in re.findall(r"(?m)^(/\S+)\((\S+)\)$", members):
        parts[os.path.basename(archive)] = parts.get(os.path.basename(archive), 0) + 1
    for path in re.findall(r"(?m)^LOAD (/\S+\.o)$", text):
        parts[os.path.basename(path)] = 0
    return parts


def expected_components(problems, maps):
    """{package: {executable: {part: member count}}}, from the link maps and the toolchain
    table; {package: (version, architecture)}, from dpkg."""
    linked = {}
    for executable, map_path in maps.items():
        for part, count in map_parts(map_path).items():
            package = TOOLCHAIN_PARTS.get(part)
            if package is None:
                problems.append("%s's link map names %s, which TOOLCHAIN_PARTS does not know: "
                                "the toolchain changed" % (executable, part))
                continue
            linked.setdefault(package, {}).setdefault(executable, {})[part] = count
    installed = {package: tuple(subprocess.run(
        ["dpkg-query", "-W", "-f", "${Version} ${Architecture}", package],
        capture_output=True, text=True, check=True).stdout.split()) for package in linked}
    return linked, installed


def noticed_components(notices):
    """{package: {"version", "licence", "linked": {executable: {part: member count}}}} as
    THIRD-PARTY-NOTICES.txt states them."""
    found, current = {}, None
    for line in notices.decode("utf-8").splitlines():
        package = re.match(r"^Debian package: (\S+) (\S+) \((\S+)\)$", line)
        if package:
            current = found.setdefault(package.group(1), {
                "version": (package.group(2), package.group(3)), "linked": {}})
        elif current is not None and line.startswith("Licence: ") and "licence" not in current:
            current["licence"] = line[len("Licence: "):]
        elif current is not None and line.startswith("Linked into "):
            executable, parts = line[len("Linked into "):].split(": ", 1)
            current["linked"][executable] = {
                name: int(count or 0) for name, count in
                re.findall(r"([^ ,]+)(?: \((\d+) members\))?(?:, |$)", parts)}
    return found


def check_notices(problems, build_dir, zipped):
    """The notices are in Windows line ends; they name exactly the packages, and for each
    executable the archives, member counts and objects, that the link maps show, each with
    its version from dpkg and the licence the toolchain table expects; and linked code of
    no package, or of no source, stops the release."""
    notices = zipped.get(NOTICES, b"")
    if notices.count(b"\n") == 0 or notices.count(b"\n") != notices.count(b"\r\n"):
        problems.append("%s is missing or not in Windows line ends" % NOTICES)
    maps = link_maps(build_dir)
    linked, installed = expected_components(problems, maps)
    noticed = noticed_components(notices)
    if not linked or sorted(noticed) != sorted(linked):
        problems.append("the notices name %s, the link maps show %s"
                        % (sorted(noticed), sorted(linked)))
    for package, executables in linked.items():
        said = noticed.get(package, {})
        if said.get("version") != installed[package]:
            problems.append("the notices give %s as %s, dpkg as %s"
                            % (package, said.get("version"), installed[package]))
        if said.get("licence") != TOOLCHAIN_LICENCES.get(package):
            problems.append("the notices give %s's licence as %s, expected %s: the toolchain "
                            "changed, or the notices are wrong" % (
                                package, said.get("licence"), TOOLCHAIN_LICENCES.get(package)))
        if said.get("linked") != executables:
            problems.append("the notices say %s links %s, the link maps show %s"
                            % (package, said.get("linked"), executables))
    check_stops(problems, build_dir, maps)
    return linked, installed


def check_stops(problems, build_dir, maps):
    """Each of STOPS, added to a link map as an input section of the image's code, stops
    the release with a line naming it; and so does a source that no Files stanza covers."""
    with tempfile.TemporaryDirectory() as scratch:
        with open(maps["smbus_scan.exe"], encoding="latin-1") as link_map:
            text = link_map.read()
        for source, named in STOPS:
            doctored = os.path.join(scratch, "smbus_scan.exe.map")
            section = " .text 0x0000000140001000 0x40 %s\n" % source
            with open(doctored, "w", encoding="latin-1") as link_map:
                link_map.write(re.sub(r"(?m)^(\.text\s.*\n)",
                                      lambda match: match.group(1) + section, text, count=1))
            try:
                third_party.components(dict(maps, **{"smbus_scan.exe": doctored}), [build_dir])
                problems.append("linked %s did not stop the release" % source)
            except third_party.NoticeError as error:
                if named not in str(error):
                    problems.append("the release stopped for another reason than %s: %s"
                                    % (named, error))
    # mingw-w64's copyright file without its stanza for every file.
    with open("/usr/share/doc/mingw-w64-x86-64-dev/copyright", encoding="utf-8") as file:
        uncovered = re.sub(r"(?ms)^Files: \*\n.*?\n\n", "", file.read(), count=1)
    try:
        third_party.applying_stanzas(uncovered, {"libkernel32.a(libkernel32h.o)": [
            "mingw-w64-crt/lib64/kernel32.def"]}, "mingw-w64-x86-64-dev", third_party.load_table())
        problems.append("a source that no Files stanza covers did not stop the release")
    except third_party.NoticeError as error:
        if "kernel32.def" not in str(error):
            problems.append("the release stopped for another reason than kernel32.def: %s"
                            % error)


def check_sbom(problems, sbom_path, contents, linked, installed):
    """Valid SPDX 2.3; well-formed, unique SPDXIDs; text fields in the forms SPDX gives
    them; relationships between elements that exist; the release's files (contents: the
    zip's, and the custom action DLLs in the MSI's Binary table) with their digests;
    the linked packages, each with its version, purl and expected licence, statically linked
    into the executables that the link maps name."""
    with open(sbom_path) as file:
        sbom = json.load(file)
    with open(SPDX_SCHEMA) as file:
        validator = jsonschema.Draft201909Validator(json.load(file))
    for error in validator.iter_errors(sbom):
        problems.append("SBOM: %s at %s" % (error.message[:200], "/".join(map(str, error.path))))
    elements = [sbom] + sbom.get("packages", []) + sbom.get("files", [])
    ids = [element.get("SPDXID", "") for element in elements]
    for bad in sorted({i for i in ids if not SPDX_ID.match(i) or ids.count(i) > 1}):
        problems.append("SBOM: SPDXID %r is malformed or not unique" % bad)
    relations = set()
    for relation in sbom.get("relationships", []):
        ends = (relation["spdxElementId"], relation["relatedSpdxElement"])
        if any(end not in ids for end in ends):
            problems.append("SBOM: relationship %s names an element that does not exist"
                            % json.dumps(relation))
        relations.add((ends[0], relation["relationshipType"], ends[1]))
    files = {file["fileName"]: file for file in sbom.get("files", [])}
    if sorted(files) != sorted("./" + name for name in contents):
        problems.append("SBOM: files %s, the release holds %s" % (sorted(files),
                                                                  sorted(contents)))
    release = [p for p in sbom.get("packages", []) if p.get("primaryPackagePurpose") == "APPLICATION"]
    release_id = release[0]["SPDXID"] if len(release) == 1 else None
    if ("SPDXRef-DOCUMENT", "DESCRIBES", release_id) not in relations:
        problems.append("SBOM: the document does not describe the release")
    for name, data in contents.items():
        entry = files.get("./" + name, {})
        digests = {c["algorithm"]: c["checksumValue"] for c in entry.get("checksums", [])}
        for algorithm in ("SHA1", "SHA256"):
            if digests.get(algorithm) != hashlib.new(algorithm, data).hexdigest():
                problems.append("SBOM: %s's %s is not the release's" % (name, algorithm))
        if (release_id, "CONTAINS", entry.get("SPDXID")) not in relations:
            problems.append("SBOM: the release does not contain %s" % name)
    for path, pattern in FIELD_FORMATS:
        for value in field_values(sbom, path.split("/")):
            if not re.match(pattern, value):
                problems.append("SBOM: %s %r is not in the form SPDX gives it" % (path, value))
    check_package_files(problems, sbom, relations, contents)
    check_licence_expressions(problems, sbom)
    concluded = " AND ".join([OWN_LICENCE[0]] + [TOOLCHAIN_LICENCES.get(package, "?")
                                                 for package in sorted(linked)])
    if release_id and (release[0].get("licenseDeclared"), release[0].get(
            "licenseConcluded")) != (OWN_LICENCE[0], concluded):
        problems.append("SBOM: the release's licence is not declared %s and concluded %s"
                        % (OWN_LICENCE[0], concluded))
    described = {package["name"]: package for package in sbom.get("packages", [])
                 if package.get("primaryPackagePurpose") not in ("APPLICATION", "SOURCE")}
    if sorted(described) != sorted(linked):
        problems.append("SBOM: packages %s, the link maps show %s"
                        % (sorted(described), sorted(linked)))
    for name, executables in linked.items():
        package = described.get(name, {})
        version, architecture = installed[name]
        purls = [ref["referenceLocator"] for ref in package.get("externalRefs", [])
                 if ref["referenceType"] == "purl"]
        if package.get("versionInfo") != version or len(purls) != 1 or not purls[0].startswith(
                "pkg:deb/debian/%s@" % name) or not purls[0].endswith("?arch=" + architecture):
            problems.append("SBOM: %s is not given as version %s, with one purl for %s"
                            % (name, version, architecture))
        if package.get("licenseDeclared") != TOOLCHAIN_LICENCES.get(name):
            problems.append("SBOM: %s's licence is %s, expected %s" % (
                name, package.get("licenseDeclared"), TOOLCHAIN_LICENCES.get(name)))
        for executable in executables:
            if (files.get("./" + executable, {}).get("SPDXID"), "STATIC_LINK",
                    package.get("SPDXID")) not in relations:
                problems.append("SBOM: %s is not statically linked to %s" % (executable, name))
    return sbom


def field_values(element, path):
    """The values at path ("packages", "*", "supplier") in the document."""
    if not path:
        return [element]
    if path[0] == "*":
        items = element
    else:
        items = [element.get(path[0])] if isinstance(element, dict) else []
    return [value for item in items if item is not None
            for value in field_values(item, path[1:])]


def check_package_files(problems, sbom, relations, contents):
    """What the schema can't see of each package's files: a package whose files were not
    analysed contains no file and has no verification code; one whose files were analysed
    (true or omitted) has the verification code of the files it contains, as the release
    holds them (contents): the SHA-1 of their SHA-1s in lower-case hex, sorted and joined, less the
    excluded files, which it must name among its own."""
    names = {file["SPDXID"]: file["fileName"][2:] for file in sbom.get("files", [])}
    for package in sbom.get("packages", []):
        contained = {end for start, kind, end in relations
                     if start == package["SPDXID"] and kind == "CONTAINS" and end in names}
        contained |= set(package.get("hasFiles", []))
        code = package.get("packageVerificationCode")
        if not package.get("filesAnalyzed", True):
            if contained or code:
                problems.append("SBOM: %s's files were not analysed, yet it contains %s%s"
                                % (package["SPDXID"], sorted(contained),
                                   " and has a verification code" if code else ""))
            continue
        if not code:
            problems.append("SBOM: %s's files were analysed, but it has no verification code"
                            % package["SPDXID"])
            continue
        excluded = {name[2:] for name in code.get("packageVerificationCodeExcludedFiles", [])}
        held = {names[i] for i in contained}
        if not excluded <= held:
            problems.append("SBOM: %s excludes %s, which it does not contain"
                            % (package["SPDXID"], sorted(excluded - held)))
        sha1s = sorted(hashlib.sha1(contents.get(name, b"")).hexdigest()
                       for name in held - excluded)
        expected = hashlib.sha1("".join(sha1s).encode()).hexdigest()
        if code["packageVerificationCodeValue"] != expected:
            problems.append("SBOM: %s's verification code is not that of the release's files"
                            % package["SPDXID"])


def check_licence_expressions(problems, sbom):
    """Each licence field is NOASSERTION, NONE or a valid SPDX expression whose
    identifiers are on SPDX's list or are LicenseRefs that the document defines."""
    licensing = get_spdx_licensing()
    defined = {info["licenseId"] for info in sbom.get("hasExtractedLicensingInfos", [])}
    for element in sbom.get("packages", []) + sbom.get("files", []):
        for field in ("licenseDeclared", "licenseConcluded"):
            expression = element.get(field, "NOASSERTION")
            if expression in ("NOASSERTION", "NONE"):
                continue
            result = licensing.validate(expression, strict=True)
            unknown = set(licensing.unknown_license_keys(expression)) - defined
            if [e for e in result.errors if not e.startswith("Unknown license key")] or unknown:
                problems.append("SBOM: %s's %s %r is not a valid SPDX expression of known "
                                "licences: %s" % (element["SPDXID"], field, expression,
                                                  result.errors or sorted(unknown)))


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


def certificate_table_pkcs7(path):
    """The PKCS#7 of a signed executable, read from its PE certificate table rather than
    through this machine's osslsigncode, whose extract-signature writes one form or the
    other by its version: the first WIN_CERTIFICATE's bCertificate, as long as its DER
    header says."""
    image = pefile.PE(path, fast_load=True)
    table = image.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    entry = image.__data__[table.VirtualAddress:table.VirtualAddress + table.Size]
    image.close()
    body = entry[8:struct.unpack_from("<I", entry)[0]]
    size, header = body[1], 2
    if size & 0x80:
        header = 2 + (size & 0x7F)
        size = int.from_bytes(body[2:header], "big")
    return bytes(body[:header + size])


def with_header(pkcs7, form):
    """The PKCS#7 alone, or as a PE certificate table entry: a WIN_CERTIFICATE header
    (dwLength the whole entry's, padded to 8 bytes; wRevision; wCertificateType 0x0002,
    PKCS#7) before it, zeros after it."""
    if form is None:
        return pkcs7
    extra, revision = form
    padding = b"\0" * (-len(pkcs7) % 8)
    length = 8 + len(pkcs7) + len(padding) + extra
    return struct.pack("<IHH", length, revision, 0x0002) + pkcs7 + padding


def refusal(executable, folder, how, scratch):
    """Signs an unsigned copy of the executable with the certificate in folder, or attaches
    to it a signature made with that certificate in the form ATTACH_FORMS gives, as a
    release does; what the release said when it refused, or None."""
    copy = os.path.join(scratch, os.path.basename(executable))
    run_quietly("osslsigncode", "remove-signature", "-in", executable, "-out", copy)
    certificate = os.path.join(folder, "signing.p12")
    with open(os.path.join(folder, "password")) as file:
        os.environ["PELK_SIGNING_PASSWORD"] = file.read()
    try:
        if how != "sign":
            signatures = os.path.join(scratch, "signatures")
            os.mkdir(signatures)
            signed = copy + ".signed"
            run_quietly("osslsigncode", "sign", "-pkcs12", certificate, "-readpass",
                        os.path.join(folder, "password"), "-h", "sha256", "-in", copy,
                        "-out", signed)
            blob = with_header(certificate_table_pkcs7(signed), ATTACH_FORMS[how])
            with open(os.path.join(signatures, os.path.basename(copy) + ".sig"), "wb") as file:
                file.write(blob)
            signing.attach(copy, signatures, os.path.join(folder, "ca.pem"), scratch)
            if not filecmp.cmp(copy, signed, shallow=False):
                return "went ahead, but the attached copy is not the signed one"
        else:
            signing.sign(copy, certificate, scratch)
    except SystemExit as refused:
        return str(refused)
    return None


def run_quietly(*command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def fingerprint(pem_file):
    """A certificate's SHA-256 fingerprint as openssl prints it: hex pairs and colons."""
    line = subprocess.run(["openssl", "x509", "-in", pem_file, "-noout", "-fingerprint",
                           "-sha256"], capture_output=True, text=True, check=True).stdout
    return line.strip().split("=", 1)[1]


def signer_settings(folder, settings):
    """(SIGNER_THUMBPRINT, SIGNER_ISSUER) for a row's settings, of the certificate in
    folder: its own thumbprint as openssl prints it, another's as Windows does."""
    if settings is None:
        return "", ""
    own = fingerprint(os.path.join(folder, "signing.pem"))
    issuer = "CN=PELK throwaway test CA"  # make_test_certificate.sh's CA
    if settings == "other thumbprint":
        return fingerprint(os.path.join(folder, "ca.pem")).replace(":", ""), issuer
    if settings == "other issuer":
        return own, "CN=PELK card service tools team, O=PELK card service tools team"
    return own, issuer


def check_signers(problems, executable, certificates):
    """Each of SIGNER_ROWS goes ahead, or is refused for its signer, as the row says."""
    saved = {name: os.environ.get(name) for name in ("PELK_TEST_BUILD", "PELK_SIGNING_PASSWORD")}
    settings_saved = signing.SIGNER_THUMBPRINT, signing.SIGNER_ISSUER
    try:
        for subject, how, test_build, settings, expected in SIGNER_ROWS:
            os.environ["PELK_TEST_BUILD"] = test_build
            with tempfile.TemporaryDirectory() as scratch:
                folder = certificates
                if subject is not None:
                    folder = os.path.join(scratch, "certificate")
                    run_quietly(os.path.join(TOP, "release", "checks",
                                             "make_test_certificate.sh"), folder, subject)
                signing.SIGNER_THUMBPRINT, signing.SIGNER_ISSUER = signer_settings(
                    folder, settings)
                said = refusal(executable, folder, how, scratch)
            if (said is None) != (expected is True) or (said and expected not in said):
                problems.append("%s a certificate of %s%s%s: %s" % (
                    "signing with" if how == "sign" else "attaching (%s) the signature of" % how,
                    subject or "the test certificate's subject",
                    " in a test build" if test_build else "",
                    ", settings: " + settings if settings else "", said or "went ahead"))
    finally:
        signing.SIGNER_THUMBPRINT, signing.SIGNER_ISSUER = settings_saved
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


def shipped_signer(executable):
    """The certificate that signed the shipped executable, as PEM, taken from its own
    certificate table; None where it is unsigned."""
    image = pefile.PE(executable, fast_load=True)
    signed = image.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]].Size
    image.close()
    if not signed:
        return None
    return signing.signature_certificate(executable, certificate_table_pkcs7(executable))


def check_guide(problems, guide, installed, sbom, product_code, signer, signed_with):
    """GUIDE.txt is in Windows line ends and filled in: the version, the MSI's ProductCode
    (in its uninstall line), the test build mark exactly when one was asked for, the
    signer's subject, issuer and thumbprint (in its PowerShell check too), each linked
    package's licence as the toolchain table expects it, ours, and each protection. The
    signer is the team's, as release/signing.py sets it; in a signed test build, the
    certificate that signed its kiv_reset.exe (signer, PEM), marked as the test build's,
    which is the one of make_test_certificate.sh in signed_with where that is given; and
    an unsigned build says it is unsigned."""
    text = guide.decode("utf-8")
    first = text.splitlines()[0] if text else ""
    test_build = os.environ.get("PELK_TEST_BUILD", "") == "1"
    if first.endswith("(test build)") != test_build:
        problems.append("GUIDE.txt's first line %r %s" % (
            first, "does not say test build" if test_build else "says test build"))
    release = [p for p in sbom.get("packages", []) if p.get("name") == "pelk-card-tools"]
    if ("test build" in (release[0].get("comment", "") if release else "")) != test_build:
        problems.append("the SBOM's release package %s a test build" % (
            "does not say it is" if test_build else "says it is"))
    if guide.count(b"\n") != guide.count(b"\r\n"):
        problems.append("GUIDE.txt is not in Windows line ends")
    flat = " ".join(text.split())
    if test_build and signer:
        named = [signing.certificate_name(signer, "subject"),
                 signing.certificate_name(signer, "issuer"), signing.thumbprint(signer)]
        if signed_with and named != [
                # make_test_certificate.sh's subject and CA.
                "CN=PELK throwaway code signing", "CN=PELK throwaway test CA",
                fingerprint(os.path.join(signed_with, "signing.pem")).replace(":", "")]:
            problems.append("kiv_reset.exe is signed by %s, not by %s's certificate"
                            % (named, signed_with))
        said = ["this test build's, not the team's",
                "(SHA-256 of this test build's certificate)"]
    else:
        # The team's, as release/signing.py sets them; unset, a test build says it names
        # none, and an official release can't be made.
        named = ["CN=PELK card service tools team, O=PELK card service tools team"] + [
            value or signing.NOT_NAMED
            for value in (signing.SIGNER_ISSUER, signing.expected_thumbprint())]
        said = ["Official releases are signed with this certificate" if signer else
                "This build is unsigned"]
    expected = (["Subject: " + named[0], "Issuer: " + named[1], "Thumbprint: " + named[2],
                 "$expected = '%s'" % named[2], "msiexec /x %s /qn /norestart" % product_code,
                 OWN_LICENCE[0] + " (LICENSE.txt)"] + said
                + ["%s %s: %s" % (package, version, TOOLCHAIN_LICENCES.get(package))
                   for package, (version, _) in sorted(installed.items())]
                + [name for name, _ in check_imports.PROTECTIONS])
    for phrase in expected + re.findall(r"@[A-Z_]+@", text):
        if phrase.startswith("@") or phrase not in flat:
            problems.append("GUIDE.txt %s %r" % (
                "is not filled in:" if phrase.startswith("@") else "does not say", phrase))


def check_source_archive(problems, dist, name, sbom):
    """Unless the release was built from its source archive, the archive is there, made
    by gzip without a name or time, with the commit the SBOM names filled into
    release/source_commit.txt; the SBOM describes it with its digests, the release
    generated from it. Returns the archive's name or None."""
    path = os.path.join(dist, name)
    if source_commit.from_archive() is not None:
        if os.path.exists(path):
            problems.append("%s: a release built from its source archive remade it" % name)
        return None
    if not os.path.exists(path):
        problems.append("%s is missing" % name)
        return None
    with open(path, "rb") as file:
        data = file.read()
    if data[3] & 0x08 or data[4:8] != b"\0\0\0\0":
        problems.append("%s names a file or a time in its gzip header" % name)
    stamp = name[:-len(".tar.gz")] + "/release/source_commit.txt"
    listed = subprocess.run(["tar", "-xzOf", path, stamp], capture_output=True, text=True)
    with tempfile.NamedTemporaryFile("w") as file:
        file.write(listed.stdout)
        file.flush()
        filled = source_commit.from_archive(file.name)
    packages = {p.get("primaryPackagePurpose"): p for p in sbom.get("packages", [])}
    commit = packages.get("APPLICATION", {}).get("sourceInfo", "").split()[-1:]
    if not filled or [filled[0]] != commit:
        problems.append("%s's %s gives %s, the SBOM's release commit %s"
                        % (name, stamp, filled, commit))
    source = packages.get("SOURCE", {})
    digests = {c["algorithm"]: c["checksumValue"] for c in source.get("checksums", [])}
    if source.get("packageFileName") != name or digests.get("SHA256") != hashlib.sha256(
            data).hexdigest() or digests.get("SHA1") != hashlib.sha1(data).hexdigest():
        problems.append("SBOM: no source package for %s with its digests" % name)
    if {"spdxElementId": packages.get("APPLICATION", {}).get("SPDXID"),
            "relationshipType": "GENERATED_FROM", "relatedSpdxElement": source.get("SPDXID")
            } not in sbom.get("relationships", []):
        problems.append("SBOM: the release is not GENERATED_FROM its source archive")
    return name


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("build_dir", nargs="?", default="build/release")
    parser.add_argument("--signed-with", help="the folder of make_test_certificate.sh whose "
                        "certificate signed the release (ca.pem, signing.p12, password)")
    options = parser.parse_args()
    build_dir = options.build_dir
    version = project_version(build_dir)
    top = "pelk-card-tools-%s-win-x64" % version
    dist = os.path.join(build_dir, "dist")
    archive = os.path.join(dist, top + ".zip")
    msi = os.path.join(dist, top + ".msi")
    problems = []
    binary_folder = os.path.join(dist, MSI_BINARY_FOLDER % version)
    binaries = {}
    for name in sorted(os.listdir(binary_folder)):
        with open(os.path.join(binary_folder, name), "rb") as file:
            binaries[name] = file.read()
    if sorted(binaries) != sorted(CUSTOM_ACTIONS):
        problems.append("%s holds %s, expected %s" % (binary_folder, sorted(binaries),
                                                      sorted(CUSTOM_ACTIONS)))
    with zipfile.ZipFile(archive) as release:
        names = sorted(n for n in release.namelist() if not n.endswith("/"))
        expected = sorted("%s/%s" % (top, n) for n in SHIPPED)
        if names != expected:
            problems.append("zip holds %s, expected %s" % (names, expected))
        zipped = {os.path.basename(n): release.read(n) for n in names}
        with tempfile.TemporaryDirectory() as scratch:
            release.extractall(scratch)
            for name in TOOLS:
                path = os.path.join(scratch, top, name + ".exe")
                if os.path.exists(path):
                    check_tool(problems, name, path, version)
            signer = shipped_signer(os.path.join(scratch, top, "kiv_reset.exe"))
            if options.signed_with:
                executables = [os.path.join(scratch, top, name + ".exe") for name in TOOLS]
                check_signatures(problems, executables + [
                    os.path.join(binary_folder, name) for name in CUSTOM_ACTIONS] + [msi],
                                 os.path.join(options.signed_with, "ca.pem"))
                check_signers(problems, executables[0], options.signed_with)
    if not zipped.get("GUIDE.txt", b"").splitlines()[:1] or version.encode() not in \
            zipped["GUIDE.txt"].splitlines()[0]:
        problems.append("GUIDE.txt does not name version %s" % version)
    with open(OWN_LICENCE[1], encoding="utf-8") as text, open(
            os.path.join(TOP, "LICENSE"), encoding="utf-8") as ours:
        licence = text.read()
        if ours.read() != licence:
            problems.append("LICENSE is not the text of %s" % OWN_LICENCE[1])
    if zipped.get("LICENSE.txt") != licence.replace("\n", "\r\n").encode("utf-8"):
        problems.append("LICENSE.txt is not LICENSE in Windows line ends")
    check_msi(problems, msi, zipped, binaries)
    doctored = check_script_actions(problems, msi)
    linked, installed = check_notices(problems, build_dir, zipped)
    sbom_name = "pelk-card-tools-%s.spdx.json" % version
    sbom = check_sbom(problems, os.path.join(dist, sbom_name), dict(zipped, **binaries), linked,
                      installed)
    check_guide(problems, zipped.get("GUIDE.txt", b""), installed, sbom,
                msi_identity.property_value(msi, "ProductCode"), signer, options.signed_with)
    source = check_source_archive(problems, dist, "pelk-card-tools-%s-src.tar.gz" % version,
                                  sbom)
    listed = [top + ".zip", top + ".msi", sbom_name] + ([source] if source else [])
    sums = subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=dist,
                          capture_output=True, text=True)
    if sums.returncode != 0 or sorted(sums.stdout.split()) != sorted(
            [name + ":" for name in listed] + ["OK"] * len(listed)):
        problems.append("SHA256SUMS does not check %s: %s" % (", ".join(listed), sums.stdout))
    for problem in problems:
        print("FAIL " + problem)
    print("%s: %d files, %s in the MSI%s%s; %d copies with a script custom action checked" % (
        os.path.basename(archive), len(names), ", ".join(sorted(binaries)),
        ", signatures and signers verified" if options.signed_with else ", not signed",
        ", source archive" if source else "", doctored))
    print("release: %d passed, %d failed" % (0 if problems else 1, 1 if problems else 0))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
