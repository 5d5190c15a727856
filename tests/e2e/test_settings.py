#!/usr/bin/env python3
"""End to end: on a registered computer, open the sheet in its settings form, save a setting,
re-authenticate, then unregister (after first cancelling the confirmation)."""

import argparse
import json
import re
import sys
import time
import urllib.request

import frames
from harness import GREEN, MAIN_TITLE, ORANGE, SETTINGS_TITLE, Session, check, run, wait_for

USER = "e2e-admin"
PASSWORD = "s3cret pass"
ALERT_TITLE = "Tavrel Agent"


def register_directly(api, client, location):
    """A registration made at the server beforehand, as an earlier run of the app would have."""
    body = {"username": USER, "password": PASSWORD, "computerName": "e2e-host", "clientName": client,
            "locationName": location, "ipAddress": "", "lastUsername": "e2e", "OS": "Linux", "osType": "Linux",
            "UTC_Offset": "+00:00", "agentVersion": "1.0.0"}
    request = urllib.request.Request(api + "/register/", data=json.dumps(body).encode(),
                                     headers={"Content-Type": "application/json"}, method="POST")
    with urllib.request.urlopen(request, timeout=10) as answer:
        result = json.load(answer)
    return {"computerID": result["computerID"], "token": result["token"], "clientID": result["clientID"],
            "clientName": client, "locationName": location, "apiBaseUrl": api, "agentVersion": "1.0.0"}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--server", required=True)
    args = parser.parse_args()

    def test():
        with Session("settings", budget=100) as s:
            s.start_xvfb()
            api, requests = s.start_server(args.server, USER, PASSWORD)
            stored = register_directly(api, "Acme", "Head office")
            box = s.sandbox(api, config=stored)
            app = s.start_app(args.app, box)
            main_window = s.window(MAIN_TITLE, timeout=20)
            wait_for("the registration sentence in green",
                     lambda: s.shows_colour(main_window, frames.REGISTRATION_SENTENCE, GREEN))

            # Save Settings: the edited location is stored trimmed; the sheet stays open.
            s.click(main_window, frames.SETUP_SETTINGS)
            sheet = s.window(SETTINGS_TITLE)
            s.type_into(sheet, frames.SET_LOCATION, "  Floor 3 ")
            s.click(sheet, frames.SET_SAVE)
            wait_for("the saved location", lambda: (box.read_config() or {}).get("locationName") == "Floor 3")
            stored = box.read_config()
            check(sheet in s.visible_windows(SETTINGS_TITLE), "Save Settings closed the sheet")

            # Re-authenticate: a new token for the same computer.
            height = s.geometry(sheet)[3]
            s.click(sheet, frames.SET_REAUTH_TOGGLE)
            wait_for("the re-authentication box to open", lambda: s.geometry(sheet)[3] == height + 162, timeout=5)
            s.type_into(sheet, frames.REAUTH_USER, "  " + USER + " ")  # the user name is trimmed
            s.type_into(sheet, frames.REAUTH_PASSWORD, PASSWORD)
            s.click(sheet, frames.REAUTH_BUTTON)
            s.wait_gone(sheet, "the settings sheet after re-authenticating")

            config = wait_for("a new token", lambda: (box.read_config() or {}).get("token") not in (None, stored["token"])
                              and box.read_config())
            check(config["computerID"] == stored["computerID"] and config["token"]
                  and {k: config[k] for k in ("clientName", "locationName", "apiBaseUrl", "agentVersion")}
                  == {k: stored[k] for k in ("clientName", "locationName", "apiBaseUrl", "agentVersion")},
                  f"re-authentication changed more than the token: {config}")
            reauth = [r for r in s.server_requests(requests) if r["path"].endswith("/register/")][-1]
            check(reauth["body"].get("computerID") == stored["computerID"] and reauth["body"].get("username") == USER
                  and reauth["body"].get("clientName") == "Acme" and reauth["body"].get("locationName") == "Floor 3",
                  f"the re-authentication request lacks the stored identity: {reauth}")
            line = "[INFO] Re-authentication successful. Token updated for ComputerID: " + stored["computerID"]
            check(re.search(re.escape(line) + "$", box.log_text(), re.M), f"the log lacks {line!r}")

            # Unregister: Cancel in the confirmation changes nothing; Unregister wipes the identity.
            s.click(main_window, frames.SETUP_SETTINGS)
            sheet = s.window(SETTINGS_TITLE)
            s.click(sheet, frames.SET_UNREGISTER)
            alert = s.window(ALERT_TITLE)
            s.activate(alert)
            s.key("Escape")
            s.wait_gone(alert, "the confirmation after Cancel")
            time.sleep(0.5)
            check(box.read_config() == config, "Cancel changed the configuration")

            s.click(sheet, frames.SET_UNREGISTER)
            alert = s.window(ALERT_TITLE)
            s.activate(alert)
            s.key("Return")  # "Unregister" is the default button
            s.wait_gone(alert, "the confirmation after Unregister")
            s.wait_gone(sheet, "the settings sheet after unregistering")
            final = box.read_config()
            check(final == {"computerID": "", "token": "", "clientID": "", "clientName": "Unassigned",
                            "locationName": "", "apiBaseUrl": api, "agentVersion": "1.0.0"},
                  f"unexpected configuration after unregistering: {final}")
            sent = [r for r in s.server_requests(requests) if r["path"].endswith("/deregister/")]
            check(len(sent) == 1 and sent[0]["body"] == {"token": config["token"]},
                  f"expected one deregister request with the stored token: {sent}")
            wait_for("the agent to see it is no longer registered",
                     lambda: "Not registered: waiting for registration" in box.log_text().split("Re-authentication")[-1])
            wait_for("the registration sentence in orange",
                     lambda: s.shows_colour(main_window, frames.REGISTRATION_SENTENCE, ORANGE))
            check(app.poll() is None, "the app quit: " + s.app_output())

    return run(test)


if __name__ == "__main__":
    sys.exit(main())
