#!/usr/bin/python3
"""Runs the command-line case tables against the real Windows executables under Wine: the
scanner against the stand-in SMBus driver, the reset tool beside the stand-in kiv.dll; then
where kiv_reset.exe finds kiv.dll (never in the current folder); and, given a release, runs
all of that on its signed executables and installs, upgrades and removes its MSI.

Windows writes CRLF line ends in text mode and the shell sees -1 as 255: both are allowed
for; every other byte must match."""

import argparse
import contextlib
import glob
import io
import json
import os
import shutil
import subprocess
import sys

from release.package_release import SHIPPED, tool_version
from standins import wine_card
from reset.kiv_interface.kiv_exports import kiv_functions
from tests.windows import guide_examples

CASES_DIR = os.path.join(os.path.dirname(__file__), "..", "cases")
DEMO_CARD = [0x18, 0x20]
TOOL_VERSION = None  # the build's, set by main


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


def run_scanner_cases(card, table, failures):
    passed = 0
    # The cases without a driver come last, so that it is stopped only once. Wine can't make
    # the open fail otherwise (it gives CreateFileW a handle even when a driver fails the
    # open): those cases are the native suite's.
    cases = [entry for entry in table["cases"] if not entry.get("native_only")]
    ordered = sorted(cases, key=lambda entry: "open_error" in entry)
    for entry in ordered:
        label = "smbus_scan %s" % json.dumps(entry["args"])
        before = len(failures)
        present = [int(a, 16) for a in entry.get("present", ["0x18", "0x20"])]
        fail_address = fail = None
        if "fail" in entry:
            fail_address = int(entry["fail"]["address"], 16)
            fail = (fail_address, int(table["failures"][entry["fail"]["with"]]["ntstatus"], 16))

        exe = entry.get("program", "smbus_scan") + ".exe"
        if not os.path.exists(os.path.join(card["bin"], exe)):
            shutil.copy(os.path.join(card["bin"], "smbus_scan.exe"), os.path.join(card["bin"], exe))
        program = console_text(wine_card.windows_path(os.path.join(card["bin"], exe)))
        streams = entry.get("streams", "separate")
        if "open_error" in entry:
            wine_card.stop_driver(card)
            status, out, err = wine_card.run_tool(card, exe, entry["args"],
                                                  typed_environment(entry), streams)
        else:
            status, out, err = wine_card.run_scanner(card, exe, entry["args"], present, fail,
                                                     typed_environment(entry), streams)

        probed = []
        if "probed" in entry:
            probed = list(range(int(entry["probed"][0], 16), int(entry["probed"][1], 16) + 1))
        shown = [a for a in probed if a in present and a != fail_address]
        if "out_text" in entry:
            expected_out = entry["out_text"]
        else:
            expected_out = expected_text(entry, "out", table["usage"], program, grid_showing(shown))
        compare(failures, label, "stdout", from_windows(out), expected_out)
        compare(failures, label, "stderr", from_windows(err),
                expected_text(entry, "err", table["usage"], program))
        compare(failures, label, "exit status", status, entry["status"] & 0xFF)
        if "open_error" not in entry:
            compare(failures, label, "requests the driver received", wine_card.request_log(card),
                    ["%02x 00 ff code=01161c00 in=3 out=1" % a for a in probed])
        passed += len(failures) == before
    wine_card.start_driver(card)
    wine_card.configure(card, DEMO_CARD)
    return passed, len(cases)


def run_reset_cases(card, table, failures):
    passed = 0
    for entry in table["cases"]:
        label = "kiv_reset %s" % json.dumps(entry["args"])
        before = len(failures)
        # kiv.dll logs its process attach too: a line that makes no library call must not
        # have loaded it.
        extra_env = {"KIV_STANDIN_LOG_ATTACH": "1"}
        if "result" in entry:
            extra_env["KIV_STANDIN_RESULT"] = str(entry["result"])
        extra_env.update(typed_environment(entry))

        status, out, err, calls = wine_card.run_kiv_reset(card, entry["args"], extra_env)

        loaded = ["attach"] if entry["calls"] else []
        compare(failures, label, "library calls", calls, loaded + entry["calls"])
        compare(failures, label, "stdout", from_windows(out),
                expected_text(entry, "out", table["usage"], "kiv_reset"))
        compare(failures, label, "stderr", from_windows(err),
                expected_text(entry, "err", table["usage"], "kiv_reset"))
        compare(failures, label, "exit status", status, entry["status"] & 0xFF)
        passed += len(failures) == before
    return passed


