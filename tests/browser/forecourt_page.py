"""The forecourt web page in a real, headless browser, against tarvenixd on
simulated dispensers and one dead line: amounts as typed, two tills and
their locks, stop-all with a pump that does not stop, a restart of the
service, a monitor's view, a phone, 128 pumps delivering, the file server's
refusals, a shift's printable report with its chart, axe-core on every view
and a clean console.

Usage: forecourt_page.py TARVENIXD WEB_DIR OUT_DIR  (AXE_JS: axe.min.js)
"""
import base64
import http.client
import json
import os
import select
import subprocess
import sys
import tempfile
import urllib.error
import urllib.request
from concurrent.futures import ThreadPoolExecutor
from decimal import ROUND_HALF_UP, Decimal

from selenium import webdriver
from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service as DriverService
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

MONITOR = "monitor-token-0123456789"
TILL1 = "till-one-token-0123456789"
TILL2 = "till-two-token-0123456789"
WAIT = 30  # seconds for any one condition; the whole run stays bounded
VIEWS = ("pumps", "sales", "lines", "alerts", "shifts")


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

    def call(self, method, path, body=None, token=None):
        """(status, JSON body) of one request."""
        headers = {"Content-Type": "application/json"}
        if token:
            headers["Authorization"] = f"Bearer {token}"
        data = json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request(self.url + path, data=data, method=method, headers=headers)
        try:
            with urllib.request.urlopen(request, timeout=WAIT) as reply:
                return reply.status, json.loads(reply.read() or b"null")
        except urllib.error.HTTPError as error:
            return error.code, json.loads(error.read() or b"null")


def write_config(folder, web):
    pumps = "".join(
        f'[[line.pump]]\nid = "{n}"\nname = "Pump {n}"\naddress = {n}\nprice = 1.85\n'
        for n in range(1, 5))
    path = os.path.join(folder, "tarvenixd.toml")
    with open(path, "w", encoding="utf-8") as out:
        out.write(f'database = "{folder}/journal.db"\nstatic_dir = "{web}"\ncurrency = "EUR"\n'
                  f'[[token]]\nvalue = "{MONITOR}"\nrole = "monitor"\n'
                  f'[[token]]\nvalue = "{TILL1}"\nrole = "admin"\nname = "till-1"\n'
                  f'[[token]]\nvalue = "{TILL2}"\nrole = "control"\nname = "till-2"\n'
                  f"[[line]]\nsimulate = 4\n{pumps}"
                  # A line whose port answers nothing: pump 9 never stops.
                  f'[[line]]\ndevice = "{folder}/no-such-port"\n'
                  f'[[line.pump]]\nid = "9"\nname = "Pump 9"\naddress = 1\n')
    return path


def write_big_config(folder, web):
    """128 pumps on sixteen simulated lines, open access, no price set."""
    path = os.path.join(folder, "big.toml")
    with open(path, "w", encoding="utf-8") as out:
        out.write(f'database = "{folder}/big.db"\nstatic_dir = "{web}"\n'
                  + "[[line]]\nsimulate = 8\nflow = 120\n" * 16)
    return path


def browser(language="en-US"):
    options = Options()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                 "--window-size=1280,800", "--disable-gpu", f"--lang={language}"):
        options.add_argument(flag)
    options.add_experimental_option("prefs", {"intl.accept_languages": language})
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=DriverService("/usr/bin/chromedriver"), options=options)


