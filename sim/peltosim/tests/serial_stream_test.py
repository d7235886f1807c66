#!/usr/bin/env python3
"""--serial-out is written as the bytes are sent: a run that never ends has its output in the
file while it runs, and a kill (SIGKILL, no chance to clean up) loses none of it.

  serial_stream_test.py --sim PELTO_SIM --program serial_then_spin.ihx
"""
import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time

# The bytes are in the file long before this; the limit only ends a failing test.
WAIT_SECONDS = 20
POLL_SECONDS = 0.05


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", nargs="+", required=True)
    parser.add_argument("--program", required=True)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "serial.txt")
        run = subprocess.Popen(args.sim + [args.program, "--max-cycles", "0", "--serial-out", out])
        deadline = time.monotonic() + WAIT_SECONDS
        sent = b""
        while time.monotonic() < deadline and sent != b"OK\n":
            time.sleep(POLL_SECONDS)
            sent = open(out, "rb").read() if os.path.exists(out) else b""
        still_running = run.poll() is None
        run.send_signal(signal.SIGKILL)
        run.wait()
        after_kill = open(out, "rb").read() if os.path.exists(out) else b""
    failures = []
    if not still_running:
        failures.append("the run ended by itself")
    if sent != b"OK\n":
        failures.append(f"while running, the file held {sent!r}")
    if after_kill != b"OK\n":
        failures.append(f"after the kill, the file held {after_kill!r}")
    for f in failures:
        print("serial_stream_test: FAILED:", f)
    if not failures:
        print("serial_stream_test: passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
