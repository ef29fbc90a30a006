"""The stand-in PELK card under Wine, for the Windows test suite and the demo.

Sets up a fresh, temporary Wine prefix with a persistent server, installs the stand-in
SMBus driver as a kernel service, stages the tools with the stand-in kiv.dll beside
kiv_reset.exe, and tears it all down again, whether the run passed or failed."""

import contextlib
import os
import re
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
# How long the driver's service may take to reach the state asked of it; under load, Wine's
# service manager alone waits up to 10 s for the driver's host process to answer a control.
SERVICE_WAIT = 90
# sc's refusals that mean "not now": the host did not answer in time (1053), the service
# can't take a control at the moment (1061), or an internal error of Wine's service manager
# (1359: seen once, on the first start under a compile load, the service left STOPPED;
# later runs started it). The control is sent again after a pause, within
# SERVICE_WAIT: a driver that really fails to start still fails, with the last answer.
NOT_NOW = (1053, 1061, 1359)
RESEND_PAUSE = 2
# Wine's own ways of ending a run that say nothing about the program run: status 1 and no
# output at all, before the program has run (about one start in a thousand here; none of
# the programs run here ever does that); and status 127 with the Unix loader's assertion
# as Wine's own process exits (seen under load), which takes the program's status with it.
# Only the programs we build are started once more after them (run_tool), and only once:
# a second run of msiexec, reg, sc or a cmd script is not the first one's twin (an
# uninstall answers 1605, an install becomes a repair, a second sc stop ends the driver's
# host), so their hiccups fail the run that met them.
LOADER_ASSERTION = re.compile(
    rb"^Inconsistency detected by ld\.so: dl-fini\.c: \d+: _dl_fini: Assertion .* failed!"
    rb"\r?(?:\n|\Z)", re.M)


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


def wine_hiccup(status, out, err, streams="separate"):
    """How Wine itself, not the program, ended a run (for a message), or None. out and err
    as _wine_once captures them for streams."""
    # "No output" only where the rig sees every stream the program could write: with
    # standard output on /dev/full, whatever it wrote there is lost, and kiv_reset's status
    # 1 says why on standard output alone.
    if status == 1 and streams != "stdout_full" and not out and not err:
        return "ended with status 1 and no output"
    # Merged, all of the output is in out.
    if status == 127 and LOADER_ASSERTION.search(out if streams == "merged" else err):
        return "ended with status 127 on the loader's assertion at exit"
    return None


def _start(card, arguments, extra_env, streams, cwd):
    """One run under Wine, or of the runs a table row scripts in card["run_once"]."""
    return card.get("run_once", _wine_once)(card, arguments, extra_env, streams, cwd)


def _wine(card, *arguments, extra_env=None, check=True, streams="separate", cwd=None):
    """One run, never repeated. streams: "separate"; "merged", standard error into the same
    file as standard output (as 2>&1), all of it returned as stdout; "stdout_full",
    standard output on /dev/full."""
    result = _start(card, arguments, extra_env, streams, cwd)
    if check and result.returncode != 0:
        raise WineError("wine %s failed (%d): %s%s" % (
            " ".join(arguments), result.returncode,
            result.stdout.decode(errors="replace"), result.stderr.decode(errors="replace")))
    return result


def _without_assertion(data):
    return LOADER_ASSERTION.sub(b"", data)


def _run_ours(card, arguments, extra_env, streams, cwd, before_rerun):
    """A run of a program we build (or of the prefix's setup), started once more, after
    before_rerun, if Wine ended it. After the loader's assertion the first run did run to
    its end: its output, less that line, must be the rerun's; if it is not, the first run
    is what counts, the rerun's end added to its standard error, so that the case fails
    and shows both."""
    first = _start(card, arguments, extra_env, streams, cwd)
    hiccup = wine_hiccup(first.returncode, first.stdout, first.stderr, streams)
    if not hiccup:
        return first
    card["retries"] = card.get("retries", 0) + 1
    print("wine_card: %s %s; started once more" % (" ".join(arguments), hiccup),
          file=sys.stderr)
    if before_rerun:
        before_rerun()
    rerun = _start(card, arguments, extra_env, streams, cwd)
    # Status 1 and no output: the program never ran.
    if first.returncode != 127:
        return rerun
    if (_without_assertion(first.stdout), _without_assertion(first.stderr)) == (rerun.stdout,
                                                                                 rerun.stderr):
        return rerun
    shown = (b"wine_card: the rerun printed other output: status %d, stdout %r, stderr %r\n"
             % (rerun.returncode, rerun.stdout, rerun.stderr))
    print("wine_card: %s: the run that ended on the loader's assertion printed stdout %r, "
          "stderr %r; %s" % (" ".join(arguments), first.stdout, first.stderr,
                             shown.decode(errors="replace")), end="", file=sys.stderr)
    return subprocess.CompletedProcess(arguments, first.returncode, first.stdout,
                                       first.stderr + shown)


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


