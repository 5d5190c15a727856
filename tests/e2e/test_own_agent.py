#!/usr/bin/env python3
"""The app's own polkit agent with the real pkexec, polkitd and polkit's helper, in a session
without an agent of its own: an administrator (a member of sudo, whom Debian's rules make one)
runs the packaged app under Xvfb and saves the settings, which runs the installed helper as root.
Our dialog asks for the password: a wrong one is refused and asked again, the right one stores the
settings, Cancel stores nothing and says so; while another agent serves the app (polkit's own text
agent, pkttyagent), ours never shows.

Needs root (CI runs it): it starts a system D-Bus and polkitd when none runs, installs the helper,
the policy, a configuration and a test user, and removes and stops all of it again, whatever
happens. Exits 77 (skipped) when it cannot run here."""

import contextlib
import fcntl
import json
import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import termios
from pathlib import Path

import harness as h
from harness import ACTIONS, AGENT_DIR, POLKITD

USER, PASSWORD = "tavrel-agent-admin-test", "Adm1n pass"
CONFIG = AGENT_DIR / "config.json"
AUTH_TITLE = "Authentication Required"
SAVE, LOCATION = (20, 226, 138, 28), (150, 166, 290, 22)  # in the settings form
STATUS = (20, 262, 420, 40)  # the sheet's status line, below the buttons
RECORD = {"computerID": "C-OWN-1", "token": "T-1", "clientID": "CL-1", "clientName": "Acme",
          "locationName": "Old", "apiBaseUrl": "https://tavrel.invalid/api", "agentVersion": "1.0.0"}


def test(args):
    helper = Path(args.install_path)
    h.skip_unless_root(("pkexec", "dbus-daemon", "useradd", "userdel", "chpasswd", "runuser", "Xvfb", "xdotool",
                        "pkttyagent", POLKITD, "/usr/lib/polkit-1/polkit-agent-helper-1"), (helper, ACTIONS, CONFIG),
                       [USER] if USER in (u.pw_name for u in pwd.getpwall()) else [])

    with contextlib.ExitStack() as undo, h.Session("own_agent", budget=200) as s:
        h.install_helper(undo, args, helper)
        CONFIG.write_text(json.dumps(RECORD))
        undo.callback(CONFIG.unlink, missing_ok=True)
        CONFIG.chmod(0o644)
        h.add_user(undo, USER, "-G", "sudo")
        subprocess.run(["chpasswd"], input=f"{USER}:{PASSWORD}".encode(), check=True)
        h.start_polkit(undo)
        h.wait_for("polkitd", lambda: subprocess.run(["pkaction", "--action-id", "com.tavrel.agent.write-config"],
                                                     capture_output=True).returncode == 0, 20)

        # The app as the administrator, in a folder of its own (the build tree is root's).
        home = Path(tempfile.mkdtemp(prefix="tavrel-own-agent-"))
        undo.callback(shutil.rmtree, home, ignore_errors=True)
        app = home / "tavrel-agent"
        shutil.copy(args.app, app)
        user = pwd.getpwnam(USER)
        for path in (home, app):  # mkdtemp makes the folder private
            os.chown(path, user.pw_uid, user.pw_gid)
        s.start_xvfb()
        env = dict(s.x_env(), XDG_RUNTIME_DIR=str(home), HOME=str(home))

        out = open(s.tmp / "app.out", "wb")  # shown when the test fails
        undo.callback(out.close)
        runner = s.spawn(["runuser", "-u", USER, "--", "env", *(f"{k}={v}" for k, v in env.items()), app],
                         stdout=out, stderr=subprocess.STDOUT)
        main = s.window(h.MAIN_TITLE, 20)
        app_pid = int(h.wait_for("the app", lambda: subprocess.run(["pgrep", "-u", USER, "-x", "tavrel-agent"],
                                                                   capture_output=True, text=True).stdout.split())[0])

        def save(location):
            s.click(main, h.SETUP_SETTINGS)
            sheet = s.window(h.SETTINGS_TITLE)
            s.click(sheet, LOCATION)
            s.run(["xdotool", "key", "ctrl+a", "type", location])
            s.click(sheet, SAVE)
            return sheet

        def close(sheet):
            s.run(["xdotool", "windowfocus", "--sync", sheet, "key", "Escape"])
            s.wait_gone(sheet, h.SETTINGS_TITLE)

        # A wrong password is refused and asked again (in red); the right one stores the settings.
        sheet = save("Lab 9")
        dialog = s.window(AUTH_TITLE, 30)
        s.enter(dialog, "wrong password")
        h.wait_for("the retry text", lambda: s.shows_colour(dialog, (0, 0, *s.geometry(dialog)[2:]), h.RED), 20)
        h.check(json.loads(CONFIG.read_text()) == RECORD, "stored after a wrong password")
        s.enter(dialog, PASSWORD)
        s.wait_gone(dialog, AUTH_TITLE)
        h.wait_for("the settings to be stored", lambda: json.loads(CONFIG.read_text())["locationName"] == "Lab 9", 20)
        h.check(CONFIG.stat().st_uid == 0 and CONFIG.stat().st_mode & 0o777 == 0o644, f"stored as {CONFIG.stat()}")
        h.check(json.loads(CONFIG.read_text()) == dict(RECORD, locationName="Lab 9"), "not just the location")
        h.wait_for("Settings saved. in green", lambda: s.shows_colour(sheet, STATUS, h.GREEN))

        # Cancel (Escape) stores nothing and says the request was cancelled.
        close(sheet)
        sheet = save("Lab 10")
        dialog = s.window(AUTH_TITLE, 30)
        s.run(["xdotool", "windowfocus", "--sync", dialog, "key", "Escape"])
        s.wait_gone(dialog, AUTH_TITLE)
        h.wait_for("the cancel to be reported", lambda: "The request was cancelled" in s.app_output(), 20)
        h.check(json.loads(CONFIG.read_text())["locationName"] == "Lab 9", "stored after Cancel")
        close(sheet)

        # With another agent for the app, polkit's own text agent (as a session's would be), that one
        # asks, on the terminal it is given, not ours.
        terminal, agent_terminal = os.openpty()
        registered, notify = os.pipe()
        tty_agent = subprocess.Popen(["pkttyagent", "--process", str(app_pid), "--notify-fd", str(notify)],
                                     stdin=agent_terminal, stdout=agent_terminal, stderr=agent_terminal,
                                     pass_fds=(notify,), start_new_session=True,
                                     preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        undo.callback(tty_agent.kill)
        os.close(notify)
        h.check(os.read(registered, 1) == b"" and tty_agent.poll() is None, "pkttyagent did not register")
        sheet = save("Lab 11")
        said = bytearray()
        os.set_blocking(terminal, False)

        def asks():
            with contextlib.suppress(BlockingIOError):
                said.extend(os.read(terminal, 4096))
            return b"Password:" in said

        h.wait_for("pkttyagent to ask", asks, 30)
        h.check(b"com.tavrel.agent.write-config" in said, f"pkttyagent was asked: {bytes(said)!r}")
        os.write(terminal, PASSWORD.encode() + b"\n")
        h.wait_for("the settings to be stored", lambda: json.loads(CONFIG.read_text())["locationName"] == "Lab 11", 30)
        h.check(not s.visible_windows(AUTH_TITLE), "our dialog opened beside the other agent")
        close(sheet)
        h.check(runner.poll() is None, f"the app ended: {s.app_output()}")


if __name__ == "__main__":
    sys.exit(h.main(test))
