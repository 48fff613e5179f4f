#include "bench/bench_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>

#include "client/quillmark_ops.h"
#include "config/default_requests.h"
#include "protocol/request_ids.h"
#include "protocol/requests.h"
#include "protocol/sign.h"
#include "text/encoding.h"

extern char** environ;

namespace quillmark::bench {
namespace {

// MakeNonceStr and MakeOutTradeNo reseed the C library's one generator on every call.
std::mutex g_idMutex;

std::string Nonce() {
  std::lock_guard<std::mutex> lock(g_idMutex);
  std::string nonce;
  MakeNonceStr(nonce);
  return nonce;
}

// Five characters fixed for the whole run, so that numbers from two runs against one
// long-lived sandbox differ even when their clocks agree.
const std::string& RunTag() {
  static const std::string tag = [] {
    std::random_device device;
    std::string text;
    for (int i = 0; i < 5; ++i) text += kIdAlphabet[device() % (sizeof kIdAlphabet - 1)];
    return text;
  }();
  return tag;
}

void AppendBase62(std::string& out, std::uint64_t value, int width) {
  std::string digits(static_cast<std::size_t>(width), '0');
  for (int i = width - 1; i >= 0; --i) {
    digits[static_cast<std::size_t>(i)] = kIdAlphabet[value % 62];
    value /= 62;
  }
  out += digits;
}

}  // namespace

Summary Summarize(std::vector<double> samples) {
  Summary summary;
  summary.count = samples.size();
  if (samples.empty()) return summary;
  std::sort(samples.begin(), samples.end());
  const auto rank = [&samples](double q) {
    const auto index = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[std::min(index, samples.size() - 1)];
  };
  summary.median = rank(0.5);
  summary.p10 = rank(0.1);
  summary.p90 = rank(0.9);
  return summary;
}

std::string UniqueOrderNo(unsigned worker, std::uint64_t counter) {
  std::string number;
  {
    std::lock_guard<std::mutex> lock(g_idMutex);
    MakeOutTradeNo(number);
  }
  number.resize(17);  // the local time; the rest is ours
  number += RunTag();
  AppendBase62(number, worker, 2);
  AppendBase62(number, counter, 8);
  return number;
}

std::string SignedUnifiedOrder(const std::string& orderNo) {
  const std::string nonce = Nonce();
  std::string signUtf8;
  AnsiToUtf8(UnifiedOrderSignString(nonce, orderNo), signUtf8);
  const std::string sign = SignFields(signUtf8.data(), signUtf8.size());
  std::string document;
  AnsiToUtf8(UnifiedOrderDocument(nonce, orderNo, sign), document);
  return document;
}

std::string SignedOrderQuery(const std::string& orderNo) {
  const std::string nonce = Nonce();
  const std::string signString = OrderQuerySignString(nonce, orderNo);
  const std::string sign = SignFields(signString.data(), signString.size());
  std::string document;
  AnsiToUtf8(OrderQueryDocument(nonce, orderNo, sign), document);
  return document;
}

int RunProcess(const std::vector<std::string>& argv, const std::string& directory,
               const std::string& output) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const char* target = output.empty() ? "/dev/null" : output.c_str();
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, target, O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

long ResidentKib(int pid) {
  std::ifstream status(pid > 0 ? "/proc/" + std::to_string(pid) + "/status" : "/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

int LoopbackPort(const std::string& baseUrl) {
  const std::string prefix = "https://127.0.0.1:";
  if (baseUrl.rfind(prefix, 0) != 0) return -1;
  const std::string digits = baseUrl.substr(prefix.size());
  if (digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return -1;
  }
  const int port = std::atoi(digits.c_str());
  return port > 0 && port < 65536 ? port : -1;
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/quillmark-bench.XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace quillmark::bench