# The stand-in kiv.dll files of the Windows build: the plain one; one that imports
# kiv_helper.dll and starts every log line with "dependent "; that DLL; one that lacks
# kiv.def's last function; one that loads kiv_companion.dll by name in pelk_kiv_init and
# then starts every log line with "companion " (without it, every reset fails with the
# loader's error); that DLL.
SEARCH_FILES = {
    "kiv": ("standins", "kiv.dll"),
    "dependent": ("standins/dependent", "kiv.dll"),
    "helper": ("standins", "kiv_helper.dll"),
    "incomplete": ("standins/incomplete", "kiv.dll"),
    "companion-kiv": ("standins/companion", "kiv.dll"),
    "companion": ("standins", "kiv_companion.dll"),
}
NOT_FOUND = ("kiv_reset: kiv.dll was not found beside kiv_reset.exe, in the system folder or "
             "in a folder on PATH\n")
NOT_LOADED = "kiv_reset: {a}\\kiv.dll could not be loaded (error 126)\n"
LACKING = "kiv_reset: {a}\\kiv.dll has no %s\n" % kiv_functions()[-1]
ON_NETWORK = ("kiv_reset: %s on PATH is a network place, where kiv.dll is never looked for: put "
              "kiv.dll beside kiv_reset.exe, or take that entry off PATH\n")
# A kiv.dll whose own companion is not found: it loads, and the reset fails with status 1.
COMPANION_MISSING = "no companion"

# Which stand-in files lie where (app: kiv_reset.exe's folder; system: the system folder;
# a, b, spaced: further folders; current: the current folder, which also holds the planted
# kiv.dll in every row; "folder" is a folder named kiv.dll), the PATH entries (Wine puts its
# own system folders after them), and the outcome: the log prefix of the kiv.dll that must
# answer, COMPANION_MISSING, or kiv_reset's message with status 3 and no library call at all.
# These rows claim what Wine does; what only Windows answers (network drives, drives not
# ready, symbolic links, folders AddDllDirectory refuses, a tool started from a share) is
# tests/kiv_loader_test.cpp's.
DLL_SEARCH_CASES = [
    ("kiv.dll on PATH", {"a": ["kiv"]}, "{a}", ""),
    ("kiv.dll nowhere on the search", {}, "", NOT_FOUND),
    ("two on PATH: the first", {"a": ["kiv"], "b": ["dependent", "helper"]}, "{a};{b}", ""),
    ("two on PATH, the other way round: the first", {"a": ["kiv"], "b": ["dependent", "helper"]},
     "{b};{a}", "dependent "),
    ("only in the second PATH entry", {"b": ["kiv"]}, "{a};{b}", ""),
    ("beside the tool and on PATH: the tool's", {"app": ["dependent", "helper"], "a": ["kiv"]},
     "{a}", "dependent "),
    ("a folder named kiv.dll beside the tool: skipped", {"app": ["folder"], "a": ["kiv"]}, "{a}",
     ""),
    ("in the system folder and on PATH: the system folder's",
     {"system": ["kiv"], "a": ["dependent", "helper"]}, "{a}", ""),
    ("beside the tool and in the system folder: the tool's",
     {"app": ["dependent", "helper"], "system": ["kiv"]}, "", "dependent "),
    ("PATH of only '.'", {}, ".", NOT_FOUND),
    ("PATH with an empty entry", {}, ";", NOT_FOUND),
    ("PATH of 'C:', the current folder of drive C:", {}, "C:", NOT_FOUND),
    ("PATH of the current folder without its drive", {}, "{current_on_drive}", NOT_FOUND),
    ("a quoted PATH entry with a space", {"spaced": ["kiv"]}, '"{spaced}"', ""),
    ("a \\\\?\\ PATH entry, its companion beside it", {"a": ["companion-kiv", "companion"]},
     "\\\\?\\{a}", "companion "),
    ("a PATH entry on drive Z:", {"a": ["kiv"]}, "{a_on_z}", ""),
    ("a PATH entry on drive z:", {"a": ["kiv"]}, "{a_on_lower_z}", ""),
    ("a PATH entry with forward slashes", {"a": ["kiv"]}, "{a_forward}", ""),
    ("a PATH entry with a trailing backslash", {"a": ["kiv"]}, "{a}\\", ""),
    ("a share before the first kiv.dll: never looked at, no later one is taken", {"b": ["kiv"]},
     "\\\\filesrv\\pelk;{b}", ON_NETWORK % "\\\\filesrv\\pelk"),
    ("a share in forward slashes before the first kiv.dll", {"b": ["kiv"]}, "//filesrv/pelk;{b}",
     ON_NETWORK % "//filesrv/pelk"),
    ("a dependent one on PATH, its DLL beside it", {"a": ["dependent", "helper"]}, "{a}",
     "dependent "),
    ("a dependent one on PATH, its DLL beside the tool", {"a": ["dependent"], "app": ["helper"]},
     "{a}", "dependent "),
    ("a dependent one on PATH, its DLL in the current folder only",
     {"a": ["dependent"], "current": ["helper"]}, "{a}", NOT_LOADED),
    ("a dependent one on PATH, its DLL in another PATH folder only",
     {"a": ["dependent"], "b": ["helper"]}, "{a};{b}", NOT_LOADED),
    ("the first found lacks a function, a later one has all", {"a": ["incomplete"], "b": ["kiv"]},
     "{a};{b}", LACKING),
    ("one on PATH loading its companion, beside it", {"a": ["companion-kiv", "companion"]}, "{a}",
     "companion "),
    ("one on PATH loading its companion, beside the tool",
     {"a": ["companion-kiv"], "app": ["companion"]}, "{a}", "companion "),
    ("one on PATH loading its companion, in the system folder",
     {"a": ["companion-kiv"], "system": ["companion"]}, "{a}", "companion "),
    ("one on PATH loading its companion, in the current folder only",
     {"a": ["companion-kiv"], "current": ["companion"]}, "{a}", COMPANION_MISSING),
    ("one on PATH loading its companion, in another PATH folder only",
     {"a": ["companion-kiv"], "b": ["companion"]}, "{a};{b}", COMPANION_MISSING),
]


