#!/usr/bin/python3
"""Mutation testing of kiv_reset's loader, reset/kiv_loader.cpp: makes one small fault at a time
(a relational or logical operator turned, a constant or flag changed, a statement deleted),
rebuilds only the native loader table (kiv_loader_tests) and runs it. A mutant that the table
does not fail survives. The survivors that the comment at the top of tests/kiv_loader_test.cpp
lists as equivalent, with the reason, are expected; any other fails the run. Then a few
survivors are built for Windows and run against the Windows suite's DLL-search rows under
Wine. The original file is put back, and both builds rebuilt from it, however the run ends.

Needs the native, sanitize and Windows builds configured (scripts/test.sh makes them). Not
run in CI: it takes a few minutes.

  scripts/mutate_loader.py [--wine N] [--only ID...]"""

import argparse
import hashlib
import os
import re
import signal
import subprocess
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
SOURCE = os.path.join(ROOT, "reset", "kiv_loader.cpp")
TABLE = os.path.join(ROOT, "tests", "kiv_loader_test.cpp")
NATIVE = os.path.join(ROOT, "build", "native")
SANITIZE = os.path.join(ROOT, "build", "sanitize")
WINDOWS = os.path.join(ROOT, "build", "windows")

RELATIONAL = [(" == ", " != "), (" != ", " == "), (" < ", " <= "), (" <= ", " < "),
              (" > ", " >= "), (" >= ", " > "), (" && ", " || "), (" || ", " && ")]
ENUMERATORS = ["lookup::absent", "lookup::found", "lookup::cannot_tell"]
SWAPS = [("true", "false"), ("false", "true"), ("nullptr", "library_path")]


def masked(line):
    """The line with the insides of string and character literals and any // comment blanked,
    so that operators are found in code only; same length as the line."""
    out, quote, at = [], None, 0
    while at < len(line):
        char = line[at]
        if quote:
            if char == "\\":
                out.append("__")
                at += 2
                continue
            out.append(char if char == quote else "_")
            quote = None if char == quote else quote
        elif char in "\"'":
            quote = char
            out.append(char)
        elif line.startswith("//", at):
            out.append(" " * (len(line) - at))
            break
        else:
            out.append(char)
        at += 1
    return "".join(out)[:len(line)]


def code_lines(lines):
    """Indexes of the lines of code after the includes, outside comments and directives."""
    first = max(i for i, line in enumerate(lines) if line.startswith("#include")) + 1
    return [i for i in range(first, len(lines))
            if lines[i].strip() and not lines[i].lstrip().startswith(("//", "#"))]


def mutants(lines):
    """(line index, first line, last line, replacement lines, description) of every mutant."""
    found = []

    def at_each(i, pattern, replacement, what):
        code = masked(lines[i])
        for match in re.finditer(pattern, code):
            text = lines[i][:match.start()] + replacement(match) + lines[i][match.end():]
            found.append((i, i, [text], what))

    for i in code_lines(lines):
        for old, new in RELATIONAL:
            at_each(i, re.escape(old), lambda _m, new=new: new,
                    "%s to %s" % (old.strip(), new.strip()))
        at_each(i, r"!(?!=)", lambda _m: "", "! dropped")
        for old, new in SWAPS:
            at_each(i, r"\b%s\b" % old, lambda _m, new=new: new, "%s to %s" % (old, new))
        for name in ENUMERATORS:
            for other in ENUMERATORS:
                if other != name:
                    at_each(i, re.escape(name) + r"\b", lambda _m, other=other: other,
                            "%s to %s" % (name, other))
        at_each(i, r"\bLOAD_LIBRARY_SEARCH_\w+", lambda _m: "0", "flag dropped")
        for delta in (1, -1):
            at_each(i, r"(?<![\w.])\d+\b(?!\.)",
                    lambda m, delta=delta: str(max(0, int(m.group()) + delta)),
                    "constant %+d" % delta)
    # Deleted statements, whole even when they span lines, and deleted case labels.
    start = None
    for i in code_lines(lines):
        code = masked(lines[i]).rstrip()
        if not lines[i].startswith("    "):
            start = None
            continue
        stripped = code.strip()
        if stripped.startswith("case ") or stripped == "default:":
            found.append((i, i, [], "case label deleted"))
            start = None
            continue
        if start is None and not stripped.endswith(("{", "}")) and not stripped.startswith("}"):
            start = i
        if stripped.endswith(("{", "}")):
            start = None
        elif stripped.endswith(";") and start is not None:
            found.append((start, i, [], "statement deleted"))
            start = None
    # The same text made twice (a constant that can't go below 0) counts once.
    unique, seen = [], set()
    for first, last, replacement, what in found:
        key = (first, tuple(replacement))
        if replacement != lines[first:last + 1] and key not in seen:
            seen.add(key)
            unique.append((first, last, replacement, what))
    return unique


