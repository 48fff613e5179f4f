// The day's bill and the platform's clock. This test runs under TZ=America/New_York
// (tests/sandbox/CMakeLists.txt): a sandbox that stamped the machine's local time would be
// 12 or 13 hours off. The bill is read back by a parser of the test's own, from the column
// names, never through the sandbox's code.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "http/transport.h"
#include "protocol/reply_fields.h"
#include "sandbox/bill/daily_bill.h"
#include "tests/support/sandbox_test_support.h"

namespace quillmark::sandbox {
namespace {

using namespace testsupport;

constexpr std::int64_t kHourMs = 3600 * 1000;

// The calendar day and time `seconds` after 1970 UTC are at UTC+8, as the test computes it.
std::string Utc8(std::time_t seconds, const char* format) {
  seconds += 8 * 3600;
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, format, &parts);
  return text;
}

// Fen of "12.34" or "-0.05".
long long Fen(std::string yuan) {
  const bool negative = !yuan.empty() && yuan[0] == '-';
  if (negative) yuan.erase(0, 1);
  const std::size_t dot = yuan.find('.');
  EXPECT_EQ(dot, yuan.size() - 3) << yuan;
  const long long fen = std::stoll(yuan.substr(0, dot)) * 100 + std::stoll(yuan.substr(dot + 1));
  return negative ? -fen : fen;
}

// A bill as its reader sees it: rows by column name, and the summary by its names.
struct ReadBill {
  std::vector<std::map<std::string, std::string>> rows;
  std::map<std::string, std::string> summary;
};

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream in(line);
  std::string field;
  while (std::getline(in, field, ',')) fields.push_back(field);
  if (!line.empty() && line.back() == ',') fields.emplace_back();
  return fields;
}

// Lines end in CR LF; the first is the 27 column names, the last two the summary's names and
// values; every value between is prefixed by a backquote.
ReadBill Read(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) {
      ADD_FAILURE() << "a line without CR LF: " << text.substr(at);
      break;
    }
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  ReadBill bill;
  if (lines.size() < 3) return ADD_FAILURE() << text, bill;
  const auto unquote = [](std::vector<std::string> fields) {
    for (std::string& field : fields) {
      EXPECT_EQ(field.substr(0, 1), "`") << field;
      field.erase(0, 1);
    }
    return fields;
  };
  const std::vector<std::string> header = Split(lines.front());
  EXPECT_EQ(header.size(), 27u);
  for (std::size_t i = 1; i + 2 < lines.size(); ++i) {
    const std::vector<std::string> values = unquote(Split(lines[i]));
    EXPECT_EQ(values.size(), header.size()) << lines[i];
    std::map<std::string, std::string> row;
    for (std::size_t c = 0; c < values.size() && c < header.size(); ++c) row[header[c]] = values[c];
    bill.rows.push_back(row);
  }
  const std::vector<std::string> names = Split(lines[lines.size() - 2]);
  const std::vector<std::string> values = unquote(Split(lines.back()));
  EXPECT_EQ(names.size(), 7u);
  for (std::size_t c = 0; c < names.size() && c < values.size(); ++c)
    bill.summary[names[c]] = values[c];
  return bill;
}

std::string Gunzip(const std::string& data) {
  z_stream stream{};
  EXPECT_EQ(inflateInit2(&stream, 15 + 16), Z_OK);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  std::string out;
  char chunk[4096];
  int result = Z_OK;
  while (result == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(chunk);
    stream.avail_out = sizeof chunk;
    result = inflate(&stream, Z_NO_FLUSH);
    out.append(chunk, sizeof chunk - stream.avail_out);
  }
  inflateEnd(&stream);
  EXPECT_EQ(result, Z_STREAM_END) << "not one whole gzip member";
  return out;
}

