// The state store: one SQLite connection behind a mutex, the thread that writes the
// changes, the thread that checkpoints the log, and opening a file (refusing, creating or
// upgrading it). What the tables hold is columns.h's, how layouts change migrations.h's.
#include "sandbox/store/state_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "config/merchant_settings.h"
#include "platform/platform.h"
#include "sandbox/store/columns.h"
#include "sandbox/store/migrations.h"
#include "sandbox/store/statement.h"

namespace quillmark::sandbox {
namespace {

using store::DatabaseHandle;
using store::kArmed;
using store::kAttempts;
using store::kJournal;
using store::kOrders;
using store::kRefunds;
using store::Part;
using store::StatementHandle;
using store::Use;

constexpr char kInUse[] =
    "is in use by another quillmark-sandbox; give this one a file of its own with --state "
    "FILE, or --state :memory:";

// The log is copied into the file by a thread of its own once it holds this many pages,
// and at least once a second.
constexpr int kCheckpointPages = 1000;
constexpr std::chrono::seconds kCheckpointEvery{1};
constexpr std::chrono::milliseconds kCheckpointPause{200};

// An order's columns as every read lists them, then `rest`: "FROM orders WHERE ...".
std::string SelectOrders(const char* rest) {
  return "SELECT " + store::Names(kOrders, Part::kRead) + " " + rest;
}

StoredOrder ReadOrder(Use& use) {
  StoredOrder stored;
  store::Read(use, kOrders, stored);
  return stored;
}

}  // namespace

const char* ActorName(Actor actor) {
  switch (actor) {
    case Actor::kNone:
      return "";
    case Actor::kMerchant:
      return "merchant";
    case Actor::kQuery:
      return "query";
    case Actor::kPayerPage:
      return "payer page";
    case Actor::kConsole:
      return "console";
    case Actor::kPlatform:
      return "platform";
  }
  return "";
}

Actor ActorOfName(const std::string& name) {
  for (const Actor actor :
       {Actor::kMerchant, Actor::kQuery, Actor::kPayerPage, Actor::kConsole, Actor::kPlatform}) {
    if (name == ActorName(actor)) return actor;
  }
  return Actor::kNone;
}

struct StateStore::Impl {
  ~Impl();
  bool Apply(const StateChange& change, std::string& error);
  void Writer();
  void Checkpoints();

  std::string path;
  Limits limits;
  std::mutex mutex;  // guards the connection and every statement
  DatabaseHandle db;
  // The changes waiting for the writer thread, in the order they were submitted.
  struct Pending {
    StateChange change;
    Written done;
  };
  std::mutex queueMutex;  // guards what follows
  std::condition_variable queueWake;
  std::vector<Pending> queue;
  bool closing = false;
  std::thread writer;
  std::intptr_t fileLock = -1;  // on the file itself, whatever its name: one sandbox per file
  // The checkpoints, on a connection and a thread of their own: a checkpoint waits for the
  // disk (it syncs the log, then the file), and no commit, so no answer, must wait with it.
  DatabaseHandle checkpointDb;
  std::thread checkpointer;
  std::mutex checkpointMutex;  // guards what follows
  std::condition_variable checkpointWake;
  bool checkpointDue = false;
  bool checkpointsEnd = false;
  // The statements of the hot paths, prepared once.
  StatementHandle begin, commit, rollback, insertRequest, pruneRequests, upsertOrder, deleteOrder,
      startNotification, insertAttempt, pruneAttempts, noteAttempt, insertArmed, deleteArmed,
      deleteAllArmed, upsertRefund, startRefundNotification, noteRefundAttempt, selectRefunds;

  std::string Error() const { return sqlite3_errmsg(db.get()); }

  bool Exec(const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db.get(), sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message ? message : Error();
    sqlite3_free(message);
    return false;
  }

