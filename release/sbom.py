"""The release's bill of materials, an SPDX 2.3 JSON document: the release as a package,
each file it ships with its digests (and each file its MSI carries to run during the install,
the custom action DLL, with a comment saying so), each component of others linked into the executables
(third_party.components) as a Debian package, and how they relate. Everything in it comes
from the commit, the shipped bytes and the Debian packages, so two builds of one commit
give the same document.

The release package declares the tools' own licence, and concludes it together with those
of the components linked into its executables; a test build says so in its comment.
When the release comes with its source archive, the archive is a package of its own, with
its digests, and the release is GENERATED_FROM it.

The release package contains its files, so its files are analysed (filesAnalyzed true: a
package whose files are not analysed may contain none) and it carries the verification code
of those files. The Debian packages contain no file of the document: theirs are not
analysed."""

import hashlib
import json
import os
import re
import time
import urllib.parse
import uuid

RELEASE_ID = "SPDXRef-Package-pelk-card-tools"
SOURCE_ID = "SPDXRef-Package-pelk-card-tools-source"
MSI_BINARY_COMMENT = ("in the MSI's Binary table: a custom action that Windows Installer runs "
                      "during the install; not installed, and not in the zip")
TEST_BUILD_COMMENT = ("test build: not an official release, and may be signed by a "
                      "certificate other than the team's")


def spdx_id(kind, name):
    return "SPDXRef-%s-%s" % (kind, re.sub(r"[^A-Za-z0-9.-]", "-", name))


def digests(path):
    with open(path, "rb") as file:
        data = file.read()
    return [{"algorithm": "SHA1", "checksumValue": hashlib.sha1(data).hexdigest()},
            {"algorithm": "SHA256", "checksumValue": hashlib.sha256(data).hexdigest()}]


def verification_code(files):
    """The package verification code of files: the SHA-1 of their lower-case hex SHA-1s,
    sorted and joined with nothing between. No file is excluded: the SBOM is not shipped
    in the zip."""
    sha1s = sorted(file["checksums"][0]["checksumValue"] for file in files)
    return {"packageVerificationCodeValue": hashlib.sha1("".join(sha1s).encode()).hexdigest()}


def purl(component):
    return "pkg:deb/debian/%s@%s?arch=%s" % (
        urllib.parse.quote(component["package"], safe=""),
        urllib.parse.quote(component["version"], safe=""), component["architecture"])


def document(release, stage, shipped, found, msi_binaries):
    """release: {"name", "version", "commit", "supplier", "epoch", "licence", "test_build",
    "source": the source archive's path or None}; stage: the folder of the shipped files,
    as signed; found: third_party.components(); msi_binaries: {name: path} of the files that
    the MSI carries in its Binary table, as signed."""
    files = []
    for name in shipped:
        files.append({
            "SPDXID": spdx_id("File", name), "fileName": "./" + name,
            "checksums": digests(os.path.join(stage, name)),
            "licenseConcluded": "NOASSERTION", "copyrightText": "NOASSERTION"})
    for name, path in sorted(msi_binaries.items()):
        files.append({
            "SPDXID": spdx_id("File", name), "fileName": "./" + name,
            "checksums": digests(path), "comment": MSI_BINARY_COMMENT,
            "licenseConcluded": "NOASSERTION", "copyrightText": "NOASSERTION"})
    packages = [{
        "SPDXID": RELEASE_ID, "name": release["name"], "versionInfo": release["version"],
        "supplier": "Organization: " + release["supplier"], "downloadLocation": "NOASSERTION",
        "filesAnalyzed": True, "packageVerificationCode": verification_code(files),
        "primaryPackagePurpose": "APPLICATION",
        "sourceInfo": "built from source commit %s" % release["commit"],
        "licenseConcluded": " AND ".join(
            [release["licence"]] + ["(%s)" % c["licence"] if " OR " in c["licence"]
                                    else c["licence"] for c in found]),
        "licenseDeclared": release["licence"], "copyrightText": "NOASSERTION"}]
    if release["test_build"]:
        packages[0]["comment"] = TEST_BUILD_COMMENT
    relationships = [{"spdxElementId": "SPDXRef-DOCUMENT", "relationshipType": "DESCRIBES",
                      "relatedSpdxElement": RELEASE_ID}]
    if release["source"]:
        packages.append({
            "SPDXID": SOURCE_ID, "name": release["name"] + "-source",
            "versionInfo": release["version"],
            "packageFileName": os.path.basename(release["source"]),
            "supplier": "Organization: " + release["supplier"],
            "downloadLocation": "NOASSERTION", "filesAnalyzed": False,
            "checksums": digests(release["source"]), "primaryPackagePurpose": "SOURCE",
            "sourceInfo": "the tree of source commit %s (git archive)" % release["commit"],
            "licenseConcluded": release["licence"], "licenseDeclared": release["licence"],
            "copyrightText": "NOASSERTION"})
        relationships.append({"spdxElementId": RELEASE_ID, "relationshipType": "GENERATED_FROM",
                              "relatedSpdxElement": SOURCE_ID})
    relationships += [{"spdxElementId": RELEASE_ID, "relationshipType": "CONTAINS",
                       "relatedSpdxElement": file["SPDXID"]} for file in files]
    extracted = {}
    for component in found:
        component_id = spdx_id("Package-deb", component["package"])
        packages.append({
            "SPDXID": component_id, "name": component["package"],
            "versionInfo": component["version"], "supplier": "Organization: Debian",
            "downloadLocation": "NOASSERTION", "filesAnalyzed": False,
            "primaryPackagePurpose": "LIBRARY", "description": component["name"],
            "licenseConcluded": "NOASSERTION", "licenseDeclared": component["licence"],
            "copyrightText": "NOASSERTION",
            "externalRefs": [{"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl",
                              "referenceLocator": purl(component)}]})
        for executable in sorted(component["linked"]):
            relationships.append({"spdxElementId": spdx_id("File", executable),
                                  "relationshipType": "STATIC_LINK",
                                  "relatedSpdxElement": component_id})
        extracted.update(component["licence_texts"])
    created = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(release["epoch"]))
    # Unique for each distinct release: the commit, the version and the shipped bytes.
    seed = " ".join([release["commit"], release["version"]] +
                    [file["checksums"][1]["checksumValue"] for file in files])
    name = "%s-%s" % (release["name"], release["version"])
    sbom = {
        "spdxVersion": "SPDX-2.3", "dataLicense": "CC0-1.0", "SPDXID": "SPDXRef-DOCUMENT",
        "name": name,
        "documentNamespace": "https://spdx.org/spdxdocs/%s-%s" % (
            name, uuid.uuid5(uuid.NAMESPACE_URL, seed)),
        "creationInfo": {"created": created,
                         "creators": ["Organization: " + release["supplier"],
                                      "Tool: pelk-card-tools release script"]},
        "packages": packages, "files": files, "relationships": relationships}
    if extracted:
        sbom["hasExtractedLicensingInfos"] = [
            {"licenseId": licence_id, "name": licence_id[len("LicenseRef-"):],
             "extractedText": text} for licence_id, text in sorted(extracted.items())]
    return sbom


def write(sbom, path):
    with open(path, "w", encoding="utf-8", newline="\n") as file:
        json.dump(sbom, file, indent=2, sort_keys=False, ensure_ascii=False)
        file.write("\n")
