// The console's routes: who gets in (console_access), the static pages (pages/, embedded at
// build time), the JSON API (console_api), the buttons' POSTs that pay, close and notify
// an order through ConsoleActions, and the scenarios armed for orders to come. It writes no markup:
// the pages fill themselves from the API with DOM calls.
#include "sandbox/console/console.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <string_view>
#include <utility>

#include "config/local_sandbox.h"
#include "platform/platform.h"
#include "protocol/flat_document.h"
#include "sandbox/certificates.h"
#include "sandbox/console/console_access.h"
#include "sandbox/console/console_api.h"
#include "sandbox/console/console_pages.h"
#include "sandbox/order/order_life.h"
#include "text/codecs.h"

namespace quillmark::sandbox {
namespace {

constexpr char kApiPrefix[] = "/console/api/";
constexpr char kOrdersPath[] = "/console/orders/";
constexpr char kApiOrdersPath[] = "/console/api/orders/";
constexpr char kApiScenariosPath[] = "/console/api/scenarios";
constexpr char kApiClientCertPath[] = "/console/api/client-cert/";
// The page every page route serves: it tells by its address which view to draw.
constexpr char kShellPage[] = "console.html";
constexpr std::size_t kShownPathBytes = 80;
constexpr std::size_t kFilesAt = sizeof "/console/" - 1;  // where a file's name starts

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::string_view ContentTypeOf(std::string_view name) {
  const std::string_view extension = name.substr(std::min(name.rfind('.'), name.size()));
  if (extension == ".css") return "text/css; charset=utf-8";
  if (extension == ".js") return "text/javascript; charset=utf-8";
  return "text/html; charset=utf-8";
}

const ConsolePageFile* FindPageFile(std::string_view name) {
  for (const ConsolePageFile& file : ConsolePageFiles()) {
    if (file.name == name) return &file;
  }
  return nullptr;
}

void SendJson(HttpReply& reply, const ApiAnswer& answer) {
  reply.status = answer.status;
  reply.contentType = "application/json";
  reply.body = DumpJson(answer.body) + "\n";
  SecureHeaders(reply);
}

// An error outside the API: a line of text, as no page is there to show it.
void SendText(HttpReply& reply, int status, const std::string& message) {
  reply.status = status;
  reply.contentType = "text/plain; charset=utf-8";
  reply.body = std::to_string(status) + ": " + message + "\n";
  SecureHeaders(reply);
}

// ?`name`= as a number from `least` to `most`; `fallback` when it is not a number.
std::size_t Number(const HttpRequest& request, const char* name, std::size_t fallback,
                   std::size_t least, std::size_t most) {
  const std::string text = FormValue(request.query, name);
  if (text.empty() || text.size() > 7 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return fallback;
  }
  return std::clamp<std::size_t>(std::stoul(text), least, most);
}

std::size_t Limit(const HttpRequest& request) {
  return Number(request, "limit", kConsoleDefaultLimit, 1, kConsoleMaxLimit);
}

// The order's number below `prefix` and the action that follows it ("pay"), if any.
bool SplitOrderPath(const std::string& path, std::string_view prefix, std::string& number,
                    std::string& action) {
  if (!StartsWith(path, prefix) || path.size() == prefix.size()) return false;
  number = path.substr(prefix.size());
  const std::size_t slash = number.find('/');
  if (slash != std::string::npos) {
    action = number.substr(slash + 1);
    number.resize(slash);
  }
  return !number.empty();
}

class Console {
 public:
  Console(const HttpRequest& request, HttpReply& reply, StateStore& store, ConsoleActions& actions,
          const ConsoleSettings& settings)
      : request_(request), reply_(reply), store_(store), actions_(actions), settings_(settings) {}

  void Serve() {
    if (Admitted()) Route();
  }

