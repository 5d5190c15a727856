#!/usr/bin/env python3
"""End to end: register through the setup sheet against the stand-in server, then Stop, Start and
Restart the stand-in agent from the main window."""

import argparse
import re
import sys

import frames
from harness import GREEN, MAIN_TITLE, ORANGE, RED, SETTINGS_TITLE, SETUP_TITLE, Session, check, run, wait_for

USER = "e2e-admin"
PASSWORD = "pa ss'w\"rd"  # sent exactly as typed, blanks and quotes included
LOCATION = "Lab 2"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--server", required=True)
    args = parser.parse_args()

    def test():
        with Session("register", budget=100) as s:
            s.start_xvfb()
            api, requests = s.start_server(args.server, USER, PASSWORD)
            box = s.sandbox(api)
            canary = s.tmp / "canary"
            # Typed text reaches the configuration and the log unchanged, and never a shell.
            client = f"O'Brien & \"Sons\" $(touch {canary}) `touch {canary}`"
            app = s.start_app(args.app, box)
            main_window = s.window(MAIN_TITLE, timeout=20)
            # What the window shows is checked by its colours: green "Running", orange "NOT registered".
            wait_for("the running state in green", lambda: s.shows_colour(main_window, frames.SERVICE_STATUS, GREEN))
            check(s.shows_colour(main_window, frames.REGISTRATION_SENTENCE, ORANGE),
                  "the registration sentence is not orange before registering")

            s.click(main_window, frames.SETUP_SETTINGS)
            sheet = s.window(SETUP_TITLE)
            s.type_into(sheet, frames.REG_USERNAME, USER)
            s.type_into(sheet, frames.REG_PASSWORD, PASSWORD)
            s.type_into(sheet, frames.REG_CLIENT, client)
            s.type_into(sheet, frames.REG_LOCATION, LOCATION)
            s.click(sheet, frames.REG_REGISTER)
            s.wait_gone(sheet, "the setup sheet after registering")

            config = wait_for("a registered configuration", lambda: box.is_registered() and box.read_config())
            sent = [r for r in s.server_requests(requests) if r["path"].endswith("/register/")]
            check(len(sent) == 1, f"expected one register request, the server saw {sent}")
            body = sent[0]["body"]
            check(sent[0]["status"] == 200, f"the server refused the registration: {sent[0]}")
            check(body.get("username") == USER and body.get("password") == PASSWORD,
                  f"credentials not sent as typed: {body}")
            check(body.get("clientName") == client and body.get("locationName") == LOCATION,
                  f"names not sent as typed: {body}")
            check("computerID" not in body, "a new registration must not send a computerID")
            check(config["clientName"] == client and config["locationName"] == LOCATION
                  and config["apiBaseUrl"] == api and config["agentVersion"] == "1.0.0",
                  f"unexpected stored settings: {config}")

            line = (f"[INFO] Agent registered successfully. ComputerID: {config['computerID']} "
                    f"Client: {client} Location: {LOCATION}")
            check(re.search(r"^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] " + re.escape(line) + "$", box.log_text(), re.M),
                  f"the log lacks the line {line!r}")
            # The agent rereads its configuration and sees the new identity.
            wait_for("the agent to see the registration",
                     lambda: f"Registered. ComputerID: {config['computerID']}" in box.log_text())
            check(not canary.exists(), "typed text was executed by a shell")
            wait_for("the registration sentence in green",
                     lambda: s.shows_colour(main_window, frames.REGISTRATION_SENTENCE, GREEN))

            # The sheet now opens in its settings form; Close (moved up while the
            # re-authentication box is closed) ends it.
            s.click(main_window, frames.SETUP_SETTINGS)
            sheet = s.window(SETTINGS_TITLE)
            s.click(sheet, frames.SET_CLOSE)
            s.wait_gone(sheet, "the settings sheet after Close")

            # Stop, then Start: the agent process goes and comes back.
            first = box.agent_pids()
            check(first, "the stand-in agent is not running")
            s.click(main_window, frames.STOP)
            wait_for("the agent to stop", lambda: not box.agent_pids())
            # The refresh that shows "Stopped" in red also enables Start.
            wait_for("the stopped state in red", lambda: s.shows_colour(main_window, frames.SERVICE_STATUS, RED))
            s.click(main_window, frames.START)
            second = wait_for("the agent to start again", box.agent_pids)
            check(set(second).isdisjoint(first), "Start did not start a new agent process")
            wait_for("the running state in green", lambda: s.shows_colour(main_window, frames.SERVICE_STATUS, GREEN))

            s.click(main_window, frames.RESTART)
            wait_for("the agent to restart",
                     lambda: box.agent_pids() and set(box.agent_pids()).isdisjoint(second))
            check(app.poll() is None, "the app quit: " + s.app_output())

    return run(test)


if __name__ == "__main__":
    sys.exit(main())
