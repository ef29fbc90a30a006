#!/usr/bin/python3
"""Mutation testing of kiv_reset's loader, reset/kiv_loader.cpp, and of kiv_reset -v's reading of
kiv.dll, reset/kiv_version.cpp, and of every other source of the CMake libraries that LIBRARIES
names (reset/CMakeLists.txt lists their sources: a file added there is mutated too): makes one
small fault at a time (a relational or logical operator turned, a constant or flag changed, a
statement deleted), rebuilds only the native tables that TABLES names (the loader table,
kiv_loader_tests, holds both files), and runs them. A mutant that no table fails survives. The survivors that the comment at the top of tests/kiv_loader_test.cpp
lists as equivalent, with the reason, are expected; any other fails the run. Then a few
survivors are built for Windows and run against the Windows suite's DLL-search rows under
Wine.

All of it happens in a copy of the tree, build/mutation/, with its own native, sanitize and
Windows builds: the checkout and its builds are never written, so a run that is killed or
crashes leaves nothing behind there. The copy is brought up to date with the checkout at the
start of each run and kept between runs, so that only the first builds everything. Not run
in CI: it takes several minutes.

  scripts/mutate_loader.py [--wine N] [--only ID...]"""

import argparse
import filecmp
import hashlib
import os
import re
import shutil
import subprocess
import sys

ROOT = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
COPY = os.path.join(ROOT, "build", "mutation")
# The libraries of reset/CMakeLists.txt whose sources are mutated, and the native test
# executables that judge each mutant. A new source of the loader's joins by being added to one
# of these libraries (or its library's name added here); a table of its own, by its target.
LIBRARIES = ["kiv_loader"]
TABLES = ["kiv_loader_tests"]
# The equivalents' list lives in the loader table's opening comment, for every table.
TABLE = os.path.join("tests", "kiv_loader_test.cpp")
NATIVE = os.path.join(COPY, "build", "native")
SANITIZE = os.path.join(COPY, "build", "sanitize")
WINDOWS = os.path.join(COPY, "build", "windows")
# Never copied: builds (the copy's own among them), and what git and Python keep.
SKIPPED = {"build", "out", ".git", "__pycache__"}

RELATIONAL = [(" == ", " != "), (" != ", " == "), (" < ", " <= "), (" <= ", " < "),
              (" > ", " >= "), (" >= ", " > "), (" && ", " || "), (" || ", " && ")]
# Each enumerator is turned into each other one of its group.
ENUMERATORS = [["lookup::absent", "lookup::found", "lookup::stopped"],
               ["place::local_folder", "place::no_drive", "place::network", "place::elsewhere"]]
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
        for group in ENUMERATORS:
            for name, other in ((name, other) for name in group for other in group):
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


def mutated_sources(root):
    """The sources of LIBRARIES, as reset/CMakeLists.txt lists them, from the top folder."""
    with open(os.path.join(root, "reset", "CMakeLists.txt")) as cmake:
        text = cmake.read()
    sources = []
    for library in LIBRARIES:
        match = re.search(r"add_library\(\s*%s\s+OBJECT\s+([^)]*)\)" % re.escape(library), text)
        if not match:
            raise SystemExit("reset/CMakeLists.txt has no OBJECT library %s" % library)
        sources += [os.path.join("reset", name) for name in match.group(1).split()
                    if name.endswith(".cpp")]
    return sources


def mutant_ids(source, lines, found):
    """An ID for each mutant of found: the same text mutated the same way in the same function
    of the same file, and which of the function's occurrences of that text it is, counted from
    the function's start. So an ID survives lines moving, and two occurrences of the same
    statement in one function (twins) never share one."""
    ids, seen = [], {}
    for first, last, replacement, _what in found:
        text = os.path.basename(source) + "\0" + enclosing_function(lines, first) + "\0" + \
            "\n".join(line.strip() for line in lines[first:last + 1]) + "\0" + \
            "\n".join(line.strip() for line in replacement)
        occurrence = seen.get(text, 0)
        seen[text] = occurrence + 1
        ids.append("m" + hashlib.sha1(("%s\0%d" % (text, occurrence)).encode()).hexdigest()[:8])
    return ids


def listed_equivalents():
    """IDs that the comment at the top of the loader table gives as equivalent."""
    with open(os.path.join(COPY, TABLE)) as table:
        text = table.read()
    block = text[text.index("EQUIVALENT-MUTANTS-BEGIN"):text.index("EQUIVALENT-MUTANTS-END")]
    return set(re.findall(r"^// (m[0-9a-f]{8}) ", block, re.M))


def sync_copy():
    """Brings build/mutation/ up to date with the checkout: changed files copied over (their
    times kept, so that make rebuilds what changed), files gone from the checkout removed."""
    wanted = set()
    for folder, folders, files in os.walk(ROOT):
        relative = os.path.relpath(folder, ROOT)
        folders[:] = [name for name in folders if name not in SKIPPED]
        for name in files:
            if name in SKIPPED:
                continue
            path = os.path.normpath(os.path.join(relative, name))
            wanted.add(path)
            source, target = os.path.join(ROOT, path), os.path.join(COPY, path)
            if not os.path.exists(target) or not filecmp.cmp(source, target, shallow=False):
                os.makedirs(os.path.dirname(target), exist_ok=True)
                shutil.copy2(source, target)
    for folder, folders, files in os.walk(COPY):
        relative = os.path.relpath(folder, COPY)
        folders[:] = [name for name in folders if name not in SKIPPED]
        for name in files:
            if os.path.normpath(os.path.join(relative, name)) not in wanted:
                os.remove(os.path.join(folder, name))