def place(card, build_dir, kind, target):
    """Puts one stand-in file of SEARCH_FILES or a folder named kiv.dll ("folder") into
    target; returns its path."""
    if kind == "folder":
        os.makedirs(os.path.join(target, "kiv.dll"))
        return os.path.join(target, "kiv.dll")
    source_folder, name = SEARCH_FILES[kind]
    shutil.copy(os.path.join(build_dir, source_folder, name), target)
    return os.path.join(target, name)


def expected_search_outcome(outcome):
    """(library calls, stdout, stderr, status) for a row's outcome."""
    if outcome == COMPANION_MISSING:
        return (["pelk_kiv_init", "pelk_reset 3", "pelk_get_error_string 126"],
                "kiv_reset fail for:\tboard control error 126\n", "", 1)
    if outcome.startswith("kiv_reset: "):
        return [], "", outcome, 3
    return [outcome + "pelk_kiv_init", outcome + "pelk_reset 3"], "Success\n", "", 0


def run_dll_search_cases(card, build_dir, failures):
    """Which kiv.dll kiv_reset.exe loads, and where it and that DLL find their own DLLs: the
    rows of DLL_SEARCH_CASES, each in fresh folders on drive C:, with the current folder
    there too, so that "C:" and a path without a drive name it."""
    system_folder = wine_card.prefix_path(card, r"C:\windows\system32")
    passed = 0
    for number, (label, layout, path, outcome) in enumerate(DLL_SEARCH_CASES):
        label = "kiv_reset, %s, a planted one in the current folder" % label
        before = len(failures)
        row = r"C:\dll_search\%d" % number
        folders = {name: row + "\\" + name for name in ("app", "a", "b", "current")}
        folders["spaced"] = row + "\\with space"
        for folder in folders.values():
            os.makedirs(wine_card.prefix_path(card, folder))
        shutil.copy(os.path.join(card["bin"], "kiv_reset.exe"),
                    wine_card.prefix_path(card, folders["app"]))
        shutil.copy(os.path.join(build_dir, "standins", "planted", "kiv.dll"),
                    wine_card.prefix_path(card, folders["current"]))
        placed = []
        for where, kinds in layout.items():
            target = system_folder if where == "system" else wine_card.prefix_path(
                card, folders[where])
            placed += [place(card, build_dir, kind, target) for kind in kinds]
        a_on_z = wine_card.windows_path(wine_card.prefix_path(card, folders["a"]))
        names = dict(folders, current_on_drive=folders["current"][2:], a_on_z=a_on_z,
                     a_on_lower_z="z" + a_on_z[1:], a_forward=folders["a"].replace("\\", "/"))
        try:
            status, out, err, calls = wine_card.run_kiv_reset(
                card, ["-i", "3"], {"WINEPATH": path.format(**names)},
                cwd=wine_card.prefix_path(card, folders["current"]),
                folder=wine_card.prefix_path(card, folders["app"]))
        finally:
            for file in placed:
                if file.startswith(system_folder):
                    os.remove(file)
        expected = expected_search_outcome(outcome.format(**names))
        compare(failures, label, "library calls", calls, expected[0])
        compare(failures, label, "stdout", from_windows(out), expected[1])
        compare(failures, label, "stderr", from_windows(err), expected[2])
        compare(failures, label, "exit status", status, expected[3])
        passed += len(failures) == before
    return passed, len(DLL_SEARCH_CASES)


