// The state file's tables, each one list of columns: a column's name, its SQL type and
// constraints, and the member of the record it holds. The layout (CREATE TABLE), the column
// lists, the placeholders, the binding and the reading are all made from these lists; only
// the statements that move one column on their own (a notification's schedule) name it
// again. Inside sandbox/store only.
//
// A column's name and type are the file's: a name changed here is a file that no longer
// reads, so a new layout changes them only with a migration (migrations.h), and each column
// and table names the layout that added it, so that the tables of any earlier layout can be
// made again to compare a file with. Each column also says what a sandbox writes there (a
// length, a range, a form): a file that holds anything else was not written by one, and is
// refused before any of it is shown.
#pragma once

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "protocol/scenarios.h"
#include "protocol/sign.h"
#include "sandbox/api/request_check.h"
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

// The ranges of the numbers a sandbox writes: times up to the end of the year 9999, counts
// that an int holds, sizes that JSON carries exactly, and a version no run of changes can
// take past what int64 holds.
inline constexpr std::int64_t kLastTime = 253'402'300'799'999;
inline constexpr std::int64_t kMostCount = INT_MAX;
inline constexpr std::int64_t kMostSize = std::int64_t{1} << 53;
inline constexpr std::int64_t kMostVersion = std::int64_t{1} << 62;

template <typename Record>
struct Column {
  const char* name;
  Sql type;
  const char* constraints = "NOT NULL";
  std::size_t keep = 0;                   // the bytes of a TEXT or BLOB value kept; 0: all
  Value (*get)(const Record&) = nullptr;  // null: not written with the record
  void (*set)(Record&, Value) = nullptr;  // null: not read into it
  int since = 1;                          // the layout that added it
  int until = 0;                          // the layout that dropped it; 0: still there
  // What a sandbox writes there: a TEXT or BLOB value of at most `most` bytes (0: no bound);
  // a whole number from `low` to `high` (when `ranged`); and `form`, an SQL condition on the
  // column ("" for none), with `formWords` saying it in a message.
  std::size_t most = 0;
  bool ranged = false;
  std::int64_t low = 0;
  std::int64_t high = 0;
  std::string form = {};
  const char* formWords = "";

