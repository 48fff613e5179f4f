// One HTTPS POST of an XML document, with libcurl, and its diagnostic lines.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>

namespace quillmark {

struct TransportOptions {
  // PEM bundle of trusted CAs; empty means the system's trust store.
  std::string caFile;
  // A server that accepts and then never answers must not freeze the program for good.
  long connectTimeoutMs = 10'000;
  long totalTimeoutMs = 30'000;

  // kCaFile and the timeouts above: what the programs use.
  static TransportOptions Default();
};

// libcurl write callback: appends size * count bytes to the std::ostream at `stream` and
// returns size * count, so the transfer always goes on.
std::size_t WriteToStream(char* data, std::size_t size, std::size_t count, void* stream);

// POSTs `body` (zero-terminated UTF-8) to `url`, verifying the peer's certificate and host
// name, and returns what arrived: the whole reply, the part received before a failure, or
// nothing. The reply ends at its first zero byte. Writes one line to `log`:
// "curl_easy_perform passed." or "curl_easy_perform failed. RetCode:<n> ErrMsg:<text>"
// (and "curl_global_init failed. ..." first if libcurl cannot start; the request still
// goes on). Each line is followed by a newline and a flush.
std::string PostXml(const char* url, const char* body, std::ostream& log,
                    const TransportOptions& options = TransportOptions::Default());

}  // namespace quillmark
