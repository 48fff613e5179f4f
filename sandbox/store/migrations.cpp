// Makes a new state file's layout from the column tables, runs the declared steps that
// upgrade an older one, each whole in one exclusive transaction, and checks before either
// that a file is what it claims to be.
#include "sandbox/store/migrations.h"

#include <algorithm>
#include <memory>

#include "protocol/flat_document.h"
#include "sandbox/store/columns.h"
#include "sandbox/store/statement.h"

namespace quillmark::sandbox::store {
namespace {

int Exec(sqlite3* db, const std::string& sql, std::string& error) {
  char* message = nullptr;
  const int code = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  if (code != SQLITE_OK) error = message ? message : sqlite3_errmsg(db);
  sqlite3_free(message);
  return code & 0xff;
}

// Runs `sql` between BEGIN EXCLUSIVE and COMMIT, and rolls it back whole when any of it
// fails: the code is the failure's, not the rollback's.
int Exclusive(sqlite3* db, const std::string& sql, std::string& error) {
  int code = Exec(db, "BEGIN EXCLUSIVE", error);
  if (code != SQLITE_OK) return code;
  code = Exec(db, sql, error);
  if (code == SQLITE_OK) code = Exec(db, "COMMIT", error);
  if (code != SQLITE_OK && sqlite3_get_autocommit(db) == 0) {
    std::string ignored;
    Exec(db, "ROLLBACK", ignored);
  }
  return code;
}

std::string Number(const char* pragma, int value) {
  return std::string("PRAGMA ") + pragma + " = " + std::to_string(value) + ";\n";
}

// The rows of `sql`, each one text; false, with SQLite's words, when it fails.
bool Texts(sqlite3* db, const char* sql, std::vector<std::string>& rows, std::string& error) {
  sqlite3_stmt* prepared = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &prepared, nullptr) != SQLITE_OK) {
    error = sqlite3_errmsg(db);
    sqlite3_finalize(prepared);
    return false;
  }
  StatementHandle statement(prepared);
  Use use(statement.get());
  int step;
  while ((step = use.Step()) == SQLITE_ROW) rows.push_back(use.NextBytes());
  if (step != SQLITE_DONE) {
    error = sqlite3_errmsg(db);
    return false;
  }
  return true;
}

// What the store relies on of a file's tables, one line each, sorted: every object of the
// file's own, every table's columns with their types, constraints and defaults, every
// index's columns with their order and collation, every reference.
bool Features(sqlite3* db, std::vector<std::string>& lines, std::string& error) {
  // SQLite's own objects left out: the indexes of constraints are listed with their tables.
  const std::string own = " NOT LIKE 'sqlite\\_%' ESCAPE '\\'";
  const std::string queries[] = {
      "SELECT type || ' ' || name || ' on ' || tbl_name FROM sqlite_master WHERE name" + own,
      "SELECT 'column ' || m.name || '.' || p.name || ' ' || p.type || "
      "CASE WHEN p.\"notnull\" THEN ' NOT NULL' ELSE '' END || "
      "CASE WHEN p.dflt_value IS NULL THEN '' ELSE ' DEFAULT ' || p.dflt_value END || "
      "CASE WHEN p.pk THEN ' PRIMARY KEY' ELSE '' END "
      "FROM sqlite_master m, pragma_table_info(m.name) p WHERE m.type = 'table' AND m.name" +
          own,
      "SELECT 'index of ' || m.name || ' ' || l.name || "
      "CASE WHEN l.\"unique\" THEN ' UNIQUE' ELSE '' END || ' (' || l.origin || "
      "CASE WHEN l.partial THEN ', partial' ELSE '' END || ') column ' || x.seqno || ' ' || "
      "coalesce(x.name, '(an expression)') || ' COLLATE ' || x.coll || "
      "CASE WHEN x.\"desc\" THEN ' DESC' ELSE '' END "
      "FROM sqlite_master m, pragma_index_list(m.name) l, pragma_index_xinfo(l.name) x "
      "WHERE m.type = 'table' AND x.key AND m.name" +
          own,
      "SELECT 'reference ' || m.name || '.' || f.\"from\" || ' to ' || f.\"table\" || '(' || "
      "coalesce(f.\"to\", '') || ') ON UPDATE ' || f.on_update || ' ON DELETE ' || "
      "f.on_delete FROM sqlite_master m, pragma_foreign_key_list(m.name) f "
      "WHERE m.type = 'table' AND m.name" +
          own,
  };
  for (const std::string& query : queries) {
    if (!Texts(db, query.c_str(), lines, error)) return false;
  }
  std::sort(lines.begin(), lines.end());
  return true;
}

