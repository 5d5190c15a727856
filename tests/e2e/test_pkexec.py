#!/usr/bin/env python3
"""The real pkexec and polkitd with our policy: a user whom the rules allow the service and
append-log actions, and deny write-config, runs the installed helper through pkexec.

Needs root and a machine without a desktop session of its own (CI): it starts a system D-Bus and
polkitd when none runs, installs the helper, the policy, a rules file and a test user, and removes
and stops all of it again, whatever happens. Exits 77 (skipped) when it cannot run here."""

import argparse
import contextlib
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

SKIP = 77
USER = "tavrel-pkexec-test"
BUS = Path("/run/dbus/system_bus_socket")
POLKITD = Path("/usr/lib/polkit-1/polkitd")
ACTIONS = Path("/usr/share/polkit-1/actions/com.tavrel.agent.policy")
RULES = Path("/etc/polkit-1/rules.d/10-tavrel-agent-test.rules")
AGENT_DIR = Path("/var/tavrel/agentservice")
LINE = b"[2025-03-07T14:05:09Z] [INFO] written as root through pkexec"


def skip(reason):
    print(f"SKIP: {reason}")
    sys.exit(SKIP)


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def bus_answers():
    with socket.socket(socket.AF_UNIX) as probe:
        try:
            probe.connect(str(BUS))
            return True
        except OSError:
            return False


def as_user(helper, *args, stdin=b""):
    return subprocess.run(["runuser", "-u", USER, "--", "pkexec", helper, *args], input=stdin,
                          capture_output=True, timeout=60)


def rules(helper):
    return f"""// Installed by the Tavrel agent's pkexec test, and removed by it.
polkit.addRule(function(action, subject) {{
    if (subject.user != "{USER}")
        return polkit.Result.NOT_HANDLED;
    if (action.id == "com.tavrel.agent.service" || action.id == "com.tavrel.agent.append-log")
        return polkit.Result.YES;
    if (action.id == "com.tavrel.agent.write-config")
        return polkit.Result.NO;
    // Lets the helper itself see --root under pkexec, which it must refuse.
    if (action.id == "org.freedesktop.policykit.exec" && action.lookup("program") == "{helper}" &&
        action.lookup("command_line").indexOf("{helper} --root ") == 0)
        return polkit.Result.YES;
    return polkit.Result.NOT_HANDLED;
}});
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--helper", required=True, help="the built tavrel-agent-helper")
    parser.add_argument("--policy", required=True, help="the built com.tavrel.agent.policy")
    parser.add_argument("--install-path", required=True, help="where the policy expects the helper")
    args = parser.parse_args()
    try:
        test(args)
    except AssertionError as failure:
        print(f"FAIL: {failure}")
        return 1
    print("PASS")
    return 0


def test(args):
    if os.geteuid() != 0:
        skip("needs root (CI runs it)")
    for tool in ("pkexec", "dbus-daemon", "useradd", "userdel", "runuser"):
        if not shutil.which(tool):
            skip(f"{tool} is not installed")
    if not POLKITD.exists():
        skip("polkitd is not installed")
    helper = Path(args.install_path)
    for path in (helper, ACTIONS, RULES):
        if path.exists():
            skip(f"{path} exists already: this test installs its own and would not restore it")

    with contextlib.ExitStack() as undo:
        # What is installed first is removed last.
        made = [p for p in reversed([helper.parent, *helper.parent.parents]) if not p.exists()]
        helper.parent.mkdir(parents=True, exist_ok=True)
        undo.callback(lambda: [shutil.rmtree(p, ignore_errors=True) for p in made[:1]])
        shutil.copy(args.helper, helper)
        helper.chmod(0o755)
        undo.callback(helper.unlink, missing_ok=True)
        shutil.copy(args.policy, ACTIONS)
        undo.callback(ACTIONS.unlink, missing_ok=True)
        RULES.parent.mkdir(parents=True, exist_ok=True)
        RULES.write_text(rules(helper))
        undo.callback(RULES.unlink, missing_ok=True)

        try:
            pwd.getpwnam(USER)
        except KeyError:
            subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", USER],
                           check=True)
            undo.callback(subprocess.run, ["userdel", USER], check=False)

        agent_made = [p for p in reversed([AGENT_DIR, *AGENT_DIR.parents]) if not p.exists()]
        check(not (AGENT_DIR / "config.json").exists() and not (AGENT_DIR / "activity.log").exists(),
              f"{AGENT_DIR} holds an agent's files; not touching them")
        AGENT_DIR.mkdir(parents=True, exist_ok=True)
        undo.callback(lambda: [shutil.rmtree(p, ignore_errors=True) for p in agent_made[:1]])

        if not bus_answers():
            started = subprocess.run(["dbus-daemon", "--system", "--fork", "--print-pid"], capture_output=True,
                                     text=True, check=True)
            bus_pid = int(started.stdout.split()[0])
            undo.callback(lambda: [BUS.unlink(missing_ok=True), Path("/run/dbus/pid").unlink(missing_ok=True)])
            undo.callback(os.kill, bus_pid, signal.SIGTERM)
            for _ in range(50):
                if bus_answers():
                    break
                time.sleep(0.1)
        if subprocess.run(["pgrep", "-x", "polkitd"], capture_output=True).returncode != 0:
            polkitd = subprocess.Popen([POLKITD, "--no-debug"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            undo.callback(polkitd.wait, 10)
            undo.callback(polkitd.terminate)

        # polkitd reads the policy and the rules on start or shortly after they change.
        deadline = time.monotonic() + 20
        while True:
            allowed = as_user(helper, "append-log", stdin=LINE + b"\n")
            if allowed.returncode == 0 or time.monotonic() > deadline:
                break
            time.sleep(0.5)
        check(allowed.returncode == 0, f"append-log was not allowed: {allowed.returncode} {allowed.stderr!r}")
        log = AGENT_DIR / "activity.log"
        info = log.stat()
        check(log.read_bytes() == LINE + b"\n", f"the log holds {log.read_bytes()!r}")
        check(info.st_uid == 0 and info.st_mode & 0o777 == 0o644, "the log is not root's with mode 644")

        service = as_user(helper, "service", "restart")
        check(b"Not authorized" not in service.stderr and service.returncode not in (126, 127),
              f"the service action was not allowed: {service.returncode} {service.stderr!r}")

        denied = as_user(helper, "write-config", stdin=b'{"computerID": "x"}')
        check(denied.returncode == 127 and b"Not authorized" in denied.stderr,
              f"write-config was not refused by polkit: {denied.returncode} {denied.stderr!r}")
        check(not (AGENT_DIR / "config.json").exists(), "a refused write-config changed the configuration")

        elsewhere = Path("/tmp") / f"tavrel-pkexec-test-{os.getpid()}"
        moved = as_user(helper, "--root", str(elsewhere), "append-log", stdin=LINE + b"\n")
        check(moved.returncode == 1 and b"--root is not accepted" in moved.stderr,
              f"the helper took --root under pkexec: {moved.returncode} {moved.stderr!r}")
        check(not elsewhere.exists(), "the helper wrote under the --root it was given")
        check(log.read_bytes() == LINE + b"\n", "the log changed after the refusals")


if __name__ == "__main__":
    sys.exit(main())