class Page:
    def __init__(self, driver, out):
        self.driver = driver
        self.out = out
        # Rows redrawn between a find and a read are read again.
        self.wait = WebDriverWait(driver, WAIT, poll_frequency=0.1,
                                  ignored_exceptions=(StaleElementReferenceException,
                                                      NoSuchElementException))
        self.console = []
        with open(os.environ["AXE_JS"], encoding="utf-8") as source:
            self.axe = source.read()

    def resize(self, width, height):
        """The viewport itself, not the window around it."""
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})

    def until(self, what, condition):
        return self.wait.until(lambda d: condition(d), message=what)

    def find(self, css):
        return self.driver.find_element(By.CSS_SELECTOR, css)

    def all(self, css):
        return self.driver.find_elements(By.CSS_SELECTOR, css)

    def text(self, css):
        return self.find(css).text

    def attr(self, css, name):
        return self.find(css).get_attribute(name)

    def sign_in(self, token, pumps=5):
        self.until("the sign-in form", lambda d: self.find("#token").is_displayed())
        field = self.find("#token")
        field.clear()
        field.send_keys(token, Keys.ENTER)
        self.until(f"{pumps} pump cards", lambda d: len(self.all("#grid .card")) == pumps)
        assert not self.find("#login").is_displayed(), "the sign-in form stays"
        self.live()

    def live(self):
        self.until("the live stream", lambda d: self.attr("#link", "data-up") == "true")

    def view(self, name):
        self.driver.execute_script(f"location.hash = '#{name}'")
        self.until(f"the {name} view", lambda d: self.find(f"#{name}").is_displayed())

    def read_console(self):
        entries = self.driver.get_log("browser")
        self.console += entries
        return entries

    def fits(self):
        return self.driver.execute_script(
            "return document.documentElement.scrollWidth <= window.innerWidth")

    def axe_check(self, where):
        self.driver.execute_script(self.axe)
        result = self.driver.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "axe.run(document, {resultTypes: ['violations']}).then(r => done(r.violations));")
        bad = [(v["id"], v["impact"], [n["target"] for n in v["nodes"]][:3])
               for v in result if v["impact"] in ("critical", "serious")]
        assert not bad, f"axe on {where}: {bad}"

    def shoot(self, name):
        self.driver.execute_script("window.scrollTo(0, 0)")
        self.driver.save_screenshot(os.path.join(self.out, f"forecourt-{name}.png"))


