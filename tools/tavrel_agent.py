#!/usr/bin/env python3
"""Stand-in for the Tavrel monitoring agent, for the sandboxed demo, end-to-end tests and bench.

It does what the companion relies on and nothing more: runs under the agent's script name (so the
process search finds it), appends one line a second to the activity log in the agent's format,
some of them "[DEBUG]" lines, rereads the configuration on every tick and says whether this
computer is registered, rotates its log past a given size, and exits cleanly on SIGTERM.

Run as: python3 ROOT/bin/tavrel_agent.py --root ROOT [--interval S] [--rotate-bytes N] [--watch-pid PID]
"""

import argparse
import json
import os
import signal
import sys
import time
from datetime import datetime, timezone

CONFIG_KEYS = ("computerID", "token", "clientID", "clientName", "locationName", "apiBaseUrl", "agentVersion")


def now_utc():
    return datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def read_config(path):
    """The stored record, or None when the file is missing or not the seven strings."""
    try:
        with open(path, "rb") as f:
            data = json.loads(f.read().decode("utf-8"))
    except (OSError, ValueError):
        return None
    if not isinstance(data, dict) or not all(isinstance(data.get(k), str) for k in CONFIG_KEYS):
        return None
    return data


def registration_text(config):
    if config is None:
        return "Configuration missing or unreadable: not registered"
    if config["computerID"] and config["token"]:
        return "Registered. ComputerID: %s Client: %s Location: %s" % (
            config["computerID"], config["clientName"], config["locationName"])
    return "Not registered: waiting for registration"


class Agent:
    def __init__(self, root, rotate_bytes):
        base = os.path.join(root, "var", "tavrel", "agentservice")
        self.directory = base
        self.log_path = os.path.join(base, "activity.log")
        self.config_path = os.path.join(base, "config.json")
        self.rotate_bytes = rotate_bytes
        self.tick = 0
        self.last_state = None

    def write(self, level, message):
        line = "[%s] [%s] %s\n" % (now_utc(), level, message.replace("\r", " ").replace("\n", " "))
        self.rotate_if_needed()
        # O_APPEND and one write per line: the companion appends to the same file meanwhile.
        fd = os.open(self.log_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        try:
            os.write(fd, line.encode("utf-8"))
        finally:
            os.close(fd)

    def rotate_if_needed(self):
        if self.rotate_bytes <= 0:
            return
        try:
            size = os.path.getsize(self.log_path)
        except OSError:
            return
        if size < self.rotate_bytes:
            return
        # Replace: the old log moves aside, a new (shorter) file takes its name.
        os.replace(self.log_path, self.log_path + ".1")
        fd = os.open(self.log_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        try:
            os.write(fd, ("[%s] [INFO] Log rotated (previous log passed %d bytes)\n"
                          % (now_utc(), self.rotate_bytes)).encode("utf-8"))
        finally:
            os.close(fd)

    def step(self):
        self.tick += 1
        config = read_config(self.config_path)
        state = registration_text(config)
        if state != self.last_state:
            self.write("INFO", "Configuration read. " + state)
            self.last_state = state
        elif self.tick % 3 == 2:
            self.write("DEBUG", "Collected metrics: tick=%d load=%.2f" % (self.tick, os.getloadavg()[0]))
        elif self.tick % 10 == 7:
            self.write("WARN", "Heartbeat delayed: server did not answer within 1 s (simulated)")
        else:
            registered = config is not None and bool(config["computerID"]) and bool(config["token"])
            self.write("INFO", "Heartbeat %d: %s" % (
                self.tick, "registered as " + config["computerID"] if registered else "not registered"))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True, help="sandbox root")
    parser.add_argument("--interval", type=float, default=1.0, help="seconds between lines")
    parser.add_argument("--rotate-bytes", type=int, default=1 << 20,
                        help="rotate the log when it passes this size (0: never)")
    parser.add_argument("--watch-pid", type=int, default=0,
                        help="exit when this process is gone (a test that started the sandbox)")
    args = parser.parse_args(argv)

    agent = Agent(os.path.abspath(args.root), args.rotate_bytes)
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(True))
    signal.signal(signal.SIGINT, lambda *_: stopping.append(True))

    def orphaned():
        # A sandbox that was removed, or whose test has gone, needs no agent any more.
        if not os.path.isdir(agent.directory):
            return True
        if args.watch_pid > 0:
            try:
                os.kill(args.watch_pid, 0)
            except ProcessLookupError:
                return True
            except PermissionError:
                pass
        return False

    agent.write("INFO", "Agent service started (pid %d)" % os.getpid())
    deadline = time.monotonic()
    while not stopping:
        if orphaned():
            return 0
        agent.step()
        deadline += args.interval
        # Sleep in short steps so that SIGTERM ends us within a fraction of a second.
        while not stopping and time.monotonic() < deadline:
            time.sleep(min(0.1, max(0.0, deadline - time.monotonic())))
    agent.write("INFO", "Agent service stopping")
    return 0


if __name__ == "__main__":
    sys.exit(main())
