// Makes a new state file's layout from the column tables, and runs the declared steps that
// upgrade an older one, each whole in one exclusive transaction.
#include "sandbox/store/migrations.h"

#include "sandbox/store/columns.h"

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
  };
  return steps;
}

int CreateLayout(sqlite3* db, std::string& error) {
  // The orders first: the attempts refer to them.
  const std::string sql = Create(kOrders) + Create(kJournal) + Create(kAttempts) +
                          Number("application_id", kApplicationId) +
                          Number("user_version", kLayout);
  return Exclusive(db, sql, error);
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
    sql += std::string(step->sql) + ";\n";
  }
  return Exclusive(db, sql + Number("user_version", to), error);
}

}  // namespace quillmark::sandbox::store
