#!/usr/bin/python3
"""The static site (make web) in a real browser: headless Chromium driven by
Selenium, the site served by a plain static server (python3 -m http.server).

On the virtual board, from a demo link: ready to sweep, a crystal's sweep
whose markers match `snt sweep` on the same device, a CSV download whose
rows are the trace's, a PNG, the readout under the pointer, a kept trace, a
reference from the trace and from a CSV file (and a file refused with its
message), the crystal calibration (`c`, then `x` confirmed), a wrong device
text refused with the command line's message before anything runs, a long
sweep stopped, a Touchstone file from disk (and one refused); then the
site installable (Chromium's verdict) and the page offline through its
service worker. On a serial port through a stand-in for Web Serial (serial_double.js) whose bytes reach the virtual
board: the port opened at 115200 8N1, a sweep, the cable pulled mid-sweep
(the points so far stay and download), plugged in again, ports that are not
a tester; and a browser without Web Serial. No request may leave the origin.
Prints how long the page took to be ready and to sweep.
"""

import argparse
import csv
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from chromium import (PATIENCE, Failure, PageDriver, StaticSite, browser, check, decibels_at,  # noqa: E402
                      with_serial_double)

CRYSTAL = {"dut": "crystal:10M:50000", "start": "9.998M", "stop": "10.002M", "points": "201"}
FLAT_S2P = "# MHz S DB R 50\n1 0 0 -20 0 0 0 0 0\n30 0 0 -20 0 0 0 0 0\n"


def command_line(snt, folder, dut, settings, name):
    """The markers `snt sweep` finds for the same device and settings, and
    its CSV's rows."""
    path = os.path.join(folder, name)
    args = [snt, "--dut", dut, "--noise", "0", "sweep", "--start", settings["start"], "--stop", settings["stop"],
            "--points", settings["points"], "--csv", path]
    run = subprocess.run(args, capture_output=True, text=True, timeout=PATIENCE)
    check(run.returncode == 0, "snt sweep failed: " + run.stderr)
    maximum = re.search(r"maximum (\S+ dB at \S+ \S*Hz)", run.stdout + run.stderr)
    check(maximum, "no summary in: " + run.stdout + run.stderr)
    return decibels_at(maximum.group(1))


def same_marker(page, cli, what, frequency=True):
    db, hz = decibels_at(page)
    check(abs(db - cli[0]) <= 0.1 and (not frequency or abs(hz - cli[1]) <= 0.001 * cli[1]),
          "%s: the page's maximum %r, snt sweep's %r" % (what, page, cli))


class Session(PageDriver):
    def __init__(self, driver, downloads):
        super().__init__(driver)
        self.downloads = downloads

    def sweep(self):
        """Sweeps to the end; the seconds it took in the page."""
        self.wait.until(lambda d: d.find_element(By.ID, "sweep-btn").is_enabled())
        start = time.monotonic()
        self.d.find_element(By.ID, "sweep-btn").click()
        self.wait.until(lambda d: self.text("progress-text").endswith(" — done"))
        seconds = time.monotonic() - start
        self.wait.until(lambda d: self.text("mk-max") != "–" and d.find_element(By.ID, "csv").is_enabled())
        return seconds

    def download_csv(self, name):
        for f in os.listdir(self.downloads):
            os.remove(os.path.join(self.downloads, f))
        self.click("csv")
        path = os.path.join(self.downloads, name)
        self.wait.until(lambda d: os.path.exists(path) and open(path).read().endswith("\n"))
        with open(path, newline="") as f:
            return path, list(csv.reader(f))

    def trace(self):
        return self.d.execute_script("const t = window.sntPage.trace; return {points: t.points, db: t.db};")

    def csv_is_trace(self, name):
        path, rows = self.download_csv(name)
        trace = self.trace()
        check(rows[0] == ["frequency_hz", "level", "db"], "CSV header %r" % rows[0])
        check(len(rows) - 1 == len(trace["points"]), "%d CSV rows, %d points" % (len(rows) - 1, len(trace["points"])))
        for row, (hz, level), db in zip(rows[1:], trace["points"], trace["db"]):
            check(int(row[0]) == hz, "CSV frequency %s, trace %s" % (row[0], hz))
            check((row[1] == "") == (level is None), "CSV level %r, trace %r" % (row[1], level))
            check(level is None or abs(float(row[1]) - level) <= 1e-6 * level, "CSV level %s, trace %s" % (row[1], level))
            check(db is None or abs(float(row[2]) - db) < 0.005, "CSV dB %s, trace %s" % (row[2], db))
        return path, len(rows) - 1


