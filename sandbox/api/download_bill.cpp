// The day's bill: every paid order and refund of one day of the platform's clock, as the
// bill's text (gzip when asked), from the orders the sandbox keeps. Nothing changes.
#include <string>
#include <utility>

#include "sandbox/api/api_handler.h"
#include "sandbox/api/replies.h"
#include "sandbox/api/request_check.h"
#include "sandbox/bill/daily_bill.h"
#include "sandbox/bill/gzip.h"

namespace quillmark::sandbox {
namespace {

constexpr char kNoBill[] = "No Bill Exist";
constexpr char kNoBillCode[] = "20002";

// The platform's refusal of a bill: unsigned, with an error_code where others have none.
void NoBillReply(HttpReply& reply) {
  reply.contentType = "text/xml";
  reply.body = ReplyDocument(
      {{kFieldReturnCode, "FAIL"}, {kFieldReturnMsg, kNoBill}, {kFieldErrorCode, kNoBillCode}});
}

}  // namespace

void ServeDownloadBill(Exchange& ex, OrderDesk& desk) {
  const Fields& fields = ex.check.fields;
  const std::string& date = fields.at(kFieldBillDate);
  const auto tar = fields.find(kFieldTarType);
  const bool gzip = tar != fields.end() && !tar->second.empty();
  BillDay day;
  BillType type{};
  if (!BillDay::Parse(date, day)) {
    desk.SendFail("bill_date must be a day as yyyyMMdd", ex.reply);
    desk.Log(ex, "-", 200, "FAIL bad bill_date " + PrintableAscii(date));
    return;
  }
  if (!ParseBillType(fields.at(kFieldBillType), type)) {
    desk.SendFail("bill_type must be ALL, SUCCESS or REFUND", ex.reply);
    desk.Log(ex, "-", 200, "FAIL bad bill_type");
    return;
  }
  if (gzip && tar->second != "GZIP") {
    desk.SendFail("tar_type must be GZIP", ex.reply);
    desk.Log(ex, "-", 200, "FAIL bad tar_type");
    return;
  }
  const BillAvailability availability = AvailabilityOf(day, ex.entry.at, desk.billReadyNow());
  if (availability != BillAvailability::kReady) {
    NoBillReply(ex.reply);
    desk.Log(ex, "-", 200,
             std::string("FAIL No Bill Exist: ") + date +
                 (availability == BillAvailability::kTooOld ? " is older than three months"
                                                            : " is not closed yet"));
    return;
  }
  const NumberedOrders orders = desk.AllOrders();
  const DailyBill bill =
      MakeDailyBill(orders, day, type, {fields.at(kFieldAppId), fields.at(kFieldMchId)});
  if (bill.text.empty()) {
    NoBillReply(ex.reply);
    desk.Log(ex, "-", 200, "FAIL No Bill Exist: no trades on " + date);
    return;
  }
  std::string body = bill.text;
  if (gzip && !Gzip(bill.text, body)) {
    desk.SendFail("the bill could not be compressed", ex.reply);
    desk.Log(ex, "-", 200, "FAIL gzip");
    return;
  }
  ex.reply.contentType = gzip ? "application/x-gzip" : "text/plain; charset=utf-8";
  ex.reply.body = std::move(body);
  desk.Log(ex, "-", 200,
           "SUCCESS bill " + date + ", " + std::to_string(bill.summary.trades) + " trades" +
               (gzip ? ", gzip" : ""));
}

}  // namespace quillmark::sandbox
