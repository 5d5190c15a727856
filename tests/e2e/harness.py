"""What the end-to-end tests share beyond tools/session.py: the stand-in server, xdotool input at
the views' frames, a look at the screen, and a report of what went wrong."""

import json
import os
import re
import shutil
import socket
import subprocess
import sys
import types
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import session  # noqa: E402
from sandbox import unregistered_config  # noqa: E402,F401
from session import MAIN_TITLE, wait_for  # noqa: E402,F401

SETUP_TITLE, SETTINGS_TITLE = "Tavrel Agent — Setup", "Tavrel Agent — Settings"
GREEN, RED, HIGHLIGHT = (52, 199, 89), (179, 26, 26), (48, 140, 198)
# Where the views sit in their window (x, y, width, height): xdotool clicks at their middle.
SETUP_SETTINGS, HEADER, LOG_PANE = (16, 391, 160, 28), (0, 0, 540, 77), (16, 459, 492, 200)


# What the tests as root install and start, and remove and stop again.
BUS, POLKITD = Path("/run/dbus/system_bus_socket"), Path("/usr/lib/polkit-1/polkitd")
ACTIONS = Path("/usr/share/polkit-1/actions/com.tavrel.agent.policy")
AGENT_DIR = Path("/var/tavrel/agentservice")


def check(condition, message):
    if not condition:
        raise AssertionError(message)


