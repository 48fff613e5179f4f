// The state file's layouts, numbered by its PRAGMA user_version, and the declared steps
// that bring a file of an earlier layout to this build's in place. Inside sandbox/store only.
//
// Every layout a release wrote stays readable: a change to the column tables (columns.h)
// raises kLayout and adds the step from the layout before, here, in the same commit.
#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

namespace quillmark::sandbox::store {

// "QmkS": a file with another application id is another program's database.
inline constexpr int kApplicationId = 0x516d6b53;
// The layout this build writes and reads. Layout 1 is the orders, the journal and the
// attempts as the first release with a state file laid them out; layout 2 adds the
// orders' scenario and its states' columns; layout 3 the sign type of each order and of each
// request in the journal; layout 4 the scenarios armed from the console; layout 5 moves an
// order's refund into a table of refunds, many to an order, and names the refund of each
// notification attempt; layout 6 adds each order's trade type, prepay_id, payer, time_expire
// and the digest a retry of it is compared with; layout 7 the orders' till payments
// (micropay), their codes and their reversals.
inline constexpr int kLayout = 7;
// The oldest layout a release wrote: a file of any layout from here to kLayout is taken up.
inline constexpr int kOldestLayout = 1;

// One step: a file of layout `from` becomes one of layout from + 1.
struct Migration {
  int from;
  std::string sql;  // run inside the upgrade's transaction
};

// The steps from kOldestLayout to kLayout, oldest first, one for each layout.
const std::vector<Migration>& Migrations();

// Each returns SQLite's result code (SQLITE_OK once done) and, when it failed, SQLite's
// words in `error`; what failed is rolled back whole.

// A new file's tables in this build's layout, with its application id and layout number.
int CreateLayout(sqlite3* db, std::string& error);
// The tables of layout `layout` alone, as a new file of that layout had them.
int CreateTables(sqlite3* db, int layout, std::string& error);
// Brings a file of layout `from` to layout `to` in one transaction: each step of `steps`
// from `from` on, then the new number, or nothing at all.
int Upgrade(sqlite3* db, int from, int to, const std::vector<Migration>& steps, std::string& error);

// Each reads the file and writes nothing; "" when the file passes, else why not, in words
// that follow "the state file NAME".

// Whether the file's tables, their columns (names, types, constraints, defaults), indexes
// and references are those of layout `layout`, and there is nothing else: a file that
// claims a layout it does not have would be upgraded into a half layout, or written by
// statements its tables do not fit.
std::string LayoutProblem(sqlite3* db, int layout);
// Whether every value in the file, of layout `layout`, is one a sandbox writes (columns.h):
// a file that holds a longer text or a number out of range names its row.
std::string ValueProblem(sqlite3* db, int layout);

}  // namespace quillmark::sandbox::store
