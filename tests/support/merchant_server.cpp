// MerchantServer (merchant_server.h).
#include "tests/support/merchant_server.h"

#include <algorithm>
#include <utility>

namespace quillmark::testsupport {

MerchantAnswer Acknowledgement() {
  return {200, "<xml><return_code><![CDATA[SUCCESS]]></return_code></xml>", {}};
}

MerchantAnswer Refusal() {
  return {200, "<xml><return_code>FAIL</return_code><return_msg>busy</return_msg></xml>", {}};
}

MerchantAnswer Silence() {
  // Bounded all the same, so that a test that forgets to stop its server cannot hang CTest.
  return {200, "", std::chrono::seconds(20)};
}

MerchantServer::MerchantServer(int port)
    : MerchantServer([](const Request&, std::size_t) { return Acknowledgement(); }, port) {}

MerchantServer::MerchantServer(std::vector<MerchantAnswer> answers, int port)
    : MerchantServer(
          [answers = std::move(answers)](const Request&, std::size_t count) {
            return answers[std::min(count, answers.size()) - 1];
          },
          port) {}

MerchantServer::MerchantServer(Answering answering, int port) : answering_(std::move(answering)) {
  server_.Post("/notify", [this](const httplib::Request& req, httplib::Response& res) {
    MerchantAnswer answer;
    std::unique_lock<std::mutex> lock(mutex_);
    requests_.push_back(
        {req.body, req.get_header_value("Content-Type"), std::chrono::steady_clock::now()});
    answer = answering_(requests_.back(), requests_.size());
    if (answer.hold.count() > 0) {
      stopping_.wait_for(lock, answer.hold, [this] { return stopped_; });
      if (stopped_ && answer.body.empty()) return;
    }
    lock.unlock();
    res.status = answer.status;
    res.set_content(answer.body, "text/xml");
  });
  if (port == 0) {
    port_ = server_.bind_to_any_port("127.0.0.1");
  } else if (server_.bind_to_port("127.0.0.1", port)) {
    port_ = port;
  }
  if (port_ <= 0) {
    port_ = 0;
    return;
  }
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  // stop() does nothing until the accept loop runs.
  for (int i = 0; i < 5000 && !server_.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

MerchantServer::~MerchantServer() { Stop(); }

void MerchantServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  stopping_.notify_all();
  server_.stop();
  if (thread_.joinable()) thread_.join();
}

std::string MerchantServer::url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/notify";
}

std::vector<MerchantServer::Request> MerchantServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::size_t MerchantServer::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size();
}

bool MerchantServer::WaitForRequests(std::size_t count, std::chrono::milliseconds limit) const {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (received() < count) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace quillmark::testsupport
