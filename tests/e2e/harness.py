"""What the end-to-end tests and bench/footprint share: a private X server, the stand-in server,
sandboxes, the demo app and xdotool input. A Session ends everything it started when its `with`
block is left, by return, failure, SIGTERM or its time budget running out."""

import argparse
import ctypes
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from sandbox import Sandbox, unregistered_config  # noqa: E402,F401

MAIN_TITLE = "Tavrel Agent Service"
SETUP_TITLE = "Tavrel Agent — Setup"
SETTINGS_TITLE = "Tavrel Agent — Settings"
ALERT_TITLE = "Tavrel Agent"
GREEN, RED, ORANGE = (52, 199, 89), (179, 26, 26), (255, 149, 0)

# Where the views sit in their window (x, y, width, height), as the windows lay them out.
SERVICE_STATUS = (152, 104, 342, 18)
REGISTRATION_SENTENCE = (16, 299, 492, 22)
START, STOP, RESTART = (16, 351, 100, 28), (126, 351, 100, 28), (236, 351, 100, 28)
SETUP_SETTINGS = (16, 391, 160, 28)
REG_USERNAME, REG_PASSWORD = (150, 136, 290, 22), (150, 166, 290, 22)
REG_CLIENT, REG_LOCATION = (150, 196, 290, 22), (150, 226, 290, 22)
REG_REGISTER = (20, 286, 100, 28)
SET_UNREGISTER, SET_REAUTH_TOGGLE = (161, 226, 138, 28), (302, 226, 138, 28)
REAUTH_USER, REAUTH_PASSWORD, REAUTH_BUTTON = (136, 316, 294, 24), (136, 350, 294, 24), (280, 386, 150, 28)

_libc = ctypes.CDLL(None, use_errno=True)


def _die_with_parent():
    # Children end with the test even if it is killed outright (a CTest time-out).
    _libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    os.setsid()


