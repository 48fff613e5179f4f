// The sandbox's state in one SQLite file: its orders with their history, the journal of the
// requests it received with their verdicts, and every notification attempt. Each change is
// committed before the reply that follows from it goes out, through a write-ahead log, so
// that a process killed at any moment keeps every change whose reply went out; a lock on
// the file itself, which every link and alias of it meets, keeps two sandboxes from sharing
// one file. ":memory:" keeps the same in memory, and nothing after exit.
//
// Safe to call from any thread: one connection behind a mutex, and a thread of its own that
// writes the changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sandbox/order/order_book.h"
#include "sandbox/scenarios/armed.h"

namespace quillmark::sandbox {

inline constexpr char kMemoryState[] = ":memory:";
// What the journal keeps of a request's body, its reply and a refused sign string, and
// what an attempt keeps of the merchant's answer; the whole sizes are kept beside them.
inline constexpr std::size_t kKeptTextBytes = 4096;
inline constexpr std::size_t kKeptAnswerBytes = 1024;
// Attempts kept per order, the oldest dropped first: resends can be asked for without end.
inline constexpr std::size_t kKeptAttemptsPerOrder = 100;
inline constexpr std::size_t kDefaultJournalMax = 10'000;

// The journal's names for requests that are no operation's: the operation column holds an
// operation's name or one of these, the verdict column a VerdictName() or one of these.
inline constexpr char kOperationPayerPage[] = "payer page";      // GET /pay/qr/<order>
inline constexpr char kOperationPayment[] = "payment";           // its pay button
inline constexpr char kOperationPageVerify[] = "page verify";    // POST /pay/page/verify
inline constexpr char kOperationPaymentCode[] = "payment code";  // GET /pay/code
inline constexpr char kOperationOther[] = "other";
inline constexpr char kVerdictPage[] = "page";               // a payer page or its button
inline constexpr char kVerdictNoEndpoint[] = "no-endpoint";  // nothing is served there
inline constexpr char kVerdictHttp[] = "http-refused";       // refused before it was read whole
inline constexpr char kVerdictNotServed[] = "not-served";    // declared, not served here

// One request as the journal keeps it.
struct JournalEntry {
  std::int64_t id = 0;  // its number in the journal, from 1; set when read back
  std::int64_t at = 0;  // milliseconds since 1970 UTC
  std::string method;
  std::string path;
  std::string operation;  // the operation's name ("unified order"), or kOperation...
  std::string orderNo;    // the out_trade_no it names, or ""
  std::string verdict;    // VerdictName() of its check, or kVerdict...
  int status = 0;         // the HTTP status it was answered with
  std::string outcome;    // the log line's outcome: "SUCCESS order placed", "FAIL ..."
  std::string body;       // its first kKeptTextBytes bytes
  std::size_t bodyBytes = 0;
  std::string reply;  // the reply's first kKeptTextBytes bytes
  std::size_t replyBytes = 0;
  // For a refused sign: the sign string with the key masked (cut like the body), the sign
  // expected and the sign received.
  std::string signString;
  std::string expectedSign;
  std::string receivedSign;
  // The sign type the request named (CheckResult::signType): "MD5" when it named none.
  std::string signType;
};

// One notification attempt.
struct AttemptEntry {
  std::int64_t at = 0;  // when it started, milliseconds since 1970 UTC
  std::string orderNo;
  std::size_t number = 0;  // its place in the schedule, from 1; 0 for a resend asked for
  std::string url;
  int httpStatus = 0;  // 0: no HTTP answer
  std::string error;   // the transport's error, or ""
  std::string answer;  // the answer's first kKeptAnswerBytes bytes
  std::size_t answerBytes = 0;
  std::int64_t durationMs = 0;
  bool acknowledged = false;
  std::string outRefundNo;  // the refund whose notification it was; "": the payment's
  // The schedule's next attempt and when it is due; 0: none follows.
  std::size_t nextAttempt = 0;
  std::int64_t nextDueAt = 0;
};

// A refund's notification schedule, as its order's: its next attempt (0: none due) and
// when, milliseconds since 1970 UTC.
struct StoredRefund {
  Refund refund;
  std::size_t notifyNext = 0;
  std::int64_t notifyDueAt = 0;
};

struct StoredOrder {
  std::string number;
  Order order;
  // Its notification's next attempt (0: none due) and when, milliseconds since 1970 UTC.
  std::size_t notifyNext = 0;
  std::int64_t notifyDueAt = 0;
  // Its refunds' schedules, by their place in order.refunds.
  std::vector<StoredRefund> refunds = {};
};

// What one request changed, written in one transaction.
struct StateChange {
  std::optional<JournalEntry> request;  // the request, for the journal
  // The order as the request left it; written unless a later version is there already.
  std::string orderNo;
  std::optional<Order> order;
  bool notificationDue = false;  // it has just been paid: its first notification is due now
  // Its refunds, by number, that have just become final: their first notifications are due.
  std::vector<std::string> refundNotificationsDue;
  std::vector<std::string> forgotten;  // orders forgotten meanwhile, to delete
  // The scenarios armed from the console: all of them disarmed first when `disarmAll`, then
  // those of `disarmed` (taken, removed or replaced), then `armed` kept.
  bool disarmAll = false;
  std::vector<std::int64_t> disarmed;
  std::vector<ArmedScenario> armed;
};

struct RequestFilter {
  std::string operation;  // "" for any
  std::string verdict;    // "" for any
  std::string orderNo;    // "" for any
};

struct StoreFigures {
  std::int64_t bytes = 0;     // the database's pages, in bytes (without its log)
  std::int64_t requests = 0;  // in the journal
};

class StateStore {
 public:
  struct Limits {
    std::size_t journalMax = kDefaultJournalMax;  // 0: journal nothing
    // For tests: the most pages the file may grow to, as a full disk would stop it; 0: no
    // bound but the disk.
    std::int64_t maxPages = 0;
  };

