"""Starts `tarvo view` under the virtual camera launcher and talks to it over HTTP."""
import json
import os
import re
import select
import signal
import struct
import subprocess
import threading
import time
import urllib.error
import urllib.request


class Viewer:
    """`tarvo-vcam --scene box -- tarvo view --port 0`, stopped when the block ends; with `vcam`
    None, `tarvo view --port 0` without a camera (for --source)."""

    def __init__(self, vcam, tarvo, workdir, *options, env=None):
        self.args = [tarvo, "view", "--port", "0", *options]
        if vcam:
            self.args = [vcam, "--scene", "box", "--"] + self.args
        self.workdir = workdir
        self.env = env

    def __enter__(self):
        self.proc = subprocess.Popen(self.args, cwd=self.workdir, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, start_new_session=True,
                                     env=self.env)
        seen = b""
        while True:
            ready, _, _ = select.select([self.proc.stdout], [], [], 120)
            line = self.proc.stdout.readline() if ready else b""
            if not line:
                raise RuntimeError("tarvo view printed no address: " + seen.decode(errors="replace"))
            seen += line
            m = re.search(rb"(http://[^/\s]+)/\?token=([0-9a-f]+)", line)
            if m:
                self.base, self.token = m.group(1).decode(), m.group(2).decode()
                self.url = line.split()[-1].decode()
                # Keep reading, so that a full pipe never stalls the tool.
                self.output = seen
                self.reader = threading.Thread(target=self._drain, daemon=True)
                self.reader.start()
                return self

    def _drain(self):
        for line in self.proc.stdout:
            self.output += line

    def __exit__(self, *exc):
        os.killpg(self.proc.pid, signal.SIGTERM)
        try:
            self.proc.wait(30)  # generous: a stop takes well under a second
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        self.reader.join(60)
        self.proc.stdout.close()
        # A clean stop on SIGTERM; a crash or a sanitizer report fails the test.
        if self.proc.returncode != 0:
            raise AssertionError(f"tarvo view ended with {self.proc.returncode}:\n"
                                 + self.output.decode(errors="replace"))

    def request(self, path, data=None, headers=None):
        """(status, body) of a GET, or a POST when data is given (form-encoded)."""
        req = urllib.request.Request(self.base + path, data=data, headers=headers or {})
        try:
            with urllib.request.urlopen(req, timeout=60) as res:
                return res.status, res.read()
        except urllib.error.HTTPError as e:
            return e.code, e.read()

    def next_frame(self, path, headers=None):
        """The body of a frame request, asked again while the server answers 204 (no new frame
        within its wait): a slow host may take many waits to decode the first frame."""
        for _ in range(120):
            status, body = self.request(path, headers=headers)
            if status != 204:
                break
        assert status == 200, (status, body)
        return body

    def status(self):
        code, body = self.request("/status")
        assert code == 200, (code, body)
        return json.loads(body)

    def post(self, path, body, **headers):
        """(status, body) of a form POST with the run's token (unless headers say otherwise)."""
        headers.setdefault("X-Tarvo-Token", self.token)
        return self.request(path, data=body.encode(), headers=headers)

    def frame(self, after=0):
        """The newest frame after `after`: (seq, width, height, depth mm list)."""
        body = self.next_frame(f"/frame?after={after}")
        assert body[:4] == b"TVF1"
        seq, width, height = struct.unpack_from("<IHH", body, 4)
        assert len(body) == 24 + 4 * width * height
        depth = struct.unpack_from(f"<{width * height}H", body, 24)
        return seq, width, height, depth

    def frame_header(self, after=0):
        """(seq, camera frame index, capture time in ms) of the newest frame after `after`."""
        body = self.next_frame(f"/frame?after={after}")
        seq, _, _, index = struct.unpack_from("<IHHH", body, 4)
        (captured,) = struct.unpack_from("<d", body, 16)
        return seq, index, captured


def median(values):
    values = sorted(v for v in values if v)
    return values[len(values) // 2]


def centre_and_edge(width, height, pixel):
    """Median depths of the image's centre (the box) and of its left and right edges (the wall)."""
    centre = [pixel(x, y) for y in range(height * 2 // 5, height * 3 // 5)
              for x in range(width * 2 // 5, width * 3 // 5)]
    edge = [pixel(x, y) for y in range(height // 3, height * 2 // 3)
            for x in list(range(0, width // 10)) + list(range(width * 9 // 10, width))]
    return median(centre), median(edge)
