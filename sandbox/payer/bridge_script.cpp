// The bridge script and the page that ends its frame.
#include "sandbox/payer/bridge_script.h"

namespace quillmark::sandbox {

const std::string& BridgeScript() {
  // One script for both ends: on the merchant's page it offers the call; in the frame's
  // last page (its tag carries data-outcome) it tells the merchant's page what the payer
  // chose. The frame is the sandbox's origin, so only a message from it, and from that
  // frame, is taken for the payer's choice.
  static const std::string script =
      R"js(// Quillmark sandbox: a payment bridge for a merchant's page under test.
(function () {
  "use strict";
  const script = document.currentScript;
  const base = new URL(script.src, location.href).origin;
  const ended = script.getAttribute("data-outcome");
  if (ended) {
    if (window.parent !== window) window.parent.postMessage({quillmarkBridge: ended}, "*");
    return;
  }
  const names = ["appId", "timeStamp", "nonceStr", "package", "signType", "paySign"];
  let open = false;

  function show(orderNo, finish) {
    const overlay = document.createElement("div");
    overlay.setAttribute("data-quillmark-bridge", "");
    overlay.style.cssText = "position:fixed;inset:0;z-index:2147483647;display:flex;" +
        "align-items:center;justify-content:center;background:rgba(0,0,0,.55)";
    const box = document.createElement("div");
    box.style.cssText = "position:relative;width:min(390px,100vw);height:min(844px,100vh);" +
        "background:#fff;border-radius:12px;overflow:hidden;box-shadow:0 8px 40px rgba(0,0,0,.4)";
    const close = document.createElement("button");
    close.type = "button";
    close.textContent = "\u00d7";
    close.setAttribute("aria-label", "Close");
    close.style.cssText = "position:absolute;top:6px;right:8px;z-index:1;font-size:24px;" +
        "line-height:1;border:0;background:none;color:#555;cursor:pointer";
    const frame = document.createElement("iframe");
    frame.title = "Quillmark sandbox payment";
    frame.src = base + "/pay/qr/" + encodeURIComponent(orderNo) + "?bridge=1";
    frame.style.cssText = "width:100%;height:100%;border:0";
    box.append(close, frame);
    overlay.append(box);
    document.body.append(overlay);

    function end(outcome) {
      window.removeEventListener("message", heard);
      overlay.remove();
      finish({outcome: outcome, out_trade_no: orderNo});
    }
    function heard(event) {
      if (event.source !== frame.contentWindow || event.origin !== base) return;
      const outcome = event.data && event.data.quillmarkBridge;
      if (outcome === "ok" || outcome === "cancel" || outcome === "fail") end(outcome);
    }
    window.addEventListener("message", heard);
    close.addEventListener("click", function () { end("cancel"); });
  }

  function requestPayment(params, callback) {
    let called = false;
    function finish(result) {
      open = false;
      if (!called && typeof callback === "function") {
        called = true;
        callback(result);
      }
    }
    if (open) {
      callback({outcome: "fail", rule: "busy", message: "a payment is already shown"});
      return;
    }
    open = true;
    const body = {};
    for (const name of names) body[name] = params ? params[name] : undefined;
    fetch(base + "/pay/page/verify", {
      method: "POST", mode: "cors", credentials: "omit",
      headers: {"Content-Type": "application/json"}, body: JSON.stringify(body)
    }).then(function (reply) { return reply.json(); }).then(function (verdict) {
      if (verdict.verdict !== "pass") {
        finish({outcome: "fail", rule: verdict.rule, message: verdict.message});
      } else {
        show(verdict.out_trade_no, finish);
      }
    }).catch(function (error) {
      finish({outcome: "fail", rule: "unreachable",
              message: "the sandbox at " + base + " could not be reached: " + error});
    });
  }

  window.QuillmarkBridge = {requestPayment: requestPayment};
})();
)js";
  return script;
}

std::string BridgeDoneHtml(const std::string& outcome) {
  const char* said = outcome == "ok"       ? "已支付 · Paid"
                     : outcome == "cancel" ? "已取消 · Cancelled"
                     : outcome == "fail"   ? "支付失败 · Payment failed"
                                           : nullptr;
  if (!said) return "";
  // Its one script is the sandbox's own: the policy lets nothing else run.
  return std::string(
             "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
             "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
             "script-src 'self'; style-src 'unsafe-inline'; base-uri 'none'\">"
             "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
             "<title>Quillmark</title><style>body{font-family:system-ui,sans-serif;"
             "font-size:18px;text-align:center;padding:3em 1em;color:#222}</style></head><body>"
             "<p id=\"said\">") +
         said + "</p><script src=\"" + kBridgeScriptPath + "\" data-outcome=\"" + outcome +
         "\"></script></body></html>\n";
}

}  // namespace quillmark::sandbox
