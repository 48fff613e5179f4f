// quillmark-cycle --report KIND:FILE: a run's steps as a CI system reads them (JUnit XML)
// or as a script does (JSON), written beside the standard output, which stays as it is.
// The steps come already judged and worded (the operation's judge, the summary's words):
// nothing here decides whether a step went well.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "client/client_run.h"
#include "protocol/step_outcome.h"

namespace quillmark::cli {

enum class ReportKind { kJunit, kJson };

struct ReportTarget {
  ReportKind kind;
  std::string path;  // UTF-8
};

// `word` read as "junit:FILE" or "json:FILE", FILE checked to be writable as a report: its
// folder exists and takes a new file, and it is not a folder, a device or anything but a
// regular file. Nothing, with `problem` naming the word and the rule, otherwise.
std::optional<ReportTarget> ParseReportTarget(const std::string& word, std::string& problem);

// Whether each of `targets` names a file of its own. Two that name one file, spelt the same
// or not ("r.xml" and "out/../r.xml", or a path through a linked folder), would end the
// run with one report where two were asked for, the second written over the first. False,
// with `problem` naming both words, when two do; checked before anything is sent.
bool DistinctTargets(const std::vector<ReportTarget>& targets, std::string& problem);

// One step of the run: a request and its reply, the notification's wait, or the whole
// scenario.
struct ReportStep {
  std::string name;                      // "unified order", "query 1", "notification", ...
  const StepOutcome* outcome = nullptr;  // the exchange, when the step was one
  std::string verdict;                   // StepVerdictName, or "done"/"failed" for the others
  bool passed = false;
  std::string words;   // the verdict in words, as the summary says it
  std::string detail;  // what else a failure shows (a notification's lines)
  std::chrono::steady_clock::duration elapsed{};
};

struct Report {
  std::string suite;      // "quillmark-cycle", "quillmark-cycle scenario NAME", ...
  std::string timestamp;  // the run's start, UTC, "2026-12-10T06:00:00"
  std::string host;       // the platform's host, where the run went
  std::chrono::steady_clock::duration elapsed{};
  int exitStatus = 0;
  std::map<std::string, std::string> properties;  // UTF-8; never the key
  std::vector<ReportStep> steps;
};

// The run's steps as cases, in the order taken and worded as the summary words them, and
// with a scenario a last case for the whole of it, which fails when `status` is not 0.
std::vector<ReportStep> RunReportSteps(const ClientRunResult& run, int status);

// The documents, UTF-8. Every text that came from a request or a reply has `apiKey`
// masked; a reply's bytes that are not UTF-8 or that XML cannot hold are shown escaped.
std::string JunitDocument(const Report& report, const std::string& apiKey);
std::string JsonDocument(const Report& report, const std::string& apiKey);

// Writes `report` to the target through a temporary file beside it, renamed into place
// once whole, so that a run killed on the way leaves the file that was there, or none.
// False, with `problem` naming the file, when it could not be written.
bool WriteReport(const ReportTarget& target, const Report& report, const std::string& apiKey,
                 std::string& problem);

// The current time, UTC, as Report::timestamp has it.
std::string ReportTimestamp();

}  // namespace quillmark::cli
