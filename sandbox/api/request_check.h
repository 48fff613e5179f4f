// What the sandbox checks in a request body, as pure functions: no server, no I/O, no
// state, so that they can be unit-tested and fuzzed on their own.
#pragma once

#include <cstddef>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/merchant_settings.h"
#include "protocol/field_rules.h"
#include "protocol/operation.h"
#include "protocol/sign.h"

namespace quillmark::sandbox {

// Request fields by name; std::map orders names byte by byte, as the sign string wants.
using Fields = SignedFields;

// What the check found, by kind: the journal files every request under one of these, so
// that a merchant can list, say, every request whose signature did not verify.
enum class Verdict {
  kAccepted,       // every check passed
  kUnreadable,     // empty, not UTF-8, a control character, or not a flat <xml> document
  kMissingField,   // a field the operation needs, or the sign, is missing or empty
  kBadField,       // a field breaks its form or length
  kWrongMerchant,  // appid or mch_id is not the merchant's
  kSignMismatch,   // the sign is not the one the merchant's key gives
  kUnsupported,    // well formed and signed, but not something the sandbox serves
};

// "accepted", "unreadable", "missing-field", "bad-field", "wrong-merchant",
// "sign-mismatch", "unsupported": the names the journal and its filter use.
const char* VerdictName(Verdict verdict);
// Every verdict, kAccepted first.
const std::vector<Verdict>& AllVerdicts();

struct CheckResult {
  bool ok = false;
  Verdict verdict = Verdict::kUnreadable;
  // One line of printable ASCII English for the reply's return_msg: "OK", or what is wrong.
  std::string message;
  // The parsed fields, also when a later check failed; empty when the body is not UTF-8
  // or not a well-formed flat document.
  Fields fields;
  // Set for kSignMismatch only: the sign string the sandbox signed, with the key masked,
  // the sign it expected and the sign it got, for a merchant to compare with their own.
  std::string signString;
  std::string expectedSign;
  std::string receivedSign;
  // The sign type the request named, for the journal: "MD5" when it named none, the name
  // (escaped) when the sandbox knows no such type; empty when the check did not get that
  // far. The type replies to it are signed with, once it is known.
  std::string signType;
  SignType signTypeValue = SignType::kMd5;
};

// The most bytes a free-text field may hold: an order keeps body and notify_url, so these
// bound what an order costs. Every other field without a fixed form (attach, and any the
// sandbox does not know) is bounded by kMaxOtherFieldBytes.
constexpr std::size_t kMaxBodyFieldBytes = 128;
constexpr std::size_t kMaxNotifyUrlFieldBytes = rules::kMaxUrlBytes;
constexpr std::size_t kMaxOtherFieldBytes = 256;
constexpr std::size_t kMaxFieldNameBytes = 32;
constexpr std::size_t kMaxSceneInfoBytes = 512;

// The trade types the unified order takes.
inline constexpr char kTradeTypeNative[] = "NATIVE";
inline constexpr char kTradeTypeJsapi[] = "JSAPI";
inline constexpr char kTradeTypeMweb[] = "MWEB";
inline constexpr char kTradeTypeApp[] = "APP";
// And the till's code payment's, which micropay places (no unified order takes it).
inline constexpr char kTradeTypeMicropay[] = "MICROPAY";

// Checks one request body, in this order: valid UTF-8 without control characters, a
// well-formed document whose root is `xml` with flat, uniquely named child elements
// (values as text, CDATA or both), the fields `operation` declares and the sign present
// and non-empty,
// every field name at most kMaxFieldNameBytes, every non-empty field of its form (appid 18 letters
// or digits, mch_id 10 digits, nonce_str 1 to 32 letters or digits, out_trade_no 1 to 32 letters,
// digits or "_-|*", sign 32 or 64 hexadecimal digits, spbill_create_ip a dotted-decimal IPv4
// address, total_fee a positive decimal integer that fits in 32 bits without leading zeros,
// trade_type at most 32 bytes, openid 28 letters, digits, - or _, scene_info and detail JSON
// objects (512 and 6000 bytes at most), attach at most 127 bytes, device_info at most 32
// letters, digits, - or _, goods_tag at most 32 bytes, time_start and time_expire
// yyyyMMddHHmmss, limit_pay no_credit, body and notify_url and the rest at most the bytes
// above; the first field in name order that breaks its form is named), appid and mch_id
// those of `merchant`, sign_type absent (MD5) or a known type, the sign equal to
// SignOf(fields, apiKey, type), and, for a unified order, trade_type NATIVE, JSAPI (with
// openid), MWEB (with scene_info) or APP, and time_expire after time_start. Never throws for
// any input.
CheckResult CheckRequest(const Operation& operation, std::string_view body,
                         const MerchantSettings& merchant);

// A reply document on one line: <xml>, then each field as <name><![CDATA[value]]></name>
// in the given order, then </xml>. A "]]>" inside a value is split over two sections so
// that the value survives intact.
std::string ReplyDocument(const std::vector<std::pair<std::string, std::string>>& fields);

// A generator seeded from the system's entropy, for nonces and ids.
std::mt19937_64 SeededRandom();
// A fresh nonce_str: 32 letters and digits drawn from `random`.
std::string RandomNonce(std::mt19937_64& random);

}  // namespace quillmark::sandbox
