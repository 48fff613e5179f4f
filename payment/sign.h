// Request signatures: the upper-case hexadecimal MD5 of a sign string, which lists the
// request's fields (all but `sign`) as name=value pairs in ascending name order, joined
// by '&', followed by "&key=" and the merchant's API key.
#pragma once

#include <cstddef>
#include <string>

namespace quillmark {

// Field names as the platform spells them; the sign strings and documents use these.
inline constexpr char kFieldAppId[] = "appid";
inline constexpr char kFieldBody[] = "body";
inline constexpr char kFieldMchId[] = "mch_id";
inline constexpr char kFieldNonceStr[] = "nonce_str";
inline constexpr char kFieldNotifyUrl[] = "notify_url";
inline constexpr char kFieldOutTradeNo[] = "out_trade_no";
inline constexpr char kFieldSpbillCreateIp[] = "spbill_create_ip";
inline constexpr char kFieldTotalFee[] = "total_fee";
inline constexpr char kFieldTradeType[] = "trade_type";

// The 32-character sign of `size` bytes at `data`: MD5 (RFC 1321), upper-case hex.
// Which bytes are digested is the caller's business (UTF-8 for the unified order).
std::string SignFields(const char* data, std::size_t size);

// The sign strings of the two requests, in GBK like the rest of the program's text.
std::string UnifiedOrderSignString(const std::string& nonce, const std::string& outTradeNo);
std::string OrderQuerySignString(const std::string& nonce, const std::string& outTradeNo);

}  // namespace quillmark