def run_tool(card, exe, arguments, extra_env=None, streams="separate", cwd=None, folder=None,
             before_rerun=None):
    """Runs a program we build, staged in folder (default: the card's bin folder), once
    more after a hiccup of Wine's, before_rerun called first; returns (exit status, stdout
    bytes, stderr bytes)."""
    result = _run_ours(card, (os.path.join(folder or card["bin"], exe), *arguments),
                       extra_env, streams, cwd, before_rerun)
    return result.returncode, result.stdout, result.stderr


def retries(card):
    """How many runs were started once more after a hiccup of Wine's."""
    return card.get("retries", 0)


def _kiv_log_path(card):
    return os.path.join(card["root"], "kiv_calls.log")


def with_kiv_calls(card, run, extra_env=None):
    """Calls run(env): extra_env, and where the stand-in kiv.dll logs the calls it
    receives; returns run's result and those calls."""
    log_path = _kiv_log_path(card)
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

    def empty_log():
        # The stand-in kiv.dll appends to its log: the calls of the run that counts only.
        with contextlib.suppress(FileNotFoundError):
            os.remove(_kiv_log_path(card))

    (status, out, err), calls = with_kiv_calls(
        card, lambda env: run_tool(card, "kiv_reset.exe", arguments, env,
                                   before_rerun=empty_log, **where), extra_env)
    return status, out, err, calls


def _service_state(card):
    result = _wine(card, "sc", "query", SERVICE, check=False)
    for line in result.stdout.decode(errors="replace").splitlines():
        if "STATE" in line:
            return line.split()[-1]
    return "MISSING"


def _sc_control(card, control):
    """sc start or stop of the driver's service: 0 if taken, else the error sc names, None if
    it names none. Wine's sc names it only on Wine's error channel, hidden here otherwise."""
    result = _wine(card, "sc", control, SERVICE, extra_env={"WINEDEBUG": "-all,err+sc"},
                   check=False)
    if result.returncode == 0:
        return 0
    found = re.search(rb"failed to \w+ service (\d+)", result.stderr)
    return int(found.group(1)) if found else None


def _prefix_processes(card):
    """The processes of the card's prefix, one "pid command line" each, and which of them has
    the driver loaded. (Wine 8's tasklist prints nothing.)"""
    marker = ("WINEPREFIX=" + card["env"]["WINEPREFIX"]).encode()
    found = []
    for pid in sorted((entry for entry in os.listdir("/proc") if entry.isdigit()), key=int):
        with contextlib.suppress(OSError):
            with open("/proc/%s/environ" % pid, "rb") as environ:
                if marker not in environ.read().split(b"\0"):
                    continue
            with open("/proc/%s/cmdline" % pid, "rb") as cmdline:
                command = cmdline.read().replace(b"\0", b" ").decode(errors="replace").strip()
            with open("/proc/%s/maps" % pid, encoding="latin-1") as maps:
                if DRIVER_FILE in maps.read():
                    command += "  (has %s loaded)" % DRIVER_FILE
            found.append("%s %s" % (pid, command))
    return found


def _bring_driver_to(card, wanted):
    """Sends the control that leads to wanted (RUNNING or STOPPED) and waits for it; sends
    it again, after a pause, for as long as sc answers "not now", and only then: Wine takes
    a second stop of a service that is still running as an order to end its host process."""
    control = {"RUNNING": "start", "STOPPED": "stop"}[wanted]
    deadline = time.monotonic() + SERVICE_WAIT
    answer = sent_at = None
    while True:
        state = _service_state(card)
        if state == wanted:
            return
        now = time.monotonic()
        if now > deadline:
            break
        # Not while a start or stop is pending: the service takes no control then.
        settled = state in ("RUNNING", "STOPPED")
        if settled and (sent_at is None or answer in NOT_NOW and now - sent_at >= RESEND_PAUSE):
            if sent_at is not None:
                print("wine_card: sc %s %s answered error %s with the service %s; sent again"
                      % (control, SERVICE, answer, state), file=sys.stderr)
            answer, sent_at = _sc_control(card, control), time.monotonic()
            # Taken, or the service is there already (1056 running, 1062 not active).
            if answer not in (0, 1056, 1062) + NOT_NOW:
                break
        time.sleep(0.2)
    if sent_at is None:
        said = "was not sent: the service never left a pending state"
    elif answer == 0:
        said = "was taken"
    else:
        said = "answered error %s" % answer
    # Wine 8's sc has no queryex.
    query = _wine(card, "sc", "query", SERVICE, check=False)
    raise WineError(
        "the stand-in driver did not reach %s in %d s (last state %s; sc %s %s)\n"
        "sc query %s:\n%s\nprocesses in the prefix:\n%s" % (
            wanted, SERVICE_WAIT, state, control, said, SERVICE,
            query.stdout.decode(errors="replace").strip(), "\n".join(_prefix_processes(card))))


