// The refund notification's documents and its req_info cipher, with OpenSSL's EVP.
#include "protocol/refund_notification.h"

#include <openssl/evp.h>

#include <memory>

#include "protocol/fields.h"
#include "protocol/flat_document.h"
#include "text/codecs.h"

namespace quillmark {
namespace {

constexpr std::size_t kBlock = 16;  // AES's block, whatever the key's size

struct CipherFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using Cipher = std::unique_ptr<EVP_CIPHER_CTX, CipherFree>;

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict: whole quads of the standard alphabet, '=' only as the last one or two
// characters. OpenSSL's block decoder passes over spaces and keeps the padding's zero
// bytes, so a req_info a handler could not read would read here.
bool DecodeBase64(std::string_view text, std::string& bytes) {
  if (text.empty() || text.size() % 4 != 0) return false;
  std::size_t padding = 0;
  if (text.back() == '=') ++padding;
  if (text.size() >= 2 && text[text.size() - 2] == '=') ++padding;
  bytes.clear();
  for (std::size_t at = 0; at < text.size(); at += 4) {
    unsigned long quad = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      const bool pad = at + i >= text.size() - padding;
      const int value = pad && text[at + i] == '=' ? 0 : Base64Value(text[at + i]);
      if (value < 0) return false;
      quad = quad << 6 | static_cast<unsigned long>(value);
    }
    bytes += static_cast<char>(quad >> 16 & 0xff);
    bytes += static_cast<char>(quad >> 8 & 0xff);
    bytes += static_cast<char>(quad & 0xff);
  }
  bytes.resize(bytes.size() - padding);
  return true;
}

std::string EncodeBase64(std::string_view bytes) {
  std::string text;
  for (std::size_t at = 0; at < bytes.size(); at += 3) {
    const std::size_t left = bytes.size() - at;
    unsigned long triple = static_cast<unsigned long>(static_cast<unsigned char>(bytes[at])) << 16;
    if (left > 1)
      triple |= static_cast<unsigned long>(static_cast<unsigned char>(bytes[at + 1])) << 8;
    if (left > 2) triple |= static_cast<unsigned char>(bytes[at + 2]);
    text += kBase64[triple >> 18 & 63];
    text += kBase64[triple >> 12 & 63];
    text += left > 1 ? kBase64[triple >> 6 & 63] : '=';
    text += left > 2 ? kBase64[triple & 63] : '=';
  }
  return text;
}

// AES-256-ECB over whole blocks, without OpenSSL's padding: the padding is checked here,
// so that a wrong key (which almost always unpads badly) is told from a cut message.
bool Aes256Ecb(bool encrypt, std::string_view key, std::string_view in, std::string& out) {
  Cipher context(EVP_CIPHER_CTX_new());
  if (!context || key.size() != 32 ||
      EVP_CipherInit_ex(context.get(), EVP_aes_256_ecb(), nullptr,
                        reinterpret_cast<const unsigned char*>(key.data()), nullptr,
                        encrypt ? 1 : 0) != 1 ||
      EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1) {
    return false;
  }
  out.assign(in.size() + kBlock, '\0');
  int written = 0;
  int last = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(out.data());
  if (EVP_CipherUpdate(context.get(), bytes, &written,
                       reinterpret_cast<const unsigned char*>(in.data()),
                       static_cast<int>(in.size())) != 1 ||
      EVP_CipherFinal_ex(context.get(), bytes + written, &last) != 1) {
    return false;
  }
  out.resize(static_cast<std::size_t>(written + last));
  return true;
}

ReadRefund Faulted(ReadRefund read, RefundFault fault, std::string why) {
  read.fault = fault;
  read.why = std::move(why);
  return read;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> RefundInfoFields(const RefundInfo& info) {
  std::vector<std::pair<std::string, std::string>> fields = {
      {kFieldTransactionId, info.transactionId},
      {kFieldOutTradeNo, info.outTradeNo},
      {kFieldRefundId, info.refundId},
      {kFieldOutRefundNo, info.outRefundNo},
      {kFieldTotalFee, std::to_string(info.totalFee)},
      {kFieldSettlementTotalFee, std::to_string(info.settlementTotalFee)},
      {kFieldRefundFee, std::to_string(info.refundFee)},
      {kFieldSettlementRefundFee, std::to_string(info.settlementRefundFee)},
      {kFieldRefundStatus, info.refundStatus},
      {kFieldSuccessTime, info.successTime},
      {kFieldRefundRecvAccout, info.refundRecvAccout},
      {kFieldRefundAccount, info.refundAccount},
      {kFieldRefundRequestSource, info.refundRequestSource},
  };
  // A refund that did not succeed has no time of success.
  if (info.successTime.empty()) {
    fields.erase(fields.begin() + 9);
  }
  return fields;
}

std::string RefundInfoDocument(const RefundInfo& info) {
  return CdataDocument(RefundInfoFields(info), kRefundInfoRoot);
}

std::string RefundKey(std::string_view apiKey) {
  unsigned char digest[EVP_MAX_MD_SIZE] = {};
  unsigned int size = 0;
  if (EVP_Digest(apiKey.data(), apiKey.size(), digest, &size, EVP_md5(), nullptr) != 1 ||
      size != 16) {
    return std::string();
  }
  return HexEncode(std::string_view(reinterpret_cast<const char*>(digest), size), HexCase::kLower);
}

std::string EncryptReqInfo(std::string_view plaintext, std::string_view apiKey) {
  std::string padded(plaintext);
  const std::size_t pad = kBlock - plaintext.size() % kBlock;  // 1..16: a whole block if none
  padded.append(pad, static_cast<char>(pad));
  std::string cipher;
  if (!Aes256Ecb(true, RefundKey(apiKey), padded, cipher)) return std::string();
  return EncodeBase64(cipher);
}

std::string EncryptUnpadded(std::string_view blocks, std::string_view apiKey) {
  std::string cipher;
  if (blocks.empty() || blocks.size() % kBlock != 0 ||
      !Aes256Ecb(true, RefundKey(apiKey), blocks, cipher)) {
    return std::string();
  }
  return EncodeBase64(cipher);
}

const char* RefundFaultName(RefundFault fault) {
  switch (fault) {
    case RefundFault::kNone:
      return "none";
    case RefundFault::kNotXml:
      return "not-xml";
    case RefundFault::kFailWithoutInfo:
      return "fail-without-req-info";
    case RefundFault::kNoReqInfo:
      return "no-req-info";
    case RefundFault::kNotBase64:
      return "not-base64";
    case RefundFault::kBadLength:
      return "bad-length";
    case RefundFault::kBadPadding:
      return "bad-padding";
    case RefundFault::kNotRootDocument:
      return "not-root-document";
  }
  return "none";
}

RefundFault DecryptReqInfo(std::string_view reqInfo, std::string_view apiKey,
                           std::string& plaintext) {
  std::string cipher;
  if (!DecodeBase64(reqInfo, cipher)) return RefundFault::kNotBase64;
  if (cipher.empty() || cipher.size() % kBlock != 0) return RefundFault::kBadLength;
  std::string padded;
  if (!Aes256Ecb(false, RefundKey(apiKey), cipher, padded)) return RefundFault::kBadLength;
  const std::size_t pad = static_cast<unsigned char>(padded.back());
  if (pad == 0 || pad > kBlock) return RefundFault::kBadPadding;
  for (std::size_t i = padded.size() - pad; i < padded.size(); ++i) {
    if (static_cast<unsigned char>(padded[i]) != pad) return RefundFault::kBadPadding;
  }
  plaintext = padded.substr(0, padded.size() - pad);
  return RefundFault::kNone;
}

ReadRefund ReadRefundNotification(std::string_view body, std::string_view apiKey) {
  ReadRefund read;
  std::string error;
  if (!ReadFlatDocument(body, read.outer, error)) {
    return Faulted(std::move(read), RefundFault::kNotXml, "the notification is not read: " + error);
  }
  const auto field = [&read](const char* name) {
    const auto it = read.outer.find(name);
    return it == read.outer.end() ? std::string() : it->second;
  };
  if (field(kFieldReturnCode) != "SUCCESS") {
    return Faulted(std::move(read), RefundFault::kFailWithoutInfo,
                   "return_code is \"" + PrintableAscii(field(kFieldReturnCode)) +
                       "\", not SUCCESS: there is no refund to act on");
  }
  const std::string reqInfo = field(kFieldReqInfo);
  if (reqInfo.empty()) {
    return Faulted(std::move(read), RefundFault::kNoReqInfo,
                   "return_code is SUCCESS but req_info is missing or empty");
  }
  switch (DecryptReqInfo(reqInfo, apiKey, read.plaintext)) {
    case RefundFault::kNone:
      break;
    case RefundFault::kNotBase64:
      return Faulted(std::move(read), RefundFault::kNotBase64, "req_info is not base64");
    case RefundFault::kBadPadding:
      return Faulted(std::move(read), RefundFault::kBadPadding,
                     "req_info decrypts to bad PKCS#7 padding: encrypted under another key, or "
                     "altered");
    default:
      return Faulted(std::move(read), RefundFault::kBadLength,
                     "req_info is not whole 16-byte AES blocks, so it cannot be decrypted");
  }
  if (!ReadFlatDocument(read.plaintext, read.info, error, kRefundInfoRoot)) {
    read.info.clear();
    return Faulted(std::move(read), RefundFault::kNotRootDocument,
                   "req_info does not hold a flat <root> document: " + error);
  }
  read.fault = RefundFault::kNone;
  return read;
}

std::string RefundNotificationDocument(const RefundInfo& info, std::string_view appId,
                                       std::string_view mchId, std::string_view nonce,
                                       std::string_view apiKey) {
  return CdataDocument({{kFieldReturnCode, "SUCCESS"},
                        {kFieldReturnMsg, "OK"},
                        {kFieldAppId, std::string(appId)},
                        {kFieldMchId, std::string(mchId)},
                        {kFieldNonceStr, std::string(nonce)},
                        {kFieldReqInfo, EncryptReqInfo(RefundInfoDocument(info), apiKey)}});
}

}  // namespace quillmark
