// The request checks declared in request_check.h: field rules, merchant, sign.
#include "sandbox/api/request_check.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>

#include <nlohmann/json.hpp>

#include "config/merchant_config.h"
#include "protocol/field_rules.h"
#include "protocol/flat_document.h"
#include "protocol/sign.h"

namespace quillmark::sandbox {
namespace {

CheckResult Fail(Verdict verdict, std::string message, Fields fields = {}) {
  CheckResult result;
  result.verdict = verdict;
  result.message = std::move(message);
  result.fields = std::move(fields);
  return result;
}

// A sign of either type: which one it must be is the sign's check, so that a sign of the
// other type is refused as a mismatch that says so, not as a malformed field.
bool IsSignOfEitherType(std::string_view text) {
  return rules::IsSign(text) ||
         (text.size() == 64 && rules::IsSign(text.substr(0, 32)) && rules::IsSign(text.substr(32)));
}

// A JSON object: scene_info and detail. Read by accept(), which builds nothing, so that
// no nesting of any depth costs more than its bytes.
bool IsJsonObject(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  return first != std::string_view::npos && text[first] == '{' &&
         nlohmann::json::accept(text.begin(), text.end());
}

bool IsSceneInfo(std::string_view text) {
  return text.size() <= kMaxSceneInfoBytes && IsJsonObject(text);
}
bool IsDetail(std::string_view text) { return text.size() <= 6000 && IsJsonObject(text); }

bool IsDeviceInfo(std::string_view text) {
  for (const char c : text) {
    const bool letterOrDigit =
        (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letterOrDigit && c != '-' && c != '_') return false;
  }
  return text.size() <= 32;
}

bool IsLimitPay(std::string_view text) { return text == "no_credit"; }
bool IsTradeTime(std::string_view text) { return rules::IsPlatformTimestamp(text); }

// What a field may hold, checked before anything is compared or signed so that no value
// of any size is kept, echoed or hashed. Free text is bounded in bytes; ids have their form.
struct FieldForm {
  const char* name;  // null: every field not named before it
  std::size_t maxBytes;
  bool (*fits)(std::string_view);  // null: any text up to maxBytes
  const char* rule;                // the message's "must be ..." part
};

constexpr FieldForm kFieldForms[] = {
    {kFieldAppId, 18, rules::IsAppId, "18 letters or digits"},
    {kFieldMchId, 10, rules::IsMchId, "10 digits"},
    {kFieldNonceStr, 32, rules::IsNonce, "1 to 32 letters or digits"},
    {kFieldOutTradeNo, 32, rules::IsOrderNumber, "1 to 32 letters, digits or _-|*"},
    {kFieldOutRefundNo, 32, rules::IsOrderNumber, "1 to 32 letters, digits or _-|*"},
    {kFieldTransactionId, 32, rules::IsPlatformId, "1 to 32 digits"},
    {kFieldRefundId, 32, rules::IsPlatformId, "1 to 32 digits"},
    {kFieldSign, 64, IsSignOfEitherType, "32 hexadecimal digits (MD5) or 64 (HMAC-SHA256)"},
    {kFieldSignType, 32, nullptr, nullptr},
    {kFieldSpbillCreateIp, 15, rules::IsDottedIpv4, "a dotted-decimal IPv4 address"},
    {kFieldTotalFee, 10, rules::IsFee, "a positive whole number of cents"},
    {kFieldRefundFee, 10, rules::IsFee, "a positive whole number of cents"},
    {kFieldTradeType, 32, nullptr, nullptr},
    {kFieldBody, kMaxBodyFieldBytes, nullptr, nullptr},
    {kFieldNotifyUrl, kMaxNotifyUrlFieldBytes, nullptr, nullptr},
    {kFieldOpenId, 28, rules::IsOpenId, "28 letters, digits, - or _"},
    {kFieldSceneInfo, kMaxSceneInfoBytes, IsSceneInfo, "a JSON object of at most 512 bytes"},
    {kFieldAttach, 127, nullptr, nullptr},
    {kFieldDeviceInfo, 32, IsDeviceInfo, "at most 32 letters, digits, - or _"},
    {kFieldDetail, 6000, IsDetail, "a JSON object of at most 6000 bytes"},
    {kFieldGoodsTag, 32, nullptr, nullptr},
    {kFieldTimeStart, 14, IsTradeTime, "a time yyyyMMddHHmmss"},
    {kFieldTimeExpire, 14, IsTradeTime, "a time yyyyMMddHHmmss"},
    {kFieldLimitPay, 32, IsLimitPay, "no_credit"},
    // A till's: the code's own form is micropay's to refuse, as the platform does, with a
    // business answer; here only its length.
    {kFieldAuthCode, 32, nullptr, nullptr},
    {nullptr, kMaxOtherFieldBytes, nullptr, nullptr},
};

constexpr std::size_t kShownValueBytes = 40;

// `value` for a message: escaped, and cut after kShownValueBytes bytes.
std::string Shown(const std::string& value) {
  if (value.size() <= kShownValueBytes) return PrintableAscii(value);
  return PrintableAscii(value.substr(0, kShownValueBytes)) + "...";
}

// Why a field breaks its form, or empty when none does. Empty values are left to the
// required-field check: an empty optional field counts as absent.
std::string FormProblem(const Fields& fields) {
  for (const auto& [name, value] : fields) {
    if (name.size() > kMaxFieldNameBytes) {
      return "field name " + Shown(name) + " is longer than " + std::to_string(kMaxFieldNameBytes) +
             " bytes";
    }
    if (value.empty()) continue;
    const FieldForm* form = kFieldForms;
    while (form->name && name != form->name) ++form;
    if (value.size() > form->maxBytes && !form->fits) {
      return PrintableAscii(name) + " is longer than " + std::to_string(form->maxBytes) + " bytes";
    }
    if (form->fits && !form->fits(value)) {
      return name + " must be " + form->rule + ", got " + Shown(value);
    }
  }
  return "";
}

std::string Field(const Fields& fields, const char* name) {
  const auto it = fields.find(name);
  return it == fields.end() ? std::string() : it->second;
}

// What a unified order's trade type asks for besides the fields every order has: "" when
// it has it, else why not. A time_expire before time_start is refused too: such an order
// could never be paid.
std::string TradeTypeProblem(const Fields& fields, Verdict& verdict) {
  const std::string type = fields.at(kFieldTradeType);
  verdict = Verdict::kUnsupported;
  const char* needs = nullptr;
  if (type == kTradeTypeJsapi) {
    needs = kFieldOpenId;
  } else if (type == kTradeTypeMweb) {
    needs = kFieldSceneInfo;
  } else if (type != kTradeTypeNative && type != kTradeTypeApp) {
    return "trade_type " + PrintableAscii(type) +
           " is not supported; use NATIVE, JSAPI, MWEB or APP";
  }
  verdict = Verdict::kMissingField;
  if (needs && Field(fields, needs).empty()) {
    return std::string("required field ") + needs + " is missing or empty (a " + type +
           " order names it)";
  }
  const std::string start = Field(fields, kFieldTimeStart);
  const std::string expire = Field(fields, kFieldTimeExpire);
  verdict = Verdict::kBadField;
  if (!start.empty() && !expire.empty() && expire <= start) {
    return "time_expire " + expire + " must be later than time_start " + start;
  }
  return "";
}

// Why the sign of a request of `type` is not the one expected: when it is the sign of the
// other type, the merchant signed with the wrong digest, and the message says which.
CheckResult SignMismatch(SignType type, Fields fields, const MerchantSettings& merchant) {
  const std::string& received = fields.at(kFieldSign);
  std::string why;
  for (const SignType other : kSignTypes) {
    if (other == type || received != SignOf(fields, merchant.apiKey, other)) continue;
    why =
        (type == SignType::kMd5 ? std::string("the request names no sign_type, so MD5")
                                : std::string("the request's sign_type is ") + SignTypeName(type)) +
        "; the sign is the " + SignTypeName(other) + " of the sign string; ";
  }
  // Computed once, for the message and for the journal alike.
  std::string signString = SignStringOf(fields, kMaskedKey);
  const std::string digest = type == SignType::kMd5
                                 ? "MD5"
                                 : std::string(SignTypeName(type)) + ", keyed by the merchant key,";
  CheckResult result = Fail(Verdict::kSignMismatch,
                            "sign mismatch: " + why + "expected the upper-case " + digest +
                                " of the UTF-8 bytes of \"" + PrintableAscii(signString) + "\"",
                            std::move(fields));
  result.signString = std::move(signString);
  result.expectedSign = SignOf(result.fields, merchant.apiKey, type);
  result.receivedSign = result.fields.at(kFieldSign);
  result.signType = SignTypeName(type);
  result.signTypeValue = type;
  return result;
}

}  // namespace

const char* VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kAccepted:
      return "accepted";
    case Verdict::kUnreadable:
      return "unreadable";
    case Verdict::kMissingField:
      return "missing-field";
    case Verdict::kBadField:
      return "bad-field";
    case Verdict::kWrongMerchant:
      return "wrong-merchant";
    case Verdict::kSignMismatch:
      return "sign-mismatch";
    case Verdict::kUnsupported:
      return "unsupported";
  }
  return "unreadable";
}