 private:
  bool Api() const { return StartsWith(request_.path, kApiPrefix); }
  bool Get() const { return request_.method == "GET" || request_.method == "HEAD"; }
  bool Post() const { return request_.method == "POST"; }
  // DELETE is answered for the armed scenarios only: nothing else can be removed.
  bool Delete() const {
    return request_.method == "DELETE" &&
           (request_.path == kApiScenariosPath ||
            StartsWith(request_.path, std::string(kApiScenariosPath) + "/"));
  }
  void Error(int status, const std::string& message) {
    Api() ? SendJson(reply_, ApiError(status, message)) : SendText(reply_, status, message);
  }

  bool Admitted();
  void Route();
  bool RoutePage(const std::string& path);
  bool RouteApi(const std::string& path);
  bool RouteScenarios(const std::string& path);
  void SendFile(std::string_view name, int status = 200);
  void Act(const std::string& number, const std::string& action);
  void SendClientFile(const std::string& mchId, const std::string& name);

  const HttpRequest& request_;
  HttpReply& reply_;
  StateStore& store_;
  ConsoleActions& actions_;
  const ConsoleSettings& settings_;
};

// Whether the request may go on; if not, its reply is written.
bool Console::Admitted() {
  bool byQueryToken = false;
  if (!ConsoleAllows(request_, settings_, &byQueryToken)) {
    Error(403,
          "the console is open to this machine only; from another address, open the "
          "console's address with the token the sandbox printed when it started");
    return false;
  }
  if (byQueryToken && Get() && !Api()) {
    // Kept in a cookie from now on, and out of the address bar and the history.
    reply_.headers.emplace_back("Set-Cookie", TokenCookie(settings_));
    const std::string rest = WithoutToken(request_.query);
    reply_.status = 303;
    // The path's own slashes stay slashes.
    reply_.location = PercentEncode(request_.path, "/") + (rest.empty() ? "" : "?" + rest);
    SecureHeaders(reply_);
    return false;
  }
  if (!Get() && !Post() && !Delete()) {
    const bool scenarios = StartsWith(request_.path, kApiScenariosPath);
    reply_.headers.emplace_back("Allow", scenarios ? "GET, HEAD, POST, DELETE" : "GET, HEAD, POST");
    Error(405, scenarios ? "the console answers GET, POST and DELETE only"
                         : "the console answers GET and POST only");
    return false;
  }
  // A DELETE changes what the sandbox will do just as a POST does, and is checked alike.
  if (Post() || Delete()) {
    const std::string problem = CrossSiteProblem(request_, settings_.formToken);
    if (!problem.empty()) {
      Error(403, problem);
      return false;
    }
  }
  return true;
}

void Console::Route() {
  const std::string& path = request_.path;
  // The page's own style and script (/console/console.css); the page itself only at the
  // addresses of its views.
  const std::string_view file = std::string_view(path).substr(std::min(path.size(), kFilesAt));
  if (Get() && StartsWith(path, "/console/") && file.find('/') == std::string_view::npos &&
      file != kShellPage && FindPageFile(file)) {
    return SendFile(file);
  }
  actions_.ForgetExpired();
  if (Api() ? RouteApi(path) : RoutePage(path)) return;
  const std::string shown = PrintableAscii(path.substr(0, kShownPathBytes));
  Error(404, "no such console address: " + request_.method + " " + shown);
}

bool Console::RoutePage(const std::string& path) {
  std::string number;
  std::string action;
  if (path == kConsolePath || path == "/console/" || path == "/console/requests" ||
      path == "/console/codes") {
    if (!Get()) return false;
    SendFile(kShellPage);
    return true;
  }
  if (!SplitOrderPath(path, kOrdersPath, number, action)) return false;
  if (Get() && action.empty()) {
    // The page's status tells whether there is such an order; the page says why not.
    SendFile(kShellPage, store_.FindOrder(number) ? 200 : 404);
    return true;
  }
  if (!Post() || action.empty()) return false;
  Act(number, action);
  return true;
}

bool Console::RouteApi(const std::string& path) {
  std::string number;
  std::string action;
  if (path == "/console/api/about" && Get()) {
    SendJson(reply_, {200, AboutView(store_, settings_, actions_.OrderCount(),
                                     ChooseLanguage(request_.acceptLanguage))});
  } else if (StartsWith(path, kApiScenariosPath)) {
    return RouteScenarios(path);
  } else if (SplitOrderPath(path, kApiClientCertPath, number, action) && Get()) {
    SendClientFile(number, action);
  } else if (path == "/console/api/orders" && Get()) {
    SendJson(reply_, {200, OrdersView(store_, settings_, Limit(request_))});
  } else if (path == "/console/api/bills" && Get()) {
    SendJson(reply_, {200, BillsView(store_, settings_.appId, settings_.mchId, settings_.maxOrders,
                                     NowMs(), settings_.billReadyNow)});
  } else if (path == "/console/api/clock" && Get()) {
    SendJson(reply_, {200, ClockView()});
  } else if (path == "/console/api/clock" && Post()) {
    SendJson(reply_, MoveClock(actions_, request_.body));
  } else if (path == "/console/api/codes" && Get()) {
    SendJson(reply_, {200, CodesView(store_, Limit(request_), NowMs())});
  } else if (path == "/console/api/requests" && Get()) {
    RequestFilter filter;
    filter.operation = FormValue(request_.query, "operation");
    filter.verdict = FormValue(request_.query, "verdict");
    filter.orderNo = FormValue(request_.query, "out_trade_no");
    SendJson(reply_, {200, RequestsView(store_, filter, Limit(request_))});
  } else if (SplitOrderPath(path, kApiOrdersPath, number, action)) {
    if (Get() && action.empty()) {
      SendJson(reply_, OrderView(store_, settings_, number, FormValue(request_.query, "done")));
    } else if (Post() && !action.empty()) {
      Act(number, action);
    } else {
      return false;
    }
  } else {
    return false;
  }
  return true;
}

bool Console::RouteScenarios(const std::string& path) {
  if (path == kApiScenariosPath && Get()) {
    const std::size_t offset = Number(request_, "offset", 0, 0, kMaxArmedScenarios);
    SendJson(reply_, {200, ScenariosView(actions_.ArmedList(), offset, Limit(request_))});
  } else if (path == kApiScenariosPath && Post()) {
    SendJson(reply_, ArmScenario(actions_, request_.body, NowMs()));
  } else if (path == kApiScenariosPath && Delete()) {
    SendJson(reply_, DisarmAllScenarios(actions_));
  } else if (Delete() && path.size() > sizeof kApiScenariosPath &&
             path.find('/', sizeof kApiScenariosPath) == std::string::npos) {
    SendJson(reply_, DisarmScenario(actions_, path.substr(sizeof kApiScenariosPath)));
  } else {
    return false;
  }
  return true;
}

void Console::SendFile(std::string_view name, int status) {
  const ConsolePageFile* file = FindPageFile(name);
  if (!file) return Error(500, "the console's page " + std::string(name) + " is not built in");
  reply_.status = status;
  reply_.contentType = std::string(ContentTypeOf(name));
  reply_.body = std::string(file->body);
  SecureHeaders(reply_);
}

// One of a merchant's three files, as a download; a merchant it does not serve, or any other
// name, is not found, so that no path reaches another file of the folder.
void Console::SendClientFile(const std::string& mchId, const std::string& name) {
  const auto& merchants = settings_.clientCertMerchants;
  const bool known = !settings_.clientCertFolder.empty() &&
                     std::find(merchants.begin(), merchants.end(), mchId) != merchants.end();
  const bool named = name == kClientCertP12 || name == kClientCertPem || name == kClientKeyPem;
  if (!known || !named) {
    return Error(404, "no such client certificate file: the merchants' are " +
                          std::string(kClientCertP12) + ", " + kClientCertPem + " and " +
                          kClientKeyPem + " below /console/api/client-cert/<mch_id>/");
  }
  const std::string path = platform::PathText(
      platform::FilePath(ClientCertFolder(settings_.clientCertFolder, mchId)) / name);
  const std::string bytes = ReadText(path);
  if (bytes.empty()) return Error(404, "merchant " + mchId + "'s " + name + " is not there");
  reply_.status = 200;
  reply_.contentType = name == kClientCertP12 ? "application/x-pkcs12" : "application/x-pem-file";
  reply_.headers.emplace_back("Content-Disposition", "attachment; filename=\"" + name + "\"");
  reply_.body = bytes;
  SecureHeaders(reply_);
}

void Console::Act(const std::string& number, const std::string& action) {
  ConsoleActions::Result result;
  if (action == "pay") {
    result = actions_.Pay(number);
  } else if (action == "close") {
    result = actions_.Close(number);
  } else if (action == "notify") {
    result = actions_.Notify(number);
  } else if (action == "notify-refund") {
    // The refund's number from the address (the API) or the form (the page's button).
    std::string refundNo = FormValue(request_.query, "out_refund_no");
    if (refundNo.empty()) refundNo = FormValue(request_.body, "out_refund_no");
    result = actions_.NotifyRefund(number, refundNo);
  } else {
    return Error(404, "no such action: " + PrintableAscii(action.substr(0, 32)) +
                          " (pay, close, notify or notify-refund)");
  }
  using Kind = ConsoleActions::Result::Kind;
  const int status = result.kind == Kind::kDone          ? 200
                     : result.kind == Kind::kNoSuchOrder ? 404
                                                         : 409;
  if (Api()) {
    if (status != 200) return SendJson(reply_, ApiError(status, result.message));
    ConsoleJson value = {{"done", result.message}};
    if (const std::optional<StoredOrder> stored = store_.FindOrder(number)) {
      value["order"] = OrderJson(*stored, settings_);
    }
    return SendJson(reply_, {200, std::move(value)});
  }
  if (status == 404) return SendText(reply_, 404, result.message);
  // Post/Redirect/Get, with what happened named by its key on the page it leads back to.
  reply_.status = 303;
  reply_.location = kOrdersPath + PercentEncode(number) +
                    (result.key.empty() ? "" : "?done=" + PercentEncode(result.key));
  SecureHeaders(reply_);
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
      {"notified",
       "Notification sent again: its attempt is listed once the merchant has answered."},
      {"paid-already", order + " has been paid already"},
      {"closed-unpayable", order + " is closed and cannot be paid"},
      {"paid-unclosable", order + " has been paid and cannot be closed"},
      {"closed-already", order + " is closed already"},
      {"not-paid", order + " is not paid, so it has nothing to notify"},
      {"notify-off", "notifications are off (--no-notify)"},
      {"refund-notified",
       "Refund notification sent again: its attempt is listed once the merchant has answered."},
      {"no-final-refund", order + " has no final refund of that out_refund_no to notify"},
  };
  for (const auto& message : messages) {
    if (message.key == key) return message.text;
  }
  return "";
}

void RefuseConsoleRequest(int status, const std::string& reason, const HttpRequest& request,
                          HttpReply& reply) {
  if (StartsWith(request.path, kApiPrefix)) return SendJson(reply, ApiError(status, reason));
  SendText(reply, status, reason);
}

void ServeConsole(const HttpRequest& request, HttpReply& reply, StateStore& store,
                  ConsoleActions& actions, const ConsoleSettings& settings) {
  try {
    Console(request, reply, store, actions, settings).Serve();
  } catch (const std::exception& e) {
    reply = HttpReply{};
    SendText(reply, 500, std::string("the console failed: ") + e.what());
  }
}

}  // namespace quillmark::sandbox
