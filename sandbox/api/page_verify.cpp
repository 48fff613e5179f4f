// The page parameters' check of page_verify.h.
#include "sandbox/api/page_verify.h"

#include <nlohmann/json.hpp>

#include "protocol/field_rules.h"
#include "protocol/sign.h"
#include "sandbox/order/order_life.h"
#include "text/printable.h"

namespace quillmark::sandbox {
namespace {

PageVerdict Refused(const char* rule, std::string message) {
  PageVerdict verdict;
  verdict.rule = rule;
  verdict.message = std::move(message);
  return verdict;
}

// `value` for a message: escaped, and cut.
std::string Shown(const std::string& value) {
  return PrintableAscii(value.size() <= 40 ? value : value.substr(0, 40) + "...");
}

}  // namespace

std::optional<PageParameters> ReadPageParameters(std::string_view body, PageVerdict& verdict) {
  const nlohmann::json json = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
  if (json.is_discarded() || !json.is_object()) {
    verdict = Refused("unreadable", "the body is not a JSON object of the page's parameters");
    return std::nullopt;
  }
  PageParameters page;
  const std::pair<const char*, std::string*> fields[] = {
      {kPageAppId, &page.appId},       {kPageTimeStamp, &page.timeStamp},
      {kPageNonceStr, &page.nonceStr}, {kPagePackage, &page.package},
      {kPageSignType, &page.signType}, {kPagePaySign, &page.paySign}};
  for (const auto& [name, value] : fields) {
    const auto it = json.find(name);
    // A page may hand timeStamp on as a number; it is signed as its digits.
    if (it != json.end() && it->is_number_unsigned() && std::string(name) == kPageTimeStamp) {
      *value = std::to_string(it->get<unsigned long long>());
    } else if (it != json.end() && it->is_string()) {
      *value = it->get<std::string>();
    }
    if (value->empty() || value->size() > 256) {
      verdict = Refused("missing-field", std::string(name) +
                                             " is missing, empty, longer than 256 bytes or not "
                                             "a string (the names are case-sensitive)");
      return std::nullopt;
    }
  }
  return page;
}

PageVerdict CheckPageParameters(const PageParameters& page, const MerchantSettings& merchant,
                                const std::optional<Order>& found, std::int64_t nowMs) {
  if (page.appId != merchant.appId) {
    return Refused("wrong-merchant", "appId " + Shown(page.appId) + " is not the merchant's");
  }
  const std::optional<SignType> type = ParseSignType(page.signType);
  if (!type) {
    return Refused("sign-type", "signType " + Shown(page.signType) +
                                    " is not a sign type the sandbox knows; use MD5 or "
                                    "HMAC-SHA256");
  }
  const std::string& stamp = page.timeStamp;
  const bool digits = stamp.find_first_not_of("0123456789") == std::string::npos;
  if (digits && stamp.size() == 13) {
    return Refused("timestamp-milliseconds",
                   "timeStamp " + stamp + " is in milliseconds; the page's is in seconds");
  }
  if (!rules::IsUnixSeconds(stamp)) {
    return Refused("timestamp-form",
                   "timeStamp " + Shown(stamp) + " must be the seconds since 1970, in digits");
  }
  const std::int64_t skew = std::stoll(stamp) - nowMs / 1000;
  if (skew > kPageClockSkewSeconds || skew < -kPageClockSkewSeconds) {
    return Refused("timestamp-skew",
                   "timeStamp " + stamp + " is " + std::to_string(skew < 0 ? -skew : skew) + " s " +
                       (skew < 0 ? "behind" : "ahead of") + " the sandbox's clock; at most " +
                       std::to_string(kPageClockSkewSeconds) + " s is taken");
  }
  if (page.package.rfind(kPackagePrefix, 0) != 0 ||
      page.package.size() == sizeof kPackagePrefix - 1) {
    return Refused("package-form",
                   "package " + Shown(page.package) + " must be prepay_id=<the order's prepay_id>");
  }
  const std::string expected = PaySignOf(page, merchant.apiKey, *type);
  if (page.paySign != expected) {
    PageVerdict verdict =
        Refused("sign-mismatch", "paySign mismatch: expected the upper-case " +
                                     SignDigestWords(*type) + " of the UTF-8 bytes of \"" +
                                     PrintableAscii(PaySignString(page, kMaskedKey)) + "\"");
    verdict.signString = PaySignString(page, kMaskedKey);
    verdict.expectedSign = expected;
    return verdict;
  }
  const std::string prepayId = page.prepayId();
  if (!found) {
    return Refused("unknown-prepay-id",
                   "prepay_id " + Shown(prepayId) + " is none of this merchant's orders");
  }
  const OrderState state = StateOf(*found);
  if (state == OrderState::kPaid || state == OrderState::kRefunded) {
    return Refused("order-paid", "the order of prepay_id " + prepayId + " is paid already");
  }
  if (state == OrderState::kClosed) {
    return Refused("order-closed", "the order of prepay_id " + prepayId + " is closed");
  }
  if (nowMs >= found->prepayUntil) {
    return Refused("prepay-id-expired", "prepay_id " + prepayId +
                                            " has expired: it is valid for 2 hours after its "
                                            "unified order; place the order again for a new one");
  }
  PageVerdict verdict;
  verdict.ok = true;
  verdict.message = "OK";
  return verdict;
}

std::string PageVerdictJson(const PageVerdict& verdict, const std::string& orderNo) {
  nlohmann::json json = {{"verdict", verdict.ok ? "pass" : "refused"},
                         {"message", verdict.message}};
  if (!verdict.ok) json["rule"] = verdict.rule;
  if (!orderNo.empty()) json["out_trade_no"] = orderNo;
  if (!verdict.signString.empty()) {
    json["sign_string"] = verdict.signString;
    json["expected_sign"] = verdict.expectedSign;
  }
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace quillmark::sandbox
