// The day's bill: its columns, rows and summary, and the calendar arithmetic of its days,
// done on UTC with no time zone of the machine's in it.
#include "sandbox/bill/daily_bill.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "config/merchant_config.h"
#include "sandbox/order/order_life.h"
#include "sandbox/scenarios/plays.h"

namespace quillmark::sandbox {
namespace {

constexpr std::int64_t kDayMs = 24LL * 3600 * 1000;
// A day's bill is made overnight and ready at 10:00 the next morning.
constexpr std::int64_t kReadyAfterMs = kDayMs + 10LL * 3600 * 1000;
constexpr int kKeptMonths = 3;

// Days since 1970-01-01 of a proleptic Gregorian date, and back (H. Hinnant's algorithms),
// so that no day depends on the machine's zone or its timegm.
std::int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysIn(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

int Ordinal(const BillDay& day) { return day.year * 10000 + day.month * 100 + day.day; }

// The platform's own column names, UTF-8, in the order of the rows' fields.
constexpr const char* kColumns[] = {
    "交易时间",     "公众账号ID",   "商户号",       "子商户号",     "设备号",   "平台订单号",
    "商户订单号",   "用户标识",     "交易类型",     "交易状态",     "付款银行", "货币种类",
    "应结订单金额", "代金券金额",   "平台退款单号", "商户退款单号", "退款金额", "充值券退款金额",
    "退款类型",     "退款状态",     "商品名称",     "商户数据包",   "手续费",   "费率",
    "订单金额",     "申请退款金额", "费率备注"};
constexpr const char* kSummaryColumns[] = {"总交易单数",       "应结订单总金额", "退款总金额",
                                           "充值券退款总金额", "手续费总金额",   "订单总金额",
                                           "申请退款总金额"};
constexpr std::size_t kColumnCount = sizeof kColumns / sizeof kColumns[0];
static_assert(kColumnCount == 27, "the bill has 27 columns");

std::string Line(const std::vector<std::string>& fields, bool quoted) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += ',';
    // The backquote keeps a spreadsheet from reading long numbers as numbers.
    if (quoted) line += '`';
    line += fields[i];
  }
  return line + "\r\n";
}

struct Row {
  std::int64_t at;
  std::vector<std::string> fields;
};

}  // namespace

bool ParseBillType(const std::string& name, BillType& type) {
  if (name == "ALL") return type = BillType::kAll, true;
  if (name == "SUCCESS") return type = BillType::kSuccess, true;
  if (name == "REFUND") return type = BillType::kRefund, true;
  return false;
}

