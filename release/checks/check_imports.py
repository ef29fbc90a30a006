#!/usr/bin/python3
"""Checks that each Windows image, the two executables and the MSI's custom action DLL,
starts on a bare Windows x64 and keeps its protections: it imports only the DLLs that
IMAGES allows it (KERNEL32.dll and the C runtime; kiv_reset.exe also ADVAPI32.dll, and the
custom action msi.dll, which Windows Installer has loaded into the process that runs it),
never wintrust.dll or crypt32.dll, and carries no DLL of the
compiler's own; kiv_reset.exe names kiv.dll and the functions of
reset/kiv_interface/kiv.def only in its delay imports, so that kiv.dll is loaded by the
tool itself and never by the loader, and keeps their addresses and its module handle in
writable sections, where the delay-load helper writes them; and all are built for ASLR (a
relocatable, high-entropy image), with NX and no section that is both writable and
executable; and a copy of each with one of those properties taken away fails, as does a
copy that imports a DLL the image may not. It also runs the build's delay-import step
(cmake/writable_delay_imports.py) on doctored copies (STEP_CASES). PROTECTIONS and
NOT_GIVEN are the one list of the protections: the guide's appendix B is filled in from it.
Reads the images with Debian's python3-pefile.

Usage, from the top folder: python3 -m release.checks.check_imports DIR..., where each DIR
is a build folder (scanner/smbus_scan.exe, reset/kiv_reset.exe,
installer/pelk_path_entry.dll) or a folder holding some of the images: each image is taken
from the first that holds it."""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import textwrap

import pefile

from reset.kiv_interface.kiv_exports import kiv_functions

# advapi32.dll reads kiv_reset's one registry value, the RequiredSigners policy: Debian's
# mingw-w64 has RegOpenKeyExW and RegGetValueW in its import library only, and advapi32.dll
# is a KnownDLL, so a copy beside the tool is never taken.
# Not KnownDLLs: imported, a copy planted beside the tool would load with it. kiv_reset loads
# them from the system folder itself, and only to check kiv.dll's signature.
NEVER_IMPORTED = {"wintrust.dll", "crypt32.dll"}
# Each image, by its path in a build folder: the DLLs it imports at load time, exactly,
# and what it delay-imports.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll"}
IMAGES = {
    "scanner/smbus_scan.exe": {"imports": SYSTEM_DLLS, "delayed": {}},
    "reset/kiv_reset.exe": {"imports": SYSTEM_DLLS | {"advapi32.dll"},
                            "delayed": {"kiv.dll": set(kiv_functions())}},
    "installer/pelk_path_entry.dll": {"imports": SYSTEM_DLLS | {"msi.dll"}, "delayed": {}},
}

FLAGS = pefile.DLL_CHARACTERISTICS
SECTION_FLAGS = pefile.SECTION_CHARACTERISTICS
BASE_RELOCATION = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]
TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


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


def delay_import_tables(image):
    """[{"dll": its name, lower case, "names": {the functions imported by name}, "iat": RVA of
    its import address table, "count": its number of entries, "handle": RVA of its
    module-handle slot, "offset": the descriptor's file offset, "thunks": RVA of its name
    table}], read from the delay-import descriptors. mingw-w64's linker leaves the image's
    delay-import directory empty, so the descriptors are found by their shape: attributes 1
    (RVAs), a DLL name, and a name table ended by a null thunk. Every thunk counts, by name
    or by ordinal: the address table has one entry for each."""
    found = []
    data = image.__data__
    for at in range(0, len(data) - 32, 4):
        attributes, name_rva, handle_rva, iat_rva, int_rva = struct.unpack_from("<5I", data, at)
        if attributes != 1 or 0 in (name_rva, handle_rva, iat_rva, int_rva):
            continue
        dll = string_at(image, name_rva)
        if not dll or not dll.lower().endswith(".dll") or image.get_qword_at_rva(int_rva) is None:
            continue
        names, count = set(), None
        for index in range(1024):
            entry = image.get_qword_at_rva(int_rva + 8 * index)
            if entry is None:
                break
            if entry == 0:
                count = index
                break
            if not entry >> 63:
                name = string_at(image, entry + 2)
                if not name:
                    break
                names.add(name)
        if count:
            found.append({"dll": dll.lower(), "names": names, "iat": iat_rva, "count": count,
                          "handle": handle_rva, "offset": at, "thunks": int_rva})
    return found


