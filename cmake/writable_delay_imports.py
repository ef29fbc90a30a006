"""Makes the sections that the delay-load helper writes into writable, after kiv_reset.exe's
link: its function addresses, each at the function's first call, and kiv.dll's module
handle, at the first call of all. binutils 2.44 (Debian 13's mingw-w64) marks .idata, where
dlltool's delay-import library puts the addresses, read-only, as neither the binutils before
it nor the fixed ones after it do; the first call into kiv.dll then faults, on Windows as
under Wine. The image check (release/checks/check_imports.py) fails an image where either
can't be written.

It stops with status 1, and changes nothing, where the image has no delay-import descriptor
(kiv_reset.exe must delay-load kiv.dll, so its link went wrong), where what the helper
writes lies in no one section, or where it lies in an executable section, which made
writable would be both writable and executable.

Usage, from the top folder: python3 -m cmake.writable_delay_imports EXE (Debian's
python3, which has python3-pefile)."""

import os
import sys

import pefile

from release.checks.check_imports import SECTION_FLAGS, delay_written_sections, section_name

WRITABLE = SECTION_FLAGS["IMAGE_SCN_MEM_WRITE"]
EXECUTABLE = SECTION_FLAGS["IMAGE_SCN_MEM_EXECUTE"]


def sections_to_make_writable(path, image):
    """The read-only sections that hold what the delay-load helper writes; stops where
    there is none to write, or where one can't be made writable."""
    written = delay_written_sections(image)
    if not written:
        raise SystemExit("%s: no delay-import descriptor found, so kiv.dll would be loaded "
                         "by no one: the link did not use the delay-import library" % path)
    changed = {}
    for dll, what, section in written:
        if section is None:
            raise SystemExit("%s: the delay-import %s of %s lie in no one section"
                             % (path, what, dll))
        if section.Characteristics & WRITABLE:
            continue
        if section.Characteristics & EXECUTABLE:
            raise SystemExit("%s: the delay-import %s of %s lie in the executable section "
                             "%s: made writable, it would be both writable and executable, "
                             "so it is left as it is; the link must put them in a data "
                             "section" % (path, what, dll, section_name(section)))
        changed[section_name(section)] = section
    return changed


def main():
    path = sys.argv[1]
    image = pefile.PE(path)
    changed = sections_to_make_writable(path, image)
    if changed:
        for section in changed.values():
            section.Characteristics |= WRITABLE
        patched = pefile.PE(data=image.write())
        image.close()
        patched.OPTIONAL_HEADER.CheckSum = patched.generate_checksum()
        data = patched.write()
        with open(path, "wb") as file:
            file.write(data)
        print("%s: section %s, which the delay-load helper writes, made writable"
              % (os.path.basename(path), ", ".join(sorted(changed))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
