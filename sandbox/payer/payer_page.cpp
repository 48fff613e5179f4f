// The payer page as HTML, in the browser's language (its words in one table per language),
// sized for a phone, and the paths of the page and its buttons.
#include "sandbox/payer/payer_page.h"

#include <cstdio>
#include <cstring>

#include "protocol/scenarios.h"
#include "sandbox/payer/code_page.h"
#include "sandbox/scenarios/plays.h"
#include "text/codecs.h"

namespace quillmark::sandbox {
namespace {

constexpr char kPrefix[] = "/pay/qr/";
constexpr char kPaySuffix[] = "/pay";
constexpr char kDeclineSuffix[] = "/decline";
constexpr char kKeepPayingSuffix[] = "/keep-paying";

// Every word the payer page says, per language.
struct PayerWords {
  const char* title;
  const char* order;
  const char* description;
  const char* amount;
  const char* state;
  const char* scenario;
  const char* pay;  // followed by the amount
  const char* decline;
  const char* keepPaying;
  const char* choices;  // what the buttons do
  const char* paying;
  const char* declined;
  const char* paid;
  const char* refunded;
  const char* closed;
  const char* expired;
  const char* noSuchOrder;  // beside the English line the tests read
  const char* payer;        // a JSAPI order's openid
  const char* you;          // after it, when it is the visitor's
  const char* notYou;       // ... and when it is not
  const char* yourOpenId;
};

constexpr PayerWords kChinese = {
    "Quillmark 沙箱支付",
    "订单号",
    "商品描述",
    "金额（元）",
    "交易状态",
    "测试场景",
    "支付 ",
    "拒绝支付",
    "保持支付中",
    "“支付”完成付款；“拒绝支付”使付款失败（PAYERROR）；“保持支付中”让查询一直返回"
    "USERPAYING，直到按下“支付”。",
    "付款仍在进行中：按“支付”完成付款。",
    "付款失败，此订单已不能再支付。",
    "此订单已支付。",
    "此订单已支付并已退款。",
    "此订单已被商户关闭，不能再支付。",
    "此订单已过期，被平台关闭，不能再支付。",
    "没有这个订单。",
    "付款人 openid",
    "（就是你）",
    "（不是你：这是另一位付款人的订单）",
    "你的 openid"};

constexpr PayerWords kEnglish = {
    "Quillmark sandbox payment",
    "Order",
    "Description",
    "Amount",
    "State",
    "Scenario",
    "Pay ",
    "Decline",
    "Keep paying",
    "Pay completes the payment; Decline makes it fail (PAYERROR); Keep paying has queries "
    "say USERPAYING until Pay is pressed.",
    "The payment is still in progress: press Pay to complete it.",
    "The payment was declined; this order can no longer be paid.",
    "This order has been paid.",
    "This order has been paid and refunded.",
    "This order has been closed by the merchant and can no longer be paid.",
    "This order has expired: the platform closed it, and it can no longer be paid.",
    "There is no such order.",
    "Payer openid",
    " (you)",
    " (not you: this order is another payer's)",
    "Your openid"};

const PayerWords& WordsOf(PageLanguage language) {
  return language == PageLanguage::kEnglish ? kEnglish : kChinese;
}

// The head and the page's heading: readable on a phone without zooming, its buttons as wide
// as the screen and tall enough for a thumb. Its Content-Security-Policy, in the page itself,
// allows its inline style and its forms to this site and nothing else: no script at all.
// MWEB's redirect_url is added to form-action: browsers hold a form's redirect to it too.
std::string Head(PageLanguage language, const std::string& leadsTo = "") {
  const PayerWords& words = WordsOf(language);
  return std::string("<!DOCTYPE html>\n<html lang=\"") + LanguageCode(language) +
         "\"><head><meta charset=\"utf-8\">"
         "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
         "style-src 'unsafe-inline'; form-action 'self'" +
         (leadsTo.empty() ? "" : " " + HtmlEscape(leadsTo)) +
         "; base-uri 'none'\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
         "<title>" +
         words.title +
         "</title><style>"
         "body{font-family:system-ui,sans-serif;font-size:18px;line-height:1.5;max-width:34em;"
         "margin:0 auto;padding:1em;color:#222}h1{font-size:1.4em;margin:.2em 0 .8em}"
         "table{width:100%;border-collapse:collapse}th,td{padding:.4em 0;vertical-align:top;"
         "border-bottom:1px solid #ddd}th{text-align:left;padding-right:1em;white-space:nowrap;"
         "font-weight:600}td{overflow-wrap:anywhere}form{margin:0}"
         "button{display:block;width:100%;font-size:1.15em;min-height:3em;margin-top:.8em;"
         "border:0;border-radius:.5em;color:#fff;background:#1a7f37}"
         "button.decline{background:#b42318}button.keep{background:#5b6770}"
         "p{margin:1em 0}.note{color:#555;font-size:.9em}.scenario{color:#7a4100}"
         "</style></head><body><h1>" +
         words.title + "</h1>";
}

std::string Button(const std::string& orderNo, const char* suffix, const char* cls,
                   const std::string& label, const std::string& query) {
  return "<form method=\"post\" action=\"" + HtmlEscape(PayerPagePath(orderNo) + suffix + query) +
         "\"><button type=\"submit\" class=\"" + cls + "\">" + HtmlEscape(label) +
         "</button></form>";
}

// What the page says below the order, and its buttons while the order can still be paid.
std::string StateAndButtons(const std::string& orderNo, const Order& order, const PayerWords& words,
                            const std::string& query) {
  const OrderState state = StateOf(order);
  // An order its scenario has the platform close is past paying here even before then.
  const bool expired = PlayOf(order.scenario).closeAtFirstQuery;
  const auto said = [](const char* text) { return "<p id=\"said\">" + std::string(text) + "</p>"; };
  if (state == OrderState::kRefunded) return said(words.refunded);
  if (state == OrderState::kPaid) return said(words.paid);
  if (state == OrderState::kPayError) return said(words.declined);
  if (expired) return std::string("<p id=\"said\" class=\"expired\">") + words.expired + "</p>";
  if (state == OrderState::kClosed) return said(words.closed);
  const bool paying = state == OrderState::kUserPaying;
  std::string part;
  if (paying) part += said(words.paying);
  part += Button(orderNo, kPaySuffix, "pay", words.pay + AmountText(order.totalFee), query);
  part += Button(orderNo, kDeclineSuffix, "decline", words.decline, query);
  if (!paying) part += Button(orderNo, kKeepPayingSuffix, "keep", words.keepPaying, query);
  return part + "<p class=\"note\">" + words.choices + "</p>";
}

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

std::string PayerPageHtml(const std::string& orderNo, const Order& order, PageLanguage language,
                          const PayerPageVisit& visit) {
  const PayerWords& words = WordsOf(language);
  std::string page = Head(language, visit.leadsTo);
  const auto row = [&page](const char* heading, const char* id, const std::string& value) {
    page +=
        std::string("<tr><th>") + heading + "</th><td id=\"" + id + "\">" + value + "</td></tr>";
  };
  page += "<table>";
  row(words.order, "order", HtmlEscape(orderNo));
  row(words.description, "description", HtmlEscape(order.description));
  row(words.amount, "amount", AmountText(order.totalFee));
  row(words.state, "state", TradeState(order));
  if (order.scenario != kPaidScenario.name) {
    const Scenario* scenario = FindScenario(order.scenario);
    const std::string shown =
        HtmlEscape(order.scenario) + (scenario && language == PageLanguage::kChinese
                                          ? std::string("（") + scenario->label + "）"
                                          : "");
    row(words.scenario, "scenario", "<span class=\"scenario\">" + shown + "</span>");
  }
  if (!order.openId.empty()) {
    const bool yours = order.openId == visit.openId;
    row(words.payer, "payer",
        "<code>" + HtmlEscape(order.openId) + "</code>" +
            (visit.openId.empty() ? ""
             : yours              ? words.you
                                  : words.notYou));
  }
  page += "</table>";
  page += StateAndButtons(orderNo, order, words, visit.returnQuery);
  if (!visit.openId.empty()) {
    page += std::string("<p class=\"note\">") + words.yourOpenId + ": <code id=\"openid\">" +
            HtmlEscape(visit.openId) + "</code></p>";
  }
  // A till pays by the code a phone shows, not by this page: the way to one.
  return page + "<p class=\"code-link\"><a href=\"" + PaymentCodeUrl(orderNo) +
         "\">付款码 · payment code</a></p></body></html>\n";
}

std::string NoSuchOrderHtml(const std::string& orderNo, PageLanguage language) {
  return Head(language) + "<p>There is no order <code>" + HtmlEscape(orderNo) + "</code>.</p>" +
         (language == PageLanguage::kChinese ? std::string("<p>") + kChinese.noSuchOrder + "</p>"
                                             : "") +
         "</body></html>\n";
}

}  // namespace quillmark::sandbox
