// The state file on its own: what it refuses at open, that what it keeps comes back from a
// second open (the later of two copies of an order winning), that its bounds hold, and that
// a file an earlier release wrote is taken up, upgraded in place.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <unistd.h>
#include <algorithm>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "sandbox/store/migrations.h"
#include "sandbox/store/state_store.h"
#include "tests/support/temp_dir.h"

namespace quillmark::sandbox {
namespace {

using testsupport::TempDir;

std::unique_ptr<StateStore> OpenStore(const std::string& path, std::string& error,
                                      StateStore::Limits limits = {}) {
  return StateStore::Open(path, limits, error);
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Runs `sql` on a database of its own making at `path`.
void MakeDatabase(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* message = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
      << (message ? message : "");
  sqlite3_free(message);
  sqlite3_close(db);
}

StateChange Placed(const std::string& number, std::int64_t at, std::int64_t version = 1) {
  StateChange change;
  change.orderNo = number;
  Order order;
  order.description = "a <test> order";
  order.totalFee = 1;
  order.notifyUrl = "http://127.0.0.1:9/notify";
  order.placedAt = at;
  order.version = version;
  change.order = order;
  return change;
}

TEST(StateStore, RefusesAtOpenWhatItCannotKeepStateIn) {
  TempDir dir;
  const std::string ours = dir.path() + "/ours.db";
  {
    std::string error;
    auto store = OpenStore(ours, error);
    ASSERT_TRUE(store) << error;
    std::string written;
    ASSERT_TRUE(store->Write(Placed("order1", 1000), written)) << written;
  }
  // Copies of our file: from a newer sandbox, of a layout no sandbox wrote, and with a page
  // overwritten.
  const std::string newer = dir.path() + "/newer.db";
  const std::string older = dir.path() + "/older.db";
  const std::string damaged = dir.path() + "/damaged.db";
  {
    std::ifstream in(ours, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 4096u * 3);
    WriteFile(newer, bytes);
    MakeDatabase(newer, "PRAGMA user_version = 99");
    WriteFile(older, bytes);
    MakeDatabase(older, "PRAGMA user_version = 0");
    std::string broken = bytes;
    // The schema's page and the next keep their header; their cells become noise.
    for (std::size_t i = 4096 + 16; i < 4096 * 3; ++i) broken[i] = static_cast<char>(i * 7);
    WriteFile(damaged, broken);
  }
  const std::string text = dir.path() + "/notes.txt";
  WriteFile(text, std::string(8192, 'x'));
  const std::string foreign = dir.path() + "/foreign.db";
  MakeDatabase(foreign, "CREATE TABLE contacts(name TEXT)");
  const std::string pipe = dir.path() + "/pipe.db";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);

  const struct {
    std::string path;
    std::string says;
  } rows[] = {
      {text, "is not an SQLite database"},
      {foreign, "is another program's SQLite database"},
      {newer, "was written by a newer quillmark-sandbox (schema 99; this one reads " +
                  std::to_string(store::kLayout) + ")"},
      {older, "has schema 0, which no quillmark-sandbox wrote"},
      {damaged, "is damaged"},
      {pipe, "cannot be used: it is not a regular file"},
      {dir.path(), "cannot be used: it is not a regular file"},
      {dir.path() + "/missing/state.db", "cannot be opened"},
  };
  for (const auto& row : rows) {
    std::string error;
    EXPECT_FALSE(OpenStore(row.path, error)) << row.path;
    EXPECT_NE(error.find("the state file " + row.path + " "), std::string::npos) << error;
    EXPECT_NE(error.find(row.says), std::string::npos) << error;
  }
  // Refusing them changed none of them.
  std::ifstream notes(text, std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(notes)), std::istreambuf_iterator<char>()),
            std::string(8192, 'x'));
}

TEST(StateStore, IsHeldByOneSandboxAtATime) {
  TempDir dir;
  const std::string path = dir.path() + "/state.db";
  std::string error;
  auto first = OpenStore(path, error);
  ASSERT_TRUE(first) << error;
  EXPECT_FALSE(OpenStore(path, error));
  EXPECT_NE(error.find("is in use by another quillmark-sandbox"), std::string::npos) << error;
  first.reset();
  EXPECT_TRUE(OpenStore(path, error)) << error;
}

