// The signatures of sign.h: MD5 and HMAC-SHA256, both with OpenSSL.
#include "protocol/sign.h"

#include <openssl/evp.h>

#include <cctype>
#include <cstdio>

#include "text/codecs.h"

namespace quillmark {
namespace {

std::string UpperHex(const unsigned char* digest, std::size_t size) {
  return HexEncode(std::string_view(reinterpret_cast<const char*>(digest), size), HexCase::kUpper);
}

std::string Md5(const char* data, std::size_t size) {
  // EVP_Digest gives the bytes of MD5_Init/Update/Final without OpenSSL 3's deprecation.
  unsigned char digest[EVP_MAX_MD_SIZE] = {};
  unsigned int digestSize = 0;
  if (EVP_Digest(data, size, digest, &digestSize, EVP_md5(), nullptr) != 1 || digestSize != 16) {
    return std::string();  // no MD5 provider: an empty sign, which the platform rejects
  }
  return UpperHex(digest, digestSize);
}

std::string HmacSha256(const char* data, std::size_t size, std::string_view key) {
  // EVP_Q_mac is OpenSSL 3's one-shot MAC; HMAC() and its context are the deprecated road.
  unsigned char mac[EVP_MAX_MD_SIZE] = {};
  std::size_t macSize = 0;
  const unsigned char* done =
      EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, key.data(), key.size(),
                reinterpret_cast<const unsigned char*>(data), size, mac, sizeof mac, &macSize);
  if (done == nullptr || macSize != 32) return std::string();
  return UpperHex(mac, macSize);
}

}  // namespace

const char* SignTypeName(SignType type) {
  return type == SignType::kHmacSha256 ? "HMAC-SHA256" : "MD5";
}

std::string SignDigestWords(SignType type) {
  return type == SignType::kMd5 ? "MD5"
                                : std::string(SignTypeName(type)) + " (keyed by the merchant key)";
}

std::optional<SignType> ParseSignType(std::string_view name) {
  for (const SignType type : kSignTypes) {
    if (name == SignTypeName(type)) return type;
  }
  return std::nullopt;
}

std::string SignFields(const char* data, std::size_t size, SignType type, std::string_view key) {
  return type == SignType::kHmacSha256 ? HmacSha256(data, size, key) : Md5(data, size);
}

std::string MaskKey(std::string_view text, std::string_view key) {
  std::string masked(text);
  if (key.empty()) return masked;
  for (std::size_t at = masked.find(key); at != std::string::npos;
       at = masked.find(key, at + kMaskedKey.size())) {
    masked.replace(at, key.size(), kMaskedKey);
  }
  return masked;
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

std::string SignOf(const SignedFields& fields, std::string_view key, SignType type) {
  const std::string text = SignStringOf(fields, key);
  return SignFields(text.data(), text.size(), type, key);
}

}  // namespace quillmark
