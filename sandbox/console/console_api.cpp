// The console's JSON API: each route's view of the store as nlohmann-json values, the
// times written as UTC ISO 8601, and the one rule that keeps a list within its reply's size.
#include "sandbox/console/console_api.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "config/local_sandbox.h"
#include "platform/platform.h"
#include "protocol/auth_code.h"
#include "protocol/field_rules.h"
#include "protocol/flat_document.h"
#include "protocol/operation.h"
#include "protocol/refund_notification.h"
#include "qr/qr_bitmap.h"
#include "sandbox/api/request_check.h"
#include "sandbox/bill/daily_bill.h"
#include "sandbox/notify/notifier.h"
#include "sandbox/order/order_life.h"
#include "sandbox/payer/code_page.h"
#include "sandbox/payer/payer_page.h"

namespace quillmark::sandbox {
namespace {

// What an envelope takes beyond its lists: its names, flags and numbers.
constexpr std::size_t kEnvelopeBytes = 256;

const char* NotificationState(const StoredOrder& stored, const ConsoleSettings& settings) {
  const Order& order = stored.order;
  if (!order.paid) return "none";
  if (order.notifyAcknowledged) return "acknowledged";
  if (stored.notifyNext > 0) return settings.notify ? "due" : "off";
  return "not acknowledged";
}

// The order's history, oldest first.
ConsoleJson HistoryJson(const Order& order) {
  std::vector<std::pair<std::int64_t, ConsoleJson>> events;
  events.push_back({order.placedAt, {{"event", "placed"}, {"at", IsoTime(order.placedAt)}}});
  if (order.queries > 0) {
    events.push_back({order.firstQueryAt,
                      {{"event", "queried"},
                       {"at", IsoTime(order.firstQueryAt)},
                       {"count", order.queries},
                       {"last_at", IsoTime(order.lastQueryAt)}}});
  }
  const auto add = [&events](const char* event, std::int64_t at, const char* name,
                             const std::string& detail) {
    ConsoleJson item = {{"event", event}, {"at", IsoTime(at)}};
    if (!detail.empty()) item[name] = detail;
    events.push_back({at, std::move(item)});
  };
  if (order.paidAt) add("paid", order.paidAt, "by", ActorName(order.paidBy));
  if (order.closedAt) add("closed", order.closedAt, "by", ActorName(order.closedBy));
  for (const Refund& refund : order.refunds) {
    add("refunded", refund.requestedAt, "out_refund_no", refund.outRefundNo);
  }
  std::stable_sort(events.begin(), events.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  ConsoleJson history = ConsoleJson::array();
  for (auto& event : events) history.push_back(std::move(event.second));
  return history;
}

ConsoleJson RequestJson(const JournalEntry& entry) {
  ConsoleJson value = {{"id", entry.id},
                       {"at", IsoTime(entry.at)},
                       {"method", entry.method},
                       {"path", entry.path},
                       {"operation", entry.operation},
                       {"out_trade_no", entry.orderNo},
                       {"verdict", entry.verdict},
                       {"status", entry.status},
                       {"outcome", entry.outcome},
                       {"body", entry.body},
                       {"body_bytes", entry.bodyBytes},
                       {"body_cut", entry.bodyBytes > entry.body.size()},
                       {"reply", entry.reply},
                       {"reply_bytes", entry.replyBytes},
                       {"reply_cut", entry.replyBytes > entry.reply.size()},
                       {"sign_type", entry.signType}};
  if (!entry.expectedSign.empty()) {
    value["sign"] = {{"sign_string", entry.signString},
                     {"expected", entry.expectedSign},
                     {"received", entry.receivedSign}};
  }
  return value;
}

ConsoleJson AttemptJson(const AttemptEntry& attempt) {
  const auto orNull = [](auto number) { return number == 0 ? ConsoleJson() : ConsoleJson(number); };
  return {{"at", IsoTime(attempt.at)},
          {"attempt", orNull(attempt.number)},
          {"resend", attempt.number == 0},
          {"url", attempt.url},
          {"http_status", orNull(attempt.httpStatus)},
          {"error", attempt.error},
          {"answer", attempt.answer},
          {"answer_bytes", attempt.answerBytes},
          {"answer_cut", attempt.answerBytes > attempt.answer.size()},
          {"duration_ms", attempt.durationMs},
          {"acknowledged", attempt.acknowledged},
          {"out_refund_no", attempt.outRefundNo}};
}

const char* RefundNotificationState(const StoredRefund& stored, const ConsoleSettings& settings) {
  if (!stored.refund.final()) return "none";
  if (stored.refund.notifyAcknowledged) return "acknowledged";
  if (stored.notifyNext > 0) return settings.notify ? "due" : "off";
  return "not acknowledged";
}

// Each refund with its notification as it is sent: the document, encrypted as req_info,
// and the outer fields but the nonce, which each attempt draws afresh.
ConsoleJson RefundsJson(const StoredOrder& stored, const ConsoleSettings& settings) {
  ConsoleJson refunds = ConsoleJson::array();
  for (std::size_t i = 0; i < stored.order.refunds.size(); ++i) {
    const Refund& refund = stored.order.refunds[i];
    ConsoleJson value = {{"out_refund_no", refund.outRefundNo},
                         {"refund_id", refund.refundId},
                         {"refund_fee", refund.refundFee},
                         {"amount", AmountText(refund.refundFee)},
                         {"status", RefundStatusName(refund.status)},
                         {"requested_at", IsoTime(refund.requestedAt)},
                         {"success_time", refund.successTime},
                         {"notify_url", refund.notifyUrl}};
    const StoredRefund schedule = i < stored.refunds.size() ? stored.refunds[i] : StoredRefund{};
    ConsoleJson notification = {{"state", RefundNotificationState(schedule, settings)}};
    if (schedule.notifyNext > 0 && !refund.notifyAcknowledged) {
      notification["next_attempt"] = schedule.notifyNext;
      notification["due_at"] = IsoTime(schedule.notifyDueAt);
    }
    if (refund.final()) {
      const PaidOrder notice = RefundNoticeOf(stored.number, stored.order, i);
      const std::string decrypted = RefundInfoDocument(*notice.refund);
      notification["url"] = notice.notifyUrl;
      notification["decrypted"] = decrypted;
      notification["req_info"] = EncryptReqInfo(decrypted, settings.apiKey);
    }
    value["notification"] = std::move(notification);
    refunds.push_back(std::move(value));
  }
  return refunds;
}

std::vector<ConsoleJson> RequestItems(StateStore& store, const RequestFilter& filter,
                                      std::size_t limit) {
  std::vector<ConsoleJson> items;
  for (const JournalEntry& entry : store.Requests(filter, limit))
    items.push_back(RequestJson(entry));
  return items;
}

// `text` as a QR code's modules, a row of '1' (dark) and '0' each, with the quiet zone a
// camera needs around them, which the page draws; null when it cannot be encoded.
ConsoleJson QrJson(const std::string& text) {
  const std::optional<qr::Symbol> symbol = qr::Encode(text, qr::Correction::kMedium);
  if (!symbol) return nullptr;
  ConsoleJson rows = ConsoleJson::array();
  for (int y = 0; y < symbol->width; ++y) {
    std::string row;
    for (int x = 0; x < symbol->width; ++x) {
      row += symbol->dark[static_cast<std::size_t>(y * symbol->width + x)] ? '1' : '0';
    }
    rows.push_back(std::move(row));
  }
  return {{"width", symbol->width}, {"quiet_zone", qr::kQuietZoneModules}, {"rows", rows}};
}

ConsoleJson FilterChoices() {
  ConsoleJson operations = ConsoleJson::array();
  for (const Operation* operation : kOperations) operations.push_back(operation->name);
  for (const char* name :
       {kOperationPayerPage, kOperationPayment, kOperationPaymentCode, kOperationOther}) {
    operations.push_back(name);
  }
  ConsoleJson verdicts = ConsoleJson::array();
  for (const Verdict verdict : AllVerdicts()) verdicts.push_back(VerdictName(verdict));
  for (const char* name : {kVerdictPage, kVerdictNoEndpoint, kVerdictHttp, kVerdictNotServed}) {
    verdicts.push_back(name);
  }
  return {{"operations", operations},
          {"verdicts", verdicts},
          {"good_verdicts", {VerdictName(Verdict::kAccepted), kVerdictPage}}};
}

ConsoleJson ArmedJson(const ArmedScenario& armed) {
  return {
      {"id", std::to_string(armed.id)},
      {"scenario", armed.scenario->name},
      {"out_trade_no", armed.outTradeNo.empty() ? ConsoleJson() : ConsoleJson(armed.outTradeNo)},
      {"at", IsoTime(armed.at)}};
}

// Why `number` cannot be an armed scenario's order number, or "": one the unified order
// would refuse could never be placed, so its scenario would never play.
std::string OrderNoProblem(const ConsoleJson& number) {
  if (!number.is_string()) return "out_trade_no must be a string (leave it out for the next order)";
  if (!rules::IsOrderNumber(number.get_ref<const std::string&>())) {
    return "out_trade_no must be 1 to 32 letters, digits or _-|*, as the unified order takes it";
  }
  return "";
}

// A kept document's field, or "" when it is not there or the document cannot be read
// (cut at kKeptTextBytes, or refused as no document at all).
std::string KeptField(const std::string& document, const char* name) {
  SignedFields fields;
  std::string error;
  if (!ReadFlatDocument(document, fields, error)) return "";
  const auto field = fields.find(name);
  return field == fields.end() ? std::string() : field->second;
}

// What the sandbox answered a request: SUCCESS, the err_code of a FAIL result, or its
// verdict when the request itself was refused.
std::string AnswerOf(const JournalEntry& entry) {
  if (KeptField(entry.reply, kFieldReturnCode) != "SUCCESS") return entry.verdict;
  const std::string result = KeptField(entry.reply, kFieldResultCode);
  return result == "SUCCESS" ? result : KeptField(entry.reply, kFieldErrCode);
}

// One code's story as the journal and the orders tell it.
struct CodeStory {
  std::int64_t shownAt = 0;  // 0: not shown by /pay/code (a till's own, or journal gone)
  std::string fromOrder;
  std::vector<JournalEntry> micropays;  // oldest first
};

ConsoleJson ReversalsJson(StateStore& store, const std::string& orderNo) {
  RequestFilter filter;
  filter.operation = kReverseOperation.name;
  filter.orderNo = orderNo;
  std::vector<JournalEntry> calls = store.Requests(filter, kConsolePageRequests);
  ConsoleJson reversals = ConsoleJson::array();
  for (auto call = calls.rbegin(); call != calls.rend(); ++call) {
    const std::string recall = KeptField(call->reply, kFieldRecall);
    reversals.push_back({{"at", IsoTime(call->at)},
                         {"answer", AnswerOf(*call)},
                         {"recall", recall.empty() ? ConsoleJson() : ConsoleJson(recall)}});
  }
  return reversals;
}

ConsoleJson CodeJson(StateStore& store, const std::string& code, const CodeStory& story,
                     std::int64_t now) {
  const std::int64_t madeAt = AuthCodeMadeAt(code) * 1000;
  const std::int64_t goodUntil = madeAt + kAuthCodeLifetimeSeconds * 1000;
  // The order it paid for: the one whose code it is, among those the micropays named.
  std::optional<StoredOrder> used;
  for (const JournalEntry& micropay : story.micropays) {
    if (used) break;
    used = store.FindOrder(micropay.orderNo);
    if (used && used->order.authCode != code) used.reset();
  }
  ConsoleJson micropays = ConsoleJson::array();
  int reuses = 0;
  for (const JournalEntry& micropay : story.micropays) {
    const std::string answer = AnswerOf(micropay);
    // Refused because another order had it: what a till that scans a code twice meets.
    const bool reused = used && answer == "AUTHCODEEXPIRE" && micropay.orderNo != used->number &&
                        micropay.at >= used->order.placedAt;
    reuses += reused ? 1 : 0;
    micropays.push_back({{"at", IsoTime(micropay.at)},
                         {"out_trade_no", micropay.orderNo},
                         {"answer", answer},
                         {"reused", reused}});
  }
  ConsoleJson order;
  if (used) {
    const Order& paid = used->order;
    order = {{"out_trade_no", used->number},
             {"state", TradeState(paid)},
             {"total_fee", paid.totalFee},
             {"amount", AmountText(paid.totalFee)},
             {"placed_at", IsoTime(paid.placedAt)},
             {"reversed_at", paid.reversed ? ConsoleJson(IsoTime(paid.reversedAt)) : ConsoleJson()},
             {"reversals", ReversalsJson(store, used->number)}};
  }
  const char* fate = used ? "used" : now > goodUntil ? "expired" : "valid";
  return {{"auth_code", code},
          {"made_at", IsoTime(madeAt)},
          {"good_until", IsoTime(goodUntil)},
          {"shown_at", story.shownAt ? ConsoleJson(IsoTime(story.shownAt)) : ConsoleJson()},
          {"from_order", story.fromOrder.empty() ? ConsoleJson() : ConsoleJson(story.fromOrder)},
          {"fate", fate},
          {"refused_reuses", reuses},
          {"order", std::move(order)},
          {"micropays", std::move(micropays)}};
}

}  // namespace

std::string DumpJson(const ConsoleJson& value) {
  return value.dump(-1, ' ', false, ConsoleJson::error_handler_t::replace);
}

ApiAnswer ApiError(int status, const std::string& message) {
  return {status, {{"error", message}}};
}

FittedRows RowsThatFit(std::vector<ConsoleJson> items, std::size_t room) {
  FittedRows fitted;
  for (ConsoleJson& item : items) {
    const std::size_t bytes = DumpJson(item).size() + 1;  // and the comma before the next
    if (fitted.bytes + bytes > room) {
      fitted.cut = true;
      break;
    }
    fitted.bytes += bytes;
    fitted.rows.push_back(std::move(item));
  }
  return fitted;
}

ConsoleJson OrderJson(const StoredOrder& stored, const ConsoleSettings& settings) {
  const Order& order = stored.order;
  ConsoleJson value = {
      {"out_trade_no", stored.number},        {"description", order.description},
      {"total_fee", order.totalFee},          {"amount", AmountText(order.totalFee)},
      {"state", TradeState(order)},           {"notify_url", order.notifyUrl},
      {"placed_at", IsoTime(order.placedAt)}, {"queries", order.queries},
      {"scenario", order.scenario},           {"sign_type", SignTypeName(order.signType)},
      {"trade_type", order.tradeType},        {"prepay_id", order.prepayId}};
  if (order.paid) {
    value["transaction_id"] = order.transactionId;
    value["time_end"] = order.timeEnd;
    // time_end is the platform's clock; every *_at is UTC, as its Z says.
    value["time_end_zone"] = kPlatformZoneName;
  }
  value["refunds"] = RefundsJson(stored, settings);
  value["history"] = HistoryJson(order);
  ConsoleJson notification = {{"state", NotificationState(stored, settings)}};
  if (stored.notifyNext > 0 && !order.notifyAcknowledged) {
    notification["next_attempt"] = stored.notifyNext;
    notification["due_at"] = IsoTime(stored.notifyDueAt);
  }
  value["notification"] = std::move(notification);
  return value;
}

ConsoleJson AboutView(StateStore& store, const ConsoleSettings& settings, std::size_t orders,
                      PageLanguage language) {
  const StoreFigures figures = store.Figures();
  ConsoleJson state = {{"in_memory", store.inMemory()}};
  if (!store.inMemory()) {
    state["path"] = settings.statePath;
    state["kib"] = (figures.bytes + 1023) / 1024;
  }
  ConsoleJson phone;
  if (!settings.phonePageUrl.empty()) {
    phone = {{"url", settings.phonePageUrl},
             {"ca_fingerprint", settings.caFingerprint},
             {"qr", QrJson(settings.phonePageUrl)}};
  }
  // The merchants whose client certificates the console offers (an empty list: none), and
  // the files of each, which the page links to below /console/api/client-cert/<mch_id>/.
  ConsoleJson clientCerts = ConsoleJson::array();
  if (!settings.clientCertFolder.empty()) {
    for (const std::string& mchId : settings.clientCertMerchants) clientCerts.push_back(mchId);
  }
  const ConsoleJson clientCertFiles = {kClientCertP12, kClientCertPem, kClientKeyPem};
  return {{"form_token", settings.formToken},
          {"notify", settings.notify},
          {"refresh_ms", kConsoleRefreshMs},
          {"page_orders", kConsolePageOrders},
          {"page_requests", kConsolePageRequests},
          {"kept_text_bytes", kKeptTextBytes},
          {"kept_answer_bytes", kKeptAnswerBytes},
          {"state", state},
          {"orders", orders},
          {"max_orders", settings.maxOrders},
          {"order_ttl_s", settings.orderTtl.count()},
          {"journal_max", settings.journalMax},
          {"journal_requests", figures.requests},
          {"max_armed", kMaxArmedScenarios},
          {"filters", FilterChoices()},
          {"phone", phone},
          {"client_certs", clientCerts},
          {"client_cert_files", clientCertFiles},
          // "0", or how far the sandbox's clock is moved: every page says so when it is.
          {"clock_offset", ClockOffsetText(ClockOffsetMs())},
          {"lang", LanguageCode(language)}};
}

ConsoleJson OrdersView(StateStore& store, const ConsoleSettings& settings, std::size_t limit) {
  std::vector<ConsoleJson> items;
  for (const StoredOrder& stored : store.RecentOrders(limit)) {
    items.push_back(OrderJson(stored, settings));
  }
  FittedRows fitted = RowsThatFit(std::move(items), kMaxConsoleReplyBytes - kEnvelopeBytes);
  return {{"orders", std::move(fitted.rows)}, {"limit", limit}, {"truncated", fitted.cut}};
}

ConsoleJson BillsView(StateStore& store, const std::string& appId, const std::string& mchId,
                      std::size_t limit, std::int64_t now, bool readyNow) {
  NumberedOrders orders;
  std::set<std::string> days;  // yyyyMMdd sorts as the days do
  for (StoredOrder& stored : store.RecentOrders(limit)) {
    const Order& order = stored.order;
    if (order.paidAt != 0) days.insert(BillDay::Of(order.paidAt).Text());
    for (const Refund& refund : order.refunds) days.insert(BillDay::Of(refund.requestedAt).Text());
    orders.emplace_back(stored.number, std::move(stored.order));
  }
  std::vector<ConsoleJson> items;
  for (auto day = days.rbegin(); day != days.rend(); ++day) {
    BillDay parsed;
    if (!BillDay::Parse(*day, parsed)) continue;
    const BillSummary sum = MakeDailyBill(orders, parsed, BillType::kAll, {appId, mchId}).summary;
    const BillAvailability availability = AvailabilityOf(parsed, now, readyNow);
    items.push_back({{"bill_date", *day},
                     {"ready", availability == BillAvailability::kReady},
                     {"too_old", availability == BillAvailability::kTooOld},
                     {"trades", sum.trades},
                     {"settlement_total", Yuan(sum.settlementTotal)},
                     {"refund_total", Yuan(sum.refundTotal)},
                     {"fee_total", Yuan(sum.feeTotal)},
                     {"order_total", Yuan(sum.orderTotal)},
                     {"requested_refund_total", Yuan(sum.requestedRefundTotal)}});
  }
  FittedRows fitted = RowsThatFit(std::move(items), kMaxConsoleReplyBytes - kEnvelopeBytes);
  return {{"bills", std::move(fitted.rows)},
          {"time_zone", kPlatformZoneName},
          {"truncated", fitted.cut}};
}

ApiAnswer OrderView(StateStore& store, const ConsoleSettings& settings, const std::string& number,
                    std::string_view doneKey) {
  // The attempts first: the order read after them is at least as new, so an attempt shown
  // as acknowledged is never beside an order still waiting for one.
  std::vector<ConsoleJson> attemptItems;
  for (const AttemptEntry& attempt : store.Attempts(number)) {
    attemptItems.push_back(AttemptJson(attempt));
  }
  const std::optional<StoredOrder> stored = store.FindOrder(number);
  if (!stored) {
    return ApiError(404, "there is no order " + ShownNumber(number) +
                             " (never placed, or forgotten after its time or beyond the count "
                             "of orders kept)");
  }
  ConsoleJson order = OrderJson(*stored, settings);
  std::size_t room = kMaxConsoleReplyBytes - kEnvelopeBytes - DumpJson(order).size();
  FittedRows attempts = RowsThatFit(std::move(attemptItems), room / 2);
  room -= attempts.bytes;
  RequestFilter filter;
  filter.orderNo = number;
  FittedRows requests = RowsThatFit(RequestItems(store, filter, kConsolePageRequests), room);
  ConsoleJson value = {{"order", std::move(order)},
                       {"attempts", std::move(attempts.rows)},
                       {"requests", std::move(requests.rows)},
                       {"truncated", attempts.cut || requests.cut},
                       {"attempts_truncated", attempts.cut},
                       {"requests_truncated", requests.cut}};
  const std::string message = ConsoleMessage(doneKey, ShownNumber(number));
  if (!message.empty()) value["message"] = message;
  return {200, std::move(value)};
}

ConsoleJson RequestsView(StateStore& store, const RequestFilter& filter, std::size_t limit) {
  FittedRows fitted =
      RowsThatFit(RequestItems(store, filter, limit), kMaxConsoleReplyBytes - kEnvelopeBytes);
  return {{"requests", std::move(fitted.rows)}, {"limit", limit}, {"truncated", fitted.cut}};
}

ConsoleJson CodesView(StateStore& store, std::size_t limit, std::int64_t now) {
  std::map<std::string, CodeStory> stories;
  RequestFilter filter;
  filter.operation = kOperationPaymentCode;
  for (const JournalEntry& shown : store.Requests(filter, limit)) {
    // The line names the code: "payment code <18 digits> shown, ...".
    static constexpr std::string_view kLead = kCodeShownLead;
    if (shown.outcome.compare(0, kLead.size(), kLead) != 0) continue;
    const std::string code = shown.outcome.substr(kLead.size(), kAuthCodeDigits);
    if (!IsAuthCode(code)) continue;
    stories[code].shownAt = shown.at;
    stories[code].fromOrder = shown.orderNo;
  }
  filter.operation = kMicropayOperation.name;
  for (const JournalEntry& micropay : store.Requests(filter, limit)) {
    const std::string code = KeptField(micropay.body, kFieldAuthCode);
    // A malformed code is refused as such: it is no code whose fate could be told.
    if (IsAuthCode(code)) stories[code].micropays.insert(stories[code].micropays.begin(), micropay);
  }
  std::vector<std::pair<std::string, const CodeStory*>> codes;
  for (const auto& [code, story] : stories) codes.emplace_back(code, &story);
  std::stable_sort(codes.begin(), codes.end(), [](const auto& a, const auto& b) {
    return AuthCodeMadeAt(a.first) > AuthCodeMadeAt(b.first);
  });
  std::vector<ConsoleJson> items;
  for (const auto& [code, story] : codes) items.push_back(CodeJson(store, code, *story, now));
  FittedRows fitted = RowsThatFit(std::move(items), kMaxConsoleReplyBytes - kEnvelopeBytes);
  return {{"codes", std::move(fitted.rows)},
          {"limit", limit},
          {"lifetime_s", kAuthCodeLifetimeSeconds},
          {"truncated", fitted.cut}};
}

ConsoleJson ClockView() {
  const std::int64_t now = NowMs();
  return {{"offset", ClockOffsetText(ClockOffsetMs())},
          {"offset_ms", ClockOffsetMs()},
          {"now", IsoTime(now)},
          {"platform_time", PlatformTime(now, kSuccessTimeFormat)},
          {"time_zone", kPlatformZoneName}};
}

ApiAnswer MoveClock(ConsoleActions& actions, const std::string& body) {
  const ConsoleJson request = ConsoleJson::parse(body, nullptr, false);
  const bool object = !request.is_discarded() && request.is_object() && request.size() == 1;
  const auto offset = object ? request.find("offset") : request.end();
  std::int64_t offsetMs = 0;
  if (!object || offset == request.end() || !offset->is_string() ||
      !ParseClockOffset(offset->get_ref<const std::string&>(), offsetMs)) {
    return ApiError(400,
                    "the body must be {\"offset\": OFFSET}, OFFSET the clock's offset from the "
                    "machine's: a sign, then days, hours, minutes, seconds, as \"7d1m\", "
                    "\"-2h\" or \"0\", at most 3650 days");
  }
  actions.MoveClock(offsetMs);
  return {200, ClockView()};
}

ConsoleJson ScenariosView(const std::vector<ArmedScenario>& armed, std::size_t offset,
                          std::size_t limit) {
  ConsoleJson list = ConsoleJson::array();
  for (std::size_t i = offset; i < armed.size() && i - offset < limit; ++i) {
    list.push_back(ArmedJson(armed[i]));
  }
  ConsoleJson table = ConsoleJson::array();
  for (const Scenario& scenario : kScenarios) {
    table.push_back({{"name", scenario.name},
                     {"total_fee", scenario.totalFee},
                     {"amount", AmountText(scenario.totalFee)},
                     {"label", scenario.label},
                     {"description", scenario.description}});
  }
  const bool more = offset + list.size() < armed.size();
  return {{"armed", std::move(list)},     {"offset", offset},  {"limit", limit},
          {"total", armed.size()},        {"truncated", more}, {"max_armed", kMaxArmedScenarios},
          {"scenarios", std::move(table)}};
}

ApiAnswer ArmScenario(ConsoleActions& actions, const std::string& body, std::int64_t now) {
  const ConsoleJson request = ConsoleJson::parse(body, nullptr, false);
  if (request.is_discarded() || !request.is_object()) {
    return ApiError(400,
                    "the body must be a JSON object: {\"scenario\": NAME, "
                    "\"out_trade_no\": NUMBER}, out_trade_no left out for the next order");
  }
  for (const auto& item : request.items()) {
    if (item.key() != "scenario" && item.key() != "out_trade_no") {
      return ApiError(
          400, "unknown field " + ShownNumber(item.key()) + " (scenario and out_trade_no only)");
    }
  }
  const auto name = request.find("scenario");
  if (name == request.end() || !name->is_string()) {
    return ApiError(400, "scenario must be given, as a string: the name of a scenario");
  }
  const Scenario* scenario = FindScenario(name->get_ref<const std::string&>());
  if (!scenario) {
    std::string names;
    for (const Scenario& known : kScenarios)
      names += (names.empty() ? "" : ", ") + std::string(known.name);
    return ApiError(
        400, "unknown scenario " + ShownNumber(name->get<std::string>()) + " (" + names + ")");
  }
  std::string orderNo;
  if (const auto number = request.find("out_trade_no"); number != request.end()) {
    const std::string problem = OrderNoProblem(*number);
    if (!problem.empty()) return ApiError(400, problem);
    orderNo = number->get<std::string>();
  }
  using Kind = ConsoleActions::Arming::Kind;
  const ConsoleActions::Arming arming = actions.Arm(*scenario, orderNo, now);
  switch (arming.kind) {
    case Kind::kArmed:
      break;
    case Kind::kPlaced:
      return ApiError(409, "order " + orderNo +
                               " has been placed already: an order plays the scenario armed "
                               "for it when it is placed, so this one would never play");
    case Kind::kFull:
      return ApiError(409, std::to_string(kMaxArmedScenarios) +
                               " scenarios are armed, the most the sandbox keeps: disarm some "
                               "first (DELETE /console/api/scenarios/ID, or "
                               "DELETE /console/api/scenarios for all)");
  }
  return {201, ArmedJson(arming.armed)};
}

ApiAnswer DisarmScenario(ConsoleActions& actions, const std::string& id) {
  // An id as ArmedJson writes it: digits, without a leading zero.
  const bool digits = !id.empty() && id.size() <= 18 && id[0] != '0' &&
                      id.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || !actions.Disarm(std::stoll(id))) {
    return ApiError(404, "no scenario is armed under id " + ShownNumber(id));
  }
  return {200, {{"removed", id}}};
}

ApiAnswer DisarmAllScenarios(ConsoleActions& actions) {
  return {200, {{"removed", "all"}, {"count", actions.DisarmAll()}}};
}

std::string ShownNumber(const std::string& number) {
  return PrintableAscii(number.substr(0, 64)) + (number.size() > 64 ? "..." : "");
}

std::string IsoTime(std::int64_t ms) {
  if (ms == 0) return "";
  std::int64_t seconds = ms / 1000;
  std::int64_t milliseconds = ms % 1000;
  if (milliseconds < 0) {
    milliseconds += 1000;
    --seconds;
  }
  const std::tm parts = platform::UtcCalendar(static_cast<std::time_t>(seconds));
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<int>(milliseconds));
  return text;
}

}  // namespace quillmark::sandbox