// The lock is the file's: no other name that reaches a live state file opens it beside the
// sandbox that holds it, and each is refused as a second open of its own name is.
TEST(StateStore, RefusesEveryAliasOfAFileItHolds) {
  TempDir dir;
  const std::string folder = dir.path() + "/data";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((dir.path() + "/other").c_str(), 0700), 0);
  const std::string path = folder + "/state.db";
  std::string error;
  auto holder = OpenStore(path, error);
  ASSERT_TRUE(holder) << error;
  std::string written;
  ASSERT_TRUE(holder->Write(Placed("held", 1000), written)) << written;

  const std::string symbolic = dir.path() + "/symbolic.db";
  ASSERT_EQ(symlink(path.c_str(), symbolic.c_str()), 0);
  const std::string relative = folder + "/relative.db";
  ASSERT_EQ(symlink("state.db", relative.c_str()), 0);
  const std::string chained = dir.path() + "/chained.db";
  ASSERT_EQ(symlink(symbolic.c_str(), chained.c_str()), 0);
  const std::string hard = dir.path() + "/other/hard.db";
  ASSERT_EQ(link(path.c_str(), hard.c_str()), 0);
  const std::string linkedFolder = dir.path() + "/linked";
  ASSERT_EQ(symlink(folder.c_str(), linkedFolder.c_str()), 0);
  const struct {
    const char* alias;
    std::string path;
  } rows[] = {
      {"the same path", path},
      {"a symbolic link", symbolic},
      {"a relative symbolic link", relative},
      {"a link to a link", chained},
      {"a hard link in another folder", hard},
      {"a path through ..", dir.path() + "/other/../data/state.db"},
      {"a path through .", folder + "/./state.db"},
      {"a path through a linked folder", linkedFolder + "/state.db"},
      {"a path through a linked folder and ..", linkedFolder + "/../data/state.db"},
  };
  for (const auto& row : rows) {
    std::string refused;
    EXPECT_FALSE(OpenStore(row.path, refused)) << row.alias;
    EXPECT_EQ(refused, "the state file " + row.path +
                           " is in use by another quillmark-sandbox; give this one a file of "
                           "its own with --state FILE, or --state :memory:")
        << row.alias;
  }
  // Refusing them took nothing from the holder: it still writes, and once it has closed,
  // each alias opens the one file, with the holder's order in it.
  ASSERT_TRUE(holder->Write(Placed("after", 2000), written)) << written;
  holder.reset();
  for (const auto& row : rows) {
    auto store = OpenStore(row.path, error);
    ASSERT_TRUE(store) << row.alias << ": " << error;
    EXPECT_EQ(store->RecentOrders(10).size(), 2u) << row.alias;
  }
}