def delay_imports(image):
    """{dll name, lower case: {names}} of the delay imports."""
    found = {}
    for table in delay_import_tables(image):
        found.setdefault(table["dll"], set()).update(table["names"])
    return found


def section_holding(image, rva, size):
    """The one section that holds size bytes from rva, or None."""
    section = image.get_section_by_rva(rva)
    return section if section is not None and section.contains_rva(rva + size - 1) else None


def delay_address_sections(image):
    """{dll name: the section that holds its delay-import addresses}. The delay-load helper
    writes each function's address there at its first call, so that section must be
    writable: binutils 2.44 marks .idata, where dlltool's delay-import library puts them,
    read-only, and the first call into kiv.dll would then fault."""
    return {table["dll"]: section_holding(image, table["iat"], 8 * table["count"])
            for table in delay_import_tables(image)}


def delay_written_sections(image):
    """[(dll name, what the delay-load helper writes there, the section, or None where no one
    section holds it)]: the function addresses, at each one's first call, and the module
    handle, at the first call of all (in .data in Debian 12's build)."""
    written = []
    for table in delay_import_tables(image):
        written.append((table["dll"], "module handle",
                        section_holding(image, table["handle"], 8)))
        written.append((table["dll"], "addresses",
                        section_holding(image, table["iat"], 8 * table["count"])))
    return sorted(written, key=lambda slot: slot[:2])


def section_name(section):
    return section.Name.rstrip(b"\0").decode("latin-1")


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
    "that smbus_scan.exe and the MSI's custom action do not otherwise load.",
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
    sections = [section_name(section) for section in image.sections]
    relocations = image.OPTIONAL_HEADER.DATA_DIRECTORY[BASE_RELOCATION].Size
    if (image.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS[
            "IMAGE_FILE_RELOCS_STRIPPED"] or not relocations or ".reloc" not in sections):
        problems.append("has no relocations (.reloc), so ASLR cannot move it")
    for name, section in zip(sections, image.sections):
        if (section.Characteristics & SECTION_FLAGS["IMAGE_SCN_MEM_EXECUTE"]
                and section.Characteristics & SECTION_FLAGS["IMAGE_SCN_MEM_WRITE"]):
            problems.append("has section %s both writable and executable" % name)
    return problems


def delay_load_problems(image):
    """What the delay-load helper writes (each DLL's module handle and function addresses)
    where it could not write it: one problem for each section that can't be written."""
    problems = []
    unwritable = {}
    for dll, what, section in delay_written_sections(image):
        if section is None:
            problems.append("has the delay-import %s of %s outside any one section" % (what, dll))
        elif not section.Characteristics & SECTION_FLAGS["IMAGE_SCN_MEM_WRITE"]:
            unwritable.setdefault((dll, section_name(section)), []).append(what)
    for (dll, name), what in sorted(unwritable.items()):
        problems.append("has the delay-import %s of %s in section %s, which is not writable: "
                        "the first call into %s would fault" % (" and ".join(what), dll, name, dll))
    return problems


def image_problems(image):
    return protections(image) + delay_load_problems(image)


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


def with_read_only(what):
    """Makes the sections that hold what (a kind of delay_written_sections) read-only, as
    binutils 2.44 marks .idata; False for an image without delay imports, where the copy
    proves nothing."""
    def doctor(image):
        sections = [section for _, kind, section in delay_written_sections(image)
                    if kind == what and section is not None]
        for section in sections:
            section.Characteristics &= ~SECTION_FLAGS["IMAGE_SCN_MEM_WRITE"]
        return bool(delay_import_tables(image))
    return doctor


