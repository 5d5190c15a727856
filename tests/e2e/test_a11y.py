#!/usr/bin/env python3
"""Reads and drives the main window through AT-SPI, as a screen reader would: the "Service Status"
value and the service buttons found by name, the value's change reported as it happens, and the
setup sheet's status line reporting what Register says."""

import os
import sys

import harness as h


def test(args):
    with h.Session("a11y", budget=100) as s:
        os.environ.update(DISPLAY=s.start_xvfb(), DBUS_SESSION_BUS_ADDRESS=s.start_session_bus())
        env = dict(s.x_env(), DBUS_SESSION_BUS_ADDRESS=os.environ["DBUS_SESSION_BUS_ADDRESS"],
                   QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        del env["QT_ACCESSIBILITY"], env["NO_AT_BRIDGE"]
        box = s.sandbox("http://127.0.0.1:9/api/v1/agentservice")  # runs the agent; no server needed

        import pyatspi  # noqa: E402 (it reads the bus address when imported)
        from gi.repository import GLib

        inserted = []  # (view, text) of every text insertion reported
        pyatspi.Registry.registerEventListener(lambda e: inserted.append((e.source.name, e.any_data)),
                                               "object:text-changed:insert")
        s.start_app(args.app, box, env=env)

        def until(what, predicate, timeout=10):
            """Waits for predicate while AT-SPI's events come in."""
            return h.wait_for(what, lambda: GLib.MainContext.default().iteration(False) and False or predicate(),
                              timeout)

        def find(name, root=None):
            """The first showing view of that name in the app, or under root."""
            for top in [root] if root else pyatspi.Registry.getDesktop(0):
                if top is not None and (root or top.name == "Tavrel Agent"):
                    found = pyatspi.findDescendant(top, lambda v: v.name == name and v.getState().contains(
                        pyatspi.STATE_SHOWING))
                    if found:
                        return found
            return None

        def text(view):
            return view.queryText().getText(0, -1)

        def press(name):
            button = until(f'the button "{name}"', lambda: find(name))
            until(f'"{name}" enabled', lambda: button.getState().contains(pyatspi.STATE_SENSITIVE))
            inserted.clear()
            button.queryAction().doAction(0)

        status = until('the "Service Status" value', lambda: find("Service Status"), timeout=20)
        h.check(status.getRoleName() == "label", f'"Service Status" is a {status.getRoleName()}')
        until("the state Running", lambda: text(status) == "Running")
        for button, state in (("Stop", "Stopped"), ("Start", "Running")):
            press(button)
            until(f"the change to {state} reported", lambda: ("Service Status", state) in inserted)
            h.check(text(status) == state, f'"Service Status" reads {text(status)!r}')

        press("Setup / Settings")
        sheet = until("the setup sheet", lambda: find(h.SETUP_TITLE))
        press("Register")  # with no user name
        line = until("the status line", lambda: find("Status", sheet))
        h.check(line.getRoleName() == "status bar", f"the status line is a {line.getRoleName()}")
        until("the status line's report", lambda: ("Status", "Username is required.") in inserted)


if __name__ == "__main__":
    sys.exit(h.main(test))
