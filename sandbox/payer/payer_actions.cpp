// The payer page and its button, answered through the sandbox's desk.
#include "sandbox/payer/payer_actions.h"

#include "sandbox/payer/payer_page.h"

namespace quillmark::sandbox {
namespace {

constexpr char kHtmlType[] = "text/html; charset=utf-8";

void NoSuchOrder(Exchange& ex, OrderDesk& desk, const std::string& orderNo) {
  ex.reply.status = 404;
  ex.reply.contentType = kHtmlType;
  ex.reply.body = NoSuchOrderHtml(orderNo, ChooseLanguage(ex.request.acceptLanguage));
  desk.Log(ex, orderNo, 404, "FAIL no such order");
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
  Step step;
  const bool found = desk.WithOrder(orderNo, [&](Order& order, OrderLife& life) {
    step = life.Apply(order, Transition::kPay, Cause{Actor::kPayerPage, NowMs(), {}});
    if (step.moved()) {
      ex.notify = PaidOrderOf(orderNo, order);
      ex.changed = order;
    }
  });
  if (!found) return NoSuchOrder(ex, desk, orderNo);
  // Post/Redirect/Get: reloading the page shows the state instead of paying again.
  ex.reply.status = 303;
  ex.reply.location = PayerPagePath(orderNo);
  desk.Log(ex, orderNo, 303, step.refused() ? step.refusal : "paid");
}

}  // namespace quillmark::sandbox