def configure(preset, build_dir):
    if os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        return True
    return subprocess.run(["cmake", "--preset", preset], cwd=COPY, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


def write(source, lines):
    with open(os.path.join(COPY, source), "w") as file:
        file.write("\n".join(lines) + "\n")


def build(build_dir, target):
    return subprocess.run(["cmake", "--build", build_dir, "--target", target, "-j2"],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def build_tables(build_dir):
    return subprocess.run(["cmake", "--build", build_dir, "-j2", "--target"] + TABLES,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def tables_pass(build_dir=NATIVE):
    for table in TABLES:
        try:
            run = subprocess.run([os.path.join(build_dir, "tests", table)],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        except subprocess.TimeoutExpired:
            return False
        if run.returncode != 0:
            return False
    return True


def wine_rows_pass():
    run = subprocess.run(["/usr/bin/python3", "-m", "tests.windows.run_windows_suite",
                          "--build-dir", WINDOWS, "--only-dll-search"], cwd=COPY,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    summary = [line for line in run.stdout.splitlines() if line.startswith("windows: ")]
    return run.returncode == 0, summary[-1] if summary else "no summary"


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--wine", type=int, default=3, help="survivors to run under Wine")
    parser.add_argument("--only", nargs="*", help="only these mutant IDs")
    options = parser.parse_args()

    sync_copy()
    for preset, build_dir in (("native", NATIVE), ("sanitize", SANITIZE)) + (
            (("windows", WINDOWS),) if options.wine else ()):
        if not configure(preset, build_dir):
            print("the %s build of build/mutation/ could not be configured" % preset)
            return 2
    # The Windows suite needs the stand-ins too: the whole Windows build, once.
    if options.wine and subprocess.run(["cmake", "--build", WINDOWS, "-j2"],
                                       stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL).returncode != 0:
        print("the Windows build of build/mutation/ fails: nothing to mutate")
        return 2
    if not build_tables(NATIVE) or not tables_pass() or \
            not build_tables(SANITIZE) or not tables_pass(SANITIZE):
        print("the tables fail on the original files: nothing to mutate")
        return 2
    equivalents = listed_equivalents()
    sources = mutated_sources(COPY)
    originals = {}
    all_mutants = []
    for source in sources:
        with open(os.path.join(COPY, source)) as file:
            originals[source] = file.read().splitlines()
        found = mutants(originals[source])
        all_mutants += [(ident, source) + mutant
                        for ident, mutant in zip(mutant_ids(source, originals[source], found), found)]
    counts = {"stillborn": 0, "killed": 0, "sanitized": 0, "equivalent": 0, "killable": 0}
    survivors = []
    wine_results = []
    mutated = None  # the source that holds the last mutant written
    try:
        for ident, source, first, last, replacement, what in all_mutants:
            original = originals[source]
            if options.only and ident not in options.only:
                continue
            if mutated not in (None, source):
                write(mutated, originals[mutated])
            mutated = source
            write(source, original[:first] + replacement + original[last + 1:])
            if not build_tables(NATIVE):
                counts["stillborn"] += 1
                continue
            if not tables_pass():
                counts["killed"] += 1
                continue
            # A read or write past a buffer may change nothing that a row sees: the same
            # table under AddressSanitizer and UndefinedBehaviorSanitizer finds it.
            if build_tables(SANITIZE) and not tables_pass(SANITIZE):
                counts["sanitized"] += 1
                continue
            kind = "equivalent" if ident in equivalents else "killable"
            counts[kind] += 1
            survivors.append((ident, source, first, last, replacement, kind))
            before = "\n  - ".join(line.strip() for line in original[first:last + 1])
            after = "\n  + ".join(line.strip() for line in replacement) or "(deleted)"
            print("%s survivor %s (%s line %d, %s)\n  - %s\n  + %s" % (
                kind, ident, source, first + 1, what, before, after), flush=True)

        for source in sources:
            write(source, originals[source])
        for ident, source, first, last, replacement, kind in survivors[:options.wine]:
            original = originals[source]
            write(source, original[:first] + replacement + original[last + 1:])
            if not build(WINDOWS, "kiv_reset"):
                wine_results.append((ident, False, "did not build for Windows"))
            else:
                passed, summary = wine_rows_pass()
                wine_results.append((ident, passed, summary))
            write(source, original)
    finally:
        # Only the copy was changed; the next run brings it up to date in any case.
        for source in sources:
            write(source, originals[source])

    print("\nmutants of %s: %d" % (", ".join(sources), sum(counts.values())))
    print("  did not compile: %d" % counts["stillborn"])
    print("  killed by the native tables (%s): %d" % (", ".join(TABLES), counts["killed"]))
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
