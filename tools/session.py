"""Runs tavrel-agent-demo for the end-to-end tests and bench/footprint: a private X server, sandboxes
with their stand-in agent (tools/sandbox.py) and the app on them. A Session ends everything it
started when its `with` block is left, by return, failure, SIGTERM or its time budget running out."""

import ctypes
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from sandbox import Sandbox

MAIN_TITLE = "Tavrel Agent Service"

_libc = ctypes.CDLL(None, use_errno=True)


def _die_with_parent():
    # Children end with the session even if it is killed outright (a CTest time-out).
    _libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    os.setsid()


def wait_for(what, predicate, timeout=10.0):
    """Polls predicate until it returns something true, and returns that."""
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(0.05)
    return value


class Session:
    def __init__(self, name, budget=120):
        self.name, self.budget = name, budget
        self.tmp = Path(tempfile.mkdtemp(prefix=f"tavrel-{name}-"))
        self.processes, self.sandboxes, self.display = [], [], None
        (self.tmp / "runtime").mkdir(mode=0o700)

    def __enter__(self):
        def expire(*_):
            raise TimeoutError(f"{self.name}: time budget of {self.budget} s used up")

        signal.signal(signal.SIGALRM, expire)
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
        signal.alarm(self.budget)
        return self

    def __exit__(self, *_):
        signal.alarm(0)
        for process in reversed(self.processes):
            self._end(process)
        for box in self.sandboxes:
            box.remove()
        shutil.rmtree(self.tmp, ignore_errors=True)

    @staticmethod
    def _end(process):
        for sig in (signal.SIGTERM, signal.SIGKILL):
            if process.poll() is not None:
                return
            try:
                os.killpg(process.pid, sig)
                process.wait(timeout=3)
            except (OSError, subprocess.TimeoutExpired):
                pass

    def spawn(self, args, **kwargs):
        process = subprocess.Popen([str(a) for a in args], preexec_fn=_die_with_parent, stdin=subprocess.DEVNULL,
                                   **kwargs)
        self.processes.append(process)
        return process

    def end(self, process):
        self._end(process)
        self.processes.remove(process)

    def start_xvfb(self, screen="1280x1024"):
        """A private X server on a display it picks itself and reports through -displayfd."""
        read_end, write_end = os.pipe()
        self.spawn(["Xvfb", "-displayfd", write_end, "-screen", "0", f"{screen}x24", "-nolisten", "tcp", "-noreset"],
                   pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(read_end, 16)  # the time budget guards against a hang
            if not chunk:
                raise RuntimeError("Xvfb exited before reporting its display")
            number += chunk
        os.close(read_end)
        self.display = ":" + number.decode().strip()
        return self.display

    def x_env(self):
        env = {k: v for k, v in os.environ.items() if k not in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORMTHEME",
                                                               "SESSION_MANAGER", "DBUS_SESSION_BUS_ADDRESS")}
        env.update(DISPLAY=self.display, QT_QPA_PLATFORM="xcb", XDG_RUNTIME_DIR=str(self.tmp / "runtime"),
                   QT_ACCESSIBILITY="0", NO_AT_BRIDGE="1")
        return env

    def sandbox(self, api_url, interval=None):
        """A sandbox whose stand-in agent runs (and ends itself should this process die), writing a
        line every interval seconds (by default one a second)."""
        box = Sandbox.create(self.tmp / f"sandbox{len(self.sandboxes)}", api_url, watch_pid=os.getpid(),
                             interval=interval)
        self.sandboxes.append(box)
        result = box.systemctl("start")
        if result.returncode != 0:
            raise RuntimeError("the stand-in systemctl failed to start the agent: " + result.stderr)
        wait_for("the stand-in agent", box.agent_pids)
        return box

    def start_app(self, binary, box, log_name="app", env=None, options=()):
        with open(self.tmp / f"{log_name}.out", "wb") as sink:
            return self.spawn([binary, box.root, *options], env=env or self.x_env(), stdout=sink,
                              stderr=subprocess.STDOUT)

    def app_output(self, log_name="app"):
        path = self.tmp / f"{log_name}.out"
        return path.read_text(errors="replace") if path.exists() else ""