# Copies of an executable with one protection taken away, each of which must fail with the
# problem named: (what was done, how, the problem).
DOCTORED = [
    ("DYNAMIC_BASE cleared", without_flag("DYNAMIC_BASE"), "not marked DYNAMIC_BASE"),
    ("HIGH_ENTROPY_VA cleared", without_flag("HIGH_ENTROPY_VA"), "not marked HIGH_ENTROPY_VA"),
    ("NX_COMPAT cleared", without_flag("NX_COMPAT"), "not marked NX_COMPAT"),
    ("relocation directory emptied", without_relocations, "has no relocations"),
    ("code section made writable", with_writable_code, "both writable and executable"),
    ("the delay-import addresses' section made read-only", with_read_only("addresses"),
     "addresses of kiv.dll in section"),
    ("the delay-import module handle's section made read-only",
     with_read_only("module handle"), "module handle"),
]


def as_linked(image):
    """No change; False for an image without delay imports, which the step refuses."""
    return None if delay_import_tables(image) else False


def without_delay_descriptors(image):
    """Clears each delay-import descriptor's attributes, as a link without the delay-import
    library would leave no descriptor; None (no change) for an image that has none."""
    for table in delay_import_tables(image):
        image.set_dword_at_offset(table["offset"], 0)


def in_code_section(image):
    """Marks the section of the delay-import addresses executable and read-only, as a link
    that put them among the code would; False for an image without delay imports."""
    sections = [s for s in delay_address_sections(image).values() if s is not None]
    for section in sections:
        section.Characteristics = (section.Characteristics | SECTION_FLAGS[
            "IMAGE_SCN_MEM_EXECUTE"]) & ~SECTION_FLAGS["IMAGE_SCN_MEM_WRITE"]
    return bool(delay_import_tables(image))


def both_read_only(image):
    return with_read_only("addresses")(image) | with_read_only("module handle")(image)


def first_by_ordinal(image):
    """Both sections read-only, and each DLL's first function imported by ordinal 1, as a
    .def line "name @1 NONAME" would; False for an image without delay imports."""
    applies = both_read_only(image)
    for table in delay_import_tables(image):
        image.set_qword_at_rva(table["thunks"], 1 << 63 | 1)
    return applies


# The build's step after kiv_reset.exe's link (cmake/writable_delay_imports.py), run on
# copies of an executable: (what was done to the copy, how, the step's exit status, the
# words of its message, or None). A step that succeeds leaves an image with no delay-load
# problem; one that fails leaves the file as it was.
STEP_CASES = [
    ("nothing done", as_linked, 0, None),
    ("both sections the delay-load helper writes made read-only", both_read_only, 0,
     "made writable"),
    ("the first function imported by ordinal, both sections read-only", first_by_ordinal, 0,
     "made writable"),
    ("no delay-import descriptor", without_delay_descriptors, 1,
     "no delay-import descriptor found"),
    ("the delay-import addresses in an executable, read-only section", in_code_section, 1,
     "both writable and executable"),
]


def run_step(copy):
    """The step as the build runs it, from the top folder; (status, its output)."""
    done = subprocess.run([sys.executable, "-m", "cmake.writable_delay_imports", copy],
                          cwd=TOP, capture_output=True, text=True)
    return done.returncode, done.stdout + done.stderr


def check_doctored(path):
    """Each DOCTORED copy of the executable at path fails with its own problem, and only
    with it; the step gives each STEP_CASES copy its outcome."""
    problems = []
    checked = 0
    with tempfile.TemporaryDirectory() as scratch:
        copy = os.path.join(scratch, os.path.basename(path))
        for what, doctor, expected in DOCTORED:
            shutil.copyfile(path, copy)
            image = pefile.PE(copy)
            if doctor(image) is False:
                image.close()
                continue
            image.write(filename=copy + ".doctored")
            image.close()
            checked += 1
            found = image_problems(load(copy + ".doctored"))
            if len(found) != 1 or expected not in found[0]:
                problems.append("a copy with %s gives %s, expected only %r"
                                % (what, found, expected))
        for what, doctor, status, said in STEP_CASES:
            image = pefile.PE(path)
            if doctor(image) is False:
                image.close()
                continue
            image.write(filename=copy)
            image.close()
            with open(copy, "rb") as file:
                before = file.read()
            checked += 1
            result, output = run_step(copy)
            with open(copy, "rb") as file:
                after = file.read()
            left = delay_load_problems(load(copy)) if result == 0 else []
            if (result != status or (said and said not in output) or left
                    or (status != 0 and after != before)):
                problems.append("the delay-import step on a copy with %s: status %d, %r%s%s, "
                                "expected status %d%s" % (
                                    what, result, output.strip(),
                                    ", leaving %s" % left if left else "",
                                    ", the file changed" if status and after != before
                                    else "", status, ", saying %r" % said if said else ""))
    return problems, checked