class Bill : public SandboxTest {
 protected:
  Reply Fetch(const std::string& date, const std::string& type, bool gzip = false) {
    Fields fields = QueryFields("");
    fields.erase("out_trade_no");
    fields["bill_date"] = date;
    fields["bill_type"] = type;
    if (gzip) fields["tar_type"] = "GZIP";
    // A gzip bill holds zero bytes: read whole, as the runner reads it.
    TransportOptions transport;
    transport.caFile = CaFile();
    transport.wholeReply = true;
    std::ostringstream log;
    const std::string url = Url("/pay/downloadbill");
    return {PostXml(url.c_str(), SignedDocument(fields).c_str(), log, transport), log.str()};
  }
  // Placed for `fen` (with `more` fields) and paid by its second query, whose reply is
  // returned.
  Reply Paid(const std::string& orderNo, long long fen, Fields more = {}) {
    more["total_fee"] = std::to_string(fen);
    EXPECT_EQ(CdataField(PlaceOrder(orderNo, more).body, "result_code"), "SUCCESS");
    Query(orderNo);
    return Query(orderNo);
  }
};

// Paid, couponed, refunded and unpaid orders today: the bill lists the two payments and the
// refund, its summary adds them up, the gzip form is the same bill, and the couponed
// payment's coupon is in its query as in the bill.
TEST_F(Bill, ListsTheDaysPaymentsAndRefundsInPlatformTime) {
  ASSERT_STREQ(std::getenv("TZ"), "America/New_York") << "the test must run in another zone";
  Options options;
  options.payAfterQueries = 1;
  options.billReadyNow = true;
  StartSandbox(options);

  const std::time_t before = std::time(nullptr);
  // A JSAPI order names its payer: its row says how it was paid, and by whom.
  const std::string payer = "qmBillPayer-made-up-00000001";
  const Reply paid = Paid("bill-paid-1", 1500, {{"trade_type", "JSAPI"}, {"openid", payer}});
  const Reply coupon = Paid("bill-coupon-1", 4030);
  ASSERT_EQ(CdataField(PlaceOrder("bill-unpaid-1", {{"total_fee", "700"}}).body, "result_code"),
            "SUCCESS");
  Fields refund = QueryFields("bill-paid-1");
  refund["out_refund_no"] = "bill-refund-1";
  refund["total_fee"] = "1500";
  refund["refund_fee"] = "600";
  ASSERT_EQ(CdataField(Post(Url("/secapi/pay/refund"), SignedDocument(refund)).body, "result_code"),
            "SUCCESS");
  const std::time_t after = std::time(nullptr);

  // time_end is the time at UTC+8, whatever the machine's zone.
  const std::string timeEnd = CdataField(paid.body, "time_end");
  EXPECT_TRUE(timeEnd >= Utc8(before, "%Y%m%d%H%M%S") && timeEnd <= Utc8(after, "%Y%m%d%H%M%S"))
      << timeEnd << " is not between " << Utc8(before, "%Y%m%d%H%M%S") << " and "
      << Utc8(after, "%Y%m%d%H%M%S");
  EXPECT_EQ(CdataField(coupon.body, "cash_fee"), "3030") << coupon.body;
  EXPECT_EQ(CdataField(coupon.body, "coupon_fee"), "1000");
  EXPECT_EQ(CdataField(coupon.body, "coupon_count"), "1");
  EXPECT_EQ(CdataField(coupon.body, "coupon_fee_0"), "1000");
  EXPECT_FALSE(CdataField(coupon.body, "coupon_id_0").empty());
  EXPECT_EQ(CdataField(paid.body, "coupon_fee"), "") << "an order without coupon says none";

  const std::string today = Utc8(after, "%Y%m%d");
  ASSERT_EQ(Utc8(before, "%Y%m%d"), today) << "ran across midnight at UTC+8; run it again";
  const Reply plain = Fetch(today, "ALL");
  ASSERT_EQ(plain.body.rfind("<xml>", 0), std::string::npos) << plain.body;
  EXPECT_EQ(Gunzip(Fetch(today, "ALL", true).body), plain.body);
  const ReadBill bill = Read(plain.body);
  ASSERT_EQ(bill.rows.size(), 3u) << plain.body;
  long long settled = 0, refunded = 0, ordered = 0, fees = 0;
  std::map<std::string, int> states;
  for (const auto& row : bill.rows) {
    EXPECT_EQ(row.at("交易时间").substr(0, 10), Utc8(after, "%Y-%m-%d"));
    EXPECT_NE(row.at("商户订单号"), "bill-unpaid-1");
    ++states[row.at("交易状态")];
    settled += Fen(row.at("应结订单金额"));
    refunded += Fen(row.at("退款金额"));
    ordered += Fen(row.at("订单金额"));
    fees += Fen(row.at("手续费"));
    const bool jsapi = row.at("商户订单号") == "bill-paid-1";
    EXPECT_EQ(row.at("交易类型"), jsapi ? "JSAPI" : "NATIVE");
    EXPECT_EQ(row.at("用户标识"), jsapi ? payer : "qmpayer-sandbox-000000000001");
    if (row.at("商户订单号") == "bill-coupon-1" && row.at("交易状态") == "SUCCESS") {
      EXPECT_EQ(row.at("代金券金额"), "10.00");
      EXPECT_EQ(row.at("应结订单金额"), "30.30");
    }
  }
  EXPECT_EQ(states, (std::map<std::string, int>{{"SUCCESS", 2}, {"REFUND", 1}}));
  EXPECT_EQ(settled, 1500 + 3030);
  EXPECT_EQ(refunded, 600);
  EXPECT_EQ(ordered, 1500 + 4030);
  EXPECT_EQ(bill.summary.at("总交易单数"), "3");
  EXPECT_EQ(Fen(bill.summary.at("应结订单总金额")), settled);
  EXPECT_EQ(Fen(bill.summary.at("退款总金额")), refunded);
  EXPECT_EQ(Fen(bill.summary.at("订单总金额")), ordered);
  EXPECT_EQ(Fen(bill.summary.at("手续费总金额")), fees);
  EXPECT_EQ(Fen(bill.summary.at("申请退款总金额")), 600);

  const ReadBill refunds = Read(Fetch(today, "REFUND").body);
  ASSERT_EQ(refunds.rows.size(), 1u);
  EXPECT_EQ(refunds.rows[0].at("商户退款单号"), "bill-refund-1");
  EXPECT_EQ(Read(Fetch(today, "SUCCESS").body).rows.size(), 2u);

  // Yesterday had no trades: refused in XML, as every day without a bill is.
  const Reply empty = Fetch(Utc8(after - 24 * 3600, "%Y%m%d"), "ALL");
  EXPECT_EQ(CdataField(empty.body, "return_code"), "FAIL") << empty.body;
  EXPECT_EQ(CdataField(empty.body, "return_msg"), "No Bill Exist");
  EXPECT_EQ(CdataField(empty.body, "error_code"), "20002");
}

