#include "sandbox/console/console.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "payment/codecs.h"
#include "payment/flat_document.h"
#include "payment/operation.h"
#include "qr/qr_bitmap.h"
#include "sandbox/payer/html_text.h"
#include "sandbox/payer/payer_page.h"
#include "sandbox/api/request_check.h"

namespace quillmark::sandbox {
namespace {

using json = nlohmann::ordered_json;

constexpr char kHtmlType[] = "text/html; charset=utf-8";
constexpr char kJsonType[] = "application/json";
constexpr char kApiPrefix[] = "/console/api";
constexpr char kOrdersPath[] = "/console/orders/";
constexpr char kApiOrdersPath[] = "/console/api/orders";
// What a page may take beyond its rows: head, navigation, the order's own table, footer.
constexpr std::size_t kPageFrameBytes = 64 * 1024;
constexpr std::size_t kShownPathBytes = 80;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Compares in a time that does not depend on where the texts first differ, so that the
// token cannot be guessed a character at a time.
bool SameSecret(std::string_view given, std::string_view secret) {
  if (secret.empty() || given.size() != secret.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < secret.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i] ^ secret[i]);
  }
  return difference == 0;
}

// The host part of a Host header: "127.0.0.1", "[::1]", "localhost".
std::string_view HostName(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    return close == std::string_view::npos ? host : host.substr(0, close + 1);
  }
  return host.substr(0, host.find(':'));
}

bool IsLoopbackName(std::string_view host) {
  const std::string_view name = HostName(host);
  if (name == "localhost" || name == "[::1]") return true;
  // 127.0.0.0/8 as four decimal parts: "127." and three more.
  if (!StartsWith(name, "127.")) return false;
  int parts = 2;
  int digits = 0;
  for (const char c : name.substr(4)) {
    if (c == '.') {
      if (digits == 0) return false;
      ++parts;
      digits = 0;
    } else if (c >= '0' && c <= '9' && digits < 3) {
      ++digits;
    } else {
      return false;
    }
  }
  return parts == 4 && digits > 0;
}

std::string CookieName(const ConsoleSettings& settings) {
  return "quillmark_console_" + std::to_string(settings.port);
}

std::string CookieValue(std::string_view cookies, const std::string& name) {
  std::size_t from = 0;
  while (from < cookies.size()) {
    std::size_t end = cookies.find(';', from);
    if (end == std::string_view::npos) end = cookies.size();
    std::string_view pair = cookies.substr(from, end - from);
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    const std::size_t equals = pair.find('=');
    if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
      return std::string(pair.substr(equals + 1));
    }
    from = end + 1;
  }
  return "";
}

// Every name=value pair of `query` but the token's, for the address a token is dropped from.
std::string WithoutToken(const std::string& query) {
  std::string kept;
  std::size_t from = 0;
  while (from <= query.size()) {
    std::size_t end = query.find('&', from);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(from, end - from);
    if (!pair.empty() && pair.compare(0, 6, "token=") != 0 && pair != "token") {
      kept += (kept.empty() ? "" : "&") + pair;
    }
    from = end + 1;
  }
  return kept;
}

