// The payer page and its buttons, answered through the sandbox's desk.
#include "sandbox/payer/payer_actions.h"

#include <utility>

#include "sandbox/api/request_check.h"
#include "sandbox/payer/bridge_script.h"
#include "sandbox/payer/mweb_referer.h"
#include "sandbox/payer/payer_page.h"
#include "sandbox/payer/payer_visit.h"
#include "sandbox/scenarios/pay.h"
#include "sandbox/scenarios/plays.h"
#include "text/printable.h"

namespace quillmark::sandbox {
namespace {

constexpr char kHtmlType[] = "text/html; charset=utf-8";

void NoSuchOrder(Exchange& ex, OrderDesk& desk, const std::string& orderNo) {
  ex.reply.status = 404;
  ex.reply.contentType = kHtmlType;
  ex.reply.body = NoSuchOrderHtml(orderNo, ChooseLanguage(ex.request.acceptLanguage));
  desk.Log(ex, orderNo, 404, "FAIL no such order");
}

// A redirect_url that cannot be followed: said before anything is paid, so that the payer
// never pays and then lands nowhere.
void BadReturn(Exchange& ex, OrderDesk& desk, const std::string& orderNo,
               const std::string& problem) {
  ex.reply.status = 400;
  ex.reply.contentType = kHtmlType;
  ex.reply.body =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><meta name=\"viewport\" "
      "content=\"width=device-width, initial-scale=1\"><title>Quillmark</title>"
      "</head><body><p id=\"said\">" +
      HtmlEscape(problem) + "</p></body></html>\n";
  desk.Log(ex, orderNo, 400, "FAIL " + problem);
}

// What a button leads to once the payment is over: the bridge's frame hears the outcome,
// MWEB's payer is sent back to the merchant.
std::string Onward(const PayerReturn& back, const char* outcome) {
  if (back.bridge) return std::string(kBridgeDonePath) + "?outcome=" + outcome;
  return back.redirectUrl;
}

// The button's transition by the payer page, then on (Onward()) or back to the order's page,
// logged with `done` (or the refusal). `choose` picks the transition, which may depend on the
// order's scenario, and the outcome the bridge is told ("ok", "cancel", "fail"; null while
// the payment goes on).
template <typename Choose>
void Press(Exchange& ex, OrderDesk& desk, const std::string& orderNo, Choose choose) {
  PayerReturn back;
  std::string problem;
  if (!ReadPayerReturn(ex.request.query, back, problem)) {
    return BadReturn(ex, desk, orderNo, problem);
  }
  Step step;
  const char* done = "";
  const char* outcome = nullptr;
  const bool found = desk.WithOrder(orderNo, [&](Order& order, OrderLife& life) {
    Transition transition = Transition::kPay;
    choose(PlayOf(order.scenario), transition, done, outcome);
    step = PayOrder(life, order, orderNo, transition, Cause{Actor::kPayerPage, NowMs(), {}},
                    ex.notify);
    if (step.moved()) ex.changed = order;
  });
  if (!found) return NoSuchOrder(ex, desk, orderNo);
  // Post/Redirect/Get: reloading the page shows the state instead of pressing again.
  ex.reply.status = 303;
  const std::string onward = step.moved() && outcome ? Onward(back, outcome) : "";
  ex.reply.location = onward.empty() ? PayerPagePath(orderNo) + PayerReturnQuery(back) : onward;
  desk.Log(ex, orderNo, 303,
           (step.refused() ? step.refusal : std::string(done)) +
               (onward.empty() ? "" : ", sent to " + PrintableAscii(onward)));
}

}  // namespace

void ServePayerPage(Exchange& ex, OrderDesk& desk, const std::string& orderNo,
                    const PayerContext& payer) {
  PayerReturn back;
  std::string problem;
  if (!ReadPayerReturn(ex.request.query, back, problem)) {
    return BadReturn(ex, desk, orderNo, problem);
  }
  Order order;
  if (!desk.WithOrder(orderNo, [&order](Order& kept, OrderLife&) { order = kept; })) {
    return NoSuchOrder(ex, desk, orderNo);
  }
  const PageLanguage language = ChooseLanguage(ex.request.acceptLanguage);
  ex.reply.contentType = kHtmlType;
  if (order.tradeType == kTradeTypeMweb) {
    const RefererVerdict referer =
        CheckMwebReferer(ex.request.referer, payer.mwebDomain, ex.request.host);
    if (!referer.ok) {
      // 403 rather than the 200 a page that loaded has: the browser shows the page all the
      // same, and a merchant's script or monitor that fetches mweb_url sees a refusal.
      ex.reply.status = 403;
      ex.reply.body = MwebRefusalHtml(referer, payer.mwebDomain, language);
      desk.Log(ex, orderNo, 403, "FAIL MWEB page refused: " + PrintableAscii(referer.problem));
      return;
    }
  }
  if (payer.newOpenId) ex.reply.headers.emplace_back("Set-Cookie", OpenIdSetCookie(payer.openId));
  ex.reply.body =
      PayerPageHtml(orderNo, order, language,
                    PayerPageVisit{payer.openId, PayerReturnQuery(back), back.redirectOrigin});
  desk.Log(ex, orderNo, 200, std::string("page shown, trade_state=") + TradeState(order));
}

void ServePayerPay(Exchange& ex, OrderDesk& desk, const std::string& orderNo) {
  Press(ex, desk, orderNo,
        [](const ScenarioPlay& play, Transition& transition, const char*& done,
           const char*& outcome) {
          transition = play.pay;
          done = transition == Transition::kDecline       ? "payment failed, as its scenario plays"
                 : transition == Transition::kStartPaying ? "paying, as its scenario plays"
                                                          : "paid";
          outcome = transition == Transition::kDecline       ? "fail"
                    : transition == Transition::kStartPaying ? nullptr
                                                             : "ok";
        });
}

bool ParsePayerActionPath(const std::string& path, std::string& orderNo, PayerAction& action) {
  static const std::pair<const char*, PayerAction> kSuffixes[] = {
      {"/decline", PayerAction::kDecline}, {"/keep-paying", PayerAction::kKeepPaying}};
  for (const auto& [suffix, which] : kSuffixes) {
    const std::string tail = suffix;
    if (path.size() <= tail.size() || path.compare(path.size() - tail.size(), tail.size(), tail))
      continue;
    bool pay = false;
    if (!ParsePayerPath(path.substr(0, path.size() - tail.size()), orderNo, pay) || pay) {
      return false;
    }
    action = which;
    return true;
  }
  return false;
}

void ServePayerAction(Exchange& ex, OrderDesk& desk, const std::string& orderNo,
                      PayerAction action) {
  Press(ex, desk, orderNo,
        [action](const ScenarioPlay&, Transition& transition, const char*& done,
                 const char*& outcome) {
          const bool decline = action == PayerAction::kDecline;
          transition = decline ? Transition::kDecline : Transition::kStartPaying;
          done = decline ? "payment declined" : "left paying";
          outcome = decline ? "cancel" : nullptr;
        });
}

}  // namespace quillmark::sandbox
