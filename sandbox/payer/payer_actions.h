// What the payer's requests do: the page an order's code_url opens, and its buttons: pay,
// decline and keep paying. The router hands them the order number it read from the path
// (ParsePayerPath, ParsePayerActionPath).
#pragma once

#include <string>

#include "sandbox/api/exchange.h"
#include "sandbox/api/order_desk.h"

namespace quillmark::sandbox {

// Who asks for the page, as the sandbox knows it.
struct PayerContext {
  std::string mwebDomain;  // Options::mwebDomain: what MWEB's page checks the Referer by
  std::string openId;      // the payer browser's openid (payer_visit.h)
  bool newOpenId = false;  // made up for this request: the reply sets its cookie
};

// GET /pay/qr/<order>: the order's page, or 404 with a page that says there is no such order.
// An MWEB order's page is refused (403) unless the Referer is under the registered domain
// (mweb_referer.h). A redirect_url (or bridge=1) in the query is carried on by its buttons;
// a bad one gets 400 with a page that says why.
void ServePayerPage(Exchange& ex, OrderDesk& desk, const std::string& orderNo,
                    const PayerContext& payer);
// POST /pay/qr/<order>/pay: pays the order when its life allows (as its scenario plays a
// pay: it may fail, or stay in progress), then leads on (303) whatever became of it: to
// the redirect_url or the bridge's last page its query names once the payment is over,
// else back to its page; 404 as above.
void ServePayerPay(Exchange& ex, OrderDesk& desk, const std::string& orderNo);

// The payer page's other buttons, answered like its pay: the payment fails (PAYERROR), or
// it is left in progress (USERPAYING) until the payer pays or declines.
enum class PayerAction { kDecline, kKeepPaying };
// "/pay/qr/<order>/decline" or "/pay/qr/<order>/keep-paying": the order number and the
// button. False for any other path.
bool ParsePayerActionPath(const std::string& path, std::string& orderNo, PayerAction& action);
// POST to one of those paths.
void ServePayerAction(Exchange& ex, OrderDesk& desk, const std::string& orderNo,
                      PayerAction action);

}  // namespace quillmark::sandbox