# kiv_reset -v beside one kind of kiv.dll (of SEARCH_FILES; "text": a text file named
# kiv.dll; None: none on the search), with a planted one in the current folder and the
# stand-ins logging their process attach: -v reads kiv.dll as a data file, so that none of
# its code runs. (label, arguments, kind, stdout, stderr, status, library calls); {dll} is
# the kiv.dll's full path. Only the plain stand-in has a version resource.
NAMED = "kiv_reset {version}\nkiv.dll: {dll} (file version 10.2.300.4)\n"
VERSION_CASES = [
    ("-v", ["-v"], "kiv", NAMED, "", 0, []),
    ("--version", ["--version"], "kiv", NAMED, "", 0, []),
    ("-v, a kiv.dll without a version resource", ["-v"], "incomplete",
     "kiv_reset {version}\nkiv.dll: {dll}\n", "", 0, []),
    ("-v, a text file named kiv.dll", ["-v"], "text",
     "kiv_reset {version}\nkiv.dll: {dll} could not be read (error 193)\n", "", 3, []),
    ("-v, no kiv.dll on the search", ["-v"], None, "kiv_reset {version}\n", NOT_FOUND, 3, []),
    ("a reset, which does load kiv.dll: its attach is logged", ["-i", "3"], "kiv", "Success\n",
     "", 0, ["attach", "pelk_kiv_init", "pelk_reset 3"]),
]


def run_version_cases(card, build_dir, failures):
    passed = 0
    for number, (label, arguments, kind, out, err, status, calls) in enumerate(VERSION_CASES):
        label = "kiv_reset %s, %s" % (json.dumps(arguments), label)
        before = len(failures)
        row = r"C:\version\%d" % number
        app = wine_card.prefix_path(card, row + r"\app")
        current = wine_card.prefix_path(card, row + r"\current")
        for folder in (app, current):
            os.makedirs(folder)
        shutil.copy(os.path.join(card["bin"], "kiv_reset.exe"), app)
        shutil.copy(os.path.join(build_dir, "standins", "planted", "kiv.dll"), current)
        if kind == "text":
            with open(os.path.join(app, "kiv.dll"), "w") as text:
                text.write("not a library\n")
        elif kind is not None:
            place(card, build_dir, kind, app)
        result = wine_card.run_kiv_reset(card, arguments,
                                         {"WINEPATH": "", "KIV_STANDIN_LOG_ATTACH": "1"},
                                         cwd=current, folder=app)
        dll = console_text(row + r"\app\kiv.dll")
        compare(failures, label, "library calls", result[3], calls)
        compare(failures, label, "stdout", from_windows(result[1]),
                out.format(version=TOOL_VERSION, dll=dll))
        compare(failures, label, "stderr", from_windows(result[2]), err)
        compare(failures, label, "exit status", result[0], status)
        passed += len(failures) == before
    return passed, len(VERSION_CASES)


# How the rig meets the ends of a run that may be Wine's own: which runs it starts again,
# and what the case then sees. Wine's runs are scripted here: each run but those of the
# stand-in's control tool (which end well) takes the next of the row's ends (exit status,
# stdout, stderr, as the rig captures them: merged, all in stdout; stdout on /dev/full,
# none in stdout). (what, the run, ends, the command lines started, by the program's file
# name, the exit status the case sees, texts that it sees in the output, retries counted).
ASSERTION = (b"Inconsistency detected by ld.so: dl-fini.c: 87: _dl_fini: Assertion "
             b"`ns != LM_ID_BASE || i == nloaded' failed!\n")
LIBRARY_FAILED = b"kiv_reset fail for:\tboard control error 7\n"


def tool(exe, *arguments, streams="separate"):
    return lambda card: wine_card.run_tool(card, exe, list(arguments), streams=streams)


def command(*arguments):
    return lambda card: wine_card.run_command(card, list(arguments))


def scanner(present):
    return lambda card: wine_card.run_scanner(card, "smbus_scan.exe", [], present)


