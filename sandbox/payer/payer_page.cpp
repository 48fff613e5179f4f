#include "sandbox/payer/payer_page.h"

#include <cstdio>

#include "payment/codecs.h"
#include "sandbox/payer/html_text.h"

namespace quillmark::sandbox {
namespace {

constexpr char kPrefix[] = "/pay/qr/";
constexpr char kPaySuffix[] = "/pay";

const char kHead[] =
    "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
    "<meta name=\"viewport\" content=\"width=device-width\">"
    "<title>Quillmark sandbox payment</title><style>"
    "body{font-family:sans-serif;max-width:34em;margin:2em auto;padding:0 1em}"
    "th{text-align:left;padding-right:1em}button{font-size:1.2em;margin-top:1em}"
    "</style></head><body><h1>Quillmark sandbox payment</h1>";

}  // namespace

std::string AmountText(long long cents) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%02lld", cents / 100, cents % 100);
  return text;
}

std::string PayerPagePath(const std::string& orderNo) { return kPrefix + PercentEncode(orderNo); }

bool ParsePayerPath(const std::string& path, std::string& orderNo, bool& pay) {
  if (path.compare(0, sizeof kPrefix - 1, kPrefix) != 0) return false;
  std::string rest = path.substr(sizeof kPrefix - 1);
  pay = rest.size() > sizeof kPaySuffix - 1 &&
        rest.compare(rest.size() - (sizeof kPaySuffix - 1), std::string::npos, kPaySuffix) == 0;
  if (pay) rest.resize(rest.size() - (sizeof kPaySuffix - 1));
  if (rest.empty() || rest.find('/') != std::string::npos) return false;
  orderNo = std::move(rest);
  return true;
}

std::string PayerPageHtml(const std::string& orderNo, const Order& order) {
  std::string page = kHead;
  page += "<table><tr><th>Order</th><td id=\"order\">" + HtmlEscape(orderNo) +
          "</td></tr><tr><th>Description</th><td id=\"description\">" +
          HtmlEscape(order.description) + "</td></tr><tr><th>Amount</th><td id=\"amount\">" +
          AmountText(order.totalFee) + "</td></tr><tr><th>State</th><td id=\"state\">" +
          TradeState(order) + "</td></tr></table>";
  switch (StateOf(order)) {
    case OrderState::kRefunded:
      page += "<p>This order has been paid and refunded.</p>";
      break;
    case OrderState::kPaid:
      page += "<p>This order has been paid.</p>";
      break;
    case OrderState::kClosed:
      page += "<p>This order has been closed by the merchant and can no longer be paid.</p>";
      break;
    case OrderState::kPayError:
      page += "<p>The payment of this order failed.</p>";
      break;
    case OrderState::kUserPaying:  // its payment can still be finished
    case OrderState::kNotPaid:
      page += "<form method=\"post\" action=\"" +
              HtmlEscape(PayerPagePath(orderNo) + kPaySuffix) + "\"><button type=\"submit\">Pay " +
              AmountText(order.totalFee) + "</button></form>";
      break;
  }
  return page + "</body></html>\n";
}

std::string NoSuchOrderHtml(const std::string& orderNo) {
  return std::string(kHead) + "<p>There is no order <code>" + HtmlEscape(orderNo) +
         "</code>.</p></body></html>\n";
}

}  // namespace quillmark::sandbox
