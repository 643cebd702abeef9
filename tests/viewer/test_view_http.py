"""tarvo view over HTTP: the page, binary frames of the box scene, changes with the token and
refusals of requests that lack it or come from another origin."""
import json
import sys
import tempfile
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


if __name__ == "__main__":
    unittest.main()
