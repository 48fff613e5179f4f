// What the program reads from the platform's replies: single fields, taken out of the
// reply's text by their tags and CDATA markers, and the reply's signature, checked over
// every field it holds.
#pragma once

#include <string>
#include <string_view>

namespace quillmark {

// The CDATA content of the first element `name` of a reply, into `out` (emptied first):
// empty when the element is missing, empty, not wrapped in a CDATA section, or its tags
// or markers are out of order. No XML parsing: only the first opening tag, closing tag
// and markers count.
void ExtractCdataField(std::string text, const std::string& name, std::string& out);

enum class SignatureVerdict {
  kVerified,    // the sign matches the reply's fields and the merchant's key
  kMismatch,    // it does not: a field was changed, added or left out, or another key
  kUnsigned,    // a readable reply without a sign (FAIL replies often carry none)
  kUnreadable,  // not a flat <xml> document (nothing arrived, an HTML error page, ...)
};

struct ReplySignature {
  SignatureVerdict verdict = SignatureVerdict::kUnreadable;
  std::string received;          // the reply's sign, as sent
  std::string expected;          // the sign its fields give (kVerified, kMismatch)
  std::string maskedSignString;  // kMismatch: the sign string, the key shown as kMaskedKey
  std::string error;             // kUnreadable: what is wrong with the document
};

// Checks the sign of `reply` (the UTF-8 bytes as received) the way the platform signs:
// every child of <xml> whose value is not empty, other than `sign`, sorted by name, then
// the key (SignStringOf), MD5 upper-case. A signature covers every field, so the whole
// document is read (ReadFlatDocument), unlike ExtractCdataField.
ReplySignature VerifyReplySignature(std::string_view reply, std::string_view key);

// "verified", "mismatch", "unsigned", "unreadable".
const char* VerdictName(SignatureVerdict verdict);

}  // namespace quillmark
