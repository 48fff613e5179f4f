// quillmark-cycle's command line: its options and commands, declared once, and what a
// parse made of them.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/bill.h"
#include "cli/report.h"
#include "protocol/operation.h"

namespace quillmark::cli {

// A command that makes one request about an order, and how its summary words the outcome.
struct OrderCommand {
  const char* name;
  const Operation* operation;
  const char* help;
  const char* label;  // the summary line's start, padded like the cycle's
  // What the line says when the request was done and when not; null: the request's
  // result, the operation's first reply field (a state).
  const char* done;
  const char* notDone;
  const char* reply;  // how a failed verification names the reply
};

extern const OrderCommand kOrderCommands[5];

// What the command line asked for.
struct CommandLine {
  std::optional<std::string> config;
  std::optional<std::string> profile;  // --profile NAME, over QUILLMARK_PROFILE
  std::string orderNo;                 // a command's OUT_TRADE_NO
  // refund's --fee and --out-refund-no, as given (checked after parsing, so that a bad one
  // is named and nothing is sent); empty: the remainder, a fresh number.
  std::string refundFee;
  std::string outRefundNo;
  std::string document;                // sign's, verify's or verify-page's FILE
  std::string signType;                // sign's or verify's --sign-type; empty: the document's
  std::optional<double> awaitNotify;
  std::optional<std::string> scenario;      // --scenario's name, checked after parsing
  std::string tradeType = "NATIVE";         // --trade-type
  std::vector<std::string> reports;         // --report's KIND:FILE words, checked after parsing
  std::vector<ReportTarget> reportTargets;  // what they name
  std::vector<std::pair<const OrderCommand*, CLI::App*>> commands;
  CLI::App* micropay = nullptr;  // a till's payment: its code, and the amount in fen
  std::string authCode;
  long long amount = 1;
  CLI::App* sign = nullptr;
  CLI::App* verify = nullptr;
  CLI::App* verifyPage = nullptr;  // verify-page FILE: a JSAPI page's parameters, to the sandbox
  CLI::App* bill = nullptr;
  BillRequest billRequest;  // bill's options

  // The order command given, or null.
  const OrderCommand* Chosen() const;
};

// Every option and command of `app`, read into `line`.
void DefineOptions(CLI::App& app, CommandLine& line);

// Parses the command line's UTF-8 words into `app`. Nothing when the program is to go on;
// otherwise the status it ends with, after --help or --version, or a message on standard
// error.
std::optional<int> Parse(CLI::App& app, const std::vector<std::string>& words);

// --report's words into line.reportTargets; false, said on standard error, for one that
// names no kind or no file that can be written. Checked before anything is sent: a report
// that could not be written after the run would be found missing only by the CI job that
// looks for it.
bool ReadReportTargets(CommandLine& line);

}  // namespace quillmark::cli