// An acknowledgement is for good: no later attempt that fails, a resend or one of the
// schedule's still under way, makes the order unacknowledged, here or at the next open.
TEST(StateStore, KeepsAnAcknowledgementThatALaterAttemptFails) {
  AttemptEntry acknowledged;
  acknowledged.at = 3'000;
  acknowledged.orderNo = "acked";
  acknowledged.number = 1;
  acknowledged.httpStatus = 200;
  acknowledged.answer = "<xml><return_code>SUCCESS</return_code></xml>";
  acknowledged.acknowledged = true;
  AttemptEntry failed = acknowledged;
  failed.at = 4'000;
  failed.answer = "<xml><return_code>FAIL</return_code></xml>";
  failed.acknowledged = false;
  AttemptEntry resend = failed;
  resend.number = 0;
  AttemptEntry scheduled = failed;
  scheduled.number = 2;
  scheduled.nextAttempt = 3;
  scheduled.nextDueAt = 9'000;
  const struct {
    const char* what;
    std::vector<AttemptEntry> after;
  } rows[] = {
      {"a resend refused", {resend}},
      {"the schedule's next attempt refused", {scheduled}},
      {"both, twice", {resend, scheduled, resend, scheduled}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    const std::string path = dir.path() + "/state.db";
    {
      std::string error;
      auto store = OpenStore(path, error);
      ASSERT_TRUE(store) << error;
      StateChange paid = Placed("acked", 1'000);
      paid.order->paid = true;
      paid.order->paidAt = 2'000;
      paid.notificationDue = true;
      ASSERT_TRUE(store->Write(paid, error)) << error;
      ASSERT_TRUE(store->RecordAttempt(acknowledged, error)) << error;
      for (const AttemptEntry& attempt : row.after) {
        ASSERT_TRUE(store->RecordAttempt(attempt, error)) << error;
      }
      EXPECT_TRUE(store->FindOrder("acked")->order.notifyAcknowledged);
      EXPECT_EQ(store->Attempts("acked").size(), row.after.size() + 1);
    }
    std::string error;
    auto store = OpenStore(path, error);
    ASSERT_TRUE(store) << error;
    std::vector<StoredOrder> orders;
    ASSERT_TRUE(store->LoadOrders(0, 10, orders, error)) << error;
    ASSERT_EQ(orders.size(), 1u);
    EXPECT_TRUE(orders[0].order.notifyAcknowledged);
  }
}

TEST(StateStore, KeepsOrdersAttemptsAndTheJournalAcrossOpens) {
  TempDir dir;
  const std::string path = dir.path() + "/state.db";
  StateStore::Limits limits;
  limits.journalMax = 3;
  {
    std::string error;
    auto store = OpenStore(path, error, limits);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(store->Write(Placed("old", 1'000), error)) << error;
    ASSERT_TRUE(store->Write(Placed("kept", 5'000), error)) << error;
    // Version 3 is written before version 2, as two threads may: the later stays.
    StateChange paid = Placed("kept", 5'000, 3);
    paid.order->paid = true;
    paid.order->paidAt = 6'000;
    paid.order->paidBy = Actor::kPayerPage;
    paid.order->closedBy = Actor::kPlatform;
    paid.order->scenario = "refund-processing";
    paid.order->payError = true;
    paid.order->userPaying = true;
    paid.order->payingQueries = 2;
    paid.order->refundQueries = 3;
    paid.order->signType = SignType::kHmacSha256;
    paid.order->tradeType = "JSAPI";
    paid.order->prepayId = "qmpp2026031012made0up0000000000000";
    paid.order->prepayUntil = 7'205'000;
    paid.order->openId = "qmPayer-made_up0000000000001";
    paid.order->expiresAt = 9'000'000;
    paid.order->placedWith = "0123456789ABCDEF0123456789ABCDEF";
    paid.order->micropay = true;
    paid.order->authCode = "134567890100000042";
    paid.order->reversed = true;
    paid.order->reversedAt = 6'500;
    paid.order->reverseCalls = 2;
    paid.notificationDue = true;
    ASSERT_TRUE(store->Write(paid, error)) << error;
    StateChange queried = Placed("kept", 5'000, 2);
    queried.order->queries = 1;
    ASSERT_TRUE(store->Write(queried, error)) << error;
    ASSERT_TRUE(store->Write(Placed("newest", 7'000), error)) << error;

    AttemptEntry attempt;
    attempt.at = 6'100;
    attempt.orderNo = "kept";
    attempt.number = 1;
    attempt.url = "http://127.0.0.1:9/notify";
    attempt.error = "Couldn't connect to server (curl 7)";
    attempt.durationMs = 2;
    attempt.nextAttempt = 2;
    attempt.nextDueAt = 21'100;
    ASSERT_TRUE(store->RecordAttempt(attempt, error)) << error;
    // An attempt for an order that is gone is not kept.
    attempt.orderNo = "gone";
    ASSERT_TRUE(store->RecordAttempt(attempt, error)) << error;

    for (int i = 1; i <= 5; ++i) {
      StateChange request;
      JournalEntry entry;
      entry.at = 8'000 + i;
      entry.orderNo = "kept";
      entry.verdict = i == 5 ? "sign-mismatch" : "accepted";
      entry.signType = i == 5 ? "HMAC-SHA256" : "MD5";
      entry.operation = "order query";
      entry.body = std::string(kKeptTextBytes + 10, 'b');
      entry.bodyBytes = entry.body.size();
      request.request = entry;
      ASSERT_TRUE(store->Write(request, error)) << error;
    }
  }
  std::string error;
  auto store = OpenStore(path, error, limits);
  ASSERT_TRUE(store) << error;
  // Placed before 2'000 and all but the two newest go.
  std::vector<StoredOrder> orders;
  ASSERT_TRUE(store->LoadOrders(2'000, 2, orders, error)) << error;
  ASSERT_EQ(orders.size(), 2u);
  EXPECT_EQ(orders[0].number, "kept");
  EXPECT_EQ(orders[1].number, "newest");
  const Order& kept = orders[0].order;
  EXPECT_TRUE(kept.paid);
  EXPECT_EQ(kept.version, 3);
  EXPECT_EQ(kept.queries, 0) << "the earlier version 2 must not overwrite version 3";
  EXPECT_EQ(kept.paidBy, Actor::kPayerPage);
  EXPECT_EQ(kept.closedBy, Actor::kPlatform);
  EXPECT_EQ(kept.scenario, "refund-processing");
  EXPECT_TRUE(kept.payError);
  EXPECT_TRUE(kept.userPaying);
  EXPECT_EQ(kept.payingQueries, 2);
  EXPECT_EQ(kept.refundQueries, 3);
  EXPECT_EQ(kept.signType, SignType::kHmacSha256) << "its notification is signed so";
  // A till's payment stays reversed: a restart must not make it payable again.
  EXPECT_TRUE(kept.micropay);
  EXPECT_EQ(kept.authCode, "134567890100000042");
  EXPECT_TRUE(kept.reversed);
  EXPECT_EQ(kept.reversedAt, 6'500);
  EXPECT_EQ(kept.reverseCalls, 2);
  EXPECT_EQ(orders[1].order.signType, SignType::kMd5);
  EXPECT_EQ(
      std::make_tuple(kept.tradeType, kept.prepayId, kept.prepayUntil, kept.openId, kept.expiresAt,
                      kept.placedWith),
      std::make_tuple(std::string("JSAPI"), std::string("qmpp2026031012made0up0000000000000"),
                      std::int64_t{7'205'000}, std::string("qmPayer-made_up0000000000001"),
                      std::int64_t{9'000'000}, std::string("0123456789ABCDEF0123456789ABCDEF")));
  EXPECT_EQ(orders[1].order.tradeType, "NATIVE");
  EXPECT_EQ(kept.description, "a <test> order");
  EXPECT_EQ(orders[0].notifyNext, 2u);
  EXPECT_EQ(orders[0].notifyDueAt, 21'100);
  EXPECT_FALSE(store->FindOrder("old"));

  const std::vector<AttemptEntry> attempts = store->Attempts("kept");
  ASSERT_EQ(attempts.size(), 1u);
  EXPECT_EQ(attempts[0].error, "Couldn't connect to server (curl 7)");

  const std::vector<JournalEntry> journal = store->Requests({}, 10);
  ASSERT_EQ(journal.size(), 3u) << "the journal keeps its last 3";
  EXPECT_EQ(journal[0].id, 5);
  EXPECT_EQ(journal[0].body.size(), kKeptTextBytes);
  EXPECT_EQ(journal[0].bodyBytes, kKeptTextBytes + 10);
  EXPECT_EQ(journal[0].signType, "HMAC-SHA256");
  EXPECT_EQ(journal[1].signType, "MD5");
  RequestFilter refused;
  refused.verdict = "sign-mismatch";
  EXPECT_EQ(store->Requests(refused, 10).size(), 1u);
  EXPECT_EQ(store->Figures().requests, 3);
}

TEST(StateStore, AFullFileRefusesTheWriteWhole) {
  TempDir dir;
  StateStore::Limits limits;
  limits.maxPages = 12;
  std::string error;
  auto store = OpenStore(dir.path() + "/state.db", error, limits);
  ASSERT_TRUE(store) << error;
  bool full = false;
  int written = 0;
  for (int i = 0; i < 200 && !full; ++i) {
    StateChange change = Placed("order" + std::to_string(i), 1'000 + i);
    JournalEntry entry;
    entry.body = std::string(3000, 'b');
    change.request = entry;
    full = !store->Write(change, error);
    if (!full) ++written;
  }
  ASSERT_TRUE(full) << "12 pages never filled";
  EXPECT_NE(error.find("full"), std::string::npos) << error;
  // Nothing of the refused change is there, and what came before is intact.
  EXPECT_FALSE(store->FindOrder("order" + std::to_string(written)));
  EXPECT_TRUE(store->FindOrder("order0"));
  EXPECT_EQ(store->Requests({}, 1000).size(), static_cast<std::size_t>(written));
}

// Each row the query gives, its values joined by '|', a row a line.
std::string Rows(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  std::string rows;
  EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  char* message = nullptr;
  const auto add = [](void* into, int count, char** values, char**) {
    std::string& text = *static_cast<std::string*>(into);
    for (int i = 0; i < count; ++i) text += std::string(values[i] ? values[i] : "NULL") + "|";
    text += "\n";
    return 0;
  };
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), add, &rows, &message), SQLITE_OK)
      << (message ? message : "");
  sqlite3_free(message);
  sqlite3_close(db);
  return rows;
}

// What the store relies on of a file's layout: each table's columns with their types,
// constraints and defaults, its indexes and its references, and the layout's number.
std::string Layout(const std::string& path) {
  return Rows(path,
              "SELECT m.name, p.* FROM sqlite_master m, pragma_table_info(m.name) p "
              "WHERE m.type = 'table' ORDER BY m.name, p.cid") +
         Rows(path,
              "SELECT m.name, l.name, l.\"unique\", i.seqno, i.name FROM sqlite_master m, "
              "pragma_index_list(m.name) l, pragma_index_info(l.name) i WHERE m.type = 'table' "
              "ORDER BY m.name, l.name, i.seqno") +
         Rows(path,
              "SELECT m.name, f.* FROM sqlite_master m, pragma_foreign_key_list(m.name) f "
              "WHERE m.type = 'table' ORDER BY m.name, f.id") +
         Rows(path, "PRAGMA user_version");
}

std::string Copy(const std::string& fixture, const std::string& to) {
  std::filesystem::copy_file(std::string(QUILLMARK_STATE_DATA_DIR) + "/" + fixture, to);
  return to;
}

// A file the release of layout 1 wrote (tests/sandbox/data/README.md) is taken up: upgraded
// in place to the layout a new file gets, and every order, request and attempt in it read
// back member by member, as that release wrote them.
TEST(StateStore, TakesUpAFileOfAnEarlierRelease) {
  TempDir dir;
  const std::string fresh = dir.path() + "/fresh.db";
  {
    std::string error;
    ASSERT_TRUE(OpenStore(fresh, error)) << error;
  }
  const std::string path = Copy("state-layout-1.db", dir.path() + "/state.db");
  ASSERT_EQ(Rows(path, "PRAGMA user_version"), "1|\n");
  ASSERT_EQ(Rows(path, "SELECT count(*) FROM pragma_table_info('orders') WHERE name = 'scenario'"),
            "0|\n");
  std::string error;
  auto store = OpenStore(path, error);
  ASSERT_TRUE(store) << error;
  EXPECT_EQ(Rows(path, "PRAGMA user_version"), std::to_string(store::kLayout) + "|\n");
  EXPECT_EQ(Layout(path), Layout(fresh));
  EXPECT_EQ(Rows(path, "SELECT scenario, count(*) FROM orders GROUP BY scenario"), "paid|4|\n");

  const struct {
    const char* number;
    int queries;
    bool paid, closed, refunded, acknowledged;
    Actor paidBy, closedBy;
    const char* notifyUrl;
    const char* transactionId;
    const char* timeEnd;
    const char* outRefundNo;
    const char* refundId;
    std::size_t notifyNext, attempts;
  } rows[] = {
      {"20261210023631317Df39ZfLOGTxMJJj", 2, false, false, false, false, Actor::kNone,
       Actor::kNone, "http://127.0.0.1:8080/quillmark/notify", "", "", "", "", 0, 0},
      {"20261210023631377vA5IDovIIeHecgf", 2, false, true, false, false, Actor::kNone,
       Actor::kMerchant, "http://127.0.0.1:8080/quillmark/notify", "", "", "", "", 0, 0},
      {"20261210023631420DxxfeJMIiw4ZQwG", 3, true, false, false, false, Actor::kQuery,
       Actor::kNone, "http://127.0.0.1:9/quillmark/notify", "2026121093116335733090624642",
       "20261210023631", "", "", 2, 1},
      {"20261210023633992YJTFC9WF6POobu9", 2, true, false, true, true, Actor::kQuery, Actor::kNone,
       "http://127.0.0.1:38181/quillmark/notify", "2026121032560638723002025123", "20261210023634",
       "20261210023634038ZBoUSoU7RHKKpjS", "2026121073276473323460106319", 0, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.number);
    const std::optional<StoredOrder> stored = store->FindOrder(row.number);
    ASSERT_TRUE(stored);
    const Order& order = stored->order;
    EXPECT_EQ(order.description, "Vemrak的支付测试");
    EXPECT_EQ(order.totalFee, 1);
    EXPECT_EQ(order.queries, row.queries);
    EXPECT_EQ(order.paid, row.paid);
    EXPECT_EQ(order.closed, row.closed);
    EXPECT_EQ(order.refunded, row.refunded);
    EXPECT_EQ(order.notifyAcknowledged, row.acknowledged);
    EXPECT_EQ(order.paidBy, row.paidBy);
    EXPECT_EQ(order.closedBy, row.closedBy);
    EXPECT_EQ(order.notifyUrl, row.notifyUrl);
    EXPECT_EQ(order.transactionId, row.transactionId);
    EXPECT_EQ(order.timeEnd, row.timeEnd);
    // Its refund, once the order's own, is a refund record of its own.
    ASSERT_EQ(order.refunds.size(), row.refunded ? 1u : 0u);
    if (row.refunded) {
      EXPECT_EQ(order.refunds[0].outRefundNo, row.outRefundNo);
      EXPECT_EQ(order.refunds[0].refundId, row.refundId);
      EXPECT_EQ(order.refunds[0].refundFee, order.totalFee);
      EXPECT_GE(order.refunds[0].requestedAt, order.paidAt);
    }
    EXPECT_EQ(stored->notifyNext, row.notifyNext);
    // The history in the order it happened, each time set once it happened.
    EXPECT_GT(order.placedAt, 1'796'870'000'000);
    EXPECT_GE(order.firstQueryAt, order.placedAt);
    EXPECT_GE(order.lastQueryAt, order.firstQueryAt);
    EXPECT_EQ(order.paidAt != 0, row.paid);
    EXPECT_EQ(order.closedAt != 0, row.closed);
    EXPECT_EQ(store->Attempts(row.number).size(), row.attempts);
    // Upgraded, each plays `paid`, in none of the scenarios' states.
    EXPECT_EQ(order.scenario, "paid");
    EXPECT_FALSE(order.payError);
    EXPECT_FALSE(order.userPaying);
    EXPECT_EQ(order.payingQueries, 0);
    EXPECT_EQ(order.refundQueries, 0);
    // Upgraded again: every order of an earlier layout was signed MD5, and NATIVE.
    EXPECT_EQ(order.signType, SignType::kMd5);
    EXPECT_EQ(order.tradeType, "NATIVE");
    EXPECT_EQ(order.prepayId, "");
    EXPECT_FALSE(order.micropay);
    EXPECT_FALSE(order.reversed);
  }

  // Its due notification is taken up, with its attempt's failure.
  std::vector<StoredOrder> orders;
  ASSERT_TRUE(store->LoadOrders(0, 100, orders, error)) << error;
  ASSERT_EQ(orders.size(), 4u);
  EXPECT_EQ(orders[2].notifyDueAt, 1'796'870'791'443);
  const std::vector<AttemptEntry> failed = store->Attempts(rows[2].number);
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].number, 1u);
  EXPECT_EQ(failed[0].url, rows[2].notifyUrl);
  EXPECT_EQ(failed[0].httpStatus, 0);
  EXPECT_EQ(failed[0].error, "Couldn't connect to server (curl 7)");
  const AttemptEntry acknowledged = store->Attempts(rows[3].number).at(0);
  EXPECT_TRUE(acknowledged.acknowledged);
  EXPECT_EQ(acknowledged.httpStatus, 200);
  EXPECT_EQ(acknowledged.answerBytes, acknowledged.answer.size());
  EXPECT_NE(acknowledged.answer.find("SUCCESS"), std::string::npos);

  // The journal, newest first; the refused sign with its strings.
  const std::vector<JournalEntry> journal = store->Requests({}, 100);
  ASSERT_EQ(journal.size(), 16u);
  EXPECT_EQ(journal[0].id, 16);
  EXPECT_EQ(journal[0].operation, "refund");
  EXPECT_EQ(journal[0].path, "/pay/refund");
  EXPECT_EQ(journal[0].outcome, "SUCCESS refunded as 20261210023634038ZBoUSoU7RHKKpjS");
  RequestFilter refused;
  refused.verdict = "sign-mismatch";
  const std::vector<JournalEntry> mismatch = store->Requests(refused, 10);
  ASSERT_EQ(mismatch.size(), 1u);
  const JournalEntry& entry = mismatch[0];
  EXPECT_EQ(entry.id, 12);
  EXPECT_EQ(entry.method, "POST");
  EXPECT_EQ(entry.path, "/pay/unifiedorder");
  EXPECT_EQ(entry.orderNo, "20261210023631449bT1ElBxjvSIn1UN");
  EXPECT_EQ(entry.status, 200);
  EXPECT_EQ(entry.at, 1'796'870'191'453);
  EXPECT_EQ(entry.bodyBytes, entry.body.size());
  EXPECT_EQ(entry.replyBytes, entry.reply.size());
  EXPECT_EQ(entry.body.rfind("<xml>", 0), 0u);
  EXPECT_EQ(entry.signString.rfind("appid=qmsandbox000000001&body=", 0), 0u);
  EXPECT_EQ(entry.expectedSign, "5AFCD7528897284B735F98B042A4CD3B");
  EXPECT_EQ(entry.receivedSign, "4BB031BFF716B951E5767FCFAFDD0DB4");
  for (const JournalEntry& request : journal) EXPECT_EQ(request.signType, "MD5");
}

// The file each earlier layout's last release wrote (tests/sandbox/data/README.md) passes
// the checks of what it claims and holds, and is upgraded to the layout a new file gets,
// its rows all there, and no scenario armed.
TEST(StateStore, TakesUpTheFileOfEachEarlierLayout) {
  TempDir dir;
  const std::string fresh = dir.path() + "/fresh.db";
  {
    std::string error;
    ASSERT_TRUE(OpenStore(fresh, error)) << error;
  }
  for (const char* fixture : {"state-layout-1.db", "state-layout-3.db", "state-layout-4.db"}) {
    SCOPED_TRACE(fixture);
    const std::string path = Copy(fixture, dir.path() + "/" + fixture);
    // The one refund each holds, as the order's own columns held it.
    const std::string refund = Rows(path,
                                    "SELECT out_trade_no, out_refund_no, refund_id, total_fee, "
                                    "refunded_at FROM orders WHERE refunded = 1");
    ASSERT_EQ(std::count(refund.begin(), refund.end(), '\n'), 1) << refund;
    std::string error;
    auto store = OpenStore(path, error);
    ASSERT_TRUE(store) << error;
    std::vector<StoredOrder> orders;
    ASSERT_TRUE(store->LoadOrders(0, 100, orders, error)) << error;
    EXPECT_EQ(orders.size(), 4u);
    EXPECT_EQ(store->Requests({}, 100).size(), 16u);
    std::string kept;
    for (const StoredOrder& stored : orders) {
      for (const Refund& each : stored.order.refunds) {
        kept += stored.number + "|" + each.outRefundNo + "|" + each.refundId + "|" +
                std::to_string(each.refundFee) + "|" + std::to_string(each.requestedAt) + "|\n";
        EXPECT_EQ(each.status, RefundStatus::kSuccess);
        EXPECT_EQ(each.successTime.size(), 19u);
        EXPECT_TRUE(stored.order.refunded);
      }
      for (const StoredRefund& schedule : stored.refunds) {
        EXPECT_EQ(schedule.notifyNext, 0u) << "no refund notification is owed for an old refund";
      }
    }
    EXPECT_EQ(kept, refund);
    std::vector<ArmedScenario> armed;
    ASSERT_TRUE(store->LoadArmed(armed, error)) << error;
    EXPECT_TRUE(armed.empty());
    store.reset();
    EXPECT_EQ(Layout(path), Layout(fresh));
  }
}

// A file of this build's layout is opened as it is: nothing of its layout or its rows moves.
TEST(StateStore, OpensAFileOfItsOwnLayoutUnchanged) {
  TempDir dir;
  const std::string path = dir.path() + "/state.db";
  const std::string contents =
      "SELECT * FROM orders; SELECT * FROM requests; SELECT * FROM attempts; "
      "SELECT type, name, sql FROM sqlite_master ORDER BY name; PRAGMA user_version";
  {
    std::string error;
    auto store = OpenStore(path, error);
    ASSERT_TRUE(store) << error;
    StateChange change = Placed("order1", 1'000);
    change.request = JournalEntry{};
    ASSERT_TRUE(store->Write(change, error)) << error;
  }
  const std::string before = Rows(path, contents);
  {
    std::string error;
    ASSERT_TRUE(OpenStore(path, error)) << error;
  }
  EXPECT_EQ(Rows(path, contents), before);
}

// An upgrade is all of its steps and the new number, or nothing: a step that fails, or one
// that is missing, leaves the file as it was.
TEST(StateStore, UpgradesInOneTransactionOrNotAtAll) {
  // Steps beyond this build's layout, from a file of it.
  constexpr int kFrom = store::kLayout;
  const std::string before = std::to_string(kFrom) + "|\n";
  const std::vector<store::Migration> addsATip = {
      {kFrom, "ALTER TABLE orders ADD COLUMN tip INTEGER NOT NULL DEFAULT 0"}};
  const struct {
    const char* what;
    std::vector<store::Migration> steps;
    int code;
    std::string layout;  // the number afterwards
    bool tipped;         // whether orders has the first step's column
  } rows[] = {
      {"two steps",
       {addsATip[0], {kFrom + 1, "CREATE TABLE tips(amount INTEGER)"}},
       SQLITE_OK,
       std::to_string(kFrom + 2) + "|\n",
       true},
      {"the second fails",
       {addsATip[0], {kFrom + 1, "CREATE TABLE orders(x)"}},
       SQLITE_ERROR,
       before,
       false},
      {"the second is missing", addsATip, SQLITE_ERROR, before, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    const std::string path = dir.path() + "/state.db";
    {
      std::string error;
      auto store = OpenStore(path, error);
      ASSERT_TRUE(store) << error;
      ASSERT_TRUE(store->Write(Placed("order1", 1'000), error)) << error;
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    std::string error;
    EXPECT_EQ(store::Upgrade(db, kFrom, kFrom + 2, row.steps, error), row.code) << error;
    sqlite3_close(db);
    EXPECT_EQ(Rows(path, "PRAGMA user_version"), row.layout);
    EXPECT_EQ(Rows(path, "SELECT count(*) FROM pragma_table_info('orders') WHERE name = 'tip'"),
              row.tipped ? "1|\n" : "0|\n");
    EXPECT_EQ(Rows(path, "SELECT out_trade_no FROM orders"), "order1|\n");
  }
}

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A file that is not what a sandbox writes is refused before anything is upgraded or
// written, naming what is wrong: tables that are not those of the layout it claims, or a
// value no sandbox writes (which a console reply or a payer page would show whole). Each is a
// hand-made change to a file a release wrote, or to one of this build's.
TEST(StateStore, RefusesAFileThatIsNotWhatASandboxWrites) {
  TempDir dir;
  const std::string ours = dir.path() + "/ours.db";
  {
    std::string error;
    auto store = OpenStore(ours, error);
    ASSERT_TRUE(store) << error;
    StateChange change = Placed("order1", 1'000);
    change.request = JournalEntry{};
    ArmedScenario armed;
    armed.id = 1;
    armed.scenario = &kScenarios[1];
    armed.outTradeNo = "order2";
    change.armed.push_back(armed);
    ASSERT_TRUE(store->Write(change, error)) << error;
  }
  std::string manyArmed =
      "INSERT INTO armed_scenarios SELECT value + 1, 'paid', '', 0 FROM "
      "(WITH RECURSIVE n(value) AS (SELECT 1 UNION ALL SELECT value + 1 FROM "
      "n WHERE value < 1000) SELECT value FROM n)";
  // layout 1's orders as that release made them, but for the number's UNIQUE.
  // (Read from a copy: SQLite leaves its log files beside a file it reads.)
  const std::string layout1Orders = Rows(Copy("state-layout-1.db", dir.path() + "/layout1.db"),
                                         "SELECT sql FROM sqlite_master WHERE name = 'orders'");
  std::string notUnique = layout1Orders.substr(0, layout1Orders.size() - 2);  // "|\n"
  notUnique.replace(notUnique.find("CREATE TABLE orders"), 19, "CREATE TABLE orders_new");
  notUnique.erase(notUnique.find(" UNIQUE"), 7);
  const struct {
    const char* what;
    bool fromRelease;  // of the layout 1 file, else of ours
    std::string sql;
    std::string says;
  } rows[] = {
      {"an 8 MiB description", true,
       "UPDATE orders SET description = zeroblob(8 * 1024 * 1024) WHERE id = 2",
       "holds a value no quillmark-sandbox writes: the description of row 2 of its orders (a "
       "sandbox writes at most 128 bytes there)"},
      {"orders without the number's UNIQUE", true,
       "PRAGMA foreign_keys = OFF; BEGIN; " + notUnique +
           "; INSERT INTO orders_new SELECT * FROM orders; DROP TABLE orders; "
           "ALTER TABLE orders_new RENAME TO orders; COMMIT",
       "claims schema 1 (PRAGMA user_version) but does not have its tables: it lacks index of "
       "orders sqlite_autoindex_orders_1 UNIQUE (u) column 0 out_trade_no COLLATE BINARY"},
      {"layout 1's tables claiming layout 2", true, "PRAGMA user_version = 2",
       "claims schema 2 (PRAGMA user_version) but does not have its tables: it lacks column "
       "orders.pay_error INTEGER NOT NULL DEFAULT 0"},
      {"a trigger of its own", false,
       "CREATE TRIGGER spy AFTER INSERT ON orders BEGIN DELETE FROM requests; END",
       "it has trigger spy on orders, which that schema has not"},
      {"a version past what it can count to", false, "UPDATE orders SET version = (1 << 62) + 1",
       "the version of row 1 of its orders (a sandbox writes a whole number from 0 to "
       "4611686018427387904 there)"},
      {"a time before 1970", false, "UPDATE orders SET placed_at = -1",
       "the placed_at of row 1 of its orders"},
      {"a scenario it does not play", false, "UPDATE orders SET scenario = 'jackpot'",
       "the scenario of row 1 of its orders (a sandbox writes the name of a scenario there)"},
      {"a trade type no order has", false, "UPDATE orders SET trade_type = 'CARD'",
       "the trade_type of row 1 of its orders (a sandbox writes NATIVE, JSAPI, MWEB, APP or "
       "MICROPAY there)"},
      {"a journal body past what it keeps", false, "UPDATE requests SET body = zeroblob(4097)",
       "the body of row 1 of its requests (a sandbox writes at most 4096 bytes there)"},
      {"an order number the unified order refuses", false,
       "UPDATE orders SET out_trade_no = 'order one'",
       "the out_trade_no of row 1 of its orders (a sandbox writes 1 to 32 letters, digits or "
       "_-|* there)"},
      {"an armed scenario for an order number no order has", false,
       "UPDATE armed_scenarios SET out_trade_no = '<b>'",
       "the out_trade_no of row 1 of its armed_scenarios"},
      {"more armed scenarios than it keeps", false, manyArmed,
       "holds 1001 armed scenarios, more than the 1000 a quillmark-sandbox keeps"},
  };
  int made = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string path = dir.path() + "/made" + std::to_string(++made) + ".db";
    if (row.fromRelease) {
      Copy("state-layout-1.db", path);
    } else {
      std::filesystem::copy_file(ours, path);
    }
    MakeDatabase(path, row.sql);
    const std::string before = Bytes(path);
    std::string error;
    EXPECT_FALSE(OpenStore(path, error));
    EXPECT_NE(error.find("the state file " + path + " "), std::string::npos) << error;
    EXPECT_NE(error.find(row.says), std::string::npos) << error;
    EXPECT_EQ(Bytes(path), before) << "nothing written to it";
  }
  // What they were made from opens: each refusal is the change's.
  std::string error;
  EXPECT_TRUE(OpenStore(ours, error)) << error;
  const std::string release = Copy("state-layout-1.db", dir.path() + "/release.db");
  EXPECT_TRUE(OpenStore(release, error)) << error;
}

// The version is read back as wide as it was written: one past 2^32 is not taken for a
// small one that every later change of the order would lose to, and the change stays.
TEST(StateStore, KeepsAChangeToAnOrderWhoseVersionIsPast2To32) {
  TempDir dir;
  const std::string path = dir.path() + "/state.db";
  constexpr std::int64_t kWide = (std::int64_t{1} << 32) + 5;
  {
    std::string error;
    auto store = OpenStore(path, error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(store->Write(Placed("wide", 1'000, kWide), error)) << error;
  }
  {
    std::string error;
    auto store = OpenStore(path, error);
    ASSERT_TRUE(store) << error;
    std::vector<StoredOrder> orders;
    ASSERT_TRUE(store->LoadOrders(0, 10, orders, error)) << error;
    ASSERT_EQ(orders.size(), 1u);
    EXPECT_EQ(orders[0].order.version, kWide);
    // As the console's pay moves it: the version read, raised by one.
    StateChange paid;
    paid.orderNo = "wide";
    paid.order = orders[0].order;
    paid.order->paid = true;
    paid.order->paidAt = 2'000;
    ++paid.order->version;
    ASSERT_TRUE(store->Write(paid, error)) << error;
  }
  std::string error;
  auto store = OpenStore(path, error);
  ASSERT_TRUE(store) << error;
  const std::optional<StoredOrder> kept = store->FindOrder("wide");
  ASSERT_TRUE(kept);
  EXPECT_TRUE(kept->order.paid);
  EXPECT_EQ(kept->order.version, kWide + 1);
}

// The armed scenarios come back from the file as they were written, oldest first; those
// disarmed, one by one or all at once, do not.
TEST(StateStore, KeepsTheArmedScenarios) {
  TempDir dir;
  const std::string path = dir.path() + "/state.db";
  const auto arm = [](std::int64_t id, const Scenario& scenario, const char* number) {
    ArmedScenario armed;
    armed.id = id;
    armed.scenario = &scenario;
    armed.outTradeNo = number;
    armed.at = 1'000 + id;
    return armed;
  };
  const auto listed = [&path] {
    std::string error;
    auto store = OpenStore(path, error);
    EXPECT_TRUE(store) << error;
    std::vector<ArmedScenario> armed;
    if (store) {
      EXPECT_TRUE(store->LoadArmed(armed, error)) << error;
    }
    std::string text;
    for (const ArmedScenario& entry : armed) {
      text += std::to_string(entry.id) + ":" + entry.scenario->name + "@" + entry.outTradeNo + "/" +
              std::to_string(entry.at) + " ";
    }
    return text;
  };
  {
    std::string error;
    auto store = OpenStore(path, error);
    ASSERT_TRUE(store) << error;
    StateChange first;
    first.armed = {arm(1, kScenarios[1], "a1"), arm(2, kScenarios[2], ""),
                   arm(3, kScenarios[4], "c3")};
    ASSERT_TRUE(store->Write(first, error)) << error;
    StateChange second;
    second.disarmed = {2};
    second.armed = {arm(4, kScenarios[8], "d4")};
    ASSERT_TRUE(store->Write(second, error)) << error;
  }
  EXPECT_EQ(listed(), "1:declined@a1/1001 3:expired@c3/1003 4:refund-fails@d4/1004 ");
  {
    std::string error;
    auto store = OpenStore(path, error);
    ASSERT_TRUE(store) << error;
    StateChange all;
    all.disarmAll = true;
    all.armed = {arm(5, kScenarios[0], "")};
    ASSERT_TRUE(store->Write(all, error)) << error;
  }
  EXPECT_EQ(listed(), "5:paid@/1005 ");
}

}  // namespace
}  // namespace quillmark::sandbox