RESET = tool("kiv_reset.exe", "-i", "2")
CONFIGURE = "smbus_standin_ctl.exe configure 18,20"
HICCUP_CASES = [
    ("the loader's assertion at exit, after the rerun's output", RESET,
     [(127, b"Success\n", ASSERTION), (0, b"Success\n", b"")], ["kiv_reset.exe -i 2"] * 2, 0,
     [b"Success\n"], 1),
    ("status 1 and no output", RESET, [(1, b"", b""), (0, b"Success\n", b"")],
     ["kiv_reset.exe -i 2"] * 2, 0, [b"Success\n"], 1),
    ("the assertion with another status", RESET, [(1, b"", ASSERTION)], ["kiv_reset.exe -i 2"],
     1, [ASSERTION], 0),
    ("status 127 with another message", RESET, [(127, b"", b"wine: could not load kernel32.dll\n")],
     ["kiv_reset.exe -i 2"], 127, [b"kernel32.dll"], 0),
    ("the assertion within a line of the program's", RESET, [(127, b"", b"log: " + ASSERTION)],
     ["kiv_reset.exe -i 2"], 127, [b"log: "], 0),
    ("status 1 with output", RESET, [(1, LIBRARY_FAILED, b"")], ["kiv_reset.exe -i 2"], 1,
     [LIBRARY_FAILED], 0),
    # At most once.
    ("Wine's hiccup twice: started once more only", RESET, [(1, b"", b""), (1, b"", b"")],
     ["kiv_reset.exe -i 2"] * 2, 1, [], 1),
    # After the assertion, the first run's output must be the rerun's.
    ("the assertion after other stdout than the rerun's: the first run counts, both shown",
     RESET, [(127, LIBRARY_FAILED, ASSERTION), (0, b"Success\n", b"")],
     ["kiv_reset.exe -i 2"] * 2, 127, [LIBRARY_FAILED, b"Success"], 1),
    ("the assertion after other stderr than the rerun's: the first run counts, both shown",
     tool("smbus_scan.exe"), [(127, b"", b"Error: the scan stopped at address 0x20, error 31\n"
                                  + ASSERTION), (255, b"", b"")],
     ["smbus_scan.exe"] * 2, 127, [b"error 31", b"status 255"], 1),
    ("2>&1: the assertion in the one file, after the rerun's output",
     tool("kiv_reset.exe", "-i", "2", streams="merged"),
     [(127, b"Success\n" + ASSERTION, b""), (0, b"Success\n", b"")], ["kiv_reset.exe -i 2"] * 2,
     0, [b"Success\n"], 1),
    # "No output" only where every stream the program writes is seen.
    ("2>&1: status 1 and nothing in the one file", tool("kiv_reset.exe", "-i", "2",
                                                        streams="merged"),
     [(1, b"", b""), (0, b"Success\n", b"")], ["kiv_reset.exe -i 2"] * 2, 0, [b"Success\n"], 1),
    ("stdout on /dev/full: status 1 and nothing on stderr is no proof of no output",
     tool("kiv_reset.exe", "-i", "2", streams="stdout_full"), [(1, b"", b"")],
     ["kiv_reset.exe -i 2"], 1, [], 0),
    # A scanner case's card is configured again, its request log emptied, before the rerun.
    ("a scanner case", scanner([0x18, 0x20]), [(1, b"", b""), (0, b"grid\n", b"")],
     [CONFIGURE, "smbus_scan.exe", CONFIGURE, "smbus_scan.exe"], 0, [b"grid\n"], 1),
    # The prefix's own programs run once, whatever Wine does.
    ("msiexec /x ending on the loader's assertion", command("msiexec", "/x", "pelk.msi", "/qn"),
     [(127, b"", ASSERTION)], ["msiexec /x pelk.msi /qn"], 127, [ASSERTION], 0),
    ("msiexec /i, status 1 and no output", command("msiexec", "/i", "pelk.msi", "/qn"),
     [(1, b"", b"")], ["msiexec /i pelk.msi /qn"], 1, [], 0),
    ("a cmd script, status 1 and no output", command("cmd", "/c", "deploy.cmd"),
     [(1, b"", b"")], ["cmd /c deploy.cmd"], 1, [], 0),
    ("reg, ending on the loader's assertion", command("reg", "query", "HKLM\\Software"),
     [(127, b"", ASSERTION)], ["reg query HKLM\\Software"], 127, [ASSERTION], 0),
    ("sc stop, status 1 and no output", command("sc", "stop", wine_card.SERVICE),
     [(1, b"", b"")], ["sc stop " + wine_card.SERVICE], 1, [], 0),
]


def scripted_card(ends):
    """A card whose runs are scripted (see HICCUP_CASES), and the list of the command lines
    it is asked to start."""
    started = []

    def run_once(card, arguments, extra_env, streams, cwd):
        name = os.path.basename(arguments[0])
        started.append(" ".join([name, *arguments[1:]]))
        if name == "smbus_standin_ctl.exe":
            return subprocess.CompletedProcess(arguments, 0, b"", b"")
        if not ends:
            raise wine_card.WineError("started more often than the row has ends")
        return subprocess.CompletedProcess(arguments, *ends.pop(0))

    return {"run_once": run_once, "bin": "bin", "root": "", "retries": 0}, started


