// The runner's bill command of bill.h.
#include "cli/bill.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <ostream>
#include <system_error>

#include "cli/exit_status.h"
#include "platform/platform.h"
#include "protocol/fields.h"
#include "text/encoding.h"

namespace quillmark::cli {
namespace {

// The most a bill may unpack to: far beyond any day's trades in a test, and a bound on a
// reply that unpacks without end.
constexpr std::size_t kMaxBillBytes = 256 * 1024 * 1024;

struct FileClose {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// `bytes` into `path` through a new file beside it, renamed into place once all are written.
bool WriteWhole(const std::string& path, const std::string& bytes, std::string& problem) {
  std::string temporary;
  std::unique_ptr<std::FILE, FileClose> file(platform::CreateTemporaryBeside(path, temporary));
  if (!file) {
    problem = "cannot make a file beside " + path;
    return false;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size() &&
                       std::fclose(file.release()) == 0;
  std::error_code error;
  const std::filesystem::path made = platform::FilePath(temporary);
  if (written) std::filesystem::rename(made, platform::FilePath(path), error);
  if (!written || error) {
    std::filesystem::remove(made, error);
    problem = "cannot write " + path;
    return false;
  }
  return true;
}

std::string WithoutBackquotes(std::string line) {
  line.erase(std::remove(line.begin(), line.end(), '`'), line.end());
  return line;
}

}  // namespace

bool Gunzip(const std::string& gzipped, std::string& text) {
  z_stream stream{};
  // 15 window bits, +16: a gzip member only, not a bare zlib stream.
  if (inflateInit2(&stream, 15 + 16) != Z_OK) return false;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gzipped.data()));
  stream.avail_in = static_cast<uInt>(gzipped.size());
  std::string out;
  char chunk[16384];
  int result = Z_OK;
  while (result == Z_OK && out.size() <= kMaxBillBytes) {
    stream.next_out = reinterpret_cast<Bytef*>(chunk);
    stream.avail_out = sizeof chunk;
    result = inflate(&stream, Z_NO_FLUSH);
    out.append(chunk, sizeof chunk - stream.avail_out);
  }
  inflateEnd(&stream);
  if (result != Z_STREAM_END || out.size() > kMaxBillBytes) return false;
  text = std::move(out);
  return true;
}

bool ReadBillSummary(const std::string& text, std::string& names, std::string& values) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    at = end + 1;
  }
  // A header, at least one row, the summary's names and its values.
  if (lines.size() < 4 || lines.back().rfind('`', 0) != 0 ||
      lines[lines.size() - 2].find('`') != std::string::npos) {
    return false;
  }
  names = lines[lines.size() - 2];
  values = WithoutBackquotes(lines.back());
  return true;
}

int FetchAndWriteBill(CQuillmarkOps& ops, const BillRequest& request, std::ostream& out) {
  const std::string path = !request.out.empty() ? request.out
                                                : "bill_" + request.date + "_" + request.type +
                                                      (request.gzip ? ".csv.gz" : ".csv");
  const CQuillmarkOps::FetchedBill bill = ops.FetchBill(request.date, request.type, request.gzip);
  out << "\n--- summary ---\n";
  if (!bill.transfer.ok() || bill.transfer.httpStatus != 200) {
    out << "Bill:          not fetched: "
        << (bill.transfer.ok() ? "HTTP " + std::to_string(bill.transfer.httpStatus)
                               : bill.transfer.message)
        << '\n';
    return kNotDone;
  }
  if (bill.refused) {
    const auto field = [&bill](const char* name) {
      const auto it = bill.refusal.find(name);
      return it == bill.refusal.end() ? std::string() : EscapeControls(it->second);
    };
    out << "Bill:          refused: " << field(kFieldReturnCode) << " \"" << field(kFieldReturnMsg)
        << "\"" << (field(kFieldErrorCode).empty() ? "" : ", error_code " + field(kFieldErrorCode))
        << " (no bill for " << request.date << ")\n";
    return kNotDone;
  }
  std::string text = bill.body;
  if (request.gzip && !Gunzip(bill.body, text)) {
    out << "Bill:          not a gzip bill (" << bill.body.size() << " bytes); not written\n";
    return kNotDone;
  }
  std::string names, values;
  if (!ReadBillSummary(text, names, values)) {
    out << "Bill:          no summary at its end; not written\n";
    return kNotDone;
  }
  std::string problem;
  if (!WriteWhole(path, bill.body, problem)) {
    out << "Bill:          fetched, but " << EscapeControls(problem) << '\n';
    return kNotDone;
  }
  // The summary's names are the platform's Chinese ones; said here in the program's words.
  static const char* const kSummaryWords[] = {
      "trades",    "settlement total", "refund total",          "recharge-coupon refund total",
      "fee total", "order total",      "requested refund total"};
  out << "Bill:          " << request.date << " " << request.type << ", written to "
      << EscapeControls(path) << (request.gzip ? " (gzip)" : "") << '\n';
  std::size_t start = 0;
  for (const char* word : kSummaryWords) {
    const std::size_t comma = values.find(',', start);
    out << "  " << word << ": " << EscapeControls(values.substr(start, comma - start)) << '\n';
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return kDone;
}

}  // namespace quillmark::cli
