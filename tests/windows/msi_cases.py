"""Install, upgrade, refused downgrade and uninstall of a release's MSI, and the guide's
deploy.cmd, under Wine."""

import os
import shutil

from release.package_release import SHIPPED
from standins import wine_card
from tests.windows import guide_examples
from tests.windows.suite_support import compare, DEMO_CARD, from_windows, grid_showing


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
