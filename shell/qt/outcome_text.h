// The words the Qt window uses for what a cycle obtained, as QStrings: those of
// shell/core/outcome_words.h, which the Win32 window shows too.
#pragma once

#include <QString>

#include <string>

#include "payment/cycle_result.h"

namespace quillmark::shell {

// GBK, the program's narrow text, as a QString.
QString FromGbk(const std::string& gbk);

// "统一下单", "查询 1", "查询 2", "再次查询", "关闭订单".
QString StepName(CycleStep step);

// Why a step got nothing, or empty when its reply was a success: the transport's error,
// a status other than 2xx, return_code FAIL with return_msg, result_code FAIL with
// err_code and err_code_des.
QString FailureOf(const StepOutcome& outcome);

// The verdict on a reply's signature, or empty when the transfer failed (nothing to
// check). A mismatch names the sign that was expected.
QString SignatureVerdictText(const StepOutcome& outcome);
// For a mismatch, the sign string the expected sign was computed over, key masked.
QString SignatureDetail(const StepOutcome& outcome);

// The unified order: a failure as above, no payment link, or success (the link itself
// is shown on its own), followed by the signature's verdict.
QString OrderVerdict(const StepOutcome& order);
// A query: a failure as above, no trade state, or the state with its description (the
// reply's trade_state_desc, or the usual meaning of a known state), followed by the
// signature's verdict.
QString QueryVerdict(const StepOutcome& query);
// Closing the order: a failure as above, or that it is closed, and the signature's verdict.
QString CloseVerdict(const StepOutcome& close);
// The bitmap's absolute path, or why it was not written; empty when there was no link.
QString BitmapVerdict(const CycleResult& result);

}  // namespace quillmark::shell
