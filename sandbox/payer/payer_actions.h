// What the payer's requests do: the page an order's code_url opens, and its buttons: pay,
// decline and keep paying. The router hands them the order number it read from the path
// (ParsePayerPath, ParsePayerActionPath).
#pragma once

#include <string>

#include "sandbox/api/exchange.h"
#include "sandbox/api/order_desk.h"

namespace quillmark::sandbox {

// GET /pay/qr/<order>: the order's page, or 404 with a page that says there is no such order.
void ServePayerPage(Exchange& ex, OrderDesk& desk, const std::string& orderNo);
// POST /pay/qr/<order>/pay: pays the order when its life allows (as its scenario plays a
// pay: it may fail, or stay in progress), then leads back to its page (303), whatever
// became of it; 404 as above.
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
