"""The browser view in a real browser: yarvo-sim --web around a host that
spins reels to known symbols, Debian's Chromium headless through Selenium.

   browser_test.py YARVO_SIM CABINET_HOST REEL_FILE CABINET_FILE SCREENSHOT

Checks the page's test contract (data-* attributes, accessible names),
that a pressed input reaches the host, that a reel jammed from the fault
panel shows the board's fault, that unplugging the board makes the
host's next call fail with ReelMsgTransferFailed (19), that requests without
the token are refused, and that ten streams at once are served.  Saves a
screenshot of the page.  Prints "ok: ..." per check.
"""
import os
import queue
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

# (reel type, target symbol) of reels 0, 1 and 2.
TARGETS = [("classic-12", 7), ("classic-20", 3), ("deluxe-22", 12)]
TRANSFER_FAILED = 19
CHROME_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--window-size=1400,1300"]


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


STARTED = time.monotonic()


def ok(message):
    print("ok: %s (%.1f s)" % (message, time.monotonic() - STARTED), flush=True)


def browser():
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        fail("python3-selenium is missing (Debian package python3-selenium; make deps installs it)")
    for path in ("/usr/bin/chromium", "/usr/bin/chromedriver"):
        if not os.access(path, os.X_OK):
            fail(path + " is missing (Debian packages chromium and chromium-driver; make deps installs them)")
    options = webdriver.ChromeOptions()
    for flag in CHROME_FLAGS:
        options.add_argument(flag)
    profile = tempfile.mkdtemp(prefix="yarvo-browser-")
    options.add_argument("--user-data-dir=" + profile)
    options.binary_location = "/usr/bin/chromium"
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    return driver, profile


class Simulator:
    """yarvo-sim around the host; its output lines in a queue."""

    def __init__(self, sim, host, reels, cabinet):
        types = ",".join(t for t, _ in TARGETS)
        command = [sim, "run", "--no-view", "--web", "--cabinet", cabinet, "--reel-file", reels,
                   "--reel-types", types, "--", host, reels] + ["%s:%d" % t for t in TARGETS]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        for stream in (self.process.stdout, self.process.stderr):
            threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            self.lines.put(line.rstrip("\n"))

    def wait_for(self, pattern, seconds):
        deadline = time.monotonic() + seconds
        seen = []
        while time.monotonic() < deadline:
            try:
                line = self.lines.get(timeout=0.1)
            except queue.Empty:
                continue
            seen.append(line)
            match = re.search(pattern, line)
            if match:
                return match
        fail("no line matching %r within %g s; saw: %s" % (pattern, seconds, seen[-10:]))

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()


def status_of(url, data=None):
    try:
        with urllib.request.urlopen(urllib.request.Request(url, data=data), timeout=5) as response:
            return response.status, response.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode()


def check_refusals(base, token):
    for url in (base + "/", base + "/?token=" + "0" * 32, base + "/events", base + "/cabinet.js"):
        code, _ = status_of(url)
        if code != 403:
            fail("%s answered %d, not 403" % (url, code))
    ok("requests without the right token get 403")
    action = base + "/action?token=" + token
    for body, reason in ((b'{"board": 0, "command": "input 24 on"}', "input"),
                         (b'{"board": 5, "command": "unplug 5"}', "not served"),
                         (b'{"board": 0, "command": "status"}', "not an action"),
                         (b"not json", "JSON object")):
        code, text = status_of(action, body)
        if code != 400 or reason not in text:
            fail("action %s answered %d %r, not 400 with the reason" % (body, code, text))
    ok("bad actions get 400 with the reason")


def read_stream(base, token, results, index):
    """One viewer's stream: the layout and two states, as raw HTTP."""
    host, port = base[len("http://"):].rsplit(":", 1)
    try:
        with socket.create_connection((host, int(port)), timeout=10) as s:
            s.sendall(("GET /events?token=%s HTTP/1.1\r\nHost: %s\r\n\r\n" % (token, host)).encode())
            data = b""
            while data.count(b"event: state") < 2:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
            results[index] = b"event: layout" in data and data.count(b"event: state") >= 2
    except OSError:
        results[index] = False


