// The URL and hex codecs every part of the product reads and writes with.
#include "text/codecs.h"

#include <gtest/gtest.h>

namespace quillmark {
namespace {

TEST(Codecs, FormValueDecodesItsValueOnly) {
  const struct {
    std::string form;
    std::string name;
    std::string value;
  } rows[] = {
      {"a=1&b=x%20y", "b", "x y"},
      {"a=1&b=x+y%2B", "b", "x y+"},
      {"ab=1&b=2", "b", "2"},  // a name that ends like another is not it
      {"b=1&b=2", "b", "1"},   // the first wins
      {"a=%E4%B8%AD", "a", "\xe4\xb8\xad"},
      {"a=%zz%4", "a", "%zz%4"},  // not two hex digits: left as it is
      {"a=%41", "a", "A"},        // an escape that ends the text
      {"a", "a", ""},             // no '=': no value
      {"a=1", "b", ""},
      {"", "a", ""},
  };
  for (const auto& row : rows) EXPECT_EQ(FormValue(row.form, row.name), row.value) << row.form;
}

TEST(Codecs, PathsDecodePlusAsItselfAndEncodeRoundTrip) {
  EXPECT_EQ(PercentDecode("/pay/qr/a%7Cb+c"), "/pay/qr/a|b+c");
  EXPECT_EQ(PercentDecode("%", false), "%");
  EXPECT_EQ(PercentEncode("Q|2026*x y"), "Q%7C2026%2Ax%20y");
  EXPECT_EQ(PercentEncode("/console/orders/a|b", "/"), "/console/orders/a%7Cb");
  std::string every;
  for (int c = 0; c < 256; ++c) every += static_cast<char>(c);
  EXPECT_EQ(PercentDecode(PercentEncode(every)), every);
}

TEST(Codecs, HexInBothCasesAndWithSeparators) {
  EXPECT_EQ(HexEncode(std::string("\x00\x9f\xff", 3), HexCase::kLower), "009fff");
  EXPECT_EQ(HexEncode("\xab\xcd", HexCase::kUpper, ':'), "AB:CD");
  EXPECT_EQ(HexEncode("", HexCase::kUpper, ':'), "");
  EXPECT_EQ(HexDigitValue('f'), 15);
  EXPECT_EQ(HexDigitValue('F'), 15);
  EXPECT_EQ(HexDigitValue('g'), -1);
}

}  // namespace
}  // namespace quillmark
