#!/usr/bin/python3
"""Makes the section that holds an executable's delay-import addresses writable, after the
link. The delay-load helper writes each function's address there at the function's first
call. binutils 2.44 (Debian 13's mingw-w64) marks .idata, where dlltool's delay-import
library puts those addresses, read-only, as neither the binutils before it nor the fixed
ones after it do; the first call into kiv.dll then faults, on Windows as under Wine. The
image check (release/checks/check_imports.py) fails an image where that section can't be
written. Usage: writable_delay_imports.py EXE (Debian's python3, which has python3-pefile)."""

import os
import sys

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
# pylint: disable=wrong-import-position
from release.checks.check_imports import SECTION_FLAGS, delay_address_sections, section_name


def main():
    path = sys.argv[1]
    image = pefile.PE(path)
    writable = SECTION_FLAGS["IMAGE_SCN_MEM_WRITE"]
    changed = []
    for dll, section in sorted(delay_address_sections(image).items()):
        if section is None:
            raise SystemExit("%s: the delay-import addresses of %s lie in no one section"
                             % (path, dll))
        if not section.Characteristics & writable:
            section.Characteristics |= writable
            changed.append(section_name(section))
    if changed:
        patched = pefile.PE(data=image.write())
        image.close()
        patched.OPTIONAL_HEADER.CheckSum = patched.generate_checksum()
        data = patched.write()
        with open(path, "wb") as file:
            file.write(data)
        print("%s: the delay-import addresses' section %s made writable"
              % (os.path.basename(path), ", ".join(changed)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