// The first row of `table` that holds what no sandbox writes, named; "" when none does.
template <typename Record>
std::string OutOfBounds(sqlite3* db, const Table<Record>& table, int layout) {
  const std::string sql = FirstOutOfBounds(table, layout);
  if (sql.empty()) return "";
  sqlite3_stmt* prepared = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &prepared, nullptr) != SQLITE_OK) {
    sqlite3_finalize(prepared);
    return "cannot be read (" + std::string(sqlite3_errmsg(db)) + ")";
  }
  StatementHandle statement(prepared);
  Use use(statement.get());
  const int step = use.Step();
  if (step == SQLITE_DONE) return "";
  if (step != SQLITE_ROW) return "cannot be read (" + std::string(sqlite3_errmsg(db)) + ")";
  const std::int64_t row = use.NextInt();
  const std::string name = use.NextBytes();
  const Column<Record>* column = FindColumn(table, name);
  return "holds a value no quillmark-sandbox writes: the " + name + " of row " +
         std::to_string(row) + " of its " + table.name + " (a sandbox writes " +
         (column ? HoldsWords(*column) : std::string("other values")) +
         " there); move it away to start afresh";
}

}  // namespace

const std::vector<Migration>& Migrations() {
  // Layout 1 is the oldest any release wrote. Its orders all play `paid`, in none of the
  // scenarios' states.
  static const std::vector<Migration> steps = {
      {1,
       "ALTER TABLE orders ADD COLUMN scenario TEXT NOT NULL DEFAULT 'paid';\n"
       "ALTER TABLE orders ADD COLUMN pay_error INTEGER NOT NULL DEFAULT 0;\n"
       "ALTER TABLE orders ADD COLUMN user_paying INTEGER NOT NULL DEFAULT 0;\n"
       "ALTER TABLE orders ADD COLUMN paying_queries INTEGER NOT NULL DEFAULT 0;\n"
       "ALTER TABLE orders ADD COLUMN refund_queries INTEGER NOT NULL DEFAULT 0"},
      // Before layout 3 every request and every order was signed with MD5.
      {2,
       "ALTER TABLE orders ADD COLUMN sign_type TEXT NOT NULL DEFAULT 'MD5';\n"
       "ALTER TABLE requests ADD COLUMN sign_type TEXT NOT NULL DEFAULT 'MD5'"},
      // Before layout 4 the armed scenarios were kept in memory only: none to take up.
      {3,
       "CREATE TABLE armed_scenarios(\n"
       "  id INTEGER PRIMARY KEY,\n"
       "  scenario TEXT NOT NULL,\n"
       "  out_trade_no TEXT NOT NULL,\n"
       "  armed_at INTEGER NOT NULL)"},
      // An order's one refund, of its whole amount and a success at once, becomes its first
      // row of refunds, its success time in platform time (UTC+8). Its notification is not
      // due: no sandbox before layout 5 sent one, and nobody waits for it.
      {4, Create(kRefunds, 5) +
              "INSERT INTO refunds(order_id, out_refund_no, refund_id, refund_fee, notify_url, "
              "status, ends, requested_at, finished_at, success_time)\n"
              "  SELECT id, out_refund_no, refund_id, total_fee, '', 'SUCCESS', 'SUCCESS', "
              "refunded_at, refunded_at, "
              "strftime('%Y-%m-%d %H:%M:%S', refunded_at / 1000, 'unixepoch', '+8 hours')\n"
              "  FROM orders WHERE refunded = 1 ORDER BY id;\n"
              "ALTER TABLE orders DROP COLUMN out_refund_no;\n"
              "ALTER TABLE orders DROP COLUMN refund_id;\n"
              "ALTER TABLE orders DROP COLUMN refunded_at;\n"
              "ALTER TABLE attempts ADD COLUMN out_refund_no TEXT NOT NULL DEFAULT ''"},
      // Before layout 6 every order was NATIVE, without a prepay_id.
      {5,
       "ALTER TABLE orders ADD COLUMN trade_type TEXT NOT NULL DEFAULT 'NATIVE';\n"
       "ALTER TABLE orders ADD COLUMN prepay_id TEXT NOT NULL DEFAULT '';\n"
       "ALTER TABLE orders ADD COLUMN prepay_until INTEGER NOT NULL DEFAULT 0;\n"
       "ALTER TABLE orders ADD COLUMN openid TEXT NOT NULL DEFAULT '';\n"
       "ALTER TABLE orders ADD COLUMN expires_at INTEGER NOT NULL DEFAULT 0;\n"
       "ALTER TABLE orders ADD COLUMN placed_with TEXT NOT NULL DEFAULT ''"},
      // Before layout 7 the sandbox served no till: no order was paid by a code or reversed.
      {6,
       "ALTER TABLE orders ADD COLUMN micropay INTEGER NOT NULL DEFAULT 0;\n"
       "ALTER TABLE orders ADD COLUMN auth_code TEXT NOT NULL DEFAULT '';\n"
       "ALTER TABLE orders ADD COLUMN reversed INTEGER NOT NULL DEFAULT 0;\n"
       "ALTER TABLE orders ADD COLUMN reversed_at INTEGER NOT NULL DEFAULT 0;\n"
       "ALTER TABLE orders ADD COLUMN reverse_calls INTEGER NOT NULL DEFAULT 0"},
  };
  return steps;
}

