"""tarvo view over HTTP: the page, binary frames of the box scene, changes with the token and
refusals of requests that lack it or come from another origin."""
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from viewer_common import Viewer, centre_and_edge

TARVO, VCAM = sys.argv.pop(1), sys.argv.pop(1)


class ViewHttpTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.viewer = Viewer(VCAM, TARVO, cls.dir.name).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.viewer.__exit__(None, None, None)
        cls.dir.cleanup()

    def post(self, body, **headers):
        return self.viewer.request("/control", data=body.encode(), headers=headers)

    def status(self):
        code, body = self.viewer.request("/status")
        self.assertEqual(code, 200)
        return json.loads(body)

    def test_page_and_its_files(self):
        for path, text in [("/", b"<canvas id=\"depth\""), ("/view.js", b"/frame?after="),
                           ("/style.css", b"canvas")]:
            code, body = self.viewer.request(path)
            self.assertEqual(code, 200, path)
            self.assertIn(text, body, path)

    def test_frames_show_the_box_nearer_than_the_wall_and_advance(self):
        seq, width, height, depth = self.viewer.frame()
        self.assertEqual((width, height), (320, 240))
        box, wall = centre_and_edge(width, height, lambda x, y: depth[y * width + x])
        self.assertLess(box + 500, wall)
        later, _, _, _ = self.viewer.frame(after=seq)
        self.assertGreater(later, seq)

    def test_point_cloud_rays_and_ply(self):
        self.viewer.frame()
        code, rays = self.viewer.request("/rays")
        self.assertEqual(code, 200)
        self.assertEqual(len(rays), 4 + 12 * 320 * 240)
        code, ply = self.viewer.request("/cloud.ply")
        self.assertEqual(code, 200)
        self.assertTrue(ply.startswith(b"ply\n"))

    def test_integration_time_with_the_token_reaches_the_camera(self):
        token = self.viewer.token
        for value in (321, 654):
            code, body = self.post(f"integration={value}", **{"X-Tarvo-Token": token})
            self.assertEqual(code, 200, body)
            self.assertEqual(self.status()["integration_us"], value)
        # The page's own origin is accepted as well.
        code, _ = self.post("frame_rate=25", **{"X-Tarvo-Token": token,
                                                 "Origin": self.viewer.base})
        self.assertEqual(code, 200)
        self.assertEqual(self.status()["frame_rate"], 25)

    def test_filters_change_while_frames_decode(self):
        # Under ThreadSanitizer this shows whether a change races with decoding.
        token = {"X-Tarvo-Token": self.viewer.token}
        for on in ("1", "0", "1", "0"):
            for key in ("hdr", "undistort", "auto_exposure"):
                code, body = self.post(f"{key}={on}", **token)
                self.assertEqual(code, 200, body)
            seq, _, _, _ = self.viewer.frame()
            self.viewer.frame(after=seq)
            status = self.status()
            self.assertEqual([status[k] for k in ("hdr", "undistort", "auto_exposure")],
                             [on == "1"] * 3)

    def test_refused_requests(self):
        token = self.viewer.token
        before = self.status()["integration_us"]
        cases = [
            ("no token", {}, 403),
            ("wrong token", {"X-Tarvo-Token": "0" * 32}, 403),
            ("foreign origin", {"X-Tarvo-Token": token, "Origin": "http://evil.example"}, 403),
            ("foreign host", {"X-Tarvo-Token": token, "Host": "evil.example"}, 403),
        ]
        for name, headers, expected in cases:
            code, _ = self.post("integration=999", **headers)
            self.assertEqual(code, expected, name)
        self.assertEqual(self.status()["integration_us"], before)

    def test_bad_requests_get_an_error_status(self):
        token = {"X-Tarvo-Token": self.viewer.token}
        for body in ["integration=0", "integration=99999", "integration=abc", "frame_rate=-1",
                     "no_such_setting=1", "hdr=maybe", ""]:
            code, _ = self.post(body, **token)
            self.assertEqual(code, 400, body)
        for path in ["/frame?after=x", "/frame?after=99999999999"]:
            code, _ = self.viewer.request(path)
            self.assertEqual(code, 400, path)
        code, _ = self.viewer.request("/no-such-page")
        self.assertEqual(code, 404)
        # Still serving.
        self.assertEqual(self.viewer.request("/")[0], 200)


    def raw(self, head, body=b"", chunks=()):
        """Sends a raw request (head lines, then body and chunks) and returns the status line."""
        host, port = self.viewer.base[len("http://"):].rsplit(":", 1)
        with socket.create_connection((host, int(port)), timeout=60) as s:
            try:
                s.sendall(head.encode() + body)
                for chunk in chunks:
                    s.sendall(chunk)
            except (BrokenPipeError, ConnectionResetError):
                pass  # refused before the client finished: what the limits are for
            try:
                return s.recv(4096).split(b"\r\n", 1)[0]
            except ConnectionResetError:
                return b""

    def test_requests_that_would_cost_memory_are_refused(self):
        host = self.viewer.base[len("http://"):]
        big = 64 * 1024 * 1024
        cases = [
            # A large body without the token: refused before it is read.
            ("body without token", f"POST /control HTTP/1.1\r\nHost: {host}\r\n"
             f"Content-Length: {big}\r\n\r\n", (b"x" * 65536 for _ in range(big // 65536)),
             b"403"),
            # A large body with the token: over the payload limit.
            ("body over the limit", f"POST /control HTTP/1.1\r\nHost: {host}\r\n"
             f"X-Tarvo-Token: {self.viewer.token}\r\nContent-Length: {big}\r\n\r\n",
             (b"x" * 65536 for _ in range(big // 65536)), b"413"),
            ("many ranges", f"GET /view.js HTTP/1.1\r\nHost: {host}\r\nRange: bytes="
             + ",".join(["0-"] * 800) + "\r\n\r\n", (), b"416"),
            ("many header fields", f"GET /status HTTP/1.1\r\nHost: {host}\r\n"
             + "".join(f"X-{i}: y\r\n" for i in range(200)) + "\r\n", (), b"431"),
        ]
        for name, head, chunks, expected in cases:
            line = self.raw(head, chunks=chunks)
            self.assertIn(expected, line, name)
        self.assertEqual(self.viewer.request("/")[0], 200)

    def test_service_continues_with_trickling_clients(self):
        stop = threading.Event()
        tricklers = [threading.Thread(target=trickle, args=(self.viewer.base, stop))
                     for _ in range(8)]
        for t in tricklers:
            t.start()
        try:
            time.sleep(1)
            self.assertEqual(self.viewer.request("/status")[0], 200)
            self.viewer.frame()
        finally:
            stop.set()
            for t in tricklers:
                t.join()

    def test_recording_is_refused_without_a_record_dir(self):
        status = self.status()
        self.assertFalse(status["record_available"])
        self.assertIn("--record-dir", status["record_note"])
        cases = [
            ("start", "action=start", {}, 409, b"start the viewer with --record-dir"),
            ("unknown action", "action=pause", {}, 400, b"action: start or stop"),
            ("no token", "action=start", {"X-Tarvo-Token": ""}, 403, b"forbidden"),
        ]
        for name, body, headers, expected, text in cases:
            code, answer = self.viewer.post("/record", body, **headers)
            self.assertEqual(code, expected, name)
            self.assertIn(text, answer, name)
        self.assertFalse(self.status()["recording"])
        self.assertEqual(os.listdir(self.dir.name), [])

    def test_frame_rate_change_reaches_the_stream(self):
        token = {"X-Tarvo-Token": self.viewer.token}

        def rate():
            """Camera frames per second between two frames a few seconds apart."""
            first, _, _, _ = self.viewer.frame()
            a = self.viewer.frame_header(after=first)
            time.sleep(2.5)
            b = self.viewer.frame_header(after=a[0])
            frames = (b[1] - a[1]) % 65536
            return 1000.0 * frames / (b[2] - a[2])

        code, body = self.post("frame_rate=4", **token)
        self.assertEqual(code, 200, body)
        self.assertEqual(self.status()["frame_rate"], 4)
        slow = rate()
        code, body = self.post("frame_rate=30", **token)
        self.assertEqual(code, 200, body)
        fast = rate()
        # The camera makes 4 and then 30 frames per second. A busy host can only lower what
        # arrives, so the first bound holds at any load; the second leaves 30 against 4.
        self.assertLess(slow, 8, (slow, fast))
        self.assertGreater(fast, slow, (slow, fast))


def trickle(base, stop):
    """A client that sends its request's header lines one a second until `stop` is set."""
    host, port = base[len("http://"):].rsplit(":", 1)
    with socket.create_connection((host, int(port)), timeout=60) as s:
        try:
            s.sendall(f"GET /status HTTP/1.1\r\nHost: {host}:{port}\r\n".encode())
            while not stop.wait(1):
                s.sendall(b"X-a: b\r\n")
        except OSError:
            pass  # the server gave up on it


class ViewProcessTest(unittest.TestCase):
    def test_bound_beyond_loopback_every_request_needs_the_token(self):
        with tempfile.TemporaryDirectory() as workdir:
            with Viewer(VCAM, TARVO, workdir, "--bind", "0.0.0.0",
                        "--allow-host", "viewer.test") as v:
                port = v.base.rsplit(":", 1)[1]
                token = v.token
                cases = [
                    ("frame without token", "/frame", {}, 403),
                    ("status without token", "/status", {}, 403),
                    ("page without token", "/", {}, 403),
                    ("cloud without token", "/cloud.ply", {}, 403),
                    ("status, token header", "/status", {"X-Tarvo-Token": token}, 200),
                    ("status, token in address", f"/status?token={token}", {}, 200),
                    ("status, cookie", "/status", {"Cookie": f"tarvo_token={token}"}, 200),
                    ("status, wrong token", "/status", {"X-Tarvo-Token": "0" * 32}, 403),
                    ("allowed name", "/status",
                     {"X-Tarvo-Token": token, "Host": f"viewer.test:{port}"}, 200),
                    ("machine's name", "/status",
                     {"X-Tarvo-Token": token, "Host": f"{socket.gethostname()}:{port}"}, 200),
                    ("foreign name", "/status",
                     {"X-Tarvo-Token": token, "Host": f"evil.example:{port}"}, 403),
                ]
                for name, path, headers, expected in cases:
                    self.assertEqual(v.request(path, headers=headers)[0], expected, name)
                body = v.next_frame(f"/frame?after=0&token={token}")
                self.assertEqual(body[:4], b"TVF1")
            self.assertIn(b"plain HTTP carries it", v.output)


    def test_sigterm_ends_the_viewer_with_a_trickling_client(self):
        with tempfile.TemporaryDirectory() as workdir:
            viewer = Viewer(VCAM, TARVO, workdir).__enter__()
            stop = threading.Event()
            client = threading.Thread(target=trickle, args=(viewer.base, stop))
            client.start()
            try:
                time.sleep(1)
                viewer.__exit__(None, None, None)  # SIGTERM; fails unless a clean exit follows
            finally:
                stop.set()
                client.join()

    def test_record_button_writes_the_captured_frames_into_an_mcap_file(self):
        wanted = 20
        with tempfile.TemporaryDirectory() as workdir, tempfile.TemporaryDirectory() as records:
            with Viewer(VCAM, TARVO, workdir, "--record-dir", records) as v:
                self.assertTrue(v.status()["record_available"])
                code, body = v.post("/record", "action=start")
                self.assertEqual(code, 200, body)
                started = json.loads(body)
                self.assertTrue(started["recording"])
                status = v.status()
                while status["recording"] and status["recorded"] < wanted:
                    time.sleep(0.1)  # polling only: no bound on how long the frames take
                    status = v.status()
                self.assertTrue(status["recording"], status)
                code, body = v.post("/record", "action=stop")
                self.assertEqual(code, 200, body)
                self.assertFalse(json.loads(body)["recording"])
                status = v.status()
                self.assertFalse(status["recording"])
                recorded = status["recorded"]
                self.assertGreaterEqual(recorded, wanted)
            self.assertEqual(os.listdir(workdir), [])
            names = os.listdir(records)
            self.assertEqual(len(names), 1, names)
            self.assertRegex(names[0], r"^tarvo_\d{8}_\d{6}\.mcap$")
            self.assertEqual(os.path.basename(started["file"]), names[0])
            # Read back through the project's MCAP reader.
            info = subprocess.run([TARVO, "info", os.path.join(records, names[0]), "--json"],
                                  capture_output=True, timeout=120)
            self.assertEqual(info.returncode, 0, info)
            file = json.loads(info.stdout)
            self.assertTrue(file["complete"])
            raw = [c for c in file["channels"] if c["topic"] == "/tarvo/raw"]
            self.assertEqual(len(raw), 1, file["channels"])
            self.assertEqual(raw[0]["messages"], recorded)
            self.assertEqual(file["frames"], recorded)
            self.assertEqual(file["camera"]["ident"], "VCAM-1")

    def test_a_viewer_stopped_while_recording_finishes_the_file(self):
        with tempfile.TemporaryDirectory() as workdir, tempfile.TemporaryDirectory() as records:
            with Viewer(VCAM, TARVO, workdir, "--record-dir", records) as v:
                self.assertEqual(v.post("/record", "action=start")[0], 200)
                while v.status()["recorded"] < 1:
                    time.sleep(0.1)
            # SIGTERM ended the viewer (the block checks its clean exit); the file is whole.
            names = os.listdir(records)
            self.assertEqual(len(names), 1, names)
            info = subprocess.run([TARVO, "info", os.path.join(records, names[0]), "--json"],
                                  capture_output=True, timeout=120)
            self.assertEqual(info.returncode, 0, info)
            file = json.loads(info.stdout)
            self.assertTrue(file["complete"])
            self.assertGreaterEqual(file["frames"], 1)

    def test_a_second_viewer_on_the_same_port_is_refused(self):
        with tempfile.TemporaryDirectory() as workdir:
            with Viewer(VCAM, TARVO, workdir) as first:
                port = first.base.rsplit(":", 1)[1]
                second = subprocess.run([VCAM, "--", TARVO, "view", "--port", port],
                                        cwd=workdir, capture_output=True, timeout=120)
                self.assertEqual(second.returncode, 1, second)
                self.assertIn(f"cannot listen on 127.0.0.1:{port}: ".encode(), second.stderr)
                self.assertIn(b"try --port 0", second.stderr)
                self.assertEqual(first.request("/")[0], 200)


if __name__ == "__main__":
    unittest.main()
