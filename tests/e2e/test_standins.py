#!/usr/bin/env python3
"""The stand-ins the demo and the end-to-end tests stand on: the service manager answers like
systemctl, and the agent writes, rereads, rotates and stops as it should."""

import os
import re
import subprocess
import sys

from harness import Sandbox, check, run, unregistered_config, wait_for

LINE = re.compile(r"^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] \[(INFO|WARN|DEBUG)\] .+$")


def main():
    def test():
        box = Sandbox.create(rotate_bytes=2000, watch_pid=os.getpid())
        try:
            def systemctl(*args):
                return subprocess.run([str(box.bin / "systemctl"), *args], capture_output=True, text=True, timeout=20)

            # Answers for other units and verbs, as systemd gives them.
            for args, code, text in [
                (("start", "other.service"), 5, "Unit other.service not found."),
                (("restart", "other"), 5, "Unit other.service not found."),
                (("status", "other.service"), 4, "could not be found"),
                (("is-active", "com.tavrel.agentservice.service"), 3, "inactive"),
                (("status", "com.tavrel.agentservice.service"), 3, "inactive (dead)"),
                (("stop", "com.tavrel.agentservice.service"), 0, ""),
                (("reload", "com.tavrel.agentservice.service"), 1, "Unknown command verb"),
            ]:
                result = systemctl(*args)
                check(result.returncode == code and text in result.stdout + result.stderr,
                      f"systemctl {' '.join(args)}: {result.returncode} {result.stdout}{result.stderr}")

            check(systemctl("start", "com.tavrel.agentservice").returncode == 0, "start failed")
            pid = int(box.pid_file.read_text())
            check(box.agent_pids() == [pid], f"the recorded pid {pid} is not the agent {box.agent_pids()}")
            check(systemctl("start", "com.tavrel.agentservice.service").returncode == 0, "a second start failed")
            check(box.agent_pids() == [pid], "a second start started another agent")
            check(systemctl("is-active", "com.tavrel.agentservice.service").stdout.strip() == "active", "not active")

            # It says whether it is registered, and notices a new configuration.
            wait_for("the agent's first lines", lambda: "Not registered" in box.log_text())
            registered = dict(unregistered_config("http://127.0.0.1:9/x"), computerID="C-42", token="T")
            box.write_config(registered)
            wait_for("the agent to reread its configuration", lambda: "Registered. ComputerID: C-42" in box.log_text(),
                     timeout=5)

            # Past 2000 bytes the log is replaced by a new, shorter one.
            rotated = box.log_path.with_name("activity.log.1")
            with open(box.log_path, "a") as log:
                log.write("[2026-12-06T09:00:00Z] [INFO] " + "x" * 2100 + "\n")
            wait_for("the log to rotate", rotated.exists, timeout=5)
            check(box.log_path.stat().st_size < 2000, "the new log is not shorter")
            for line in box.log_text().splitlines():
                check(LINE.match(line), f"not in the log's format: {line!r}")

            wait_for("a [DEBUG] line", lambda: "] [DEBUG] " in box.log_text(), timeout=4)

            # Restart replaces the process; stop ends it cleanly and forgets the pid.
            check(systemctl("restart", "com.tavrel.agentservice.service").returncode == 0, "restart failed")
            new_pid = int(box.pid_file.read_text())
            check(new_pid != pid and box.agent_pids() == [new_pid], "restart did not replace the agent")
            check(systemctl("stop", "com.tavrel.agentservice.service").returncode == 0, "stop failed")
            check(not box.agent_pids() and not box.pid_file.exists(), "stop left the agent or its pid file")
            check(box.log_text().rstrip().endswith("[INFO] Agent service stopping"), "no clean exit on SIGTERM")

            # Without its unit file the service is not there.
            box.unit_path.unlink()
            result = systemctl("start", "com.tavrel.agentservice.service")
            check(result.returncode == 5 and "not found" in result.stderr, f"start without a unit: {result}")
        finally:
            box.remove()

    return run(test)


if __name__ == "__main__":
    sys.exit(main())
