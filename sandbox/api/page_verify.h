// The second signature: the parameter set a merchant's server signs for its JSAPI page,
// checked against the merchant's key and the order it names, as a pure function so that
// every refusal can be tested without a server.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/merchant_settings.h"
#include "protocol/page_parameters.h"
#include "sandbox/order/order_book.h"

namespace quillmark::sandbox {

// How far timeStamp may be from the sandbox's clock, either way.
inline constexpr std::int64_t kPageClockSkewSeconds = 300;

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

// Checks the set, in this order: appId the merchant's, signType known, timeStamp in seconds
// within kPageClockSkewSeconds of `nowSeconds`, package "prepay_id=<id>", paySign the sign of
// its type under the merchant's key, then the order `found` (nothing: no order of this
// merchant has that prepay_id) not paid, not closed, its prepay_id still valid at `nowMs`.
PageVerdict CheckPageParameters(const PageParameters& page, const MerchantSettings& merchant,
                                const std::optional<Order>& found, std::int64_t nowMs);

// The verdict as the JSON the endpoint answers.
std::string PageVerdictJson(const PageVerdict& verdict, const std::string& orderNo);

}  // namespace quillmark::sandbox
