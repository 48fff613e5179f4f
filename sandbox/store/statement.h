// The store's grip on SQLite: owning handles, and one use of a prepared statement. Inside
// sandbox/store only; nothing outside the store sees SQLite.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quillmark::sandbox::store {

struct Finalize {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
struct Close {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using StatementHandle = std::unique_ptr<sqlite3_stmt, Finalize>;
using DatabaseHandle = std::unique_ptr<sqlite3, Close>;

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
  // The next column's bytes, valid until the next step.
  std::string_view NextView() {
    const int at = column_++;
    const void* data = sqlite3_column_blob(statement_, at);
    const int size = sqlite3_column_bytes(statement_, at);
    return data == nullptr
               ? std::string_view()
               : std::string_view(static_cast<const char*>(data), static_cast<std::size_t>(size));
  }
  std::string NextBytes() { return std::string(NextView()); }

 private:
  sqlite3_stmt* statement_;
  int bound_ = 0;
  int column_ = 0;
};

}  // namespace quillmark::sandbox::store
