// What the window says about a step, toolkit-free, as UTF-8: a verdict per step, from the
// operation's own judgement (VerdictOf), and where the bitmap went. Both desktop front ends
// (Qt, Win32) show these words, so a change to what the window says is made here once.
// The outcomes hold the program's GBK text.
#pragma once

#include <initializer_list>
#include <string>

#include "client/cycle_result.h"
#include "client/notify_listener.h"
#include "protocol/notification.h"
#include "protocol/step_outcome.h"

namespace quillmark::shell::words {

// GBK, the program's narrow text, as UTF-8.
std::string FromGbk(const std::string& gbk);

// `pattern` (one of shell/core/texts.h) with "%1", "%2", ... replaced by the values in order.
std::string Fill(const char* pattern, std::initializer_list<std::string> values);

// Why a step got nothing, or empty when its reply was a success: the transport's error,
// a status other than 2xx, return_code FAIL with return_msg, result_code FAIL with
// err_code and err_code_des.
std::string FailureOf(const StepOutcome& outcome);

// The verdict on a reply's signature, or empty when the transfer failed (nothing to
// check). A mismatch names the sign that was expected.
std::string SignatureVerdictText(const StepOutcome& outcome);
std::string SignatureVerdictText(const ReplySignature& signature);
// For a mismatch, the sign string the expected sign was computed over, key masked.
std::string SignatureDetail(const StepOutcome& outcome);
std::string SignatureDetail(const ReplySignature& signature);

// How one kind of step is worded, for each verdict but a failure (FailureOf says why).
struct StepWords {
  const char* untrusted;  // StepVerdict::kUntrusted: why nothing of the reply is used
  const char* noResult;   // StepVerdict::kNoResult: what the reply lacked
  std::string (*done)(const StepOutcome& outcome);  // StepVerdict::kDone
};

// The step's verdict in `words`, followed by its signature's where there was a reply.
std::string StepText(const StepWords& words, const StepOutcome& outcome);
// The step's verdict in `words` alone.
std::string StepVerdictText(const StepWords& words, const StepOutcome& outcome);

// A query's trade state with what it means: the reply's own description, or the usual
// meaning of a known state ("SUCCESS（支付成功）").
std::string TradeStateText(const StepOutcome& query);

// What the panel says of a notification received at `time`.
std::string NotificationText(const std::string& time, const NotificationCheck& check);
// The same for a notification as the listener received it, a refund's included.
std::string NotificationText(const ReceivedNotification& received);

// `path` made absolute against the working directory, without "." parts.
std::string AbsolutePath(const std::string& path);
// The folder that holds `path`, absolute.
std::string FolderOf(const std::string& path);
// The bitmap's absolute path, or why it was not written; empty when there was no link.
std::string BitmapVerdict(const CycleResult& result);

}  // namespace quillmark::shell::words
