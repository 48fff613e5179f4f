// Reply field extraction. The platform's replies are flat documents whose text fields sit
// in CDATA sections; a search for the tags and markers is all the program needs.
#include "payment/quillmark_ops.h"

#include <utility>

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

void CQuillmarkOps::ExtractCdataField(std::string text, const std::string& name, std::string& out) {
  out.clear();
  std::string inner;
  if (!Between(text, "<" + name + ">", "</" + name + ">", inner)) return;
  std::string value;
  if (!Between(inner, "<![CDATA[", "]]>", value)) return;
  out = value;
}

void CQuillmarkOps::ExtractCodeUrl(std::string text, std::string& out) {
  ExtractCdataField(std::move(text), "code_url", out);
}

void CQuillmarkOps::ExtractTradeState(std::string text, std::string& out) {
  ExtractCdataField(std::move(text), "trade_state", out);
}

}  // namespace quillmark
