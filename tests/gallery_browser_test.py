"""quarn-web in a real browser: headless Chromium, driven by Selenium, uses
the gallery page against the real quarn-web and the real service. It uploads
a PNG through the form, sees it in the grid, opens a protected picture with
its password and sees its secret, reveals hidden text from positions copied
with a line feed, and saves a screenshot of the page.

Usage: gallery_browser_test.py QUARN QUARN_WEB SCREENSHOT [--ca FILE]
Run it in a network namespace of its own (tests/support/in_private_network):
the service takes port 18360. With --ca, quarn-web reaches the service
through a TLS front on port 18361 whose certificate FILE signed, as
tests/behind_tls_front starts one.
"""

import os
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as shown
from selenium.webdriver.support.ui import WebDriverWait

SERVICE_PORT = 18360
WEB_PORT = 18371
WAIT_SECONDS = 20


def png_file(path, rows):
    """Writes an 8-bit RGB PNG whose rows are lists of (r, g, b)."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data)))
    raw = b"".join(b"\0" + bytes(v for pixel in row for v in pixel)
                   for row in rows)
    header = struct.pack(">IIBBBBB", len(rows[0]), len(rows), 8, 2, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                  chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def pixel_art(size, colour):
    """A size x size picture: `colour` on a diagonal band, pale elsewhere."""
    return [[colour if abs(x - y) < size // 4 else (235, 238, 245)
             for x in range(size)] for y in range(size)]


def wait_for_port(port, process):
    deadline = time.monotonic() + WAIT_SECONDS
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"{process.args[0]} exited at start")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"nothing listens on port {port}")


class gallery_in_chromium(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        quarn, quarn_web, cls.screenshot = map(os.path.abspath, sys.argv[1:4])
        through_tls = ["--tls", *sys.argv[4:6]] if len(sys.argv) > 4 else []
        cls.dir = tempfile.TemporaryDirectory(prefix="quarn-browser-")
        work = cls.dir.name
        cls.service = subprocess.Popen([quarn], cwd=work)
        cls.web = subprocess.Popen(
            [quarn_web, "--listen", f"127.0.0.1:{WEB_PORT}", *through_tls],
            stderr=subprocess.DEVNULL)
        wait_for_port(SERVICE_PORT, cls.service)
        wait_for_port(WEB_PORT, cls.web)
        cls.hidden_png = os.path.join(work, "hidden.png")
        cls.guarded_png = os.path.join(work, "guarded.png")
        png_file(cls.hidden_png, pixel_art(12, (47, 91, 211)))
        png_file(cls.guarded_png, pixel_art(12, (214, 64, 69)))

        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ("--headless", "--no-sandbox", "--disable-gpu",
                     "--disable-quic", "--no-first-run",
                     "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--window-size=1280,1200",
                     f"--user-data-dir={os.path.join(work, 'chromium')}"):
            options.add_argument(flag)
        cls.browser = webdriver.Chrome(
            service=Service("/usr/bin/chromedriver"), options=options)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        for process in (cls.web, cls.service):
            process.kill()
            process.wait()
        cls.dir.cleanup()

    def wait_for(self, condition):
        return WebDriverWait(self.browser, WAIT_SECONDS).until(condition)

    def upload(self, path, secret, password=""):
        form = self.browser.find_element(By.ID, "upload")
        form.find_element(By.NAME, "file").send_keys(path)
        form.find_element(By.NAME, "secret").clear()
        form.find_element(By.NAME, "secret").send_keys(secret)
        form.find_element(By.NAME, "password").send_keys(password)
        form.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
        return self.wait_for(shown.visibility_of_element_located(
            (By.CSS_SELECTOR, "#upload-result strong")))

    def tile(self, picture_id):
        return self.wait_for(shown.presence_of_element_located(
            (By.CSS_SELECTOR, f'.tile[data-id="{picture_id}"]')))

    def wait_for_image(self, tile):
        image = self.wait_for(lambda _: tile.find_element(By.TAG_NAME, "img"))
        self.wait_for(lambda _: self.browser.execute_script(
            "return arguments[0].complete && arguments[0].naturalWidth",
            image) == 12)

    def test_upload_open_and_reveal(self):
        self.browser.get(f"http://127.0.0.1:{WEB_PORT}/")
        self.wait_for(shown.text_to_be_present_in_element(
            (By.ID, "gallery-status"), "No pictures stored yet."))

        # A picture with its secret hidden in the pixels shows in the grid.
        self.assertEqual("1.sng",
                         self.upload(self.hidden_png, "attack@dawn").text)
        positions = self.browser.find_element(
            By.CSS_SELECTOR, "#upload-result .positions").text
        self.assertEqual(len("attack@dawn"), len(positions.split()))
        self.wait_for_image(self.tile("1.sng"))

        # A protected picture shows as a lock until its password opens it;
        # a wrong one leaves the lock, saying why, ready for another try.
        # Opened, it shows its secret.
        self.assertEqual("2.sng", self.upload(self.guarded_png, "s3cret",
                                              "tr0ub4dor").text)
        upload = self.browser.find_element(By.ID, "upload")
        self.assertEqual("", upload.find_element(By.NAME, "secret")
                         .get_attribute("value"))
        guarded = self.tile("2.sng")
        self.wait_for(lambda _: "locked" in guarded.get_attribute("class"))
        guarded.find_element(By.NAME, "password").send_keys("wrong")
        guarded.find_element(By.TAG_NAME, "button").click()
        self.wait_for(lambda _: guarded.find_element(
            By.CSS_SELECTOR, ".lock .error").text.endswith("wrong password"))
        box = guarded.find_element(By.NAME, "password")
        box.clear()
        box.send_keys("tr0ub4dor")
        guarded.find_element(By.TAG_NAME, "button").click()
        self.wait_for_image(guarded)
        self.assertEqual("s3cret", guarded.find_element(
            By.CSS_SELECTOR, ".secret output").text)

        # The positions, copied by hand with the line feed after them, read
        # the hidden text back.
        self.tile("1.sng").find_element(By.CSS_SELECTOR, "button.quiet").click()
        reveal = self.browser.find_element(By.ID, "reveal")
        reveal.find_element(By.NAME, "positions").send_keys(positions + "\n")
        reveal.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
        text = self.wait_for(shown.visibility_of_element_located(
            (By.CSS_SELECTOR, "#reveal-result .hidden-text")))
        self.assertEqual("attack@dawn", text.text)

        self.assertTrue(self.browser.save_screenshot(self.screenshot))
        print(f"screenshot: {self.screenshot}")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