  // Opens `path` (kMemoryState: in memory), making it with its tables when it is new, and
  // upgrading a file an earlier sandbox wrote to this one's layout in place, in one
  // transaction (sandbox/store/migrations.h). Null, with `error` saying why in a sentence
  // that names the file, when it cannot be opened, is not an SQLite database, is another
  // program's, comes from a newer sandbox, is damaged, or is held by another sandbox; and
  // when its tables are not those of the layout it claims, or it holds a value no sandbox
  // writes (a text longer, a number out of range: what a reply or a page shows of the file
  // is bounded as what it shows of a request), naming the row. Nothing is written to a file
  // it refuses.
  static std::unique_ptr<StateStore> Open(const std::string& path, Limits limits,
                                          std::string& error);
  ~StateStore();
  StateStore(const StateStore&) = delete;
  StateStore& operator=(const StateStore&) = delete;

  const std::string& path() const;
  bool inMemory() const;

  // Called once the change is in the log (`written`), or could not be written (`error`,
  // SQLite's words; nothing of it is written then). On the store's writer thread.
  using Written = std::function<void(bool written, const std::string& error)>;
  // Hands the change to the writer thread and returns at once; changes are written in the
  // order they are submitted, those that queue up meanwhile in one transaction.
  void Submit(StateChange change, Written done);
  // Submit(), and waits for it.
  bool Write(StateChange change, std::string& error);
  // Writes what was submitted and ends the writer thread; later changes are written by
  // the thread that submits them.
  void Drain();
  // Keeps `attempt` with its order and notes when the next one is due (or that none is).
  // Nothing is kept for an order no longer there.
  bool RecordAttempt(const AttemptEntry& attempt, std::string& error);

  // At start: deletes the orders placed before `notBefore` and all but the `maxOrders`
  // newest, then returns the rest, oldest first.
  bool LoadOrders(std::int64_t notBefore, std::size_t maxOrders, std::vector<StoredOrder>& orders,
                  std::string& error);

  // At start: the armed scenarios, oldest first.
  bool LoadArmed(std::vector<ArmedScenario>& armed, std::string& error);

  // For the console: the newest orders first, at most `limit`.
  std::vector<StoredOrder> RecentOrders(std::size_t limit);
  std::optional<StoredOrder> FindOrder(const std::string& number);
  // The newest requests that match `filter` first, at most `limit`.
  std::vector<JournalEntry> Requests(const RequestFilter& filter, std::size_t limit);
  // An order's attempts, oldest first.
  std::vector<AttemptEntry> Attempts(const std::string& orderNo);
  StoreFigures Figures();

  struct Impl;

 private:
  explicit StateStore(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// "placed", "queried", "paid" and so on, for an actor: "the payer page", "a query", ...
const char* ActorName(Actor actor);
Actor ActorOfName(const std::string& name);

}  // namespace quillmark::sandbox
