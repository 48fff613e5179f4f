#!/usr/bin/env python3
"""The payer page and the console in a real browser, end to end against the
quillmark-sandbox program.

One order's life, one step per test (they run in order and share the order):
  1. place a signed unified order over HTTPS, trusting the CA the sandbox names, with
     notify_url pointing at a small HTTP listener of this test;
  2. open the order's code_url in headless Chromium: the page shows the order number and
     the amount;
  3. press the pay button: the page shows the paid state;
  4. query the order: trade_state SUCCESS, with transaction_id and time_end;
  5. the payment notification reaches the listener, correctly signed, once (it is
     acknowledged, so not sent again);
then the console:
  6. its list of orders shows the order, paid;
  7. a second order's console page pays it with its button, and the next query says
     SUCCESS;
  8. its button that sends the notification again adds a row to its attempts, which the
     page shows by refreshing itself;
  9. a query with a wrong sign is in the journal with the sign string the sandbox signed
     (the key masked) and the sign it expected;
 9b. the pages hold no data of their own but draw it from the console's API; an order
     whose fields, and a request whose body, hold markup show them as text and run none
     of it; a ?done= that is no key of the console's shows no message;
 9c. the payer page's Decline and Keep paying buttons: the console's API then reports the
     order PAYERROR, and USERPAYING until Pay is pressed;
 9d. the console's form arms a scenario for an order number, lists it, and removes it, and
     its Remove all button disarms every one; an order's page shows its scenario.
The browser asks for English (--accept-lang), the language every text checked here is in.
Every step that changes the page waits for what the next page shows, never for the old one
to go (Chromium reports that in more than one way); WaitsTest checks those waits on a
made-up driver, so that a wait which takes a replaced page for a fault is caught without a
browser's timing.

Usage (CTest runs it so):
  payer_page_test.py --sandbox PATH [--chromium PATH] [--chromedriver PATH]
The merchant is QUILLMARK_APPID, QUILLMARK_MCH_ID and QUILLMARK_API_KEY from the
environment (CTest passes the build's); the sandbox is started with the same variables, so
both sides always agree. Without them the test makes up a merchant of its own.
"""

import argparse
import hashlib
import http.server
import json
import os
import re
import secrets
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request
import xml.etree.ElementTree as ET

from selenium import webdriver
from selenium.webdriver.common.by import By
from selenium.common.exceptions import (JavascriptException, NoSuchElementException,
                                        StaleElementReferenceException, WebDriverException)

OVERALL_LIMIT_SECONDS = 85  # CTest's limit is 90: this one ends it with a clear message
ACK = b"<xml><return_code><![CDATA[SUCCESS]]></return_code></xml>"

ARGS = None  # set in main()


class OverallTimeout(Exception):
    pass


def on_alarm(signum, frame):
    raise OverallTimeout("the browser test ran longer than %d s; see the sandbox's output below"
                         % OVERALL_LIMIT_SECONDS)


# What Chromium answers for an element or a script caught by a page being replaced. Older
# ones raise StaleElementReferenceException for a node of the page that went; newer ones a
# generic error naming the node, and a script sent while the next page is committed may find
# its context gone. A wait takes each as "not yet"; anything else is a fault of its own.
NODE_GONE_MESSAGES = (
    "does not belong to the document",
    "no node with given id",
    "node is detached from document",
)
CONTEXT_GONE_MESSAGES = (
    "cannot find context with specified id",
    "execution context was destroyed",
    "inspected target navigated or closed",
    "document unloaded while waiting",
)

SUMMARY_LINES = 20


def message_of(error):
    return (getattr(error, "msg", None) or str(error)).lower()


def node_gone(error):
    """Whether the element this error is about belongs to a page, or a part of one, that
    has been replaced."""
    return (isinstance(error, StaleElementReferenceException) or
            any(known in message_of(error) for known in NODE_GONE_MESSAGES))


def page_changing(error):
    """Whether this error of the driver comes from the page being replaced meanwhile."""
    return (isinstance(error, (NoSuchElementException, JavascriptException)) or
            node_gone(error) or
            any(known in message_of(error) for known in CONTEXT_GONE_MESSAGES))


def page_summary(driver):
    """The page's URL and the first lines of its text, for a failure to show; never raises
    itself, since it is called when something already went wrong."""
    try:
        url = driver.current_url
    except Exception as error:
        url = "(an address the driver could not tell: %s)" % error
    try:
        text = driver.execute_script("return document.body ? document.body.innerText : '';")
        lines = [line.strip() for line in (text or "").splitlines() if line.strip()]
        shown = "\n".join("  | " + line for line in lines[:SUMMARY_LINES])
        if len(lines) > SUMMARY_LINES:
            shown += "\n  | ... (%d lines more)" % (len(lines) - SUMMARY_LINES)
        if not lines:
            shown = "  (no text)"
    except Exception as error:
        shown = "  (its text could not be read: %s)" % error
    return "the page at %s shows:\n%s" % (url, shown)


