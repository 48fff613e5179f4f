// What a row of the panel says for a step: which of the step's outcomes wins when several
// went wrong, how a reply's own words come through GBK, and that each row's verdict is the
// operation's own judgement, the one the command-line runner exits by.
#include <gtest/gtest.h>

#include <string>

#include "protocol/operation.h"
#include "shell/core/panel.h"

namespace quillmark::shell {
namespace {

// A reply that arrived whole with HTTP 200, codes SUCCESS and a sign that verified, to the
// operation `operation`.
StepOutcome Reply(const Operation& operation, long httpStatus = 200) {
  StepOutcome outcome;
  outcome.operation = &operation;
  outcome.transfer.code = 0;
  outcome.transfer.httpStatus = httpStatus;
  outcome.fields = {{kFieldReturnCode, "SUCCESS"}, {kFieldResultCode, "SUCCESS"}};
  outcome.signature.verdict = SignatureVerdict::kVerified;
  return outcome;
}

// The same outcome of the unified order and of the query: each row gets its own words.
TEST(StepWords, OrderAndQueryRowsSayWhatWentWrongFirst) {
  struct Row {
    const char* what;
    StepOutcome outcome;
    const char* order;
    const char* query;
  };
  std::vector<Row> rows;
  const auto add = [&rows](const char* what, const StepOutcome& outcome, const char* order,
                           const char* query) {
    rows.push_back({what, outcome, order, query});
  };

  StepOutcome refused;
  refused.transfer = {7, "Couldn't connect to server", 0};
  add("no connection", refused, "通信失败：Couldn't connect to server（RetCode 7）",
      "通信失败：Couldn't connect to server（RetCode 7）");
  StepOutcome aborted;
  aborted.transfer = {42, "Operation was aborted by an application callback", 0};
  add("aborted", aborted, "已中止", "已中止");
  // A status other than 2xx outranks whatever the body says.
  StepOutcome status = Reply(kUnifiedOrderOperation, 500);
  status.fields[kFieldReturnCode] = "FAIL";
  status.signature.verdict = SignatureVerdict::kUnreadable;
  add("HTTP 500", status, "HTTP 状态 500；应答无法解析", "HTTP 状态 500；应答无法解析");
  StepOutcome cut = Reply(kUnifiedOrderOperation);
  cut.transfer = {18, "Transferred a partial file", 200};
  add("cut off", cut, "通信失败：Transferred a partial file（RetCode 18）",
      "通信失败：Transferred a partial file（RetCode 18）");
  StepOutcome fail = Reply(kUnifiedOrderOperation);
  fail.fields[kFieldReturnCode] = "FAIL";
  fail.fields[kFieldReturnMsg] = "\xc7\xa9\xc3\xfb\xb4\xed\xce\xf3";  // "签名错误" in GBK
  fail.fields[kFieldCodeUrl] = "https://pay.test/qr/1";               // ignored: the request failed
  fail.signature.verdict = SignatureVerdict::kUnsigned;               // as FAIL replies often are
  add("return FAIL", fail, "FAIL：签名错误；未签名", "FAIL：签名错误；未签名");
  StepOutcome business = Reply(kUnifiedOrderOperation);
  business.fields[kFieldResultCode] = "FAIL";
  business.fields[kFieldErrCode] = "ORDERNOTEXIST";
  add("result FAIL", business, "ORDERNOTEXIST；签名已验证", "ORDERNOTEXIST；签名已验证");
  business.fields.erase(kFieldErrCode);
  add("result FAIL, no code", business, "FAIL；签名已验证", "FAIL；签名已验证");
  add("nothing usable", Reply(kUnifiedOrderOperation), "应答中没有支付链接（code_url）；签名已验证",
      "应答中没有交易状态（trade_state）；签名已验证");
  StepOutcome paid = Reply(kUnifiedOrderOperation);
  paid.fields[kFieldCodeUrl] = "https://pay.test/qr/1";
  paid.fields[kFieldTradeState] = "SUCCESS";
  add("known state", paid, "成功；签名已验证", "SUCCESS（支付成功）；签名已验证");
  paid.fields[kFieldTradeStateDesc] =
      "\xd2\xd1\xd6\xa7\xb8\xb6";  // "已支付" in GBK: the reply's own
  add("described state", paid, "成功；签名已验证", "SUCCESS（已支付）；签名已验证");
  // A reply that failed verification: its link and state were never taken, and the
  // window says why nothing is shown.
  StepOutcome forged = Reply(kUnifiedOrderOperation);
  forged.signature.verdict = SignatureVerdict::kMismatch;
  forged.signature.expected = "ABC";
  add("forged", forged, "应答未通过验证，不显示其支付链接和二维码；签名不符：应为 ABC",
      "应答未通过验证，不采用其交易状态；签名不符：应为 ABC");
  forged.signature.verdict = SignatureVerdict::kMissing;
  add("SUCCESS unsigned", forged, "应答未通过验证，不显示其支付链接和二维码；成功应答没有签名",
      "应答未通过验证，不采用其交易状态；成功应答没有签名");
  forged.signature.verdict = SignatureVerdict::kAmbiguous;
  forged.signature.field = "code_url";
  add("ambiguous", forged,
      "应答未通过验证，不显示其支付链接和二维码；应答的 code_url 与已签名的内容不符",
      "应答未通过验证，不采用其交易状态；应答的 code_url 与已签名的内容不符");
  forged.signature.verdict = SignatureVerdict::kMisdirected;
  forged.signature.field = "out_trade_no";
  forged.signature.answered = "20260307090503042zzzzzzzzzzzzzzz";
  forged.signature.ours = "20260307090503042abcdefghijklmno";
  add("about another order", forged,
      "应答未通过验证，不显示其支付链接和二维码；应答针对的是另一请求：其 out_trade_no 为 "
      "20260307090503042zzzzzzzzzzzzzzz，本请求的为 20260307090503042abcdefghijklmno",
      "应答未通过验证，不采用其交易状态；应答针对的是另一请求：其 out_trade_no 为 "
      "20260307090503042zzzzzzzzzzzzzzz，本请求的为 20260307090503042abcdefghijklmno");
  StepOutcome odd = Reply(kUnifiedOrderOperation);
  odd.fields[kFieldTradeState] = "ACCEPT";
  add("unknown state", odd, "应答中没有支付链接（code_url）；签名已验证", "ACCEPT；签名已验证");

  for (Row& row : rows) {
    SCOPED_TRACE(row.what);
    row.outcome.operation = &kUnifiedOrderOperation;
    EXPECT_EQ(words::StepText(kOrderWords, row.outcome), row.order);
    row.outcome.operation = &kOrderQueryOperation;
    EXPECT_EQ(words::StepText(kQueryWords, row.outcome), row.query);
  }
}

// Closing and refunding have no result field of their own: a reply that says SUCCESS but
// cannot be read (and so not verified) must not read as done, in the window as in the
// runner, which exits 1 unless the verdict is kDone.
TEST(StepWords, CloseAndRefundAreDoneOnlyByAVerifiedSuccess) {
  StepOutcome unreadable = Reply(kCloseOrderOperation);
  unreadable.fields.clear();
  unreadable.signature.verdict = SignatureVerdict::kUnreadable;
  StepOutcome paid = Reply(kCloseOrderOperation);
  paid.fields[kFieldResultCode] = "FAIL";
  paid.fields[kFieldErrCode] = "ORDERPAID";
  StepOutcome forged = Reply(kCloseOrderOperation);
  forged.signature.verdict = SignatureVerdict::kMismatch;
  forged.signature.expected = "ABC";
  StepOutcome refunded = Reply(kRefundOperation);
  refunded.fields[kFieldOutRefundNo] = "20260307090503042abcdefghijklmno";
  const struct {
    const char* what;
    StepOutcome outcome;
    StepVerdict verdict;
    const char* close;
    const char* refund;
  } rows[] = {
      {"not XML", unreadable, StepVerdict::kNoResult, "应答未确认订单已关闭；应答无法解析",
       "应答未确认已退款；应答无法解析"},
      {"refused", paid, StepVerdict::kFailed, "ORDERPAID；签名已验证", "ORDERPAID；签名已验证"},
      {"forged", forged, StepVerdict::kUntrusted,
       "应答未通过验证，不能确认订单已关闭；签名不符：应为 ABC",
       "应答未通过验证，不能确认已退款；签名不符：应为 ABC"},
      {"done", refunded, StepVerdict::kDone, "订单已关闭；签名已验证",
       "已退款，退款单号 20260307090503042abcdefghijklmno；签名已验证"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    StepOutcome outcome = row.outcome;
    outcome.operation = &kCloseOrderOperation;
    EXPECT_EQ(VerdictOf(outcome), row.verdict);
    EXPECT_EQ(words::StepText(kCloseWords, outcome), row.close);
    outcome.operation = &kRefundOperation;
    EXPECT_EQ(VerdictOf(outcome), row.verdict);
    EXPECT_EQ(words::StepText(kRefundWords, outcome), row.refund);
  }
}

}  // namespace
}  // namespace quillmark::shell

namespace quillmark::shell {
namespace {

// A repeat is said to be one, not a second payment; a refusal after verification names
// the reason and the signature that held.
TEST(NotificationWords, RepeatsAndRefusalsSayWhatTheyAre) {
  using V = NotificationCheck::Verdict;
  using R = NotificationCheck::Refusal;
  NotificationCheck repeat;
  repeat.verdict = V::kRepeat;
  repeat.fields = {{kFieldTransactionId, "2026030791827364550192837465"}};
  NotificationCheck other;
  other.refusal = R::kOtherMerchant;
  other.signature.verdict = SignatureVerdict::kVerified;
  NotificationCheck cut;
  cut.refusal = R::kUnreadable;
  const struct {
    NotificationCheck check;
    const char* text;
  } rows[] = {
      {repeat,
       "10:00 又收到同一通知（交易号 2026030791827364550192837465）：已再次应答 SUCCESS，"
       "未重复处理"},
      {other,
       "10:00 收到并拒绝（已应答 FAIL）：不是本商户的通知（appid 或 mch_id 不符）；签名已验证"},
      {cut, "10:00 收到并拒绝（已应答 FAIL）：通知无法解析"},
  };
  for (const auto& row : rows) EXPECT_EQ(words::NotificationText("10:00", row.check), row.text);
}

// A refund notification is said as one, with what its req_info held, or why it was
// refused: the fault of its req_info before any other reason.
TEST(NotificationWords, RefundNotificationsSayWhatTheyHeldOrWhyRefused) {
  using V = NotificationCheck::Verdict;
  using R = NotificationCheck::Refusal;
  const auto refund = [](V verdict, R refusal, RefundFault fault, const char* status) {
    ReceivedNotification received;
    received.time = "10:00";
    received.refund = true;
    received.refundFault = fault;
    received.check.verdict = verdict;
    received.check.refusal = refusal;
    if (verdict != V::kRefused) {
      received.check.fields = {{kFieldRefundId, "50000000000000000000000000001"},
                               {kFieldOutRefundNo, "R-30"},
                               {kFieldRefundFee, "30"},
                               {kFieldRefundStatus, status}};
      if (std::string(status) == "SUCCESS") {
        received.check.fields[kFieldSuccessTime] = "2026-12-10 16:24:13";
      }
    }
    return received;
  };
  const struct {
    ReceivedNotification received;
    const char* text;
  } rows[] = {
      {refund(V::kAccepted, R::kNone, RefundFault::kNone, "SUCCESS"),
       "10:00 收到退款通知：SUCCESS（退款成功），退款 30 分，平台退款单号 "
       "50000000000000000000000000001，商户退款单号 R-30，退款成功时间 2026-12-10 "
       "16:24:13；req_info 已解密，已应答 SUCCESS"},
      {refund(V::kAccepted, R::kNone, RefundFault::kNone, "REFUNDCLOSE"),
       "10:00 收到退款通知：REFUNDCLOSE（退款关闭），退款 30 分，平台退款单号 "
       "50000000000000000000000000001，商户退款单号 R-30；req_info 已解密，已应答 SUCCESS"},
      {refund(V::kRepeat, R::kNone, RefundFault::kNone, "SUCCESS"),
       "10:00 又收到同一退款通知（商户退款单号 R-30）：已再次应答 SUCCESS，未重复处理"},
      {refund(V::kRefused, R::kUnreadable, RefundFault::kBadPadding, ""),
       "10:00 收到退款通知并拒绝（已应答 FAIL）：req_info 解密后填充不对：密钥不对，或内容被改动"},
      {refund(V::kRefused, R::kUnknownOrder, RefundFault::kNone, ""),
       "10:00 收到退款通知并拒绝（已应答 FAIL）：既不是本程序申请的退款，也不是本程序下的订单"},
  };
  for (const auto& row : rows) EXPECT_EQ(words::NotificationText(row.received), row.text);
}

}  // namespace
}  // namespace quillmark::shell
