// The signatures of sign.h, with OpenSSL's MD5.
#include "payment/sign.h"

#include <openssl/evp.h>

#include <cctype>
#include <cstdio>

#include "payment/codecs.h"
#include "payment/requests.h"

namespace quillmark {

std::string SignFields(const char* data, std::size_t size) {
  // EVP_Digest gives the bytes of MD5_Init/Update/Final without OpenSSL 3's deprecation.
  unsigned char digest[EVP_MAX_MD_SIZE] = {};
  unsigned int digest_size = 0;
  if (EVP_Digest(data, size, digest, &digest_size, EVP_md5(), nullptr) != 1 || digest_size != 16) {
    return std::string();  // no MD5 provider: an empty sign, which the platform rejects
  }
  return HexEncode(std::string_view(reinterpret_cast<const char*>(digest), digest_size),
                   HexCase::kUpper);
}

std::string SignStringOf(const SignedFields& fields, std::string_view key) {
  std::string text;
  for (const auto& [name, value] : fields) {
    if (name == kFieldSign || value.empty()) continue;
    if (!text.empty()) text += '&';
    text += name;
    text += '=';
    text += value;
  }
  text += "&key=";
  text += key;
  return text;
}

std::string SignOf(const SignedFields& fields, std::string_view key) {
  const std::string text = SignStringOf(fields, key);
  return SignFields(text.data(), text.size());
}

std::string UnifiedOrderSignString(const std::string& nonce, const std::string& outTradeNo) {
  return DefaultSignString(kUnifiedOrderOperation, nonce, outTradeNo);
}

std::string OrderQuerySignString(const std::string& nonce, const std::string& outTradeNo) {
  return DefaultSignString(kOrderQueryOperation, nonce, outTradeNo);
}

}  // namespace quillmark