def check_file_server(url):
    host = url.removeprefix("http://")
    cases = [("/", 200, "text/html"), ("/app.js", 200, "text/javascript"),
             ("/amount.js", 200, "text/javascript"),
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


# Typed amounts the page must refuse before anything reaches the service.
BAD_AMOUNTS = ["1e2", "2.55", "2,5,0", "abc", "0", "-1", "1000", " "]


def amounts_as_typed(page, service):
    for typed in BAD_AMOUNTS:
        field = page.find("#pump-1-amount")
        field.clear()
        field.send_keys(typed, Keys.ENTER)
        page.until(f"{typed!r} refused", lambda d: page.attr("#pump-1-message", "data-refused") == "true")
        page.driver.execute_script("const m = document.getElementById('pump-1-message');"
                                   "m.textContent = ''; m.dataset.refused = 'false';")
    page.find("#pump-1-amount").clear()
    status, sales = service.call("GET", "/api/v1/transactions", token=MONITOR)
    assert status == 200 and sales == [], f"a refused amount reached the service: {sales}"
    assert page.attr("#pump-1", "data-state") == "idle"

    # A decimal comma is a decimal point: 2,5 litres, not 25.
    Select(page.find("#pump-2-kind")).select_by_value("volume")
    page.find("#pump-2-amount").send_keys("2,5", Keys.ENTER)
    page.until("pump 2's preset on its card",
               lambda d: page.attr("#pump-2 .preset", "data-amount") == "2.5")
    page.until("the amount cleared once accepted", lambda d: page.attr("#pump-2-amount", "value") == "")
    # The picture of the grid, mid-delivery unless the delivery was quicker.
    page.until("pump 2 delivering", lambda d: page.text("#pump-2 .volume") != "0.00 L")
    page.shoot("grid")
    page.until("the sale payable", lambda d: page.all("#sales-body tr[data-state=payable]"))
    status, sales = service.call("GET", "/api/v1/transactions", token=MONITOR)
    assert sales[0]["preset"] == {"volume": 2.5}, sales[0]
    page.until("one unpaid sale on pump 2", lambda d: page.text("#pump-2 .unpaid") == "1")
    page.until("pump 2 idle again", lambda d: page.attr("#pump-2", "data-state") == "idle")
    page.view("sales")
    row = page.find("#sales-body tr")
    assert row.find_element(By.CSS_SELECTOR, ".preset").text == "2.50 L", row.text
    assert row.find_element(By.CSS_SELECTOR, ".volume").text == "2.50 L", row.text
    money = Decimal(str(sales[0]["money"])).quantize(Decimal("0.01"), ROUND_HALF_UP)
    assert row.find_element(By.CSS_SELECTOR, ".money").text == f"€{money}", row.text


def two_tills(page, service):
    """till-1 locks; till-2 sees who holds it and cannot clear it."""
    page.find("#sales-body button.lock").click()
    page.until("the sale locked", lambda d: page.all("#sales-body tr[data-state=locked] button.clear"))
    sale = page.find("#sales-body tr").get_attribute("id").removeprefix("sale-")
    page.find("#sign-out").click()
    page.sign_in(TILL2)
    page.view("sales")
    page.until("locked by till-1", lambda d: page.text(f"#sale-{sale} .locked-by") == "locked by till-1")
    assert not page.all(f"#sale-{sale} button.clear")
    # The token is the till: no body may speak for another one.
    for body, status in [({}, 409), ({"client": "till-1"}, 403), ({"client": "till-2"}, 409)]:
        got, reply = service.call("POST", f"/api/v1/transactions/{sale}/clear", body, TILL2)
        assert got == status, f"till-2 clear {body}: {got} {reply}"
    page.find("#sign-out").click()
    page.sign_in(TILL1)
    page.view("sales")
    page.until("till-1 may clear", lambda d: page.all(f"#sale-{sale} button.clear"))
    page.find(f"#sale-{sale} button.clear").click()
    page.until("the sale cleared", lambda d: not page.all("#sales-body tr"))
    Select(page.find("#sales-state")).select_by_value("to-pay")
    page.view("pumps")
    page.until("no unpaid sale on pump 2", lambda d: page.text("#pump-2 .unpaid") == "0")
    # A pump's history: its sales of every state, none of another pump's.
    page.find("#pump-2 a.history").click()
    page.until("pump 2's history", lambda d: page.all(f"#sale-{sale}[data-state=cleared]"))
    assert page.text("#sales-count") == "1–1 of 1"
    Select(page.find("#sales-pump")).select_by_value("1")
    page.until("pump 1 has no sale", lambda d: not page.all("#sales-body tr"))
    Select(page.find("#sales-pump")).select_by_value("")
    Select(page.find("#sales-state")).select_by_value("to-pay")
    page.view("pumps")


def stop_all(page):
    """One press; the banner names the pump that did not stop. A key on a
    focused Stop asks for a second press before it stops anything."""
    stop = page.find("#pump-3 .stop")
    stop.send_keys(Keys.ENTER)
    page.until("a second press asked", lambda d: stop.text == "Press again to stop")
    assert page.text("#pump-3-message") == "", "one key press sent a stop"
    stop.send_keys(Keys.ENTER)
    page.until("pump 3 stopped", lambda d: page.text("#pump-3-message") == "Stopped")

    page.find("#stop-all").click()
    page.until("the stop-all banner", lambda d: page.attr("#stop-all-banner", "data-outcome") == "failed")
    # The browser logs the service's 503 for the pump that did not stop.
    logged = [e for e in page.read_console() if "/api/v1/stop-all" not in e["message"]]
    assert not logged, f"console: {logged}"
    page.console.clear()
    failed = [e.get_attribute("data-pump") for e in page.all("#stop-all-failed li")]
    assert failed == ["9"], f"pumps listed as not stopped: {failed}"
    page.find("#stop-all-dismiss").click()
    assert not page.find("#stop-all-banner").is_displayed()


def shift_report(page, service):
    """A shift opened and closed on the page: its report has a bar per pump,
    flags the dead line's pump, and prints alone."""
    page.view("shifts")
    page.until("no shift open", lambda d: page.find("#shift-open").is_enabled())
    page.find("#shift-open").click()
    page.until("the shift open", lambda d: page.find("#shift-close").is_enabled())
    status, sale = service.call("POST", "/api/v1/pumps/3/authorize", {"volume": 2}, TILL1)
    if status == 201:
        page.until("the sale delivered", lambda d: service.call(
            "GET", f"/api/v1/transactions/{sale['id']}", token=TILL1)[1]["state"] == "payable")
    page.find("#shift-close").click()
    page.until("the report", lambda d: page.find("#shift-report").is_displayed())
    rows = [e.get_attribute("data-pump") for e in page.all("#report-body tr")]
    bars = [e.get_attribute("data-pump") for e in page.all("#report-chart svg rect.bar")]
    assert bars == rows[:-1] == ["1", "2", "3", "4", "9"], (bars, rows)
    chart = page.find("#report-chart svg")
    assert chart.get_attribute("role") == "img"
    assert page.all("#report-chart svg > title") and page.all("#report-chart svg > desc")
    assert len(page.all("#report-chart svg text.axis-label")) == 2
    assert page.attr("#report-body tr[data-pump='9']", "data-flagged") == "true"
    page.axe_check("the shift report")
    page.shoot("shift-report")
    # Printed: the report alone, with its chart.
    page.driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"media": "print"})
    try:
        assert not page.find("header").is_displayed(), "the header is printed"
        assert not page.find("#shifts-table").is_displayed(), "the list of shifts is printed"
        assert page.find("#report-chart svg").is_displayed(), "the chart is not printed"
        assert page.find("#report-printed").is_displayed()
        pdf = page.driver.execute_cdp_cmd("Page.printToPDF", {"preferCSSPageSize": True})
        printed = base64.b64decode(pdf["data"])
        with open(os.path.join(page.out, "forecourt-shift-report.pdf"), "wb") as out:
            out.write(printed)
        # Five pumps fit one A4 page turned sideways, as a table.
        assert b"/Count 1" in printed and b"/MediaBox [0 0 841.9" in printed, "not one A4 page"
    finally:
        page.driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"media": ""})


