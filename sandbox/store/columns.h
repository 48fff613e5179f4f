// The state file's tables, each one list of columns: a column's name, its SQL type and
// constraints, and the member of the record it holds. The layout (CREATE TABLE), the column
// lists, the placeholders, the binding and the reading are all made from these lists; only
// the statements that move one column on their own (a notification's schedule) name it
// again. Inside sandbox/store only.
//
// A column's name and type are the file's: a name changed here is a file that no longer
// reads, so a new layout changes them only with a migration (migrations.h).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "sandbox/store/state_store.h"
#include "sandbox/store/statement.h"

namespace quillmark::sandbox::store {

enum class Sql { kInteger, kText, kBlob };

// A column's value on its way to or from the file: a number, or bytes (viewing the record
// when it is written, SQLite's row when it is read).
struct Value {
  std::int64_t number = 0;
  std::string_view bytes;
};

template <typename Record>
struct Column {
  const char* name;
  Sql type;
  const char* constraints = "NOT NULL";
  std::size_t keep = 0;                   // the bytes of a TEXT or BLOB value kept; 0: all
  Value (*get)(const Record&) = nullptr;  // null: not written with the record
  void (*set)(Record&, Value) = nullptr;  // null: not read into it

  Column Kept(std::size_t bytes) const {
    Column column = *this;
    column.keep = bytes;
    return column;
  }
  Column With(const char* all) const {
    Column column = *this;
    column.constraints = all;
    return column;
  }
  // Read back, but written by statements of their own rather than with the record.
  Column ReadOnly() const {
    Column column = *this;
    column.get = nullptr;
    return column;
  }
};

template <typename Record>
struct Table {
  const char* name;
  std::vector<Column<Record>> columns;
  const char* indexes;  // the layout's statements that follow the table's, or ""
};

template <typename Member>
struct ClassOf;
template <typename Class, typename Type>
struct ClassOf<Type Class::*> {
  using type = Class;
};

template <typename T>
Value ValueOf(const T& member) {
  if constexpr (std::is_same_v<T, std::string>) {
    return Value{0, member};
  } else {
    return Value{static_cast<std::int64_t>(member), {}};
  }
}

template <typename T>
void Assign(T& member, Value value) {
  if constexpr (std::is_same_v<T, std::string>) {
    member.assign(value.bytes);
  } else if constexpr (std::is_same_v<T, bool>) {
    member = value.number != 0;
  } else {
    member = static_cast<T>(value.number);
  }
}

// The member that `First`, then each of `Rest`, lead to from `record`: record.*First.*Rest...
template <auto First, auto... Rest, typename Record>
auto& MemberAt(Record& record) {
  if constexpr (sizeof...(Rest) == 0) {
    return record.*First;
  } else {
    return MemberAt<Rest...>(record.*First);
  }
}

// A column that holds a member, or a member's member: Map<&StoredOrder::order, &Order::paid>.
template <auto First, auto... Rest>
Column<typename ClassOf<decltype(First)>::type> Map(const char* name, Sql type) {
  using Record = typename ClassOf<decltype(First)>::type;
  Column<Record> column{name, type};
  column.get = [](const Record& record) { return ValueOf(MemberAt<First, Rest...>(record)); };
  column.set = [](Record& record, Value value) { Assign(MemberAt<First, Rest...>(record), value); };
  return column;
}

// A column whose value the record holds in another form, through an accessor pair.
template <typename Record>
Column<Record> Access(const char* name, Sql type, Value (*get)(const Record&),
                      void (*set)(Record&, Value)) {
  return Column<Record>{name, type, "NOT NULL", 0, get, set};
}

// A column of the layout's own (a key, a reference) that no member holds.
template <typename Record>
Column<Record> Declared(const char* name, Sql type, const char* constraints) {
  return Column<Record>{name, type, constraints};
}

namespace columns {

inline Value ActorValue(Actor actor) { return Value{0, ActorName(actor)}; }
inline Actor ActorOf(Value value) { return ActorOfName(std::string(value.bytes)); }
// A text's whole size: the size the record names, or the bytes it holds when more.
inline Value Size(std::size_t named, std::size_t held) {
  return Value{static_cast<std::int64_t>(std::max(named, held)), {}};
}

}  // namespace columns

// An order, with its notification's schedule, which statements of their own move.
inline const Table<StoredOrder> kOrders{
    "orders",
    {
        Declared<StoredOrder>("id", Sql::kInteger, "PRIMARY KEY"),
        Map<&StoredOrder::number>("out_trade_no", Sql::kText).With("NOT NULL UNIQUE"),
        Map<&StoredOrder::order, &Order::version>("version", Sql::kInteger),
        Map<&StoredOrder::order, &Order::description>("description", Sql::kBlob),
        Map<&StoredOrder::order, &Order::totalFee>("total_fee", Sql::kInteger),
        Map<&StoredOrder::order, &Order::notifyUrl>("notify_url", Sql::kBlob),
        Map<&StoredOrder::order, &Order::queries>("queries", Sql::kInteger),
        Map<&StoredOrder::order, &Order::paid>("paid", Sql::kInteger),
        Map<&StoredOrder::order, &Order::closed>("closed", Sql::kInteger),
        Map<&StoredOrder::order, &Order::refunded>("refunded", Sql::kInteger),
        Map<&StoredOrder::order, &Order::transactionId>("transaction_id", Sql::kText),
        Map<&StoredOrder::order, &Order::timeEnd>("time_end", Sql::kText),
        Map<&StoredOrder::order, &Order::outRefundNo>("out_refund_no", Sql::kText),
        Map<&StoredOrder::order, &Order::refundId>("refund_id", Sql::kText),
        Map<&StoredOrder::order, &Order::placedAt>("placed_at", Sql::kInteger),
        Map<&StoredOrder::order, &Order::firstQueryAt>("first_query_at", Sql::kInteger),
        Map<&StoredOrder::order, &Order::lastQueryAt>("last_query_at", Sql::kInteger),
        Map<&StoredOrder::order, &Order::paidAt>("paid_at", Sql::kInteger),
        Access<StoredOrder>(
            "paid_by", Sql::kText,
            [](const StoredOrder& stored) { return columns::ActorValue(stored.order.paidBy); },
            [](StoredOrder& stored, Value value) {
              stored.order.paidBy = columns::ActorOf(value);
            }),
        Map<&StoredOrder::order, &Order::closedAt>("closed_at", Sql::kInteger),
        Access<StoredOrder>(
            "closed_by", Sql::kText,
            [](const StoredOrder& stored) { return columns::ActorValue(stored.order.closedBy); },
            [](StoredOrder& stored, Value value) {
              stored.order.closedBy = columns::ActorOf(value);
            }),
        Map<&StoredOrder::order, &Order::refundedAt>("refunded_at", Sql::kInteger),
        Map<&StoredOrder::order, &Order::notifyAcknowledged>("notify_acked", Sql::kInteger)
            .With("NOT NULL DEFAULT 0")
            .ReadOnly(),
        Map<&StoredOrder::notifyNext>("notify_next", Sql::kInteger)
            .With("NOT NULL DEFAULT 0")
            .ReadOnly(),
        Map<&StoredOrder::notifyDueAt>("notify_due_at", Sql::kInteger)
            .With("NOT NULL DEFAULT 0")
            .ReadOnly(),
        // Layout 2: the scenario it plays, and what the scenarios' states keep. At the end,
        // with the defaults of the orders layout 1 kept, where the upgrade adds them.
        Map<&StoredOrder::order, &Order::scenario>("scenario", Sql::kText)
            .With("NOT NULL DEFAULT 'paid'"),
        Map<&StoredOrder::order, &Order::payError>("pay_error", Sql::kInteger)
            .With("NOT NULL DEFAULT 0"),
        Map<&StoredOrder::order, &Order::userPaying>("user_paying", Sql::kInteger)
            .With("NOT NULL DEFAULT 0"),
        Map<&StoredOrder::order, &Order::payingQueries>("paying_queries", Sql::kInteger)
            .With("NOT NULL DEFAULT 0"),
        Map<&StoredOrder::order, &Order::refundQueries>("refund_queries", Sql::kInteger)
            .With("NOT NULL DEFAULT 0"),
        // Layout 3: the sign type it was placed with; every earlier order was MD5's.
        Access<StoredOrder>(
            "sign_type", Sql::kText,
            [](const StoredOrder& stored) {
              return Value{0, SignTypeName(stored.order.signType)};
            },
            [](StoredOrder& stored, Value value) {
              stored.order.signType = ParseSignType(value.bytes).value_or(SignType::kMd5);
            })
            .With("NOT NULL DEFAULT 'MD5'"),
    },
    ""};

// A request the sandbox received, its bytes cut to what the journal keeps.
inline const Table<JournalEntry> kJournal{
    "requests",
    {
        Map<&JournalEntry::id>("id", Sql::kInteger).With("PRIMARY KEY").ReadOnly(),
        Map<&JournalEntry::at>("at", Sql::kInteger),
        Map<&JournalEntry::method>("method", Sql::kBlob).Kept(32),
        Map<&JournalEntry::path>("path", Sql::kBlob).Kept(kKeptTextBytes),
        Map<&JournalEntry::operation>("operation", Sql::kText),
        Map<&JournalEntry::orderNo>("out_trade_no", Sql::kBlob).Kept(64),
        Map<&JournalEntry::verdict>("verdict", Sql::kText),
        Map<&JournalEntry::status>("status", Sql::kInteger),
        Map<&JournalEntry::outcome>("outcome", Sql::kBlob).Kept(kKeptTextBytes),
        Map<&JournalEntry::body>("body", Sql::kBlob).Kept(kKeptTextBytes),
        Access<JournalEntry>(
            "body_bytes", Sql::kInteger,
            [](const JournalEntry& entry) {
              return columns::Size(entry.bodyBytes, entry.body.size());
            },
            [](JournalEntry& entry, Value value) { Assign(entry.bodyBytes, value); }),
        Map<&JournalEntry::reply>("reply", Sql::kBlob).Kept(kKeptTextBytes),
        Access<JournalEntry>(
            "reply_bytes", Sql::kInteger,
            [](const JournalEntry& entry) {
              return columns::Size(entry.replyBytes, entry.reply.size());
            },
            [](JournalEntry& entry, Value value) { Assign(entry.replyBytes, value); }),
        Map<&JournalEntry::signString>("sign_string", Sql::kBlob).Kept(kKeptTextBytes),
        Map<&JournalEntry::expectedSign>("sign_expected", Sql::kText).Kept(64),
        Map<&JournalEntry::receivedSign>("sign_received", Sql::kText).Kept(64),
        // Layout 3: the sign type the request named.
        Map<&JournalEntry::signType>("sign_type", Sql::kText)
            .Kept(64)
            .With("NOT NULL DEFAULT 'MD5'"),
    },
    "CREATE INDEX requests_by_order ON requests(out_trade_no, id);\n"};

// A notification attempt, kept with its order and gone with it; the order's number is the
// order's row, not a column here.
inline const Table<AttemptEntry> kAttempts{
    "attempts",
    {
        Declared<AttemptEntry>("id", Sql::kInteger, "PRIMARY KEY"),
        Declared<AttemptEntry>("order_id", Sql::kInteger,
                               "NOT NULL REFERENCES orders(id) ON DELETE CASCADE"),
        Map<&AttemptEntry::at>("at", Sql::kInteger),
        Map<&AttemptEntry::number>("number", Sql::kInteger),
        Map<&AttemptEntry::url>("url", Sql::kBlob).Kept(kKeptTextBytes),
        Map<&AttemptEntry::httpStatus>("http_status", Sql::kInteger),
        Map<&AttemptEntry::error>("error", Sql::kBlob).Kept(kKeptTextBytes),
        Map<&AttemptEntry::answer>("answer", Sql::kBlob).Kept(kKeptAnswerBytes),
        Access<AttemptEntry>(
            "answer_bytes", Sql::kInteger,
            [](const AttemptEntry& attempt) {
              return columns::Size(attempt.answerBytes, attempt.answer.size());
            },
            [](AttemptEntry& attempt, Value value) { Assign(attempt.answerBytes, value); }),
        Map<&AttemptEntry::durationMs>("duration_ms", Sql::kInteger),
        Map<&AttemptEntry::acknowledged>("acknowledged", Sql::kInteger),
    },
    "CREATE INDEX attempts_by_order ON attempts(order_id, id);\n"};

// Which of a table's columns a list names.
enum class Part { kWritten, kRead };

template <typename Record>
bool In(const Column<Record>& column, Part part) {
  return part == Part::kWritten ? column.get != nullptr : column.set != nullptr;
}

// "a, b, c": the columns of `part`, in the table's order.
template <typename Record>
std::string Names(const Table<Record>& table, Part part) {
  std::string names;
  for (const Column<Record>& column : table.columns) {
    if (In(column, part)) names += (names.empty() ? "" : ", ") + std::string(column.name);
  }
  return names;
}

// "?, ?, ?": a placeholder for each column written.
template <typename Record>
std::string Places(const Table<Record>& table) {
  std::string places;
  for (const Column<Record>& column : table.columns) {
    if (In(column, Part::kWritten)) places += places.empty() ? "?" : ", ?";
  }
  return places;
}

// "b = excluded.b, ...": every column written but `key`, from the row an upsert offered.
template <typename Record>
std::string Updates(const Table<Record>& table, std::string_view key) {
  std::string updates;
  for (const Column<Record>& column : table.columns) {
    if (!In(column, Part::kWritten) || column.name == key) continue;
    updates +=
        (updates.empty() ? "" : ", ") + std::string(column.name) + " = excluded." + column.name;
  }
  return updates;
}

inline const char* SqlName(Sql type) {
  switch (type) {
    case Sql::kInteger:
      return "INTEGER";
    case Sql::kText:
      return "TEXT";
    case Sql::kBlob:
      return "BLOB";
  }
  return "";
}

// The table's CREATE TABLE and its indexes.
template <typename Record>
std::string Create(const Table<Record>& table) {
  std::string sql = std::string("CREATE TABLE ") + table.name + "(";
  const char* between = "\n  ";
  for (const Column<Record>& column : table.columns) {
    sql +=
        between + std::string(column.name) + " " + SqlName(column.type) + " " + column.constraints;
    between = ",\n  ";
  }
  return sql + ");\n" + table.indexes;
}

// Binds the columns written, in the table's order, from the next placeholder on.
template <typename Record>
Use& Bind(Use& use, const Table<Record>& table, const Record& record) {
  for (const Column<Record>& column : table.columns) {
    if (!In(column, Part::kWritten)) continue;
    const Value value = column.get(record);
    std::string_view bytes = value.bytes;
    if (column.keep > 0) bytes = bytes.substr(0, std::min(bytes.size(), column.keep));
    switch (column.type) {
      case Sql::kInteger:
        use.Int(value.number);
        break;
      case Sql::kText:
        use.Text(bytes);
        break;
      case Sql::kBlob:
        use.Bytes(bytes);
        break;
    }
  }
  return use;
}

// Reads the columns Names(table, Part::kRead) lists, from the row's next column on.
template <typename Record>
void Read(Use& use, const Table<Record>& table, Record& record) {
  for (const Column<Record>& column : table.columns) {
    if (!In(column, Part::kRead)) continue;
    if (column.type == Sql::kInteger) {
      column.set(record, Value{use.NextInt(), {}});
    } else {
      column.set(record, Value{0, use.NextView()});
    }
  }
}

}  // namespace quillmark::sandbox::store
