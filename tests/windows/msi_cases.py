"""Install, upgrade, refused downgrade, repair and uninstall of a release's MSI, and the
guide's deploy.cmd, under Wine; then the installs beside the install folder already on the
system PATH in forms of its own (msi_path_forms.py). Which PATH entries name a folder is
Windows' answer, not a comparison of ours (msi_support.entries_reaching)."""

import os
import shutil

from release.package_release import SHIPPED
from standins import wine_card
from tests.windows import guide_examples, lock_folder_examples
from tests.windows.msi_support import (DEFAULT_FOLDER, TOOLS_KEY, entries_reaching, installed_files,
                                       registry_value, set_system_path, system_path)
from tests.windows.msi_path_forms import run_path_form_cases
from tests.windows.suite_support import compare, DEMO_CARD, from_windows, grid_showing


UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
# Where the layout before this one installed by default, which an upgrade keeps.
EARLIER_FOLDER = r"C:\Program Files\PELK card tools"
KIV_FOLDER = guide_examples.deploy_folder()
VERSION_QUERY = 'reg query "HKLM\\SOFTWARE\\PELK card service tools" /v Version'
INSTALLDIR_QUERY = 'reg query "HKLM\\SOFTWARE\\PELK card service tools" /v InstallDir'

MOVED_FOLDER = r"C:\PELK tools moved"


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
        return len(entries_reaching(card, folder))

    def added_entries(before):
        """The entries on the system PATH now that were not in before."""
        entries = system_path(card)
        for entry in before:
            if entry in entries:
                entries.remove(entry)
        return entries

    default_folder = wine_card.prefix_path(card, DEFAULT_FOLDER)
    with open(os.path.join(msi[:-4], "smbus_scan.exe"), "rb") as staged:
        staged_scanner = staged.read()
    before_install = system_path(card)
    check("install status", msiexec("/i", msi), 0)
    check("installed files", installed_files(card, DEFAULT_FOLDER), SHIPPED)
    installed = os.path.join(default_folder, "smbus_scan.exe")
    check("installed smbus_scan.exe is the release's",
          os.path.exists(installed) and open(installed, "rb").read() == staged_scanner, True)
    check("install folder on the system PATH", on_path(DEFAULT_FOLDER), 1)
    check("PathEntry after the install", registry_value(card, "PathEntry"), "added")
    # A repair as Wine's msiexec takes one (it answers /fa with 1605): the files and the
    # PATH entry written again, PATH as it was.
    installed_path = system_path(card)
    check("repair status", msiexec("/i", msi, "REINSTALL=ALL", "REINSTALLMODE=amus"), 0)
    check("PATH after the repair", system_path(card), installed_path)
    check("PathEntry after the repair", registry_value(card, "PathEntry"), "added")
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
    check("PATH entries after the upgrade", (on_path(MOVED_FOLDER),
                                             len(added_entries(before_install))), (1, 1))
    check("downgrade refused, 1603 as the guide says", msiexec("/i", msi), 1603 & 0xFF)
    check("products after the refused downgrade", installed_versions(card), [newer])
    check("guide after the refused downgrade", guide_version(card, MOVED_FOLDER), newer)
    check("uninstall status", msiexec("/x", upgrade_msi), 0)
    check("files after the uninstall", installed_files(card, MOVED_FOLDER), None)
    check("PATH after the uninstall", system_path(card), before_install)
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
    check("PATH entries after that upgrade", (on_path(EARLIER_FOLDER),
                                              len(added_entries(before_install))), (1, 1))
    check("Version after that upgrade", registry_value(card, "Version"), newer)
    check("uninstall of that upgrade status", msiexec("/x", upgrade_msi), 0)
    check("PATH after that uninstall", system_path(card), before_install)

    # lock_folder.cmd refuses every folder it must not change, locks kiv.dll's, and
    # installs nothing.
    deploy_passed, deploy_total = lock_folder_examples.run_deploy_cases(card, failures, compare)
    check("lock_folder.cmd's rows", (deploy_passed, installed_versions(card)),
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
    check("PATH after deploy.cmd", added_entries(before_card), [KIV_FOLDER.lower()])
    status, out, err, calls = wine_card.run_kiv_reset(card, ["-i", "2"], folder=card_folder)
    check("installed kiv_reset", (status, from_windows(out), from_windows(err), calls),
          (0, "Success\n", "", ["pelk_kiv_init", "pelk_reset 2"]))
    # The example's first two lines, the installed version and the kiv.dll found: its
    # signature lines are run_signer_lines', with a signed kiv.dll and a signer required.
    status, out, _, _ = wine_card.run_kiv_reset(card, ["-v"], folder=card_folder)
    shown = guide_examples.example_output("kiv_reset -v", msi_version)[:2]
    check("the guide's kiv_reset -v example's version and kiv.dll, beside the card's kiv.dll",
          (status, guide_examples.as_guide_shows(from_windows(out), shown)[:2]), (0, shown))
    check("upgrade in INSTALLDIR status", msiexec("/i", upgrade_msi), 0)
    check("guide in INSTALLDIR after the upgrade", guide_version(card, KIV_FOLDER), newer)
    check("default folder after that upgrade", installed_files(card, DEFAULT_FOLDER), None)
    check("the guide's InstallDir query", guide_examples.run_guide_line(card, INSTALLDIR_QUERY, ran)[1]
          .lower().count(KIV_FOLDER.lower()), 1)
    # The guide installed with the upgrade, as it shipped, names the UpgradeCode and that
    # version's ProductCode, and no other GUID; its uninstall line by ProductCode (in the
    # command lines and in Intune's fields) removes that version.
    upgrade_code = guide_examples.msi_property(msi, "UpgradeCode").upper()
    code = guide_examples.msi_property(upgrade_msi, "ProductCode")
    with open(os.path.join(card_folder, "GUIDE.txt"), encoding="utf-8") as file:
        shipped = file.read()
    check("the installed guide's GUIDs", set(guide_examples.GUID.findall(shipped.upper())),
          {upgrade_code, code.upper()})
    check("the installed guide's uninstall lines by ProductCode",
          {line.strip() for line in shipped.splitlines()
           if guide_examples.GUID.search(line) and line.strip().startswith("msiexec ")},
          {"msiexec /x %s /qn /norestart" % code})
    check("uninstall from INSTALLDIR by ProductCode status", msiexec("/x", code), 0)
    check("the card's folder after the uninstall", installed_files(card, KIV_FOLDER), ["kiv.dll"])
    check("the card's own PATH entry after that uninstall", added_entries(before_card),
          [KIV_FOLDER.lower()])
    # The card's entry written exactly as INSTALLDIR is, with the backslash: Windows
    # Installer's own comparison of text would take it for the install's.
    card_entry = KIV_FOLDER + "\\"
    set_system_path(card, before_card + [card_entry])
    check("install beside a PATH entry with a backslash status",
          msiexec("/i", msi, 'INSTALLDIR="%s"' % KIV_FOLDER), 0)
    check("PATH entries naming kiv.dll's folder after that install", on_path(KIV_FOLDER), 1)
    check("PATH after that install", added_entries(before_card), [card_entry])
    check("uninstall of that install status", msiexec("/x", msi), 0)
    check("the card's own PATH entry with a backslash after that uninstall",
          added_entries(before_card), [card_entry])
    set_system_path(card, before_card)
    form_passed, form_total = run_path_form_cases(card, msi, ran, failures)
    check("the guide's msiexec and reg query lines that were not run",
          guide_examples.lines_not_run(ran), [])
    return form_passed + (len(failures) == before), form_total + 1