std::string Dump(const json& value) {
  // Bodies, answers and order fields need not be UTF-8: a byte that is not is shown as
  // U+FFFD rather than failing the reply.
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Milliseconds since 1970 UTC to its civil date and time. Written out rather than asked
// of the C library: gmtime is not thread-safe, and its safe forms differ by system.
struct Civil {
  long long year;
  unsigned month, day, hour, minute, second, millisecond;
};

Civil CivilOf(std::int64_t ms) {
  const std::int64_t kDay = 86'400'000;
  std::int64_t days = ms / kDay;
  std::int64_t rest = ms % kDay;
  if (rest < 0) {
    rest += kDay;
    --days;
  }
  // Days since 1970-01-01 to year, month, day in the proleptic Gregorian calendar.
  days += 719'468;
  const std::int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146'097);
  const unsigned yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned shifted = (5 * dayOfYear + 2) / 153;
  Civil civil{};
  civil.day = dayOfYear - (153 * shifted + 2) / 5 + 1;
  civil.month = shifted < 10 ? shifted + 3 : shifted - 9;
  civil.year = static_cast<long long>(yearOfEra) + era * 400 + (civil.month <= 2 ? 1 : 0);
  civil.hour = static_cast<unsigned>(rest / 3'600'000);
  civil.minute = static_cast<unsigned>(rest / 60'000 % 60);
  civil.second = static_cast<unsigned>(rest / 1000 % 60);
  civil.millisecond = static_cast<unsigned>(rest % 1000);
  return civil;
}

// "2026-01-31 12:34:56", UTC, for the pages.
std::string ShownTime(std::int64_t ms) {
  if (ms == 0) return "";
  const Civil c = CivilOf(ms);
  char text[48];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02u:%02u:%02u", c.year, c.month, c.day,
                c.hour, c.minute, c.second);
  return text;
}

const char* NotificationState(const StoredOrder& stored, const ConsoleSettings& settings) {
  const Order& order = stored.order;
  if (!order.paid) return "none";
  if (order.notifyAcknowledged) return "acknowledged";
  if (stored.notifyNext > 0) return settings.notify ? "due" : "off";
  return "not acknowledged";
}

struct HistoryEvent {
  const char* event;
  std::int64_t at;
  std::string detail;
};

// The order's history, oldest first.
std::vector<HistoryEvent> HistoryOf(const Order& order) {
  std::vector<HistoryEvent> events;
  events.push_back({"placed", order.placedAt, ""});
  if (order.queries > 0) {
    events.push_back(
        {"queried", order.firstQueryAt,
         std::to_string(order.queries) +
             (order.queries == 1 ? " time"
                                 : " times, the last at " + ShownTime(order.lastQueryAt))});
  }
  if (order.paidAt) events.push_back({"paid", order.paidAt, ActorName(order.paidBy)});
  if (order.closedAt) events.push_back({"closed", order.closedAt, ActorName(order.closedBy)});
  if (order.refundedAt) events.push_back({"refunded", order.refundedAt, order.outRefundNo});
  std::stable_sort(events.begin(), events.end(),
                   [](const HistoryEvent& a, const HistoryEvent& b) { return a.at < b.at; });
  return events;
}

// --- JSON --------------------------------------------------------------------------------

json OrderJson(const StoredOrder& stored, const ConsoleSettings& settings) {
  const Order& order = stored.order;
  json value = {{"out_trade_no", stored.number}, {"description", order.description},
                {"total_fee", order.totalFee},   {"state", TradeState(order)},
                {"notify_url", order.notifyUrl}, {"placed_at", IsoTime(order.placedAt)},
                {"queries", order.queries}};
  if (order.paid) {
    value["transaction_id"] = order.transactionId;
    value["time_end"] = order.timeEnd;
  }
  if (order.refunded) {
    value["out_refund_no"] = order.outRefundNo;
    value["refund_id"] = order.refundId;
  }
  json history = json::array();
  for (const HistoryEvent& event : HistoryOf(order)) {
    json item = {{"event", event.event}, {"at", IsoTime(event.at)}};
    if (std::string_view(event.event) == "queried") {
      item["count"] = order.queries;
      item["last_at"] = IsoTime(order.lastQueryAt);
    } else if (!event.detail.empty()) {
      item[std::string_view(event.event) == "refunded" ? "out_refund_no" : "by"] = event.detail;
    }
    history.push_back(std::move(item));
  }
  value["history"] = std::move(history);
  json notification = {{"state", NotificationState(stored, settings)}};
  if (stored.notifyNext > 0 && !order.notifyAcknowledged) {
    notification["next_attempt"] = stored.notifyNext;
    notification["due_at"] = IsoTime(stored.notifyDueAt);
  }
  value["notification"] = std::move(notification);
  return value;
}

json RequestJson(const JournalEntry& entry) {
  json value = {{"id", entry.id},
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
                {"reply_cut", entry.replyBytes > entry.reply.size()}};
  if (!entry.expectedSign.empty()) {
    value["sign"] = {{"sign_string", entry.signString},
                     {"expected", entry.expectedSign},
                     {"received", entry.receivedSign}};
  }
  return value;
}

json AttemptJson(const AttemptEntry& attempt) {
  json value = {{"at", IsoTime(attempt.at)},
                {"attempt", attempt.number == 0 ? json(nullptr) : json(attempt.number)},
                {"resend", attempt.number == 0},
                {"url", attempt.url},
                {"http_status", attempt.httpStatus == 0 ? json(nullptr) : json(attempt.httpStatus)},
                {"error", attempt.error},
                {"answer", attempt.answer},
                {"answer_bytes", attempt.answerBytes},
                {"answer_cut", attempt.answerBytes > attempt.answer.size()},
                {"duration_ms", attempt.durationMs},
                {"acknowledged", attempt.acknowledged}};
  return value;
}

// `items` as a JSON array, each dumped on its own, stopping before the reply would pass
// `room` bytes; `cut` tells whether any were left out. The items are the library's own
// output, so joining them keeps the text valid JSON.
std::string ArrayWithin(const std::vector<json>& items, std::size_t room, bool& cut) {
  std::string array = "[";
  cut = false;
  for (const json& item : items) {
    const std::string text = Dump(item);
    if (array.size() + text.size() + 2 > room) {
      cut = true;
      break;
    }
    if (array.size() > 1) array += ',';
    array += text;
  }
  return array + "]";
}

// --- HTML --------------------------------------------------------------------------------

std::string OrderLink(const std::string& number) {
  return "<a href=\"" + HtmlEscape(kOrdersPath + PercentEncode(number)) + "\">" +
         HtmlEscape(number) + "</a>";
}

std::string StateBadge(const char* state) {
  return std::string("<span class=\"state s-") + state + "\">" + state + "</span>";
}

std::string VerdictBadge(const std::string& verdict) {
  const bool good = verdict == VerdictName(Verdict::kAccepted) || verdict == kVerdictPage;
  return std::string("<span class=\"verdict ") + (good ? "good" : "bad") + "\">" +
         HtmlEscape(verdict) + "</span>";
}

std::string Cell(const std::string& html, const char* cls = nullptr) {
  return cls ? std::string("<td class=\"") + cls + "\">" + html + "</td>" : "<td>" + html + "</td>";
}

std::string Page(const std::string& title, const std::string& content) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width\">"
         "<title>" +
         HtmlEscape(title) +
         " - Quillmark sandbox console</title>"
         "<link rel=\"stylesheet\" href=\"/console/console.css\">"
         "<script src=\"/console/console.js\" defer></script></head><body>"
         "<header><strong>Quillmark sandbox</strong><nav><a href=\"/console\">Orders</a>"
         "<a href=\"/console/requests\">Requests</a></nav></header>"
         "<main id=\"content\" data-refresh-ms=\"" +
         std::to_string(kConsoleRefreshMs) + "\">" + content + "</main></body></html>\n";
}

