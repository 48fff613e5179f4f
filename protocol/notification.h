// The payment notification as the merchant's side receives it: the platform POSTs the
// result of a paid order to the order's notify_url, and the merchant must verify it,
// answer it, and act on it once even when it comes again. Read with the same bounds and
// the same one reading as a reply (VerifyReplySignature, then CheckFieldsAgree over every
// field the program reads), so that no value the program shows or acts on differs from the
// value that was signed.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/merchant.h"
#include "protocol/reply_fields.h"

namespace quillmark {

// A notification is a few hundred bytes; a larger body is not one.
inline constexpr std::size_t kMaxNotificationBytes = 64 * 1024;

// The fields a notification is read for, by their tags.
extern const std::vector<const char*> kNotificationFields;

struct NotificationCheck {
  enum class Verdict {
    kAccepted,  // verified, this merchant's, an order of ours, paid: act on it
    kRepeat,    // the same payment again: acknowledged again, not acted on twice
    kRefused,   // anything else: answered with FAIL and `reason`
  };
  // Why one was refused.
  enum class Refusal {
    kNone,
    kTooLarge,       // larger than kMaxNotificationBytes
    kUnreadable,     // not a flat <xml> document
    kSignature,      // its sign does not verify, is missing, or a field reads two ways
    kOtherMerchant,  // verified, but another merchant's appid or mch_id
    kNotPaid,        // verified, but return_code or result_code is not SUCCESS
    kUnknownOrder,   // verified, but not about an order of ours
    kNoPayment,      // verified, but without a transaction_id
  };
  Verdict verdict = Verdict::kRefused;
  Refusal refusal = Refusal::kNone;
  std::string reason;  // kRefused: why, one line of printable ASCII
  ReplySignature signature;
  // The fields of kNotificationFields in the program's own text (GBK), from a notification
  // whose signature verified; empty otherwise.
  std::map<std::string, std::string, std::less<>> fields;

  const std::string& Field(std::string_view name) const;
  // The order it is about: its verified out_trade_no, or, where it did not verify, what it
  // claimed (to tell a forgery about one order from one about another); empty if neither.
  std::string ClaimedOrder() const;
  // Whether its sign was wrong, missing or read two ways: a forgery or a changed document,
  // as against a notification that verified but is not for us.
  bool VerificationFailed() const { return quillmark::VerificationFailed(signature.verdict); }
};

// What the merchant's side knows when a notification comes: the account it signs with, the
// orders it placed, and the payments it has already taken (by transaction_id).
struct NotificationContext {
  MerchantAccount merchant;
  // Whether `outTradeNo` is an order of ours; null: any order is.
  std::function<bool(const std::string& outTradeNo)> knownOrder;
  // Whether the payment `transactionId` was accepted before; null: none was.
  std::function<bool(const std::string& transactionId)> taken;
  // How the order `outTradeNo` was signed, which its notification is signed as; null: as
  // the merchant's settings sign.
  std::function<SignType(const std::string& outTradeNo)> signTypeOf;
};

// Reads `body` (the UTF-8 bytes as received) and judges it: refused when larger than
// kMaxNotificationBytes, not a flat document, not verified by the sign type of the order
// it names (mismatch, missing, ambiguous,
// unsigned), of another merchant's appid or mch_id, about an order that is not ours, or
// not a payment (return_code or result_code not SUCCESS); a repeat when its transaction_id
// was taken before; accepted otherwise.
NotificationCheck CheckNotification(std::string_view body, const NotificationContext& context);

// The answer the platform expects: <return_code> SUCCESS (and return_msg OK) for an
// accepted notification or a repeat, FAIL with the reason otherwise; one line of <xml>,
// every value in CDATA.
std::string NotificationAnswer(const NotificationCheck& check);

}  // namespace quillmark
