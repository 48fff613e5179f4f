#!/usr/bin/env python3
"""Refund notifications, decrypted by code that is not the project's: quillmark-sandbox (on
a free port of 127.0.0.1) takes an order of 4005 fen paid by quillmark-cycle's scenario run,
then two partial refunds by quillmark-cycle refund; each refund's notification reaches a
handler here whose req_info is decrypted by the openssl command (AES-256-ECB under the
lower-case hexadecimal MD5 of the key, from Python's hashlib), and its fields must be the
refund's.

Usage (CTest runs it so, with the build's merchant in QUILLMARK_APPID, QUILLMARK_MCH_ID and
QUILLMARK_API_KEY):
  refund_wire_test.py --sandbox PATH --cycle PATH
"""

import argparse
import base64
import hashlib
import http.server
import os
import re
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import xml.etree.ElementTree as ElementTree

ARGS = None  # set in main()
APPID = os.environ.get("QUILLMARK_APPID", "")
MCH_ID = os.environ.get("QUILLMARK_MCH_ID", "")
KEY = os.environ.get("QUILLMARK_API_KEY", "")


def fields_of(document):
    return {child.tag: child.text or "" for child in ElementTree.fromstring(document)}


def decrypt(req_info):
    """req_info's plaintext, by the openssl command: its PKCS#7 unpadding included."""
    key = hashlib.md5(KEY.encode()).hexdigest()  # its 32 characters are the 32 key bytes
    done = subprocess.run(["openssl", "enc", "-d", "-aes-256-ecb", "-K", key.encode().hex()],
                          input=base64.b64decode(req_info, validate=True),
                          capture_output=True, timeout=10)
    if done.returncode != 0:
        raise ValueError(done.stderr.decode(errors="replace"))
    return done.stdout


class Handler(http.server.BaseHTTPRequestHandler):
    received = []  # the refund notifications' outer fields and plaintexts
    condition = threading.Condition()

    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        outer = fields_of(body)
        if "req_info" in outer:
            with Handler.condition:
                Handler.received.append((outer, decrypt(outer["req_info"])))
                Handler.condition.notify_all()
        self.send_response(200)
        self.send_header("Content-Type", "text/xml")
        self.end_headers()
        self.wfile.write(b"<xml><return_code><![CDATA[SUCCESS]]></return_code></xml>")

    def log_message(self, *args):
        pass


class RefundWireTest(unittest.TestCase):

    def setUp(self):
        self.temp = tempfile.TemporaryDirectory(prefix="quillmark-refund-")
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(self.temp.name, "config"),
                   XDG_DATA_HOME=os.path.join(self.temp.name, "data"))
        for name in ("QUILLMARK_SIGN_TYPE", "QUILLMARK_API_BASE", "QUILLMARK_CA_FILE",
                     "QUILLMARK_NOTIFY_URL", "QUILLMARK_NOTIFY_LISTEN", "QUILLMARK_QR_PATH"):
            env.pop(name, None)
        self.handler = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.handler.serve_forever, daemon=True).start()
        self.sandbox = subprocess.Popen(
            [ARGS.sandbox, "--port", "0", "--state", ":memory:", "--pay-after-queries", "1"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            env=env, text=True, encoding="utf-8", errors="replace")
        lines = []
        for line in self.sandbox.stdout:
            lines.append(line)
            if "/secapi/ paths want" in line:
                break
        text = "".join(lines)
        base = re.search(r"listening on (https://\S+)", text)
        ca = re.search(r"its certificate is issued by the CA in (.+)$", text, re.M)
        self.assertTrue(base and ca, text)
        threading.Thread(target=self.sandbox.stdout.read, daemon=True).start()
        self.env = dict(env, QUILLMARK_API_BASE=base[1], QUILLMARK_CA_FILE=ca[1],
                        QUILLMARK_NOTIFY_URL="http://127.0.0.1:%d/refund" %
                        self.handler.server_address[1],
                        QUILLMARK_QR_PATH=os.path.join(self.temp.name, "1.BMP"))

    def tearDown(self):
        self.sandbox.terminate()
        self.sandbox.wait(10)
        self.sandbox.stdout.close()
        self.handler.shutdown()
        self.handler.server_close()
        self.temp.cleanup()

    def cycle(self, *words):
        done = subprocess.run([ARGS.cycle] + list(words), stdin=subprocess.DEVNULL,
                              capture_output=True, env=self.env, timeout=60)
        out = done.stdout.decode("gbk", errors="replace")
        self.assertEqual(done.returncode, 0, out + done.stderr.decode(errors="replace"))
        return out

    def test_each_refunds_notification_decrypts_to_its_refund(self):
        order = re.search(r"Order number:  (\S+)", self.cycle("--scenario", "notify-twice"))[1]
        refunds = {}
        for fee, number in (("1000", "RW-1000"), ("5", "RW-5")):
            out = self.cycle("refund", order, "--fee", fee, "--out-refund-no", number)
            refunds[number] = (fee, re.findall(r"<refund_id><!\[CDATA\[(\d+)\]\]>", out)[-1])
        deadline = time.monotonic() + 20
        with Handler.condition:
            while len(Handler.received) < 2 and time.monotonic() < deadline:
                Handler.condition.wait(0.5)
            received = list(Handler.received)
        self.assertEqual(len(received), 2, received)
        for outer, plain in received:
            self.assertNotIn("sign", outer)
            self.assertEqual((outer["return_code"], outer["appid"], outer["mch_id"]),
                             ("SUCCESS", APPID, MCH_ID))
            root = ElementTree.fromstring(plain)
            self.assertEqual(root.tag, "root")
            info = {child.tag: child.text or "" for child in root}
            fee, refund_id = refunds[info["out_refund_no"]]
            self.assertEqual((info["out_trade_no"], info["total_fee"], info["refund_fee"],
                              info["refund_id"], info["refund_status"]),
                             (order, "4005", fee, refund_id, "SUCCESS"))
            self.assertRegex(info["success_time"], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--sandbox", required=True)
    parser.add_argument("--cycle", required=True)
    ARGS, rest = parser.parse_known_args()
    if not (APPID and MCH_ID and KEY):
        sys.exit("refund_wire_test.py: QUILLMARK_APPID, QUILLMARK_MCH_ID and QUILLMARK_API_KEY "
                 "must name the build's merchant")
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