// `text` as a QR code in SVG, black modules on white with the four-module quiet zone a
// camera needs, one path for all of them; "" when it cannot be encoded.
std::string QrSvg(const std::string& text) {
  const std::optional<qr::Symbol> symbol = qr::Encode(text, qr::Correction::kMedium);
  if (!symbol) return "";
  const int quiet = qr::kQuietZoneModules;
  const int size = symbol->width + 2 * quiet;
  std::string path;
  for (int y = 0; y < symbol->width; ++y) {
    for (int x = 0; x < symbol->width; ++x) {
      if (!symbol->dark[static_cast<std::size_t>(y * symbol->width + x)]) continue;
      path += "M" + std::to_string(x + quiet) + " " + std::to_string(y + quiet) + "h1v1h-1z";
    }
  }
  const std::string side = std::to_string(size);
  return "<svg class=\"qr\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + side + " " +
         side + "\" width=\"" + std::to_string(size * 4) + "\" height=\"" +
         std::to_string(size * 4) +
         "\" shape-rendering=\"crispEdges\"><rect width=\"100%\" height=\"100%\" "
         "fill=\"#fff\"/><path fill=\"#000\" d=\"" +
         path + "\"/></svg>";
}

// In the LAN mode: the QR code of the page a phone opens first, with the CA's fingerprint.
std::string PhoneSection(const ConsoleSettings& settings) {
  if (settings.phonePageUrl.empty()) return "";
  return "<section class=\"phone\"><h2>Pay from a phone</h2>" + QrSvg(settings.phonePageUrl) +
         "<p>On the phone, open <a href=\"" + HtmlEscape(settings.phonePageUrl) + "\">" +
         HtmlEscape(settings.phonePageUrl) +
         "</a> first (scan the code): it offers the sandbox's CA to install, once. The CA's "
         "SHA-256 fingerprint: <code>" +
         HtmlEscape(settings.caFingerprint) + "</code></p></section>";
}

std::string Footer(StateStore& store, const ConsoleSettings& settings, std::size_t orders) {
  const StoreFigures figures = store.Figures();
  std::string where = store.inMemory()
                          ? std::string("in memory (--state :memory:), kept until it stops")
                          : "in " + HtmlEscape(settings.statePath) + ", " +
                                std::to_string((figures.bytes + 1023) / 1024) + " KiB";
  return "<footer>State " + where + ". " + std::to_string(orders) + " orders kept (at most " +
         std::to_string(settings.maxOrders) + ", each for " +
         std::to_string(settings.orderTtl.count()) + " s); the journal keeps the last " +
         std::to_string(settings.journalMax) + " requests (" + std::to_string(figures.requests) +
         " now), bodies and replies cut at " + std::to_string(kKeptTextBytes) +
         " bytes. The page refreshes itself every " + std::to_string(kConsoleRefreshMs / 1000) +
         " s. Times are UTC.</footer>";
}

std::string NotificationCell(const StoredOrder& stored, const ConsoleSettings& settings) {
  const std::string state = NotificationState(stored, settings);
  std::string text = HtmlEscape(state);
  if (state == "due") {
    text += " (attempt " + std::to_string(stored.notifyNext) + " at " +
            ShownTime(stored.notifyDueAt) + ")";
  }
  return text;
}

std::string OrdersTable(const std::vector<StoredOrder>& orders, const ConsoleSettings& settings,
                        std::size_t room) {
  std::string rows;
  bool cut = false;
  for (const StoredOrder& stored : orders) {
    const Order& order = stored.order;
    std::string row = "<tr>" + Cell(OrderLink(stored.number), "order") +
                      Cell(AmountText(order.totalFee), "amount") +
                      Cell(StateBadge(TradeState(order))) + Cell(ShownTime(order.placedAt), "time") +
                      Cell(HtmlEscape(order.notifyUrl), "url") +
                      Cell(NotificationCell(stored, settings)) + "</tr>";
    if (rows.size() + row.size() > room) {
      cut = true;
      break;
    }
    rows += row;
  }
  std::string table =
      "<table id=\"orders\"><thead><tr><th>Order</th><th>Amount</th><th>State</th><th>Placed"
      "</th><th>notify_url</th><th>Notification</th></tr></thead><tbody>" +
      rows + "</tbody></table>";
  if (orders.empty()) table += "<p class=\"empty\">No orders yet.</p>";
  if (cut) table += "<p class=\"truncated\">More orders than fit on one page.</p>";
  return table;
}

std::string Pre(const std::string& text, std::size_t whole) {
  std::string html = "<pre>" + HtmlEscape(text) + "</pre>";
  if (whole > text.size()) {
    html += "<p class=\"note\">The first " + std::to_string(text.size()) + " of " +
            std::to_string(whole) + " bytes.</p>";
  }
  return html;
}

