#!/usr/bin/env python3
"""On a registered computer, open the sheet in its settings form, re-authenticate, then unregister."""

import json
import re
import sys
import urllib.request

import harness as h

USER, PASSWORD = "e2e-admin", "s3cret pass"


def register_directly(api):
    """A registration made at the server beforehand, as an earlier run of the app would have."""
    body = {"username": USER, "password": PASSWORD, "computerName": "e2e-host", "clientName": "Acme",
            "locationName": "Head office", "agentVersion": "1.0.0"}
    request = urllib.request.Request(api + "/register/", data=json.dumps(body).encode(),
                                     headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=10) as answer:
        result = json.load(answer)
    return dict(h.unregistered_config(api), clientName="Acme", locationName="Head office",
                **{k: result[k] for k in ("computerID", "token", "clientID")})


def test(args):
    with h.Session("settings", budget=100) as s:
        s.start_xvfb()
        api, requests = s.start_server(args.server, USER, PASSWORD)
        stored = register_directly(api)
        box = s.sandbox(api, config=stored)
        app = s.start_app(args.app, box)
        main = s.window(h.MAIN_TITLE, timeout=20)
        h.wait_for("the registration in green", lambda: s.shows_colour(main, h.REGISTRATION_SENTENCE, h.GREEN))

        s.click(main, h.SETUP_SETTINGS)
        sheet = s.window(h.SETTINGS_TITLE)
        height = s.height(sheet)
        s.click(sheet, h.SET_REAUTH_TOGGLE)
        h.wait_for("the re-authentication box to open", lambda: s.height(sheet) > height, timeout=5)
        s.type_into(sheet, h.REAUTH_USER, f"  {USER} ")  # the user name is trimmed
        s.type_into(sheet, h.REAUTH_PASSWORD, PASSWORD)
        s.click(sheet, h.REAUTH_BUTTON)
        s.wait_gone(sheet, "the settings sheet after re-authenticating")

        config = h.wait_for("a new token", lambda: (box.read_config() or stored)["token"] != stored["token"]
                            and box.read_config())
        h.check(config == dict(stored, token=config["token"]), f"changed more than the token: {config}")
        sent = s.server_requests(requests, "/register/")[-1]["body"]
        h.check(sent.get("computerID") == stored["computerID"] and sent.get("username") == USER,
                f"the re-authentication lacks the stored identity: {sent}")
        line = "[INFO] Re-authentication successful. Token updated for ComputerID: " + stored["computerID"]
        h.check(re.search(re.escape(line) + "$", box.log_text(), re.M), f"the log lacks {line!r}")

        s.click(main, h.SETUP_SETTINGS)
        sheet = s.window(h.SETTINGS_TITLE)
        s.click(sheet, h.SET_UNREGISTER)
        alert = s.window(h.ALERT_TITLE)
        s.press(alert, "Return")  # "Unregister" is the default button
        s.wait_gone(alert, "the confirmation")
        s.wait_gone(sheet, "the settings sheet after unregistering")
        h.check(box.read_config() == h.unregistered_config(api), f"still registered: {box.read_config()}")
        sent = s.server_requests(requests, "/deregister/")
        h.check([r["body"] for r in sent] == [{"token": config["token"]}], f"expected one deregister: {sent}")
        h.wait_for("the agent to see it is no longer registered",
                   lambda: "Not registered: waiting" in box.log_text().split("Re-authentication")[-1])
        h.wait_for("the registration in orange", lambda: s.shows_colour(main, h.REGISTRATION_SENTENCE, h.ORANGE))
        h.check(app.poll() is None, "the app quit: " + s.app_output())


if __name__ == "__main__":
    sys.exit(h.main(test))