  // Cut to `bytes` as it is written; so no file a sandbox wrote holds more.
  Column Kept(std::size_t bytes) const {
    Column column = *this;
    column.keep = bytes;
    column.most = bytes;
    return column;
  }
  // Bounded on the way in already (a request's field), so never more in the file.
  Column Most(std::size_t bytes) const {
    Column column = *this;
    column.most = bytes;
    return column;
  }
  Column Range(std::int64_t from, std::int64_t to) const {
    Column column = *this;
    column.ranged = true;
    column.low = from;
    column.high = to;
    return column;
  }
  Column Flag() const { return Range(0, 1); }
  Column Time() const { return Range(0, kLastTime); }
  Column Count() const { return Range(0, kMostCount); }
  Column Form(std::string condition, const char* words) const {
    Column column = *this;
    column.form = std::move(condition);
    column.formWords = words;
    return column;
  }
  Column Since(int layout) const {
    Column column = *this;
    column.since = layout;
    return column;
  }
  // Dropped by layout `layout`: kept only to make and check the layouts before it.
  Column Until(int layout) const {
    Column column = *this;
    column.until = layout;
    return column;
  }
  bool In(int layout) const { return since <= layout && (until == 0 || layout < until); }
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
  int since = 1;        // the layout that added it
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

// "column IN ('a', 'b')": one of the names given.
template <typename Names, typename NameOf>
std::string OneOf(const char* column, const Names& names, NameOf nameOf) {
  std::string condition = std::string(column) + " IN (";
  const char* between = "";
  for (const auto& item : names) {
    condition += between + std::string("'") + nameOf(item) + "'";
    between = ", ";
  }
  return condition + ")";
}

inline std::string KnownScenario(const char* column) {
  return OneOf(column, kScenarios, [](const Scenario& scenario) { return scenario.name; });
}

inline std::string KnownTradeType(const char* column) {
  const char* const all[] = {kTradeTypeNative, kTradeTypeJsapi, kTradeTypeMweb, kTradeTypeApp,
                             kTradeTypeMicropay};
  return OneOf(column, all, [](const char* name) { return name; });
}

inline std::string KnownSignType(const char* column) {
  return OneOf(column, kSignTypes, [](SignType type) { return SignTypeName(type); });
}

// An order number as the unified order takes it: 1 to 32 letters, digits or _-|*. (In the
// GLOB's brackets a '*' is itself, and a '-' before the ']' too.)
inline std::string OrderNumber(const char* column) {
  const std::string name = column;
  return "length(" + name + ") BETWEEN 1 AND 32 AND " + name + " NOT GLOB '*[^0-9A-Za-z_|*-]*'";
}
inline constexpr char kOrderNumberWords[] = "1 to 32 letters, digits or _-|*";

inline std::string KnownRefundStatus(const char* column) {
  const RefundStatus all[] = {RefundStatus::kProcessing, RefundStatus::kSuccess,
                              RefundStatus::kChange, RefundStatus::kClosed};
  return OneOf(column, all, RefundStatusName);
}

inline Value RefundStatusValue(RefundStatus status) { return Value{0, RefundStatusName(status)}; }
inline RefundStatus RefundStatusOf(Value value) {
  RefundStatus status = RefundStatus::kSuccess;
  ParseRefundStatus(value.bytes, status);  // checked at open: one of the names
  return status;
}

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
        Map<&StoredOrder::number>("out_trade_no", Sql::kText)
            .With("NOT NULL UNIQUE")
            .Most(32)
            .Form(columns::OrderNumber("out_trade_no"), columns::kOrderNumberWords),
        Map<&StoredOrder::order, &Order::version>("version", Sql::kInteger).Range(0, kMostVersion),
        Map<&StoredOrder::order, &Order::description>("description", Sql::kBlob)
            .Most(kMaxBodyFieldBytes),
        Map<&StoredOrder::order, &Order::totalFee>("total_fee", Sql::kInteger).Range(1, INT_MAX),
        Map<&StoredOrder::order, &Order::notifyUrl>("notify_url", Sql::kBlob)
            .Most(kMaxNotifyUrlFieldBytes),
        Map<&StoredOrder::order, &Order::queries>("queries", Sql::kInteger).Count(),
        Map<&StoredOrder::order, &Order::paid>("paid", Sql::kInteger).Flag(),
        Map<&StoredOrder::order, &Order::closed>("closed", Sql::kInteger).Flag(),
        Map<&StoredOrder::order, &Order::refunded>("refunded", Sql::kInteger).Flag(),
        Map<&StoredOrder::order, &Order::transactionId>("transaction_id", Sql::kText).Most(32),
        Map<&StoredOrder::order, &Order::timeEnd>("time_end", Sql::kText).Most(14),
        // Until layout 5 an order had one refund, of its whole amount, kept here; now they
        // are rows of their own (kRefunds).
        Declared<StoredOrder>("out_refund_no", Sql::kText, "NOT NULL").Most(32).Until(5),
        Declared<StoredOrder>("refund_id", Sql::kText, "NOT NULL").Most(32).Until(5),
        Map<&StoredOrder::order, &Order::placedAt>("placed_at", Sql::kInteger).Time(),
        Map<&StoredOrder::order, &Order::firstQueryAt>("first_query_at", Sql::kInteger).Time(),
        Map<&StoredOrder::order, &Order::lastQueryAt>("last_query_at", Sql::kInteger).Time(),
        Map<&StoredOrder::order, &Order::paidAt>("paid_at", Sql::kInteger).Time(),
        Access<StoredOrder>(
            "paid_by", Sql::kText,
            [](const StoredOrder& stored) { return columns::ActorValue(stored.order.paidBy); },
            [](StoredOrder& stored, Value value) { stored.order.paidBy = columns::ActorOf(value); })
            .Most(16),
        Map<&StoredOrder::order, &Order::closedAt>("closed_at", Sql::kInteger).Time(),
        Access<StoredOrder>(
            "closed_by", Sql::kText,
            [](const StoredOrder& stored) { return columns::ActorValue(stored.order.closedBy); },
            [](StoredOrder& stored, Value value) {
              stored.order.closedBy = columns::ActorOf(value);
            })
            .Most(16),
        Declared<StoredOrder>("refunded_at", Sql::kInteger, "NOT NULL").Time().Until(5),
        Map<&StoredOrder::order, &Order::notifyAcknowledged>("notify_acked", Sql::kInteger)
            .With("NOT NULL DEFAULT 0")
            .ReadOnly()
            .Flag(),
        Map<&StoredOrder::notifyNext>("notify_next", Sql::kInteger)
            .With("NOT NULL DEFAULT 0")
            .ReadOnly()
            .Count(),
        Map<&StoredOrder::notifyDueAt>("notify_due_at", Sql::kInteger)
            .With("NOT NULL DEFAULT 0")
            .ReadOnly()
            .Time(),
        // Layout 2: the scenario it plays, and what the scenarios' states keep. At the end,
        // with the defaults of the orders layout 1 kept, where the upgrade adds them.
        Map<&StoredOrder::order, &Order::scenario>("scenario", Sql::kText)
            .With("NOT NULL DEFAULT 'paid'")
            .Since(2)
            .Most(32)
            .Form(columns::KnownScenario("scenario"), "the name of a scenario"),
        Map<&StoredOrder::order, &Order::payError>("pay_error", Sql::kInteger)
            .With("NOT NULL DEFAULT 0")
            .Since(2)
            .Flag(),
        Map<&StoredOrder::order, &Order::userPaying>("user_paying", Sql::kInteger)
            .With("NOT NULL DEFAULT 0")
            .Since(2)
            .Flag(),
        Map<&StoredOrder::order, &Order::payingQueries>("paying_queries", Sql::kInteger)
            .With("NOT NULL DEFAULT 0")
            .Since(2)
            .Count(),
        Map<&StoredOrder::order, &Order::refundQueries>("refund_queries", Sql::kInteger)
            .With("NOT NULL DEFAULT 0")
            .Since(2)
            .Count(),
        // Layout 3: the sign type it was placed with; every earlier order was MD5's.
        Access<StoredOrder>(
            "sign_type", Sql::kText,
            [](const StoredOrder& stored) {
              return Value{0, SignTypeName(stored.order.signType)};
            },
            [](StoredOrder& stored, Value value) {
              stored.order.signType = ParseSignType(value.bytes).value_or(SignType::kMd5);
            })
            .With("NOT NULL DEFAULT 'MD5'")
            .Since(3)
            .Most(32)
            .Form(columns::KnownSignType("sign_type"), "the name of a sign type"),
        // Layout 6: how it is paid and its prepay_id; every earlier order was NATIVE, and
        // none had a prepay_id, a payer, a time_expire or a digest of its fields to compare
        // a retry with (a retry of one is refused).
        Map<&StoredOrder::order, &Order::tradeType>("trade_type", Sql::kText)
            .With("NOT NULL DEFAULT 'NATIVE'")
            .Since(6)
            .Most(8)
            .Form(columns::KnownTradeType("trade_type"), "NATIVE, JSAPI, MWEB, APP or MICROPAY"),
        Map<&StoredOrder::order, &Order::prepayId>("prepay_id", Sql::kText)
            .With("NOT NULL DEFAULT ''")
            .Since(6)
            .Most(64),
        Map<&StoredOrder::order, &Order::prepayUntil>("prepay_until", Sql::kInteger)
            .With("NOT NULL DEFAULT 0")
            .Since(6)
            .Time(),
        Map<&StoredOrder::order, &Order::openId>("openid", Sql::kText)
            .With("NOT NULL DEFAULT ''")
            .Since(6)
            .Most(28),
        Map<&StoredOrder::order, &Order::expiresAt>("expires_at", Sql::kInteger)
            .With("NOT NULL DEFAULT 0")
            .Since(6)
            .Time(),
        Map<&StoredOrder::order, &Order::placedWith>("placed_with", Sql::kText)
            .With("NOT NULL DEFAULT ''")
            .Since(6)
            .Most(32),
        // Layout 7: a till's payment, its code and its reversal; no earlier order was one.
        Map<&StoredOrder::order, &Order::micropay>("micropay", Sql::kInteger)
            .With("NOT NULL DEFAULT 0")
            .Since(7)
            .Flag(),
        Map<&StoredOrder::order, &Order::authCode>("auth_code", Sql::kText)
            .With("NOT NULL DEFAULT ''")
            .Since(7)
            .Most(18),
        Map<&StoredOrder::order, &Order::reversed>("reversed", Sql::kInteger)
            .With("NOT NULL DEFAULT 0")
            .Since(7)
            .Flag(),
        Map<&StoredOrder::order, &Order::reversedAt>("reversed_at", Sql::kInteger)
            .With("NOT NULL DEFAULT 0")
            .Since(7)
            .Time(),
        Map<&StoredOrder::order, &Order::reverseCalls>("reverse_calls", Sql::kInteger)
            .With("NOT NULL DEFAULT 0")
            .Since(7)
            .Count(),
    },
    ""};