std::string SignBlock(const JournalEntry& entry) {
  if (entry.expectedSign.empty()) return "";
  return "<div class=\"sign\"><p>The sandbox signed this sign string (the key masked):</p>"
         "<pre class=\"sign-string\">" +
         HtmlEscape(entry.signString) + "</pre><p>Expected sign <code class=\"sign-expected\">" +
         HtmlEscape(entry.expectedSign) + "</code>, received <code class=\"sign-received\">" +
         HtmlEscape(entry.receivedSign) + "</code>.</p></div>";
}

std::string RequestsTable(const std::vector<JournalEntry>& entries, bool withOrder,
                          std::size_t room) {
  std::string rows;
  bool cut = false;
  for (const JournalEntry& entry : entries) {
    std::string path = entry.path.substr(0, kShownPathBytes);
    if (entry.path.size() > kShownPathBytes) path += "...";
    const std::string id = std::to_string(entry.id);
    std::string row = "<tr class=\"request\" data-verdict=\"" + HtmlEscape(entry.verdict) + "\">" +
                      Cell(id) + Cell(ShownTime(entry.at), "time") +
                      Cell(HtmlEscape(entry.method + " " + path)) +
                      Cell(HtmlEscape(entry.operation), "operation");
    if (withOrder) row += Cell(entry.orderNo.empty() ? "" : OrderLink(entry.orderNo), "order");
    row += Cell(VerdictBadge(entry.verdict)) + Cell(std::to_string(entry.status)) +
           Cell(HtmlEscape(entry.outcome) + SignBlock(entry) + "<details id=\"r" + id +
                    "\"><summary>Request and reply</summary>" + Pre(entry.body, entry.bodyBytes) +
                    Pre(entry.reply, entry.replyBytes) + "</details>",
                "outcome") +
           "</tr>";
    if (rows.size() + row.size() > room) {
      cut = true;
      break;
    }
    rows += row;
  }
  std::string table =
      std::string(
          "<table id=\"requests\"><thead><tr><th>#</th><th>Time</th><th>Request</th>"
          "<th>Operation</th>") +
      (withOrder ? "<th>Order</th>" : "") +
      "<th>Verdict</th><th>Status</th><th>Outcome</th></tr></thead><tbody>" + rows +
      "</tbody></table>";
  if (entries.empty()) table += "<p class=\"empty\">No requests.</p>";
  if (cut) table += "<p class=\"truncated\">More requests than fit on one page.</p>";
  return table;
}

std::string AttemptsTable(const std::vector<AttemptEntry>& attempts, std::size_t room) {
  std::string rows;
  bool cut = false;
  for (const AttemptEntry& attempt : attempts) {
    std::string answer = attempt.httpStatus == 0
                             ? HtmlEscape(attempt.error)
                             : "HTTP " + std::to_string(attempt.httpStatus) +
                                   (attempt.error.empty() ? "" : ", " + HtmlEscape(attempt.error));
    std::string row =
        "<tr class=\"attempt\">" +
        Cell(attempt.number == 0 ? std::string("resend") : std::to_string(attempt.number)) +
        Cell(ShownTime(attempt.at), "time") + Cell(HtmlEscape(attempt.url), "url") + Cell(answer) +
        Cell(Pre(attempt.answer, attempt.answerBytes)) +
        Cell(std::to_string(attempt.durationMs) + " ms") +
        Cell(attempt.acknowledged ? "<span class=\"verdict good\">yes</span>"
                                  : "<span class=\"verdict bad\">no</span>") +
        "</tr>";
    if (rows.size() + row.size() > room) {
      cut = true;
      break;
    }
    rows += row;
  }
  std::string table =
      "<table id=\"attempts\"><thead><tr><th>Attempt</th><th>Time</th><th>URL</th><th>Status"
      "</th><th>Answer (first " +
      std::to_string(kKeptAnswerBytes) +
      " bytes)</th><th>Took</th><th>Acknowledged</th></tr></thead><tbody>" + rows +
      "</tbody></table>";
  if (attempts.empty()) table += "<p class=\"empty\">No notification attempts.</p>";
  if (cut) table += "<p class=\"truncated\">More attempts than fit on one page.</p>";
  return table;
}

std::string ActionButton(const std::string& number, const char* action, const char* label,
                         const std::string& whyNot, const ConsoleSettings& settings) {
  return "<form method=\"post\" action=\"" +
         HtmlEscape(kOrdersPath + PercentEncode(number) + "/" + action) +
         "\"><input type=\"hidden\" name=\"form_token\" value=\"" + HtmlEscape(settings.formToken) +
         "\"><button type=\"submit\" id=\"" + action + "\"" +
         (whyNot.empty() ? "" : " disabled title=\"" + HtmlEscape(whyNot) + "\"") + ">" + label +
         "</button></form>";
}

// --- serving -----------------------------------------------------------------------------

void Secure(HttpReply& reply) {
  // The pages load only the console's own script and style and are framed by no one; the
  // token is never sent on as a Referer.
  reply.headers.emplace_back("Cache-Control", "no-store");
  reply.headers.emplace_back("X-Content-Type-Options", "nosniff");
  reply.headers.emplace_back("Referrer-Policy", "no-referrer");
  reply.headers.emplace_back("Content-Security-Policy",
                             "default-src 'none'; script-src 'self'; style-src 'self'; "
                             "connect-src 'self'; img-src 'self'; form-action 'self'; "
                             "frame-ancestors 'none'; base-uri 'none'");
}

