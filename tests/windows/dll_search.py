"""Where kiv_reset.exe finds kiv.dll (never in the current folder), and where that DLL finds
its own DLLs."""

import os
import shutil

from reset.kiv_interface.kiv_exports import kiv_functions
from standins import wine_card
from tests.windows.suite_support import compare, from_windows


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
NOT_LOCAL = ("kiv_reset: %s on PATH is not a folder on a local drive, where kiv.dll is never "
             "looked for: put kiv.dll beside kiv_reset.exe, or take that entry off PATH\n")
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
    ("a share through \\\\?\\GLOBALROOT\\ before the first kiv.dll: no local drive's folder",
     {"b": ["kiv"]}, "\\\\?\\GLOBALROOT\\Device\\Mup\\filesrv\\pelk;{b}",
     NOT_LOCAL % "\\\\?\\GLOBALROOT\\Device\\Mup\\filesrv\\pelk"),
    ("a pipe before the first kiv.dll: no local drive's folder", {"b": ["kiv"]},
     "\\\\.\\pipe\\x;{b}", NOT_LOCAL % "\\\\.\\pipe\\x"),
    ("a drive letter with no drive before the first kiv.dll: skipped", {"b": ["kiv"]},
     "Q:\\Card;{b}", ""),
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