def check_ten_streams(base, token):
    results = [False] * 10
    threads = [threading.Thread(target=read_stream, args=(base, token, results, i)) for i in range(10)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(20)
    if not all(results):
        fail("only %d of ten streams at once got the layout and states" % sum(results))
    ok("ten streams at once each get the layout and the state")


def main():
    sim, host, reels, cabinet, screenshot = sys.argv[1:6]
    simulator = Simulator(sim, host, reels, cabinet)
    driver = profile = None
    try:
        url = simulator.wait_for(r"yarvo-sim: web view at (http://127\.0\.0\.1:\d+/\?token=([0-9a-f]{32}))$", 15)
        page, token = url.group(1), url.group(2)
        base = page.split("/?")[0]
        ok("the URL line names a loopback address and a 128-bit token")
        simulator.wait_for(r"^spinning$", 15)
        check_refusals(base, token)

        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.action_chains import ActionChains
        from selenium.webdriver.support.ui import WebDriverWait
        driver, profile = browser()
        driver.get(page)
        wait = WebDriverWait(driver, 20, poll_frequency=0.05)

        def reel(r):
            return driver.find_element(By.CSS_SELECTOR, '[data-board="0"][data-reel="%d"]' % r)

        for r, (_, symbol) in enumerate(TARGETS):
            def rests(_driver, r=r, symbol=symbol):
                e = reel(r)
                return e.get_attribute("data-state") == "stopped" and e.get_attribute("data-symbol") == str(symbol)
            wait.until(rests, "reel %d did not come to rest on symbol %d" % (r, symbol))
            e = reel(r)
            if e.get_attribute("data-position") != e.get_attribute("data-true-position"):
                fail("reel %d: data-position %s and data-true-position %s differ on an untouched reel"
                     % (r, e.get_attribute("data-position"), e.get_attribute("data-true-position")))
        ok("each reel reports data-state=stopped and data-symbol on its target")
        if reel(5).get_attribute("data-symbol") != "" or reel(5).get_attribute("data-state") != "stopped":
            fail("reel 5, never configured, shows a symbol or a state other than stopped")

        start = driver.find_element(By.CSS_SELECTOR, '[data-board="0"] [data-input="8"]')
        plain = driver.find_element(By.CSS_SELECTOR, '[data-board="0"] [data-input="20"]')
        if start.accessible_name != "Start" or plain.accessible_name != "Input 20":
            fail("inputs are named %r and %r, not 'Start' and 'Input 20'" % (start.accessible_name,
                                                                         plain.accessible_name))
        lit = driver.find_element(By.CSS_SELECTOR, '[data-board="0"] [data-output="40"]')
        dark = driver.find_element(By.CSS_SELECTOR, '[data-board="0"] [data-output="41"]')
        wait.until(lambda _d: lit.get_attribute("data-on") is not None, "output 40 is not shown on")
        if dark.get_attribute("data-on") is not None:
            fail("output 41 is shown on")
        ok("inputs carry their accessible names, outputs data-on exactly when on")

        ActionChains(driver).click_and_hold(start).pause(0.4).release().perform()
        simulator.wait_for(r"^inputs 0x000100$", 10)
        simulator.wait_for(r"^inputs 0x000000$", 10)
        ok("holding input 8 reached the host, and letting go")

        from selenium.webdriver.support.ui import Select
        Select(driver.find_element(By.CSS_SELECTOR, '[aria-label="Reel to jam on board 0"]')).select_by_value("2")
        driver.find_element(By.CSS_SELECTOR, '[aria-label="Jam a reel of board 0"]').click()
        wait.until(lambda _d: reel(2).get_attribute("data-faults") == "jammed",
                   "reel 2 does not show the jam sent from the page")
        if reel(1).get_attribute("data-faults") != "":
            fail("reel 1 shows faults %r after reel 2 was jammed" % reel(1).get_attribute("data-faults"))
        ok("Jam a reel of board 0 (reel 2) reached the board: reel 2 alone shows data-faults=jammed")

        check_ten_streams(base, token)
        time.sleep(0.3)   # let the lamps and symbols settle for the picture
        driver.save_screenshot(screenshot)
        ok("screenshot in " + screenshot)

        driver.find_element(By.CSS_SELECTOR, '[aria-label="Unplug board 0"]').click()
        code = int(simulator.wait_for(r"^GetInputs failed: code (\d+)$", 10).group(1))
        if code != TRANSFER_FAILED:
            fail("after unplugging, the host's call failed with %d, not %d" % (code, TRANSFER_FAILED))
        ok("Unplug board 0: the host's next call fails with ReelMsgTransferFailed (19)")
    finally:
        if driver is not None:
            driver.quit()
        if profile is not None:
            shutil.rmtree(profile, ignore_errors=True)
        simulator.stop()
    print("browser test passed")


if __name__ == "__main__":
    main()