const std::vector<Verdict>& AllVerdicts() {
  static const std::vector<Verdict> all = {
      Verdict::kAccepted,      Verdict::kUnreadable,   Verdict::kMissingField, Verdict::kBadField,
      Verdict::kWrongMerchant, Verdict::kSignMismatch, Verdict::kUnsupported};
  return all;
}

std::string ReplyDocument(const std::vector<std::pair<std::string, std::string>>& fields) {
  return CdataDocument(fields);
}

CheckResult CheckRequest(const Operation& operation, std::string_view body,
                         const MerchantSettings& merchant) {
  if (body.empty())
    return Fail(Verdict::kUnreadable, "empty request body; expected an <xml> document");
  if (!IsValidUtf8(body))
    return Fail(Verdict::kUnreadable, "request body is not valid UTF-8 (send UTF-8 bytes)");
  if (HasForbiddenControl(body)) {
    return Fail(Verdict::kUnreadable,
                "malformed XML: control character (such as a zero byte) in the request");
  }

  Fields fields;
  std::string error;
  if (!ReadFlatDocument(body, fields, error)) return Fail(Verdict::kUnreadable, error);

  std::vector<const char*> required;
  for (const RequestField& field : operation.requestFields) {
    if (!field.omittedWhenEmpty) required.push_back(field.name);
  }
  required.push_back(kFieldSign);
  for (const char* name : required) {
    if (Field(fields, name).empty()) {
      return Fail(Verdict::kMissingField,
                  std::string("required field ") + name + " is missing or empty", fields);
    }
  }
  std::string alternatives;
  bool givenOne = false;
  for (const RequestField& field : operation.requestFields) {
    if (!field.alternative) continue;
    alternatives += (alternatives.empty() ? "" : ", ") + std::string(field.name);
    givenOne = givenOne || !Field(fields, field.name).empty();
  }
  if (!alternatives.empty() && !givenOne) {
    return Fail(Verdict::kMissingField, "one of " + alternatives + " is required", fields);
  }
  const std::string problem = FormProblem(fields);
  if (!problem.empty()) return Fail(Verdict::kBadField, problem, fields);
  if (fields.at(kFieldAppId) != merchant.appId) {
    return Fail(Verdict::kWrongMerchant, "unknown appid " + PrintableAscii(fields.at(kFieldAppId)),
                fields);
  }
  if (fields.at(kFieldMchId) != merchant.mchId) {
    return Fail(Verdict::kWrongMerchant, "unknown mch_id " + PrintableAscii(fields.at(kFieldMchId)),
                fields);
  }

  const std::string named = Field(fields, kFieldSignType);
  const std::optional<SignType> type = named.empty() ? SignType::kMd5 : ParseSignType(named);
  if (!type) {
    CheckResult result = Fail(Verdict::kBadField,
                              "sign_type " + Shown(named) +
                                  " is not a sign type the sandbox knows; use MD5 or HMAC-SHA256",
                              fields);
    result.signType = Shown(named);
    return result;
  }
  const std::string expected = SignOf(fields, merchant.apiKey, *type);
  if (fields.at(kFieldSign) != expected) return SignMismatch(*type, std::move(fields), merchant);

  const bool namesTradeType = std::any_of(
      operation.requestFields.begin(), operation.requestFields.end(),
      [](const RequestField& field) { return std::string_view(field.name) == kFieldTradeType; });
  if (operation.makes == Operation::Makes::kOrderNumber && namesTradeType) {
    Verdict verdict = Verdict::kAccepted;
    const std::string typeProblem = TradeTypeProblem(fields, verdict);
    if (!typeProblem.empty()) return Fail(verdict, typeProblem, fields);
  }

  CheckResult result;
  result.ok = true;
  result.verdict = Verdict::kAccepted;
  result.message = "OK";
  result.fields = std::move(fields);
  result.signType = SignTypeName(*type);
  result.signTypeValue = *type;
  return result;
}

std::mt19937_64 SeededRandom() {
  std::random_device seed;
  return std::mt19937_64((static_cast<std::uint64_t>(seed()) << 32) ^ seed());
}

std::string RandomNonce(std::mt19937_64& random) {
  static constexpr char kAlphabet[] =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kAlphabet - 2);
  std::string nonce(32, '0');
  for (char& c : nonce) c = kAlphabet[pick(random)];
  return nonce;
}

}  // namespace quillmark::sandbox
