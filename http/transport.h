// One HTTPS POST of an XML document, with libcurl, and its diagnostic lines.
#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>

#include "http/client_certificate.h"

namespace quillmark {

// libcurl's code for a transfer that the program itself ended (CURLE_ABORTED_BY_CALLBACK).
inline constexpr int kTransferAbortedCode = 42;
// libcurl's code for a reply larger than TransportOptions::maxReplyBytes
// (CURLE_FILESIZE_EXCEEDED, "Maximum file size exceeded").
inline constexpr int kReplyTooLargeCode = 63;
// libcurl's code for a client certificate that cannot be used (CURLE_SSL_CERTPROBLEM).
inline constexpr int kClientCertificateCode = 58;
// The platform's replies are a few hundred bytes; a megabyte is far above any of them and
// still keeps a peer that sends without end from taking the program's memory.
inline constexpr std::size_t kDefaultMaxReplyBytes = 1024 * 1024;

// Lets another thread end the transfers of an operation: a window that closes while a
// request is under way must not wait for the platform. Abort() wakes a transfer in
// progress at once, and makes every later transfer fail before it starts, until Reset().
// All members may be called from any thread.
class TransferAbort {
 public:
  void Abort();
  void Reset();
  bool aborted() const;

 private:
  friend class TransferWatch;  // transport.cpp: registers the transfer to wake

  mutable std::mutex mutex_;
  bool aborted_ = false;
  std::function<void()> wake_;  // set while a transfer runs
};

// What became of one transfer.
struct TransferStatus {
  int code = -1;        // libcurl's CURLcode; 0 when the whole reply arrived
  std::string message;  // curl_easy_strerror(code)
  long httpStatus = 0;  // the reply's HTTP status; 0 when none was received

  bool ok() const { return code == 0; }
  bool aborted() const { return code == kTransferAbortedCode; }
};

struct TransportOptions {
  // PEM bundle of trusted CAs; empty means the system's trust store (the clients pass
  // their ca_file setting).
  std::string caFile;
  // The PEM bundle's text itself, when not empty trusted instead of caFile: no file is
  // opened during the transfer.
  std::string caPem;
  // A server that accepts and then never answers must not freeze the program for good.
  long connectTimeoutMs = 10'000;
  long totalTimeoutMs = 30'000;
  // Null: the transfer can be ended only by its timeouts.
  std::shared_ptr<TransferAbort> abort;
  // The request's Content-Type, e.g. "text/xml"; empty: libcurl's default for a POST
  // (application/x-www-form-urlencoded), which is what the desktop client sends.
  std::string contentType;
  // A reply that grows past this many bytes ends the transfer with kReplyTooLargeCode;
  // what arrived up to the limit is returned, as for any other failed transfer.
  std::size_t maxReplyBytes = kDefaultMaxReplyBytes;
  // Presented to a URL under kCertificatePathPrefix only, and to no other: the platform
  // wants it there, and a certificate shown everywhere tells every server who the merchant
  // is. Empty: none is presented.
  ClientCertificate clientCertificate;
  // The reply whole, zero bytes included (a gzip bill); false: cut at its first zero byte,
  // as the program always read replies.
  bool wholeReply = false;
};

// libcurl write callback: appends size * count bytes to the std::ostream at `stream` and
// returns size * count, so the transfer always goes on.
std::size_t WriteToStream(char* data, std::size_t size, std::size_t count, void* stream);

// POSTs `body` (zero-terminated UTF-8) to `url`, verifying the peer's certificate and host
// name, and returns what arrived: the whole reply, the part received before a failure, or
// nothing. The reply ends at its first zero byte. Writes one line to `log`:
// "curl_easy_perform passed." or "curl_easy_perform failed. RetCode:<n> ErrMsg:<text>"
// (and "curl_global_init failed. ..." first if libcurl cannot start; the request still
// goes on). Each line is followed by a newline and a flush. A transfer ended through
// `options.abort` fails with code kTransferAbortedCode, and one whose reply is larger than
// `options.maxReplyBytes` with kReplyTooLargeCode, each with its own line, like any other
// failure. A client certificate that is to be presented and cannot be used
// (LoadClientCertificate) fails the transfer before anything is sent, with code
// kClientCertificateCode and a line "client certificate: <why>" before the failure line.
// `status`, when given, receives the outcome.
std::string PostXml(const char* url, const char* body, std::ostream& log,
                    const TransportOptions& options = {}, TransferStatus* status = nullptr);

}  // namespace quillmark