// A request the sandbox received, its bytes cut to what the journal keeps.
inline const Table<JournalEntry> kJournal{
    "requests",
    {
        Map<&JournalEntry::id>("id", Sql::kInteger).With("PRIMARY KEY").ReadOnly(),
        Map<&JournalEntry::at>("at", Sql::kInteger).Time(),
        Map<&JournalEntry::method>("method", Sql::kBlob).Kept(32),
        Map<&JournalEntry::path>("path", Sql::kBlob).Kept(kKeptTextBytes),
        Map<&JournalEntry::operation>("operation", Sql::kText).Most(64),
        Map<&JournalEntry::orderNo>("out_trade_no", Sql::kBlob).Kept(64),
        Map<&JournalEntry::verdict>("verdict", Sql::kText).Most(64),
        Map<&JournalEntry::status>("status", Sql::kInteger).Range(0, 999),
        Map<&JournalEntry::outcome>("outcome", Sql::kBlob).Kept(kKeptTextBytes),
        Map<&JournalEntry::body>("body", Sql::kBlob).Kept(kKeptTextBytes),
        Access<JournalEntry>(
            "body_bytes", Sql::kInteger,
            [](const JournalEntry& entry) {
              return columns::Size(entry.bodyBytes, entry.body.size());
            },
            [](JournalEntry& entry, Value value) { Assign(entry.bodyBytes, value); })
            .Range(0, kMostSize),
        Map<&JournalEntry::reply>("reply", Sql::kBlob).Kept(kKeptTextBytes),
        Access<JournalEntry>(
            "reply_bytes", Sql::kInteger,
            [](const JournalEntry& entry) {
              return columns::Size(entry.replyBytes, entry.reply.size());
            },
            [](JournalEntry& entry, Value value) { Assign(entry.replyBytes, value); })
            .Range(0, kMostSize),
        Map<&JournalEntry::signString>("sign_string", Sql::kBlob).Kept(kKeptTextBytes),
        Map<&JournalEntry::expectedSign>("sign_expected", Sql::kText).Kept(64),
        Map<&JournalEntry::receivedSign>("sign_received", Sql::kText).Kept(64),
        // Layout 3: the sign type the request named.
        Map<&JournalEntry::signType>("sign_type", Sql::kText)
            .Kept(64)
            .With("NOT NULL DEFAULT 'MD5'")
            .Since(3),
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
        Map<&AttemptEntry::at>("at", Sql::kInteger).Time(),
        Map<&AttemptEntry::number>("number", Sql::kInteger).Count(),
        Map<&AttemptEntry::url>("url", Sql::kBlob).Kept(kKeptTextBytes),
        Map<&AttemptEntry::httpStatus>("http_status", Sql::kInteger).Range(0, 999),
        Map<&AttemptEntry::error>("error", Sql::kBlob).Kept(kKeptTextBytes),
        Map<&AttemptEntry::answer>("answer", Sql::kBlob).Kept(kKeptAnswerBytes),
        Access<AttemptEntry>(
            "answer_bytes", Sql::kInteger,
            [](const AttemptEntry& attempt) {
              return columns::Size(attempt.answerBytes, attempt.answer.size());
            },
            [](AttemptEntry& attempt, Value value) { Assign(attempt.answerBytes, value); })
            .Range(0, kMostSize),
        Map<&AttemptEntry::durationMs>("duration_ms", Sql::kInteger).Range(0, kMostSize),
        Map<&AttemptEntry::acknowledged>("acknowledged", Sql::kInteger).Flag(),
        // Layout 5: the refund whose notification it was; "" for the payment's.
        Map<&AttemptEntry::outRefundNo>("out_refund_no", Sql::kText)
            .With("NOT NULL DEFAULT ''")
            .Since(5)
            .Most(32),
    },
    "CREATE INDEX attempts_by_order ON attempts(order_id, id);\n"};

