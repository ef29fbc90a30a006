r"""What the guide (docs/guide.txt, shipped as GUIDE.txt) tells readers to run, run as it
stands: its batch example under Wine's cmd against the stand-ins, once for every status of
both tools and for each device number it must refuse itself; its lock_folder.cmd with
every kind of folder it must refuse, and with kiv.dll's folder, whose icacls lines reach
Wine's icacls, a stub that logs its arguments, changes nothing and succeeds
(lock_folder_examples.py); and its msiexec and reg query lines and deploy.cmd, which the MSI
cases run in place of their own (run_msiexec, run_deploy, run_guide_line), then check that
none of the guide's was left out.

Left untested, because Wine can't run them as Windows does: the PowerShell lines (Wine
has no PowerShell; the $arguments line's msiexec arguments are run as an msiexec line),
among them the file version read over \\HOST01\C$; the reg query of another host
(NOT_RUN_UNDER_WINE: Wine's reg reaches no other computer, and there is none with a
Remote Registry service here); what icacls does to the folder's rights (Wine's changes
nothing, and enforces no file permissions); where (a stub); lock_folder.cmd's comparison
of short (8.3) names, since Wine has none; the example's stop at the first device that
fails, since Wine's cmd does not leave a for loop at exit /b: its failing runs name one
device; the repair line (NOT_RUN_UNDER_WINE), since Wine's msiexec answers /fa with 1605
for an installed package and 1 for its ProductCode; Intune's fields other than its
install and uninstall commands (no Intune here); and Appendix B's lines for Linux, which
are no Windows examples: its "Which commit" lines are run as they stand by
release_builds.sh, which compares the archive they make in a clone with the shipped one;
its rebuild (tar, release/release.sh, cmp, osslsigncode) release_builds.sh does the same
way, with this machine's osslsigncode only (the other version's signature form is a row of
check_release.py's signer table); and its PowerShell checks of the thumbprint and of the
bill of materials against the zip, both ways, are PowerShell lines like the others; so are
4.3's Get-AuthenticodeSignature lines and its Intune script (whose reg add line is
require_signer.cmd's, run by signer_examples.py), and its Group Policy steps are no command
at all."""

import os
import re
import shutil
import tempfile

from release import msi_identity
from release.package_release import WXS
from standins import wine_card

GUIDE = os.path.join(os.path.dirname(__file__), "..", "..", "docs", "guide.txt")
MSI_NAME = re.compile(r"pelk-card-tools-\S+-win-x64\.msi")
GUID = re.compile(r"\{[0-9A-Fa-f]{8}(?:-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}\}")
GUIDE_MSI_NAME = "pelk-card-tools-@PROJECT_VERSION@-win-x64.msi"
GUIDE_GUID = "@PRODUCT_CODE@"
NOT_RUN_UNDER_WINE = {
    "msiexec /fa %s /qn /norestart" % GUIDE_MSI_NAME,
    r'reg query "\\HOST01\HKLM\SOFTWARE\PELK card service tools" /v Version /reg:64',
}
# The lines of these commands that the guide gives, each of which the MSI cases or
# run_signer_lines run, or NOT_RUN_UNDER_WINE names.
CHECKED_COMMANDS = ("msiexec ", "reg query ", "reg delete ")
# The guide's lines that run_signer_lines ran, for lines_not_run.
RAN_WITH_SIGNER = set()


def guide(version="@PROJECT_VERSION@"):
    """The guide with version for the release's version, and, when a version is given, for
    the tools' four-part one (the same with a fourth part 0) and for the ProductCode (that
    version's, as the release derives it)."""
    with open(GUIDE, encoding="utf-8") as file:
        text = file.read()
    if version != "@PROJECT_VERSION@":
        upgrade_code = msi_identity.product_attributes(WXS)["UpgradeCode"]
        text = text.replace("@PELK_TOOL_VERSION@", version + ".0").replace(
            GUIDE_GUID, msi_identity.product_code(upgrade_code, version))
    return text.replace("@PROJECT_VERSION@", version)


def block(name, version="@PROJECT_VERSION@"):
    """The guide's lines between "--- NAME ---" and "--- end of NAME ---"."""
    text = guide(version)
    start = text.index("--- %s ---\n" % name) + len("--- %s ---\n" % name)
    return text[start:text.index("--- end of %s ---\n" % name, start)]


def _run_cmd(card, script_text, arguments=(), extra_env=None, cwd=None, script_dir=None):
    """Runs script_text as a batch file under Wine's cmd, in Windows line ends, from
    script_dir (default: the card's root)."""
    with tempfile.NamedTemporaryFile("w", suffix=".cmd", dir=script_dir or card["root"],
                                     newline="\r\n", delete=False) as script:
        script.write(script_text)
    try:
        return wine_card.run_command(card, ["cmd", "/c", wine_card.windows_path(script.name),
                                            *arguments], extra_env, cwd=cwd)
    finally:
        os.remove(script.name)


