// A merchant's notification server for the tests of whatever sends payment notifications:
// plain HTTP on a loopback port, every POST to /notify kept with its arrival, each answered
// as the test says. Safe to read from the test's thread while the sender posts from its own.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillmark::testsupport {

struct MerchantAnswer {
  int status = 200;
  std::string body;  // sent as text/xml
  // Kept back this long before it is sent, or until the server stops, whichever is first.
  std::chrono::milliseconds hold{0};
};

// return_code SUCCESS: the notification is taken.
MerchantAnswer Acknowledgement();
// return_code FAIL, "busy": the sender must try again.
MerchantAnswer Refusal();
// No answer at all until the server stops.
MerchantAnswer Silence();

class MerchantServer {
 public:
  struct Request {
    std::string body;
    std::string contentType;
    std::chrono::steady_clock::time_point arrived;
  };
  // The answer to `request`, the `count`-th to arrive (from 1).
  using Answering = std::function<MerchantAnswer(const Request& request, std::size_t count)>;

  // Listens on `port` of 127.0.0.1, or on a free one when it is 0, and acknowledges every
  // notification; or answers each as `answering` says; or gives the n-th answers[n - 1],
  // the last over and over once they run out.
  explicit MerchantServer(int port = 0);
  explicit MerchantServer(Answering answering, int port = 0);
  explicit MerchantServer(std::vector<MerchantAnswer> answers, int port = 0);
  ~MerchantServer();  // Stop()
  MerchantServer(const MerchantServer&) = delete;
  MerchantServer& operator=(const MerchantServer&) = delete;

  // Lets every held answer go and stops listening; what arrived stays readable.
  void Stop();

  bool ok() const { return port_ > 0; }  // false when the port could not be had
  int port() const { return port_; }
  std::string url() const;  // http://127.0.0.1:PORT/notify

  std::vector<Request> requests() const;
  std::size_t received() const;
  // Waits until `count` notifications have arrived or `limit` has passed.
  bool WaitForRequests(std::size_t count,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  const Answering answering_;
  mutable std::mutex mutex_;
  std::condition_variable stopping_;
  bool stopped_ = false;
  std::vector<Request> requests_;
};

}  // namespace quillmark::testsupport
