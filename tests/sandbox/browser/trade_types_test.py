#!/usr/bin/env python3
"""A merchant's JSAPI page and MWEB link in a real browser, end to end against the
quillmark-sandbox program, started with --mweb-domain shop.example.

The merchant's pages are served by this test on a loopback port of its own, another origin
than the sandbox's; Chromium reaches that port as shop.example (registered) and other.test
(not) through its host-resolver rules. In order, sharing one browser:
  1. a JSAPI order placed over HTTPS; its page parameters signed here (hashlib, HMAC-SHA256),
     handed to the bridge script on the merchant's page; the payer page shows in its frame,
     Pay is pressed there, and the page's callback hears `ok`; the order is queried SUCCESS
     and its notification received;
  2. sets the sandbox refuses (a wrong key, a timeStamp in milliseconds): the callback
     hears `fail` naming the rule, and no payer page is shown; a shown one declined, or
     closed, hears `cancel`;
  3. an MWEB order's mweb_url&redirect_url=... followed from other.test's page gets the
     refusal page naming both hosts (403, as a request without a Referer gets);
  4. the same link followed from shop.example's page opens the payer page; Pay lands on the
     redirect, and the order is paid.
With --shots DIR, the pages are also saved at a phone's width (390x844) and a desktop's.

Usage (CTest runs it so):
  trade_types_test.py --sandbox PATH [--chromium PATH] [--chromedriver PATH] [--shots DIR]
The merchant is the build's, from the environment, as payer_page_test.py takes it.
"""

import argparse
import hashlib
import hmac
import html
import http.server
import os
import secrets
import signal
import ssl
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import payer_page_test as common  # noqa: E402  (the browser, the sandbox, signing, waits)
from payer_page_test import (NotifyListener, SandboxProgram, document, launch_browser,  # noqa: E402
                             merchant_from_environment, page_summary, page_text, press,
                             read_document, sign_of, wait_for)
from selenium.webdriver.common.by import By  # noqa: E402

OVERALL_LIMIT_SECONDS = 85
REGISTERED = "shop.example"
UNREGISTERED = "other.test"
PAYER = "qmTestPayer-00000000000000_1"  # made up: 28 letters, digits, '-' and '_' 

ARGS = None


def page_sign(params, key, sign_type):
    """paySign over the five page fields, sorted by name, as name=value joined by '&', then
    '&key=' and the key: MD5, or HMAC-SHA256 keyed with the key, in upper-case hex."""
    text = "&".join("%s=%s" % (name, params[name]) for name in sorted(params)
                    if name != "paySign") + "&key=" + key
    if sign_type == "MD5":
        return hashlib.md5(text.encode("utf-8")).hexdigest().upper()
    return hmac.new(key.encode("utf-8"), text.encode("utf-8"), hashlib.sha256).hexdigest().upper()