def wait_for(driver, what, condition, seconds=10):
    """condition(driver)'s first true value within `seconds`. `what` names what is awaited,
    as the failure says it. An error from the page being replaced meanwhile is only "not
    yet"; the failure shows the last one and the page as it is then."""
    deadline = time.monotonic() + seconds
    last_error = None
    while True:
        try:
            value = condition(driver)
            if value:
                return value
        except WebDriverException as error:
            if not page_changing(error):
                raise AssertionError("while waiting for %s: %s\n%s" %
                                     (what, str(error).strip(), page_summary(driver))) from error
            last_error = error
        if time.monotonic() >= deadline:
            break
        time.sleep(0.1)
    raise AssertionError("waited %g s in vain for %s%s\n%s" % (
        seconds, what,
        "" if last_error is None else " (the last try: %s)" % str(last_error).strip(),
        page_summary(driver)))


def press(driver, what, selector):
    """Clicks the first element matching the CSS selector, found anew if it was replaced in
    between (the console's pages refresh their content by themselves). The document is
    marked first: once the mark is gone the click has led to the next page, so a button is
    never pressed twice, whatever a click reports."""
    mark = secrets.token_hex(8)
    driver.execute_script("window.quillmarkTestMark = arguments[0];", mark)

    def found_and_clicked(driver):
        if driver.execute_script("return window.quillmarkTestMark !== arguments[0];", mark):
            return True
        try:
            driver.find_element(By.CSS_SELECTOR, selector).click()
            return True
        except WebDriverException as error:
            if isinstance(error, NoSuchElementException) or node_gone(error):
                return False
            raise
    wait_for(driver, "%s (%s) to be pressed" % (what, selector), found_and_clicked)


def page_text(driver, element_id):
    """The stripped text of the element with this id on the page as it is now, or None."""
    return driver.execute_script(
        "const e = document.getElementById(arguments[0]);"
        "return e ? e.innerText.trim() : null;", element_id)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for_port(port, seconds):
    deadline = time.monotonic() + seconds
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def wait_for_devtools_port(profile, seconds):
    """The port Chromium's DevTools listen on: the first line of DevToolsActivePort in its
    profile, written once it listens."""
    path = os.path.join(profile, "DevToolsActivePort")
    deadline = time.monotonic() + seconds
    while True:
        try:
            with open(path) as f:
                first = f.readline().strip()
            if first:
                return int(first)
        except OSError:
            pass
        if time.monotonic() > deadline:
            raise TimeoutError("Chromium wrote no %s within %d s" % (path, seconds))
        time.sleep(0.05)


def launch_browser(holder, folder, flags=()):
    """Headless Chromium and chromedriver, with `flags` besides the usual ones, as
    holder.chromium, holder.chromedriver and holder.driver (set as each starts, so that a
    clean-up finds what did). Chromium and chromedriver are started here, and told to meet
    at 127.0.0.1, rather than by Selenium and chromedriver, which reach each other as
    "localhost": a machine without /etc/hosts cannot resolve that name."""
    profile = os.path.join(folder, "chromium")
    chromium_log = os.path.join(folder, "chromium.log")
    driver_log = os.path.join(folder, "chromedriver.log")
    with open(chromium_log, "wb") as output:
        holder.chromium = subprocess.Popen(
            [ARGS.chromium, "--headless=new", "--no-sandbox", "--disable-gpu",
             "--disable-quic", "--no-first-run", "--disable-background-networking",
             "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage",
             "--window-size=800,900", "--accept-lang=en-US", "--user-data-dir=" + profile,
             "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0"] +
            list(flags) + ["about:blank"],
            stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT)
    port = free_port()
    holder.chromedriver = subprocess.Popen(
        [ARGS.chromedriver, "--port=%d" % port, "--log-path=" + driver_log],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
    try:
        devtools = wait_for_devtools_port(profile, 15)
        wait_for_port(port, 10)
        options = webdriver.ChromeOptions()
        options.debugger_address = "127.0.0.1:%d" % devtools
        # The sandbox's certificate comes from its own CA, which Chromium does not know.
        options.set_capability("acceptInsecureCerts", True)
        holder.driver = webdriver.Remote(command_executor="http://127.0.0.1:%d" % port,
                                         options=options)
    except Exception as error:
        logs = ""
        for path in (chromium_log, driver_log):
            if os.path.exists(path):
                with open(path, errors="replace") as f:
                    logs += "--- %s\n%s\n" % (path, f.read()[-3000:])
        raise AssertionError("cannot drive %s through %s: %s\n%s"
                             % (ARGS.chromium, ARGS.chromedriver, error, logs))


# --- signed documents --------------------------------------------------------------------

def sign_of(fields, key):
    """Upper-case hex MD5 of the UTF-8 sign string: every non-empty field but sign, sorted
    by name, as name=value joined by '&', then '&key=' and the key."""
    pairs = ["%s=%s" % (name, fields[name]) for name in sorted(fields)
             if name != "sign" and fields[name] != ""]
    text = "&".join(pairs + ["key=" + key])
    return hashlib.md5(text.encode("utf-8")).hexdigest().upper()


def document(fields, key):
    signed = dict(fields, sign=sign_of(fields, key))
    return ("<xml>" + "".join("<%s><![CDATA[%s]]></%s>" % (n, v, n) for n, v in signed.items())
            + "</xml>").encode("utf-8")


def read_document(body):
    """A flat <xml> document's fields by name; raises ValueError with the body if it is not one."""
    try:
        root = ET.fromstring(body)
    except ET.ParseError as error:
        raise ValueError("not XML (%s): %r" % (error, body[:500]))
    if root.tag != "xml":
        raise ValueError("root element is <%s>, not <xml>: %r" % (root.tag, body[:500]))
    return {child.tag: (child.text or "") for child in root}


# --- the notify_url listener -------------------------------------------------------------

def serve_on_loopback(handler):
    """A threaded HTTP server on a free loopback port, already serving from a thread of its own."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


class NotifyListener:
    """http://127.0.0.1:<port>/quillmark/notify, acknowledging every POST."""

    PATH = "/quillmark/notify"

    def __init__(self):
        self.received = []  # (path, body bytes, monotonic time)
        self.condition = threading.Condition()
        listener = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length)
                with listener.condition:
                    listener.received.append((self.path, body, time.monotonic()))
                    listener.condition.notify_all()
                self.send_response(200)
                self.send_header("Content-Type", "text/xml")
                self.send_header("Content-Length", str(len(ACK)))
                self.end_headers()
                self.wfile.write(ACK)

            def log_message(self, format, *args):
                sys.stderr.write("notify listener: %s\n" % (format % args))

        self.server = serve_on_loopback(Handler)
        self.url = "http://127.0.0.1:%d%s" % (self.server.server_address[1], self.PATH)

    def wait_for(self, count, seconds):
        deadline = time.monotonic() + seconds
        with self.condition:
            while len(self.received) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self.condition.wait(left)
            return list(self.received)

    def close(self):
        self.server.shutdown()
        self.server.server_close()


