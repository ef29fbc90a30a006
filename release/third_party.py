"""The code of others in the release's executables, and the notices its licences ask for.

Each executable's link map (the build writes <exe>.map beside it) names every object file
and archive member that put bytes into the image. Whatever does not come from the build
itself must belong to a Debian package: its version, licence and copyright come from
dpkg and from /usr/share/doc/<package>/copyright. release/packaging/third_party.json holds
what those files can't tell: a name for each component, which stanzas of a
machine-readable copyright file apply, and SPDX names for Debian's licence names. Anything linked that has
no owning package or no licence text stops the release."""

import json
import os
import re
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
THIRD_PARTY_TABLE = os.path.join(HERE, "packaging", "third_party.json")
COMMON_LICENCES = "/usr/share/common-licenses/"


class NoticeError(RuntimeError):
    pass


def load_table():
    with open(THIRD_PARTY_TABLE) as table:
        return json.load(table)


def linked_parts(map_path):
    """{file: set of archive members} of every input that put bytes into an allocated
    output section ("" for a plain object file). Debug sections and /DISCARD/ don't count."""
    parts = {}
    with open(map_path, encoding="latin-1") as link_map:
        lines = link_map.read().split("\n")
    start = lines.index("Linker script and memory map")
    output_section = None
    pending = None
    for line in lines[start + 1:]:
        if line and not line.startswith(" "):
            output_section = line.split()[0]
            continue
        counts = output_section not in (None, "/DISCARD/") and not re.match(
            r"\.(z?debug|stab)", output_section)
        fields = line.split()
        # An input section: " .name 0xADDRESS 0xSIZE file", the name alone on its line
        # when it is long.
        if len(fields) == 1 and fields[0].startswith("."):
            pending = fields[0]
            continue
        if pending is not None and len(fields) >= 3 and fields[0].startswith("0x"):
            fields = [pending] + fields
        pending = None
        if (len(fields) >= 4 and fields[0].startswith(".") and fields[1].startswith("0x")
                and fields[2].startswith("0x") and int(fields[2], 16) > 0 and counts):
            source = " ".join(fields[3:])
            match = re.match(r"^(.*)\((.*)\)$", source)
            file, member = (match.group(1), match.group(2)) if match else (source, "")
            parts.setdefault(file, set()).add(member)
    return parts


def is_ours(path, our_folders):
    if not os.path.isabs(path):
        return True  # the linker ran in the build folder
    real = os.path.realpath(path)
    return any(real.startswith(os.path.realpath(folder) + os.sep) for folder in our_folders)


def owning_package(path):
    """(package, version, architecture) of the Debian package that installed path."""
    for candidate in (os.path.normpath(path), os.path.realpath(path)):
        found = subprocess.run(["dpkg-query", "-S", candidate], capture_output=True, text=True)
        if found.returncode == 0:
            package = found.stdout.split(":", 1)[0].strip()
            details = subprocess.run(
                ["dpkg-query", "-W", "-f", "${Version} ${Architecture}", package],
                capture_output=True, text=True, check=True).stdout.split()
            return package, details[0], details[1]
    raise NoticeError("%s is linked into the release, but no Debian package owns it"
                      % os.path.normpath(path))


def paragraphs(text):
    """A machine-readable copyright file's paragraphs, each as [(field, value lines)]."""
    result = []
    for block in re.split(r"\n[ \t]*\n", text.strip("\n")):
        fields = []
        for line in block.split("\n"):
            if line[:1] in (" ", "\t") and fields:
                fields[-1][1].append(line)
            elif ":" in line:
                name, value = line.split(":", 1)
                fields.append((name, [value.strip()]))
        result.append((block, fields))
    return result


def field(fields, name):
    for key, value in fields:
        if key.lower() == name.lower():
            return value
    return None


def licence_names(expression):
    """Debian licence names of a License field's first line ("A and B or C")."""
    return [name for name in re.split(r"\s+(?:and|or)\s+|,\s*", expression.strip()) if name]


def applying_text(copyright_text, source_folder):
    """The parts of a package's copyright file that apply to what is linked: in a
    machine-readable file, its header, the stanzas for every file ("*") and for the
    folder the linked code is built from, and the licence texts they name; else all of it.
    Returns (text, [Debian licence names] or None when the file doesn't say)."""
    if not copyright_text.startswith("Format:") or not source_folder:
        return copyright_text, None
    blocks = paragraphs(copyright_text)
    kept, names = [blocks[0][0]], []
    for block, fields in blocks[1:]:
        files = field(fields, "Files")
        patterns = " ".join(files).split() if files else []
        if files and any(p == "*" or p.startswith(source_folder) for p in patterns):
            kept.append(block)
            names += [n for n in licence_names(field(fields, "License")[0])
                      if n not in names]
    for block, fields in blocks[1:]:
        licence = field(fields, "License")
        if field(fields, "Files") is None and licence and licence[0].strip() in names:
            kept.append(block)
    return "\n\n".join(kept) + "\n", names