class MerchantSite:
    """The merchant's pages, over plain HTTP on loopback:
      /jsapi      loads the sandbox's bridge script; window.startPayment(params) calls it
                  and writes the outcome into #outcome;
      /mweb?to=U  a link (#go) to U;
      /back       where the MWEB payer is sent back to."""

    def __init__(self, sandbox_base):
        bridge = sandbox_base + "/pay/bridge.js"

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                url = urllib.parse.urlsplit(self.path)
                query = urllib.parse.parse_qs(url.query)
                if url.path == "/jsapi":
                    # What a merchant's page changes under test: the script it loads, and the
                    # call (as the README shows).
                    body = ("<!DOCTYPE html><html><head><meta charset='utf-8'>"
                            "<meta name='viewport' content='width=device-width, initial-scale=1'>"
                            "<title>Shop</title><script src='%s'></script></head><body>"
                            "<h1>Tea shop</h1><p id='outcome'></p><script>"
                            "window.startPayment = function (params) {"
                            "  QuillmarkBridge.requestPayment(params, function (result) {"
                            "    document.getElementById('outcome').textContent ="
                            "        result.outcome + ' ' + (result.rule || '');"
                            "  });"
                            "};</script></body></html>" % html.escape(bridge, quote=True))
                elif url.path == "/mweb":
                    to = query.get("to", [""])[0]
                    body = ("<!DOCTYPE html><html><head><meta charset='utf-8'><title>Shop</title>"
                            "</head><body><a id='go' href='%s'>Pay with the phone</a></body></html>"
                            % html.escape(to, quote=True))
                elif url.path == "/back":
                    body = ("<!DOCTYPE html><html><head><meta charset='utf-8'><title>Shop</title>"
                            "</head><body><p id='back'>Back at the shop</p></body></html>")
                else:
                    self.send_error(404)
                    return
                data = body.encode("utf-8")
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, format, *args):
                sys.stderr.write("merchant site: %s\n" % (format % args))

        self.server = common.serve_on_loopback(Handler)
        self.port = self.server.server_address[1]

    def url(self, host, path):
        return "http://%s:%d%s" % (host, self.port, path)

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class TradeTypesTest(unittest.TestCase):
    """Steps in name order, sharing the sandbox, the merchant's site and the browser."""

    @classmethod
    def setUpClass(cls):
        cls.appid, cls.mch_id, cls.key = merchant_from_environment()
        cls.temp = tempfile.TemporaryDirectory(prefix="quillmark-trade-types-")
        cls.sandbox = cls.listener = cls.site = None
        cls.driver = cls.chromedriver = cls.chromium = None
        cls.state = {}
        try:
            cls.listener = NotifyListener()
            env = dict(os.environ, QUILLMARK_APPID=cls.appid, QUILLMARK_MCH_ID=cls.mch_id,
                       QUILLMARK_API_KEY=cls.key,
                       XDG_CONFIG_HOME=os.path.join(cls.temp.name, "config"))
            cls.sandbox = SandboxProgram(ARGS.sandbox, env, ["--mweb-domain", REGISTERED])
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
            cls.site = MerchantSite(cls.base)
            launch_browser(cls, cls.temp.name, [
                "--host-resolver-rules=MAP %s 127.0.0.1, MAP %s 127.0.0.1" %
                (REGISTERED, UNREGISTERED),
                # The merchant's site is plain HTTP on a port of its own: never tried as https.
                "--disable-features=HttpsUpgrades"])
            cls.driver.set_page_load_timeout(20)
        except BaseException:
            cls.cleanUp()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.cleanUp()

    @classmethod
    def cleanUp(cls):
        try:
            if cls.driver is not None:
                cls.driver.quit()
            for process in (cls.chromedriver, cls.chromium):
                if process is not None:
                    process.terminate()
                    process.wait(10)
        finally:
            if cls.sandbox is not None:
                cls.sandbox.stop()
                sys.stderr.write(cls.sandbox.output())
            for server in (cls.site, cls.listener):
                if server is not None:
                    server.close()
            cls.temp.cleanup()

    # --- helpers -----------------------------------------------------------------------

    def need(self, *keys):
        missing = [key for key in keys if key not in self.state]
        if missing:
            self.fail("an earlier step failed, so there is no %s" % ", ".join(missing))

    def post(self, path, fields):
        request = urllib.request.Request(self.base + path, data=document(fields, self.key),
                                         headers={"Content-Type": "text/xml; charset=utf-8"})
        with urllib.request.urlopen(request, timeout=10, context=self.tls) as reply:
            body = reply.read()
        reply = read_document(body)
        self.assertEqual(reply.get("result_code"), "SUCCESS", "POST %s: %r" % (path, body))
        self.assertEqual(reply.get("sign"), sign_of(reply, self.key), body)
        return reply

    def place(self, trade_type, **more):
        order_no = "tt%d%s" % (int(time.time()), secrets.token_hex(4))
        fields = {"appid": self.appid, "body": "Quillmark trade types", "mch_id": self.mch_id,
                  "nonce_str": secrets.token_hex(16), "notify_url": self.listener.url,
                  "out_trade_no": order_no, "spbill_create_ip": "127.0.0.1", "total_fee": "1",
                  "trade_type": trade_type}
        fields.update(more)
        return order_no, self.post("/pay/unifiedorder", fields)

    def trade_state(self, order_no):
        return self.post("/pay/orderquery", {
            "appid": self.appid, "mch_id": self.mch_id, "nonce_str": secrets.token_hex(16),
            "out_trade_no": order_no}).get("trade_state")

    def page_parameters(self, prepay_id, key, sign_type):
        params = {"appId": self.appid, "timeStamp": str(int(time.time())),
                  "nonceStr": secrets.token_hex(16), "package": "prepay_id=" + prepay_id,
                  "signType": sign_type}
        params["paySign"] = page_sign(params, key, sign_type)
        return params

    def resigned(self, params, **changes):
        """The set with `changes`, signed again as they are (with the right key)."""
        changed = dict(params, **changes)
        changed["paySign"] = page_sign(changed, self.key, changed["signType"])
        return changed

    def shoot(self, name, sizes=((390, 844), (1280, 800))):
        """The page as it is now at each size, as --shots DIR/48-NAME-WxH.png."""
        if not ARGS.shots:
            return
        for width, height in sizes:
            self.driver.set_window_size(width, height)
            time.sleep(0.3)  # a resize is laid out on the next frame
            self.driver.save_screenshot(
                os.path.join(ARGS.shots, "48-%s-%dx%d.png" % (name, width, height)))
        self.driver.set_window_size(800, 900)

    def outcome(self):
        return (page_text(self.driver, "outcome") or "").strip()

    def open_jsapi_page(self):
        self.driver.get(self.site.url("127.0.0.1", "/jsapi"))
        wait_for(self.driver, "the bridge script to be loaded",
                 lambda d: d.execute_script("return !!window.QuillmarkBridge;"))

    # --- the steps -----------------------------------------------------------------------

    def test_1_jsapi_page_pays_through_the_bridge(self):
        order_no, reply = self.place("JSAPI", openid=PAYER)
        prepay_id = reply.get("prepay_id", "")
        self.assertTrue(prepay_id, reply)
        self.open_jsapi_page()
        driver = self.driver
        driver.execute_script("startPayment(arguments[0]);",
                              self.page_parameters(prepay_id, self.key, "HMAC-SHA256"))
        frame = wait_for(driver, "the payer page's frame",
                         lambda d: d.find_element(By.CSS_SELECTOR,
                                                  "[data-quillmark-bridge] iframe"))
        self.shoot("jsapi-bridge")
        driver.switch_to.frame(frame)
        wait_for(driver, "the order in the frame",
                 lambda d: page_text(d, "order") == order_no)
        self.assertEqual(page_text(driver, "payer").split()[0], PAYER)
        self.assertRegex(page_text(driver, "openid") or "", r"^qm[A-Za-z0-9_-]{26}$")
        # Clicked by a script, which returns before the frame goes on: the frame then ends
        # and is taken away, which a driver's click waiting on its navigation would take for
        # a failure.
        driver.execute_script("document.querySelector('button.pay').click();")
        driver.switch_to.default_content()
        wait_for(driver, "the callback's ok", lambda d: self.outcome() == "ok")
        self.assertFalse(driver.find_elements(By.CSS_SELECTOR, "[data-quillmark-bridge]"),
                         "the frame is still shown:\n" + page_summary(driver))
        self.assertEqual(self.trade_state(order_no), "SUCCESS")
        received = self.listener.wait_for(1, 10)
        notified = [read_document(body) for _, body, _ in received]
        self.assertIn(order_no, [n.get("out_trade_no") for n in notified],
                      "no notification of %s: %r" % (order_no, notified))
        for n in notified:
            self.assertEqual(n.get("sign"), sign_of(n, self.key), n)

    def test_2_a_refused_set_or_a_decline_calls_back_without_paying(self):
        """Each row a fresh order: a set the sandbox refuses fails naming the rule with no
        payer page shown; a shown one declined, or closed with ×, is a cancel."""
        rows = (
            ("signed with a wrong key", lambda p: dict(p, paySign=page_sign(p, "K" * 32, "MD5")),
             None, "fail sign-mismatch"),
            ("a timeStamp in milliseconds",
             lambda p: self.resigned(p, timeStamp=str(int(time.time() * 1000))),
             None, "fail timestamp-milliseconds"),
            ("declined", lambda p: p, "button.decline", "cancel"),
            ("closed", lambda p: p, "[data-quillmark-bridge] button[aria-label=Close]", "cancel"),
        )
        driver = self.driver
        for what, spoil, button, said in rows:
            with self.subTest(what):
                order_no, reply = self.place("JSAPI", openid=PAYER)
                self.open_jsapi_page()
                params = spoil(self.page_parameters(reply["prepay_id"], self.key, "MD5"))
                driver.execute_script("startPayment(arguments[0]);", params)
                if button == "button.decline":
                    frame = wait_for(driver, "the payer page's frame",
                                     lambda d: d.find_element(By.CSS_SELECTOR,
                                                              "[data-quillmark-bridge] iframe"))
                    driver.switch_to.frame(frame)
                    wait_for(driver, "the order in the frame",
                             lambda d: page_text(d, "order") == order_no)
                    driver.execute_script("document.querySelector(arguments[0]).click();",
                                          button)
                    driver.switch_to.default_content()
                elif button:
                    wait_for(driver, "the frame's close button",
                             lambda d: d.find_element(By.CSS_SELECTOR, button)).click()
                wait_for(driver, "the callback's " + said, lambda d: self.outcome() == said)
                self.assertFalse(driver.find_elements(By.CSS_SELECTOR, "[data-quillmark-bridge]"))
                self.assertEqual(self.trade_state(order_no),
                                 "PAYERROR" if button == "button.decline" else "NOTPAY")

    def test_3_mweb_from_another_site_is_refused(self):
        order_no, reply = self.place(
            "MWEB", scene_info='{"h5_info":{"type":"Wap","wap_url":"https://shop.example",'
                               '"wap_name":"Tea"}}')
        back = self.site.url(REGISTERED, "/back?order=" + order_no)
        link = reply["mweb_url"] + "&redirect_url=" + urllib.parse.quote(back, safe="")
        self.state.update(order_no=order_no, link=link, back=back)
        driver = self.driver
        driver.get(self.site.url(UNREGISTERED, "/mweb?" + urllib.parse.urlencode({"to": link})))
        press(driver, "the merchant's link", "#go")
        wait_for(driver, "the refusal page", lambda d: page_text(d, "refused"))
        self.assertEqual(page_text(driver, "referer-host"), UNREGISTERED)
        self.assertEqual(page_text(driver, "registered-domain"), REGISTERED)
        self.shoot("mweb-refused")
        self.assertTrue(self.sandbox.wait_for_line(
            r"403 FAIL MWEB page refused: the Referer's host %s" % UNREGISTERED, 5),
            self.sandbox.output())
        # Without a Referer, as a script fetching it is: refused the same way.
        with self.assertRaises(urllib.error.HTTPError) as caught:
            urllib.request.urlopen(link, timeout=10, context=self.tls)
        self.assertEqual(caught.exception.code, 403)

    def test_4_mweb_pays_and_lands_on_the_redirect(self):
        self.need("link")
        driver = self.driver
        driver.get(self.site.url(REGISTERED, "/mweb?" +
                                 urllib.parse.urlencode({"to": self.state["link"]})))
        press(driver, "the merchant's link", "#go")
        wait_for(driver, "the payer page", lambda d: page_text(d, "order") ==
                 self.state["order_no"])
        self.shoot("mweb-payer-page")
        press(driver, "the pay button", "button.pay")
        wait_for(driver, "the merchant's page it was sent back to",
                 lambda d: page_text(d, "back") == "Back at the shop")
        self.assertEqual(driver.current_url, self.state["back"])
        self.assertEqual(self.trade_state(self.state["order_no"]), "SUCCESS")


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sandbox", required=True, help="the quillmark-sandbox program")
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--chromedriver", default="/usr/bin/chromedriver")
    parser.add_argument("--shots", help="save screenshots of the pages into this folder")
    ARGS, rest = parser.parse_known_args()
    common.ARGS = ARGS
    signal.signal(signal.SIGALRM, common.on_alarm)
    signal.alarm(OVERALL_LIMIT_SECONDS)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
