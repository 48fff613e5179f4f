// quillmark-cycle bill --date YYYYMMDD [--type ALL|SUCCESS|REFUND] [--gzip] [--out FILE]:
// fetches the day's bill, writes it whole, as it came, and prints its summary row.
#pragma once

#include <iosfwd>
#include <string>

#include "client/quillmark_ops.h"

namespace quillmark::cli {

struct BillRequest {
  std::string date;  // yyyyMMdd
  std::string type = "ALL";
  bool gzip = false;
  std::string out;  // empty: bill_<date>_<type>.csv (.csv.gz with gzip) here
};

// The bill's summary row, as its reader takes it: the values after the summary's names,
// backquotes gone. False when `text` does not end in a summary's two lines.
bool ReadBillSummary(const std::string& text, std::string& names, std::string& values);

// `gzipped` (one gzip member) unpacked into `text`; false when it is not one whole member.
bool Gunzip(const std::string& gzipped, std::string& text);

// Fetches the bill through `ops`, writes it to the file (through a new file beside it,
// renamed into place once complete, so that a reader never sees half a bill) and says its
// summary on `out`. A refusal is said as one. The exit status: kDone, kNotDone (refused,
// not fetched, not written) or kBadUsage (a date or type the platform does not take).
int FetchAndWriteBill(CQuillmarkOps& ops, const BillRequest& request, std::ostream& out);

}  // namespace quillmark::cli