def start_driver(card):
    _bring_driver_to(card, "RUNNING")


def stop_driver(card):
    _bring_driver_to(card, "STOPPED")


def configure(card, present, fail_address=None, fail_status=None):
    """Replaces the card the driver pretends to be and empties its request log."""
    arguments = ["configure", ",".join("%x" % a for a in present) or "none"]
    if fail_address is not None:
        arguments += ["%x" % fail_address, "%x" % fail_status]
    status, out, err = run_tool(card, "smbus_standin_ctl.exe", arguments)
    if status != 0:
        raise WineError("configuring the stand-in card failed (status %d): %s" % (
            status, err.decode(errors="replace")))


def run_scanner(card, exe, arguments, present, fail=None, extra_env=None, streams="separate"):
    """Runs a scanner (exe, staged in the card's bin folder) against the stand-in card
    configured as present, with fail (address, NTSTATUS) failing; configured again before
    a rerun, so that the request log holds the requests of the run that counts only."""

    def configured():
        configure(card, present, *(fail or (None, None)))

    configured()
    return run_tool(card, exe, arguments, extra_env, streams, before_rerun=configured)


def request_log(card):
    """Every probe request since the last configure, as driver log lines."""
    status, out, err = run_tool(card, "smbus_standin_ctl.exe", ["log"])
    if status != 0:
        raise WineError("reading the driver's request log failed: %s" % err.decode(errors="replace"))
    return out.decode().splitlines()


def run_command(card, arguments, extra_env=None, cwd=None):
    """Runs a program of the prefix (msiexec, reg, sc, cmd) once, whatever Wine does; returns
    (exit status, stdout, stderr)."""
    result = _wine(card, *arguments, extra_env=extra_env, check=False, cwd=cwd)
    return result.returncode, result.stdout, result.stderr


def prefix_path(card, windows_path_text):
    """The Unix path of a path on the prefix's drive C:."""
    drive, rest = windows_path_text.split(":", 1)
    assert drive.upper() == "C"
    return os.path.join(card["env"]["WINEPREFIX"], "drive_c", *rest.strip("\\").split("\\"))


def _set_up_prefix(card):
    """Makes the prefix with a trivial program: Wine's setup of a prefix, not there yet or
    whole, is safe to start once more after Wine's own hiccup."""
    result = _run_ours(card, ("cmd", "/c", "exit"), None, "separate", None, None)
    if result.returncode != 0:
        raise WineError("setting the prefix up failed (%d): %s%s" % (
            result.returncode, result.stdout.decode(errors="replace"),
            result.stderr.decode(errors="replace")))


@contextlib.contextmanager
def wine_card(build_dir, tools_dir=None):
    """A prefix with the stand-in driver running as the demo card (0x18 and 0x20). The
    two tools come from the build, or from tools_dir (a release's signed executables)."""
    wine = _find(["wine64", "wine"], ["/usr/lib/wine", "/usr/lib64/wine"])
    wineserver = _find(["wineserver"], [os.path.dirname(wine), "/usr/lib/wine"])
    root = tempfile.mkdtemp(prefix="pelk-wine-")
    env = {key: value for key, value in os.environ.items() if key != "DISPLAY"}
    # Wine 10 says on standard error that XDG_RUNTIME_DIR is not set where it isn't (a clean
    # environment, as CI's): the tools' own streams are what the cases compare.
    os.makedirs(os.path.join(root, "xdg"), mode=0o700)
    env.update(XDG_RUNTIME_DIR=os.path.join(root, "xdg"))
    env.update(WINEPREFIX=os.path.join(root, "prefix"), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    card = {"wine": wine, "env": env, "root": root, "bin": os.path.join(root, "bin"),
            "retries": 0}
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
        _set_up_prefix(card)
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