# --- the sandbox program -----------------------------------------------------------------

class SandboxProgram:
    """quillmark-sandbox on a free port; its output is collected as it comes."""

    def __init__(self, program, env, options=()):
        self.lines = []
        self.errors = []
        self.condition = threading.Condition()
        self.process = subprocess.Popen(
            [program, "--port", "0", "--state", ":memory:", "--notify-delays", "0.2,0.5"] +
            list(options),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=env, text=True, encoding="utf-8", errors="replace")
        for stream, into in ((self.process.stdout, self.lines), (self.process.stderr, self.errors)):
            threading.Thread(target=self._collect, args=(stream, into), daemon=True).start()

    def _collect(self, stream, into):
        for line in stream:
            with self.condition:
                into.append(line.rstrip("\n"))
                self.condition.notify_all()
        with self.condition:
            self.condition.notify_all()

    def wait_for_line(self, pattern, seconds):
        """The first match of `pattern` in its standard output, or None after `seconds` or
        once the program has ended."""
        deadline = time.monotonic() + seconds
        regex = re.compile(pattern)
        with self.condition:
            while True:
                for line in self.lines:
                    match = regex.search(line)
                    if match:
                        return match
                left = deadline - time.monotonic()
                if left <= 0 or self.process.poll() is not None:
                    return None
                self.condition.wait(min(left, 0.2))

    def output(self):
        status = self.process.poll()
        ended = "" if status is None else " (it exited with status %d)" % status
        with self.condition:
            return ("--- sandbox standard output%s ---\n" % ended + "\n".join(self.lines) +
                    "\n--- sandbox standard error ---\n" + "\n".join(self.errors) + "\n")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


# --- the test ----------------------------------------------------------------------------

def merchant_from_environment():
    names = ("QUILLMARK_APPID", "QUILLMARK_MCH_ID", "QUILLMARK_API_KEY")
    if all(os.environ.get(name) for name in names):
        return tuple(os.environ[name] for name in names)
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
    return ("qmbrowsertest00001", "1230000099",
            "".join(secrets.choice(alphabet) for _ in range(32)))


