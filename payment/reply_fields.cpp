// Reply field extraction. The platform's replies are flat documents whose text fields sit
// in CDATA sections; a search for the tags and markers is all the program needs to take
// one field out. The signature is another matter: it covers every field.
#include "payment/reply_fields.h"

#include <utility>

#include "payment/flat_document.h"
#include "payment/sign.h"

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

ReplySignature VerifyReplySignature(std::string_view reply, std::string_view key) {
  ReplySignature result;
  SignedFields fields;
  if (!ReadFlatDocument(reply, fields, result.error)) return result;
  const auto sign = fields.find("sign");
  if (sign == fields.end() || sign->second.empty()) {
    result.verdict = SignatureVerdict::kUnsigned;
    return result;
  }
  result.received = sign->second;
  result.expected = SignOf(fields, key);
  if (result.received == result.expected) {
    result.verdict = SignatureVerdict::kVerified;
  } else {
    result.verdict = SignatureVerdict::kMismatch;
    result.maskedSignString = SignStringOf(fields, kMaskedKey);
  }
  return result;
}

const char* VerdictName(SignatureVerdict verdict) {
  switch (verdict) {
    case SignatureVerdict::kVerified:
      return "verified";
    case SignatureVerdict::kMismatch:
      return "mismatch";
    case SignatureVerdict::kUnsigned:
      return "unsigned";
    case SignatureVerdict::kUnreadable:
      break;
  }
  return "unreadable";
}

}  // namespace quillmark