  StatementHandle Prepare(const std::string& sql, std::string& error) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db.get(), sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement,
                           nullptr) != SQLITE_OK) {
      error = Error();
      sqlite3_finalize(statement);
      return nullptr;
    }
    return StatementHandle(statement);
  }

  // A value of a pragma or query that returns one; false (with `error`) when it fails.
  bool Single(const char* sql, std::int64_t& value, std::string& error) {
    StatementHandle statement = Prepare(sql, error);
    if (!statement) return false;
    Use use(statement.get());
    const int step = use.Step();
    if (step != SQLITE_ROW) {
      error = Error();
      return false;
    }
    value = use.NextInt();
    return true;
  }

  bool Done(Use& use, std::string& error) {
    if (use.Step() == SQLITE_DONE) return true;
    error = Error();
    return false;
  }

  // Runs `write` in a transaction: committed whole, or rolled back whole.
  template <typename Write>
  bool Transaction(std::string& error, Write write) {
    {
      Use use(begin.get());
      if (!Done(use, error)) return false;
    }
    bool written = write();
    if (written) {
      Use use(commit.get());
      written = Done(use, error);
    }
    // A failed COMMIT (a full disk) may leave the transaction open.
    if (!written && sqlite3_get_autocommit(db.get()) == 0) {
      Use use(rollback.get());
      use.Step();
    }
    return written;
  }

  bool Prepared(std::string& error);
  // Reads each order's refunds into it, oldest first, with their schedules.
  void AttachRefunds(StoredOrder& stored);
  std::string Connect();
  std::string Inspect(std::int64_t& layout, bool& fresh);
  std::string Configure();
  std::string Lay(bool fresh, std::int64_t layout);
  std::string StartCheckpoints();
};

StateStore::Impl::~Impl() {
  {
    std::lock_guard<std::mutex> wake(checkpointMutex);
    checkpointsEnd = true;
  }
  checkpointWake.notify_all();
  if (checkpointer.joinable()) checkpointer.join();
  checkpointDb.reset();
  // The statements go before their connection, whose close then copies the log into the
  // file and removes it.
  for (StatementHandle* statement :
       {&begin, &commit, &rollback, &insertRequest, &pruneRequests, &upsertOrder, &deleteOrder,
        &startNotification, &insertAttempt, &pruneAttempts, &noteAttempt, &insertArmed,
        &deleteArmed, &deleteAllArmed, &upsertRefund, &startRefundNotification, &noteRefundAttempt,
        &selectRefunds}) {
    statement->reset();
  }
  db.reset();
  platform::ReleaseFileLock(fileLock);
}