// Layout 4: a scenario armed from the console, for one order ("" for the next order placed).
inline const Table<ArmedScenario> kArmed{
    "armed_scenarios",
    {
        Map<&ArmedScenario::id>("id", Sql::kInteger).With("PRIMARY KEY").Range(1, kMostVersion),
        Access<ArmedScenario>(
            "scenario", Sql::kText,
            [](const ArmedScenario& armed) {
              return Value{0, armed.scenario->name};
            },
            [](ArmedScenario& armed, Value value) { armed.scenario = FindScenario(value.bytes); })
            .Most(32)
            .Form(columns::KnownScenario("scenario"), "the name of a scenario"),
        Map<&ArmedScenario::outTradeNo>("out_trade_no", Sql::kText)
            .Most(32)
            .Form("out_trade_no = '' OR " + columns::OrderNumber("out_trade_no"),
                  "empty, or 1 to 32 letters, digits or _-|*"),
        Map<&ArmedScenario::at>("armed_at", Sql::kInteger).Time(),
    },
    "",
    4};

// Layout 5: an order's refunds, each with its notification's schedule, kept with its order
// and gone with it.
inline const Table<StoredRefund> kRefunds{
    "refunds",
    {
        Declared<StoredRefund>("id", Sql::kInteger, "PRIMARY KEY"),
        Declared<StoredRefund>("order_id", Sql::kInteger,
                               "NOT NULL REFERENCES orders(id) ON DELETE CASCADE"),
        Map<&StoredRefund::refund, &Refund::outRefundNo>("out_refund_no", Sql::kText)
            .Most(32)
            .Form(columns::OrderNumber("out_refund_no"), columns::kOrderNumberWords),
        Map<&StoredRefund::refund, &Refund::refundId>("refund_id", Sql::kText).Most(32),
        Map<&StoredRefund::refund, &Refund::refundFee>("refund_fee", Sql::kInteger)
            .Range(1, INT_MAX),
        Map<&StoredRefund::refund, &Refund::notifyUrl>("notify_url", Sql::kBlob)
            .Most(kMaxNotifyUrlFieldBytes),
        Access<StoredRefund>(
            "status", Sql::kText,
            [](const StoredRefund& stored) {
              return columns::RefundStatusValue(stored.refund.status);
            },
            [](StoredRefund& stored, Value value) {
              stored.refund.status = columns::RefundStatusOf(value);
            })
            .Most(16)
            .Form(columns::KnownRefundStatus("status"), "the name of a refund status"),
        Access<StoredRefund>(
            "ends", Sql::kText,
            [](const StoredRefund& stored) {
              return columns::RefundStatusValue(stored.refund.ends);
            },
            [](StoredRefund& stored, Value value) {
              stored.refund.ends = columns::RefundStatusOf(value);
            })
            .Most(16)
            .Form(columns::KnownRefundStatus("ends"), "the name of a refund status"),
        Map<&StoredRefund::refund, &Refund::requestedAt>("requested_at", Sql::kInteger).Time(),
        Map<&StoredRefund::refund, &Refund::finishedAt>("finished_at", Sql::kInteger).Time(),
        Map<&StoredRefund::refund, &Refund::successTime>("success_time", Sql::kText).Most(19),
        Map<&StoredRefund::refund, &Refund::notifyAcknowledged>("notify_acked", Sql::kInteger)
            .With("NOT NULL DEFAULT 0")
            .ReadOnly()
            .Flag(),
        Map<&StoredRefund::notifyNext>("notify_next", Sql::kInteger)
            .With("NOT NULL DEFAULT 0")
            .ReadOnly()
            .Count(),
        Map<&StoredRefund::notifyDueAt>("notify_due_at", Sql::kInteger)
            .With("NOT NULL DEFAULT 0")
            .ReadOnly()
            .Time(),
    },
    "CREATE UNIQUE INDEX refunds_by_order ON refunds(order_id, out_refund_no);\n",
    5};

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

