#!/usr/bin/env python3
"""A till of this test's own against the quillmark-sandbox program: it scans the payer's
payment code off a phone-sized Chromium screenshot and is paid with it, once.

  1. /pay/code opens in headless Chromium at a phone's size (390x844 CSS pixels, 3 device
     pixels each); once its code element is there, the screen is captured;
  2. zbarimg reads the capture: the Code 128 barcode and the QR code both hold the code the
     page prints, 18 digits beginning with 10 to 15;
  3. the till, written here with hashlib and nothing of the project's, signs a micropay with
     that code and sends it over HTTPS trusting the sandbox's CA: SUCCESS, MICROPAY, and a
     reply whose sign verifies;
  4. the same code again, for another order: AUTHCODEEXPIRE, "101 付款码已过期"; and the
     console's list of codes says the code was used, and refused once when used again.

Usage (CTest runs it so):
  till_code_test.py --sandbox PATH [--chromium PATH] [--chromedriver PATH] [--zbarimg PATH]
                    [--keep-screenshot FILE]
Exits 77 (CTest's skip) when zbarimg is not there. The merchant is as payer_page_test.py's.
"""

import argparse
import hashlib
import json
import os
import re
import secrets
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request
import xml.etree.ElementTree as ET

from selenium import webdriver

from payer_page_test import (SandboxProgram, free_port, merchant_from_environment,
                             page_summary, wait_for, wait_for_devtools_port, wait_for_port)

OVERALL_LIMIT_SECONDS = 55  # CTest's limit is 60: this one ends it with a clear message
SKIPPED = 77
PHONE = (390, 844, 3)  # CSS pixels wide and high, device pixels to one
CODE = re.compile(r"^1[0-5][0-9]{16}$")
ARGS = None


def on_alarm(signum, frame):
    raise TimeoutError("the till test ran longer than %d s" % OVERALL_LIMIT_SECONDS)


# --- the till: what a shop's own software does, in a few lines ---------------------------

def till_sign(fields, key):
    """Upper-case MD5 of "name=value&..." over the non-empty fields but sign, sorted by name,
    then "&key=KEY"."""
    text = "&".join(["%s=%s" % (name, fields[name]) for name in sorted(fields)
                     if name != "sign" and fields[name] != ""] + ["key=" + key])
    return hashlib.md5(text.encode("utf-8")).hexdigest().upper()


def till_micropay(base, tls, merchant, order_no, code):
    appid, mch_id, key = merchant
    fields = {"appid": appid, "mch_id": mch_id, "nonce_str": secrets.token_hex(16),
              "body": "till test", "out_trade_no": order_no, "total_fee": "1",
              "spbill_create_ip": "127.0.0.1", "auth_code": code}
    fields["sign"] = till_sign(fields, key)
    body = "<xml>" + "".join("<%s><![CDATA[%s]]></%s>" % (n, v, n) for n, v in fields.items())
    request = urllib.request.Request(base + "/pay/micropay", data=(body + "</xml>").encode(),
                                     headers={"Content-Type": "text/xml; charset=utf-8"})
    with urllib.request.urlopen(request, timeout=10, context=tls) as reply:
        return {child.tag: child.text or "" for child in ET.fromstring(reply.read())}


class TillCodeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.merchant = merchant_from_environment()
        cls.temp = tempfile.TemporaryDirectory(prefix="quillmark-till-")
        cls.processes = []
        cls.driver = None
        appid, mch_id, key = cls.merchant
        env = dict(os.environ, QUILLMARK_APPID=appid, QUILLMARK_MCH_ID=mch_id,
                   QUILLMARK_API_KEY=key, XDG_CONFIG_HOME=os.path.join(cls.temp.name, "config"))
        cls.sandbox = SandboxProgram(ARGS.sandbox, env)
        try:
            listening = cls.sandbox.wait_for_line(r"listening on (https://\S+)", 20)
            ca = cls.sandbox.wait_for_line(r"its certificate is issued by the CA in (.+)$", 5)
            if not listening or not ca:
                raise AssertionError("the sandbox did not start\n" + cls.sandbox.output())
            cls.base = listening.group(1)
            cls.tls = ssl.create_default_context(cafile=ca.group(1))
            cls.start_browser()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def start_browser(cls):
        # Started here and met at 127.0.0.1, as payer_page_test.py does: no "localhost".
        profile = os.path.join(cls.temp.name, "chromium")
        width, height, scale = PHONE
        cls.processes.append(subprocess.Popen(
            [ARGS.chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--disable-dev-shm-usage", "--hide-scrollbars", "--user-data-dir=" + profile,
             "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        port = free_port()
        cls.processes.append(subprocess.Popen(
            [ARGS.chromedriver, "--port=%d" % port], stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        devtools = wait_for_devtools_port(profile, 15)
        wait_for_port(port, 10)
        options = webdriver.ChromeOptions()
        options.debugger_address = "127.0.0.1:%d" % devtools
        options.set_capability("acceptInsecureCerts", True)  # the sandbox's own CA
        cls.driver = webdriver.Remote(command_executor="http://127.0.0.1:%d" % port,
                                      options=options)
        cls.driver.set_page_load_timeout(20)
        # Headless Chromium keeps a window at least 500 pixels wide: the phone's size is set
        # as DevTools would emulate it, through chromedriver's passage to them.
        executor = cls.driver.command_executor
        if hasattr(executor, "add_command"):  # Selenium 4.11 on
            executor.add_command("cdp", "POST", "/session/$sessionId/goog/cdp/execute")
        else:
            executor._commands["cdp"] = ("POST", "/session/$sessionId/goog/cdp/execute")
        cls.driver.execute("cdp", {"cmd": "Emulation.setDeviceMetricsOverride", "params": {
            "width": width, "height": height, "deviceScaleFactor": scale, "mobile": True}})

    @classmethod
    def tearDownClass(cls):
        if cls.driver is not None:
            cls.driver.quit()
        for process in cls.processes:
            process.terminate()
            process.wait(10)
        cls.sandbox.stop()
        sys.stderr.write(cls.sandbox.output())
        cls.temp.cleanup()

    def scanned_code(self):
        """The code the page shows, and what zbarimg reads off its screenshot, by symbology."""
        driver = self.driver
        driver.get(self.base + "/pay/code")
        shown = wait_for(driver, "the page's code", lambda d: d.execute_script(
            "const e = document.getElementById('auth-code');"
            "return e && /^[0-9]{18}$/.test(e.textContent) ? e.textContent : null;"))
        self.assertEqual(driver.execute_script("return window.innerWidth;"), PHONE[0],
                         "not a phone's width")
        shot = os.path.join(self.temp.name, "code.png")
        self.assertTrue(driver.save_screenshot(shot), page_summary(driver))
        if ARGS.keep_screenshot:
            shutil.copyfile(shot, ARGS.keep_screenshot)
        read = subprocess.run([ARGS.zbarimg, "-q", shot], capture_output=True, text=True)
        symbols = {}
        for line in read.stdout.splitlines():
            kind, _, text = line.partition(":")
            symbols.setdefault(kind, []).append(text)
        return shown, symbols

    def test_a_till_scans_the_code_and_is_paid_once(self):
        shown, symbols = self.scanned_code()
        self.assertRegex(shown, CODE, "18 digits beginning with 10 to 15")
        self.assertEqual(symbols, {"CODE-128": [shown], "QR-Code": [shown]},
                         "the barcode and the QR code hold the code the page prints")

        order_no = "till%d%s" % (time.time(), secrets.token_hex(3))
        paid = till_micropay(self.base, self.tls, self.merchant, order_no, shown)
        self.assertEqual((paid.get("return_code"), paid.get("result_code")),
                         ("SUCCESS", "SUCCESS"), paid)
        self.assertEqual(paid.get("sign"), till_sign(paid, self.merchant[2]), "its sign")
        self.assertEqual(paid.get("trade_type"), "MICROPAY")
        self.assertTrue(paid.get("transaction_id"), paid)

        again = till_micropay(self.base, self.tls, self.merchant, order_no + "b", shown)
        self.assertEqual((again.get("result_code"), again.get("err_code"),
                          again.get("err_code_des")),
                         ("FAIL", "AUTHCODEEXPIRE", "101 付款码已过期"), again)

        with urllib.request.urlopen(self.base + "/console/api/codes", timeout=10,
                                    context=self.tls) as reply:
            codes = {code["auth_code"]: code for code in json.loads(reply.read())["codes"]}
        self.assertEqual(codes[shown]["fate"], "used")
        self.assertEqual(codes[shown]["order"]["out_trade_no"], order_no)
        self.assertEqual(codes[shown]["refused_reuses"], 1)


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sandbox", required=True)
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--chromedriver", default="/usr/bin/chromedriver")
    parser.add_argument("--zbarimg", default=shutil.which("zbarimg") or "")
    parser.add_argument("--keep-screenshot", default="")
    ARGS, rest = parser.parse_known_args()
    if not ARGS.zbarimg or not os.access(ARGS.zbarimg, os.X_OK):
        print("zbarimg not found (Debian: zbar-tools): the till's scan cannot be checked; "
              "skipped")
        sys.exit(SKIPPED)
    signal.signal(signal.SIGALRM, on_alarm)
    signal.alarm(OVERALL_LIMIT_SECONDS)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