def foreign_requests(driver, origin):
    """Every request the pages made to anywhere but the site (the browser's
    own chrome:// pages aside)."""
    out = []
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message["method"] == "Network.requestWillBeSent":
            url = message["params"]["request"]["url"]
            if re.match(r"(https?|wss?|ftp)://", url) and not url.startswith(origin + "/"):
                out.append(url)
    return out


def console_errors(driver):
    return [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]


def virtual_session(driver, site, snt, sim, folder, downloads):
    s = Session(driver, downloads)
    cli = command_line(snt, folder, CRYSTAL["dut"], CRYSTAL, "crystal.csv")
    link = site.url + "?transport=virtual&noise=0&" + "&".join("%s=%s" % kv for kv in CRYSTAL.items())
    start = time.monotonic()
    driver.get(link)
    s.wait.until(lambda d: s.text("dev-state") == "connected" and d.find_element(By.ID, "sweep-btn").is_enabled())
    ready = time.monotonic() - start
    check(s.text("dev-name") == "virtual board: " + CRYSTAL["dut"], "device " + s.text("dev-name"))
    check(Select(driver.find_element(By.ID, "transport")).first_selected_option.get_attribute("value") == "virtual",
          "the link chose the virtual board")
    check("201 points" in s.text("plan"), "plan: " + s.text("plan"))
    seconds = s.sweep()
    same_marker(s.text("mk-max"), cli, "crystal")
    s.csv_is_trace("sweep-1.csv")

    s.click("png")
    png = os.path.join(downloads, "sweep-1.png")
    s.wait.until(lambda d: os.path.exists(png) and os.path.getsize(png) > 1000)
    with open(png, "rb") as f:
        check(f.read(8) == b"\x89PNG\r\n\x1a\n", "the PNG download is not a PNG")
    # The readout under the pointer is the point's, as the analysis words it.
    ActionChains(driver).move_to_element(driver.find_element(By.ID, "chart")).perform()
    s.wait.until(lambda d: s.text("pointer").startswith("pointer: "))
    check(re.fullmatch(r"pointer: -?\d+\.\d\d dB at [\d.]+ MHz", s.text("pointer")), s.text("pointer"))

    s.click("keep")
    s.wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#kept li")) == 1)
    first_max = s.text("mk-max")
    s.click("ref-save")
    s.wait.until(lambda d: s.text("mk-max").startswith("0.00 dB") and "sweep 1" in s.text("ref-state"))
    s.click("ref-clear")
    s.wait.until(lambda d: s.text("mk-max") == first_max)
    path, rows = s.download_csv("sweep-1.csv")
    driver.find_element(By.ID, "ref-file").send_keys(path)
    s.wait.until(lambda d: s.text("mk-max").startswith("0.00 dB") and "sweep-1.csv (201 points)" in s.text("ref-state"))
    bad = os.path.join(folder, "bad.csv")
    with open(bad, "w") as f:
        f.write("f,l,d\n")
    driver.find_element(By.ID, "ref-file").send_keys(bad)
    s.wait.until(lambda d: s.text("ref-msg").startswith("bad.csv is not a sweep CSV"))
    s.click("ref-clear")

    # The crystal calibration: all outputs at the crystal, then a count
    # stored after a confirmation; a count the tester would refuse is not sent.
    s.click("cal")
    s.wait.until(lambda d: "All three outputs" in s.text("dev-msg"))
    s.field("xtal", "2M")
    s.click("xtal-btn")
    s.wait.until(lambda d: "crystal" in s.text("hz-msg"))
    s.field("xtal", "25000123")
    s.click("xtal-btn")
    s.wait.until(lambda d: d.switch_to.alert)
    driver.switch_to.alert.accept()
    s.wait.until(lambda d: s.text("dev-xtal") == "crystal 25000123 Hz" and "stored" in s.text("dev-msg"))
    s.wait.until(lambda d: d.find_element(By.ID, "sweep-btn").is_enabled())

    # A wrong device text: the command line's message, and no board started.
    s.field("dut", "crystal:10M")
    refused = subprocess.run([sim, "--dut", "crystal:10M"], capture_output=True, text=True, timeout=PATIENCE)
    s.wait.until(lambda d: s.text("dut-msg") != "")
    check(refused.returncode != 0 and s.text("dut-msg") in refused.stderr,
          "page %r, snt-sim %r" % (s.text("dut-msg"), refused.stderr))
    s.click("virtual-start")
    s.wait.until(lambda d: s.text("dut-msg") != "")
    check(s.text("dev-state") == "connected" and s.text("dev-name") == "virtual board: " + CRYSTAL["dut"],
          "a refused device started a board: " + s.text("dev-name"))

    # Stop: the sweep ends at the point in hand and keeps what it has.
    s.field("points", "4001")
    s.wait.until(lambda d: "4001 points" in s.text("plan"))
    s.click("sweep-btn")
    s.wait.until(lambda d: len(s.trace()["points"]) >= 20)
    s.click("stop-btn")
    s.wait.until(lambda d: s.text("progress-text").endswith(" — stopped"))
    stopped = len(s.trace()["points"])
    check(20 <= stopped < 4001, "%d points after Stop" % stopped)
    s.wait.until(lambda d: d.find_element(By.ID, "sweep-btn").is_enabled() and d.find_element(By.ID, "csv").is_enabled())

    # A Touchstone file from disk, swept as snt sweeps it; one the reader refuses.
    flat = os.path.join(folder, "flat.s2p")
    with open(flat, "w") as f:
        f.write(FLAT_S2P)
    wide = {"start": "5M", "stop": "16M", "points": "45"}
    cli_flat = command_line(snt, folder, "touchstone:" + flat, wide, "flat.csv")
    for name, value in wide.items():
        s.field(name, value)
    driver.find_element(By.ID, "touchstone-file").send_keys(flat)
    s.wait.until(lambda d: s.text("dev-name") == "virtual board: touchstone:flat.s2p" and s.text("dev-state") == "connected")
    s.sweep()
    # Flat: where its maximum lies is a matter of the last digit.
    same_marker(s.text("mk-max"), cli_flat, "Touchstone", frequency=False)
    broken = os.path.join(folder, "broken.s2p")
    with open(broken, "w") as f:
        f.write("# MHz S XX R 50\n")
    driver.find_element(By.ID, "touchstone-file").send_keys(broken)
    s.wait.until(lambda d: "broken.s2p" in s.text("dut-msg"))
    check(s.text("dev-name") == "virtual board: touchstone:flat.s2p", "a refused file started a board")
    errors = console_errors(driver)
    check(not errors, "console errors: %r" % errors)
    return ready, seconds


