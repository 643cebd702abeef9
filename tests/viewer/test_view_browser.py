"""tarvo view in headless Chromium: the rendered depth canvas shows the box in another colour
than the wall, the frame counter advances, and the integration time set on the page reaches
parameter 13. Leaves a screenshot of the page beside the test."""
import json
import os
import shutil
import sys
import tempfile
import time
import unittest

from viewer_common import Viewer

TARVO, VCAM, SCREENSHOT = sys.argv.pop(1), sys.argv.pop(1), sys.argv.pop(1)
SKIP = 77

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    print("python3-selenium is not installed")
    sys.exit(SKIP)
if not (os.path.exists("/usr/bin/chromium") and shutil.which("chromedriver")):
    print("chromium or chromedriver is not installed")
    sys.exit(SKIP)


def wait_for(what, check, seconds=120):
    end = time.monotonic() + seconds
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.2)


class ViewBrowserTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.viewer = Viewer(VCAM, TARVO, self.dir.name).__enter__()
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for arg in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                    "--no-first-run", "--disable-background-networking",
                    "--disable-component-update", "--disable-sync",
                    "--window-size=1280,800",
                    "--user-data-dir=" + os.path.join(self.dir.name, "profile")]:
            options.add_argument(arg)
        self.browser = webdriver.Chrome(service=Service(shutil.which("chromedriver")),
                                        options=options)

    def tearDown(self):
        self.browser.quit()
        self.viewer.__exit__(None, None, None)
        self.dir.cleanup()

    def shown(self):
        return int(self.browser.execute_script("return window.tarvoView.shown") or 0)

    def test_page_shows_the_camera_and_changes_it(self):
        b = self.browser
        b.get(self.viewer.url)
        wait_for("a frame on the page", lambda: self.shown() > 0)

        # The depth canvas as drawn: the box in the centre, the wall at the edges.
        box, wall = b.execute_script("""
            const c = document.getElementById('depth');
            const at = (x, y) => Array.from(c.getContext('2d').getImageData(x, y, 1, 1).data);
            return [at(c.width >> 1, c.height >> 1), at(3, c.height >> 1)];""")
        self.assertNotEqual(box, wall)
        self.assertNotEqual(box[:3], [0, 0, 0])

        first = self.shown()
        counter = lambda: int(b.find_element(By.ID, "st-frame").text or 0)
        wait_for("the frame counter to advance", lambda: counter() > first + 5)

        # Integration time on the page reaches parameter 13 on the camera.
        wait_for("the status", lambda: b.execute_script("return !!window.tarvoView.status"))
        field = b.find_element(By.ID, "integration")
        # As typed and left: the page sees the new value in one change event.
        enter = lambda value: b.execute_script(
            "arguments[0].value = arguments[1];"
            "arguments[0].dispatchEvent(new Event('change'))", field, value)
        enter("432")
        status = lambda: json.loads(self.viewer.request("/status")[1])
        wait_for("parameter 13 to change", lambda: status()["integration_us"] == 432)
        wait_for("the status bar", lambda: b.find_element(By.ID, "st-integration").text == "432")

        # A value out of range is refused with a message and the field shows the last one.
        for bad in ("99999", "0", "abc"):
            enter(bad)
            wait_for("the refusal", lambda: "refused" in b.find_element(By.ID, "message").text)
            wait_for("the field restored", lambda: field.get_attribute("value") == "432")
            b.execute_script("document.getElementById('message').textContent = ''")
        self.assertEqual(status()["integration_us"], 432)

        # The legend names the range's ends.
        self.assertEqual(b.find_element(By.ID, "legend-near").text, "0.20 m")
        self.assertEqual(b.find_element(By.ID, "legend-far").text, "5.00 m")

        # At 1280 x 800 the whole point cloud is in view without scrolling.
        inside = b.execute_script("""
            const r = document.getElementById('cloud').getBoundingClientRect();
            return [r.width > 300, r.bottom <= innerHeight, r.right <= innerWidth,
                    document.documentElement.scrollWidth <= innerWidth];""")
        self.assertEqual(inside, [True, True, True, True])
        b.execute_script("window.tarvoView.turn(0.6, 0.3)")  # a turned cloud for the picture
        time.sleep(1)
        b.save_screenshot(SCREENSHOT)


if __name__ == "__main__":
    unittest.main()
