#!/usr/bin/env python3
"""A computer's life in the real app, against the stand-in server and agent: a second instance gives
way; register through the setup sheet; Stop, Start and Restart the agent; re-authenticate and
unregister through the settings form."""

import sys

import harness as h

USER, PASSWORD, LOCATION = "e2e-admin", "pa ss'w\"rd", "Lab 2"  # blanks and quotes are sent as typed


def test(args):
    with h.Session("lifecycle", budget=110) as s:
        s.start_xvfb()
        api = s.start_server(args.server, USER, PASSWORD)
        box = s.sandbox(api)
        canary = s.tmp / "canary"
        # Typed text reaches the server, the configuration and the log unchanged, and never a shell.
        client = f"O'Brien & \"Sons\" $(touch {canary}) `touch {canary}`"
        app = s.start_app(args.app, box)
        main = s.window(h.MAIN_TITLE, timeout=20)
        status = s.start_app(args.app, box, log_name="second").wait(timeout=15)
        h.check(status == 0 and not s.app_output("second") and len(s.visible_windows(h.MAIN_TITLE)) == 1,
                f"the second instance exited with {status} or showed something: {s.app_output('second')}")

        s.click(main, h.SETUP_SETTINGS)
        sheet = s.window(h.SETUP_TITLE)
        s.enter(sheet, f"{USER}\t{PASSWORD}\t{client}\t{LOCATION}")  # Return in any field registers
        s.wait_gone(sheet, h.SETUP_TITLE)
        typed = {"username": USER, "password": PASSWORD, "clientName": client, "locationName": LOCATION}
        sent = s.server_bodies("/register/")
        h.check(len(sent) == 1 and typed.items() <= sent[0].items() and "computerID" not in sent[0],
                f"not one registration as typed: {sent}")
        config = box.read_config()  # stored before the sheet closes
        h.check(config["computerID"] and config["token"] and config["apiBaseUrl"] == api and
                {"clientName": client, "locationName": LOCATION}.items() <= config.items(), f"stored: {config}")
        line = f"] [INFO] Agent registered successfully. ComputerID: {config['computerID']} Client: {client} " \
               f"Location: {LOCATION}\n"
        h.check(line in box.log_text(), f"the log lacks {line!r}")
        h.wait_for("the agent to see the registration",
                   lambda: f"Registered. ComputerID: {config['computerID']}" in box.log_text())
        h.check(not canary.exists(), "typed text was executed by a shell")

        s.click(main, h.STOP)
        h.wait_for("the agent to stop", lambda: not box.agent_pids())
        # The refresh that shows "Stopped" in red also enables Start.
        h.wait_for("the stopped state in red", lambda: s.shows_colour(main, h.SERVICE_STATUS, h.RED))
        s.click(main, h.START)
        started = h.wait_for("the agent to start again", box.agent_pids)
        h.wait_for("the running state in green", lambda: s.shows_colour(main, h.SERVICE_STATUS, h.GREEN))
        s.click(main, h.RESTART)
        h.wait_for("the agent to restart", lambda: set(box.agent_pids() or started).isdisjoint(started))

        s.click(main, h.SETUP_SETTINGS)
        sheet = s.window(h.SETTINGS_TITLE)
        s.click(sheet, h.REAUTH_TOGGLE)  # opens the box with its user name field focused
        s.enter(sheet, f"  {USER} \t{PASSWORD}")  # the user name is trimmed
        s.wait_gone(sheet, h.SETTINGS_TITLE)
        renewed = box.read_config()
        h.check(renewed["token"] != config["token"] and renewed == dict(config, token=renewed["token"]),
                f"not just a new token: {renewed}")
        sent = s.server_bodies("/register/")[1:]
        h.check(len(sent) == 1 and {"computerID": config["computerID"], "username": USER}.items() <= sent[0].items(),
                f"not one re-authentication of the stored computer: {sent}")

        s.click(main, h.SETUP_SETTINGS)
        sheet = s.window(h.SETTINGS_TITLE)
        s.click(sheet, h.UNREGISTER)
        s.enter(s.window(h.ALERT_TITLE))  # "Unregister" is the default button
        s.wait_gone(sheet, h.SETTINGS_TITLE)
        h.check(box.read_config() == h.unregistered_config(api), f"still registered: {box.read_config()}")
        sent = s.server_bodies("/deregister/")
        h.check(sent == [{"token": renewed["token"]}], f"not one deregister with the token: {sent}")
        h.check(app.poll() is None, "the app quit: " + s.app_output())


if __name__ == "__main__":
    sys.exit(h.main(test))
