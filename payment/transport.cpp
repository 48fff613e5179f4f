#include "payment/transport.h"

#include <curl/curl.h>

#include <memory>
#include <ostream>
#include <sstream>

#include "payment/merchant_config.h"

namespace quillmark {
namespace {

struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

// Pairs curl_global_init with curl_global_cleanup for the length of one request.
class GlobalInit {
 public:
  explicit GlobalInit(std::ostream& log) {
    const CURLcode rc = curl_global_init(CURL_GLOBAL_ALL);
    if (rc != CURLE_OK) {
      log << "curl_global_init failed. RetCode:" << rc << " ErrMsg:" << curl_easy_strerror(rc)
          << std::endl;
    }
  }
  ~GlobalInit() { curl_global_cleanup(); }
  GlobalInit(const GlobalInit&) = delete;
  GlobalInit& operator=(const GlobalInit&) = delete;
};

}  // namespace

TransportOptions TransportOptions::Default() {
  TransportOptions options;
  options.caFile = kCaFile;
  return options;
}

std::size_t WriteToStream(char* data, std::size_t size, std::size_t count, void* stream) {
  const std::size_t bytes = size * count;
  // Appended by length: a zero byte inside a chunk is kept here and cut later, in one place.
  static_cast<std::ostream*>(stream)->write(data, static_cast<std::streamsize>(bytes));
  return bytes;
}

std::string PostXml(const char* url, const char* body, std::ostream& log,
                    const TransportOptions& options) {
  GlobalInit global(log);
  EasyHandle handle(curl_easy_init());
  std::stringstream reply(std::ios::in | std::ios::out | std::ios::binary);

  CURLcode rc = CURLE_FAILED_INIT;
  if (handle) {
    CURL* h = handle.get();
    curl_easy_setopt(h, CURLOPT_URL, url);
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body);
    // A payment link from an unauthenticated peer could be anyone's: always verify.
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!options.caFile.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, options.caFile.c_str());
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, options.connectTimeoutMs);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, options.totalTimeoutMs);
    // Timeouts are enforced with signals otherwise, which a GUI thread must not receive.
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &WriteToStream);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, static_cast<std::ostream*>(&reply));
    rc = curl_easy_perform(h);
  }
  if (rc != CURLE_OK) {
    log << "curl_easy_perform failed. RetCode:" << static_cast<int>(rc)
        << " ErrMsg:" << curl_easy_strerror(rc) << std::endl;
  } else {
    log << "curl_easy_perform passed." << std::endl;
  }
  // The reply becomes a narrow string through its zero-terminated form.
  const std::string raw = reply.str();
  return std::string(raw.c_str());
}

}  // namespace quillmark