def lines_and_trace(page):
    page.view("lines")
    page.until("line 2 dead", lambda d: page.attr("#line-2", "data-health") == "dead")
    page.until("the health reasons", lambda d: "pump 9 is offline" in page.text("#health"))
    page.find("#line-1 button").click()
    page.until("traced exchanges", lambda d: len(page.text("#trace").splitlines()) >= 3)
    first = page.text("#trace").splitlines()[0]
    assert first[:2].isdigit() and first[2] == ":", f"no clock time: {first}"
    page.until("pump names in the trace", lambda d: "Pump 1 (address 1)" in page.text("#trace"))
    page.find("#trace-pause").click()
    shown = page.text("#trace")
    page.until("exchanges held while paused", lambda d: page.text("#trace-status").startswith("Paused: ")
               and not page.text("#trace-status").startswith("Paused: 0 "))
    assert page.text("#trace") == shown, "the trace moved while paused"
    Select(page.find("#trace-pump")).select_by_visible_text("Pump 3")
    addressed = [line for line in page.text("#trace").splitlines() if "address" in line]
    assert addressed and all("(address 3)" in line for line in addressed), addressed[:3]


SMALL_TARGETS = """
  return [...document.querySelectorAll('a, button, input, select')]
    .filter(e => e.offsetParent !== null && !e.closest('.visually-hidden'))
    .map(e => [e.id || e.className || e.textContent, e.getBoundingClientRect()])
    .filter(([, r]) => r.height < 44 || r.width < 44).map(([n, r]) => `${n} ${r.width}x${r.height}`);"""


