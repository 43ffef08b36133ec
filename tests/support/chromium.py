"""What the browser tests share: headless Chromium driven by Selenium, a
plain static server for a folder, the page's fields and buttons, the
stand-in for Web Serial, and readers of the page's marker texts.
Every wait polls for what it waits for, up to PATIENCE, so a loaded machine
makes a test slower, not flaky."""

import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

PATIENCE = 180  # seconds for any one thing to happen


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def browser(folder, performance_log=False):
    """Headless Chromium with a fresh profile under `folder`; the browser's
    console is kept, and the network log too when asked."""
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for arg in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--disable-dev-shm-usage", "--window-size=1280,900",
                "--user-data-dir=" + tempfile.mkdtemp(prefix="profile-", dir=folder)]:
        options.add_argument(arg)
    logs = {"browser": "ALL", "performance": "ALL"} if performance_log else {"browser": "ALL"}
    options.set_capability("goog:loggingPrefs", logs)
    service = Service(executable_path=shutil.which("chromedriver") or "/usr/bin/chromedriver")
    driver = webdriver.Chrome(service=service, options=options)
    driver.set_page_load_timeout(PATIENCE)
    driver.set_script_timeout(PATIENCE)
    return driver


class PageDriver:
    """The page's elements by id, as a user reaches them."""

    def __init__(self, driver):
        self.d = driver
        self.wait = WebDriverWait(driver, PATIENCE, poll_frequency=0.05)

    def text(self, id):
        return self.d.find_element(By.ID, id).text

    def js(self, script, *args):
        return self.d.execute_script(script, *args)

    def field(self, id, value):
        element = self.d.find_element(By.ID, id)
        element.clear()
        element.send_keys(value)

    def click(self, id):
        self.wait.until(lambda d: d.find_element(By.ID, id).is_enabled())
        self.d.find_element(By.ID, id).click()


def with_serial_double(driver):
    """Every page the driver opens from now on finds serial_double.js's
    stand-in for Web Serial in place of the browser's own."""
    with open(os.path.join(support_path(), "serial_double.js")) as f:
        driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": f.read()})


class StaticSite:
    """A folder served by `python3 -m http.server` on a free port; stop()
    takes it away (the page goes offline)."""

    def __init__(self, folder):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        self.server = subprocess.Popen([sys.executable, "-m", "http.server", "--bind", "127.0.0.1", "--directory",
                                        folder, str(port)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.url = "http://127.0.0.1:%d/" % port
        deadline = time.monotonic() + PATIENCE
        while time.monotonic() < deadline:
            check(self.server.poll() is None, "python3 -m http.server ended")
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.1)
        raise Failure("python3 -m http.server did not listen")

    def stop(self):
        if self.server.poll() is None:
            self.server.terminate()
            self.server.wait(timeout=PATIENCE)


def hertz(text):
    """Hz from "10.7 MHz"."""
    match = re.fullmatch(r"([\d.]+) (G|M|k)?Hz", text.strip())
    check(match, "not a frequency: " + repr(text))
    return float(match.group(1)) * {"G": 1e9, "M": 1e6, "k": 1e3, None: 1}[match.group(2)]


def decibels_at(text):
    """(dB, Hz) from "-0.02 dB at 10.7 MHz"."""
    match = re.fullmatch(r"(-?[\d.]+) dB at (.+)", text.strip())
    check(match, "not a marker: " + repr(text))
    return float(match.group(1)), hertz(match.group(2))


def support_path():
    return os.path.dirname(os.path.abspath(__file__))