def enclosing_function(lines, index):
    """The name of the function that holds the line, so that the same text in two functions
    makes two mutants; empty outside functions."""
    for line in reversed(lines[:index + 1]):
        match = re.match(r"[A-Za-z][\w:<>*& ]* \**(\w+)\(", line)
        if match and not line.startswith(("//", "#")):
            return match.group(1)
        if line.startswith("}") or line.startswith("namespace"):
            return ""
    return ""


def mutant_id(lines, first, last, replacement):
    text = enclosing_function(lines, first) + "\0" + "\n".join(
        line.strip() for line in lines[first:last + 1]) + "\0" + "\n".join(
        line.strip() for line in replacement)
    return "m" + hashlib.sha1(text.encode()).hexdigest()[:8]


def listed_equivalents():
    """IDs that the comment at the top of the loader table gives as equivalent."""
    with open(TABLE) as table:
        text = table.read()
    block = text[text.index("EQUIVALENT-MUTANTS-BEGIN"):text.index("EQUIVALENT-MUTANTS-END")]
    return set(re.findall(r"^// (m[0-9a-f]{8}) ", block, re.M))


def write(lines):
    with open(SOURCE, "w") as source:
        source.write("\n".join(lines) + "\n")


def build(build_dir, target):
    return subprocess.run(["cmake", "--build", build_dir, "--target", target, "-j2"],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def table_passes(build_dir=NATIVE):
    try:
        run = subprocess.run([os.path.join(build_dir, "tests", "kiv_loader_tests")],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
    except subprocess.TimeoutExpired:
        return False
    return run.returncode == 0


def wine_rows_pass():
    run = subprocess.run(["/usr/bin/python3", "-m", "tests.windows.run_windows_suite",
                          "--build-dir", WINDOWS, "--only-dll-search"], cwd=ROOT,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    summary = [line for line in run.stdout.splitlines() if line.startswith("windows: ")]
    return run.returncode == 0, summary[-1] if summary else "no summary"


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--wine", type=int, default=3, help="survivors to run under Wine")
    parser.add_argument("--only", nargs="*", help="only these mutant IDs")
    options = parser.parse_args()

    with open(SOURCE) as source:
        original = source.read().splitlines()
    equivalents = listed_equivalents()
    # SIGTERM and SIGINT end the run through the finally below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))

    if not build(NATIVE, "kiv_loader_tests") or not table_passes():
        print("the loader table fails on the original file: nothing to mutate")
        return 2
    all_mutants = mutants(original)
    counts = {"stillborn": 0, "killed": 0, "sanitized": 0, "equivalent": 0, "killable": 0}
    survivors = []
    try:
        for number, (first, last, replacement, what) in enumerate(all_mutants, 1):
            ident = mutant_id(original, first, last, replacement)
            if options.only and ident not in options.only:
                continue
            write(original[:first] + replacement + original[last + 1:])
            if not build(NATIVE, "kiv_loader_tests"):
                counts["stillborn"] += 1
                continue
            if not table_passes():
                counts["killed"] += 1
                continue
            # A read or write past a buffer may change nothing that a row sees: the same
            # table under AddressSanitizer and UndefinedBehaviorSanitizer finds it.
            if build(SANITIZE, "kiv_loader_tests") and not table_passes(SANITIZE):
                counts["sanitized"] += 1
                continue
            kind = "equivalent" if ident in equivalents else "killable"
            counts[kind] += 1
            survivors.append((ident, first, last, replacement, what, kind))
            before = "\n  - ".join(line.strip() for line in original[first:last + 1])
            after = "\n  + ".join(line.strip() for line in replacement) or "(deleted)"
            print("%s survivor %s (line %d, %s)\n  - %s\n  + %s" % (
                kind, ident, first + 1, what, before, after), flush=True)

        wine_results = []
        for ident, first, last, replacement, what, kind in survivors[:options.wine]:
            write(original[:first] + replacement + original[last + 1:])
            if not build(WINDOWS, "kiv_reset"):
                wine_results.append((ident, False, "did not build for Windows"))
                continue
            passed, summary = wine_rows_pass()
            wine_results.append((ident, passed, summary))
    finally:
        write(original)
        build(NATIVE, "kiv_loader_tests")
        build(SANITIZE, "kiv_loader_tests")
        if options.wine and survivors:
            build(WINDOWS, "kiv_reset")

    print("\nmutants of reset/kiv_loader.cpp: %d" % sum(counts.values()))
    print("  did not compile: %d" % counts["stillborn"])
    print("  killed by the native loader table: %d" % counts["killed"])
    print("  killed by the same table under the sanitizers: %d" % counts["sanitized"])
    print("  survived, listed as equivalent: %d" % counts["equivalent"])
    print("  survived, killable (not listed): %d" % counts["killable"])
    for ident, passed, summary in wine_results:
        print("  under Wine, survivor %s: DLL-search rows %s (%s)" % (
            ident, "pass" if passed else "FAIL", summary))
    stale = equivalents - {s[0] for s in survivors}
    if stale and not options.only:
        print("  listed as equivalent but no longer surviving: %s" % " ".join(sorted(stale)))
    return 1 if counts["killable"] else 0


if __name__ == "__main__":
    sys.exit(main())
