#include <gtest/gtest.h>

#include <string>

#include "payment/quillmark_ops.h"

namespace quillmark {
namespace {

struct Row {
  const char* what;
  std::string reply;  // written with NAME for the element's name
  std::string expected;
};

std::string WithName(std::string text, const std::string& name) {
  for (std::size_t at = text.find("NAME"); at != std::string::npos; at = text.find("NAME", at)) {
    text.replace(at, 4, name);
  }
  return text;
}

const Row kRows[] = {
    {"plain CDATA value", "<xml><NAME><![CDATA[qmpay://pay/x?a=1&b=2]]></NAME></xml>",
     "qmpay://pay/x?a=1&b=2"},
    {"spaces and line breaks kept", "<NAME><![CDATA[ a b\r\n ]]></NAME>", " a b\r\n "},
    {"text around the CDATA ignored", "<NAME> pre <![CDATA[v]]> post </NAME>", "v"},
    {"plain text without CDATA", "<NAME>NOTPAY</NAME>", ""},
    {"empty element", "<NAME></NAME>", ""},
    {"empty CDATA section", "<NAME><![CDATA[]]></NAME>", ""},
    {"neither tag", "<xml><other><![CDATA[x]]></other></xml>", ""},
    {"closing tag before opening tag", "</NAME><NAME><![CDATA[x]]>", ""},
    {"closing tag only", "<x></NAME><![CDATA[x]]></NAME>", ""},
    {"opening tag only", "<NAME><![CDATA[x]]>", ""},
    {"end marker without start marker", "<NAME>abc]]>def</NAME>", ""},
    {"start marker without end marker", "<NAME><![CDATA[abc</NAME>", ""},
    {"end marker before start marker", "<NAME>]]><![CDATA[x</NAME>", ""},
    {"first of two elements", "<NAME><![CDATA[one]]></NAME><NAME><![CDATA[two]]></NAME>", "one"},
    {"GBK bytes kept", "<NAME><![CDATA[\xd6\xd0\xce\xc4]]></NAME>", "\xd6\xd0\xce\xc4"},
    {"empty reply", "", ""},
};

// The same rules for both fields: only the element's name differs.
TEST(ReplyFields, CodeUrlAndTradeStateFollowTheSameRules) {
  for (const Row& row : kRows) {
    std::string out = "stale";
    CQuillmarkOps::ExtractCodeUrl(WithName(row.reply, "code_url"), out);
    EXPECT_EQ(out, row.expected) << "code_url: " << row.what;
    out = "stale";
    CQuillmarkOps::ExtractTradeState(WithName(row.reply, "trade_state"), out);
    EXPECT_EQ(out, row.expected) << "trade_state: " << row.what;
  }
}

TEST(ReplyFields, OtherElementsDoNotMatch) {
  std::string out;
  CQuillmarkOps::ExtractTradeState("<xml><trade_state_desc><![CDATA[x]]></trade_state_desc></xml>",
                                   out);
  EXPECT_EQ(out, "");
  CQuillmarkOps::ExtractCdataField("<a><![CDATA[1]]></a><b><![CDATA[2]]></b>", "b", out);
  EXPECT_EQ(out, "2");
}

}  // namespace
}  // namespace quillmark
