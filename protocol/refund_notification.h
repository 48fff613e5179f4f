// The refund notification, made and read in one place for the sandbox that sends it and
// the client's listener that receives it. Unlike the payment notification it carries no
// sign: its outer document holds return_code and return_msg, and on SUCCESS the merchant's
// ids, a nonce and req_info, the refund's own document encrypted under a key made from the
// merchant's API key. Decrypting it under that key is the proof that it is the platform's.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/flat_document.h"
#include "protocol/sign.h"

namespace quillmark {

// The fields of the decrypted req_info, as the platform spells them (refund_recv_accout
// included).
inline constexpr char kFieldSettlementTotalFee[] = "settlement_total_fee";
inline constexpr char kFieldSettlementRefundFee[] = "settlement_refund_fee";
inline constexpr char kFieldRefundStatus[] = "refund_status";
inline constexpr char kFieldSuccessTime[] = "success_time";
inline constexpr char kFieldRefundRecvAccout[] = "refund_recv_accout";
inline constexpr char kFieldRefundAccount[] = "refund_account";
inline constexpr char kFieldRefundRequestSource[] = "refund_request_source";
inline constexpr char kFieldReqInfo[] = "req_info";
// The root element of the decrypted req_info: not <xml>, where handlers that reuse their
// payment reader go wrong.
inline constexpr char kRefundInfoRoot[] = "root";

// A refund's final statuses, as its notification names them.
inline constexpr char kRefundSuccess[] = "SUCCESS";
inline constexpr char kRefundChange[] = "CHANGE";
inline constexpr char kRefundClosed[] = "REFUNDCLOSE";

// What req_info reports of one refund. Amounts in fen.
struct RefundInfo {
  std::string transactionId;
  std::string outTradeNo;
  std::string refundId;
  std::string outRefundNo;
  long long totalFee = 0;
  long long settlementTotalFee = 0;
  long long refundFee = 0;
  long long settlementRefundFee = 0;
  std::string refundStatus;  // kRefundSuccess, kRefundChange or kRefundClosed
  std::string successTime;   // "yyyy-MM-dd HH:mm:ss", platform time; "" unless SUCCESS
  std::string refundRecvAccout;
  std::string refundAccount;
  std::string refundRequestSource;
};

// The fields of `info` in document order; success_time is left out when it is empty.
std::vector<std::pair<std::string, std::string>> RefundInfoFields(const RefundInfo& info);
// `info` as the <root> document that req_info encrypts, every value in CDATA.
std::string RefundInfoDocument(const RefundInfo& info);

// The AES-256 key of req_info: the lower-case hexadecimal MD5 of the API key, whose 32
// characters are themselves the 32 key bytes (not the 16 bytes of the digest).
std::string RefundKey(std::string_view apiKey);
// `plaintext` encrypted with AES-256-ECB under RefundKey(apiKey), PKCS#7 padded, in
// base64 on one line. "" when OpenSSL cannot (no AES provider).
std::string EncryptReqInfo(std::string_view plaintext, std::string_view apiKey);

// `blocks`, whole AES blocks, encrypted under RefundKey(apiKey) as they are, without
// padding, in base64: what a sender that forgot the padding sends. "" when `blocks` are
// not whole blocks.
std::string EncryptUnpadded(std::string_view blocks, std::string_view apiKey);

// Why a refund notification could not be read; each has its own words (RefundFaultWords),
// which a listener answers FAIL with.
enum class RefundFault {
  kNone,
  kNotXml,           // the outer document is not a flat <xml> document
  kFailWithoutInfo,  // return_code is not SUCCESS, so there is no req_info to act on
  kNoReqInfo,        // SUCCESS, but req_info is missing or empty
  kNotBase64,        // req_info is not base64
  kBadLength,        // its bytes are not whole AES blocks, or do not decrypt
  kBadPadding,       // it decrypts, but its PKCS#7 padding is wrong: another key, or altered
  kNotRootDocument,  // its plaintext is not a flat <root> document
};

const char* RefundFaultName(RefundFault fault);  // "not-base64", ...

// Decrypts `reqInfo` under RefundKey(apiKey) into `plaintext`; kNone, or the first of
// kNotBase64, kBadLength, kBadPadding that applies.
RefundFault DecryptReqInfo(std::string_view reqInfo, std::string_view apiKey,
                           std::string& plaintext);

// A refund notification as read: the outer fields, the decrypted document and its fields.
struct ReadRefund {
  RefundFault fault = RefundFault::kNotXml;
  std::string why;        // one line of printable ASCII; "" when fault is kNone
  SignedFields outer;     // the outer document's fields, when it was readable
  std::string plaintext;  // the decrypted req_info, when it decrypted
  SignedFields info;      // its fields, when it is a <root> document
};

// Reads a refund notification `body` (UTF-8) as received: the outer document, then, when
// return_code is SUCCESS, its req_info decrypted under the merchant's `apiKey`. Checks no
// more than that: whether it is for this merchant and a refund the reader knows is the
// reader's to decide. Never throws.
ReadRefund ReadRefundNotification(std::string_view body, std::string_view apiKey);

// The outer document of a SUCCESS notification of `info`: return_code, return_msg "OK",
// appid, mch_id, nonce_str and req_info, with no sign.
std::string RefundNotificationDocument(const RefundInfo& info, std::string_view appId,
                                       std::string_view mchId, std::string_view nonce,
                                       std::string_view apiKey);

}  // namespace quillmark
