#!/usr/bin/env python3
"""HMAC-SHA256 on the wire, checked by code that is not the project's: quillmark-cycle runs
one cycle with sign_type = HMAC-SHA256 in its settings file against quillmark-sandbox (on a
free port of 127.0.0.1), and every request the sandbox's journal kept (its console's JSON
API) is signed again here with Python's hmac and hashlib. An MD5 cycle's requests carry no
sign_type and the MD5 sign, as they always did. Then a request of sign_type HMAC-SHA256
carrying the MD5 sign is refused, and its journal entry says why.

Usage (CTest runs it so, with the build's merchant in QUILLMARK_APPID, QUILLMARK_MCH_ID and
QUILLMARK_API_KEY):
  hmac_wire_test.py --sandbox PATH --cycle PATH
"""

import argparse
import hashlib
import hmac
import json
import os
import re
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request
import xml.etree.ElementTree as ElementTree

ARGS = None  # set in main()
APPID = os.environ.get("QUILLMARK_APPID", "")
MCH_ID = os.environ.get("QUILLMARK_MCH_ID", "")
KEY = os.environ.get("QUILLMARK_API_KEY", "")


def fields_of(document):
    """A flat <xml> document's fields by name."""
    return {child.tag: child.text or "" for child in ElementTree.fromstring(document)}


def sign_string(fields):
    """Every non-empty field but sign, sorted by name, then the key."""
    pairs = ["%s=%s" % (name, fields[name]) for name in sorted(fields)
             if name != "sign" and fields[name]]
    return "&".join(pairs) + "&key=" + KEY


def hmac_sign(fields):
    text = sign_string(fields).encode("utf-8")
    return hmac.new(KEY.encode(), text, hashlib.sha256).hexdigest().upper()


def md5_sign(fields):
    return hashlib.md5(sign_string(fields).encode("utf-8")).hexdigest().upper()