class PayerPageTest(unittest.TestCase):
    """Steps of one order, in name order; each needs the ones before."""

    @classmethod
    def setUpClass(cls):
        cls.appid, cls.mch_id, cls.key = merchant_from_environment()
        cls.temp = tempfile.TemporaryDirectory(prefix="quillmark-browser-")
        cls.sandbox = None
        cls.listener = None
        cls.driver = None
        cls.chromedriver = None
        cls.chromium = None
        cls.state = {}
        try:
            cls.listener = NotifyListener()
            env = dict(os.environ, QUILLMARK_APPID=cls.appid, QUILLMARK_MCH_ID=cls.mch_id,
                       QUILLMARK_API_KEY=cls.key,
                       # no per-user settings file: only the build's defaults and these
                       XDG_CONFIG_HOME=os.path.join(cls.temp.name, "config"))
            cls.sandbox = SandboxProgram(ARGS.sandbox, env)
            listening = cls.sandbox.wait_for_line(
                r"quillmark-sandbox listening on (https://\S+)", 20)
            if not listening:
                raise AssertionError("the sandbox printed no 'listening on' line\n" +
                                     cls.sandbox.output())
            cls.base = listening.group(1)
            ca = cls.sandbox.wait_for_line(r"its certificate is issued by the CA in (.+)$", 5)
            if not ca:
                raise AssertionError("the sandbox did not name its CA\n" + cls.sandbox.output())
            cls.tls = ssl.create_default_context(cafile=ca.group(1))
        except BaseException:
            cls.cleanUp()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.cleanUp()

    @classmethod
    def cleanUp(cls):
        try:
            try:
                if cls.driver is not None:
                    cls.driver.quit()
                    cls.driver = None
            finally:
                for name in ("chromedriver", "chromium"):
                    process = getattr(cls, name)
                    if process is not None:
                        process.terminate()
                        process.wait(10)
                        setattr(cls, name, None)
        finally:
            try:
                if cls.sandbox is not None:
                    cls.sandbox.stop()
                    # On failure CTest shows this; it tells what the sandbox saw.
                    sys.stderr.write(cls.sandbox.output())
            finally:
                if cls.listener is not None:
                    cls.listener.close()
                cls.temp.cleanup()

    def need(self, *keys):
        missing = [key for key in keys if key not in self.state]
        if missing:
            self.fail("an earlier step failed, so there is no %s" % ", ".join(missing))

    def wait_for(self, what, condition, seconds=10):
        return wait_for(self.driver, what, condition, seconds)

    def press(self, what, selector):
        press(self.driver, what, selector)

    def post(self, path, fields):
        request = urllib.request.Request(self.base + path, data=document(fields, self.key),
                                         headers={"Content-Type": "text/xml; charset=utf-8"})
        try:
            with urllib.request.urlopen(request, timeout=10, context=self.tls) as reply:
                body = reply.read()
        except urllib.error.HTTPError as error:
            self.fail("POST %s: HTTP %d: %r" % (path, error.code, error.read()[:500]))
        reply = read_document(body)
        self.assertEqual(reply.get("return_code"), "SUCCESS", "POST %s: %r" % (path, body))
        self.assertEqual(reply.get("result_code"), "SUCCESS", "POST %s: %r" % (path, body))
        self.assertEqual(reply.get("sign"), sign_of(reply, self.key),
                         "POST %s: the reply's sign does not verify: %r" % (path, body))
        return reply

    def console_json(self, path, method="GET", body=None):
        """The console's JSON answer to a request from this machine, and its status."""
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=10, context=self.tls) as reply:
                return reply.status, json.loads(reply.read())
        except urllib.error.HTTPError as error:
            return error.code, json.loads(error.read() or b"null")

    def order_state(self, order_no):
        status, detail = self.console_json("/console/api/orders/" + order_no)
        self.assertEqual(status, 200, detail)
        return detail["order"]["state"]

    def order_fields(self, order_no):
        return {
            "appid": self.appid,
            "body": "Quillmark browser test",
            "mch_id": self.mch_id,
            "nonce_str": secrets.token_hex(16).upper(),
            "notify_url": self.listener.url,
            "out_trade_no": order_no,
            "spbill_create_ip": "127.0.0.1",
            "total_fee": "1",
            "trade_type": "NATIVE",
        }

    def test_1_places_an_order(self):
        order_no = "browser%d%s" % (int(time.time()), secrets.token_hex(4))
        reply = self.post("/pay/unifiedorder", self.order_fields(order_no))
        code_url = reply.get("code_url", "")
        self.assertTrue(code_url.startswith(self.base + "/pay/qr/"),
                        "code_url %r is not a payer page of %s" % (code_url, self.base))
        self.state["order_no"] = order_no
        self.state["code_url"] = code_url

    def test_2_page_shows_the_order(self):
        self.need("code_url")
        launch_browser(type(self), self.temp.name)
        driver = self.driver
        driver.set_page_load_timeout(20)
        driver.get(self.state["code_url"])
        def text_of(element_id):
            text = page_text(driver, element_id)
            self.assertIsNotNone(text, "the page at %s has no element id=%r:\n%s" %
                                 (driver.current_url, element_id, driver.page_source[:3000]))
            return text

        self.assertEqual(text_of("order"), self.state["order_no"])
        self.assertEqual(text_of("amount"), "0.01")
        self.assertEqual(text_of("state"), "NOTPAY")
        self.state["page"] = True

    def test_3_pay_button_pays(self):
        self.need("page")
        driver = self.driver
        pay = "form button, form input[type=submit]"
        self.assertTrue(driver.find_elements(By.CSS_SELECTOR, pay),
                        "the page has no pay button:\n" + page_summary(driver))
        self.press("the pay button", pay)

        # The button's POST answers 303 back to the same address, loaded anew. Only that new
        # page can say SUCCESS, so it is what is awaited (not the old page's going, which
        # Chromium reports in more ways than one). Texts are read by one script call each,
        # so an element never outlives its page between being found and being read.
        self.wait_for("the payer page to show state SUCCESS after the pay button",
                      lambda d: page_text(d, "state") == "SUCCESS")
        self.assertEqual(driver.current_url, self.state["code_url"],
                         "the pay button led elsewhere than back to the order's page")
        self.assertEqual(page_text(driver, "order"), self.state["order_no"])
        self.assertFalse(driver.find_elements(By.CSS_SELECTOR, pay),
                         "the paid order's page still offers to pay:\n" + page_summary(driver))
        self.state["paid"] = True

    def test_4_query_sees_the_payment(self):
        self.need("paid")
        reply = self.post("/pay/orderquery", {
            "appid": self.appid,
            "mch_id": self.mch_id,
            "nonce_str": secrets.token_hex(16).upper(),
            "out_trade_no": self.state["order_no"],
        })
        self.assertEqual(reply.get("out_trade_no"), self.state["order_no"], reply)
        self.assertEqual(reply.get("trade_state"), "SUCCESS", reply)
        self.state["queried"] = True
        self.assertTrue(reply.get("transaction_id"),
                        "the query reply has no transaction_id: %r" % reply)
        self.assertRegex(reply.get("time_end", ""), r"^\d{14}$",
                         "the query reply has no time_end (yyyyMMddHHmmss): %r" % reply)
        self.state["transaction_id"] = reply["transaction_id"]

    def test_5_notification_arrives(self):
        self.need("paid")
        received = self.listener.wait_for(1, 5)
        self.assertTrue(received, "no notification reached %s within 5 s of the payment" %
                        self.listener.url)
        path, body, arrived = received[0]
        self.assertEqual(path, NotifyListener.PATH)
        notice = read_document(body)
        self.assertEqual(notice.get("sign"), sign_of(notice, self.key),
                         "the notification's sign does not verify with the key: %r" % body)
        for name, expected in (("return_code", "SUCCESS"), ("result_code", "SUCCESS"),
                               ("appid", self.appid), ("mch_id", self.mch_id),
                               ("out_trade_no", self.state["order_no"]), ("total_fee", "1")):
            self.assertEqual(notice.get(name), expected, "notification field %s: %r" % (name, body))
        self.assertTrue(notice.get("transaction_id"), "the notification has no transaction_id")
        if "transaction_id" in self.state:
            self.assertEqual(notice["transaction_id"], self.state["transaction_id"],
                             "the notification and the query name different transactions")
        # Acknowledged at once: the retries (0.2 s, then 0.5 s) must not follow.
        time.sleep(max(0.0, arrived + 1.0 - time.monotonic()))
        count = len(self.listener.received)
        self.assertEqual(count, 1, "the acknowledged notification was sent %d times" % count)

    # --- the console ---------------------------------------------------------------------

    def texts(self, selector):
        """The stripped texts of every element matching the CSS selector, read at once."""
        return self.driver.execute_script(
            "return Array.from(document.querySelectorAll(arguments[0]), e => e.innerText.trim());",
            selector)

    def test_6_console_lists_the_order(self):
        self.need("page", "paid")
        self.driver.get(self.base + "/console")
        order_no = self.state["order_no"]
        rows = self.wait_for("the console to list the order %s" % order_no,
                             lambda d: [r for r in d.execute_script(
                                 "return Array.from(document.querySelectorAll('#orders tbody tr'),"
                                 " r => Array.from(r.cells, c => c.innerText.trim()));")
                                 if r and r[0] == order_no])
        number, amount, state = rows[0][:3]
        self.assertEqual((amount, state), ("0.01", "SUCCESS"), rows[0])
        # Read in one script call: the list refreshes itself and may replace the link
        # between its being found and its address being read.
        hrefs = self.wait_for("a link to the order %s in the console's list" % order_no,
                              lambda d: d.execute_script(
                                  "return Array.from(document.querySelectorAll('#orders a'))"
                                  ".filter(a => a.innerText.trim() === arguments[0])"
                                  ".map(a => a.href);", order_no))
        self.assertTrue(hrefs[0].endswith("/console/orders/" + order_no), hrefs)
        self.state["console"] = True

    def test_7_console_pay_button_pays(self):
        self.need("console")
        order_no = "console%d%s" % (int(time.time()), secrets.token_hex(4))
        self.post("/pay/unifiedorder", self.order_fields(order_no))
        self.driver.get(self.base + "/console/orders/" + order_no)
        self.wait_for("the new order's console page to say NOTPAY",
                      lambda d: page_text(d, "state") == "NOTPAY")
        self.press("the console's pay button", "#pay")
        # Post/Redirect/Get: the page it leads back to says what was done, which the page
        # the button was on never does; then its state.
        self.wait_for("the order's page to be loaded anew saying the pay button's 'Paid.'",
                      lambda d: page_text(d, "message") == "Paid.")
        self.wait_for("the order's page to say SUCCESS after the pay button",
                      lambda d: page_text(d, "state") == "SUCCESS")
        reply = self.post("/pay/orderquery", {
            "appid": self.appid,
            "mch_id": self.mch_id,
            "nonce_str": secrets.token_hex(16).upper(),
            "out_trade_no": order_no,
        })
        self.assertEqual(reply.get("trade_state"), "SUCCESS", reply)
        self.state["console_order"] = order_no

    def test_8_resend_adds_an_attempt(self):
        self.need("console_order")
        # The payment's own notification is listed first, once it has been answered.
        self.wait_for("the paid order's page to list its notification's attempt",
                      lambda d: len(self.texts("#attempts tr.attempt")) == 1)
        before = len(self.listener.received)
        self.press("the resend button", "#notify")
        # The page this leads back to says so; the one it was on said "Paid." (the step
        # before), so only the new page passes.
        self.wait_for("the order's page to be loaded anew saying the notification was sent again",
                      lambda d: (page_text(d, "message") or "").startswith(
                          "Notification sent again"))
        # The attempt may be answered after the page was loaded: the page refreshes itself.
        self.wait_for("a second attempt row on the order's page",
                      lambda d: len(self.texts("#attempts tr.attempt")) == 2)
        first_cells = self.driver.execute_script(
            "return Array.from(document.querySelectorAll('#attempts tr.attempt')[1].cells,"
            " c => c.innerText.trim());")
        self.assertEqual(first_cells[0], "resend", first_cells)
        self.assertEqual(first_cells[-1], "yes", first_cells)
        self.assertEqual(len(self.listener.received), before + 1)
        # And the page goes on refreshing itself while it is open.
        self.wait_for("the console page to refresh itself",
                      lambda d: int(d.execute_script(
                          "return document.body.dataset.refreshes || 0;")) >= 1, seconds=6)

    def test_9_refused_request_shows_its_sign_string(self):
        self.need("console")
        fields = {"appid": self.appid, "mch_id": self.mch_id,
                  "nonce_str": secrets.token_hex(16).upper(),
                  "out_trade_no": self.state["order_no"]}
        forged = dict(fields, sign="0" * 32)
        body = ("<xml>" + "".join("<%s>%s</%s>" % (n, v, n) for n, v in forged.items()) +
                "</xml>").encode("utf-8")
        request = urllib.request.Request(self.base + "/pay/orderquery", data=body,
                                         headers={"Content-Type": "text/xml; charset=utf-8"})
        with urllib.request.urlopen(request, timeout=10, context=self.tls) as reply:
            self.assertIn(b"sign mismatch", reply.read())
        self.driver.get(self.base + "/console/requests?verdict=sign-mismatch")
        masked = "&".join("%s=%s" % (n, fields[n]) for n in sorted(fields)) + "&key=********"
        shown = self.wait_for("the journal to show the refused sign string",
                              lambda d: self.texts(".sign-string"))
        self.assertEqual(shown[0], masked)
        self.assertEqual(self.texts(".sign-expected")[0], sign_of(fields, self.key))
        self.assertEqual(self.texts(".sign-received")[0], "0" * 32)


    def test_9b_pages_draw_the_api_and_show_markup_as_text(self):
        self.need("console")
        order_no = "hostile%d%s" % (int(time.time()), secrets.token_hex(4))
        body = "<script>window.quillmarkInjected=1</script><img src=x " \
               "onerror=\"window.quillmarkInjected=2\">&\"'"
        notify_url = "javascript:\"><img src=x onerror=window.quillmarkInjected=3>"
        self.post("/pay/unifiedorder", dict(self.order_fields(order_no), body=body,
                                            notify_url=notify_url))
        sign = "<img src=x onerror=window.quillmarkInjected=4>"
        fields = {"appid": self.appid, "mch_id": self.mch_id, "out_trade_no": order_no,
                  "nonce_str": secrets.token_hex(16).upper(), "sign": sign}
        forged = ("<xml>" + "".join("<%s><![CDATA[%s]]></%s>" % (n, v, n)
                                    for n, v in fields.items()) + "</xml>").encode("utf-8")
        request = urllib.request.Request(self.base + "/pay/orderquery", data=forged,
                                         headers={"Content-Type": "text/xml; charset=utf-8"})
        with urllib.request.urlopen(request, timeout=10, context=self.tls) as reply:
            reply.read()

        # What the server sends for an order's page names no order: the page asks the API.
        with urllib.request.urlopen(self.base + "/console/orders/" + order_no, timeout=10,
                                    context=self.tls) as reply:
            self.assertNotIn(order_no.encode(), reply.read())
        driver = self.driver
        text_of = ("const e = document.querySelector(arguments[0]);"
                   "return e ? e.textContent : null;")
        untouched = ("return window.quillmarkInjected === undefined &&"
                     " !document.querySelector('#content img, #content script');")

        driver.get(self.base + "/console")
        row = self.wait_for("the console's list to draw the order %s" % order_no,
                            lambda d: [r for r in d.execute_script(
                                "return Array.from(document.querySelectorAll('#orders tbody tr'),"
                                " r => Array.from(r.cells, c => c.textContent));")
                                if r and r[0] == order_no])[0]
        self.assertEqual((row[2], row[4]), ("NOTPAY", notify_url), row)
        self.assertTrue(driver.execute_script(untouched), page_summary(driver))

        driver.get(self.base + "/console/orders/" + order_no)
        self.wait_for("the order's page to draw its number",
                      lambda d: page_text(d, "order-number") == order_no)
        facts = dict(driver.execute_script(
            "return Array.from(document.querySelectorAll('dt'),"
            " t => [t.textContent, t.nextElementSibling.textContent]);"))
        self.assertEqual(facts["Description"], body)
        self.assertEqual(facts["Scenario"], "paid")
        self.assertEqual(facts["notify_url"], notify_url)
        bodies = ("return Array.from(document.querySelectorAll('#requests pre'),"
                  " p => p.textContent);")
        self.wait_for("the order's page to show the forged request's body as it came",
                      lambda d: [b for b in d.execute_script(bodies) if sign in b])
        self.assertTrue(driver.execute_script(untouched), page_summary(driver))

        # ?done= shows the console's own message for a key, and nothing for anything else.
        for done, says in (("closed", "Closed."), ("%3Cb%3Epaid%3C%2Fb%3E", None),
                           ("Paid.", None)):
            driver.get(self.base + "/console/orders/%s?done=%s" % (order_no, done))
            self.wait_for("the order's page with ?done=%s" % done,
                          lambda d: page_text(d, "order-number") == order_no)
            self.assertEqual(page_text(driver, "message"), says, done)

        # The requests page, filtered by the order, draws only its requests.
        driver.get(self.base + "/console/requests?out_trade_no=" + order_no)
        orders = self.wait_for("the requests page to list the order's requests",
                               lambda d: d.execute_script(
                                   "return Array.from(document.querySelectorAll("
                                   "'#requests tr.request td.order'), c => c.textContent);"))
        self.assertEqual(set(orders), {order_no}, orders)
        self.assertTrue([b for b in driver.execute_script(bodies) if sign in b])
        self.assertTrue(driver.execute_script(untouched), page_summary(driver))

    def test_9c_payer_page_declines_and_keeps_paying(self):
        self.need("page")
        driver = self.driver
        declined = "decline%d%s" % (int(time.time()), secrets.token_hex(4))
        paying = "paying%d%s" % (int(time.time()), secrets.token_hex(4))
        links = {}
        for order_no in (declined, paying):
            links[order_no] = self.post("/pay/unifiedorder", self.order_fields(order_no))["code_url"]

        driver.get(links[declined])
        self.press("the decline button", "button.decline")
        self.wait_for("the payer page to show PAYERROR after Decline",
                      lambda d: page_text(d, "state") == "PAYERROR")
        self.assertFalse(driver.find_elements(By.CSS_SELECTOR, "form button"),
                         "a declined order's page still offers its buttons:\n" +
                         page_summary(driver))
        self.assertEqual(self.order_state(declined), "PAYERROR")

        driver.get(links[paying])
        self.press("the keep-paying button", "button.keep")
        self.wait_for("the payer page to show USERPAYING after Keep paying",
                      lambda d: page_text(d, "state") == "USERPAYING")
        self.assertEqual(self.order_state(paying), "USERPAYING")
        self.assertEqual(self.order_state(paying), "USERPAYING", "until Pay is pressed")
        self.press("the pay button", "button.pay")
        self.wait_for("the payer page to show SUCCESS after Pay",
                      lambda d: page_text(d, "state") == "SUCCESS")
        self.assertEqual(self.order_state(paying), "SUCCESS")

    def test_9d_console_arms_a_scenario(self):
        self.need("console")
        driver = self.driver
        order_no = "armed%d%s" % (int(time.time()), secrets.token_hex(4))
        driver.get(self.base + "/console")
        self.wait_for("the console's form that arms a scenario",
                      lambda d: d.find_elements(By.CSS_SELECTOR, "#arm-scenario option"))
        driver.execute_script(
            "document.getElementById('arm-scenario').value = 'refund-fails';"
            "document.getElementById('arm-order').value = arguments[0];", order_no)
        driver.find_element(By.ID, "arm-button").click()
        armed_rows = ("return Array.from(document.querySelectorAll('#armed tr.armed'),"
                      " r => Array.from(r.cells, c => c.textContent));")
        row = self.wait_for("the console to list the scenario armed for %s" % order_no,
                            lambda d: [r for r in d.execute_script(armed_rows)
                                       if r[2] == order_no])[0]
        self.assertEqual(row[1], "refund-fails", row)
        status, listed = self.console_json("/console/api/scenarios")
        self.assertEqual([(a["scenario"], a["out_trade_no"]) for a in listed["armed"]],
                         [("refund-fails", order_no)])

        # An unknown name is refused with the API's message beside the form.
        status, refused = self.console_json("/console/api/scenarios", "POST",
                                            {"scenario": "no-such"})
        self.assertEqual(status, 400, refused)
        self.assertIn("unknown scenario no-such", refused["error"])

        self.press("the armed scenario's remove button", "#armed tr.armed button.remove")
        self.wait_for("the console to list no armed scenario",
                      lambda d: page_text(d, "armed") is not None and
                      not d.execute_script(armed_rows))
        self.assertEqual(self.console_json("/console/api/scenarios")[1]["armed"], [])

        for body in ({"scenario": "declined"}, {"scenario": "expired", "out_trade_no": order_no}):
            status, armed = self.console_json("/console/api/scenarios", "POST", body)
            self.assertEqual(status, 201, armed)
        driver.get(self.base + "/console")
        self.wait_for("the console to list the two armed scenarios",
                      lambda d: len(d.execute_script(armed_rows)) == 2)
        self.press("the remove-all button", "#remove-all")
        self.wait_for("the console to list no armed scenario after Remove all",
                      lambda d: page_text(d, "armed") is not None and
                      not d.execute_script(armed_rows))
        self.assertEqual(self.console_json("/console/api/scenarios")[1]["total"], 0)