// The table's CREATE TABLE and its indexes as layout `layout` had them ("" before the
// table was added).
template <typename Record>
std::string Create(const Table<Record>& table, int layout) {
  if (table.since > layout) return "";
  std::string sql = std::string("CREATE TABLE ") + table.name + "(";
  const char* between = "\n  ";
  for (const Column<Record>& column : table.columns) {
    if (!column.In(layout)) continue;
    sql +=
        between + std::string(column.name) + " " + SqlName(column.type) + " " + column.constraints;
    between = ",\n  ";
  }
  return sql + ");\n" + table.indexes;
}

// Whether the column's value is what a sandbox writes there, as an SQL condition ("" when
// anything is).
template <typename Record>
std::string Holds(const Column<Record>& column) {
  const std::string name = column.name;
  std::string condition;
  const auto add = [&condition](const std::string& part) {
    condition += (condition.empty() ? "(" : " AND (") + part + ")";
  };
  if (column.type != Sql::kInteger && column.most > 0) {
    add("length(CAST(" + name + " AS BLOB)) <= " + std::to_string(column.most));
  }
  if (column.ranged) {
    add("typeof(" + name + ") = 'integer' AND " + name + " BETWEEN " + std::to_string(column.low) +
        " AND " + std::to_string(column.high));
  }
  if (!column.form.empty()) add(column.form);
  return condition;
}

