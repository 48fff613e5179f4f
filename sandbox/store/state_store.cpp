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

#include "payment/merchant_settings.h"
#include "platform/platform.h"

namespace quillmark::sandbox {
namespace {

constexpr char kInUse[] =
    "is in use by another quillmark-sandbox; give this one a file of its own with --state "
    "FILE, or --state :memory:";

// "QmkS": a file with another application id is another program's database.
constexpr int kApplicationId = 0x516d6b53;
constexpr int kSchemaVersion = 1;
// The log is copied into the file by a thread of its own once it holds this many pages,
// and at least once a second.
constexpr int kCheckpointPages = 1000;
constexpr std::chrono::seconds kCheckpointEvery{1};
constexpr std::chrono::milliseconds kCheckpointPause{200};

constexpr char kSchema[] = R"sql(
CREATE TABLE orders(
  id INTEGER PRIMARY KEY,
  out_trade_no TEXT NOT NULL UNIQUE,
  version INTEGER NOT NULL,
  description BLOB NOT NULL,
  total_fee INTEGER NOT NULL,
  notify_url BLOB NOT NULL,
  queries INTEGER NOT NULL,
  paid INTEGER NOT NULL,
  closed INTEGER NOT NULL,
  refunded INTEGER NOT NULL,
  transaction_id TEXT NOT NULL,
  time_end TEXT NOT NULL,
  out_refund_no TEXT NOT NULL,
  refund_id TEXT NOT NULL,
  placed_at INTEGER NOT NULL,
  first_query_at INTEGER NOT NULL,
  last_query_at INTEGER NOT NULL,
  paid_at INTEGER NOT NULL,
  paid_by TEXT NOT NULL,
  closed_at INTEGER NOT NULL,
  closed_by TEXT NOT NULL,
  refunded_at INTEGER NOT NULL,
  notify_acked INTEGER NOT NULL DEFAULT 0,
  notify_next INTEGER NOT NULL DEFAULT 0,
  notify_due_at INTEGER NOT NULL DEFAULT 0);
CREATE TABLE requests(
  id INTEGER PRIMARY KEY,
  at INTEGER NOT NULL,
  method BLOB NOT NULL,
  path BLOB NOT NULL,
  operation TEXT NOT NULL,
  out_trade_no BLOB NOT NULL,
  verdict TEXT NOT NULL,
  status INTEGER NOT NULL,
  outcome BLOB NOT NULL,
  body BLOB NOT NULL,
  body_bytes INTEGER NOT NULL,
  reply BLOB NOT NULL,
  reply_bytes INTEGER NOT NULL,
  sign_string BLOB NOT NULL,
  sign_expected TEXT NOT NULL,
  sign_received TEXT NOT NULL);
CREATE INDEX requests_by_order ON requests(out_trade_no, id);
CREATE TABLE attempts(
  id INTEGER PRIMARY KEY,
  order_id INTEGER NOT NULL REFERENCES orders(id) ON DELETE CASCADE,
  at INTEGER NOT NULL,
  number INTEGER NOT NULL,
  url BLOB NOT NULL,
  http_status INTEGER NOT NULL,
  error BLOB NOT NULL,
  answer BLOB NOT NULL,
  answer_bytes INTEGER NOT NULL,
  duration_ms INTEGER NOT NULL,
  acknowledged INTEGER NOT NULL);
CREATE INDEX attempts_by_order ON attempts(order_id, id);
)sql";

// The order's own columns, as the writes and the reads list them.
constexpr char kOrderColumns[] =
    "out_trade_no, version, description, total_fee, notify_url, queries, paid, closed, "
    "refunded, transaction_id, time_end, out_refund_no, refund_id, placed_at, first_query_at, "
    "last_query_at, paid_at, paid_by, closed_at, closed_by, refunded_at";

struct Finalize {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
struct Close {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using StatementHandle = std::unique_ptr<sqlite3_stmt, Finalize>;
using DatabaseHandle = std::unique_ptr<sqlite3, Close>;

std::string Cut(std::string_view text, std::size_t bytes) {
  return std::string(text.substr(0, std::min(text.size(), bytes)));
}

// One use of a prepared statement: bound by index from 1, stepped, and reset when it ends
// so that the next use starts clean and no read lock outlives it.
class Use {
 public:
  explicit Use(sqlite3_stmt* statement) : statement_(statement) {}
  ~Use() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

