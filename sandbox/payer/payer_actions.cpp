// The payer page and its buttons, answered through the sandbox's desk.
#include "sandbox/payer/payer_actions.h"

#include <utility>

#include "sandbox/payer/payer_page.h"
#include "sandbox/scenarios/pay.h"
#include "sandbox/scenarios/plays.h"

namespace quillmark::sandbox {
namespace {

constexpr char kHtmlType[] = "text/html; charset=utf-8";

void NoSuchOrder(Exchange& ex, OrderDesk& desk, const std::string& orderNo) {
  ex.reply.status = 404;
  ex.reply.contentType = kHtmlType;
  ex.reply.body = NoSuchOrderHtml(orderNo, ChooseLanguage(ex.request.acceptLanguage));
  desk.Log(ex, orderNo, 404, "FAIL no such order");
}

// The button's transition by the payer page, then back to the order's page, logged with
// `done` (or the refusal). `transition` may depend on the order's scenario.
template <typename Choose>
void Press(Exchange& ex, OrderDesk& desk, const std::string& orderNo, Choose choose) {
  Step step;
  const char* done = "";
  const bool found = desk.WithOrder(orderNo, [&](Order& order, OrderLife& life) {
    Transition transition = Transition::kPay;
    choose(PlayOf(order.scenario), transition, done);
    step = PayOrder(life, order, orderNo, transition, Cause{Actor::kPayerPage, NowMs(), {}},
                    ex.notify);
    if (step.moved()) ex.changed = order;
  });
  if (!found) return NoSuchOrder(ex, desk, orderNo);
  // Post/Redirect/Get: reloading the page shows the state instead of pressing again.
  ex.reply.status = 303;
  ex.reply.location = PayerPagePath(orderNo);
  desk.Log(ex, orderNo, 303, step.refused() ? step.refusal : done);
}

}  // namespace

void ServePayerPage(Exchange& ex, OrderDesk& desk, const std::string& orderNo) {
  Order order;
  if (!desk.WithOrder(orderNo, [&order](Order& kept, OrderLife&) { order = kept; })) {
    return NoSuchOrder(ex, desk, orderNo);
  }
  ex.reply.contentType = kHtmlType;
  ex.reply.body = PayerPageHtml(orderNo, order, ChooseLanguage(ex.request.acceptLanguage));
  desk.Log(ex, orderNo, 200, std::string("page shown, trade_state=") + TradeState(order));
}

void ServePayerPay(Exchange& ex, OrderDesk& desk, const std::string& orderNo) {
  Press(ex, desk, orderNo, [](const ScenarioPlay& play, Transition& transition, const char*& done) {
    transition = play.pay;
    done = transition == Transition::kDecline       ? "payment failed, as its scenario plays"
           : transition == Transition::kStartPaying ? "paying, as its scenario plays"
                                                    : "paid";
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
        [action](const ScenarioPlay&, Transition& transition, const char*& done) {
          const bool decline = action == PayerAction::kDecline;
          transition = decline ? Transition::kDecline : Transition::kStartPaying;
          done = decline ? "payment declined" : "left paying";
        });
}

}  // namespace quillmark::sandbox
