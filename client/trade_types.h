// The ways an order is paid (trade_type) as the client places them, and the second signature
// of a JSAPI order: the parameter set its page is handed, signed with the merchant's key,
// and the sandbox's verdict on it. The runner and both windows use these, so that the payer,
// the site and the signed set are the same whichever front end placed the order.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "client/client_run.h"
#include "client/quillmark_ops.h"
#include "config/merchant_settings.h"
#include "http/transport.h"

namespace quillmark {

// The trade types a merchant can choose, NATIVE (the build's, the QR code's) first.
const std::vector<std::string>& TradeTypes();

// `settings` to place orders of `tradeType`, with what that type needs and a test merchant
// has none of: a JSAPI order's payer (a made-up openid of the sandbox's form) and an MWEB
// order's site (a made-up scene_info). Another type carries neither.
void UseTradeType(CQuillmarkOps::Settings& settings, const std::string& tradeType);

// The prepay_id whose page parameters a cycle of `tradeType` signs once `step` is over: a
// JSAPI order's, as soon as it is placed (not on a resend), before a query can pay it and
// while its page would still be shown. Empty after any other step.
std::string PagePrepayId(const RunStep& step, const std::string& tradeType);

// The JSAPI page's parameters of the order whose prepay_id is `prepayId`, signed with the
// merchant's key and sign type, as the JSON a merchant's server hands its page.
std::string SignedPageJson(const MerchantSettings& merchant, const std::string& prepayId,
                           long long timeStamp, const std::string& nonce);
// SignedPageJson with the time now, in seconds, and a fresh nonce: what a merchant's server
// hands its page as the order is placed.
std::string SignedPageJsonNow(const MerchantSettings& merchant, const std::string& prepayId);

// What the sandbox said of a page's parameter set.
struct PageVerdict {
  std::string url;        // where it was asked
  bool answered = false;  // a verdict came back; else `none` says why not
  std::string none;       // the transfer's first log line, and a hint when it was no verdict
  bool passed = false;
  // Each as the answer named it, control bytes escaped; empty where it named none.
  std::string rule, message, orderNo, signString, expectedSign;
};

// The verdict as the runner prints it, a line each, without their '\n'.
std::vector<std::string> PageVerdictLines(const PageVerdict& verdict);

// Sends `parameters` (JSON) to the sandbox at the merchant's API base, kPageVerifyPath, and
// reads its verdict. `abort`, when given, ends the transfer.
PageVerdict AskPageVerdict(const std::string& parameters, const MerchantSettings& merchant,
                           std::shared_ptr<TransferAbort> abort = nullptr);

}  // namespace quillmark
