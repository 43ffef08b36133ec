#!/usr/bin/python3
"""The static site's speed in headless Chromium: how long the page takes,
opened from a demo link, to be ready to sweep the virtual board, and how
long a 221-point sweep from 5 to 16 MHz takes in it (4.5 s on a real
tester), each run in a fresh browser. The site is served by
`python3 -m http.server`.

    make web && bench/web_site_bench.py [runs] [build/web]
"""

import os
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "web"))
import site_test  # noqa: E402  (the test's server, browser and page helpers)

from selenium.webdriver.common.by import By  # noqa: E402

REAL_TESTER_SECONDS = 4.5


# Clicks Sweep and resolves with the milliseconds until the page says the
# sweep is done, timed in the page so that the driver's polling adds nothing.
SWEEP_IN_PAGE = """
const done = arguments[arguments.length - 1];
const text = document.getElementById('progress-text');
const start = performance.now();
const watch = new MutationObserver(() => {
  if (text.textContent.endsWith(' \u2014 done')) {
    watch.disconnect();
    done(performance.now() - start);
  }
});
watch.observe(text, { childList: true, characterData: true, subtree: true });
document.getElementById('sweep-btn').click();
"""


def in_page_sweep(driver, s):
    s.wait.until(lambda d: d.find_element(By.ID, "sweep-btn").is_enabled())
    seconds = driver.execute_async_script(SWEEP_IN_PAGE) / 1000
    s.wait.until(lambda d: s.text("mk-max") != "–" and d.find_element(By.ID, "csv").is_enabled())
    return seconds


def one(web, folder):
    site = site_test.StaticSite(web)
    driver = site_test.browser(folder)
    try:
        s = site_test.Session(driver, None)
        start = time.monotonic()
        driver.get(site.url + "?transport=virtual&dut=bandpass:10.7M:1M&start=5M&stop=16M&points=221")
        s.wait.until(lambda d: s.text("dev-state") == "connected" and d.find_element(By.ID, "sweep-btn").is_enabled())
        ready = time.monotonic() - start
        sweeps = [in_page_sweep(driver, s) for _ in range(3)]
        return ready, sweeps
    finally:
        driver.quit()
        site.stop()


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    web = sys.argv[2] if len(sys.argv) > 2 else os.path.join(os.path.dirname(__file__), "..", "build", "web")
    folder = tempfile.mkdtemp(prefix="snt-bench-")
    readies, firsts, warm = [], [], []
    for i in range(runs):
        ready, sweeps = one(web, folder)
        readies.append(ready)
        firsts.append(sweeps[0])
        warm += sweeps[1:]
        print("run %d: ready %.2f s after opening; sweeps %s s" % (i + 1, ready, ", ".join("%.2f" % x for x in sweeps)))
    best = min(warm)
    print("ready to sweep: median %.2f s (fastest %.2f s)" % (statistics.median(readies), min(readies)))
    print("221-point sweep in the page: first %.2f s (median), later median %.2f s, fastest %.2f s: "
          "%.1f times a real tester's %.1f s" % (statistics.median(firsts), statistics.median(warm), best,
                                                 REAL_TESTER_SECONDS / best, REAL_TESTER_SECONDS))
    print("load average while measuring: %.1f %.1f %.1f" % os.getloadavg())


if __name__ == "__main__":
    main()