def views_checked(page, size, touch=False):
    for name in VIEWS:
        page.view(name)
        page.axe_check(f"{name} at {size}")
        assert page.fits(), f"the {name} view scrolls sideways at {size}"
        if name == "sales":  # every state, for a picture with rows
            Select(page.find("#sales-state")).select_by_value("")
            page.until("sales of every state", lambda d: page.all("#sales-body tr[data-state=cleared]"))
        if touch:
            small = page.driver.execute_script(SMALL_TARGETS)
            assert not small, f"touch targets under 44 px on {name}: {small[:5]}"
        page.shoot(f"{name}-{size}")
        Select(page.find("#sales-state")).select_by_value("to-pay")


def phone(page):
    page.resize(390, 844)
    page.until("the page narrowed", lambda d: d.execute_script("return window.innerWidth") < 500)
    header = page.driver.execute_script("return document.querySelector('header').offsetHeight")
    assert header <= 56, f"the header takes {header} px"
    # The calling badge, which no simulated pump shows by itself.
    ratio = page.driver.execute_script("""
      const card = Object.assign(document.createElement('li'), {className: 'card'});
      card.dataset.state = 'calling';
      const badge = Object.assign(document.createElement('span'), {className: 'state', textContent: 'x'});
      card.append(badge); document.getElementById('grid').append(card);
      const rgb = (c) => c.match(/\\d+/g).slice(0, 3).map(Number);
      const lum = (c) => { const [r, g, b] = rgb(c).map(v => { v /= 255;
        return v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4; });
        return 0.2126 * r + 0.7152 * g + 0.0722 * b; };
      const s = getComputedStyle(badge);
      const [a, b] = [lum(s.color), lum(s.backgroundColor)].sort((x, y) => y - x);
      card.remove();
      return (a + 0.05) / (b + 0.05);""")
    assert ratio >= 4.5, f"the calling badge has {ratio:.2f}:1"
    views_checked(page, "390x844", touch=True)
    page.resize(1280, 800)


def outage(page, service):
    """The service killed and restarted: controls off, then live again."""
    page.view("pumps")
    port = service.url.rsplit(":", 1)[1]
    service.stop()
    page.until("the page noticing the outage", lambda d: page.attr("#link", "data-up") == "false")
    assert page.find("#outage").text.startswith("Disconnected since ")
    assert not page.find("#pump-1-amount").is_enabled() and not page.find("#pump-1 .quick-amount").is_enabled()
    # The stops stay: trying costs nothing, and their result says what happened.
    assert page.find("#stop-all").is_enabled() and page.find("#pump-1 .stop").is_enabled()
    service.start(f"127.0.0.1:{port}")
    page.live()
    page.until("the controls back", lambda d: page.find("#pump-1-amount").is_enabled())
    assert service.call("PUT", "/api/v1/pumps/3/price", {"price": 1.99}, TILL1)[0] == 200
    page.until("pump 3's new price", lambda d: page.text("#pump-3 .price") == "€1.99")
    # The browser reports the refused connections of the outage; nothing else.
    left = [e for e in page.read_console()
            if "ERR_CONNECTION_REFUSED" not in e["message"] and "ERR_EMPTY_RESPONSE" not in e["message"]]
    assert not left, f"console during the restart: {left}"


def german(service, out):
    """A German browser: the comma it shows is the comma it takes."""
    driver = browser("de-DE")
    try:
        page = Page(driver, out)
        driver.get(service.url)
        page.sign_in(TILL2)
        page.until("pump 1 idle", lambda d: page.attr("#pump-1", "data-state") == "idle")
        page.find("#pump-1-amount").send_keys("1,5", Keys.ENTER)
        page.until("1,5 litres on the card", lambda d: page.attr("#pump-1 .preset", "data-amount") == "1.5")
        assert page.text("#pump-1 .preset").startswith("Preset 1,50 L"), page.text("#pump-1 .preset")
        assert page.text("#pump-1 .price") == "1,85 €", page.text("#pump-1 .price")
        assert not page.read_console(), f"console: {page.console}"
    finally:
        driver.quit()


