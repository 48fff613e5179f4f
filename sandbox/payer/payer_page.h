// The payer's side of the sandbox: the page an order's code_url opens, with a button that
// pays it, as HTML and as the paths that reach it.
#pragma once

#include <string>

#include "sandbox/order/order_life.h"  // TradeState(), which the page shows

namespace quillmark::sandbox {

// "/pay/qr/<order>" below the sandbox's base: what an order's code_url ends in.
std::string PayerPagePath(const std::string& orderNo);

// "/pay/qr/<order>" (the page) or "/pay/qr/<order>/pay" (its button): the order number, and
// whether it is the button. False for any other path.
bool ParsePayerPath(const std::string& path, std::string& orderNo, bool& pay);

// The page of `order`: its number, description, amount and state, and a pay button while
// it can still be paid (neither paid nor closed).
std::string PayerPageHtml(const std::string& orderNo, const Order& order);
// The page for an order number the sandbox does not know (or has forgotten).
std::string NoSuchOrderHtml(const std::string& orderNo);

// An amount in cents as the pages show it: "12.34".
std::string AmountText(long long cents);

}  // namespace quillmark::sandbox
