#!/usr/bin/env python3
"""Register through the setup sheet against the stand-in server, then Stop, Start and Restart the
stand-in agent from the main window; a second demo on the same sandbox gives way at once."""

import re
import subprocess
import sys

import harness as h

USER, PASSWORD, LOCATION = "e2e-admin", "pa ss'w\"rd", "Lab 2"  # blanks and quotes are sent as typed


def test(args):
    with h.Session("register", budget=100) as s:
        s.start_xvfb()
        api, requests = s.start_server(args.server, USER, PASSWORD)
        box = s.sandbox(api)
        canary = s.tmp / "canary"
        # Typed text reaches the configuration and the log unchanged, and never a shell.
        client = f"O'Brien & \"Sons\" $(touch {canary}) `touch {canary}`"
        app = s.start_app(args.app, box)
        main = s.window(h.MAIN_TITLE, timeout=20)

        second = s.start_app(args.app, box, log_name="second")
        try:
            status = second.wait(timeout=15)
        except subprocess.TimeoutExpired:
            raise h.Failure("a second instance on the same sandbox is still running") from None
        h.check(status == 0 and not s.app_output("second").strip(),
                f"the second instance exited with {status}: {s.app_output('second')}")
        h.check(len(s.visible_windows(h.MAIN_TITLE)) == 1, "the second instance showed a window")

        h.wait_for("the running state in green", lambda: s.shows_colour(main, h.SERVICE_STATUS, h.GREEN))
        h.check(s.shows_colour(main, h.REGISTRATION_SENTENCE, h.ORANGE), "not shown as unregistered in orange")
        s.click(main, h.SETUP_SETTINGS)
        sheet = s.window(h.SETUP_TITLE)
        for frame, text in ((h.REG_USERNAME, USER), (h.REG_PASSWORD, PASSWORD), (h.REG_CLIENT, client),
                            (h.REG_LOCATION, LOCATION)):
            s.type_into(sheet, frame, text)
        s.click(sheet, h.REG_REGISTER)
        s.wait_gone(sheet, "the setup sheet after registering")

        config = h.wait_for("a registered configuration", lambda: (box.read_config() or {}).get("token") and
                            box.read_config())
        sent = s.server_requests(requests, "/register/")
        h.check(len(sent) == 1 and sent[0]["status"] == 200, f"expected one accepted registration: {sent}")
        h.check({k: sent[0]["body"].get(k) for k in ("username", "password", "clientName", "locationName")}
                == {"username": USER, "password": PASSWORD, "clientName": client, "locationName": LOCATION}
                and "computerID" not in sent[0]["body"], f"not sent as typed: {sent[0]['body']}")
        h.check(config["computerID"] and config["clientName"] == client and config["locationName"] == LOCATION
                and config["apiBaseUrl"] == api, f"unexpected stored settings: {config}")
        line = f"[INFO] Agent registered successfully. ComputerID: {config['computerID']} Client: {client} " \
               f"Location: {LOCATION}"
        h.check(re.search(r"^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] " + re.escape(line) + "$", box.log_text(), re.M),
                f"the log lacks the line {line!r}")
        h.wait_for("the agent to see the registration",
                   lambda: f"Registered. ComputerID: {config['computerID']}" in box.log_text())
        h.check(not canary.exists(), "typed text was executed by a shell")
        h.wait_for("the registration in green", lambda: s.shows_colour(main, h.REGISTRATION_SENTENCE, h.GREEN))

        first = box.agent_pids()
        s.click(main, h.STOP)
        h.wait_for("the agent to stop", lambda: not box.agent_pids())
        # The refresh that shows "Stopped" in red also enables Start.
        h.wait_for("the stopped state in red", lambda: s.shows_colour(main, h.SERVICE_STATUS, h.RED))
        s.click(main, h.START)
        started = h.wait_for("the agent to start again", box.agent_pids)
        h.check(set(started).isdisjoint(first), "Start did not start a new agent process")
        h.wait_for("the running state in green", lambda: s.shows_colour(main, h.SERVICE_STATUS, h.GREEN))
        s.click(main, h.RESTART)
        h.wait_for("the agent to restart", lambda: set(box.agent_pids() or started).isdisjoint(started))
        h.check(app.poll() is None, "the app quit: " + s.app_output())


if __name__ == "__main__":
    sys.exit(h.main(test))