def offline(driver, site, downloads):
    """The page again with the server gone: the service worker has it all."""
    s = Session(driver, downloads)
    driver.execute_async_script("navigator.serviceWorker.ready.then(() => arguments[0]())")
    if not driver.execute_script("return !!navigator.serviceWorker.controller"):
        driver.refresh()
    s.wait.until(lambda d: d.execute_script("return !!navigator.serviceWorker.controller"))
    # Chromium's own verdict on whether the site can be installed as an app.
    errors = driver.execute_cdp_cmd("Page.getInstallabilityErrors", {})["installabilityErrors"]
    check(not errors, "the site cannot be installed: %r" % errors)
    site.stop()
    driver.get(site.url + "?transport=virtual&dut=lowpass:7M&noise=0")
    s.wait.until(lambda d: s.text("dev-state") == "connected")
    check(s.text("dev-name") == "virtual board: lowpass:7M", "offline: " + s.text("dev-name"))
    s.sweep()


def serial_session(driver, site, downloads):
    s = Session(driver, downloads)
    with_serial_double(driver)
    driver.get(site.url + "?transport=serial&start=5M&stop=16M&points=221")
    s.wait.until(lambda d: d.find_element(By.ID, "serial-connect").is_enabled())
    driver.execute_async_script("serialDouble.ready.then(arguments[0])")
    s.click("serial-connect")
    s.wait.until(lambda d: s.text("serial-msg").startswith("Connected to the serial port (USB 1a86:7523)"))
    opened = driver.execute_script("return serialDouble.openedWith")
    check(opened == [{"baudRate": 115200, "dataBits": 8, "stopBits": 1, "parity": "none", "flowControl": "none"}],
          "opened with %r" % opened)
    check("1.3;VORN" in s.text("dev-id"), "identification: " + s.text("dev-id"))
    s.sweep()
    peak = decibels_at(s.text("mk-max"))
    check(abs(peak[1] - 10.7e6) <= 100e3, "the bandpass's maximum " + s.text("mk-max"))

    # The cable pulled in the middle of a sweep: the points so far stay.
    s.field("points", "2001")
    s.wait.until(lambda d: "2001 points" in s.text("plan"))
    s.click("sweep-btn")
    progress = lambda: int(driver.find_element(By.ID, "progress").get_attribute("value"))
    s.wait.until(lambda d: len(s.trace()["points"]) >= 40)
    driver.execute_script("serialDouble.unplug()")
    s.wait.until(lambda d: s.text("sweep-msg").startswith("The sweep failed: the tester was unplugged"))
    s.wait.until(lambda d: s.text("dev-state").startswith("not connected"))
    kept = len(s.trace()["points"])
    check(40 <= kept < 2001, "%d points after the unplug" % kept)
    s.wait.until(lambda d: progress() == kept)
    _, rows = s.csv_is_trace("sweep-2.csv")
    check(rows == kept, "the CSV has %d rows of %d points" % (rows, kept))

    # Plugged in again: the page takes the port back and sweeps.
    driver.execute_script("serialDouble.plug()")
    s.wait.until(lambda d: s.text("dev-state") == "connected")
    s.field("points", "21")
    s.sweep()

    # Ports that are not a tester: each refused with the client's message.
    for kind, why in [("silent", "no answer from the device on the serial port (USB 1a86:7523)"),
                      ("garbage", "unexpected identification: \"\\x00"),
                      ("wrong", "unexpected identification: \"0.9;OTHER\" (expected \"1.3;VORN\")")]:
        s.click("serial-disconnect")
        s.wait.until(lambda d: s.text("serial-msg").startswith("Disconnected"))
        driver.execute_script("serialDouble.use(arguments[0])", kind)
        s.click("serial-connect")
        s.wait.until(lambda d: s.text("serial-msg").startswith("That port did not answer as a tester: "))
        check(why in s.text("serial-msg"), kind + ": " + s.text("serial-msg"))
        check(not driver.find_element(By.ID, "sweep-btn").is_enabled(), kind + ": the page would sweep")
    errors = console_errors(driver)
    check(not errors, "console errors: %r" % errors)