void SendHtml(HttpReply& reply, int status, std::string body) {
  reply.status = status;
  reply.contentType = kHtmlType;
  reply.body = std::move(body);
  Secure(reply);
}

void SendJson(HttpReply& reply, int status, std::string body) {
  reply.status = status;
  reply.contentType = kJsonType;
  reply.body = std::move(body) + "\n";
  Secure(reply);
}

void SendJsonError(HttpReply& reply, int status, const std::string& message) {
  SendJson(reply, status, Dump(json{{"error", message}}));
}

void SendPageError(HttpReply& reply, int status, const std::string& message) {
  SendHtml(reply, status,
           Page("Error", "<h1>" + std::to_string(status) + "</h1><p class=\"error\">" +
                             HtmlEscape(message) + "</p>"));
}

std::size_t Limit(const HttpRequest& request) {
  const std::string text = FormValue(request.query, "limit");
  if (text.empty() || text.size() > 7 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return kConsoleDefaultLimit;
  }
  return std::clamp<std::size_t>(std::stoul(text), 1, kConsoleMaxLimit);
}

std::string Shown(const std::string& number) {
  return PrintableAscii(number.substr(0, 64)) + (number.size() > 64 ? "..." : "");
}

const char* kScript =
    R"js(// Refreshes the page's content while it is open and shown, keeping open details open and
// leaving it alone while a form control has the focus.
(function () {
  const content = document.getElementById('content');
  const every = Number(content && content.dataset.refreshMs) || 2000;
  let refreshes = 0;
  async function refresh() {
    const now = document.getElementById('content');
    if (document.hidden || !now) return;
    const focused = document.activeElement;
    if (focused && focused.closest && focused.closest('form')) return;
    try {
      const reply = await fetch(location.href, {credentials: 'same-origin', cache: 'no-store'});
      if (!reply.ok) return;
      const page = new DOMParser().parseFromString(await reply.text(), 'text/html');
      const next = page.getElementById('content');
      if (!next) return;
      const open = Array.from(now.querySelectorAll('details[open][id]'), d => d.id);
      now.replaceWith(document.adoptNode(next));
      for (const id of open) {
        const details = document.getElementById(id);
        if (details) details.open = true;
      }
      document.body.dataset.refreshes = String(++refreshes);
    } catch (error) {
      // The sandbox is stopping or restarting: the next round tries again.
    }
  }
  setInterval(refresh, every);
})();
)js";

const char* kStyle =
    R"css(body{font-family:system-ui,sans-serif;margin:0;color:#222;background:#fafafa}