class Session(session.Session):
    def __exit__(self, exc_type, *rest):
        try:
            if exc_type is not None:
                self.report_failure()
        finally:
            super().__exit__(exc_type, *rest)

    def report_failure(self):
        if self.display:
            shot = Path.cwd() / f"e2e-{self.name}-failure.png"
            self.run(["import", "-window", "root", shot])
            print(f"screenshot of the failure: {shot}", file=sys.stderr)
        for output in sorted(self.tmp.glob("*.out")):
            print(f"--- {output.name} ---\n{output.read_text(errors='replace')[-4000:]}", file=sys.stderr)

    def run(self, args):
        return subprocess.run([str(a) for a in args], env=self.x_env(), capture_output=True, timeout=20)

    def start_server(self, binary, user, password):
        """tavrel-mock-server on a free loopback port; returns its API base URL."""
        out, self.requests = self.tmp / "server.out", self.tmp / "server-requests.jsonl"
        with open(out, "wb") as sink:
            process = self.spawn([binary, "--port", "0", "--user", user, "--password", password,
                                  "--log", self.requests], stdout=sink, stderr=subprocess.STDOUT)

        def port():
            check(process.poll() is None, "tavrel-mock-server exited")
            return re.search(r"listening on 127\.0\.0\.1:(\d+)", out.read_text(errors="replace"))

        return f"http://127.0.0.1:{wait_for('the stand-in server', port)[1]}/api/v1/agentservice"

    def server_bodies(self, suffix):
        """The bodies of the requests the server received at paths ending in suffix."""
        entries = map(json.loads, self.requests.read_text(encoding="utf-8").splitlines())
        return [e["body"] for e in entries if e["path"].endswith(suffix)]

    def start_tray(self, program):
        """A system tray (X11 embedding) at the top right, for the status icon and its menu."""
        self.spawn([program, "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24"],
                   env=self.x_env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for("the system tray", lambda: self.run(["xdotool", "search", "--onlyvisible", "--class",
                                                      "^trayer$"]).stdout.split())

    def app_windows(self):
        """The app's visible windows (its status icon and menu too) by id, with their sizes."""
        found = self.run(["xdotool", "search", "--onlyvisible", "--classname", "^tavrel-agent-demo$"]).stdout.split()
        return {w: size for w in map(int, found) if (size := self.geometry(w)[2:])}

    def choose_quit(self):
        """Quit from the status icon's menu: a click on the icon opens it, Up selects its last entry."""
        icon = wait_for("the status icon", lambda: next((w for w, (width, height) in self.app_windows().items()
                                                         if width <= 32 and height <= 32), None))
        before = set(self.app_windows())
        # Each time at another spot: two clicks at one spot in quick succession make a double click.
        self.quits = getattr(self, "quits", 0) + 1
        self.click(icon, (4, 4, 1, 1) if self.quits % 2 else (17, 17, 1, 1))
        wait_for("the status menu", lambda: set(self.app_windows()) - before)
        self.run(["xdotool", "key", "Up", "Return"])

    def scroll(self, window_id, frame, clicks):
        """Turns the mouse wheel over frame: down for clicks > 0, up for clicks < 0."""
        x, y, width, height = frame
        self.run(["xdotool", "mousemove", "--window", window_id, x + width // 2, y + height // 2,
                  "click", "--repeat", abs(clicks), "5" if clicks > 0 else "4"])

    def geometry(self, window_id):
        """x, y, width and height; nothing for a window that has gone."""
        found = re.search(r"Position: (-?\d+),(-?\d+).*Geometry: (\d+)x(\d+)",
                          self.run(["xdotool", "getwindowgeometry", window_id]).stdout.decode(), re.S)
        return tuple(map(int, found.groups())) if found else ()

    def visible_windows(self, title):
        found = self.run(["xdotool", "search", "--onlyvisible", "--name", f"^{re.escape(title)}$"])
        return [int(w) for w in found.stdout.split()]

    def window(self, title, timeout=10):
        return wait_for(f'the window "{title}"', lambda: (self.visible_windows(title) or [None])[0], timeout)

    def window_other_than(self, title, window_id):
        """A window with this title besides window_id (an alert titled like its sheet)."""
        return wait_for(f'a second window "{title}"',
                        lambda: next((w for w in self.visible_windows(title) if w != window_id), None))

    def wait_gone(self, window_id, title):
        wait_for(f'"{title}" to close', lambda: window_id not in self.visible_windows(title))

    def click(self, window_id, frame):
        x, y, width, height = frame
        self.run(["xdotool", "mousemove", "--window", window_id, x + width // 2, y + height // 2, "click", "1"])

    def enter(self, window_id, text=""):
        """Types text into the window's focused view, then Return (Tab moves on to the next view)."""
        self.run(["xdotool", "windowfocus", "--sync", window_id])  # no window manager gives it the keyboard
        self.run(["xdotool", "type", "--delay", "15", text])  # takes every argument after it as text
        self.run(["xdotool", "key", "Return"])

    def shows_colour(self, window_id, frame, rgb, tolerance=48, least=8):
        """Whether text or fill of about this colour shows in frame (antialiasing blends the
        edges of glyphs, but their cores keep the colour)."""
        x, y, width, height = frame
        data = self.run(["import", "-window", window_id, "-crop", f"{width}x{height}+{x}+{y}", "+repage",
                         "-depth", "8", "rgb:-"]).stdout
        pixels = (data[i:i + 3] for i in range(0, len(data) - 2, 3))
        return sum(sum(abs(a - b) for a, b in zip(p, rgb)) <= tolerance for p in pixels) >= least


def skip_unless_root(tools, paths, more=()):
    """Exits 77 (skipped) unless root, with every tool, and none of paths or more (names) there."""
    missing = [t for t in tools if not shutil.which(t)]
    present = [p for p in paths if os.geteuid() == 0 and p.exists()] + list(more)
    if os.geteuid() != 0 or missing or present:
        print(f"SKIP: needs root (CI runs it); not installed: {missing}; there already: {present}")
        sys.exit(77)


def bus_answers():
    with socket.socket(socket.AF_UNIX) as probe:
        return probe.connect_ex(str(BUS)) == 0


def make_folder(undo, folder):
    """Makes folder, and has the topmost of the folders it made removed at the end."""
    made = [p for p in reversed([folder, *folder.parents]) if not p.exists()]
    folder.mkdir(parents=True, exist_ok=True)
    undo.callback(lambda: made and shutil.rmtree(made[0], ignore_errors=True))


def install_helper(undo, args, helper):
    """The helper at its installed path and our polkit policy, and the agent's folder."""
    for folder in (helper.parent, AGENT_DIR):
        make_folder(undo, folder)
    for source, target in ((args.helper, helper), (args.policy, ACTIONS)):
        shutil.copy(source, target)
        undo.callback(target.unlink, missing_ok=True)
    helper.chmod(0o755)


def add_user(undo, name, *options):
    """A user without a home and a login shell, removed at the end (unless it was there already)."""
    if subprocess.run(["useradd", "--no-create-home", "--shell", "/usr/sbin/nologin", *options, name]).returncode == 0:
        undo.callback(subprocess.run, ["userdel", name])


def start_polkit(undo):
    """A system D-Bus and polkitd, each unless one runs already."""
    if not bus_answers():
        bus = subprocess.Popen(["dbus-daemon", "--system", "--nofork", "--nopidfile"], stderr=subprocess.DEVNULL)
        undo.callback(BUS.unlink, missing_ok=True)
        undo.callback(bus.wait, 10)
        undo.callback(bus.terminate)
        wait_for("the system bus", bus_answers)
    if subprocess.run(["pgrep", "-x", "polkitd"], capture_output=True).returncode != 0:
        polkitd = subprocess.Popen([POLKITD, "--no-debug"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        undo.callback(polkitd.wait, 10)
        undo.callback(polkitd.terminate)


def main(test):
    """Runs test(args) with the command line of tests/e2e.cmake (--some-option value becomes
    args.some_option); a failure is a message and status 1."""
    options = {name[2:].replace("-", "_"): value for name, value in zip(sys.argv[1::2], sys.argv[2::2])}
    try:
        test(types.SimpleNamespace(**options))
    except (AssertionError, TimeoutError, subprocess.TimeoutExpired) as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        return 1
    print("PASS")
    return 0