def no_web_serial(driver, site):
    s = Session(driver, None)
    driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument",
                           {"source": "delete Navigator.prototype.serial; delete navigator.serial;"})
    driver.get(site.url + "?transport=serial")
    s.wait.until(lambda d: "has no Web Serial" in s.text("serial-msg"))
    check("Chrome, Edge, Opera" in s.text("serial-msg"), "the browsers that have it: " + s.text("serial-msg"))
    check(not driver.find_element(By.ID, "serial-connect").is_enabled(), "Connect without Web Serial")


def run(web, snt, sim):
    folder = tempfile.mkdtemp(prefix="snt-site-")
    downloads = os.path.join(folder, "downloads")
    os.makedirs(downloads)
    figures = {}
    try:
        for name, part in [("serial", "serial"), ("virtual", "virtual"), ("no serial", "none")]:
            site = StaticSite(web)
            driver = browser(folder, performance_log=True)
            driver.execute_cdp_cmd("Page.setDownloadBehavior", {"behavior": "allow", "downloadPath": downloads})
            try:
                if part == "virtual":
                    figures["ready"], figures["sweep"] = virtual_session(driver, site, snt, sim, folder, downloads)
                    offline(driver, site, downloads)
                elif part == "serial":
                    serial_session(driver, site, downloads)
                else:
                    no_web_serial(driver, site)
                away = foreign_requests(driver, site.url.rstrip("/"))
                check(not away, name + ": requests that left the site: %r" % away)
            finally:
                driver.quit()
                if part != "virtual":
                    site.stop()
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--site", required=True, help="the static site (build/web)")
    parser.add_argument("--snt", required=True)
    parser.add_argument("--sim", required=True, help="snt-sim")
    args = parser.parse_args()
    try:
        figures = run(args.site, args.snt, args.sim)
    except Failure as e:
        print("FAILED: %s" % e, file=sys.stderr)
        return 1
    print("ready to sweep %.2f s after opening the demo link; the 201-point crystal sweep took %.2f s in the page"
          % (figures["ready"], figures["sweep"]))
    print("the site swept the virtual board and a serial port, matched the command line, calibrated, "
          "worked offline and asked nothing of any other origin")
    return 0


if __name__ == "__main__":
    sys.exit(main())
