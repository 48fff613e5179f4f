// quillmark-cycle sign|verify|verify-page, as documents.h describes them.
#include "cli/documents.h"

#include <algorithm>
#include <iostream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <vector>

#include "cli/exit_status.h"
#include "client/quillmark_ops.h"
#include "client/trade_types.h"
#include "config/merchant_settings.h"
#include "http/transport.h"
#include "protocol/flat_document.h"
#include "protocol/notification.h"
#include "protocol/operation.h"
#include "protocol/reply_fields.h"
#include "protocol/sign.h"
#include "text/encoding.h"

namespace quillmark::cli {
namespace {

// The document's bytes, at most what a reply may be; false with a message on `out`.
bool ReadDocument(const std::string& file, std::string& document, std::ostream& out) {
  std::string text;
  if (file == "-") {
    // No further than one byte past the bound: a larger document is refused then and there,
    // not after all of it has been read (or never, from a pipe that does not end).
    char chunk[64 * 1024];
    while (text.size() <= kDefaultMaxReplyBytes) {
      const std::size_t room = kDefaultMaxReplyBytes + 1 - text.size();
      std::cin.read(chunk, static_cast<std::streamsize>(std::min(room, sizeof chunk)));
      const std::streamsize got = std::cin.gcount();
      text.append(chunk, static_cast<std::size_t>(got));
      if (!std::cin || got == 0) break;
    }
  } else {
    const std::string unusable = NotARegularFile(file, kDefaultMaxReplyBytes);
    if (!unusable.empty() || !ReadDiskFile(file, kDefaultMaxReplyBytes, text)) {
      out << "quillmark-cycle: " << EscapeControls(file)
          << " cannot be used: " << (unusable.empty() ? std::string("it cannot be read") : unusable)
          << '\n';
      return false;
    }
  }
  if (text.size() > kDefaultMaxReplyBytes) {
    out << "quillmark-cycle: the document is larger than " << kDefaultMaxReplyBytes
        << " bytes, more than any reply or notification\n";
    return false;
  }
  document = std::move(text);
  return true;
}

// Every field the program reads by its tags from any reply or notification, and those of
// the document itself: a field read two ways is what an ambiguous reply is.
std::vector<std::string> NamesRead(const SignedFields& fields) {
  std::set<std::string> names = {kFieldReturnCode, kFieldReturnMsg, kFieldResultCode, kFieldErrCode,
                                 kFieldErrCodeDes};
  for (const Operation* operation : kOperations) {
    for (std::string& name : ExpandFields(operation->replyFields, kMaxIndexedFields)) {
      names.insert(std::move(name));
    }
  }
  names.insert(kNotificationFields.begin(), kNotificationFields.end());
  for (const auto& field : fields) names.insert(field.first);
  names.erase(kFieldSign);
  return {names.begin(), names.end()};
}

// The type `given` names, else the one the document's sign_type names, else MD5; false,
// with a message on `out`, for a sign_type that names none.
bool TypeOf(const std::string& given, const SignedFields& fields, SignType& type,
            std::ostream& out) {
  const auto named = fields.find(kFieldSignType);
  const std::string name = !given.empty()          ? given
                           : named == fields.end() ? std::string()
                                                   : named->second;
  if (name.empty()) {
    type = SignType::kMd5;
    return true;
  }
  const std::optional<SignType> parsed = ParseSignType(name);
  if (!parsed) {
    out << "quillmark-cycle: the document's sign_type " << EscapeControls(name)
        << " is not a sign type (MD5 or HMAC-SHA256)\n";
    return false;
  }
  type = *parsed;
  return true;
}

}  // namespace

int SignDocument(const std::string& file, const MerchantSettings& merchant, std::ostream& out,
                 const std::string& signType) {
  std::string document;
  if (!ReadDocument(file, document, out)) return kBadUsage;
  SignedFields fields;
  std::string error;
  if (!ReadFlatDocument(document, fields, error)) {
    out << "quillmark-cycle: not a document the platform signs: " << error << '\n';
    return kBadUsage;
  }
  SignType type = SignType::kMd5;
  if (!TypeOf(signType, fields, type, out)) return kBadUsage;
  const std::string sign = SignOf(fields, merchant.apiKey, type);
  out << "Sign string:   " << EscapeControls(SignStringOf(fields, kMaskedKey)) << '\n'
      << "Sign:          " << sign << "  (upper-case " << SignDigestWords(type)
      << " of the sign string's UTF-8 bytes, with the key of appid " << merchant.appId << ")\n";
  const auto own = fields.find(kFieldSign);
  if (own != fields.end()) {
    out << "Its own sign:  " << EscapeControls(own->second)
        << (own->second == sign ? "  (the same)" : "  (not the same)") << '\n';
  }
  return 0;
}

int VerifyDocument(const std::string& file, const MerchantSettings& merchant, std::ostream& out,
                   const std::string& signType) {
  std::string document;
  if (!ReadDocument(file, document, out)) return kBadUsage;
  SignedFields named;
  std::string unread;
  SignType type = SignType::kMd5;
  // An unreadable document is the verdict's to tell; only a readable one names a type.
  if (ReadFlatDocument(document, named, unread) && !TypeOf(signType, named, type, out)) {
    return kBadUsage;
  }
  ReplySignature signature = VerifyReplySignature(document, merchant.apiKey, type);
  std::string gbk;
  Utf8ToAnsi(document, gbk);
  CheckFieldsAgree(gbk, NamesRead(signature.fields), signature);
  out << "Verdict:       " << VerdictName(signature.verdict);
  switch (signature.verdict) {
    case SignatureVerdict::kVerified:
      out << "  (" << signature.expected << ")\n";
      return 0;
    case SignatureVerdict::kMismatch:
      out << ": its sign " << EscapeControls(signature.received) << " is not the expected "
          << signature.expected << ", the upper-case " << SignDigestWords(type)
          << " of the UTF-8 bytes of \"" << EscapeControls(signature.maskedSignString) << "\"\n";
      break;
    case SignatureVerdict::kMissing:
      out << ": return_code SUCCESS without a sign; the platform signs every such document\n";
      break;
    case SignatureVerdict::kAmbiguous:
      out << ": its " << signature.field << " read by its tags is not the signed field"
          << " (hidden in a comment or declaration, repeated or split)\n";
      break;
    case SignatureVerdict::kMisdirected:
      out << ": its " << signature.field << " is " << EscapeGbkControls(signature.answered)
          << ", ours is " << EscapeGbkControls(signature.ours) << '\n';
      break;
    case SignatureVerdict::kUnsigned:
      out << ": a FAIL document without a sign, which nothing vouches for\n";
      break;
    case SignatureVerdict::kUnreadable:
      out << ": " << signature.error << '\n';
      break;
  }
  return kBadSignature;
}

int VerifyPage(const std::string& file, const MerchantSettings& merchant, std::ostream& out) {
  std::string parameters;
  if (!ReadDocument(file, parameters, out)) return kBadUsage;
  return AskPageVerdict(parameters, merchant, out);
}

int AskPageVerdict(const std::string& parameters, const MerchantSettings& merchant,
                   std::ostream& out) {
  const PageVerdict verdict = quillmark::AskPageVerdict(parameters, merchant);
  for (const std::string& line : PageVerdictLines(verdict)) out << line << '\n';
  if (!verdict.answered) return kNotDone;
  return verdict.passed ? kDone : kBadSignature;
}

}  // namespace quillmark::cli
