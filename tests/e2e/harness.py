"""What the end-to-end tests and bench/footprint share: a private X server, the stand-in server,
sandboxes, the demo app, xdotool input, and cleanup of every process started, even on failure.

A Session is a context manager; everything it starts ends when the `with` block is left, by
return, exception, SIGTERM or its own time budget running out.
"""

import ctypes
import json
import os
import re
import signal
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from sandbox import Sandbox, unregistered_config  # noqa: E402

MAIN_TITLE = "Tavrel Agent Service"
SETUP_TITLE = "Tavrel Agent — Setup"
SETTINGS_TITLE = "Tavrel Agent — Settings"

# The status colours a person sees: running and success, stopped and errors, anything else.
GREEN = (52, 199, 89)
RED = (179, 26, 26)
ORANGE = (255, 149, 0)

_libc = ctypes.CDLL(None, use_errno=True)


def _die_with_parent():
    # Children end with the test even if it is killed outright (a CTest time-out).
    _libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    os.setsid()


class Failure(AssertionError):
    pass


class TimeBudgetExceeded(Exception):
    pass


def wait_for(what, predicate, timeout=10.0, interval=0.05):
    """Polls predicate until it returns something true; that value, or Failure naming `what`."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(interval)


def check(condition, message):
    if not condition:
        raise Failure(message)


class Session:
    def __init__(self, name, budget=120):
        self.name = name
        self.budget = budget
        self.tmp = Path(tempfile.mkdtemp(prefix=f"tavrel-e2e-{name}-"))
        self.processes = []
        self.sandboxes = []
        self.display = None
        self.runtime_dir = self.tmp / "runtime"
        self.runtime_dir.mkdir(mode=0o700)

    # -- lifetime ---------------------------------------------------------------------------
    def __enter__(self):
        def expire(*_):
            raise TimeBudgetExceeded(f"{self.name}: time budget of {self.budget} s used up")

        def terminate(*_):
            raise SystemExit(143)

        signal.signal(signal.SIGALRM, expire)
        signal.signal(signal.SIGTERM, terminate)
        signal.alarm(self.budget)
        return self

    def __exit__(self, exc_type, exc, tb):
        signal.alarm(0)
        if exc_type is not None:
            self.report_failure()
        self.close()
        return False

    def report_failure(self):
        """Leaves a screenshot in the working directory and prints what the apps said."""
        if self.display:
            shot = Path.cwd() / f"e2e-{self.name}-failure.png"
            try:
                self.screenshot(shot)
                print(f"screenshot of the failure: {shot}", file=sys.stderr)
            except (OSError, subprocess.SubprocessError):
                pass
        for output in sorted(self.tmp.glob("*.out")):
            text = output.read_text(errors="replace")[-4000:]
            if text.strip():
                print(f"--- {output.name} ---\n{text}", file=sys.stderr)

    def close(self):
        for process in reversed(self.processes):
            self._end(process)
        self.processes.clear()
        for sandbox in self.sandboxes:
            sandbox.remove()
        self.sandboxes.clear()
        shutil.rmtree(self.tmp, ignore_errors=True)

    @staticmethod
    def _end(process):
        if process.poll() is not None:
            return
        try:
            os.killpg(process.pid, signal.SIGTERM)
        except OSError:
            process.terminate()
        try:
            process.wait(timeout=3)
        except subprocess.TimeoutExpired:
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except OSError:
                process.kill()
            process.wait(timeout=3)

    def spawn(self, args, env=None, **kwargs):
        process = subprocess.Popen([str(a) for a in args], env=env, preexec_fn=_die_with_parent,
                                   stdin=subprocess.DEVNULL, **kwargs)
        self.processes.append(process)
        return process

    def end(self, process):
        self._end(process)
        if process in self.processes:
            self.processes.remove(process)

    # -- the X server -----------------------------------------------------------------------
    def start_xvfb(self):
        """A private X server on a free display (Xvfb picks it and writes it to -displayfd)."""
        read_end, write_end = os.pipe()
        self.spawn(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
                    "-noreset"], pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 15
        while not number.endswith(b"\n"):
            if time.monotonic() > deadline:
                raise Failure("Xvfb did not report its display")
            chunk = os.read(read_end, 16)
            if not chunk:
                raise Failure("Xvfb exited before reporting its display")
            number += chunk
        os.close(read_end)
        self.display = ":" + number.decode().strip()
        return self.display

    def x_env(self):
        env = dict(os.environ)
        for name in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "QT_QPA_PLATFORMTHEME", "SESSION_MANAGER",
                     "DBUS_SESSION_BUS_ADDRESS"):
            env.pop(name, None)
        env.update(DISPLAY=self.display, QT_QPA_PLATFORM="xcb", XDG_RUNTIME_DIR=str(self.runtime_dir),
                   QT_ACCESSIBILITY="0", NO_AT_BRIDGE="1")
        return env

    # -- the stand-in server ----------------------------------------------------------------
    def start_server(self, binary, user, password):
        """tavrel-mock-server on a free loopback port; returns (api base URL, request log path)."""
        out = self.tmp / "server.out"
        requests = self.tmp / "server-requests.jsonl"
        with open(out, "wb") as sink:
            process = self.spawn([binary, "--port", "0", "--user", user, "--password", password, "--log", requests],
                                 stdout=sink, stderr=subprocess.STDOUT)

        def port():
            if process.poll() is not None:
                raise Failure("tavrel-mock-server exited: " + out.read_text(errors="replace"))
            match = re.search(r"listening on 127\.0\.0\.1:(\d+)", out.read_text(errors="replace"))
            return match and int(match.group(1))

        number = wait_for("the stand-in server to listen", port, timeout=10)
        return f"http://127.0.0.1:{number}/api/v1/agentservice", requests

    @staticmethod
    def server_requests(path):
        try:
            lines = Path(path).read_text(encoding="utf-8").splitlines()
        except OSError:
            return []
        result = []
        for line in lines:
            if line.strip():
                entry = json.loads(line)
                body = entry.get("body")
                if isinstance(body, str):
                    try:
                        entry["body"] = json.loads(body)
                    except ValueError:
                        pass
                result.append(entry)
        return result

    # -- sandboxes and the app --------------------------------------------------------------
    def sandbox(self, api_url, config=None, rotate_bytes=1 << 20, start_agent=True):
        sandbox = Sandbox.create(self.tmp / f"sandbox{len(self.sandboxes)}", api_url=api_url,
                                 rotate_bytes=rotate_bytes, config=config, watch_pid=os.getpid())
        self.sandboxes.append(sandbox)
        if start_agent:
            result = sandbox.systemctl("start")
            check(result.returncode == 0, "the stand-in service manager failed to start the agent: " + result.stderr)
            wait_for("the stand-in agent", sandbox.agent_pids, timeout=10)
        return sandbox

    def start_app(self, binary, sandbox, *args, log_name="app"):
        log = self.tmp / f"{log_name}.out"
        with open(log, "wb") as sink:
            return self.spawn([binary, sandbox.root, *args], env=self.x_env(), stdout=sink, stderr=subprocess.STDOUT)

    def app_output(self, log_name="app"):
        try:
            return (self.tmp / f"{log_name}.out").read_text(errors="replace")
        except OSError:
            return ""

    # -- X input ----------------------------------------------------------------------------
    def xdotool(self, *args, timeout=10):
        result = subprocess.run(["xdotool", *[str(a) for a in args]], env=self.x_env(), capture_output=True,
                                text=True, timeout=timeout)
        return result

    def visible_windows(self, title=None):
        """Ids of mapped windows, those whose title is exactly `title` when given."""
        if title is None:
            result = self.xdotool("search", "--onlyvisible", "--name", "")
        else:
            result = self.xdotool("search", "--onlyvisible", "--name", "^" + re.escape(title) + "$")
        return [int(w) for w in result.stdout.split()]

    def window(self, title, timeout=10):
        return wait_for(f'the window "{title}"', lambda: (self.visible_windows(title) or [None])[0],
                        timeout=timeout)

    def wait_gone(self, window_id, what, timeout=10):
        wait_for(f"{what} to close", lambda: window_id not in self.visible_windows(), timeout=timeout)

    def geometry(self, window_id):
        result = self.xdotool("getwindowgeometry", "--shell", window_id)
        values = dict(line.split("=", 1) for line in result.stdout.split() if "=" in line)
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def click(self, window_id, frame):
        """A left click in the middle of frame (x, y, width, height), relative to the window."""
        x, y, width, height = frame
        self.xdotool("mousemove", "--window", window_id, x + width // 2, y + height // 2)
        time.sleep(0.05)
        self.xdotool("click", "1")
        time.sleep(0.1)

    def type_into(self, window_id, frame, text):
        """Clicks a text field, selects what it holds and types text over it."""
        self.click(window_id, frame)
        self.xdotool("key", "ctrl+a")
        if text:
            self.xdotool("type", "--delay", "15", text)
        else:
            self.xdotool("key", "BackSpace")
        time.sleep(0.05)

    def activate(self, window_id):
        """Gives a window the keyboard focus (there is no window manager to do it)."""
        self.xdotool("windowfocus", "--sync", window_id)
        time.sleep(0.2)

    def key(self, *keys):
        self.xdotool("key", *keys)
        time.sleep(0.1)

    def pixels(self, window_id, frame):
        """The RGB pixels of frame (x, y, width, height) in a window, as the screen shows them."""
        x, y, width, height = frame
        result = subprocess.run(["import", "-window", str(window_id), "-crop", f"{width}x{height}+{x}+{y}", "+repage",
                                 "-depth", "8", "rgb:-"], env=self.x_env(), capture_output=True, timeout=20)
        data = result.stdout
        return [tuple(data[i:i + 3]) for i in range(0, len(data) - 2, 3)]

    def shows_colour(self, window_id, frame, rgb, tolerance=48, least=8):
        """Whether text or fill of about this colour shows in frame (antialiasing blends the
        edges of glyphs, but their cores keep the colour)."""
        close = sum(1 for p in self.pixels(window_id, frame) if sum(abs(a - b) for a, b in zip(p, rgb)) <= tolerance)
        return close >= least

    def screenshot(self, path):
        subprocess.run(["import", "-window", "root", str(path)], env=self.x_env(), capture_output=True, timeout=20)


def run(test):
    """Runs test() and turns a failure into a readable message and exit status 1."""
    try:
        test()
    except (AssertionError, TimeBudgetExceeded) as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        return 1
    print("PASS")
    return 0


__all__ = ["Session", "Sandbox", "Failure", "wait_for", "check", "run", "unregistered_config",
           "MAIN_TITLE", "SETUP_TITLE", "SETTINGS_TITLE", "GREEN", "RED", "ORANGE"]
