#!/usr/bin/env python3
"""Reads and drives the main window through AT-SPI, as a screen reader would: the "Service Status"
value and the service buttons found by name, each change of the value reported as it happens, and
the setup sheet's status line reporting what Register says. Runs on the private D-Bus session of
dbus-run-session (tests/e2e.cmake), from which AT-SPI's own bus and registry start."""

import os
import sys

import harness as h


def test(args):
    with h.Session("a11y", budget=100) as s:
        os.environ["DISPLAY"] = s.start_xvfb()
        env = dict(s.x_env(), DBUS_SESSION_BUS_ADDRESS=os.environ["DBUS_SESSION_BUS_ADDRESS"],
                   QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        del env["QT_ACCESSIBILITY"], env["NO_AT_BRIDGE"]
        box = s.sandbox("http://127.0.0.1:9/api/v1/agentservice")  # the agent runs; no server is needed
        import pyatspi  # noqa: E402 (connects to the bus when imported)
        from gi.repository import GLib

        inserted = []  # (view, text) of each text insertion reported
        pyatspi.Registry.registerEventListener(lambda e: inserted.append((e.source.name, e.any_data)),
                                               "object:text-changed:insert")
        s.start_app(args.app, box, env=env)

        def until(what, predicate, timeout=10):
            return h.wait_for(what, lambda: GLib.MainContext.default().iteration(False) and 0 or predicate(), timeout)

        def find(name, state=pyatspi.STATE_SHOWING):
            """The first showing view of that name in the app that is in state too."""
            apps = [a for a in pyatspi.Registry.getDesktop(0) if a and a.name == "Tavrel Agent"]
            states = (pyatspi.STATE_SHOWING, state)
            wanted = lambda v: v.name == name and all(map(v.getState().contains, states))  # noqa: E731
            return next(filter(None, (pyatspi.findDescendant(app, wanted) for app in apps)), None)

        def press(name):
            button = until(f'"{name}" enabled', lambda: find(name, pyatspi.STATE_SENSITIVE))
            inserted.clear()
            button.queryAction().doAction(0)

        status = until('the "Service Status" value', lambda: find("Service Status"), timeout=20)
        until("the state Running", lambda: status.queryText().getText(0, -1) == "Running")
        for button, state in (("Stop", "Stopped"), ("Start", "Running")):
            press(button)
            until(f"the change to {state} reported", lambda: ("Service Status", state) in inserted)
            h.check(status.queryText().getText(0, -1) == state, f'"Service Status" does not read {state}')

        press("Setup / Settings")
        until("the setup sheet", lambda: find(h.SETUP_TITLE))
        press("Register")  # with no user name
        until("the status line's report", lambda: ("Status", "Username is required.") in inserted)
        h.check(find("Status").getRoleName() == "status bar", "the sheet's status line is no status bar")


if __name__ == "__main__":
    sys.exit(h.main(test))