// Without --bill-ready-now, today's bill is not closed: refused as no bill at all.
TEST_F(Bill, TodaysBillIsRefusedUntilTheDayIsClosed) {
  StartSandbox(Options{});
  const Reply reply = Fetch(Utc8(std::time(nullptr), "%Y%m%d"), "ALL");
  EXPECT_EQ(CdataField(reply.body, "return_msg"), "No Bill Exist") << reply.body;
  EXPECT_EQ(CdataField(reply.body, "error_code"), "20002");
}

// A day's bill is ready at 10:00 the next day at UTC+8 and kept three months.
TEST(BillAvailability, ClosesAtTenTheNextMorningAndIsKeptThreeMonths) {
  BillDay day;
  ASSERT_TRUE(BillDay::Parse("20260315", day));
  // 2026-03-15 00:00 at UTC+8 is 2026-03-14 16:00 UTC: 1773504000000 ms (date -d).
  const std::int64_t start = 1773504000000;
  EXPECT_EQ(day.StartMs(), start);
  const struct {
    std::int64_t now;
    bool readyNow;
    BillAvailability expected;
  } rows[] = {
      {start + 34 * kHourMs - 1, false, BillAvailability::kNotClosed},
      {start + 34 * kHourMs, false, BillAvailability::kReady},
      {start, true, BillAvailability::kReady},
      {start - 1, true, BillAvailability::kNotClosed},
      // 2026-06-15 at UTC+8: three months on, still kept; a day later, not.
      {start + 92 * 24 * kHourMs, false, BillAvailability::kReady},
      {start + 93 * 24 * kHourMs, false, BillAvailability::kTooOld},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.now - start);
    EXPECT_EQ(AvailabilityOf(day, row.now, row.readyNow), row.expected);
  }
  for (const char* bad : {"2026031", "20260230", "2026-03-", "19691231"}) {
    EXPECT_FALSE(BillDay::Parse(bad, day)) << bad;
  }
}

}  // namespace
}  // namespace quillmark::sandbox
