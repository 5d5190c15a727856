#!/usr/bin/env python3
"""The installed layout: build the Debian package with CPack, check it with lintian, unpack it with
dpkg-deb, check what the desktop and polkit find in it, and start the unpacked app with --tray."""

import configparser
import os
import subprocess
import sys
from pathlib import Path
from xml.etree import ElementTree

import harness as h


def exec_line(path):
    entry = configparser.ConfigParser(interpolation=None, strict=False)
    entry.read(path, encoding="utf-8")
    return entry.get("Desktop Entry", "Exec", fallback="").split()


def test(args):
    with h.Session("package", budget=110) as s:
        built = subprocess.run([args.cpack, "--config", Path(args.build_dir) / "CPackConfig.cmake", "-G", "DEB",
                                "-B", s.tmp / "out"], capture_output=True, text=True, timeout=90)
        h.check(built.returncode == 0, "cpack failed:\n" + built.stdout + built.stderr)
        deb, = (s.tmp / "out").glob("tavrel-agent_*.deb")
        linted = subprocess.run(["lintian", "--fail-on", "error,warning", deb], capture_output=True, text=True)
        h.check(linted.returncode == 0, "lintian:\n" + linted.stdout + linted.stderr)
        depends = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], capture_output=True, text=True).stdout
        names = [d.split()[0] for d in depends.split(",")]
        h.check({"pkexec", "libqt6widgets6", "libqt6network6"} <= set(names) and len(names) == len(set(names)),
                f"Depends lacks pkexec or a Qt 6 library, or names one twice: {names}")

        root = s.tmp / "root"
        subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
        h.check([p.name for p in (root / "usr/bin").iterdir()] == ["tavrel-agent"], "not one program in usr/bin")
        autostarts = list((root / args.autostart_dir.lstrip("/")).glob("*.desktop"))
        h.check([exec_line(a) for a in autostarts] == [["tavrel-agent", "--tray"]], "not one autostart with --tray")
        # Each verb of the root helper has its action, which names the packaged helper and the verb.
        policy = ElementTree.parse(root / "usr/share/polkit-1/actions/com.tavrel.agent.policy").getroot()
        verbs = {}
        for action in policy.iter("action"):
            notes = {n.get("key").rsplit(".", 1)[1]: n.text for n in action.iter("annotate")}
            h.check(os.access(root / notes["path"].lstrip("/"), os.X_OK), f"no helper at {notes['path']}")
            verbs[action.get("id").rsplit(".", 1)[1]] = notes["argv1"]
        h.check(verbs == {v: v for v in ("service", "write-config", "append-log")}, f"policy verbs: {verbs}")

        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=str(s.tmp / "runtime"))
        # Still running after 2 s, waiting for a tray, as it should; what it says shows in the test's output.
        ran = subprocess.run(["timeout", "2", root / "usr/bin/tavrel-agent", "--tray"], env=env)
        h.check(ran.returncode == 124, f"the unpacked app exited with {ran.returncode}")


if __name__ == "__main__":
    sys.exit(h.main(test))
