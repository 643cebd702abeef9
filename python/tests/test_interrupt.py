"""Ctrl-C during a frame wait, with a camera that sends one frame and then nothing (a recording of
one frame played back): only the interrupt can end the wait, which ends with KeyboardInterrupt,
and capture stops."""

import os
import signal
import subprocess
import sys

import pytest

# Each waits for frames in its own way; the first frame is announced, then SIGINT comes.
WAITS = {
    "frames": """
for frame in cam.frames(timeout=None):
    print("frame", flush=True)
""",
    "read_frame": """
cam.start()
while True:
    cam.read_frame(timeout=30)
    print("frame", flush=True)
""",
}

CHILD = """
import sys, time, tarvo
cam = tarvo.open()
try:
{wait}
except KeyboardInterrupt:
    interrupted = time.monotonic()
    capturing = cam.capturing
    cam.close()
    print("interrupted", interrupted, capturing, time.monotonic() - interrupted, flush=True)
"""


@pytest.mark.parametrize("wait", sorted(WAITS))
def test_ctrl_c_ends_a_frame_wait_at_one_frame_per_second(wait):
    body = "\n".join("    " + line for line in WAITS[wait].strip().splitlines())
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD.format(wait=body)], stdout=subprocess.PIPE, text=True
    )
    try:
        assert child.stdout.readline() == "frame\n"
        os.kill(child.pid, signal.SIGINT)
        out, _ = child.communicate(timeout=60)
    finally:
        child.kill()
    word, _interrupted, capturing, _closing = out.split()
    # A wait deaf to Ctrl-C would have run into its time-out (read_frame) or never ended.
    assert word == "interrupted"
    if wait == "frames":
        # However the interrupt came (it may also hit the print), the stream stops capture.
        assert capturing == "False"
