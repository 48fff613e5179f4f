// The second signature: the parameter set a merchant's server signs for its JSAPI page,
// checked against the merchant's key and the order it names, as a pure function so that
// every refusal can be tested without a server.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/merchant_settings.h"
#include "sandbox/order/order_book.h"

namespace quillmark::sandbox {

// Where the check is served, and the names of the set's fields, as a page hands them on.
inline constexpr char kPageVerifyPath[] = "/pay/page/verify";
inline constexpr char kPageAppId[] = "appId";
inline constexpr char kPageTimeStamp[] = "timeStamp";
inline constexpr char kPageNonceStr[] = "nonceStr";
inline constexpr char kPagePackage[] = "package";
inline constexpr char kPageSignType[] = "signType";
inline constexpr char kPagePaySign[] = "paySign";
// package is "prepay_id=" and the order's prepay_id.
inline constexpr char kPackagePrefix[] = "prepay_id=";
// How far timeStamp may be from the sandbox's clock, either way.
inline constexpr std::int64_t kPageClockSkewSeconds = 300;

// The set as read, before anything is checked against an order.
struct PageParameters {
  std::string appId, timeStamp, nonceStr, package, signType, paySign;
  std::string prepayId() const { return package.substr(sizeof kPackagePrefix - 1); }
};

struct PageVerdict {
  bool ok = false;
  // The rule that failed ("" when it passed): "unreadable", "missing-field", "wrong-merchant",
  // "sign-type", "timestamp-milliseconds", "timestamp-form", "timestamp-skew",
  // "package-form", "sign-mismatch", "unknown-prepay-id", "order-paid", "order-closed",
  // "prepay-id-expired".
  std::string rule;
  std::string message;  // printable ASCII English
  // For "sign-mismatch": the sign string with the key masked and the sign expected.
  std::string signString;
  std::string expectedSign;
};

// Reads `body`, a JSON object of the six fields, each a string (timeStamp may also be a
// number); on failure `verdict` says why and nothing is returned.
std::optional<PageParameters> ReadPageParameters(std::string_view body, PageVerdict& verdict);

// The sign string of the set (its five signed fields by name, then &key=`key`) and its
// paySign of `type`.
std::string PaySignString(const PageParameters& page, std::string_view key);

// Checks the set, in this order: appId the merchant's, signType known, timeStamp in seconds
// within kPageClockSkewSeconds of `nowSeconds`, package "prepay_id=<id>", paySign the sign of
// its type under the merchant's key, then the order `found` (nothing: no order of this
// merchant has that prepay_id) not paid, not closed, its prepay_id still valid at `nowMs`.
PageVerdict CheckPageParameters(const PageParameters& page, const MerchantSettings& merchant,
                                const std::optional<Order>& found, std::int64_t nowMs);

// The verdict as the JSON the endpoint answers.
std::string PageVerdictJson(const PageVerdict& verdict, const std::string& orderNo);

}  // namespace quillmark::sandbox
