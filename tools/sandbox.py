#!/usr/bin/env python3
"""Lays out a sandboxed agent installation the way tavrel-agent-demo expects it, for scripts/demo,
the end-to-end tests and bench/footprint: the stand-in agent and systemctl in ROOT/bin, the unit
under ROOT/etc/systemd/system, the configuration and log under ROOT/var/tavrel/agentservice.

    tools/sandbox.py ROOT --api-url URL [--rotate-bytes N] [--watch-pid PID]
"""

import argparse
import json
import os
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

TOOLS = Path(__file__).resolve().parent
SERVICE = "com.tavrel.agentservice.service"


def unregistered_config(api_url):
    return {"computerID": "", "token": "", "clientID": "", "clientName": "Unassigned",
            "locationName": "", "apiBaseUrl": api_url, "agentVersion": "1.0.0"}


class Sandbox:
    def __init__(self, root):
        self.root = Path(root).resolve()
        self.bin = self.root / "bin"
        self.config_path = self.root / "var/tavrel/agentservice/config.json"
        self.log_path = self.config_path.with_name("activity.log")

    @classmethod
    def create(cls, root, api_url, rotate_bytes=1 << 20, config=None, watch_pid=0, interval=None):
        """With watch_pid, the agent ends itself once that process is gone, even if nobody stops it;
        interval is the agent's seconds between log lines (its own default: one a second)."""
        box = cls(root)
        unit = box.root / "etc/systemd/system" / SERVICE
        for folder in (box.bin, box.config_path.parent, unit.parent, box.root / "run", box.root / "tmp"):
            folder.mkdir(parents=True, exist_ok=True)
        for name in ("tavrel_agent.py", "systemctl"):
            shutil.copy(TOOLS / name, box.bin / name)
            (box.bin / name).chmod(0o755)
        # The system interpreter, so that the process search sees a plain "python3 ROOT/bin/tavrel_agent.py".
        python = "/usr/bin/python3" if os.access("/usr/bin/python3", os.X_OK) else shutil.which("python3")
        command = [python, box.bin / "tavrel_agent.py", "--root", box.root, "--rotate-bytes", rotate_bytes,
                   "--watch-pid", watch_pid] + ([] if interval is None else ["--interval", interval])
        unit.write_text("[Unit]\nDescription=Tavrel agent service (sandbox stand-in)\n\n[Service]\n"
                        f"ExecStart={shlex.join(map(str, command))}\nRestart=on-failure\n\n"
                        "[Install]\nWantedBy=multi-user.target\n")
        box.write_config(config or unregistered_config(api_url))
        return box

    def write_config(self, config):
        self.config_path.write_text(json.dumps(config, indent=2, ensure_ascii=False) + "\n", encoding="utf-8")
        self.config_path.chmod(0o644)

    def read_config(self):
        try:
            return json.loads(self.config_path.read_text(encoding="utf-8"))
        except (OSError, ValueError):
            return None

    def log_text(self):
        try:
            return self.log_path.read_text(encoding="utf-8", errors="replace")
        except OSError:
            return ""

    def systemctl(self, verb):
        return subprocess.run([self.bin / "systemctl", verb, SERVICE], capture_output=True, text=True, timeout=20)

    def agent_pids(self):
        """The stand-in agents of this sandbox, found the way the app looks for them."""
        found = subprocess.run(["pgrep", "-f", f"{self.bin}/[t]avrel_agent.py"], capture_output=True, text=True)
        return [int(pid) for pid in found.stdout.split()]

    def remove(self):
        try:
            self.systemctl("stop")
        except (OSError, subprocess.SubprocessError):
            pass
        for pid in self.agent_pids():
            try:
                os.kill(pid, 9)
            except OSError:
                pass
        shutil.rmtree(self.root, ignore_errors=True)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="Lays out a sandboxed agent installation.")
    parser.add_argument("root")
    parser.add_argument("--api-url", required=True)
    parser.add_argument("--rotate-bytes", type=int, default=1 << 20)
    parser.add_argument("--watch-pid", type=int, default=0, help="the agent ends itself once this process is gone")
    args = parser.parse_args()
    Sandbox.create(args.root, args.api_url, args.rotate_bytes, watch_pid=args.watch_pid)
    sys.exit(0)
