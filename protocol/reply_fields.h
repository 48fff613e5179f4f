// What the program reads from the platform's replies: single fields, taken out of the
// reply's text by their tags and CDATA markers, and the reply's signature, checked over
// every field it holds.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "protocol/sign.h"

namespace quillmark {

// The CDATA content of the first element `name` of a reply, into `out` (emptied first):
// empty when the element is missing, empty, not wrapped in a CDATA section, or its tags
// or markers are out of order. No XML parsing: only the first opening tag, closing tag
// and markers count.
void ExtractCdataField(std::string text, const std::string& name, std::string& out);
// The same, as a value.
std::string CdataField(std::string text, const std::string& name);

enum class SignatureVerdict {
  kVerified,     // the sign matches the reply's fields and the merchant's key
  kMismatch,     // it does not: a field was changed, added or left out, or another key
  kUnsigned,     // a FAIL reply without a sign, as FAIL replies may come
  kUnreadable,   // not a flat <xml> document (nothing arrived, an HTML error page, ...)
  kMissing,      // a SUCCESS reply without a sign: the platform signs every one of them
  kAmbiguous,    // signed, but a field the program reads by its tags is not the signed one
  kMisdirected,  // signed, but about another request: it names another order, merchant,
                 // refund or amount than the request it answers (CheckReplyIsAbout)
};

// Whether the verdict says the reply was tampered with, forged or not ours: a sign that
// does not match, a SUCCESS reply without one, text that reads otherwise than it was
// signed, or a signed reply to another request.
bool VerificationFailed(SignatureVerdict verdict);

struct ReplySignature {
  SignatureVerdict verdict = SignatureVerdict::kUnreadable;
  std::string received;          // the reply's sign, as sent
  std::string expected;          // the sign its fields give (kVerified, kMismatch)
  std::string maskedSignString;  // kMismatch: the sign string, the key shown as kMaskedKey
  std::string error;             // kUnreadable: what is wrong with the document
  // kAmbiguous: the first field that reads otherwise; kMisdirected: the first field that
  // names another request than ours.
  std::string field;
  std::string ours;                // kMisdirected: what our request said in `field` (GBK)
  std::string answered;            // kMisdirected: what the reply says there instead (GBK)
  SignType type = SignType::kMd5;  // the type the sign was checked as
  SignedFields fields;             // the document's fields as read (UTF-8), when readable
};

// Checks the sign of `reply` (the UTF-8 bytes as received) the way the platform signs:
// every child of <xml> whose value is not empty, other than `sign`, sorted by name, then
// the key (SignStringOf), digested by `type` in upper-case hex. A signature covers every
// field, so the whole document is read (ReadFlatDocument), unlike ExtractCdataField. A
// reply without a sign is kMissing when its return_code is SUCCESS, kUnsigned otherwise.
ReplySignature VerifyReplySignature(std::string_view reply, std::string_view key,
                                    SignType type = SignType::kMd5);

// For a verified reply: whether each of `names`, taken out of `replyGbk` (the reply in the
// program's own text) by ExtractCdataField, is exactly the signed document's field of that
// name in GBK (empty where the document has none). The tag search and the document reader
// see different things where a reply hides a field in a comment or a declaration, repeats
// it, or splits its CDATA; such a reply becomes kAmbiguous, naming the field, so that no
// value the program uses differs from the value that was verified. Other verdicts stay.
void CheckFieldsAgree(const std::string& replyGbk, const std::vector<std::string>& names,
                      ReplySignature& signature);

// For a verified reply: whether it answers our request and not another one. Each of `ours`
// (a field's name and the request's value in GBK: out_trade_no, appid, total_fee, ...)
// that the signed document carries must hold the same value there; a field the reply does
// not carry is not checked, since not every reply repeats every value. Where one differs,
// the reply becomes kMisdirected, naming the first such field and both values: a signature
// proves who wrote a reply, not which request it answers, and a reply about another order
// taken as ours would report that order's payment as this one's. Other verdicts stay.
void CheckReplyIsAbout(const SignedFields& ours, ReplySignature& signature);

// "verified", "mismatch", "unsigned", "unreadable", "missing", "ambiguous", "misdirected".
const char* VerdictName(SignatureVerdict verdict);

}  // namespace quillmark
