#!/usr/bin/env python3
"""A computer's life in the real app on a 1366 × 768 screen with a system tray, against the stand-in
server and agent: a second instance gives way, showing the first one's window unless started with
--tray; register through the setup sheet by keyboard, which the agent sees; every control reachable
on the small screen; Quit with a registration that could not be stored asks first, and Discard ends
the app every time. The flows' details are the unit suites' (tst_setupsheet, tst_mainwindow), and the
service buttons through the real helper e2e_a11y's."""

import sys

import harness as h

USER, PASSWORD, LOCATION = "e2e-admin", "pa ss'w\"rd", "Lab 2"  # blanks and quotes are sent as typed
SCREEN = (1366, 768)


def test(args):
    with h.Session("lifecycle", budget=200) as s:
        s.start_xvfb("x".join(map(str, SCREEN)))
        s.start_tray(args.tray)
        api = s.start_server(args.server, USER, PASSWORD)
        box = s.sandbox(api)
        canary = s.tmp / "canary"
        # Typed text reaches the server, the configuration and the log unchanged, and never a shell.
        client = f"O'Brien & \"Sons\" $(touch {canary}) `touch {canary}`"
        app = s.start_app(args.app, box, options=["--tray"])
        h.wait_for("the first instance to listen", lambda: list((s.tmp / "runtime").glob("*.socket")), 20)
        # An autostart entry changes nothing; opening the app from the menu shows its window.
        for name, options in (("second", ["--tray"]), ("third", [])):  # each exits 0 at once, silently
            status = s.start_app(args.app, box, log_name=name, options=options).wait(timeout=15)
            h.check(status == 0 and not s.app_output(name), f"{name} exited with {status}: {s.app_output(name)}")
            h.check(options == [] or not s.visible_windows(h.MAIN_TITLE), "a second --tray start showed the window")
        main = s.window(h.MAIN_TITLE)

        s.click(main, h.SETUP_SETTINGS)
        sheet = s.window(h.SETUP_TITLE)
        s.enter(sheet, f"{USER}\t{PASSWORD}\t{client}\t{LOCATION}")  # Return in any field registers
        s.wait_gone(sheet, h.SETUP_TITLE)
        typed = {"username": USER, "password": PASSWORD, "clientName": client, "locationName": LOCATION}
        sent = s.server_bodies("/register/")
        h.check(len(sent) == 1 and typed.items() <= sent[0].items(), f"not one registration as typed: {sent}")
        config = box.read_config()  # stored before the sheet closes
        h.check(config["clientName"] == client and not canary.exists(), f"stored: {config}")
        h.wait_for("the agent to see the registration",
                   lambda: f"Registered. ComputerID: {config['computerID']}" in box.log_text())
        box.write_config(h.unregistered_config(api))  # the sheet then opens as the registration form

        # The window fits the screen and scrolls: to the log pane's end, which a click focuses.
        x, y, width, height = s.geometry(main)
        h.check(x >= 0 and y >= 0 and x + width <= SCREEN[0] and y + height <= SCREEN[1] and width >= 540,
                f"the window does not fit the screen: {(x, y, width, height)}")
        s.scroll(main, h.HEADER, 10)
        scrolled = 780 - height  # at the end
        left, top, pane_width, pane_height = h.LOG_PANE
        s.click(main, (left, top + pane_height - 12 - scrolled, pane_width, 8))
        h.wait_for("the log pane's focus", lambda: s.shows_colour(
            main, (left, top + pane_height - 1 - scrolled, pane_width, 1), h.HIGHLIGHT, tolerance=60, least=100))
        s.scroll(main, h.HEADER, -10)
        # Tab reaches the sheet's Close from the user name, past Register (scrolling to it where the
        # sheet is taller than the screen).
        s.click(main, h.SETUP_SETTINGS)
        sheet = s.window(h.SETUP_TITLE)
        s.run(["xdotool", "windowfocus", "--sync", sheet, "key", "Tab", "Tab", "Tab", "Tab", "Tab", "space"])
        s.wait_gone(sheet, h.SETUP_TITLE)

        # The store of a registration refused (the helper does not write through a link): Quit asks,
        # Cancel keeps the app, Discard ends it.
        real = box.config_path.with_name("config.real.json")
        box.config_path.rename(real)
        box.config_path.symlink_to(real.name)
        for attempt in range(10):
            if attempt:
                app = s.start_app(args.app, box, log_name=f"app{attempt}")
                main = s.window(h.MAIN_TITLE)
            log = "app" if attempt == 0 else f"app{attempt}"
            s.click(main, h.SETUP_SETTINGS)
            sheet = s.window(h.SETUP_TITLE)
            s.enter(sheet, f"{USER}\t{PASSWORD}")
            h.wait_for("the refused store", lambda: "is a symbolic link" in s.app_output(log))
            for answer in (["Return"] if attempt == 0 else []) + ["Tab space"]:  # Cancel (the default), Discard
                s.choose_quit()
                alert = s.window_other_than(h.SETUP_TITLE, sheet)
                s.run(["xdotool", "windowfocus", "--sync", alert, "key", *answer.split()])
                if answer == "Return":
                    s.wait_gone(alert, h.SETUP_TITLE)
                    h.check(app.poll() is None and s.visible_windows(h.SETUP_TITLE) == [sheet],
                            "Cancel did not keep the app and its sheet")
            h.check(app.wait(timeout=10) == 0, f"Discard did not end the app (attempt {attempt + 1})")
        h.check(len(s.server_bodies("/register/")) == 11, "not one registration a start")


if __name__ == "__main__":
    sys.exit(h.main(test))
