// One request to the platform and what became of it: the transfer, the reply's signature
// and the reply's fields by name. Text fields are the program's own narrow text (GBK), as
// taken from the reply.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "http/transport.h"
#include "protocol/reply_fields.h"
#include "protocol/sign.h"

namespace quillmark {

struct Operation;  // protocol/operation.h

// How a step went, as every program acts on it and shows it: the operation's own judge
// (Operation::judge) decides, once, for the command-line runner and both windows alike.
enum class StepVerdict {
  kDone,       // the platform did what was asked, in a reply that verified
  kFailed,     // the transfer failed, the status was not 2xx, or the platform refused
               // (return_code or result_code FAIL), in a reply signed or not
  kUntrusted,  // a SUCCESS reply that failed verification: nothing it says is used
  kNoResult,   // a reply without what the step is for: no payment link, no trade state,
               // or a document that could not be read (and so not verified)
};

// "done", "failed", "untrusted", "no result".
const char* StepVerdictName(StepVerdict verdict);

struct StepOutcome {
  const Operation* operation = nullptr;  // what was asked
  TransferStatus transfer;
  ReplySignature signature;  // checked over the reply's UTF-8 bytes, before any conversion
  // The request's fields as sent, without its sign: the numbers it made among them.
  SignedFields request;
  // The reply's fields, by name: the codes and messages (return_code, return_msg,
  // result_code, err_code, err_code_des) from any reply, to show what it said, and the
  // operation's own reply fields only from a trusted reply, since the program acts on
  // them. A field the reply did not have is absent.
  std::map<std::string, std::string, std::less<>> fields;
  // How long the request took, from the POST to the whole reply (or the transfer's end).
  std::chrono::steady_clock::duration elapsed{};
  // The request document as sent (it carries the sign, never the key) and the reply's bytes
  // as they came, both UTF-8 on the wire, for a report of the step; the reply may be anything.
  std::string requestDocument;
  std::string reply;

  // The reply field `name`, or empty when it was absent or not kept.
  const std::string& Field(std::string_view name) const;
};

// Whether the step's reply arrived whole and its signature verified over the very fields
// the program reads from it.
inline bool Trusted(const StepOutcome& outcome) {
  return outcome.transfer.ok() && outcome.signature.verdict == SignatureVerdict::kVerified;
}

}  // namespace quillmark