namespace {

// The orders first: the attempts refer to them.
std::string Tables(int layout) {
  return Create(kOrders, layout) + Create(kJournal, layout) + Create(kAttempts, layout) +
         Create(kArmed, layout) + Create(kRefunds, layout);
}

}  // namespace

int CreateLayout(sqlite3* db, std::string& error) {
  const std::string sql =
      Tables(kLayout) + Number("application_id", kApplicationId) + Number("user_version", kLayout);
  return Exclusive(db, sql, error);
}

int CreateTables(sqlite3* db, int layout, std::string& error) {
  return Exclusive(db, Tables(layout), error);
}

int Upgrade(sqlite3* db, int from, int to, const std::vector<Migration>& steps,
            std::string& error) {
  std::string sql;
  for (int layout = from; layout < to; ++layout) {
    const Migration* step = nullptr;
    for (const Migration& candidate : steps) {
      if (candidate.from == layout) step = &candidate;
    }
    if (step == nullptr) {
      error = "no step is declared from layout " + std::to_string(layout);
      return SQLITE_ERROR;
    }
    sql += step->sql + ";\n";
  }
  return Exclusive(db, sql + Number("user_version", to), error);
}

std::string LayoutProblem(sqlite3* db, int layout) {
  // The layout as a new file of it had it, made again in memory to compare with.
  sqlite3* made = nullptr;
  const int opened = sqlite3_open(":memory:", &made);
  const DatabaseHandle model(made);
  std::string error;
  if (opened != SQLITE_OK || CreateTables(model.get(), layout, error) != SQLITE_OK) {
    return "cannot be compared with schema " + std::to_string(layout) + " (" + error + ")";
  }
  std::vector<std::string> expected;
  std::vector<std::string> found;
  if (!Features(model.get(), expected, error)) {
    return "cannot be compared with schema " + std::to_string(layout) + " (" + error + ")";
  }
  if (!Features(db, found, error)) return "cannot be read (" + error + ")";
  if (found == expected) return "";
  std::string difference;
  for (const std::string& line : expected) {
    if (!std::binary_search(found.begin(), found.end(), line)) {
      difference = "it lacks " + line;
      break;
    }
  }
  if (difference.empty()) {
    for (const std::string& line : found) {
      if (std::binary_search(expected.begin(), expected.end(), line)) continue;
      // The file's own words: shown as printable ASCII, and cut.
      difference = "it has " + PrintableAscii(line.substr(0, 120)) +
                   (line.size() > 120 ? "..." : "") + ", which that schema has not";
      break;
    }
  }
  return "claims schema " + std::to_string(layout) + " (PRAGMA user_version) but does not have " +
         "its tables: " + difference + "; no quillmark-sandbox wrote it so, so it is neither " +
         "upgraded nor used: move it away to start afresh";
}

std::string ValueProblem(sqlite3* db, int layout) {
  for (const std::string& problem :
       {OutOfBounds(db, kOrders, layout), OutOfBounds(db, kJournal, layout),
        OutOfBounds(db, kAttempts, layout), OutOfBounds(db, kArmed, layout),
        OutOfBounds(db, kRefunds, layout)}) {
    if (!problem.empty()) return problem;
  }
  if (kArmed.since > layout) return "";
  std::vector<std::string> count;
  std::string error;
  if (!Texts(db, "SELECT count(*) FROM armed_scenarios", count, error)) {
    return "cannot be read (" + error + ")";
  }
  if (std::stoll(count.at(0)) > static_cast<long long>(kMaxArmedScenarios)) {
    return "holds " + count[0] + " armed scenarios, more than the " +
           std::to_string(kMaxArmedScenarios) +
           " a quillmark-sandbox keeps; move it away to start afresh";
  }
  return "";
}

}  // namespace quillmark::sandbox::store
