"""The stand-in PELK card under Wine, for the Windows test suite and the demo.

Sets up a fresh, temporary Wine prefix with a persistent server, installs the stand-in
SMBus driver as a kernel service, stages the tools with the stand-in kiv.dll beside
kiv_reset.exe, and tears it all down again, whether the run passed or failed."""

import contextlib
import os
import shutil
import subprocess
import sys
import tempfile
import time

SERVICE = "pelksmbus"
DRIVER_FILE = "smbus_standin.sys"
STAGED = {
    "smbus_scan.exe": "scanner",
    "kiv_reset.exe": "reset",
    "kiv.dll": "standins",
    "smbus_standin_ctl.exe": "standins",
}
STEP_TIMEOUT = 120


class WineError(RuntimeError):
    pass


def _find(names, directories):
    for name in names:
        found = shutil.which(name)
        if found:
            return found
        for directory in directories:
            candidate = os.path.join(directory, name)
            if os.access(candidate, os.X_OK):
                return candidate
    raise WineError("Wine is not installed: none of %s found" % ", ".join(names))


def windows_path(path):
    """Wine maps drive Z: to the Unix root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def _read(file):
    file.seek(0)
    return file.read()


def _wine(card, *arguments, extra_env=None, check=True, streams="separate", cwd=None):
    """streams: "separate"; "merged", standard error into the same file as standard output
    (as 2>&1), all of it returned as stdout; "stdout_full", standard output on /dev/full."""
    result = _wine_once(card, arguments, extra_env, streams, cwd)
    # Now and then (about one start in a thousand here) Wine ends a program with status 1
    # before it has run, with no output at all; none of the programs run here ever does
    # that. Such a start is made once more, and said so.
    if result.returncode == 1 and not result.stdout and not result.stderr:
        print("wine_card: %s ended with status 1 and no output; started once more"
              % " ".join(arguments), file=sys.stderr)
        result = _wine_once(card, arguments, extra_env, streams, cwd)
    if check and result.returncode != 0:
        raise WineError("wine %s failed (%d): %s%s" % (
            " ".join(arguments), result.returncode,
            result.stdout.decode(errors="replace"), result.stderr.decode(errors="replace")))
    return result


def _wine_once(card, arguments, extra_env, streams, cwd):
    env = dict(card["env"], **(extra_env or {}))
    # Files, not pipes: Wine's own background processes inherit the output handles and
    # would hold a pipe open long after the program has ended.
    with contextlib.ExitStack() as files:
        err = files.enter_context(tempfile.TemporaryFile())
        if streams == "merged":
            out = err
        elif streams == "stdout_full":
            out = files.enter_context(open("/dev/full", "wb"))
        else:
            out = files.enter_context(tempfile.TemporaryFile())
        status = subprocess.run([card["wine"], *arguments], env=env, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=err, cwd=cwd, timeout=STEP_TIMEOUT).returncode
        if streams == "merged":
            captured = (_read(err), b"")
        elif streams == "stdout_full":
            captured = (b"", _read(err))
        else:
            captured = (_read(out), _read(err))
        return subprocess.CompletedProcess(arguments, status, *captured)


def run_tool(card, exe, arguments, extra_env=None, streams="separate", cwd=None, folder=None):
    """Runs a program staged in folder (default: the card's bin folder); returns (exit
    status, stdout bytes, stderr bytes)."""
    result = _wine(card, os.path.join(folder or card["bin"], exe), *arguments,
                   extra_env=extra_env, check=False, streams=streams, cwd=cwd)
    return result.returncode, result.stdout, result.stderr


def with_kiv_calls(card, run, extra_env=None):
    """Calls run(env): extra_env, and where the stand-in kiv.dll logs the calls it
    receives; returns run's result and those calls."""
    log_path = os.path.join(card["root"], "kiv_calls.log")
    if os.path.exists(log_path):
        os.remove(log_path)
    result = run(dict(extra_env or {}, KIV_STANDIN_LOG=windows_path(log_path)))
    calls = []
    if os.path.exists(log_path):
        with open(log_path, encoding="latin-1") as log:
            calls = log.read().replace("\r\n", "\n").splitlines()
    return result, calls


def run_kiv_reset(card, arguments, extra_env=None, **where):
    """Runs kiv_reset.exe (where: cwd, folder, as run_tool) with the stand-in kiv.dll logging
    the calls it receives; returns (exit status, stdout bytes, stderr bytes, calls)."""
    (status, out, err), calls = with_kiv_calls(
        card, lambda env: run_tool(card, "kiv_reset.exe", arguments, env, **where), extra_env)
    return status, out, err, calls


