// Shared by the sandbox and cycle tests: signed request documents for the build's
// merchant, one HTTPS POST through the project's own transport, an HTTPS client that trusts
// the build's CA, and child processes run in a scratch directory.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "http/client_certificate.h"
#include "protocol/reply_fields.h"

#include "sandbox/api/request_check.h"
#include "sandbox/sandbox.h"
#include "tests/support/shared_log.h"
#include "tests/support/temp_dir.h"

namespace quillmark::sandbox::testsupport {

std::string CaFile();

// The fields of a valid unified order (the client's own values, body in UTF-8) and of a
// valid query, for the build's merchant, without `sign`.
Fields OrderFields(const std::string& outTradeNo);
Fields QueryFields(const std::string& outTradeNo);

// `fields` as one line of <xml>, in name order, with &, < and > escaped as text.
std::string Document(const Fields& fields);
// The same with `sign` set to the build's signature of the fields.
std::string SignedDocument(Fields fields);

struct Reply {
  std::string body;        // what quillmark::PostXml returned
  std::string diagnostic;  // its "curl_easy_perform ..." line, without the newline
};
// POSTs `body` to `url` with quillmark::PostXml, trusting the build's CA, and presenting
// to a /secapi/ path the certificate the sandbox issued to the build's merchant.
Reply Post(const std::string& url, const std::string& body, long totalTimeoutMs = 10'000);

// The certificate a sandbox started by the test issued to the build's merchant.
ClientCertificate IssuedCertificate();

// An HTTPS client for 127.0.0.1:`port` that verifies the server against the build's CA.
std::unique_ptr<httplib::SSLClient> Client(int port);

using quillmark::testsupport::TempDir;

struct ProgramResult {
  int exitCode = -1;  // -1 when the program did not exit normally
  int signal = 0;     // the signal that ended it, if one did
  std::string out;
  std::string err;
};

// A program started with `argv` (argv[0] is the path) in `workDir`, its standard output
// and error going to files in `outputDir` so that megabytes of output cannot block it.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::string& workDir,
               const std::string& outputDir);
  ~ChildProcess();  // kills and reaps a program that is still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  // Polls the standard output until it contains `text` or `limit` has passed.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit) const;
  void Signal(int signal);
  ProgramResult Wait();

 private:
  std::string outPath_;
  std::string errPath_;
  pid_t pid_ = -1;
};

// `program` as the build's default merchant, whatever the machine's user has configured: no
// QUILLMARK_* variable but QUILLMARK_API_BASE=`apiBase`, `configHome` as its per-user folder.
// Options go after it.
std::vector<std::string> DefaultMerchantCommand(const std::string& program,
                                                const std::string& configHome,
                                                const std::string& apiBase);

// Runs a program to its end (see ChildProcess).
ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& workDir);

std::string ReadFile(const std::string& path);

// A sandbox in-process on a free port, logging to log_, spoken to through PostXml.
class SandboxTest : public ::testing::Test {
 protected:
  void StartSandbox(Options options = {}) {
    options.port = 0;
    options.log = &log_;
    sandbox_ = std::make_unique<Sandbox>(options);
    std::string error;
    ASSERT_TRUE(sandbox_->Start(&error)) << error;
  }

  std::string Url(const std::string& path) const { return sandbox_->baseUrl() + path; }

  // A signed unified order, with `fields` replacing the usual values.
  Reply PlaceOrder(const std::string& orderNo, const Fields& fields = {}) {
    Fields order = OrderFields(orderNo);
    for (const auto& [name, value] : fields) order[name] = value;
    return Post(Url("/pay/unifiedorder"), SignedDocument(order));
  }
  Reply Query(const std::string& orderNo, long totalTimeoutMs = 10'000) {
    return Post(Url("/pay/orderquery"), SignedDocument(QueryFields(orderNo)), totalTimeoutMs);
  }

  SharedLog log_;
  std::unique_ptr<Sandbox> sandbox_;
};

}  // namespace quillmark::sandbox::testsupport