def run_hiccup_cases(failures):
    passed = 0
    for what, run, ends, started, status, shown, retries in HICCUP_CASES:
        label = "wine_card, " + what
        before = len(failures)
        card, commands = scripted_card(list(ends))
        try:
            # Without the rig's notes of retries, which are real runs' only.
            with contextlib.redirect_stderr(io.StringIO()):
                _, out, err = result = run(card)
            compare(failures, label, "exit status the case sees", result[0], status)
            compare(failures, label, "texts missing from what the case sees",
                    [text for text in shown if text not in out + err], [])
        except wine_card.WineError as error:
            failures.append("%s: %s" % (label, error))
        compare(failures, label, "runs started", commands, started)
        compare(failures, label, "retries counted", wine_card.retries(card), retries)
        passed += len(failures) == before
    return passed, len(HICCUP_CASES)


ENVIRONMENT_KEY = r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
DEFAULT_FOLDER = r"C:\Program Files\PELK card service tools"
# Where the layout before this one installed by default, which an upgrade keeps.
EARLIER_FOLDER = r"C:\Program Files\PELK card tools"
TOOLS_KEY = r"HKLM\SOFTWARE\PELK card service tools"
KIV_FOLDER = guide_examples.deploy_folder()
VERSION_QUERY = 'reg query "HKLM\\SOFTWARE\\PELK card service tools" /v Version'
INSTALLDIR_QUERY = 'reg query "HKLM\\SOFTWARE\\PELK card service tools" /v InstallDir'

MOVED_FOLDER = r"C:\PELK tools moved"


def system_path(card):
    """The system PATH's entries, as written."""
    _, out, _ = wine_card.run_command(card, ["reg", "query", ENVIRONMENT_KEY, "/v", "PATH"])
    for line in out.decode("latin-1").splitlines():
        fields = line.split(None, 2)
        if len(fields) == 3 and fields[0].upper() == "PATH":
            return fields[2].split(";")
    return []


def set_system_path(card, entries):
    wine_card.run_command(card, ["reg", "add", ENVIRONMENT_KEY, "/v", "PATH", "/t",
                                 "REG_EXPAND_SZ", "/d", ";".join(entries), "/f"])


def same_folder(entry, folder):
    """Whether a PATH entry names folder, as Windows reads it: in any case, quoted or not,
    with or without a trailing backslash."""
    return entry.strip('"').rstrip("\\").lower() == folder.rstrip("\\").lower()


def registry_value(card, name):
    """A value under the tools' key, 64-bit view, as the guide's reg query line reads it."""
    _, out, _ = wine_card.run_command(card, ["reg", "query", TOOLS_KEY, "/v", name, "/reg:64"])
    for line in out.decode("latin-1").splitlines():
        fields = line.split(None, 2)
        if len(fields) == 3 and fields[0] == name:
            return fields[2]
    return None


def installed_versions(card):
    """DisplayVersion of every installed product named PELK card service tools."""
    _, out, _ = wine_card.run_command(card, ["reg", "query", UNINSTALL_KEY, "/s"])
    versions, name, version = [], None, None
    for line in out.decode("latin-1").splitlines() + [""]:
        fields = line.split(None, 2)
        if not line.startswith(" ") or not line.strip():
            if name == "PELK card service tools":
                versions.append(version)
            name, version = None, None
        elif fields[0] == "DisplayName" and len(fields) == 3:
            name = fields[2]
        elif fields[0] == "DisplayVersion" and len(fields) == 3:
            version = fields[2]
    return versions


def installed_files(card, folder):
    path = wine_card.prefix_path(card, folder)
    return sorted(os.listdir(path)) if os.path.isdir(path) else None


def guide_version(card, folder):
    path = os.path.join(wine_card.prefix_path(card, folder), "GUIDE.txt")
    if not os.path.exists(path):
        return None
    with open(path, "rb") as guide:
        # "PELK card service tools 1.2.3", and " (test build)" after it in a test build.
        return guide.readline().split()[4].decode()


