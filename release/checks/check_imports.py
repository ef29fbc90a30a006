#!/usr/bin/python3
"""Checks that each Windows executable starts on a bare Windows x64 and keeps its
protections: it imports only KERNEL32.dll and the C runtime and carries no DLL of the
compiler's own; kiv_reset.exe names kiv.dll and the functions of
reset/kiv_interface/kiv.def only in its delay imports, so that kiv.dll is loaded by the
tool itself and never by the loader; and both are built for ASLR (a relocatable,
high-entropy image), with NX and no section that is both writable and executable; and
a copy of each with one of those protections taken away fails. PROTECTIONS and NOT_GIVEN
are the one list of them: the guide's appendix B is filled in from it. Reads the images
with Debian's python3-pefile.

Usage, from the top folder: python3 -m release.checks.check_imports DIR, where DIR is a
build folder (scanner/smbus_scan.exe, reset/kiv_reset.exe) or a folder holding the two
executables."""

import os
import shutil
import struct
import sys
import tempfile
import textwrap

import pefile

from reset.kiv_interface.kiv_exports import kiv_functions

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll"}

TOOLS = {
    "scanner/smbus_scan.exe": {},
    "reset/kiv_reset.exe": {"kiv.dll": set(kiv_functions())},
}

FLAGS = pefile.DLL_CHARACTERISTICS
SECTION_FLAGS = pefile.SECTION_CHARACTERISTICS
BASE_RELOCATION = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]


def load(path):
    try:
        image = pefile.PE(path, fast_load=True)
    except pefile.PEFormatError as error:
        raise SystemExit("%s is not a Windows executable: %s" % (path, error))
    image.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    if image.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"] or \
            image.OPTIONAL_HEADER.Magic != pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS:
        raise SystemExit("%s is not a 64-bit Windows executable" % path)
    return image


def imports_of(image):
    """{dll name, lower case: [imported names]} from the PE import table."""
    return {entry.dll.decode("latin-1").lower():
            [i.name.decode("latin-1") for i in entry.imports if i.name]
            for entry in getattr(image, "DIRECTORY_ENTRY_IMPORT", [])}


def string_at(image, rva):
    try:
        return image.get_string_at_rva(rva).decode("latin-1")
    except (pefile.PEFormatError, AttributeError):
        return None


def delay_imports(image):
    """{dll name, lower case: {names}}, read from the delay-import descriptors. mingw-w64's
    linker leaves the image's delay-import directory empty, so the descriptors are found
    by their shape: attributes 1 (RVAs), a DLL name, and a name table of hint/name RVAs."""
    found = {}
    data = image.__data__
    for at in range(0, len(data) - 32, 4):
        attributes, name_rva, handle_rva, iat_rva, int_rva = struct.unpack_from("<5I", data, at)
        if attributes != 1 or 0 in (name_rva, handle_rva, iat_rva, int_rva):
            continue
        dll = string_at(image, name_rva)
        if not dll or not dll.lower().endswith(".dll") or image.get_qword_at_rva(int_rva) is None:
            continue
        names = set()
        for entry_rva in range(int_rva, int_rva + 8 * 1024, 8):
            entry = image.get_qword_at_rva(entry_rva)
            if not entry or entry >> 63:
                break
            name = string_at(image, entry + 2)
            if not name:
                break
            names.add(name)
        if names:
            found.setdefault(dll.lower(), set()).update(names)
    return found


# What each executable must have, as the guide states it: (the property, as the guide and
# the problems name it; what it gives).
PROTECTIONS = [
    ("DYNAMIC_BASE", "ASLR (DYNAMIC_BASE): Windows loads each tool at an address of its "
     "own choosing."),
    ("HIGH_ENTROPY_VA", "High-entropy ASLR (HIGH_ENTROPY_VA): that address is chosen from "
     "a far larger, 64-bit range."),
    ("NX_COMPAT", "DEP (NX_COMPAT): data that the tools read or compute never runs as code."),
    ("relocations", "Base relocations (.reloc), without which Windows could not move them."),
    ("writable and executable", "No section that is both writable and executable."),
]
# What this toolchain (Debian 12's mingw-w64, GCC 12) does not give them.
NOT_GIVEN = [
    "Control Flow Guard: it needs a compiler that emits its checks and tables (-mguard=cf), "
    "which Debian 12's compilers for Windows do not.",
    "The stack protector (-fstack-protector): its runtime library is a DLL of the "
    "compiler's own, and linked in statically it imports ADVAPI32.dll; either is a DLL "
    "that the tools do not otherwise load.",
]


def protections_list():
    """PROTECTIONS and NOT_GIVEN, as the guide lists them."""
    def item(text):
        return textwrap.fill(text, 76, initial_indent="  - ", subsequent_indent="    ",
                             break_on_hyphens=False)
    return "\n".join([item(what) for _, what in PROTECTIONS] +
                      ["", "What the toolchain does not give them:", ""] +
                      [item(text) for text in NOT_GIVEN])