class FakeDriver:
    """Just enough of a driver for the waits: a page of text at an address, a document
    mark, and elements whose clicks do what the test says, in turn."""

    def __init__(self, text="", clicks=()):
        self.current_url = "https://127.0.0.1:9/pay/qr/fake"
        self.text = text
        self.mark = None
        self.clicks = list(clicks)  # each: None for a click that lands, or what it raises
        self.clicked = 0

    def execute_script(self, script, *args):
        if "quillmarkTestMark = " in script:
            self.mark = args[0]
            return None
        if "quillmarkTestMark !==" in script:
            return self.mark != args[0]
        return self.text

    def find_element(self, by, selector):
        driver = self

        class Element:
            def click(self):
                driver.clicked += 1
                outcome = driver.clicks.pop(0)
                if callable(outcome):
                    outcome = outcome()
                if outcome is not None:
                    raise outcome
        return Element()


# The error this Chromium gives for a node of a page that has been replaced.
NODE_OF_REPLACED_PAGE = WebDriverException(
    'unknown error: unhandled inspector error: '
    '{"code":-32000,"message":"Node with given id does not belong to the document"}')


class WaitsTest(unittest.TestCase):
    """The waits themselves, on a made-up driver: a page being replaced is "not yet" however
    Chromium reports it, and a wait that fails says what it waited for and what it saw."""

    def test_a_replaced_page_is_not_yet_in_either_form(self):
        for gone in (NODE_OF_REPLACED_PAGE, StaleElementReferenceException("stale")):
            tries = []

            def condition(driver):
                tries.append(1)
                if len(tries) < 3:
                    raise gone
                return "the new page"
            self.assertEqual(wait_for(FakeDriver(), "the new page", condition, 5),
                             "the new page")
            self.assertEqual(len(tries), 3)

    def test_another_error_fails_at_once_naming_the_wait(self):
        began = time.monotonic()
        with self.assertRaises(AssertionError) as caught:
            wait_for(FakeDriver("Some page"), "the thing awaited",
                     lambda d: (_ for _ in ()).throw(WebDriverException("chrome not reachable")),
                     30)
        self.assertLess(time.monotonic() - began, 5)
        message = str(caught.exception)
        for part in ("the thing awaited", "chrome not reachable", "Some page"):
            self.assertIn(part, message)

    def test_a_timeout_shows_the_address_and_the_first_lines(self):
        lines = ["line %d" % n for n in range(1, SUMMARY_LINES + 6)]
        driver = FakeDriver("\n\n".join(lines))
        with self.assertRaises(AssertionError) as caught:
            wait_for(driver, "state SUCCESS", lambda d: False, 0.3)
        message = str(caught.exception)
        self.assertIn("state SUCCESS", message)
        self.assertIn(driver.current_url, message)
        self.assertIn("| line 1\n", message)
        self.assertIn("| line %d\n" % SUMMARY_LINES, message)
        self.assertNotIn("line %d\n" % (SUMMARY_LINES + 1), message)
        self.assertIn("5 lines more", message)

    def test_press_finds_a_replaced_button_anew(self):
        driver = FakeDriver(clicks=[NODE_OF_REPLACED_PAGE, None])
        press(driver, "the button", "#pay")
        self.assertEqual(driver.clicked, 2)

    def test_press_never_presses_twice_once_the_page_went(self):
        driver = FakeDriver()

        def lands_and_leaves():
            driver.mark = None  # the next page's document, without the mark
            return WebDriverException("unknown error: Cannot find context with specified id")
        driver.clicks = [lands_and_leaves, None]
        press(driver, "the button", "#notify")
        self.assertEqual(driver.clicked, 1)


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sandbox", required=True, help="the quillmark-sandbox program")
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--chromedriver", default="/usr/bin/chromedriver")
    ARGS, rest = parser.parse_known_args()
    signal.signal(signal.SIGALRM, on_alarm)
    signal.alarm(OVERALL_LIMIT_SECONDS)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