def spdx_expression(names, table):
    spdx = table["spdx_names"]
    return " AND ".join(spdx.get(name, "LicenseRef-" + re.sub(r"[^A-Za-z0-9.-]", "-", name))
                        for name in names)


def licence_texts(names, copyright_text):
    """{LicenseRef-…: text} for the names that SPDX has no identifier for: each one's
    text, from its stanza in the copyright file."""
    texts = {name: "%s, as the package's copyright file states; it gives no further text."
             % name for name in names}
    for _, fields in paragraphs(copyright_text):
        licence = field(fields, "License")
        if not licence:
            continue
        for name in licence_names(licence[0]):
            if name in names and len(licence) > 1 and "gives no further" in texts[name]:
                texts[name] = "\n".join(line[1:] if line.startswith(" ") else line
                                        for line in licence[1:]).replace("\n.\n", "\n\n")
    return texts


def components(maps, our_folders):
    """The code of others in the executables: one component per Debian package, sorted by
    package. maps: {executable name: its link map}."""
    table = load_table()
    found = {}
    for executable, map_path in sorted(maps.items()):
        for file, members in sorted(linked_parts(map_path).items()):
            if is_ours(file, our_folders):
                continue
            package, version, architecture = owning_package(file)
            described = table["packages"].get(package)
            if described is None:
                raise NoticeError("%s (from %s) is linked into %s, but release/packaging/"
                                  "third_party.json does not describe that package"
                                  % (os.path.basename(file), package, executable))
            component = found.setdefault(package, {
                "package": package, "version": version, "architecture": architecture,
                "name": described["name"], "linked": {}})
            component["linked"].setdefault(executable, set()).update(
                os.path.basename(file) + ("(%s)" % member if member else "")
                for member in members)
    for package, component in found.items():
        described = table["packages"][package]
        copyright_path = "/usr/share/doc/%s/copyright" % package
        if not os.path.exists(copyright_path):
            raise NoticeError("%s is linked into the release, but has no licence text (%s)"
                              % (package, copyright_path))
        with open(copyright_path, encoding="utf-8") as file:
            full_text = file.read()
        text, names = applying_text(full_text, described.get("source_folder"))
        if names:
            component["licence"] = spdx_expression(names, table)
            component["licence_texts"] = {
                spdx_expression([name], table): body
                for name, body in licence_texts(names, full_text).items()
                if name not in table["spdx_names"]}
        elif described.get("licence"):
            component["licence"] = described["licence"]
            component["licence_texts"] = {}
        else:
            raise NoticeError("%s's copyright file names no licence that the release can "
                              "state: add one to release/packaging/third_party.json" % package)
        component["note"] = described.get("note", "")
        component["copyright"] = text
        # Each licence text the kept text refers to, once (GPL is a link to GPL-3).
        component["common_licences"] = {}
        for name in sorted(set(re.findall(
                re.escape(COMMON_LICENCES) + r"([A-Za-z0-9+-]+(?:\.[0-9]+)*)", text))):
            path = COMMON_LICENCES + name
            if not os.path.exists(path):
                raise NoticeError("%s's copyright file refers to %s, which is missing"
                                  % (package, path))
            component["common_licences"].setdefault(os.path.realpath(path), name)
    return [found[package] for package in sorted(found)]


def part_summary(parts):
    """"libmingwex.a (12 members), crt2.o": archives with their member count."""
    archives = {}
    for part in parts:
        archives.setdefault(part.split("(", 1)[0], []).append(part)
    return ", ".join("%s (%d members)" % (name, len(members)) if "(" in members[0] else name
                     for name, members in sorted(archives.items()))


def notices_text(found):
    rule = "=" * 78
    out = ["Third-party notices", "===================", "",
           "The executables of this package contain code of others, linked in from the",
           "Debian packages of the compiler and its runtime that built them. Each is",
           "listed below with its licence, its copyright notices and the licence texts",
           "it asks to be passed on.", ""]
    for component in found:
        out += [rule, component["name"], rule, "",
                "Debian package: %s %s (%s)" % (component["package"], component["version"],
                                                component["architecture"]),
                "Licence: " + component["licence"]]
        for executable, parts in sorted(component["linked"].items()):
            out.append("Linked into %s: %s" % (executable, part_summary(sorted(parts))))
        if component["note"]:
            out += ["", component["note"]]
        out += ["", "Copyright and licence, from the package's copyright file:", "",
                component["copyright"].rstrip("\n"), ""]
        for path, name in sorted(component["common_licences"].items()):
            with open(path, encoding="utf-8") as licence:
                out += ["-" * 78, "%s (%s%s)" % (name, COMMON_LICENCES, name), "-" * 78, "",
                        licence.read().rstrip("\n"), ""]
    return "\n".join(out) + "\n"


def write_notices(found, path):
    with open(path, "w", encoding="utf-8", newline="\r\n") as notices:
        notices.write(notices_text(found))
