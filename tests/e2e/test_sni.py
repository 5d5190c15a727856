#!/usr/bin/env python3
"""The status icon on a StatusNotifierItem host, read over D-Bus as the host reads it: Debian's
lxqt-panel with only its status-notifier plugin, started 3 s after `--tray` as at a login where the
autostart entry comes first. The item registers; its pictures come at every size; the menu's ID line
and the tooltip say the computer ID exactly; Quit through the menu ends the app. Runs on the private
D-Bus session of dbus-run-session (tests/e2e.cmake)."""

import html
import os
import re
import sys
import time

import harness as h

IDS = ("AB&CD-1234", "CID_42&A&B", "X&&Y__Z")
SIZES = [16, 22, 24, 32, 44, 48, 64, 96]  # 16, 22, 24, 32 and 48 at 1x and 2x
PANEL_CONF = ("[General]\n__userfile__=true\npanels=panel1\n[panel1]\nplugins=statusnotifier\nposition=Bottom\n"
              "[statusnotifier]\ntype=statusnotifier\n")


def shown(label):
    """What a dbusmenu host shows for a label: "__" is "_", another "_" is not shown and marks the
    next character as the access key. Returns the text and whether a character is underlined."""
    return re.sub("_(.?)", r"\1", label), any(mark not in "_" for mark in re.findall("_(.?)", label))


def test(args):
    with h.Session("sni", budget=100) as s:
        os.environ["DISPLAY"] = s.start_xvfb()
        env = dict(s.x_env(), DBUS_SESSION_BUS_ADDRESS=os.environ["DBUS_SESSION_BUS_ADDRESS"])
        box = s.sandbox("http://127.0.0.1:9/api/v1/agentservice")  # the agent runs; no server is needed
        config = dict(h.unregistered_config("http://127.0.0.1:9/api/v1/agentservice"), computerID=IDS[0])
        box.write_config(config)
        app = s.start_app(args.app, box, env=env, options=["--tray"])
        time.sleep(3)  # the order of a login: the app first, its panel later
        h.check(app.poll() is None, f"the app exited with {app.returncode}")
        (s.tmp / "config/lxqt").mkdir(parents=True)
        (s.tmp / "config/lxqt/panel.conf").write_text(PANEL_CONF)
        with open(s.tmp / "panel.out", "wb") as sink:
            s.spawn([args.panel], env=dict(env, XDG_CONFIG_HOME=str(s.tmp / "config")), stdout=sink,
                    stderr=sink)

        from gi.repository import Gio, GLib
        bus = Gio.bus_get_sync(Gio.BusType.SESSION)

        def call(service, path, interface, method, signature, values, reply=None):
            return bus.call_sync(service, path, interface, method, GLib.Variant(signature, values),
                                 GLib.VariantType(reply) if reply else None, 0, 5000, None).unpack()

        def prop(service, path, interface, name):
            return call(service, path, "org.freedesktop.DBus.Properties", "Get", "(ss)", (interface, name))[0]

        def registered():
            try:
                names = prop("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                             "org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems")
            except GLib.Error:  # no watcher yet
                return None
            return next((n for n in names if f"-{app.pid}-" in n), None)

        item = h.wait_for("the item registered with the panel", registered, timeout=15)
        service, _, path = item.partition("/")
        path = "/" + (path or "StatusNotifierItem")
        sni = "org.kde.StatusNotifierItem"
        pictures = prop(service, path, sni, "IconPixmap")
        h.check(sorted((w, h_) for w, h_, _ in pictures) == [(n, n) for n in SIZES] and
                all(len(data) == w * w * 4 for w, _, data in pictures),
                f"IconPixmap sizes: {[(w, h_, len(d)) for w, h_, d in pictures]}")
        menu = prop(service, path, sni, "Menu")

        def entries():
            _, (_, _, children) = call(service, menu, "com.canonical.dbusmenu", "GetLayout", "(iias)", (0, -1, []),
                                       "(u(ia{sv}av))")
            return {props.get("label"): number for number, props, _ in children if "label" in props}

        for computer_id in IDS:
            box.write_config(dict(config, computerID=computer_id))
            label = h.wait_for(f"the ID line for {computer_id!r}",
                               lambda: next((lb for lb in entries() if lb.startswith("ID:") and
                                             shown(lb)[0] == f"ID: {computer_id}"), None))
            h.check(not shown(label)[1], f"{label!r} underlines a character")
            h.wait_for(f"the tooltip for {computer_id!r}",
                       lambda: html.unescape(prop(service, path, sni, "ToolTip")[3]) == f"Computer ID: {computer_id}")

        call(service, menu, "com.canonical.dbusmenu", "Event", "(isvu)", (entries()["Quit"], "clicked",
                                                                          GLib.Variant("s", ""), 0))
        h.check(app.wait(timeout=10) == 0, f"Quit ended the app with {app.returncode}")


if __name__ == "__main__":
    sys.exit(h.main(test))