class Failure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(what, predicate, timeout=10.0):
    """Polls predicate until it returns something true, and returns that."""
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        check(time.monotonic() < deadline, f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(0.05)
    return value


class Session:
    def __init__(self, name, budget=120):
        self.name, self.budget = name, budget
        self.tmp = Path(tempfile.mkdtemp(prefix=f"tavrel-e2e-{name}-"))
        self.processes, self.sandboxes, self.display = [], [], None
        (self.tmp / "runtime").mkdir(mode=0o700)

    def __enter__(self):
        def expire(*_):
            raise Failure(f"{self.name}: time budget of {self.budget} s used up")

        def terminate(*_):
            raise SystemExit(143)

        signal.signal(signal.SIGALRM, expire)
        signal.signal(signal.SIGTERM, terminate)
        signal.alarm(self.budget)
        return self

    def __exit__(self, exc_type, exc, tb):
        signal.alarm(0)
        try:
            if exc_type is not None:
                self.report_failure()
        finally:
            for process in reversed(self.processes):
                self._end(process)
            for box in self.sandboxes:
                box.remove()
            shutil.rmtree(self.tmp, ignore_errors=True)

    def report_failure(self):
        if self.display:
            shot = Path.cwd() / f"e2e-{self.name}-failure.png"
            try:
                subprocess.run(["import", "-window", "root", shot], env=self.x_env(), capture_output=True, timeout=20)
                print(f"screenshot of the failure: {shot}", file=sys.stderr)
            except (OSError, subprocess.SubprocessError):
                pass
        for output in sorted(self.tmp.glob("*.out")):
            print(f"--- {output.name} ---\n{output.read_text(errors='replace')[-4000:]}", file=sys.stderr)

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

    def start_xvfb(self):
        """A private X server on a display it picks itself and reports through -displayfd."""
        read_end, write_end = os.pipe()
        self.spawn(["Xvfb", "-displayfd", write_end, "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset"],
                   pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(read_end, 16)  # the session's time budget guards against a hang
            check(chunk, "Xvfb exited before reporting its display")
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

    def start_server(self, binary, user, password):
        """tavrel-mock-server on a free loopback port; returns (API base URL, request log path)."""
        out, requests = self.tmp / "server.out", self.tmp / "server-requests.jsonl"
        with open(out, "wb") as sink:
            process = self.spawn([binary, "--port", "0", "--user", user, "--password", password, "--log", requests],
                                 stdout=sink, stderr=subprocess.STDOUT)

        def port():
            check(process.poll() is None, "tavrel-mock-server exited")
            return re.search(r"listening on 127\.0\.0\.1:(\d+)", out.read_text(errors="replace"))

        return f"http://127.0.0.1:{wait_for('the stand-in server', port)[1]}/api/v1/agentservice", requests

    @staticmethod
    def server_requests(path, suffix):
        lines = Path(path).read_text(encoding="utf-8").splitlines() if Path(path).exists() else []
        return [entry for entry in map(json.loads, filter(str.strip, lines)) if entry["path"].endswith(suffix)]

    def sandbox(self, api_url, config=None):
        box = Sandbox.create(self.tmp / f"sandbox{len(self.sandboxes)}", api_url, config=config,
                             watch_pid=os.getpid())
        self.sandboxes.append(box)
        result = box.systemctl("start")
        check(result.returncode == 0, "the stand-in systemctl failed to start the agent: " + result.stderr)
        wait_for("the stand-in agent", box.agent_pids)
        return box

    def start_app(self, binary, box, *args, log_name="app", env=None):
        with open(self.tmp / f"{log_name}.out", "wb") as sink:
            return self.spawn([binary, box.root, *args], env=env or self.x_env(), stdout=sink,
                              stderr=subprocess.STDOUT)

    def app_output(self, log_name="app"):
        path = self.tmp / f"{log_name}.out"
        return path.read_text(errors="replace") if path.exists() else ""

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *map(str, args)], env=self.x_env(), capture_output=True, text=True,
                              timeout=10)

    def visible_windows(self, title=""):
        found = self.xdotool("search", "--onlyvisible", "--name", f"^{re.escape(title)}$" if title else "")
        return [int(w) for w in found.stdout.split()]

    def window(self, title, timeout=10):
        return wait_for(f'the window "{title}"', lambda: (self.visible_windows(title) or [None])[0], timeout)

    def wait_gone(self, window_id, what):
        wait_for(f"{what} to close", lambda: window_id not in self.visible_windows())

    def height(self, window_id):
        found = self.xdotool("getwindowgeometry", "--shell", window_id).stdout
        return int(re.search(r"HEIGHT=(\d+)", found)[1])

    def click(self, window_id, frame):
        x, y, width, height = frame
        self.xdotool("mousemove", "--window", window_id, x + width // 2, y + height // 2)
        time.sleep(0.05)
        self.xdotool("click", "1")
        time.sleep(0.1)

    def type_into(self, window_id, frame, text):
        """Clicks a text field, selects what it holds and types text over it."""
        self.click(window_id, frame)
        self.xdotool("key", "ctrl+a")
        self.xdotool("type", "--delay", "15", text)
        time.sleep(0.05)

    def press(self, window_id, key):
        # There is no window manager to give the window the keyboard focus.
        self.xdotool("windowfocus", "--sync", window_id)
        time.sleep(0.2)
        self.xdotool("key", key)
        time.sleep(0.1)

    def shows_colour(self, window_id, frame, rgb, tolerance=48, least=8):
        """Whether text or fill of about this colour shows in frame (antialiasing blends the
        edges of glyphs, but their cores keep the colour)."""
        x, y, width, height = frame
        data = subprocess.run(["import", "-window", str(window_id), "-crop", f"{width}x{height}+{x}+{y}", "+repage",
                               "-depth", "8", "rgb:-"], env=self.x_env(), capture_output=True, timeout=20).stdout
        pixels = (data[i:i + 3] for i in range(0, len(data) - 2, 3))
        return sum(sum(abs(a - b) for a, b in zip(p, rgb)) <= tolerance for p in pixels) >= least


def main(test):
    """Runs test(args) with the command line of tests/e2e.cmake; a failure is a message and status 1."""
    parser = argparse.ArgumentParser()
    for option in ("--app", "--server", "--build-dir", "--cpack", "--autostart-dir"):
        parser.add_argument(option)
    try:
        test(parser.parse_args())
    except AssertionError as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        return 1
    print("PASS")
    return 0
