#!/usr/bin/python3
"""The bench jobs in the static site (make web), in headless Chromium on the
virtual board: live sweeps stopped with the outputs off; averaging narrowing
the spread of a weak response; two markers placed by clicks, read where the
trace is interpolated, with their difference, and removed again; a crystal's
parameters from the adaptive search; return loss through a bridge against
an open reference; an offset added back; an amplifier's overload marked, and
the command line's CSV with its overload column read as a reference (and
its clipped levels refused as one, with the core's message).
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from chromium import PATIENCE, Failure, PageDriver, StaticSite, browser, check  # noqa: E402


class Page(PageDriver):
    def board(self, dut):
        """The virtual board with `dut`, connected and idle."""
        self.field("dut", dut)
        self.click("virtual-start")
        try:
            self.wait.until(lambda d: self.text("dev-name") == "virtual board: " + dut and self.text("dev-state") ==
                            "connected" and d.find_element(By.ID, "sweep-btn").is_enabled())
        except Exception:
            raise Failure("the board with %s: %s, %s %s" % (dut, self.text("dev-state"), self.text("dev-name"),
                                                             self.text("dut-msg")))

    def sweep(self, **settings):
        for k, v in settings.items():
            self.field(k, v)
        # A new sweep makes a new generation and clears the result until it is analysed.
        before = self.js("return window.sntPage.trace.generation")
        self.click("sweep-btn")
        self.wait.until(lambda d: self.js("const t = window.sntPage.trace; return t.generation > %d && "
                                          "t.sweep.status === 'done' && (!!t.result || !!t.refusal)" % before))
        refusal = self.js("return window.sntPage.trace.refusal")
        check(not refusal, "the analysis refused the trace: " + refusal)
        self.wait.until(lambda d: d.find_element(By.ID, "sweep-btn").is_enabled())
        return self.js("const t = window.sntPage.trace; return {points: t.points, db: t.db, "
                       "summary: t.result.summary.text, markers: t.result.markers};")


def interpolated(trace, hz):
    pts, db = trace["points"], trace["db"]
    for i in range(len(pts) - 1):
        (f0, _), (f1, _) = pts[i], pts[i + 1]
        if f0 <= hz <= f1:
            return db[i] + (db[i + 1] - db[i]) * (hz - f0) / (f1 - f0)
    raise Failure("%s Hz is outside the trace" % hz)


def live(p):
    p.sweep(start="5M", stop="16M", points="41")
    p.click("live")
    p.wait.until(lambda d: re.search(r"live: sweep [3-9]\d*, [\d.]+ s a sweep", p.text("live-state")))
    p.click("stop-btn")
    p.wait.until(lambda d: "outputs off" in p.text("live-state") and p.text("dev-msg") == "all outputs off")
    p.click("live")  # off again
    check(not p.d.find_element(By.ID, "live").is_selected(), "the live switch stays on")


def markers(p):
    trace = p.sweep(start="8M", stop="13M", points="51")
    canvas = p.d.find_element(By.ID, "chart")
    for dx in (-120, 90):
        ActionChains(p.d).move_to_element_with_offset(canvas, dx, 0).click().perform()
    p.wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#user-marks li[data-db]")) == 2)
    marks = p.js("return window.sntPage.trace.result.markers")
    check(len(marks) == 2 and marks[0]["hz"] < marks[1]["hz"], "two markers placed: %r" % marks)
    for m in marks:
        check(abs(m["db"] - interpolated(trace, m["frequency"])) < 0.01, "marker %r against the trace" % m)
    second = p.d.find_elements(By.CSS_SELECTOR, "#user-marks li")[1]
    delta_hz, delta_db = float(second.get_attribute("data-delta-hz")), float(second.get_attribute("data-delta-db"))
    check(abs(delta_hz - (marks[1]["frequency"] - marks[0]["frequency"])) < 1e-6 and
          abs(delta_db - (marks[1]["db"] - marks[0]["db"])) < 1e-9, "delta f %s, delta dB %s" % (delta_hz, delta_db))
    check("from marker 1:" in second.text and "marker 2:" in p.js("return window.sntPage.trace.result.summary.text"),
          "the second marker's text: " + second.text)
    # They stay at their frequencies in the next sweep.
    again = p.sweep()
    check([m["hz"] for m in again["markers"]] == [m["hz"] for m in marks], "markers moved: %r" % again["markers"])
    p.d.find_elements(By.CSS_SELECTOR, "#user-marks .remove-mark")[1].click()
    p.wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#user-marks li")) == 1)
    ActionChains(p.d).move_to_element_with_offset(canvas, 0, 0).perform()  # away, then on the marker
    x = p.js("const c = window.sntPage.chart.chart; return c.scales.x.getPixelForValue(%d) - c.width / 2;"
             % marks[0]["frequency"])
    y = p.js("const c = window.sntPage.chart.chart; return c.scales.y.getPixelForValue(%f) - c.height / 2;"
             % marks[0]["db"])
    ActionChains(p.d).move_to_element_with_offset(canvas, int(x), int(y)).click().perform()
    p.wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#user-marks li")) == 0)


def average(p):
    p.board("atten:60")
    single = p.sweep(start="5M", stop="15M", points="101")
    p.field("average", "16")
    p.d.find_element(By.ID, "offset").click()  # the change lands
    mean = p.sweep()
    spread1, spread16 = statistics.stdev(single["db"]), statistics.stdev(mean["db"])
    check(spread16 < spread1 / 2.5, "spread %.3f dB of one sweep, %.3f dB of 16 averaged" % (spread1, spread16))
    check("mean of 16 sweeps, in power" in mean["summary"], mean["summary"])
    p.field("average", "1")
    p.d.find_element(By.ID, "offset").click()
    return spread1, spread16


def crystal(p):
    p.board("crystal:10M:50000")
    p.field("xtal-nominal", "10M")
    p.click("xtal-measure")
    p.wait.until(lambda d: p.text("xtal-stage").startswith("measured"))
    o = p.js("return window.sntPage.crystalOutcome")
    x = o["parameters"]
    lm = 50000 * 20 / (2 * 3.141592653589793 * 10e6)
    cm = 1 / ((2 * 3.141592653589793 * 10e6) ** 2 * lm)
    check(abs(x["fs_hz"] - 10e6) <= 1, "fs %r" % x["fs_hz"])
    for name, want, within in [("rm_ohm", 20, 0.03), ("lm_h", lm, 0.03), ("cm_f", cm, 0.03), ("c0_f", 4e-12, 0.10)]:
        check(x[name] is not None and abs(x[name] / want - 1) <= within, "%s %r, the board's %r" % (name, x[name], want))
    row = p.js("return window.sntPage.crystalCsv").strip().split(",")
    check(len(row) == 9 and row[0] == "X1" and abs(float(row[1]) - x["fs_hz"]) < 0.01 and
          abs(float(row[6]) / x["c0_f"] - 1) < 1e-3, "the CSV row %r" % row)
    return o["seconds"], o["points"]


def reflection(p):
    p.board("bridge:open")
    p.sweep(start="1M", stop="30M", points="30")
    p.click("ref-save")
    p.board("bridge:75")
    p.click("reflection")
    trace = p.sweep()
    best = re.search(r"best match: SWR ([\d.]+)", trace["summary"])
    check(best and abs(float(best.group(1)) - 1.50) <= 0.05, "reflection summary: " + trace["summary"])
    check("SWR below 2" in trace["summary"] and "return loss" in p.js(
        "return window.sntPage.chart.chart.options.scales.y.title.text"), "the RL plot and the band")
    p.click("reflection")
    p.click("ref-clear")


def overload(p, snt, folder):
    path = os.path.join(folder, "amp.csv")
    run = subprocess.run([snt, "--dut", "amplifier:10", "sweep", "--start", "5M", "--stop", "15M", "--points", "21",
                          "--csv", path], capture_output=True, text=True, timeout=PATIENCE)
    check(run.returncode == 0 and open(path).readline().strip() == "frequency_hz,level,db,overload",
          "snt's overload CSV: " + run.stderr)
    p.board("amplifier:10")
    trace = p.sweep(start="5M", stop="15M", points="21")
    check("overload: 21 points" in trace["summary"] and all(v is None for v in trace["db"]), trace["summary"])
    check(p.js("return window.sntPage.chart.chart.data.datasets[3].data.length") == 21, "overload marks on the chart")
    p.d.find_element(By.ID, "ref-file").send_keys(path)
    # The reader takes the overload column, and the core refuses a clipped
    # level as a reference (dB against it would be wrong) with its message.
    p.wait.until(lambda d: "an overloaded point (the tone clipped at the ADC) cannot be a reference" in
                 p.text("ref-msg") and p.text("ref-msg").startswith("amp.csv line 2:"))
    p.board("atten:20")
    p.field("offset", "20")
    p.d.find_element(By.ID, "average").click()
    trace = p.sweep()
    check("offset +20.00 dB added to every dB" in trace["summary"] and abs(statistics.mean(trace["db"])) < 0.2,
          "offset: " + trace["summary"])
    p.field("offset", "0")


def run(web, snt):
    folder = tempfile.mkdtemp(prefix="snt-jobs-")
    site = StaticSite(web)
    driver = browser(folder)
    figures = {}
    try:
        p = Page(driver)
        driver.get(site.url + "?transport=virtual&dut=bandpass:10.7M:1M&noise=2&seed=1")
        p.wait.until(lambda d: p.text("dev-state") == "connected" and d.find_element(By.ID, "sweep-btn").is_enabled())
        live(p)
        markers(p)
        figures["spread"] = average(p)
        figures["crystal"] = crystal(p)
        reflection(p)
        overload(p, snt, folder)
        errors = [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]
        check(not errors, "console errors: %r" % errors)
    finally:
        driver.quit()
        site.stop()
        shutil.rmtree(folder, ignore_errors=True)
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--site", required=True, help="the static site (build/web)")
    parser.add_argument("--snt", required=True)
    args = parser.parse_args()
    try:
        f = run(args.site, args.snt)
    except Failure as e:
        print("FAILED: %s" % e, file=sys.stderr)
        return 1
    print("average: spread %.3f dB for one sweep, %.3f dB for the mean of 16" % f["spread"])
    print("crystal: %.2f s on a real tester, %d points" % f["crystal"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
