#!/usr/bin/python3
"""The page's "Update firmware" in a real browser: headless Chromium driven by
Selenium against the static site (build/web) on a plain static server, the
serial port a stand-in for Web Serial (serial_double.js) whose board keeps a
16 KB rom and starts with BOOT0 high.

A tester that runs the site's image stores a crystal frequency; then, in its
bootloader: files the core refuses (empty, larger than 15 KB) get the
message `snt flash` prints and not a byte goes out; a copy of the image with
its identification patched is flashed and is what answers afterwards (the
rom holds its bytes, the settings page is as it was); the cable pulled in
the middle of the write says where it stopped and that the bootloader is
still there, and the next try flashes the site's image, after which the
tester answers, sweeps, and the settings page still holds the crystal; with
the settings page's erase asked for, it is erased. The port is opened at
8E1 for the bootloader and at 8N1 afterwards.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

from selenium.webdriver.common.by import By

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from chromium import PATIENCE, Failure, PageDriver, StaticSite, browser, check, with_serial_double  # noqa: E402

IDENTIFICATION = "1.3;VORN"
PATCHED = "9.9;TEST"
SETTINGS = 15 * 1024  # the settings page's offset in the rom
BOOT = {"baudRate": 115200, "dataBits": 8, "stopBits": 1, "parity": "even", "flowControl": "none"}
TESTER = {"baudRate": 115200, "dataBits": 8, "stopBits": 1, "parity": "none", "flowControl": "none"}


class Page(PageDriver):
    def rom(self):
        return bytes(self.js("return Array.from(serialDouble.rom || [])"))

    def power_cycle(self, boot0):
        """BOOT0 set, the cable out and in: the board starts anew."""
        self.js("serialDouble.boot0 = arguments[0]; serialDouble.unplug(); serialDouble.plug();", boot0)
        self.d.execute_async_script("serialDouble.ready.then(arguments[0])")

    def flash(self, outcome):
        """Starts the update and waits for its end; the message. The
        seconds it took go into self.took."""
        start = time.monotonic()
        self.click("fw-start")
        self.wait.until(lambda d: self.js("return document.getElementById('fw-start').disabled"))
        self.wait.until(lambda d: d.find_element(By.ID, "fw-start").is_enabled())
        check(self.text("fw-msg").startswith(outcome), "the update: " + self.text("fw-msg"))
        self.took = time.monotonic() - start
        return self.text("fw-msg")

    def opened_since(self, n):
        return self.js("return serialDouble.openedWith.slice(arguments[0])", n)


def snt_refusal(snt, path):
    """What `snt flash` says of a file it refuses, after the file's name."""
    run = subprocess.run([snt, "--port", "/dev/null", "flash", path], capture_output=True, text=True,
                         timeout=PATIENCE)
    check(run.returncode == 2, "snt flash %s: exit %d: %s" % (path, run.returncode, run.stderr))
    prefix = "snt: flash: " + path + ": "
    check(run.stderr.startswith(prefix), "snt flash said: " + run.stderr)
    return run.stderr[len(prefix):].strip()


def store_crystal(p):
    """The tester running the site's image from its rom stores a crystal."""
    p.click("serial-connect")
    p.wait.until(lambda d: p.text("serial-msg").startswith("Connected to the serial port"))
    check(p.d.find_element(By.ID, "fw-why").is_displayed() is False, "the update is offered on a serial port")
    p.d.find_element(By.ID, "xtal").send_keys("25001234")
    p.click("xtal-btn")
    p.wait.until(lambda d: d.switch_to.alert)
    p.d.switch_to.alert.accept()
    p.wait.until(lambda d: p.text("dev-xtal") == "crystal 25001234 Hz" and "stored" in p.text("dev-msg"))
    p.wait.until(lambda d: any(b != 0xFF for b in p.rom()[SETTINGS:]))
    return p.rom()[SETTINGS:]


def refusals(p, snt, folder):
    written, opened = p.js("return serialDouble.written"), len(p.opened_since(0))
    for name, content in [("empty.bin", b""), ("large.bin", b"\0" * 20000)]:
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(content)
        why = snt_refusal(snt, path)
        p.d.find_element(By.ID, "fw-file").send_keys(path)
        p.wait.until(lambda d: p.text("fw-image") == name + ": " + why)
        p.click("fw-start")
        p.wait.until(lambda d: p.text("fw-msg") == name + ": " + why)
    check(p.js("return serialDouble.written") == written and len(p.opened_since(0)) == opened,
          "a refused file reached the port")


def patched_image(image_bin, folder):
    with open(image_bin, "rb") as f:
        image = f.read()
    check(image.count(IDENTIFICATION.encode()) == 1, "the image holds its identification once")
    path = os.path.join(folder, "patched.bin")
    with open(path, "wb") as f:
        f.write(image.replace(IDENTIFICATION.encode(), PATCHED.encode()))
    return path


def unplugged_mid_write(p):
    """The cable pulled once 1 KB is written; the bytes written by then."""
    done = p.d.execute_async_script("""
        const done = arguments[0], step = document.getElementById('fw-step');
        const watch = new MutationObserver(() => {
          const m = /^write: (\\d+) of/.exec(step.textContent);
          if (m && Number(m[1]) >= 1024) {
            watch.disconnect();
            serialDouble.unplug();
            done(Number(m[1]));
          }
        });
        watch.observe(step, { childList: true, characterData: true, subtree: true });
        document.getElementById('fw-start').click();""")
    p.wait.until(lambda d: p.text("fw-msg").startswith("The update stopped: "))
    return done


