#include "text/encoding.h"

#include <gtest/gtest.h>

#include <string>

namespace quillmark {
namespace {

// GBK and UTF-8 forms of the same texts. The GBK side follows the Windows code page 936
// table, checked against an independent GBK codec (which differs only at byte 0x80,
// the euro sign in code page 936).
struct Pair {
  const char* what;
  std::string gbk;
  std::string utf8;
};

const Pair kPairs[] = {
    {"ASCII", "appid=abc&key=XYZ <xml></xml> ~!", "appid=abc&key=XYZ <xml></xml> ~!"},
    {"order description", "Vemrak\xb5\xc4\xd6\xa7\xb8\xb6\xb2\xe2\xca\xd4",
     "Vemrak\xe7\x9a\x84\xe6\x94\xaf\xe4\xbb\x98\xe6\xb5\x8b\xe8\xaf\x95"},
    {"euro sign at 0x80", "\x80", "\xe2\x82\xac"},
    {"full-width comma", "\xa3\xac", "\xef\xbc\x8c"},
    {"mixed",
     "a\xd6\xd0"
     "b\xce\xc4"
     "c",
     "a\xe4\xb8\xad"
     "b\xe6\x96\x87"
     "c"},
    // The user-defined areas map onto the Private Use Area from U+E000 (checked, all 1894,
    // against glibc's GB18030 table, which maps them the same way): the first and last of
    // each area, and A180, the first after the gap at trail byte 7F.
    {"user-defined AAA1-AFFE", "\xaa\xa1\xaf\xfe", "\xee\x80\x80\xee\x88\xb3"},
    {"user-defined F8A1-FEFE", "\xf8\xa1\xfe\xfe", "\xee\x88\xb4\xee\x93\x85"},
    {"user-defined A140-A7A0", "\xa1\x40\xa1\x80\xa7\xa0", "\xee\x93\x86\xee\x94\x85\xee\x9d\xa5"},
};

TEST(Encoding, ValidTextConvertsBothWays) {
  for (const Pair& pair : kPairs) {
    std::string utf8 = "stale", gbk = "stale";
    EXPECT_TRUE(AnsiToUtf8(pair.gbk, utf8)) << pair.what;
    EXPECT_EQ(utf8, pair.utf8) << pair.what;
    EXPECT_TRUE(Utf8ToAnsi(pair.utf8, gbk)) << pair.what;
    EXPECT_EQ(gbk, pair.gbk) << pair.what;
  }
}

TEST(Encoding, EmptySourceGivesTrueAndEmptiesTheDestination) {
  std::string destination = "left over";
  EXPECT_TRUE(AnsiToUtf8("", destination));
  EXPECT_EQ(destination, "");
  destination = "left over";
  EXPECT_TRUE(Utf8ToAnsi("", destination));
  EXPECT_EQ(destination, "");
}

TEST(Encoding, SourceEndsAtItsFirstZeroByte) {
  std::string out;
  EXPECT_TRUE(AnsiToUtf8(std::string("ab\0\xd6\xd0", 5), out));
  EXPECT_EQ(out, "ab");
  EXPECT_TRUE(Utf8ToAnsi(std::string("\xe4\xb8\xad\0tail", 8), out));
  EXPECT_EQ(out, "\xd6\xd0");
  // Nothing before the zero: an empty result, and a success, both ways.
  out = "stale";
  EXPECT_TRUE(Utf8ToAnsi(std::string("\0tail", 5), out));
  EXPECT_EQ(out, "");
  out = "stale";
  EXPECT_TRUE(AnsiToUtf8(std::string("\0", 1), out));
  EXPECT_EQ(out, "");
}

TEST(Encoding, UnconvertibleInputIsReplacedNotDropped) {
  // `windows` is what Windows' own code page 936 tables give where they differ: a '?' per
  // UTF-16 unit of a character beyond the BMP, and U+E766 in row A2.
  struct Row {
    const char* what;
    std::string utf8;
    std::string gbk;
    std::string windows = {};
  };
  const Row rows[] = {
      {"emoji outside GBK", "a\xf0\x9f\x98\x80z", "a?z", "a??z"},
      {"Hangul outside GBK", "\xea\xb0\x80", "?"},
      {"stray continuation byte", "a\x80z", "a?z"},
      {"byte 0xFF", "x\xffy", "x?y"},
      // The converter underneath would skip these silently rather than report them.
      {"language tag character",
       "a\xf3\xa0\x80\x81"
       "b",
       "a?b", "a??b"},
      {"last language tag character",
       "a\xf3\xa0\x81\xbf"
       "b",
       "a?b", "a??b"},
      {"Private Use just past the user-defined areas", "a\xee\x9d\xa6z", "a?z", "a\xa2\xabz"},
      {"character just past the tags",
       "a\xf3\xa0\x82\x80"
       "b",
       "a?b", "a??b"},
  };
  for (const Row& row : rows) {
    std::string out;
    EXPECT_TRUE(Utf8ToAnsi(row.utf8, out)) << row.what;
    if (row.windows.empty() || out != row.windows) {
      EXPECT_EQ(out, row.gbk) << row.what;
    }
  }
  // A sequence cut short by the end: replaced (how many '?' is the converter's business).
  std::string cut;
  EXPECT_TRUE(Utf8ToAnsi("ab\xe4\xb8", cut));
  EXPECT_EQ(cut.rfind("ab?", 0), 0u) << cut;
  EXPECT_EQ(cut.find_first_not_of('?', 2), std::string::npos) << cut;

  // Invalid GBK on the way out becomes U+FFFD (Windows' tables: '?'): a lead byte followed
  // by an invalid trail.
  std::string out;
  EXPECT_TRUE(
      AnsiToUtf8("a\x81\x7f"
                 "b",
                 out));
  EXPECT_TRUE(out.find("\xef\xbf\xbd") != std::string::npos || out == "a?b") << out;
  EXPECT_EQ(out.front(), 'a');
  EXPECT_EQ(out.back(), 'b');
}

TEST(Encoding, SourceAndDestinationMayBeTheSameString) {
  std::string text = "Vemrak\xb5\xc4";
  AnsiToUtf8(text, text);
  EXPECT_EQ(text, "Vemrak\xe7\x9a\x84");
  Utf8ToAnsi(text, text);
  EXPECT_EQ(text, "Vemrak\xb5\xc4");
}

TEST(Encoding, LongTextRoundTrips) {
  std::string gbk;
  for (int i = 0; i < 20000; ++i) gbk += "\xb5\xc4x";
  std::string utf8, back;
  ASSERT_TRUE(AnsiToUtf8(gbk, utf8));
  EXPECT_EQ(utf8.size(), 20000u * 4);
  ASSERT_TRUE(Utf8ToAnsi(utf8, back));
  EXPECT_EQ(back, gbk);
}

TEST(Encoding, EscapeControlsDefusesTerminalSequencesAndKeepsText) {
  const struct {
    std::string in;
    std::string out;
  } rows[] = {
      {"\x1b[2Jcleared", "\\x1b[2Jcleared"},
      {"bell\a, return\r, del\x7f", "bell\\x07, return\\x0d, del\\x7f"},
      {"tab\tstays", "tab\tstays"},
      {"Vemrak\xb5\xc4 and \xe7\x9a\x84", "Vemrak\xb5\xc4 and \xe7\x9a\x84"},  // GBK, UTF-8
      {std::string("zero\0byte", 9), "zero\\x00byte"},
  };
  for (const auto& row : rows) EXPECT_EQ(EscapeControls(row.in), row.out) << row.out;
}

// The reply on a terminal's "Content:" line: C0 and DEL as above, and a C1 byte wherever it
// is not half of a GBK character, which a terminal may take for CSI or OSC.
TEST(Encoding, EscapeGbkControlsAlsoDefusesLoneC1Bytes) {
  const struct {
    std::string in;
    std::string out;
  } rows[] = {
      {"<!--\x1b]0;pwned\a\x1b[2J\x1b[H-->", "<!--\\x1b]0;pwned\\x07\\x1b[2J\\x1b[H-->"},
      {"csi\x9b"
       "2J osc\x9d"
       "0;t\x9c",
       "csi\\x9b2J osc\\x9d0;t\\x9c"},
      {"\x80", "\\x80"},                                             // no GBK lead byte
      {"\x81\x40 \x9b\x9b \xb6\x80", "\x81\x40 \x9b\x9b \xb6\x80"},  // characters
      {"\xb6\x1b[2J", "\xb6\\x1b[2J"},                               // ESC is never a trail byte
      {"\x9b\x7f", "\\x9b\\x7f"},                                    // nor is DEL
      {"end\x9b", "end\\x9b"},  // a lead byte with nothing after it
      {"\xd6\xd0\xce\xc4\ttab", "\xd6\xd0\xce\xc4\ttab"},
  };
  for (const auto& row : rows) EXPECT_EQ(EscapeGbkControls(row.in), row.out) << row.out;
}
}  // namespace
}  // namespace quillmark
