// The request checks declared in request_check.h: field rules, merchant, sign.
#include "sandbox/api/request_check.h"

#include <cstdint>
#include <cstdio>

#include "payment/field_rules.h"
#include "payment/flat_document.h"
#include "payment/merchant_config.h"
#include "payment/sign.h"

namespace quillmark::sandbox {
namespace {

CheckResult Fail(Verdict verdict, std::string message, Fields fields = {}) {
  CheckResult result;
  result.verdict = verdict;
  result.message = std::move(message);
  result.fields = std::move(fields);
  return result;
}

// What a field may hold, checked before anything is compared or signed so that no value
// of any size is kept, echoed or hashed. Free text is bounded in bytes; ids have their form.
struct FieldForm {
  const char* name;  // null: every field not named before it
  std::size_t maxBytes;
  bool (*fits)(std::string_view);    // null: any text up to maxBytes
  const char* rule;                  // the message's "must be ..." part
};

constexpr FieldForm kFieldForms[] = {
    {kFieldAppId, 18, rules::IsAppId, "18 letters or digits"},
    {kFieldMchId, 10, rules::IsMchId, "10 digits"},
    {kFieldNonceStr, 32, rules::IsNonce, "1 to 32 letters or digits"},
    {kFieldOutTradeNo, 32, rules::IsOrderNumber, "1 to 32 letters, digits or _-|*"},
    {kFieldOutRefundNo, 32, rules::IsOrderNumber, "1 to 32 letters, digits or _-|*"},
    {kFieldSign, 32, rules::IsSign, "32 hexadecimal digits"},
    {kFieldSpbillCreateIp, 15, rules::IsDottedIpv4, "a dotted-decimal IPv4 address"},
    {kFieldTotalFee, 10, rules::IsFee, "a positive whole number of cents"},
    {kFieldRefundFee, 10, rules::IsFee, "a positive whole number of cents"},
    {kFieldTradeType, 32, nullptr, nullptr},
    {kFieldBody, kMaxBodyFieldBytes, nullptr, nullptr},
    {kFieldNotifyUrl, kMaxNotifyUrlFieldBytes, nullptr, nullptr},
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
  std::string document = "<xml>";
  for (const auto& [name, value] : fields) {
    document += '<' + name + "><![CDATA[";
    std::size_t from = 0;
    for (std::size_t end; (end = value.find("]]>", from)) != std::string::npos; from = end + 2) {
      // "]]" ends one section and ">" starts the next: the reader joins them again.
      document.append(value, from, end + 2 - from);
      document += "]]><![CDATA[";
    }
    document.append(value, from, std::string::npos);
    document += "]]></" + name + '>';
  }
  document += "</xml>";
  return document;
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
  for (const RequestField& field : operation.requestFields) required.push_back(field.name);
  required.push_back(kFieldSign);
  for (const char* name : required) {
    if (Field(fields, name).empty()) {
      return Fail(Verdict::kMissingField,
                  std::string("required field ") + name + " is missing or empty", fields);
    }
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

  const std::string expected = SignOf(fields, merchant.apiKey);
  if (fields.at(kFieldSign) != expected) {
    // Computed once, for the message and for the journal alike.
    std::string signString = SignStringOf(fields, kMaskedKey);
    CheckResult result =
        Fail(Verdict::kSignMismatch,
             "sign mismatch: expected the upper-case MD5 of the UTF-8 bytes of \"" +
                 PrintableAscii(signString) + "\"",
             fields);
    result.signString = std::move(signString);
    result.expectedSign = expected;
    result.receivedSign = result.fields.at(kFieldSign);
    return result;
  }

  if (operation.makes == Operation::Makes::kOrderNumber &&
      fields.at(kFieldTradeType) != kTradeType) {
    return Fail(Verdict::kUnsupported,
                "trade_type " + PrintableAscii(fields.at(kFieldTradeType)) +
                    " is not supported; the sandbox takes NATIVE orders only",
                fields);
  }

  CheckResult result;
  result.ok = true;
  result.verdict = Verdict::kAccepted;
  result.message = "OK";
  result.fields = std::move(fields);
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
