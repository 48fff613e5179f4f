// The sandbox's request check (sandbox/api/request_check.h) on arbitrary bodies, as both kinds
// of request. The check is what every client's bytes meet first, so it must neither crash
// nor throw, and its verdict must follow from the fields alone.
//
// Beyond that, four properties:
//  - the field values it hands out are UTF-8 without control characters, like the body
//    it accepted: a character reference must not smuggle in what the body check refused,
//    and a request that refers to character zero is never accepted;
//  - what it parsed survives being written back with ReplyDocument (CDATA sections) and
//    read again, with the same verdict and message: parsing and the reply writer agree;
//  - the same fields with this merchant's ids and a freshly computed sign are accepted
//    exactly when the remaining field rules (required fields, each field's length bound
//    or form) hold, computed here independently, which takes the fuzzer past the sign
//    check that random bytes never pass;
//  - an accepted request is refused once one character of its sign changes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "protocol/flat_document.h"
#include "sandbox/api/request_check.h"

namespace {

using quillmark::MerchantSettings;
using quillmark::Operation;
using quillmark::sandbox::CheckRequest;
using quillmark::sandbox::CheckResult;
using quillmark::sandbox::Fields;

std::string Write(const Fields& fields) {
  return quillmark::sandbox::ReplyDocument(
      std::vector<std::pair<std::string, std::string>>(fields.begin(), fields.end()));
}

bool IsAsciiLetterOrDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// XML text may hold tab, line feed and carriage return among the C0 controls.
bool IsCleanText(const std::string& value) {
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') return false;
  }
  return quillmark::fuzz::DecodeUtf8(value).has_value();
}

// A carriage return, which only a character reference can deliver, turns into a line feed
// when read back from a CDATA section: such fields have no faithful CDATA form.
bool WritableAsCdata(const Fields& fields) {
  for (const auto& [name, value] : fields) {
    if (value.find('\r') != std::string::npos) return false;
  }
  return true;
}

// Whether `body` holds a character reference to U+0000 ("&#0;", "&#x00;", ...). No XML
// text may contain that character, and a reader that stores values as C strings would
// silently cut the value there, leaving the rest unsigned.
bool RefersToZero(const std::string& body) {
  for (std::size_t at = body.find("&#"); at != std::string::npos; at = body.find("&#", at + 2)) {
    std::size_t i = at + 2;
    if (i < body.size() && (body[i] == 'x' || body[i] == 'X')) ++i;
    const std::size_t digits = i;
    while (i < body.size() && body[i] == '0') ++i;
    if (i > digits && i < body.size() && body[i] == ';') return true;
  }
  return false;
}

std::string Get(const Fields& fields, const char* name) {
  const auto it = fields.find(name);
  return it == fields.end() ? std::string() : it->second;
}

