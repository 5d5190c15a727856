#!/usr/bin/env python3
"""The installed layout: build the Debian package with CPack, unpack it with dpkg-deb, check its
files and control fields, and start the unpacked app with --tray on the offscreen platform."""

import argparse
import configparser
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from harness import check, run


def desktop_entry(path):
    parser = configparser.ConfigParser(interpolation=None, strict=False)
    parser.optionxform = str
    parser.read(path, encoding="utf-8")
    check(parser.has_section("Desktop Entry"), f"{path} has no [Desktop Entry]")
    return parser["Desktop Entry"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--cpack", default="cpack")
    parser.add_argument("--autostart-dir", required=True, help="where the build installs the autostart entry")
    args = parser.parse_args()

    def test():
        tmp = Path(tempfile.mkdtemp(prefix="tavrel-e2e-package-"))
        app = None
        try:
            built = subprocess.run([args.cpack, "--config", str(Path(args.build_dir) / "CPackConfig.cmake"),
                                    "-G", "DEB", "-B", str(tmp / "out")], capture_output=True, text=True, timeout=90)
            check(built.returncode == 0, "cpack failed:\n" + built.stdout + built.stderr)
            packages = list((tmp / "out").glob("tavrel-agent_*.deb"))
            check(len(packages) == 1, f"expected one tavrel-agent_*.deb, found {packages}")
            deb = packages[0]

            fields = {}
            for line in subprocess.run(["dpkg-deb", "-f", str(deb)], capture_output=True, text=True,
                                       check=True).stdout.splitlines():
                if ":" in line and not line.startswith(" "):
                    key, value = line.split(":", 1)
                    fields[key] = value.strip()
            check(fields.get("Package") == "tavrel-agent", f"package name: {fields}")
            check(fields.get("Version") == "1.0.0", f"version: {fields}")
            check(fields.get("Section") == "admin", f"section: {fields}")
            check(fields.get("Maintainer"), "no maintainer")
            depends = {d.strip().split(" ")[0] for d in fields.get("Depends", "").split(",")}
            for needed in ("pkexec", "libqt6widgets6", "libqt6network6", "libqt6gui6", "libqt6core6"):
                check(needed in depends, f"Depends lacks {needed}: {fields.get('Depends')}")

            root = tmp / "root"
            subprocess.run(["dpkg-deb", "-x", str(deb), str(root)], check=True)
            binary = root / "usr" / "bin" / "tavrel-agent"
            check(binary.is_file() and os.access(binary, os.X_OK), "usr/bin/tavrel-agent missing or not executable")
            entry = desktop_entry(root / "usr" / "share" / "applications" / "tavrel-agent.desktop")
            check(entry.get("Type") == "Application" and entry.get("Exec", "").split()[0] == "tavrel-agent"
                  and entry.get("Icon") == "tavrel-agent", f"unexpected launcher entry: {dict(entry)}")
            autostart_dir = root / args.autostart_dir.lstrip("/")
            autostarts = list(autostart_dir.glob("*.desktop"))
            check(len(autostarts) == 1, f"expected one autostart entry in {autostart_dir}: {autostarts}")
            autostart = desktop_entry(autostarts[0])
            check(autostart.get("Exec", "").split() == ["tavrel-agent", "--tray"],
                  f"the autostart entry must start the app with --tray: {dict(autostart)}")
            icons = list((root / "usr" / "share" / "icons" / "hicolor").glob("*/apps/tavrel-agent.*"))
            check(icons, "no tavrel-agent icon in the hicolor theme")
            unexpected = [p for p in (root / "usr" / "bin").iterdir() if p.name != "tavrel-agent"]
            check(not unexpected, f"the package carries more programs: {unexpected}")

            # The unpacked app starts with only its status icon and keeps running.
            runtime = tmp / "runtime"
            runtime.mkdir(mode=0o700)
            env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=str(runtime))
            log = open(tmp / "app.out", "wb")
            app = subprocess.Popen([str(binary), "--tray"], env=env, stdin=subprocess.DEVNULL, stdout=log,
                                   stderr=subprocess.STDOUT)
            time.sleep(2)
            check(app.poll() is None, f"the unpacked app exited with {app.returncode}: "
                  + (tmp / "app.out").read_text(errors="replace"))
        finally:
            if app is not None and app.poll() is None:
                app.terminate()
                try:
                    app.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    app.kill()
                    app.wait()
            shutil.rmtree(tmp, ignore_errors=True)

    return run(test)


if __name__ == "__main__":
    sys.exit(main())