def _service_state(card):
    result = _wine(card, "sc", "query", SERVICE, check=False)
    for line in result.stdout.decode(errors="replace").splitlines():
        if "STATE" in line:
            return line.split()[-1]
    return "MISSING"


def _wait_for_state(card, wanted):
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        state = _service_state(card)
        if state == wanted:
            return
        time.sleep(0.2)
    raise WineError("the stand-in driver did not reach %s (last state %s)" % (wanted, state))


def start_driver(card):
    if _service_state(card) != "RUNNING":
        _wine(card, "sc", "start", SERVICE)
        _wait_for_state(card, "RUNNING")


def stop_driver(card):
    if _service_state(card) == "RUNNING":
        _wine(card, "sc", "stop", SERVICE, check=False)
        _wait_for_state(card, "STOPPED")


def configure(card, present, fail_address=None, fail_status=None):
    """Replaces the card the driver pretends to be and empties its request log."""
    arguments = ["configure", ",".join("%x" % a for a in present) or "none"]
    if fail_address is not None:
        arguments += ["%x" % fail_address, "%x" % fail_status]
    status, out, err = run_tool(card, "smbus_standin_ctl.exe", arguments)
    if status != 0:
        raise WineError("configuring the stand-in card failed (status %d): %s" % (
            status, err.decode(errors="replace")))


def request_log(card):
    """Every probe request since the last configure, as driver log lines."""
    status, out, err = run_tool(card, "smbus_standin_ctl.exe", ["log"])
    if status != 0:
        raise WineError("reading the driver's request log failed: %s" % err.decode(errors="replace"))
    return out.decode().splitlines()


def run_command(card, arguments, extra_env=None, cwd=None):
    """Runs a program of the prefix (msiexec, reg, cmd); returns (exit status, stdout, stderr)."""
    result = _wine(card, *arguments, extra_env=extra_env, check=False, cwd=cwd)
    return result.returncode, result.stdout, result.stderr


def prefix_path(card, windows_path_text):
    """The Unix path of a path on the prefix's drive C:."""
    drive, rest = windows_path_text.split(":", 1)
    assert drive.upper() == "C"
    return os.path.join(card["env"]["WINEPREFIX"], "drive_c", *rest.strip("\\").split("\\"))


@contextlib.contextmanager
def wine_card(build_dir, tools_dir=None):
    """A prefix with the stand-in driver running as the demo card (0x18 and 0x20). The
    two tools come from the build, or from tools_dir (a release's signed executables)."""
    wine = _find(["wine64", "wine"], ["/usr/lib/wine", "/usr/lib64/wine"])
    wineserver = _find(["wineserver"], [os.path.dirname(wine), "/usr/lib/wine"])
    root = tempfile.mkdtemp(prefix="pelk-wine-")
    env = {key: value for key, value in os.environ.items() if key != "DISPLAY"}
    env.update(WINEPREFIX=os.path.join(root, "prefix"), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    card = {"wine": wine, "env": env, "root": root, "bin": os.path.join(root, "bin")}
    server_started = False
    try:
        os.makedirs(card["bin"])
        for name, folder in STAGED.items():
            source = os.path.join(build_dir, folder, name)
            if tools_dir and name in ("smbus_scan.exe", "kiv_reset.exe"):
                source = os.path.join(tools_dir, name)
            shutil.copy(source, card["bin"])
        # Set the prefix up once with a trivial program, then keep one server for the
        # whole run, so that the driver's host process stays up between programs.
        _wine(card, "cmd", "/c", "exit")
        subprocess.run([wineserver, "-w"], env=env, timeout=STEP_TIMEOUT)
        subprocess.run([wineserver, "-p"], env=env, check=True, timeout=STEP_TIMEOUT,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        server_started = True
        drivers = os.path.join(env["WINEPREFIX"], "drive_c", "windows", "system32", "drivers")
        shutil.copy(os.path.join(build_dir, "standins", DRIVER_FILE), drivers)
        _wine(card, "sc", "create", SERVICE, "type=", "kernel", "start=", "demand",
              "binPath=", "C:\\windows\\system32\\drivers\\" + DRIVER_FILE)
        start_driver(card)
        yield card
    finally:
        if server_started:
            with contextlib.suppress(Exception):
                stop_driver(card)
            subprocess.run([wineserver, "-k"], env=env, timeout=STEP_TIMEOUT, check=False)
            subprocess.run([wineserver, "-w"], env=env, timeout=STEP_TIMEOUT, check=False)
        shutil.rmtree(root, ignore_errors=True)
