// Reply field extraction. The platform's replies are flat documents whose text fields sit
// in CDATA sections; a search for the tags and markers is all the program needs to take
// one field out. The signature is another matter: it covers every field.
#include "protocol/reply_fields.h"

#include <utility>

#include "protocol/flat_document.h"
#include "protocol/sign.h"
#include "text/encoding.h"

namespace quillmark {
namespace {

// The text strictly between the first `open` and the first `close`, both searched from the
// start. Nothing when either is missing (a closing tag alone included) or when `close`
// does not begin after the end of `open` (which also makes an empty element empty).
bool Between(const std::string& text, const std::string& open, const std::string& close,
             std::string& inner) {
  const std::size_t a = text.find(open);
  const std::size_t b = text.find(close);
  if (a == std::string::npos || b == std::string::npos) return false;
  const std::size_t start = a + open.size();
  if (start >= b) return false;
  inner = text.substr(start, b - start);
  return true;
}

}  // namespace

void ExtractCdataField(std::string text, const std::string& name, std::string& out) {
  out.clear();
  std::string inner;
  if (!Between(text, "<" + name + ">", "</" + name + ">", inner)) return;
  std::string value;
  if (!Between(inner, "<![CDATA[", "]]>", value)) return;
  out = value;
}

std::string CdataField(std::string text, const std::string& name) {
  std::string value;
  ExtractCdataField(std::move(text), name, value);
  return value;
}

ReplySignature VerifyReplySignature(std::string_view reply, std::string_view key, SignType type) {
  ReplySignature result;
  result.type = type;
  SignedFields fields;
  if (!ReadFlatDocument(reply, fields, result.error)) return result;
  const auto sign = fields.find(kFieldSign);
  if (sign == fields.end() || sign->second.empty()) {
    const auto code = fields.find(kFieldReturnCode);
    const bool success = code != fields.end() && code->second == "SUCCESS";
    result.verdict = success ? SignatureVerdict::kMissing : SignatureVerdict::kUnsigned;
    result.fields = std::move(fields);
    return result;
  }
  result.received = sign->second;
  result.expected = SignOf(fields, key, type);
  if (result.received == result.expected) {
    result.verdict = SignatureVerdict::kVerified;
  } else {
    result.verdict = SignatureVerdict::kMismatch;
    result.maskedSignString = SignStringOf(fields, kMaskedKey);
  }
  result.fields = std::move(fields);
  return result;
}

bool VerificationFailed(SignatureVerdict verdict) {
  return verdict == SignatureVerdict::kMismatch || verdict == SignatureVerdict::kMissing ||
         verdict == SignatureVerdict::kAmbiguous || verdict == SignatureVerdict::kMisdirected;
}

void CheckFieldsAgree(const std::string& replyGbk, const std::vector<std::string>& names,
                      ReplySignature& signature) {
  if (signature.verdict != SignatureVerdict::kVerified) return;
  for (const std::string& name : names) {
    std::string byTags;
    ExtractCdataField(replyGbk, name, byTags);
    std::string signedValue;
    const auto field = signature.fields.find(name);
    if (field != signature.fields.end()) Utf8ToAnsi(field->second, signedValue);
    if (byTags != signedValue) {
      signature.verdict = SignatureVerdict::kAmbiguous;
      signature.field = name;
      return;
    }
  }
}

void CheckReplyIsAbout(const SignedFields& ours, ReplySignature& signature) {
  if (signature.verdict != SignatureVerdict::kVerified) return;
  for (const auto& [name, value] : ours) {
    const auto field = signature.fields.find(name);
    if (field == signature.fields.end() || field->second.empty()) continue;
    std::string answered;
    Utf8ToAnsi(field->second, answered);
    if (answered == value) continue;
    signature.verdict = SignatureVerdict::kMisdirected;
    signature.field = name;
    signature.ours = value;
    signature.answered = std::move(answered);
    return;
  }
}

const char* VerdictName(SignatureVerdict verdict) {
  switch (verdict) {
    case SignatureVerdict::kVerified:
      return "verified";
    case SignatureVerdict::kMismatch:
      return "mismatch";
    case SignatureVerdict::kUnsigned:
      return "unsigned";
    case SignatureVerdict::kMissing:
      return "missing";
    case SignatureVerdict::kAmbiguous:
      return "ambiguous";
    case SignatureVerdict::kMisdirected:
      return "misdirected";
    case SignatureVerdict::kUnreadable:
      break;
  }
  return "unreadable";
}

}  // namespace quillmark
