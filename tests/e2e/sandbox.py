#!/usr/bin/env python3
"""A sandboxed agent installation, laid out the way tavrel-agent-demo expects it.

Used by scripts/demo, the end-to-end tests and bench/footprint, so that all three see the same
layout:

    ROOT/bin/tavrel_agent.py                               the stand-in agent
    ROOT/bin/systemctl                                     the stand-in service manager
    ROOT/etc/systemd/system/com.tavrel.agentservice.service  the unit (ExecStart runs the agent)
    ROOT/var/tavrel/agentservice/config.json               the configuration
    ROOT/var/tavrel/agentservice/activity.log              the activity log
    ROOT/run/agent.pid, ROOT/run/agent.out                 the running agent's pid and output
    ROOT/tmp/                                              where the app stages configurations

Command line: sandbox.py ROOT --api-url URL [--rotate-bytes N]
"""

import argparse
import json
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
SERVICE = "com.tavrel.agentservice.service"
CONFIG_KEYS = ("computerID", "token", "clientID", "clientName", "locationName", "apiBaseUrl", "agentVersion")


def python3():
    # The system interpreter, so that the agent's command line is a plain "python3 ROOT/bin/…".
    return "/usr/bin/python3" if os.access("/usr/bin/python3", os.X_OK) else (shutil.which("python3") or "python3")


def unregistered_config(api_url):
    return {"computerID": "", "token": "", "clientID": "", "clientName": "Unassigned",
            "locationName": "", "apiBaseUrl": api_url, "agentVersion": "1.0.0"}


class Sandbox:
    def __init__(self, root):
        self.root = Path(root).resolve()
        self.bin = self.root / "bin"
        self.agent_dir = self.root / "var" / "tavrel" / "agentservice"
        self.config_path = self.agent_dir / "config.json"
        self.log_path = self.agent_dir / "activity.log"
        self.unit_path = self.root / "etc" / "systemd" / "system" / SERVICE
        self.pid_file = self.root / "run" / "agent.pid"

    @classmethod
    def create(cls, root=None, api_url="http://127.0.0.1:9/api/v1/agentservice", rotate_bytes=1 << 20,
               config=None, watch_pid=0):
        """Lays out a fresh sandbox (in a new temporary directory unless root is given). With
        watch_pid, the agent ends itself when that process is gone, even if nobody stops it."""
        sandbox = cls(root or tempfile.mkdtemp(prefix="tavrel-sandbox-"))
        for folder in (sandbox.bin, sandbox.agent_dir, sandbox.unit_path.parent, sandbox.root / "run",
                       sandbox.root / "tmp"):
            folder.mkdir(parents=True, exist_ok=True)
        for name in ("tavrel_agent.py", "systemctl"):
            shutil.copyfile(REPO / "tools" / name, sandbox.bin / name)
            (sandbox.bin / name).chmod(0o755)
        agent = sandbox.bin / "tavrel_agent.py"
        command = [python3(), str(agent), "--root", str(sandbox.root), "--rotate-bytes", str(int(rotate_bytes))]
        if watch_pid:
            command += ["--watch-pid", str(int(watch_pid))]
        sandbox.unit_path.write_text(
            "[Unit]\n"
            "Description=Tavrel agent service (sandbox stand-in)\n\n"
            "[Service]\n"
            f"ExecStart={' '.join(shlex.quote(part) for part in command)}\n"
            "Restart=on-failure\n\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n")
        sandbox.write_config(config or unregistered_config(api_url))
        return sandbox

    def write_config(self, config):
        text = json.dumps({key: config[key] for key in CONFIG_KEYS}, indent=2, ensure_ascii=False) + "\n"
        self.config_path.write_text(text, encoding="utf-8")
        self.config_path.chmod(0o644)

    def read_config(self):
        try:
            return json.loads(self.config_path.read_text(encoding="utf-8"))
        except (OSError, ValueError):
            return None

    def is_registered(self):
        config = self.read_config() or {}
        return bool(config.get("computerID")) and bool(config.get("token"))

    def log_text(self):
        try:
            return self.log_path.read_text(encoding="utf-8", errors="replace")
        except OSError:
            return ""

    def systemctl(self, verb, unit=SERVICE):
        return subprocess.run([str(self.bin / "systemctl"), verb, unit], capture_output=True, text=True, timeout=20)

    def agent_pids(self):
        """Process ids of stand-in agents of this sandbox, found the way the app looks for them."""
        pattern = str(self.bin / "[t]avrel_agent.py")
        result = subprocess.run(["pgrep", "-f", pattern], capture_output=True, text=True)
        return [int(p) for p in result.stdout.split()]

    def remove(self):
        """Stops the agent (through the stand-in, then by force) and deletes the sandbox."""
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


def main():
    parser = argparse.ArgumentParser(description="Lays out a sandboxed agent installation.")
    parser.add_argument("root")
    parser.add_argument("--api-url", required=True)
    parser.add_argument("--rotate-bytes", type=int, default=1 << 20)
    parser.add_argument("--watch-pid", type=int, default=0, help="the agent ends itself when this process is gone")
    args = parser.parse_args()
    Sandbox.create(args.root, api_url=args.api_url, rotate_bytes=args.rotate_bytes, watch_pid=args.watch_pid)
    return 0


if __name__ == "__main__":
    sys.exit(main())