class Sandbox:
    """quillmark-sandbox on a free port; its standard output collected as it comes."""

    def __init__(self, env):
        self.lines = []
        self.condition = threading.Condition()
        self.process = subprocess.Popen(
            [ARGS.sandbox, "--port", "0", "--state", ":memory:", "--pay-after-queries", "1"],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, text=True,
            encoding="utf-8", errors="replace")
        threading.Thread(target=self._collect, daemon=True).start()

    def _collect(self):
        for line in self.process.stdout:
            with self.condition:
                self.lines.append(line.rstrip("\n"))
                self.condition.notify_all()

    def wait_for(self, pattern, seconds=20):
        deadline = time.monotonic() + seconds
        regex = re.compile(pattern)
        with self.condition:
            while time.monotonic() < deadline and self.process.poll() is None:
                for line in self.lines:
                    match = regex.search(line)
                    if match:
                        return match
                self.condition.wait(0.2)
        raise AssertionError("the sandbox printed no line like %r:\n%s" %
                             (pattern, "\n".join(self.lines)))

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class HmacWireTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.TemporaryDirectory(prefix="quillmark-hmac-")
        cls.env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(cls.temp.name, "config"))
        for name in ("QUILLMARK_SIGN_TYPE", "QUILLMARK_API_BASE", "QUILLMARK_CA_FILE",
                     "QUILLMARK_NOTIFY_URL", "QUILLMARK_NOTIFY_LISTEN", "QUILLMARK_QR_PATH"):
            cls.env.pop(name, None)
        cls.sandbox = Sandbox(cls.env)
        try:
            cls.base = cls.sandbox.wait_for(r"quillmark-sandbox listening on (https://\S+)")[1]
            cls.ca = cls.sandbox.wait_for(r"its certificate is issued by the CA in (.+)$")[1]
        except BaseException:
            cls.sandbox.stop()
            raise
        cls.tls = ssl.create_default_context(cafile=cls.ca)

    @classmethod
    def tearDownClass(cls):
        cls.sandbox.stop()
        cls.temp.cleanup()

    def cycle(self, sign_type):
        """One cycle that waits for its notification, sign_type in its settings file."""
        config = os.path.join(self.temp.name, "%s.ini" % sign_type)
        with open(config, "w") as ini:
            ini.write("[merchant]\nsign_type = %s\nqr_path = %s\n" %
                      (sign_type, os.path.join(self.temp.name, "1.BMP")))
        env = dict(self.env, QUILLMARK_API_BASE=self.base, QUILLMARK_CA_FILE=self.ca,
                   QUILLMARK_NOTIFY_URL="http://127.0.0.1:0/quillmark/notify")
        done = subprocess.run([ARGS.cycle, "--config", config, "--await-notify", "10"],
                              stdin=subprocess.DEVNULL, capture_output=True, env=env,
                              timeout=60)
        out = done.stdout.decode("gbk", errors="replace")
        self.assertEqual(done.returncode, 0, out + done.stderr.decode(errors="replace"))
        self.assertIn("Every signed reply verified.", out)
        self.assertIn("The order's payment notification verified and was acknowledged.", out)
        # A type the file chose is said, MD5 too; only MD5 left at the build's default goes
        # unsaid, so that a cycle without the setting prints what it always did.
        self.assertRegex(out, r"\n  sign_type         %s  \(file [^\n]*:2\)\n" % sign_type)
        return re.search(r"Order number:  (\S+)", out)[1]

    def console(self, path):
        with urllib.request.urlopen(self.base + path, timeout=10, context=self.tls) as reply:
            return json.loads(reply.read())

    def requests_about(self, order_no):
        entries = self.console("/console/api/requests?out_trade_no=" + order_no)["requests"]
        self.assertGreaterEqual(len(entries), 3, entries)
        return entries

    def test_a_hmac_cycle_signs_every_request_with_hmac_sha256(self):
        for entry in self.requests_about(self.cycle("HMAC-SHA256")):
            fields = fields_of(entry["body"].encode("utf-8"))
            with self.subTest(path=entry["path"]):
                self.assertFalse(entry["body_cut"])
                self.assertEqual(fields.get("sign_type"), "HMAC-SHA256")
                self.assertEqual(fields["sign"], hmac_sign(fields))
                self.assertEqual(entry["sign_type"], "HMAC-SHA256")
                self.assertEqual(entry["verdict"], "accepted")
                # The reply is signed the way the request asked for.
                reply = fields_of(entry["reply"].encode("utf-8"))
                self.assertEqual(reply["sign"], hmac_sign(reply))

    def test_an_md5_cycle_sends_no_sign_type(self):
        for entry in self.requests_about(self.cycle("MD5")):
            fields = fields_of(entry["body"].encode("utf-8"))
            with self.subTest(path=entry["path"]):
                self.assertNotIn("sign_type", fields)
                self.assertEqual(fields["sign"], md5_sign(fields))
                self.assertEqual(entry["sign_type"], "MD5")

    def test_an_md5_sign_on_a_hmac_request_is_refused_and_explained(self):
        fields = {"appid": APPID, "mch_id": MCH_ID, "nonce_str": "HmacWireTestNonce0123456789abcde",
                  "out_trade_no": "HMACWIRETEST0000000000000000001", "sign_type": "HMAC-SHA256"}
        fields["sign"] = md5_sign(fields)
        body = "<xml>" + "".join("<%s>%s</%s>" % (k, v, k) for k, v in fields.items()) + "</xml>"
        request = urllib.request.Request(self.base + "/pay/orderquery", data=body.encode(),
                                         headers={"Content-Type": "text/xml"})
        with urllib.request.urlopen(request, timeout=10, context=self.tls) as reply:
            answer = fields_of(reply.read())
        self.assertEqual(answer["return_code"], "FAIL")
        why = ("the request's sign_type is HMAC-SHA256; the sign is the MD5 of the sign string")
        self.assertIn(why, answer["return_msg"])
        entries = self.console("/console/api/requests?verdict=sign-mismatch")["requests"]
        entry = next(e for e in entries if e["out_trade_no"] == fields["out_trade_no"])
        self.assertEqual(entry["sign_type"], "HMAC-SHA256")
        self.assertIn(why, entry["outcome"])
        self.assertEqual(entry["sign"]["expected"], hmac_sign(fields))
        self.assertEqual(entry["sign"]["received"], fields["sign"])


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--sandbox", required=True)
    parser.add_argument("--cycle", required=True)
    ARGS, rest = parser.parse_known_args()
    if not (APPID and MCH_ID and KEY):
        sys.exit("hmac_wire_test.py: QUILLMARK_APPID, QUILLMARK_MCH_ID and QUILLMARK_API_KEY "
                 "must name the build's merchant")
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