def run_batch(card, script_text):
    """A batch file of the suite's own under Wine's cmd: (exit status, stdout, stderr)."""
    return _run_cmd(card, script_text)


# The example's runs: how the host is set up, its arguments, its exit status (that of
# the tool that failed, or 2 where the example refuses a device number itself), a line it
# prints only on that branch, the calls kiv.dll gets, and whether scan.txt is written
# beside the script (never into the current folder, which is another).
EXAMPLE_CASES = [
    ("all well", "card", {}, ["2", "5"], 0, "every device named was reset",
     ["pelk_kiv_init", "pelk_set_device 1", "pelk_reset 2",
      "pelk_kiv_init", "pelk_set_device 1", "pelk_reset 5"], True),
    ("a device number with leading zeros", "card", {}, ["007"], 0,
     "every device named was reset", ["pelk_kiv_init", "pelk_set_device 1", "pelk_reset 7"],
     True),
    ("the library fails", "card", {"KIV_STANDIN_RESULT": "7"}, ["2"], 1,
     "Device 2: the library failed", ["pelk_kiv_init", "pelk_set_device 1", "pelk_reset 2",
                                      "pelk_get_error_string 7"], True),
    ("a device number that is not one", "card", {}, ["x"], 2,
     "Device x: not a decimal device number", [], False),
    ("a device number with a sign", "card", {}, ["+2"], 2,
     "Device +2: not a decimal device number", [], False),
    ("a negative device number", "card", {}, ["-1"], 2,
     "Device -1: not a decimal device number", [], False),
    ("a hexadecimal device number", "card", {}, ["0x10"], 2,
     "Device 0x10: not a decimal device number", [], False),
    ("255, every device", "card", {}, ["255"], 2, "Device 255: 255 would reset every device",
     [], False),
    ("0255, which kiv_reset reads as 255", "card", {}, ["0255"], 2,
     "Device 0255: 255 would reset every device", [], False),
    ("+255, which kiv_reset reads as 255", "card", {}, ["+255"], 2,
     "Device +255: not a decimal device number", [], False),
    ("a device, then 255: nothing reset", "card", {}, ["2", "255"], 2,
     "Nothing was scanned or reset", [], False),
    ("a number beyond kiv_reset's range", "card", {}, ["2147483648"], 2,
     "Device 2147483648: kiv_reset rejected", [], True),
    ("no kiv.dll beside the tools, on PATH or in the current folder", "no kiv.dll", {},
     ["2"], 3, "kiv_reset could not use kiv.dll", [], True),
    ("the card's driver stopped", "no driver", {}, ["2"], -1, "The scan failed", [], True),
]


ELIDED_ROWS = re.compile(r"^  \.\.\. \(rows ([0-9a-f]+) to ([0-9a-f]+) alike\)$")


# The guide's examples of output: the command line as the guide shows it, and what the
# guide shows under it (after a blank line, for the grid), up to the next blank line.
EXAMPLES = {"smbus_scan": "\n  smbus_scan\n\n", "kiv_reset -v": "\n  kiv_reset -v\n"}


def example_output(command, version="@PROJECT_VERSION@"):
    """The output that the guide shows for command, line by line."""
    text = guide(version)
    start = text.index(EXAMPLES[command]) + len(EXAMPLES[command])
    return text[start:text.index("\n\n", start)].splitlines()


def as_guide_shows(output, shown):
    """The tool's output as the guide prints it: indented by two, trailing blanks trimmed,
    and the rows that the guide's "... (rows X to Y alike)" line stands for replaced by it,
    where they are alike but for their labels."""
    lines = [("  " + line).rstrip() for line in output.splitlines()]
    for marker in filter(None, map(ELIDED_ROWS.match, shown)):
        labels = [line.split()[0] for line in lines]
        first, last = labels.index(marker.group(1)), labels.index(marker.group(2))
        if len({tuple(line.split()[1:]) for line in lines[first:last + 1]}) == 1:
            lines[first:last + 1] = [marker.group(0)]
    return lines


