"""The code of others in the release's executables, and the notices its licences ask for.

Each executable's link map (the build writes <exe>.map beside it) names every object file
and archive member that put bytes into the image. Whatever does not come from the build
itself must belong to a Debian package: its version comes from dpkg, its licence and
copyright from /usr/share/doc/<package>/copyright. Where that file is machine-readable, only
the stanzas of the sources actually linked apply: each object's source path is the name of
its DWARF compile unit (import library members, which dlltool makes from .def files and
which carry no debug information, are mapped to their .def file by a rule), and Debian's
python3-debian finds the Files stanza that covers it (the last that matches). Where it is
not, the whole file applies. release/packaging/third_party.json holds what those files
can't tell: a name for each component, the import library rule, the licence where the file
is not machine-readable, and SPDX names for Debian's licence names. Anything linked that
has no owning package, no source path, no stanza or no licence text stops the release."""

import io
import json
import os
import re
import subprocess
import tempfile
import textwrap

from debian import copyright as debian_copyright

HERE = os.path.dirname(os.path.abspath(__file__))
THIRD_PARTY_TABLE = os.path.join(HERE, "packaging", "third_party.json")
COMMON_LICENCES = "/usr/share/common-licenses/"
AR = "x86_64-w64-mingw32-ar"
OBJDUMP = "x86_64-w64-mingw32-objdump"


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


def compile_unit_names(objects):
    """{object path: [the name of each DWARF compile unit in it]}; no debug information:
    an empty list."""
    names = {path: [] for path in objects}
    dump = subprocess.run([OBJDUMP, "--dwarf=info", "--dwarf-depth=1"] + objects,
                          capture_output=True, text=True, check=True).stdout
    current, in_unit = None, False
    for line in dump.split("\n"):
        header = re.match(r"^(.*):\s+file format ", line)
        if header:
            current, in_unit = header.group(1), False
        elif "(DW_TAG_compile_unit)" in line:
            in_unit = True
        elif in_unit and re.match(r"^\s+<[0-9a-f]+>\s+DW_AT_name\s", line):
            names[current].append(re.sub(r"^\([^)]*\):\s*", "", line.split(":", 1)[1].strip()))
            in_unit = False
    return names


def import_library_source(archive, member, rule):
    """The .def file that dlltool made an import library member from, by the package's
    rule; None when the member is not one of an import library."""
    match = re.match(rule["member"], member) if rule else None
    library = match.group("library") if match else None
    if library is None or os.path.basename(archive) != "lib%s.a" % library:
        return None
    return rule["source"].format(library=library)


def source_paths(file, members, rule):
    """{"archive(member)" or "object": [its source paths, relative to the package's
    source]} for the linked members of an archive, or for an object file."""
    with tempfile.TemporaryDirectory() as scratch:
        if members == {""}:
            objects = {os.path.basename(file): os.path.realpath(file)}
        else:
            subprocess.run([AR, "x", os.path.realpath(file)] + sorted(members), cwd=scratch,
                           check=True)
            objects = {"%s(%s)" % (os.path.basename(file), member): os.path.join(scratch, member)
                       for member in members}
        units = compile_unit_names(sorted(objects.values()))
    found = {}
    for part, path in sorted(objects.items()):
        sources = units[path]
        if not sources and part.endswith(")"):
            source = import_library_source(file, part[part.index("(") + 1:-1], rule)
            sources = [source] if source else []
        if not sources:
            raise NoticeError("%s is linked into the release, but names no source file (no "
                              "debug information, and no import library rule applies)" % part)
        for source in sources:
            if os.path.isabs(source) or source.startswith("../"):
                raise NoticeError("%s is linked into the release, but its source %s is not "
                                  "within its package's source" % (part, source))
        found[part] = [os.path.normpath(source) for source in sources]
    return found


def spdx_expression(synopsis, table):
    """A Debian License synopsis ("BSD-2-clause-NetBSD and ISC") as an SPDX expression."""
    words = [{"and": "AND", "or": "OR"}.get(word.lower()) or table["spdx_names"].get(word)
             or "LicenseRef-" + re.sub(r"[^A-Za-z0-9.-]", "-", word)
             for word in synopsis.replace(",", " ").split()]
    return " ".join(words)


