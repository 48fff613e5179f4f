// What the window says about a cycle, toolkit-free, as UTF-8: one verdict per step and
// where the bitmap went. Both desktop front ends (Qt, Win32) show these words, so a change
// to what the window says is made here once. The outcomes hold the program's GBK text.
#pragma once

#include <initializer_list>
#include <string>

#include "payment/cycle_result.h"

namespace quillmark::shell::words {

// GBK, the program's narrow text, as UTF-8.
std::string FromGbk(const std::string& gbk);

// `pattern` (one of shell/texts.h) with "%1", "%2", ... replaced by the values in order.
std::string Fill(const char* pattern, std::initializer_list<std::string> values);

// "统一下单", "查询 1", "查询 2", "再次查询", "关闭订单".
std::string StepName(CycleStep step);

// Why a step got nothing, or empty when its reply was a success: the transport's error,
// a status other than 2xx, return_code FAIL with return_msg, result_code FAIL with
// err_code and err_code_des.
std::string FailureOf(const StepOutcome& outcome);

// The verdict on a reply's signature, or empty when the transfer failed (nothing to
// check). A mismatch names the sign that was expected.
std::string SignatureVerdictText(const StepOutcome& outcome);
// For a mismatch, the sign string the expected sign was computed over, key masked.
std::string SignatureDetail(const StepOutcome& outcome);

// The unified order: a failure as above, no payment link, or success, followed by the
// signature's verdict.
std::string OrderVerdict(const StepOutcome& order);
// A query: a failure as above, no trade state, or the state with its description (the
// reply's trade_state_desc, or the usual meaning of a known state), followed by the
// signature's verdict.
std::string QueryVerdict(const StepOutcome& query);
// Closing the order: a failure as above (a paid or unknown order is refused with an
// err_code that says so), or that it is closed, followed by the signature's verdict.
std::string CloseVerdict(const StepOutcome& close);
// `path` made absolute against the working directory, without "." parts.
std::string AbsolutePath(const std::string& path);
// The bitmap's absolute path, or why it was not written; empty when there was no link.
std::string BitmapVerdict(const CycleResult& result);

}  // namespace quillmark::shell::words
