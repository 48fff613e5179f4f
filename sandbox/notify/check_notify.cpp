// check-notify: the notifications sent to a merchant's handler and the verdict on each answer.
#include "sandbox/notify/check_notify.h"

#include <algorithm>
#include <ostream>
#include <sstream>

#include "http/transport.h"
#include "protocol/fields.h"
#include "protocol/flat_document.h"
#include "protocol/refund_notification.h"

namespace quillmark::sandbox {
namespace {

// The known-answer notification's values (tests/support/known_answers.h): for the default
// merchant, the genuine case is that document byte for byte.
constexpr char kMadeUpOrderNo[] = "20260307090503042j9kB8vGEuAaSvJF";
constexpr char kMadeUpTransactionId[] = "2026030791827364550192837465";
constexpr char kMadeUpTimeEnd[] = "20260307090503";
constexpr char kMadeUpNonce[] = "j9kB8vGEuAaSvJF92JKxCRoM2tDBxCUO";
// The made-up refund of the made-up order.
constexpr char kMadeUpRefundId[] = "2026030750000000000000000000017";
constexpr char kMadeUpRefundNo[] = "R20260307090503042";
constexpr char kMadeUpSuccessTime[] = "2026-03-07 09:15:03";
constexpr char kUnknownFieldName[] = "quillmark_new_field";
// Larger than any notification, and than any bound a handler should read without limit.
constexpr std::size_t kOversizedBytes = 1024 * 1024 + 1;
// A connection's own bound, within the case's.
constexpr std::chrono::milliseconds kConnectTimeout{5'000};

// libcurl's codes for a connection that was made and then cut before any answer: nothing
// came back (52), the send failed (55), the receive failed (56). A refused connection or a
// timeout is no refusal by the handler: nothing there answered.
bool CutOff(const TransferStatus& status) {
  return status.code == 52 || status.code == 55 || status.code == 56;
}

// "HTTP 200, return_code SUCCESS", "error: Couldn't connect to server", ...
std::string Answered(const TransferStatus& status, const std::string& reply) {
  std::string text;
  if (status.httpStatus != 0) text = "HTTP " + std::to_string(status.httpStatus);
  if (!status.ok()) {
    text += (text.empty() ? "" : ", ") + std::string("error: ") + status.message;
    return text;
  }
  Fields fields;
  std::string error;
  if (!ReadFlatDocument(reply, fields, error)) return text + ", not a flat XML document";
  const auto code = fields.find(kFieldReturnCode);
  return text + ", return_code " +
         (code == fields.end() ? std::string("missing")
                               : PrintableAscii(code->second).substr(0, 20));
}

// The same payment, paid partly with a made-up coupon, and carrying a field no merchant
// knows yet, as the platform may add one any day: genuine, so it must be acknowledged. A
// handler that keeps only the fields it knows before it verifies computes another sign.
ReplyFields CouponedFields(PaidOrder order, const MerchantSettings& merchant,
                           const std::string& nonce) {
  order.couponFee = std::max(1LL, order.totalFee / 4);
  order.couponId = "7700000000000000042";
  order.couponType = "NO_CASH";
  ReplyFields fields = NotificationFields(order, merchant, nonce);
  fields.emplace_back(kUnknownFieldName, "added-by-the-platform");
  return fields;
}

}  // namespace

PaidOrder MadeUpPaidOrder(const std::string& outTradeNo, SignType signType) {
  PaidOrder order{"",
                  outTradeNo.empty() ? kMadeUpOrderNo : outTradeNo,
                  kMadeUpTransactionId,
                  "NATIVE",
                  1,
                  kMadeUpTimeEnd};
  order.signType = signType;
  return order;
}

std::vector<NotifyCase> NotifyCases(const PaidOrder& order, const MerchantSettings& merchant,
                                    const std::string& nonce) {
  const SignType type = order.signType;
  const ReplyFields fields = NotificationFields(order, merchant, nonce);
  const std::string genuine = SignedNotification(fields, merchant, false, type);

  std::string forged = genuine;
  const Fields byName(fields.begin(), fields.end());
  const std::string sign = SignOf(byName, merchant.apiKey, type);
  forged.replace(forged.find(sign), sign.size(),
                 SignOf(byName, "AnotherMerchantsKey0123456789abc", type));

  MerchantSettings other = merchant;
  other.appId =
      merchant.appId == "qmother00000000042" ? "qmother00000000043" : "qmother00000000042";
  other.mchId = merchant.mchId == "9876543210" ? "9876543211" : "9876543210";
  // The other merchant's ids, signed with this merchant's key as a forger who knows it
  // would: only the ids give it away.
  ReplyFields otherFields = NotificationFields(order, other, nonce);
  const std::string otherMerchant = SignedNotification(otherFields, merchant, false, type);

  // Signed as it is: only its size gives it away.
  ReplyFields padded = fields;
  for (auto& [name, value] : padded) {
    if (name == kFieldAttach) value.assign(kOversizedBytes, 'x');
  }
  const std::string oversized = SignedNotification(padded, merchant, false, type);

  std::vector<NotifyCase> cases = {
      {"genuine notification", genuine, true},
      {"the same notification again", genuine, true},
      {"sign forged (another key)", forged, false},
      {"amount changed after signing", SignedNotification(fields, merchant, true, type), false},
      {"no sign", ReplyDocument(fields), false},
      {"another merchant's appid and mch_id", otherMerchant, false},
      {"malformed document", genuine.substr(0, genuine.size() / 2), false},
      {"oversized document (over 1 MiB)", oversized, false, true},
      {kCouponCaseName,
       SignedNotification(CouponedFields(order, merchant, nonce), merchant, false, type), true,
       false,
       "the handler verified only the fields it knows: the sign covers every field received"},
  };
  // The right key and fields under the wrong digest: a handler that takes either type
  // lets a sign through that the order's type does not give. An MD5 run lists what it
  // always did.
  if (type != SignType::kMd5) {
    cases.insert(cases.begin() + 3, {"signed with MD5, not the order's type",
                                     SignedNotification(fields, merchant), false});
  }
  return cases;
}

std::vector<NotifyCase> RefundNotifyCases(const PaidOrder& order, const MerchantSettings& merchant,
                                          const std::string& nonce) {
  RefundInfo info;
  info.transactionId = order.transactionId;
  info.outTradeNo = order.outTradeNo;
  info.refundId = kMadeUpRefundId;
  info.outRefundNo = kMadeUpRefundNo;
  info.totalFee = info.settlementTotalFee = order.totalFee;
  info.refundFee = info.settlementRefundFee = order.totalFee;
  info.refundStatus = kRefundSuccess;
  info.successTime = kMadeUpSuccessTime;
  info.refundRecvAccout =
      "\xe4\xbb\x98\xe6\xac\xbe\xe4\xba\xba\xe7\x9a\x84\xe9\x9b\xb6\xe9\x92\xb1";
  info.refundAccount = "SANDBOX_BALANCE";
  info.refundRequestSource = "API";
  const auto notification = [&](const std::string& reqInfo) {
    return CdataDocument({{kFieldReturnCode, "SUCCESS"},
                          {kFieldReturnMsg, "OK"},
                          {kFieldAppId, merchant.appId},
                          {kFieldMchId, merchant.mchId},
                          {kFieldNonceStr, nonce},
                          {kFieldReqInfo, reqInfo}});
  };
  const std::string document = RefundInfoDocument(info);
  const std::string reqInfo = EncryptReqInfo(document, merchant.apiKey);
  // Whole blocks of the document, ending in a space or its '>': no PKCS#7 padding ends so.
  std::string unpadded = document;
  unpadded.append((16 - unpadded.size() % 16) % 16, ' ');
  // Its first block changed: "<root><transacti" decrypts to bytes that are no document.
  std::string altered = reqInfo;
  altered[1] = altered[1] == 'A' ? 'B' : 'A';
  const ReplyFields payment = NotificationFields(order, merchant, nonce);
  return {
      {"genuine refund notification", notification(reqInfo), true},
      {"the same refund notification again", notification(reqInfo), true},
      {"req_info under another key",
       notification(EncryptReqInfo(document, "AnotherMerchantsKey0123456789abc")), false},
      {"req_info cut short", notification(reqInfo.substr(0, reqInfo.size() - 8)), false},
      {"req_info with bad padding", notification(EncryptUnpadded(unpadded, merchant.apiKey)),
       false},
      {"req_info altered", notification(altered), false},
      {"a signed payment notification",
       SignedNotification(payment, merchant, false, order.signType), false},
      {"return_code FAIL without req_info",
       CdataDocument({{kFieldReturnCode, "FAIL"}, {kFieldReturnMsg, "SYSTEMERROR"}}), false},
  };
}

int CheckNotify(const CheckNotifyOptions& options, std::ostream& out) {
  const SignType type = options.merchant.Signing();
  const PaidOrder order = MadeUpPaidOrder(options.outTradeNo, type);
  out << "check-notify " << PrintableAscii(options.url) << "\n  as merchant "
      << options.merchant.appId << " / " << options.merchant.mchId << ", order "
      << PrintableAscii(order.outTradeNo) << ", transaction_id " << order.transactionId
      << (options.refund ? std::string(", refund ") + kMadeUpRefundNo : std::string())
      << (type == SignType::kMd5 ? "" : std::string(", sign_type ") + SignTypeName(type)) << "\n\n";
  TransportOptions transport;
  transport.caFile = options.caFile;
  const long timeoutMs = static_cast<long>(std::max<long long>(1, options.timeout.count()));
  transport.connectTimeoutMs = std::min(timeoutMs, static_cast<long>(kConnectTimeout.count()));
  transport.totalTimeoutMs = timeoutMs;
  transport.contentType = "text/xml";
  int right = 0;
  bool silent = false;  // a case got no answer: the rest are not sent
  std::size_t notTried = 0;
  const std::vector<NotifyCase> cases =
      options.refund ? RefundNotifyCases(order, options.merchant, kMadeUpNonce)
                     : NotifyCases(order, options.merchant, kMadeUpNonce);
  for (const NotifyCase& c : cases) {
    std::string name = c.name;
    name.resize(40, ' ');
    if (silent) {
      ++notTried;
      out << "  " << name << "not tried: the handler did not answer\n";
      continue;
    }
    std::ostringstream diagnostic;
    TransferStatus status;
    const std::string reply =
        PostXml(options.url.c_str(), c.body.c_str(), diagnostic, transport, &status);
    const bool acknowledged = status.ok() && status.httpStatus >= 200 && status.httpStatus < 300 &&
                              IsAcknowledgement(reply);
    // No answer at all is no refusal: only a body too large to read may be cut off, and
    // only by a handler that took the connection. An interim "100 Continue" answers nothing.
    const bool answered = status.httpStatus >= 200 || (c.mayCutOff && CutOff(status));
    const bool ok = answered && acknowledged == c.acknowledge;
    right += ok ? 1 : 0;
    silent = !answered;
    out << "  " << name << (acknowledged ? "acknowledged    " : "not acknowledged") << "  ("
        << Answered(status, reply) << ")  "
        << (ok              ? "right"
            : !answered     ? "WRONG: the handler did not answer (is it listening there?)"
            : c.acknowledge ? "WRONG: must be acknowledged"
                            : "WRONG: must be refused")
        << (!ok && answered && c.whyWrong ? std::string(" (") + c.whyWrong + ")" : std::string())
        << '\n';
  }
  out << '\n' << right << " of " << cases.size() << " answers right";
  if (notTried > 0) {
    out << "; " << notTried << " not tried: the handler did not answer";
  } else if (right != static_cast<int>(cases.size()) && options.refund) {
    out << ": a refund handler must check no sign (there is none), decrypt req_info under the"
           " lower-case hexadecimal MD5 of the API key, refuse what does not decrypt, unpad and"
           " read as a <root> document, refuse a FAIL or a payment notification, and"
           " acknowledge a repeat without acting twice";
  } else if (right != static_cast<int>(cases.size())) {
    out << ": a handler must verify the sign over the fields as received, check appid and"
           " mch_id, refuse what it cannot read, bound what it reads, and acknowledge a"
           " repeat without acting twice";
  }
  out << ".\n" << std::flush;
  return right == static_cast<int>(cases.size()) ? 0 : 1;
}

}  // namespace quillmark::sandbox