def session(driver, site, snt, image_bin, folder):
    p = Page(driver)
    with_serial_double(driver)
    driver.get(site.url + "?transport=serial&start=5M&stop=16M&points=21")
    p.wait.until(lambda d: d.find_element(By.ID, "serial-connect").is_enabled())
    check(not driver.find_element(By.ID, "fw-erase-settings").is_selected(), "the settings page's erase is off")
    p.js("serialDouble.boot0 = false; serialDouble.use('bootloader')")
    driver.execute_async_script("serialDouble.ready.then(arguments[0])")
    settings = store_crystal(p)

    p.power_cycle(boot0=True)
    refusals(p, snt, folder)

    # A patched copy: the bytes flashed are the bytes that run.
    patched = patched_image(image_bin, folder)
    driver.find_element(By.ID, "fw-file").send_keys(patched)
    p.wait.until(lambda d: p.text("fw-image").startswith("patched.bin: raw binary image"))
    opened = len(p.opened_since(0))
    said = p.flash("Flashed and verified patched.bin, but the started image did not answer")
    check('unexpected identification: "%s"' % PATCHED in said, said)
    check(p.opened_since(opened) == [BOOT, TESTER], "opened with %r" % p.opened_since(opened))
    with open(patched, "rb") as f:
        content = f.read()
    rom = p.rom()
    check(rom[:len(content)] == content, "the rom does not hold the patched image")
    check(rom[SETTINGS:] == settings, "the settings page changed")

    # The cable pulled in the middle of the write, then a second try.
    p.power_cycle(boot0=True)
    p.click("fw-site")
    p.wait.until(lambda d: p.text("fw-image").startswith("the chip image this site carries (snt-fw.elf): ELF image"))
    written = unplugged_mid_write(p)
    said = p.text("fw-msg")
    check("write: the connection was lost" in said and "stopped at 0x0800" in said and
          "the chip stays in its bootloader until it is reset: flash again to finish" in said, said)
    check(written < len(content), "the write had ended (%d bytes)" % written)
    check(p.text("serial-msg").startswith("Not connected: "), "the serial panel says " + p.text("serial-msg"))
    p.js("serialDouble.plug()")
    driver.execute_async_script("serialDouble.ready.then(arguments[0])")
    opened = len(p.opened_since(0))
    said = p.flash("Flashed and verified snt-fw.elf: the tester answers " + IDENTIFICATION)
    took = p.took
    check(p.opened_since(opened)[:2] == [BOOT, TESTER] and p.opened_since(opened)[2:] in ([TESTER], []),
          "opened with %r" % p.opened_since(opened))
    with open(image_bin, "rb") as f:
        image = f.read()
    rom = p.rom()
    check(rom[:len(image)] == image, "the rom does not hold the site's image")
    check(rom[SETTINGS:] == settings, "the settings page changed")
    # The port is the tester's again: a sweep follows.
    p.wait.until(lambda d: p.text("dev-state") == "connected" and d.find_element(By.ID, "sweep-btn").is_enabled())
    p.click("sweep-btn")
    p.wait.until(lambda d: p.text("progress-text").endswith(" — done"))

    # Asked to, the update erases the settings page too.
    p.power_cycle(boot0=True)
    driver.find_element(By.ID, "fw-erase-settings").click()
    p.flash("Flashed and verified snt-fw.elf: the tester answers " + IDENTIFICATION)
    check(all(b == 0xFF for b in p.rom()[SETTINGS:]), "the settings page was not erased")
    errors = [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]
    check(not errors, "console errors: %r" % errors)
    return took


def virtual_board(driver, site):
    """Not offered for the virtual board, with the reason."""
    p = Page(driver)
    driver.get(site.url + "?transport=virtual&dut=thru&noise=0")
    p.wait.until(lambda d: p.text("dev-state") == "connected")
    check(not driver.find_element(By.ID, "fw-start").is_enabled(), "the update is offered for the virtual board")
    check("a tester on a serial port" in p.text("fw-why"), "why not: " + p.text("fw-why"))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--site", required=True, help="the static site (build/web)")
    parser.add_argument("--snt", required=True)
    parser.add_argument("--image-bin", required=True, help="the chip image as a raw binary (snt-fw.bin)")
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="snt-flash-page-")
    site = StaticSite(args.site)
    try:
        driver = browser(folder)
        try:
            virtual_board(driver, site)
        finally:
            driver.quit()
        driver = browser(folder)
        try:
            took = session(driver, site, args.snt, args.image_bin, folder)
        finally:
            driver.quit()
    except Failure as e:
        print("FAILED: %s" % e, file=sys.stderr)
        return 1
    finally:
        site.stop()
        shutil.rmtree(folder, ignore_errors=True)
    print("the page flashed and verified the site's %d-byte image and had the tester's answer in %.2f s"
          % (os.path.getsize(args.image_bin), took))
    print("the page refused what snt flash refuses, flashed a patched image that then ran, survived a pulled "
          "cable, flashed the site's image keeping the settings page, and erased it when asked")
    return 0


if __name__ == "__main__":
    sys.exit(main())