def run_msi_cases(card, msi, upgrade_msi, failures):
    """Install, upgrade, refused downgrade and uninstall of the release's MSI, on a prefix
    with the stand-in driver running; then the same beside the card's own kiv.dll, with
    the guide's deploy.cmd. Every msiexec line that the guide shows is among those run."""
    newer = guide_examples.msi_property(upgrade_msi, "ProductVersion")
    msi_version = guide_examples.msi_property(msi, "ProductVersion")
    before = len(failures)
    ran = set()

    def check(what, actual, expected):
        compare(failures, "msi", what, actual, expected)

    def msiexec(verb, package, *properties):
        return guide_examples.run_msiexec(card, verb, package, properties, ran)

    def on_path(folder):
        return sum(same_folder(entry, folder) for entry in system_path(card))

    default_folder = wine_card.prefix_path(card, DEFAULT_FOLDER)
    with open(os.path.join(msi[:-4], "smbus_scan.exe"), "rb") as staged:
        staged_scanner = staged.read()
    check("install status", msiexec("/i", msi), 0)
    check("installed files", installed_files(card, DEFAULT_FOLDER), SHIPPED)
    installed = os.path.join(default_folder, "smbus_scan.exe")
    check("installed smbus_scan.exe is the release's",
          os.path.exists(installed) and open(installed, "rb").read() == staged_scanner, True)
    check("install folder on the system PATH", on_path(DEFAULT_FOLDER), 1)
    check("the guide's Version query after the install",
          guide_examples.run_guide_line(card, VERSION_QUERY, ran)[1].split()[-1:], [msi_version])
    status, out, err = wine_card.run_tool(card, "smbus_scan.exe", [], folder=default_folder)
    check("installed smbus_scan", (status, from_windows(out), from_windows(err)),
          (0, grid_showing(DEMO_CARD), ""))

    # An upgrade given another INSTALLDIR moves the tools there.
    check("upgrade status", msiexec("/i", upgrade_msi, 'INSTALLDIR="%s"' % MOVED_FOLDER), 0)
    check("products after the upgrade", installed_versions(card), [newer])
    check("Version after the upgrade", registry_value(card, "Version"), newer)
    check("guide after the upgrade", guide_version(card, MOVED_FOLDER), newer)
    check("old folder after the upgrade", installed_files(card, DEFAULT_FOLDER), None)
    check("PATH entries after the upgrade", (on_path(MOVED_FOLDER), on_path(DEFAULT_FOLDER)),
          (1, 0))
    check("downgrade refused, 1603 as the guide says", msiexec("/i", msi), 1603 & 0xFF)
    check("products after the refused downgrade", installed_versions(card), [newer])
    check("guide after the refused downgrade", guide_version(card, MOVED_FOLDER), newer)
    check("uninstall status", msiexec("/x", upgrade_msi), 0)
    check("files after the uninstall", installed_files(card, MOVED_FOLDER), None)
    check("PATH after the uninstall", on_path(MOVED_FOLDER), 0)
    check("products after the uninstall", installed_versions(card), [])

    # An install of the layout before this one (in its default folder, with only InstallDir
    # in the registry): an upgrade stays in that folder, and keeps its one PATH entry.
    check("install into the earlier default folder status",
          msiexec("/i", msi, 'INSTALLDIR="%s"' % EARLIER_FOLDER), 0)
    for name in ("Version", "PathEntry"):
        wine_card.run_command(card, ["reg", "delete", TOOLS_KEY, "/v", name, "/f", "/reg:64"])
    check("upgrade of the earlier layout status", msiexec("/i", upgrade_msi), 0)
    check("guide in the earlier folder after the upgrade", guide_version(card, EARLIER_FOLDER),
          newer)
    check("default folder after that upgrade", installed_files(card, DEFAULT_FOLDER), None)
    check("PATH entries after that upgrade", (on_path(EARLIER_FOLDER), on_path(DEFAULT_FOLDER)),
          (1, 0))
    check("Version after that upgrade", registry_value(card, "Version"), newer)
    check("uninstall of that upgrade status", msiexec("/x", upgrade_msi), 0)
    check("PATH after that uninstall", on_path(EARLIER_FOLDER), 0)

    # deploy.cmd refuses every DEST it must not change, and installs nothing.
    deploy_passed, deploy_total = guide_examples.run_deploy_cases(card, failures, compare)
    check("deploy.cmd's refusals", (deploy_passed, installed_versions(card)),
          (deploy_total, []))

    # Installed into the folder of the card's own kiv.dll, which the card's software has put
    # on PATH, in other case and without the backslash that INSTALLDIR ends in: the install
    # adds no second entry, and the uninstall leaves the card's. kiv_reset finds kiv.dll there; an upgrade
    # and the uninstall find that folder again without being told.
    card_folder = wine_card.prefix_path(card, KIV_FOLDER)
    os.makedirs(card_folder, exist_ok=True)
    shutil.copy(os.path.join(card["bin"], "kiv.dll"), card_folder)
    before_card = system_path(card)
    set_system_path(card, before_card + [KIV_FOLDER.lower()])
    check("the guide's deploy.cmd status", guide_examples.run_deploy(card, msi, ran), 0)
    check("PATH entries naming kiv.dll's folder after deploy.cmd", on_path(KIV_FOLDER), 1)
    status, out, err, calls = wine_card.run_kiv_reset(card, ["-i", "2"], folder=card_folder)
    check("installed kiv_reset", (status, from_windows(out), from_windows(err), calls),
          (0, "Success\n", "", ["pelk_kiv_init", "pelk_reset 2"]))
    status, out, _, _ = wine_card.run_kiv_reset(card, ["-v"], folder=card_folder)
    shown = guide_examples.example_output("kiv_reset -v", msi_version)
    check("the guide's kiv_reset -v example, beside the card's kiv.dll",
          (status, guide_examples.as_guide_shows(from_windows(out), shown)), (0, shown))
    check("upgrade in INSTALLDIR status", msiexec("/i", upgrade_msi), 0)
    check("guide in INSTALLDIR after the upgrade", guide_version(card, KIV_FOLDER), newer)
    check("default folder after that upgrade", installed_files(card, DEFAULT_FOLDER), None)
    check("the guide's InstallDir query", guide_examples.run_guide_line(card, INSTALLDIR_QUERY, ran)[1]
          .lower().count(KIV_FOLDER.lower()), 1)
    upgrade_code = guide_examples.msi_property(msi, "UpgradeCode").upper()
    named = set(guide_examples.GUID.findall(guide_examples.guide().upper()))
    check("the guide's GUIDs", named, {upgrade_code})
    code = guide_examples.msi_property(upgrade_msi, "ProductCode")
    check("uninstall from INSTALLDIR by ProductCode status", msiexec("/x", code), 0)
    check("the card's folder after the uninstall", installed_files(card, KIV_FOLDER), ["kiv.dll"])
    check("the card's own PATH entry after that uninstall",
          [entry for entry in system_path(card) if same_folder(entry, KIV_FOLDER)],
          [KIV_FOLDER.lower()])
    # The card's entry written exactly as INSTALLDIR is, with the backslash: Windows
    # Installer's own comparison of text would take it for the install's.
    card_entry = KIV_FOLDER + "\\"
    set_system_path(card, before_card + [card_entry])
    check("install beside a PATH entry with a backslash status",
          msiexec("/i", msi, 'INSTALLDIR="%s"' % KIV_FOLDER), 0)
    check("PATH entries naming kiv.dll's folder after that install", on_path(KIV_FOLDER), 1)
    check("uninstall of that install status", msiexec("/x", msi), 0)
    check("the card's own PATH entry with a backslash after that uninstall",
          [entry for entry in system_path(card) if same_folder(entry, KIV_FOLDER)], [card_entry])
    set_system_path(card, before_card)
    check("the guide's msiexec and reg query lines that were not run",
          guide_examples.lines_not_run(ran), [])
    return len(failures) == before, 1


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build-dir", default="build/windows")
    parser.add_argument("--release", help="a release's dist folder: its signed tools run "
                        "the cases, and its MSI is installed, upgraded and removed")
    parser.add_argument("--upgrade-msi", help="with --release: an MSI of a higher version")
    parser.add_argument("--only-dll-search", action="store_true",
                        help="run only the rows of where kiv_reset.exe finds kiv.dll")
    parser.add_argument("--only-guide", action="store_true",
                        help="run only the guide's examples and, given a release, the MSI cases")
    options = parser.parse_args()
    global TOOL_VERSION
    TOOL_VERSION = tool_version(options.build_dir)
    tools_dir = msi = None
    if options.release:
        msi = glob.glob(os.path.join(options.release, "pelk-card-tools-*-win-x64.msi"))[0]
        tools_dir = msi[:-4]

    tables = {}
    for name in ("scanner_cases.json", "reset_cases.json"):
        with open(os.path.join(CASES_DIR, name)) as file:
            tables[name] = json.load(file)
    only_some = options.only_dll_search or options.only_guide
    total = 0 if only_some else len(tables["reset_cases.json"]["cases"])

    failures = []
    passed, total_hiccups = run_hiccup_cases(failures)
    total += total_hiccups
    with wine_card.wine_card(options.build_dir, tools_dir) as card:
        if not only_some:
            scanner_passed, scanner_total = run_scanner_cases(card, tables["scanner_cases.json"],
                                                              failures)
            passed += scanner_passed
            total += scanner_total
            passed += run_reset_cases(card, tables["reset_cases.json"], failures)
            version_passed, version_total = run_version_cases(card, options.build_dir, failures)
            passed += version_passed
            total += version_total
        if not options.only_guide:
            search_passed, search_total = run_dll_search_cases(card, options.build_dir, failures)
            passed += search_passed
            total += search_total
        if not options.only_dll_search:
            # Before the MSI cases, which leave a kiv.dll in a folder that the example puts on
            # PATH.
            example_passed, example_total = guide_examples.run_guide_example(card, failures,
                                                                             compare)
            passed += example_passed
            total += example_total
        if msi and options.upgrade_msi and not options.only_dll_search:
            msi_passed, msi_total = run_msi_cases(card, msi, options.upgrade_msi, failures)
            passed += msi_passed
            total += msi_total
    for failure in failures:
        print("FAIL " + failure)
    print("windows, runs started once more after Wine's own hiccups: %d"
          % wine_card.retries(card))
    print("windows: %d passed, %d failed" % (passed, total - passed))
    return 0 if passed == total else 1


if __name__ == "__main__":
    sys.exit(main())
