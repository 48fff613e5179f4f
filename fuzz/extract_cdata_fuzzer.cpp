// CQuillmarkOps::ExtractCdataField on arbitrary replies and element names. The input is
// the name, a newline, then the reply, so that seeds stay readable ("code_url\n<xml>...").
//
// Beyond "no crash and no read outside the strings", it checks the contract from outside:
// a non-empty result really is the first CDATA section inside the first element of that
// name; moving the reply right by bytes that cannot start a tag does not change it; and a
// well-formed element put in front of the reply is found with its value intact.
#include <cstddef>
#include <cstdint>
#include <string>

#include "client/quillmark_ops.h"
#include "fuzz/fuzz_check.h"

namespace {

using quillmark::CQuillmarkOps;

std::string Extract(const std::string& text, const std::string& name) {
  std::string out = "stale";  // the function must empty it itself
  CQuillmarkOps::ExtractCdataField(text, name, out);
  return out;
}

void CheckLocatedInFirstElement(const std::string& text, const std::string& name,
                                const std::string& value) {
  if (value.empty()) return;
  const std::string open = "<" + name + ">";
  const std::string close = "</" + name + ">";
  const std::size_t a = text.find(open);
  const std::size_t b = text.find(close);
  QUILLMARK_FUZZ_CHECK(a != std::string::npos && b != std::string::npos);
  QUILLMARK_FUZZ_CHECK(a + open.size() <= b);
  const std::string element = text.substr(a + open.size(), b - a - open.size());
  const std::string marker = "<![CDATA[";
  const std::size_t start = element.find(marker);
  QUILLMARK_FUZZ_CHECK(start != std::string::npos);
  QUILLMARK_FUZZ_CHECK(element.compare(start + marker.size(), value.size(), value) == 0);
  QUILLMARK_FUZZ_CHECK(element.compare(start + marker.size() + value.size(), 3, "]]>") == 0);
  QUILLMARK_FUZZ_CHECK(value.find("]]>") == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // libFuzzer's buffer is exactly `size` bytes with no terminator: copy it, so that any
  // read past the end is the code's and not the harness's.
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t newline = input.find('\n');
  const std::string name = input.substr(0, newline);
  const std::string text = newline == std::string::npos ? std::string() : input.substr(newline + 1);

  const std::string value = Extract(text, name);
  CheckLocatedInFirstElement(text, name, value);

  // Only the first tags and markers count, and none of them can start inside bytes that
  // hold no '<'; what follows the first closing tag cannot matter either.
  QUILLMARK_FUZZ_CHECK(Extract("x]]>\r\n " + text, name) == value);
  if (!value.empty()) QUILLMARK_FUZZ_CHECK(Extract(text + text, name) == value);

  // A well-formed element in front: its value, stripped of anything that could end the
  // section early, must come back unchanged. A name can be chosen so that its closing
  // tag appears inside the built prefix; those cases have no simple expectation.
  std::string clean;
  for (char c : text) {
    if (c != '<' && c != ']') clean += c;
  }
  const std::string open = "<" + name + ">";
  const std::string close = "</" + name + ">";
  const std::string prefix = open + "<![CDATA[" + clean + "]]>";
  const std::string document = prefix + close + text;
  if (document.find(close) == prefix.size()) {
    QUILLMARK_FUZZ_CHECK(Extract(document, name) == clean);
  }
  return 0;
}