void StateStore::Impl::Checkpoints() {
  std::unique_lock<std::mutex> wake(checkpointMutex);
  while (!checkpointsEnd) {
    checkpointWake.wait_for(wake, kCheckpointEvery,
                            [this] { return checkpointDue || checkpointsEnd; });
    if (checkpointsEnd) break;
    checkpointDue = false;
    wake.unlock();
    // PASSIVE: copies what no reader still needs, beside the writer, never waiting for it.
    // What it could not copy is taken the next time.
    sqlite3_wal_checkpoint_v2(checkpointDb.get(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr,
                              nullptr);
    wake.lock();
    // Each checkpoint syncs the log and the file. Under a steady stream of commits the log
    // is never wholly copied, so each commit would ask for the next one at once: a few a
    // second are enough.
    checkpointWake.wait_for(wake, kCheckpointPause, [this] { return checkpointsEnd; });
  }
}

bool StateStore::Impl::Prepared(std::string& error) {
  const std::string written = store::Names(kOrders, Part::kWritten);
  const struct {
    StatementHandle* handle;
    std::string sql;
  } statements[] = {
      {&begin, "BEGIN"},
      {&commit, "COMMIT"},
      {&rollback, "ROLLBACK"},
      {&insertRequest, "INSERT INTO requests(" + store::Names(kJournal, Part::kWritten) +
                           ") VALUES(" + store::Places(kJournal) + ")"},
      {&pruneRequests, "DELETE FROM requests WHERE id <= ?"},
      // Every column but the number, from the row offered, when it is the later version.
      {&upsertOrder, "INSERT INTO orders(" + written + ") VALUES(" + store::Places(kOrders) +
                         ") ON CONFLICT(out_trade_no) DO UPDATE SET " +
                         store::Updates(kOrders, "out_trade_no") +
                         " WHERE excluded.version > orders.version"},
      {&deleteOrder, "DELETE FROM orders WHERE out_trade_no = ?"},
      {&startNotification,
       "UPDATE orders SET notify_next = 1, notify_due_at = ?, notify_acked = 0 "
       "WHERE out_trade_no = ? AND notify_next = 0 AND notify_acked = 0"},
      // The attempt's order is its row's id, looked up by its number.
      {&insertAttempt, "INSERT INTO attempts(order_id, " + store::Names(kAttempts, Part::kWritten) +
                           ") SELECT id, " + store::Places(kAttempts) +
                           " FROM orders WHERE out_trade_no = ?"},
      {&pruneAttempts,
       "DELETE FROM attempts WHERE order_id = (SELECT id FROM orders WHERE out_trade_no = ?1) "
       "AND id <= (SELECT id FROM attempts WHERE order_id = (SELECT id FROM orders WHERE "
       "out_trade_no = ?1) ORDER BY id DESC LIMIT 1 OFFSET " +
           std::to_string(kKeptAttemptsPerOrder) + ")"},
      // A resend leaves the schedule as it was, unless it was acknowledged.
      {&noteAttempt,
       "UPDATE orders SET notify_acked = MAX(notify_acked, ?1), "
       "notify_next = CASE WHEN ?1 THEN 0 WHEN ?2 = 0 THEN notify_next ELSE ?3 END, "
       "notify_due_at = CASE WHEN ?1 THEN 0 WHEN ?2 = 0 THEN notify_due_at ELSE ?4 END "
       "WHERE out_trade_no = ?5"},
      // A refund's row, by its order's row; once final, only its notification's columns
      // change, by statements of their own.
      {&upsertRefund, "INSERT INTO refunds(order_id, " + store::Names(kRefunds, Part::kWritten) +
                          ") SELECT id, " + store::Places(kRefunds) +
                          " FROM orders WHERE out_trade_no = ? ON CONFLICT(order_id, "
                          "out_refund_no) DO UPDATE SET status = excluded.status, "
                          "finished_at = excluded.finished_at, "
                          "success_time = excluded.success_time WHERE refunds.status = "
                          "'PROCESSING'"},
      {&startRefundNotification,
       "UPDATE refunds SET notify_next = 1, notify_due_at = ?, notify_acked = 0 "
       "WHERE order_id = (SELECT id FROM orders WHERE out_trade_no = ?) AND out_refund_no = ? "
       "AND notify_next = 0 AND notify_acked = 0"},
      {&noteRefundAttempt,
       "UPDATE refunds SET notify_acked = MAX(notify_acked, ?1), "
       "notify_next = CASE WHEN ?1 THEN 0 WHEN ?2 = 0 THEN notify_next ELSE ?3 END, "
       "notify_due_at = CASE WHEN ?1 THEN 0 WHEN ?2 = 0 THEN notify_due_at ELSE ?4 END "
       "WHERE order_id = (SELECT id FROM orders WHERE out_trade_no = ?5) AND out_refund_no = ?6"},
      {&selectRefunds, "SELECT " + store::Names(kRefunds, Part::kRead) +
                           " FROM refunds WHERE order_id = (SELECT id FROM orders WHERE "
                           "out_trade_no = ?) ORDER BY id"},
      {&insertArmed, "INSERT INTO armed_scenarios(" + store::Names(kArmed, Part::kWritten) +
                         ") VALUES(" + store::Places(kArmed) + ")"},
      {&deleteArmed, "DELETE FROM armed_scenarios WHERE id = ?"},
      {&deleteAllArmed, "DELETE FROM armed_scenarios"},
  };
  for (const auto& statement : statements) {
    *statement.handle = Prepare(statement.sql, error);
    if (!*statement.handle) return false;
  }
  return true;
}

void StateStore::Impl::AttachRefunds(StoredOrder& stored) {
  Use use(selectRefunds.get());
  use.Text(stored.number);
  while (use.Step() == SQLITE_ROW) {
    StoredRefund refund;
    store::Read(use, kRefunds, refund);
    stored.order.refunds.push_back(refund.refund);
    stored.refunds.push_back(std::move(refund));
  }
}

StateStore::StateStore(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {
  Impl* raw = impl_.get();
  raw->writer = std::thread([raw] { raw->Writer(); });
}

StateStore::~StateStore() { Drain(); }

// Opening a file, step by step: each returns why the file is refused ("" once the step is
// done), in words that follow the file's name.

std::string StateStore::Impl::Connect() {
  const bool memory = path == kMemoryState;
  if (!memory) {
    // Looked at before SQLite opens it: a pipe would hold the open, a folder or a device
    // is nothing to keep state in.
    std::error_code ignored;
    if (std::filesystem::exists(platform::FilePath(path), ignored)) {
      const std::string unusable = NotARegularFile(path, UINTMAX_MAX);
      if (!unusable.empty()) return "cannot be used: " + unusable;
    }
    // A second sandbox on the same file would serve the same orders and send their
    // notifications twice. The lock is the file's, not its name's, so a link to a live file
    // is refused as its own name is.
    bool heldElsewhere = false;
    fileLock = platform::TakeFileLock(path.c_str(), heldElsewhere);
    if (fileLock == -1) {
      return heldElsewhere ? std::string(kInUse)
                           : "cannot be opened (it can be neither made nor opened)";
    }
  }
  sqlite3* opened = nullptr;
  const int code =
      sqlite3_open_v2(path.c_str(), &opened,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  db.reset(opened);
  if (code != SQLITE_OK) {
    return "cannot be opened (" + std::string(opened ? sqlite3_errmsg(opened) : "out of memory") +
           ")";
  }
  sqlite3_extended_result_codes(opened, 1);
  // Brief waits on locks rather than failures: the checkpoints take some of the file's.
  sqlite3_busy_timeout(opened, 2000);
  return "";
}

// Whose the file is and of which layout (0 with `fresh`: a new file), whether it is whole,
// whether its tables are that layout's, and whether it holds only what a sandbox writes.
// Writes nothing.
std::string StateStore::Impl::Inspect(std::int64_t& layout, bool& fresh) {
  std::string problem;
  std::int64_t applicationId = 0;
  std::int64_t tables = 0;
  if (!Single("PRAGMA application_id", applicationId, problem) ||
      !Single("PRAGMA user_version", layout, problem) ||
      !Single("SELECT count(*) FROM sqlite_master", tables, problem)) {
    const int code = sqlite3_errcode(db.get()) & 0xff;
    if (code == SQLITE_BUSY || code == SQLITE_LOCKED) return kInUse;
    if (code == SQLITE_NOTADB) return "is not an SQLite database, so not a sandbox's state";
    return "cannot be read (" + problem + ")";
  }
  fresh = tables == 0;
  if (!fresh && applicationId != store::kApplicationId) {
    return "is another program's SQLite database, not a quillmark-sandbox state file";
  }
  if (layout > store::kLayout) {
    return "was written by a newer quillmark-sandbox (schema " + std::to_string(layout) +
           "; this one reads " + std::to_string(store::kLayout) + ")";
  }
  if (!fresh && layout < store::kOldestLayout) {
    return "has schema " + std::to_string(layout) +
           ", which no quillmark-sandbox wrote (this one reads " +
           std::to_string(store::kOldestLayout) + " to " + std::to_string(store::kLayout) + ")";
  }
  if (fresh) return "";
  std::string verdict;
  StatementHandle check = Prepare("PRAGMA quick_check(1)", problem);
  if (check) {
    Use use(check.get());
    if (use.Step() == SQLITE_ROW) verdict = use.NextBytes();
  }
  if (verdict != "ok") {
    return "is damaged (" + (verdict.empty() ? Error() : verdict) +
           "); move it away to start afresh";
  }
  // Before anything is upgraded or written: a file refused after that would not be the one
  // that was given.
  const std::string mismatch = store::LayoutProblem(db.get(), static_cast<int>(layout));
  if (!mismatch.empty()) return mismatch;
  return store::ValueProblem(db.get(), static_cast<int>(layout));
}

std::string StateStore::Impl::Configure() {
  std::string problem;
  if (path != kMemoryState) {
    StatementHandle mode = Prepare("PRAGMA journal_mode = WAL", problem);
    std::string journal;
    if (mode) {
      Use use(mode.get());
      if (use.Step() == SQLITE_ROW) journal = use.NextBytes();
    }
    if (journal != "wal") {
      if ((sqlite3_errcode(db.get()) & 0xff) == SQLITE_BUSY) return kInUse;
      return "cannot keep a write-ahead log (" + Error() + ")";
    }
  }
  // NORMAL: a commit is in the log once it returns, which a killed process cannot undo;
  // only a power cut before the next checkpoint could.
  if (!Exec("PRAGMA synchronous = NORMAL; PRAGMA foreign_keys = ON; "
            "PRAGMA wal_autocheckpoint = 0",
            problem)) {
    return "cannot be set up (" + problem + ")";
  }
  if (limits.maxPages > 0) {
    Exec(("PRAGMA max_page_count = " + std::to_string(limits.maxPages)).c_str(), problem);
  }
  return "";
}

// A new file gets this build's tables; one of an earlier layout is upgraded in place.
std::string StateStore::Impl::Lay(bool fresh, std::int64_t layout) {
  if (!fresh && layout == store::kLayout) return "";
  std::string problem;
  const int code = fresh ? store::CreateLayout(db.get(), problem)
                         : store::Upgrade(db.get(), static_cast<int>(layout), store::kLayout,
                                          store::Migrations(), problem);
  if (code == SQLITE_OK) return "";
  if ((code & 0xff) == SQLITE_BUSY) return kInUse;
  if (fresh) return "cannot be written (" + problem + ")";
  return "cannot be upgraded from schema " + std::to_string(layout) + " to " +
         std::to_string(store::kLayout) + " (" + problem + ")";
}

// The second connection and its thread, woken by the first connection's commits once the
// log has grown.
std::string StateStore::Impl::StartCheckpoints() {
  sqlite3* checkpoints = nullptr;
  const int second = sqlite3_open_v2(path.c_str(), &checkpoints,
                                     SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  checkpointDb.reset(checkpoints);
  if (second != SQLITE_OK) {
    return "cannot be opened twice (" +
           std::string(checkpoints ? sqlite3_errmsg(checkpoints) : "out of memory") + ")";
  }
  sqlite3_exec(checkpoints, "PRAGMA synchronous = NORMAL", nullptr, nullptr, nullptr);
  sqlite3_wal_hook(
      db.get(),
      [](void* context, sqlite3*, const char*, int pages) {
        auto* store = static_cast<Impl*>(context);
        if (pages >= kCheckpointPages) {
          std::lock_guard<std::mutex> wake(store->checkpointMutex);
          if (!store->checkpointDue) {
            store->checkpointDue = true;
            store->checkpointWake.notify_one();
          }
        }
        return SQLITE_OK;
      },
      this);
  checkpointer = std::thread([this] { Checkpoints(); });
  return "";
}

std::unique_ptr<StateStore> StateStore::Open(const std::string& path, Limits limits,
                                             std::string& error) {
  auto impl = std::make_unique<Impl>();
  impl->path = path;
  impl->limits = limits;
  std::int64_t layout = 0;
  bool fresh = false;
  std::string why = impl->Connect();
  if (why.empty()) why = impl->Inspect(layout, fresh);
  if (why.empty()) why = impl->Configure();
  if (why.empty()) why = impl->Lay(fresh, layout);
  std::string problem;
  if (why.empty() && !impl->Prepared(problem)) why = "cannot be used (" + problem + ")";
  if (why.empty() && path != kMemoryState) why = impl->StartCheckpoints();
  if (!why.empty()) {
    error = "the state file " + path + " " + why;
    return nullptr;
  }
  return std::unique_ptr<StateStore>(new StateStore(std::move(impl)));
}

const std::string& StateStore::path() const { return impl_->path; }

bool StateStore::inMemory() const { return impl_->path == kMemoryState; }

bool StateStore::Impl::Apply(const StateChange& change, std::string& error) {
  Impl& impl = *this;
  for (const std::string& number : change.forgotten) {
    Use use(impl.deleteOrder.get());
    use.Text(number);
    if (!impl.Done(use, error)) return false;
  }
  if (change.order) {
    Use use(impl.upsertOrder.get());
    store::Bind(use, kOrders, StoredOrder{change.orderNo, *change.order});
    if (!impl.Done(use, error)) return false;
  }
  if (change.order && change.notificationDue) {
    Use use(impl.startNotification.get());
    use.Int(change.order->paidAt).Text(change.orderNo);
    if (!impl.Done(use, error)) return false;
  }
  if (change.order) {
    for (const Refund& refund : change.order->refunds) {
      Use use(impl.upsertRefund.get());
      store::Bind(use, kRefunds, StoredRefund{refund, 0, 0}).Text(change.orderNo);
      if (!impl.Done(use, error)) return false;
    }
    for (const std::string& outRefundNo : change.refundNotificationsDue) {
      const Refund* refund = nullptr;
      for (const Refund& each : change.order->refunds) {
        if (each.outRefundNo == outRefundNo) refund = &each;
      }
      if (refund == nullptr) continue;
      Use use(impl.startRefundNotification.get());
      use.Int(refund->finishedAt).Text(change.orderNo).Text(outRefundNo);
      if (!impl.Done(use, error)) return false;
    }
  }
  if (change.disarmAll) {
    Use use(impl.deleteAllArmed.get());
    if (!impl.Done(use, error)) return false;
  }
  for (const std::int64_t id : change.disarmed) {
    Use use(impl.deleteArmed.get());
    use.Int(id);
    if (!impl.Done(use, error)) return false;
  }
  for (const ArmedScenario& armed : change.armed) {
    Use use(impl.insertArmed.get());
    store::Bind(use, kArmed, armed);
    if (!impl.Done(use, error)) return false;
  }
  if (change.request && impl.limits.journalMax > 0) {
    {
      Use use(impl.insertRequest.get());
      store::Bind(use, kJournal, *change.request);
      if (!impl.Done(use, error)) return false;
    }
    const std::int64_t last = sqlite3_last_insert_rowid(impl.db.get());
    const auto keep = static_cast<std::int64_t>(impl.limits.journalMax);
    if (last > keep) {
      Use use(impl.pruneRequests.get());
      use.Int(last - keep);
      if (!impl.Done(use, error)) return false;
    }
  }
  return true;
}

void StateStore::Impl::Writer() {
  std::unique_lock<std::mutex> queued(queueMutex);
  for (;;) {
    queueWake.wait(queued, [this] { return !queue.empty() || closing; });
    if (queue.empty()) return;
    std::vector<Pending> batch;
    batch.swap(queue);
    queued.unlock();
    // Everything that came in while the last batch was written goes in one transaction:
    // under load a commit serves many requests, and each still has its answer only once
    // what it changed is in the log.
    std::vector<std::string> errors(batch.size());
    std::string error;
    bool written;
    {
      std::lock_guard<std::mutex> lock(mutex);
      written = Transaction(error, [&] {
        for (const Pending& pending : batch) {
          if (!Apply(pending.change, error)) return false;
        }
        return true;
      });
      // One change that cannot be written (a full disk) does not take the others with it.
      if (!written) {
        for (std::size_t i = 0; i < batch.size(); ++i) {
          Transaction(errors[i], [&] { return Apply(batch[i].change, errors[i]); });
        }
      }
    }
    for (std::size_t i = 0; i < batch.size(); ++i) {
      if (batch[i].done) batch[i].done(errors[i].empty(), errors[i]);
    }
    queued.lock();
  }
}

void StateStore::Submit(StateChange change, Written done) {
  Impl& impl = *impl_;
  {
    std::lock_guard<std::mutex> queued(impl.queueMutex);
    if (!impl.closing) {
      impl.queue.push_back({std::move(change), std::move(done)});
      impl.queueWake.notify_one();
      return;
    }
  }
  // After Drain(): written here and now.
  std::string error;
  bool written;
  {
    std::lock_guard<std::mutex> lock(impl.mutex);
    written = impl.Transaction(error, [&] { return impl.Apply(change, error); });
  }
  if (done) done(written, error);
}

bool StateStore::Write(StateChange change, std::string& error) {
  std::promise<std::string> result;
  std::future<std::string> outcome = result.get_future();
  Submit(std::move(change), [&result](bool written, const std::string& why) {
    result.set_value(written ? std::string() : why.empty() ? "not written" : why);
  });
  error = outcome.get();
  return error.empty();
}

void StateStore::Drain() {
  Impl& impl = *impl_;
  {
    std::lock_guard<std::mutex> queued(impl.queueMutex);
    impl.closing = true;
  }
  impl.queueWake.notify_all();
  if (impl.writer.joinable()) impl.writer.join();
}

bool StateStore::RecordAttempt(const AttemptEntry& attempt, std::string& error) {
  Impl& impl = *impl_;
  std::lock_guard<std::mutex> lock(impl.mutex);
  return impl.Transaction(error, [&] {
    {
      Use use(impl.insertAttempt.get());
      store::Bind(use, kAttempts, attempt).Text(attempt.orderNo);
      if (!impl.Done(use, error)) return false;
    }
    {
      Use use(impl.pruneAttempts.get());
      use.Text(attempt.orderNo);
      if (!impl.Done(use, error)) return false;
    }
    const bool refund = !attempt.outRefundNo.empty();
    Use use(refund ? impl.noteRefundAttempt.get() : impl.noteAttempt.get());
    // A resend (number 0) leaves the schedule alone; the schedule's own attempt moves it on.
    use.Int(attempt.acknowledged)
        .Int(static_cast<std::int64_t>(attempt.number))
        .Int(static_cast<std::int64_t>(attempt.nextAttempt))
        .Int(attempt.nextDueAt)
        .Text(attempt.orderNo);
    if (refund) use.Text(attempt.outRefundNo);
    return impl.Done(use, error);
  });
}

bool StateStore::LoadOrders(std::int64_t notBefore, std::size_t maxOrders,
                            std::vector<StoredOrder>& orders, std::string& error) {
  Impl& impl = *impl_;
  std::lock_guard<std::mutex> lock(impl.mutex);
  const bool pruned = impl.Transaction(error, [&] {
    StatementHandle expired = impl.Prepare("DELETE FROM orders WHERE placed_at < ?", error);
    StatementHandle beyond = impl.Prepare(
        "DELETE FROM orders WHERE id <= (SELECT id FROM orders ORDER BY id DESC LIMIT 1 "
        "OFFSET ?)",
        error);
    if (!expired || !beyond) return false;
    Use first(expired.get());
    first.Int(notBefore);
    Use second(beyond.get());
    second.Int(static_cast<std::int64_t>(maxOrders));
    return impl.Done(first, error) && impl.Done(second, error);
  });
  if (!pruned) return false;
  StatementHandle all = impl.Prepare(SelectOrders("FROM orders ORDER BY id"), error);
  if (!all) return false;
  Use use(all.get());
  int step;
  while ((step = use.Step()) == SQLITE_ROW) orders.push_back(ReadOrder(use));
  if (step != SQLITE_DONE) {
    error = impl.Error();
    return false;
  }
  for (StoredOrder& stored : orders) impl.AttachRefunds(stored);
  return true;
}

bool StateStore::LoadArmed(std::vector<ArmedScenario>& armed, std::string& error) {
  Impl& impl = *impl_;
  std::lock_guard<std::mutex> lock(impl.mutex);
  StatementHandle all = impl.Prepare(
      "SELECT " + store::Names(kArmed, Part::kRead) + " FROM armed_scenarios ORDER BY id", error);
  if (!all) return false;
  Use use(all.get());
  int step;
  while ((step = use.Step()) == SQLITE_ROW) {
    ArmedScenario entry;
    store::Read(use, kArmed, entry);
    // Checked at open: a name the file holds is one of the scenarios.
    if (entry.scenario) armed.push_back(std::move(entry));
  }
  if (step != SQLITE_DONE) {
    error = impl.Error();
    return false;
  }
  return true;
}

std::vector<StoredOrder> StateStore::RecentOrders(std::size_t limit) {
  Impl& impl = *impl_;
  std::lock_guard<std::mutex> lock(impl.mutex);
  std::string error;
  std::vector<StoredOrder> orders;
  StatementHandle recent =
      impl.Prepare(SelectOrders("FROM orders ORDER BY id DESC LIMIT ?"), error);
  if (!recent) return orders;
  Use use(recent.get());
  use.Int(static_cast<std::int64_t>(limit));
  while (use.Step() == SQLITE_ROW) orders.push_back(ReadOrder(use));
  for (StoredOrder& stored : orders) impl.AttachRefunds(stored);
  return orders;
}

std::optional<StoredOrder> StateStore::FindOrder(const std::string& number) {
  Impl& impl = *impl_;
  std::lock_guard<std::mutex> lock(impl.mutex);
  std::string error;
  StatementHandle find = impl.Prepare(SelectOrders("FROM orders WHERE out_trade_no = ?"), error);
  if (!find) return std::nullopt;
  Use use(find.get());
  use.Text(number);
  if (use.Step() != SQLITE_ROW) return std::nullopt;
  StoredOrder stored = ReadOrder(use);
  impl.AttachRefunds(stored);
  return stored;
}

std::vector<JournalEntry> StateStore::Requests(const RequestFilter& filter, std::size_t limit) {
  Impl& impl = *impl_;
  std::lock_guard<std::mutex> lock(impl.mutex);
  std::string error;
  std::vector<JournalEntry> entries;
  // An empty filter value matches every row.
  StatementHandle select = impl.Prepare(
      "SELECT " + store::Names(kJournal, Part::kRead) +
          " FROM requests WHERE (?1 = '' OR operation = ?1) AND (?2 = '' OR verdict = ?2) AND "
          "(CAST(?3 AS BLOB) = x'' OR out_trade_no = CAST(?3 AS BLOB)) ORDER BY id DESC LIMIT ?4",
      error);
  if (!select) return entries;
  Use use(select.get());
  use.Text(filter.operation)
      .Text(filter.verdict)
      .Bytes(filter.orderNo)
      .Int(static_cast<std::int64_t>(limit));
  while (use.Step() == SQLITE_ROW) {
    JournalEntry entry;
    store::Read(use, kJournal, entry);
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::vector<AttemptEntry> StateStore::Attempts(const std::string& orderNo) {
  Impl& impl = *impl_;
  std::lock_guard<std::mutex> lock(impl.mutex);
  std::string error;
  std::vector<AttemptEntry> attempts;
  StatementHandle select = impl.Prepare(
      "SELECT " + store::Names(kAttempts, Part::kRead) +
          " FROM attempts WHERE order_id = (SELECT id FROM orders WHERE out_trade_no = ?) "
          "ORDER BY id",
      error);
  if (!select) return attempts;
  Use use(select.get());
  use.Text(orderNo);
  while (use.Step() == SQLITE_ROW) {
    AttemptEntry attempt;
    attempt.orderNo = orderNo;
    store::Read(use, kAttempts, attempt);
    attempts.push_back(std::move(attempt));
  }
  return attempts;
}

StoreFigures StateStore::Figures() {
  Impl& impl = *impl_;
  std::lock_guard<std::mutex> lock(impl.mutex);
  StoreFigures figures;
  std::string error;
  std::int64_t pages = 0;
  std::int64_t pageSize = 0;
  if (impl.Single("PRAGMA page_count", pages, error) &&
      impl.Single("PRAGMA page_size", pageSize, error)) {
    figures.bytes = pages * pageSize;
  }
  // Read off the numbers, not counted: the journal loses only its oldest rows, so they
  // run without a gap, and a count would read every row under the lock.
  impl.Single("SELECT coalesce(max(id) - min(id) + 1, 0) FROM requests", figures.requests, error);
  return figures;
}

}  // namespace quillmark::sandbox
