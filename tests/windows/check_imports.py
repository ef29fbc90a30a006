#!/usr/bin/env python3
"""Checks that each Windows executable starts on a bare Windows x64: it imports only
KERNEL32.dll and the C runtime (and kiv.dll for kiv_reset.exe, by the functions' plain
names), and carries no DLL of the compiler's own."""

import os
import re
import subprocess
import sys

OBJDUMP = "x86_64-w64-mingw32-objdump"
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll"}
KIV_FUNCTIONS = {"pelk_kiv_init", "pelk_set_device", "pelk_reset", "pelk_reset_all",
                 "pelk_discard", "pelk_get_error_string"}
EXPECTED = {
    "scanner/smbus_scan.exe": {},
    "reset/kiv_reset.exe": {"kiv.dll": KIV_FUNCTIONS},
}


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


def main():
    build_dir = sys.argv[1] if len(sys.argv) > 1 else "build/windows"
    problems = []
    checked = 0
    for relative, extra in EXPECTED.items():
        path = os.path.join(build_dir, relative)
        imports = imports_of(path)
        allowed = SYSTEM_DLLS | set(extra)
        for dll in sorted(set(imports) - allowed):
            problems.append("%s imports %s" % (relative, dll))
        for dll, functions in extra.items():
            if set(imports.get(dll, [])) != functions:
                problems.append("%s imports %s from %s, expected %s" % (
                    relative, sorted(imports.get(dll, [])), dll, sorted(functions)))
        for dll in SYSTEM_DLLS:
            if dll not in imports:
                problems.append("%s does not import %s" % (relative, dll))
        checked += 1
        print("%s: %s, %d bytes" % (relative, ", ".join(sorted(imports)), os.path.getsize(path)))
    for problem in problems:
        print("FAIL " + problem)
    print("imports: %d passed, %d failed" % (checked - len({p.split()[0] for p in problems}),
                                             len({p.split()[0] for p in problems})))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
