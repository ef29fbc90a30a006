"""What every suite of the Windows run shares: the case tables' folder, the demo card, the
build's version, and how an expected text is made and compared.

Windows writes CRLF line ends in text mode and the shell sees -1 as 255: both are allowed
for; every other byte must match."""

import os


CASES_DIR = os.path.join(os.path.dirname(__file__), "..", "cases")
DEMO_CARD = [0x18, 0x20]
TOOL_VERSION = None  # the build's, set by the runner


def grid_showing(shown):
    rows = ["      0   1   2   3   4   5   6   7   8   9   a   b   c   d   e   f  "]
    rows += ["%2x   " % base + "--  " * 16 for base in range(0, 128, 16)]
    for address in shown:
        row = rows[1 + address // 16]
        at = 5 + 4 * (address % 16)
        rows[1 + address // 16] = row[:at] + "%2x" % address + row[at + 2:]
    return "".join(row + "\n" for row in rows)


def expected_text(entry, key, usage, program, grid=""):
    text = ""
    for line in entry.get(key, []):
        if line == "@grid":
            text += grid
        elif line == "@usage":
            text += "".join(u.replace("{program}", program) + "\n" for u in usage)
        else:
            text += line.replace("{version}", TOOL_VERSION) + "\n"
    return text


def typed_environment(entry):
    """A row typed with characters beyond ASCII runs in the C.UTF-8 locale, in which Wine
    hands the program the characters themselves."""
    typed = "".join(entry["args"]) + entry.get("program", "")
    return {"LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"} if not typed.isascii() else {}


def from_windows(data):
    return data.decode("latin-1").replace("\r\n", "\n")


def compare(failures, label, what, actual, expected):
    if actual != expected:
        failures.append("%s: %s\n  expected %r\n  actual   %r" % (label, what, expected, actual))


def console_text(text):
    """text as a tool prints it in the console's code page, read back as from_windows reads
    it. Wine starts the tools here without a console: GetConsoleOutputCP gives 0, the ANSI
    code page, 1252 in the C.UTF-8 locale."""
    return text.encode("cp1252").decode("latin-1")