def protections(image):
    """The PROTECTIONS the image lacks, each named by its property."""
    problems = []
    for name in ("DYNAMIC_BASE", "HIGH_ENTROPY_VA", "NX_COMPAT"):
        if not image.OPTIONAL_HEADER.DllCharacteristics & FLAGS[
                "IMAGE_DLLCHARACTERISTICS_" + name]:
            problems.append("is not marked %s" % name)
    sections = [section.Name.rstrip(b"\0").decode("latin-1") for section in image.sections]
    relocations = image.OPTIONAL_HEADER.DATA_DIRECTORY[BASE_RELOCATION].Size
    if (image.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS[
            "IMAGE_FILE_RELOCS_STRIPPED"] or not relocations or ".reloc" not in sections):
        problems.append("has no relocations (.reloc), so ASLR cannot move it")
    for name, section in zip(sections, image.sections):
        if (section.Characteristics & SECTION_FLAGS["IMAGE_SCN_MEM_EXECUTE"]
                and section.Characteristics & SECTION_FLAGS["IMAGE_SCN_MEM_WRITE"]):
            problems.append("has section %s both writable and executable" % name)
    return problems


def without_flag(name):
    def doctor(image):
        image.OPTIONAL_HEADER.DllCharacteristics &= ~FLAGS["IMAGE_DLLCHARACTERISTICS_" + name]
    return doctor


def without_relocations(image):
    directory = image.OPTIONAL_HEADER.DATA_DIRECTORY[BASE_RELOCATION]
    directory.VirtualAddress = directory.Size = 0


def with_writable_code(image):
    code = [s for s in image.sections if s.Characteristics & SECTION_FLAGS["IMAGE_SCN_MEM_EXECUTE"]]
    code[0].Characteristics |= SECTION_FLAGS["IMAGE_SCN_MEM_WRITE"]


# Copies of an executable with one protection taken away, each of which must fail with the
# problem named: (what was done, how, the problem).
DOCTORED = [
    ("DYNAMIC_BASE cleared", without_flag("DYNAMIC_BASE"), "not marked DYNAMIC_BASE"),
    ("HIGH_ENTROPY_VA cleared", without_flag("HIGH_ENTROPY_VA"), "not marked HIGH_ENTROPY_VA"),
    ("NX_COMPAT cleared", without_flag("NX_COMPAT"), "not marked NX_COMPAT"),
    ("relocation directory emptied", without_relocations, "has no relocations"),
    ("code section made writable", with_writable_code, "both writable and executable"),
]


def check_doctored(path):
    """Each DOCTORED copy of the executable at path fails with its own problem, and only
    with it."""
    problems = []
    with tempfile.TemporaryDirectory() as scratch:
        for what, doctor, expected in DOCTORED:
            copy = os.path.join(scratch, os.path.basename(path))
            shutil.copyfile(path, copy)
            image = pefile.PE(copy)
            doctor(image)
            image.write(filename=copy + ".doctored")
            image.close()
            found = protections(load(copy + ".doctored"))
            if len(found) != 1 or expected not in found[0]:
                problems.append("a copy with %s gives %s, expected only %r"
                                % (what, found, expected))
    return problems


def tool_path(folder, relative):
    path = os.path.join(folder, relative)
    return path if os.path.exists(path) else os.path.join(folder, os.path.basename(relative))


def check_tool(path, delayed):
    problems = []
    image = load(path)
    imports = imports_of(image)
    for dll in sorted(set(imports) - SYSTEM_DLLS):
        problems.append("imports %s at load time" % dll)
    for dll in sorted(SYSTEM_DLLS - set(imports)):
        problems.append("does not import %s" % dll)
    found = delay_imports(image)
    if found != delayed:
        problems.append("delay-imports %s, expected %s" % (
            {dll: sorted(names) for dll, names in found.items()},
            {dll: sorted(names) for dll, names in delayed.items()}))
    problems += protections(image)
    problems += check_doctored(path)
    print("%s: %s%s, %d bytes; %d doctored copies checked" % (
        os.path.basename(path), ", ".join(sorted(imports)),
        "".join("; delay-loads %s" % dll for dll in sorted(found)), os.path.getsize(path),
        len(DOCTORED)))
    return problems


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else "build/windows"
    failed = 0
    for relative, delayed in TOOLS.items():
        path = tool_path(folder, relative)
        problems = check_tool(path, delayed)
        for problem in problems:
            print("FAIL %s %s" % (os.path.basename(path), problem))
        failed += bool(problems)
    print("images: %d passed, %d failed" % (len(TOOLS) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