def run_guide_example(card, failures, compare):
    """The guide's card_service.cmd, in the card's root, run from the tools' folder (the
    current folder), with the tools on PATH."""
    example = block("card_service.cmd")
    bare = wine_card.prefix_path(card, r"C:\tools without kiv")
    os.makedirs(bare)
    for tool in ("smbus_scan.exe", "kiv_reset.exe"):
        shutil.copy(os.path.join(card["bin"], tool), bare)
    passed = 0
    beside_script = os.path.join(card["root"], "scan.txt")
    for label, host, env, arguments, status, branch_line, calls, scanned in EXAMPLE_CASES:
        label = "the guide's batch example, %s" % label
        before = len(failures)
        folder = bare if host == "no kiv.dll" else card["bin"]
        in_current_folder = os.path.join(folder, "scan.txt")
        for scan in (beside_script, in_current_folder):
            if os.path.exists(scan):
                os.remove(scan)
        if host == "no driver":
            wine_card.stop_driver(card)
        try:
            (result, out, _), logged = wine_card.with_kiv_calls(
                card, lambda env: _run_cmd(card, example, arguments, env, cwd=folder),
                dict(env, WINEPATH=wine_card.windows_path(folder)))
        finally:
            wine_card.start_driver(card)
        compare(failures, label, "exit status", result, status & 0xFF)
        compare(failures, label, "its branch's line printed",
                branch_line in out.decode("latin-1"), True)
        compare(failures, label, "library calls", logged, calls)
        compare(failures, label, "scan.txt beside the script, and in the current folder",
                (os.path.exists(beside_script), os.path.exists(in_current_folder)),
                (scanned, False))
        passed += len(failures) == before
    before = len(failures)
    wine_card.configure(card, [0x18, 0x20])
    _, out, _ = wine_card.run_tool(card, "smbus_scan.exe", [])
    shown = example_output("smbus_scan")
    compare(failures, "the guide", "its example grid, against the demo card's",
            shown, as_guide_shows(out.decode("latin-1"), shown))
    compare(failures, "the guide", "lines over 80 columns, with a version as long as 10.10.10",
            [line for line in guide("10.10.10").splitlines() if len(line) > 80], [])
    return passed + (len(failures) == before), len(EXAMPLE_CASES) + 1


def msi_property(msi, name):
    """A value of the MSI's Property table (ProductVersion, ProductCode, UpgradeCode)."""
    return msi_identity.property_value(msi, name)


def as_in_guide(line):
    """An msiexec line as the guide writes it: any version's MSI name, any GUID as the
    ProductCode's field."""
    return GUID.sub(GUIDE_GUID, MSI_NAME.sub(GUIDE_MSI_NAME, line))


def run_msiexec(card, verb, package, properties, ran):
    """msiexec, as a line of a batch file run in the MSI's folder (the guide's form);
    package: an MSI's path, or a ProductCode."""
    is_file = os.path.exists(package)
    line = " ".join(["msiexec", verb, os.path.basename(package) if is_file else package,
                     "/qn", "/norestart", *properties])
    ran.add(as_in_guide(line))
    return _run_cmd(card, "@echo off\n%s\nexit /b %%ERRORLEVEL%%\n" % line,
                    cwd=os.path.dirname(package) if is_file else None)[0]


def deploy_folder():
    """deploy.cmd's DEST: the folder of the card's kiv.dll in the guide's deployment."""
    return re.search(r'^set "DEST=(.*)"$', block("deploy.cmd"), re.M).group(1)


def _write_block(name, folder, version="@PROJECT_VERSION@"):
    """The guide's NAME block, written as the file NAME into folder in Windows line ends;
    its path."""
    path = os.path.join(folder, name)
    with open(path, "w", newline="\r\n") as file:
        file.write(block(name, version))
    return path


def run_deploy(card, msi, ran):
    """The guide's deploy.cmd, beside its lock_folder.cmd and the MSI, run from another
    folder, as a startup script is; Wine's icacls, a stub, changes nothing and succeeds."""
    script = block("deploy.cmd", msi_property(msi, "ProductVersion"))
    ran.update(as_in_guide(line) for line in script.splitlines() if line.startswith("msiexec "))
    lock = _write_block("lock_folder.cmd", os.path.dirname(msi))
    try:
        return _run_cmd(card, script, cwd=card["root"], script_dir=os.path.dirname(msi))[0]
    finally:
        os.remove(lock)


def run_guide_line(card, start, ran):
    """The one command line of the guide that begins with start; (status, stdout)."""
    lines = [line.strip() for line in guide().splitlines() if line.strip().startswith(start)]
    if len(lines) != 1:
        raise SystemExit("the guide has %d lines beginning %r, not one" % (len(lines), start))
    ran.add(lines[0])
    status, out, _ = _run_cmd(card, "@echo off\n%s\n" % lines[0])
    return status, out.decode("latin-1")


def lines_not_run(ran):
    """The guide's msiexec, reg query and reg delete lines (and $arguments lines, as msiexec
    lines) that neither an MSI case nor run_signer_lines ran."""
    shown = set()
    for line in guide().splitlines():
        line = line.strip()
        if line.startswith(CHECKED_COMMANDS):
            shown.add(line)
        elif line.startswith("$arguments = '"):
            shown.add("msiexec " + line[len("$arguments = '"):-1])
    return sorted(shown - ran - RAN_WITH_SIGNER - NOT_RUN_UNDER_WINE)