def licence_names(synopsis):
    return [word for word in synopsis.replace(",", " ").split()
            if word.lower() not in ("and", "or")]


def applying_stanzas(copyright_text, sources, package, table):
    """The parts of a machine-readable copyright file that apply to the linked sources: its
    header, the Files stanza that covers each source, and the stand-alone License stanzas
    they name, in the file's order. Returns (text, SPDX expression, {LicenseRef: text})."""
    document = debian_copyright.Copyright(io.StringIO(copyright_text))
    used = set()
    for part, paths in sorted(sources.items()):
        for path in paths:
            stanza = document.find_files_paragraph(path)
            if stanza is None:
                raise NoticeError("%s is built from %s, which no Files stanza of %s's "
                                  "copyright file covers" % (part, path, package))
            used.add(id(stanza))
    kept = [stanza for stanza in document.all_files_paragraphs() if id(stanza) in used]
    synopses, names, texts = [], [], {}
    for stanza in kept:
        if stanza.license.synopsis not in synopses:
            synopses.append(stanza.license.synopsis)
        for name in licence_names(stanza.license.synopsis):
            if name not in names:
                names.append(name)
            if stanza.license.text and name not in texts:
                texts[name] = stanza.license.text
    standalone = [stanza for stanza in document.all_license_paragraphs()
                  if stanza.license.synopsis in names]
    for stanza in standalone:
        texts.setdefault(stanza.license.synopsis, stanza.license.text)
    text = "\n".join(paragraph.dump() for paragraph in [document.header] + kept + standalone)
    expression = " AND ".join(spdx_expression(s, table) if len(synopses) == 1 or
                              len(s.split()) == 1 else "(%s)" % spdx_expression(s, table)
                              for s in synopses)
    extracted = {spdx_expression(name, table): texts.get(name) or
                 "%s, as the package's copyright file states; it gives no further text." % name
                 for name in names if name not in table["spdx_names"]}
    return text, expression, extracted


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
                "name": described["name"], "linked": {}, "files": {}})
            component["linked"].setdefault(executable, set()).update(
                os.path.basename(file) + ("(%s)" % member if member else "")
                for member in members)
            component["files"].setdefault(os.path.realpath(file), set()).update(members)
    for package, component in found.items():
        described = table["packages"][package]
        copyright_path = "/usr/share/doc/%s/copyright" % package
        if not os.path.exists(copyright_path):
            raise NoticeError("%s is linked into the release, but has no licence text (%s)"
                              % (package, copyright_path))
        with open(copyright_path, encoding="utf-8") as file:
            full_text = file.read()
        if full_text.startswith("Format:"):
            sources = {}
            for file, members in sorted(component["files"].items()):
                sources.update(source_paths(file, members, described.get("import_libraries")))
            text, component["licence"], component["licence_texts"] = applying_stanzas(
                full_text, sources, package, table)
        elif described.get("licence"):
            text, component["licence"], component["licence_texts"] = (
                full_text, described["licence"], {})
        else:
            raise NoticeError("%s's copyright file is not machine-readable and names no "
                              "licence that the release can state: add one to "
                              "release/packaging/third_party.json" % package)
        del component["files"]
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
    """"libmingwex.a (12 members), crt2u.o": archives with their member count."""
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


def own_licence():
    """The tools' own licence, as an SPDX identifier."""
    return load_table()["own_licence"]


def licence_list(found):
    """Every licence that applies to the executables, for the guide: the tools' own, then
    each linked component's as the notices state it."""
    items = ["The tools' own code: %s (LICENSE.txt)." % own_licence()]
    items += ["%s, Debian package %s %s: %s (THIRD-PARTY-NOTICES.txt)."
              % (component["name"], component["package"], component["version"],
                 component["licence"]) for component in found]
    return "\n".join(textwrap.fill(item, 76, initial_indent="  - ", subsequent_indent="    ",
                                   break_on_hyphens=False, break_long_words=False)
                     for item in items)


def write_notices(found, path):
    with open(path, "w", encoding="utf-8", newline="\r\n") as notices:
        notices.write(notices_text(found))
