#!/usr/bin/env python3
"""The real pkexec and polkitd with our policy: a user whom the rules allow the append-log action,
and write-config only as a registration stores it (with its log line), runs the installed helper
through pkexec; each authorisation check is counted.

Needs root and a machine without a desktop session of its own (CI): it starts a system D-Bus and
polkitd when none runs, installs the helper, the policy, a rules file and a test user, and removes
and stops all of it again, whatever happens. Exits 77 (skipped) when it cannot run here."""

import contextlib
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import harness as h
from harness import ACTIONS, AGENT_DIR, POLKITD

USER = "tavrel-pkexec-test"
RULES = Path("/etc/polkit-1/rules.d/10-tavrel-agent-test.rules")
LOG = AGENT_DIR / "activity.log"
LINE = b"[2025-03-07T14:05:09Z] [INFO] written as root through pkexec\n"
# Only its own action may let append-log through: the generic one is allowed for --root command
# lines alone, which the helper must refuse.
CONFIG = (b'{"computerID": "C-1", "token": "T-1", "clientID": "CL-1", "clientName": "Acme", '
          b'"locationName": "", "apiBaseUrl": "https://h/api", "agentVersion": "1.0.0"}')
REGISTERED = b"[2025-03-07T14:05:10Z] [INFO] Agent registered successfully. ComputerID: C-1\n"
# Each check is counted in a file of the test's, written by a process polkitd starts as its own user.
RULES_TEXT = """// Installed by the Tavrel agent's pkexec test, and removed by it.
polkit.addRule(function(action, subject) {
    if (subject.user != "%(user)s") return polkit.Result.NOT_HANDLED;
    polkit.spawn(["/bin/sh", "-c", 'printf "%%s\\n" "$0" >>"$1"', action.id, "%(checks)s"]);
    if (action.id == "com.tavrel.agent.write-config")
        return action.lookup("command_line") == "%(helper)s write-config with-log" ? "yes" : "no";
    var yes = action.id == "com.tavrel.agent.append-log" || (action.id == "org.freedesktop.policykit.exec" &&
        action.lookup("command_line").indexOf("%(helper)s --root ") == 0);
    return yes ? "yes" : polkit.Result.NOT_HANDLED;
});"""


def as_user(helper, *args, stdin=b""):
    return subprocess.run(["runuser", "-u", USER, "--", "pkexec", helper, *args], input=stdin,
                          capture_output=True, timeout=60)


def test(args):
    helper = Path(args.install_path)
    # Only root may look into polkit's rules folder. The test makes its own files, and would not restore these.
    h.skip_unless_root(("pkexec", "dbus-daemon", "useradd", "userdel", "runuser", POLKITD),
                       (helper, ACTIONS, RULES, LOG, AGENT_DIR / "config.json"))

    with contextlib.ExitStack() as undo:  # what is installed first is removed last
        h.make_folder(undo, RULES.parent)
        h.install_helper(undo, args, helper)
        scratch = Path(tempfile.mkdtemp(prefix="tavrel-pkexec-test-"))
        undo.callback(shutil.rmtree, scratch)
        scratch.chmod(0o755)
        checks = scratch / "checks"
        checks.touch()
        checks.chmod(0o666)
        RULES.write_text(RULES_TEXT % {"user": USER, "helper": helper, "checks": checks})
        undo.callback(RULES.unlink, missing_ok=True)
        h.add_user(undo, USER, "--system")
        h.start_polkit(undo)

        # polkitd reads the policy and the rules on start or shortly after they change.
        h.wait_for("append-log to be allowed", lambda: as_user(helper, "append-log", stdin=LINE).returncode == 0, 20)
        info = LOG.stat()
        h.check(LOG.read_bytes() == LINE and info.st_uid == 0 and info.st_mode & 0o777 == 0o644, f"the log: {info}")
        denied = as_user(helper, "write-config", stdin=CONFIG)
        h.check(denied.returncode == 127 and b"Not authorized" in denied.stderr and
                not (AGENT_DIR / "config.json").exists(), f"write-config: {denied.returncode} {denied.stderr!r}")
        # A registration: the record and its log line in one run, one check of one action.
        checks.write_text("")
        stored = as_user(helper, "write-config", "with-log", stdin=REGISTERED + CONFIG)
        h.check(stored.returncode == 0 and (AGENT_DIR / "config.json").read_bytes() == CONFIG and
                LOG.read_bytes() == LINE + REGISTERED, f"write-config with-log: {stored.returncode} {stored.stderr!r}")
        h.wait_for("the check to be counted", lambda: checks.read_text())
        h.check(checks.read_text() == "com.tavrel.agent.write-config\n", f"checks: {checks.read_text()!r}")
        elsewhere = scratch / "root"  # a --root the helper could write to
        (elsewhere / AGENT_DIR.relative_to("/")).mkdir(parents=True)
        moved = as_user(helper, "--root", elsewhere, "append-log", stdin=LINE)
        h.check(moved.returncode == 1 and not list(elsewhere.rglob("*.log")) and LOG.read_bytes() == LINE + REGISTERED,
                f"the helper took --root under pkexec: {moved.returncode} {moved.stderr!r}")


if __name__ == "__main__":
    sys.exit(h.main(test))
