// One request on its way through the sandbox: what it was, how it was judged and answered,
// and what it changed. It fills its own journal entry as it goes, so that what the journal
// keeps is the exchange's own record, handed to the state file as it stands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "http/https_server.h"
#include "protocol/operation.h"
#include "sandbox/api/request_check.h"
#include "sandbox/notify/notifier.h"
#include "sandbox/order/order_book.h"
#include "sandbox/store/state_store.h"

namespace quillmark::sandbox {

struct Exchange {
  // Starts the entry: the time, the request line and its body; filed as kOperationOther
  // and kVerdictNoEndpoint until routing says otherwise.
  explicit Exchange(const HttpRequest& q);

  // Checks the body against `operation`'s declaration; the entry takes the operation's
  // name, the verdict and, for a refused sign, what the merchant needs to compare.
  void Check(const Operation& operation, const MerchantSettings& merchant);
  // The request's last word, for the log line and the entry: the order it names ("-" and
  // "" for none), its status and outcome, and the reply as it stands now.
  void Conclude(const std::string& orderNo, int status, const std::string& outcome);

  const HttpRequest& request;  // valid until the reply has been handed over
  HttpReply reply;
  CheckResult check;  // of a request to an operation's path
  bool journal = true;
  JournalEntry entry;
  // The order as the request left it, when it changed it; and the notification it is to
  // send once that is kept.
  std::optional<Order> changed;
  std::optional<PaidOrder> notify;
  // The refunds it made final, whose notifications are due once that is kept.
  std::vector<PaidOrder> notifyRefunds;
  // The id of the armed scenario it took, to forget in the state file with what it changed.
  std::optional<std::int64_t> tookArmed;
};

}  // namespace quillmark::sandbox
