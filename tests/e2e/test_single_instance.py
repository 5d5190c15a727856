#!/usr/bin/env python3
"""End to end: a second tavrel-agent-demo on the same sandbox exits 0 at once and leaves the
first running; one on another sandbox is a separate instance."""

import argparse
import subprocess
import sys
import time

from harness import MAIN_TITLE, Failure, Session, check, run, wait_for


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    args = parser.parse_args()

    def test():
        with Session("single-instance", budget=60) as s:
            s.start_xvfb()
            box = s.sandbox("http://127.0.0.1:9/api/v1/agentservice")
            first = s.start_app(args.app, box)
            s.window(MAIN_TITLE, timeout=20)

            # It gives up before any window exists; the wait only guards against a hang.
            second = s.start_app(args.app, box, log_name="second")
            try:
                status = second.wait(timeout=15)
            except subprocess.TimeoutExpired:
                raise Failure("the second instance is still running") from None
            check(status == 0, f"the second instance exited with {status}: {s.app_output('second')}")
            check(not s.app_output("second").strip(), "the second instance said something: " + s.app_output("second"))
            time.sleep(0.5)
            check(first.poll() is None, "the first instance quit: " + s.app_output())
            check(len(s.visible_windows(MAIN_TITLE)) == 1, "the second instance showed a window")

            other = s.sandbox("http://127.0.0.1:9/api/v1/agentservice", start_agent=False)
            third = s.start_app(args.app, other, log_name="third")
            wait_for("a window from the demo on another sandbox", lambda: len(s.visible_windows(MAIN_TITLE)) == 2,
                     timeout=20)
            check(third.poll() is None, "the demo on another sandbox quit: " + s.app_output("third"))

    return run(test)


if __name__ == "__main__":
    sys.exit(main())
