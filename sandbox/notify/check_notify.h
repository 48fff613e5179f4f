// quillmark-sandbox check-notify URL: what a merchant's own notification handler answers to
// the notifications it must take and to those it must refuse. A made-up paid order is
// notified to URL, genuinely and then again, and in every way a forger or a broken sender
// would try; each answer is judged as the platform judges acknowledgements.
#pragma once

#include <chrono>
#include <iosfwd>
#include <string>
#include <vector>

#include "config/merchant_settings.h"
#include "sandbox/notify/notifier.h"

namespace quillmark::sandbox {

struct NotifyCase {
  const char* name;
  std::string body;
  bool acknowledge;  // what a correct handler does with it
  // A handler may also refuse it by not reading it: closing the connection is right too.
  bool mayCutOff = false;
  // What a handler that answers it wrongly most likely does; null: nothing more to say.
  const char* whyWrong = nullptr;
};

// The case of a genuine couponed payment with a field no merchant knows yet.
inline constexpr char kCouponCaseName[] = "coupons and an unknown extra field";

// The cases for `order` (its notifyUrl unused), as `merchant` signs by the order's sign type:
// a genuine notification and its duplicate, which must be acknowledged; a forged sign, the
// amount changed after signing, no sign, another merchant's appid and mch_id (signed as
// they would be), a malformed document and an oversized one, which must not; for an order
// of HMAC-SHA256, also one signed with MD5, which must not either; last, the same payment
// paid partly with a coupon and carrying a field no merchant knows (kCouponCaseName), which
// must be acknowledged.
std::vector<NotifyCase> NotifyCases(const PaidOrder& order, const MerchantSettings& merchant,
                                    const std::string& nonce);

// The made-up order the cases are about, unless the merchant names one of theirs, placed
// with `signType`.
PaidOrder MadeUpPaidOrder(const std::string& outTradeNo, SignType signType = SignType::kMd5);

// The cases of a refund handler (check-notify --refund), for a made-up refund of `order`:
// a genuine refund notification and its duplicate, which must be acknowledged; req_info
// encrypted under another key, cut short, with bad padding, or altered; a signed payment
// notification sent to the refund URL; a FAIL return_code without req_info, which must not.
std::vector<NotifyCase> RefundNotifyCases(const PaidOrder& order, const MerchantSettings& merchant,
                                          const std::string& nonce);

struct CheckNotifyOptions {
  std::string url;
  MerchantSettings merchant;
  std::string outTradeNo;  // empty: the made-up order's
  std::string caFile;      // for an https URL; empty: the system's store
  // How long one case waits for its answer, from the connection on.
  std::chrono::milliseconds timeout{10'000};
  // --sign-type: how the notifications are signed, over the settings' sign_type; empty:
  // as merchant.signType says.
  std::string signType{};
  // --refund: a refund handler's cases (RefundNotifyCases) instead of a payment handler's.
  bool refund = false;
};

// Sends every case to the URL, one POST each, and prints a table of what the handler
// answered and whether that was right. A handler that gives one case no answer within the
// timeout is not sent the rest: each is listed as not tried, so that a handler that never
// answers costs one timeout, not one per case. 0 when every answer was right, 1 otherwise.
int CheckNotify(const CheckNotifyOptions& options, std::ostream& out);

}  // namespace quillmark::sandbox