bool BillDay::Parse(const std::string& text, BillDay& day) {
  if (text.size() != 8 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  const int y = std::atoi(text.substr(0, 4).c_str());
  const int m = std::atoi(text.substr(4, 2).c_str());
  const int d = std::atoi(text.substr(6, 2).c_str());
  if (y < 1970 || m < 1 || m > 12 || d < 1 || d > DaysIn(y, m)) return false;
  day = {y, m, d};
  return true;
}

std::string BillDay::Text() const {
  char text[16];
  std::snprintf(text, sizeof text, "%04d%02d%02d", year, month, day);
  return text;
}

std::int64_t BillDay::StartMs() const {
  return DaysFromCivil(year, month, day) * kDayMs - kPlatformUtcOffsetSeconds * 1000LL;
}

BillDay BillDay::Of(std::int64_t at) {
  const std::tm parts = PlatformCalendar(at);
  return {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday};
}

BillAvailability AvailabilityOf(const BillDay& day, std::int64_t now, bool readyNow) {
  BillDay oldest = BillDay::Of(now);
  oldest.month -= kKeptMonths;
  if (oldest.month < 1) oldest.month += 12, --oldest.year;
  oldest.day = std::min(oldest.day, DaysIn(oldest.year, oldest.month));
  if (Ordinal(day) < Ordinal(oldest)) return BillAvailability::kTooOld;
  const std::int64_t start = day.StartMs();
  const std::int64_t ready = readyNow ? start : start + kReadyAfterMs;
  return now >= ready ? BillAvailability::kReady : BillAvailability::kNotClosed;
}

Coupon CouponOf(const Order& order) {
  Coupon coupon;
  coupon.fee = std::min(PlayOf(order.scenario).couponFee, order.totalFee);
  if (coupon.fee <= 0) return Coupon{};
  // A made-up coupon number, the same for the order wherever it is shown.
  const std::string& id = order.transactionId;
  coupon.id = "7700" + (id.size() > 10 ? id.substr(id.size() - 10) : id);
  coupon.type = "NO_CASH";
  return coupon;
}

long long SettlementFee(const Order& order) {
  const Coupon coupon = CouponOf(order);
  return coupon.type == "NO_CASH" ? order.totalFee - coupon.fee : order.totalFee;
}

long long FeeOf(long long settledFen) {
  // 0.6%, rounded half away from zero.
  const long long magnitude = (std::llabs(settledFen) * 6 + 500) / 1000;
  return settledFen < 0 ? -magnitude : magnitude;
}

std::string Yuan(long long fen) {
  const long long magnitude = std::llabs(fen);
  char text[32];
  std::snprintf(text, sizeof text, "%s%lld.%02lld", fen < 0 ? "-" : "", magnitude / 100,
                magnitude % 100);
  return text;
}

DailyBill MakeDailyBill(const NumberedOrders& orders, const BillDay& day, BillType type,
                        const BillMerchant& merchant) {
  const std::int64_t start = day.StartMs();
  const auto onDay = [start](std::int64_t at) { return at >= start && at < start + kDayMs; };
  const char* kRate = "0.60%";
  DailyBill bill;
  BillSummary& sum = bill.summary;
  std::vector<Row> rows;
  for (const auto& [number, order] : orders) {
    if (order.paidAt == 0 || order.transactionId.empty()) continue;
    const Coupon coupon = CouponOf(order);
    const std::vector<std::string> who = {merchant.appId,   merchant.mchId,      "0",
                                          kPayerDeviceInfo, order.transactionId, number,
                                          PayerOf(order),   order.tradeType};
    if (type != BillType::kRefund && onDay(order.paidAt)) {
      const long long settled = SettlementFee(order);
      const long long fee = FeeOf(settled);
      Row row{order.paidAt, {PlatformTime(order.paidAt, kSuccessTimeFormat)}};
      row.fields.insert(row.fields.end(), who.begin(), who.end());
      for (const std::string& field :
           {std::string("SUCCESS"), std::string(kPayerBankType), std::string("CNY"), Yuan(settled),
            Yuan(coupon.fee), std::string("0"), std::string("0"), Yuan(0), Yuan(0), std::string(),
            std::string(), order.description, std::string(kPayerAttach), Yuan(fee),
            std::string(kRate), Yuan(order.totalFee), Yuan(0), std::string()}) {
        row.fields.push_back(field);
      }
      rows.push_back(std::move(row));
      sum.settlementTotal += settled;
      sum.feeTotal += fee;
      sum.orderTotal += order.totalFee;
    }
    if (type == BillType::kSuccess) continue;
    for (const Refund& refund : order.refunds) {
      if (!onDay(refund.requestedAt)) continue;
      const long long fee = FeeOf(-refund.refundFee);
      Row row{refund.requestedAt, {PlatformTime(refund.requestedAt, kSuccessTimeFormat)}};
      row.fields.insert(row.fields.end(), who.begin(), who.end());
      for (const std::string& field :
           {std::string("REFUND"), std::string(kPayerBankType), std::string("CNY"), Yuan(0),
            Yuan(0), refund.refundId, refund.outRefundNo, Yuan(refund.refundFee), Yuan(0),
            std::string("ORIGINAL"), std::string(RefundStatusName(refund.status)),
            order.description, std::string(kPayerAttach), Yuan(fee), std::string(kRate), Yuan(0),
            Yuan(refund.refundFee), std::string()}) {
        row.fields.push_back(field);
      }
      rows.push_back(std::move(row));
      sum.refundTotal += refund.refundFee;
      sum.requestedRefundTotal += refund.refundFee;
      sum.feeTotal += fee;
    }
  }
  if (rows.empty()) return bill;
  std::stable_sort(rows.begin(), rows.end(),
                   [](const Row& a, const Row& b) { return a.at < b.at; });
  bill.text = Line({std::begin(kColumns), std::end(kColumns)}, false);
  for (const Row& row : rows) bill.text += Line(row.fields, true);
  sum.trades = static_cast<long long>(rows.size());
  bill.text += Line({std::begin(kSummaryColumns), std::end(kSummaryColumns)}, false);
  bill.text += Line({std::to_string(sum.trades), Yuan(sum.settlementTotal), Yuan(sum.refundTotal),
                     Yuan(sum.rechargeCouponRefundTotal), Yuan(sum.feeTotal), Yuan(sum.orderTotal),
                     Yuan(sum.requestedRefundTotal)},
                    true);
  return bill;
}

}  // namespace quillmark::sandbox