header{display:flex;gap:2em;align-items:baseline;padding:.6em 1.2em;background:#24323f;color:#fff}
header nav a{color:#cfe3f5;margin-right:1.2em;text-decoration:none}
main{padding:1em 1.2em;max-width:90em}
h1{font-size:1.4em;margin:.2em 0 .6em}h2{font-size:1.1em;margin:1.4em 0 .5em}
table{border-collapse:collapse;width:100%;background:#fff;font-size:.92em}
th,td{border:1px solid #dde2e6;padding:.3em .5em;text-align:left;vertical-align:top}
th,td.time{white-space:nowrap}td.outcome,td.url,td.order{overflow-wrap:anywhere}
th{background:#eef1f4}td.amount{text-align:right;font-variant-numeric:tabular-nums}
td.url{word-break:break-all;max-width:24em}td.outcome{max-width:40em}
pre{white-space:pre-wrap;word-break:break-all;background:#f3f5f7;padding:.4em;margin:.3em 0;max-height:16em;overflow:auto}
.state,.verdict{display:inline-block;padding:0 .4em;border-radius:.3em;font-size:.9em;font-weight:600}
.s-NOTPAY{background:#e8e8e8}.s-SUCCESS{background:#d5f0d9;color:#12571f}
.s-CLOSED{background:#444;color:#fff}.s-REFUND{background:#ffe3c2;color:#7a4100}
.verdict.good{background:#d5f0d9;color:#12571f}.verdict.bad{background:#f8d7d7;color:#8a1414}
.sign{border-left:3px solid #c33;padding-left:.6em;margin:.4em 0}
.actions{display:flex;gap:.6em;margin:.8em 0}.actions button{font-size:1em;padding:.3em 1em}
.message{background:#fff6cc;padding:.4em .6em}.note,.empty,.truncated{color:#666}
form.filter{margin:.4em 0 .8em}form.filter select{margin-right:1em}
dl{display:grid;grid-template-columns:max-content minmax(0,1fr);gap:.2em 1em}dt{font-weight:600}dd{margin:0}
h1,dd{overflow-wrap:anywhere}
@media (max-width:40em){table{display:block;overflow-x:auto}}
footer{margin-top:2em;color:#666;font-size:.85em}
.phone{display:flex;flex-wrap:wrap;gap:1em;align-items:center}.phone h2{width:100%}
.phone code{word-break:break-all}
)css";

class Console {
 public:
  Console(const HttpRequest& request, HttpReply& reply, StateStore& store, ConsoleActions& actions,
          const ConsoleSettings& settings)
      : request_(request), reply_(reply), store_(store), actions_(actions), settings_(settings) {}

  void Serve();

 private:
  bool Api() const { return StartsWith(request_.path, kApiPrefix); }
  bool Get() const { return request_.method == "GET" || request_.method == "HEAD"; }
  void Error(int status, const std::string& message) {
    Api() ? SendJsonError(reply_, status, message) : SendPageError(reply_, status, message);
  }

  void OrdersPage();
  void OrderPage(const std::string& number);
  void RequestsPage();
  void ApiOrders();
  void ApiOrder(const std::string& number);
  void ApiRequests();
  void Act(const std::string& number, const std::string& action);

  const HttpRequest& request_;
  HttpReply& reply_;
  StateStore& store_;
  ConsoleActions& actions_;
  const ConsoleSettings& settings_;
};

void Console::Serve() {
  bool byQueryToken = false;
  if (!ConsoleAllows(request_, settings_, &byQueryToken)) {
    return Error(403,
                 "the console is open to this machine only; from another address, open the "
                 "console's address with the token the sandbox printed when it started");
  }
  const std::string& path = request_.path;
  if (byQueryToken && Get() && !Api()) {
    // Kept in a cookie from now on, and out of the address bar and the history.
    reply_.headers.emplace_back("Set-Cookie", CookieName(settings_) + "=" + settings_.token +
                                                  "; Path=/console; Secure; HttpOnly; "
                                                  "SameSite=Strict");
    const std::string rest = WithoutToken(request_.query);
    reply_.status = 303;
    // The path's own slashes stay slashes.
    reply_.location = PercentEncode(path, "/") + (rest.empty() ? "" : "?" + rest);
    Secure(reply_);
    return;
  }
  if (!Get() && request_.method != "POST") {
    reply_.headers.emplace_back("Allow", "GET, HEAD, POST");
    return Error(405, "the console answers GET and POST only");
  }
  if (request_.method == "POST") {
    const std::string problem = CrossSiteProblem(request_, settings_.formToken);
    if (!problem.empty()) return Error(403, problem);
  }

  if (Get() && path == "/console/console.js") {
    reply_.contentType = "text/javascript; charset=utf-8";
    reply_.body = kScript;
    return Secure(reply_);
  }
  if (Get() && path == "/console/console.css") {
    reply_.contentType = "text/css; charset=utf-8";
    reply_.body = kStyle;
    return Secure(reply_);
  }

  actions_.ForgetExpired();
  // The order's number and what follows it, below `prefix`.
  const auto split = [&path](const std::string& prefix, std::string& number, std::string& rest) {
    if (!StartsWith(path, prefix) || path.size() == prefix.size()) return false;
    number = path.substr(prefix.size());
    const std::size_t slash = number.find('/');
    if (slash != std::string::npos) {
      rest = number.substr(slash + 1);
      number.resize(slash);
    }
    return !number.empty();
  };
  std::string number;
  std::string rest;
  if (path == "/console" || path == "/console/") {
    if (Get()) return OrdersPage();
  } else if (path == "/console/requests") {
    if (Get()) return RequestsPage();
  } else if (split(kOrdersPath, number, rest)) {
    if (Get() && rest.empty()) return OrderPage(number);
    if (request_.method == "POST" && !rest.empty()) return Act(number, rest);
  } else if (path == kApiOrdersPath) {
    if (Get()) return ApiOrders();
  } else if (split(std::string(kApiOrdersPath) + "/", number, rest)) {
    if (Get() && rest.empty()) return ApiOrder(number);
    if (request_.method == "POST" && !rest.empty()) return Act(number, rest);
  } else if (path == "/console/api/requests") {
    if (Get()) return ApiRequests();
  }
  const std::string shown = PrintableAscii(path.substr(0, kShownPathBytes));
  Error(404, "no such console address: " + request_.method + " " + shown);
}

void Console::OrdersPage() {
  const std::vector<StoredOrder> orders = store_.RecentOrders(kConsolePageOrders);
  const std::string content =
      PhoneSection(settings_) + "<h1>Orders</h1><p class=\"note\">The newest first, at most " +
      std::to_string(kConsolePageOrders) + ".</p>" +
      OrdersTable(orders, settings_, kMaxConsoleReplyBytes - kPageFrameBytes) +
      Footer(store_, settings_, actions_.OrderCount());
  SendHtml(reply_, 200, Page("Orders", content));
}

void Console::OrderPage(const std::string& number) {
  const std::optional<StoredOrder> stored = store_.FindOrder(number);
  if (!stored) {
    return SendPageError(reply_, 404,
                         "there is no order " + Shown(number) +
                             " (never placed, or forgotten after its time or beyond the count "
                             "of orders kept)");
  }
  const Order& order = stored->order;
  std::string content =
      "<h1>Order <span id=\"order-number\">" + HtmlEscape(number) + "</span></h1>";
  const std::string done = ConsoleMessage(FormValue(request_.query, "done"), Shown(number));
  if (!done.empty()) content += "<p class=\"message\" id=\"message\">" + HtmlEscape(done) + "</p>";
  content += "<dl><dt>State</dt><dd id=\"state\">" + StateBadge(TradeState(order)) +
             "</dd><dt>Amount</dt><dd id=\"amount\">" + AmountText(order.totalFee) +
             "</dd><dt>Description</dt><dd>" + HtmlEscape(order.description) +
             "</dd><dt>notify_url</dt><dd class=\"url\">" + HtmlEscape(order.notifyUrl) +
             "</dd><dt>Notification</dt><dd id=\"notification\">" +
             NotificationCell(*stored, settings_) + "</dd>";
  if (order.paid) {
    content += "<dt>transaction_id</dt><dd>" + HtmlEscape(order.transactionId) +
               "</dd><dt>time_end</dt><dd>" + HtmlEscape(order.timeEnd) + "</dd>";
  }
  if (order.refunded) {
    content += "<dt>out_refund_no</dt><dd>" + HtmlEscape(order.outRefundNo) +
               "</dd><dt>refund_id</dt><dd>" + HtmlEscape(order.refundId) + "</dd>";
  }
  content += "</dl><div class=\"actions\">";
  const std::string settled = order.closed ? "it is closed" : order.paid ? "it is paid" : "";
  content += ActionButton(number, "pay", "Pay", settled, settings_);
  content += ActionButton(number, "close", "Close", settled, settings_);
  content += ActionButton(number, "notify", "Send its notification again",
                          !settings_.notify ? "notifications are off (--no-notify)"
                          : !order.paid     ? "it is not paid"
                                            : "",
                          settings_);
  content +=
      "</div><h2>History</h2><table id=\"history\"><thead><tr><th>Time</th><th>Event"
      "</th><th>By, or what</th></tr></thead><tbody>";
  for (const HistoryEvent& event : HistoryOf(order)) {
    content += "<tr>" + Cell(ShownTime(event.at), "time") + Cell(event.event) +
               Cell(HtmlEscape(event.detail)) + "</tr>";
  }
  content += "</tbody></table>";
  std::size_t room = kMaxConsoleReplyBytes - kPageFrameBytes;
  const std::string attempts = AttemptsTable(store_.Attempts(number), room / 2);
  content += "<h2>Notification attempts</h2>" + attempts;
  room -= std::min(room, attempts.size());
  RequestFilter filter;
  filter.orderNo = number;
  content += "<h2>Requests about it</h2><p class=\"note\">The newest first, at most " +
             std::to_string(kConsolePageRequests) + " of those the journal still keeps.</p>" +
             RequestsTable(store_.Requests(filter, kConsolePageRequests), false, room) +
             Footer(store_, settings_, actions_.OrderCount());
  SendHtml(reply_, 200, Page("Order " + Shown(number), content));
}

void Console::RequestsPage() {
  RequestFilter filter;
  filter.operation = FormValue(request_.query, "operation");
  filter.verdict = FormValue(request_.query, "verdict");
  const auto select = [](const char* name, const std::string& chosen,
                         const std::vector<std::string>& values) {
    std::string html = std::string("<label>") + name + " <select name=\"" + name +
                       "\"><option value=\"\">any</option>";
    for (const std::string& value : values) {
      html += "<option" + std::string(value == chosen ? " selected" : "") + ">" +
              HtmlEscape(value) + "</option>";
    }
    return html + "</select></label>";
  };
  std::vector<std::string> operations;
  for (const Operation* operation : kOperations) operations.emplace_back(operation->name);
  operations.insert(operations.end(), {kOperationPayerPage, kOperationPayment, kOperationOther});
  std::vector<std::string> verdicts;
  for (const Verdict verdict : AllVerdicts()) verdicts.emplace_back(VerdictName(verdict));
  verdicts.insert(verdicts.end(),
                  {kVerdictPage, kVerdictNoEndpoint, kVerdictHttp, kVerdictNotServed});
  const std::string content =
      "<h1>Requests</h1><form class=\"filter\" method=\"get\" action=\"/console/requests\">" +
      select("operation", filter.operation, operations) +
      select("verdict", filter.verdict, verdicts) +
      "<button type=\"submit\">Show</button></form><p class=\"note\">The newest first, at most " +
      std::to_string(kConsolePageRequests) +
      ". Every request the sandbox answered is here, the refused ones too, but the console's "
      "own.</p>" +
      RequestsTable(store_.Requests(filter, kConsolePageRequests), true,
                    kMaxConsoleReplyBytes - kPageFrameBytes) +
      Footer(store_, settings_, actions_.OrderCount());
  SendHtml(reply_, 200, Page("Requests", content));
}

void Console::ApiOrders() {
  const std::size_t limit = Limit(request_);
  std::vector<json> items;
  for (const StoredOrder& stored : store_.RecentOrders(limit)) {
    items.push_back(OrderJson(stored, settings_));
  }
  bool cut = false;
  const std::string array = ArrayWithin(items, kMaxConsoleReplyBytes - 256, cut);
  SendJson(reply_, 200,
           "{\"orders\":" + array + ",\"limit\":" + std::to_string(limit) +
               ",\"truncated\":" + (cut ? "true" : "false") + "}");
}

void Console::ApiOrder(const std::string& number) {
  const std::optional<StoredOrder> stored = store_.FindOrder(number);
  if (!stored) return SendJsonError(reply_, 404, "there is no order " + Shown(number));
  std::vector<json> attempts;
  for (const AttemptEntry& attempt : store_.Attempts(number))
    attempts.push_back(AttemptJson(attempt));
  RequestFilter filter;
  filter.orderNo = number;
  std::vector<json> requests;
  for (const JournalEntry& entry : store_.Requests(filter, kConsolePageRequests)) {
    requests.push_back(RequestJson(entry));
  }
  const std::string order = Dump(OrderJson(*stored, settings_));
  std::size_t room = kMaxConsoleReplyBytes - 256 - order.size();
  bool attemptsCut = false;
  bool requestsCut = false;
  const std::string attemptArray = ArrayWithin(attempts, room / 2, attemptsCut);
  room -= attemptArray.size();
  const std::string requestArray = ArrayWithin(requests, room, requestsCut);
  SendJson(reply_, 200,
           "{\"order\":" + order + ",\"attempts\":" + attemptArray +
               ",\"requests\":" + requestArray +
               ",\"truncated\":" + (attemptsCut || requestsCut ? "true" : "false") + "}");
}

void Console::ApiRequests() {
  RequestFilter filter;
  filter.operation = FormValue(request_.query, "operation");
  filter.verdict = FormValue(request_.query, "verdict");
  filter.orderNo = FormValue(request_.query, "out_trade_no");
  const std::size_t limit = Limit(request_);
  std::vector<json> items;
  for (const JournalEntry& entry : store_.Requests(filter, limit))
    items.push_back(RequestJson(entry));
  bool cut = false;
  const std::string array = ArrayWithin(items, kMaxConsoleReplyBytes - 256, cut);
  SendJson(reply_, 200,
           "{\"requests\":" + array + ",\"limit\":" + std::to_string(limit) +
               ",\"truncated\":" + (cut ? "true" : "false") + "}");
}

void Console::Act(const std::string& number, const std::string& action) {
  ConsoleActions::Result result;
  if (action == "pay") {
    result = actions_.Pay(number);
  } else if (action == "close") {
    result = actions_.Close(number);
  } else if (action == "notify") {
    result = actions_.Notify(number);
  } else {
    return Error(
        404, "no such action: " + PrintableAscii(action.substr(0, 32)) + " (pay, close or notify)");
  }
  using Kind = ConsoleActions::Result::Kind;
  const int status = result.kind == Kind::kDone          ? 200
                     : result.kind == Kind::kNoSuchOrder ? 404
                                                         : 409;
  if (Api()) {
    if (status != 200) return SendJsonError(reply_, status, result.message);
    const std::optional<StoredOrder> stored = store_.FindOrder(number);
    json value = {{"done", result.message}};
    if (stored) value["order"] = OrderJson(*stored, settings_);
    return SendJson(reply_, 200, Dump(value));
  }
  if (status == 404) return SendPageError(reply_, 404, result.message);
  // Post/Redirect/Get, with what happened on the page it leads back to.
  reply_.status = 303;
  reply_.location = kOrdersPath + PercentEncode(number) +
                    (result.key.empty() ? "" : "?done=" + PercentEncode(result.key));
  Secure(reply_);
}

}  // namespace

std::string ConsoleMessage(std::string_view key, std::string_view shownOrderNo) {
  const std::string order = "order " + std::string(shownOrderNo);
  const struct {
    std::string_view key;
    std::string text;
  } messages[] = {
      {"paid", "Paid."},
      {"closed", "Closed."},
      {"notified", "Notification sent again: its attempt is listed once the merchant has answered."},
      {"paid-already", order + " has been paid already"},
      {"closed-unpayable", order + " is closed and cannot be paid"},
      {"paid-unclosable", order + " has been paid and cannot be closed"},
      {"closed-already", order + " is closed already"},
      {"not-paid", order + " is not paid, so it has nothing to notify"},
      {"notify-off", "notifications are off (--no-notify)"},
  };
  for (const auto& message : messages) {
    if (message.key == key) return message.text;
  }
  return "";
}

std::string IsoTime(std::int64_t ms) {
  if (ms == 0) return "";
  const Civil c = CivilOf(ms);
  char text[48];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u.%03uZ", c.year, c.month, c.day,
                c.hour, c.minute, c.second, c.millisecond);
  return text;
}

bool ConsoleAllows(const HttpRequest& request, const ConsoleSettings& settings,
                   bool* byQueryToken) {
  if (byQueryToken) *byQueryToken = false;
  if (request.fromLoopback && IsLoopbackName(request.host)) return true;
  if (SameSecret(FormValue(request.query, "token"), settings.token)) {
    if (byQueryToken) *byQueryToken = true;
    return true;
  }
  return SameSecret(CookieValue(request.cookie, CookieName(settings)), settings.token);
}

std::string CrossSiteProblem(const HttpRequest& request, const std::string& formToken) {
  if (!formToken.empty() && SameSecret(FormValue(request.body, "form_token"), formToken)) {
    return "";
  }
  if (!request.origin.empty()) {
    if (request.origin == "https://" + request.host) return "";
    return "refused as a cross-site request: it comes from " +
           PrintableAscii(request.origin.substr(0, kShownPathBytes)) + ", not from the console";
  }
  const std::string& site = request.secFetchSite;
  if (!site.empty() && site != "same-origin" && site != "none") {
    return "refused as a cross-site request (Sec-Fetch-Site: " +
           PrintableAscii(site.substr(0, 32)) + ")";
  }
  return "";
}

void ServeConsole(const HttpRequest& request, HttpReply& reply, StateStore& store,
                  ConsoleActions& actions, const ConsoleSettings& settings) {
  try {
    Console(request, reply, store, actions, settings).Serve();
  } catch (const std::exception& e) {
    reply = HttpReply{};
    SendPageError(reply, 500, std::string("the console failed: ") + e.what());
  }
}

}  // namespace quillmark::sandbox
