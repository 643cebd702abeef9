"""tarvo view --source dds:NS: a camera that `tarvo publish` puts on the DDS bus (under the
virtual camera, in a process of its own) shown by a viewer that opens no camera."""
import os
import signal
import struct
import subprocess
import sys
import tempfile
import unittest

from viewer_common import Viewer

TARVO, VCAM = sys.argv.pop(1), sys.argv.pop(1)

# DDS on loopback only, without multicast, so that parallel tests and the network stay apart.
LOOPBACK_DDS = (
    '<CycloneDDS><Domain id="any"><General><Interfaces><NetworkInterface address="127.0.0.1"/>'
    "</Interfaces><AllowMulticast>false</AllowMulticast></General><Discovery><Peers>"
    '<Peer address="127.0.0.1"/></Peers><ParticipantIndex>auto</ParticipantIndex>'
    "<MaxAutoParticipantIndex>20</MaxAutoParticipantIndex></Discovery></Domain></CycloneDDS>")


def bus_env():
    env = dict(os.environ)
    env["CYCLONEDDS_URI"] = LOOPBACK_DDS
    return env


class ViewDdsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # A domain and a namespace of this process only.
        cls.domain = str(1 + (os.getpid() * 7 + 5) % 230)
        cls.ns = f"view_{os.getpid()}"
        cls.dir = tempfile.TemporaryDirectory()
        cls.publisher = subprocess.Popen(
            [VCAM, "--scene", "wall:1.0", "--", TARVO, "publish", "--namespace", cls.ns,
             "--domain", cls.domain], cwd=cls.dir.name, env=bus_env(),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        cls.viewer = Viewer(None, TARVO, cls.dir.name, "--source", f"dds:{cls.ns}",
                            "--domain", cls.domain, env=bus_env()).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.viewer.__exit__(None, None, None)
        os.killpg(cls.publisher.pid, signal.SIGTERM)
        cls.publisher.wait()
        cls.dir.cleanup()

    def first(self, path):
        """The body of the first 200 answer to `path`, asked again while the publisher runs."""
        while self.publisher.poll() is None:
            code, body = self.viewer.request(path)
            if code == 200:
                return body
        self.fail(f"the publisher ended with {self.publisher.returncode}")

    def test_the_published_wall_is_shown_at_one_metre(self):
        body = self.first("/frame?after=0")
        self.assertEqual(body[:4], b"TVF1")
        width, height = struct.unpack_from("<HH", body, 8)
        self.assertEqual((width, height), (320, 240))
        depth = struct.unpack_from(f"<{width * height}H", body, 24)
        gray = struct.unpack_from(f"<{width * height}H", body, 24 + 2 * width * height)
        centre = [depth[y * width + x] for y in range(110, 130) for x in range(150, 170)]
        self.assertAlmostEqual(sorted(centre)[len(centre) // 2], 1000, delta=30)
        status = self.viewer.status()
        self.assertEqual(status["source"], f"dds:{self.ns}")
        self.assertIn("receiving", status["camera_note"])
        self.assertGreater(status["received"], 0)
        # Gray comes with depth: some frame shows it.
        seq = struct.unpack_from("<I", body, 4)[0]
        while not any(gray[120 * width + 150:120 * width + 170]):
            body = self.first(f"/frame?after={seq}")
            seq = struct.unpack_from("<I", body, 4)[0]
            gray = struct.unpack_from(f"<{width * height}H", body, 24 + 2 * width * height)

    def test_the_cloud_comes_from_the_camera_info(self):
        self.first("/frame?after=0")
        rays = self.first("/rays")
        width, height = struct.unpack_from("<HH", rays, 0)
        self.assertEqual(len(rays), 4 + 12 * width * height)
        x, y, z = struct.unpack_from("<3f", rays, 4 + 12 * (120 * width + 160))
        self.assertAlmostEqual(x * x + y * y + z * z, 1.0, places=4)
        self.assertGreater(z, 0.99)  # the centre looks straight ahead
        ply = self.first("/cloud.ply")
        self.assertTrue(ply.startswith(b"ply\n"))

    def test_the_wall_comes_out_flat_to_the_corners(self):
        # The rays follow the published lens distortion: without it the corners of a flat wall
        # bend away from the plane.
        body = self.first("/frame?after=0")
        width, height = struct.unpack_from("<HH", body, 8)
        depth = struct.unpack_from(f"<{width * height}H", body, 24)
        rays = self.first("/rays")
        self.assertEqual(struct.unpack_from("<HH", rays, 0), (width, height))
        for u, v in [(20, 20), (width - 21, 20), (20, height - 21), (width - 21, height - 21),
                     (width // 2, height // 2)]:
            i = v * width + u
            z = depth[i] / 1000.0 * struct.unpack_from("<3f", rays, 4 + 12 * i)[2]
            self.assertAlmostEqual(z, 1.0, delta=0.02, msg=(u, v, depth[i]))

    def test_settings_and_recording_belong_to_the_publishing_camera(self):
        cases = [
            ("/control", "integration=300", b"settings belong to the publishing camera"),
            ("/control", "hdr=1", b"settings belong to the publishing camera"),
            ("/record", "action=start", b"record where it is published"),
        ]
        for path, body, text in cases:
            code, answer = self.viewer.post(path, body)
            self.assertEqual(code, 409, (path, body))
            self.assertIn(text, answer, (path, body))
        self.assertFalse(self.viewer.status()["record_available"])

    def test_sources_that_are_none_are_usage_errors(self):
        for source in ["dds:1bad", "dds:", "usb", "dds:/abs"]:
            run = subprocess.run([TARVO, "view", "--port", "0", "--source", source],
                                 cwd=self.dir.name, capture_output=True, timeout=120)
            self.assertEqual(run.returncode, 2, (source, run))


if __name__ == "__main__":
    unittest.main()