def big_forecourt(binary, web, folder, out, log):
    """128 pumps delivering at once; the cards end on the service's values."""
    service = Tarvenixd(binary, write_big_config(folder, web), log)
    service.start()
    driver = browser()
    try:
        page = Page(driver, out)
        driver.get(service.url)
        # Open access: straight to the grid, no token asked.
        page.until("128 cards", lambda d: len(page.all("#grid .card")) == 128)
        assert not page.find("#login").is_displayed() and not page.find("#sign-out").is_displayed()
        page.live()
        page.until("a card saying it has no price", lambda d: page.find("#pump-1-1 .no-price").is_displayed())
        page.until("every pump heard from", lambda d: all(
            p["online"] for p in service.call("GET", "/api/v1/pumps")[1]))
        pumps = service.call("GET", "/api/v1/pumps")[1]
        # Each command waits for its line: all at once, as tills would.
        with ThreadPoolExecutor(max_workers=32) as pool:
            prices = pool.map(lambda p: service.call("PUT", f"/api/v1/pumps/{p['id']}/price", {"price": 1.5}),
                              pumps)
            assert all(status == 200 for status, _ in prices)
            sales = pool.map(lambda n: service.call("POST", f"/api/v1/pumps/{pumps[n]['id']}/authorize",
                                                    {"volume": 2 + n % 3, "client": "bench"}), range(len(pumps)))
            refused = [reply for status, reply in sales if status != 201]
            assert not refused, refused[:3]
        page.until("every sale finished", lambda d: all(
            p["transaction"] is None and p["unpaid"] == 1 for p in service.call("GET", "/api/v1/pumps")[1]))
        final = {p["id"]: p for p in service.call("GET", "/api/v1/pumps")[1]}

        def shown(pump):
            key = f"#pump-{pump['id']}"
            return (page.text(f"{key} .volume") == f"{Decimal(str(pump['volume'])):.2f} L"
                    and page.text(f"{key} .unpaid") == "1")
        page.until("the cards on the final values", lambda d: all(shown(p) for p in final.values()))
        assert not page.read_console(), f"console with 128 pumps: {page.console}"
    finally:
        driver.quit()
        service.stop()


def run(binary, web, out):
    folder = tempfile.mkdtemp(prefix="tarvenix-browser-")
    with open(os.path.join(out, "browser-tarvenixd.log"), "w", encoding="utf-8") as log:
        service = Tarvenixd(binary, write_config(folder, web), log)
        service.start()
        driver = None
        try:
            check_file_server(service.url)
            driver = browser()
            page = Page(driver, out)
            page.resize(1280, 800)
            driver.get(service.url)
            page.axe_check("the sign-in form")
            page.sign_in(TILL1)
            names = [e.text for e in page.all("#grid .card h3")]
            assert names == [f"Pump {n}" for n in range(1, 5)] + ["Pump 9"], names
            assert page.text("#who") == "Till: till-1"

            amounts_as_typed(page, service)
            two_tills(page, service)
            stop_all(page)
            lines_and_trace(page)
            views_checked(page, "1280x800")
            shift_report(page, service)
            assert not page.read_console(), f"console: {page.console}"
            outage(page, service)

            # A monitor sees the forecourt but no control.
            page.find("#sign-out").click()
            page.sign_in(MONITOR)
            assert not page.find("#stop-all").is_displayed()
            assert not [e for e in page.all(".controls, button.lock, button.clear") if e.is_displayed()]
            page.find("#sign-out").click()
            page.sign_in(TILL1)
            # A sale to pay, so that the phone shows a row and its Lock.
            page.until("pump 4 idle", lambda d: page.attr("#pump-4", "data-state") == "idle")
            status, reply = service.call("POST", "/api/v1/pumps/4/authorize", {"volume": 1}, TILL1)
            assert status == 201, reply
            page.until("pump 4's sale to pay", lambda d: page.all("#sales-body tr[data-state=payable]"))
            phone(page)
            assert not page.read_console(), f"console: {page.console}"
            german(service, out)
        finally:
            if driver:
                driver.quit()
            service.stop()
        big_forecourt(binary, web, folder, out, log)
    print("forecourt page: ok")


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    run(*sys.argv[1:])
