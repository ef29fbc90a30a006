"""What the MSI cases share: the system PATH as Wine's registry holds it, which of its
entries Windows reaches a folder by, and the tools' registry values and folder."""

import os

from standins import wine_card
from tests.windows import guide_examples

ENVIRONMENT_KEY = r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment"
DEFAULT_FOLDER = r"C:\Program Files\PELK card service tools"
TOOLS_KEY = r"HKLM\SOFTWARE\PELK card service tools"


def system_path(card):
    """The system PATH's entries, as written, but for empty ones: Wine's msiexec leaves the
    ";" of an entry it takes away, and an empty entry names no folder."""
    _, out, _ = wine_card.run_command(card, ["reg", "query", ENVIRONMENT_KEY, "/v", "PATH"])
    for line in out.decode("latin-1").splitlines():
        fields = line.split(None, 2)
        if len(fields) == 3 and fields[0].upper() == "PATH":
            return [entry for entry in fields[2].split(";") if entry]
    return []


def set_system_path(card, entries):
    wine_card.run_command(card, ["reg", "add", ENVIRONMENT_KEY, "/v", "PATH", "/t",
                                 "REG_EXPAND_SZ", "/d", ";".join(entries), "/f"])


MARKER = "pelk-path-marker.txt"


def entries_reaching(card, folder):
    """The entries of the system PATH, as written, by which Windows reaches folder: a marker
    file is put there, cmd asks of each entry whether it holds the marker (variables of the
    REG_EXPAND_SZ value expanded by cmd), and the marker is taken away again, so that it
    never keeps a folder that an uninstall removes. A folder that does not exist is reached
    by none."""
    place = wine_card.prefix_path(card, folder)
    entries = system_path(card)
    if not os.path.isdir(place) or not entries:
        return []
    marker = os.path.join(place, MARKER)
    with open(marker, "w") as file:
        file.write("marker\n")
    try:
        script = "@echo off\n" + "".join(
            'if exist "%s\\%s" (echo yes) else (echo no)\n' % (entry, MARKER)
            for entry in entries)
        _, out, _ = guide_examples.run_batch(card, script)
    finally:
        os.remove(marker)
    answers = out.decode("latin-1").split()
    if len(answers) != len(entries):
        return ["cmd answered %s for %d entries" % (answers, len(entries))]
    return [entry for entry, answer in zip(entries, answers) if answer == "yes"]


def short_name(card, folder):
    """The folder's short (8.3) path as Wine makes it, which is not Windows' PROGRA~1."""
    _, out, _ = guide_examples.run_batch(
        card, '@echo off\nfor %%%%I in ("%s") do echo %%%%~sI\n' % folder)
    return out.decode("latin-1").strip()


def registry_value(card, name):
    """A value under the tools' key, 64-bit view, as the guide's reg query line reads it."""
    _, out, _ = wine_card.run_command(card, ["reg", "query", TOOLS_KEY, "/v", name, "/reg:64"])
    for line in out.decode("latin-1").splitlines():
        fields = line.split(None, 2)
        if len(fields) == 3 and fields[0] == name:
            return fields[2]
    return None


def installed_files(card, folder):
    path = wine_card.prefix_path(card, folder)
    return sorted(os.listdir(path)) if os.path.isdir(path) else None