  Use& Int(std::int64_t value) {
    sqlite3_bind_int64(statement_, ++bound_, value);
    return *this;
  }
  // Bytes as they are: bodies need not be UTF-8, and a text column would let SQLite read
  // them as text.
  Use& Bytes(std::string_view value) {
    sqlite3_bind_blob64(statement_, ++bound_, value.data(), value.size(), SQLITE_TRANSIENT);
    return *this;
  }
  Use& Text(std::string_view value) {
    sqlite3_bind_text64(statement_, ++bound_, value.data(), value.size(), SQLITE_TRANSIENT,
                        SQLITE_UTF8);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE, or an error code.
  int Step() {
    column_ = 0;
    return sqlite3_step(statement_);
  }
  std::int64_t NextInt() { return sqlite3_column_int64(statement_, column_++); }
  std::string NextBytes() {
    const int at = column_++;
    const void* data = sqlite3_column_blob(statement_, at);
    const int size = sqlite3_column_bytes(statement_, at);
    return data == nullptr
               ? std::string()
               : std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
  }

 private:
  sqlite3_stmt* statement_;
  int bound_ = 0;
  int column_ = 0;
};

Use& BindOrder(Use& use, const std::string& number, const Order& order) {
  return use.Text(number)
      .Int(order.version)
      .Bytes(order.description)
      .Int(order.totalFee)
      .Bytes(order.notifyUrl)
      .Int(order.queries)
      .Int(order.paid)
      .Int(order.closed)
      .Int(order.refunded)
      .Text(order.transactionId)
      .Text(order.timeEnd)
      .Text(order.outRefundNo)
      .Text(order.refundId)
      .Int(order.placedAt)
      .Int(order.firstQueryAt)
      .Int(order.lastQueryAt)
      .Int(order.paidAt)
      .Text(ActorName(order.paidBy))
      .Int(order.closedAt)
      .Text(ActorName(order.closedBy))
      .Int(order.refundedAt);
}

// Reads the columns kOrderColumns lists, then notify_acked, notify_next and notify_due_at.
StoredOrder ReadOrder(Use& use) {
  StoredOrder stored;
  Order& order = stored.order;
  stored.number = use.NextBytes();
  order.version = static_cast<std::uint32_t>(use.NextInt());
  order.description = use.NextBytes();
  order.totalFee = use.NextInt();
  order.notifyUrl = use.NextBytes();
  order.queries = static_cast<int>(use.NextInt());
  order.paid = use.NextInt() != 0;
  order.closed = use.NextInt() != 0;
  order.refunded = use.NextInt() != 0;
  order.transactionId = use.NextBytes();
  order.timeEnd = use.NextBytes();
  order.outRefundNo = use.NextBytes();
  order.refundId = use.NextBytes();
  order.placedAt = use.NextInt();
  order.firstQueryAt = use.NextInt();
  order.lastQueryAt = use.NextInt();
  order.paidAt = use.NextInt();
  order.paidBy = ActorOfName(use.NextBytes());
  order.closedAt = use.NextInt();
  order.closedBy = ActorOfName(use.NextBytes());
  order.refundedAt = use.NextInt();
  order.notifyAcknowledged = use.NextInt() != 0;
  stored.notifyNext = static_cast<std::size_t>(use.NextInt());
  stored.notifyDueAt = use.NextInt();
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
  }
  return "";
}

Actor ActorOfName(const std::string& name) {
  for (const Actor actor : {Actor::kMerchant, Actor::kQuery, Actor::kPayerPage, Actor::kConsole}) {
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
      startNotification, insertAttempt, pruneAttempts, noteAttempt;

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
        &startNotification, &insertAttempt, &pruneAttempts, &noteAttempt}) {
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
  const std::string orderPlaces = "?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?";
  std::string update;
  // Every column but the number, from the row offered, when it is the later version.
  {
    const std::string columns = kOrderColumns;
    std::size_t from = columns.find(", ") + 2;
    while (from < columns.size()) {
      const std::size_t end = std::min(columns.find(", ", from), columns.size());
      const std::string name = columns.substr(from, end - from);
      update += (update.empty() ? "" : ", ") + name + " = excluded." + name;
      from = end + 2;
    }
  }
  const struct {
    StatementHandle* handle;
    std::string sql;
  } statements[] = {
      {&begin, "BEGIN"},
      {&commit, "COMMIT"},
      {&rollback, "ROLLBACK"},
      {&insertRequest,
       "INSERT INTO requests(at, method, path, operation, out_trade_no, verdict, status, "
       "outcome, body, body_bytes, reply, reply_bytes, sign_string, sign_expected, "
       "sign_received) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"},
      {&pruneRequests, "DELETE FROM requests WHERE id <= ?"},
      {&upsertOrder, std::string("INSERT INTO orders(") + kOrderColumns + ") VALUES(" +
                         orderPlaces + ") ON CONFLICT(out_trade_no) DO UPDATE SET " + update +
                         " WHERE excluded.version > orders.version"},
      {&deleteOrder, "DELETE FROM orders WHERE out_trade_no = ?"},
      {&startNotification,
       "UPDATE orders SET notify_next = 1, notify_due_at = ?, notify_acked = 0 "
       "WHERE out_trade_no = ? AND notify_next = 0 AND notify_acked = 0"},
      {&insertAttempt,
       "INSERT INTO attempts(order_id, at, number, url, http_status, error, answer, "
       "answer_bytes, duration_ms, acknowledged) SELECT id, ?, ?, ?, ?, ?, ?, ?, ?, ? "
       "FROM orders WHERE out_trade_no = ?"},
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
  };
  for (const auto& statement : statements) {
    *statement.handle = Prepare(statement.sql, error);
    if (!*statement.handle) return false;
  }
  return true;
}

StateStore::StateStore(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {
  Impl* raw = impl_.get();
  raw->writer = std::thread([raw] { raw->Writer(); });
}

StateStore::~StateStore() { Drain(); }

std::unique_ptr<StateStore> StateStore::Open(const std::string& path, Limits limits,
                                             std::string& error) {
  const bool memory = path == kMemoryState;
  const std::string named = "the state file " + path;
  auto fail = [&error, &named](const std::string& why) {
    error = named + " " + why;
    return nullptr;
  };
  if (!memory) {
    // Looked at before SQLite opens it: a pipe would hold the open, a folder or a device
    // is nothing to keep state in.
    std::error_code ignored;
    if (std::filesystem::exists(platform::FilePath(path), ignored)) {
      const std::string unusable = NotARegularFile(path, UINTMAX_MAX);
      if (!unusable.empty()) return fail("cannot be used: " + unusable);
    }
  }
  auto impl = std::make_unique<Impl>();
  impl->path = path;
  impl->limits = limits;
  if (!memory) {
    // A second sandbox on the same file would serve the same orders and send their
    // notifications twice. The lock is the file's, not its name's, so a link to a live file
    // is refused as its own name is.
    bool heldElsewhere = false;
    impl->fileLock = platform::TakeFileLock(path.c_str(), heldElsewhere);
    if (impl->fileLock == -1) {
      return fail(heldElsewhere ? std::string(kInUse)
                                : "cannot be opened (it can be neither made nor opened)");
    }
  }
  sqlite3* db = nullptr;
  const int opened = sqlite3_open_v2(
      path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  impl->db.reset(db);
  if (opened != SQLITE_OK) {
    return fail("cannot be opened (" + std::string(db ? sqlite3_errmsg(db) : "out of memory") +
                ")");
  }
  sqlite3_extended_result_codes(db, 1);

  std::string problem;
  // Brief waits on locks rather than failures: the checkpoints take some of the file's.
  sqlite3_busy_timeout(db, 2000);
  std::int64_t applicationId = 0;
  std::int64_t version = 0;
  std::int64_t tables = 0;
  if (!impl->Single("PRAGMA application_id", applicationId, problem) ||
      !impl->Single("PRAGMA user_version", version, problem) ||
      !impl->Single("SELECT count(*) FROM sqlite_master", tables, problem)) {
    const int code = sqlite3_errcode(db) & 0xff;
    if (code == SQLITE_BUSY || code == SQLITE_LOCKED) {
      return fail(kInUse);
    }
    if (code == SQLITE_NOTADB) return fail("is not an SQLite database, so not a sandbox's state");
    return fail("cannot be read (" + problem + ")");
  }
  if (tables > 0 && applicationId != kApplicationId) {
    return fail("is another program's SQLite database, not a quillmark-sandbox state file");
  }
  if (version > kSchemaVersion) {
    return fail("was written by a newer quillmark-sandbox (schema " + std::to_string(version) +
                "; this one reads " + std::to_string(kSchemaVersion) + ")");
  }
  if (tables > 0) {
    std::string verdict;
    StatementHandle check = impl->Prepare("PRAGMA quick_check(1)", problem);
    if (check) {
      Use use(check.get());
      if (use.Step() == SQLITE_ROW) verdict = use.NextBytes();
    }
    if (verdict != "ok") {
      return fail("is damaged (" + (verdict.empty() ? impl->Error() : verdict) +
                  "); move it away to start afresh");
    }
  }
  if (!memory) {
    StatementHandle mode = impl->Prepare("PRAGMA journal_mode = WAL", problem);
    std::string journal;
    if (mode) {
      Use use(mode.get());
      if (use.Step() == SQLITE_ROW) journal = use.NextBytes();
    }
    if (journal != "wal") {
      const int code = sqlite3_errcode(db) & 0xff;
      if (code == SQLITE_BUSY) {
        return fail(kInUse);
      }
      return fail("cannot keep a write-ahead log (" + impl->Error() + ")");
    }
  }
  // NORMAL: a commit is in the log once it returns, which a killed process cannot undo;
  // only a power cut before the next checkpoint could.
  if (!impl->Exec("PRAGMA synchronous = NORMAL; PRAGMA foreign_keys = ON; "
                  "PRAGMA wal_autocheckpoint = 0",
                  problem)) {
    return fail("cannot be set up (" + problem + ")");
  }
  if (limits.maxPages > 0) {
    impl->Exec(("PRAGMA max_page_count = " + std::to_string(limits.maxPages)).c_str(), problem);
  }
  if (tables == 0) {
    const std::string create = std::string("BEGIN EXCLUSIVE;") + kSchema +
                               "PRAGMA application_id = " + std::to_string(kApplicationId) +
                               "; PRAGMA user_version = " + std::to_string(kSchemaVersion) +
                               "; COMMIT;";
    if (!impl->Exec(create.c_str(), problem)) {
      const int code = sqlite3_errcode(db) & 0xff;
      if (code == SQLITE_BUSY) {
        return fail(kInUse);
      }
      return fail("cannot be written (" + problem + ")");
    }
  }
  if (!impl->Prepared(problem)) return fail("cannot be used (" + problem + ")");
  if (!memory) {
    sqlite3* checkpoints = nullptr;
    const int second = sqlite3_open_v2(path.c_str(), &checkpoints,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    impl->checkpointDb.reset(checkpoints);
    if (second != SQLITE_OK) {
      return fail("cannot be opened twice (" +
                  std::string(checkpoints ? sqlite3_errmsg(checkpoints) : "out of memory") + ")");
    }
    sqlite3_exec(checkpoints, "PRAGMA synchronous = NORMAL", nullptr, nullptr, nullptr);
    Impl* raw = impl.get();
    sqlite3_wal_hook(
        db,
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
        raw);
    impl->checkpointer = std::thread([raw] { raw->Checkpoints(); });
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
    BindOrder(use, change.orderNo, *change.order);
    if (!impl.Done(use, error)) return false;
  }
  if (change.order && change.notificationDue) {
    Use use(impl.startNotification.get());
    use.Int(change.order->paidAt).Text(change.orderNo);
    if (!impl.Done(use, error)) return false;
  }
  if (change.request && impl.limits.journalMax > 0) {
    const JournalEntry& entry = *change.request;
    {
      Use use(impl.insertRequest.get());
      use.Int(entry.at)
          .Bytes(Cut(entry.method, 32))
          .Bytes(Cut(entry.path, kKeptTextBytes))
          .Text(entry.operation)
          .Bytes(Cut(entry.orderNo, 64))
          .Text(entry.verdict)
          .Int(entry.status)
          .Bytes(Cut(entry.outcome, kKeptTextBytes))
          .Bytes(Cut(entry.body, kKeptTextBytes))
          .Int(static_cast<std::int64_t>(std::max(entry.bodyBytes, entry.body.size())))
          .Bytes(Cut(entry.reply, kKeptTextBytes))
          .Int(static_cast<std::int64_t>(std::max(entry.replyBytes, entry.reply.size())))
          .Bytes(Cut(entry.signString, kKeptTextBytes))
          .Text(Cut(entry.expectedSign, 64))
          .Text(Cut(entry.receivedSign, 64));
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
      use.Int(attempt.at)
          .Int(static_cast<std::int64_t>(attempt.number))
          .Bytes(Cut(attempt.url, kKeptTextBytes))
          .Int(attempt.httpStatus)
          .Bytes(Cut(attempt.error, kKeptTextBytes))
          .Bytes(Cut(attempt.answer, kKeptAnswerBytes))
          .Int(static_cast<std::int64_t>(std::max(attempt.answerBytes, attempt.answer.size())))
          .Int(attempt.durationMs)
          .Int(attempt.acknowledged)
          .Text(attempt.orderNo);
      if (!impl.Done(use, error)) return false;
    }
    {
      Use use(impl.pruneAttempts.get());
      use.Text(attempt.orderNo);
      if (!impl.Done(use, error)) return false;
    }
    Use use(impl.noteAttempt.get());
    // A resend (number 0) leaves the schedule alone; the schedule's own attempt moves it on.
    use.Int(attempt.acknowledged)
        .Int(static_cast<std::int64_t>(attempt.number))
        .Int(static_cast<std::int64_t>(attempt.nextAttempt))
        .Int(attempt.nextDueAt)
        .Text(attempt.orderNo);
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
  StatementHandle all = impl.Prepare(std::string("SELECT ") + kOrderColumns +
                                         ", notify_acked, notify_next, notify_due_at FROM "
                                         "orders ORDER BY id",
                                     error);
  if (!all) return false;
  Use use(all.get());
  int step;
  while ((step = use.Step()) == SQLITE_ROW) orders.push_back(ReadOrder(use));
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
  StatementHandle recent = impl.Prepare(std::string("SELECT ") + kOrderColumns +
                                            ", notify_acked, notify_next, notify_due_at FROM "
                                            "orders ORDER BY id DESC LIMIT ?",
                                        error);
  if (!recent) return orders;
  Use use(recent.get());
  use.Int(static_cast<std::int64_t>(limit));
  while (use.Step() == SQLITE_ROW) orders.push_back(ReadOrder(use));
  return orders;
}

std::optional<StoredOrder> StateStore::FindOrder(const std::string& number) {
  Impl& impl = *impl_;
  std::lock_guard<std::mutex> lock(impl.mutex);
  std::string error;
  StatementHandle find = impl.Prepare(std::string("SELECT ") + kOrderColumns +
                                          ", notify_acked, notify_next, notify_due_at FROM "
                                          "orders WHERE out_trade_no = ?",
                                      error);
  if (!find) return std::nullopt;
  Use use(find.get());
  use.Text(number);
  if (use.Step() != SQLITE_ROW) return std::nullopt;
  return ReadOrder(use);
}

std::vector<JournalEntry> StateStore::Requests(const RequestFilter& filter, std::size_t limit) {
  Impl& impl = *impl_;
  std::lock_guard<std::mutex> lock(impl.mutex);
  std::string error;
  std::vector<JournalEntry> entries;
  // An empty filter value matches every row.
  StatementHandle select = impl.Prepare(
      "SELECT id, at, method, path, operation, out_trade_no, verdict, status, outcome, body, "
      "body_bytes, reply, reply_bytes, sign_string, sign_expected, sign_received FROM requests "
      "WHERE (?1 = '' OR operation = ?1) AND (?2 = '' OR verdict = ?2) AND "
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
    entry.id = use.NextInt();
    entry.at = use.NextInt();
    entry.method = use.NextBytes();
    entry.path = use.NextBytes();
    entry.operation = use.NextBytes();
    entry.orderNo = use.NextBytes();
    entry.verdict = use.NextBytes();
    entry.status = static_cast<int>(use.NextInt());
    entry.outcome = use.NextBytes();
    entry.body = use.NextBytes();
    entry.bodyBytes = static_cast<std::size_t>(use.NextInt());
    entry.reply = use.NextBytes();
    entry.replyBytes = static_cast<std::size_t>(use.NextInt());
    entry.signString = use.NextBytes();
    entry.expectedSign = use.NextBytes();
    entry.receivedSign = use.NextBytes();
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
      "SELECT at, number, url, http_status, error, answer, answer_bytes, duration_ms, "
      "acknowledged FROM attempts WHERE order_id = (SELECT id FROM orders WHERE out_trade_no "
      "= ?) ORDER BY id",
      error);
  if (!select) return attempts;
  Use use(select.get());
  use.Text(orderNo);
  while (use.Step() == SQLITE_ROW) {
    AttemptEntry attempt;
    attempt.orderNo = orderNo;
    attempt.at = use.NextInt();
    attempt.number = static_cast<std::size_t>(use.NextInt());
    attempt.url = use.NextBytes();
    attempt.httpStatus = static_cast<int>(use.NextInt());
    attempt.error = use.NextBytes();
    attempt.answer = use.NextBytes();
    attempt.answerBytes = static_cast<std::size_t>(use.NextInt());
    attempt.durationMs = use.NextInt();
    attempt.acknowledged = use.NextInt() != 0;
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