def image_path(folders, relative):
    """The image in the first folder that holds it, by its build path or its name alone."""
    for folder in folders:
        for path in (os.path.join(folder, relative),
                     os.path.join(folder, os.path.basename(relative))):
            if os.path.exists(path):
                return path
    raise SystemExit("%s is in none of %s" % (os.path.basename(relative), ", ".join(folders)))


def import_problems(imports, allowed):
    problems = []
    for dll in sorted(set(imports) - allowed):
        problems.append("imports %s at load time%s" % (
            dll, ", which is no KnownDLL: a copy beside it would be loaded"
            if dll in NEVER_IMPORTED else ""))
    for dll in sorted(allowed - set(imports)):
        problems.append("does not import %s" % dll)
    return problems


# Copies of an image whose C runtime import names another DLL, of the same length or
# shorter: (that DLL, the images that may import it). msi.dll is the custom action's alone.
DOCTORED_IMPORTS = [("user32.dll", set()), ("msi.dll", {"pelk_path_entry.dll"})]


def check_doctored_imports(path, allowed):
    """Each DOCTORED_IMPORTS copy fails for importing that DLL, unless the image is one that
    may import it. Returns (problems, copies checked)."""
    problems = []
    with open(path, "rb") as file:
        data = file.read()
    at = data.lower().find(b"msvcrt.dll\0")
    if at < 0:
        return ["names no msvcrt.dll to put another DLL in place of"], 0
    with tempfile.TemporaryDirectory() as scratch:
        for dll, images in DOCTORED_IMPORTS:
            copy = os.path.join(scratch, os.path.basename(path))
            named = dll.encode().ljust(len("msvcrt.dll"), b"\0")
            with open(copy, "wb") as file:
                file.write(data[:at] + named + data[at + len(named):])
            image = load(copy)
            refused = "imports %s at load time" % dll in import_problems(imports_of(image),
                                                                        allowed)
            image.close()
            if refused != (os.path.basename(path) not in images):
                problems.append("a copy that imports %s instead of msvcrt.dll is %s" % (
                    dll, "refused" if refused else "taken"))
    return problems, len(DOCTORED_IMPORTS)


def check_tool(path, allowed, delayed):
    image = load(path)
    imports = imports_of(image)
    problems = import_problems(imports, allowed)
    found = delay_imports(image)
    if found != delayed:
        problems.append("delay-imports %s, expected %s" % (
            {dll: sorted(names) for dll, names in found.items()},
            {dll: sorted(names) for dll, names in delayed.items()}))
    problems += image_problems(image)
    doctored_problems, doctored = check_doctored(path)
    import_doctored_problems, import_doctored = check_doctored_imports(path, allowed)
    problems += doctored_problems + import_doctored_problems
    doctored += import_doctored
    sections = delay_address_sections(image)
    print("%s: %s%s, %d bytes; %d doctored copies checked" % (
        os.path.basename(path), ", ".join(sorted(imports)),
        "".join("; delay-loads %s (its addresses in %s)" % (
            dll, section_name(sections[dll]) if sections.get(dll) else "no one section")
            for dll in sorted(found)), os.path.getsize(path), doctored))
    return problems


def main():
    folders = sys.argv[1:] or ["build/windows"]
    failed = 0
    for relative, expected in IMAGES.items():
        path = image_path(folders, relative)
        problems = check_tool(path, expected["imports"], expected["delayed"])
        for problem in problems:
            print("FAIL %s %s" % (os.path.basename(path), problem))
        failed += bool(problems)
    print("images: %d passed, %d failed" % (len(IMAGES) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