// What a sandbox writes in the column, in words for a message.
template <typename Record>
std::string HoldsWords(const Column<Record>& column) {
  if (!column.form.empty()) return column.formWords;
  if (column.ranged) {
    return "a whole number from " + std::to_string(column.low) + " to " +
           std::to_string(column.high);
  }
  return "at most " + std::to_string(column.most) + " bytes";
}

// The first row of the table, as layout `layout` has it, that holds a value no sandbox
// writes: "SELECT rowid, the column's name ... LIMIT 1"; "" when the layout has no such
// table or the table no bounded column.
template <typename Record>
std::string FirstOutOfBounds(const Table<Record>& table, int layout) {
  if (table.since > layout) return "";
  std::string which;
  std::string all;
  for (const Column<Record>& column : table.columns) {
    const std::string holds = Holds(column);
    if (!column.In(layout) || holds.empty()) continue;
    which += " WHEN NOT coalesce(" + holds + ", 0) THEN '" + column.name + "'";
    all += (all.empty() ? "" : " AND ") + holds;
  }
  if (all.empty()) return "";
  return "SELECT rowid, CASE" + which + " END FROM " + table.name + " WHERE NOT coalesce(" + all +
         ", 0) LIMIT 1";
}

template <typename Record>
const Column<Record>* FindColumn(const Table<Record>& table, std::string_view name) {
  for (const Column<Record>& column : table.columns) {
    if (column.name == name) return &column;
  }
  return nullptr;
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