// "0" to "255" without leading zeros, four times, joined by dots.
bool IsDottedQuad(const std::string& text) {
  std::vector<std::string> parts(1);
  for (const char c : text) {
    if (c == '.') {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  if (parts.size() != 4) return false;
  for (const std::string& part : parts) {
    if (part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
    for (const char c : part) {
      if (c < '0' || c > '9') return false;
    }
    if (std::stoi(part) > 255) return false;
  }
  return true;
}

bool AllLettersOrDigits(const std::string& text) {
  for (const char c : text) {
    if (!IsAsciiLetterOrDigit(c)) return false;
  }
  return true;
}

// The field rules other than the merchant's ids and the sign, from the header's contract.
// Returns false in `decided` for a total_fee with leading zeros, on which the contract is
// silent.
// The digest the fields' sign_type names: HMAC-SHA256 by that name only, MD5 otherwise
// (an unknown name breaks RulesHold).
quillmark::SignType TypeOf(const Fields& fields) {
  return Get(fields, "sign_type") == "HMAC-SHA256" ? quillmark::SignType::kHmacSha256
                                                   : quillmark::SignType::kMd5;
}

bool RulesHold(const Operation& kind, const Fields& fields, bool& decided) {
  decided = true;
  const std::vector<const char*> required =
      &kind == &quillmark::kUnifiedOrderOperation
          ? std::vector<const char*>{"appid",        "mch_id",    "nonce_str",        "body",
                                     "out_trade_no", "total_fee", "spbill_create_ip", "notify_url",
                                     "trade_type",   "sign"}
          : std::vector<const char*>{"appid", "mch_id", "nonce_str", "out_trade_no", "sign"};
  for (const char* name : required) {
    if (Get(fields, name).empty()) return false;
  }
  // Every non-empty field, required or not, has its length bound or its form.
  for (const auto& [name, value] : fields) {
    if (name.size() > 32) return false;
    if (value.empty()) continue;
    if (name == "appid" && !(value.size() == 18 && AllLettersOrDigits(value))) return false;
    if (name == "mch_id" &&
        !(value.size() == 10 && value.find_first_not_of("0123456789") == std::string::npos)) {
      return false;
    }
    if (name == "nonce_str" && !(value.size() <= 32 && AllLettersOrDigits(value))) return false;
    // 32 digits for MD5, 64 for HMAC-SHA256; which one is the sign's check.
    if (name == "sign" &&
        !((value.size() == 32 || value.size() == 64) &&
          value.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos)) {
      return false;
    }
    if (name == "sign_type" && value != "MD5" && value != "HMAC-SHA256") return false;
    if (name == "spbill_create_ip" && !IsDottedQuad(value)) return false;
    if (name == "out_trade_no") {
      if (value.size() > 32) return false;
      for (const char c : value) {
        if (!IsAsciiLetterOrDigit(c) && c != '_' && c != '-' && c != '|' && c != '*') return false;
      }
    }
    if (name == "total_fee") {
      unsigned long long number = 0;
      for (const char c : value) {
        if (c < '0' || c > '9') return false;
        if (number <= 0xFFFFFFFFull) number = number * 10 + static_cast<unsigned>(c - '0');
      }
      if (value[0] == '0') {
        decided = number == 0;  // all zeros is no positive number however it is written
        return false;
      }
      if (number < 1 || number > 0x7FFFFFFFull) return false;
    }
    const std::size_t longest = name == "trade_type" ? 32 : name == "body" ? 128 : 256;
    if (value.size() > longest) return false;
  }
  return &kind == &quillmark::kOrderQueryOperation || Get(fields, "trade_type") == "NATIVE";
}

void CheckMessage(const CheckResult& result) {
  QUILLMARK_FUZZ_CHECK(!result.message.empty());
  for (const char c : result.message) QUILLMARK_FUZZ_CHECK(c >= 0x20 && c <= 0x7e);
  QUILLMARK_FUZZ_CHECK(result.ok == (result.message == "OK"));
}

void CheckKind(const Operation& kind, const std::string& body, const MerchantSettings& merchant) {
  const CheckResult result = CheckRequest(kind, body, merchant);
  CheckMessage(result);
  if (!quillmark::IsValidUtf8(body)) {
    QUILLMARK_FUZZ_CHECK(!result.ok && result.fields.empty());
    return;
  }
  for (const auto& [name, value] : result.fields) QUILLMARK_FUZZ_CHECK(IsCleanText(value));
  if (result.ok) {
    QUILLMARK_FUZZ_CHECK(!RefersToZero(body));
    bool decided = false;
    QUILLMARK_FUZZ_CHECK(RulesHold(kind, result.fields, decided));
    QUILLMARK_FUZZ_CHECK(Get(result.fields, "appid") == merchant.appId);
    QUILLMARK_FUZZ_CHECK(Get(result.fields, "mch_id") == merchant.mchId);
    QUILLMARK_FUZZ_CHECK(Get(result.fields, "sign") ==
                         quillmark::SignOf(result.fields, merchant.apiKey, TypeOf(result.fields)));
  }
  if (result.fields.empty() || !WritableAsCdata(result.fields)) return;

  const CheckResult again = CheckRequest(kind, Write(result.fields), merchant);
  QUILLMARK_FUZZ_CHECK(again.fields == result.fields);
  QUILLMARK_FUZZ_CHECK(again.ok == result.ok);
  QUILLMARK_FUZZ_CHECK(again.message == result.message);

  Fields forged = result.fields;
  forged["appid"] = merchant.appId;
  forged["mch_id"] = merchant.mchId;
  forged["sign"] = quillmark::SignOf(forged, merchant.apiKey, TypeOf(forged));
  const CheckResult signedResult = CheckRequest(kind, Write(forged), merchant);
  CheckMessage(signedResult);
  bool decided = false;
  const bool expected = RulesHold(kind, forged, decided);
  if (decided) QUILLMARK_FUZZ_CHECK(signedResult.ok == expected);
  if (!signedResult.ok) return;

  Fields tampered = forged;
  char& first = tampered["sign"][0];
  first = first == '0' ? '1' : '0';
  QUILLMARK_FUZZ_CHECK(!CheckRequest(kind, Write(tampered), merchant).ok);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const MerchantSettings merchant = MerchantSettings::Defaults();
  const std::string body(reinterpret_cast<const char*>(data), size);
  // The independent UTF-8 reader and the sandbox's must agree on every input.
  QUILLMARK_FUZZ_CHECK(quillmark::IsValidUtf8(body) ==
                       quillmark::fuzz::DecodeUtf8(body).has_value());
  CheckKind(quillmark::kUnifiedOrderOperation, body, merchant);
  CheckKind(quillmark::kOrderQueryOperation, body, merchant);
  return 0;
}
