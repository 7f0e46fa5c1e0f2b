"""The forecourt web page in a real, headless browser, against tarvenixd on
four simulated dispensers: a whole sale through the page, a monitor's view,
a restart of the service, the file server's refusals, and a clean console.

Usage: forecourt_page.py TARVENIXD WEB_DIR OUT_DIR
"""
import http.client
import json
import os
import select
import subprocess
import sys
import tempfile
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service as DriverService
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

MONITOR = "monitor-token-0123456789"
CONTROL = "control-token-0123456789"
WAIT = 30  # seconds for any one condition; the whole run stays bounded


class Tarvenixd:
    """One run of the service on a configuration; restartable on its port."""

    def __init__(self, binary, config, log):
        self.binary, self.config, self.log = binary, config, log
        self.process = None
        self.url = None

    def start(self, listen="127.0.0.1:0"):
        self.process = subprocess.Popen(
            [self.binary, "--config", self.config, "--listen", listen],
            stdout=subprocess.PIPE, stderr=self.log, text=True)
        ready, _, _ = select.select([self.process.stdout], [], [], WAIT)
        line = self.process.stdout.readline().strip() if ready else ""
        if not line.startswith("http://"):
            self.stop()
            raise AssertionError(f"tarvenixd printed no URL (got {line!r})")
        self.url = line

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(WAIT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def put(self, path, body, token):
        request = urllib.request.Request(
            self.url + path, data=json.dumps(body).encode(), method="PUT",
            headers={"Authorization": f"Bearer {token}", "Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=WAIT) as reply:
            return reply.status


def write_config(folder, web):
    pumps = "".join(
        f'[[line.pump]]\nid = "{n}"\nname = "Pump {n}"\naddress = {n}\nprice = 1.85\n'
        for n in range(1, 5))
    path = os.path.join(folder, "tarvenixd.toml")
    with open(path, "w", encoding="utf-8") as out:
        out.write(f'database = "{folder}/journal.db"\nstatic_dir = "{web}"\n'
                  f'[[token]]\nvalue = "{MONITOR}"\nrole = "monitor"\n'
                  f'[[token]]\nvalue = "{CONTROL}"\nrole = "control"\n'
                  f"[[line]]\nsimulate = 4\n{pumps}")
    return path


def browser():
    options = Options()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                 "--window-size=1280,800", "--disable-gpu"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=DriverService("/usr/bin/chromedriver"), options=options)


class Page:
    def __init__(self, driver):
        self.driver = driver
        self.wait = WebDriverWait(driver, WAIT, poll_frequency=0.1)
        self.console = []

    def until(self, what, condition):
        return self.wait.until(lambda d: condition(d), message=what)

    def find(self, css):
        return self.driver.find_element(By.CSS_SELECTOR, css)

    def all(self, css):
        return self.driver.find_elements(By.CSS_SELECTOR, css)

    def sign_in(self, token):
        self.until("the sign-in form", lambda d: self.find("#token").is_displayed())
        field = self.find("#token")
        field.clear()
        field.send_keys(token, Keys.ENTER)
        self.until("four pump cards", lambda d: len(self.all("#grid .card")) == 4)
        assert not self.find("#login").is_displayed(), "the sign-in form stays"
        self.until("the live stream", lambda d: self.find("#link").get_attribute("data-up") == "true")

    def text(self, css):
        return self.find(css).text

    def read_console(self):
        entries = self.driver.get_log("browser")
        self.console += entries
        return entries

    def fits(self):
        return self.driver.execute_script(
            "return document.documentElement.scrollWidth <= window.innerWidth")


def litres(text):
    return float(text.split()[0]) if text[:1].isdigit() else 0.0


def check_file_server(url):
    host = url.removeprefix("http://")
    cases = [("/", 200, "text/html"), ("/app.js", 200, "text/javascript"),
             ("/style.css", 200, "text/css"), ("/../CMakeLists.txt", 404, None),
             ("//etc/passwd", 404, None), ("/%2e%2e/%2e%2e/etc/passwd", 404, None),
             ("/..%2f..%2fetc/passwd", 404, None), ("/no-such-file.js", 404, None)]
    for path, status, content_type in cases:
        connection = http.client.HTTPConnection(host, timeout=WAIT)
        connection.request("GET", path)  # sent as it stands, not normalised
        reply = connection.getresponse()
        body = reply.read()
        assert reply.status == status, f"GET {path}: {reply.status}, wanted {status}"
        assert b"root:" not in body, f"GET {path} served a file outside the web folder"
        if content_type:
            assert reply.getheader("Content-Type").startswith(content_type), path
        connection.close()


def run(binary, web, out):
    folder = tempfile.mkdtemp(prefix="tarvenix-browser-")
    with open(os.path.join(out, "browser-tarvenixd.log"), "w", encoding="utf-8") as log:
        service = Tarvenixd(binary, write_config(folder, web), log)
        service.start()
        driver = None
        try:
            check_file_server(service.url)
            driver = browser()
            page = Page(driver)
            driver.get(service.url)
            page.sign_in(CONTROL)
            names = [e.text for e in page.all("#grid .card h3")]
            assert names == [f"Pump {n}" for n in range(1, 5)], names
            assert page.fits(), "the page is wider than 1280 pixels"

            # Authorise pump 2 by volume with the keyboard alone.
            Select(page.find("#pump-2-kind")).select_by_value("volume")
            page.find("#pump-2-amount").send_keys("4", Keys.ENTER)
            page.until("pump 2 fuelling",
                       lambda d: page.find("#pump-2").get_attribute("data-state") == "fuelling")
            first = page.until("volume on pump 2", lambda d: litres(page.text("#pump-2 .volume")) or None)
            page.until("pump 2's volume rising", lambda d: litres(page.text("#pump-2 .volume")) > first)
            driver.execute_script("window.scrollTo(0, 0)")
            driver.save_screenshot(os.path.join(out, "forecourt-grid.png"))

            page.until("the sale payable", lambda d: page.all("#sales-body tr[data-state=payable]"))
            row = page.all("#sales-body tr")[0]
            assert row.find_elements(By.TAG_NAME, "td")[0].text == "2", "the sale is not pump 2's"
            page.until("one unpaid sale on pump 2", lambda d: page.text("#pump-2 .unpaid") == "1")
            driver.execute_script("document.getElementById('sales').scrollIntoView()")
            page.find("#sales").screenshot(os.path.join(out, "forecourt-sales.png"))
            page.find("#sales-body button.lock").click()
            page.until("the sale locked", lambda d: page.all("#sales-body tr[data-state=locked] button.clear"))
            page.find("#sales-body button.clear").click()
            page.until("the sale cleared", lambda d: not page.all("#sales-body tr"))
            page.until("no unpaid sale on pump 2", lambda d: page.text("#pump-2 .unpaid") == "0")
            # The trace of line 1, decoded exchanges scrolling.
            page.find("#line-1 button").click()
            page.until("traced exchanges", lambda d: len(page.text("#trace").splitlines()) >= 3)
            page.find("#trace-close").click()
            assert not page.read_console(), f"console: {page.console}"

            # A restart on the same port and journal: the page comes back by itself.
            port = service.url.rsplit(":", 1)[1]
            service.stop()
            page.until("the page noticing the outage",
                       lambda d: page.find("#link").get_attribute("data-up") == "false")
            service.start(f"127.0.0.1:{port}")
            page.until("the stream back", lambda d: page.find("#link").get_attribute("data-up") == "true")
            # Prices go in hundredths; the page may show a third decimal.
            assert service.put("/api/v1/pumps/3/price", {"price": 1.99}, CONTROL) == 200
            page.until("pump 3's new price",
                       lambda d: page.text("#pump-3 .price") in ("1.99", "1.990"))
            assert len(page.all("#grid .card")) == 4 and not page.all("#sales-body tr")
            # The browser reports the refused connections of the outage; nothing else.
            outage = [e for e in page.read_console()
                      if "ERR_CONNECTION_REFUSED" not in e["message"]
                      and "ERR_EMPTY_RESPONSE" not in e["message"]]
            assert not outage, f"console during the restart: {outage}"

            # A monitor sees the forecourt but no control.
            page.find("#sign-out").click()
            page.sign_in(MONITOR)
            assert not page.find("#stop-all").is_displayed()
            assert not [e for e in page.all(".controls, button.lock, button.clear") if e.is_displayed()]

            # A phone.
            driver.set_window_size(390, 844)
            page.until("the page narrowed", lambda d: d.execute_script("return window.innerWidth") < 500)
            assert page.fits(), "the page is wider than a phone"
            assert not page.read_console(), f"console: {page.console}"
        finally:
            if driver:
                driver.quit()
            service.stop()
    print("forecourt page: ok")


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    run(*sys.argv[1:])
