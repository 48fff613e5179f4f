// The script a merchant's JSAPI page loads, under test, in place of the app's payment
// bridge: it checks the page's parameters with the sandbox and shows the sandbox's payer
// page for the order in a frame at a phone's width; the payer's choice comes back to it
// from the last page of that frame.
#pragma once

#include <string>

namespace quillmark::sandbox {

inline constexpr char kBridgeScriptPath[] = "/pay/bridge.js";
// Where the payer page in the bridge's frame goes after Pay or Decline: ?outcome=ok|cancel|fail.
inline constexpr char kBridgeDonePath[] = "/pay/bridge/done";

// The script (JavaScript, no other script needed): QuillmarkBridge.requestPayment(params,
// callback), `params` the six page parameters, the callback given {outcome, rule, message}
// with outcome "ok", "cancel" or "fail".
const std::string& BridgeScript();

// The last page of the frame: it hands `outcome` ("ok", "cancel" or "fail") to the
// merchant's page through the same script; "" for any other outcome, which is no page.
std::string BridgeDoneHtml(const std::string& outcome);

}  // namespace quillmark::sandbox
