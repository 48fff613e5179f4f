// quillmark-sandbox as a library: a local HTTPS server that stands in for the payment
// platform. The quillmark-sandbox program wraps it; tests start it in-process on a free
// port and read back what it received.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace quillmark::sandbox {

// Ways the server can misbehave on purpose, one per run, so that clients can be tested
// against them.
enum class Fault {
  kNone,
  kStall,          // accept, then answer nothing for longer than any client timeout
  kDropMidReply,   // send part of a reply, then close the connection
  kTinyChunks,     // send the reply a few bytes at a time
  kZeroByte,       // put a zero byte inside the reply
  kNotUtf8,        // reply bytes that are not valid UTF-8
  kHttp500,        // HTTP 500 with an HTML body
  kNoCodeUrl,      // a unified-order reply without code_url
  kHugeReply,      // a reply of several megabytes
};

struct Options {
  std::string host = "127.0.0.1";
  int port = 8443;  // 0 picks a free port; see Sandbox::port()
  std::string certFile;  // PEM certificate chain; empty: the build's generated one
  std::string keyFile;   // PEM private key; empty: the build's generated one
  int payAfterQueries = 0;  // > 0: an order is paid at its N-th query
  Fault fault = Fault::kNone;
  std::ostream* log = nullptr;  // one line per request; null: standard output
};

// A request as the server received it, for tests.
struct RecordedRequest {
  std::string path;
  std::string body;
  std::map<std::string, std::string> fields;  // parsed fields, empty if unparsable
};

class Sandbox {
 public:
  explicit Sandbox(Options options);
  ~Sandbox();  // stops and joins
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // Binds and starts serving on a background thread; returns once the server accepts
  // connections. False (with `error` set) when the certificate cannot be loaded or the
  // address cannot be bound.
  bool Start(std::string* error = nullptr);
  // Serves on the calling thread until Stop() is called from elsewhere (the program).
  bool Run(std::string* error = nullptr);
  void Stop();

  int port() const;
  std::string baseUrl() const;  // "https://<host>:<port>", as QUILLMARK_API_BASE expects

  std::vector<RecordedRequest> requests() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillmark::sandbox
