#!/usr/bin/env python3
"""Checks that each Windows executable starts on a bare Windows x64 and keeps its
protections: it imports only KERNEL32.dll and the C runtime and carries no DLL of the
compiler's own; kiv_reset.exe names kiv.dll and the functions of reset/kiv.def only in its
delay imports, so that kiv.dll is loaded by the tool itself and never by the loader; and both
are built for ASLR (a relocatable, high-entropy image), with NX and no section that is
both writable and executable.

Usage: check_imports.py DIR, where DIR is a build folder (scanner/smbus_scan.exe,
reset/kiv_reset.exe) or a folder holding the two executables."""

import os
import re
import struct
import subprocess
import sys

OBJDUMP = "x86_64-w64-mingw32-objdump"
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll"}
KIV_DEF = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "reset", "kiv.def")


def kiv_functions():
    """The board control library's functions, in kiv.def's order: the one list of them."""
    functions, in_exports = [], False
    with open(KIV_DEF) as definition:
        for line in definition:
            words = line.split(";", 1)[0].split()
            if words == ["EXPORTS"]:
                in_exports = True
            elif in_exports and words:
                functions.append(words[0])
    if not functions:
        raise SystemExit("%s lists no exports" % KIV_DEF)
    return functions


TOOLS = {
    "scanner/smbus_scan.exe": {},
    "reset/kiv_reset.exe": {"kiv.dll": set(kiv_functions())},
}

FILE_RELOCS_STRIPPED = 0x0001
HIGH_ENTROPY_VA = 0x0020
DYNAMIC_BASE = 0x0040
NX_COMPAT = 0x0100
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
BASE_RELOCATION_DIRECTORY = 5


def imports_of(path):
    """{dll name, lower case: [imported names]} from the PE import table."""
    dump = subprocess.run([OBJDUMP, "-p", path], capture_output=True, text=True, check=True)
    if "file format pei-x86-64" not in dump.stdout:
        raise SystemExit("%s is not a 64-bit Windows executable" % path)
    imports = {}
    current = None
    for line in dump.stdout.splitlines():
        match = re.match(r"\s*DLL Name: (\S+)", line)
        if match:
            current = imports.setdefault(match.group(1).lower(), [])
            continue
        if not line.strip():
            current = None
        elif current is not None:
            entry = re.match(r"\s*[0-9a-f]+\s+\d+\s+(\S+)$", line)
            if entry:
                current.append(entry.group(1))
    return imports


class Image:
    """The headers and sections of a PE32+ file."""

    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        (self.section_count, optional_size,
         self.characteristics) = struct.unpack_from("<H12xHH", data, pe + 6)
        optional = pe + 24
        self.dll_characteristics = struct.unpack_from("<H", data, optional + 70)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i)
                            for i in range(16)]
        self.sections = []
        for i in range(self.section_count):
            at = optional + optional_size + 40 * i
            name = data[at:at + 8].rstrip(b"\0").decode("latin-1")
            virtual_size, address, raw_size, raw_at = struct.unpack_from("<IIII", data, at + 8)
            flags = struct.unpack_from("<I", data, at + 36)[0]
            self.sections.append((name, address, max(virtual_size, raw_size), raw_at, flags))

    def offset(self, rva):
        for _, address, size, raw_at, _ in self.sections:
            if address <= rva < address + size:
                return raw_at + rva - address
        return None

    def string(self, rva):
        at = self.offset(rva)
        if at is None or at >= len(self.data):
            return None
        end = self.data.find(b"\0", at)
        return self.data[at:end].decode("latin-1") if end >= 0 else None


def delay_imports(image):
    """{dll name, lower case: {names}}, read from the delay-import descriptors. mingw-w64's
    linker leaves the image's delay-import directory empty, so the descriptors are found
    by their shape: attributes 1 (RVAs), a DLL name, and a name table of hint/name RVAs."""
    found = {}
    data = image.data
    for at in range(0, len(data) - 32, 4):
        attributes, name_rva, handle_rva, iat_rva, int_rva = struct.unpack_from("<5I", data, at)
        if attributes != 1 or 0 in (name_rva, handle_rva, iat_rva, int_rva):
            continue
        dll = image.string(name_rva)
        table = image.offset(int_rva)
        if not dll or not dll.lower().endswith(".dll") or table is None:
            continue
        names = set()
        while table + 8 <= len(data):
            entry = struct.unpack_from("<Q", data, table)[0]
            if entry == 0 or entry >> 63:
                break
            name = image.string(entry + 2)
            if not name:
                break
            names.add(name)
            table += 8
        if names:
            found.setdefault(dll.lower(), set()).update(names)
    return found


def protections(image):
    problems = []
    wanted = {DYNAMIC_BASE: "DYNAMIC_BASE", HIGH_ENTROPY_VA: "HIGH_ENTROPY_VA",
              NX_COMPAT: "NX_COMPAT"}
    for flag, name in wanted.items():
        if not image.dll_characteristics & flag:
            problems.append("is not marked %s" % name)
    relocations = image.directories[BASE_RELOCATION_DIRECTORY][1]
    if (image.characteristics & FILE_RELOCS_STRIPPED or not relocations
            or ".reloc" not in [section[0] for section in image.sections]):
        problems.append("has no relocations (.reloc), so ASLR cannot move it")
    for name, _, _, _, flags in image.sections:
        if flags & SCN_MEM_EXECUTE and flags & SCN_MEM_WRITE:
            problems.append("has section %s both writable and executable" % name)
    return problems


def tool_path(folder, relative):
    path = os.path.join(folder, relative)
    return path if os.path.exists(path) else os.path.join(folder, os.path.basename(relative))


def check_tool(path, delayed):
    problems = []
    imports = imports_of(path)
    for dll in sorted(set(imports) - SYSTEM_DLLS):
        problems.append("imports %s at load time" % dll)
    for dll in sorted(SYSTEM_DLLS - set(imports)):
        problems.append("does not import %s" % dll)
    with open(path, "rb") as file:
        image = Image(file.read())
    found = delay_imports(image)
    if found != delayed:
        problems.append("delay-imports %s, expected %s" % (
            {dll: sorted(names) for dll, names in found.items()},
            {dll: sorted(names) for dll, names in delayed.items()}))
    problems += protections(image)
    print("%s: %s%s, %d bytes" % (os.path.basename(path), ", ".join(sorted(imports)),
                                  "".join("; delay-loads %s" % dll for dll in sorted(found)),
                                  os.path.getsize(path)))
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
