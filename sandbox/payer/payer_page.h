// The payer's side of the sandbox: the page an order's code_url opens, with buttons that
// pay it, decline it or keep it paying, as HTML in the browser's language and as the paths
// that reach it.
#pragma once

#include <string>

#include "sandbox/order/order_life.h"  // TradeState(), which the page shows
#include "sandbox/payer/html_text.h"   // PageLanguage

namespace quillmark::sandbox {

// "/pay/qr/<order>" below the sandbox's base: what an order's code_url ends in.
std::string PayerPagePath(const std::string& orderNo);

// "/pay/qr/<order>" (the page) or "/pay/qr/<order>/pay" (its button): the order number, and
// whether it is the button. False for any other path.
bool ParsePayerPath(const std::string& path, std::string& orderNo, bool& pay);

// Who opened the page, and what its buttons carry on (payer_visit.h).
struct PayerPageVisit {
  std::string openId;       // the payer browser's made-up openid; "": none shown
  std::string returnQuery;  // PayerReturnQuery(): appended to each button's action
  std::string leadsTo;      // PayerReturn::redirectOrigin: where its buttons may lead
};

// The page of `order`: its number, description, amount, state and its scenario when that is
// not `paid`, and while it can still be paid (neither paid, declined nor closed, and not
// playing `expired`) the buttons Pay, Decline and Keep paying, which post to
// "/pay/qr/<order>/pay", ".../decline" and ".../keep-paying". A JSAPI order names its payer,
// and says whether that is the visitor.
std::string PayerPageHtml(const std::string& orderNo, const Order& order,
                          PageLanguage language = PageLanguage::kChinese,
                          const PayerPageVisit& visit = {});
// The page for an order number the sandbox does not know (or has forgotten); its sentence
// in English whatever the language, and in Chinese too when that is the page's.
std::string NoSuchOrderHtml(const std::string& orderNo,
                            PageLanguage language = PageLanguage::kChinese);

// An amount in cents as the pages show it: "12.34".
std::string AmountText(long long cents);

}  // namespace quillmark::sandbox
