#!/usr/bin/env python3
"""The installed layout: build the Debian package with CPack, unpack it with dpkg-deb, check its
files and control fields, and start the unpacked app with --tray on the offscreen platform."""

import configparser
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path
from xml.etree import ElementTree

import harness as h


def desktop_entry(path):
    parser = configparser.ConfigParser(interpolation=None, strict=False)
    parser.optionxform = str
    parser.read(path, encoding="utf-8")
    h.check(parser.has_section("Desktop Entry"), f"{path} has no [Desktop Entry]")
    return parser["Desktop Entry"]


def test(args):
    with h.Session("package", budget=110) as s:
        built = subprocess.run([args.cpack, "--config", Path(args.build_dir) / "CPackConfig.cmake", "-G", "DEB",
                                "-B", s.tmp / "out"], capture_output=True, text=True, timeout=90)
        h.check(built.returncode == 0, "cpack failed:\n" + built.stdout + built.stderr)
        debs = list((s.tmp / "out").glob("tavrel-agent_*.deb"))
        h.check(len(debs) == 1, f"expected one tavrel-agent_*.deb, found {debs}")

        control = subprocess.run(["dpkg-deb", "-f", debs[0]], capture_output=True, text=True, check=True).stdout
        fields = dict(line.split(": ", 1) for line in control.splitlines() if ": " in line and line[0] != " ")
        h.check(fields.get("Package") == "tavrel-agent" and fields.get("Version") == "1.0.0", f"fields: {fields}")
        names = [d.split()[0] for d in fields.get("Depends", "").split(",") if d.strip()]
        h.check({"pkexec", "libqt6widgets6", "libqt6network6", "libqt6gui6", "libqt6core6"} <= set(names)
                and len(names) == len(set(names)), f"Depends lacks pkexec or a Qt 6 library, or repeats one: {names}")
        if shutil.which("lintian"):
            linted = subprocess.run(["lintian", "--fail-on", "error,warning", debs[0]], capture_output=True, text=True)
            h.check(linted.returncode == 0, "lintian:\n" + linted.stdout + linted.stderr)

        root = s.tmp / "root"
        subprocess.run(["dpkg-deb", "-x", debs[0], root], check=True)
        binary = root / "usr/bin/tavrel-agent"
        h.check(os.access(binary, os.X_OK), "usr/bin/tavrel-agent missing or not executable")
        h.check([p.name for p in binary.parent.iterdir()] == ["tavrel-agent"], "the package carries more programs")
        entry = desktop_entry(root / "usr/share/applications/tavrel-agent.desktop")
        h.check(entry.get("Type") == "Application" and entry.get("Exec", "").split()[0] == "tavrel-agent"
                and entry.get("Icon") == "tavrel-agent", f"unexpected launcher entry: {dict(entry)}")
        autostarts = list((root / args.autostart_dir.lstrip("/")).glob("*.desktop"))
        h.check(len(autostarts) == 1 and desktop_entry(autostarts[0]).get("Exec", "").split()
                == ["tavrel-agent", "--tray"], f"expected one autostart entry with --tray: {autostarts}")
        h.check(list((root / "usr/share/icons/hicolor").glob("*/apps/tavrel-agent.*")), "no icon in hicolor")
        # The root helper, and one polkit action per verb that names it.
        policy = ElementTree.parse(root / "usr/share/polkit-1/actions/com.tavrel.agent.policy").getroot()
        actions = {a.get("id"): {n.get("key").rsplit(".", 1)[1]: n.text for n in a.iter("annotate")}
                   for a in policy.iter("action")}
        h.check(set(actions) == {"com.tavrel.agent.service", "com.tavrel.agent.write-config",
                                 "com.tavrel.agent.append-log"}, f"policy actions: {set(actions)}")
        for action, annotations in actions.items():
            helper = root / annotations["path"].lstrip("/")
            h.check(os.access(helper, os.X_OK) and action.endswith("." + annotations["argv1"]),
                    f"{action} names {annotations}, which the package does not carry as such")

        # The unpacked app starts with only its status icon and keeps running.
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=str(s.tmp / "runtime"))
        with open(s.tmp / "app.out", "wb") as sink:
            app = s.spawn([binary, "--tray"], env=env, stdout=sink, stderr=subprocess.STDOUT)
        time.sleep(2)
        h.check(app.poll() is None, f"the unpacked app exited with {app.returncode}: {s.app_output()}")


if __name__ == "__main__":
    sys.exit(h.main(test))
