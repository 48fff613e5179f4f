#include "tests/support/sandbox_test_support.h"

#include "config/merchant_settings.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "client/quillmark_ops.h"
#include "config/local_sandbox.h"
#include "config/merchant_config.h"
#include "http/transport.h"
#include "text/encoding.h"

namespace quillmark::sandbox::testsupport {

std::string CaFile() { return std::string(QUILLMARK_TEST_CERT_DIR) + "/ca.pem"; }

Fields OrderFields(const std::string& outTradeNo) {
  std::string body;
  AnsiToUtf8(kBody, body);
  return {{"appid", kAppId},
          {"body", body},
          {"mch_id", kMchId},
          {"nonce_str", "QmTestNonce0OrderFields000000001"},
          {"notify_url", kNotifyUrl},
          {"out_trade_no", outTradeNo},
          {"spbill_create_ip", kSpbillCreateIp},
          {"total_fee", std::to_string(kTotalFee)},
          {"trade_type", kTradeType}};
}

Fields QueryFields(const std::string& outTradeNo) {
  return {{"appid", kAppId},
          {"mch_id", kMchId},
          {"nonce_str", "QmTestNonce0QueryFields000000002"},
          {"out_trade_no", outTradeNo}};
}

std::string Document(const Fields& fields) {
  std::string document = "<xml>";
  for (const auto& [name, value] : fields) {
    document += "<" + name + ">";
    for (const char c : value) {
      document += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
    }
    document += "</" + name + ">";
  }
  return document + "</xml>";
}

std::string SignedDocument(Fields fields) {
  fields["sign"] = SignOf(fields, kApiKey);
  return Document(fields);
}

Reply Post(const std::string& url, const std::string& body, long totalTimeoutMs) {
  TransportOptions options;
  options.caFile = CaFile();
  options.totalTimeoutMs = totalTimeoutMs;
  options.clientCertificate = IssuedCertificate();
  std::ostringstream log;
  Reply reply;
  reply.body = PostXml(url.c_str(), body.c_str(), log, options);
  reply.diagnostic = log.str();
  if (!reply.diagnostic.empty() && reply.diagnostic.back() == '\n') reply.diagnostic.pop_back();
  return reply;
}

ClientCertificate IssuedCertificate() {
  return LocalSandboxClientCertificate(ProcessEnvironment(), kMchId);
}

std::unique_ptr<httplib::SSLClient> Client(int port) {
  auto client = std::make_unique<httplib::SSLClient>("127.0.0.1", port);
  client->set_ca_cert_path(CaFile().c_str());
  client->enable_server_certificate_verification(true);
  client->set_read_timeout(10, 0);
  return client;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& workDir,
                           const std::string& outputDir)
    : outPath_(outputDir + "/stdout.txt"), errPath_(outputDir + "/stderr.txt") {
  // Everything the child needs is prepared before fork(): after it, in a process with
  // threads, only async-signal-safe calls are allowed.
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const char* dir = workDir.c_str();
  const char* out = outPath_.c_str();
  const char* err = errPath_.c_str();

  pid_ = fork();
  if (pid_ == 0) {
    const int outFd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int errFd = open(err, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int nullFd = open("/dev/null", O_RDONLY);
    if (outFd < 0 || errFd < 0 || nullFd < 0 || chdir(dir) != 0 || dup2(nullFd, 0) < 0 ||
        dup2(outFd, 1) < 0 || dup2(errFd, 2) < 0) {
      _exit(127);
    }
    execv(args[0], args.data());
    _exit(127);
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    Wait();
  }
}

bool ChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds limit) const {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (ReadFile(outPath_).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void ChildProcess::Signal(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

ProgramResult ChildProcess::Wait() {
  ProgramResult result;
  if (pid_ <= 0) return result;
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  result.out = ReadFile(outPath_);
  result.err = ReadFile(errPath_);
  return result;
}

ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& workDir) {
  TempDir output;
  ChildProcess child(argv, workDir, output.path());
  return child.Wait();
}

std::vector<std::string> DefaultMerchantCommand(const std::string& program,
                                                const std::string& configHome,
                                                const std::string& apiBase) {
  std::vector<std::string> argv = {"/usr/bin/env"};
  for (const quillmark::SettingKey& key : quillmark::SettingKeys()) {
    argv.insert(argv.end(), {"-u", key.environment});
  }
  argv.insert(argv.end(),
              {"XDG_CONFIG_HOME=" + configHome, "QUILLMARK_API_BASE=" + apiBase, program});
  return argv;
}

}  // namespace quillmark::sandbox::testsupport
