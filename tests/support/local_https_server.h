// A real HTTPS server on a free loopback port for transport and operation tests: the
// certificate comes from the build's test CA, handlers are the test's, and every request
// is recorded so that a test can assert on what the client actually sent.
#pragma once

#include <httplib.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quillmark::testsupport {

inline std::string CertPath(const char* name) {
  return std::string(QUILLMARK_TEST_CERT_DIR) + "/" + name;
}

class LocalHttpsServer {
 public:
  struct Request {
    std::string path;
    std::string body;
    std::string contentType;
  };

  // `certificate` names a pair from the build's certs: "server" (trusted, for 127.0.0.1),
  // "untrusted" (self-signed), "wrongname" (trusted CA, another host name) or "weak"
  // (trusted CA, 127.0.0.1, a 1024-bit RSA key, which OpenSSL loads only below level 2).
  explicit LocalHttpsServer(const std::string& certificate = "server")
      : server_(CertPath((certificate + ".pem").c_str()).c_str(),
                CertPath((certificate + ".key").c_str()).c_str()) {}

  ~LocalHttpsServer() { Stop(); }

  // Answers POSTs to `path` with `reply` (text/xml).
  void Reply(const std::string& path, std::string reply) {
    server_.Post(path, [this, reply = std::move(reply)](const httplib::Request& req,
                                                        httplib::Response& res) {
      Record(req);
      res.set_content(reply, "text/xml; charset=utf-8");
    });
  }

  // Full control over the answer, for chunked or odd replies.
  void Handle(const std::string& path, httplib::Server::Handler handler) {
    server_.Post(path, [this, handler = std::move(handler)](const httplib::Request& req,
                                                            httplib::Response& res) {
      Record(req);
      handler(req, res);
    });
  }

  // Binds to a free port and serves on a thread; returns once the server accepts.
  void Start() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() is a no-op until the accept loop runs, so wait for it (bounded).
    for (int i = 0; i < 5000 && !server_.is_running(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  void Stop() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }

  bool ok() const { return server_.is_valid() && port_ > 0; }
  int port() const { return port_; }
  std::string Url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port_) + path;
  }

  std::vector<Request> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void Record(const httplib::Request& req) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back({req.path, req.body, req.get_header_value("Content-Type")});
  }

  httplib::SSLServer server_;
  std::thread thread_;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::vector<Request> requests_;
};

}  // namespace quillmark::testsupport
